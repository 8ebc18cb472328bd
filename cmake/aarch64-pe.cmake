# SPDX-License-Identifier: BSD-3-Clause
# Cross build of the driver image: freestanding AArch64 code in PE/COFF objects,
# linked by lld-link into a PE32+ image the MM core can load.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
# The target triple is given as a flag: CMake adds no platform flags for a Windows-target clang
# on a Generic system, so the build types' flags are set here too.
set(CMAKE_C_FLAGS_INIT "--target=aarch64-unknown-windows-msvc")
set(CMAKE_CXX_FLAGS_INIT "--target=aarch64-unknown-windows-msvc")
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-Os")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-Os")
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2")
set(CMAKE_AR llvm-ar)
set(CMAKE_RANLIB llvm-ranlib)
set(CMAKE_LINKER lld-link)
# Nothing can be linked into a test executable for this target.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(VARNELMM_TARGET_IMAGE ON)
set(VARNELMM_FREESTANDING_FLAGS
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -mno-stack-arg-probe -mgeneral-regs-only -ffunction-sections -fdata-sections
    -Werror=global-constructors)
# The image makes no unaligned access of its own (the compiler would otherwise merge the 32-bit
# words of an access-table row into one 64-bit load): a partition manager may run it with alignment
# checking on, as the QEMU supervisor does, and the image QEMU tests is built as the one that ships.
list(APPEND VARNELMM_FREESTANDING_FLAGS -mstrict-align)
set(CMAKE_STATIC_LIBRARY_PREFIX "lib")
set(CMAKE_STATIC_LIBRARY_SUFFIX ".a")

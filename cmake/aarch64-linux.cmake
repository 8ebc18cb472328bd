# SPDX-License-Identifier: BSD-3-Clause
# Cross build of the host suite for AArch64 Linux (preset host-aarch64): the core library, the
# models, the GoogleTest binaries and the fuzz corpus runners, compiled by clang for
# aarch64-linux-gnu against Debian's cross libc and libstdc++ (g++-aarch64-linux-gnu), and run by
# ctest under qemu-user. GoogleTest is built from Debian's source package (/usr/src/googletest).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(VARNELMM_GTEST_SOURCE_DIR /usr/src/googletest)

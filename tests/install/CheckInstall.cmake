# SPDX-License-Identifier: BSD-3-Clause
# Installs a build tree to a fresh prefix and checks what an integrator gets there:
# 1. a normal-world C program builds against the installed protocol header alone, as strict C99,
#    and runs; the header also compiles as C++;
# 2. find_package(VarnelMm CONFIG) in a consumer project (consumer/) gives VarnelMm::Protocol,
#    which builds the same program, and VarnelMm_IMAGE; without an installed image the component
#    Image is reported missing;
# 3. with IMAGE_BUILD_DIR (an AArch64 tree that has linked the image) installed into the same
#    prefix, the component Image is found and the consumer's copy of it is the built image.
# cmake -DBUILD_DIR=... -DPREFIX=... -DPROGRAM=... -DCONSUMER=... -DCC=... -DCXX=...
#       [-DIMAGE_BUILD_DIR=...] -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY)
foreach(installed include/VarnelMm/Protocol.h bin/varnel-sim share/cmake/VarnelMm/VarnelMmConfig.cmake
                  share/cmake/VarnelMm/VarnelMmConfigVersion.cmake
                  share/cmake/VarnelMm/VarnelMmTargets.cmake)
  if(NOT EXISTS ${PREFIX}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Werror -pedantic -I${PREFIX}/include
                        ${PROGRAM} -o ${PREFIX}/build-request
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${PREFIX}/include-check.cpp "#include <VarnelMm/Protocol.h>\n")
foreach(standard c++11 c++20)
  execute_process(COMMAND ${CXX} -std=${standard} -Wall -Wextra -Werror -pedantic -fsyntax-only
                          -I${PREFIX}/include ${PREFIX}/include-check.cpp
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND ${PREFIX}/build-request COMMAND_ERROR_IS_FATAL ANY)

# consumer(NAME [REQUIRE_IMAGE] [FAILS]): configures and builds the consumer project in
# PREFIX/NAME against PREFIX alone; FAILS expects the configuration to be refused.
function(consumer name)
  cmake_parse_arguments(ARG "REQUIRE_IMAGE;FAILS" "" "" ${ARGN})
  set(tree ${PREFIX}/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${tree} -G Ninja
                          -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${PREFIX}
                          -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DREQUEST_PROGRAM=${PROGRAM}
                          -DREQUIRE_IMAGE=${ARG_REQUIRE_IMAGE}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(ARG_FAILS)
    if(NOT failed OR NOT errors MATCHES "component Image: no image at")
      message(FATAL_ERROR "${name}: configured, or failed for another reason:\n${output}${errors}")
    endif()
    return()
  endif()
  if(failed)
    message(FATAL_ERROR "${name}: find_package(VarnelMm) failed:\n${output}${errors}")
  endif()
  # The package found is the installed one, and it names the image where the image installs.
  foreach(expected "VarnelMm_DIR=${PREFIX}/share/cmake/VarnelMm"
                   "VarnelMm_IMAGE=${PREFIX}/share/VarnelMm/VarnelMm.efi")
    string(FIND "${output}" "-- ${expected}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${name}: expected ${expected} in:\n${output}")
    endif()
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${tree}/build-request COMMAND_ERROR_IS_FATAL ANY)
endfunction()

consumer(consumer-protocol)
consumer(consumer-image-missing REQUIRE_IMAGE FAILS)

set(image ${IMAGE_BUILD_DIR}/bin/VarnelMm.efi)
if(NOT IMAGE_BUILD_DIR OR NOT EXISTS ${image})
  message(STATUS "no image built at '${IMAGE_BUILD_DIR}': installed image not checked")
  return()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${IMAGE_BUILD_DIR} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY)
consumer(consumer-image REQUIRE_IMAGE)
file(SHA256 ${image} built)
file(SHA256 ${PREFIX}/consumer-image/VarnelMm.efi consumed)
if(NOT built STREQUAL consumed)
  message(FATAL_ERROR "the consumer's VarnelMm_IMAGE is not the image of ${IMAGE_BUILD_DIR}")
endif()
message(STATUS "installed image found through the package: SHA-256 ${consumed}")

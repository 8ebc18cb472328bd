# SPDX-License-Identifier: BSD-3-Clause
# The CMake package files every build tree installs, so a consumer of an installed prefix can
# find_package(VarnelMm CONFIG): the exported targets (VarnelMm::Protocol), the config file with
# the image's path, and the version file. They live in <prefix>/share/cmake/VarnelMm, a place
# find_package searches under every prefix; nothing in them depends on the host's architecture.
include(CMakePackageConfigHelpers)
set(VARNELMM_CMAKE_INSTALL_DIR share/cmake/VarnelMm)
set(VARNELMM_IMAGE_INSTALL_PATH ${VARNELMM_IMAGE_INSTALL_DIR}/VarnelMm.efi)

install(EXPORT VarnelMmTargets NAMESPACE VarnelMm:: FILE VarnelMmTargets.cmake
        DESTINATION ${VARNELMM_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VarnelMmConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/VarnelMmConfig.cmake
                              INSTALL_DESTINATION ${VARNELMM_CMAKE_INSTALL_DIR}
                              PATH_VARS VARNELMM_IMAGE_INSTALL_PATH)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VarnelMmConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/VarnelMmConfig.cmake ${CMAKE_BINARY_DIR}/VarnelMmConfigVersion.cmake
        DESTINATION ${VARNELMM_CMAKE_INSTALL_DIR})

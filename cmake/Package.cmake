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

# ---- Debian package of the host tools (host trees): `cpack -G DEB` in build/host-release --------
# It holds what the tree installs (varnel-sim, its manual page and bash completion, the protocol
# header, the CMake package files) under /usr, with the Debian documentation files a package
# carries. The maintainer scripts and dependencies come from CPack; the library dependencies
# from dpkg-shlibdeps.
if(NOT VARNELMM_HOST)
  return()
endif()
set(VARNELMM_PACKAGE_CONTACT "The VarnelMm Authors <maintainers@varnelmm.example.org>" CACHE STRING
    "Maintainer of the Debian package (name <address>)")
set(VARNELMM_DEB_DOC_DIR share/doc/varnelmm)

# copyright: the license text; changelog.gz: one entry for this version, compressed without a
# time stamp. Both are written from the sources here, so the package's bytes do not depend on
# when it was built.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
file(WRITE ${CMAKE_BINARY_DIR}/debian/copyright
     "VarnelMm: the MM flash driver, its protocol header and varnel-sim.\n\n${license}")
file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog
     "varnelmm (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * varnel-sim with its host and qemu targets, its manual page and bash\n"
     "    completion; the public protocol header; the find_package(VarnelMm) files.\n\n"
     " -- ${VARNELMM_PACKAGE_CONTACT}  Wed, 09 Dec 2026 00:00:00 +0000\n")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
                   COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/debian/changelog
                           > ${CMAKE_BINARY_DIR}/debian/changelog.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
                   VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${VARNELMM_DEB_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnelmm)
set(CPACK_PACKAGE_VENDOR "The VarnelMm Authors")
set(CPACK_PACKAGE_CONTACT "${VARNELMM_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "simulator and protocol header of the VarnelMm SPI-NOR flash MM driver")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "VarnelMm is a management-mode driver for 64-bit Arm servers that gives the\n"
       "normal world controlled access to the platform's SPI-NOR boot flash.\n"
       "varnel-sim sends it requests as the normal world would, on models of the MM\n"
       "core and the secure firmware or, with QEMU, against the real image. The\n"
       "package also holds the public protocol header for normal-world code and the\n"
       "CMake package files for find_package(VarnelMm).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qemu-system-arm)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# The Debian binary package: one package "vorn" holding the tool, the
# library with its development files, the driver stand-in and the
# documentation. scripts/package.sh configures with prefix /usr (so that the
# library lands in the multiarch directory), runs cpack and checks the result.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vorn")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vorn developers")
# A placeholder address in a domain reserved for examples, until the project
# has one of its own (lintian refuses localhost).
set(CPACK_PACKAGE_CONTACT "vorn developers <vorn@vorn.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "touch-memory key toolkit: tmtool, tmattach, libvorn and the tmsim stand-in")
set(CPACK_PACKAGE_DESCRIPTION
  "Reads and writes touch-memory keys (1-Wire memory devices with a 64-bit ROM\n"
  "identifier) through the touch-memory driver's /dev/touchm0: the console tool\n"
  "tmtool, tmattach, which attaches the driver to a serial port with a 1-Wire\n"
  "interface, the client library libvorn with its headers, pkg-config and CMake\n"
  "packages, and tmsim, a driver stand-in that runs any program against a\n"
  "simulated key.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Debian revision 1 of the upstream version: the package's own changelog is
# then changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_FILE_NAME "vorn_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_amd64")

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies come from dpkg-shlibdeps (package dpkg-dev) when it is there;
# otherwise they are the libraries every binary of the package links:
# libc6 (libc, threads), libstdc++6 and libgcc-s1 (the C++ runtime).
find_program(VORN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VORN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libvorn.so.1 ships in this very package; point dpkg-shlibdeps at it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${CMAKE_BINARY_DIR}/bin")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()

# Control files of our own: the shlibs entry of libvorn alone (CPack's
# generated one would take in every shared object, the stand-in's preload
# plugin too, which has no soname), and the ldconfig trigger for the library
# in /usr/lib.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/shlibs.in ${CMAKE_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/shlibs
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The staged tree is finished by a script: compressed manual pages, the
# copyright file, the Debian changelog and the lintian overrides.
set(CPACK_VORN_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStage.cmake)

set(CPACK_STRIP_FILES ON)
include(CPack)

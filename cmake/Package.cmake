# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages: one per install component of the same name
#   libvorn1, libvorn-dev, vorn-tools, vorn-sim, touchm-dkms, python3-vorn
# (cmake/Install.cmake assigns the files). cmake/debian/build-debs.sh makes
# them with dpkg-shlibdeps, dpkg-gencontrol and dpkg-deb from the texts in
# cmake/debian; scripts/package.sh configures a tree for it (prefix /usr,
# Debian 12's udev and systemd folders), runs it and checks the packages.
#
# In a tree configured with the prefix /usr, the target "debs" builds them
# into <build>/debs.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  add_custom_target(debs
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/debian/build-debs.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/debs
    COMMENT "Building the Debian packages into ${CMAKE_BINARY_DIR}/debs"
    USES_TERMINAL)
endif()

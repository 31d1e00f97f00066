# SPDX-License-Identifier: GPL-2.0-or-later
# Install rules, the CMake and pkg-config packages of libvorn, and the Debian
# packages. Included from the top-level CMakeLists.txt after every target
# exists.
#
# Installed layout (prefix P, libdir L = CMAKE_INSTALL_LIBDIR), by install
# component; each component is the content of one Debian package
# (debian/*.install):
#   libvorn1     P/L/libvorn.so.1.0.0, .so.1
#   libvorn-dev  P/L/libvorn.so, P/include/vorn/*.h (the public headers),
#                P/L/pkgconfig/libvorn.pc, P/L/cmake/libvorn/ (find_package),
#                P/share/man/man3/libvorn.3 (and CTouchMemClt.3, a link)
#   vorn-tools   P/bin/tmtool (run path $ORIGIN/../L finds libvorn),
#                P/bin/tmattach, their pages and tmtool's bash completion,
#                VORN_UDEV_RULES_DIR/75-touchm.rules,
#                VORN_SYSTEMD_UNIT_DIR/tmattach@.service,
#                VORN_SYSUSERS_DIR/touchm.conf
#   vorn-sim     P/bin/tmsim -> P/L/vorn/tmsim, P/L/vorn/libtmsim.so beside
#                it, P/L/vorn/tmfarend (a test helper, off the PATH), tmsim.1
#                and tmsim's bash completion
#   touchm-dkms  P/src/touchm-<version>/: the module's sources as one flat
#                folder (as driver/build-module.sh lays them out), Kbuild,
#                dkms.conf
#   python3-vorn and tmwatch (vorn-tools) install from their own folders.
#
# The udev, systemd and sysusers folders are relative to the prefix unless
# given absolute; debian/rules puts the first two where Debian 12 keeps
# them (/lib/udev/rules.d, /lib/systemd/system).

include(CMakePackageConfigHelpers)

set(VORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/libvorn)
set(VORN_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# Private directory of the stand-in: the launcher looks for libtmsim.so in
# its own directory, so both live here and bin/tmsim points at the launcher.
set(VORN_SIM_DIR ${CMAKE_INSTALL_LIBDIR}/vorn)
set(VORN_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Folder of the udev rules (relative to the prefix, or absolute)")
set(VORN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the systemd units (relative to the prefix, or absolute)")
set(VORN_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
  "Folder of the sysusers.d files (relative to the prefix, or absolute)")
set(VORN_DKMS_DIR "src/touchm-${PROJECT_VERSION}")

# --- libvorn -----------------------------------------------------------------

# The one public header set: the client and the utility library it exports.
# Installed under include/vorn/ and used as <vorn/TouchMemCltK.h>; they
# include each other relatively ("Mutex.h" from vorn/Log.h finds vorn/Mutex.h
# first), so none of them can shadow a user's header of the same name, and
# include/vorn itself is never on the include path.
set(VORN_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/client/TouchMemCltK.h
  ${PROJECT_SOURCE_DIR}/client/TouchMemProto.h
  ${PROJECT_SOURCE_DIR}/shared/VornApi.h
  ${PROJECT_SOURCE_DIR}/shared/Mutex.h
  ${PROJECT_SOURCE_DIR}/shared/Log.h
  ${PROJECT_SOURCE_DIR}/shared/CmdHelper.h
  ${PROJECT_SOURCE_DIR}/shared/TimeHlp.h)
set_target_properties(vorn PROPERTIES PUBLIC_HEADER "${VORN_PUBLIC_HEADERS}")

install(TARGETS vorn EXPORT libvornTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT libvorn1 NAMELINK_COMPONENT libvorn-dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorn COMPONENT libvorn-dev)

install(EXPORT libvornTargets
  FILE libvorn-targets.cmake
  NAMESPACE libvorn::
  DESTINATION ${VORN_CMAKE_DIR}
  COMPONENT libvorn-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/libvorn-config.cmake.in
  ${CMAKE_BINARY_DIR}/libvorn-config.cmake
  INSTALL_DESTINATION ${VORN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/libvorn-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/libvorn-config.cmake
  ${CMAKE_BINARY_DIR}/libvorn-config-version.cmake
  DESTINATION ${VORN_CMAKE_DIR}
  COMPONENT libvorn-dev)

# pkg-config file, relocatable: its prefix is computed from its own place.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VORN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VORN_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VORN_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _vorn_pc_up "/${VORN_PC_DIR}" "/")
  string(REGEX REPLACE "/$" "" _vorn_pc_up "${_vorn_pc_up}")
  set(VORN_PC_PREFIX "\${pcfiledir}/${_vorn_pc_up}")
  set(VORN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VORN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/libvorn.pc.in ${CMAKE_BINARY_DIR}/libvorn.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/libvorn.pc DESTINATION ${VORN_PC_DIR} COMPONENT libvorn-dev)

# --- tmtool ------------------------------------------------------------------

# tool/CMakeLists.txt sets INSTALL_RPATH $ORIGIN and $ORIGIN/../<libdir>.
install(TARGETS tmtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vorn-tools)
install(TARGETS tmattach RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vorn-tools)

# --- the driver stand-in -----------------------------------------------------

if(TARGET tmsim)
  install(TARGETS tmsim RUNTIME DESTINATION ${VORN_SIM_DIR} COMPONENT vorn-sim)
  file(RELATIVE_PATH _vorn_sim_rel "/${CMAKE_INSTALL_BINDIR}" "/${VORN_SIM_DIR}/tmsim")
  # A relative link, so that it stays right under DESTDIR and in the package.
  install(CODE "
    set(_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tmsim\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(REMOVE \"\${_link}\")
    file(CREATE_LINK \"${_vorn_sim_rel}\" \"\${_link}\" SYMBOLIC)
    message(STATUS \"Installing: \${_link} -> ${_vorn_sim_rel}\")"
    COMPONENT vorn-sim)
endif()
if(TARGET tmsim_preload)
  install(TARGETS tmsim_preload LIBRARY DESTINATION ${VORN_SIM_DIR} COMPONENT vorn-sim)
endif()
# The far end of a serial key line for tests of the real driver (run by the
# qemu tests and benchmarks, not by operators): beside the stand-in, off the
# PATH.
if(TARGET tmfarend)
  install(TARGETS tmfarend RUNTIME DESTINATION ${VORN_SIM_DIR} COMPONENT vorn-sim)
endif()

# --- documentation and shell completion --------------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/doc/tmtool.1 ${PROJECT_SOURCE_DIR}/doc/tmattach.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vorn-tools)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tmsim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vorn-sim)
install(FILES ${PROJECT_SOURCE_DIR}/doc/libvorn.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libvorn-dev)
# "man CTouchMemClt" finds the library's page: a relative link beside it.
install(CODE "
  set(_page \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man3/CTouchMemClt.3\")
  file(REMOVE \"\${_page}\")
  file(CREATE_LINK libvorn.3 \"\${_page}\" SYMBOLIC)
  message(STATUS \"Installing: \${_page} -> libvorn.3\")"
  COMPONENT libvorn-dev)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tmtool.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tmtool COMPONENT vorn-tools)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tmsim.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tmsim COMPONENT vorn-sim)

# --- attach on plug: udev, systemd, the group ----------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/dist/udev/75-touchm.rules
  DESTINATION ${VORN_UDEV_RULES_DIR} COMPONENT vorn-tools)
# vorn_install_unit(UNIT COMPONENT): installs dist/systemd/UNIT.in as UNIT.
# A unit names its program by the installed path, so it is written at
# install time, when the prefix is known (cmake --install --prefix may
# change it), mode 0644 whatever the mode of the source file
# (configure_file would keep a group-writable one's, as in a tree unpacked
# from a git archive).
function(vorn_install_unit unit component)
  install(CODE "
    set(_bindir \"${CMAKE_INSTALL_BINDIR}\")
    if(NOT IS_ABSOLUTE \"\${_bindir}\")
      set(_bindir \"\${CMAKE_INSTALL_PREFIX}/\${_bindir}\")
    endif()
    set(_unitdir \"${VORN_SYSTEMD_UNIT_DIR}\")
    if(NOT IS_ABSOLUTE \"\${_unitdir}\")
      set(_unitdir \"\${CMAKE_INSTALL_PREFIX}/\${_unitdir}\")
    endif()
    set(VORN_FULL_BINDIR \"\${_bindir}\")
    set(_unit \"\$ENV{DESTDIR}\${_unitdir}/${unit}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/systemd/${unit}.in\" \"\${_unit}\" @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS \"Installing: \${_unit}\")"
    COMPONENT ${component})
endfunction()
vorn_install_unit(tmattach@.service vorn-tools)
install(FILES ${PROJECT_SOURCE_DIR}/dist/sysusers/touchm.conf
  DESTINATION ${VORN_SYSUSERS_DIR} COMPONENT vorn-tools)

# --- the module's sources for DKMS ---------------------------------------------

# The flat folder driver/build-module.sh builds in: every driver/*.c and *.h
# (taken at install time, so a file added to the driver is never left out),
# the transport and the kernel half of the line. tm_line_user.c is the
# line's user-space glue and stays out, as in build-module.sh.
configure_file(${PROJECT_SOURCE_DIR}/dist/dkms/dkms.conf.in
  ${CMAKE_BINARY_DIR}/dist/dkms.conf @ONLY)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/driver/
  DESTINATION ${VORN_DKMS_DIR} COMPONENT touchm-dkms
  FILES_MATCHING PATTERN "*.c" PATTERN "*.h" PATTERN "Kbuild")
install(FILES
  ${PROJECT_SOURCE_DIR}/kernel/velkor.c ${PROJECT_SOURCE_DIR}/kernel/velkor.h
  ${PROJECT_SOURCE_DIR}/sim/line/tm_key.c ${PROJECT_SOURCE_DIR}/sim/line/tm_pl2303.c
  ${PROJECT_SOURCE_DIR}/sim/line/tm_line.c ${PROJECT_SOURCE_DIR}/sim/line/tm_line.h
  ${PROJECT_SOURCE_DIR}/sim/line/tm_line_core.h
  ${CMAKE_BINARY_DIR}/dist/dkms.conf
  DESTINATION ${VORN_DKMS_DIR} COMPONENT touchm-dkms)

# --- tmmqtt: key events to an MQTT broker (component mqtt) --------------------
#   P/bin/tmmqtt, P/share/man/man1/tmmqtt.1,
#   VORN_SYSTEMD_UNIT_DIR/tmmqtt@.service, VORN_SYSUSERS_DIR/tmmqtt.conf,
#   SYSCONFDIR/vorn/tmmqtt.conf (mode 0640; its group must become tmmqtt)
if(TARGET tmmqtt)
  install(TARGETS tmmqtt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mqtt)
  install(FILES ${PROJECT_SOURCE_DIR}/doc/tmmqtt.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT mqtt)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/sysusers/tmmqtt.conf
    DESTINATION ${VORN_SYSUSERS_DIR} COMPONENT mqtt)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/etc/tmmqtt.conf
    DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/vorn
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
    COMPONENT mqtt)
  vorn_install_unit(tmmqtt@.service mqtt)
endif()

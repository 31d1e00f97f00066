# Install rules, the CMake and pkg-config packages of libvorn, and the Debian
# package (CPack). Included from the top-level CMakeLists.txt after every
# target exists.
#
# Installed layout (prefix P, libdir L = CMAKE_INSTALL_LIBDIR):
#   P/bin/tmtool                     run path $ORIGIN/../L finds libvorn
#   P/bin/tmattach                   attaches the driver to a serial port
#   P/L/libvorn.so.1.0.0, .so.1, .so
#   P/include/vorn/*.h               the public headers
#   P/L/pkgconfig/libvorn.pc
#   P/L/cmake/libvorn/               find_package(libvorn) -> libvorn::vorn
#   P/bin/tmsim                      the driver stand-in's launcher
#   P/L/vorn/tmsim, libtmsim.so      ... and its preload library beside it
#   P/share/man/man1/tmtool.1, tmattach.1, tmsim.1, man3/libvorn.3 (and
#                                    CTouchMemClt.3, a link to it)
#   P/share/bash-completion/completions/tmtool, tmsim
#   P/share/doc/vorn/examples/70-touchm.rules

include(CMakePackageConfigHelpers)

set(VORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/libvorn)
set(VORN_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# Private directory of the stand-in: the launcher looks for libtmsim.so in
# its own directory, so both live here and bin/tmsim points at the launcher.
set(VORN_SIM_DIR ${CMAKE_INSTALL_LIBDIR}/vorn)

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
    COMPONENT Runtime NAMELINK_COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorn COMPONENT Development)

install(EXPORT libvornTargets
  FILE libvorn-targets.cmake
  NAMESPACE libvorn::
  DESTINATION ${VORN_CMAKE_DIR}
  COMPONENT Development)
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
  COMPONENT Development)

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
install(FILES ${CMAKE_BINARY_DIR}/libvorn.pc DESTINATION ${VORN_PC_DIR} COMPONENT Development)

# --- tmtool ------------------------------------------------------------------

# tool/CMakeLists.txt sets INSTALL_RPATH $ORIGIN and $ORIGIN/../<libdir>.
install(TARGETS tmtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS tmattach RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

# --- the driver stand-in -----------------------------------------------------

if(TARGET tmsim)
  install(TARGETS tmsim RUNTIME DESTINATION ${VORN_SIM_DIR} COMPONENT Simulator)
  file(RELATIVE_PATH _vorn_sim_rel "/${CMAKE_INSTALL_BINDIR}" "/${VORN_SIM_DIR}/tmsim")
  # A relative link, so that it stays right under DESTDIR and in the package.
  install(CODE "
    set(_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tmsim\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(REMOVE \"\${_link}\")
    file(CREATE_LINK \"${_vorn_sim_rel}\" \"\${_link}\" SYMBOLIC)
    message(STATUS \"Installing: \${_link} -> ${_vorn_sim_rel}\")"
    COMPONENT Simulator)
endif()
if(TARGET tmsim_preload)
  install(TARGETS tmsim_preload LIBRARY DESTINATION ${VORN_SIM_DIR} COMPONENT Simulator)
endif()

# --- documentation, udev example, shell completion ---------------------------

install(FILES ${PROJECT_SOURCE_DIR}/doc/tmtool.1 ${PROJECT_SOURCE_DIR}/doc/tmattach.1
  ${PROJECT_SOURCE_DIR}/doc/tmsim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/doc/libvorn.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT Documentation)
# "man CTouchMemClt" finds the library's page: a relative link beside it.
install(CODE "
  set(_page \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man3/CTouchMemClt.3\")
  file(REMOVE \"\${_page}\")
  file(CREATE_LINK libvorn.3 \"\${_page}\" SYMBOLIC)
  message(STATUS \"Installing: \${_page} -> libvorn.3\")"
  COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/doc/70-touchm.rules
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tmtool.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tmtool COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tmsim.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tmsim COMPONENT Documentation)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)

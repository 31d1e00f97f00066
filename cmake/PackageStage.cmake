# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged tree of the Debian
# package, after the install rules and before the package is made:
#   - every manual page compressed with gzip -9n (no name, no time stamp,
#     so the same page gives the same bytes), and every link between pages
#     renamed and pointed at the compressed page;
#   - usr/share/doc/vorn/copyright and changelog.Debian.gz;
#   - the package's lintian overrides.
# The source files are in CPACK_VORN_DEBIAN_DIR (cmake/debian).

set(_stage "${CPACK_TEMPORARY_DIRECTORY}")
set(_usr "${_stage}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${_usr}")
  message(FATAL_ERROR "staged tree not found at ${_usr}")
endif()

find_program(_gzip gzip REQUIRED)

# gzip -9n FILE into FILE.gz, FILE removed; the mode stays.
function(vorn_gzip file)
  execute_process(COMMAND "${_gzip}" -9nf "${file}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed")
  endif()
endfunction()

file(GLOB _pages LIST_DIRECTORIES false "${_usr}/share/man/man*/*")
foreach(page IN LISTS _pages)
  if(page MATCHES "\\.gz$")
    continue()
  endif()
  if(IS_SYMLINK "${page}")
    file(READ_SYMLINK "${page}" target)
    file(REMOVE "${page}")
    file(CREATE_LINK "${target}.gz" "${page}.gz" SYMBOLIC)
  else()
    vorn_gzip("${page}")
  endif()
endforeach()

set(_doc "${_usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${_doc}")
file(COPY_FILE "${CPACK_VORN_DEBIAN_DIR}/copyright" "${_doc}/copyright")
file(COPY_FILE "${CPACK_VORN_DEBIAN_DIR}/changelog" "${_doc}/changelog.Debian")
vorn_gzip("${_doc}/changelog.Debian")

set(_overrides "${_usr}/share/lintian/overrides")
file(MAKE_DIRECTORY "${_overrides}")
file(COPY_FILE "${CPACK_VORN_DEBIAN_DIR}/lintian-overrides" "${_overrides}/${CPACK_PACKAGE_NAME}")

# Files copied here take the mode of their source; the package wants 0644.
foreach(f "${_doc}/copyright" "${_doc}/changelog.Debian.gz" "${_overrides}/${CPACK_PACKAGE_NAME}")
  file(CHMOD "${f}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

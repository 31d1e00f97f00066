# SPDX-License-Identifier: GPL-2.0-or-later
# The line-level simulator as a static library: the velkor transport, the
# key model, the simulated adapter, the driver's transaction core (from
# driver/) and the user-space glue,
# compiled against the stand-in kernel headers in shim/.
#
#   tmsim_line_add_library(<name> [PRODUCT])
#
# PRODUCT: position-independent, symbols hidden, no sanitizer flags, so the
# library can be linked into the preload library of the stand-in.
function(tmsim_line_add_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "PRODUCT" "" "")
  set(dir ${PROJECT_SOURCE_DIR}/sim/line)
  add_library(${name} STATIC
    ${PROJECT_SOURCE_DIR}/kernel/velkor.c
    ${dir}/tm_key.c
    ${dir}/tm_pl2303.c
    ${dir}/tm_line.c
    ${PROJECT_SOURCE_DIR}/driver/tm_core.c
    ${PROJECT_SOURCE_DIR}/driver/tm_slots.c
    ${dir}/tm_line_user.c)
  target_include_directories(${name}
    PUBLIC ${dir} ${PROJECT_SOURCE_DIR}/driver
    PRIVATE ${dir}/shim ${PROJECT_SOURCE_DIR}/kernel)
  target_compile_options(${name} PRIVATE
    -Werror -Wmissing-prototypes -Wstrict-prototypes)
  if(ARG_PRODUCT)
    set_target_properties(${name} PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      C_VISIBILITY_PRESET hidden)
    get_target_property(opts ${name} COMPILE_OPTIONS)
    list(FILTER opts EXCLUDE REGEX "^-f(no-)?sanitize")
    set_property(TARGET ${name} PROPERTY COMPILE_OPTIONS ${opts})
  endif()
endfunction()

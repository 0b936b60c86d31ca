# The GBK tables of kivo/base/iconvex are generated at configure time from the
# build machine's iconv: the device program is static and cannot load iconv's
# converters, so it carries the tables itself. tools/gbk_table_gen.c runs on
# the build machine, so it is compiled with the host compiler, also in the ARM
# cross build. The tables are required: without a GBK converter on the build
# machine the configuration stops.
#
# Sets KIVO_GENERATED_DIR, the include directory that holds
# "iconvex_gbk_table.inc".

set(KIVO_HOST_CC "" CACHE FILEPATH
    "C compiler for programs that run on the build machine (default: cc from PATH)")
if(KIVO_HOST_CC)
  set(_kivo_host_cc "${KIVO_HOST_CC}")
else()
  find_program(KIVO_HOST_CC_FOUND NAMES cc gcc clang NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KIVO_HOST_CC_FOUND)
    message(FATAL_ERROR "gbk table: no host C compiler (cc) found; set KIVO_HOST_CC")
  endif()
  set(_kivo_host_cc "${KIVO_HOST_CC_FOUND}")
endif()

set(KIVO_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
set(_gbk_gen_src "${PROJECT_SOURCE_DIR}/tools/gbk_table_gen.c")
set(_gbk_gen_bin "${CMAKE_BINARY_DIR}/host-tools/gbk_table_gen")
set(_gbk_table "${KIVO_GENERATED_DIR}/iconvex_gbk_table.inc")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/host-tools" "${KIVO_GENERATED_DIR}")

# Editing the generator reconfigures.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_gbk_gen_src}")

execute_process(
  COMMAND "${_kivo_host_cc}" -std=c99 -O2 -Wall -Wextra -Werror
          -o "${_gbk_gen_bin}" "${_gbk_gen_src}"
  RESULT_VARIABLE _gbk_rc
  OUTPUT_VARIABLE _gbk_out
  ERROR_VARIABLE _gbk_out)
if(NOT _gbk_rc EQUAL 0)
  message(FATAL_ERROR "gbk table: compiling ${_gbk_gen_src} with ${_kivo_host_cc} failed:\n${_gbk_out}")
endif()

execute_process(
  COMMAND "${_gbk_gen_bin}" "${_gbk_table}.tmp"
  RESULT_VARIABLE _gbk_rc
  OUTPUT_VARIABLE _gbk_out
  ERROR_VARIABLE _gbk_out)
if(NOT _gbk_rc EQUAL 0)
  file(REMOVE "${_gbk_table}.tmp")
  message(FATAL_ERROR
    "gbk table: generating ${_gbk_table} failed:\n${_gbk_out}"
    "The GBK table is required. The build machine's iconv must provide a GBK "
    "converter (with glibc: the gconv module GBK.so, package libc6 on Debian).")
endif()

# Rewrite the table only when it changed, so a reconfigure does not rebuild.
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${_gbk_table}.tmp" "${_gbk_table}")
file(REMOVE "${_gbk_table}.tmp")

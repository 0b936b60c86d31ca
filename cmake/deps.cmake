# Dependencies: zlib and Lua 5.3 (Debian's C++ build, whose errors are C++
# exceptions) as static libraries, and minizip built here from the sources
# that tools/setup.sh takes out of Debian's zlib source package.
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  set(_multiarch arm-linux-gnueabihf)
  set(_root "${KIVO_DEPS_CACHE}/sysroot-armhf/usr")
else()
  set(_multiarch x86_64-linux-gnu)
  set(_root "/usr")
endif()

set(_libdir "${_root}/lib/${_multiarch}")
foreach(f "${_libdir}/libz.a" "${_libdir}/liblua5.3-c++.a" "${_root}/include/lua5.3/lua.h"
          "${KIVO_DEPS_CACHE}/minizip-src/unzip.c")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "missing ${f}: run tools/setup.sh first")
  endif()
endforeach()

add_library(kivo_zlib STATIC IMPORTED GLOBAL)
set_target_properties(kivo_zlib PROPERTIES IMPORTED_LOCATION "${_libdir}/libz.a")
if(CMAKE_CROSSCOMPILING)
  target_include_directories(kivo_zlib INTERFACE "${_root}/include")
endif()
add_library(ZLIB::ZLIB ALIAS kivo_zlib)

add_library(kivo_lua STATIC IMPORTED GLOBAL)
set_target_properties(kivo_lua PROPERTIES IMPORTED_LOCATION "${_libdir}/liblua5.3-c++.a")
target_include_directories(kivo_lua SYSTEM INTERFACE
  "${_root}/include/lua5.3" "${_root}/include/${_multiarch}")
target_link_libraries(kivo_lua INTERFACE m)
add_library(Lua::Lua ALIAS kivo_lua)

set(_mz "${KIVO_DEPS_CACHE}/minizip-src")
add_library(kivo_minizip STATIC "${_mz}/ioapi.c" "${_mz}/unzip.c" "${_mz}/zip.c")
target_include_directories(kivo_minizip SYSTEM PUBLIC "${_mz}")
target_compile_definitions(kivo_minizip PRIVATE _FILE_OFFSET_BITS=64 _LARGEFILE64_SOURCE)
target_compile_options(kivo_minizip PRIVATE -w)
target_link_libraries(kivo_minizip PUBLIC kivo_zlib)
add_library(MiniZip::MiniZip ALIAS kivo_minizip)

# GoogleTest from Debian's source package, so that the ARM build and the
# sanitizer builds compile it with their own flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

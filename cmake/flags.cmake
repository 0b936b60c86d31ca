# Warning and sanitizer flags for the project's own targets. Third-party
# targets (minizip, googletest) are built without them.
set(KIVO_WARNINGS -Wall -Wextra)
if(KIVO_WERROR)
  list(APPEND KIVO_WARNINGS -Werror)
endif()

if(KIVO_SANITIZE)
  if(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "sanitizers are for the native build only")
  endif()
  set(_san -fsanitize=${KIVO_SANITIZE} -fno-omit-frame-pointer)
  if(KIVO_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

# 64-bit time_t and off_t on every target, the 32-bit device included
# (glibc's time64 interfaces): files dated after 2038-01-19, such as a USB
# stick's (vfat reaches 2107), and files over 2 GiB must exist for the
# program there as natively. Set for the whole tree, minizip and GoogleTest
# too, so that no record crosses between code built with different widths.
# Debian's static zlib and Lua were built with 32-bit ones; nothing of ours
# hands them a time_t or an off_t (zlib's gz* calls, the only ones that take
# an offset, map to their 64-bit forms under these flags and are unused).
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

# The device program is one static binary; so is everything else the ARM build
# links, which lets qemu-arm-static run the tests without an armhf root.
if(CMAKE_CROSSCOMPILING)
  add_link_options(-static)
endif()

function(kivo_target_warnings target)
  target_compile_options(${target} PRIVATE ${KIVO_WARNINGS})
endfunction()

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

# The device program is one static binary; so is everything else the ARM build
# links, which lets qemu-arm-static run the tests without an armhf root.
if(CMAKE_CROSSCOMPILING)
  add_link_options(-static)
endif()

function(kivo_target_warnings target)
  target_compile_options(${target} PRIVATE ${KIVO_WARNINGS})
endfunction()

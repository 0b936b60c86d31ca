#pragma once

// Start and end of the library: the application calls kivo_init first and
// kivo_deinit last.

#include <stdint.h>

// The library's version: major * 100 + minor is what kivo_init returns.
#define KIVO_VERSION_MAJOR (2)
#define KIVO_VERSION_MINOR (23)

// Prints "kivo init, <version record>" and the sizes of kivo_time_t and the
// system's time_t (each line ending in "\r\n"), runs the platform init
// (re-reads the time zone) and returns 223.
int32_t kivo_init(void);
// Runs the platform deinit, prints "kivo deinit\r\n" and returns 1.
int32_t kivo_deinit(void);

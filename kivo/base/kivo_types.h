#pragma once

// Basic types of the framework's free-function layer.

#include <stdint.h>

// Result of the free functions: 0 for success, otherwise a positive errno
// value (22 invalid argument, 110 timed out, 16 busy, ...), passed on as the
// platform reported it.
typedef int32_t kivo_err_t;

// Seconds since the epoch, signed 64-bit on every target.
typedef int64_t kivo_time_t;

// Time-outs are unsigned 32-bit milliseconds; this value waits without limit.
#define KIVO_WAIT_FOREVER 0xFFFFFFFFu

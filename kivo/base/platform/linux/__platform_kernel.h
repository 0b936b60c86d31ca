#pragma once

// Process-wide services of the platform layer on Linux: the one recursive
// kernel lock, the thread-local slot, the spin-locked stacks beneath the
// memory pool, clocks, wall time with the time zone, and the one-shot
// platform timer that drives the service runtime's timers.

#include <stdint.h>
#include <time.h>

#include <assert.h>

#include "kivo/base/kivo_types.h"
#include "kivo/base/platform/linux/__platform_atomic.h"

// ---- assertions
// Like assert, but a failure prints `text` as the broken contract: for
// contracts whose test reads differently in code than in their statement.
// Assertions stay on in every build.
#define KIVO_ASSERT_TEXT(cond, text) \
    ((cond) ? static_cast<void>(0) : __assert_fail(text, __FILE__, __LINE__, __extension__ __PRETTY_FUNCTION__))

// ---- kernel lock
// One recursive mutex for the whole library, created on first use: it guards
// lazy initialisations and shared tables. Hold it only briefly; code that
// holds it may call functions that take it again. The token is always 0.
int32_t kivo_kernel_lock(void);
void kivo_kernel_unlock(int32_t token);

// ---- thread-local slot
// One void* per thread (null until set). The memory layer keeps each thread's
// allocation record here.
void kivo_tls_set(void* value);
void* kivo_tls_get(void);

// ---- spin-locked stacks
// A stack is a head word; each node's first word links to the next node.
// All stacks share one spin lock, held only for the pointer swap.
void kivo_stack_init(void** head);
void kivo_stack_push(void** head, void* node);
// The first node, or null when the stack is empty.
void* kivo_stack_pop(void** head);

// ---- clocks (monotonic)
// Seconds * 1e9 + nanoseconds.
int64_t kivo_tick_ns(void);
// Signed division by 1000: kivo_tick_div1000(kivo_tick_ns()) is microseconds.
int64_t kivo_tick_div1000(int64_t value);
// Milliseconds in 32 bits; wraps after about 49.7 days, so compare
// differences ((uint32_t)(later - earlier)), never absolute values.
uint32_t kivo_tick_ms(void);
// Busy-waits (no sleep) for `us` microseconds; returns the low word of the
// last kivo_tick_ns reading.
uint32_t kivo_delay_us(uint32_t us);

// ---- wall time
typedef struct kivo_timeval_t {
    kivo_time_t tv_sec;
    int32_t tv_usec;
} kivo_timeval_t;

typedef struct kivo_timezone_t {
    int32_t tz_minuteswest;
    int32_t tz_dsttime;  // always 0 when read
} kivo_timezone_t;

// The system's time_t and kivo_time_t: widening sign-extends, narrowing
// would keep the low word of a 32-bit time_t (every target is built with a
// 64-bit one).
kivo_time_t kivo_time_from_sys(time_t t);
time_t kivo_time_to_sys(kivo_time_t t);

// Current time in seconds, also stored through `out` when not null.
kivo_time_t kivo_time_get(kivo_time_t* out);
// Broken-down local time to seconds; the daylight flag is left to the system
// library. Null gives 0. The record is not changed.
kivo_time_t kivo_time_mktime(const struct tm* tm);
// The same, reading the record as UTC. Null gives 0.
kivo_time_t kivo_time_mkgmtime(const struct tm* tm);
// Reentrant conversions; return `out` (null when `out` is null).
struct tm* kivo_time_gmtime(kivo_time_t t, struct tm* out);
struct tm* kivo_time_localtime(kivo_time_t t, struct tm* out);
// Fills `tv` and `tz` when they are not null.
kivo_err_t kivo_time_gettimeofday(kivo_timeval_t* tv, kivo_timezone_t* tz);
// Sets the system clock when `tv` is not null (needs the privilege to), and
// the time zone when `minutes_west` is not null, also when the clock step
// failed. Returns the first failure, 0 when both steps succeeded.
kivo_err_t kivo_time_settimeofday(const kivo_timeval_t* tv, const int32_t* minutes_west);
// Minutes west of UTC as the system library last read them; daylight flag 0.
void kivo_time_get_timezone(kivo_timezone_t* tz);
// Sets TZ to "CST<minutes_west / 60>" (UTC+8 is -480 minutes west: "CST-8";
// minutes that are not whole hours are dropped) and re-reads the zone. TZ is
// process-wide. Null gives 22.
kivo_err_t kivo_time_set_timezone(const int32_t* minutes_west);

// Called by the library's init and deinit: init re-reads the time zone from
// the environment, deinit does nothing.
void kivo_platform_init(void);
void kivo_platform_deinit(void);

// ---- platform one-shot timer
// The first init stores the callback and starts the "kernel_timer" thread,
// which polls about every millisecond; later inits only replace the callback.
// The callback runs on that thread while it holds the kernel lock, so it may
// arm the timer again but must not wait for a thread that needs the lock.
// set arms the timer `interval_us` microseconds from now (monotonic),
// replacing an earlier due time; each expiry disarms it (one shot).
typedef void (*kivo_kernel_timer_cb)(void);
void kivo_kernel_timer_init(kivo_kernel_timer_cb back);
void kivo_kernel_timer_set(uint64_t interval_us);

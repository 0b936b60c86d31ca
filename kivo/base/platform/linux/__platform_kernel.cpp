#include "kivo/base/platform/linux/__platform_kernel.h"

#include <assert.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include "kivo/base/kivo_pthread.h"

// Flags of the lazy initialisations are read without the kernel lock first;
// acquire/release makes the object created under the lock visible with them.
#define KIVO_FLAG_TEST(f) (__atomic_load_n(&(f), __ATOMIC_ACQUIRE) != 0)
#define KIVO_FLAG_SET(f) __atomic_store_n(&(f), 1u, __ATOMIC_RELEASE)

// ---- kernel lock

namespace {

// Created through the platform's run-once: no other lock is needed to make
// the lock that every other lazy initialisation relies on.
pthread_once_t s_kernel_once = PTHREAD_ONCE_INIT;
kivo_mutex_t s_kernel_mutex;

void kernel_lock_create()
{
    kivo_mutex_init(&s_kernel_mutex, 1);
}

}  // namespace

int32_t kivo_kernel_lock(void)
{
    pthread_once(&s_kernel_once, kernel_lock_create);
    kivo_mutex_lock(&s_kernel_mutex, KIVO_WAIT_FOREVER);
    return 0;
}

void kivo_kernel_unlock(int32_t token)
{
    (void)token;
    kivo_mutex_unlock(&s_kernel_mutex);
}

// ---- thread-local slot

namespace {

pthread_key_t s_tls_key;
uint32_t s_tls_created;

void tls_create()
{
    if (KIVO_FLAG_TEST(s_tls_created))
        return;
    int32_t token = kivo_kernel_lock();
    if (!KIVO_FLAG_TEST(s_tls_created)) {
        // No destructor: the memory layer retires a thread's record itself.
        pthread_key_create(&s_tls_key, nullptr);
        KIVO_FLAG_SET(s_tls_created);
    }
    kivo_kernel_unlock(token);
}

}  // namespace

void kivo_tls_set(void* value)
{
    tls_create();
    pthread_setspecific(s_tls_key, value);
}

void* kivo_tls_get(void)
{
    tls_create();
    return pthread_getspecific(s_tls_key);
}

// ---- platform one-shot timer

namespace {

// The callback is stored without the lock; atomic access keeps a replacement
// from being seen half-written by the timer thread.
kivo_kernel_timer_cb s_timer_callback;
uint32_t s_timer_started;
// Written under the kernel lock; the timer thread's first test reads them
// without it.
int32_t s_timer_armed;
uint64_t s_timer_due_us;
kivo_thread_t s_timer_thread;

uint64_t now_us()
{
    return (uint64_t)kivo_tick_div1000(kivo_tick_ns());
}

void* timer_main(void*)
{
    for (;;) {
        kivo_thread_msleep(1);
        const uint64_t now = now_us();
        if (__atomic_load_n(&s_timer_armed, __ATOMIC_RELAXED) == 0)
            continue;
        if (now < __atomic_load_n(&s_timer_due_us, __ATOMIC_RELAXED))
            continue;
        int32_t token = kivo_kernel_lock();
        // Tested again under the lock: it may have been re-armed for later.
        if (s_timer_armed != 0 && now >= s_timer_due_us) {
            __atomic_store_n(&s_timer_armed, 0, __ATOMIC_RELAXED);
            kivo_kernel_timer_cb callback = __atomic_load_n(&s_timer_callback, __ATOMIC_ACQUIRE);
            if (callback)
                callback();
        }
        kivo_kernel_unlock(token);
    }
    return nullptr;
}

}  // namespace

void kivo_kernel_timer_init(kivo_kernel_timer_cb back)
{
    assert(back);
    __atomic_store_n(&s_timer_callback, back, __ATOMIC_RELEASE);
    if (__atomic_exchange_n(&s_timer_started, 1u, __ATOMIC_ACQ_REL) != 0)
        return;
    // Top of the policy's range, default stack; the thread lives as long as
    // the process and is never joined.
    if (kivo_thread_create(&s_timer_thread, "kernel_timer", 99, 0, timer_main, nullptr) != 0)
        __atomic_store_n(&s_timer_started, 0u, __ATOMIC_RELEASE);  // let a later init try again
}

void kivo_kernel_timer_set(uint64_t interval_us)
{
    int32_t token = kivo_kernel_lock();
    __atomic_store_n(&s_timer_due_us, now_us() + interval_us, __ATOMIC_RELAXED);
    __atomic_store_n(&s_timer_armed, 1, __ATOMIC_RELAXED);
    kivo_kernel_unlock(token);
}

// ---- spin-locked stacks

namespace {

kivo_spinlock_t s_stack_lock;
uint32_t s_stack_lock_created;

void stack_lock_create()
{
    if (KIVO_FLAG_TEST(s_stack_lock_created))
        return;
    int32_t token = kivo_kernel_lock();
    if (!KIVO_FLAG_TEST(s_stack_lock_created)) {
        kivo_spin_init(&s_stack_lock);
        KIVO_FLAG_SET(s_stack_lock_created);
    }
    kivo_kernel_unlock(token);
}

}  // namespace

void kivo_stack_init(void** head)
{
    *head = nullptr;
}

void kivo_stack_push(void** head, void* node)
{
    stack_lock_create();
    kivo_spin_lock(&s_stack_lock);
    *(void**)node = *head;
    *head = node;
    kivo_spin_unlock(&s_stack_lock);
}

void* kivo_stack_pop(void** head)
{
    stack_lock_create();
    kivo_spin_lock(&s_stack_lock);
    void* node = *head;
    if (node)
        *head = *(void**)node;
    kivo_spin_unlock(&s_stack_lock);
    return node;
}

// ---- clocks

int64_t kivo_tick_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int64_t kivo_tick_div1000(int64_t value)
{
    return value / 1000;
}

uint32_t kivo_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

uint32_t kivo_delay_us(uint32_t us)
{
    const int64_t end = kivo_tick_ns() + (int64_t)us * 1000;
    int64_t now;
    do {
        now = kivo_tick_ns();
    } while (now < end);
    return (uint32_t)now;
}

// ---- wall time

kivo_time_t kivo_time_from_sys(time_t t)
{
    return (kivo_time_t)t;
}

time_t kivo_time_to_sys(kivo_time_t t)
{
    if (sizeof(time_t) < sizeof(kivo_time_t))
        return (time_t)(int32_t)(uint32_t)t;
    return (time_t)t;
}

kivo_time_t kivo_time_get(kivo_time_t* out)
{
    kivo_time_t now = kivo_time_from_sys(time(nullptr));
    if (out)
        *out = now;
    return now;
}

kivo_time_t kivo_time_mktime(const struct tm* tm)
{
    if (!tm)
        return 0;
    struct tm copy = *tm;
    copy.tm_isdst = -1;
    return kivo_time_from_sys(mktime(&copy));
}

kivo_time_t kivo_time_mkgmtime(const struct tm* tm)
{
    if (!tm)
        return 0;
    // Read as UTC directly: subtracting the zone's standard offset from a
    // local conversion would be an hour off whenever the zone keeps summer
    // time.
    struct tm copy = *tm;
    return kivo_time_from_sys(timegm(&copy));
}

struct tm* kivo_time_gmtime(kivo_time_t t, struct tm* out)
{
    if (!out)
        return nullptr;
    time_t sys = kivo_time_to_sys(t);
    gmtime_r(&sys, out);
    return out;
}

struct tm* kivo_time_localtime(kivo_time_t t, struct tm* out)
{
    if (!out)
        return nullptr;
    time_t sys = kivo_time_to_sys(t);
    localtime_r(&sys, out);
    return out;
}

kivo_err_t kivo_time_gettimeofday(kivo_timeval_t* tv, kivo_timezone_t* tz)
{
    if (tv) {
        struct timeval now;
        if (gettimeofday(&now, nullptr) != 0)
            return errno;
        tv->tv_sec = kivo_time_from_sys(now.tv_sec);
        tv->tv_usec = (int32_t)now.tv_usec;
    }
    if (tz)
        kivo_time_get_timezone(tz);
    return 0;
}

kivo_err_t kivo_time_settimeofday(const kivo_timeval_t* tv, const int32_t* minutes_west)
{
    kivo_err_t err = 0;
    if (tv) {
        struct timeval set;
        set.tv_sec = kivo_time_to_sys(tv->tv_sec);
        set.tv_usec = tv->tv_usec;
        if (settimeofday(&set, nullptr) != 0)
            err = errno;
    }
    if (minutes_west) {
        const kivo_err_t zone = kivo_time_set_timezone(minutes_west);
        if (err == 0)
            err = zone;
    }
    return err;
}

void kivo_time_get_timezone(kivo_timezone_t* tz)
{
    if (!tz)
        return;
    tz->tz_minuteswest = (int32_t)(timezone / 60);
    tz->tz_dsttime = 0;
}

kivo_err_t kivo_time_set_timezone(const int32_t* minutes_west)
{
    if (!minutes_west)
        return EINVAL;
    // POSIX TZ counts hours west: "CST-8" is eight hours east of UTC.
    char text[16];
    snprintf(text, sizeof(text), "CST%d", (int)(*minutes_west / 60));
    if (setenv("TZ", text, 1) != 0)
        return errno;
    tzset();
    return 0;
}

void kivo_platform_init(void)
{
    tzset();
}

void kivo_platform_deinit(void)
{
}

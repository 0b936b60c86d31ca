#pragma once

// Threads and synchronisation: thin kivo_ functions over POSIX threads, the
// framework's lock kivo::Mutex and kivo::this_thread::Sleep.
//
// Results are kivo_err_t: 0, or the error number the platform call reported,
// unchanged (110 when a timed wait ran out, 16 when a try-lock found the lock
// taken, 22 for an argument the platform refuses). Semaphore calls report the
// thread's errno, the others the value the platform call returned.
//
// Time-outs are milliseconds; KIVO_WAIT_FOREVER (0xFFFFFFFF) waits without
// limit and 0 polls. Deadlines are taken on the wall clock (CLOCK_REALTIME),
// so setting the clock shortens or lengthens a running wait.
//
// Every function asserts its handle argument (null objects, thread handle 0):
// a broken contract of the caller stops the program, it is not an error result.

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <time.h>

#include "kivo/base/kivo_types.h"
#include "kivo/base/noncopyable.h"

typedef pthread_spinlock_t kivo_spinlock_t;  // process-private
typedef sem_t kivo_sem_t;                    // counting, process-private
typedef pthread_mutex_t kivo_mutex_t;        // recursive or normal, chosen at init
typedef pthread_cond_t kivo_cond_t;          // process-private, on CLOCK_REALTIME

// Auto-reset event: a wait that returns (signalled or timed out) clears
// `signalled`; a post wakes one waiter. The flag is read and written only
// under `mutex`. Once a wait has returned, the post that satisfied it is done
// with the event: the waiter may destroy it.
typedef struct kivo_event_t {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    uint32_t signalled;
} kivo_event_t;

// The platform thread identifier; 0 is the invalid handle.
typedef pthread_t kivo_thread_t;
typedef void* (*kivo_thread_entry_t)(void* arg);

// Run-once flag: KIVO_ONCE_INIT (0) before the first run, 1 after.
typedef uint32_t kivo_once_t;
#define KIVO_ONCE_INIT 0u
typedef void (*kivo_once_fn_t)(void* arg);

// Spin locks.
kivo_err_t kivo_spin_init(kivo_spinlock_t* hlock);
kivo_err_t kivo_spin_destroy(kivo_spinlock_t* hlock);
kivo_err_t kivo_spin_lock(kivo_spinlock_t* hlock);
kivo_err_t kivo_spin_trylock(kivo_spinlock_t* hlock);
kivo_err_t kivo_spin_unlock(kivo_spinlock_t* hlock);

// Events. init sets `signalled` to `initial` (non-zero: the first wait
// returns at once); wait returns 0 when signalled, 110 on time-out. Two posts
// before one wait satisfy that one wait only.
kivo_err_t kivo_event_init(kivo_event_t* hevent, uint32_t initial);
kivo_err_t kivo_event_destroy(kivo_event_t* hevent);
kivo_err_t kivo_event_wait(kivo_event_t* hevent, uint32_t timeout_ms);
kivo_err_t kivo_event_post(kivo_event_t* hevent);
kivo_err_t kivo_event_reset(kivo_event_t* hevent);

// Semaphores. clear takes every count that is available and returns 0.
kivo_err_t kivo_sem_init(kivo_sem_t* hsem, uint32_t value);
kivo_err_t kivo_sem_destroy(kivo_sem_t* hsem);
kivo_err_t kivo_sem_wait(kivo_sem_t* hsem, uint32_t timeout_ms);
kivo_err_t kivo_sem_post(kivo_sem_t* hsem);
kivo_err_t kivo_sem_clear(kivo_sem_t* hsem);

// Mutexes: recursive when `recursive` is non-zero, else the normal type.
// A timed lock that runs out returns 110 and leaves the caller unlocked.
kivo_err_t kivo_mutex_init(kivo_mutex_t* hmutex, uint32_t recursive);
kivo_err_t kivo_mutex_destroy(kivo_mutex_t* hmutex);
kivo_err_t kivo_mutex_lock(kivo_mutex_t* hmutex, uint32_t timeout_ms);
kivo_err_t kivo_mutex_trylock(kivo_mutex_t* hmutex);
kivo_err_t kivo_mutex_unlock(kivo_mutex_t* hmutex);

// Conditions. wait returns with the mutex locked again, also after a
// time-out (110).
kivo_err_t kivo_cond_init(kivo_cond_t* hcond);
kivo_err_t kivo_cond_destroy(kivo_cond_t* hcond);
kivo_err_t kivo_cond_signal(kivo_cond_t* hcond);
kivo_err_t kivo_cond_wait(kivo_cond_t* hcond, kivo_mutex_t* hmutex, uint32_t timeout_ms);

inline bool kivo_is_thread_handle_valid(kivo_thread_t h)
{
    return h != 0;
}

// Creates a joinable thread running entry(arg) with explicit scheduling:
// round-robin real time when the process runs as root, else time-sharing
// (chosen once per process). `prio` is an offset from the middle of the
// policy's priority range, clamped to the range (round robin: 0 gives 50, 99
// gives 99; time-sharing: always 0). A stack size below 16384 (0 included)
// gives the platform's default stack. `name` is accepted for the caller's
// bookkeeping and not given to the platform.
//
// Where real-time scheduling is refused for lack of privilege (a container
// without CAP_SYS_NICE), the thread is created with the time-sharing policy
// instead.
//
// On failure *hthread_ret is 0 and the platform's error is returned; entry
// never runs, so whatever was meant to be handed over in `arg` is still the
// caller's. A thread object built on this call must check the result: with a
// 0 handle there is nothing to join or detach (both assert on the handle), so
// such an object reports the failure and treats Join/Detach as no-ops.
kivo_err_t kivo_thread_create(kivo_thread_t* hthread_ret, const char* name, int32_t prio,
                              uint32_t stack_size, kivo_thread_entry_t entry, void* arg);
kivo_err_t kivo_thread_detach(kivo_thread_t hthread);
kivo_err_t kivo_thread_join(kivo_thread_t hthread, void** result);
// Re-maps `prio` as at creation, within the range of the thread's policy.
kivo_err_t kivo_thread_setschedprio(kivo_thread_t hthread, int32_t prio);
// Runs fn(arg) once per flag; first runs of all flags are serialised on one
// process-wide (recursive) lock. Returns 0.
kivo_err_t kivo_thread_once(kivo_once_t* honce, kivo_once_fn_t fn, void* arg);
// The identifier of a valid handle: the handle value itself.
kivo_thread_t kivo_thread_getid(kivo_thread_t hthread);
// Non-zero when both valid handles name the same thread.
int kivo_thread_equal(kivo_thread_t hthread1, kivo_thread_t hthread2);
kivo_thread_t kivo_thread_self(void);
void kivo_thread_msleep(uint32_t ms);
void kivo_thread_yield(void);

// Absolute deadline `ms` milliseconds from now on the wall clock, as the timed
// waits above use it.
void __timespecFromNow(uint32_t ms, struct timespec* rtsp);

namespace kivo {

// The framework's lock: always recursive, not copyable.
class Mutex : NonCopyable {
public:
    // Holds the lock for a scope (waiting without limit; the result is
    // ignored) and releases it at the end.
    class ScopedLock : NonCopyable {
    public:
        explicit ScopedLock(Mutex& mutex) : _mutex(mutex) { _mutex.Lock(KIVO_WAIT_FOREVER); }
        ~ScopedLock() { _mutex.Unlock(); }

    private:
        Mutex& _mutex;
    };

    // The reverse: a lock holder releases the lock for a scope and takes it
    // again (without limit) at the end.
    class ScopedUnlock : NonCopyable {
    public:
        explicit ScopedUnlock(Mutex& mutex) : _mutex(mutex) { _mutex.Unlock(); }
        ~ScopedUnlock() { _mutex.Lock(KIVO_WAIT_FOREVER); }

    private:
        Mutex& _mutex;
    };

    Mutex();
    ~Mutex();

    // True when the lock was taken within the time-out.
    bool Lock(uint32_t timeout_ms = KIVO_WAIT_FOREVER);
    void Unlock();

    // For the condition calls, which wait on the platform mutex itself.
    kivo_mutex_t* Handle() { return &_mutex; }

private:
    kivo_mutex_t _mutex;
};

namespace this_thread {

void Sleep(uint32_t ms);

}  // namespace this_thread

}  // namespace kivo

#include "kivo/base/kivo_pthread.h"

#include <assert.h>
#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include "kivo/base/platform/linux/__platform_kernel.h"

// Handles are asserted by their parameter names; thread handles through the
// validity test, so the message names the rule that was broken.
#define KIVO_THREAD_ASSERT(h) assert((kivo_is_thread_handle_valid(h)))

void __timespecFromNow(uint32_t ms, struct timespec* rtsp)
{
    assert(rtsp);
    kivo_timeval_t now;
    kivo_time_gettimeofday(&now, nullptr);
    // 64 bits: ms * 1000 alone passes 32 bits for waits above 71 minutes.
    uint64_t us = (uint64_t)now.tv_usec + (uint64_t)ms * 1000u;
    rtsp->tv_sec = (time_t)(now.tv_sec + (kivo_time_t)(us / 1000000u));
    rtsp->tv_nsec = (long)(us % 1000000u) * 1000;
}

// ---- spin locks

kivo_err_t kivo_spin_init(kivo_spinlock_t* hlock)
{
    assert(hlock);
    return pthread_spin_init(hlock, PTHREAD_PROCESS_PRIVATE);
}

kivo_err_t kivo_spin_destroy(kivo_spinlock_t* hlock)
{
    assert(hlock);
    return pthread_spin_destroy(hlock);
}

kivo_err_t kivo_spin_lock(kivo_spinlock_t* hlock)
{
    assert(hlock);
    return pthread_spin_lock(hlock);
}

kivo_err_t kivo_spin_trylock(kivo_spinlock_t* hlock)
{
    assert(hlock);
    return pthread_spin_trylock(hlock);
}

kivo_err_t kivo_spin_unlock(kivo_spinlock_t* hlock)
{
    assert(hlock);
    return pthread_spin_unlock(hlock);
}

// ---- events

kivo_err_t kivo_event_init(kivo_event_t* hevent, uint32_t initial)
{
    assert(hevent);
    pthread_condattr_t cattr;
    pthread_condattr_init(&cattr);
    pthread_condattr_setpshared(&cattr, PTHREAD_PROCESS_PRIVATE);
    pthread_cond_init(&hevent->cond, &cattr);
    pthread_condattr_destroy(&cattr);

    pthread_mutexattr_t mattr;
    pthread_mutexattr_init(&mattr);
    pthread_mutexattr_setpshared(&mattr, PTHREAD_PROCESS_PRIVATE);
    pthread_mutexattr_settype(&mattr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&hevent->mutex, &mattr);
    pthread_mutexattr_destroy(&mattr);

    hevent->signalled = initial;
    return 0;
}

kivo_err_t kivo_event_destroy(kivo_event_t* hevent)
{
    assert(hevent);
    pthread_cond_destroy(&hevent->cond);
    pthread_mutex_destroy(&hevent->mutex);
    hevent->signalled = 0;
    return 0;
}

kivo_err_t kivo_event_wait(kivo_event_t* hevent, uint32_t timeout_ms)
{
    assert(hevent);
    struct timespec deadline;
    // The deadline is fixed before the lock is taken, so time spent waiting
    // for the mutex counts against the time-out.
    if (timeout_ms != KIVO_WAIT_FOREVER)
        __timespecFromNow(timeout_ms, &deadline);

    pthread_mutex_lock(&hevent->mutex);
    kivo_err_t result = 0;
    while (!hevent->signalled) {
        if (timeout_ms != KIVO_WAIT_FOREVER)
            result = pthread_cond_timedwait(&hevent->cond, &hevent->mutex, &deadline);
        else
            result = pthread_cond_wait(&hevent->cond, &hevent->mutex);
        if (hevent->signalled) {
            result = 0;
            break;
        }
        if (result != 0)
            break;
        // Spurious wake-up: wait again for the same deadline.
    }
    hevent->signalled = 0;
    pthread_mutex_unlock(&hevent->mutex);
    return result;
}

kivo_err_t kivo_event_post(kivo_event_t* hevent)
{
    assert(hevent);
    pthread_mutex_lock(&hevent->mutex);
    hevent->signalled = 1;
    // Signalled before unlocking: a waiter returns only after taking the
    // mutex, so once it has returned the post is done with the event and the
    // waiter may destroy it. Signalled after unlocking, a waiter that came in
    // between would find the flag set, return and free the event while the
    // post still signalled its condition.
    kivo_err_t result = pthread_cond_signal(&hevent->cond);
    pthread_mutex_unlock(&hevent->mutex);
    return result;
}

kivo_err_t kivo_event_reset(kivo_event_t* hevent)
{
    assert(hevent);
    pthread_mutex_lock(&hevent->mutex);
    hevent->signalled = 0;
    pthread_mutex_unlock(&hevent->mutex);
    return 0;
}

// ---- semaphores

kivo_err_t kivo_sem_init(kivo_sem_t* hsem, uint32_t value)
{
    assert(hsem);
    return sem_init(hsem, 0, value) == 0 ? 0 : errno;
}

kivo_err_t kivo_sem_destroy(kivo_sem_t* hsem)
{
    assert(hsem);
    return sem_destroy(hsem) == 0 ? 0 : errno;
}

kivo_err_t kivo_sem_wait(kivo_sem_t* hsem, uint32_t timeout_ms)
{
    assert(hsem);
    int rc;
    // A signal handler interrupts semaphore waits even with SA_RESTART; the
    // deadline is absolute, so waiting again keeps the caller's time-out.
    if (timeout_ms != KIVO_WAIT_FOREVER) {
        struct timespec deadline;
        __timespecFromNow(timeout_ms, &deadline);
        do {
            rc = sem_timedwait(hsem, &deadline);
        } while (rc != 0 && errno == EINTR);
    } else {
        do {
            rc = sem_wait(hsem);
        } while (rc != 0 && errno == EINTR);
    }
    return rc == 0 ? 0 : errno;
}

kivo_err_t kivo_sem_post(kivo_sem_t* hsem)
{
    assert(hsem);
    return sem_post(hsem) == 0 ? 0 : errno;
}

kivo_err_t kivo_sem_clear(kivo_sem_t* hsem)
{
    assert(hsem);
    while (kivo_sem_wait(hsem, 0) == 0) {
    }
    return 0;
}

// ---- mutexes

kivo_err_t kivo_mutex_init(kivo_mutex_t* hmutex, uint32_t recursive)
{
    assert(hmutex);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    kivo_err_t err = pthread_mutex_init(hmutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return err;
}

kivo_err_t kivo_mutex_destroy(kivo_mutex_t* hmutex)
{
    assert(hmutex);
    return pthread_mutex_destroy(hmutex);
}

kivo_err_t kivo_mutex_lock(kivo_mutex_t* hmutex, uint32_t timeout_ms)
{
    assert(hmutex);
    if (timeout_ms == KIVO_WAIT_FOREVER)
        return pthread_mutex_lock(hmutex);
    struct timespec deadline;
    __timespecFromNow(timeout_ms, &deadline);
    return pthread_mutex_timedlock(hmutex, &deadline);
}

kivo_err_t kivo_mutex_trylock(kivo_mutex_t* hmutex)
{
    assert(hmutex);
    return pthread_mutex_trylock(hmutex);
}

kivo_err_t kivo_mutex_unlock(kivo_mutex_t* hmutex)
{
    assert(hmutex);
    return pthread_mutex_unlock(hmutex);
}

// ---- conditions

kivo_err_t kivo_cond_init(kivo_cond_t* hcond)
{
    assert(hcond);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
    kivo_err_t err = pthread_cond_init(hcond, &attr);
    pthread_condattr_destroy(&attr);
    return err;
}

kivo_err_t kivo_cond_destroy(kivo_cond_t* hcond)
{
    assert(hcond);
    return pthread_cond_destroy(hcond);
}

kivo_err_t kivo_cond_signal(kivo_cond_t* hcond)
{
    assert(hcond);
    return pthread_cond_signal(hcond);
}

kivo_err_t kivo_cond_wait(kivo_cond_t* hcond, kivo_mutex_t* hmutex, uint32_t timeout_ms)
{
    assert(hcond);
    assert(hmutex);
    if (timeout_ms == KIVO_WAIT_FOREVER)
        return pthread_cond_wait(hcond, hmutex);
    struct timespec deadline;
    __timespecFromNow(timeout_ms, &deadline);
    return pthread_cond_timedwait(hcond, hmutex, &deadline);
}

// ---- threads

namespace {

// Cached once per process; -1 until first use. Every thread computes the
// same value, so a race on the first fill is harmless.
int32_t s_sched_policy = -1;

int sched_policy()
{
    int32_t policy = __atomic_load_n(&s_sched_policy, __ATOMIC_RELAXED);
    if (policy < 0) {
        policy = geteuid() == 0 ? SCHED_RR : SCHED_OTHER;
        __atomic_store_n(&s_sched_policy, policy, __ATOMIC_RELAXED);
    }
    return policy;
}

// `prio` is an offset from the middle of the policy's range.
int map_priority(int policy, int32_t prio)
{
    const int lo = sched_get_priority_min(policy);
    const int hi = sched_get_priority_max(policy);
    int64_t mapped = (int64_t)prio + (lo + hi) / 2;
    if (mapped < lo)
        mapped = lo;
    if (mapped > hi)
        mapped = hi;
    return (int)mapped;
}

kivo_err_t create_with_policy(kivo_thread_t* out, int policy, int32_t prio, uint32_t stack_size,
                              kivo_thread_entry_t entry, void* arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, policy);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    struct sched_param param = {};
    param.sched_priority = map_priority(policy, prio);
    pthread_attr_setschedparam(&attr, &param);
    // Sizes below the platform minimum are refused (22) and leave the
    // default stack in place, which is what a request for 0 means.
    (void)pthread_attr_setstacksize(&attr, stack_size);
    kivo_err_t err = pthread_create(out, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return err;
}

}  // namespace

kivo_err_t kivo_thread_create(kivo_thread_t* hthread_ret, const char* name, int32_t prio,
                              uint32_t stack_size, kivo_thread_entry_t entry, void* arg)
{
    assert(hthread_ret);
    (void)name;
    const int policy = sched_policy();
    kivo_err_t err = create_with_policy(hthread_ret, policy, prio, stack_size, entry, arg);
    // Root without CAP_SYS_NICE (usual in containers) may not ask for real
    // time: the thread is still wanted, so it runs time-shared instead.
    if (err == EPERM && policy != SCHED_OTHER)
        err = create_with_policy(hthread_ret, SCHED_OTHER, prio, stack_size, entry, arg);
    if (err != 0)
        *hthread_ret = 0;
    return err;
}

kivo_err_t kivo_thread_detach(kivo_thread_t hthread)
{
    KIVO_THREAD_ASSERT(hthread);
    return pthread_detach(hthread);
}

kivo_err_t kivo_thread_join(kivo_thread_t hthread, void** result)
{
    KIVO_THREAD_ASSERT(hthread);
    return pthread_join(hthread, result);
}

kivo_err_t kivo_thread_setschedprio(kivo_thread_t hthread, int32_t prio)
{
    KIVO_THREAD_ASSERT(hthread);
    // The range is the thread's own policy's: the same as the creation's,
    // unless creation had to fall back to time-sharing.
    int policy = sched_policy();
    struct sched_param param;
    if (pthread_getschedparam(hthread, &policy, &param) != 0)
        policy = sched_policy();
    return pthread_setschedprio(hthread, map_priority(policy, prio));
}

namespace {

// Recursive, so that a first run may itself run another flag's first run.
pthread_mutex_t s_once_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

}  // namespace

kivo_err_t kivo_thread_once(kivo_once_t* honce, kivo_once_fn_t fn, void* arg)
{
    assert(honce);
    // The acquire pairs with the release below: whoever sees 1 also sees
    // everything fn wrote.
    if (__atomic_load_n(honce, __ATOMIC_ACQUIRE) == 1)
        return 0;
    pthread_mutex_lock(&s_once_lock);
    if (__atomic_load_n(honce, __ATOMIC_RELAXED) == 0) {
        fn(arg);
        __atomic_store_n(honce, 1u, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&s_once_lock);
    return 0;
}

kivo_thread_t kivo_thread_getid(kivo_thread_t hthread)
{
    KIVO_THREAD_ASSERT(hthread);
    return hthread;
}

int kivo_thread_equal(kivo_thread_t hthread1, kivo_thread_t hthread2)
{
    KIVO_THREAD_ASSERT(hthread1);
    KIVO_THREAD_ASSERT(hthread2);
    return pthread_equal(hthread1, hthread2);
}

kivo_thread_t kivo_thread_self(void)
{
    return pthread_self();
}

void kivo_thread_msleep(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = (time_t)(ms / 1000u);
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void kivo_thread_yield(void)
{
    sched_yield();
}

// ---- kivo::Mutex

namespace kivo {

Mutex::Mutex()
{
    kivo_mutex_init(&_mutex, 1);
}

Mutex::~Mutex()
{
    kivo_mutex_destroy(&_mutex);
}

bool Mutex::Lock(uint32_t timeout_ms)
{
    return kivo_mutex_lock(&_mutex, timeout_ms) == 0;
}

void Mutex::Unlock()
{
    kivo_mutex_unlock(&_mutex);
}

namespace this_thread {

void Sleep(uint32_t ms)
{
    kivo_thread_msleep(ms);
}

}  // namespace this_thread

}  // namespace kivo

#include "kivo/base/kivo_pthread.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Single-thread behaviour, time-outs, thread creation and the handle
// assertions. Cases where threads race each other are in
// kivo_pthread_concurrency_test.cpp, which also runs under ThreadSanitizer.

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// The upper bound of a wait that returns at once or after its time-out: only
// a hang, or a time-out taken in the wrong unit, reaches it. Other work on
// the machine and qemu for the ARM build must never make a correct wait
// fail, so no tighter bound is set here.
constexpr int64_t kHangMs = 30000;

// ---- events

class PthreadEventTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kivo_event_init(&ev, 0), 0); }
    void TearDown() override { kivo_event_destroy(&ev); }
    kivo_event_t ev;
};

TEST_F(PthreadEventTest, ZeroWaitPollsAndClearsTheFlag)
{
    auto start = Clock::now();
    EXPECT_EQ(kivo_event_wait(&ev, 0), ETIMEDOUT);
    EXPECT_LT(ElapsedMs(start), kHangMs);
    EXPECT_EQ(ev.signalled, 0u);

    ASSERT_EQ(kivo_event_post(&ev), 0);
    EXPECT_EQ(ev.signalled, 1u);
    EXPECT_EQ(kivo_event_wait(&ev, 0), 0);
    EXPECT_EQ(ev.signalled, 0u);
}

TEST_F(PthreadEventTest, TimedWaitRunsOutAfterItsTime)
{
    auto start = Clock::now();
    EXPECT_EQ(kivo_event_wait(&ev, 50), ETIMEDOUT);
    int64_t took = ElapsedMs(start);
    EXPECT_GE(took, 45);
    EXPECT_LT(took, kHangMs);
}

TEST_F(PthreadEventTest, TwoPostsSatisfyOneWaitOnly)
{
    kivo_event_post(&ev);
    kivo_event_post(&ev);
    EXPECT_EQ(kivo_event_wait(&ev, 0), 0);
    EXPECT_EQ(kivo_event_wait(&ev, 0), ETIMEDOUT);
}

TEST_F(PthreadEventTest, ResetDropsAPost)
{
    kivo_event_post(&ev);
    EXPECT_EQ(kivo_event_reset(&ev), 0);
    EXPECT_EQ(kivo_event_wait(&ev, 0), ETIMEDOUT);
}

TEST(PthreadEventInitTest, InitiallySignalledSatisfiesTheFirstWait)
{
    kivo_event_t ev;
    ASSERT_EQ(kivo_event_init(&ev, 1), 0);
    EXPECT_EQ(kivo_event_wait(&ev, KIVO_WAIT_FOREVER), 0);
    EXPECT_EQ(kivo_event_wait(&ev, 0), ETIMEDOUT);
    EXPECT_EQ(kivo_event_destroy(&ev), 0);
    EXPECT_EQ(ev.signalled, 0u);
}

// ---- semaphores

TEST(PthreadSemTest, WaitTakesCountsThenTimesOut)
{
    kivo_sem_t sem;
    ASSERT_EQ(kivo_sem_init(&sem, 2), 0);
    EXPECT_EQ(kivo_sem_wait(&sem, 0), 0);
    EXPECT_EQ(kivo_sem_wait(&sem, KIVO_WAIT_FOREVER), 0);

    auto start = Clock::now();
    EXPECT_EQ(kivo_sem_wait(&sem, 0), ETIMEDOUT);
    EXPECT_LT(ElapsedMs(start), kHangMs);

    start = Clock::now();
    EXPECT_EQ(kivo_sem_wait(&sem, 50), ETIMEDOUT);
    int64_t took = ElapsedMs(start);
    EXPECT_GE(took, 45);
    EXPECT_LT(took, kHangMs);

    EXPECT_EQ(kivo_sem_post(&sem), 0);
    EXPECT_EQ(kivo_sem_wait(&sem, 50), 0);
    EXPECT_EQ(kivo_sem_destroy(&sem), 0);
}

TEST(PthreadSemTest, ClearTakesEveryCount)
{
    kivo_sem_t sem;
    ASSERT_EQ(kivo_sem_init(&sem, 3), 0);
    EXPECT_EQ(kivo_sem_clear(&sem), 0);
    int value = -1;
    sem_getvalue(&sem, &value);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(kivo_sem_wait(&sem, 0), ETIMEDOUT);
    // Clearing an empty semaphore is fine too.
    EXPECT_EQ(kivo_sem_clear(&sem), 0);
    kivo_sem_destroy(&sem);
}

TEST(PthreadSemTest, InitReportsTheRefusedValue)
{
    kivo_sem_t sem;
    EXPECT_EQ(kivo_sem_init(&sem, 0x80000000u), EINVAL);
}

// ---- mutexes and conditions

TEST(PthreadMutexTest, OwnerRelocksOnlyARecursiveMutex)
{
    struct Case {
        uint32_t recursive;
        kivo_err_t relock;
    };
    for (const Case& c : {Case{1, 0}, Case{0, EBUSY}}) {
        kivo_mutex_t m;
        ASSERT_EQ(kivo_mutex_init(&m, c.recursive), 0);
        ASSERT_EQ(kivo_mutex_lock(&m, KIVO_WAIT_FOREVER), 0);
        EXPECT_EQ(kivo_mutex_trylock(&m), c.relock) << "recursive=" << c.recursive;
        if (c.relock == 0) {
            EXPECT_EQ(kivo_mutex_lock(&m, 0), 0);
            EXPECT_EQ(kivo_mutex_unlock(&m), 0);
            EXPECT_EQ(kivo_mutex_unlock(&m), 0);
        }
        EXPECT_EQ(kivo_mutex_unlock(&m), 0);
        EXPECT_EQ(kivo_mutex_destroy(&m), 0);
    }
}

TEST(PthreadCondTest, TimedWaitRunsOutWithTheMutexHeldAgain)
{
    kivo_cond_t cond;
    kivo_mutex_t m;
    ASSERT_EQ(kivo_cond_init(&cond), 0);
    ASSERT_EQ(kivo_mutex_init(&m, 0), 0);
    ASSERT_EQ(kivo_mutex_lock(&m, KIVO_WAIT_FOREVER), 0);
    auto start = Clock::now();
    EXPECT_EQ(kivo_cond_wait(&cond, &m, 30), ETIMEDOUT);
    EXPECT_GE(ElapsedMs(start), 25);
    // Held again: a normal mutex refuses its owner's try-lock.
    EXPECT_EQ(kivo_mutex_trylock(&m), EBUSY);
    EXPECT_EQ(kivo_mutex_unlock(&m), 0);
    EXPECT_EQ(kivo_cond_signal(&cond), 0);  // nobody waits: nothing happens
    kivo_mutex_destroy(&m);
    kivo_cond_destroy(&cond);
}

TEST(PthreadSpinTest, TryLockSeesTheLockTaken)
{
    kivo_spinlock_t lock;
    ASSERT_EQ(kivo_spin_init(&lock), 0);
    EXPECT_EQ(kivo_spin_lock(&lock), 0);
    EXPECT_EQ(kivo_spin_trylock(&lock), EBUSY);
    EXPECT_EQ(kivo_spin_unlock(&lock), 0);
    EXPECT_EQ(kivo_spin_trylock(&lock), 0);
    EXPECT_EQ(kivo_spin_unlock(&lock), 0);
    EXPECT_EQ(kivo_spin_destroy(&lock), 0);
}

// ---- threads

bool HasCapSysNice()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return false;
    char line[256];
    unsigned long long eff = 0;
    while (fgets(line, sizeof(line), f))
        if (sscanf(line, "CapEff: %llx", &eff) == 1)
            break;
    fclose(f);
    return (eff >> CAP_SYS_NICE) & 1;
}

// Round robin as root; time-sharing otherwise, and also for root without the
// privilege for real time (creation falls back).
int ExpectedPolicy()
{
    return geteuid() == 0 && HasCapSysNice() ? SCHED_RR : SCHED_OTHER;
}

struct SchedProbe {
    int policy = -1;
    int priority = -1;
};

void* ProbeSched(void* arg)
{
    auto* probe = static_cast<SchedProbe*>(arg);
    struct sched_param param;
    pthread_getschedparam(pthread_self(), &probe->policy, &param);
    probe->priority = param.sched_priority;
    return probe;
}

TEST(PthreadThreadTest, AnyStackSizeRunsAndJoinGivesTheResult)
{
    for (uint32_t stack : {0u, 10u, 16383u, 65536u, 1u << 20}) {
        SchedProbe probe;
        kivo_thread_t h = 0;
        ASSERT_EQ(kivo_thread_create(&h, "probe", 0, stack, ProbeSched, &probe), 0) << stack;
        EXPECT_TRUE(kivo_is_thread_handle_valid(h));
        void* result = nullptr;
        EXPECT_EQ(kivo_thread_join(h, &result), 0);
        EXPECT_EQ(result, &probe) << stack;
        EXPECT_EQ(probe.policy, ExpectedPolicy());
    }
}

TEST(PthreadThreadTest, PriorityIsAnOffsetFromTheMiddleOfTheRange)
{
    const int policy = ExpectedPolicy();
    struct Case {
        int32_t prio;
        int rr;  // expected under round robin [1, 99]
    };
    const Case cases[] = {{0, 50}, {5, 55}, {-1, 49}, {99, 99}, {-49, 1}, {-1000, 1}, {INT32_MAX, 99}};
    for (const Case& c : cases) {
        SchedProbe probe;
        kivo_thread_t h = 0;
        ASSERT_EQ(kivo_thread_create(&h, "prio", c.prio, 0, ProbeSched, &probe), 0);
        kivo_thread_join(h, nullptr);
        EXPECT_EQ(probe.policy, policy);
        // Time-sharing has the single priority 0.
        EXPECT_EQ(probe.priority, policy == SCHED_RR ? c.rr : 0) << "prio " << c.prio;
    }
}

void* WaitForEvent(void* arg)
{
    kivo_event_wait(static_cast<kivo_event_t*>(arg), KIVO_WAIT_FOREVER);
    return nullptr;
}

TEST(PthreadThreadTest, SetSchedPrioMapsAsCreationDoes)
{
    kivo_event_t go;
    kivo_event_init(&go, 0);
    kivo_thread_t h = 0;
    ASSERT_EQ(kivo_thread_create(&h, "sched", 0, 0, WaitForEvent, &go), 0);
    EXPECT_EQ(kivo_thread_setschedprio(h, 10), 0);
    int policy = -1;
    struct sched_param param;
    ASSERT_EQ(pthread_getschedparam(h, &policy, &param), 0);
    EXPECT_EQ(param.sched_priority, policy == SCHED_RR ? 60 : 0);
    kivo_event_post(&go);
    EXPECT_EQ(kivo_thread_join(h, nullptr), 0);
    kivo_event_destroy(&go);
}

TEST(PthreadThreadTest, IdentityOfHandles)
{
    kivo_thread_t self = kivo_thread_self();
    EXPECT_TRUE(kivo_is_thread_handle_valid(self));
    EXPECT_FALSE(kivo_is_thread_handle_valid(0));
    EXPECT_EQ(kivo_thread_getid(self), self);
    EXPECT_NE(kivo_thread_equal(self, pthread_self()), 0);

    kivo_event_t go;
    kivo_event_init(&go, 0);
    kivo_thread_t other = 0;
    ASSERT_EQ(kivo_thread_create(&other, "other", 0, 0, WaitForEvent, &go), 0);
    EXPECT_EQ(kivo_thread_equal(self, other), 0);
    kivo_event_post(&go);
    kivo_thread_join(other, nullptr);
    kivo_event_destroy(&go);
}

TEST(PthreadThreadTest, DetachedThreadRunsToTheEnd)
{
    // Static and never destroyed: the detached thread may still be inside
    // the post when the wait returns.
    static kivo_event_t done;
    kivo_event_init(&done, 0);
    kivo_thread_t h = 0;
    auto post = [](void* arg) -> void* {
        kivo_event_post(static_cast<kivo_event_t*>(arg));
        return nullptr;
    };
    ASSERT_EQ(kivo_thread_create(&h, "detached", 0, 0, post, &done), 0);
    EXPECT_EQ(kivo_thread_detach(h), 0);
    EXPECT_EQ(kivo_event_wait(&done, 5000), 0);
}

// Root without CAP_SYS_NICE may not ask for real time: the thread must still
// be created (time-shared) rather than leave a 0 handle. Runs in a child
// process, which drops the privilege for itself only.
void CreateWithoutRealTimePrivilege()
{
    struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &hdr, data) != 0)
        _exit(2);
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    if (syscall(SYS_capset, &hdr, data) != 0)
        _exit(3);
    SchedProbe probe;
    kivo_thread_t h = 0;
    if (kivo_thread_create(&h, "fallback", 0, 0, ProbeSched, &probe) != 0 || h == 0)
        _exit(4);
    if (kivo_thread_join(h, nullptr) != 0 || probe.policy != SCHED_OTHER)
        _exit(5);
    _exit(0);
}

TEST(PthreadThreadTest, RefusedRealTimeFallsBackToTimeSharing)
{
    EXPECT_EXIT(CreateWithoutRealTimePrivilege(), ::testing::ExitedWithCode(0), "");
}

// A thread that cannot be created at all is reported with the invalid handle,
// and its entry never runs. In a child process that may start no more
// processes, so that clone itself fails.
int g_refused_ran;

void CreateWithoutProcesses()
{
    if (geteuid() == 0 && setuid(65534) != 0)
        _exit(2);
    struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0)
        _exit(3);
    kivo_thread_t h = (kivo_thread_t)1;
    auto entry = [](void*) -> void* {
        g_refused_ran = 1;
        return nullptr;
    };
    if (kivo_thread_create(&h, "refused", 0, 0, entry, nullptr) == 0)
        _exit(4);
    if (h != 0 || kivo_is_thread_handle_valid(h))
        _exit(5);
    kivo_thread_msleep(20);
    _exit(g_refused_ran ? 6 : 0);
}

TEST(PthreadThreadTest, RefusedCreationReportsAndLeavesHandleZero)
{
    EXPECT_EXIT(CreateWithoutProcesses(), ::testing::ExitedWithCode(0), "");
}

TEST(PthreadThreadTest, SleepTakesAboutItsTime)
{
    auto start = Clock::now();
    kivo_thread_msleep(30);
    int64_t took = ElapsedMs(start);
    EXPECT_GE(took, 29);
    EXPECT_LT(took, kHangMs);

    start = Clock::now();
    kivo::this_thread::Sleep(20);
    took = ElapsedMs(start);
    EXPECT_GE(took, 19);
    EXPECT_LT(took, kHangMs);

    kivo_thread_yield();
}

// ---- run-once (single thread; many threads: the concurrency tests)

int g_once_runs;
kivo_once_t g_inner_flag = KIVO_ONCE_INIT;

void CountRun(void* arg)
{
    ++*static_cast<int*>(arg);
}

void RunInnerOnce(void* arg)
{
    ++g_once_runs;
    kivo_thread_once(&g_inner_flag, CountRun, arg);
}

TEST(PthreadOnceTest, RunsOncePerFlagAndMayNest)
{
    kivo_once_t flag = KIVO_ONCE_INIT;
    int runs = 0;
    EXPECT_EQ(kivo_thread_once(&flag, CountRun, &runs), 0);
    EXPECT_EQ(kivo_thread_once(&flag, CountRun, &runs), 0);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(flag, 1u);

    // A first run that needs another flag's first run does not deadlock.
    kivo_once_t outer = KIVO_ONCE_INIT;
    int inner_runs = 0;
    g_once_runs = 0;
    g_inner_flag = KIVO_ONCE_INIT;  // a fresh flag for each run (--gtest_repeat)
    kivo_thread_once(&outer, RunInnerOnce, &inner_runs);
    kivo_thread_once(&outer, RunInnerOnce, &inner_runs);
    EXPECT_EQ(g_once_runs, 1);
    EXPECT_EQ(inner_runs, 1);
}

// ---- kivo::Mutex (one thread; cross-thread locking: the concurrency tests)

TEST(KivoMutexTest, IsRecursive)
{
    kivo::Mutex m;
    EXPECT_TRUE(m.Lock(0));
    EXPECT_TRUE(m.Lock(KIVO_WAIT_FOREVER));
    {
        kivo::Mutex::ScopedLock hold(m);
        EXPECT_EQ(kivo_mutex_trylock(m.Handle()), 0);
        m.Unlock();
    }
    m.Unlock();
    m.Unlock();
}

// ---- handle assertions

TEST(PthreadHandleDeathTest, NullHandlesStopOnTheirAssertions)
{
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* expr;
    };
    kivo_mutex_t m;
    kivo_cond_t c;
    const kivo_thread_t self = kivo_thread_self();
    const std::vector<Case> cases = {
        {"spin", [] { kivo_spin_lock(nullptr); }, "hlock"},
        {"event", [] { kivo_event_wait(nullptr, 0); }, "hevent"},
        {"sem", [] { kivo_sem_post(nullptr); }, "hsem"},
        {"mutex", [] { kivo_mutex_lock(nullptr, 0); }, "hmutex"},
        {"cond", [] { kivo_cond_signal(nullptr); }, "hcond"},
        {"cond wait, cond", [&] { kivo_cond_wait(nullptr, &m, 0); }, "hcond"},
        {"cond wait, mutex", [&] { kivo_cond_wait(&c, nullptr, 0); }, "hmutex"},
        {"create", [] { kivo_thread_create(nullptr, "x", 0, 0, nullptr, nullptr); }, "hthread_ret"},
        {"once", [] { kivo_thread_once(nullptr, CountRun, nullptr); }, "honce"},
        {"deadline", [] { __timespecFromNow(1, nullptr); }, "rtsp"},
        {"join", [] { kivo_thread_join(0, nullptr); }, "\\(kivo_is_thread_handle_valid\\(hthread\\)\\)"},
        {"detach", [] { kivo_thread_detach(0); }, "\\(kivo_is_thread_handle_valid\\(hthread\\)\\)"},
        {"setschedprio", [] { kivo_thread_setschedprio(0, 0); }, "\\(kivo_is_thread_handle_valid\\(hthread\\)\\)"},
        {"getid", [] { kivo_thread_getid(0); }, "\\(kivo_is_thread_handle_valid\\(hthread\\)\\)"},
        {"equal 1", [&] { kivo_thread_equal(0, self); }, "\\(kivo_is_thread_handle_valid\\(hthread1\\)\\)"},
        {"equal 2", [&] { kivo_thread_equal(self, 0); }, "\\(kivo_is_thread_handle_valid\\(hthread2\\)\\)"},
    };
    for (const Case& k : cases) {
        std::string pattern = std::string("kivo_pthread\\.cpp:[0-9]+: .*Assertion `") + k.expr + "' failed";
        EXPECT_DEATH(k.call(), pattern) << k.what;
    }
}

}  // namespace

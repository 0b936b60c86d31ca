#include "kivo/base/kivo_pthread.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// Threads racing each other on the synchronisation objects; also run under
// ThreadSanitizer.

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Time-outs and bounds that only a hang reaches: a loaded machine, qemu or
// the thread checker never make a correct wait take this long.
constexpr uint32_t kLongWaitMs = 30000;

TEST(PthreadEventConcurrencyTest, PingPongLosesNoPost)
{
    kivo_event_t ping, pong;
    kivo_event_init(&ping, 0);
    kivo_event_init(&pong, 0);
    constexpr int kRounds = 300;
    int seen = 0;  // written by the partner, read after each pong
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(kivo_event_wait(&ping, KIVO_WAIT_FOREVER), 0);
            ++seen;
            kivo_event_post(&pong);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        kivo_event_post(&ping);
        ASSERT_EQ(kivo_event_wait(&pong, kLongWaitMs), 0) << "round " << i;
        EXPECT_EQ(seen, i + 1);
    }
    partner.join();
    kivo_event_destroy(&ping);
    kivo_event_destroy(&pong);
}

// The waiter owns the event and ends it as soon as its wait returns (an
// answer channel, a completion flag on the stack): the post must be done
// with the event by then. A waiter that comes to the event just after the
// flag is set returns without sleeping, so a post that still touched the
// event after letting go of its mutex would run on freed memory.
TEST(PthreadEventConcurrencyTest, WaiterMayDestroyTheEventOnceItsWaitReturns)
{
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        kivo_event_t* done = new kivo_event_t;
        kivo_event_init(done, 0);
        std::thread poster([done] { kivo_event_post(done); });
        ASSERT_EQ(kivo_event_wait(done, kLongWaitMs), 0) << "round " << i;
        kivo_event_destroy(done);
        delete done;
        poster.join();
    }
}

// Waiters with short time-outs come and go around each post: several of them
// may be woken by one post, but exactly one takes it, and a taken post leaves
// the flag clear.
TEST(PthreadEventConcurrencyTest, OnePostIsTakenByOneOfManyWaiters)
{
    kivo_event_t work, ack;
    kivo_event_init(&work, 0);
    kivo_event_init(&ack, 0);
    constexpr int kWaiters = 4;
    constexpr int kPosts = 3000;
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w)
        waiters.emplace_back([&] {
            while (!stop.load()) {
                // Short time-outs: many waits end close to a post, where a
                // double take would show.
                if (kivo_event_wait(&work, 1) == 0) {
                    taken.fetch_add(1);
                    kivo_event_post(&ack);
                }
            }
        });
    for (int i = 0; i < kPosts; ++i) {
        kivo_event_post(&work);
        const kivo_err_t acked = kivo_event_wait(&ack, kLongWaitMs);
        if (acked != 0 || taken.load() != i + 1) {
            ADD_FAILURE() << "post " << i << ": acknowledged " << acked << ", taken " << taken.load();
            break;
        }
    }
    stop.store(true);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(kivo_event_wait(&work, 0), ETIMEDOUT);
    kivo_event_destroy(&work);
    kivo_event_destroy(&ack);
}

// Waiters that sleep without limit, some of them perhaps not yet waiting
// when their post comes: each post lets exactly one of them return, and a
// post made before anyone waits is kept for the next wait, not lost.
TEST(PthreadEventConcurrencyTest, EachPostToSleepingWaitersReleasesOneAndNoneIsLost)
{
    kivo_event_t work, ack;
    kivo_event_init(&work, 0);
    kivo_event_init(&ack, 0);
    constexpr int kWaiters = 6;
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    // The first post comes before any waiter has started.
    kivo_event_post(&work);
    for (int w = 0; w < kWaiters; ++w)
        waiters.emplace_back([&] {
            if (kivo_event_wait(&work, KIVO_WAIT_FOREVER) == 0)
                returned.fetch_add(1);
            kivo_event_post(&ack);
        });
    for (int i = 0; i < kWaiters; ++i) {
        if (i > 0)
            kivo_event_post(&work);
        // A lost post leaves every waiter asleep: the acknowledgement then
        // never comes and the generous time-out reports it.
        ASSERT_EQ(kivo_event_wait(&ack, kLongWaitMs), 0) << "post " << i << " released nobody";
        EXPECT_EQ(returned.load(), i + 1) << "post " << i;
    }
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(returned.load(), kWaiters);
    EXPECT_EQ(kivo_event_wait(&work, 0), ETIMEDOUT);
    kivo_event_destroy(&work);
    kivo_event_destroy(&ack);
}

TEST(PthreadEventConcurrencyTest, PostWakesATimedWaiterEarly)
{
    kivo_event_t ev;
    kivo_event_init(&ev, 0);
    std::thread poster([&] {
        kivo_thread_msleep(20);  // most often the waiter is asleep by then
        kivo_event_post(&ev);
    });
    // 0, not a time-out: the post ended the wait.
    EXPECT_EQ(kivo_event_wait(&ev, kLongWaitMs), 0);
    poster.join();
    kivo_event_destroy(&ev);
}

TEST(PthreadSemConcurrencyTest, EveryPostIsTakenOnce)
{
    kivo_sem_t sem;
    kivo_sem_init(&sem, 0);
    constexpr int kProducers = 4;
    constexpr int kPosts = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&] {
            for (int i = 0; i < kPosts; ++i)
                kivo_sem_post(&sem);
        });
    int taken = 0;
    for (int i = 0; i < kProducers * kPosts; ++i)
        if (kivo_sem_wait(&sem, kLongWaitMs) == 0)
            ++taken;
    for (auto& t : producers)
        t.join();
    EXPECT_EQ(taken, kProducers * kPosts);
    EXPECT_EQ(kivo_sem_wait(&sem, 0), ETIMEDOUT);
    kivo_sem_destroy(&sem);
}

TEST(PthreadMutexConcurrencyTest, TimedLockOnAHeldMutexTimesOut)
{
    kivo_mutex_t m;
    kivo_mutex_init(&m, 1);
    ASSERT_EQ(kivo_mutex_lock(&m, KIVO_WAIT_FOREVER), 0);
    std::thread other([&] {
        auto start = Clock::now();
        EXPECT_EQ(kivo_mutex_lock(&m, 0), ETIMEDOUT);
        EXPECT_LT(ElapsedMs(start), kLongWaitMs);
        start = Clock::now();
        EXPECT_EQ(kivo_mutex_lock(&m, 50), ETIMEDOUT);
        int64_t took = ElapsedMs(start);
        EXPECT_GE(took, 45);
        EXPECT_LT(took, kLongWaitMs);
        EXPECT_EQ(kivo_mutex_trylock(&m), EBUSY);
    });
    other.join();
    ASSERT_EQ(kivo_mutex_unlock(&m), 0);

    // Released: the other thread now gets it within its time-out.
    std::thread later([&] {
        EXPECT_EQ(kivo_mutex_lock(&m, 1000), 0);
        kivo_mutex_unlock(&m);
    });
    later.join();
    kivo_mutex_destroy(&m);
}

TEST(PthreadMutexConcurrencyTest, ScopedLockExcludesAndScopedUnlockReleases)
{
    kivo::Mutex m;
    int counter = 0;
    constexpr int kThreads = 4;
    constexpr int kIncrements = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                kivo::Mutex::ScopedLock hold(m);
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, kThreads * kIncrements);

    kivo::Mutex::ScopedLock hold(m);
    std::thread blocked([&] { EXPECT_FALSE(m.Lock(0)); });
    blocked.join();
    {
        kivo::Mutex::ScopedUnlock release(m);
        std::thread free_now([&] {
            EXPECT_TRUE(m.Lock(1000));
            m.Unlock();
        });
        free_now.join();
    }
    // Held again after the unlock scope.
    std::thread blocked_again([&] { EXPECT_FALSE(m.Lock(0)); });
    blocked_again.join();
}

TEST(PthreadCondConcurrencyTest, SignalWakesAWaiterWithItsPredicate)
{
    kivo_cond_t cond;
    kivo_mutex_t m;
    kivo_cond_init(&cond);
    kivo_mutex_init(&m, 0);
    bool ready = false;
    std::thread signaller([&] {
        kivo_thread_msleep(10);
        kivo_mutex_lock(&m, KIVO_WAIT_FOREVER);
        ready = true;
        kivo_mutex_unlock(&m);
        kivo_cond_signal(&cond);
    });
    kivo_mutex_lock(&m, KIVO_WAIT_FOREVER);
    kivo_err_t err = 0;
    while (!ready && err == 0)
        err = kivo_cond_wait(&cond, &m, kLongWaitMs);
    EXPECT_TRUE(ready);
    EXPECT_EQ(err, 0);
    kivo_mutex_unlock(&m);
    signaller.join();
    kivo_cond_destroy(&cond);
    kivo_mutex_destroy(&m);
}

TEST(PthreadSpinConcurrencyTest, SpinLockExcludes)
{
    kivo_spinlock_t lock;
    kivo_spin_init(&lock);
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                kivo_spin_lock(&lock);
                ++counter;
                kivo_spin_unlock(&lock);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
    kivo_spin_destroy(&lock);
}

struct OnceState {
    std::atomic<int> runs{0};
    int value = 0;  // written by the one run, read by every caller after once
};

void SlowInit(void* arg)
{
    auto* state = static_cast<OnceState*>(arg);
    state->runs.fetch_add(1);
    kivo_thread_msleep(10);  // let the other callers pile up
    state->value = 42;
}

TEST(PthreadOnceConcurrencyTest, ManyThreadsRunItOnceAndAllSeeItsResult)
{
    kivo_once_t flag = KIVO_ONCE_INIT;
    OnceState state;
    std::atomic<bool> go{false};
    constexpr int kThreads = 8;
    std::vector<int> seen(kThreads, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go.load())
                kivo_thread_yield();
            EXPECT_EQ(kivo_thread_once(&flag, SlowInit, &state), 0);
            seen[t] = state.value;
        });
    go.store(true);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(state.runs.load(), 1);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(seen[t], 42) << "thread " << t;
}

void* AddOne(void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return nullptr;
}

TEST(PthreadThreadConcurrencyTest, ThreadsCreatedFromSeveralThreadsAllRun)
{
    std::atomic<int> ran{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < 4; ++c)
        creators.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                kivo_thread_t h = 0;
                ASSERT_EQ(kivo_thread_create(&h, "worker", -1, 0, AddOne, &ran), 0);
                EXPECT_EQ(kivo_thread_join(h, nullptr), 0);
            }
        });
    for (auto& t : creators)
        t.join();
    EXPECT_EQ(ran.load(), 20);
}

}  // namespace

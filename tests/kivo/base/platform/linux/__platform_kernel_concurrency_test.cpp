#include "kivo/base/platform/linux/__platform_kernel.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "kivo/base/kivo_pthread.h"

// The platform timer thread and the shared lock, slot and stacks under
// threads racing each other; also run under ThreadSanitizer.

namespace {

using Clock = std::chrono::steady_clock;

// Only a hang waits this long; a loaded machine or qemu never does.
constexpr uint32_t kHangMs = 30000;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

int CountThreads()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// The timer's callbacks are plain functions: they report through these.
kivo_event_t g_first_fired;
kivo_sem_t g_second_fired;  // counts: the re-armed expiries follow closely
std::atomic<int> g_first_calls{0};
std::atomic<int> g_second_calls{0};
std::atomic<int> g_rearms_left{0};

void FirstCallback()
{
    g_first_calls.fetch_add(1);
    kivo_event_post(&g_first_fired);
}

// Re-arms itself while the count lasts: the kernel lock is held during the
// call and must be taken again without a deadlock.
void SecondCallback()
{
    g_second_calls.fetch_add(1);
    if (g_rearms_left.fetch_sub(1) > 0) {
        int32_t token = kivo_kernel_lock();
        kivo_kernel_timer_set(0);
        kivo_kernel_unlock(token);
    }
    kivo_sem_post(&g_second_fired);
}

// One case: the timer thread lives for the rest of the process once started.
// Each run (--gtest_repeat) starts from fresh counters and signals.
TEST(KernelTimerTest, FiresOnceReplacesCallbackAndStartsOneThread)
{
    g_first_calls = 0;
    g_second_calls = 0;
    g_rearms_left = 0;
    kivo_event_init(&g_first_fired, 0);
    kivo_sem_init(&g_second_fired, 0);
    struct Signals {
        ~Signals()
        {
            // Nothing is armed any more: no callback posts to them now.
            kivo_sem_destroy(&g_second_fired);
            kivo_event_destroy(&g_first_fired);
        }
    } signals;

    kivo_kernel_timer_init(FirstCallback);
    auto start = Clock::now();
    kivo_kernel_timer_set(0);
    ASSERT_EQ(kivo_event_wait(&g_first_fired, kHangMs), 0);
    // One shot: nothing further without a new set.
    EXPECT_EQ(kivo_event_wait(&g_first_fired, 30), ETIMEDOUT);
    EXPECT_EQ(g_first_calls.load(), 1);

    // Arming again replaces the due time: a far one pulled in fires soon.
    kivo_kernel_timer_set(60ull * 1000 * 1000);
    kivo_kernel_timer_set(0);
    ASSERT_EQ(kivo_event_wait(&g_first_fired, kHangMs), 0);
    EXPECT_EQ(g_first_calls.load(), 2);

    // A due time in the future is not reached early.
    start = Clock::now();
    kivo_kernel_timer_set(50 * 1000);
    ASSERT_EQ(kivo_event_wait(&g_first_fired, kHangMs), 0);
    EXPECT_GE(ElapsedMs(start), 45);

    const int threads = CountThreads();
    kivo_kernel_timer_init(SecondCallback);
    EXPECT_EQ(CountThreads(), threads);
    g_rearms_left.store(2);
    kivo_kernel_timer_set(0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(kivo_sem_wait(&g_second_fired, kHangMs), 0) << "expiry " << i;
    EXPECT_EQ(kivo_sem_wait(&g_second_fired, 30), ETIMEDOUT);
    EXPECT_EQ(g_second_calls.load(), 3);
    EXPECT_EQ(g_first_calls.load(), 3);  // the replaced callback is not called again
}

TEST(KernelLockConcurrencyTest, ExcludesAcrossThreads)
{
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                int32_t token = kivo_kernel_lock();
                int32_t again = kivo_kernel_lock();
                ++counter;
                kivo_kernel_unlock(again);
                kivo_kernel_unlock(token);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
}

TEST(PlatformTlsConcurrencyTest, EachThreadSeesItsOwnValue)
{
    constexpr int kThreads = 6;
    int slots[kThreads];
    std::atomic<int> ready{0};
    bool own[kThreads] = {};  // not vector<bool>: its bits share words
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            kivo_tls_set(&slots[t]);
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                kivo_thread_yield();
            own[t] = kivo_tls_get() == &slots[t];
        });
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(own[t]) << "thread " << t;
}

TEST(PlatformStackConcurrencyTest, ConcurrentPushPopLosesAndDuplicatesNothing)
{
    constexpr int kThreads = 4;
    constexpr int kNodes = 64;
    struct Node {
        void* link;
        int owner;
    };
    static Node nodes[kNodes];
    void* head;
    kivo_stack_init(&head);
    for (auto& n : nodes)
        kivo_stack_push(&head, &n);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 2000; ++round) {
                Node* n = static_cast<Node*>(kivo_stack_pop(&head));
                if (!n)
                    continue;
                n->owner = t;  // nobody else may hold it now
                kivo_stack_push(&head, n);
            }
        });
    for (auto& t : threads)
        t.join();

    std::set<void*> seen;
    while (void* n = kivo_stack_pop(&head))
        EXPECT_TRUE(seen.insert(n).second) << "node popped twice";
    EXPECT_EQ(seen.size(), (size_t)kNodes);
}

}  // namespace

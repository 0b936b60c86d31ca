#include "kivo/common/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void Count(void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

// Join and Detach called at the same moment from two threads: exactly one
// reaches the platform (and succeeds), the other gets the state 1.
TEST(ThreadConcurrencyTest, JoinAndDetachRaceLetOneThrough)
{
    const int rounds = 40;
    std::atomic<int> runs(0);
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        kivo::Thread t(kivo::Bind(&Count, static_cast<void*>(&runs)));
        std::atomic<int> ready(0);
        kivo_err_t joined = -1;
        kivo_err_t detached = -1;
        std::thread a([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            joined = t.Join();
        });
        std::thread b([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            detached = t.Detach();
        });
        a.join();
        b.join();
        const bool one_through = (joined == 0 && detached == 1) || (joined == 1 && detached == 0);
        if (!one_through)
            ++wrong;
        EXPECT_EQ(1, t.Detach());
    }
    EXPECT_EQ(0, wrong);
    // Detached threads may still be finishing; wait for all of them.
    while (runs.load() < rounds)
        std::this_thread::yield();
}

}  // namespace

#include "kivo/base/kivo_pool.h"

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// The pool and its statistics under threads racing each other; also run
// under ThreadSanitizer.

namespace {

// Every thread fills its blocks with its own byte and checks it before the
// free: a block handed to two threads at once shows up as a wrong byte.
TEST(PoolConcurrencyTest, ConcurrentBlocksAreNeverShared)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> corrupted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const unsigned char mark = (unsigned char)(0x10 + t);
            std::vector<std::pair<unsigned char*, uint32_t>> live;
            for (int i = 0; i < kRounds; ++i) {
                const uint32_t size = (uint32_t)((i * 37 + t * 11) % 200);  // pool and heap sizes
                auto* p = static_cast<unsigned char*>(kivo_align_alloc(size, (uint16_t)(8u << (i % 3))));
                ASSERT_NE(p, nullptr);
                memset(p, mark, size);
                live.emplace_back(p, size);
                if (live.size() > 16 || i % 5 == 0) {
                    auto [q, n] = live.front();
                    live.erase(live.begin());
                    for (uint32_t k = 0; k < n; ++k)
                        if (q[k] != mark) {
                            corrupted.fetch_add(1);
                            break;
                        }
                    EXPECT_EQ(kivo_align_free(q), n);
                }
            }
            for (auto [q, n] : live)
                kivo_align_free(q);
            kivo_mem_thread_exit();
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(corrupted.load(), 0);
}

// Counters are updated without a lock but atomically: no count is lost.
TEST(PoolConcurrencyTest, HistogramCountsFromManyThreadsAddUp)
{
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, 100000);
    kivo_mem_stat_clear(KIVO_MEM_STAT_1B);
    constexpr int kThreads = 4;
    constexpr int kCounts = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kCounts; ++i)
                kivo_mem_account(100007, +1);
            kivo_mem_account(100007, -1);
            kivo_mem_thread_exit();
        });
    for (auto& th : threads)
        th.join();
    kivo_mem_stat_item_t top[1];
    ASSERT_EQ(kivo_mem_stat_top(KIVO_MEM_STAT_1B, top, 1), 1u);
    EXPECT_EQ(top[0].start, 100007u);
    EXPECT_EQ(top[0].count, kThreads * (kCounts - 1));
    kivo_mem_stat_clear(KIVO_MEM_STAT_1B);
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, 0);
}

int CountNamed(void* context, const kivo_mem_thread_t* record)
{
    if (strncmp(record->name, "racer ", 6) == 0)
        ++*static_cast<int*>(context);
    return 0;
}

// Records come and go while another thread walks and sums them; a block
// allocated on one thread may be freed on another.
TEST(PoolConcurrencyTest, RecordsComeAndGoWhileBeingRead)
{
    constexpr int kThreads = 4;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            int named = 0;
            kivo_mem_for_each(&named, CountNamed);
            EXPECT_LE(named, kThreads);
            (void)kivo_mem_total();
        }
    });
    std::vector<void*> handed(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            kivo_mem_set_thread_name(("racer " + std::to_string(t)).c_str(), (uint32_t)t);
            for (int i = 0; i < 500; ++i)
                kivo_align_free(kivo_align_alloc((uint32_t)(i % 300), 8));
            handed[t] = kivo_align_alloc(48, 8);
            EXPECT_EQ(kivo_mem_thread_bytes(), 48u);
            kivo_mem_thread_exit();
        });
    for (auto& th : threads)
        th.join();
    stop.store(true);
    reader.join();

    int named = 0;
    kivo_mem_for_each(&named, CountNamed);
    EXPECT_EQ(named, 0);
    for (void* p : handed)
        EXPECT_EQ(kivo_align_free(p), 48u);
}

}  // namespace

#include "kivo/base/kivo_handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// The handle table under threads allocating and freeing at once; also run
// under ThreadSanitizer.

namespace {

// Each thread stores its own mark in its handles and checks it back: a slot
// handed to two threads at once shows up as a foreign mark or a failed free.
TEST(HandleConcurrencyTest, LiveHandlesAreNeverShared)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    const int32_t start = kivo_handle_free_count();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::vector<int32_t> live;
            for (int i = 0; i < kRounds; ++i) {
                kivo_handle_payload_t mine = {{(uintptr_t)t, (uintptr_t)i, 0}};
                int32_t h = kivo_handle_alloc(nullptr);
                if (h < 0 || kivo_handle_set(h, &mine, nullptr) != 1) {
                    wrong.fetch_add(1);
                    continue;
                }
                live.push_back(h);
                if (live.size() > 20 || i % 3 == 0) {
                    int32_t old = live.front();
                    live.erase(live.begin());
                    kivo_handle_payload_t out;
                    if (kivo_handle_free(old, &out) != 1 || out.word[0] != (uintptr_t)t)
                        wrong.fetch_add(1);
                    if (kivo_handle_get(old, nullptr) != 0)  // stale at once
                        wrong.fetch_add(1);
                }
                (void)kivo_handle_free_count();  // lock-free reader
            }
            for (int32_t h : live)
                if (kivo_handle_free(h, nullptr) != 1)
                    wrong.fetch_add(1);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(kivo_handle_free_count(), start);
}

}  // namespace

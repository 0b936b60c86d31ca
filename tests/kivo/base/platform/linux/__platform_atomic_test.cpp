#include "kivo/base/platform/linux/__platform_atomic.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct AtomicCase {
    const char* name;
    int32_t start;
    int32_t (*op)(volatile int32_t*, int32_t);
    int32_t operand;
    int32_t after;
};

TEST(PlatformAtomic, OperationsReturnPreviousValue)
{
    const AtomicCase cases[] = {
        {"add", 5, kivo_atomic_fetch_add, 3, 8},
        {"add negative", 1, kivo_atomic_fetch_add, -1, 0},
        {"add wraps", INT32_MAX, kivo_atomic_fetch_add, 1, INT32_MIN},
        {"or", 0x0F, kivo_atomic_fetch_or, 0x30, 0x3F},
        {"and", 0x3C, kivo_atomic_fetch_and, 0x0F, 0x0C},
        {"xor", 0x0F, kivo_atomic_fetch_xor, 0xFF, 0xF0},
        {"swap", 42, kivo_atomic_swap, -7, -7},
    };
    for (const auto& c : cases) {
        alignas(4) volatile int32_t word = c.start;
        EXPECT_EQ(c.op(&word, c.operand), c.start) << c.name;
        EXPECT_EQ(word, c.after) << c.name;
    }
}

TEST(PlatformAtomic, CompareAndSwapStoresOnlyOnMatch)
{
    alignas(4) volatile int32_t word = 5;
    EXPECT_EQ(kivo_atomic_compare_and_swap(&word, 0, 1), 5);
    EXPECT_EQ(word, 5);
    word = 0;
    EXPECT_EQ(kivo_atomic_compare_and_swap(&word, 0, 1), 0);
    EXPECT_EQ(word, 1);
}

TEST(PlatformAtomic, ConcurrentAddsLoseNothing)
{
    alignas(4) volatile int32_t word = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i)
                kivo_atomic_fetch_add(&word, 1);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(word, 80000);
}

TEST(PlatformAtomicDeathTest, MisalignedWordStops)
{
    alignas(8) char bytes[16] = {};
    auto* misaligned = reinterpret_cast<volatile int32_t*>(bytes + 1);
    EXPECT_DEATH(kivo_atomic_fetch_add(misaligned, 1), "__platform_atomic.cpp:18.*uintptr_t");
}

}  // namespace

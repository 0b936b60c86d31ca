#include "kivo/base/platform/linux/__platform_atomic.h"

#include <gtest/gtest.h>

#include <string>
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

// The pattern for a literal text: every character a regular expression
// gives a meaning to is escaped.
std::string Literal(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

TEST(PlatformAtomicDeathTest, MisalignedWordStopsOnTheAlignmentAssertion)
{
    const std::string expression =
        "((uintptr_t)((uintptr_t)dst) == (uintptr_t)((uintptr_t)(( (uintptr_t)(((uintptr_t)dst)) + "
        "((sizeof(int32_t))) - 1) / ((sizeof(int32_t)))) * ((sizeof(int32_t)))))";
    alignas(8) char bytes[16] = {};
    auto* misaligned = reinterpret_cast<volatile int32_t*>(bytes + 1);
    const struct {
        const char* line;
        void (*op)(volatile int32_t*);
    } cases[] = {
        {"18", [](volatile int32_t* p) { kivo_atomic_fetch_add(p, 1); }},
        {"24", [](volatile int32_t* p) { kivo_atomic_fetch_or(p, 1); }},
        {"30", [](volatile int32_t* p) { kivo_atomic_fetch_and(p, 1); }},
        {"36", [](volatile int32_t* p) { kivo_atomic_fetch_xor(p, 1); }},
        {"44", [](volatile int32_t* p) { kivo_atomic_swap(p, 1); }},
        {"57", [](volatile int32_t* p) { kivo_atomic_compare_and_swap(p, 0, 1); }},
    };
    for (const auto& c : cases) {
        const std::string pattern =
            Literal(std::string("__platform_atomic.cpp:") + c.line + ": ") + ".*" + Literal("`" + expression + "' failed");
        EXPECT_DEATH(c.op(misaligned), pattern) << c.line;
    }
}

}  // namespace

#include "kivo/base/kivo_handle.h"

#include <gtest/gtest.h>

#include <vector>

// The handle table is process-wide: every case gives back what it takes.

namespace {

const int32_t kIndexMask = 0xFFFF;

int32_t generation_of(int32_t handle)
{
    return (handle >> 17) & 0x3FFF;
}

kivo_handle_payload_t payload_of(uintptr_t a, uintptr_t b, uintptr_t c)
{
    kivo_handle_payload_t p;
    p.word[0] = a;
    p.word[1] = b;
    p.word[2] = c;
    return p;
}

bool same(const kivo_handle_payload_t& x, const kivo_handle_payload_t& y)
{
    return x.word[0] == y.word[0] && x.word[1] == y.word[1] && x.word[2] == y.word[2];
}

// The table's first allocation of the process, made before main (nothing
// else allocates handles while statics are made), so that the case below
// holds in any order and in every repeat of the cases.
struct FirstAllocation {
    FirstAllocation()
        : free_before(kivo_handle_free_count()),
          handle(kivo_handle_alloc(nullptr)),
          free_while_held(kivo_handle_free_count()),
          freed(kivo_handle_free(handle, nullptr)),
          free_after(kivo_handle_free_count())
    {
    }
    int32_t free_before;
    int32_t handle;
    int32_t free_while_held;
    int32_t freed;
    int32_t free_after;
};
const FirstAllocation g_first;

TEST(HandleTableTest, FirstHandleIsIndexZeroGenerationD60)
{
    EXPECT_EQ(g_first.free_before, KIVO_HANDLE_MAX);
    EXPECT_EQ(g_first.handle, 0x1AC00000);
    EXPECT_EQ(g_first.free_while_held, KIVO_HANDLE_MAX - 1);
    EXPECT_EQ(g_first.freed, 1);
    EXPECT_EQ(g_first.free_after, KIVO_HANDLE_MAX);
}

TEST(HandleTableTest, PayloadIsCopiedInAndOut)
{
    const kivo_handle_payload_t first = payload_of(1, 2, 3);
    const kivo_handle_payload_t second = payload_of(4, 5, 6);
    const kivo_handle_payload_t zeros = payload_of(0, 0, 0);
    kivo_handle_payload_t out = payload_of(9, 9, 9);

    // Given at allocation: copied, but the slot still counts as without one.
    int32_t h = kivo_handle_alloc(&first);
    ASSERT_GE(h, 0);
    EXPECT_EQ(kivo_handle_get(h, &out), 2);
    EXPECT_TRUE(same(out, first));

    EXPECT_EQ(kivo_handle_set(h, &second, &out), 1);
    EXPECT_TRUE(same(out, first));
    EXPECT_EQ(kivo_handle_get(h, &out), 1);
    EXPECT_TRUE(same(out, second));
    EXPECT_EQ(kivo_handle_get(h, nullptr), 1);

    EXPECT_EQ(kivo_handle_set(h, nullptr, nullptr), 1);
    EXPECT_EQ(kivo_handle_get(h, &out), 1);
    EXPECT_TRUE(same(out, zeros));

    EXPECT_EQ(kivo_handle_set(h, &second, nullptr), 1);
    out = zeros;
    EXPECT_EQ(kivo_handle_free(h, &out), 1);
    EXPECT_TRUE(same(out, second));

    // A null payload at allocation is zeros, whatever the slot held before.
    int32_t again = kivo_handle_alloc(nullptr);
    ASSERT_GE(again, 0);
    EXPECT_EQ(kivo_handle_get(again, &out), 2);
    EXPECT_TRUE(same(out, zeros));
    EXPECT_EQ(kivo_handle_free(again, nullptr), 1);
}

TEST(HandleTableTest, FreedHandleIsRefusedAlsoAfterItsSlotIsReused)
{
    const kivo_handle_payload_t mark = payload_of(7, 7, 7);
    int32_t h = kivo_handle_alloc(&mark);
    ASSERT_GE(h, 0);
    ASSERT_EQ(kivo_handle_free(h, nullptr), 1);

    // The slot comes back first, one generation on.
    int32_t reused = kivo_handle_alloc(nullptr);
    ASSERT_GE(reused, 0);
    EXPECT_EQ(reused & kIndexMask, h & kIndexMask);
    EXPECT_EQ(generation_of(reused), generation_of(h) + 1);

    kivo_handle_payload_t out = payload_of(9, 9, 9);
    EXPECT_EQ(kivo_handle_get(h, &out), 0);
    EXPECT_EQ(kivo_handle_set(h, &mark, &out), 0);
    EXPECT_EQ(kivo_handle_free(h, &out), 0);
    EXPECT_TRUE(same(out, payload_of(9, 9, 9)));  // nothing copied out
    EXPECT_EQ(kivo_handle_get(reused, nullptr), 2);  // untouched by the stale calls
    EXPECT_EQ(kivo_handle_free(reused, nullptr), 1);
}

TEST(HandleTableTest, ForgedHandlesAreRefused)
{
    int32_t h = kivo_handle_alloc(nullptr);
    ASSERT_GE(h, 0);
    const int32_t forged[] = {
        -1,
        INT32_MIN,
        h | (1 << 16),                                   // the payload bit
        (h & ~kIndexMask) | KIVO_HANDLE_MAX,             // index past the table
        (h & ~kIndexMask) | 0xFFFF,                      // index field at its maximum
        (h & kIndexMask) | ((generation_of(h) + 5) << 17),  // another generation
        h & kIndexMask,                                  // generation 0
    };
    for (int32_t f : forged) {
        EXPECT_EQ(kivo_handle_get(f, nullptr), 0) << std::hex << f;
        EXPECT_EQ(kivo_handle_set(f, nullptr, nullptr), 0) << std::hex << f;
        EXPECT_EQ(kivo_handle_free(f, nullptr), 0) << std::hex << f;
    }
    EXPECT_EQ(kivo_handle_get(h, nullptr), 2);
    EXPECT_EQ(kivo_handle_free(h, nullptr), 1);
}

TEST(HandleTableTest, FullTableGivesMinusOne)
{
    const int32_t start = kivo_handle_free_count();
    std::vector<int32_t> taken;
    for (int32_t h; (h = kivo_handle_alloc(nullptr)) >= 0;)
        taken.push_back(h);
    EXPECT_EQ((int32_t)taken.size(), start);
    EXPECT_EQ(kivo_handle_free_count(), 0);
    EXPECT_EQ(kivo_handle_alloc(nullptr), -1);

    // Every handle names its own slot.
    std::vector<bool> seen(KIVO_HANDLE_MAX, false);
    for (int32_t h : taken) {
        int32_t index = h & kIndexMask;
        ASSERT_LT(index, KIVO_HANDLE_MAX);
        EXPECT_FALSE(seen[index]);
        seen[index] = true;
    }

    // One freed slot is available again, then the table is full again.
    ASSERT_EQ(kivo_handle_free(taken.back(), nullptr), 1);
    int32_t one = kivo_handle_alloc(nullptr);
    EXPECT_GE(one, 0);
    EXPECT_EQ(kivo_handle_alloc(nullptr), -1);
    taken.back() = one;

    for (int32_t h : taken)
        EXPECT_EQ(kivo_handle_free(h, nullptr), 1);
    EXPECT_EQ(kivo_handle_free_count(), start);
}

TEST(HandleTableTest, GenerationWrapsToOneAndNeverReaches3FFF)
{
    int32_t h = kivo_handle_alloc(nullptr);
    ASSERT_GE(h, 0);
    const int32_t index = h & kIndexMask;
    int32_t previous = generation_of(h);
    bool wrapped = false;
    // Cycle the slot (it comes back first each time) once around the
    // generations.
    for (int i = 0; i < 0x3FFF + 2; ++i) {
        ASSERT_EQ(kivo_handle_free(h, nullptr), 1);
        h = kivo_handle_alloc(nullptr);
        ASSERT_EQ(h & kIndexMask, index);
        int32_t gen = generation_of(h);
        ASSERT_NE(gen, 0x3FFF);
        ASSERT_NE(gen, 0);
        if (previous == 0x3FFE) {
            EXPECT_EQ(gen, 1);
            wrapped = true;
        } else {
            ASSERT_EQ(gen, previous + 1);
        }
        previous = gen;
    }
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(kivo_handle_free(h, nullptr), 1);
}

}  // namespace

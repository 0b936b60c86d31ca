#include "kivo/base/kivo_pool.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"

// Size classes, aligned blocks, the refill fallbacks (through the heap seam)
// and the statistics. Threads racing on the pool are in
// kivo_pool_concurrency_test.cpp.

namespace {

const kivo_pool_head_t* Head(const void* p)
{
    return reinterpret_cast<const kivo_pool_head_t*>(static_cast<const char*>(p) - 8);
}

const char* Raw(const void* p)
{
    return reinterpret_cast<const char*>(Head(p)) - Head(p)->distance;
}

TEST(AlignAllocTest, SizeClassesAndAlignment)
{
    struct Case {
        uint32_t size;
        uint16_t align;
        uint8_t klass;
        uintptr_t aligned_to;
    };
    const Case cases[] = {
        {0, 0, 0, 8},            // 8 in all: the 16-byte class
        {8, 8, 0, 8},            // 16 in all
        {9, 8, 1, 8},            // 17 rounds up to 24
        {100, 3, 12, 8},         // alignment 3 becomes 8: 108 -> 112
        {1, 16, 1, 16},          // 17 -> 24
        {120, 8, 14, 8},         // exactly 128: the largest class
        {121, 8, 0xFF, 8},       // 129: system heap
        {100, 64, 0xFF, 64},     // 164: system heap
        {10, 4096, 0xFF, 4096},  // large alignment: the distance still fits
        {5000, 32768, 0xFF, 32768},
    };
    for (const Case& c : cases) {
        void* p = kivo_align_alloc(c.size, c.align);
        ASSERT_NE(p, nullptr) << c.size << "/" << c.align;
        EXPECT_EQ((uintptr_t)p % c.aligned_to, 0u) << c.size << "/" << c.align;
        EXPECT_EQ(Head(p)->klass, c.klass) << c.size << "/" << c.align;
        EXPECT_EQ(Head(p)->size, c.size);
        EXPECT_EQ(Head(p)->flag, 0x55);
        // The caller's bytes stay inside the underlying allocation.
        const uint32_t total = (c.align < 8 ? 8 : c.align) + c.size;
        EXPECT_LE(static_cast<char*>(p) + c.size, Raw(p) + total);
        memset(p, 0xA5, c.size);
        EXPECT_EQ(kivo_align_free(p), c.size);
    }
    EXPECT_EQ(kivo_align_free(nullptr), 0u);
}

TEST(AlignAllocTest, FreedBlockIsReusedFromItsClass)
{
    void* a = kivo_align_alloc(40, 8);
    const char* raw = Raw(a);
    kivo_align_free(a);
    void* b = kivo_align_alloc(40, 8);
    EXPECT_EQ(Raw(b), raw);
    kivo_align_free(b);
}

// Sizes near 4 GiB: size + alignment does not fit in 32 bits, and the old
// sum wrapped to a tiny pool block.
TEST(AlignAllocTest, SizeThatWrapsWithTheAlignmentIsRefused)
{
    struct Case {
        uint32_t size;
        uint16_t align;
    };
    const Case cases[] = {{0xFFFFFFFFu, 8}, {0xFFFFFFF9u, 8}, {0xFFFFFFF0u, 32}, {0xFFFFF001u, 4096}, {0xFFFFFFFFu, 0}};
    const uint64_t bytes = kivo_mem_thread_bytes();
    for (const Case& c : cases)
        EXPECT_EQ(kivo_align_alloc(c.size, c.align), nullptr) << c.size << "/" << c.align;
    EXPECT_EQ(kivo_mem_thread_bytes(), bytes);
}

TEST(PoolAllocTest, ClassOfARequest)
{
    struct Case {
        uint32_t size;
        uint8_t klass;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 0}, Case{16, 0}, Case{17, 1}, Case{24, 1}, Case{127, 14}, Case{128, 14}}) {
        uint8_t klass = 0xEE;
        void* block = kivo_pool_alloc(c.size, &klass);
        EXPECT_NE(block, nullptr);
        EXPECT_EQ(klass, c.klass) << c.size;
        EXPECT_EQ((uintptr_t)block % 8, 0u);
    }
    uint8_t untouched = 0xEE;
    EXPECT_EQ(kivo_pool_alloc(129, &untouched), nullptr);
    EXPECT_EQ(untouched, 0xEE);
}

// ---- refills through the heap seam

struct HeapLog {
    std::vector<size_t> asked;
    size_t limit = 0;  // refuse requests above this; 0 refuses everything
};
HeapLog g_heap;

void* LimitedHeap(size_t size)
{
    g_heap.asked.push_back(size);
    return size <= g_heap.limit ? malloc(size) : nullptr;
}

class PoolSeamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_heap = HeapLog();
        kivo_pool_set_heap_alloc(LimitedHeap);
    }
    void TearDown() override
    {
        EXPECT_EQ(kivo_pool_set_heap_alloc(nullptr), LimitedHeap);
        for (void* p : held_)
            kivo_align_free(p);
    }

    // Allocates blocks of `size` until the heap is asked (the class ran
    // empty) or nothing can be had. Returns the last block obtained.
    void* AllocUntilHeapAsked(uint32_t size)
    {
        for (int i = 0; i < 10000; ++i) {
            const size_t calls = g_heap.asked.size();
            void* p = kivo_align_alloc(size, 8);
            if (p)
                held_.push_back(p);
            if (g_heap.asked.size() != calls || !p)
                return p;
        }
        ADD_FAILURE() << "the class never ran empty";
        return nullptr;
    }

    std::vector<void*> held_;
};

TEST_F(PoolSeamTest, RefillHalvesTheCountUntilTheHeapAgrees)
{
    constexpr uint32_t kRounded = 40;  // 32 + alignment 8: class 3
    g_heap.limit = 4 * kRounded;
    ASSERT_NE(AllocUntilHeapAsked(32), nullptr);
    const std::vector<size_t> expected = {32 * kRounded, 16 * kRounded, 8 * kRounded, 4 * kRounded};
    EXPECT_EQ(g_heap.asked, expected);

    // The other three pieces wait on the class stack.
    g_heap.asked.clear();
    for (int i = 0; i < 3; ++i)
        held_.push_back(kivo_align_alloc(32, 8));
    EXPECT_TRUE(g_heap.asked.empty());
    held_.push_back(kivo_align_alloc(32, 8));
    EXPECT_EQ(g_heap.asked.size(), 4u);

    // Once the class has free blocks, churn never reaches the heap.
    g_heap.asked.clear();
    for (int i = 0; i < 100; ++i)
        kivo_align_free(kivo_align_alloc(32, 8));
    EXPECT_TRUE(g_heap.asked.empty());
}

TEST_F(PoolSeamTest, SingleBlockIsTheLastTry)
{
    g_heap.limit = 48;  // one block of class 4 only
    ASSERT_NE(AllocUntilHeapAsked(40), nullptr);
    ASSERT_EQ(g_heap.asked.size(), 6u);
    EXPECT_EQ(g_heap.asked.back(), 48u);
}

TEST_F(PoolSeamTest, WithoutHeapALargerFreeBlockIsCut)
{
    // One 128-byte block to give back later, while the heap still agrees.
    g_heap.limit = SIZE_MAX;
    void* donor = kivo_align_alloc(120, 8);
    ASSERT_NE(donor, nullptr);
    ASSERT_EQ(Head(donor)->klass, 14);
    const char* donor_raw = Raw(donor);
    g_heap.limit = 0;

    // Empty the classes 6 (64 bytes) to 14 with a heap that refuses all:
    // from the top down, so that no class can borrow from one above.
    for (uint32_t klass = 14; klass >= 6; --klass) {
        const uint32_t size = (klass + 2) * 8 - 8;
        while (void* p = kivo_align_alloc(size, 8))
            held_.push_back(p);
    }
    // Give exactly that block back, then ask for 64-byte blocks.
    kivo_align_free(donor);

    const uint64_t bytes = kivo_mem_thread_bytes();
    void* last = kivo_align_alloc(56, 8);  // 64 in all: class 6, empty
    ASSERT_NE(last, nullptr);
    void* first = kivo_align_alloc(56, 8);
    ASSERT_NE(first, nullptr);
    // 128 / 64 = 2 pieces: the last is returned, the first waits on the stack.
    EXPECT_EQ(Raw(last), donor_raw + 64);
    EXPECT_EQ(Raw(first), donor_raw);
    EXPECT_EQ(Head(last)->klass, 6);
    EXPECT_EQ(kivo_mem_thread_bytes(), bytes + 2 * 56);

    // Nothing left anywhere: null, and the statistics stay as they were.
    EXPECT_EQ(kivo_align_alloc(56, 8), nullptr);
    EXPECT_EQ(kivo_mem_thread_bytes(), bytes + 2 * 56);
    held_.push_back(last);
    held_.push_back(first);
}

TEST_F(PoolSeamTest, RefusedLargeBlockIsNull)
{
    const uint64_t bytes = kivo_mem_thread_bytes();
    EXPECT_EQ(kivo_align_alloc(1000, 8), nullptr);
    EXPECT_EQ(g_heap.asked, std::vector<size_t>{1008});
    EXPECT_EQ(kivo_mem_thread_bytes(), bytes);
}

// ---- histograms

class PoolHistogramTest : public ::testing::Test {
protected:
    void SetUp() override { ClearAll(); }
    void TearDown() override
    {
        for (uint32_t size : counted_)
            kivo_mem_account(size, -1);
        ClearAll();
        kivo_mem_stat_set_base(KIVO_MEM_STAT_4K, 0);
        kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, 0);
    }
    static void ClearAll()
    {
        for (uint32_t k = 0; k < 3; ++k)
            kivo_mem_stat_clear(k);
    }
    void Count(uint32_t size, int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            kivo_mem_account(size, +1);
            counted_.push_back(size);
        }
    }
    // {bucket index: count} of every non-empty bucket.
    static std::vector<std::pair<uint64_t, int32_t>> NonEmpty(uint32_t kind)
    {
        std::vector<kivo_mem_stat_item_t> items(4096);
        items.resize(kivo_mem_stat_top(kind, items.data(), (uint32_t)items.size()));
        std::vector<std::pair<uint64_t, int32_t>> out;
        for (const auto& it : items)
            if (it.count != 0)
                out.emplace_back(it.start, it.count);
        return out;
    }
    std::vector<uint32_t> counted_;
};

using Buckets = std::vector<std::pair<uint64_t, int32_t>>;

TEST_F(PoolHistogramTest, RangesEndBeforeBasePlusTheirSpan)
{
    const uint32_t base4k = 0x100000;
    const uint32_t base1b = 5000;
    kivo_mem_stat_set_base(KIVO_MEM_STAT_4K, base4k);
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, base1b);
    kivo_mem_stat_set_base(KIVO_MEM_STAT_4M, 12345);  // fixed at 0: ignored
    kivo_mem_stat_set_base(7, 1);                    // no such histogram: ignored

    for (uint32_t size : {base4k - 1, base4k, base4k + 0x400000 - 1, base4k + 0x400000})
        Count(size);
    for (uint32_t size : {base1b - 1, base1b, base1b + 4095, base1b + 4096})
        Count(size);

    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_4K), (Buckets{{base4k, 1}, {base4k + 1023ull * 4096, 1}}));
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_1B), (Buckets{{base1b, 1}, {base1b + 4095ull, 1}}));
    // Histogram 0 counts everything: the four sizes below 4 MB of the 1B
    // case and 0x0FFFFF, 0x100000 in bucket 0; 0x4FFFFF and 0x500000 in
    // bucket 1.
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_4M), (Buckets{{0, 6}, {0x400000, 2}}));
}

TEST_F(PoolHistogramTest, BaseNearTheTopOfTheRangeDoesNotWrap)
{
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, 0xFFFFF000u);
    Count(0xFFFFFFFFu);
    Count(5);
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_1B), (Buckets{{0xFFFFFFFFull, 1}}));
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_4M), (Buckets{{0, 1}, {1023ull * 0x400000, 1}}));
}

TEST_F(PoolHistogramTest, AllocationsCountTheirRequestedSize)
{
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, 0);
    void* a = kivo_align_alloc(100, 64);
    void* b = kivo_align_alloc(100, 8);
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_1B), (Buckets{{100, 2}}));
    kivo_align_free(a);
    EXPECT_EQ(NonEmpty(KIVO_MEM_STAT_1B), (Buckets{{100, 1}}));
    kivo_align_free(b);
    EXPECT_TRUE(NonEmpty(KIVO_MEM_STAT_1B).empty());
}

TEST_F(PoolHistogramTest, TopNIsOrderedByCountThenBucket)
{
    const uint32_t base = 1000;
    kivo_mem_stat_set_base(KIVO_MEM_STAT_1B, base);
    Count(base + 9, 2);
    Count(base + 4000, 3);
    Count(base + 1, 1);
    Count(base + 5, 3);
    Count(base + 4095, 2);

    kivo_mem_stat_item_t top[3];
    ASSERT_EQ(kivo_mem_stat_top(KIVO_MEM_STAT_1B, top, 3), 3u);
    const uint64_t starts[] = {base + 5, base + 4000, base + 9};
    const int32_t counts[] = {3, 3, 2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(top[i].start, starts[i]) << i;
        EXPECT_EQ(top[i].count, counts[i]) << i;
        EXPECT_EQ(top[i].width, 1u);
    }

    // More than there are buckets: every bucket, fullest first.
    std::vector<kivo_mem_stat_item_t> all(5000);
    ASSERT_EQ(kivo_mem_stat_top(KIVO_MEM_STAT_1B, all.data(), 5000), 4096u);
    const uint64_t all_starts[] = {base + 5, base + 4000, base + 9, base + 4095, base + 1, base + 0, base + 2};
    const int32_t all_counts[] = {3, 3, 2, 2, 1, 0, 0};  // the empty ones in bucket order
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(all[i].start, all_starts[i]) << i;
        EXPECT_EQ(all[i].count, all_counts[i]) << i;
    }
    EXPECT_EQ(all[4095].start, base + 4094);
    EXPECT_EQ(all[4095].count, 0);

    kivo_mem_stat_item_t untouched = {7, 7, 7};
    EXPECT_EQ(kivo_mem_stat_top(3, &untouched, 1), 0u);
    EXPECT_EQ(untouched.count, 7);
    EXPECT_EQ(kivo_mem_stat_top(KIVO_MEM_STAT_1B, &untouched, 0), 0u);
    kivo_mem_stat_clear(3);  // no such histogram: nothing happens

    kivo_mem_stat_item_t widths[1];
    kivo_mem_stat_top(KIVO_MEM_STAT_4K, widths, 1);
    EXPECT_EQ(widths[0].width, 4096u);
    kivo_mem_stat_top(KIVO_MEM_STAT_4M, widths, 1);
    EXPECT_EQ(widths[0].width, 0x400000u);
}

// ---- per-thread records

struct Found {
    std::string name;
    kivo_mem_thread_t copy = {};
    bool found = false;
};

int FindByName(void* context, const kivo_mem_thread_t* record)
{
    auto* f = static_cast<Found*>(context);
    if (f->name == record->name) {
        f->copy = *record;
        f->found = true;
        return 1;
    }
    return 0;
}

Found Lookup(const std::string& name)
{
    Found f;
    f.name = name;
    kivo_mem_for_each(&f, FindByName);
    return f;
}

TEST(PoolThreadRecordTest, NameIsCutTo31Characters)
{
    const std::string forty(40, 'n');
    std::string stored;
    uint32_t tag = 0;
    std::thread t([&] {
        kivo_mem_set_thread_name(forty.c_str(), 7);
        stored = kivo_mem_thread_info()->name;
        tag = kivo_mem_thread_info()->tag;
        kivo_mem_thread_exit();
    });
    t.join();
    EXPECT_EQ(stored, std::string(31, 'n'));
    EXPECT_EQ(tag, 7u);
}

TEST(PoolThreadRecordTest, EachThreadCountsItsOwnBytes)
{
    const uint64_t retired_before = kivo_mem_retired_bytes();
    void* handed_over = nullptr;
    std::thread t([&] {
        kivo_mem_set_thread_name("stats worker", 3);
        kivo_mem_thread_t* record = kivo_mem_thread_info();
        EXPECT_EQ(kivo_tls_get(), record);  // kept in the thread-local slot
        EXPECT_EQ(kivo_mem_thread_bytes(), 0u);

        void* a = kivo_align_alloc(100, 8);
        handed_over = kivo_align_alloc(30, 8);
        void* big = kivo_align_alloc(5000, 16);
        EXPECT_EQ(kivo_mem_thread_bytes(), 5130u);
        kivo_align_free(big);
        EXPECT_EQ(kivo_mem_thread_bytes(), 130u);

        Found f = Lookup("stats worker");
        EXPECT_TRUE(f.found);
        EXPECT_EQ(f.copy.bytes, 130u);
        EXPECT_EQ(f.copy.tag, 3u);

        kivo_align_free(a);
        kivo_mem_thread_exit();
        // The slot no longer points at the freed record...
        EXPECT_EQ(kivo_tls_get(), nullptr);
        // ...so a late use starts a fresh one instead of writing freed memory.
        void* late = kivo_align_alloc(10, 8);
        EXPECT_EQ(kivo_mem_thread_bytes(), 10u);
        kivo_align_free(late);
        kivo_mem_thread_exit();
    });
    t.join();
    EXPECT_FALSE(Lookup("stats worker").found);
    // The worker retired with the 30 bytes it handed over still counted.
    EXPECT_EQ(kivo_mem_retired_bytes(), retired_before + 30);

    // Freed here, the block is subtracted from this thread's count.
    const uint64_t mine = kivo_mem_thread_bytes();
    EXPECT_EQ(kivo_align_free(handed_over), 30u);
    EXPECT_EQ(kivo_mem_thread_bytes(), mine - 30);
}

TEST(PoolThreadRecordTest, TotalIsRetiredPlusLiveRecords)
{
    struct Sum {
        uint64_t live = 0;
    } sum;
    void* kept = kivo_align_alloc(64, 8);
    kivo_mem_for_each(&sum, [](void* context, const kivo_mem_thread_t* record) {
        static_cast<Sum*>(context)->live += record->bytes;
        return 0;
    });
    EXPECT_EQ(kivo_mem_total(), kivo_mem_retired_bytes() + sum.live);
    kivo_align_free(kept);
    kivo_mem_for_each(nullptr, nullptr);  // no callback: nothing to call
}

// ---- broken contracts

TEST(AlignAllocDeathTest, AlignmentMustBeAPowerOfTwo)
{
    EXPECT_DEATH(kivo_align_alloc(100, 12),
                 "kivo_pool\\.cpp:344: void\\* kivo_align_alloc\\(uint32_t, uint16_t\\): "
                 "Assertion `\\(align_bytes & \\(align_bytes - 1\\)\\) == 0' failed");
}

TEST(AlignAllocDeathTest, FreeOfAForeignPointerStops)
{
    alignas(8) static char foreign[16] = {};
    EXPECT_DEATH(kivo_align_free(foreign + 8),
                 "kivo_pool\\.cpp:377: uint32_t kivo_align_free\\(void\\*\\): Assertion `head->flag == 0x55' failed");
}

}  // namespace

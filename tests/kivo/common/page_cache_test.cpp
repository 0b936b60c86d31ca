#include "kivo/common/page_cache.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tests/kivo/common/seek_case.h"

namespace {

using kivo::BlockContext;
using kivo::RandomAccess;
using kivo::RandomAccessContext;
using kivo::SharedPtr;

// A block store over a byte vector that records every transfer and can be
// told to fail.
class FakeDevice : public BlockContext {
public:
    explicit FakeDevice(size_t length = 0, char fill = 'd') : bytes(length, fill) {}

    bool IsValid() const override { return open; }
    void Close() override { open = false; }
    bool SetLength(int64_t length) override
    {
        if (length < 0)
            return false;
        bytes.resize(static_cast<size_t>(length), 0);
        return true;
    }
    int64_t GetLength() const override { return static_cast<int64_t>(bytes.size()); }

    ssize_t Read(int64_t offset, void* buffer, size_t count, kivo_err_t* err) override
    {
        reads.push_back(std::make_pair(offset, count));
        if (fail_reads) {
            if (err)
                *err = 5;
            return -1;
        }
        size_t off = static_cast<size_t>(offset);
        size_t n = off >= bytes.size() ? 0 : std::min(count, bytes.size() - off);
        if (n > 0)
            memcpy(buffer, bytes.data() + off, n);
        return static_cast<ssize_t>(n);
    }

    ssize_t Write(int64_t offset, const void* buffer, size_t count, kivo_err_t* err) override
    {
        writes.push_back(std::make_pair(offset, count));
        if (write_error != 0) {
            if (err)
                *err = write_error;
            return -1;
        }
        if (silent_fail)
            return -1;
        if (short_writes)
            count = count / 2;
        size_t off = static_cast<size_t>(offset);
        if (bytes.size() < off + count)
            bytes.resize(off + count, 0);
        if (count > 0)
            memcpy(bytes.data() + off, buffer, count);
        return static_cast<ssize_t>(count);
    }

    void Flush() override { ++flushes; }

    std::string Str(size_t off, size_t n) const { return std::string(bytes.begin() + off, bytes.begin() + off + n); }

    std::vector<char> bytes;
    std::vector<std::pair<int64_t, size_t>> reads;
    std::vector<std::pair<int64_t, size_t>> writes;
    bool open = true;
    bool fail_reads = false;
    bool short_writes = false;
    bool silent_fail = false;  // -1 without an error code
    kivo_err_t write_error = 0;
    int flushes = 0;
};

const RandomAccess::Cache kOneGroupTwoLines = {1, 2, 16, 0};

typedef std::vector<std::pair<int64_t, size_t>> Transfers;

std::string ReadAt(RandomAccess& ra, int64_t pos, size_t n, kivo_err_t* err = 0)
{
    std::string out(n, '\0');
    ssize_t r = ra.Read(pos, &out[0], n, err);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return out;
}

TEST(RandomAccessTest, DirectModeGoesStraightToTheStore)
{
    const RandomAccess::Cache disabled[] = {{0, 2, 16, 0}, {1, 0, 16, 0}, {1, 2, 0, 0}};
    for (const RandomAccess::Cache& c : disabled) {
        FakeDevice dev(40);
        RandomAccess ra(&dev, 7, c);
        EXPECT_EQ(7, ra.Base());
        EXPECT_EQ(3, ra.Write(5, "abc", 3, 0, false));
        EXPECT_EQ((Transfers{{5, 3}}), dev.writes);
        EXPECT_EQ("abc", dev.Str(5, 3));
        EXPECT_EQ("dabcd", ReadAt(ra, 4, 5));
        EXPECT_EQ((Transfers{{4, 5}}), dev.reads);
        EXPECT_TRUE(ra.SetLength(10));
        EXPECT_EQ(10, ra.GetLength());
    }
}

TEST(RandomAccessTest, LeastRecentlyUsedPageIsEvicted)
{
    FakeDevice dev(64);
    for (size_t i = 0; i < dev.bytes.size(); ++i)
        dev.bytes[i] = static_cast<char>('A' + i / 16);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    EXPECT_EQ("A", ReadAt(ra, 0, 1));
    EXPECT_EQ("B", ReadAt(ra, 16, 1));
    EXPECT_EQ("A", ReadAt(ra, 1, 1));   // hit
    EXPECT_EQ("C", ReadAt(ra, 32, 1));  // evicts page 1
    EXPECT_EQ((Transfers{{0, 16}, {16, 16}, {32, 16}}), dev.reads);
    EXPECT_EQ("A", ReadAt(ra, 2, 1));  // page 0 still cached
    EXPECT_EQ(3u, dev.reads.size());
    EXPECT_EQ("B", ReadAt(ra, 17, 1));  // page 1 comes back, page 2 goes
    EXPECT_EQ((Transfers{{0, 16}, {16, 16}, {32, 16}, {16, 16}}), dev.reads);
}

TEST(RandomAccessTest, PagesMapToGroupsByMask)
{
    FakeDevice dev(16 * 8);
    RandomAccess ra(&dev, 0, RandomAccess::Cache{4, 1, 16, 0});
    for (int64_t page = 0; page < 4; ++page)
        ReadAt(ra, page * 16, 1);
    int32_t victim = -1;
    for (uint64_t page = 0; page < 4; ++page)
        EXPECT_EQ(0, ra.CheckHit(page, victim)) << page;
    EXPECT_EQ(-1, ra.CheckHit(5, victim));  // same group as page 1, not cached
    EXPECT_EQ(0, victim);
    ReadAt(ra, 5 * 16, 1);
    EXPECT_EQ(-1, ra.CheckHit(1, victim));
    EXPECT_EQ(0, ra.CheckHit(0, victim));
}

TEST(RandomAccessTest, PartialWriteReadsThePageWholeWriteDoesNot)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    EXPECT_EQ(4, ra.Write(3, "wxyz", 4, 0, false));
    EXPECT_EQ((Transfers{{0, 16}}), dev.reads);
    const std::string page(16, 'p');
    EXPECT_EQ(16, ra.Write(16, page.data(), page.size(), 0, false));
    EXPECT_EQ(1u, dev.reads.size());
    EXPECT_TRUE(dev.writes.empty());  // write-back only on eviction / flush
    EXPECT_EQ("dddwxyzddd", ReadAt(ra, 0, 10));

    ra.Flush();
    EXPECT_EQ(1, dev.flushes);
    EXPECT_EQ("dddwxyzddddddddd", dev.Str(0, 16));
    EXPECT_EQ(page, dev.Str(16, 16));
    EXPECT_EQ(2u, dev.writes.size());
    ra.Flush();
    EXPECT_EQ(2u, dev.writes.size());  // clean now
}

TEST(RandomAccessTest, DirtyVictimIsWrittenBackBeforeReuse)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    ra.Write(0, "00", 2, 0, false);
    ra.Write(16, "11", 2, 0, false);
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_EQ("dd", ReadAt(ra, 32, 2));  // evicts page 0
    EXPECT_EQ((Transfers{{0, 16}}), dev.writes);
    EXPECT_EQ("00dd", dev.Str(0, 4));
}

TEST(RandomAccessTest, FailedWriteBackKeepsThePageDirty)
{
    struct Case {
        const char* name;
        kivo_err_t device_error;
        bool short_write;
        bool silent;
        kivo_err_t expected;
    };
    const Case cases[] = {
        {"error code", 28, false, false, 28},
        {"short count", 0, true, false, 27},
        {"no code", 0, false, true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice dev(64);
        RandomAccess ra(&dev, 0, kOneGroupTwoLines);
        ASSERT_EQ(2, ra.Write(0, "00", 2, 0, false));
        ASSERT_EQ(2, ra.Write(16, "11", 2, 0, false));
        dev.write_error = c.device_error;
        dev.short_writes = c.short_write;
        dev.silent_fail = c.silent;

        // Page 1 takes two bytes, then page 2 needs page 0's line.
        kivo_err_t err = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(2, ra.Write(30, "abcd", 4, &err, false));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.expected, err);
        EXPECT_EQ("page write error, code = " + std::to_string(c.expected) + "\n", out);
        EXPECT_EQ(64, ra.GetLength());

        // Reads needing the line fail the same way; SetLength refuses.
        err = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0u, ReadAt(ra, 40, 2, &err).size());
        EXPECT_FALSE(ra.SetLength(8));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.expected, err);
        EXPECT_EQ(64u, dev.bytes.size());

        // Nothing was dropped: once the store works, everything arrives.
        dev.write_error = 0;
        dev.short_writes = false;
        dev.silent_fail = false;
        EXPECT_EQ("00", ReadAt(ra, 0, 2));
        ra.Flush();
        EXPECT_EQ("00dd", dev.Str(0, 4));
        EXPECT_EQ(std::string("11") + std::string(12, 'd') + "ab", dev.Str(16, 16));
        EXPECT_EQ("dd", dev.Str(32, 2));  // the part that was refused
    }
}

TEST(RandomAccessTest, FailedPageReadEndsTheTransfer)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    EXPECT_EQ("dd", ReadAt(ra, 14, 2));
    dev.fail_reads = true;
    kivo_err_t err = 0;
    EXPECT_EQ("dd", ReadAt(ra, 14, 6, &err));  // page 0 cached, page 1 fails
    EXPECT_EQ(5, err);
    err = 0;
    EXPECT_EQ(0, ra.Write(20, "x", 1, &err, false));  // partial: needs the read
    EXPECT_EQ(5, err);
    dev.fail_reads = false;
    EXPECT_EQ("dddd", ReadAt(ra, 14, 4));
}

TEST(RandomAccessTest, ReadStopsAtTheShortLastPage)
{
    FakeDevice dev(40, 'e');
    RandomAccess ra(&dev, 0, RandomAccess::Cache{2, 2, 16, 0});
    EXPECT_EQ(40, ra.GetLength());
    EXPECT_EQ(std::string(30, 'e'), ReadAt(ra, 10, 100));
    EXPECT_EQ((Transfers{{0, 16}, {16, 16}, {32, 16}}), dev.reads);
    EXPECT_EQ("", ReadAt(ra, 45, 4));
}

TEST(RandomAccessTest, WritePastValidBytesNeverStoresAnotherPagesBytes)
{
    FakeDevice dev(16, 'S');  // page 0 holds bytes that must not leak
    RandomAccess ra(&dev, 0, RandomAccess::Cache{1, 1, 16, 0});
    EXPECT_EQ(std::string(16, 'S'), ReadAt(ra, 0, 16));
    EXPECT_EQ(2, ra.Write(26, "xy", 2, 0, false));  // page 1, past its (zero) valid bytes
    EXPECT_EQ(28, ra.GetLength());
    std::string expect(10, '\0');
    expect += "xy";
    EXPECT_EQ(expect, ReadAt(ra, 16, 16));
    ra.Flush();
    ASSERT_EQ(28u, dev.bytes.size());
    EXPECT_EQ(expect, dev.Str(16, 12));
    EXPECT_EQ(std::string(16, 'S'), dev.Str(0, 16));
}

TEST(RandomAccessTest, DirectWholePagesBypassTheCache)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    EXPECT_EQ("dd", ReadAt(ra, 0, 2));
    ra.Write(2, "cc", 2, 0, false);  // dirty cached copy of page 0
    std::string block(20, 'N');
    EXPECT_EQ(20, ra.Write(0, block.data(), block.size(), 0, true));
    EXPECT_EQ((Transfers{{0, 16}}), dev.writes);  // page 0 at once; the 4-byte tail is cached
    EXPECT_EQ(std::string(16, 'N'), dev.Str(0, 16));
    EXPECT_EQ(std::string(20, 'N'), ReadAt(ra, 0, 20));  // cached copy was dropped
    EXPECT_EQ(2u, std::count(dev.reads.begin(), dev.reads.end(), std::make_pair(int64_t(0), size_t(16))));
    ra.Flush();
    EXPECT_EQ(std::string(20, 'N') + "dd", dev.Str(0, 22));

    dev.write_error = 30;
    kivo_err_t err = 0;
    EXPECT_EQ(0, ra.Write(32, block.data(), 16, &err, true));
    EXPECT_EQ(30, err);
}

TEST(RandomAccessTest, AlignedPagesAndMisalignedDirectWrites)
{
    FakeDevice dev(256);
    RandomAccess ra(&dev, 0, RandomAccess::Cache{2, 2, 64, 64});
    RandomAccess::ScopedLock pin(&ra, 1, false);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(pin.Get()) % 64);
    pin.Unlock();
    alignas(64) char block[65];
    memset(block, 'M', sizeof block);
    EXPECT_EQ(64, ra.Write(0, block + 1, 64, 0, true));  // misaligned: cached
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_EQ(64, ra.Write(128, block, 64, 0, true));  // aligned: direct
    EXPECT_EQ((Transfers{{128, 64}}), dev.writes);
}

TEST(RandomAccessTest, PinnedLinesAreNeverReused)
{
    FakeDevice dev(16 * 6);
    for (size_t i = 0; i < dev.bytes.size(); ++i)
        dev.bytes[i] = static_cast<char>('A' + i / 16);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    RandomAccess::ScopedLock pin(&ra, 0, false);
    const char* mem = static_cast<const char*>(pin.Get());
    ASSERT_EQ('A', mem[0]);
    for (int64_t page = 1; page < 6; ++page)
        EXPECT_EQ(std::string(1, char('A' + page)), ReadAt(ra, page * 16, 1));
    EXPECT_EQ('A', mem[0]);
    EXPECT_EQ("A", ReadAt(ra, 0, 1));
    EXPECT_EQ(1, std::count(dev.reads.begin(), dev.reads.end(), std::make_pair(int64_t(0), size_t(16))));

    // Dropped from the cache, the pinned line still belongs to its holder.
    ra.InvalidateAll();
    for (int64_t page = 1; page < 6; ++page)
        EXPECT_EQ(std::string(1, char('A' + page)), ReadAt(ra, page * 16, 1));
    EXPECT_EQ('A', mem[0]);
    pin.Unlock();
    EXPECT_EQ("B", ReadAt(ra, 16, 1));
    EXPECT_EQ("C", ReadAt(ra, 32, 1));  // both lines usable again
}

TEST(RandomAccessTest, PinningKeepsDirtyPagesDirty)
{
    for (bool no_fill : {true, false}) {
        FakeDevice dev(32);
        RandomAccess ra(&dev, 0, kOneGroupTwoLines);
        ra.Write(0, "ab", 2, 0, false);
        {
            RandomAccess::ScopedLock pin(&ra, 0, no_fill);
            EXPECT_EQ(0, memcmp(pin.Get(), "ab", 2));
        }
        EXPECT_TRUE(ra.PreparePage(0));
        ra.Flush();
        EXPECT_EQ("abdd", dev.Str(0, 4)) << no_fill;
    }
}

TEST(RandomAccessTest, NoFillPinDoesNotReadTheStore)
{
    FakeDevice dev(32);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    RandomAccess::ScopedLock pin;
    EXPECT_NE(nullptr, pin.Lock(&ra, 1, true));
    EXPECT_TRUE(dev.reads.empty());
    EXPECT_TRUE(ra.PreparePage(0));
    EXPECT_TRUE(dev.reads.empty());
    int32_t victim;
    EXPECT_GE(ra.CheckHit(0, victim), 0);
    EXPECT_GE(ra.CheckHit(1, victim), 0);
}

TEST(RandomAccessTest, SetLengthWritesBackDropsAndResizes)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    ra.Write(60, "tail", 4, 0, false);
    ra.Write(70, "more", 4, 0, false);
    EXPECT_EQ(74, ra.GetLength());
    EXPECT_TRUE(ra.SetLength(62));
    EXPECT_EQ(62, ra.GetLength());
    ASSERT_EQ(62u, dev.bytes.size());
    EXPECT_EQ("ta", dev.Str(60, 2));
    int32_t victim;
    EXPECT_EQ(-1, ra.CheckHit(3, victim));  // dropped
    EXPECT_FALSE(ra.SetLength(-3));  // the store refuses; the cache says 0
    EXPECT_EQ(0, ra.GetLength());
}

TEST(RandomAccessTest, NegativePositionIsRefused)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    char buf[4];
    kivo_err_t err = 0;
    EXPECT_EQ(-1, ra.Read(-1, buf, 4, &err));
    EXPECT_EQ(22, err);
    err = 0;
    EXPECT_EQ(-1, ra.Write(-20, buf, 4, &err, false));
    EXPECT_EQ(22, err);
    EXPECT_EQ(0, ra.Read(0, 0, 4, &err));
    EXPECT_EQ(0, ra.Write(0, buf, 0, &err, false));
}

TEST(RandomAccessTest, CloseWritesBackAndClosesTheStore)
{
    FakeDevice dev(32);
    {
        RandomAccess ra(&dev, 0, kOneGroupTwoLines);
        ra.Write(0, "zz", 2, 0, false);
        EXPECT_TRUE(ra.IsValid());
    }
    EXPECT_FALSE(dev.open);
    EXPECT_EQ("zz", dev.Str(0, 2));

    int* destroyed = new int(0);
    struct Counted : FakeDevice {
        explicit Counted(int* d) : FakeDevice(32), d(d) {}
        ~Counted() override { ++*d; }
        int* d;
    };
    {
        RandomAccess ra(SharedPtr<BlockContext>(new Counted(destroyed)), 0, kOneGroupTwoLines);
        ra.Close();
        EXPECT_FALSE(ra.IsValid());
        EXPECT_EQ(0, *destroyed);
    }
    EXPECT_EQ(1, *destroyed);
    delete destroyed;
}

TEST(RandomAccessDeathTest, BrokenContracts)
{
    FakeDevice dev(64);
    EXPECT_DEATH(RandomAccess(&dev, 0, RandomAccess::Cache{3, 1, 16, 0}),
                 "\\(\\(cache.group_num - 1\\) & cache.group_num\\) == 0");
    FakeDevice closed(8);
    closed.open = false;
    EXPECT_DEATH(RandomAccess(&closed, 0, kOneGroupTwoLines), "ctx != 0 && ctx->IsValid\\(\\)");
    EXPECT_DEATH(RandomAccess::ScopedLock().Get(), "_acce != 0");
    EXPECT_DEATH(
        {
            RandomAccess ra(&dev, 0, kOneGroupTwoLines);
            RandomAccess::ScopedLock a(&ra, 0, false);
            RandomAccess::ScopedLock b(&ra, 1, false);
            ReadAt(ra, 32, 1);
        },
        "lock_cnt == 0");
}

// Positions live in [0, INT64_MAX]: a transfer that would pass the end of
// that range stops there, and a page whose byte offset does not fit is
// never handed to the store.
TEST(RandomAccessTest, TransfersStopAtTheEndOfThePositionRange)
{
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const RandomAccess::Cache kDirect = {0, 0, 0, 0};
    for (const RandomAccess::Cache& cache : {kOneGroupTwoLines, kDirect}) {
        SCOPED_TRACE(cache.group_num == 0 ? "direct" : "cached");
        FakeDevice dev(0);
        dev.write_error = 28;  // nothing is really stored that far out
        RandomAccess ra(&dev, 0, cache);
        kivo_err_t err = 0;
        if (cache.group_num != 0) {
            EXPECT_EQ(2, ra.Write(kMax - 2, "abcdefgh", 8, &err, false));
            EXPECT_EQ(kMax, ra.GetLength());
        }
        EXPECT_EQ(0, ra.Write(kMax, "abcdefgh", 8, &err, false));
        char out[8];
        EXPECT_EQ(0, ra.Read(kMax, out, 8, &err));
        for (const std::pair<int64_t, size_t>& t : dev.writes)
            EXPECT_LE(t.second, static_cast<uint64_t>(kMax - t.first));
        for (const std::pair<int64_t, size_t>& t : dev.reads)
            EXPECT_GE(t.first, 0);
    }
}

TEST(RandomAccessTest, PagesBeyondThePositionRangeAreRefused)
{
    FakeDevice dev(64);
    RandomAccess ra(&dev, 0, kOneGroupTwoLines);
    const uint64_t kFar = (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 16) + 1;
    for (uint64_t page : {kFar, std::numeric_limits<uint64_t>::max()}) {
        SCOPED_TRACE(page);
        EXPECT_FALSE(ra.PreparePage(page));
        RandomAccess::ScopedLock lock(&ra, page, false);
        EXPECT_EQ(nullptr, lock.Lock(&ra, page, true));
    }
    EXPECT_TRUE(dev.reads.empty());
    // The last page that fits still works.
    RandomAccess::ScopedLock lock;
    EXPECT_NE(nullptr, lock.Lock(&ra, kFar - 1, true));
}

TEST(RandomAccessContextTest, SeeksSaturateAtTheEndsOfTheRange)
{
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t kMin = std::numeric_limits<int64_t>::min();
    // From position 4 of a store of 10 bytes; there is no upper limit but
    // the range's own.
    const SeekCase cases[] = {
        {kMax, 1, kMax}, {kMax, 2, kMax}, {kMax, 0, kMax}, {kMax - 4, 1, kMax}, {kMax - 5, 1, kMax - 1},
        {kMin, 1, 0},    {kMin, 2, 0},    {kMin, 0, 0},    {-5, 1, 0},          {3, 9, 7},
    };
    for (const SeekCase& c : cases) {
        SCOPED_TRACE(SeekTrace(c));
        FakeDevice dev(10);
        RandomAccessContext ctx(&dev, kOneGroupTwoLines);
        ASSERT_EQ(4, ctx.Seek(4, 0));
        EXPECT_EQ(c.expected, ctx.Seek(c.offset, c.whence));
        EXPECT_EQ(c.expected, ctx.GetPos());
    }
    // At the end of the range nothing more is read or written, and the
    // position stays where it is.
    FakeDevice dev(10);
    dev.write_error = 28;
    RandomAccessContext ctx(&dev, kOneGroupTwoLines);
    EXPECT_EQ(kMax - 2, ctx.Seek(kMax - 2, 0));
    EXPECT_EQ(2, ctx.Write("abcd", 4, 0));
    EXPECT_EQ(kMax, ctx.GetPos());
    EXPECT_EQ(0, ctx.Write("abcd", 4, 0));
    char out[4];
    EXPECT_EQ(0, ctx.Read(out, 4, 0));
    EXPECT_EQ(kMax, ctx.GetPos());
}

TEST(RandomAccessContextTest, PositionedIoThroughTheCache)
{
    FakeDevice dev(0);
    RandomAccessContext ctx(&dev, RandomAccess::Cache{2, 2, 8, 0});
    EXPECT_TRUE(ctx.IsValid());
    kivo::Stream s(&ctx, true);
    for (int32_t i = 0; i < 20; ++i)
        s << i;
    EXPECT_FALSE(s.IsFail());
    EXPECT_EQ(80, ctx.GetPos());
    EXPECT_EQ(80, ctx.GetLength());
    EXPECT_EQ(0, ctx.Seek(-5, 0));
    for (int32_t i = 0; i < 20; ++i) {
        int32_t v = -1;
        s >> v;
        EXPECT_EQ(i, v);
    }
    EXPECT_EQ(76, ctx.Seek(-4, 2));
    EXPECT_EQ(1000, ctx.Seek(924, 1));  // no upper limit
    EXPECT_TRUE(ctx.SetLength(40));
    EXPECT_EQ(40, ctx.GetPos());
    ctx.Flush();
    ASSERT_EQ(40u, dev.bytes.size());
    int32_t v9;
    memcpy(&v9, dev.bytes.data() + 36, 4);
    EXPECT_EQ(9, v9);
    ctx.Close();
    EXPECT_FALSE(ctx.IsValid());
}

}  // namespace

#include "kivo/common/shm_io.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "tests/kivo/common/seek_case.h"

namespace {

using kivo::SharedPtr;
using kivo::SMemAttribute;
using kivo::SMemFile;
using kivo::SMemQueue;
using kivo::SMemVector;
using kivo::Stream;

const SharedPtr<unsigned char> kOwnBuffer;
// An upper bound of a wait that only a hang reaches: a loaded machine or
// qemu never makes a correct poll or time-out take this long.
const uint32_t kHangMs = 30000;

std::string ReadAll(SMemQueue::Slave& r, size_t max = 64)
{
    std::vector<char> buf(max);
    ssize_t n = r.Read(buf.data(), buf.size(), 0);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

// ---- SMemFile -------------------------------------------------------------------

TEST(SMemFileTest, CapacityClampsWritesSeeksAndLengths)
{
    SMemFile f(16, kOwnBuffer);
    ASSERT_TRUE(f.IsValid());
    char data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<char>('a' + i);
    EXPECT_EQ(16, f.Write(data, sizeof data, 0));
    EXPECT_EQ(16, f.GetLength());
    EXPECT_EQ(0, f.Write(data, 1, 0));  // full

    EXPECT_EQ(16, f.Seek(100, 0));
    EXPECT_EQ(0, f.Seek(-100, 1));
    EXPECT_EQ(12, f.Seek(-4, 2));
    char out[8] = {};
    EXPECT_EQ(4, f.Read(out, sizeof out, 0));
    EXPECT_EQ(0, memcmp(out, "mnop", 4));

    EXPECT_TRUE(f.SetLength(-5));
    EXPECT_EQ(0, f.GetLength());
    EXPECT_EQ(0, f.GetPos());  // position beyond the data reads as its end
    EXPECT_TRUE(f.SetLength(1000));
    EXPECT_EQ(16, f.GetLength());
}

// Targets at the ends of the 64-bit range clamp to [0, capacity]; none wraps.
TEST(SMemFileTest, SeeksSaturateAtTheEndsOfTheRange)
{
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t kMin = std::numeric_limits<int64_t>::min();
    const SeekCase cases[] = {
        {kMax, 1, 16}, {kMax, 2, 16}, {kMax, 0, 16}, {kMax - 3, 1, 16}, {kMax - 4, 1, 16},
        {kMin, 1, 0},  {kMin, 2, 0},  {kMin, 0, 0},  {kMin + 3, 1, 0},  {-4, 1, 0},
        {8, 7, 12},  // any other whence counts as 1
    };
    for (const SeekCase& c : cases) {
        SCOPED_TRACE(SeekTrace(c));
        SMemFile f(16, kOwnBuffer);
        ASSERT_EQ(6, f.Write("abcdef", 6, 0));
        ASSERT_EQ(4, f.Seek(4, 0));  // position 4, data length 6
        EXPECT_EQ(c.expected, f.Seek(c.offset, c.whence));
        EXPECT_EQ(std::max<int64_t>(6, c.expected), f.GetLength());
    }
}

TEST(SMemFileTest, SeekPastDataGrowsIt)
{
    SMemFile f(32, kOwnBuffer);
    EXPECT_EQ(3, f.Write("abc", 3, 0));
    EXPECT_EQ(10, f.Seek(10, 0));
    EXPECT_EQ(10, f.GetLength());
    EXPECT_EQ(2, f.Write("xy", 2, 0));
    EXPECT_EQ(12, f.GetLength());
}

TEST(SMemFileTest, HandlesShareDataButKeepTheirPositions)
{
    SharedPtr<unsigned char> buf(static_cast<unsigned char*>(::operator new(8)));
    SMemFile a(8, buf);
    SMemFile b(a);
    EXPECT_EQ(5, a.Write("hello", 5, 0));
    EXPECT_EQ(5, a.GetPos());
    EXPECT_EQ(0, b.GetPos());
    char out[8] = {};
    EXPECT_EQ(5, b.Read(out, sizeof out, 0));
    EXPECT_STREQ("hello", out);
    EXPECT_EQ(0, memcmp(&*buf, "hello", 5));  // the caller's buffer holds the data

    a.Close();
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(-1, a.Write("x", 1, 0));
    EXPECT_EQ(0, b.Seek(0, 0));
    EXPECT_EQ(5, b.Read(out, sizeof out, 0));  // the node lives on in b
}

TEST(SMemFileTest, DefaultIsInvalid)
{
    SMemFile f;
    char c = 0;
    EXPECT_FALSE(f.IsValid());
    EXPECT_EQ(-1, f.Read(&c, 1, 0));
    EXPECT_FALSE(f.SetLength(1));
}

TEST(SMemFileTest, StreamTurnsFailedOnShortWrite)
{
    SMemFile f(6, kOwnBuffer);
    Stream s(&f, true);
    s << int32_t(7);
    EXPECT_FALSE(s.IsFail());
    s << int32_t(8);
    EXPECT_TRUE(s.IsFail());
}

// ---- SMemQueue ------------------------------------------------------------------

TEST(SMemQueueTest, RingHoldsCapacityMinusOne)
{
    SMemQueue q(8, kOwnBuffer);
    SMemQueue::Slave r(q);
    EXPECT_EQ(7, q.Write("abcdefgh", 8, 0));
    EXPECT_EQ(0, q.Write("z", 1, 0));
    EXPECT_EQ(7, q.GetLength());
    EXPECT_EQ(7, r.GetLength());
    EXPECT_EQ("abc", ReadAll(r, 3));
    // Wraps around the end of the buffer in both directions.
    EXPECT_EQ(3, q.Write("123", 3, 0));
    EXPECT_EQ("defg123", ReadAll(r));
    EXPECT_EQ(0, q.GetLength());
}

TEST(SMemQueueTest, WithoutReaderFillsOnceAndReturnsShort)
{
    SMemQueue q(5, kOwnBuffer);
    EXPECT_EQ(4, q.Write("abcdef", 6, 0));
    EXPECT_EQ(0, q.Write("g", 1, 0));
    // A reader attached now starts at the oldest byte and sees all of it.
    SMemQueue::Slave r(q);
    EXPECT_EQ("abcd", ReadAll(r));
}

TEST(SMemQueueTest, SlowestReaderHoldsTheWriterUntilDiscard)
{
    SMemQueue q(8, kOwnBuffer);
    SMemQueue::Slave fast(q);
    SMemQueue::Slave slow(q);
    EXPECT_EQ(7, q.Write("0123456", 7, 0));
    EXPECT_EQ("0123456", ReadAll(fast));
    EXPECT_EQ(7, q.GetLength());
    EXPECT_EQ(0, q.Write("x", 1, 0));  // held back by slow

    EXPECT_EQ("01", ReadAll(slow, 2));
    EXPECT_EQ(5, q.GetLength());
    EXPECT_EQ(2, q.Write("ab", 2, 0));

    slow.Discard();
    EXPECT_EQ(0, slow.GetLength());
    EXPECT_EQ(2, q.GetLength());  // now fast is the slowest
    EXPECT_EQ(5, q.Write("cdefg", 5, 0));
    EXPECT_EQ("abcdefg", ReadAll(fast));
    EXPECT_EQ("cdefg", ReadAll(slow));
}

TEST(SMemQueueTest, DetachingTheSlowestReaderReleasesTheWriter)
{
    SMemQueue q(4, kOwnBuffer);
    SMemQueue::Slave keep(q);
    {
        SMemQueue::Slave gone(q);
        EXPECT_EQ(3, q.Write("abc", 3, 0));
        EXPECT_EQ("abc", ReadAll(keep));
        SMemQueue::Slave copy(gone);  // same reader node
        gone.Close();
        EXPECT_EQ(3, q.GetLength());  // copy still holds the reader
    }
    EXPECT_EQ(0, q.GetLength());
    EXPECT_EQ(3, q.Write("def", 3, 0));
}

TEST(SMemQueueTest, ReaderKeepsTheRingAlive)
{
    SMemQueue::Slave r;
    EXPECT_FALSE(r.IsValid());
    {
        SMemQueue q(16, kOwnBuffer);
        r = SMemQueue::Slave(q);
        EXPECT_EQ(5, q.Write("hello", 5, 0));
    }
    EXPECT_TRUE(r.IsValid());
    EXPECT_EQ("hello", ReadAll(r));
    EXPECT_FALSE(SMemQueue::Slave(SMemQueue()).IsValid());
}

TEST(SMemQueueTest, TimeoutZeroNeverWaits)
{
    SMemQueue q(4, kOwnBuffer);
    SMemQueue::Slave r(q);
    char c;
    uint32_t start = kivo_tick_ms();
    EXPECT_EQ(0, r.Read(&c, 1, 0));
    EXPECT_EQ(3, q.Write("abcd", 4, 0));
    EXPECT_LT(kivo_tick_ms() - start, kHangMs);
}

TEST(SMemQueueTest, TimeoutsRunOutWithinTolerance)
{
    SMemQueue q(4, kOwnBuffer);
    SMemQueue::Slave r(q);
    ASSERT_TRUE(q.SetOption("read timeout", "60"));
    ASSERT_TRUE(q.SetOption("write timeout", "0x3c"));  // radix detected: 60
    char buf[8];
    uint32_t start = kivo_tick_ms();
    EXPECT_EQ(0, r.Read(buf, sizeof buf, 0));
    uint32_t read_wait = kivo_tick_ms() - start;
    EXPECT_GE(read_wait, 50u);
    EXPECT_LT(read_wait, kHangMs);

    start = kivo_tick_ms();
    EXPECT_EQ(3, q.Write("abcdef", 6, 0));  // waits for room, then gives up
    uint32_t write_wait = kivo_tick_ms() - start;
    EXPECT_GE(write_wait, 50u);
    EXPECT_LT(write_wait, kHangMs);
}

TEST(SMemQueueTest, Options)
{
    SMemQueue q(4, kOwnBuffer);
    SMemQueue::Slave r(q);
    EXPECT_FALSE(q.SetOption("timeout", "100"));
    EXPECT_FALSE(SMemQueue().SetOption("blocking", "true"));
    // Unknown key changed nothing: still non-blocking.
    char c;
    EXPECT_EQ(0, r.Read(&c, 1, 0));
    EXPECT_TRUE(q.SetOption("blocking", "true"));
    EXPECT_TRUE(q.SetOption("blocking", "yes"));  // anything but "true": both 0
    uint32_t start = kivo_tick_ms();
    EXPECT_EQ(0, r.Read(&c, 1, 0));
    EXPECT_LT(kivo_tick_ms() - start, kHangMs);
}

TEST(SMemQueueTest, CapacityBelowTwoHoldsNothing)
{
    for (size_t cap : {0u, 1u}) {
        SMemQueue q(cap, kOwnBuffer);
        SMemQueue::Slave r(q);
        EXPECT_EQ(0, q.Write("ab", 2, 0)) << cap;
        EXPECT_EQ(0, q.GetLength()) << cap;
    }
}

// ---- SMemAttribute --------------------------------------------------------------

TEST(SMemAttributeTest, TableThroughOptions)
{
    SMemAttribute a;
    SMemAttribute b(a);
    EXPECT_TRUE(a.IsValid());
    EXPECT_TRUE(a.SetOption("k1", "v1"));
    EXPECT_TRUE(a.SetOption("k2", "v2"));
    EXPECT_TRUE(b.SetOption("k1", "v3"));
    EXPECT_EQ(2, b.GetLength());
    std::string v = "unchanged";
    EXPECT_FALSE(a.GetOption("nope", v));
    EXPECT_EQ("unchanged", v);
    EXPECT_TRUE(a.GetOption("k1", v));
    EXPECT_EQ("v3", v);

    std::map<std::string, std::string> all = {{"k2", "old"}, {"other", "x"}};
    a.GetAll(all);
    EXPECT_EQ((std::map<std::string, std::string>{{"k1", "v3"}, {"k2", "v2"}, {"other", "x"}}), all);

    a.Remove("k1");
    EXPECT_FALSE(b.GetOption("k1", v));
    b.Clear();
    EXPECT_EQ(0, a.GetLength());
    a.Close();
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(a.SetOption("k", "v"));
    EXPECT_TRUE(b.IsValid());
}

// ---- SMemVector -----------------------------------------------------------------

TEST(SMemVectorTest, WriteReadAndGrowth)
{
    SMemVector v(4);
    const int32_t in[3] = {1, 2, 3};
    v.Write(0, in, 3);
    EXPECT_EQ(3u, v.Count());
    EXPECT_EQ(3u, v.Capacity());  // no growth factor
    v.Write(5, in, 1);  // leaves a gap of two units
    EXPECT_EQ(6u, v.Count());
    int32_t out[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(6u, v.Read(0, out, 8));
    EXPECT_EQ(1, out[0]);
    EXPECT_EQ(3, out[2]);
    EXPECT_EQ(0, out[3]);
    EXPECT_EQ(0, out[4]);
    EXPECT_EQ(1, out[5]);
    EXPECT_EQ(-1, out[6]);
    EXPECT_EQ(0u, v.Read(6, out, 1));
    EXPECT_EQ(2u, v.Read(4, out, 5));

    v.Resize(8);
    EXPECT_EQ(2u, v.Read(6, out, 2));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, out[1]);
    v.Resize(2);
    EXPECT_EQ(2u, v.Count());
    v.Reserve(20);
    EXPECT_EQ(20u, v.Capacity());
    EXPECT_EQ(2u, v.Read(0, out, 8));
    EXPECT_EQ(2, out[1]);
}

TEST(SMemVectorTest, CopiesShareUntilChanged)
{
    SMemVector a(2, 4);
    const uint16_t in[2] = {10, 20};
    a.Write(0, in, 2);
    SMemVector b(a);
    const uint16_t x = 99;
    b.Write(0, &x, 1);
    uint16_t out[2];
    ASSERT_EQ(2u, a.Read(0, out, 2));
    EXPECT_EQ(10, out[0]);
    ASSERT_EQ(2u, b.Read(0, out, 2));
    EXPECT_EQ(99, out[0]);
    EXPECT_EQ(20, out[1]);

    b.SetUnit(8);
    EXPECT_EQ(0u, b.Count());
    EXPECT_EQ(8u, b.UnitBytes());
    EXPECT_EQ(2u, a.Count());
}

// Sizes whose byte count does not fit in memory are refused: the call fails
// and the vector keeps its storage, count and contents.
TEST(SMemVectorTest, SizesBeyondTheAddressRangeAreRefused)
{
    const size_t kMax = std::numeric_limits<size_t>::max();
    const int32_t x = 7;
    struct Case {
        const char* what;
        size_t unit;
        bool (*call)(SMemVector& v, const int32_t* x);
    };
    const Case cases[] = {
        {"Resize(SIZE_MAX/4 + 1), unit 4", 4, [](SMemVector& v, const int32_t*) { return v.Resize(kMax / 4 + 1); }},
        {"Reserve(SIZE_MAX/4 + 1), unit 4", 4, [](SMemVector& v, const int32_t*) { return v.Reserve(kMax / 4 + 1); }},
        {"Resize(SIZE_MAX), unit 1", 1, [](SMemVector& v, const int32_t*) { return v.Resize(kMax); }},
        {"Write(SIZE_MAX/4, 1 unit), unit 4", 4,
         [](SMemVector& v, const int32_t* p) { return v.Write(kMax / 4, p, 1); }},
        {"Write(SIZE_MAX, 1 unit): index + count wraps", 4,
         [](SMemVector& v, const int32_t* p) { return v.Write(kMax, p, 1); }},
        {"Write(1, SIZE_MAX units)", 1, [](SMemVector& v, const int32_t* p) { return v.Write(1, p, kMax); }},
        {"Resize(PTRDIFF_MAX/2 + 1), unit 2: larger than any object", 2,
         [](SMemVector& v, const int32_t*) {
             return v.Resize(static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max()) / 2 + 1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SMemVector v(c.unit);
        const char bytes[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
        ASSERT_TRUE(v.Write(0, bytes, 8 / c.unit));
        const size_t count = v.Count();
        const size_t capacity = v.Capacity();
        EXPECT_FALSE(c.call(v, &x));
        EXPECT_EQ(count, v.Count());
        EXPECT_EQ(capacity, v.Capacity());
        char out[8] = {};
        EXPECT_EQ(count, v.Read(0, out, count));
        EXPECT_EQ(0, memcmp(out, bytes, 8));
        // Reading far beyond the stored count reads nothing.
        EXPECT_EQ(0u, v.Read(kMax / 4, out, 1));
    }
}

TEST(SMemVectorDeathTest, ZeroUnitIsAContractBreak)
{
    EXPECT_DEATH(SMemVector(0), "unit_nbyte > 0");
    SMemVector v(1);
    EXPECT_DEATH(v.SetUnit(0), "unit_nbyte > 0");
}

}  // namespace

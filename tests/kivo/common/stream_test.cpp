#include "kivo/common/stream.h"

#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using kivo::IOContext;
using kivo::Stream;
using kivo::StreamBuff;

// A context over a string that counts the calls reaching it.
class StringContext : public IOContext {
public:
    explicit StringContext(const std::string& data = std::string()) : data(data) {}
    ~StringContext() override
    {
        if (destroyed)
            ++*destroyed;
    }

    bool IsValid() const override { return true; }
    int64_t GetPos() const override { return static_cast<int64_t>(pos); }
    int64_t Seek(int64_t offset, int32_t) override
    {
        pos = static_cast<size_t>(offset);
        return offset;
    }
    ssize_t Read(void* buffer, size_t count, kivo_err_t*) override
    {
        ++reads;
        const size_t n = std::min(count, data.size() - std::min(pos, data.size()));
        memcpy(buffer, data.data() + pos, n);
        pos += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t Write(const void* buffer, size_t count, kivo_err_t*) override
    {
        ++writes;
        data.append(static_cast<const char*>(buffer), count);
        return static_cast<ssize_t>(count);
    }

    std::string data;
    size_t pos = 0;
    int reads = 0;
    int writes = 0;
    int* destroyed = nullptr;
};

TEST(IOContextTest, BaseOperationsFailOrDoNothing)
{
    IOContext ctx;
    char buf[4] = {0};
    kivo_err_t err = 77;
    EXPECT_FALSE(ctx.IsValid());
    EXPECT_FALSE(ctx.SetOption("k", "v"));
    std::string value = "keep";
    EXPECT_FALSE(ctx.GetOption("k", value));
    EXPECT_EQ("keep", value);
    EXPECT_FALSE(ctx.SetLength(10));
    EXPECT_EQ(0, ctx.GetLength());
    EXPECT_EQ(-1, ctx.Seek(0, 0));
    EXPECT_EQ(-1, ctx.GetPos());
    EXPECT_EQ(-1, ctx.Read(buf, sizeof(buf), &err));
    EXPECT_EQ(-1, ctx.Write(buf, sizeof(buf), &err));
    EXPECT_EQ(77, err);  // the base leaves err alone
    EXPECT_EQ(-1, ctx.Read(buf, sizeof(buf), nullptr));
}

TEST(StreamTest, DefaultStreamFailsEverything)
{
    Stream s;
    EXPECT_TRUE(s.IsBinary());
    EXPECT_FALSE(s.IsFail());
    EXPECT_EQ(-1, s.GetPos());
    const int32_t v = 5;
    EXPECT_EQ(-1, s.Write(&v, 4));
    EXPECT_TRUE(s.IsFail());
    EXPECT_EQ("", s.GetOption("any"));
}

TEST(StreamTest, FailedStreamDoesNotReachTheContext)
{
    StringContext ctx("abcdef");
    Stream s(&ctx, true);
    char buf[8];
    EXPECT_EQ(4, s.Read(buf, 4));
    EXPECT_FALSE(s.IsFail());
    EXPECT_EQ(2, s.Read(buf, 4));  // short read
    EXPECT_TRUE(s.IsFail());
    const int reads = ctx.reads;
    EXPECT_EQ(-1, s.Read(buf, 1));
    EXPECT_EQ(-1, s.Write(buf, 1));
    EXPECT_EQ(reads, ctx.reads);
    EXPECT_EQ(0, ctx.writes);
    // Seek only reports the position while failed.
    EXPECT_EQ(6, s.Seek(0, 0));
    EXPECT_EQ(6u, ctx.pos);
    s.SetFail(false);
    EXPECT_EQ(0, s.Seek(0, 0));
    EXPECT_EQ(1, s.Read(buf, 1));
    EXPECT_EQ('a', buf[0]);
}

TEST(StreamTest, TextNumbersHaveNoSeparatorAndReadBackByTokens)
{
    StringContext out;
    Stream w(&out, false);
    w << 1 << 2;
    EXPECT_EQ("12", out.data);

    StringContext in(", 12\n7");
    Stream r(&in, false);
    int a = -1;
    int b = -1;
    r >> a >> b;
    EXPECT_EQ(12, a);
    EXPECT_EQ(7, b);
    // At the end of the input a number reads as 0 and the stream stays good.
    int c = -1;
    r >> c;
    EXPECT_EQ(0, c);
    EXPECT_FALSE(r.IsFail());
}

// Text parsing per type: radix detection and the clamps of narrow types.
TEST(StreamTest, TextParsingClampsNarrowTypes)
{
    struct Row {
        const char* text;
        long long expect;
    };
    const Row rows[] = {{"300", 255}, {"-5", 0}, {"0x1F", 31}, {"0b101", 5}, {"017", 15}};
    for (const Row& row : rows) {
        StringContext in(row.text);
        Stream r(&in, false);
        unsigned char v = 9;
        r >> v;
        EXPECT_EQ(row.expect, v) << row.text;
    }
    StringContext in("200 -200 70000 -70000 2 0 -1 4294967296 1.5 -2.5e1 65 1e300");
    Stream r(&in, false);
    signed char sc = 0;
    signed char sc2 = 0;
    short sh = 0;
    short sh2 = 0;
    bool b1 = false;
    bool b2 = true;
    unsigned int u = 9;
    unsigned int u2 = 9;
    float f = 0;
    double d = 0;
    wchar_t w = 0;
    float big = 0;
    r >> sc >> sc2 >> sh >> sh2 >> b1 >> b2 >> u >> u2 >> f >> d >> w >> big;
    EXPECT_EQ(127, sc);
    EXPECT_EQ(-128, sc2);
    EXPECT_EQ(32767, sh);
    EXPECT_EQ(-32768, sh2);
    EXPECT_TRUE(b1);
    EXPECT_FALSE(b2);
    EXPECT_EQ(0u, u);
    EXPECT_EQ(4294967295u, u2);
    EXPECT_FLOAT_EQ(1.5f, f);
    EXPECT_DOUBLE_EQ(-25.0, d);
    EXPECT_EQ(L'A', w);
    EXPECT_TRUE(std::isinf(big) && big > 0);
    EXPECT_FALSE(r.IsFail());
}

TEST(StreamTest, TextOutputOfEachKind)
{
    StringContext out;
    Stream w(&out, false);
    auto put = [&w](auto v) {
        w << v;
        w.WriteBlock(",", 1);
    };
    put(true);
    put(static_cast<signed char>(-3));
    put(static_cast<unsigned char>(200));
    put(static_cast<unsigned short>(65535));
    put(-7L);
    put(18446744073709551615ULL);
    put(0.1);
    put(2.0f);
    put(static_cast<long double>(1e16));
    put(L'A');
    EXPECT_EQ("1,-3,200,65535,-7,18446744073709551615,0.1,2.0,1.0e+16,65,", out.data);
}

template <typename T>
void ExpectBinaryRoundTrip(T v, size_t width)
{
    char buf[32];
    StreamBuff w(buf, sizeof(buf), 0, true);
    w << v;
    EXPECT_FALSE(w.IsFail());
    EXPECT_EQ(width, w.DataLen()) << typeid(T).name();
    StreamBuff r(buf, sizeof(buf), w.DataLen(), true);
    T back{};
    r >> back;
    EXPECT_EQ(v, back) << typeid(T).name();
    // A further read fails and leaves the value as it was.
    T again = back;
    r >> again;
    EXPECT_TRUE(r.IsFail());
    EXPECT_EQ(back, again);
}

TEST(StreamTest, BinaryValuesRoundTripAtTheirWidth)
{
    ExpectBinaryRoundTrip(true, 1);
    ExpectBinaryRoundTrip(static_cast<signed char>(-5), 1);
    ExpectBinaryRoundTrip(static_cast<unsigned char>(250), 1);
    ExpectBinaryRoundTrip(static_cast<wchar_t>(0x4E2D), sizeof(wchar_t));
    ExpectBinaryRoundTrip(static_cast<short>(-30000), 2);
    ExpectBinaryRoundTrip(static_cast<unsigned short>(60000), 2);
    ExpectBinaryRoundTrip(-123456789, 4);
    ExpectBinaryRoundTrip(4000000000u, 4);
    ExpectBinaryRoundTrip(-5L, sizeof(long));
    ExpectBinaryRoundTrip(5UL, sizeof(long));
    ExpectBinaryRoundTrip(std::numeric_limits<long long>::min(), 8);
    ExpectBinaryRoundTrip(std::numeric_limits<unsigned long long>::max(), 8);
    ExpectBinaryRoundTrip(1.25f, 4);
    ExpectBinaryRoundTrip(-0.1, 8);
    ExpectBinaryRoundTrip(static_cast<long double>(2.5), 8);  // the device's width

    unsigned char bytes[4];
    StreamBuff w(bytes, sizeof(bytes), 0, true);
    w << 0x01020304;
    const unsigned char little[4] = {4, 3, 2, 1};
    EXPECT_EQ(0, memcmp(little, bytes, 4));
}

TEST(StreamTest, BinaryStringsCarryTheirLength)
{
    StringContext ctx;
    Stream w(&ctx, true);
    w.WriteBlock("abc", 3);
    w.WriteBlock("", 0);
    ASSERT_EQ(11u, ctx.data.size());
    EXPECT_EQ(std::string("\3\0\0\0abc\0\0\0\0", 11), ctx.data);

    Stream r(&ctx, true);
    std::string s = "old";
    r >> s;
    EXPECT_EQ("abc", s);
    r >> s;
    EXPECT_EQ("", s);
    EXPECT_FALSE(r.IsFail());
    // Nothing left: the failed length read empties the string.
    s = "old";
    r >> s;
    EXPECT_TRUE(r.IsFail());
    EXPECT_EQ("", s);
}

TEST(StreamTest, TooLongBinaryStringIsNotReadAndFailsTheStream)
{
    StringContext ctx;
    Stream w(&ctx, true);
    const uint32_t len = 10240;
    w.Write(&len, sizeof(len));
    w << 42;
    Stream r(&ctx, true);
    std::string s = "keep";
    r >> s;
    EXPECT_EQ("keep", s);
    EXPECT_TRUE(r.IsFail());
    // The bytes behind the length stay unread.
    r.SetFail(false);
    int next = 0;
    r >> next;
    EXPECT_EQ(42, next);

    // One below the limit is read.
    StringContext ok;
    Stream w2(&ok, true);
    const std::string big(10239, 'x');
    w2.WriteBlock(big.data(), big.size());
    Stream r2(&ok, true);
    r2 >> s;
    EXPECT_FALSE(r2.IsFail());
    EXPECT_EQ(big, s);
}

TEST(StreamTest, TextStringsAndLongTokens)
{
    StringContext ctx(std::string(10245, 'a') + " tail");
    Stream r(&ctx, false);
    std::string s;
    r >> s;
    EXPECT_EQ(10240u, s.size());
    r >> s;
    EXPECT_EQ("aaaaa", s);
    r >> s;
    EXPECT_EQ("tail", s);
    r >> s;  // empty token: unchanged
    EXPECT_EQ("tail", s);
    EXPECT_FALSE(r.IsFail());

    StringContext out;
    Stream w(&out, false);
    w.WriteBlock("ab", 2).WriteBlock("cd", 2);
    EXPECT_EQ("abcd", out.data);
}

TEST(StreamTest, ReadTokenDelimitersAndLimits)
{
    StringContext ctx(";;ab;cdef");
    Stream r(&ctx, false);
    bool ended = false;
    EXPECT_EQ("ab", r.ReadToken(";", 100, &ended));
    EXPECT_TRUE(ended);
    EXPECT_EQ("cd", r.ReadToken(";", 2, &ended));
    EXPECT_FALSE(ended);
    EXPECT_EQ("ef", r.ReadToken(";", 100, &ended));
    EXPECT_FALSE(ended);  // ended by the input
    EXPECT_EQ("", r.ReadToken(";", 0, &ended));
    EXPECT_FALSE(r.IsFail());  // running out of input does not fail
    r.SetFail(true);
    ctx.pos = 0;
    EXPECT_EQ("", r.ReadToken(";", 100, &ended));
}

TEST(StreamTest, WriteBlockAfterAFailureWritesNothing)
{
    char buf[6];
    StreamBuff w(buf, sizeof(buf), 0, true);
    w.WriteBlock("abcdef", 6);  // the length fits, the bytes do not
    EXPECT_TRUE(w.IsFail());
    EXPECT_EQ(6u, w.DataLen());
    w.SetFail(false);
    w.Seek(0, 0);
    StreamBuff w2(buf, 3, 0, true);
    w2.WriteBlock("x", 1);  // the length itself does not fit
    EXPECT_TRUE(w2.IsFail());
    EXPECT_EQ(3u, w2.DataLen());
}

TEST(StreamTest, SharedContextIsOwnedAndSwapExchanges)
{
    int destroyed = 0;
    {
        StringContext* owned = new StringContext("xyz");
        owned->destroyed = &destroyed;
        Stream a(kivo::SharedPtr<IOContext>(owned), true);
        {
            Stream copy(a);
            char c;
            copy.Read(&c, 1);
        }
        EXPECT_EQ(0, destroyed);
        StringContext other;
        Stream b(&other, false);
        b.SetFail(true);
        a.Swap(b);
        EXPECT_FALSE(a.IsBinary());
        EXPECT_TRUE(a.IsFail());
        EXPECT_TRUE(b.IsBinary());
        EXPECT_FALSE(b.IsFail());
        char c;
        EXPECT_EQ(1, b.Read(&c, 1));
        EXPECT_EQ('y', c);
    }
    EXPECT_EQ(1, destroyed);
}

TEST(StreamTest, NullContextIsAContractBreak)
{
    EXPECT_DEATH(Stream(static_cast<IOContext*>(nullptr), true), "ctx != 0");
}

TEST(StreamBuffTest, EightByteBuffer)
{
    char buf[8];
    StreamBuff s(buf, sizeof(buf), 0, true);
    EXPECT_EQ(8, s.Write("0123456789", 10));
    EXPECT_TRUE(s.IsFail());
    EXPECT_EQ(8u, s.DataLen());
    s.SetFail(false);
    EXPECT_EQ(0, s.Seek(-1, 0));
    EXPECT_EQ(8, s.Seek(100, 0));
    EXPECT_EQ(8u, s.DataLen());
    EXPECT_EQ(0, s.Write("x", 1));  // full
    EXPECT_TRUE(s.IsFail());
}

TEST(StreamBuffTest, ContextPositions)
{
    char buf[8] = {'a', 'b', 'c', 'd', 0, 0, 0, 0};
    StreamBuff::Context ctx(buf, sizeof(buf), 4);
    EXPECT_TRUE(ctx.IsValid());
    EXPECT_EQ(4, ctx.GetLength());
    EXPECT_EQ(2, ctx.Seek(-2, 2));  // from the data's end
    EXPECT_EQ(3, ctx.Seek(1, 1));
    char out[8];
    EXPECT_EQ(1, ctx.Read(out, 8, nullptr));  // reads stop at the data
    EXPECT_EQ('d', out[0]);
    EXPECT_EQ(6, ctx.Seek(6, 0));  // seeking past the data extends it
    EXPECT_EQ(6, ctx.GetLength());
    EXPECT_TRUE(ctx.SetLength(2));
    EXPECT_EQ(2, ctx.GetPos());  // the position is seen within the data
    EXPECT_EQ(1, ctx.Write("z", 1, nullptr));  // written at the data's end
    EXPECT_EQ('z', buf[2]);
    EXPECT_EQ(3, ctx.GetLength());
    EXPECT_TRUE(ctx.SetLength(-5));
    EXPECT_EQ(0, ctx.GetLength());
    EXPECT_TRUE(ctx.SetLength(100));
    EXPECT_EQ(8, ctx.GetLength());
    EXPECT_EQ(0, ctx.Seek(std::numeric_limits<int64_t>::min(), 1));
    EXPECT_EQ(8, ctx.Seek(std::numeric_limits<int64_t>::max(), 1));
    // Close, options and Flush keep the base behaviour.
    EXPECT_FALSE(ctx.SetOption("a", "b"));
    ctx.Close();
    ctx.Flush();
    EXPECT_TRUE(ctx.IsValid());
}

TEST(StreamBuffTest, DefaultHasNoBuffer)
{
    StreamBuff s;
    EXPECT_FALSE(s.IsBinary());
    EXPECT_EQ(0u, s.BuffLen());
    char c = 'q';
    EXPECT_EQ(0, s.Write(&c, 1));
    EXPECT_TRUE(s.IsFail());
    s.SetFail(false);
    int v = 5;
    s >> v;
    EXPECT_EQ(0, v);
}

TEST(StreamBuffTest, BadBufferIsAContractBreak)
{
    char buf[4];
    EXPECT_DEATH(StreamBuff(nullptr, 4, 0, true), "buff != 0 && data_len <= buff_len");
    EXPECT_DEATH(StreamBuff(buf, 4, 5, true), "buff != 0 && data_len <= buff_len");
}

// ---- ReadBuffer

// A context with a file's rules: any position at or above 0 (reads there
// give 0 bytes, writes there fill the gap with zeros), -1 below 0 or for an
// unknown whence. It counts the calls reaching it, and fails the next
// `fail_reads` reads, `fail_seeks` seeks or `fail_writes` writes with error
// 5 and nothing done.
class FileContext : public IOContext {
public:
    explicit FileContext(const std::string& data) : data(data) {}

    bool IsValid() const override { return valid; }
    void Close() override { valid = false; }
    int64_t GetLength() const override { return static_cast<int64_t>(data.size()); }
    bool SetLength(int64_t length) override
    {
        data.resize(static_cast<size_t>(length));
        return true;
    }
    int64_t GetPos() const override
    {
        ++tells;
        return pos;
    }
    int64_t Seek(int64_t offset, int32_t whence) override
    {
        ++seeks;
        if (fail_seeks > 0) {
            --fail_seeks;
            return -1;
        }
        int64_t base = whence == 0 ? 0 : whence == 1 ? pos : whence == 2 ? GetLength() : -1;
        if (base < 0 || base + offset < 0)
            return -1;
        pos = base + offset;
        return pos;
    }
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override
    {
        ++reads;
        if (fail_reads > 0) {
            --fail_reads;
            if (err)
                *err = 5;
            return -1;
        }
        if (err)
            *err = 0;
        const size_t at = std::min(static_cast<size_t>(pos), data.size());
        const size_t n = std::min(count, data.size() - at);
        memcpy(buffer, data.data() + at, n);
        pos += static_cast<int64_t>(n);
        return static_cast<ssize_t>(n);
    }
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override
    {
        ++writes;
        if (fail_writes > 0) {
            --fail_writes;
            if (err)
                *err = 5;
            return -1;
        }
        if (err)
            *err = 0;
        const size_t at = static_cast<size_t>(pos);
        if (data.size() < at + count)
            data.resize(at + count, '\0');
        data.replace(at, count, static_cast<const char*>(buffer), count);
        pos += static_cast<int64_t>(count);
        return static_cast<ssize_t>(count);
    }

    std::string data;
    int64_t pos = 0;
    bool valid = true;
    int reads = 0;
    int seeks = 0;
    int writes = 0;
    mutable int tells = 0;
    int fail_reads = 0;
    int fail_seeks = 0;
    int fail_writes = 0;
};

std::string Bytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

// Random reads, seeks, tells and writes on a buffered and a plain context
// over the same bytes: every result, every byte read and the position after
// each step must agree, and so must the contents and the plain context's
// own position once the buffer is gone. A buffer of 16 bytes puts the edges
// everywhere.
TEST(ReadBufferTest, BehavesAsTheContextItself)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        const std::string data = Bytes(static_cast<size_t>(pick(0, 300)));
        FileContext plain(data), inner(data);
        {
            kivo::ReadBuffer buf(&inner, 16);
            const int64_t size = static_cast<int64_t>(data.size());
            for (int step = 0; step < 400; ++step) {
                SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
                const int op = pick(0, 9);
                if (op <= 4) {
                    static const size_t kSizes[] = {0, 1, 2, 3, 4, 7, 15, 16, 17, 31, 32, 33, 100};
                    const size_t n = kSizes[pick(0, 12)];
                    std::string a(n, '?'), b(n, '?');
                    kivo_err_t ea = -1, eb = -1;
                    const ssize_t ra = plain.Read(&a[0], n, &ea);
                    const ssize_t rb = buf.Read(&b[0], n, &eb);
                    ASSERT_EQ(ra, rb);
                    EXPECT_EQ(ea, eb);
                    EXPECT_EQ(a.substr(0, ra > 0 ? ra : 0), b.substr(0, rb > 0 ? rb : 0));
                } else if (op == 5) {
                    const int64_t to = pick(-3, static_cast<int>(size) + 20);
                    ASSERT_EQ(plain.Seek(to, 0), buf.Seek(to, 0));
                } else if (op == 6) {
                    const int64_t by = pick(-40, 40);
                    ASSERT_EQ(plain.Seek(by, 1), buf.Seek(by, 1));
                } else if (op == 7) {
                    const int64_t by = pick(-30, 5);
                    ASSERT_EQ(plain.Seek(by, 2), buf.Seek(by, 2));
                } else if (op == 8 && pick(0, 3) == 0) {
                    const std::string w = Bytes(static_cast<size_t>(pick(1, 20)));
                    ASSERT_EQ(plain.Write(w.data(), w.size(), nullptr), buf.Write(w.data(), w.size(), nullptr));
                } else if (op == 9 && pick(0, 7) == 0) {
                    ASSERT_EQ(plain.Seek(3, 7), buf.Seek(3, 7));  // an unknown whence
                }
                ASSERT_EQ(plain.GetPos(), buf.GetPos());
            }
        }
        EXPECT_EQ(plain.data, inner.data) << seed;
        EXPECT_EQ(plain.pos, inner.pos) << seed;
    }
}

// Reads of a few bytes at a time cost one read of the context per buffer;
// a read as large as the buffer goes straight through; seeks back and
// forth inside what is held cost nothing.
TEST(ReadBufferTest, SmallReadsAndNearSeeksStayInTheBuffer)
{
    const std::string data = Bytes(1000);
    FileContext inner(data);
    kivo::ReadBuffer buf(&inner, 64);
    std::string got;
    char c[3];
    while (buf.Read(c, 3, nullptr) == 3)
        got.append(c, 3);
    EXPECT_EQ(got, data.substr(0, 999));
    EXPECT_LE(inner.reads, 1000 / 64 + 2);

    ASSERT_EQ(buf.Seek(500, 0), 500);
    const int seeks = inner.seeks, reads = inner.reads, tells = inner.tells;
    ASSERT_EQ(buf.Read(c, 2, nullptr), 2);
    EXPECT_EQ(std::string(c, 2), data.substr(500, 2));
    EXPECT_EQ(buf.Seek(-2, 1), 500);
    EXPECT_EQ(buf.Seek(540, 0), 540);
    EXPECT_EQ(buf.GetPos(), 540);
    ASSERT_EQ(buf.Read(c, 3, nullptr), 3);
    EXPECT_EQ(std::string(c, 3), data.substr(540, 3));
    EXPECT_EQ(inner.seeks, seeks);
    EXPECT_EQ(inner.reads, reads + 1);
    EXPECT_EQ(inner.tells, tells);

    std::string big(200, '?');
    ASSERT_EQ(buf.Read(&big[0], big.size(), nullptr), 200);
    EXPECT_EQ(big, data.substr(543, 200));
    EXPECT_EQ(inner.reads, reads + 2);
}

// A call of the context that fails passes its error on and changes
// nothing: the bytes held are still served, the position stays.
TEST(ReadBufferTest, FailuresOfTheContextChangeNothing)
{
    struct Case {
        const char* what;
        size_t read;      // the read that meets the failure
        int fail_reads;
        int fail_seeks;
        int64_t seek_to;  // -1: no seek
    };
    const Case cases[] = {
        {"refill behind held bytes", 14, 1, 0, -1},
        {"large read behind held bytes", 40, 1, 0, -1},
        {"seek outside the buffer", 0, 0, 1, 100},
    };
    const std::string data = Bytes(200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileContext inner(data);
        kivo::ReadBuffer buf(&inner, 16);
        char head[4];
        ASSERT_EQ(buf.Read(head, 4, nullptr), 4);  // 16 held, 4 of them read
        inner.fail_reads = c.fail_reads;
        inner.fail_seeks = c.fail_seeks;
        kivo_err_t err = 0;
        if (c.seek_to >= 0) {
            EXPECT_EQ(buf.Seek(c.seek_to, 0), -1);
        } else {
            std::string b(c.read, '?');
            EXPECT_EQ(buf.Read(&b[0], c.read, &err), -1);
            EXPECT_EQ(err, 5);
        }
        EXPECT_EQ(buf.GetPos(), 4);
        std::string rest(40, '?');
        ASSERT_EQ(buf.Read(&rest[0], rest.size(), &err), 40);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(rest, data.substr(4, 40));
    }
}

// A write lands at the buffer's position, not where the context stands
// after filling the buffer, and what is read afterwards is the new bytes.
TEST(ReadBufferTest, WriteAfterReadsLandsAtThePosition)
{
    FileContext inner(Bytes(100));
    {
        kivo::ReadBuffer buf(&inner, 32);
        char c[5];
        ASSERT_EQ(buf.Read(c, 5, nullptr), 5);
        ASSERT_EQ(buf.Write("XYZ", 3, nullptr), 3);
        EXPECT_EQ(buf.GetPos(), 8);
        ASSERT_EQ(buf.Seek(4, 0), 4);
        ASSERT_EQ(buf.Read(c, 5, nullptr), 5);
        EXPECT_EQ(std::string(c, 5), std::string(1, Bytes(100)[4]) + "XYZ" + Bytes(100)[8]);
        inner.fail_writes = 1;
        kivo_err_t err = 0;
        EXPECT_EQ(buf.Write("Q", 1, &err), -1);
        EXPECT_EQ(err, 5);
        EXPECT_EQ(buf.GetPos(), 9);
        ASSERT_EQ(buf.Read(c, 1, nullptr), 1);
        EXPECT_EQ(c[0], Bytes(100)[9]);
    }
    EXPECT_EQ(inner.data.substr(5, 3), "XYZ");
    EXPECT_EQ(inner.pos, 10);  // given back where the buffer stood
}

TEST(ReadBufferTest, NullContextIsAContractBreak)
{
    EXPECT_DEATH(kivo::ReadBuffer(nullptr), "ctx != 0 && size > 0");
    FileContext inner("");
    EXPECT_DEATH(kivo::ReadBuffer(&inner, 0), "ctx != 0 && size > 0");
}

}  // namespace

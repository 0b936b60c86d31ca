#include "kivo/common/stream.h"

#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <limits>
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

}  // namespace

#include "kivo/common/number.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

namespace {

using kivo::FmtString;
using kivo::StrFormat;

const int32_t kUntouched = 1;  // err is left alone on success

// ---------------------------------------------------------------------------
// Integer parsers

struct IntCase {
    const char* text;
    int32_t radix;
    int64_t value;
    int32_t err;
    size_t consumed;
};

TEST(NumberParse, Int32Table)
{
    const IntCase cases[] = {
        {"  -0x1F ", 0, -31, kUntouched, 7},
        {"0b101", 0, 5, kUntouched, 5},
        {"017", 0, 15, kUntouched, 3},
        {"08", 0, 0, -2, 1},
        {"0x", 0, 0, kUntouched, 2},  // the prefix's '0' is a digit
        {"0.5", 0, 0, -2, 1},
        {" 42\t\r\n", 0, 42, kUntouched, 3},
        {"--5", 0, 5, kUntouched, 3},
        {"+-+7", 0, -7, kUntouched, 4},
        {"12abc", 0, 12, -2, 2},
        {"", 0, 0, -2, 0},
        {"   ", 0, 0, -2, 3},
        {"+", 0, 0, -2, 1},
        {"ff", 16, 255, kUntouched, 2},
        {"FF", 16, 255, kUntouched, 2},
        {"0x1F", 16, 0, -2, 1},  // no detection with a given radix
        {"19", 8, 1, -2, 1},
        {"2147483647", 0, INT32_MAX, kUntouched, 10},
        {"2147483648", 0, INT32_MAX, -4, 10},
        {"-2147483648", 0, INT32_MIN, kUntouched, 11},
        {"-2147483649", 0, INT32_MIN, -3, 11},
        {"-0x80000000", 0, INT32_MIN, kUntouched, 11},
        {"4294967296", 0, INT32_MAX, -4, 10},
        {"99999999999", 0, INT32_MAX, -4, 11},
        {"-99999999999", 0, INT32_MIN, -3, 12},
        // Trailing bytes win over the range: the clamp error needs a valid text.
        {"99999999999x", 0, INT32_MAX, -2, 11},
        {"-2147483649x", 0, INT32_MIN, -2, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' radix " + std::to_string(c.radix));
        int32_t v = 12345;
        int32_t err = kUntouched;
        size_t consumed = 999;
        kivo::StrToInt32(&v, c.text, strlen(c.text), c.radix, &consumed, &err);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(NumberParse, UInt32Table)
{
    const IntCase cases[] = {
        {"4294967295", 0, 4294967295LL, kUntouched, 10},
        {"0xFFFFFFFF", 0, 4294967295LL, kUntouched, 10},
        {"4294967296", 0, 4294967295LL, -4, 10},
        {"-1", 0, 0, -3, 2},
        {"-0", 0, 0, kUntouched, 2},
        {"-1x", 0, 0, -2, 2},
        {"-99999999999", 0, 0, -3, 12},
        {"0b", 0, 0, kUntouched, 2},
        {"z", 0, 0, -2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t v = 12345;
        int32_t err = kUntouched;
        size_t consumed = 999;
        kivo::StrToUInt32(&v, c.text, strlen(c.text), c.radix, &consumed, &err);
        EXPECT_EQ(static_cast<int64_t>(v), c.value);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(consumed, c.consumed);
    }
}

struct Int64Case {
    const char* text;
    bool is_unsigned;
    uint64_t bits;  // the value as stored, two's complement for signed
    int32_t err;
};

TEST(NumberParse, SixtyFourBitTable)
{
    const Int64Case cases[] = {
        {"", false, 0, -2},
        {"  ", false, 0, -2},
        {"+", false, 0, -2},
        {"9223372036854775807", false, 0x7FFFFFFFFFFFFFFFull, kUntouched},
        {"9223372036854775808", false, 0x7FFFFFFFFFFFFFFFull, -4},
        {"-9223372036854775808", false, 0x8000000000000000ull, kUntouched},
        {"-9223372036854775809", false, 0x8000000000000000ull, -3},
        {"0x7fffffffffffffff", false, 0x7FFFFFFFFFFFFFFFull, kUntouched},
        {"4294967296", false, 4294967296ull, kUntouched},
        {"18446744073709551615", true, 0xFFFFFFFFFFFFFFFFull, kUntouched},
        {"18446744073709551616", true, 0xFFFFFFFFFFFFFFFFull, -4},
        {"0xFFFFFFFFFFFFFFFFF", true, 0xFFFFFFFFFFFFFFFFull, -4},
        {"-5", true, 0, -3},
        {"01777777777777777777777", true, 0xFFFFFFFFFFFFFFFFull, kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t err = kUntouched;
        uint64_t bits;
        if (c.is_unsigned) {
            uint64_t v = 7;
            kivo::StrToUInt64(&v, c.text, strlen(c.text), 0, 0, &err);
            bits = v;
        } else {
            int64_t v = 7;
            kivo::StrToInt64(&v, c.text, strlen(c.text), 0, 0, &err);
            bits = static_cast<uint64_t>(v);
        }
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(err, c.err);
    }
}

TEST(NumberParse, ReadsOnlyTheGivenLengthAndAllowsNullOutParameters)
{
    const char text[] = {'1', '2', '3', '4', '5', '6'};  // not terminated
    int32_t v = 0;
    int32_t err = kUntouched;
    size_t consumed = 0;
    kivo::StrToInt32(&v, text, 3, 0, &consumed, &err);
    EXPECT_EQ(v, 123);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(err, kUntouched);

    // The value is stored even without the report pointers.
    kivo::StrToInt32(&v, "77x", 3, 0, 0, 0);
    EXPECT_EQ(v, 77);
    double d = 1;
    kivo::StrToDouble(&d, 0, 0, 0, 0, 0);
    EXPECT_EQ(d, 0.0);
    uint64_t u = 1;
    kivo::StrToUInt64(&u, 0, 0, 0, 0, &err);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(err, -2);
}

// ---------------------------------------------------------------------------
// Double parser and classification

struct DoubleCase {
    const char* text;
    double value;
    int32_t err;
    size_t consumed;
};

TEST(NumberParse, DoubleTable)
{
    const DoubleCase cases[] = {
        {"1.5e3", 1500, kUntouched, 5},
        {"-2.5E-1", -0.25, kUntouched, 7},
        {"1e", 1, kUntouched, 2},
        {"1e+2", 100, kUntouched, 4},
        {"  3.25  ", 3.25, kUntouched, 6},
        {"0.1", 0.1, kUntouched, 3},
        {".5", 0.5, -2, 2},  // no digit before the point
        {"0e5", 0, -2, 1},   // octal by detection: no exponent
        {"0x1.8", 1, -2, 3},
        {"0x10", 16, kUntouched, 4},
        {"12.5abc", 12.5, -2, 4},
        {"", 0, -2, 0},
        {"-", 0, -2, 1},
        {"0.0e400", 0, kUntouched, 7},  // zero stays zero, not 0 * inf
        {"1e-400", 0, kUntouched, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        double v = 123;
        int32_t err = kUntouched;
        size_t consumed = 999;
        kivo::StrToDouble(&v, c.text, strlen(c.text), 0, &consumed, &err);
        EXPECT_DOUBLE_EQ(v, c.value);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(consumed, c.consumed);
    }

    double v = 0;
    kivo::StrToDouble(&v, "1e400", 5, 0, 0, 0);
    EXPECT_TRUE(std::isinf(v));

    EXPECT_DOUBLE_EQ(kivo::StringToDouble(kivo::StringView("-7.75")), -7.75);
}

TEST(NumberParse, VeryLongFractionStaysFinite)
{
    const std::string text = "1." + std::string(400, '9');
    double v = 0;
    int32_t err = kUntouched;
    kivo::StrToDouble(&v, text.data(), text.size(), 10, 0, &err);
    EXPECT_EQ(err, kUntouched);
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_NEAR(v, 2.0, 1e-12);
}

// Bit for bit: the parser must give the double nearest to the text.
::testing::AssertionResult SameDouble(double got, double want)
{
    uint64_t a, b;
    memcpy(&a, &got, sizeof a);
    memcpy(&b, &want, sizeof b);
    if (a == b)
        return ::testing::AssertionSuccess();
    char buf[128];
    snprintf(buf, sizeof buf, "got %.17g, want %.17g", got, want);
    return ::testing::AssertionFailure() << buf;
}

struct RoundCase {
    std::string text;
    double value;
    int32_t err;
};

TEST(NumberParse, CorrectlyRounded)
{
    const double kInf = std::numeric_limits<double>::infinity();
    const RoundCase cases[] = {
        {"1.9930000000000001", 1.993, kUntouched},
        {"1.993", 1.993, kUntouched},
        {"0.1", 0.1, kUntouched},
        {"0.30000000000000004", 0.1 + 0.2, kUntouched},
        {"5e-324", std::numeric_limits<double>::denorm_min(), kUntouched},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min(), kUntouched},
        {"2.2250738585072014e-308", std::numeric_limits<double>::min(), kUntouched},
        {"2.2250738585072009e-308", 2.2250738585072009e-308, kUntouched},
        {"1.7976931348623157e308", std::numeric_limits<double>::max(), kUntouched},
        {"9007199254740993", 9007199254740992.0, kUntouched},  // the tie goes to even
        {"123456789012345678901234567890", 1.2345678901234568e29, kUntouched},
        {"1" + std::string(400, '0') + "e-400", 1.0, kUntouched},
        {"0." + std::string(400, '0') + "1e401", 1.0, kUntouched},
        {"0." + std::string(400, '0') + "1e400", 0.1, kUntouched},
        {"1e-400", 0.0, kUntouched},  // below the range: zero
        {"2.4703282292062327e-324", 0.0, kUntouched},
        {"1e400", kInf, kUntouched},  // above it: infinity
        {"1.7976931348623159e308", kInf, kUntouched},
        {std::string(400, '9'), kInf, kUntouched},
        {"-1e400", -kInf, kUntouched},
        {"-0.0", -0.0, kUntouched},
        {"0e99999999999", 0.0, -2},  // octal by detection: no exponent
        {"1e99999999999999999999", kInf, kUntouched},
        {"1e-99999999999999999999", 0.0, kUntouched},
        {"1.e5", 100000, kUntouched},
        {".5", 0.5, -2},
        {".e5", 0.0, -2},
        {"--2.5", 2.5, kUntouched},
        {"  -1.25e+2  ", -125, kUntouched},
        {"3.5x", 3.5, -2},
    };
    for (const RoundCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        double v = 123;
        int32_t err = kUntouched;
        kivo::StrToDouble(&v, c.text.data(), c.text.size(), 0, 0, &err);
        EXPECT_FALSE(std::isnan(v));
        EXPECT_TRUE(SameDouble(v, c.value));
        EXPECT_EQ(err, c.err);
    }
}

// Doubles of every exponent, normal and subnormal, read back from their own
// 17-digit text.
TEST(NumberParse, SeventeenDigitsReadBack)
{
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int failures = 0;
    for (int i = 0; i < 200000 && failures < 5; ++i) {
        uint64_t bits = next();
        if (((bits >> 52) & 0x7FF) == 0x7FF)
            continue;  // inf and NaN have no digits
        double d;
        memcpy(&d, &bits, sizeof d);
        char text[64];
        const int n = snprintf(text, sizeof text, i % 2 ? "%.17g" : "%.16e", d);
        double back = 0;
        int32_t err = kUntouched;
        kivo::StrToDouble(&back, text, static_cast<size_t>(n), 10, 0, &err);
        if (!SameDouble(back, d) || err != kUntouched) {
            ADD_FAILURE() << text << ": " << SameDouble(back, d).message() << ", err " << err;
            ++failures;
        }
    }
}

struct ClassifyCase {
    const char* text;
    int32_t kind;
    size_t consumed;
    bool blank_tail;
};

TEST(NumberParse, ClassifyTable)
{
    const ClassifyCase cases[] = {
        {"12", 1, 2, true},
        {"1.5", 2, 3, true},
        {"1e5 ", 2, 3, true},
        {"-3.0e-2,", 2, 7, false},
        {"1e", 1, 1, false},
        {"1.", 1, 1, false},
        {"0x1F ", 1, 4, true},
        {"012.5", 1, 3, false},  // octal: no fraction
        {"abc", 0, 0, false},
        {".5", 0, 0, false},
        {"", 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bool tail = !c.blank_tail;
        size_t consumed = 999;
        EXPECT_EQ(kivo::_ClassifyNumber(c.text, strlen(c.text), &tail, 0, &consumed), c.kind);
        EXPECT_EQ(consumed, c.consumed);
        EXPECT_EQ(tail, c.blank_tail);
    }
}

// ---------------------------------------------------------------------------
// Typed parsing and the range rules

TEST(NumberParse, StrToNumClampsToTheTargetType)
{
    int32_t err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<unsigned char>("300", 3, 0, 0, &err), 255);
    EXPECT_EQ(err, -4);
    err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<unsigned char>("-1", 2, 0, 0, &err), 0);
    EXPECT_EQ(err, -3);
    err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<signed char>("-200", 4, 0, 0, &err), -128);
    EXPECT_EQ(err, -3);
    err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<short>("40000", 5, 0, 0, &err), 32767);
    EXPECT_EQ(err, -4);
    err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<unsigned short>("70000", 5, 0, 0, &err), 65535);
    EXPECT_EQ(err, -4);
    err = kUntouched;
    EXPECT_EQ(kivo::StrToNum<unsigned short>("0xFFFF", 6, 0, 0, &err), 65535);
    EXPECT_EQ(err, kUntouched);

    EXPECT_TRUE(kivo::StrToNum<bool>("2", 1));
    EXPECT_FALSE(kivo::StrToNum<bool>("0", 1));
    EXPECT_EQ(kivo::StrToNum<long long>("0x10", 4), 16);
    EXPECT_EQ(kivo::StrToNum<unsigned long long>("18446744073709551615", 20), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_FLOAT_EQ(kivo::StrToNum<float>("1.5", 3), 1.5f);

    size_t consumed = 0;
    EXPECT_EQ(kivo::StrToNum<int>(kivo::StringView("  7 "), 0, &consumed, &err), 7);
    EXPECT_EQ(consumed, 3u);
}

TEST(NumberConvert, RangeRulesTable)
{
    struct Case {
        int64_t got;
        int64_t want;
        int32_t err_got;
        int32_t err_want;
    };
    int32_t e[16];
    for (int32_t& x : e)
        x = kUntouched;
    const Case cases[] = {
        {kivo::_CvtNumber<int32_t>(2.5, &e[0]), 3, e[0], kUntouched},
        {kivo::_CvtNumber<int32_t>(-2.5, &e[1]), -3, e[1], kUntouched},
        {kivo::_CvtNumber<int32_t>(2147483646.6, &e[2]), INT32_MAX, e[2], kUntouched},
        {kivo::_CvtNumber<int32_t>(2147483648.0, &e[3]), INT32_MAX, e[3], -4},
        {kivo::_CvtNumber<int32_t>(-2147483649.0, &e[4]), INT32_MIN, e[4], -3},
        {kivo::_CvtNumber<uint32_t>(4294967294.6, &e[5]), 4294967295LL, e[5], kUntouched},
        {kivo::_CvtNumber<uint32_t>(4294967295.4, &e[6]), 4294967295LL, e[6], -4},
        {kivo::_CvtNumber<uint32_t>(-0.1, &e[7]), 0, e[7], -3},
        {kivo::_CvtNumber<int32_t>(std::nan(""), &e[8]), 0, e[8], -2},
        {kivo::_CvtNumber<int32_t>(0x80000000u, &e[9]), INT32_MAX, e[9], -4},
        {kivo::_CvtNumber<uint32_t>(-1, &e[10]), 0, e[10], -3},
        {kivo::_CvtNumber<int32_t>(INT64_MIN, &e[11]), INT32_MIN, e[11], -3},
        {kivo::_CvtNumber<int64_t>(-1, &e[12]), -1, e[12], kUntouched},
        {kivo::_CvtNumber<uint8_t>(254.5, &e[13]), 255, e[13], kUntouched},
        {kivo::_CvtNumber<uint8_t>(255.4, &e[14]), 255, e[14], -4},  // above the bound before rounding
        {kivo::_CvtNumber<int64_t>(-1e19, &e[15]), INT64_MIN, e[15], -3},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].got, cases[i].want);
        EXPECT_EQ(cases[i].err_got, cases[i].err_want);
    }

    // The 64-bit bounds lie a little inside the exact limits.
    int32_t err = kUntouched;
    EXPECT_EQ(kivo::_CvtNumber<uint64_t>(1.8446744073e19, &err), 18446744073000000000ull - 512);
    EXPECT_EQ(err, kUntouched);
    EXPECT_EQ(kivo::_CvtNumber<uint64_t>(1.8446744074e19, &err), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(err, -4);
}

// ---------------------------------------------------------------------------
// Formatter

struct TextCase {
    std::string got;
    const char* want;
};

void ExpectTexts(const TextCase* cases, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(std::string("case ") + std::to_string(i) + ", want '" + cases[i].want + "'");
        EXPECT_EQ(cases[i].got, cases[i].want);
    }
}

TEST(Formatter, SingleArgumentTable)
{
    const char* null_text = 0;
    char buffer[10] = "buf";
    const TextCase cases[] = {
        {StrFormat(255, "%x"), "ff"},
        {StrFormat(255, "%#X"), "0XFF"},
        {StrFormat(255, "%5d"), "  255"},
        {StrFormat(255, "%-5d|"), "255  |"},
        {StrFormat(255, "%05d"), "00255"},
        {StrFormat(255, "%o"), "377"},
        {StrFormat(5, "%+d"), "+5"},
        {StrFormat(321, "%c"), "A"},
        {StrFormat(-191, "%c"), "A"},
        {StrFormat(3.14159, "%.2f"), "3.14"},
        {StrFormat(1.5, "%.08f"), "1.500000"},  // "08" is octal garbage: precision 0, i.e. 6
        {StrFormat(1234.5, "%e"), "1.234500e+03"},
        {StrFormat(1234.5, "%E"), "1.234500E+03"},
        {StrFormat(1.5e20, "%G"), "1.5E+20"},
        {StrFormat(3.0, "%s"), "3"},
        {StrFormat(0.1, "%s"), "0.1"},
        {StrFormat(1234567.0, "%s"), "1.23457e+06"},
        {StrFormat(-1, "%u"), "-1"},  // letters other than o/x/e/f/c change nothing
        {StrFormat(true, "%d"), "1"},
        {StrFormat(std::string("abc"), "<%s>"), "<abc>"},
        {StrFormat(buffer, "[%s]"), "[buf]"},
        {StrFormat(null_text, "%s"), "(null)"},
        {StrFormat("ab", "%5s|"), "   ab|"},
        {StrFormat("ab", "%-5s|"), "ab   |"},
        {StrFormat(5, "n"), "n, 5"},
        {StrFormat(5, "100%% %d%%"), "100% 5%"},
        {StrFormat(5, "abc%"), "abc5"},  // the format ends inside the conversion
        // Zero padding goes after the sign and the base.
        {StrFormat(-5, "%05d"), "-0005"},
        {StrFormat(-3.14159, "%010.3f"), "-00003.142"},
        {StrFormat(255, "%#06x"), "0x00ff"},
    };
    ExpectTexts(cases, sizeof cases / sizeof cases[0]);
}

TEST(Formatter, SeveralArgumentsTable)
{
    const TextCase cases[] = {
        {FmtString("%s=%d;", "k", 7), "k=7;"},
        {FmtString("%*d|", 4, 7), "   7|"},
        {FmtString("%-*d|", 4, 7), "7   |"},
        {FmtString("%.*f", 2, 3.14159), "3.14"},
        {FmtString("%*.*f|", 8, 2, 3.14159), "    3.14|"},
        {FmtString("%*d|", 2.6, 7), "  7|"},  // a double width is rounded
        {FmtString("%*d|", "3", 7), "  7|"},  // a text width is parsed
        {FmtString("a", 1, "b"), "a, 1, b"},
        {FmtString("x=%d, y=%d", 1), "x=1, y="},
        {FmtString("a%*d|", "zz", 5), "a"},  // a width that is no number stops the output
        {FmtString("%05d|%5d|%-3d|", 1, 2, 3), "00001|    2|3  |"},
        {FmtString("%x %d", 255, 255), "ff 255"},
        {FmtString("%c%c%c", 'k', 'i', 118), "kiv"},
    };
    ExpectTexts(cases, sizeof cases / sizeof cases[0]);
}

struct Sink {
    std::string text;
    int calls = 0;
    int accept = 0;  // calls accepted before the writer refuses
};

bool SinkWrite(void* context, const char* data, size_t length)
{
    Sink* sink = static_cast<Sink*>(context);
    ++sink->calls;
    if (sink->calls > sink->accept)
        return false;
    sink->text.append(data, length);
    return true;
}

TEST(Formatter, WriterFailureStopsAllLaterOutput)
{
    for (int accept = 0; accept < 6; ++accept) {
        SCOPED_TRACE(accept);
        Sink sink;
        sink.accept = accept;
        kivo::Formatter f;
        f.Begin(SinkWrite, &sink, "ab%dcd%se");
        f.Arg(12345).Arg("xyz").Arg(9);
        // Exactly one refused call, after which nothing more is tried.
        EXPECT_LE(sink.calls, accept + 1);
        if (sink.calls > accept) {
            const int calls = sink.calls;
            f.Arg(1).Arg("more");
            EXPECT_EQ(sink.calls, calls);
        }
        EXPECT_EQ(sink.text, std::string("ab12345cdxyze, 9").substr(0, sink.text.size()));
    }

    // The same formatter writes again after a new Begin.
    Sink sink;
    sink.accept = 100;
    kivo::Formatter f;
    f.Begin(SinkWrite, &sink, "%d-%d");
    f.Arg(1).Arg(2);
    EXPECT_EQ(sink.text, "1-2");
}

TEST(Formatter, OutputStreamFailsWhenTheWriterRefuses)
{
    std::string text;
    kivo::io_base::OutputStream buf(kivo::io_base::StringWriteProc, &text);
    std::ostream os(&buf);
    os << 42 << 'x' << "yz";
    EXPECT_TRUE(os.good());
    EXPECT_EQ(text, "42xyz");

    Sink sink;
    kivo::io_base::OutputStream refusing(SinkWrite, &sink);
    std::ostream bad(&refusing);
    bad << "abc";
    EXPECT_TRUE(bad.fail());
    std::ostream bad_char(&refusing);
    bad_char << 'c';
    EXPECT_TRUE(bad_char.fail());
}

// ---------------------------------------------------------------------------
// Value texts

TEST(FormatValue, IntegersAndDoublesTable)
{
    auto text = [](auto v) {
        std::string s;
        kivo::FormatValue(v, &s);
        return s;
    };
    const TextCase cases[] = {
        {text(int32_t(-5)), "-5"},
        {text(uint32_t(4294967295u)), "4294967295"},
        {text(int64_t(INT64_MIN)), "-9223372036854775808"},
        {text(uint64_t(0xFFFFFFFFFFFFFFFFull)), "18446744073709551615"},
        {text(0.1), "0.1"},
        {text(2.0), "2.0"},
        {text(0.0), "0.0"},
        {text(-5.5), "-5.5"},
        {text(123.456), "123.456"},
        {text(1e16), "1.0e+16"},
        {text(1e20), "1.0e+20"},
        {text(12345678901234567.0), "1.234567890123457e+16"},
        {text(9999999999999998.0), "9999999999999998.0"},
        {text(0.00001), "0.00001"},
        // Only large positive values go scientific; large negative ones and
        // small ones stay fixed.
        {text(-1e20), "-100000000000000000000.0"},
        {text(-1e16), "-10000000000000000.0"},
        {text(-12345678901234567.0), "-12345678901234568.0"},
        {text(5e-6), "0.000005"},
        {text(3e-10), "0.0000000003"},
        {text(-2.5e-7), "-0.00000025"},
        {text(1e-16), "0.0000000000000001"},
        {text(-0.0), "-0.0"},
        // A non-zero value whose fixed text would read back as zero keeps
        // its digits in scientific notation.
        {text(2.5e-20), "2.5e-20"},
        {text(-4e-17), "-4.0e-17"},
        {text(std::numeric_limits<double>::denorm_min()), "4.940656458412465e-324"},
        {text(std::numeric_limits<double>::infinity()), "inf"},
        {text(-std::numeric_limits<double>::infinity()), "-inf"},
        {text(std::numeric_limits<double>::quiet_NaN()), "nan"},
    };
    ExpectTexts(cases, sizeof cases / sizeof cases[0]);

    // Appends, and trims only what it appended.
    std::string s = "1.000";
    kivo::FormatValue(3.0, &s);
    EXPECT_EQ(s, "1.0003.0");
}

TEST(FormatValue, SeventeenSignificantDigitsRoundTrip)
{
    const double fixed[] = {1.0000000000000002, 3.141592653589793, 123456.78901234567, 9007199254740993.0,
                            2.0 / 3.0 * 1e15, 1.1, 4503599627370495.5,
                            -1e16, -12345678901234567.0, -1.5e22, -std::numeric_limits<double>::max()};
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 300 + static_cast<int>(sizeof fixed / sizeof fixed[0]); ++i) {
        double v;
        if (i < static_cast<int>(sizeof fixed / sizeof fixed[0])) {
            v = fixed[i];
        } else {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double unit = static_cast<double>(seed >> 11) / 9007199254740992.0;  // [0, 1)
            v = std::pow(10.0, unit * 16.0);  // [1, 1e16)
            if (i % 2)
                v = -v;
        }
        std::string s;
        kivo::FormatValue(v, &s);
        SCOPED_TRACE(s);
        EXPECT_EQ(strtod(s.c_str(), 0), v);
        ASSERT_NE(s.find('.'), std::string::npos);
        EXPECT_NE(s.back(), '.');
    }
}

TEST(FormatValue, TrimFloatText)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"2.0000", "2.0"}, {"0.1000", "0.1"}, {"1.000000e+16", "1.0e+16"}, {"1.250E-03", "1.25E-03"},
        {"100", "100"},    {"inf", "inf"},    {"10.0", "10.0"},            {"-7.50", "-7.5"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        kivo::_TrimFloatText(&s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(FormatValue, IntAndDoubleToString)
{
    EXPECT_EQ(kivo::IntToString(-42), "-42");
    EXPECT_EQ(kivo::IntToString(INT32_MIN), "-2147483648");
    EXPECT_EQ(kivo::DoubleToString(3.14159, 2), "3.14");
    EXPECT_EQ(kivo::DoubleToString(1.0, 0), "1");
    EXPECT_EQ(kivo::DoubleToString(2.5f, 1), "2.5");
    EXPECT_EQ(kivo::DoubleToString(-0.5, 3), "-0.500");
}

// ---------------------------------------------------------------------------
// printf into buffers

int Print(char* buf, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int Print(char* buf, size_t size, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int r = kivo::VSPrintf(buf, size, format, ap);
    va_end(ap);
    return r;
}

int PrintAt(char* buf, size_t size, size_t offset, const char* format, ...) __attribute__((format(printf, 4, 5)));
int PrintAt(char* buf, size_t size, size_t offset, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int r = kivo::VSPrintfAt(buf, size, offset, format, ap);
    va_end(ap);
    return r;
}

// Retries as callers do; returns the number of attempts.
int PrintString(std::string& s, size_t offset, const char* format, ...) __attribute__((format(printf, 3, 4)));
int PrintString(std::string& s, size_t offset, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int attempts = 0;
    for (; attempts < 10; ) {
        va_list copy;
        va_copy(copy, ap);
        ++attempts;
        const bool done = kivo::StrVPrintf(s, offset, format, copy);
        va_end(copy);
        if (done)
            break;
    }
    va_end(ap);
    return attempts;
}

TEST(SPrintf, BufferBoundsTable)
{
    struct Case {
        size_t size;
        size_t offset;  // (size_t)-1: VSPrintf itself
        const char* text;
        int result;
        const char* content;  // the first 8 bytes afterwards
    };
    const size_t direct = static_cast<size_t>(-1);
    const Case cases[] = {
        {0, direct, "abc", -1, "########"},  // size 0 writes nothing
        {4, direct, "abc", 3, "abc\0####"},
        {4, direct, "abcdef", -1, "abc\0####"},
        {1, direct, "x", -1, "\0#######"},
        {8, 2, "xyz", 5, "##xyz\0#\0"},  // the last byte is always a terminator
        {6, 2, "xyzw", -1, "##xyz\0##"},
        {6, 5, "", 5, "#####\0##"},
        {6, 6, "x", -1, "########"},   // at the end: nothing written
        {6, 50, "x", -1, "########"},  // past the end: nothing written
        {0, 0, "x", -1, "########"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " size " + std::to_string(c.size) + " offset " + std::to_string(c.offset));
        char buf[16];
        memset(buf, '#', sizeof buf);
        const int r = c.offset == direct ? Print(buf, c.size, "%s", c.text) : PrintAt(buf, c.size, c.offset, "%s", c.text);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(std::string(buf, 8), std::string(c.content, 8));
        EXPECT_EQ(std::string(buf + 8, 8), std::string(8, '#'));
    }
}

TEST(SPrintf, StrVPrintfGrowsUntilTheTextFits)
{
    std::string s;
    EXPECT_EQ(PrintString(s, 0, "hello %d", 5), 2);  // an empty string must grow, not loop
    EXPECT_EQ(s, "hello 5");

    s = "abcdef";
    EXPECT_EQ(PrintString(s, 2, "%d", 12), 1);
    EXPECT_EQ(s, "ab12");

    s = "abc";
    EXPECT_EQ(PrintString(s, 1, "%s", "a longer text than the string"), 2);
    EXPECT_EQ(s, "aa longer text than the string");

    s = "ab";
    EXPECT_LE(PrintString(s, 5, "xy"), 3);
    EXPECT_EQ(s.size(), 7u);
    EXPECT_EQ(s.substr(0, 2), "ab");
    EXPECT_EQ(s.substr(5), "xy");
}

}  // namespace

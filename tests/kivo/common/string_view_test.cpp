#include "kivo/common/string_view.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using kivo::ByteArray;
using kivo::StringView;
using Impl = kivo::str_traines::Impl;

const size_t npos = StringView::npos;

std::string Str(const StringView& v)
{
    return v.ToString();
}

std::string Str(const ByteArray& b)
{
    return std::string(b.data(), b.size());
}

// ---------------------------------------------------------------------------
// Counted text primitives

struct CompareCase {
    std::string a;
    std::string b;
    int compare;
    int icompare;
    int path;
};

TEST(StrTraines, CompareFamiliesReturnMinusOneZeroOrOne)
{
    const CompareCase cases[] = {
        {"", "", 0, 0, 0},
        {"abc", "abc", 0, 0, 0},
        {"abc", "abd", -1, -1, -1},
        {"abd", "abc", 1, 1, 1},
        {"ab", "abc", -1, -1, -1},
        {"abc", "ab", 1, 1, 1},
        {"ABC", "abc", -1, 0, 0},
        {"a", "B", 1, -1, -1},
        // Bytes compare unsigned: 0x80 sorts after every ASCII byte.
        {"\x80", "a", 1, 1, 1},
        {std::string("a\0b", 3), std::string("a\0c", 3), -1, -1, -1},
        {"A\\B", "a/b/", -1, 1, 0},  // as paths '\\' and '/' are one character
        {"a/b", "a\\b", -1, -1, 0},
        {"a/b", "a/b/c", -1, -1, -1},
        // '/' sorts before letters and after '.', as if the shorter path went on.
        {"a", "ab", -1, -1, -1},
        {"ab", "a", 1, 1, 1},
        {"a", "a.", -1, -1, 1},
        {"a.", "a", 1, 1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.a + "' vs '" + c.b + "'");
        EXPECT_EQ(Impl::Compare(c.a.data(), c.a.size(), c.b.data(), c.b.size()), c.compare);
        EXPECT_EQ(Impl::ICompare(c.a.data(), c.a.size(), c.b.data(), c.b.size()), c.icompare);
        EXPECT_EQ(Impl::ComparePath(c.a.data(), c.a.size(), c.b.data(), c.b.size()), c.path);
    }
}

TEST(StrTraines, AssignAndConcatStayWithinCapacity)
{
    char buf[6];
    memset(buf, 'z', sizeof buf);
    Impl::Assign(buf, sizeof buf, "abcdefgh", 8);
    EXPECT_STREQ(buf, "abcde");

    Impl::Assign(buf, 4, "xy", 2);
    EXPECT_EQ(Impl::Concat(buf, sizeof buf, "123", 3), 2u);
    EXPECT_STREQ(buf, "xy123");
    // Full: nothing more fits, the old length comes back.
    EXPECT_EQ(Impl::Concat(buf, sizeof buf, "!", 1), 5u);
    EXPECT_STREQ(buf, "xy123");

    // A buffer without a NUL within cap is left alone.
    char raw[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Impl::Concat(raw, sizeof raw, "d", 1), 3u);
    EXPECT_EQ(raw[2], 'c');

    // Capacity 0 has no room even for the NUL.
    char guard = 'g';
    Impl::Assign(&guard, 0, "x", 1);
    EXPECT_EQ(guard, 'g');

    EXPECT_EQ(Impl::BoundedLength("abc", 2), 2u);
    EXPECT_EQ(Impl::BoundedLength("abc", 10), 3u);
}

TEST(StrTrainesDeathTest, NullTextIsABrokenContract)
{
    char buf[4];
    EXPECT_DEATH(Impl::Length(nullptr), "s != 0");
    EXPECT_DEATH(Impl::Find(nullptr, 1, 'a'), "s0 != 0");
    EXPECT_DEATH(Impl::Assign(buf, sizeof buf, nullptr, 1), "s != 0");
}

// ---------------------------------------------------------------------------
// StringView: construction, sharing, comparison

TEST(StringView, DefaultAndBorrowedViews)
{
    StringView empty;
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_STREQ(empty.Data(), "");

    const char* text = "hello";
    StringView v(text);
    EXPECT_EQ(v.Data(), text);
    EXPECT_EQ(v.Size(), 5u);
    std::string s("abc");
    EXPECT_EQ(StringView(s).Data(), s.data());
    EXPECT_EQ(StringView(text, 3).ToString(), "hel");
}

TEST(StringView, RecordsAreTwoAndThreeWords)
{
    // Binary streams write these records as they are (8 and 12 bytes on the
    // device).
    EXPECT_EQ(sizeof(StringView), 2 * sizeof(void*));
    EXPECT_EQ(sizeof(ByteArray), 3 * sizeof(void*));
}

TEST(StringView, ViewsShareTheBufferOfAByteArray)
{
    StringView v;
    const char* shared = nullptr;
    {
        ByteArray a("payload", 7);
        v = StringView(a);
        shared = a.data();
        EXPECT_EQ(v.Data(), shared);
        StringView copy(v);
        EXPECT_EQ(copy.Data(), shared);
    }
    // The view's reference keeps the buffer alive after the array is gone.
    EXPECT_EQ(v.Data(), shared);
    EXPECT_EQ(Str(v), "payload");

    // A view of a borrowed array borrows the caller's bytes.
    const char ext[] = "ext";
    ByteArray borrowed(ext, 3, kivo::ExternBuff());
    EXPECT_EQ(StringView(borrowed).Data(), ext);
}

TEST(StringView, DeepCopyOwnsItsBytes)
{
    std::string source("deep");
    StringView copy{StringView(source), kivo::DeepCopy()};
    EXPECT_NE(copy.Data(), source.data());
    source.assign("gone");
    EXPECT_EQ(Str(copy), "deep");
    EXPECT_EQ(copy.Data()[copy.Size()], '\0');

    // A byte array made from it shares the new buffer instead of copying.
    ByteArray a(copy);
    EXPECT_EQ(a.data(), copy.Data());
}

TEST(StringView, AssignmentKeepsOrDropsReferences)
{
    ByteArray a("abc", 3);
    StringView v(a);
    v = v;  // self-assignment
    EXPECT_EQ(Str(v), "abc");
    StringView w("literal");
    w = v;
    v = StringView("other");
    EXPECT_EQ(Str(w), "abc");
    EXPECT_EQ(w.Data(), a.data());
}

TEST(StringView, CompareAndEquality)
{
    const char* text = "same";
    StringView v(text);
    EXPECT_EQ(v.Compare(text), 0);
    EXPECT_EQ(v.Compare("samf"), -1);
    EXPECT_EQ(v.Compare("sam"), 1);
    EXPECT_EQ(v.Compare(StringView("samea")), -1);
    EXPECT_EQ(StringView(text, 3).Compare(text), -1);  // same pointer, shorter
    EXPECT_TRUE(v == "same");
    EXPECT_TRUE(v == StringView(std::string("same")));
    EXPECT_TRUE(v != "Same");

    EXPECT_EQ(v._Compare(1, 2, "am", 2), 0);
    EXPECT_EQ(v._Compare(1, 100, "ame", 3), 0);  // len0 clipped
    EXPECT_EQ(v._Compare(0, 4, "xxsame", 6, 2, 10), 0);  // len1 clipped
    EXPECT_EQ(v._ICompare(0, 4, "SAME", 4), 0);
    EXPECT_EQ(v._ICompare(0, 4, "xSAMx", 5, 1, 3), 1);
}

TEST(StringViewDeathTest, BrokenContractsAbort)
{
    StringView v("abc");
    EXPECT_DEATH(v[3], "p0 < _num");
    EXPECT_DEATH(v.At(5), "n < _num");
    EXPECT_DEATH(StringView().Back(), "_num > 0");
    EXPECT_DEATH(v._Compare(4, 1, "a", 1), "s != 0 && p0 <= _num");
    EXPECT_DEATH(v._Compare(0, 1, "a", 1, 2, 1), "s != 0 && p0 <= _num && p1 <= cap1");
    EXPECT_DEATH(v._Find(nullptr, 0, 1), "s != 0");
}

TEST(StringView, SubClampsToTheEnd)
{
    StringView v("abcdef");
    EXPECT_EQ(Str(v.Sub(2, 3)), "cde");
    EXPECT_EQ(Str(v.Sub(4, 100)), "ef");
    EXPECT_EQ(Str(v.Sub(2)), "cdef");
    EXPECT_EQ(v.Sub(6, 1).Size(), 0u);
    EXPECT_EQ(v.Sub(9, 1).Size(), 0u);
    EXPECT_EQ(v.Sub(1, 0).Size(), 0u);
    EXPECT_EQ(v.Sub(1, 2).Data(), v.Data() + 1);
}

TEST(StringView, StreamOutputHonoursWidth)
{
    std::ostringstream os;
    os.width(6);
    os.fill('.');
    os << StringView("ab") << "|";
    os << std::left;
    os.width(5);
    os << StringView("xy") << "|";
    os.width(1);
    os << StringView("long") << "|";
    EXPECT_EQ(os.str(), "....ab|xy...|long|");
}

// ---------------------------------------------------------------------------
// Searching

TEST(StringView, FindFamilies)
{
    StringView v("abcabc");
    struct Case {
        const char* what;
        size_t got;
        size_t want;
    };
    const Case cases[] = {
        {"find", v.Find("bc"), 1},
        {"find from", v.Find("bc", 2), 4},
        {"find miss", v.Find("cb"), npos},
        {"find longer than rest", v.Find("abc", 4), npos},
        {"find empty at end", v._Find("", 6, 0), 6},
        {"find empty past end", v._Find("", 7, 0), npos},
        {"find empty inside", v._Find("", 3, 0), 3},
        {"rfind", v._RFind("abc", npos, 3), 3},
        {"rfind below", v._RFind("abc", 2, 3), 0},
        {"rfind miss", v._RFind("x", npos, 1), npos},
        {"rfind too long", v._RFind("abcabca", npos, 7), npos},
        {"rfind empty", v._RFind("", 4, 0), 4},
        {"rfind empty clipped", v._RFind("", 99, 0), 6},
        {"first of", v.FindFirstOf("cx"), 2},
        {"first of from", v.FindFirstOf("cx", 3), 5},
        {"first of empty set", v.FindFirstOf(""), npos},
        {"first of past end", v.FindFirstOf("a", 6), npos},
        {"first not of", v.FindFirstNotOf("ab"), 2},
        {"first not of empty set", v.FindFirstNotOf(""), 0},
        {"first not of all", v.FindFirstNotOf("abc"), npos},
        {"last not of", v.FindLastNotOf("c"), 4},
        {"last not of from", v.FindLastNotOf("a", 3), 2},
        {"last not of all", v.FindLastNotOf("abc"), npos},
        {"last not of empty view", StringView().FindLastNotOf("a"), npos},
        {"last of", v._FindLastOf("a", npos, 1, false), 3},
        {"char", v.FindChar('c'), 2},
        {"char from", v.FindChar('a', 1), 3},
        {"char negate", v.FindChar('a', 0, true), 1},
        {"char miss", v.FindChar('z'), npos},
        {"char past end", v.FindChar('a', 6), npos},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(StringView, FindSeesBytesAboveSeventyFHex)
{
    StringView v("a\xC3\xA9z");
    EXPECT_EQ(v.Find("\xA9"), 2u);
    EXPECT_EQ(v.FindFirstOf("\xC3"), 1u);
}

// ---------------------------------------------------------------------------
// Trimming and splitting

TEST(StringView, TrimModes)
{
    struct Case {
        const char* text;
        int32_t mode;
        const char* want;
    };
    const Case cases[] = {
        {"  ab \t", 0, "ab \t"},
        {"  ab \t", 1, "  ab"},
        {"  ab \t", 2, "ab"},
        {"ab", 0, "ab"},
        {"ab", 1, "ab"},
        {"ab", 2, "ab"},
        {"   ", 0, ""},
        {"   ", 2, ""},
        // Right-only trimming leaves a text made only of trimmed characters.
        {"   ", 1, "   "},
        {"", 0, ""},
        {"", 1, ""},
        {"", 2, ""},
        {" a ", 2, "a"},
    };
    for (const auto& c : cases) {
        StringView v(c.text);
        const StringView t = v.Trim(" \t", c.mode);
        EXPECT_EQ(Str(t), c.want) << "'" << c.text << "' mode " << c.mode;
        if (t.Size() > 0) {
            EXPECT_GE(t.Data(), v.Data());  // a borrowed sub-range
            EXPECT_LE(t.Data() + t.Size(), v.Data() + v.Size());
        }
    }
}

TEST(StringView, SplitTokens)
{
    struct Case {
        const char* text;
        const char* seps;
        const char* trim;
        bool skip_empty;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"a,,b", ",", nullptr, true, {"a", "b"}},
        {"a,,b", ",", nullptr, false, {"a", "", "b"}},
        {"a,", ",", nullptr, false, {"a"}},
        {"a,", ",", nullptr, true, {"a"}},
        {",a", ",", nullptr, false, {"", "a"}},
        {",a", ",", nullptr, true, {"a"}},
        {"", ",", nullptr, false, {}},
        {",,", ",", nullptr, true, {}},
        {"x; y ;z", ";", " ", false, {"x", "y", "z"}},
        {"x; ;z", ";", " ", true, {"x", "z"}},
        {"k=v&a=b", "=&", nullptr, false, {"k", "v", "a", "b"}},
        {"abc", ",", nullptr, false, {"abc"}},
    };
    for (const auto& c : cases) {
        std::vector<StringView> out;
        out.push_back(StringView("kept"));  // Split appends
        const size_t n = StringView(c.text).Split(out, c.seps, c.trim, c.skip_empty);
        std::vector<std::string> got;
        for (size_t i = 1; i < out.size(); ++i)
            got.push_back(Str(out[i]));
        EXPECT_EQ(n, c.want.size()) << c.text;
        EXPECT_EQ(got, c.want) << c.text;
        EXPECT_EQ(Str(out[0]), "kept");
    }
}

TEST(StringView, SplitEachCallsBackPerTokenBorrowingTheSource)
{
    const char text[] = "one two  three";
    StringView v(text);
    std::vector<const char*> starts;
    const size_t n = v.SplitEach([&](const StringView& t) { starts.push_back(t.Data()); }, " ", nullptr, true);
    ASSERT_EQ(n, 3u);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0], text);
    EXPECT_EQ(starts[1], text + 4);
    EXPECT_EQ(starts[2], text + 9);
}

// ---------------------------------------------------------------------------
// Building new text

TEST(StringView, CaseConversion)
{
    StringView lower("already lower 1");
    EXPECT_EQ(lower.ToLower().Data(), lower.Data());  // nothing to change: itself
    StringView mixed("MiXed");
    const StringView l = mixed.ToLower();
    const StringView u = mixed.ToUpper();
    EXPECT_EQ(Str(l), "mixed");
    EXPECT_EQ(Str(u), "MIXED");
    EXPECT_EQ(Str(mixed), "MiXed");
    EXPECT_NE(l.Data(), mixed.Data());
    // Bytes above 0x7F are not letters here and stay as they are.
    const StringView high = StringView("\xC4\xE4Q").ToLower();
    EXPECT_EQ(Str(high), "\xC4\xE4q");
}

struct ReplaceCase {
    const char* text;
    const char* from;
    const char* to;
    size_t max_count;
    const char* want;
};

const ReplaceCase kReplaceCases[] = {
    {"a-b-c", "-", "+", npos, "a+b+c"},
    {"a-b-c", "-", "", npos, "abc"},
    {"a-b-c", "-", "--", npos, "a--b--c"},
    {"a-b-c", "-", "+", 1, "a+b-c"},
    {"a-b-c-d", "-", "+", 2, "a+b+c-d"},
    // A count of 0 still makes the one replacement before it is checked.
    {"a-b-c", "-", "+", 0, "a+b-c"},
    {"aaaa", "aa", "b", npos, "bb"},
    {"abc", "abc", "", npos, ""},
    {"abc", "x", "y", npos, "abc"},
    {"abc", "b", "b", npos, "abc"},
    // An empty pattern matches nothing.
    {"abc", "", "x", npos, "abc"},
    {"", "", "x", npos, ""},
};

TEST(StringView, ReplaceOccurrences)
{
    for (const auto& c : kReplaceCases) {
        StringView v(c.text);
        const StringView r = v.Replace(c.from, c.to, c.max_count);
        EXPECT_EQ(Str(r), c.want) << c.text << " " << c.from << "->" << c.to;
    }
    // Without a change the result is the source itself.
    StringView v("abc");
    EXPECT_EQ(v.Replace("x", "y").Data(), v.Data());
    EXPECT_EQ(v.Replace("b", "b").Data(), v.Data());
    // The source's own text may serve as the replacement.
    EXPECT_EQ(Str(v.Replace(v.Sub(1, 1), v)), "aabcc");
}

struct EscapeCase {
    std::string raw;
    bool quotes;
    std::string escaped;
};

TEST(StringView, EscapeAndUnescapeRoundTrip)
{
    const EscapeCase cases[] = {
        {"plain text", false, "plain text"},
        {"", false, ""},
        {"a\\b", false, "a\\\\b"},
        {"say \"hi\" 'x'", false, "say \"hi\" 'x'"},
        {"say \"hi\" 'x'", true, "say \\\"hi\\\" \\'x\\'"},
        {"\a\b\n\v\t\r\f", false, "\\a\\b\\n\\v\\t\\r\\f"},
        {std::string("nul\0end", 7), false, "nul\\0end"},
        {"\x80", false, "\\x80"},
        {"\x01\x7F\xFF", false, "\\x01\\x7F\\xFF"},
        // A NUL before a digit is spelled with two digits, so it reads back.
        {std::string("\0" "12", 3), false, "\\00012"},
        {std::string("\0" "9", 2), false, "\\09"},
    };
    for (const auto& c : cases) {
        StringView raw(c.raw);
        const StringView esc = raw.Escape(c.quotes);
        EXPECT_EQ(Str(esc), c.escaped) << c.escaped;
        EXPECT_EQ(Str(esc.Unescape()), c.raw) << c.escaped;
    }
    StringView plain("nothing to do");
    EXPECT_EQ(plain.Escape(true).Data(), plain.Data());
    EXPECT_EQ(plain.Unescape().Data(), plain.Data());
}

TEST(StringView, UnescapeReadsEscapes)
{
    struct Case {
        std::string text;
        std::string want;
    };
    const Case cases[] = {
        {"\\x41", "A"},
        {"\\x4a\\x4A", "JJ"},
        {"\\x414", "A4"},  // two hex digits at most
        {"\\xg", std::string("\0g", 2)},
        {"\\0101", "\b1"},  // two octal digits at most
        {"\\08", std::string("\0" "8", 2)},
        {"\\q", "q"},
        {"\\\"\\'\\\\", "\"'\\"},
        {"\\a\\b\\f\\n\\r\\t\\v", "\a\b\f\n\r\t\v"},
        {"ab\\", "ab"},  // a backslash at the end is dropped
        {"\\", "\\"},    // ... unless nothing else was produced
    };
    for (const auto& c : cases)
        EXPECT_EQ(Str(StringView(c.text).Unescape()), c.want) << c.text;
}

// ---------------------------------------------------------------------------
// Wildcards

TEST(WildCard, MatchTable)
{
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        {"*", "", true},
        {"*", "abc", true},
        {"**", "abc", true},
        {"", "", false},
        {"", "abc", false},
        {"a*c", "abc", true},
        {"a*c", "ac", true},
        {"a*c", "abcd", false},
        {"a*c", "a", false},
        {"a?c", "abc", true},
        {"a?c", "axc", true},
        {"a?c", "ac", false},
        {"*b*", "abc", true},
        {"*b*", "acd", false},
        {"ab", "ab", true},
        {"ab", "abc", false},
        {"ab", "xab", false},
        {"AB", "ab", false},
        {"a*", "abc", true},
        {"a*", "ba", false},
        {"*c", "abc", true},
        {"*c", "abd", false},
        {"ab*b", "ab", false},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXcYb", false},
        {"/svc/*/state", "/svc/gui/state", true},
        {"/svc/*/state", "/svc/gui/stat", false},
        {"*.?", "file.c", true},
    };
    for (const auto& c : cases) {
        StringView::WildCard w(c.pattern);
        EXPECT_EQ(w.Match(c.text), c.match) << "'" << c.pattern << "' on '" << c.text << "'";
    }
}

TEST(WildCard, PatternsAreCopiedAndCanBeReset)
{
    StringView::WildCard fresh;
    EXPECT_FALSE(fresh.Match(""));

    StringView::WildCard* original = new StringView::WildCard(std::string("a*z"));
    StringView::WildCard copy(*original);
    StringView::WildCard assigned;
    assigned = *original;
    delete original;
    // The copies split their own stored pattern.
    EXPECT_TRUE(copy.Match("abcz"));
    EXPECT_TRUE(assigned.Match("az"));

    copy.SetPattern("x?");
    EXPECT_TRUE(copy.Match("xy"));
    EXPECT_FALSE(copy.Match("abcz"));
    copy.SetPattern("");
    EXPECT_FALSE(copy.Match("xy"));

    const StringView::IMatch& m = assigned;
    EXPECT_FALSE(m.Match("za"));
}

// ---------------------------------------------------------------------------
// ByteArray

TEST(ByteArray, DefaultGrowsExactlyWithAFloorOfEight)
{
    ByteArray a;
    EXPECT_EQ(a.size(), 0u);
    EXPECT_STREQ(a.data(), "");
    EXPECT_EQ(a.capacity(), 0u);
    a.Append("abc", 3);
    EXPECT_EQ(a.capacity(), 8u);
    const char* first = a.data();
    a.Append(5, 'x');
    EXPECT_EQ(Str(a), "abcxxxxx");
    EXPECT_EQ(a.capacity(), 8u);
    EXPECT_EQ(a.data(), first);  // still in place
    a.Append("y", 1);
    EXPECT_EQ(a.capacity(), 9u);  // no growth factor
    EXPECT_EQ(Str(a), "abcxxxxxy");

    ByteArray b("0123456789", 10);
    EXPECT_EQ(b.capacity(), 10u);
    EXPECT_EQ(b.data()[10], '\0');
    EXPECT_EQ(ByteArray(3, 'q').capacity(), 8u);
    EXPECT_EQ(Str(ByteArray(3, 'q')), "qqq");
}

TEST(ByteArray, AppendingItsOwnBytes)
{
    ByteArray a("abcdefgh", 8);  // full: the append must grow
    a.Append(a.data(), a.size());
    EXPECT_EQ(Str(a), "abcdefghabcdefgh");
    a.Append(a.View());
    EXPECT_EQ(Str(a), "abcdefghabcdefghabcdefghabcdefgh");
    a.Append(a.SubStr(0, 3));
    EXPECT_EQ(a.size(), 35u);
    EXPECT_EQ(Str(a).substr(32), "abc");
}

// Each change made to a copy must leave the original alone.
TEST(ByteArray, CopyOnWriteIsolation)
{
    struct Op {
        const char* name;
        void (*apply)(ByteArray&);
        const char* want;
    };
    const Op ops[] = {
        {"append", [](ByteArray& a) { a.Append("!", 1); }, "hello world!"},
        {"append chars", [](ByteArray& a) { a.Append(2, '.'); }, "hello world.."},
        {"assign", [](ByteArray& a) { a.Assign("bye", 3); }, "bye"},
        {"assign chars", [](ByteArray& a) { a.Assign(2, 'z'); }, "zz"},
        {"replace range", [](ByteArray& a) { a.Replace(0, 5, "HELLO", 5); }, "HELLO world"},
        {"replace chars", [](ByteArray& a) { a.Replace(5, 1, 3, '_'); }, "hello___world"},
        {"replace text", [](ByteArray& a) { a.Replace("o", "0"); }, "hell0 w0rld"},
        {"erase", [](ByteArray& a) { a.Erase(5); }, "hello"},
        {"writable", [](ByteArray& a) { a.WritableData()[0] = 'J'; }, "Jello world"},
        {"resize", [](ByteArray& a) { a.Resize(12); a.WritableData()[11] = '?'; }, "hello world?"},
    };
    for (const auto& op : ops) {
        ByteArray original("hello world", 11);
        ByteArray copy(original);
        StringView view(original);
        EXPECT_EQ(copy.data(), original.data()) << op.name;  // copies share
        op.apply(copy);
        EXPECT_EQ(Str(copy), op.want) << op.name;
        EXPECT_EQ(Str(original), "hello world") << op.name;
        EXPECT_EQ(Str(view), "hello world") << op.name;

        // The sole holder changes in place once the others have gone.
        ByteArray alone("hello world", 11);
        const char* before = alone.data();
        alone.Erase(10);
        EXPECT_EQ(alone.data(), before) << op.name;
    }
}

TEST(ByteArray, BorrowedBytesAreNeverWritten)
{
    char caller[] = "caller";
    ByteArray a(caller, 6, kivo::ExternBuff());
    EXPECT_EQ(a.data(), caller);
    EXPECT_EQ(a.capacity(), 0u);
    char* w = a.WritableData();
    EXPECT_NE(w, caller);
    w[0] = 'C';
    EXPECT_STREQ(caller, "caller");
    EXPECT_EQ(Str(a), "Caller");

    ByteArray b(caller, 6, kivo::ExternBuff());
    b.Replace(0, 1, 1, 'K');
    EXPECT_STREQ(caller, "caller");
    EXPECT_EQ(Str(b), "Kaller");

    ByteArray c;
    c.Assign(caller, 3, kivo::ExternBuff());
    c.Erase(0, 1);
    EXPECT_STREQ(caller, "caller");
    EXPECT_EQ(Str(c), "al");

    // The shared empty string of a default array stays empty too.
    ByteArray d;
    d.WritableData()[0] = 'x';
    EXPECT_STREQ(ByteArray().data(), "");
    // Resizing to nothing writes nothing and keeps borrowing.
    ByteArray e(caller, 6, kivo::ExternBuff());
    e.Erase(0);
    EXPECT_EQ(e.size(), 0u);
    EXPECT_STREQ(caller, "caller");
}

TEST(ByteArray, MakeUniqueCopiesOnlyWhenShared)
{
    ByteArray a("abc", 3);
    const char* own = a.data();
    EXPECT_TRUE(a.MakeUnique());
    EXPECT_EQ(a.data(), own);
    {
        ByteArray b(a);
        EXPECT_TRUE(a.MakeUnique());
        EXPECT_NE(a.data(), own);
        EXPECT_EQ(b.data(), own);
    }
    const char* second = a.data();
    EXPECT_TRUE(a.MakeUnique());
    EXPECT_EQ(a.data(), second);
}

TEST(ByteArray, ReplaceFromItsOwnMovingTail)
{
    // Shrinking in place: the tail moves left over the source bytes.
    ByteArray a("0123456789", 10);
    const char* before = a.data();
    a.Replace(2, 5, a.data() + 4, 3);
    EXPECT_EQ(a.data(), before);
    EXPECT_EQ(Str(a), "01456789");

    // Growing in place: the tail moves right over the source bytes.
    ByteArray b("0123456789", 10);
    b.Resize(20);
    b.Resize(10);
    before = b.data();
    b.Replace(1, 1, b.data() + 2, 4);
    EXPECT_EQ(b.data(), before);
    EXPECT_EQ(Str(b), "02345" "23456789");

    // Growing into a new buffer reads from the old one.
    ByteArray c("abcd", 4);
    c.Resize(8);
    c.Resize(4);
    c.Replace(0, 1, c.data(), 4);
    c.Replace(0, 0, c.data(), c.size());
    EXPECT_EQ(Str(c), "abcdbcdabcdbcd");

    // Patterns that point into the array itself.
    ByteArray d("x-y-z", 5);
    d.Replace(d.SubStr(1, 1), d.SubStr(0, 3));
    EXPECT_EQ(Str(d), "xx-yyx-yz");
}

TEST(ByteArray, ReplaceOccurrences)
{
    for (const auto& c : kReplaceCases) {
        ByteArray a(c.text, strlen(c.text));
        a.Replace(c.from, c.to, c.max_count);
        EXPECT_EQ(Str(a), c.want) << c.text << " " << c.from << "->" << c.to;
    }
    // The search goes on after the inserted text: no endless growth.
    ByteArray a("aXa", 3);
    a.Replace("a", "aa");
    EXPECT_EQ(Str(a), "aaXaa");
}

TEST(ByteArray, EditingOperations)
{
    ByteArray a("hello", 5);
    a.Erase(1, 2);
    EXPECT_EQ(Str(a), "hlo");
    a.Erase(1, 100);
    EXPECT_EQ(Str(a), "h");
    a.Replace(0, 9, "jump", 4);
    EXPECT_EQ(Str(a), "jump");
    a.Replace(1, 2, 0, 'x');
    EXPECT_EQ(Str(a), "jp");
    a.Resize(1);
    EXPECT_EQ(Str(a), "j");

    ByteArray b("abcdef", 6);
    b.Assign(b.data() + 2, 3);  // from inside itself
    EXPECT_EQ(Str(b), "cde");
    ByteArray shared(b);
    b.Assign(b.data() + 1, 2);
    EXPECT_EQ(Str(b), "de");
    EXPECT_EQ(Str(shared), "cde");

    EXPECT_EQ(Str(ByteArray("abcdef", 6).SubStr(2)), "cdef");
    EXPECT_EQ(Str(ByteArray("abcdef", 6).SubStr(4, 1)), "e");

    ByteArray c;
    c = b;
    EXPECT_EQ(c.data(), b.data());
    c = c;
    EXPECT_EQ(Str(c), "de");
}

TEST(ByteArray, FromAView)
{
    ByteArray a("shared", 6);
    StringView v(a);
    ByteArray b(v);
    EXPECT_EQ(b.data(), a.data());
    EXPECT_EQ(b.capacity(), 6u);

    const char lit[] = "borrowed";
    ByteArray c{StringView(lit)};
    EXPECT_NE(c.data(), lit);
    EXPECT_EQ(Str(c), "borrowed");

    // An empty view that holds a reference: the new array owns a fresh buffer
    // (sharing would leave a reference that capacity 0 never releases).
    ByteArray empty(0, 'x');
    StringView ev(empty);
    ByteArray d(ev);
    EXPECT_EQ(d.size(), 0u);
    EXPECT_GT(d.capacity(), 0u);
    EXPECT_NE(d.data(), empty.data());
}

TEST(ByteArrayDeathTest, BrokenContractsAbort)
{
    ByteArray a("abc", 3);
    EXPECT_DEATH(a.SubStr(3), "pos < _num");
    EXPECT_DEATH(a.Replace(3, 1, 1, 'x'), "p0 < _num");
    EXPECT_DEATH(a.Replace(5, 1, "x", 1), "p0 < _num");
    EXPECT_DEATH(a.Erase(3), "p0 < _num");
    EXPECT_DEATH(ByteArray(nullptr, 1), "s != 0");
    EXPECT_DEATH(ByteArray(nullptr, 1, kivo::ExternBuff()), "s != 0");
}

}  // namespace

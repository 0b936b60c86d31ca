#include "kivo/common/str_utils.h"

#include <gtest/gtest.h>

#include <ctype.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Characters

struct DecodeCase {
    std::string bytes;
    int32_t encoding;
    int32_t result;
    uint32_t wc;  // checked when result > 0
};

TEST(StrChars, DecodeTable)
{
    const DecodeCase cases[] = {
        {"a", kivo::kEncodingUtf8, 1, 0x61},
        {"\xC3\xA9", kivo::kEncodingUtf8, 2, 0xE9},
        {"\xE2\x82\xAC", kivo::kEncodingUtf8, 3, 0x20AC},
        {"\xE4\xB8\xADx", kivo::kEncodingUtf8, 3, 0x4E2D},
        {"\xE2\x82", kivo::kEncodingUtf8, -2, 0},
        {"\xC0\x80", kivo::kEncodingUtf8, -1, 0},
        {"\xFF", kivo::kEncodingUtf8, -1, 0},
        {"\xD6\xD0", 7, -1, 0},  // any encoding but 1 is UTF-8
        {"\xD6\xD0", kivo::kEncodingGbk, 2, 0x4E2D},
        {"\xA1\xA4", kivo::kEncodingGbk, 2, 0xB7},
        {"\x80", kivo::kEncodingGbk, 1, 0x20AC},
        {"\xAA\xA1", kivo::kEncodingGbk, 2, 0xE000},
        {"\xD6", kivo::kEncodingGbk, -2, 0},
        {"\xFF\xA1", kivo::kEncodingGbk, -1, 0},
        {"", kivo::kEncodingGbk, -2, 0},
        {"", kivo::kEncodingUtf8, -2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes) + " encoding " + std::to_string(c.encoding));
        uint32_t wc = 0xDEAD;
        EXPECT_EQ(kivo::DecodeChar(&wc, c.bytes.data(), static_cast<int32_t>(c.bytes.size()), c.encoding), c.result);
        EXPECT_EQ(wc, c.result > 0 ? c.wc : 0xDEADu);
    }
}

struct EncodeCase {
    uint32_t wc;
    int32_t encoding;
    int32_t room;
    int32_t result;
    std::string bytes;  // checked when result > 0
};

TEST(StrChars, EncodeTable)
{
    const EncodeCase cases[] = {
        {0x4E2D, kivo::kEncodingGbk, 4, 2, "\xD6\xD0"},
        {0x4E2D, kivo::kEncodingUtf8, 4, 3, "\xE4\xB8\xAD"},
        {0xB7, kivo::kEncodingGbk, 4, 2, "\xA1\xA4"},
        {0x20AC, kivo::kEncodingGbk, 4, 1, "\x80"},
        {0x41, kivo::kEncodingGbk, 1, 1, "A"},
        {0x0E01, kivo::kEncodingGbk, 4, -1, ""},  // Thai: not in GBK
        {0x4E2D, kivo::kEncodingGbk, 1, -2, ""},
        {0x10000, kivo::kEncodingUtf8, 3, -2, ""},
        {0x80000000u, kivo::kEncodingUtf8, 8, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.wc) + " encoding " + std::to_string(c.encoding));
        char out[8];
        memset(out, '#', sizeof out);
        const int32_t r = kivo::EncodeChar(out, c.room, c.wc, c.encoding);
        EXPECT_EQ(r, c.result);
        if (r > 0)
            EXPECT_EQ(std::string(out, static_cast<size_t>(r)), c.bytes);
        else
            EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));  // nothing written
    }
}

// Walks the whole text; records every result, stopping at 0 or at the
// second identical non-positive result (the iterator does not move past one).
std::vector<std::pair<int32_t, uint32_t>> Walk(const std::string& s, int32_t encoding)
{
    std::vector<std::pair<int32_t, uint32_t>> steps;
    kivo::CharIter it(s, encoding);
    for (int i = 0; i < 20; ++i) {
        uint32_t wc = 0;
        const int32_t r = it.Next(&wc);
        steps.push_back({r, r > 0 ? wc : 0});
        if (r == 0 || (r < 0 && steps.size() >= 2 && steps[steps.size() - 2].first == r))
            break;
    }
    return steps;
}

TEST(StrChars, CharIterTable)
{
    typedef std::vector<std::pair<int32_t, uint32_t>> Steps;
    const struct {
        std::string text;
        int32_t encoding;
        Steps steps;
    } cases[] = {
        {"a\xC3\xA9", kivo::kEncodingUtf8, {{1, 0x61}, {2, 0xE9}, {0, 0}}},
        {"a\xD6\xD0", kivo::kEncodingGbk, {{1, 0x61}, {2, 0x4E2D}, {0, 0}}},
        {"", kivo::kEncodingUtf8, {{0, 0}}},
        // Invalid bytes are reported again and again: the iterator stays.
        {"a\xFF", kivo::kEncodingUtf8, {{1, 0x61}, {-1, 0}, {-1, 0}}},
        {"a\xE4\xB8", kivo::kEncodingUtf8, {{1, 0x61}, {-2, 0}, {-2, 0}}},
        {"\xD6", kivo::kEncodingGbk, {{-2, 0}, {-2, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(Walk(c.text, c.encoding), c.steps);
    }
}

TEST(StrChars, EncodeThenIterateRoundTrips)
{
    const uint32_t chars[] = {0x41, 0xB7, 0x4E2D, 0x6587, 0x20AC, 0xE000, 0xFF01};
    for (int32_t enc : {kivo::kEncodingUtf8, kivo::kEncodingGbk}) {
        SCOPED_TRACE(enc);
        std::string text;
        for (uint32_t wc : chars) {
            char buf[8];
            const int32_t n = kivo::EncodeChar(buf, sizeof buf, wc, enc);
            ASSERT_GT(n, 0) << wc;
            text.append(buf, static_cast<size_t>(n));
        }
        kivo::CharIter it(text, enc);
        for (uint32_t wc : chars) {
            uint32_t got = 0;
            EXPECT_GT(it.Next(&got), 0);
            EXPECT_EQ(got, wc);
        }
        uint32_t got = 0;
        EXPECT_EQ(it.Next(&got), 0);
    }
}

// ---------------------------------------------------------------------------
// Numbers and tests

TEST(StrUtils, ParseNumbers)
{
    const struct {
        const char* text;
        unsigned long value;
    } cases[] = {
        {"0x1f", 31}, {"17", 17}, {"0X", 0}, {"0XFF", 255}, {"", 0}, {"12abc", 12}, {"010", 10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kivo::ParseUInt(c.text), c.value) << c.text;
    EXPECT_FLOAT_EQ(kivo::StrToFloat("1.5"), 1.5f);
    EXPECT_DOUBLE_EQ(kivo::StrToDoubleC("2.25x"), 2.25);
    EXPECT_DOUBLE_EQ(kivo::StrToDoubleC("x"), 0.0);
}

TEST(StrUtils, PrefixSuffixContainsTable)
{
    const struct {
        const char* s;
        const char* part;
        bool starts;
        bool ends;
        bool contains;
    } cases[] = {
        {"abc", "", true, true, true},
        {"abc", "ab", true, false, true},
        {"abc", "bc", false, true, true},
        {"abc", "abc", true, true, true},
        {"ab", "abc", false, false, false},
        {"abcab", "ab", true, true, true},
        {"abc", "b", false, false, true},
        {"", "", true, true, true},
        {"", "a", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.s) + " / " + c.part);
        EXPECT_EQ(kivo::StartsWith(c.s, c.part), c.starts);
        EXPECT_EQ(kivo::EndsWith(c.s, c.part), c.ends);
        EXPECT_EQ(kivo::StrContains(c.s, c.part), c.contains);
    }
}

TEST(StrUtils, Compare)
{
    EXPECT_EQ(kivo::StrCompare("a", "b"), -1);
    EXPECT_EQ(kivo::StrCompare("b", "a"), 1);
    EXPECT_EQ(kivo::StrCompare("abc", "abc"), 0);
    EXPECT_EQ(kivo::StrCompare("ABC", "abc"), -1);
    EXPECT_EQ(kivo::StrCompareNoCase("ABC", "abc"), 0);
    EXPECT_EQ(kivo::StrCompareNoCase("abc", "ABD"), -1);
    EXPECT_EQ(kivo::StrCompareNoCase("abcd", "ABC"), 1);
}

// ---------------------------------------------------------------------------
// In-place edits

TEST(StrUtils, ReplaceAllTable)
{
    const struct {
        const char* s;
        const char* from;
        const char* to;
        const char* out;
    } cases[] = {
        {"aaa", "a", "aa", "aaaaaa"},  // inserted text is not searched again
        {"a.b.c", ".", "/", "a/b/c"},
        {"abcabc", "abc", "", ""},
        {"xyz", "q", "r", "xyz"},
        {"aXbXX", "XX", "-", "aXb-"},
        {"aa", "", "x", "aa"},  // an empty pattern changes nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s);
        std::string s = c.s;
        std::string& r = kivo::StrReplaceAll(s, c.from, c.to);
        EXPECT_EQ(&r, &s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(StrUtils, CaseConversionKeepsHighBytes)
{
    std::string s = "AbC9\xC4z";
    EXPECT_EQ(kivo::StrToLower(s), "abc9\xC4z");
    EXPECT_EQ(kivo::StrToUpper(s), "ABC9\xC4Z");
}

TEST(StrUtils, TrimTable)
{
    const struct {
        const char* in;
        const char* left;
        const char* right;
        const char* both;
        const char* both_isspace;
    } cases[] = {
        {"\t x \t", "\t x \t", "\t x \t", "\t x \t", "x"},
        {"  a b  ", "a b  ", "  a b", "a b", "a b"},
        {"   ", "", "", "", ""},
        {"", "", "", "", ""},
        {" \r\n", "\r\n", " \r\n", "\r\n", ""},
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.in)));
        std::string s = c.in;
        EXPECT_EQ(kivo::StrTrimLeft(s), c.left);
        s = c.in;
        EXPECT_EQ(kivo::StrTrimRight(s), c.right);
        s = c.in;
        EXPECT_EQ(kivo::StrTrim(s), c.both);
        s = c.in;
        EXPECT_EQ(kivo::StrTrim(s, isspace), c.both_isspace);
    }
    std::string s = "\n x\t";
    EXPECT_EQ(kivo::StrTrimLeft(s, isspace), "x\t");
    s = "\n x\t";
    EXPECT_EQ(kivo::StrTrimRight(s, isspace), "\n x");
}

// ---------------------------------------------------------------------------
// Pieces and tokens

TEST(StrUtils, LeftRightMid)
{
    EXPECT_EQ(kivo::StrLeft("abc", 2), "ab");
    EXPECT_EQ(kivo::StrLeft("abc", 5), "abc");
    EXPECT_EQ(kivo::StrLeft("abc", 0), "");
    EXPECT_EQ(kivo::StrRight("abc", 0), "abc");
    EXPECT_EQ(kivo::StrRight("abc", 2), "bc");
    EXPECT_EQ(kivo::StrRight("abc", 5), "abc");
    EXPECT_EQ(kivo::StrMid("abc", 1, 1), "b");
    EXPECT_EQ(kivo::StrMid("abc", 1, 10), "bc");
    EXPECT_EQ(kivo::StrMid("abc", 3, 1), "");
    EXPECT_EQ(kivo::StrMid("abc", -1, 2), "");
}

void Collect(void* context, const std::string& token)
{
    static_cast<Strings*>(context)->push_back(token);
}

TEST(StrUtils, TokeniseTable)
{
    const struct {
        const char* s;
        const char* skip;
        const char* single;
        Strings tokens;
    } cases[] = {
        {"a=b c", " ", "=", {"a", "=", "b", "c"}},
        {"  a  bb ", " ", "", {"a", "bb"}},
        {"x==y", " ", "=", {"x", "=", "=", "y"}},
        {"k: v;w", " ;", ":", {"k", ":", "v", "w"}},
        {"", " ", "=", {}},
        {"abc", "", "", {"abc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s);
        Strings got;
        EXPECT_TRUE(kivo::StrTokenise(c.s, Collect, &got, c.skip, c.single));
        EXPECT_EQ(got, c.tokens);
    }
    Strings got;
    EXPECT_TRUE(kivo::StrTokenise(" p q ", Collect, &got));  // default sets
    EXPECT_EQ(got, (Strings{"p", "q"}));
    EXPECT_FALSE(kivo::StrTokenise("a b", 0, &got));
}

TEST(StrUtils, NextTokenSteps)
{
    const std::string s = "a,,b,,";
    std::string tok = "old";
    int32_t pos = 0;
    kivo::NextToken(tok, s, ",", pos);
    EXPECT_EQ(tok, "a");
    EXPECT_EQ(pos, 2);
    kivo::NextToken(tok, s, ",", pos);
    EXPECT_EQ(tok, "b");
    EXPECT_EQ(pos, 5);
    kivo::NextToken(tok, s, ",", pos);  // only delimiters left: one empty token
    EXPECT_EQ(tok, "");
    EXPECT_EQ(pos, 6);
    tok = "old";
    kivo::NextToken(tok, s, ",", pos);
    EXPECT_EQ(tok, "");
    EXPECT_EQ(pos, -1);

    pos = -3;
    tok = "old";
    kivo::NextToken(tok, s, ",", pos);
    EXPECT_EQ(tok, "");
    EXPECT_EQ(pos, -1);
}

TEST(StrUtils, SplitTable)
{
    const struct {
        const char* s;
        const char* delims;
        Strings parts;
    } cases[] = {
        {",a,,b,", ",", {"a", "b"}},
        {"a b\tc", " \t", {"a", "b", "c"}},
        {"1.0.16.1207", ".", {"1", "0", "16", "1207"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"abc", "", {"abc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s);
        Strings out = {"stale"};
        EXPECT_EQ(kivo::StrSplit(c.s, c.delims, out), c.parts.size());
        EXPECT_EQ(out, c.parts);
    }
}

TEST(StrUtils, SplitPathTable)
{
    const struct {
        const char* path;
        const char* drive;
        const char* dir;
        const char* name;
        const char* ext;
    } cases[] = {
        {"C:\\a\\b.tar.gz", "C:", "\\a\\", "b.tar", ".gz"},
        {"file", "", "", "file", ""},
        {"/x.y/z", "", "/x.y/", "z", ""},
        {"/opt/app_disk/run.sh", "", "/opt/app_disk/", "run", ".sh"},
        {".bashrc", "", "", "", ".bashrc"},
        {"dir/", "", "dir/", "", ""},
        {"C:file.txt", "C:", "", "file", ".txt"},
        {"a.b:c", "a.b:", "", "c", ""},  // a '.' inside the drive is no extension
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string drive = "x", dir = "x", name = "x", ext = "x";
        kivo::SplitPath(c.path, drive, dir, name, ext);
        EXPECT_EQ(drive, c.drive);
        EXPECT_EQ(dir, c.dir);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(ext, c.ext);
    }
}

TEST(StrUtils, SplitWordsTable)
{
    const struct {
        const char* s;
        Strings words;
    } cases[] = {
        {"a, \"b c\",d", {"a", "b c", "d"}},
        {"  x\t,y ", {"x", "y"}},
        {"\"open", {"open"}},
        {"\"\"", {""}},
        {"a\"b c\"", {"a\"b", "c\""}},
        {"\"a,b\"\"c\"", {"a,b", "c"}},
        {"", {}},
        {" , ,", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s);
        Strings out = {"stale"};
        EXPECT_EQ(kivo::SplitWords(c.s, out), c.words.size());
        EXPECT_EQ(out, c.words);
    }
}

}  // namespace

#include "kivo/base/iconvex/iconvex.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const unsigned char kSentinel = 0xEE;

std::string Hex(const unsigned char* p, size_t n)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 0xF];
    }
    return s;
}

std::string Hex(const std::string& s)
{
    return Hex(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// ---- single characters ------------------------------------------------------

struct DecodeCase {
    std::string bytes;
    int n;  // bytes available; -1: all of `bytes`
    int result;
    uint32_t wc;
};

void CheckDecoder(const char* name, const std::vector<DecodeCase>& cases,
                  int (*mbtowc)(wchar_t*, const unsigned char*, int),
                  int (*mbtou32)(uint32_t*, const unsigned char*, int))
{
    for (const auto& c : cases) {
        const auto* s = reinterpret_cast<const unsigned char*>(c.bytes.data());
        const int n = c.n < 0 ? (int)c.bytes.size() : c.n;
        SCOPED_TRACE(std::string(name) + " " + Hex(c.bytes) + " n=" + std::to_string(n));

        wchar_t w = (wchar_t)0x5A5A;
        EXPECT_EQ(mbtowc(&w, s, n), c.result);
        uint32_t u = 0x5A5A;
        EXPECT_EQ(mbtou32(&u, s, n), c.result);
        if (c.result > 0) {
            EXPECT_EQ((uint32_t)w, c.wc);
            EXPECT_EQ(u, c.wc);
            EXPECT_EQ(mbtou32(nullptr, s, n), c.result);
        } else {
            EXPECT_EQ((uint32_t)w, 0x5A5Au) << "output changed on failure";
        }
    }
}

struct EncodeCase {
    uint32_t wc;
    int room;
    int result;
    std::string bytes;
};

void CheckEncoder(const char* name, const std::vector<EncodeCase>& cases,
                  int (*wctomb)(unsigned char*, wchar_t, int),
                  int (*u32tomb)(unsigned char*, uint32_t, int))
{
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(name) + " wc=" + std::to_string(c.wc) + " room=" + std::to_string(c.room));
        for (int entry = 0; entry < 2; entry++) {
            unsigned char buf[8];
            std::fill(buf, buf + sizeof(buf), kSentinel);
            const int k = entry == 0 ? wctomb(buf, (wchar_t)c.wc, c.room) : u32tomb(buf, c.wc, c.room);
            EXPECT_EQ(k, c.result) << "entry " << entry;
            const size_t written = k > 0 ? (size_t)k : 0;
            EXPECT_EQ(Hex(buf, written), Hex(c.bytes)) << "entry " << entry;
            for (size_t i = written; i < sizeof(buf); i++)
                EXPECT_EQ(buf[i], kSentinel) << "entry " << entry << " wrote byte " << i;
        }
    }
}

TEST(IconvexUtf8, DecodesOneCharacter)
{
    const std::vector<DecodeCase> cases = {
        {"A", -1, 1, 0x41},
        {std::string(1, '\0'), -1, 1, 0},
        {"\x7F", -1, 1, 0x7F},
        {"\xC2\x80", -1, 2, 0x80},
        {"\xC3\xA9xyz", -1, 2, 0xE9},
        {"\xDF\xBF", -1, 2, 0x7FF},
        {"\xE0\xA0\x80", -1, 3, 0x800},
        {"\xE2\x82\xAC", -1, 3, 0x20AC},
        {"\xED\xA0\x80", -1, 3, 0xD800},  // surrogates are accepted
        {"\xEF\xBF\xBF", -1, 3, 0xFFFF},
        {"\xF0\x90\x80\x80", -1, 4, 0x10000},
        {"\xF0\x9F\x98\x80", -1, 4, 0x1F600},
        {"\xF4\x90\x80\x80", -1, 4, 0x110000},  // so are values above U+10FFFF
        {"\xF7\xBF\xBF\xBF", -1, 4, 0x1FFFFF},
        {"\xF8\x88\x80\x80\x80", -1, 5, 0x200000},
        {"\xFB\xBF\xBF\xBF\xBF", -1, 5, 0x3FFFFFF},
        {"\xFC\x84\x80\x80\x80\x80", -1, 6, 0x4000000},
        {"\xFD\xBF\xBF\xBF\xBF\xBF", -1, 6, 0x7FFFFFFF},
        // Bytes that cannot begin a character.
        {"\x80", -1, -1, 0},
        {"\xBF", -1, -1, 0},
        {"\xFE\x80\x80\x80\x80\x80", -1, -1, 0},
        {"\xFF", -1, -1, 0},
        // Overlong forms.
        {"\xC0\x80", -1, -1, 0},
        {"\xC1\xBF", -1, -1, 0},
        {"\xE0\x9F\xBF", -1, -1, 0},
        {"\xF0\x8F\xBF\xBF", -1, -1, 0},
        {"\xF8\x87\xBF\xBF\xBF", -1, -1, 0},
        {"\xFC\x83\xBF\xBF\xBF\xBF", -1, -1, 0},
        // Bad following bytes.
        {"\xC3\x28", -1, -1, 0},
        {"\xC3\xC0", -1, -1, 0},
        {"\xE2\x28\xAC", -1, -1, 0},
        {"\xE2\x82\x28", -1, -1, 0},
        {"\xF0\x9F\x98\x7F", -1, -1, 0},
        // Input ending inside a character: -2, before the following bytes
        // are looked at.
        {"\xE2\x82", -1, -2, 0},
        {"\xE2\x28", -1, -2, 0},
        {"\xC3", -1, -2, 0},
        {"\xF0\x9F\x98\x80", 3, -2, 0},
        {"\xFD\xBF\xBF\xBF\xBF\xBF", 5, -2, 0},
        {"A", 0, -2, 0},
    };
    CheckDecoder("utf8", cases, iconvex_utf8_mbtowc, iconvex_utf8_mbtou32);
}

TEST(IconvexUtf8, EncodesOneCharacter)
{
    const std::vector<EncodeCase> cases = {
        {0x41, 1, 1, "A"},
        {0, 1, 1, std::string(1, '\0')},
        {0x80, 2, 2, "\xC2\x80"},
        {0x7FF, 2, 2, "\xDF\xBF"},
        {0x800, 3, 3, "\xE0\xA0\x80"},
        {0x20AC, 8, 3, "\xE2\x82\xAC"},
        {0xFFFF, 3, 3, "\xEF\xBF\xBF"},
        {0x10000, 4, 4, "\xF0\x90\x80\x80"},
        {0x1FFFFF, 4, 4, "\xF7\xBF\xBF\xBF"},
        {0x200000, 5, 5, "\xF8\x88\x80\x80\x80"},
        {0x3FFFFFF, 5, 5, "\xFB\xBF\xBF\xBF\xBF"},
        {0x4000000, 6, 6, "\xFC\x84\x80\x80\x80\x80"},
        {0x7FFFFFFF, 6, 6, "\xFD\xBF\xBF\xBF\xBF\xBF"},
        // Beyond the six-byte form.
        {0x80000000u, 8, -1, ""},
        {0xFFFFFFFFu, 8, -1, ""},
        // Too little room: nothing is written.
        {0x10000, 3, -2, ""},
        {0x41, 0, -2, ""},
        {0x7FFFFFFF, 5, -2, ""},
        {0x80000000u, 0, -1, ""},
    };
    CheckEncoder("utf8", cases, iconvex_utf8_wctomb, iconvex_utf8_u32tomb);
}

TEST(IconvexUtf8, EveryCodePointRoundTrips)
{
    unsigned char buf[6];
    uint32_t back = 0;
    for (uint32_t wc = 0; wc <= 0x110000; wc++) {
        const int k = iconvex_utf8_u32tomb(buf, wc, sizeof(buf));
        ASSERT_GT(k, 0) << wc;
        ASSERT_EQ(iconvex_utf8_mbtou32(&back, buf, k), k) << wc;
        ASSERT_EQ(back, wc);
        // One byte less is a character cut off at the end.
        ASSERT_EQ(iconvex_utf8_mbtou32(&back, buf, k - 1), -2) << wc;
    }
}

TEST(IconvexGbk, DecodesOneCharacter)
{
    const std::vector<DecodeCase> cases = {
        {"A", -1, 1, 0x41},
        {std::string(1, '\0'), -1, 1, 0},
        {"\x7F", -1, 1, 0x7F},
        {"\x80", -1, 1, 0x20AC},
        {"\x80\x40", -1, 1, 0x20AC},
        {"\xFF", -1, -1, 0},
        {"\xFF\xA1", -1, -1, 0},
        // GB2312 area and the two extensions.
        {"\xB0\xA1", -1, 2, 0x554A},
        {"\xC4\xE3", -1, 2, 0x4F60},
        {"\xBA\xC3", -1, 2, 0x597D},
        {"\xA1\xA1", -1, 2, 0x3000},
        {"\xF7\xFE", -1, 2, 0x9F44},
        {"\x81\x40", -1, 2, 0x4E02},
        {"\xFE\x40", -1, 2, 0xFA0C},
        {"\xA8\x44", -1, 2, 0x2015},
        {"\xA6\xE0", -1, 2, 0xFE35},
        // Code page 936's own readings.
        {"\xA1\xA4", -1, 2, 0x00B7},
        {"\xA1\xAA", -1, 2, 0x2014},
        {"\xA2\xA1", -1, 2, 0x2170},
        {"\xA2\xAA", -1, 2, 0x2179},
        // User-defined areas: the corners of each.
        {"\xAA\xA1", -1, 2, 0xE000},
        {"\xAF\xFE", -1, 2, 0xE233},
        {"\xF8\xA1", -1, 2, 0xE234},
        {"\xFE\xFE", -1, 2, 0xE4C5},
        {"\xA1\x40", -1, 2, 0xE4C6},
        {"\xA1\x7E", -1, 2, 0xE504},
        {"\xA1\x80", -1, 2, 0xE505},
        {"\xA1\xA0", -1, 2, 0xE525},
        {"\xA2\x40", -1, 2, 0xE526},
        {"\xA3\x40", -1, 2, 0xE586},  // rows A3..A7 too, as the encoder writes them
        {"\xA7\xA0", -1, 2, 0xE765},
        // Bytes that are no trail byte.
        {"\x81\x7F", -1, -1, 0},
        {"\x81\xFF", -1, -1, 0},
        {"\x81\x30", -1, -1, 0},
        {std::string("\xB0\x00", 2), -1, -1, 0},
        // Cut off.
        {"\x81", -1, -2, 0},
        {"\xA1\x40", 1, -2, 0},
        {"\xB0\xA1", 0, -2, 0},
    };
    CheckDecoder("gbk", cases, iconvex_gbk_mbtowc, iconvex_gbk_mbtou32);
}

TEST(IconvexGbk, EncodesOneCharacter)
{
    const std::vector<EncodeCase> cases = {
        {0x41, 1, 1, "A"},
        {0, 1, 1, std::string(1, '\0')},
        {0x20AC, 2, 1, "\x80"},
        {0x554A, 2, 2, "\xB0\xA1"},
        {0x4E02, 2, 2, "\x81\x40"},
        {0xFA0C, 2, 2, "\xFE\x40"},
        {0x00B7, 2, 2, "\xA1\xA4"},
        {0x2014, 2, 2, "\xA1\xAA"},
        {0x2015, 2, 2, "\xA8\x44"},  // through the extension, never A1AA
        {0x2170, 2, 2, "\xA2\xA1"},
        {0x2179, 2, 2, "\xA2\xAA"},
        {0xE000, 2, 2, "\xAA\xA1"},
        {0xE233, 2, 2, "\xAF\xFE"},
        {0xE234, 2, 2, "\xF8\xA1"},
        {0xE4C5, 2, 2, "\xFE\xFE"},
        {0xE4C6, 2, 2, "\xA1\x40"},
        {0xE504, 2, 2, "\xA1\x7E"},
        {0xE505, 2, 2, "\xA1\x80"},
        {0xE765, 2, 2, "\xA7\xA0"},
        // Not representable.
        {0x30FB, 2, -1, ""},
        {0xE766, 2, -1, ""},
        {0x80, 2, -1, ""},
        {0xD800, 2, -1, ""},
        {0xFFFD, 2, -1, ""},
        {0x10000, 2, -1, ""},
        {0x1554A, 2, -1, ""},  // a BMP mapping must not leak above it
        {0xFFFFFFFFu, 2, -1, ""},
        // Too little room: nothing is written.
        {0x554A, 1, -2, ""},
        {0xE000, 1, -2, ""},
        {0x41, 0, -2, ""},
        {0x20AC, 0, -2, ""},
        {0x30FB, 0, -1, ""},
    };
    CheckEncoder("gbk", cases, iconvex_gbk_wctomb, iconvex_gbk_u32tomb);
}

TEST(IconvexGbk, PrivateUseAreaMapsBothWays)
{
    // Every private-use character the encoder accepts comes back from its
    // code, and the user-defined codes are exactly those codes.
    std::set<unsigned> codes;
    for (uint32_t wc = 0xE000; wc <= 0xE765; wc++) {
        unsigned char buf[2];
        ASSERT_EQ(iconvex_gbk_u32tomb(buf, wc, 2), 2) << wc;
        uint32_t back = 0;
        ASSERT_EQ(iconvex_gbk_mbtou32(&back, buf, 2), 2) << wc;
        ASSERT_EQ(back, wc);
        codes.insert(buf[0] << 8 | buf[1]);
    }
    EXPECT_EQ(codes.size(), 0xE766u - 0xE000u);

    std::set<unsigned> decoded_into_pua;
    for (unsigned lead = 0x81; lead <= 0xFE; lead++) {
        for (unsigned trail = 0x40; trail <= 0xFE; trail++) {
            const unsigned char s[2] = {(unsigned char)lead, (unsigned char)trail};
            uint32_t wc = 0;
            if (iconvex_gbk_mbtou32(&wc, s, 2) == 2 && wc >= 0xE000 && wc <= 0xF8FF)
                decoded_into_pua.insert(lead << 8 | trail);
        }
    }
    EXPECT_EQ(decoded_into_pua, codes);
}

TEST(IconvexGbk, TableRoundTrips)
{
    // Decoding then encoding gives each two-byte code back, and every code the
    // encoder writes decodes to the character it came from. The count guards
    // against an empty or truncated table.
    int decoded = 0;
    for (unsigned lead = 0x81; lead <= 0xFE; lead++) {
        for (unsigned trail = 0x00; trail <= 0xFF; trail++) {
            const unsigned char s[2] = {(unsigned char)lead, (unsigned char)trail};
            uint32_t wc = 0;
            const int k = iconvex_gbk_mbtou32(&wc, s, 2);
            if (k != 2)
                continue;
            decoded++;
            unsigned char r[2] = {0, 0};
            ASSERT_EQ(iconvex_gbk_u32tomb(r, wc, 2), 2) << Hex(s, 2);
            ASSERT_EQ(Hex(r, 2), Hex(s, 2)) << "U+" << std::hex << wc;
        }
    }
    EXPECT_GE(decoded, 21000 + 1894);

    int encoded = 0;
    for (uint32_t wc = 0; wc <= 0xFFFF; wc++) {
        unsigned char r[2];
        const int k = iconvex_gbk_u32tomb(r, wc, 2);
        if (k < 0)
            continue;
        encoded++;
        uint32_t back = 0;
        ASSERT_EQ(iconvex_gbk_mbtou32(&back, r, k), k) << wc;
        ASSERT_EQ(back, wc);
    }
    EXPECT_EQ(encoded, decoded + 0x80 + 1);  // plus ASCII and the euro sign
}

TEST(IconvexDeathTest, WideDecodersAssertOutputPointer)
{
    const unsigned char s[] = {'A'};
    EXPECT_DEATH(iconvex_utf8_mbtowc(nullptr, s, 1), "pwc");
    EXPECT_DEATH(iconvex_gbk_mbtowc(nullptr, s, 1), "pwc");
}

// ---- whole texts ------------------------------------------------------------

struct BytesCase {
    const char* name;
    size_t (*convert)(const char*, size_t, char*, size_t);
    std::string src;
    size_t room;
    std::string out;
};

TEST(IconvexText, ConvertsBetweenByteEncodings)
{
    const std::string nihao_gbk = "\xC4\xE3\xBA\xC3";
    const std::string nihao_utf8 = "\xE4\xBD\xA0\xE5\xA5\xBD";
    const std::vector<BytesCase> cases = {
        {"utf8 to gbk", iconvex_utf8_to_gbk, "a" + nihao_utf8 + "\xE2\x82\xAC", 16, "a" + nihao_gbk + "\x80"},
        {"utf8 to gbk, output full", iconvex_utf8_to_gbk, nihao_utf8, 3, "\xC4\xE3"},
        {"utf8 to gbk, not in gbk", iconvex_utf8_to_gbk, "a\xF0\x9F\x98\x80" "b", 16, "a"},
        {"utf8 to gbk, bad byte", iconvex_utf8_to_gbk, "ab\xFF" "c", 16, "ab"},
        {"utf8 to gbk, cut off", iconvex_utf8_to_gbk, "a\xE4\xBD", 16, "a"},
        {"utf8 to gbk, private use", iconvex_utf8_to_gbk, "\xEE\x80\x80", 16, "\xAA\xA1"},
        {"gbk to utf8", iconvex_gbk_to_utf8, "a" + nihao_gbk + "\x80", 16, "a" + nihao_utf8 + "\xE2\x82\xAC"},
        {"gbk to utf8, output full", iconvex_gbk_to_utf8, nihao_gbk, 5, "\xE4\xBD\xA0"},
        {"gbk to utf8, cut off", iconvex_gbk_to_utf8, "a\xC4", 16, "a"},
        {"gbk to utf8, bad trail byte", iconvex_gbk_to_utf8, "a\x81\x7F" "b", 16, "a"},
        {"gbk to utf8, empty", iconvex_gbk_to_utf8, "", 16, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dst(c.room + 4, (char)kSentinel);
        const size_t k = c.convert(c.src.data(), c.src.size(), &dst[0], c.room);
        EXPECT_EQ(Hex(dst.substr(0, k)), Hex(c.out));
        EXPECT_EQ(dst.substr(k), std::string(dst.size() - k, (char)kSentinel)) << "wrote past the result";
    }
}

TEST(IconvexText, ConvertsBytesToWide)
{
    struct Case {
        const char* name;
        size_t (*convert)(const char*, size_t, wchar_t*, size_t);
        std::string src;
        size_t room;
        std::vector<uint32_t> out;
    };
    const std::vector<Case> cases = {
        {"utf8", iconvex_utf8_to_wcs, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 8, {0x61, 0xE9, 0x20AC, 0x1F600}},
        {"utf8, bad byte", iconvex_utf8_to_wcs, "ab\xFF", 8, {0x61, 0x62}},
        {"utf8, cut off", iconvex_utf8_to_wcs, "a\xE2\x82", 8, {0x61}},
        {"utf8, output full", iconvex_utf8_to_wcs, "abc", 2, {0x61, 0x62}},
        {"gbk", iconvex_gbk_to_wcs, "a\xC4\xE3\x80\xAA\xA1", 8, {0x61, 0x4F60, 0x20AC, 0xE000}},
        {"gbk, cut off", iconvex_gbk_to_wcs, "\xC4\xE3\xBA", 8, {0x4F60}},
        {"gbk, bad byte", iconvex_gbk_to_wcs, "a\xFF" "b", 8, {0x61}},
        {"gbk, output full", iconvex_gbk_to_wcs, "\xC4\xE3\xBA\xC3", 1, {0x4F60}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<wchar_t> dst(c.room + 2, (wchar_t)0x5A5A);
        const size_t k = c.convert(c.src.data(), c.src.size(), dst.data(), c.room);
        ASSERT_EQ(k, c.out.size());
        for (size_t i = 0; i < k; i++)
            EXPECT_EQ((uint32_t)dst[i], c.out[i]) << i;
        for (size_t i = k; i < dst.size(); i++)
            EXPECT_EQ(dst[i], (wchar_t)0x5A5A) << "wrote past the result at " << i;
    }
}

TEST(IconvexText, ConvertsWideToBytes)
{
    struct Case {
        const char* name;
        size_t (*convert)(const wchar_t*, size_t, char*, size_t);
        std::vector<uint32_t> src;
        size_t room;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"utf8", iconvex_wcs_to_utf8, {0x61, 0xE9, 0x20AC, 0x1F600}, 16, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"utf8, output full mid-character", iconvex_wcs_to_utf8, {0x61, 0xE9, 0x20AC}, 5, "a\xC3\xA9"},
        {"utf8, not encodable", iconvex_wcs_to_utf8, {0x61, 0x80000000u, 0x62}, 16, "a"},
        {"gbk", iconvex_wcs_to_gbk, {0x61, 0x4F60, 0x20AC, 0xE765}, 16, "a\xC4\xE3\x80\xA7\xA0"},
        {"gbk, output full mid-character", iconvex_wcs_to_gbk, {0x4F60, 0x597D}, 3, "\xC4\xE3"},
        {"gbk, not encodable", iconvex_wcs_to_gbk, {0x61, 0x30FB, 0x62}, 16, "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<wchar_t> src;
        for (uint32_t wc : c.src)
            src.push_back((wchar_t)wc);
        std::string dst(c.room + 4, (char)kSentinel);
        const size_t k = c.convert(src.data(), src.size(), &dst[0], c.room);
        EXPECT_EQ(Hex(dst.substr(0, k)), Hex(c.out));
        EXPECT_EQ(dst.substr(k), std::string(dst.size() - k, (char)kSentinel)) << "wrote past the result";
    }
}

TEST(IconvexText, EmptyOrMissingBuffersGiveNothing)
{
    char bytes[4];
    wchar_t wide[4];
    const wchar_t a[] = {L'a'};
    EXPECT_EQ(iconvex_utf8_to_wcs("a", 1, wide, 0), 0u);
    EXPECT_EQ(iconvex_utf8_to_wcs(nullptr, 3, wide, 4), 0u);
    EXPECT_EQ(iconvex_gbk_to_wcs("a", 1, nullptr, 4), 0u);
    EXPECT_EQ(iconvex_wcs_to_utf8(a, 1, bytes, 0), 0u);
    EXPECT_EQ(iconvex_wcs_to_gbk(nullptr, 2, bytes, 4), 0u);
    EXPECT_EQ(iconvex_utf8_to_gbk("a", 1, nullptr, 4), 0u);
    EXPECT_EQ(iconvex_gbk_to_utf8("a", 0, bytes, 4), 0u);
}

// ---- against the build machine's iconv --------------------------------------

class IconvexHostIconv : public ::testing::Test {
protected:
    void SetUp() override
    {
        from_gbk_ = iconv_open("UTF-8", "GBK");
        to_gbk_ = iconv_open("GBK", "UTF-8");
        if (from_gbk_ == (iconv_t)-1 || to_gbk_ == (iconv_t)-1)
            GTEST_SKIP() << "this machine's iconv has no GBK converter";
    }
    void TearDown() override
    {
        if (from_gbk_ != (iconv_t)-1)
            iconv_close(from_gbk_);
        if (to_gbk_ != (iconv_t)-1)
            iconv_close(to_gbk_);
    }

    // The whole input converted, or an empty text when iconv refuses it.
    static std::string Convert(iconv_t cd, const std::string& in)
    {
        char out[16];
        char* ip = const_cast<char*>(in.data());
        size_t il = in.size();
        char* op = out;
        size_t ol = sizeof(out);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == (size_t)-1 || il != 0)
            return std::string();
        return std::string(out, sizeof(out) - ol);
    }

    static std::string Utf8(uint32_t wc)
    {
        unsigned char buf[6];
        const int k = iconvex_utf8_u32tomb(buf, wc, sizeof(buf));
        return std::string(reinterpret_cast<char*>(buf), k > 0 ? (size_t)k : 0);
    }

    static bool UserDefined(unsigned lead, unsigned trail)
    {
        const bool rows_of_94 = ((lead >= 0xAA && lead <= 0xAF) || lead >= 0xF8) && trail >= 0xA1 && trail <= 0xFE;
        const bool rows_of_96 = lead >= 0xA1 && lead <= 0xA7 && trail >= 0x40 && trail <= 0xA0 && trail != 0x7F;
        return rows_of_94 || rows_of_96;
    }

    iconv_t from_gbk_ = (iconv_t)-1;
    iconv_t to_gbk_ = (iconv_t)-1;
};

TEST_F(IconvexHostIconv, EveryTwoByteCodeDecodesAsIconvDoes)
{
    int compared = 0;
    for (unsigned lead = 0x81; lead <= 0xFE; lead++) {
        for (unsigned trail = 0x00; trail <= 0xFF; trail++) {
            const std::string code = {(char)lead, (char)trail};
            std::string expected = Convert(from_gbk_, code);
            if (expected.empty() && UserDefined(lead, trail))
                continue;  // private use, checked on its own above
            if (lead == 0xA1 && trail == 0xA4)
                expected = Utf8(0x00B7);
            else if (lead == 0xA1 && trail == 0xAA)
                expected = Utf8(0x2014);
            else if (expected.empty() && lead == 0xA2 && trail >= 0xA1 && trail <= 0xAA)
                expected = Utf8(0x2170 + (trail - 0xA1));
            char out[16];
            const size_t k = iconvex_gbk_to_utf8(code.data(), code.size(), out, sizeof(out));
            ASSERT_EQ(Hex(std::string(out, k)), Hex(expected)) << "code " << Hex(code);
            compared++;
        }
    }
    EXPECT_GT(compared, 126 * 190 - 1894);
}

TEST_F(IconvexHostIconv, EveryBmpCharacterEncodesAsIconvDoes)
{
    for (uint32_t wc = 0; wc <= 0xFFFF; wc++) {
        if (wc >= 0xE000 && wc <= 0xE765)
            continue;  // private use, checked on its own above
        const std::string utf8 = Utf8(wc);
        std::string expected = Convert(to_gbk_, utf8);
        if (expected.empty() && wc == 0x00B7)
            expected = "\xA1\xA4";
        else if (expected.empty() && wc == 0x2014)
            expected = "\xA1\xAA";
        else if (expected.empty() && wc >= 0x2170 && wc <= 0x2179)
            expected = {(char)0xA2, (char)(0xA1 + (wc - 0x2170))};
        char out[16];
        const size_t k = iconvex_utf8_to_gbk(utf8.data(), utf8.size(), out, sizeof(out));
        ASSERT_EQ(Hex(std::string(out, k)), Hex(expected)) << "U+" << std::hex << wc;
    }
}

}  // namespace

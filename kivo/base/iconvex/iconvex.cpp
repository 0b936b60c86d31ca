#include "kivo/base/iconvex/iconvex.h"

#include <assert.h>
#include <limits.h>

static_assert(sizeof(wchar_t) == 4, "wide characters must hold a 32-bit code point");

namespace {

// gbk_gb2312_area, gbk_ext1, gbk_ext2, gbk_enc_page_index, gbk_enc_pages:
// written at configure time by tools/gbk_table_gen.c.
#include "iconvex_gbk_table.inc"

const uint32_t kUnmapped = 0xFFFD;

// A decoded character of len bytes: stored when pwc is given (the decoders
// also serve to measure a character).
int Decoded(uint32_t* pwc, uint32_t wc, int len)
{
    if (pwc)
        *pwc = wc;
    return len;
}

// ---- UTF-8 ------------------------------------------------------------------

int Utf8Decode(uint32_t* pwc, const unsigned char* s, int n)
{
    if (n < 1)
        return -2;
    const unsigned c = s[0];
    if (c < 0x80)
        return Decoded(pwc, c, 1);

    int len;
    uint32_t wc;
    unsigned min_second = 0x80;  // above this lead byte's overlong forms
    if (c < 0xC2) {
        return -1;  // a following byte, or an overlong two-byte form
    } else if (c < 0xE0) {
        len = 2;
        wc = c & 0x1F;
    } else if (c < 0xF0) {
        len = 3;
        wc = c & 0x0F;
        if (c == 0xE0)
            min_second = 0xA0;
    } else if (c < 0xF8) {
        len = 4;
        wc = c & 0x07;
        if (c == 0xF0)
            min_second = 0x90;
    } else if (c < 0xFC) {
        len = 5;
        wc = c & 0x03;
        if (c == 0xF8)
            min_second = 0x88;
    } else if (c < 0xFE) {
        len = 6;
        wc = c & 0x01;
        if (c == 0xFC)
            min_second = 0x84;
    } else {
        return -1;
    }

    if (n < len)
        return -2;
    if (s[1] < min_second)
        return -1;
    for (int i = 1; i < len; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return -1;
        wc = wc << 6 | (s[i] & 0x3F);
    }
    return Decoded(pwc, wc, len);
}

int Utf8Encode(unsigned char* r, uint32_t wc, int n)
{
    static const unsigned char kLeadMark[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    int len;
    if (wc < 0x80)
        len = 1;
    else if (wc < 0x800)
        len = 2;
    else if (wc < 0x10000)
        len = 3;
    else if (wc < 0x200000)
        len = 4;
    else if (wc < 0x4000000)
        len = 5;
    else if (wc <= 0x7FFFFFFF)
        len = 6;
    else
        return -1;

    if (n < len)
        return -2;
    if (len == 1) {
        r[0] = (unsigned char)wc;
        return 1;
    }
    for (int i = len - 1; i > 0; i--) {
        r[i] = (unsigned char)(0x80 | (wc & 0x3F));
        wc >>= 6;
    }
    r[0] = (unsigned char)(kLeadMark[len] | wc);
    return len;
}

// ---- GBK --------------------------------------------------------------------

// Column of a trail byte in the rows of 190 or 96 cells (0x7F is skipped).
unsigned WideColumn(unsigned trail)
{
    return trail < 0x80 ? trail - 0x40 : trail - 0x41;
}

// The user-defined areas of code page 936 and the private-use characters they
// stand for. Decoding and encoding cover the same three areas, so each code
// the encoder writes reads back as the character it came from.
const uint32_t kPuaRowsOf94End = 0xE4C6;  // AAA1..AFFE, F8A1..FEFE
const uint32_t kPuaEnd = 0xE766;          // then A140..A7A0

uint32_t GbkUserDefinedToUcs(unsigned c, unsigned c2)
{
    if (c >= 0xA1 && c <= 0xA7 && ((c2 >= 0x40 && c2 <= 0x7E) || (c2 >= 0x80 && c2 <= 0xA0)))
        return 0xE4C6 + 96 * (c - 0xA1) + WideColumn(c2);
    if (c2 >= 0xA1 && c2 <= 0xFE) {
        if (c >= 0xAA && c <= 0xAF)
            return 0xE000 + 94 * (c - 0xAA) + (c2 - 0xA1);
        if (c >= 0xF8 && c <= 0xFE)
            return 0xE000 + 94 * (c - 0xF2) + (c2 - 0xA1);
    }
    return kUnmapped;
}

unsigned UcsToGbkUserDefined(uint32_t wc)
{
    if (wc < 0xE000 || wc >= kPuaEnd)
        return 0;
    if (wc < kPuaRowsOf94End) {
        const unsigned i = wc - 0xE000;
        const unsigned row = i / 94;
        return (row < 6 ? 0xAA + row : 0xF2 + row) << 8 | (0xA1 + i % 94);
    }
    const unsigned i = wc - kPuaRowsOf94End;
    const unsigned col = i % 96;
    return (0xA1 + i / 96) << 8 | (col < 63 ? 0x40 + col : 0x41 + col);
}

// Two-byte code (c in 0x81..0xFE) to Unicode, kUnmapped when nothing maps it.
uint32_t GbkToUcs(unsigned c, unsigned c2)
{
    // Code page 936 reads these two as U+00B7 and U+2014 (GB2312 has U+30FB
    // and U+2015).
    if (c == 0xA1 && c2 == 0xA4)
        return 0x00B7;
    if (c == 0xA1 && c2 == 0xAA)
        return 0x2014;

    uint32_t wc = kUnmapped;
    if (c >= 0xA1 && c <= 0xF7 && c2 >= 0xA1 && c2 <= 0xFE)
        wc = gbk_gb2312_area[(c - 0xA1) * 94 + (c2 - 0xA1)];
    if (wc == kUnmapped && c <= 0xA0 && ((c2 >= 0x40 && c2 <= 0x7E) || (c2 >= 0x80 && c2 <= 0xFE)))
        wc = gbk_ext1[(c - 0x81) * 190 + WideColumn(c2)];
    if (wc == kUnmapped && c >= 0xA8 && ((c2 >= 0x40 && c2 <= 0x7E) || (c2 >= 0x80 && c2 <= 0xA0)))
        wc = gbk_ext2[(c - 0xA8) * 96 + WideColumn(c2)];
    if (wc == kUnmapped && c == 0xA2 && c2 >= 0xA1 && c2 <= 0xAA)
        wc = 0x2170 + (c2 - 0xA1);  // small roman numerals
    if (wc == kUnmapped)
        wc = GbkUserDefinedToUcs(c, c2);
    return wc;
}

int GbkDecode(uint32_t* pwc, const unsigned char* s, int n)
{
    if (n < 1)
        return -2;
    const unsigned c = s[0];
    if (c < 0x80)
        return Decoded(pwc, c, 1);
    if (c == 0x80)
        return Decoded(pwc, 0x20AC, 1);
    if (c == 0xFF)
        return -1;
    if (n < 2)
        return -2;
    const uint32_t wc = GbkToUcs(c, s[1]);
    if (wc == kUnmapped)
        return -1;
    return Decoded(pwc, wc, 2);
}

// Unicode to a two-byte code, 0 when none.
unsigned UcsToGbk(uint32_t wc)
{
    unsigned code = 0;
    if (wc <= 0xFFFF) {
        const unsigned page = gbk_enc_page_index[wc >> 8];
        if (page != 0xFFFF)
            code = gbk_enc_pages[page][wc & 0xFF];
    }
    if (code == 0 && wc >= 0x2170 && wc <= 0x2179)
        code = 0xA2A1 + (wc - 0x2170);
    if (code == 0 && wc == 0x00B7)
        code = 0xA1A4;
    if (code == 0 && wc == 0x2014)
        code = 0xA1AA;
    if (code == 0)
        code = UcsToGbkUserDefined(wc);
    return code;
}

int GbkEncode(unsigned char* r, uint32_t wc, int n)
{
    if (wc < 0x80) {
        if (n < 1)
            return -2;
        r[0] = (unsigned char)wc;
        return 1;
    }
    const unsigned code = UcsToGbk(wc);
    if (code != 0) {
        if (n < 2)
            return -2;
        r[0] = (unsigned char)(code >> 8);
        r[1] = (unsigned char)(code & 0xFF);
        return 2;
    }
    if (wc == 0x20AC) {
        if (n < 1)
            return -2;
        r[0] = 0x80;
        return 1;
    }
    return -1;
}

// ---- whole texts ------------------------------------------------------------

int Room(size_t left)
{
    return left > (size_t)INT_MAX ? INT_MAX : (int)left;
}

typedef int (*DecodeFn)(uint32_t*, const unsigned char*, int);
typedef int (*EncodeFn)(unsigned char*, uint32_t, int);

size_t BytesToWide(DecodeFn decode, const char* src, size_t srcLen, wchar_t* dst, size_t dstLen)
{
    if (src == nullptr || dst == nullptr)
        return 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
    size_t done = 0;
    size_t out = 0;
    while (done < srcLen && out < dstLen) {
        uint32_t wc = 0;
        const int k = decode(&wc, in + done, Room(srcLen - done));
        if (k < 0)
            break;
        dst[out++] = (wchar_t)wc;
        done += (size_t)k;
    }
    return out;
}

size_t WideToBytes(EncodeFn encode, const wchar_t* src, size_t srcLen, char* dst, size_t dstLen)
{
    if (src == nullptr || dst == nullptr)
        return 0;
    unsigned char* out = reinterpret_cast<unsigned char*>(dst);
    size_t written = 0;
    for (size_t i = 0; i < srcLen && written < dstLen; i++) {
        const int k = encode(out + written, (uint32_t)src[i], Room(dstLen - written));
        if (k < 0)
            break;
        written += (size_t)k;
    }
    return written;
}

size_t BytesToBytes(DecodeFn decode, EncodeFn encode, const char* src, size_t srcLen, char* dst,
                    size_t dstLen)
{
    if (src == nullptr || dst == nullptr)
        return 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
    unsigned char* out = reinterpret_cast<unsigned char*>(dst);
    size_t done = 0;
    size_t written = 0;
    while (done < srcLen && written < dstLen) {
        uint32_t wc = 0;
        const int k = decode(&wc, in + done, Room(srcLen - done));
        if (k < 0)
            break;
        const int w = encode(out + written, wc, Room(dstLen - written));
        if (w < 0)
            break;
        done += (size_t)k;
        written += (size_t)w;
    }
    return written;
}

// ---- single characters ------------------------------------------------------

// One character through decode into a wide character; *pwc is written only
// when a character was read.
int DecodeToWide(DecodeFn decode, wchar_t* pwc, const unsigned char* s, int n)
{
    uint32_t wc = 0;
    const int k = decode(&wc, s, n);
    if (k > 0)
        *pwc = (wchar_t)wc;
    return k;
}

}  // namespace

int iconvex_utf8_mbtowc(wchar_t* pwc, const unsigned char* s, int n)
{
    assert(pwc);
    return DecodeToWide(Utf8Decode, pwc, s, n);
}

int iconvex_utf8_mbtou32(uint32_t* pwc, const unsigned char* s, int n)
{
    return Utf8Decode(pwc, s, n);
}

int iconvex_gbk_mbtowc(wchar_t* pwc, const unsigned char* s, int n)
{
    assert(pwc);
    return DecodeToWide(GbkDecode, pwc, s, n);
}

int iconvex_gbk_mbtou32(uint32_t* pwc, const unsigned char* s, int n)
{
    return GbkDecode(pwc, s, n);
}

int iconvex_utf8_wctomb(unsigned char* r, wchar_t wc, int n)
{
    return Utf8Encode(r, (uint32_t)wc, n);
}

int iconvex_utf8_u32tomb(unsigned char* r, uint32_t wc, int n)
{
    return Utf8Encode(r, wc, n);
}

int iconvex_gbk_wctomb(unsigned char* r, wchar_t wc, int n)
{
    return GbkEncode(r, (uint32_t)wc, n);
}

int iconvex_gbk_u32tomb(unsigned char* r, uint32_t wc, int n)
{
    return GbkEncode(r, wc, n);
}

size_t iconvex_utf8_to_wcs(const char* src, size_t srcLen, wchar_t* dst, size_t dstLen)
{
    return BytesToWide(Utf8Decode, src, srcLen, dst, dstLen);
}

size_t iconvex_wcs_to_utf8(const wchar_t* src, size_t srcLen, char* dst, size_t dstLen)
{
    return WideToBytes(Utf8Encode, src, srcLen, dst, dstLen);
}

size_t iconvex_gbk_to_wcs(const char* src, size_t srcLen, wchar_t* dst, size_t dstLen)
{
    return BytesToWide(GbkDecode, src, srcLen, dst, dstLen);
}

size_t iconvex_wcs_to_gbk(const wchar_t* src, size_t srcLen, char* dst, size_t dstLen)
{
    return WideToBytes(GbkEncode, src, srcLen, dst, dstLen);
}

size_t iconvex_utf8_to_gbk(const char* src, size_t srcLen, char* dst, size_t dstLen)
{
    return BytesToBytes(Utf8Decode, GbkEncode, src, srcLen, dst, dstLen);
}

size_t iconvex_gbk_to_utf8(const char* src, size_t srcLen, char* dst, size_t dstLen)
{
    return BytesToBytes(GbkDecode, Utf8Encode, src, srcLen, dst, dstLen);
}

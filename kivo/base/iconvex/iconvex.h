#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// Character conversion between UTF-8, GBK (code page 936) and wide characters
// (a wchar_t or uint32_t holding a Unicode code point).
//
// Single characters. `n` is the number of bytes available in the input
// (decoding) or the room in the output (encoding). Results:
//   > 0  bytes read (decoding) or written (encoding)
//   -1   illegal sequence, or a character the target cannot represent
//   -2   the input ends inside a character (decoding), or the output has too
//        little room (encoding); nothing is written then.
//
// UTF-8 follows RFC 2279 (forms of 1 to 6 bytes, up to 0x7FFFFFFF); overlong
// forms are refused, surrogates and values above 0x10FFFF are accepted.
//
// GBK: one byte below 0x80 as itself, 0x80 as U+20AC (euro sign), two-byte
// codes by the code page 936 mapping. Its user-defined areas map into the
// private-use area, in both directions:
//   AAA1..AFFE, F8A1..FEFE (94 per row)   <-> U+E000..U+E4C5
//   A140..A7A0 (trail 40..7E, 80..A0)     <-> U+E4C6..U+E765
// so every code the encoder produces decodes back to the same character.

// Decoders. The wchar_t entries assert that `pwc` is not null; the uint32_t
// entries store only when `pwc` is not null (a null pointer measures).
int iconvex_utf8_mbtowc(wchar_t* pwc, const unsigned char* s, int n);
int iconvex_utf8_mbtou32(uint32_t* pwc, const unsigned char* s, int n);
int iconvex_gbk_mbtowc(wchar_t* pwc, const unsigned char* s, int n);
int iconvex_gbk_mbtou32(uint32_t* pwc, const unsigned char* s, int n);

// Encoders; the two entries of each encoding behave alike.
int iconvex_utf8_wctomb(unsigned char* r, wchar_t wc, int n);
int iconvex_utf8_u32tomb(unsigned char* r, uint32_t wc, int n);
int iconvex_gbk_wctomb(unsigned char* r, wchar_t wc, int n);
int iconvex_gbk_u32tomb(unsigned char* r, uint32_t wc, int n);

// Whole texts. Lengths count units of the input and of the output; nothing is
// terminated with NUL. Conversion stops at the first character that cannot
// be decoded (also one cut off at the end of the input), at the first that
// cannot be encoded, or when the output is full; the result is the number of
// output units written up to there. A null buffer counts as empty.
size_t iconvex_utf8_to_wcs(const char* src, size_t srcLen, wchar_t* dst, size_t dstLen);
size_t iconvex_wcs_to_utf8(const wchar_t* src, size_t srcLen, char* dst, size_t dstLen);
size_t iconvex_gbk_to_wcs(const char* src, size_t srcLen, wchar_t* dst, size_t dstLen);
size_t iconvex_wcs_to_gbk(const wchar_t* src, size_t srcLen, char* dst, size_t dstLen);
size_t iconvex_utf8_to_gbk(const char* src, size_t srcLen, char* dst, size_t dstLen);
size_t iconvex_gbk_to_utf8(const char* src, size_t srcLen, char* dst, size_t dstLen);

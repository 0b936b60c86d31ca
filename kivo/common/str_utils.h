#pragma once

// Small text helpers over std::string, and reading or writing one character
// in UTF-8 or GBK. Functions that change a string in place return it.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kivo {

// ---- characters ---------------------------------------------------------------

// Encoding 1 is GBK (code page 936); any other value is UTF-8.
enum : int32_t { kEncodingUtf8 = 0, kEncodingGbk = 1 };

// One character from at most n bytes: the bytes used, or -1 for an illegal
// sequence, -2 when the bytes end inside the character.
int32_t DecodeChar(uint32_t* wc, const char* s, int32_t n, int32_t encoding);
// One character into at most size bytes: the bytes written, or -1 when the
// encoding cannot represent it, -2 when it does not fit (nothing written).
int32_t EncodeChar(char* out, int32_t size, uint32_t wc, int32_t encoding);

// Walks the characters of a text it does not own.
class CharIter {
public:
    explicit CharIter(const std::string& s, int32_t encoding = kEncodingUtf8);

    // 0 at the end; otherwise the result of DecodeChar at the current
    // position, which moves on only when that result is positive (an
    // invalid sequence stays where it is).
    int32_t Next(uint32_t* wc);

private:
    const char* _cur;
    const char* _end;
    int32_t _encoding;
};

// ---- numbers ------------------------------------------------------------------

// strtoul in base 16 after a leading "0x" or "0X", else in base 10.
unsigned long ParseUInt(const std::string& s);
float StrToFloat(const std::string& s);      // atof, narrowed
double StrToDoubleC(const std::string& s);  // atof

// ---- tests and comparison -----------------------------------------------------------

bool StartsWith(const std::string& s, const std::string& prefix);
bool EndsWith(const std::string& s, const std::string& suffix);
bool StrContains(const std::string& s, const std::string& sub);
// strcmp and strcasecmp of the texts, as -1, 0 or 1.
int StrCompare(const std::string& a, const std::string& b);
int StrCompareNoCase(const std::string& a, const std::string& b);

// ---- in-place edits -------------------------------------------------------------

// Replaces every occurrence of from, searching on after each inserted text
// (which is not searched again). An empty from changes nothing.
std::string& StrReplaceAll(std::string& s, const std::string& from, const std::string& to);
std::string& StrToLower(std::string& s);
std::string& StrToUpper(std::string& s);

// Without a predicate only the space character ' ' is trimmed (tabs and
// line ends stay). With one, every byte for which pred(byte) is true, the
// byte passed as an unsigned char value (so isspace may be given).
typedef int (*CharPred)(int);
std::string& StrTrimLeft(std::string& s);
std::string& StrTrimRight(std::string& s);
std::string& StrTrim(std::string& s);
std::string& StrTrimLeft(std::string& s, CharPred pred);
std::string& StrTrimRight(std::string& s, CharPred pred);
std::string& StrTrim(std::string& s, CharPred pred);

// ---- pieces -------------------------------------------------------------------------

std::string StrLeft(const std::string& s, size_t n);   // all when n exceeds the length
std::string StrRight(const std::string& s, size_t n);  // all when n is 0 or exceeds the length
std::string StrMid(const std::string& s, int32_t pos, size_t n);  // "" unless 0 <= pos < size

typedef void (*StrTokenCallback)(void* context, const std::string& token);

// Cuts s into tokens at bytes of skip_set (dropped) and single_set (each
// one a token of its own): "a=b c" with single_set "=" gives "a", "=", "b",
// "c". Returns false only when callback is null.
bool StrTokenise(const std::string& s, StrTokenCallback callback, void* context,
                 const std::string& skip_set = " ", const std::string& single_set = "");

// The token at pos after any delimiters, up to the next delimiter; pos moves
// past that delimiter, or to the end. At or past the end (or negative) pos
// becomes -1 and out "". A text ending in delimiters yields one empty token.
void NextToken(std::string& out, const std::string& s, const std::string& delims, int32_t& pos);
// Every non-empty token of NextToken; out is cleared first. Returns the count.
size_t StrSplit(const std::string& s, const std::string& delims, std::vector<std::string>& out);

// "C:\a\b.tar.gz" gives "C:", "\a\", "b.tar", ".gz": the drive through the
// first ':', the directory through the last '\' or '/', and the extension
// from the last '.' when it comes after every separator.
void SplitPath(const std::string& path, std::string& drive, std::string& dir, std::string& name,
               std::string& ext);

// Words separated by blanks or ','; a word in double quotes may hold both
// (the quotes are dropped): a, "b c",d gives "a", "b c", "d". out is
// cleared first. Returns the count.
size_t SplitWords(const std::string& s, std::vector<std::string>& out);

}  // namespace kivo

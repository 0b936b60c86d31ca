#include "kivo/common/str_utils.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "kivo/base/iconvex/iconvex.h"

namespace kivo {

// ---- characters ---------------------------------------------------------------

int32_t DecodeChar(uint32_t* wc, const char* s, int32_t n, int32_t encoding)
{
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    if (encoding == kEncodingGbk)
        return iconvex_gbk_mbtou32(wc, u, n);
    return iconvex_utf8_mbtou32(wc, u, n);
}

int32_t EncodeChar(char* out, int32_t size, uint32_t wc, int32_t encoding)
{
    unsigned char* u = reinterpret_cast<unsigned char*>(out);
    if (encoding == kEncodingGbk)
        return iconvex_gbk_u32tomb(u, wc, size);
    return iconvex_utf8_u32tomb(u, wc, size);
}

CharIter::CharIter(const std::string& s, int32_t encoding)
    : _cur(s.data()), _end(s.data() + s.size()), _encoding(encoding)
{
}

int32_t CharIter::Next(uint32_t* wc)
{
    if (_cur >= _end)
        return 0;
    const size_t left = static_cast<size_t>(_end - _cur);
    const int32_t n = left > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(left);
    const int32_t k = DecodeChar(wc, _cur, n, _encoding);
    if (k > 0)
        _cur += k;
    return k;
}

// ---- numbers ------------------------------------------------------------------

unsigned long ParseUInt(const std::string& s)
{
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return strtoul(s.c_str() + 2, 0, 16);
    return strtoul(s.c_str(), 0, 10);
}

float StrToFloat(const std::string& s)
{
    return static_cast<float>(atof(s.c_str()));
}

double StrToDoubleC(const std::string& s)
{
    return atof(s.c_str());
}

// ---- tests and comparison -----------------------------------------------------------

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return prefix.size() <= s.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return suffix.size() <= s.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StrContains(const std::string& s, const std::string& sub)
{
    return s.find(sub) != std::string::npos;
}

static int Sign(int v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

int StrCompare(const std::string& a, const std::string& b)
{
    return Sign(strcmp(a.c_str(), b.c_str()));
}

int StrCompareNoCase(const std::string& a, const std::string& b)
{
    return Sign(strcasecmp(a.c_str(), b.c_str()));
}

// ---- in-place edits -------------------------------------------------------------

std::string& StrReplaceAll(std::string& s, const std::string& from, const std::string& to)
{
    if (from.empty())  // would match forever at the same place
        return s;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

std::string& StrToLower(std::string& s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string& StrToUpper(std::string& s)
{
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

static int IsSpaceChar(int c)
{
    return c == ' ';
}

std::string& StrTrimLeft(std::string& s, CharPred pred)
{
    size_t i = 0;
    while (i < s.size() && pred(static_cast<unsigned char>(s[i])))
        ++i;
    s.erase(0, i);
    return s;
}

std::string& StrTrimRight(std::string& s, CharPred pred)
{
    size_t n = s.size();
    while (n > 0 && pred(static_cast<unsigned char>(s[n - 1])))
        --n;
    s.erase(n);
    return s;
}

std::string& StrTrim(std::string& s, CharPred pred)
{
    StrTrimRight(s, pred);
    return StrTrimLeft(s, pred);
}

std::string& StrTrimLeft(std::string& s)
{
    return StrTrimLeft(s, IsSpaceChar);
}

std::string& StrTrimRight(std::string& s)
{
    return StrTrimRight(s, IsSpaceChar);
}

std::string& StrTrim(std::string& s)
{
    return StrTrim(s, IsSpaceChar);
}

// ---- pieces -------------------------------------------------------------------------

std::string StrLeft(const std::string& s, size_t n)
{
    return s.substr(0, n);
}

std::string StrRight(const std::string& s, size_t n)
{
    if (n == 0 || n > s.size())
        return s;
    return s.substr(s.size() - n);
}

std::string StrMid(const std::string& s, int32_t pos, size_t n)
{
    if (pos < 0 || static_cast<size_t>(pos) >= s.size())
        return std::string();
    return s.substr(static_cast<size_t>(pos), n);
}

static bool InSet(const std::string& set, char c)
{
    return set.find(c) != std::string::npos;
}

bool StrTokenise(const std::string& s, StrTokenCallback callback, void* context, const std::string& skip_set,
                 const std::string& single_set)
{
    if (!callback)
        return false;
    bool between = true;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (InSet(single_set, c)) {
            if (!between)
                callback(context, s.substr(start, i - start));
            callback(context, std::string(1, c));
            between = true;
        } else if (InSet(skip_set, c)) {
            if (!between)
                callback(context, s.substr(start, i - start));
            between = true;
        } else if (between) {
            start = i;
            between = false;
        }
    }
    if (!between)
        callback(context, s.substr(start));
    return true;
}

void NextToken(std::string& out, const std::string& s, const std::string& delims, int32_t& pos)
{
    if (pos < 0 || static_cast<size_t>(pos) >= s.size()) {
        pos = -1;
        out.clear();
        return;
    }
    size_t p = s.find_first_not_of(delims, static_cast<size_t>(pos));
    if (p == std::string::npos)
        p = s.size();
    const size_t q = s.find_first_of(delims, p);
    if (q == std::string::npos) {
        out = s.substr(p);
        pos = static_cast<int32_t>(s.size());
    } else {
        out = s.substr(p, q - p);
        pos = static_cast<int32_t>(q + 1);
    }
}

size_t StrSplit(const std::string& s, const std::string& delims, std::vector<std::string>& out)
{
    out.clear();
    std::string token;
    int32_t pos = 0;
    for (;;) {
        NextToken(token, s, delims, pos);
        if (pos < 0)
            break;
        if (!token.empty())
            out.push_back(token);
    }
    return out.size();
}

void SplitPath(const std::string& path, std::string& drive, std::string& dir, std::string& name, std::string& ext)
{
    const size_t colon = path.find(':');
    const size_t dir_start = colon == std::string::npos ? 0 : colon + 1;
    drive = path.substr(0, dir_start);

    const size_t sep = path.find_last_of("\\/");
    size_t name_start = dir_start;
    if (sep != std::string::npos && sep >= dir_start)
        name_start = sep + 1;
    dir = path.substr(dir_start, name_start - dir_start);

    const size_t last = path.find_last_of(".\\/");
    if (last != std::string::npos && last >= name_start && path[last] == '.') {
        name = path.substr(name_start, last - name_start);
        ext = path.substr(last);
    } else {
        name = path.substr(name_start);
        ext.clear();
    }
}

size_t SplitWords(const std::string& s, std::vector<std::string>& out)
{
    out.clear();
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (isspace(c) || c == ',') {
            ++i;
            continue;
        }
        if (c == '"') {
            const size_t close = s.find('"', i + 1);
            if (close == std::string::npos) {
                out.push_back(s.substr(i + 1));
                break;
            }
            out.push_back(s.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            size_t end = s.find_first_of(" ,\t\r\n", i);
            if (end == std::string::npos)
                end = n;
            out.push_back(s.substr(i, end - i));
            i = end;
        }
    }
    return out.size();
}

}  // namespace kivo

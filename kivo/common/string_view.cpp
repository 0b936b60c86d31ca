#include "kivo/common/string_view.h"

#include <assert.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <ostream>

#include "kivo/base/platform/linux/__platform_atomic.h"

namespace kivo {

// Shared buffer: one heap block of two header words (word 0 the reference
// count), capacity data bytes and a terminating NUL. Holders keep the data
// pointer; the count sits 8 bytes before it.
char* _RefAlloc(const void* src, size_t length, size_t capa);

namespace {

const char kEmpty[1] = {0};
const size_t kHeader = 8;
const size_t kMinCapacity = 8;

size_t Raised(size_t capa)
{
    return capa < kMinCapacity ? kMinCapacity : capa;
}

// a + b, or the largest size when that does not fit, which no allocation
// satisfies (so the array stops on "rcnt != 0" instead of overflowing).
size_t Need(size_t a, size_t b)
{
    return b > static_cast<size_t>(-1) - a ? static_cast<size_t>(-1) : a + b;
}

volatile int32_t* CountOf(const char* data)
{
    return reinterpret_cast<volatile int32_t*>(const_cast<char*>(data) - kHeader);
}

void RefAdd(const char* data)
{
    kivo_atomic_fetch_add(CountOf(data), 1);
}

void RefRelease(const char* data)
{
    if (kivo_atomic_fetch_add(CountOf(data), -1) == 1)
        free(const_cast<char*>(data) - kHeader);
}

int32_t RefCount(const char* data)
{
    // An atomic read: a plain load would race with other holders' adds.
    return kivo_atomic_fetch_add(CountOf(data), 0);
}

// Releases a buffer the array let go of once the operation has finished
// reading from it.
struct Released {
    explicit Released(char* d) : data(d) {}
    ~Released()
    {
        if (data)
            RefRelease(data);
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    char* data;
};

unsigned char Byte(char c)
{
    return static_cast<unsigned char>(c);
}

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return tolower(c) - 'a' + 10;
}

// How much of len from pos lies within size (pos <= size).
size_t Within(size_t len, size_t pos, size_t size)
{
    return len > size - pos ? size - pos : len;
}

}  // namespace

char* _RefAlloc(const void* src, size_t length, size_t capa)
{
    assert(capa >= length);
    capa = Raised(capa);
    int32_t* rcnt = 0;
    if (capa <= static_cast<size_t>(-1) - (kHeader + 1))
        rcnt = static_cast<int32_t*>(malloc(capa + kHeader + 1));
    assert(rcnt != 0);
    rcnt[0] = 1;
    rcnt[1] = 0;
    char* data = reinterpret_cast<char*>(rcnt) + kHeader;
    if (length)
        memcpy(data, src, length);
    data[length] = 0;
    return data;
}

// ---------------------------------------------------------------------------
// str_traines::Impl

namespace str_traines {

size_t Impl::Length(const char* s)
{
    assert(s != 0);
    return strlen(s);
}

size_t Impl::BoundedLength(const char* s, size_t n)
{
    return n ? strnlen(s, n) : 0;
}

void Impl::Move(char* dst, const char* src, size_t n)
{
    if (n)
        memmove(dst, src, n);
}

const char* Impl::Find(const char* s0, size_t n, char c)
{
    assert(s0 != 0);
    return n ? static_cast<const char*>(memchr(s0, c, n)) : 0;
}

static int LengthOrder(size_t na, size_t nb)
{
    return na == nb ? 0 : (na > nb ? 1 : -1);
}

int Impl::Compare(const char* a, size_t na, const char* b, size_t nb)
{
    const size_t n = na < nb ? na : nb;
    if (n) {
        const int r = memcmp(a, b, n);
        if (r)
            return r < 0 ? -1 : 1;
    }
    return LengthOrder(na, nb);
}

int Impl::ICompare(const char* a, size_t na, const char* b, size_t nb)
{
    const size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; ++i) {
        const int ca = tolower(Byte(a[i]));
        const int cb = tolower(Byte(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return LengthOrder(na, nb);
}

static int PathChar(char c)
{
    const int l = tolower(Byte(c));
    return l == '\\' ? '/' : l;
}

int Impl::ComparePath(const char* a, size_t na, const char* b, size_t nb)
{
    const size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; ++i) {
        const int ca = PathChar(a[i]);
        const int cb = PathChar(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (na != nb) {
        const bool a_longer = na > nb;
        const int next = PathChar(a_longer ? a[n] : b[n]);
        if (next == '/') {
            // One trailing separator does not make a path different.
            if (a_longer)
                ++nb;
            else
                ++na;
        } else if (a_longer) {
            return next < '/' ? -1 : 1;
        } else {
            return '/' < next ? -1 : 1;
        }
    }
    return LengthOrder(na, nb);
}

void Impl::Assign(char* d, size_t cap, const char* s, size_t n)
{
    assert(s != 0);
    if (cap == 0)
        return;  // not even the NUL fits
    if (n > cap - 1)
        n = cap - 1;
    Move(d, s, n);
    d[n] = 0;
}

size_t Impl::Concat(char* d, size_t cap, const char* s, size_t n)
{
    const size_t len = BoundedLength(d, cap);
    if (len >= cap)
        return len;
    if (n > cap - len - 1)
        n = cap - len - 1;
    Move(d + len, s, n);
    d[len + n] = 0;
    return len;
}

}  // namespace str_traines

typedef str_traines::Impl Impl;

// ---------------------------------------------------------------------------
// StringView

StringView::StringView() : _data(kEmpty), _num(0), _ref(0) {}

StringView::StringView(const value_type* s, size_t n)
{
    _Set(s, n);
}

StringView::StringView(const value_type* s)
{
    _Set(s, Impl::Length(s));
}

StringView::StringView(const std::string& s)
{
    _Set(s.data(), s.size());
}

StringView::StringView(const ByteArray& b)
{
    if (b._capa > 0) {
        assert(b._num <= max_size);
        _data = b._data;
        _num = static_cast<uint32_t>(b._num);
        _ref = 1;
        RefAdd(_data);
    } else {
        _Set(b._data, b._num);
    }
}

StringView::StringView(const StringView& o) : _data(o._data), _num(o._num), _ref(o._ref)
{
    if (_ref)
        RefAdd(_data);
}

StringView::StringView(const StringView& o, DeepCopy)
{
    _data = _RefAlloc(o._data, o._num, o._num);
    _num = o._num;
    _ref = 1;
}

StringView::~StringView()
{
    if (_ref)
        RefRelease(_data);
}

StringView& StringView::operator=(const StringView& o)
{
    if (this != &o) {
        if (o._ref)
            RefAdd(o._data);
        if (_ref)
            RefRelease(_data);
        _data = o._data;
        _num = o._num;
        _ref = o._ref;
    }
    return *this;
}

void StringView::_Set(const value_type* s, size_t n)
{
    if (s == 0 && n == 0)
        s = kEmpty;
    assert(n <= max_size);
    _data = s;
    _num = static_cast<uint32_t>(n);
    _ref = 0;
}

std::string StringView::ToString() const
{
    return std::string(_data, _num);
}

StringView StringView::Sub(size_t pos, size_t n) const
{
    if (pos >= _num || n == 0)
        return StringView();
    if (n > _num - pos)
        n = _num - pos;
    return StringView(_data + pos, n);
}

const StringView::value_type& StringView::operator[](size_t p0) const
{
    assert(p0 < _num);
    return _data[p0];
}

const StringView::value_type& StringView::At(size_t n) const
{
    assert(n < _num);
    return _data[n];
}

const StringView::value_type& StringView::Back() const
{
    assert(_num > 0);
    return _data[_num - 1];
}

int StringView::_Compare(size_t p0, size_t len0, const value_type* s, size_t n) const
{
    assert(s != 0 && p0 <= _num);
    return Impl::Compare(_data + p0, Within(len0, p0, _num), s, n);
}

int StringView::_Compare(size_t p0, size_t len0, const value_type* s, size_t cap1, size_t p1, size_t len1) const
{
    assert(s != 0 && p0 <= _num && p1 <= cap1);
    return _Compare(p0, len0, s + p1, Within(len1, p1, cap1));
}

int StringView::_ICompare(size_t p0, size_t len0, const value_type* s, size_t n) const
{
    assert(s != 0 && p0 <= _num);
    return Impl::ICompare(_data + p0, Within(len0, p0, _num), s, n);
}

int StringView::_ICompare(size_t p0, size_t len0, const value_type* s, size_t cap1, size_t p1, size_t len1) const
{
    assert(s != 0 && p0 <= _num && p1 <= cap1);
    return _ICompare(p0, len0, s + p1, Within(len1, p1, cap1));
}

int StringView::Compare(const StringView& o) const
{
    if (_data == o._data && _num == o._num)
        return 0;
    return Impl::Compare(_data, _num, o._data, o._num);
}

int StringView::Compare(const value_type* s) const
{
    const size_t n = Impl::Length(s);
    if (s == _data && n == _num)
        return 0;
    return Impl::Compare(_data, _num, s, n);
}

size_t StringView::_Find(const value_type* s, size_t pos, size_t n) const
{
    assert(s != 0);
    if (n == 0 && pos <= _num)
        return pos;
    if (pos >= _num || n > _num - pos)
        return npos;
    const size_t last = _num - n;
    for (size_t i = pos; i <= last; ++i) {
        const char* hit = Impl::Find(_data + i, last - i + 1, s[0]);
        if (!hit)
            break;
        i = static_cast<size_t>(hit - _data);
        if (memcmp(hit, s, n) == 0)
            return i;
    }
    return npos;
}

size_t StringView::_RFind(const value_type* s, size_t pos, size_t n) const
{
    assert(s != 0);
    if (n == 0)
        return pos < _num ? pos : _num;
    if (n > _num)
        return npos;
    size_t i = pos < _num - n ? pos : _num - n;
    for (;;) {
        if (memcmp(_data + i, s, n) == 0)
            return i;
        if (i == 0)
            return npos;
        --i;
    }
}

size_t StringView::_FindFirstOf(const value_type* s, size_t pos, size_t n, bool negate) const
{
    assert(s != 0);
    if (pos >= _num)
        return npos;
    if (n == 0 && !negate)
        return npos;
    for (size_t i = pos; i < _num; ++i) {
        const bool in_set = Impl::Find(s, n, _data[i]) != 0;
        if (in_set != negate)
            return i;
    }
    return npos;
}

size_t StringView::_FindLastOf(const value_type* s, size_t pos, size_t n, bool negate) const
{
    assert(s != 0);
    if (_num == 0)
        return npos;
    if (pos > Size() - 1)
        pos = Size() - 1;
    for (size_t i = pos + 1; i-- > 0;) {
        const bool in_set = Impl::Find(s, n, _data[i]) != 0;
        if (in_set != negate)
            return i;
    }
    return npos;
}

size_t StringView::Find(const StringView& s, size_t pos) const
{
    return _Find(s._data, pos, s._num);
}

size_t StringView::FindFirstOf(const value_type* set, size_t pos) const
{
    return _FindFirstOf(set, pos, Impl::Length(set), false);
}

size_t StringView::FindFirstNotOf(const value_type* set, size_t pos) const
{
    return _FindFirstOf(set, pos, Impl::Length(set), true);
}

size_t StringView::FindLastNotOf(const value_type* set, size_t pos) const
{
    return _FindLastOf(set, pos, Impl::Length(set), true);
}

size_t StringView::FindChar(value_type c, size_t pos, bool negate) const
{
    for (size_t i = pos; i < _num; ++i) {
        if ((_data[i] == c) != negate)
            return i;
    }
    return npos;
}

void StringView::TrimRange(const value_type* set, int32_t mode, size_t& first, size_t& count) const
{
    first = 0;
    size_t last = npos;
    if (mode == 0 || mode == 2)
        first = FindFirstNotOf(set);
    if (first != npos && (mode == 1 || mode == 2))
        last = FindLastNotOf(set);
    if (last == npos)
        last = Size() - 1;  // wraps back to npos for an empty view
    if (first != npos && last != npos && last >= first) {
        count = last - first + 1;
    } else {
        first = 0;
        count = 0;
    }
}

StringView StringView::Trim(const value_type* set, int32_t mode) const
{
    size_t first = 0;
    size_t count = 0;
    TrimRange(set, mode, first, count);
    return Sub(first, count);
}

namespace {

template <int (*Test)(int), int (*Convert)(int)>
StringView ConvertCase(const StringView& v)
{
    const char* d = v.Data();
    const size_t n = v.Size();
    size_t i = 0;
    while (i < n && !Test(Byte(d[i])))
        ++i;
    if (i == n)
        return v;
    ByteArray out(d, n);
    char* w = out.WritableData();
    for (; i < n; ++i)
        w[i] = static_cast<char>(Convert(Byte(w[i])));
    return StringView(out);
}

int IsUpper(int c) { return isupper(c); }
int IsLower(int c) { return islower(c); }
int ToLowerChar(int c) { return tolower(c); }
int ToUpperChar(int c) { return toupper(c); }

}  // namespace

StringView StringView::ToLower() const
{
    return ConvertCase<IsUpper, ToLowerChar>(*this);
}

StringView StringView::ToUpper() const
{
    return ConvertCase<IsLower, ToUpperChar>(*this);
}

StringView StringView::Replace(const StringView& from, const StringView& to, size_t max_count) const
{
    // An empty pattern would match at every position without moving on.
    if (from.Compare(to) == 0 || from._num == 0)
        return *this;
    ByteArray out;
    bool replaced = false;
    size_t pos = 0;
    for (;;) {
        const size_t i = Find(from, pos);
        if (i == npos)
            break;
        out.Append(_data + pos, i - pos);
        out.Append(to._data, to._num);
        replaced = true;
        pos = i + from._num;
        if (max_count <= 1)
            break;
        --max_count;
    }
    if (!replaced)
        return *this;
    out.Append(_data + pos, _num - pos);
    return StringView(out);
}

StringView StringView::Escape(bool quotes) const
{
    static const char kHex[] = "0123456789ABCDEF";
    ByteArray out;
    size_t run = 0;
    for (size_t i = 0; i < _num; ++i) {
        const unsigned char c = Byte(_data[i]);
        char e = 0;
        switch (c) {
        case '\\': e = '\\'; break;
        case '\'':
        case '"': e = quotes ? static_cast<char>(c) : 0; break;
        case 7: e = 'a'; break;
        case 8: e = 'b'; break;
        case 10: e = 'n'; break;
        case 11: e = 'v'; break;
        case 9: e = 't'; break;
        case 13: e = 'r'; break;
        case 12: e = 'f'; break;
        case 0: e = '0'; break;
        default: break;
        }
        if (!e && isprint(c))
            continue;
        out.Append(_data + run, i - run);
        run = i + 1;
        if (e) {
            const char pair[2] = {'\\', e};
            out.Append(pair, 2);
            // "\0" takes up to two octal digits after it: spell the byte out
            // in full when a digit follows, or it would read back as another.
            if (c == 0 && i + 1 < _num && _data[i + 1] >= '0' && _data[i + 1] <= '7')
                out.Append(2, '0');
        } else {
            const char hex[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            out.Append(hex, 4);
        }
    }
    if (out.size() == 0)
        return *this;
    out.Append(_data + run, _num - run);
    return StringView(out);
}

StringView StringView::Unescape() const
{
    ByteArray out;
    size_t run = 0;
    size_t i = 0;
    while (i < _num) {
        if (_data[i] != '\\') {
            ++i;
            continue;
        }
        out.Append(_data + run, i - run);
        ++i;
        run = i;
        if (i >= _num)
            break;  // a backslash at the very end is dropped
        const char c = _data[i++];
        int v = 0;
        switch (c) {
        case 'a': v = 7; break;
        case 'b': v = 8; break;
        case 'f': v = 12; break;
        case 'n': v = 10; break;
        case 'r': v = 13; break;
        case 't': v = 9; break;
        case 'v': v = 11; break;
        case '0':
            for (int k = 0; k < 2 && i < _num && _data[i] >= '0' && _data[i] <= '7'; ++k)
                v = v * 8 + (_data[i++] - '0');
            break;
        case 'x':
            for (int k = 0; k < 2 && i < _num && isxdigit(Byte(_data[i])); ++k)
                v = v * 16 + HexValue(Byte(_data[i++]));
            break;
        default: v = Byte(c); break;  // quotes, backslash and any other byte
        }
        out.Append(1, static_cast<char>(v));
        run = i;
    }
    if (out.size() == 0)
        return *this;
    out.Append(_data + run, _num - run);
    return StringView(out);
}

bool StringView::_NextToken(size_t& pos, const value_type* separators, const value_type* trim_set,
                            bool skip_empty, StringView& token) const
{
    while (pos < _num) {
        const size_t sep = FindFirstOf(separators, pos);
        const size_t end = sep == npos ? _num : sep;
        StringView t = Sub(pos, end - pos);
        pos = sep == npos ? _num : sep + 1;
        if (trim_set)
            t = t.Trim(trim_set, 2);
        if (skip_empty && t._num == 0)
            continue;
        token = t;
        return true;
    }
    return false;
}

size_t StringView::Split(std::vector<StringView>& out, const value_type* separators,
                         const value_type* trim_set, bool skip_empty) const
{
    return SplitEach([&out](const StringView& t) { out.push_back(t); }, separators, trim_set, skip_empty);
}

bool operator==(const StringView& a, const StringView& b)
{
    return a.Compare(b) == 0;
}

bool operator!=(const StringView& a, const StringView& b)
{
    return a.Compare(b) != 0;
}

bool operator==(const StringView& a, const char* b)
{
    return a.Compare(b) == 0;
}

bool operator!=(const StringView& a, const char* b)
{
    return a.Compare(b) != 0;
}

std::ostream& operator<<(std::ostream& os, const StringView& v)
{
    const std::streamsize width = os.width();
    const size_t len = v.Size();
    size_t pad = 0;
    if (width > 0 && static_cast<size_t>(width) > len)
        pad = static_cast<size_t>(width) - len;
    const bool left = (os.flags() & std::ios_base::adjustfield) == std::ios_base::left;
    const char fill = os.fill();
    if (!left)
        for (size_t i = 0; i < pad; ++i)
            os.put(fill);
    os.write(v.Data(), static_cast<std::streamsize>(len));
    if (left)
        for (size_t i = 0; i < pad; ++i)
            os.put(fill);
    os.width(0);
    return os;
}

// ---------------------------------------------------------------------------
// WildCard

StringView::IMatch::~IMatch() {}

StringView::WildCard::WildCard() : _set(false), _lead_star(false), _trail_star(false) {}

StringView::WildCard::WildCard(const StringView& pattern) : WildCard()
{
    SetPattern(pattern);
}

StringView::WildCard::WildCard(const WildCard& o) : IMatch(), _set(false), _lead_star(false), _trail_star(false)
{
    SetPattern(StringView(o._pattern));
}

StringView::WildCard& StringView::WildCard::operator=(const WildCard& o)
{
    if (this != &o)
        SetPattern(StringView(o._pattern));
    return *this;
}

StringView::WildCard::~WildCard() {}

void StringView::WildCard::SetPattern(const StringView& pattern)
{
    _pattern.assign(pattern.Data(), pattern.Size());
    _parts.clear();
    _lead_star = false;
    _trail_star = false;
    if (_pattern.empty()) {
        _set = false;
        return;
    }
    _set = true;
    StringView(_pattern).Split(_parts, "*", 0, true);
    _lead_star = _pattern[0] == '*';
    _trail_star = _pattern[_pattern.size() - 1] == '*';
}

namespace {

// Does part match text at pos ('?' stands for any one byte)? The caller has
// made sure the part fits.
bool PartAt(const StringView& text, size_t pos, const StringView& part)
{
    const char* t = text.Data() + pos;
    const char* p = part.Data();
    for (size_t i = 0; i < part.Size(); ++i)
        if (p[i] != '?' && p[i] != t[i])
            return false;
    return true;
}

size_t FindPart(const StringView& text, size_t pos, const StringView& part)
{
    const size_t n = part.Size();
    for (size_t i = pos; i <= text.Size() && text.Size() - i >= n; ++i)
        if (PartAt(text, i, part))
            return i;
    return StringView::npos;
}

}  // namespace

bool StringView::WildCard::Match(const StringView& text) const
{
    if (_parts.empty())
        return _set;
    const size_t n = text.Size();
    size_t pos = 0;
    size_t idx = 0;
    if (!_lead_star) {
        const StringView& first = _parts[0];
        if (first.Size() > n || !PartAt(text, 0, first))
            return false;
        pos = first.Size();
        idx = 1;
        if (idx == _parts.size())
            return _trail_star || pos == n;
    }
    for (; idx + 1 < _parts.size(); ++idx) {
        const size_t at = FindPart(text, pos, _parts[idx]);
        if (at == npos)
            return false;
        pos = at + _parts[idx].Size();
    }
    const StringView& last = _parts.back();
    if (!_trail_star)
        return n - pos >= last.Size() && PartAt(text, n - last.Size(), last);
    return FindPart(text, pos, last) != npos;
}

// ---------------------------------------------------------------------------
// ByteArray

ByteArray::ByteArray() : _data(const_cast<char*>(kEmpty)), _num(0), _capa(0) {}

ByteArray::ByteArray(size_t n, value_type c) : _num(n), _capa(Raised(n))
{
    _data = _RefAlloc(0, 0, _capa);
    if (n)
        memset(_data, c, n);
    _data[n] = 0;
}

ByteArray::ByteArray(const void* s, size_t n) : _num(n), _capa(Raised(n))
{
    assert(s != 0);
    _data = _RefAlloc(s, n, _capa);
}

ByteArray::ByteArray(const void* s, size_t n, ExternBuff)
    : _data(static_cast<char*>(const_cast<void*>(s))), _num(n), _capa(0)
{
    assert(s != 0);
}

ByteArray::ByteArray(const ByteArray& o) : _data(o._data), _num(o._num), _capa(o._capa)
{
    if (_capa > 0)
        RefAdd(_data);
}

ByteArray::ByteArray(const StringView& v)
{
    // An empty view is copied too: sharing would set capacity 0, which marks
    // a borrowed buffer, and its reference would never be released.
    if (v._ref && v._num > 0) {
        _data = const_cast<char*>(v._data);
        _num = v._num;
        _capa = v._num;
        RefAdd(_data);
    } else {
        _num = v._num;
        _capa = Raised(v._num);
        _data = _RefAlloc(v._data, v._num, _capa);
    }
}

ByteArray::~ByteArray()
{
    if (_capa > 0)
        RefRelease(_data);
}

ByteArray& ByteArray::operator=(const ByteArray& o)
{
    ByteArray tmp(o);
    Swap(tmp);
    return *this;
}

void ByteArray::Swap(ByteArray& o)
{
    std::swap(_data, o._data);
    std::swap(_num, o._num);
    std::swap(_capa, o._capa);
}

ByteArray::value_type* ByteArray::WritableData()
{
    MakeUnique();
    return _data;
}

bool ByteArray::MakeUnique()
{
    // A borrowed buffer is copied too: it belongs to a literal or the caller,
    // and whoever asked for writable bytes is about to write.
    if (_capa == 0 || RefCount(_data) > 1) {
        const size_t capa = Raised(_capa > _num ? _capa : _num);
        char* d = _RefAlloc(_data, _num, capa);
        Released old(_capa > 0 ? _data : 0);
        _data = d;
        _capa = capa;
    }
    return true;
}

ByteArray::value_type* ByteArray::_Prepare(size_t need, size_t keep)
{
    const bool grow = need > _capa;
    const bool shared = _capa > 0 && RefCount(_data) > 1;
    if (!grow && !shared) {
        _num = keep;
        return 0;
    }
    size_t capa = grow ? need : _capa;
    if (capa < _num)
        capa = _num;
    capa = Raised(capa);
    char* d = _RefAlloc(_data, keep, capa);
    char* old = _capa > 0 ? _data : 0;
    _data = d;
    _num = keep;
    _capa = capa;
    return old;
}

size_t ByteArray::_MakeRoom(size_t p0, size_t len0, size_t len1)
{
    // _Prepare has already made the buffer hold the new length, so nothing
    // here reaches past the capacity (a borrowed buffer only gets here when
    // the new length is 0, with nothing to move or write).
    const size_t from = p0 + len0;
    const size_t tail = _num - from;
    Impl::Move(_data + p0 + len1, _data + from, tail);
    _num = p0 + len1 + tail;
    return len1;
}

bool ByteArray::_Overlaps(const void* s, size_t n) const
{
    const uintptr_t b = reinterpret_cast<uintptr_t>(s);
    const uintptr_t lo = reinterpret_cast<uintptr_t>(_data);
    return n > 0 && _num > 0 && b < lo + _num && lo < b + n;
}

void ByteArray::Resize(size_t n)
{
    if (n <= _num) {
        _num = n;
        return;
    }
    Released old(_Prepare(n, _num));
    _num = n;
}

ByteArray& ByteArray::Assign(size_t n, value_type c)
{
    Released old(_Prepare(n, 0));
    if (n)
        memset(_data, c, n);
    _num = n;
    return *this;
}

ByteArray& ByteArray::Assign(const void* s, size_t n)
{
    Released old(_Prepare(n, 0));
    Impl::Move(_data, static_cast<const char*>(s), n);
    _num = n;
    return *this;
}

ByteArray& ByteArray::Assign(const void* s, size_t n, ExternBuff)
{
    ByteArray tmp(s, n, ExternBuff());
    Swap(tmp);
    return *this;
}

StringView ByteArray::SubStr(size_t pos, size_t n) const
{
    assert(pos < _num);
    if (n > _num - pos)
        n = _num - pos;
    return StringView(_data + pos, n);
}

ByteArray& ByteArray::Replace(size_t p0, size_t len0, size_t count, value_type c)
{
    assert(p0 < _num);
    if (len0 > _num - p0)
        len0 = _num - p0;
    Released old(_Prepare(Need(_num - len0, count), _num));
    const size_t w = _MakeRoom(p0, len0, count);
    if (w)
        memset(_data + p0, c, w);
    return *this;
}

ByteArray& ByteArray::Replace(size_t p0, size_t len0, const void* s, size_t n)
{
    assert(p0 < _num);
    if (len0 > _num - p0)
        len0 = _num - p0;
    // Bytes of this very array would be shifted by the tail move before
    // they are read: take them aside first.
    const char* src = static_cast<const char*>(s);
    std::string aside;
    if (_Overlaps(src, n)) {
        aside.assign(src, n);
        src = aside.data();
    }
    Released old(_Prepare(Need(_num - len0, n), _num));
    const size_t w = _MakeRoom(p0, len0, n);
    Impl::Move(_data + p0, src, w);
    return *this;
}

ByteArray& ByteArray::Replace(const StringView& from, const StringView& to, size_t max_count)
{
    // An empty pattern would match at every position without moving on.
    if (from.Compare(to) == 0 || from.Size() == 0)
        return *this;
    // Patterns that point into this array would change under the edits.
    std::string from_aside;
    std::string to_aside;
    StringView f = from;
    StringView t = to;
    if (_Overlaps(from.Data(), from.Size())) {
        from_aside = from.ToString();
        f = StringView(from_aside);
    }
    if (_Overlaps(to.Data(), to.Size())) {
        to_aside = to.ToString();
        t = StringView(to_aside);
    }
    size_t pos = 0;
    for (;;) {
        const size_t i = View().Find(f, pos);
        if (i == StringView::npos)
            break;
        Replace(i, f.Size(), t.Data(), t.Size());
        pos = i + t.Size();
        if (max_count <= 1)
            break;
        --max_count;
    }
    return *this;
}

ByteArray& ByteArray::Erase(size_t p0, size_t n)
{
    assert(p0 < _num);
    if (n > _num - p0)
        n = _num - p0;
    Released old(_Prepare(_num - n, _num));
    _MakeRoom(p0, n, 0);
    return *this;
}

ByteArray& ByteArray::Append(size_t n, value_type c)
{
    const size_t len = _num;
    Released old(_Prepare(Need(len, n), len));
    if (n)
        memset(_data + len, c, n);
    _num = len + n;
    return *this;
}

ByteArray& ByteArray::Append(const void* s, size_t n)
{
    // When the buffer is replaced, s may still point into the old one, which
    // `old` keeps alive until the copy is done.
    const size_t len = _num;
    Released old(_Prepare(Need(len, n), len));
    Impl::Move(_data + len, static_cast<const char*>(s), n);
    _num = len + n;
    return *this;
}

ByteArray& ByteArray::Append(const StringView& v)
{
    return Append(v.Data(), v.Size());
}

}  // namespace kivo

#include "kivo/common/stream.h"

#include <assert.h>
#include <float.h>
#include <string.h>

#include <algorithm>

#include <limits>
#include <type_traits>

#include "kivo/common/number.h"

namespace kivo {

// ---- IOContext ------------------------------------------------------------------

IOContext::~IOContext() {}

bool IOContext::IsValid() const
{
    return false;
}

void IOContext::Close() {}

bool IOContext::SetOption(const StringView&, const StringView&)
{
    return false;
}

bool IOContext::GetOption(const StringView&, std::string&)
{
    return false;
}

bool IOContext::SetLength(int64_t)
{
    return false;
}

int64_t IOContext::GetLength() const
{
    return 0;
}

int64_t IOContext::Seek(int64_t, int32_t)
{
    return -1;
}

int64_t IOContext::GetPos() const
{
    return -1;
}

ssize_t IOContext::Read(void*, size_t, kivo_err_t*)
{
    return -1;
}

ssize_t IOContext::Write(const void*, size_t, kivo_err_t*)
{
    return -1;
}

void IOContext::Flush() {}

int64_t SeekTarget(int64_t base, int64_t offset, int64_t limit)
{
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target))
        target = offset < 0 ? INT64_MIN : INT64_MAX;
    if (target < 0)
        return 0;
    return target > limit ? limit : target;
}

// ---- Stream -------------------------------------------------------------------

namespace {

// The deleter of contexts the stream does not own.
void KeepContext(void*) {}

// The context of default-constructed streams. A function-local static is
// made once even when threads race for it, and is destroyed at exit.
IOContext* NullContext()
{
    static IOContext s_null;
    return &s_null;
}

// The type a value's text is formatted as.
template <typename T>
struct TextForm {
    typedef typename std::conditional<(sizeof(T) <= 4), typename std::conditional<std::is_signed<T>::value, int32_t, uint32_t>::type,
                                      typename std::conditional<std::is_signed<T>::value, int64_t, uint64_t>::type>::type type;
};
template <>
struct TextForm<bool> {
    typedef int32_t type;
};
template <>
struct TextForm<wchar_t> {
    typedef uint32_t type;
};
template <>
struct TextForm<float> {
    typedef double type;
};
template <>
struct TextForm<double> {
    typedef double type;
};
template <>
struct TextForm<long double> {
    typedef double type;
};

}  // namespace

Stream::Stream() : _context(NullContext(), &KeepContext), _failed(0), _binary(1) {}

Stream::Stream(IOContext* ctx, bool binary) : _context(), _failed(0), _binary(binary ? 1 : 0)
{
    assert(ctx != 0);
    SharedPtr<IOContext>(ctx, &KeepContext).Swap(_context);
}

Stream::Stream(const SharedPtr<IOContext>& ctx, bool binary) : _context(ctx), _failed(0), _binary(binary ? 1 : 0) {}

void Stream::Swap(Stream& other)
{
    _context.Swap(other._context);
    const uint8_t f = _failed;
    _failed = other._failed;
    other._failed = f;
    const uint8_t b = _binary;
    _binary = other._binary;
    other._binary = b;
}

bool Stream::SetOption(const StringView& key, const StringView& value)
{
    return _context->SetOption(key, value);
}

bool Stream::GetOption(const StringView& key, std::string& value)
{
    return _context->GetOption(key, value);
}

std::string Stream::GetOption(const StringView& key)
{
    std::string value;
    if (!_context->GetOption(key, value))
        value.clear();
    return value;
}

bool Stream::SetLength(int64_t length)
{
    return _context->SetLength(length);
}

int64_t Stream::GetLength() const
{
    return _context->GetLength();
}

int64_t Stream::GetPos() const
{
    return _context->GetPos();
}

void Stream::Flush()
{
    _context->Flush();
}

int64_t Stream::Seek(int64_t offset, int32_t whence)
{
    if (_failed)
        return GetPos();
    return _context->Seek(offset, whence);
}

ssize_t Stream::Read(void* buffer, size_t count, kivo_err_t* err)
{
    if (_failed)
        return -1;
    const ssize_t n = _context->Read(buffer, count, err);
    if (n < 0 || static_cast<size_t>(n) != count)
        _failed = 1;
    return n;
}

ssize_t Stream::Write(const void* buffer, size_t count, kivo_err_t* err)
{
    if (_failed)
        return -1;
    const ssize_t n = _context->Write(buffer, count, err);
    if (n < 0 || static_cast<size_t>(n) != count)
        _failed = 1;
    return n;
}

template <typename T>
Stream& Stream::_Put(T v)
{
    if (_binary) {
        if constexpr (std::is_same<T, long double>::value) {
            const double d = static_cast<double>(v);
            Write(&d, sizeof(d));
        } else {
            Write(&v, sizeof(v));
        }
        return *this;
    }
    typedef typename TextForm<T>::type F;
    std::string text;
    FormatValue(static_cast<F>(v), &text);
    Write(text.data(), text.size());
    return *this;
}

template <typename T>
Stream& Stream::_Get(T& v)
{
    if (_binary) {
        // Read into a temporary: a short or failed read leaves v as it was.
        if constexpr (std::is_same<T, long double>::value) {
            double d;
            if (Read(&d, sizeof(d)) == static_cast<ssize_t>(sizeof(d)))
                v = d;
        } else {
            T t;
            if (Read(&t, sizeof(t)) == static_cast<ssize_t>(sizeof(t)))
                v = t;
        }
        return *this;
    }
    const std::string token = ReadToken(", \n", kMaxString, 0);
    if constexpr (std::is_same<T, wchar_t>::value) {
        v = static_cast<wchar_t>(StrToNum<uint32_t>(token.data(), token.size()));
    } else if constexpr (std::is_same<T, float>::value) {
        // Narrowed here: a double beyond float's range becomes an infinity
        // instead of an undefined conversion.
        const double d = StrToNum<double>(token.data(), token.size());
        if (d > FLT_MAX)
            v = std::numeric_limits<float>::infinity();
        else if (d < -FLT_MAX)
            v = -std::numeric_limits<float>::infinity();
        else
            v = static_cast<float>(d);
    } else {
        v = StrToNum<T>(token.data(), token.size());
    }
    return *this;
}

Stream& Stream::operator>>(std::string& s)
{
    if (!_binary) {
        std::string token = ReadToken(", \n", kMaxString, 0);
        if (!token.empty())
            s.swap(token);
        return *this;
    }
    uint32_t len = 0;
    if (Read(&len, sizeof(len)) != static_cast<ssize_t>(sizeof(len))) {
        s.clear();
        return *this;
    }
    if (len >= kMaxString) {
        // The bytes behind the length cannot be taken; going on would read
        // them as whatever comes next.
        _failed = 1;
        return *this;
    }
    s.resize(len);
    if (len > 0)
        Read(&s[0], len);
    return *this;
}

Stream& Stream::WriteBlock(const void* data, size_t len)
{
    if (_binary) {
        const uint32_t n = static_cast<uint32_t>(len);
        if (Write(&n, sizeof(n)) != static_cast<ssize_t>(sizeof(n)))
            return *this;
    }
    Write(data, len);
    return *this;
}

std::string Stream::ReadToken(const char* delimiters, size_t max_len, bool* ended_by_delimiter)
{
    std::string token;
    if (_failed || max_len == 0)
        return token;
    token.reserve(128);
    if (ended_by_delimiter)
        *ended_by_delimiter = false;
    const size_t ndelim = delimiters ? strlen(delimiters) : 0;
    while (token.size() < max_len) {
        char c;
        if (_context->Read(&c, 1, 0) != 1)
            break;
        const bool delim = ndelim > 0 && memchr(delimiters, static_cast<unsigned char>(c), ndelim) != 0;
        if (delim) {
            if (token.empty())
                continue;
            if (ended_by_delimiter)
                *ended_by_delimiter = true;
            break;
        }
        token.push_back(c);
    }
    return token;
}

// The fifteen arithmetic types the stream serialises.
#define KIVO_STREAM_OPERATORS(T)                        \
    Stream& Stream::operator<<(T v) { return _Put(v); } \
    Stream& Stream::operator>>(T& v) { return _Get(v); }

KIVO_STREAM_OPERATORS(bool)
KIVO_STREAM_OPERATORS(signed char)
KIVO_STREAM_OPERATORS(unsigned char)
KIVO_STREAM_OPERATORS(wchar_t)
KIVO_STREAM_OPERATORS(short)
KIVO_STREAM_OPERATORS(unsigned short)
KIVO_STREAM_OPERATORS(int)
KIVO_STREAM_OPERATORS(unsigned int)
KIVO_STREAM_OPERATORS(long)
KIVO_STREAM_OPERATORS(unsigned long)
KIVO_STREAM_OPERATORS(long long)
KIVO_STREAM_OPERATORS(unsigned long long)
KIVO_STREAM_OPERATORS(float)
KIVO_STREAM_OPERATORS(double)
KIVO_STREAM_OPERATORS(long double)

#undef KIVO_STREAM_OPERATORS

// ---- StreamBuff ---------------------------------------------------------------------

StreamBuff::Context::Context() : _buff(0), _buff_len(0), _pos(0), _data_len(0) {}

StreamBuff::Context::Context(void* buff, size_t buff_len, size_t data_len)
    : _buff(buff), _buff_len(buff_len), _pos(0), _data_len(data_len)
{
    assert(buff != 0 && data_len <= buff_len);
}

bool StreamBuff::Context::IsValid() const
{
    return true;
}

bool StreamBuff::Context::SetLength(int64_t length)
{
    if (length < 0)
        length = 0;
    _data_len = static_cast<uint64_t>(length) > _buff_len ? _buff_len : static_cast<size_t>(length);
    return true;
}

int64_t StreamBuff::Context::GetLength() const
{
    return static_cast<int64_t>(_data_len);
}

int64_t StreamBuff::Context::Seek(int64_t offset, int32_t whence)
{
    const size_t base = whence == 0 ? 0 : (whence == 2 ? _data_len : _pos);
    // Clamped in 64 bits before any narrowing: no offset wraps around.
    const int64_t limit = static_cast<int64_t>(std::min<uint64_t>(_buff_len, INT64_MAX));
    _pos = static_cast<size_t>(SeekTarget(static_cast<int64_t>(base), offset, limit));
    if (_data_len < _pos)
        _data_len = _pos;
    return static_cast<int64_t>(_pos);
}

int64_t StreamBuff::Context::GetPos() const
{
    return static_cast<int64_t>(_pos < _data_len ? _pos : _data_len);
}

ssize_t StreamBuff::Context::Read(void* buffer, size_t count, kivo_err_t*)
{
    if (_pos > _data_len)
        _pos = _data_len;
    const size_t left = _data_len - _pos;
    if (count > left)
        count = left;
    if (count > 0) {
        memcpy(buffer, static_cast<const char*>(_buff) + _pos, count);
        _pos += count;
    }
    return static_cast<ssize_t>(count);
}

ssize_t StreamBuff::Context::Write(const void* buffer, size_t count, kivo_err_t*)
{
    if (_pos > _data_len)
        _pos = _data_len;
    const size_t room = _buff_len - _pos;
    if (count > room)
        count = room;
    if (count > 0) {
        memcpy(static_cast<char*>(_buff) + _pos, buffer, count);
        _pos += count;
        if (_data_len < _pos)
            _data_len = _pos;
    }
    return static_cast<ssize_t>(count);
}

StreamBuff::StreamBuff() : Stream(&_ctx, false), _ctx() {}

StreamBuff::StreamBuff(void* buff, size_t buff_len, size_t data_len, bool binary)
    : Stream(&_ctx, binary), _ctx(buff, buff_len, data_len)
{
}

// ---- ReadBuffer -----------------------------------------------------------------

ReadBuffer::ReadBuffer(IOContext* ctx, size_t size)
    : _ctx(ctx), _buf(nullptr), _size(size), _len(0), _off(0), _base(0), _known(false)
{
    assert(ctx != 0 && size > 0);
    _buf = new char[size];
}

ReadBuffer::~ReadBuffer()
{
    // Whoever goes on with the context finds it where this left off.
    if (_off < _len && _ctx->IsValid())
        _Drop();
    delete[] _buf;
}

bool ReadBuffer::_Locate() const
{
    if (_known)
        return true;
    const int64_t at = _ctx->GetPos();
    if (at < 0 || static_cast<uint64_t>(at) < _len)
        return false;
    _base = at - static_cast<int64_t>(_len);
    _known = true;
    return true;
}

bool ReadBuffer::_Drop()
{
    if (_off < _len) {
        if (!_Locate())
            return false;
        const int64_t at = _base + static_cast<int64_t>(_off);
        if (_ctx->Seek(at, 0) != at)
            return false;
        _base = at;
    } else if (_known) {
        _base += static_cast<int64_t>(_len);
    }
    _len = 0;
    _off = 0;
    return true;
}

bool ReadBuffer::IsValid() const
{
    return _ctx->IsValid();
}

void ReadBuffer::Close()
{
    _len = 0;
    _off = 0;
    _known = false;
    _ctx->Close();
}

bool ReadBuffer::SetOption(const StringView& key, const StringView& value)
{
    return _ctx->SetOption(key, value);
}

bool ReadBuffer::GetOption(const StringView& key, std::string& value)
{
    return _ctx->GetOption(key, value);
}

bool ReadBuffer::SetLength(int64_t length)
{
    // The bytes held may lie past the new end.
    if (!_Drop())
        return false;
    return _ctx->SetLength(length);
}

int64_t ReadBuffer::GetLength() const
{
    return _ctx->GetLength();
}

int64_t ReadBuffer::Seek(int64_t offset, int32_t whence)
{
    if (whence == 0 || whence == 1) {
        if (!_known && _len == 0) {
            // Nothing held and no position known: the context seeks as it
            // always would.
            const int64_t at = _ctx->Seek(offset, whence);
            if (at >= 0) {
                _base = at;
                _known = true;
            }
            return at;
        }
        if (!_Locate())
            return -1;
        int64_t target = offset;
        if (whence == 1 && __builtin_add_overflow(_base + static_cast<int64_t>(_off), offset, &target))
            return -1;
        if (target >= _base && target - _base <= static_cast<int64_t>(_len)) {
            _off = static_cast<size_t>(target - _base);
            return target;
        }
        // Outside: the context goes there straight from where it stands.
        const int64_t at = _ctx->Seek(target, 0);
        if (at >= 0) {
            _base = at;
            _len = 0;
            _off = 0;
        }
        return at;
    }
    if (whence == 2) {
        const int64_t at = _ctx->Seek(offset, 2);
        if (at >= 0) {
            _base = at;
            _known = true;
            _len = 0;
            _off = 0;
        }
        return at;
    }
    if (!_Drop())
        return -1;
    _known = false;
    return _ctx->Seek(offset, whence);
}

int64_t ReadBuffer::GetPos() const
{
    if (!_Locate())
        return -1;
    return _base + static_cast<int64_t>(_off);
}

ssize_t ReadBuffer::Read(void* buffer, size_t count, kivo_err_t* err)
{
    if (count == 0)
        return _ctx->Read(buffer, 0, err);
    char* out = static_cast<char*>(buffer);
    const size_t held = _len - _off;
    if (count <= held) {
        memcpy(out, _buf + _off, count);
        _off += count;
        if (err)
            *err = 0;
        return static_cast<ssize_t>(count);
    }
    const size_t rest = count - held;
    if (count > _size) {
        // Large: into the caller's memory at once, behind what was held.
        kivo_err_t e = 0;
        const ssize_t n = _ctx->Read(out + held, rest, &e);
        if (err)
            *err = e;
        if (n < 0 || e != 0)
            return n < 0 ? n : -1;
        memcpy(out, _buf + _off, held);
        if (_known)
            _base += static_cast<int64_t>(_len) + n;
        _len = 0;
        _off = 0;
        return static_cast<ssize_t>(held) + n;
    }
    // Small: what is held moves to the front, the rest of the buffer fills.
    memmove(_buf, _buf + _off, held);
    if (_known)
        _base += static_cast<int64_t>(_off);
    _len = held;
    _off = 0;
    kivo_err_t e = 0;
    const ssize_t n = _ctx->Read(_buf + held, _size - held, &e);
    if (err)
        *err = e;
    if (n < 0 || e != 0)
        return n < 0 ? n : -1;
    _len += static_cast<size_t>(n);
    const size_t take = std::min(count, _len);
    memcpy(out, _buf, take);
    _off = take;
    return static_cast<ssize_t>(take);
}

ssize_t ReadBuffer::Write(const void* buffer, size_t count, kivo_err_t* err)
{
    if (!_Drop())
        return -1;
    _known = false;
    return _ctx->Write(buffer, count, err);
}

void ReadBuffer::Flush()
{
    _ctx->Flush();
}

}  // namespace kivo

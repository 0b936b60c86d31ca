#include "kivo/common/number.h"

#include <assert.h>
#include <limits.h>
#include <stdio.h>

#include <charconv>
#include <limits>
#include <locale>
#include <system_error>
#include <type_traits>

namespace kivo {

// ---- digit scanner ----------------------------------------------------------

namespace {

enum : uint32_t { kScanNegative = 1, kScanDigits = 2 };

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline int DigitValue(char ch)
{
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline bool IsDecimal(const char* p, const char* end)
{
    return p < end && *p >= '0' && *p <= '9';
}

bool OnlyBlanks(const char* p, const char* end)
{
    for (; p < end; ++p) {
        if (!IsBlank(*p))
            return false;
    }
    return true;
}

// Unsigned magnitude of the integer parsers; sticks at the maximum once it
// overflowed.
template <typename U>
struct IntAcc {
    U m = 0;
    U q = 0;
    U r = 0;
    U radix = 10;
    bool over = false;

    void Start(int32_t rad)
    {
        radix = static_cast<U>(rad);
        q = std::numeric_limits<U>::max() / radix;
        r = std::numeric_limits<U>::max() % radix;
    }
    void Add(int d)
    {
        const U digit = static_cast<U>(d);
        if (m > q || (m == q && digit > r)) {
            m = std::numeric_limits<U>::max();
            over = true;
        } else {
            m = m * radix + digit;
        }
    }
};

struct DoubleAcc {
    double v = 0;
    double radix = 10;

    void Start(int32_t rad) { radix = rad; }
    void Add(int d) { v = v * radix + d; }
};

struct NoAcc {
    void Start(int32_t) {}
    void Add(int) {}
};

inline const char* End(const char* text, size_t length)
{
    return text ? text + length : text;
}

}  // namespace

// Signs, radix detection and digits from p; leaves p after the last digit and
// `radix` at the radix used. Returns kScanNegative | kScanDigits bits.
template <typename Acc>
uint32_t _ScanNumber(const char*& p, const char* end, int32_t& radix, Acc& acc)
{
    uint32_t flags = 0;
    for (; p < end; ++p) {
        if (*p == '-')
            flags ^= kScanNegative;
        else if (!IsBlank(*p) && *p != '+')
            break;
    }
    if (radix < 1) {
        radix = 10;
        if (p < end && *p == '0') {
            flags |= kScanDigits;
            ++p;
            if (p < end && (*p == 'x' || *p == 'X')) {
                radix = 16;
                ++p;
            } else if (p < end && (*p == 'b' || *p == 'B')) {
                radix = 2;
                ++p;
            } else if (p == end || *p != '.') {
                radix = 8;
            }
        }
    }
    acc.Start(radix);
    for (; p < end; ++p) {
        const int d = DigitValue(*p);
        if (d < 0 || d >= radix)
            break;
        acc.Add(d);
        flags |= kScanDigits;
    }
    return flags;
}

namespace {

template <typename U>
U ScanInteger(const char* text, size_t length, int32_t radix, size_t* consumed, uint32_t* flags, int32_t* code)
{
    const char* p = text;
    const char* end = End(text, length);
    IntAcc<U> acc;
    *flags = _ScanNumber(p, end, radix, acc);
    if (consumed)
        *consumed = static_cast<size_t>(p - text);
    *code = acc.over ? -4 : 0;
    if (!(*flags & kScanDigits) || !OnlyBlanks(p, end))
        *code = -2;
    return acc.m;
}

template <typename S, typename U>
void FinishSigned(S* out, U m, uint32_t flags, int32_t code, int32_t* err)
{
    const bool valid = code != -2;
    const U limit = static_cast<U>(std::numeric_limits<S>::max()) + 1;
    if (flags & kScanNegative) {
        if (m < limit) {
            *out = -static_cast<S>(m);
        } else {
            *out = std::numeric_limits<S>::min();
            if (m > limit && valid)
                code = -3;
        }
    } else if (m >= limit) {
        *out = std::numeric_limits<S>::max();
        if (valid)
            code = -4;
    } else {
        *out = static_cast<S>(m);
    }
    if (code && err)
        *err = code;
}

template <typename U>
void FinishUnsigned(U* out, U m, uint32_t flags, int32_t code, int32_t* err)
{
    if ((flags & kScanNegative) && m != 0) {
        *out = 0;
        if (code != -2)
            code = -3;
    } else {
        *out = m;
    }
    if (code && err)
        *err = code;
}

// Parses into out: the magnitude accumulated in M, then clamped to T.
template <typename M, typename T>
void StrToInteger(T* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    assert(out);
    uint32_t flags;
    int32_t code;
    const M m = ScanInteger<M>(text, length, radix, consumed, &flags, &code);
    if constexpr (std::is_signed<T>::value)
        FinishSigned(out, m, flags, code, err);
    else
        FinishUnsigned(out, m, flags, code, err);
}

}  // namespace

void StrToInt32(int32_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    StrToInteger<uint32_t>(out, text, length, radix, consumed, err);
}

void StrToUInt32(uint32_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    StrToInteger<uint32_t>(out, text, length, radix, consumed, err);
}

void StrToInt64(int64_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    StrToInteger<uint64_t>(out, text, length, radix, consumed, err);
}

void StrToUInt64(uint64_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    StrToInteger<uint64_t>(out, text, length, radix, consumed, err);
}

void StrToDouble(double* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err)
{
    assert(out);
    const char* p = text;
    const char* end = End(text, length);
    DoubleAcc acc;
    const uint32_t flags = _ScanNumber(p, end, radix, acc);
    double v = acc.v;
    if (radix == 10) {
        // The digits before the point: the run right before p (a leading
        // '0' taken by radix detection included; only signs and blanks come
        // before it).
        const char* first = p;
        while (first > text && first[-1] >= '0' && first[-1] <= '9')
            --first;
        const char* int_end = p;
        const char* frac_end = p;
        if (p < end && *p == '.') {
            ++p;
            while (IsDecimal(p, end))
                ++p;
            frac_end = p;
        }
        int64_t exponent = 0;
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            int64_t sign = 1;
            if (p < end && (*p == '-' || *p == '+')) {
                if (*p == '-')
                    sign = -1;
                ++p;
            }
            for (; IsDecimal(p, end); ++p) {
                if (exponent < 100000000)  // far beyond any double's range
                    exponent = exponent * 10 + (*p - '0');
            }
            exponent *= sign;
        }
        // Summing digits and scaling by powers of ten rounds at every step;
        // the value must be the double nearest to the decimal text, so that
        // a double's own 17-digit text reads back as the same double.
        double exact = 0;
        const std::from_chars_result r = std::from_chars(first, p, exact, std::chars_format::general);
        if (r.ec == std::errc()) {
            v = exact;
        } else if (r.ec == std::errc::result_out_of_range) {
            // Beyond the range: infinity above, zero below. The decimal
            // exponent of the first non-zero digit tells which.
            int64_t magnitude = exponent;
            const char* q = first;
            while (q < frac_end && (*q == '0' || *q == '.'))
                ++q;
            if (q < int_end)
                magnitude += int_end - q - 1;
            else
                magnitude -= q - int_end;
            v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else {
            v = 0;  // no digit at all, as in "." or ".e5"
        }
    }
    if (consumed)
        *consumed = static_cast<size_t>(p - text);
    *out = (flags & kScanNegative) ? -v : v;
    if (err && (!(flags & kScanDigits) || !OnlyBlanks(p, end)))
        *err = -2;
}

double StringToDouble(const StringView& text, int32_t radix, size_t* consumed, int32_t* err)
{
    double v = 0;
    StrToDouble(&v, text.Data(), text.Size(), radix, consumed, err);
    return v;
}

int32_t _ClassifyNumber(const char* text, size_t length, bool* blank_tail, int32_t radix, size_t* consumed)
{
    const char* p = text;
    const char* end = End(text, length);
    NoAcc acc;
    const uint32_t flags = _ScanNumber(p, end, radix, acc);
    int32_t kind = 0;
    if (flags & kScanDigits) {
        kind = 1;
        if (radix == 10) {
            if (p + 1 < end && *p == '.' && IsDecimal(p + 1, end)) {
                p += 2;
                while (IsDecimal(p, end))
                    ++p;
                kind = 2;
            }
            if (p < end && (*p == 'e' || *p == 'E')) {
                const char* q = p + 1;
                if (q < end && (*q == '-' || *q == '+'))
                    ++q;
                if (IsDecimal(q, end)) {
                    while (IsDecimal(q, end))
                        ++q;
                    p = q;
                    kind = 2;
                }
            }
        }
    }
    if (consumed)
        *consumed = static_cast<size_t>(p - text);
    if (blank_tail)
        *blank_tail = OnlyBlanks(p, end);
    return kind;
}

// ---- output stream ----------------------------------------------------------

namespace io_base {

bool StringWriteProc(void* context, const char* data, size_t length)
{
    static_cast<std::string*>(context)->append(data, length);
    return true;
}

OutputStream::OutputStream(WriteProc writer, void* context) : _writer(writer), _context(context) {}

void OutputStream::SetWriter(WriteProc writer, void* context)
{
    _writer = writer;
    _context = context;
}

OutputStream::int_type OutputStream::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    if (!_writer || !_writer(_context, &ch, 1))
        return traits_type::eof();
    return c;
}

std::streamsize OutputStream::xsputn(const char* s, std::streamsize n)
{
    if (n <= 0)
        return 0;
    if (!_writer || !_writer(_context, s, static_cast<size_t>(n)))
        return 0;
    return n;
}

IFmtBase::~IFmtBase() {}

}  // namespace io_base

bool _FmtTextToInt(const char* text, size_t length, int32_t* out)
{
    int32_t err = 0;
    StrToInt32(out, text, length, 0, 0, &err);
    return err != -2;
}

// ---- one conversion ---------------------------------------------------------

namespace {

std::ios_base::fmtflags StreamFlags(uint32_t flags)
{
    static const struct {
        uint32_t kivo;
        std::ios_base::fmtflags std;
    } map[] = {
        {FmtSpec::Dec, std::ios_base::dec},
        {FmtSpec::Fixed, std::ios_base::fixed},
        {FmtSpec::Hex, std::ios_base::hex},
        {FmtSpec::Left, std::ios_base::left},
        {FmtSpec::Oct, std::ios_base::oct},
        {FmtSpec::Right, std::ios_base::right},
        {FmtSpec::Scientific, std::ios_base::scientific},
        {FmtSpec::ShowBase, std::ios_base::showbase},
        {FmtSpec::ShowPos, std::ios_base::showpos},
        {FmtSpec::UpperCase, std::ios_base::uppercase},
    };
    std::ios_base::fmtflags out = std::ios_base::fmtflags();
    for (const auto& m : map) {
        if (flags & m.kivo)
            out |= m.std;
    }
    return out;
}

}  // namespace

bool _FormatOne(std::ostream& os, io_base::IFmtBase& arg, const FmtSpec& spec)
{
    uint32_t flags = spec.flags;
    if (!(flags & FmtSpec::Left))
        flags |= FmtSpec::Right;
    switch (spec.type) {
    case 'E':
        flags |= FmtSpec::Scientific | FmtSpec::UpperCase;
        break;
    case 'G':
        flags |= FmtSpec::UpperCase;
        break;
    case 'X':
        flags |= FmtSpec::UpperCase | FmtSpec::Hex;
        break;
    case 'e':
        flags |= FmtSpec::Scientific;
        break;
    case 'f':
        flags |= FmtSpec::Fixed;
        break;
    case 'o':
        flags |= FmtSpec::Oct;
        break;
    case 'x':
        flags |= FmtSpec::Hex;
        break;
    default:
        break;
    }

    std::ios_base::fmtflags sf = StreamFlags(flags);
    const bool zero_pad = spec.fill != 0 && !(flags & FmtSpec::Left);
    if (zero_pad && spec.fill == '0') {
        // Zeros go between the sign or base and the digits ("-0005",
        // "0x00ff"), never in front of the sign.
        sf = (sf & ~std::ios_base::adjustfield) | std::ios_base::internal;
    }
    os.flags(sf);
    os.width(spec.width);
    os.precision(spec.precision > 0 ? spec.precision : 6);
    // Reset as well, so a fill of an earlier conversion does not linger.
    os.fill(zero_pad ? spec.fill : ' ');

    if (spec.type == 'c') {
        int32_t v = 0;
        if (arg.ToInt(&v))
            os << static_cast<char>(static_cast<unsigned char>(v % 256));
        return true;
    }
    return arg.Write(os);
}

// ---- formatter --------------------------------------------------------------

namespace {

// A width or precision: '*' (true: the next argument gives it) or a run of
// digits read into *count (kept when there is none).
bool ReadCount(const char*& cursor, int32_t* count)
{
    if (*cursor == '*') {
        ++cursor;
        return true;
    }
    const char* digits = cursor;
    while (*cursor >= '0' && *cursor <= '9')
        ++cursor;
    if (cursor != digits)
        StrToInt32(count, digits, static_cast<size_t>(cursor - digits), 0, 0, 0);
    return false;
}

}  // namespace

Formatter::Formatter()
    : _buf(), _os(&_buf), _writer(0), _context(0), _cursor(""), _spec(), _step(&Formatter::_StepNone)
{
    _os.imbue(std::locale::classic());
}

Formatter::~Formatter() {}

void Formatter::Begin(io_base::WriteProc writer, void* context, const char* format)
{
    _writer = writer;
    _context = context;
    _buf.SetWriter(writer, context);
    _os.clear();
    _cursor = format ? format : "";
    _step = &Formatter::_StepNone;
    _Text();
}

bool Formatter::_Put(const char* s, size_t n)
{
    if (n == 0)
        return true;
    if (_writer && _writer(_context, s, n))
        return true;
    _step = &Formatter::_StepNone;
    return false;
}

// Literal text up to the next conversion, then the conversion's flags and
// width; leaves the step that the next argument goes to.
void Formatter::_Text()
{
    for (;;) {
        const char* start = _cursor;
        while (*_cursor && *_cursor != '%')
            ++_cursor;
        if (!_Put(start, static_cast<size_t>(_cursor - start)))
            return;
        if (!*_cursor) {
            _step = &Formatter::_StepExtra;
            return;
        }
        if (_cursor[1] == '%') {
            _cursor += 2;
            if (!_Put("%", 1))
                return;
            continue;
        }
        break;
    }

    ++_cursor;
    _spec = FmtSpec('d', 0, 0, -1, 0);
    for (;; ++_cursor) {
        const char c = *_cursor;
        if (c == '#')
            _spec.flags |= FmtSpec::ShowBase;
        else if (c == '+')
            _spec.flags |= FmtSpec::ShowPos;
        else if (c == '-')
            _spec.flags |= FmtSpec::Left;
        else if (c == '0')
            _spec.fill = '0';
        else if (c != ' ')
            break;
    }
    if (ReadCount(_cursor, &_spec.width)) {
        _step = &Formatter::_StepWidth;
        return;
    }
    _Precision();
}

void Formatter::_Precision()
{
    if (*_cursor == '.') {
        ++_cursor;
        if (ReadCount(_cursor, &_spec.precision)) {
            _step = &Formatter::_StepPrecision;
            return;
        }
    }
    _step = &Formatter::_StepConvert;
}

void Formatter::_StepNone(io_base::IFmtBase&) {}

void Formatter::_StepWidth(io_base::IFmtBase& arg)
{
    if (!arg.ToInt(&_spec.width)) {
        _step = &Formatter::_StepNone;
        return;
    }
    _Precision();
}

void Formatter::_StepPrecision(io_base::IFmtBase& arg)
{
    if (!arg.ToInt(&_spec.precision)) {
        _step = &Formatter::_StepNone;
        return;
    }
    _step = &Formatter::_StepConvert;
}

void Formatter::_StepConvert(io_base::IFmtBase& arg)
{
    _spec.type = *_cursor;
    if (!_FormatOne(_os, arg, _spec)) {
        _step = &Formatter::_StepNone;
        return;
    }
    // A format that ends inside a conversion has no letter to step over.
    if (*_cursor)
        ++_cursor;
    _Text();
}

void Formatter::_StepExtra(io_base::IFmtBase& arg)
{
    if (!_Put(", ", 2))
        return;
    if (!_FormatOne(_os, arg, FmtSpec('s', 0, 0, -1, 0)))
        _step = &Formatter::_StepNone;
}

FmtString::FmtString(const char* format) : Formatter(), _text()
{
    Begin(io_base::StringWriteProc, &_text, format);
}

// ---- value texts ------------------------------------------------------------

namespace {

template <typename T>
void FormatWithSpec(const T& value, const FmtSpec& spec, std::string* out)
{
    io_base::OutputStream buf(io_base::StringWriteProc, out);
    std::ostream os(&buf);
    os.imbue(std::locale::classic());
    FmtConvert<T> arg(value);
    _FormatOne(os, arg, spec);
}

}  // namespace

void FormatValue(int32_t value, std::string* out)
{
    FormatWithSpec(value, FmtSpec('d', 0, 0, -1, 0), out);
}

void FormatValue(uint32_t value, std::string* out)
{
    FormatWithSpec(value, FmtSpec('d', 0, 0, -1, 0), out);
}

void FormatValue(int64_t value, std::string* out)
{
    FormatWithSpec(value, FmtSpec('d', 0, 0, -1, 0), out);
}

void FormatValue(uint64_t value, std::string* out)
{
    FormatWithSpec(value, FmtSpec('d', 0, 0, -1, 0), out);
}

void FormatValue(double value, std::string* out)
{
    const size_t start = out->size();
    if (value >= 1e16) {
        FormatWithSpec(value, FmtSpec('e', 0, 0, 15, 0), out);
    } else {
        int32_t n = 1;
        if (std::isfinite(value)) {
            for (double m = std::floor(std::fabs(value)); m >= 10; m /= 10)
                ++n;
        }
        const int32_t p = n > 16 ? 1 : 17 - n;
        FormatWithSpec(value, FmtSpec('f', 0, 0, p, 0), out);
        // A non-zero value too small for the fixed digits would read back as
        // zero; it keeps its digits in scientific notation instead.
        if (value != 0 && std::isfinite(value) && out->find_first_of("123456789", start) == std::string::npos) {
            out->resize(start);
            FormatWithSpec(value, FmtSpec('e', 0, 0, 15, 0), out);
        }
    }
    _TrimFloatText(out, start);
}

void _TrimFloatText(std::string* text, size_t start)
{
    const size_t dot = text->find('.', start);
    if (dot == std::string::npos)
        return;
    size_t e = text->find_first_of("eE", dot);
    if (e == std::string::npos)
        e = text->size();
    size_t last = e;  // one past the last digit kept
    while (last > dot + 2 && (*text)[last - 1] == '0')
        --last;
    text->erase(last, e - last);
}

std::string IntToString(int value)
{
    char buf[24];
    snprintf(buf, sizeof buf, "%d", value);
    return buf;
}

std::string DoubleToString(double value, int32_t precision)
{
    const int n = snprintf(0, 0, "%.*f", precision, value);
    if (n <= 0)
        return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    snprintf(&s[0], s.size(), "%.*f", precision, value);
    s.resize(static_cast<size_t>(n));
    return s;
}

std::string DoubleToString(float value, int32_t precision)
{
    return DoubleToString(static_cast<double>(value), precision);
}

// ---- printf into buffers ----------------------------------------------------

int VSPrintf(char* buf, size_t size, const char* format, va_list args)
{
    if (size == 0 || !buf)
        return -1;
    const int n = vsnprintf(buf, size, format, args);
    buf[size - 1] = '\0';
    if (n < 0 || static_cast<size_t>(n) >= size)
        return -1;
    return n;
}

int VSPrintfAt(char* buf, size_t size, size_t offset, const char* format, va_list args)
{
    if (offset >= size || offset > static_cast<size_t>(INT_MAX))
        return -1;
    const int n = VSPrintf(buf + offset, size - offset, format, args);
    if (n < 0 || static_cast<size_t>(n) > static_cast<size_t>(INT_MAX) - offset)
        return -1;
    return static_cast<int>(offset) + n;
}

bool StrVPrintf(std::string& s, size_t offset, const char* format, va_list args)
{
    const size_t size = s.size();
    int n = -1;
    if (offset <= size)
        n = vsnprintf(&s[0] + offset, size - offset + 1, format, args);
    if (n >= 0 && static_cast<size_t>(n) <= size - offset) {
        s.resize(offset + static_cast<size_t>(n));
        return true;
    }
    // Doubling alone never grows an empty string, nor reaches an offset
    // past the end: grow to what the text needs as well.
    size_t grown = size * 2;
    const size_t need = offset + (n > 0 ? static_cast<size_t>(n) : 0);
    if (grown < need)
        grown = need;
    if (grown == size)
        grown = size + 64;  // printing itself failed: still make progress
    s.resize(grown);
    return false;
}

}  // namespace kivo

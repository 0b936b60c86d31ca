#pragma once

// Number parsing and formatting of the framework.
//
// Parsers work on a pointer and a length (the text need not be terminated)
// and never fail hard: the value is always stored (0, the clamp bound or the
// partial number). Two optional out-pointers report the result:
//   consumed  bytes from the start of the text to the end of the digits
//             (leading blanks and signs included, trailing blanks excluded);
//   err       -2 no digit, or something other than blanks after the number;
//             -3 below the target range (the minimum is stored);
//             -4 above the target range (the maximum is stored).
// `err` is left untouched on success. A radix below 1 asks for detection:
// "0x"/"0X" hexadecimal, "0b"/"0B" binary, a leading "0" octal (but "0."
// stays decimal), else decimal. Blanks and '+' before the number are
// skipped and every '-' toggles the sign.
//
// The formatter is printf-like but writes through a std::ostream whose only
// sink is a writer callback; arguments are fed one at a time, each wrapped
// in a FmtConvert<T>.

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <streambuf>
#include <string>
#include <type_traits>

#include "kivo/base/noncopyable.h"
#include "kivo/common/string_view.h"

namespace kivo {

// ---- parsing ----------------------------------------------------------------

void StrToInt32(int32_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err);
void StrToUInt32(uint32_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err);
void StrToInt64(int64_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err);
void StrToUInt64(uint64_t* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err);
// Digits in the radix, then (radix 10 only) a fraction after '.' and an
// exponent after 'e'/'E'. Valid only when a digit came before any '.'.
void StrToDouble(double* out, const char* text, size_t length, int32_t radix, size_t* consumed, int32_t* err);

double StringToDouble(const StringView& text, int32_t radix = 0, size_t* consumed = 0, int32_t* err = 0);

// Measures a number without converting it: 0 no digits, 1 an integer, 2 a
// real number (radix 10 with a '.' and digits, or an exponent with digits).
// `consumed` gets the bytes up to the end of the number, `blank_tail` whether
// only blanks follow.
int32_t _ClassifyNumber(const char* text, size_t length, bool* blank_tail, int32_t radix, size_t* consumed);

// Range rules between the arithmetic types: a value below the target's range
// stores its minimum and sets -3, above it the maximum and -4; doubles are
// rounded half away from zero before they become integers (their bounds for
// 64-bit targets are 9.2233720368e18 and 1.8446744073e19, a little inside
// the exact limits); a NaN stores 0 and sets -2. To bool is `!= 0`. `err`
// is written only when the value was clamped.
template <typename To, typename From>
To _CvtNumber(From v, int32_t* err)
{
    static_assert(std::is_arithmetic<To>::value && std::is_arithmetic<From>::value, "arithmetic types only");
    typedef std::numeric_limits<To> L;
    if constexpr (std::is_same<To, bool>::value) {
        return v != 0;
    } else if constexpr (std::is_floating_point<To>::value) {
        return static_cast<To>(v);
    } else if constexpr (std::is_floating_point<From>::value) {
        const double d = static_cast<double>(v);
        double lo;
        double hi;
        if constexpr (sizeof(To) >= 8) {
            lo = L::is_signed ? -9.2233720368e18 : 0.0;
            hi = L::is_signed ? 9.2233720368e18 : 1.8446744073e19;
        } else {
            lo = static_cast<double>(L::min());
            hi = static_cast<double>(L::max());
        }
        if (std::isnan(d)) {
            if (err)
                *err = -2;
            return 0;
        }
        if (d < lo) {
            if (err)
                *err = -3;
            return L::min();
        }
        if (d > hi) {
            if (err)
                *err = -4;
            return L::max();
        }
        return static_cast<To>(std::round(d));
    } else {
        if constexpr (std::is_signed<From>::value) {
            if (v < 0) {
                if (!L::is_signed || static_cast<intmax_t>(v) < static_cast<intmax_t>(L::min())) {
                    if (err)
                        *err = -3;
                    return L::min();
                }
                return static_cast<To>(v);
            }
        }
        if (static_cast<uintmax_t>(v) > static_cast<uintmax_t>(L::max())) {
            if (err)
                *err = -4;
            return L::max();
        }
        return static_cast<To>(v);
    }
}

// Parses with the parser of the matching width (bool and types up to 32 bits
// through StrToInt32 or StrToUInt32, by signedness; floating types through
// StrToDouble) and converts to T with the range rules above, so
// StrToNum<unsigned char>("300") is 255 with -4.
template <typename T>
T StrToNum(const char* text, size_t length, int32_t radix = 0, size_t* consumed = 0, int32_t* err = 0)
{
    static_assert(std::is_arithmetic<T>::value, "arithmetic types only");
    if constexpr (std::is_floating_point<T>::value) {
        double v = 0;
        StrToDouble(&v, text, length, radix, consumed, err);
        return static_cast<T>(v);
    } else if constexpr (sizeof(T) <= 4 && (std::is_signed<T>::value || std::is_same<T, bool>::value)) {
        int32_t v = 0;
        StrToInt32(&v, text, length, radix, consumed, err);
        return _CvtNumber<T>(v, err);
    } else if constexpr (sizeof(T) <= 4) {
        uint32_t v = 0;
        StrToUInt32(&v, text, length, radix, consumed, err);
        return _CvtNumber<T>(v, err);
    } else if constexpr (std::is_signed<T>::value) {
        int64_t v = 0;
        StrToInt64(&v, text, length, radix, consumed, err);
        return _CvtNumber<T>(v, err);
    } else {
        uint64_t v = 0;
        StrToUInt64(&v, text, length, radix, consumed, err);
        return _CvtNumber<T>(v, err);
    }
}

// The view's form; only a StringView itself picks it, so that a literal with
// an int length is not ambiguous.
template <typename T, typename View, typename = typename std::enable_if<std::is_same<View, StringView>::value>::type>
T StrToNum(const View& text, int32_t radix = 0, size_t* consumed = 0, int32_t* err = 0)
{
    return StrToNum<T>(text.Data(), text.Size(), radix, consumed, err);
}

// ---- formatting -------------------------------------------------------------

// One conversion of the formatter. The flag values are those of the standard
// stream format flags.
struct FmtSpec {
    enum Flag : uint32_t {
        Dec = 0x2,
        Fixed = 0x4,
        Hex = 0x8,
        Left = 0x20,
        Oct = 0x40,
        Right = 0x80,
        Scientific = 0x100,
        ShowBase = 0x200,
        ShowPos = 0x800,
        UpperCase = 0x4000,
    };

    FmtSpec(char t = 'd', char f = 0, int32_t w = 0, int32_t p = -1, uint32_t fl = 0)
        : type(t), fill(f), width(w), precision(p), flags(fl)
    {
    }

    char type;          // conversion letter
    char fill;          // 0: none
    int32_t width;
    int32_t precision;  // below 1: 6
    uint32_t flags;
};

namespace io_base {

// Sink of formatted text; returns false when the bytes could not be taken.
typedef bool (*WriteProc)(void* context, const char* data, size_t length);

// Appends to the std::string that `context` points to.
bool StringWriteProc(void* context, const char* data, size_t length);

// Unbuffered stream buffer that hands every byte straight to its writer; a
// writer that refuses makes the stream report end-of-file.
class OutputStream : public std::streambuf {
public:
    OutputStream(WriteProc writer = 0, void* context = 0);
    void SetWriter(WriteProc writer, void* context);

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    WriteProc _writer;
    void* _context;
};

// One argument of the formatter.
class IFmtBase {
public:
    virtual ~IFmtBase();
    // The value as int32 (range rules of _CvtNumber; texts are parsed and
    // fail when they hold no number). Used for '*' widths and "%c".
    virtual bool ToInt(int32_t* out) = 0;
    // The value written with the stream's operator; false when the stream
    // failed.
    virtual bool Write(std::ostream& os) = 0;
};

}  // namespace io_base

bool _FmtTextToInt(const char* text, size_t length, int32_t* out);

// Keeps a reference to one value; the value must outlive the wrapper.
template <typename T>
class FmtConvert : public io_base::IFmtBase {
public:
    explicit FmtConvert(const T& value) : _value(value) {}

    bool ToInt(int32_t* out) override
    {
        if constexpr (std::is_arithmetic<T>::value) {
            *out = _CvtNumber<int32_t>(_value, 0);
            return true;
        } else if constexpr (std::is_convertible<const T&, const char*>::value) {
            const char* s = _value;
            return s != 0 && _FmtTextToInt(s, strlen(s), out);
        } else if constexpr (std::is_same<T, std::string>::value) {
            return _FmtTextToInt(_value.data(), _value.size(), out);
        } else {
            return false;
        }
    }

    bool Write(std::ostream& os) override
    {
        if constexpr (std::is_convertible<const T&, const char*>::value) {
            // A null text is written as printf writes it, not handed to the
            // stream (which would fail it).
            const char* s = _value;
            os << (s ? s : "(null)");
        } else {
            os << _value;
        }
        return !os.fail();
    }

private:
    const T& _value;
};

// Formats one argument on `os` by `spec`; returns whether it was written.
bool _FormatOne(std::ostream& os, io_base::IFmtBase& arg, const FmtSpec& spec);

// printf-style formatter over a writer. Begin writes the text up to the
// first conversion; every Arg feeds the current step: a '*' width or
// precision, or the conversion itself, after which the text up to the next
// conversion follows. Arguments beyond the format text are appended as
// ", " and their text. A writer failure or a '*' argument that is no number
// ends the output silently; a missing argument leaves the rest unwritten.
class Formatter : public NonCopyable {
public:
    Formatter();
    ~Formatter();

    void Begin(io_base::WriteProc writer, void* context, const char* format);

    template <typename T>
    Formatter& Arg(const T& value)
    {
        FmtConvert<T> arg(value);
        (this->*_step)(arg);
        return *this;
    }

private:
    typedef void (Formatter::*Step)(io_base::IFmtBase& arg);

    void _Text();
    void _Precision();
    bool _Put(const char* s, size_t n);
    void _StepNone(io_base::IFmtBase& arg);
    void _StepWidth(io_base::IFmtBase& arg);
    void _StepPrecision(io_base::IFmtBase& arg);
    void _StepConvert(io_base::IFmtBase& arg);
    void _StepExtra(io_base::IFmtBase& arg);

    io_base::OutputStream _buf;
    std::ostream _os;
    io_base::WriteProc _writer;
    void* _context;
    const char* _cursor;
    FmtSpec _spec;
    Step _step;
};

// A formatter that collects its output in its own string:
//   std::string s = kivo::FmtString("%s=%d", key, value);
class FmtString : public Formatter {
public:
    explicit FmtString(const char* format);

    template <typename... Args>
    FmtString(const char* format, const Args&... args) : FmtString(format)
    {
        (Arg(args), ...);
    }

    const std::string& Str() const { return _text; }
    operator const std::string&() const { return _text; }

private:
    std::string _text;
};

template <typename T>
std::string StrFormat(const T& value, const char* format)
{
    return FmtString(format, value).Str();
}

// Appends the value's text to *out: integers in decimal; doubles with up to
// 17 significant digits in fixed notation, values of 1e16 or more (and
// non-zero ones whose fixed text would be all zeros) in scientific notation,
// trailing zeros removed but one digit kept after the point: "0.1", "2.0",
// "1.0e+16", "-100000000000000000000.0", "0.000005".
void FormatValue(int32_t value, std::string* out);
void FormatValue(uint32_t value, std::string* out);
void FormatValue(int64_t value, std::string* out);
void FormatValue(uint64_t value, std::string* out);
void FormatValue(double value, std::string* out);

// Removes the trailing zeros of a fixed or scientific text, keeping one
// digit after the '.'.
void _TrimFloatText(std::string* text, size_t start = 0);

std::string IntToString(int value);
// Fixed notation with `precision` decimals (below 0: 6).
std::string DoubleToString(double value, int32_t precision);
std::string DoubleToString(float value, int32_t precision);

// vsnprintf into buf[0, size): -1 when size is 0 (nothing is written) or the
// text did not fit, else its length. buf[size - 1] is always set to 0.
int VSPrintf(char* buf, size_t size, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
// The same at buf + offset with size - offset bytes: offset + length, or
// -1 (nothing written when offset is not below size).
int VSPrintfAt(char* buf, size_t size, size_t offset, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));
// Prints into s's own buffer (its size plus the terminator) at offset. When
// the text fits, s is resized to offset + length and true comes back;
// otherwise s grows (to twice its size, and at least to what the text needs)
// and false asks the caller to retry with a fresh va_list.
bool StrVPrintf(std::string& s, size_t offset, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

}  // namespace kivo

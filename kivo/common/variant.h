#pragma once

// kivo::Var: the framework's one dynamically typed value.
//
// A Var holds exactly one converter object, constructed inside the value's
// own storage: the converter knows the held type and does everything that
// depends on it (copy, destruction, conversion, text, stream output and the
// container operations) through the interface kivo::var_trains::CvtBase.
//
//   code  type          payload
//   0     TYPE_INT32    int
//   1     TYPE_UINT32   unsigned int
//   2     TYPE_INT64    long long
//   3     TYPE_UINT64   unsigned long long
//   4     TYPE_DOUBLE   double
//   5     TYPE_STRING   kivo::ByteArray (bytes, not necessarily text)
//   6     TYPE_VECTOR   shared std::vector<Var>, copied before a change
//   7     TYPE_DICT     shared std::map<std::string, Var>, copied before a change
//   8     TYPE_OBJECT   any other type: a pointer or small trivially copyable
//                       value in place; anything else, or anything wrapped in
//                       kivo::HeapValue, as a shared heap copy
//   9     TYPE_NONE     no value (an int32 0 that is not a number)
//
// The storage is six pointer-sized words: on the device (32-bit) the dispatch
// table, the type code and 16 bytes of payload; a 64-bit host has room for
// the same members at its own widths. Converters never point into their own
// storage, so Swap exchanges the raw words.
//
// Copies share text buffers and container holders; a changing container
// operation on a shared holder first copies the container, so copies never
// see each other's changes, also across threads (counts are atomic). One
// value is not to be used by two threads at once.
//
// Conversions never fail hard. Range rules (kivo::_CvtNumber): below the
// target's range the minimum is stored with error -3, above it the maximum
// with -4; doubles are rounded half away from zero; a NaN gives 0 with -2;
// text that is not a number gives -2; an object gives 0 with -5. The error
// out-pointer may be null and is written only when a rule fires.

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "kivo/common/number.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/stream.h"
#include "kivo/common/string_view.h"

namespace kivo {

class Var;

// Marks an application structure to be held by a Var as a shared heap copy:
//   kivo::Var v(kivo::HeapValue<_update_info_st>(info));
// Only a construction-time wrapper: it refers to the caller's value.
template <typename T>
struct HeapValue {
    explicit HeapValue(const T& v) : value(v) {}
    const T& value;
};

template <typename T>
HeapValue<T> MakeHeapValue(const T& v)
{
    return HeapValue<T>(v);
}

namespace var_trains {

typedef std::vector<Var> VarVector;
typedef std::map<std::string, Var> VarDict;

// Type code of a held type. long and unsigned long follow their width, so
// int64_t and uint64_t are 64-bit codes on every host.
template <typename T>
struct TypeCode {
    static const int32_t value = 8;
};
template <>
struct TypeCode<int> {
    static const int32_t value = 0;
};
template <>
struct TypeCode<unsigned int> {
    static const int32_t value = 1;
};
template <>
struct TypeCode<long long> {
    static const int32_t value = 2;
};
template <>
struct TypeCode<unsigned long long> {
    static const int32_t value = 3;
};
template <>
struct TypeCode<long> {
    static const int32_t value = sizeof(long) == 8 ? 2 : 0;
};
template <>
struct TypeCode<unsigned long> {
    static const int32_t value = sizeof(long) == 8 ? 3 : 1;
};
template <>
struct TypeCode<double> {
    static const int32_t value = 4;
};
template <>
struct TypeCode<ByteArray> {
    static const int32_t value = 5;
};
template <>
struct TypeCode<VarVector> {
    static const int32_t value = 6;
};
template <>
struct TypeCode<VarDict> {
    static const int32_t value = 7;
};

// The range rules between arithmetic types (see the top of this file).
template <typename To, typename From>
To CvtRange(From v, int32_t* err)
{
    return _CvtNumber<To>(v, err);
}

// Stores v converted into *out by the range rules; always succeeds.
template <typename From, typename To>
bool CvtValue(From v, To* out, int32_t* err)
{
    *out = CvtRange<To>(v, err);
    return true;
}

// A double narrowed to float; magnitudes beyond float's range become
// infinities, as the hardware gives them, without an undefined cast.
float NarrowToFloat(double d);

// Interface of the converters, slots in this order. The container
// operations (Get to GetIter) of the base are broken contracts: they assert
// "0" naming the operation.
class CvtBase {
public:
    // Identity of the held type.
    virtual const std::type_info& TypeId() const;
    // Copy-constructs this converter into another value's storage.
    virtual void CopyTo(void* storage) const;
    // Destroys this converter in place.
    virtual void Destroy();
    // Converts from into the held type; false (and usually an error code)
    // when it cannot.
    virtual bool Assign(const Var& from, int32_t* err);
    // Scalar conversions: true when *out was written by the range rules.
    virtual bool ToInt32(int32_t* out, int32_t* err) const;
    virtual bool ToUInt32(uint32_t* out, int32_t* err) const;
    virtual bool ToInt64(int64_t* out, int32_t* err) const;
    virtual bool ToUInt64(uint64_t* out, int32_t* err) const;
    virtual bool ToDouble(double* out, int32_t* err) const;
    virtual void AppendText(std::string* out, int32_t flag) const;
    virtual void WriteTo(Stream& s) const;
    // Address of the held value (the scalar, the ByteArray, the container
    // inside its holder, the object); null in the base.
    virtual const void* Payload() const;
    virtual bool Get(int32_t index, Var& out) const;
    virtual bool Get(const std::string& key, Var& out) const;
    virtual bool Set(int32_t index, const Var& v);
    virtual bool Set(const std::string& key, const Var& v);
    virtual Var& Child(int32_t index);
    virtual Var& Child(const std::string& key);
    virtual void Append(const Var& v);
    virtual void GetIter(void* it, bool begin) const;
    virtual size_t Size() const;
    virtual void Clear();

    int32_t Type() const { return _type; }

protected:
    explicit CvtBase(int32_t type) : _type(type) {}
    CvtBase(const CvtBase& o) = default;
    // Converters are destroyed through Destroy, never deleted.
    ~CvtBase() {}

private:
    friend class kivo::Var;
    CvtBase& operator=(const CvtBase&) = delete;

    int32_t _type;
};

// Text of containers in the brace style: [1,'a'] and {'k':2}.
void _AppendVectorText(const VarVector& v, std::string* out);
void _AppendDictText(const VarDict& d, std::string* out);
// Binary stream form of containers: the element count (32-bit), then each
// element (a dictionary entry as its key block, then the value).
void _WriteVector(const VarVector& v, Stream& s);
void _WriteDict(const VarDict& d, Stream& s);

template <typename T>
class VarConvertStack;
template <typename V>
class VarConvertVector;
template <typename V>
class VarConvertDict;
template <typename T>
class VarConvertHeap;

}  // namespace var_trains

class Var {
public:
    enum eType {
        TYPE_INT32 = 0,
        TYPE_UINT32 = 1,
        TYPE_INT64 = 2,
        TYPE_UINT64 = 3,
        TYPE_DOUBLE = 4,
        TYPE_STRING = 5,
        TYPE_VECTOR = 6,
        TYPE_DICT = 7,
        TYPE_OBJECT = 8,
        TYPE_NONE = 9,
    };

    // Room for one converter: six words of the host's pointer width.
    static constexpr size_t kStorageSize = 6 * sizeof(void*);
    static constexpr size_t kStorageAlign = 8;
    // Nesting beyond this many brackets is not parsed: such a text stays a
    // plain text.
    static constexpr int32_t kMaxParseDepth = 32;

    // Types held as TYPE_OBJECT by the generic constructor.
    template <typename T>
    struct IsObject
        : std::integral_constant<
              bool, !std::is_arithmetic<T>::value && !std::is_enum<T>::value && !std::is_array<T>::value &&
                        !std::is_function<T>::value &&
                        !std::is_same<T, Var>::value && !std::is_same<T, ByteArray>::value &&
                        !std::is_same<T, StringView>::value && !std::is_same<T, std::string>::value &&
                        !std::is_same<T, char*>::value && !std::is_same<T, const char*>::value &&
                        !std::is_same<T, var_trains::VarVector>::value && !std::is_same<T, var_trains::VarDict>::value &&
                        !std::is_same<T, std::nullptr_t>::value> {};

    Var();  // TYPE_INT32 0
    // Only TYPE_NONE is accepted (asserts "v == TYPE_NONE").
    Var(eType v);

    Var(bool v);  // TYPE_INT32 0 or 1
    Var(char v);
    Var(signed char v);
    Var(short v);
    Var(int v);
    Var(long v);  // by width: TYPE_INT32 on the device, TYPE_INT64 on a 64-bit host
    Var(unsigned char v);
    Var(unsigned short v);
    Var(unsigned int v);
    Var(unsigned long v);  // by width, as long
    Var(wchar_t v);        // TYPE_UINT32, zero-extended
    Var(long long v);
    Var(unsigned long long v);
    Var(float v);
    Var(double v);

    // TYPE_STRING holding the bytes; with parse, text that trims to "[...]"
    // becomes a vector and "{...}" a dictionary (plain text and malformed or
    // too deeply nested lists stay TYPE_STRING, untrimmed).
    Var(const char* text, bool parse = false);
    Var(const ByteArray& text, bool parse = false);
    Var(const std::string& text, bool parse = false);

    Var(const var_trains::VarDict& dict);  // the map is copied into a new holder

    // TYPE_OBJECT as a shared heap copy.
    template <typename T>
    Var(const HeapValue<T>& h);
    // TYPE_OBJECT: pointers and small trivially copyable values in place
    // (Swap moves them as raw words); any other object as a shared heap copy,
    // as if wrapped in kivo::HeapValue.
    template <typename T, typename = typename std::enable_if<IsObject<T>::value>::type>
    Var(const T& obj);

    // No implicit way in: a vector comes from a list text, a view is not a
    // text the value may keep.
    Var(const var_trains::VarVector&) = delete;
    Var(const StringView&) = delete;

    Var(const Var& o);
    ~Var();

    Var& operator=(const Var& o);
    // Typed assignment: the type becomes the argument's.
    template <typename T>
    Var& operator=(const T& x)
    {
        Var t(x);
        Swap(t);
        return *this;
    }
    // These two always parse.
    Var& operator=(const ByteArray& text);
    Var& operator=(const std::string& text);

    // Exchanges the two values completely.
    void Swap(Var& o);

    // Keeps the own type and converts other into it; false when that is not
    // possible (a text target accepts only a text, -2 otherwise).
    bool Assign(const Var& other, int32_t* err = 0);

    eType GetType() const { return static_cast<eType>(_Cvt()->_type); }
    const std::type_info& TypeId() const { return _Cvt()->TypeId(); }

    // Containers; on other types Size is 0, Clear does nothing and the rest
    // are broken contracts. A negative index reads nothing and writes
    // nothing (Set returns false; Child asserts "index >= 0").
    size_t Size() const { return _Cvt()->Size(); }
    void Clear() { _Cvt()->Clear(); }
    bool Get(int32_t index, Var& out) const { return _Cvt()->Get(index, out); }
    bool Get(const std::string& key, Var& out) const { return _Cvt()->Get(key, out); }
    // A vector grows to index + 1 with int32 0 elements; a dictionary
    // creates the key.
    bool Set(int32_t index, const Var& v) { return _Cvt()->Set(index, v); }
    bool Set(const std::string& key, const Var& v) { return _Cvt()->Set(key, v); }
    // The child itself, created as for Set; valid until the container
    // changes.
    Var& Child(int32_t index) { return _Cvt()->Child(index); }
    Var& Child(const std::string& key) { return _Cvt()->Child(key); }
    // Vector: pushes a copy. Dictionary: v must hold a
    // std::pair<std::string, Var> (asserts "rult"), inserted when the key is
    // new.
    void Append(const Var& v) { _Cvt()->Append(v); }
    // Writes the begin (or end) const_iterator of the vector or map into *it.
    void GetIter(void* it, bool begin) const { _Cvt()->GetIter(it, begin); }
    // Copy of a child that must exist (asserts "rult").
    Var operator[](int32_t index) const;
    Var operator[](const std::string& key) const;

    bool ToBool(int32_t* err = 0) const { return ToInt32(err) != 0; }
    int32_t ToInt32(int32_t* err = 0) const;
    uint32_t ToUInt32(int32_t* err = 0) const;
    int64_t ToInt64(int32_t* err = 0) const;
    uint64_t ToUInt64(int32_t* err = 0) const;
    double ToDouble(int32_t* err = 0) const;
    float ToFloat(int32_t* err = 0) const;
    // Numbers as kivo::FormatValue writes them, texts as they are,
    // containers in the brace style, objects their type's name.
    std::string ToString(int32_t flag = 0) const;

    // Numbers through the stream's typed operators. Texts, containers and
    // objects need a binary stream (a text stream turns failed): a text as
    // its length and bytes, a container as its count and elements, an
    // object as its bytes when it is trivially copyable (otherwise, and for
    // everything that holds pointers, the stream turns failed).
    void WriteTo(Stream& s) const { _Cvt()->WriteTo(s); }

    // Writes v's text; texts, objects and TYPE_NONE enclosed in quote.
    static bool WriteText(io_base::WriteProc writer, void* context, const Var& v, char quote);

    // Raw getters: integers as int64 (uint64 as its bit pattern; asserts
    // "type <= TYPE_UINT64"), numbers as double (asserts
    // "type <= TYPE_DOUBLE"), the text (asserts "GetType() == TYPE_STRING").
    int64_t _GetInt64() const;
    double _GetDouble() const;
    const ByteArray& _GetString() const;

    // Arithmetic. An operand of a wider code than the value promotes the
    // value to the operand's type; otherwise the operation is done in the
    // value's type (integers wrap around). An integer division by zero
    // leaves the value unchanged; INT_MIN / -1 wraps to INT_MIN. _Add on a
    // text appends the operand's text; _Sub, _Mul and _Div on a non-number
    // assert "type <= TYPE_DOUBLE".
    Var& _Add(int32_t v);
    Var& _Add(uint32_t v);
    Var& _Add(int64_t v);
    Var& _Add(uint64_t v);
    Var& _Add(double v);
    Var& _Add(const StringView& s);
    Var& _Add(const char* s);
    Var& _Sub(int32_t v);
    Var& _Sub(uint32_t v);
    Var& _Sub(int64_t v);
    Var& _Sub(uint64_t v);
    Var& _Sub(double v);
    Var& _Mul(int32_t v);
    Var& _Mul(uint32_t v);
    Var& _Mul(int64_t v);
    Var& _Mul(uint64_t v);
    Var& _Mul(double v);
    Var& _Div(int32_t v);
    Var& _Div(uint32_t v);
    Var& _Div(int64_t v);
    Var& _Div(uint64_t v);
    Var& _Div(double v);
    Var& operator+=(const Var& o);
    Var& operator-=(const Var& o);
    Var& operator*=(const Var& o);
    Var& operator/=(const Var& o);

    // -1, 0 or 1. Texts sort above all numbers, containers, objects and
    // TYPE_NONE below everything.
    int Compare(int64_t x) const;
    int Compare(double x) const;
    int Compare(const std::string& s) const;
    int Compare(const Var& o) const;

    // The converter and the held value, for kivo::var_trains::FromVar.
    const var_trains::CvtBase& _Converter() const { return *_Cvt(); }
    const void* _Payload() const { return _Cvt()->Payload(); }

private:
    friend struct _VarParser;

    enum Op { kAdd, kSub, kMul, kDiv };

    var_trains::CvtBase* _Cvt() { return std::launder(reinterpret_cast<var_trains::CvtBase*>(_storage)); }
    const var_trains::CvtBase* _Cvt() const
    {
        return std::launder(reinterpret_cast<const var_trains::CvtBase*>(_storage));
    }

    template <typename C, typename... A>
    void _Make(const A&... a);
    void _MakeText(const char* data, size_t length, bool parse);

    template <typename K>
    Var& _Arith(K operand, Op op);
    template <typename K>
    K _RawAs() const;
    Var& _AddText(const char* data, size_t length);

    alignas(kStorageAlign) unsigned char _storage[kStorageSize];
};

// The device's layout: six 32-bit words.
static_assert(sizeof(void*) != 4 || sizeof(Var) == 24, "a Var is six 32-bit words on a 32-bit target");

namespace var_trains {

// v itself, or, when v holds `at` (a value or a container's items) anywhere
// inside its containers, a copy of v that shares no container with it:
// storing that at `at` cannot make a container hold itself.
Var StorableCopy(const Var& v, const void* at);

// ---- reading a Var into a typed value --------------------------------------------

// FromVarImpl<T>::Do(from, out, err) converts from into *out; specialise it
// for a type that needs its own rule. The general form is for objects: it
// copies the payload when from holds exactly T, and otherwise reports -5
// for a text source and -2 for any other.
template <typename T, typename Enable = void>
struct FromVarImpl {
    static bool Do(const Var& from, T* out, int32_t* err)
    {
        if (from.TypeId() == typeid(T)) {
            *out = *static_cast<const T*>(from._Payload());
            return true;
        }
        if (err)
            *err = from.GetType() == Var::TYPE_STRING ? -5 : -2;
        return false;
    }
};

// Arithmetic targets read the source through its conversion of the nearest
// width and narrow it by the range rules; a double source is narrowed from
// the double itself (so -0.4 to an unsigned type is below range).
template <typename T>
struct FromVarImpl<T, typename std::enable_if<std::is_arithmetic<T>::value>::type> {
    static bool Do(const Var& from, T* out, int32_t* err)
    {
        const CvtBase& c = from._Converter();
        const bool from_double = from.GetType() == Var::TYPE_DOUBLE;
        if constexpr (std::is_floating_point<T>::value) {
            double d = 0;
            const bool ok = c.ToDouble(&d, err);
            *out = std::is_same<T, float>::value ? static_cast<T>(NarrowToFloat(d)) : static_cast<T>(d);
            return ok;
        } else if constexpr (std::is_same<T, bool>::value) {
            if (from_double) {
                double d = 0;
                const bool ok = c.ToDouble(&d, err);
                *out = d != 0.0;
                return ok;
            }
            int32_t v = 0;
            const bool ok = c.ToInt32(&v, err);
            *out = v != 0;
            return ok;
        } else {
            if (from_double) {
                double d = 0;
                const bool ok = c.ToDouble(&d, err);
                *out = CvtRange<T>(d, err);
                return ok;
            }
            bool ok;
            if constexpr (sizeof(T) > 4 && std::is_signed<T>::value) {
                int64_t v = 0;
                ok = c.ToInt64(&v, err);
                *out = CvtRange<T>(v, err);
            } else if constexpr (sizeof(T) > 4) {
                uint64_t v = 0;
                ok = c.ToUInt64(&v, err);
                *out = CvtRange<T>(v, err);
            } else if constexpr (std::is_signed<T>::value) {
                int32_t v = 0;
                ok = c.ToInt32(&v, err);
                *out = CvtRange<T>(v, err);
            } else {
                uint32_t v = 0;
                ok = c.ToUInt32(&v, err);
                *out = CvtRange<T>(v, err);
            }
            return ok;
        }
    }
};

// A text target takes only a text (sharing its buffer); -2 otherwise.
template <>
struct FromVarImpl<ByteArray, void> {
    static bool Do(const Var& from, ByteArray* out, int32_t* err);
};

// A vector target copies a vector's elements, or appends the items of a
// list text, each assigned from its text (so bracketed items become
// containers and numbers stay texts); -2 for any other source, and for a
// malformed text (the items before the fault are kept).
template <>
struct FromVarImpl<VarVector, void> {
    static bool Do(const Var& from, VarVector* out, int32_t* err);
};

// A dictionary target copies a dictionary's entries, or stores the entries
// of a dictionary text in any of its forms, each value assigned from its
// text; -2 for any other source and for a malformed text.
template <>
struct FromVarImpl<VarDict, void> {
    static bool Do(const Var& from, VarDict* out, int32_t* err);
};

template <typename T>
bool FromVar(const Var& from, T* out, int32_t* err = 0)
{
    return FromVarImpl<T>::Do(from, out, err);
}

// ---- converter families -------------------------------------------------------------

// Shared pieces of the scalar, text and in-place object converters.
template <typename T>
class VarConvertStack : public CvtBase {
public:
    explicit VarConvertStack(const T& v) : CvtBase(TypeCode<T>::value), _value(v) {}
    VarConvertStack(const VarConvertStack& o) = default;

    const std::type_info& TypeId() const override { return typeid(T); }
    void CopyTo(void* storage) const override { new (storage) VarConvertStack(*this); }
    void Destroy() override { this->VarConvertStack::~VarConvertStack(); }

    bool Assign(const Var& from, int32_t* err) override
    {
        if constexpr (kNumber || kText || std::is_copy_assignable<T>::value) {
            return FromVar<T>(from, &_value, err);
        } else {
            // A held type without copy assignment is replaced by a copy.
            if (from.TypeId() != typeid(T)) {
                if (err)
                    *err = from.GetType() == Var::TYPE_STRING ? -5 : -2;
                return false;
            }
            const T copy(*static_cast<const T*>(from._Payload()));
            _value.~T();
            new (&_value) T(copy);
            return true;
        }
    }

    bool ToInt32(int32_t* out, int32_t* err) const override { return _To(out, err); }
    bool ToUInt32(uint32_t* out, int32_t* err) const override { return _To(out, err); }
    bool ToInt64(int64_t* out, int32_t* err) const override { return _To(out, err); }
    bool ToUInt64(uint64_t* out, int32_t* err) const override { return _To(out, err); }
    bool ToDouble(double* out, int32_t* err) const override { return _To(out, err); }

    void AppendText(std::string* out, int32_t) const override
    {
        if constexpr (kNumber) {
            FormatValue(static_cast<typename Wide<T>::type>(_value), out);
        } else if constexpr (kText) {
            out->assign(_value.data(), _value.size());
        } else {
            out->append(typeid(T).name());
        }
    }

    void WriteTo(Stream& s) const override
    {
        if constexpr (kNumber) {
            s << _value;
        } else if constexpr (kText) {
            if (s.IsBinary())
                s.WriteBlock(_value.data(), _value.size());
            else
                s.SetFail(true);
        } else if constexpr (std::is_trivially_copyable<T>::value) {
            if (s.IsBinary())
                s.Write(&_value, sizeof(T));
            else
                s.SetFail(true);
        } else {
            // Its bytes would carry pointers that mean nothing elsewhere.
            s.SetFail(true);
        }
    }

    const void* Payload() const override { return &_value; }

private:
    static constexpr bool kNumber = TypeCode<T>::value <= 4;
    static constexpr bool kText = std::is_same<T, ByteArray>::value;

    // The fixed-width type FormatValue takes for a held number.
    template <typename N, typename = void>
    struct Wide {
        typedef N type;
    };
    template <typename N>
    struct Wide<N, typename std::enable_if<std::is_integral<N>::value>::type> {
        typedef typename std::conditional<
            sizeof(N) == 8, typename std::conditional<std::is_signed<N>::value, int64_t, uint64_t>::type,
            typename std::conditional<std::is_signed<N>::value, int32_t, uint32_t>::type>::type type;
    };

    template <typename X>
    bool _To(X* out, int32_t* err) const
    {
        if constexpr (kNumber) {
            return CvtValue(_value, out, err);
        } else if constexpr (kText) {
            *out = StrToNum<X>(_value.data(), _value.size(), 0, 0, err);
            return true;
        } else {
            (void)out;
            if (err)
                *err = -5;
            return false;
        }
    }

    T _value;
};

// The holder both container converters share: copies of a value add a
// reference, and the first write through a shared holder copies it.
template <typename C>
class VarConvertShared : public CvtBase {
public:
    typedef C Container;
    typedef ObjectAnyWrap<Container> Holder;

    const std::type_info& TypeId() const override { return typeid(Container); }
    bool Assign(const Var& from, int32_t* err) override { return FromVar<Container>(from, &_Unique(), err); }
    const void* Payload() const override { return &_Items(); }

    void GetIter(void* it, bool begin) const override
    {
        *static_cast<typename Container::const_iterator*>(it) = begin ? _Items().begin() : _Items().end();
    }

    size_t Size() const override { return _Items().size(); }
    void Clear() override { _Unique().clear(); }

protected:
    explicit VarConvertShared(const Container& c) : CvtBase(TypeCode<Container>::value), _holder(new Holder(c)) {}
    VarConvertShared(const VarConvertShared& o) = default;

    const Container& _Items() const { return _holder->value; }

    // Copies the container into a holder of its own when others share it.
    Container& _Unique()
    {
        if (_holder->GetRefCntAcquire() > 1)
            _holder = new Holder(_holder->value);
        return _holder->value;
    }

private:
    IntrusivePtr<Holder> _holder;
};

// TYPE_VECTOR: the elements live in a reference-counted holder shared by
// copies.
template <typename V>
class VarConvertVector : public VarConvertShared<std::vector<V>> {
    typedef VarConvertShared<std::vector<V>> Base;
    using Base::_Items;
    using Base::_Unique;

public:
    typedef typename Base::Container Container;

    VarConvertVector() : Base(Container()) {}
    VarConvertVector(const VarConvertVector& o) = default;

    void CopyTo(void* storage) const override { new (storage) VarConvertVector(*this); }
    void Destroy() override { this->VarConvertVector::~VarConvertVector(); }
    void AppendText(std::string* out, int32_t) const override { _AppendVectorText(_Items(), out); }
    void WriteTo(Stream& s) const override { _WriteVector(_Items(), s); }

    bool Get(int32_t index, V& out) const override
    {
        if (index < 0 || static_cast<size_t>(index) >= _Items().size())
            return false;
        out = _Items()[index];
        return true;
    }

    bool Set(int32_t index, const V& v) override
    {
        if (index < 0)
            return false;
        const V copy(StorableCopy(v, &_Items()));  // v may live in this very vector
        Container& items = _Unique();
        if (static_cast<size_t>(index) >= items.size())
            items.resize(static_cast<size_t>(index) + 1);
        items[index] = copy;
        return true;
    }

    V& Child(int32_t index) override
    {
        assert(index >= 0);
        Container& items = _Unique();
        if (static_cast<size_t>(index) >= items.size())
            items.resize(static_cast<size_t>(index) + 1);
        return items[index];
    }

    void Append(const V& v) override
    {
        const V copy(StorableCopy(v, &_Items()));
        _Unique().push_back(copy);
    }
};

// TYPE_DICT: std::map by key, shared like the vector.
template <typename V>
class VarConvertDict : public VarConvertShared<std::map<std::string, V>> {
    typedef VarConvertShared<std::map<std::string, V>> Base;
    using Base::_Items;
    using Base::_Unique;

public:
    typedef typename Base::Container Container;

    VarConvertDict() : Base(Container()) {}
    explicit VarConvertDict(const Container& c) : Base(c) {}
    VarConvertDict(const VarConvertDict& o) = default;

    void CopyTo(void* storage) const override { new (storage) VarConvertDict(*this); }
    void Destroy() override { this->VarConvertDict::~VarConvertDict(); }
    void AppendText(std::string* out, int32_t) const override { _AppendDictText(_Items(), out); }
    void WriteTo(Stream& s) const override { _WriteDict(_Items(), s); }

    bool Get(const std::string& key, V& out) const override
    {
        typename Container::const_iterator it = _Items().find(key);
        if (it == _Items().end())
            return false;
        out = it->second;
        return true;
    }

    bool Set(const std::string& key, const V& v) override
    {
        const V copy(StorableCopy(v, &_Items()));
        const std::string k(key);  // key may be a key of this very map
        _Unique()[k] = copy;
        return true;
    }

    V& Child(const std::string& key) override
    {
        const std::string k(key);
        return _Unique()[k];
    }

    void Append(const V& v) override
    {
        std::pair<std::string, V> kv;
        const bool rult = FromVar(v, &kv);
        assert(rult);
        (void)rult;
        V copy(StorableCopy(kv.second, &_Items()));
        kv.second.Swap(copy);
        _Unique().insert(kv);
    }
};

// TYPE_OBJECT held as a shared heap copy of T.
template <typename T>
class VarConvertHeap : public CvtBase {
public:
    typedef ObjectAnyWrap<T> Holder;

    explicit VarConvertHeap(const T& v) : CvtBase(TypeCode<T>::value), _holder(new Holder(v)) {}
    VarConvertHeap(const VarConvertHeap& o) = default;

    const std::type_info& TypeId() const override { return typeid(T); }
    void CopyTo(void* storage) const override { new (storage) VarConvertHeap(*this); }
    void Destroy() override { this->VarConvertHeap::~VarConvertHeap(); }

    // Takes a copy of the record when from holds the same type; the shared
    // record itself is never written.
    bool Assign(const Var& from, int32_t* err) override
    {
        if (from.TypeId() == typeid(T)) {
            _holder = new Holder(*static_cast<const T*>(from._Payload()));
            return true;
        }
        if (err)
            *err = from.GetType() == Var::TYPE_STRING ? -5 : -2;
        return false;
    }

    bool ToInt32(int32_t*, int32_t* err) const override { return _NoNumber(err); }
    bool ToUInt32(uint32_t*, int32_t* err) const override { return _NoNumber(err); }
    bool ToInt64(int64_t*, int32_t* err) const override { return _NoNumber(err); }
    bool ToUInt64(uint64_t*, int32_t* err) const override { return _NoNumber(err); }
    bool ToDouble(double*, int32_t* err) const override { return _NoNumber(err); }

    void AppendText(std::string* out, int32_t) const override { out->append(typeid(T).name()); }

    // The record's own bytes, never the holder's address.
    void WriteTo(Stream& s) const override
    {
        if (std::is_trivially_copyable<T>::value && s.IsBinary())
            s.Write(&_holder->value, sizeof(T));
        else
            s.SetFail(true);
    }

    const void* Payload() const override { return &_holder->value; }

private:
    static bool _NoNumber(int32_t* err)
    {
        if (err)
            *err = -5;
        return false;
    }

    IntrusivePtr<Holder> _holder;
};

}  // namespace var_trains

// ---- template members of Var ---------------------------------------------------------

template <typename C, typename... A>
void Var::_Make(const A&... a)
{
    static_assert(sizeof(C) <= kStorageSize, "too large to hold in a Var: wrap it in kivo::HeapValue");
    static_assert(alignof(C) <= kStorageAlign, "alignment beyond a Var's storage: wrap it in kivo::HeapValue");
    new (_storage) C(a...);
}

template <typename T>
Var::Var(const HeapValue<T>& h)
{
    _Make<var_trains::VarConvertHeap<T>>(h.value);
}

template <typename T, typename>
Var::Var(const T& obj)
{
    typedef var_trains::VarConvertStack<T> InPlace;
    if constexpr (std::is_trivially_copyable<T>::value && sizeof(InPlace) <= kStorageSize &&
                  alignof(InPlace) <= kStorageAlign)
        _Make<InPlace>(obj);
    else
        _Make<var_trains::VarConvertHeap<T>>(obj);
}

}  // namespace kivo

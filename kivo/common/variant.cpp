#include "kivo/common/variant.h"

#include <float.h>

#include <cmath>
#include <limits>

#include "kivo/common/document.h"

namespace kivo {

namespace var_trains {

float NarrowToFloat(double d)
{
    if (std::isnan(d))
        return std::numeric_limits<float>::quiet_NaN();
    if (d > FLT_MAX)
        return std::numeric_limits<float>::infinity();
    if (d < -FLT_MAX)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// ---- CvtBase defaults ---------------------------------------------------------------

const std::type_info& CvtBase::TypeId() const
{
    return typeid(void);
}

void CvtBase::CopyTo(void*) const {}

void CvtBase::Destroy() {}

bool CvtBase::Assign(const Var&, int32_t*)
{
    return false;
}

bool CvtBase::ToInt32(int32_t*, int32_t*) const
{
    return false;
}

bool CvtBase::ToUInt32(uint32_t*, int32_t*) const
{
    return false;
}

bool CvtBase::ToInt64(int64_t*, int32_t*) const
{
    return false;
}

bool CvtBase::ToUInt64(uint64_t*, int32_t*) const
{
    return false;
}

bool CvtBase::ToDouble(double*, int32_t*) const
{
    return false;
}

void CvtBase::AppendText(std::string*, int32_t) const {}

void CvtBase::WriteTo(Stream&) const {}

const void* CvtBase::Payload() const
{
    return 0;
}

// The container operations are contracts of containers only.

bool CvtBase::Get(int32_t, Var&) const
{
    assert(0);
    abort();
}

bool CvtBase::Get(const std::string&, Var&) const
{
    assert(0);
    abort();
}

bool CvtBase::Set(int32_t, const Var&)
{
    assert(0);
    abort();
}

bool CvtBase::Set(const std::string&, const Var&)
{
    assert(0);
    abort();
}

Var& CvtBase::Child(int32_t)
{
    assert(0);
    abort();
}

Var& CvtBase::Child(const std::string&)
{
    assert(0);
    abort();
}

void CvtBase::Append(const Var&)
{
    assert(0);
    abort();
}

void CvtBase::GetIter(void*, bool) const
{
    assert(0);
    abort();
}

size_t CvtBase::Size() const
{
    return 0;
}

void CvtBase::Clear() {}

// ---- container texts and stream forms --------------------------------------------------

void _AppendVectorText(const VarVector& v, std::string* out)
{
    DocWriteVarList(io_base::StringWriteProc, out, v, 1);
}

void _AppendDictText(const VarDict& d, std::string* out)
{
    DocWriteVarDict(io_base::StringWriteProc, out, d, 1);
}

void _WriteVector(const VarVector& v, Stream& s)
{
    if (!s.IsBinary()) {
        s.SetFail(true);
        return;
    }
    const uint32_t n = static_cast<uint32_t>(v.size());
    s.Write(&n, sizeof(n));
    for (size_t i = 0; i < v.size() && !s.IsFail(); ++i)
        v[i].WriteTo(s);
}

void _WriteDict(const VarDict& d, Stream& s)
{
    if (!s.IsBinary()) {
        s.SetFail(true);
        return;
    }
    const uint32_t n = static_cast<uint32_t>(d.size());
    s.Write(&n, sizeof(n));
    for (VarDict::const_iterator it = d.begin(); it != d.end() && !s.IsFail(); ++it) {
        s.WriteBlock(it->first.data(), it->first.size());
        it->second.WriteTo(s);
    }
}

}  // namespace var_trains

// ---- text parsing -----------------------------------------------------------------------

// Builds values from list and dictionary texts. Nesting is counted: a text
// with more than Var::kMaxParseDepth levels of containers sets too_deep and
// is then kept as plain text by the caller, so no input exhausts the stack.
struct _VarParser {
    Var* out;
    int32_t depth;  // containers around the items being read
    bool* too_deep;

    static Var NewVector()
    {
        Var v;
        v._Cvt()->Destroy();
        v._Make<var_trains::VarConvertVector<Var>>();
        return v;
    }

    static Var NewDict()
    {
        Var v;
        v._Cvt()->Destroy();
        v._Make<var_trains::VarConvertDict<Var>>();
        return v;
    }

    static Var Text(const char* data, size_t length, const ByteArray* whole)
    {
        if (whole)
            return Var(*whole, false);
        return Var(ByteArray(data, length), false);
    }

    // out becomes the value of the text: a container when it trims to one,
    // else the text (whole, when given, is the text as a ByteArray).
    static void Into(Var& out, const char* data, size_t length, int32_t depth, bool* too_deep,
                     const ByteArray* whole = 0)
    {
        const StringView view(data, length);
        const int32_t kind = DocDetectKind(view);
        if (kind == 0) {
            out = Text(data, length, whole);
            return;
        }
        if (depth >= Var::kMaxParseDepth) {
            *too_deep = true;
            return;
        }
        Var v = kind == 1 ? NewVector() : NewDict();
        _VarParser ctx = {&v, depth + 1, too_deep};
        if (kind == 1)
            DocParseList(&_VarParser::ListItem, &ctx, view);
        else
            DocParseDict(&_VarParser::DictItem, &ctx, view);
        out.Swap(v);
    }

    // Parses like the text assignment: a too deeply nested text stays text.
    static Var Assigned(const char* data, size_t length, int32_t depth)
    {
        bool deep = false;
        Var v;
        Into(v, data, length, depth, &deep);
        if (deep)
            v = Text(data, length, 0);
        return v;
    }

    static void Item(Var& item, const char* data, size_t length, int32_t kind, int32_t depth, bool* too_deep,
                     bool parse_other)
    {
        if (kind == kDocInteger) {
            int64_t x = 0;
            StrToInt64(&x, data, length, 0, 0, 0);
            item = Var(static_cast<long long>(x));
        } else if (kind == kDocReal) {
            item = Var(StringToDouble(StringView(data, length)));
        } else if (kind == kDocList || kind == kDocDict || parse_other) {
            Into(item, data, length, depth, too_deep);
        } else {
            item = Text(data, length, 0);
        }
    }

    static void ListItem(void* context, const char* data, size_t length, int32_t kind)
    {
        _VarParser* p = static_cast<_VarParser*>(context);
        if (*p->too_deep)
            return;
        Var item;
        Item(item, data, length, kind, p->depth, p->too_deep, false);
        if (!*p->too_deep)
            p->out->Append(item);
    }

    static void DictItem(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                         int32_t kind)
    {
        _VarParser* p = static_cast<_VarParser*>(context);
        if (*p->too_deep)
            return;
        Var item;
        Item(item, value, value_length, kind, p->depth, p->too_deep, true);
        if (!*p->too_deep)
            p->out->Set(std::string(key, key_length), item);
    }

    // Items of a text assigned into an existing container: each one as the
    // text assignment would make it.
    static void AssignListItem(void* context, const char* data, size_t length, int32_t)
    {
        static_cast<var_trains::VarVector*>(context)->push_back(Assigned(data, length, 1));
    }

    static void AssignDictItem(void* context, const char* key, size_t key_length, const char* value,
                               size_t value_length, int32_t)
    {
        (*static_cast<var_trains::VarDict*>(context))[std::string(key, key_length)] =
            Assigned(value, value_length, 1);
    }
};

namespace var_trains {

namespace {

// Whether `at` lies inside root's containers (root itself does not count).
bool Reaches(const Var& root, const void* at)
{
    if (root.GetType() == Var::TYPE_VECTOR) {
        const VarVector& items = *static_cast<const VarVector*>(root._Payload());
        if (static_cast<const void*>(&items) == at)
            return true;
        for (VarVector::const_iterator it = items.begin(); it != items.end(); ++it) {
            if (static_cast<const void*>(&*it) == at || Reaches(*it, at))
                return true;
        }
    } else if (root.GetType() == Var::TYPE_DICT) {
        const VarDict& items = *static_cast<const VarDict*>(root._Payload());
        if (static_cast<const void*>(&items) == at)
            return true;
        for (VarDict::const_iterator it = items.begin(); it != items.end(); ++it) {
            if (static_cast<const void*>(&it->second) == at || Reaches(it->second, at))
                return true;
        }
    }
    return false;
}

// A copy with containers of its own at every depth.
Var DeepCopy(const Var& v)
{
    if (v.GetType() == Var::TYPE_VECTOR) {
        const VarVector& items = *static_cast<const VarVector*>(v._Payload());
        Var out = _VarParser::NewVector();
        for (size_t i = 0; i < items.size(); ++i) {
            Var item(DeepCopy(items[i]));
            out.Child(static_cast<int32_t>(i)).Swap(item);
        }
        return out;
    }
    if (v.GetType() == Var::TYPE_DICT) {
        const VarDict& items = *static_cast<const VarDict*>(v._Payload());
        Var out = _VarParser::NewDict();
        for (VarDict::const_iterator it = items.begin(); it != items.end(); ++it) {
            Var item(DeepCopy(it->second));
            out.Child(it->first).Swap(item);
        }
        return out;
    }
    return v;
}

}  // namespace

Var StorableCopy(const Var& v, const void* at)
{
    return Reaches(v, at) ? DeepCopy(v) : v;
}

bool FromVarImpl<ByteArray, void>::Do(const Var& from, ByteArray* out, int32_t* err)
{
    if (from.GetType() != Var::TYPE_STRING) {
        if (err)
            *err = -2;
        return false;
    }
    *out = from._GetString();
    return true;
}

bool FromVarImpl<VarVector, void>::Do(const Var& from, VarVector* out, int32_t* err)
{
    if (from.TypeId() == typeid(VarVector)) {
        *out = *static_cast<const VarVector*>(from._Payload());
        return true;
    }
    if (from.GetType() == Var::TYPE_STRING) {
        const ByteArray text(from._GetString());
        const bool ok = DocParseList(&_VarParser::AssignListItem, out, StringView(text.data(), text.size()));
        if (!ok && err)
            *err = -2;
        return ok;
    }
    if (err)
        *err = -2;
    return false;
}

bool FromVarImpl<VarDict, void>::Do(const Var& from, VarDict* out, int32_t* err)
{
    if (from.TypeId() == typeid(VarDict)) {
        *out = *static_cast<const VarDict*>(from._Payload());
        return true;
    }
    if (from.GetType() == Var::TYPE_STRING) {
        const ByteArray text(from._GetString());
        const bool ok = DocParseDict(&_VarParser::AssignDictItem, out, StringView(text.data(), text.size()));
        if (!ok && err)
            *err = -2;
        return ok;
    }
    if (err)
        *err = -2;
    return false;
}

}  // namespace var_trains

// ---- construction ------------------------------------------------------------------------

using var_trains::VarConvertDict;
using var_trains::VarConvertStack;

namespace {

typedef std::conditional<sizeof(long) == 8, long long, int>::type LongHeld;
typedef std::conditional<sizeof(long) == 8, unsigned long long, unsigned int>::type ULongHeld;

}  // namespace

Var::Var()
{
    _Make<VarConvertStack<int>>(0);
}

Var::Var(eType v)
{
    assert(v == TYPE_NONE);
    _Make<VarConvertStack<int>>(0);
    _Cvt()->_type = TYPE_NONE;
}

Var::Var(bool v)
{
    _Make<VarConvertStack<int>>(v ? 1 : 0);
}

Var::Var(char v)
{
    _Make<VarConvertStack<int>>(static_cast<int>(v));
}

Var::Var(signed char v)
{
    _Make<VarConvertStack<int>>(static_cast<int>(v));
}

Var::Var(short v)
{
    _Make<VarConvertStack<int>>(static_cast<int>(v));
}

Var::Var(int v)
{
    _Make<VarConvertStack<int>>(v);
}

Var::Var(long v)
{
    _Make<VarConvertStack<LongHeld>>(static_cast<LongHeld>(v));
}

Var::Var(unsigned char v)
{
    _Make<VarConvertStack<unsigned int>>(static_cast<unsigned int>(v));
}

Var::Var(unsigned short v)
{
    _Make<VarConvertStack<unsigned int>>(static_cast<unsigned int>(v));
}

Var::Var(unsigned int v)
{
    _Make<VarConvertStack<unsigned int>>(v);
}

Var::Var(unsigned long v)
{
    _Make<VarConvertStack<ULongHeld>>(static_cast<ULongHeld>(v));
}

Var::Var(wchar_t v)
{
    _Make<VarConvertStack<unsigned int>>(static_cast<unsigned int>(v));
}

Var::Var(long long v)
{
    _Make<VarConvertStack<long long>>(v);
}

Var::Var(unsigned long long v)
{
    _Make<VarConvertStack<unsigned long long>>(v);
}

Var::Var(float v)
{
    _Make<VarConvertStack<double>>(static_cast<double>(v));
}

Var::Var(double v)
{
    _Make<VarConvertStack<double>>(v);
}

void Var::_MakeText(const char* data, size_t length, bool parse)
{
    _Make<VarConvertStack<int>>(0);
    Var v = parse ? _VarParser::Assigned(data, length, 0) : Var(ByteArray(data, length), false);
    Swap(v);
}

Var::Var(const char* text, bool parse)
{
    _MakeText(text ? text : "", text ? strlen(text) : 0, parse);
}

Var::Var(const ByteArray& text, bool parse)
{
    if (!parse || DocDetectKind(text.View()) == 0) {
        // The text itself, sharing its buffer.
        _Make<VarConvertStack<ByteArray>>(text);
        return;
    }
    _MakeText(text.data(), text.size(), true);
}

Var::Var(const std::string& text, bool parse)
{
    _MakeText(text.data(), text.size(), parse);
}

Var::Var(const var_trains::VarDict& dict)
{
    _Make<VarConvertDict<Var>>(dict);
}

Var::Var(const Var& o)
{
    o._Cvt()->CopyTo(_storage);
}

Var::~Var()
{
    _Cvt()->Destroy();
}

Var& Var::operator=(const Var& o)
{
    if (this != &o) {
        // o may live inside this value, or hold this value as a child.
        Var t(var_trains::StorableCopy(o, this));
        Swap(t);
    }
    return *this;
}

Var& Var::operator=(const ByteArray& text)
{
    Var t(text, true);
    Swap(t);
    return *this;
}

Var& Var::operator=(const std::string& text)
{
    Var t(text, true);
    Swap(t);
    return *this;
}

void Var::Swap(Var& o)
{
    unsigned char t[kStorageSize];
    memcpy(t, _storage, kStorageSize);
    memcpy(_storage, o._storage, kStorageSize);
    memcpy(o._storage, t, kStorageSize);
}

bool Var::Assign(const Var& other, int32_t* err)
{
    // other may be a child of this value, or hold this value as a child.
    const Var pinned(var_trains::StorableCopy(other, this));
    return _Cvt()->Assign(pinned, err);
}

// ---- access ------------------------------------------------------------------------------------

Var Var::operator[](int32_t index) const
{
    Var r;
    const bool rult = Get(index, r);
    assert(rult);
    (void)rult;
    return r;
}

Var Var::operator[](const std::string& key) const
{
    Var r;
    const bool rult = Get(key, r);
    assert(rult);
    (void)rult;
    return r;
}

int32_t Var::ToInt32(int32_t* err) const
{
    int32_t v = 0;
    _Cvt()->ToInt32(&v, err);
    return v;
}

uint32_t Var::ToUInt32(int32_t* err) const
{
    uint32_t v = 0;
    _Cvt()->ToUInt32(&v, err);
    return v;
}

int64_t Var::ToInt64(int32_t* err) const
{
    int64_t v = 0;
    _Cvt()->ToInt64(&v, err);
    return v;
}

uint64_t Var::ToUInt64(int32_t* err) const
{
    uint64_t v = 0;
    _Cvt()->ToUInt64(&v, err);
    return v;
}

double Var::ToDouble(int32_t* err) const
{
    double v = 0;
    _Cvt()->ToDouble(&v, err);
    return v;
}

float Var::ToFloat(int32_t* err) const
{
    return var_trains::NarrowToFloat(ToDouble(err));
}

std::string Var::ToString(int32_t flag) const
{
    std::string s;
    _Cvt()->AppendText(&s, flag);
    return s;
}

bool Var::WriteText(io_base::WriteProc writer, void* context, const Var& v, char quote)
{
    const std::string text = v.ToString(0);
    const int32_t type = v.GetType();
    const bool quoted = type >= TYPE_STRING && type != TYPE_VECTOR && type != TYPE_DICT;
    if (quoted)
        return DocWriteString(writer, context, StringView(text), quote, 1);
    return text.empty() || writer(context, text.data(), text.size());
}

template <typename K>
K Var::_RawAs() const
{
    const void* p = _Cvt()->Payload();
    switch (GetType()) {
    case TYPE_INT32:
        return static_cast<K>(*static_cast<const int*>(p));
    case TYPE_UINT32:
        return static_cast<K>(*static_cast<const unsigned int*>(p));
    case TYPE_INT64:
        return static_cast<K>(*static_cast<const long long*>(p));
    case TYPE_UINT64:
        return static_cast<K>(*static_cast<const unsigned long long*>(p));
    case TYPE_DOUBLE:
        if constexpr (std::is_floating_point<K>::value)
            return static_cast<K>(*static_cast<const double*>(p));
        else
            return var_trains::CvtRange<K>(*static_cast<const double*>(p), 0);
    default:
        return K();
    }
}

int64_t Var::_GetInt64() const
{
    const int32_t type = GetType();
    assert(type <= TYPE_UINT64);
    (void)type;
    return _RawAs<int64_t>();
}

double Var::_GetDouble() const
{
    const int32_t type = GetType();
    assert(type <= TYPE_DOUBLE);
    (void)type;
    return _RawAs<double>();
}

const ByteArray& Var::_GetString() const
{
    assert(GetType() == TYPE_STRING);
    return *static_cast<const ByteArray*>(_Cvt()->Payload());
}

// ---- arithmetic -------------------------------------------------------------------------------

namespace {

// a op b in T. Integers wrap around (computed unsigned, so no signed
// overflow); INT_MIN / -1 wraps to INT_MIN. False, leaving a as it was, for
// an integer division by zero.
template <typename T>
bool Apply(T& a, T b, int op)
{
    if constexpr (std::is_floating_point<T>::value) {
        switch (op) {
        case 0:
            a += b;
            break;
        case 1:
            a -= b;
            break;
        case 2:
            a *= b;
            break;
        default:
            a /= b;
            break;
        }
        return true;
    } else {
        typedef typename std::make_unsigned<T>::type U;
        switch (op) {
        case 0:
            a = static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
            return true;
        case 1:
            a = static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
            return true;
        case 2:
            a = static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
            return true;
        default:
            if (b == 0)
                return false;
            if (std::is_signed<T>::value && a == std::numeric_limits<T>::min() && b == static_cast<T>(-1))
                return true;
            a = a / b;
            return true;
        }
    }
}

template <typename T, typename K>
void InPlace(const void* payload, K operand, int op)
{
    T* p = const_cast<T*>(static_cast<const T*>(payload));
    T a = *p;
    if (Apply(a, static_cast<T>(operand), op))
        *p = a;
}

template <typename T>
std::string NumberText(const void* payload)
{
    return StrFormat(*static_cast<const T*>(payload), "%s");
}

}  // namespace

template <typename K>
Var& Var::_Arith(K operand, Op op)
{
    const int32_t type = GetType();
    if (op != kAdd) {
        assert(type <= TYPE_DOUBLE);
    }
    if (type > TYPE_DOUBLE) {
        if (type == TYPE_STRING) {
            const std::string text = StrFormat(operand, "%s");
            _AddText(text.data(), text.size());
        }
        return *this;
    }
    const int32_t k = var_trains::TypeCode<K>::value;
    if (k > type) {
        K own = _RawAs<K>();
        if (Apply(own, operand, op))
            *this = own;
        return *this;
    }
    const void* p = _Cvt()->Payload();
    switch (type) {
    case TYPE_INT32:
        InPlace<int>(p, operand, op);
        break;
    case TYPE_UINT32:
        InPlace<unsigned int>(p, operand, op);
        break;
    case TYPE_INT64:
        InPlace<long long>(p, operand, op);
        break;
    case TYPE_UINT64:
        InPlace<unsigned long long>(p, operand, op);
        break;
    default:
        InPlace<double>(p, operand, op);
        break;
    }
    return *this;
}

Var& Var::_AddText(const char* data, size_t length)
{
    const int32_t type = GetType();
    if (type == TYPE_STRING) {
        ByteArray* text = const_cast<ByteArray*>(static_cast<const ByteArray*>(_Cvt()->Payload()));
        text->Append(data, length);
        return *this;
    }
    if (type > TYPE_DOUBLE)
        return *this;
    const void* p = _Cvt()->Payload();
    std::string text;
    switch (type) {
    case TYPE_INT32:
        text = NumberText<int>(p);
        break;
    case TYPE_UINT32:
        text = NumberText<unsigned int>(p);
        break;
    case TYPE_INT64:
        text = NumberText<long long>(p);
        break;
    case TYPE_UINT64:
        text = NumberText<unsigned long long>(p);
        break;
    default:
        text = NumberText<double>(p);
        break;
    }
    text.append(data, length);
    return *this = text;
}

Var& Var::_Add(int32_t v)
{
    return _Arith(v, kAdd);
}

Var& Var::_Add(uint32_t v)
{
    return _Arith(v, kAdd);
}

Var& Var::_Add(int64_t v)
{
    return _Arith(v, kAdd);
}

Var& Var::_Add(uint64_t v)
{
    return _Arith(v, kAdd);
}

Var& Var::_Add(double v)
{
    return _Arith(v, kAdd);
}

Var& Var::_Add(const StringView& s)
{
    return _AddText(s.Data(), s.Size());
}

Var& Var::_Add(const char* s)
{
    return _AddText(s ? s : "", s ? strlen(s) : 0);
}

Var& Var::_Sub(int32_t v)
{
    return _Arith(v, kSub);
}

Var& Var::_Sub(uint32_t v)
{
    return _Arith(v, kSub);
}

Var& Var::_Sub(int64_t v)
{
    return _Arith(v, kSub);
}

Var& Var::_Sub(uint64_t v)
{
    return _Arith(v, kSub);
}

Var& Var::_Sub(double v)
{
    return _Arith(v, kSub);
}

Var& Var::_Mul(int32_t v)
{
    return _Arith(v, kMul);
}

Var& Var::_Mul(uint32_t v)
{
    return _Arith(v, kMul);
}

Var& Var::_Mul(int64_t v)
{
    return _Arith(v, kMul);
}

Var& Var::_Mul(uint64_t v)
{
    return _Arith(v, kMul);
}

Var& Var::_Mul(double v)
{
    return _Arith(v, kMul);
}

Var& Var::_Div(int32_t v)
{
    return _Arith(v, kDiv);
}

Var& Var::_Div(uint32_t v)
{
    return _Arith(v, kDiv);
}

Var& Var::_Div(int64_t v)
{
    return _Arith(v, kDiv);
}

Var& Var::_Div(uint64_t v)
{
    return _Arith(v, kDiv);
}

Var& Var::_Div(double v)
{
    return _Arith(v, kDiv);
}

namespace {

// Calls the operation of o's number type with o's value; false when o is no
// number.
template <typename F>
bool WithNumber(const Var& o, F f)
{
    const void* p = o._Payload();
    switch (o.GetType()) {
    case Var::TYPE_INT32:
        f(static_cast<int32_t>(*static_cast<const int*>(p)));
        return true;
    case Var::TYPE_UINT32:
        f(static_cast<uint32_t>(*static_cast<const unsigned int*>(p)));
        return true;
    case Var::TYPE_INT64:
        f(static_cast<int64_t>(*static_cast<const long long*>(p)));
        return true;
    case Var::TYPE_UINT64:
        f(static_cast<uint64_t>(*static_cast<const unsigned long long*>(p)));
        return true;
    case Var::TYPE_DOUBLE:
        f(*static_cast<const double*>(p));
        return true;
    default:
        return false;
    }
}

}  // namespace

Var& Var::operator+=(const Var& o)
{
    if (o.GetType() == TYPE_STRING) {
        const ByteArray text(o._GetString());  // o may be this value
        return _AddText(text.data(), text.size());
    }
    WithNumber(o, [this](auto v) { this->_Add(v); });
    return *this;
}

Var& Var::operator-=(const Var& o)
{
    const int32_t type = o.GetType();
    assert(type <= TYPE_DOUBLE);
    (void)type;
    WithNumber(o, [this](auto v) { this->_Sub(v); });
    return *this;
}

Var& Var::operator*=(const Var& o)
{
    const int32_t type = o.GetType();
    assert(type <= TYPE_DOUBLE);
    (void)type;
    WithNumber(o, [this](auto v) { this->_Mul(v); });
    return *this;
}

Var& Var::operator/=(const Var& o)
{
    const int32_t type = o.GetType();
    assert(type <= TYPE_DOUBLE);
    (void)type;
    WithNumber(o, [this](auto v) { this->_Div(v); });
    return *this;
}

// ---- comparison ---------------------------------------------------------------------------------

namespace {

template <typename T>
int Sign(T d)
{
    return d > 0 ? 1 : (d < 0 ? -1 : 0);
}

}  // namespace

int Var::Compare(int64_t x) const
{
    const int32_t type = GetType();
    if (type <= TYPE_UINT64) {
        const int64_t a = _GetInt64();
        return a < x ? -1 : (a > x ? 1 : 0);
    }
    if (type == TYPE_DOUBLE)
        return Sign(_RawAs<double>() - static_cast<double>(x));
    return type == TYPE_STRING ? 1 : -1;
}

int Var::Compare(double x) const
{
    const int32_t type = GetType();
    if (type <= TYPE_DOUBLE)
        return Sign(_RawAs<double>() - x);
    return type == TYPE_STRING ? 1 : -1;
}

int Var::Compare(const std::string& s) const
{
    if (GetType() != TYPE_STRING)
        return -1;
    return _GetString().View().Compare(StringView(s));
}

int Var::Compare(const Var& o) const
{
    const int32_t type = o.GetType();
    if (type <= TYPE_UINT64)
        return Compare(o._GetInt64());
    if (type == TYPE_DOUBLE)
        return Compare(o._GetDouble());
    if (type == TYPE_STRING) {
        if (GetType() != TYPE_STRING)
            return -1;
        return _GetString().View().Compare(o._GetString().View());
    }
    return -1;
}

}  // namespace kivo

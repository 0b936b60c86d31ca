#include "kivo/common/variant.h"

#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "kivo/common/document.h"

namespace {

using kivo::ByteArray;
using kivo::Var;
using kivo::var_trains::FromVar;
typedef std::vector<Var> VarVector;
typedef std::map<std::string, Var> VarDict;

const int32_t kUntouched = 1;  // the error out-value before a conversion

struct Point {
    int32_t x;
    int32_t y;
};

struct Record {
    std::string name;
    int32_t count;
};

// ---- storage ------------------------------------------------------------------------

TEST(VarTest, StorageIsSixWords)
{
    EXPECT_EQ(6 * sizeof(void*), sizeof(Var));
    // Whatever a converter holds fits in place: the largest in-place payload
    // is the text; a four-word object fits too.
    struct FourWords {
        void* w[4];
    };
    FourWords f = {};
    Var v(f);
    EXPECT_EQ(Var::TYPE_OBJECT, v.GetType());
}

// ---- type mapping -------------------------------------------------------------------------

struct MappingRow {
    const char* what;
    Var value;
    Var::eType type;
    const char* text;
};

TEST(VarTest, ConstructorsMapArgumentTypes)
{
    const Var::eType long_type = sizeof(long) == 8 ? Var::TYPE_INT64 : Var::TYPE_INT32;
    const Var::eType ulong_type = sizeof(long) == 8 ? Var::TYPE_UINT64 : Var::TYPE_UINT32;
    VarDict dict;
    dict["k"] = Var(2);
    const MappingRow rows[] = {
        {"default", Var(), Var::TYPE_INT32, "0"},
        {"bool", Var(true), Var::TYPE_INT32, "1"},
        {"char", Var('A'), Var::TYPE_INT32, "65"},
        {"signed char", Var(static_cast<signed char>(-5)), Var::TYPE_INT32, "-5"},
        {"short", Var(static_cast<short>(-300)), Var::TYPE_INT32, "-300"},
        {"int", Var(-7), Var::TYPE_INT32, "-7"},
        {"long", Var(-8L), long_type, "-8"},
        {"unsigned char", Var(static_cast<unsigned char>(200)), Var::TYPE_UINT32, "200"},
        {"unsigned short", Var(static_cast<unsigned short>(65535)), Var::TYPE_UINT32, "65535"},
        {"unsigned int", Var(4000000000u), Var::TYPE_UINT32, "4000000000"},
        {"unsigned long", Var(9UL), ulong_type, "9"},
        {"wchar_t", Var(L'A'), Var::TYPE_UINT32, "65"},
        {"long long", Var(-5000000000LL), Var::TYPE_INT64, "-5000000000"},
        {"int64_t", Var(static_cast<int64_t>(-1)), Var::TYPE_INT64, "-1"},
        {"unsigned long long", Var(18446744073709551615ULL), Var::TYPE_UINT64, "18446744073709551615"},
        {"uint64_t", Var(static_cast<uint64_t>(3)), Var::TYPE_UINT64, "3"},
        {"float", Var(1.5f), Var::TYPE_DOUBLE, "1.5"},
        {"double", Var(0.1), Var::TYPE_DOUBLE, "0.1"},
        {"double whole", Var(2.0), Var::TYPE_DOUBLE, "2.0"},
        {"double large", Var(1e16), Var::TYPE_DOUBLE, "1.0e+16"},
        {"const char*", Var("[1]"), Var::TYPE_STRING, "[1]"},
        {"std::string", Var(std::string("a\0b", 3)), Var::TYPE_STRING, nullptr},
        {"ByteArray", Var(ByteArray("xy", 2)), Var::TYPE_STRING, "xy"},
        {"parsed list", Var("[1]", true), Var::TYPE_VECTOR, "[1]"},
        {"parsed dict", Var(std::string("{'k':2}"), true), Var::TYPE_DICT, "{'k':2}"},
        {"unparsed", Var(std::string("{'k':2}"), false), Var::TYPE_STRING, "{'k':2}"},
        {"map", Var(dict), Var::TYPE_DICT, "{'k':2}"},
        {"none", Var(Var::TYPE_NONE), Var::TYPE_NONE, "0"},
        {"null text", Var(static_cast<const char*>(nullptr)), Var::TYPE_STRING, ""},
        {"double large negative", Var(-1e20), Var::TYPE_DOUBLE, "-100000000000000000000.0"},
        {"double small", Var(5e-6), Var::TYPE_DOUBLE, "0.000005"},
    };
    for (const MappingRow& row : rows) {
        EXPECT_EQ(row.type, row.value.GetType()) << row.what;
        if (row.text) {
            EXPECT_EQ(row.text, row.value.ToString()) << row.what;
        }
    }
    EXPECT_EQ(std::string("a\0b", 3), rows[21].value.ToString());
    EXPECT_EQ(0, Var(Var::TYPE_NONE).ToInt32());
}

TEST(VarTest, ObjectsInPlaceAndOnTheHeap)
{
    int target = 0;
    void* p = &target;
    Var vp(p);
    EXPECT_EQ(Var::TYPE_OBJECT, vp.GetType());
    EXPECT_TRUE(vp.TypeId() == typeid(void*));
    EXPECT_EQ("Pv", vp.ToString());
    void* back = nullptr;
    EXPECT_TRUE(FromVar(vp, &back));
    EXPECT_EQ(p, back);

    const Point pt = {3, 4};
    Var vs(pt);
    Point out = {0, 0};
    EXPECT_TRUE(FromVar(vs, &out));
    EXPECT_EQ(4, out.y);
    // The wrong type is refused before the payload is touched.
    int32_t err = kUntouched;
    EXPECT_FALSE(FromVar(vp, &out, &err));
    EXPECT_EQ(-2, err);
    err = kUntouched;
    EXPECT_FALSE(FromVar(Var("text"), &out, &err));
    EXPECT_EQ(-5, err);

    const Record rec = {"update", 7};
    Var vh(kivo::MakeHeapValue(rec));
    EXPECT_EQ(Var::TYPE_OBJECT, vh.GetType());
    EXPECT_TRUE(vh.TypeId() == typeid(Record));
    Record got;
    EXPECT_TRUE(FromVar(vh, &got));
    EXPECT_EQ("update", got.name);
    EXPECT_EQ(7, got.count);
    Var copy(vh);
    EXPECT_EQ(vh._Payload(), copy._Payload());  // shared, not copied
}

// Only trivially copyable objects live in the value's own storage (whose
// words Swap exchanges raw); any other object is a shared heap copy.
TEST(VarTest, ObjectsThatAreNotTriviallyCopyableLiveOnTheHeap)
{
    struct Rec {
        std::string name;
    };
    Var u;
    u = Rec{"abc"};
    EXPECT_EQ(Var::TYPE_OBJECT, u.GetType());
    EXPECT_TRUE(u.TypeId() == typeid(Rec));
    Var other("[1]", true);
    u.Swap(other);
    other.Swap(u);
    Var copy(u);
    EXPECT_EQ(u._Payload(), copy._Payload());  // shared, not in place
    const unsigned char* self = reinterpret_cast<const unsigned char*>(&u);
    const unsigned char* at = static_cast<const unsigned char*>(u._Payload());
    EXPECT_TRUE(at < self || at >= self + sizeof(Var));

    std::vector<Var> many(8, u);
    many.resize(64, Var(Rec{std::string(100, 'x')}));
    Rec got;
    ASSERT_TRUE(FromVar(many[3], &got));
    EXPECT_EQ("abc", got.name);
    ASSERT_TRUE(FromVar(many[63], &got));
    EXPECT_EQ(std::string(100, 'x'), got.name);
    EXPECT_TRUE(copy.Assign(Var(Rec{"def"})));
    ASSERT_TRUE(FromVar(copy, &got));
    EXPECT_EQ("def", got.name);
    ASSERT_TRUE(FromVar(u, &got));
    EXPECT_EQ("abc", got.name);

    // A small trivially copyable object stays in place.
    const Point p = {1, 2};
    Var vp(p);
    self = reinterpret_cast<const unsigned char*>(&vp);
    at = static_cast<const unsigned char*>(vp._Payload());
    EXPECT_TRUE(at >= self && at < self + sizeof(Var));
}

TEST(VarTest, TypedAssignmentReplacesTheType)
{
    Var v(5);
    v = 2.5;
    EXPECT_EQ(Var::TYPE_DOUBLE, v.GetType());
    v = static_cast<unsigned char>(7);
    EXPECT_EQ(Var::TYPE_UINT32, v.GetType());
    v = "[1]";  // a C text is kept as it is
    EXPECT_EQ(Var::TYPE_STRING, v.GetType());
    v = std::string("[1, 2]");  // std::string and ByteArray always parse
    EXPECT_EQ(Var::TYPE_VECTOR, v.GetType());
    EXPECT_EQ(2u, v.Size());
    v = ByteArray(std::string("{'a': 1}"));
    EXPECT_EQ(Var::TYPE_DICT, v.GetType());
    EXPECT_EQ(Var::TYPE_INT64, v["a"].GetType());
    v = Var::TYPE_NONE;
    EXPECT_EQ(Var::TYPE_NONE, v.GetType());
    const Var& same = v;
    v = same;  // self-assignment keeps the value
    EXPECT_EQ(Var::TYPE_NONE, v.GetType());
}

TEST(VarTest, SwapExchangesEverything)
{
    Var text("abc");
    Var vec("[1,2,3]", true);
    text.Swap(vec);
    EXPECT_EQ(Var::TYPE_VECTOR, text.GetType());
    EXPECT_EQ("[1,2,3]", text.ToString());
    EXPECT_EQ(Var::TYPE_STRING, vec.GetType());
    EXPECT_EQ("abc", vec.ToString());
}

// ---- conversions and the range rules ----------------------------------------------------------

enum Target { kI32, kU32, kI64, kU64, kDbl };

struct RangeRow {
    const char* what;
    Var from;
    Target to;
    const char* expect;
    int32_t err;
};

std::string Convert(const Var& v, Target to, int32_t* err)
{
    std::string s;
    switch (to) {
    case kI32:
        kivo::FormatValue(v.ToInt32(err), &s);
        break;
    case kU32:
        kivo::FormatValue(v.ToUInt32(err), &s);
        break;
    case kI64:
        kivo::FormatValue(v.ToInt64(err), &s);
        break;
    case kU64:
        kivo::FormatValue(v.ToUInt64(err), &s);
        break;
    case kDbl:
        kivo::FormatValue(v.ToDouble(err), &s);
        break;
    }
    return s;
}

TEST(VarTest, RangeRules)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    void* obj = nullptr;
    const RangeRow rows[] = {
        // from int32
        {"i32 -1 u32", Var(-1), kU32, "0", -3},
        {"i32 -1 u64", Var(-1), kU64, "0", -3},
        {"i32 -5 i64", Var(-5), kI64, "-5", kUntouched},
        {"i32 -5 dbl", Var(-5), kDbl, "-5.0", kUntouched},
        // from uint32
        {"u32 max i32", Var(0x80000000u), kI32, "2147483647", -4},
        {"u32 i32 ok", Var(0x7FFFFFFFu), kI32, "2147483647", kUntouched},
        {"u32 i64", Var(0xFFFFFFFFu), kI64, "4294967295", kUntouched},
        {"u32 u64", Var(0xFFFFFFFFu), kU64, "4294967295", kUntouched},
        // from int64
        {"i64 below i32", Var(-2147483649LL), kI32, "-2147483648", -3},
        {"i64 i32 min ok", Var(-2147483648LL), kI32, "-2147483648", kUntouched},
        {"i64 above i32", Var(2147483648LL), kI32, "2147483647", -4},
        {"i64 below u32", Var(-1LL), kU32, "0", -3},
        {"i64 above u32", Var(4294967296LL), kU32, "4294967295", -4},
        {"i64 below u64", Var(-1LL), kU64, "0", -3},
        {"i64 2^53+1 dbl", Var(9007199254740993LL), kDbl, "9007199254740992.0", kUntouched},
        // from uint64
        {"u64 above i32", Var(0x80000000ULL), kI32, "2147483647", -4},
        {"u64 above u32", Var(0x100000000ULL), kU32, "4294967295", -4},
        {"u64 above i64", Var(0x8000000000000000ULL), kI64, "9223372036854775807", -4},
        {"u64 i64 ok", Var(0x7FFFFFFFFFFFFFFFULL), kI64, "9223372036854775807", kUntouched},
        // from double: rounded half away from zero, bounds before rounding
        {"2.5 i32", Var(2.5), kI32, "3", kUntouched},
        {"-2.5 i32", Var(-2.5), kI32, "-3", kUntouched},
        {"2.4 i32", Var(2.4), kI32, "2", kUntouched},
        {"i32 max exact", Var(2147483647.0), kI32, "2147483647", kUntouched},
        {"i32 max+0.4", Var(2147483647.4), kI32, "2147483647", -4},
        {"just below i32 max", Var(2147483646.4), kI32, "2147483646", kUntouched},
        {"i32 max+0.6", Var(2147483647.6), kI32, "2147483647", -4},
        {"i32 min-0.6", Var(-2147483648.6), kI32, "-2147483648", -3},
        {"u32 round up", Var(4294967294.6), kU32, "4294967295", kUntouched},
        {"u32 above", Var(4294967295.4), kU32, "4294967295", -4},
        {"u32 negative", Var(-0.1), kU32, "0", -3},
        {"i64 bound", Var(9.2233720368e18), kI64, "9223372036800000000", kUntouched},
        {"i64 above", Var(9.2233720369e18), kI64, "9223372036854775807", -4},
        {"i64 below", Var(-9.2233720369e18), kI64, "-9223372036854775808", -3},
        {"u64 bound", Var(1.8446744073e19), kU64, "18446744072999999488", kUntouched},
        {"u64 above", Var(1.8446744074e19), kU64, "18446744073709551615", -4},
        {"u64 negative", Var(-1.0), kU64, "0", -3},
        {"nan i32", Var(nan), kI32, "0", -2},
        {"nan u64", Var(nan), kU64, "0", -2},
        {"inf i32", Var(inf), kI32, "2147483647", -4},
        {"-inf u64", Var(-inf), kU64, "0", -3},
        // from text: parsed with radix detection, then the copy rule
        {"text hex", Var("0x10"), kI32, "16", kUntouched},
        {"text binary", Var("0b101"), kU64, "5", kUntouched},
        {"text trailing", Var("12abc"), kI32, "12", -2},
        {"text not a number", Var("abc"), kI64, "0", -2},
        {"text negative u32", Var("-5"), kU32, "0", -3},
        {"text above u32", Var("4294967296"), kU32, "4294967295", -4},
        {"text real", Var(" 2.5 "), kDbl, "2.5", kUntouched},
        {"text real to int", Var("2.5"), kI32, "2", -2},
        // others
        {"vector", Var("[1]", true), kI32, "0", kUntouched},
        {"dict", Var("{'a':1}", true), kDbl, "0.0", kUntouched},
        {"object", Var(obj), kI32, "0", -5},
        {"none", Var(Var::TYPE_NONE), kU32, "0", kUntouched},
    };
    for (const RangeRow& row : rows) {
        int32_t err = kUntouched;
        EXPECT_EQ(row.expect, Convert(row.from, row.to, &err)) << row.what;
        EXPECT_EQ(row.err, err) << row.what;
        // A null error pointer is always allowed and gives the same value.
        EXPECT_EQ(row.expect, Convert(row.from, row.to, nullptr)) << row.what;
    }
    int32_t err = kUntouched;
    EXPECT_FALSE(Var(obj).ToBool(&err));
    EXPECT_EQ(-5, err);
    EXPECT_TRUE(Var("7").ToBool());
    EXPECT_FLOAT_EQ(0.25f, Var(0.25).ToFloat());
    EXPECT_TRUE(std::isinf(Var(1e300).ToFloat()));
}

// Narrow targets, as the Lua bridge and typed getters read them.
TEST(VarTest, NarrowTargets)
{
    struct Row {
        const char* what;
        std::function<std::string(int32_t*)> convert;
        const char* expect;
        int32_t err;
    };
    auto as_text = [](long long v) { return std::to_string(v); };
    auto u8 = [&](const Var& v) {
        return [&as_text, v](int32_t* err) {
            uint8_t o = 9;
            FromVar(v, &o, err);
            return as_text(o);
        };
    };
    auto i8 = [&](const Var& v) {
        return [&as_text, v](int32_t* err) {
            int8_t o = 9;
            FromVar(v, &o, err);
            return as_text(o);
        };
    };
    auto i16 = [&](const Var& v) {
        return [&as_text, v](int32_t* err) {
            int16_t o = 9;
            FromVar(v, &o, err);
            return as_text(o);
        };
    };
    auto u16 = [&](const Var& v) {
        return [&as_text, v](int32_t* err) {
            uint16_t o = 9;
            FromVar(v, &o, err);
            return as_text(o);
        };
    };
    auto boolean = [&](const Var& v) {
        return [&as_text, v](int32_t* err) {
            bool o = false;
            FromVar(v, &o, err);
            return as_text(o);
        };
    };
    const Row rows[] = {
        {"u8 -1", u8(Var(-1)), "0", -3},
        {"u8 255", u8(Var(255)), "255", kUntouched},
        {"u8 256", u8(Var(256)), "255", -4},
        {"u8 254.6", u8(Var(254.6)), "255", kUntouched},
        {"u8 255.4", u8(Var(255.4)), "255", -4},
        {"u8 255.6", u8(Var(255.6)), "255", -4},
        {"u8 -0.4", u8(Var(-0.4)), "0", -3},
        {"u8 text 300", u8(Var("300")), "255", -4},
        {"u8 u64 huge", u8(Var(0xFFFFFFFFFFULL)), "255", -4},
        {"i8 200", i8(Var(200)), "127", -4},
        {"i8 -200", i8(Var(-200)), "-128", -3},
        {"i16 40000", i16(Var(40000)), "32767", -4},
        {"i16 -40000", i16(Var(-40000)), "-32768", -3},
        {"u16 70000", u16(Var(70000u)), "65535", -4},
        {"u16 text -1", u16(Var("-1")), "0", -3},
        {"bool 0.25", boolean(Var(0.25)), "1", kUntouched},
        {"bool text 0x0", boolean(Var("0x0")), "0", kUntouched},
        {"bool text 2", boolean(Var("2")), "1", kUntouched},
        {"bool u64 2^32", boolean(Var(0x100000000ULL)), "1", -4},
    };
    for (const Row& row : rows) {
        int32_t err = kUntouched;
        EXPECT_EQ(row.expect, row.convert(&err)) << row.what;
        EXPECT_EQ(row.err, err) << row.what;
    }
    float f = 0;
    EXPECT_TRUE(FromVar(Var("1.5"), &f));
    EXPECT_FLOAT_EQ(1.5f, f);
    EXPECT_TRUE(FromVar(Var(-1e300), &f));
    EXPECT_TRUE(std::isinf(f) && f < 0);
}

TEST(VarTest, AssignKeepsTheOwnType)
{
    int32_t err = kUntouched;
    Var n(1);
    EXPECT_TRUE(n.Assign(Var("0x20"), &err));
    EXPECT_EQ(Var::TYPE_INT32, n.GetType());
    EXPECT_EQ(32, n.ToInt32());
    EXPECT_TRUE(n.Assign(Var(5000000000LL), &err));
    EXPECT_EQ(2147483647, n.ToInt32());
    EXPECT_EQ(-4, err);
    err = kUntouched;
    void* obj = nullptr;
    EXPECT_FALSE(n.Assign(Var(obj), &err));
    EXPECT_EQ(-5, err);
    EXPECT_EQ(0, n.ToInt32());

    Var d(0.0);
    EXPECT_TRUE(d.Assign(Var(3u)));
    EXPECT_EQ(Var::TYPE_DOUBLE, d.GetType());
    EXPECT_DOUBLE_EQ(3.0, d.ToDouble());

    // A text target takes only texts.
    Var t("old");
    err = kUntouched;
    EXPECT_FALSE(t.Assign(Var(5), &err));
    EXPECT_EQ(-2, err);
    EXPECT_EQ("old", t.ToString());
    EXPECT_TRUE(t.Assign(Var("new")));
    EXPECT_EQ("new", t.ToString());

    // A vector target copies a vector or appends the items of a list text,
    // each assigned from its text (containers parsed, numbers kept as text).
    Var vec("[9]", true);
    EXPECT_TRUE(vec.Assign(Var("[1, [2]]")));
    EXPECT_EQ("[9,'1',[2]]", vec.ToString());
    EXPECT_TRUE(vec.Assign(Var("[7,8]", true)));
    EXPECT_EQ("[7,8]", vec.ToString());
    err = kUntouched;
    EXPECT_FALSE(vec.Assign(Var(1), &err));
    EXPECT_EQ(-2, err);
    // A malformed text keeps the items before the fault and reports -2.
    Var part("[]", true);
    err = kUntouched;
    EXPECT_FALSE(part.Assign(Var("[3, 'x"), &err));
    EXPECT_EQ(-2, err);
    EXPECT_EQ("['3']", part.ToString());
    Var dpart("{}", true);
    err = kUntouched;
    EXPECT_FALSE(dpart.Assign(Var("a = 1\nb = 'x"), &err));
    EXPECT_EQ(-2, err);
    EXPECT_EQ("{'a':'1'}", dpart.ToString());
    EXPECT_TRUE(vec.Assign(vec));
    EXPECT_EQ("[7,8]", vec.ToString());

    // A dictionary target takes a dictionary or a dictionary text of any form.
    Var dict("{'z': 0}", true);
    EXPECT_TRUE(dict.Assign(Var("a = 1; b = [2]")));
    EXPECT_EQ("{'a':'1','b':[2],'z':0}", dict.ToString());
    EXPECT_TRUE(dict.Assign(Var("{'q':1}", true)));
    EXPECT_EQ("{'q':1}", dict.ToString());
    EXPECT_TRUE(dict.Assign(Var("[s1]\nx=1\n")));
    EXPECT_EQ("{'q':1,'s1':'\nx=1\n'}", dict.ToString());
    EXPECT_FALSE(dict.Assign(Var(1.5)));

    // A heap object takes a copy of a record of its own type.
    Record r1 = {"a", 1};
    Record r2 = {"b", 2};
    Var h1(kivo::MakeHeapValue(r1));
    Var shared(h1);
    EXPECT_TRUE(h1.Assign(Var(kivo::HeapValue<Record>(r2))));
    Record got;
    FromVar(h1, &got);
    EXPECT_EQ("b", got.name);
    FromVar(shared, &got);
    EXPECT_EQ("a", got.name);  // the shared record was not written
    err = kUntouched;
    EXPECT_FALSE(h1.Assign(Var("x"), &err));
    EXPECT_EQ(-5, err);
    err = kUntouched;
    EXPECT_FALSE(h1.Assign(Var(1), &err));
    EXPECT_EQ(-2, err);

    Point p = {1, 2};
    Point q = {5, 6};
    Var vp(p);
    EXPECT_TRUE(vp.Assign(Var(q)));
    Point back = {};
    FromVar(vp, &back);
    EXPECT_EQ(5, back.x);
}

// ---- arithmetic -------------------------------------------------------------------------------------

struct ArithRow {
    const char* what;
    Var start;
    std::function<void(Var&)> op;
    Var::eType type;
    const char* text;
};

TEST(VarTest, ArithmeticPromotion)
{
    const ArithRow rows[] = {
        {"i32 + u32", Var(5), [](Var& v) { v._Add(uint32_t(2)); }, Var::TYPE_UINT32, "7"},
        {"i32 -1 + u64 1", Var(-1), [](Var& v) { v._Add(uint64_t(1)); }, Var::TYPE_UINT64, "0"},
        {"i32 max + 1 wraps", Var(2147483647), [](Var& v) { v._Add(int32_t(1)); }, Var::TYPE_INT32, "-2147483648"},
        {"i32 5 - u32 7", Var(5), [](Var& v) { v._Sub(uint32_t(7)); }, Var::TYPE_UINT32, "4294967294"},
        {"u32 1 - i32 2", Var(1u), [](Var& v) { v._Sub(int32_t(2)); }, Var::TYPE_UINT32, "4294967295"},
        {"u64 10 + i32 -1", Var(10ULL), [](Var& v) { v._Add(int32_t(-1)); }, Var::TYPE_UINT64, "9"},
        {"i64 * i32", Var(3000000000LL), [](Var& v) { v._Mul(int32_t(-3)); }, Var::TYPE_INT64, "-9000000000"},
        {"i32 * i64", Var(3), [](Var& v) { v._Mul(int64_t(3000000000LL)); }, Var::TYPE_INT64, "9000000000"},
        {"i64 min * -1 wraps", Var(std::numeric_limits<long long>::min()), [](Var& v) { v._Mul(int64_t(-1)); },
         Var::TYPE_INT64, "-9223372036854775808"},
        {"i32 7 / 2", Var(7), [](Var& v) { v._Div(int32_t(2)); }, Var::TYPE_INT32, "3"},
        {"i32 -7 / 2", Var(-7), [](Var& v) { v._Div(int32_t(2)); }, Var::TYPE_INT32, "-3"},
        {"dbl 7 / 2", Var(7.0), [](Var& v) { v._Div(int32_t(2)); }, Var::TYPE_DOUBLE, "3.5"},
        {"i32 7 / 2.0", Var(7), [](Var& v) { v._Div(2.0); }, Var::TYPE_DOUBLE, "3.5"},
        {"u32 7 / 2", Var(7u), [](Var& v) { v._Div(uint32_t(2)); }, Var::TYPE_UINT32, "3"},
        {"u64 max / -1 unsigned", Var(18446744073709551615ULL), [](Var& v) { v._Div(int32_t(-1)); },
         Var::TYPE_UINT64, "1"},
        {"i32 min / -1", Var(std::numeric_limits<int>::min()), [](Var& v) { v._Div(int32_t(-1)); }, Var::TYPE_INT32,
         "-2147483648"},
        {"i64 min / -1", Var(std::numeric_limits<long long>::min()), [](Var& v) { v._Div(int64_t(-1)); },
         Var::TYPE_INT64, "-9223372036854775808"},
        {"i32 / 0 unchanged", Var(7), [](Var& v) { v._Div(int32_t(0)); }, Var::TYPE_INT32, "7"},
        {"i32 / u64 0 unchanged", Var(7), [](Var& v) { v._Div(uint64_t(0)); }, Var::TYPE_INT32, "7"},
        {"i64 /= i32 0 unchanged", Var(8LL), [](Var& v) { v /= Var(0); }, Var::TYPE_INT64, "8"},
        {"i32 + dbl", Var(1), [](Var& v) { v._Add(0.5); }, Var::TYPE_DOUBLE, "1.5"},
        {"text + i32", Var("ab"), [](Var& v) { v._Add(int32_t(12)); }, Var::TYPE_STRING, "ab12"},
        {"text + dbl", Var("x"), [](Var& v) { v._Add(1234567.0); }, Var::TYPE_STRING, "x1.23457e+06"},
        {"text + 0.1", Var("x"), [](Var& v) { v._Add(0.1); }, Var::TYPE_STRING, "x0.1"},
        {"text + view", Var("ab"), [](Var& v) { v._Add(kivo::StringView("cd")); }, Var::TYPE_STRING, "abcd"},
        {"i32 + text", Var(12), [](Var& v) { v._Add("ab"); }, Var::TYPE_STRING, "12ab"},
        {"dbl + text", Var(2.5), [](Var& v) { v._Add("x"); }, Var::TYPE_STRING, "2.5x"},
        {"vector + i32", Var("[1]", true), [](Var& v) { v._Add(int32_t(1)); }, Var::TYPE_VECTOR, "[1]"},
        {"none + i32", Var(Var::TYPE_NONE), [](Var& v) { v._Add(int32_t(1)); }, Var::TYPE_NONE, "0"},
        {"i32 += vector", Var(1), [](Var& v) { v += Var("[2]", true); }, Var::TYPE_INT32, "1"},
        {"i32 += text", Var(1), [](Var& v) { v += Var("x"); }, Var::TYPE_STRING, "1x"},
        {"text += itself", Var("ab"), [](Var& v) { v += v; }, Var::TYPE_STRING, "abab"},
        {"i32 += u64", Var(1), [](Var& v) { v += Var(2ULL); }, Var::TYPE_UINT64, "3"},
        {"i32 *= dbl", Var(2), [](Var& v) { v *= Var(2.5); }, Var::TYPE_DOUBLE, "5.0"},
        {"dbl -= i32", Var(2.5), [](Var& v) { v -= Var(1); }, Var::TYPE_DOUBLE, "1.5"},
        {"u32 /= i32", Var(9u), [](Var& v) { v /= Var(2); }, Var::TYPE_UINT32, "4"},
    };
    for (const ArithRow& row : rows) {
        Var v(row.start);
        row.op(v);
        EXPECT_EQ(row.type, v.GetType()) << row.what;
        EXPECT_EQ(row.text, v.ToString()) << row.what;
    }
    Var d(1.0);
    d._Div(0.0);
    EXPECT_TRUE(std::isinf(d.ToDouble()));
}

TEST(VarTest, ArithmeticContractBreaks)
{
    EXPECT_DEATH(Var("x")._Mul(int32_t(2)), "type <= TYPE_DOUBLE");
    EXPECT_DEATH(Var("[1]", true)._Sub(1.0), "type <= TYPE_DOUBLE");
    EXPECT_DEATH(Var(Var::TYPE_NONE)._Div(int32_t(1)), "type <= TYPE_DOUBLE");
    Var n(1);
    EXPECT_DEATH(n -= Var("x"), "type <= TYPE_DOUBLE");
    EXPECT_DEATH(n /= Var("[1]", true), "type <= TYPE_DOUBLE");
}

// ---- comparison -----------------------------------------------------------------------------------------

TEST(VarTest, CompareAcrossTypes)
{
    struct Row {
        const char* what;
        Var a;
        Var b;
        int expect;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {"text above number", Var("a"), Var(100), 1},
        {"number below text", Var(100), Var("a"), -1},
        {"vector below number", Var("[1]", true), Var(1), -1},
        {"vector below text", Var("[1]", true), Var("a"), -1},
        {"number against vector", Var(1), Var("[1]", true), -1},
        {"none below", Var(Var::TYPE_NONE), Var(0), -1},
        {"i64 -1 vs u64 1", Var(-1LL), Var(1ULL), -1},
        {"u64 max read raw", Var(18446744073709551615ULL), Var(0), -1},
        {"nan equals 0", Var(nan), Var(0), 0},
        {"int vs double", Var(2), Var(2.5), -1},
        {"double vs int", Var(2.5), Var(2), 1},
        {"double equal int", Var(2.0), Var(2u), 0},
        {"text order", Var("a"), Var("b"), -1},
        {"text prefix", Var("ab"), Var("a"), 1},
        {"text equal", Var("ab"), Var("ab"), 0},
        {"u32 vs i32", Var(3000000000u), Var(-1), 1},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.expect, row.a.Compare(row.b)) << row.what;
    EXPECT_EQ(1, Var("x").Compare(int64_t(5)));
    EXPECT_EQ(1, Var("x").Compare(5.0));
    EXPECT_EQ(-1, Var("[1]", true).Compare(5.0));
    EXPECT_EQ(0, Var(5).Compare(int64_t(5)));
    EXPECT_EQ(-1, Var(5).Compare(std::string("5")));
    EXPECT_EQ(0, Var("5").Compare(std::string("5")));
    EXPECT_EQ(1, Var(2.5).Compare(int64_t(2)));
}

TEST(VarTest, RawGetters)
{
    EXPECT_EQ(-1, Var(-1)._GetInt64());
    EXPECT_EQ(4294967295LL, Var(0xFFFFFFFFu)._GetInt64());
    EXPECT_EQ(-1, Var(18446744073709551615ULL)._GetInt64());
    EXPECT_DOUBLE_EQ(3.0, Var(3u)._GetDouble());
    EXPECT_EQ("ab", Var("ab")._GetString().View().ToString());
    EXPECT_DEATH(Var(1.5)._GetInt64(), "type <= TYPE_UINT64");
    EXPECT_DEATH(Var("1")._GetDouble(), "type <= TYPE_DOUBLE");
    EXPECT_DEATH(Var(1)._GetString(), "GetType\\(\\) == TYPE_STRING");
    EXPECT_DEATH(Var{Var::TYPE_INT32}, "v == TYPE_NONE");
}

// ---- containers ----------------------------------------------------------------------------------------------

TEST(VarTest, VectorOperations)
{
    Var v("[]", true);
    ASSERT_EQ(Var::TYPE_VECTOR, v.GetType());
    Var& last = v.Child(5);
    EXPECT_EQ(6u, v.Size());
    last = Var("x");
    EXPECT_EQ("[0,0,0,0,0,'x']", v.ToString());
    EXPECT_TRUE(v.Set(7, Var(1.5)));
    EXPECT_EQ(8u, v.Size());
    Var out(42);
    EXPECT_FALSE(v.Get(8, out));
    EXPECT_EQ(42, out.ToInt32());  // unchanged
    EXPECT_TRUE(v.Get(7, out));
    EXPECT_EQ("1.5", out.ToString());
    v.Append(Var(9));
    EXPECT_EQ(9u, v.Size());
    EXPECT_EQ(9, v[8].ToInt32());

    // Negative indexes never reach outside the vector.
    EXPECT_FALSE(v.Get(-1, out));
    EXPECT_FALSE(v.Set(-1, Var(1)));
    EXPECT_FALSE(v.Set(std::numeric_limits<int32_t>::min(), Var(1)));
    EXPECT_EQ(9u, v.Size());
    EXPECT_DEATH(v.Child(-1), "index >= 0");
    EXPECT_DEATH(v[-1], "rult");
    EXPECT_DEATH(v[100], "rult");

    VarVector::const_iterator b;
    VarVector::const_iterator e;
    v.GetIter(&b, true);
    v.GetIter(&e, false);
    EXPECT_EQ(9, e - b);

    v.Clear();
    EXPECT_EQ(0u, v.Size());
    EXPECT_EQ("[]", v.ToString());
}

TEST(VarTest, VectorChildrenOfItself)
{
    Var v("[1, 2]", true);
    v.Set(1, v.Child(0));  // the value lives in the vector being changed
    EXPECT_EQ("[1,1]", v.ToString());
    v.Append(v.Child(1));
    EXPECT_EQ("[1,1,1]", v.ToString());
    v.Append(v);  // a copy of itself, not a cycle
    EXPECT_EQ("[1,1,1,[1,1,1]]", v.ToString());
    v = v.Child(3);
    EXPECT_EQ("[1,1,1]", v.ToString());
    v.Set(0, v);
    EXPECT_EQ("[[1,1,1],1,1]", v.ToString());
}

// A value stored somewhere inside itself is stored as a copy of what it was:
// no container ends up holding itself (which ToString would follow forever
// and which would never be freed).
TEST(VarTest, StoringAValueInsideItselfStoresACopy)
{
    typedef std::pair<std::string, Var> Pair;
    struct Row {
        const char* what;
        const char* start;
        std::function<void(Var&)> op;
        const char* text;
    };
    const Row rows[] = {
        {"Child(0) = v", "[1, 2]", [](Var& v) { v.Child(0) = v; }, "[[1,2],2]"},
        {"Child(0).Assign(v)", "[[9], 2]", [](Var& v) { EXPECT_TRUE(v.Child(0).Assign(v)); }, "[[[9],2],2]"},
        {"Child(0).Child(0) = v", "[[1]]", [](Var& v) { v.Child(0).Child(0) = v; }, "[[[[1]]]]"},
        {"Child(0).Child(0).Assign(v)", "[[[5]]]", [](Var& v) { EXPECT_TRUE(v.Child(0).Child(0).Assign(v)); },
         "[[[[[5]]]]]"},
        {"Child(0).Set(0, v)", "[[1]]", [](Var& v) { EXPECT_TRUE(v.Child(0).Set(0, v)); }, "[[[[1]]]]"},
        {"Child(0).Append(v)", "[[1]]", [](Var& v) { v.Child(0).Append(v); }, "[[1,[[1]]]]"},
        {"Child(\"a\") = d", "{'a': 1}", [](Var& v) { v.Child("a") = v; }, "{'a':{'a':1}}"},
        {"Child(\"a\").Assign(d)", "{'a': {}}", [](Var& v) { EXPECT_TRUE(v.Child("a").Assign(v)); },
         "{'a':{'a':{}}}"},
        {"Child(\"a\").Set(\"b\", d)", "{'a': {}}", [](Var& v) { EXPECT_TRUE(v.Child("a").Set("b", v)); },
         "{'a':{'b':{'a':{}}}}"},
        {"Child(\"a\").Append(pair(b, d))", "{'a': {}}",
         [](Var& v) { v.Child("a").Append(Var(kivo::HeapValue<Pair>(Pair("b", v)))); }, "{'a':{'b':{'a':{}}}}"},
        {"Child(1).Child(\"k\") = v", "[0, {'k': 1}]", [](Var& v) { v.Child(1).Child("k") = v; },
         "[0,{'k':[0,{'k':1}]}]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Var v(row.start, true);
        row.op(v);
        EXPECT_EQ(row.text, v.ToString());
        // The stored copy does not follow later changes of the value.
        const std::string before = v.ToString();
        Var outer(v);
        v.Clear();
        EXPECT_EQ(before, outer.ToString());
    }
}

TEST(VarTest, DictionaryOperations)
{
    Var d("{}", true);
    ASSERT_EQ(Var::TYPE_DICT, d.GetType());
    Var& k = d.Child("k");
    EXPECT_EQ(Var::TYPE_INT32, k.GetType());
    EXPECT_EQ(0, k.ToInt32());
    Var out(5);
    EXPECT_FALSE(d.Get("missing", out));
    EXPECT_EQ(5, out.ToInt32());
    EXPECT_TRUE(d.Set("b", Var("x")));
    EXPECT_TRUE(d.Get("b", out));
    EXPECT_EQ("x", out.ToString());
    EXPECT_EQ("{'b':'x','k':0}", d.ToString());

    d.Append(Var(kivo::HeapValue<std::pair<std::string, Var>>(std::make_pair(std::string("a"), Var(1)))));
    d.Append(Var(kivo::HeapValue<std::pair<std::string, Var>>(std::make_pair(std::string("b"), Var(2)))));
    EXPECT_EQ("{'a':1,'b':'x','k':0}", d.ToString());  // an existing key keeps its value
    EXPECT_DEATH(d.Append(Var(1)), "rult");
    EXPECT_DEATH(d["nope"], "rult");

    VarDict::const_iterator it;
    d.GetIter(&it, true);
    EXPECT_EQ("a", it->first);
    EXPECT_EQ(3u, d.Size());
    d.Clear();
    EXPECT_EQ(0u, d.Size());
}

TEST(VarTest, ContainerOperationsOnScalarsAreContractBreaks)
{
    Var n(1);
    EXPECT_EQ(0u, n.Size());
    n.Clear();
    EXPECT_EQ(1, n.ToInt32());
    Var out;
    EXPECT_DEATH(n.Get(0, out), "virtual bool kivo::var_trains::CvtBase::Get\\(int32_t, kivo::Var ?&\\) const");
    EXPECT_DEATH(n.Set("k", out), "CvtBase::Set");
    EXPECT_DEATH(n.Child(0), "CvtBase::Child");
    EXPECT_DEATH(n.Append(out), "CvtBase::Append");
    VarVector::const_iterator it;
    EXPECT_DEATH(n.GetIter(&it, true), "virtual void kivo::var_trains::CvtBase::GetIter\\(void ?\\*, bool\\) const");
    Var vec("[1]", true);
    EXPECT_DEATH(vec.Get("k", out), "CvtBase::Get");
    Var dict("{'a':1}", true);
    EXPECT_DEATH(dict.Child(0), "CvtBase::Child");
}

// ---- copy on write --------------------------------------------------------------------------------------------

TEST(VarTest, CopiesNeverSeeEachOthersChanges)
{
    Var a("[1, [2, 3], {'k': 'v'}]", true);
    Var b(a);
    EXPECT_EQ(a._Payload(), b._Payload());  // shared until a change
    b.Set(0, Var(10));
    EXPECT_NE(a._Payload(), b._Payload());
    EXPECT_EQ("[1,[2,3],{'k':'v'}]", a.ToString());
    EXPECT_EQ("[10,[2,3],{'k':'v'}]", b.ToString());

    // Through children: each level is copied on its own change.
    Var c(a);
    c.Child(1).Set(0, Var(20));
    c.Child(2).Child("k") = Var("w");
    EXPECT_EQ("[1,[2,3],{'k':'v'}]", a.ToString());
    EXPECT_EQ("[1,[20,3],{'k':'w'}]", c.ToString());

    Var d(a);
    d.Append(Var(4));
    Var e(a);
    e.Clear();
    Var f(a);
    f.Assign(Var("[5]", true));
    EXPECT_EQ("[1,[2,3],{'k':'v'}]", a.ToString());
    EXPECT_EQ(4u, d.Size());
    EXPECT_EQ(0u, e.Size());
    EXPECT_EQ("[5]", f.ToString());

    Var g("{'x': 1}", true);
    Var h(g);
    h.Set("x", Var(2));
    h.Child("y");
    Var i(g);
    i.Append(Var(kivo::HeapValue<std::pair<std::string, Var>>(std::make_pair(std::string("z"), Var(3)))));
    EXPECT_EQ("{'x':1}", g.ToString());
    EXPECT_EQ("{'x':2,'y':0}", h.ToString());
    EXPECT_EQ("{'x':1,'z':3}", i.ToString());

    // Texts share their buffer and copy it on change.
    Var t("abc");
    Var u(t);
    u._Add("d");
    EXPECT_EQ("abc", t.ToString());
    EXPECT_EQ("abcd", u.ToString());
}

// ---- texts -----------------------------------------------------------------------------------------------------------

TEST(VarTest, TextsToValues)
{
    struct Row {
        const char* text;
        Var::eType type;
        const char* back;
    };
    const Row rows[] = {
        {" [1, 2.5, x] ", Var::TYPE_VECTOR, "[1,2.5,'x']"},
        {"[1,'a']", Var::TYPE_VECTOR, "[1,'a']"},
        {"{'k':2}", Var::TYPE_DICT, "{'k':2}"},
        {"{'b': [1, {'c': 'd'}], 'a': \"x\"}", Var::TYPE_DICT, "{'a':'x','b':[1,{'c':'d'}]}"},
        {"[1,2", Var::TYPE_STRING, "[1,2"},
        {"[1,2] x", Var::TYPE_STRING, "[1,2] x"},
        {"{a=1}", Var::TYPE_DICT, "{}"},
        {"[]", Var::TYPE_VECTOR, "[]"},
        {"[1, a-b, 2]", Var::TYPE_VECTOR, "[1,'a']"},
        {"[0x10, -2.5e1, 017]", Var::TYPE_VECTOR, "[16,-25.0,15]"},
        {"{'a': '[1]', 'b': abc}", Var::TYPE_DICT, "{'a':[1],'b':'abc'}"},
        {"{'a': 1, 'a': 2}", Var::TYPE_DICT, "{'a':2}"},
        {"['''a'b''']", Var::TYPE_VECTOR, "['''a'b''']"},
        {"['x y', # note\n 3]", Var::TYPE_VECTOR, "['x y',3]"},
        {"[[[]]]", Var::TYPE_VECTOR, "[[[]]]"},
        {"plain text", Var::TYPE_STRING, "plain text"},
        {"  padded  ", Var::TYPE_STRING, "  padded  "},
        {"['unterminated]", Var::TYPE_VECTOR, "[]"},
        {"{'a': [1, 2}", Var::TYPE_DICT, "{}"},
    };
    for (const Row& row : rows) {
        const Var v(row.text, true);
        EXPECT_EQ(row.type, v.GetType()) << row.text;
        EXPECT_EQ(row.back, v.ToString()) << row.text;
    }
    const Var v(" [1, 2.5, x] ", true);
    EXPECT_EQ(Var::TYPE_INT64, v[0].GetType());
    EXPECT_EQ(Var::TYPE_DOUBLE, v[1].GetType());
    EXPECT_EQ(Var::TYPE_STRING, v[2].GetType());
    // A number in quotes stays a text in a list.
    EXPECT_EQ(Var::TYPE_STRING, Var("['12']", true)[0].GetType());
}

// A double's own text reads back as the same double, and no text of digits
// turns into NaN inside a list.
TEST(VarTest, NumberTextsReadBackExactly)
{
    for (double d : {1.993, 123456.789, -2.675, 1e15 + 0.3}) {
        const std::string text = Var(d).ToString();
        EXPECT_EQ(d, Var(text, true).ToDouble()) << text;
        EXPECT_EQ(d, Var("[" + text + "]", true)[0].ToDouble()) << text;
    }
    const std::string one = "[1" + std::string(400, '0') + "e-400, 0." + std::string(400, '0') + "1e401]";
    EXPECT_EQ("[1.0,1.0]", Var(one, true).ToString());
}

std::string Nested(int levels)
{
    return std::string(levels, '[') + "1" + std::string(levels, ']');
}

TEST(VarTest, DeepNestingIsRefused)
{
    const Var ok(Nested(Var::kMaxParseDepth), true);
    EXPECT_EQ(Var::TYPE_VECTOR, ok.GetType());
    EXPECT_EQ(Nested(Var::kMaxParseDepth), ok.ToString());

    const std::string too_deep = Nested(Var::kMaxParseDepth + 1);
    const Var refused(too_deep, true);
    EXPECT_EQ(Var::TYPE_STRING, refused.GetType());
    EXPECT_EQ(too_deep, refused.ToString());

    // Far deeper than any stack would take.
    const std::string huge = std::string(200000, '[') + std::string(200000, ']');
    Var v;
    v = huge;
    EXPECT_EQ(Var::TYPE_STRING, v.GetType());
    EXPECT_EQ(huge.size(), v.ToString().size());
    const std::string dicts = "{'a':" + std::string(50000, '[') + std::string(50000, ']') + "}";
    EXPECT_EQ(Var::TYPE_STRING, Var(dicts, true).GetType());

    // Within a text assigned into a vector, only the deep item stays text.
    Var vec("[]", true);
    vec.Assign(Var("[1, " + too_deep + "]"));
    EXPECT_EQ(2u, vec.Size());
    EXPECT_EQ(Var::TYPE_STRING, vec[1].GetType());
}

TEST(VarTest, ValuesToTexts)
{
    Var v("[]", true);
    v.Append(Var(1));
    v.Append(Var("a"));
    v.Append(Var(2.0));
    v.Append(Var(Var::TYPE_NONE));
    void* obj = nullptr;
    v.Append(Var(obj));
    Var d("{}", true);
    d.Set("k", Var(2));
    v.Append(d);
    EXPECT_EQ("[1,'a',2.0,'0','Pv',{'k':2}]", v.ToString());

    // The text goes back to an equal value.
    const Var round(v.ToString(), true);
    EXPECT_EQ(v.ToString(), round.ToString());

    std::string out;
    EXPECT_TRUE(Var::WriteText(kivo::io_base::StringWriteProc, &out, Var("t"), '"'));
    EXPECT_TRUE(Var::WriteText(kivo::io_base::StringWriteProc, &out, Var(3), '"'));
    EXPECT_TRUE(Var::WriteText(kivo::io_base::StringWriteProc, &out, d, '"'));
    EXPECT_EQ("\"t\"3{'k':2}", out);
}

// ---- streams ----------------------------------------------------------------------------------------------------------

TEST(VarTest, WriteToStreams)
{
    unsigned char buf[256];
    {
        kivo::StreamBuff s(buf, sizeof(buf), 0, true);
        Var(5).WriteTo(s);
        Var(2.5).WriteTo(s);
        Var("ab").WriteTo(s);
        EXPECT_FALSE(s.IsFail());
        ASSERT_EQ(4u + 8u + 6u, s.DataLen());
        int32_t i = 0;
        double x = 0;
        std::string t;
        kivo::StreamBuff r(buf, sizeof(buf), s.DataLen(), true);
        r >> i >> x >> t;
        EXPECT_EQ(5, i);
        EXPECT_DOUBLE_EQ(2.5, x);
        EXPECT_EQ("ab", t);
    }
    {
        // Containers: the count, then the elements; never a holder address.
        kivo::StreamBuff s(buf, sizeof(buf), 0, true);
        Var("{'a': [1, 'x']}", true).WriteTo(s);
        EXPECT_FALSE(s.IsFail());
        kivo::StreamBuff r(buf, sizeof(buf), s.DataLen(), true);
        uint32_t n = 0;
        std::string key;
        uint32_t m = 0;
        long long one = 0;
        std::string x;
        r >> n >> key >> m >> one >> x;
        EXPECT_EQ(1u, n);
        EXPECT_EQ("a", key);
        EXPECT_EQ(2u, m);
        EXPECT_EQ(1, one);
        EXPECT_EQ("x", x);
        EXPECT_EQ(static_cast<int64_t>(s.DataLen()), r.GetPos());
    }
    {
        // A heap-held record is written as its own bytes.
        const Point p = {0x11223344, 0x55667788};
        kivo::StreamBuff s(buf, sizeof(buf), 0, true);
        Var(kivo::HeapValue<Point>(p)).WriteTo(s);
        EXPECT_FALSE(s.IsFail());
        ASSERT_EQ(sizeof(Point), s.DataLen());
        EXPECT_EQ(0, memcmp(&p, buf, sizeof(Point)));
        // One that holds pointers of its own is refused.
        const Record rec = {"n", 1};
        Var(kivo::HeapValue<Record>(rec)).WriteTo(s);
        EXPECT_TRUE(s.IsFail());
    }
    {
        char text[64];
        kivo::StreamBuff s(text, sizeof(text), 0, false);
        Var(12).WriteTo(s);
        Var(-1LL).WriteTo(s);
        EXPECT_EQ("12-1", std::string(text, s.DataLen()));
        Var("ab").WriteTo(s);
        EXPECT_TRUE(s.IsFail());
        s.SetFail(false);
        Var("[1]", true).WriteTo(s);
        EXPECT_TRUE(s.IsFail());
    }
}

}  // namespace

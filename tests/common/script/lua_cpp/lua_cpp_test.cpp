// The binding core, call wrappers and classes against a real interpreter.

#include "common/script/lua_cpp/lua_cpp.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <stdlib.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo/common/function.h"
#include "lua_test_script.h"

using kivo::Var;

namespace {

class LuaCppTest : public ::testing::Test, public LuaScript {
protected:
    LuaCppTest() : LuaScript(&state) {}

    lua_State* L() { return state.GetState(); }

    LuaState state;
};

// ---- values between the stack and kivo::Var --------------------------------------------

TEST_F(LuaCppTest, PushVarGivesEveryTypeItsLuaForm)
{
    struct Case {
        Var value;
        int lua_type;
        const char* text;
    };
    Var dict("{'a':1,'b':'x'}", true);
    ASSERT_EQ(Var::TYPE_DICT, dict.GetType());
    const Case cases[] = {
        {Var(-5), LUA_TNUMBER, "-5"},
        {Var(4000000000u), LUA_TNUMBER, "4000000000"},
        {Var(-(1LL << 40)), LUA_TNUMBER, "-1099511627776"},
        {Var(1ULL << 40), LUA_TNUMBER, "1099511627776"},
        {Var(2.5), LUA_TNUMBER, "2.5"},
        {Var("text"), LUA_TSTRING, "text"},
        {Var("[1,'a',2.5]", true), LUA_TTABLE, "{1:1,2:a,3:2.5,}"},
        {Var("[]", true), LUA_TTABLE, "{}"},
        {dict, LUA_TTABLE, ""},  // key order of a hash: checked below
    };
    for (const Case& c : cases) {
        LuaPushVar(L(), c.value);
        ASSERT_EQ(1, lua_gettop(L())) << c.text;
        EXPECT_EQ(c.lua_type, lua_type(L(), 1)) << c.text;
        if (*c.text != 0) {
            EXPECT_EQ(c.text, LuaValueText(L(), 1));
        }
        lua_settop(L(), 0);
    }
    // Integer types stay integers, the double a float.
    LuaPushVar(L(), Var(7u));
    EXPECT_TRUE(lua_isinteger(L(), -1));
    LuaPushVar(L(), Var(7.0));
    EXPECT_FALSE(lua_isinteger(L(), -1));
    lua_settop(L(), 0);

    LuaPushVar(L(), dict);
    lua_setglobal(L(), "d");
    EXPECT_EQ("1", Eval("d.a"));
    EXPECT_EQ("x", Eval("d.b"));
}

TEST_F(LuaCppTest, PushVarKeepsEmbeddedNulBytes)
{
    const std::string bytes("a\0b\0", 4);
    LuaPushVar(L(), Var(bytes));
    size_t n = 0;
    const char* s = lua_tolstring(L(), -1, &n);
    EXPECT_EQ(bytes, std::string(s, n));
}

TEST_F(LuaCppTest, PushVarWithoutLuaFormPushesNilAndSaysSo)
{
    int object = 3;
    const Var values[] = {Var(&object), Var(Var::TYPE_NONE)};
    for (const Var& v : values) {
        testing::internal::CaptureStdout();
        LuaPushVar(L(), v);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find("this type cnt't push to LUA, type=")) << out;
        ASSERT_EQ(1, lua_gettop(L()));
        EXPECT_TRUE(lua_isnil(L(), 1));
        lua_settop(L(), 0);
    }
}

TEST_F(LuaCppTest, ValueToVarCoversEveryLuaType)
{
    ASSERT_EQ(0, Exec("s = 'abc'; l = '[1,2]'; b = true; i = 42; f = 2.5; t = {a = 1}; "
                     "fn = function() end; co = coroutine.create(fn)"));
    struct Case {
        const char* global;
        Var::eType type;
        const char* text;
    };
    const Case cases[] = {
        {"s", Var::TYPE_STRING, "abc"},
        {"l", Var::TYPE_VECTOR, ""},
        {"b", Var::TYPE_INT32, "1"},
        {"i", Var::TYPE_INT64, "42"},
        {"f", Var::TYPE_DOUBLE, "2.5"},
        {"nothing", Var::TYPE_STRING, "nil"},
        {"fn", Var::TYPE_STRING, "(lua func)"},
        {"co", Var::TYPE_STRING, "(thread obj)"},
        {"print", Var::TYPE_INT32, ""},
        {"t", Var::TYPE_DICT, ""},
    };
    for (const Case& c : cases) {
        lua_getglobal(L(), c.global);
        Var v(0);
        EXPECT_TRUE(LuaValueToVar(L(), -1, v));
        EXPECT_EQ(c.type, v.GetType()) << c.global;
        if (*c.text != 0) {
            EXPECT_EQ(c.text, v.ToString()) << c.global;
        }
        lua_settop(L(), 0);
    }
    Var none(0);
    LuaValueToVar(L(), 5, none);
    EXPECT_EQ("none", none.ToString());

    // Userdata become the object they point at: a light one its pointer, a
    // pointer of this binding (not to a Var) the native object.
    int x = 0;
    lua_pushlightuserdata(L(), &x);
    LuaPushObjectPointer<int>(L(), &x, false);
    for (int index = 1; index <= 2; ++index) {
        Var held(0);
        LuaValueToVar(L(), index, held);
        ASSERT_EQ(Var::TYPE_OBJECT, held.GetType()) << index;
        EXPECT_EQ(static_cast<void*>(&x), *static_cast<void* const*>(held._Payload())) << index;
    }
    lua_settop(L(), 0);
}

int NoOp(lua_State*)
{
    return 0;
}

TEST_F(LuaCppTest, ValueTextOfAddressesAndPointers)
{
    int x = 0;
    const std::string at = std::to_string(reinterpret_cast<uintptr_t>(&x));
    lua_pushlightuserdata(L(), &x);
    EXPECT_EQ(at + "(lightuserdata)", LuaValueText(L(), -1));
    lua_pushcfunction(L(), &NoOp);
    EXPECT_EQ(std::to_string(reinterpret_cast<uintptr_t>(&NoOp)) + "(cfunc)", LuaValueText(L(), -1));
    // A full userdata: its own address and the text of its metatable.
    LuaPushObjectPointer<int>(L(), &x, false);
    const std::string block = std::to_string(reinterpret_cast<uintptr_t>(lua_touserdata(L(), -1)));
    ASSERT_TRUE(lua_getmetatable(L(), -1));
    const std::string meta = LuaValueText(L(), -1);
    lua_pop(L(), 1);
    EXPECT_NE(std::string::npos, meta.find("value:")) << meta;
    EXPECT_EQ("{'userdata':" + block + ",'metatable':" + meta + "}", LuaValueText(L(), -1));
    lua_settop(L(), 0);
}

TEST_F(LuaCppTest, ValueToVarOfTableKeepsScalarsAndMarksSelf)
{
    ASSERT_EQ(0, Exec("t = {a = 1, b = {}}; t.me = t"));
    lua_getglobal(L(), "t");
    Var v(0);
    testing::internal::CaptureStdout();
    LuaValueToVar(L(), -1, v);
    const std::string out = testing::internal::GetCapturedStdout();
    lua_settop(L(), 0);
    ASSERT_EQ(Var::TYPE_DICT, v.GetType());
    EXPECT_EQ(3u, v.Size());
    EXPECT_EQ(1, v["a"].ToInt32());
    EXPECT_EQ(Var::TYPE_INT32, v["b"].GetType());
    EXPECT_EQ(0, v["b"].ToInt32());
    EXPECT_EQ("{self}", v["me"].ToString());
    EXPECT_EQ("unkow lua type to c++ base type, lua type = 5\n", out);

    // A key that holds itself: its text ends at the cycle.
    ASSERT_EQ(0, Exec("k = {}; k[k] = 2"));
    lua_getglobal(L(), "k");
    Var keyed(0);
    LuaValueToVar(L(), -1, keyed);
    lua_settop(L(), 0);
    EXPECT_EQ(2, keyed["{{self}:2,}"].ToInt32());
}

TEST_F(LuaCppTest, ToBaseReadsEachLuaScalar)
{
    ASSERT_EQ(0, Exec("s = ' 0x10'; b = true; i = -7; f = 2.6"));
    struct Case {
        const char* global;
        int as_int;
        long long as_ll;
        unsigned char as_byte;
        bool as_bool;
    };
    const Case cases[] = {
        {"s", 16, 16, 16, true},
        {"b", 1, 1, 1, true},
        {"i", -7, -7, 0, true},  // below the byte's range: its minimum
        {"f", 3, 3, 3, true},    // rounded half away from zero
    };
    for (const Case& c : cases) {
        lua_getglobal(L(), c.global);
        int i = 99;
        long long ll = 99;
        unsigned char byte = 99;
        bool flag = false;
        EXPECT_TRUE(LuaToBase(L(), -1, &i));
        EXPECT_TRUE(LuaToBase(L(), -1, &ll));
        EXPECT_TRUE(LuaToBase(L(), -1, &byte));
        EXPECT_TRUE(LuaToBase(L(), -1, &flag));
        EXPECT_EQ(c.as_int, i) << c.global;
        EXPECT_EQ(c.as_ll, ll) << c.global;
        EXPECT_EQ(c.as_byte, byte) << c.global;
        EXPECT_EQ(c.as_bool, flag) << c.global;
        lua_settop(L(), 0);
    }

    // Views: texts as they are, numbers as their text.
    lua_pushinteger(L(), 12);
    lua_pushstring(L(), "ab");
    kivo::StringView a;
    kivo::StringView b;
    EXPECT_TRUE(LuaToBase(L(), 1, &a));
    EXPECT_TRUE(LuaToBase(L(), 2, &b));
    EXPECT_EQ("12", a.ToString());
    EXPECT_EQ("ab", b.ToString());
    lua_settop(L(), 0);

    // A table is no scalar: the value is left alone.
    lua_newtable(L());
    int untouched = 5;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(LuaToBase(L(), -1, &untouched));
    EXPECT_EQ("unkow lua type to c++ base type, lua type = 5\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(5, untouched);
    lua_settop(L(), 0);
}

TEST_F(LuaCppTest, ValueTextOfTablesAndCyclesOfAnyLength)
{
    EXPECT_EQ("{1:10,2:20,}", Eval("{10, 20}"));
    EXPECT_EQ("nil", Eval("nil"));
    EXPECT_EQ("1", Eval("true"));

    ASSERT_EQ(0, Exec("t = {}; t[1] = t"));
    EXPECT_EQ("{1:{self},}", Eval("t"));
    // Two and three tables in a ring: the walk ends where it came back.
    ASSERT_EQ(0, Exec("a = {}; b = {a}; a[1] = b"));
    EXPECT_EQ("{1:{1:{self},},}", Eval("a"));
    ASSERT_EQ(0, Exec("x = {}; y = {}; z = {}; x[1] = y; y[1] = z; z[1] = x"));
    EXPECT_EQ("{1:{1:{1:{self},},},}", Eval("x"));
    // A table as a key of itself.
    ASSERT_EQ(0, Exec("k = {}; k[k] = 1"));
    EXPECT_EQ("{{self}:1,}", Eval("k"));
    // Deep nesting is cut, not followed to the end of the C stack.
    ASSERT_EQ(0, Exec("deep = {}; local c = deep; for i = 1, 100000 do c[1] = {}; c = c[1] end"));
    EXPECT_NE(std::string::npos, Eval("deep").find("{...}"));
}

TEST_F(LuaCppTest, DumpAndReportLeaveTheStackAsItWas)
{
    lua_pushinteger(L(), 5);
    lua_pushstring(L(), "s");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, LuaReportError(L(), "oops"));
    EXPECT_EQ("oops\nLUA Dump stack size = 2\n5\ns\n\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, lua_gettop(L()));
}

// ---- LuaState and LuaRef --------------------------------------------------------------------

TEST_F(LuaCppTest, GetGlobalFollowsPathsAndRestoresTheStack)
{
    ASSERT_EQ(0, Exec("t = {x = 'ex', 'one', 'two'}; g = 7"));
    lua_pushinteger(L(), 1);  // something of the caller's
    struct Case {
        const char* path;
        int type;
        const char* text;
    };
    const Case cases[] = {
        {"t.x", LUA_TSTRING, "ex"},     {"t[2]", LUA_TSTRING, "two"}, {"g", LUA_TNUMBER, "7"},
        {"missing.x", LUA_TNIL, "nil"}, {"g.x", LUA_TNIL, "nil"},     {"missing[1]", LUA_TNIL, "nil"},
    };
    for (const Case& c : cases) {
        {
            LuaRef r = state.GetGlobal(c.path);
            EXPECT_EQ(c.type, r.Type()) << c.path;
            EXPECT_EQ(c.text, LuaValueText(L(), -1)) << c.path;
        }
        EXPECT_EQ(1, lua_gettop(L())) << c.path;
    }
}

TEST_F(LuaCppTest, GetGlobalRaisesWhatItsLookUpRaises)
{
    // An "__index" that raises fails the look-up, as the same look-up in the
    // script would; one that gives nothing still gives nil.
    ASSERT_EQ(0, Exec("local function refuse(_, k) if k ~= 'quiet' then error('refuse ' .. tostring(k)) end end\n"
                      "t = setmetatable({}, {__index = refuse})\n"
                      "u = vector_int:new(); vm = getmetatable(u); debug.setmetatable(u, {__index = refuse})\n"
                      "setmetatable(_G, {__index = refuse})"));
    lua_pushinteger(L(), 1);  // something of the caller's
    struct Case {
        const char* path;
        const char* error;  // part of the error text; null: nil
    };
    const Case cases[] = {
        {"Check", "refuse Check"}, {"t.x", "refuse x"},    {"t[2]", "refuse 2"}, {"u.x", "refuse x"},
        {"Check.x", "refuse Check"}, {"quiet", nullptr}, {"t.quiet", nullptr},
    };
    for (const Case& c : cases) {
        int type = -2;
        std::string error;
        const bool ok = state.Protect(
            [&](lua_State*) {
                LuaRef r = state.GetGlobal(c.path);
                type = r.Type();
            },
            &error);
        EXPECT_EQ(c.error == nullptr, ok) << c.path;
        if (c.error != nullptr) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << c.path << ": " << error;
        } else {
            EXPECT_EQ(LUA_TNIL, type) << c.path;
        }
        EXPECT_EQ(1, lua_gettop(L())) << c.path;
    }
    lua_settop(L(), 0);
    ASSERT_EQ(0, Exec("setmetatable(_G, nil); debug.setmetatable(u, vm); u:delete()"));
}

TEST_F(LuaCppTest, CallGivesTheLastResult)
{
    ASSERT_EQ(0, Exec("function yes() return true end function many() return 1, 2, 3 end "
                     "function num() return '12' end"));
    bool b = false;
    EXPECT_TRUE(state.GetGlobal("yes").Call().Get(&b));
    EXPECT_TRUE(b);
    EXPECT_EQ(3, state.GetGlobal("many").Call().To<int>());
    EXPECT_EQ(12, state.GetGlobal("num").Call().To<int>());
    EXPECT_EQ(0, lua_gettop(L()));
}

TEST_F(LuaCppTest, CallOfAFunctionWithoutResultsReadsNil)
{
    ASSERT_EQ(0, Exec("function none() end"));
    lua_pushinteger(L(), 42);  // would be read as the result by mistake
    {
        LuaRef r = state.GetGlobal("none");
        r.Call();
        EXPECT_EQ(LUA_TNIL, r.Type());
        int v = 7;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(r.Get(&v));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(7, v);
    }
    EXPECT_EQ(1, lua_gettop(L()));
}

TEST_F(LuaCppTest, CallOfAFailingFunctionReportsOneLineAndGoesOn)
{
    ASSERT_EQ(0, Exec("function bad() error('broken\\ncheck') end"));
    const char* paths[] = {"bad", "not_a_function"};
    for (const char* path : paths) {
        std::string out;
        {
            LuaRef r = state.GetGlobal(path);
            testing::internal::CaptureStdout();
            r.Call();
            out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(LUA_TNIL, r.Type()) << path;
        }
        EXPECT_EQ(0u, out.find("lua call error: ")) << out;
        EXPECT_EQ(out.size() - 1, out.find('\n')) << out;  // one line
        EXPECT_EQ(0, lua_gettop(L()));
    }
    EXPECT_EQ(0, Exec("after = 1"));
}

TEST_F(LuaCppTest, DoStringReturnsTheStatusAndKeepsTheMessage)
{
    EXPECT_NE(0, state.DoString("x = "));
    EXPECT_EQ(LUA_TSTRING, lua_type(L(), -1));
    lua_settop(L(), 0);
    EXPECT_EQ(LUA_ERRRUN, state.DoString("error('e')"));
    EXPECT_NE(std::string::npos, LuaValueText(L(), -1).find("e"));
    lua_settop(L(), 0);
    EXPECT_EQ("1", Eval("__ENV__ == _ENV"));
}

// ---- pointers --------------------------------------------------------------------------------

TEST_F(LuaCppTest, PointerWithoutClassUsesTheDefaultMetatable)
{
    int x = 3;
    LuaPushObjectPointer<int>(L(), &x, false);
    lua_setglobal(L(), "p");
    EXPECT_EQ("3", Eval("p.value"));
    EXPECT_EQ(0, Exec("p.value = 5"));
    EXPECT_EQ(5, x);
    EXPECT_EQ("5", Eval("tostring(p)"));
    EXPECT_EQ("nil", Eval("p[2]"));
    EXPECT_NE(0, Exec("p[2] = 1"));
    EXPECT_EQ(5, x);
}

TEST_F(LuaCppTest, PointersToVarsAndStringsReadAsTheirValues)
{
    Var held("[4,5]", true);
    std::string text("native text");
    LuaPushObjectPointer<Var>(L(), &held, false);
    LuaPushObjectPointer<std::string>(L(), &text, false);
    Var copy(0);
    EXPECT_TRUE(LuaValueToVar(L(), 1, copy));
    EXPECT_EQ(Var::TYPE_VECTOR, copy.GetType());
    EXPECT_EQ(2u, copy.Size());
    EXPECT_EQ("native text", LuaValueText(L(), 2));
    // A second Lua value for the same object.
    LuaUserDataPush(L(), 2);
    std::string* p = 0;
    EXPECT_TRUE(LuaUserDataIs(L(), 3, &p, true));
    EXPECT_EQ(&text, p);
    EXPECT_FALSE(LuaUserDataIs(L(), 1, &p, true));  // a Var is no string
    lua_settop(L(), 0);
}

TEST_F(LuaCppTest, ForeignUserdataIsNeverReadAsARecord)
{
    lua_getglobal(L(), "io");
    lua_getfield(L(), -1, "stdout");
    EXPECT_EQ(nullptr, LuaUserDataRecord(L(), -1));
    std::vector<int>* v = 0;
    EXPECT_FALSE(LuaUserDataIs(L(), -1, &v, false));
    lua_settop(L(), 0);
    const std::string out = Printed("v = vector_int:new(); v.size(io.stdout); v:delete()");
    EXPECT_NE(std::string::npos, out.find("is not userdata type")) << out;
}

// ---- vector_int ---------------------------------------------------------------------------

TEST_F(LuaCppTest, VectorIntBehavesAsASequence)
{
    ASSERT_EQ(0, Exec("v = vector_int:new(); v:push_back(3); v:push_back(4)"));
    EXPECT_EQ("2", Eval("#v"));
    EXPECT_EQ("2", Eval("v:size()"));
    EXPECT_EQ("4", Eval("v[2].value"));
    EXPECT_EQ("[\n    3, \n    4\n]", Eval("tostring(v)"));
    EXPECT_EQ("{1:3,2:4,}", Eval("v.value"));
    ASSERT_EQ(0, Exec("v:erase(1)"));
    EXPECT_EQ("{1:4,}", Eval("v.value"));
    ASSERT_EQ(0, Exec("v:resize(3)"));
    EXPECT_EQ("{1:4,2:0,3:0,}", Eval("v.value"));
    ASSERT_EQ(0, Exec("v[2] = 9; v[3].value = 8"));
    EXPECT_EQ("{1:4,2:9,3:8,}", Eval("v.value"));
    ASSERT_EQ(0, Exec("v.value = {7, '6'}"));
    EXPECT_EQ("{1:7,2:6,}", Eval("v.value"));
    ASSERT_EQ(0, Exec("w = vector_int:new(); w:push_back_new(v[1]); w:pop_back(); w:pop_back(); w:clear()"));
    EXPECT_EQ("{1:7,2:6,}", Eval("v.value"));  // an element pointer is not freed
    EXPECT_EQ(0, Exec("v:delete(); w:delete()"));
}

TEST_F(LuaCppTest, VectorIntRefusesWrongCountsAndIndexes)
{
    struct Case {
        const char* code;
        const char* printed;
    };
    ASSERT_EQ(0, Exec("v = vector_int:new(); v:push_back(1)"));
    const Case cases[] = {
        {"r = vector_int:new(1)", "args num need 1, but input is 2"},
        {"v:resize(1, 2)", "args num need 2, but input is 3"},
        {"v:size(1)", "args num need 1, but input is 2"},
        {"v:erase(5); v:erase(0)", ""},
        {"r = v[0] or v[2]", ""},
    };
    for (const Case& c : cases) {
        const std::string out = Printed(c.code);
        if (*c.printed != 0) {
            EXPECT_EQ(0u, out.find(c.printed)) << c.code << ": " << out;
        } else {
            EXPECT_EQ("", out) << c.code;
        }
        EXPECT_EQ("{1:1,}", Eval("v.value")) << c.code;
    }
    EXPECT_EQ("nil", Eval("r"));
    EXPECT_NE(0, Exec("v[2] = 1"));
    EXPECT_EQ("{1:1,}", Eval("v.value"));
    EXPECT_EQ(0, Exec("v:delete()"));
}

TEST_F(LuaCppTest, DeletedObjectIsNeverUsedAgain)
{
    ASSERT_EQ(0, Exec("v = vector_int:new(); v:push_back(1); v:delete()"));
    const char* uses[] = {"v:push_back(2)", "v:size()", "r = v.value", "r = v[1]", "v:delete()"};
    for (const char* use : uses) {
        int status = -1;
        const std::string out = Printed(use, &status);
        EXPECT_EQ(0, status) << use;
        if (std::string(use) != "v:delete()") {
            EXPECT_NE(std::string::npos, out.find("userdata is released")) << use << ": " << out;
        }
    }
    // The class's own text function refuses it: an error, not a crash.
    EXPECT_EQ("false", Eval("tostring(pcall(tostring, v))"));
}

TEST_F(LuaCppTest, ElementPointersGoWhenTheirStorageMovesOrShrinks)
{
    ASSERT_EQ(0, Exec("v = vector_int:new(); v:reserve(4); v:push_back(1); v:push_back(2); e = v[1]; l = v[2]"));
    // Within the capacity nothing moves: the pointers stay.
    ASSERT_EQ(0, Exec("v:push_back(3); v[1] = 7; e.value = 8"));
    EXPECT_EQ("8", Eval("e.value"));
    EXPECT_EQ("{1:8,2:2,3:3,}", Eval("v.value"));
    struct Case {
        const char* change;
        bool pointers_stay;
    };
    const Case cases[] = {
        {"v:reserve(1000)", false},  // new storage
        {"v:pop_back()", false},     // shrinks
        {"v:erase(3)", false},
        {"v:clear()", false},
        {"v:resize(1)", false},
        {"v.value = {5, 6}", false},
        {"v:resize(5)", true},  // grows within the capacity
        {"v:size()", true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, Exec("v.value = {1, 2, 3}; v:reserve(64); e = v[1]; l = v[3]")) << c.change;
        ASSERT_EQ(0, Exec(c.change)) << c.change;
        const std::string out = Printed("r = e.value; s = l.value");
        if (c.pointers_stay) {
            EXPECT_EQ("", out) << c.change;
        } else {
            EXPECT_EQ(0u, out.find("userdata is released")) << c.change << ": " << out;
            EXPECT_EQ("nil", Eval("r")) << c.change;
        }
    }
    ASSERT_EQ(0, Exec("e = v[1]; v:delete()"));
    EXPECT_EQ(0u, Printed("r = e.value").find("userdata is released"));
}

TEST_F(LuaCppTest, ReserveBeyondTheMaximumIsALuaError)
{
    ASSERT_EQ(0, Exec("v = vector_int:new()"));
    EXPECT_EQ("false", Eval("tostring(pcall(v.reserve, v, math.maxinteger))"));
    EXPECT_NE(std::string::npos, Eval("select(2, pcall(v.reserve, v, math.maxinteger))").find("vector::reserve"));
    EXPECT_EQ(0, Exec("v:delete()"));
}

// ---- wrappers and classes --------------------------------------------------------------------

int g_destroyed;

struct DtorCount {
    ~DtorCount() { ++g_destroyed; }
};

int Add(int a, int b)
{
    return a + b;
}

std::string Join(const std::string& a, const kivo::StringView& b, const Var& c)
{
    return a + "|" + b.ToString() + "|" + c.ToString();
}

bool g_called;

void Touch()
{
    g_called = true;
}

int RaiseLua(lua_State* L)
{
    DtorCount guard;
    std::string text("on the way");
    return luaL_error(L, "raised %s", text.c_str());
}

int ThrowNative(lua_State*)
{
    DtorCount guard;
    throw std::runtime_error("native failure");
}

TEST_F(LuaCppTest, RegisteredFunctionsCheckTheExactCount)
{
    LuaRegFunction(L(), "add", &Add);
    LuaRegFunction(L(), "join", &Join);
    LuaRegFunction(L(), "touch", &Touch);
    EXPECT_EQ("5", Eval("add(2, 3)"));
    EXPECT_EQ("x|7|[1,2]", Eval("join('x', 7, '[1,2]')"));

    g_called = false;
    const std::string out = Printed("r = add(1, 2, 3); touch(1)");
    EXPECT_EQ(0u, out.find("args num need 2, but input is 3\nLUA Dump stack size = 3\n1\n2\n3\n\n")) << out;
    EXPECT_NE(std::string::npos, out.find("args num need 0, but input is 1")) << out;
    EXPECT_FALSE(g_called);
    EXPECT_EQ("nil", Eval("r"));
    EXPECT_EQ(0, Exec("touch()"));
    EXPECT_TRUE(g_called);

    // Parameters are read from the top down; failed ones keep their default
    // and the call goes on.
    EXPECT_EQ("unkow lua type to c++ base type, lua type = 6\n"
              "unkow lua type to c++ base type, lua type = 5\n",
              Printed("r = add({}, print)"));
    EXPECT_EQ("0", Eval("r"));
}

int ThrowFromFree(int)
{
    DtorCount guard;
    throw std::runtime_error("free failure");
}

int BoundRaise(int, lua_State* L)
{
    DtorCount guard;
    return luaL_error(L, "bound raised");
}

int BoundThrow(int, lua_State*)
{
    DtorCount guard;
    throw std::runtime_error("bound failure");
}

TEST_F(LuaCppTest, NativeFailuresUnwindWithDestructorsAndBecomeLuaErrors)
{
    // Every way of handing a native function to scripts: a C++ exception
    // becomes a Lua error, a Lua error passes our frames with their
    // destructors run.
    LuaRegFunction(L(), "throw_free", &ThrowFromFree);
    LuaRegBound(L(), "bound_raise", kivo::Bind(&BoundRaise, 0, kivo::PlaceHolder::_1));
    LuaRegBound(L(), "bound_throw", kivo::Bind(&BoundThrow, 0, kivo::PlaceHolder::_1));
    const struct {
        const char* call;
        const char* message;
    } ways[] = {
        {"pcall(throw_free, 1)", "free failure"},
        {"pcall(bound_raise)", "bound raised"},
        {"pcall(bound_throw)", "bound failure"},
    };
    for (const auto& w : ways) {
        g_destroyed = 0;
        ASSERT_EQ(0, Exec(std::string("ok, msg = ") + w.call)) << w.call;
        EXPECT_EQ(std::string("false ") + w.message, Eval("tostring(ok) .. ' ' .. msg")) << w.call;
        EXPECT_EQ(1, g_destroyed) << w.call;
    }

    state.RegFunc("raise_lua", &RaiseLua);
    state.RegFunc("throw_native", &ThrowNative);
    g_destroyed = 0;
    EXPECT_EQ("raised on the way", Eval("select(2, pcall(raise_lua))"));
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ("native failure", Eval("select(2, pcall(throw_native))"));
    EXPECT_EQ(2, g_destroyed);
    // Unprotected in the chunk: DoString gets the status.
    EXPECT_EQ(LUA_ERRRUN, Exec("throw_native()"));
    EXPECT_EQ(3, g_destroyed);
    // From a native call through LuaRef.
    testing::internal::CaptureStdout();
    EXPECT_EQ(LUA_TNIL, state.GetGlobal("raise_lua").Call().Type());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("raised on the way"));
    EXPECT_EQ(4, g_destroyed);
}

struct Counter {
    Counter() : n(0) {}
    int Add(int d)
    {
        n += d;
        return n;
    }
    int Get() const { return n; }
    int n;
};

int Twice(Counter* c, int x)
{
    return c->n * x;
}

int NewCounter(lua_State* L)
{
    Counter* c = new Counter;
    LuaToBase<int>(L, 2, &c->n);
    LuaPushPointer(L, c);
    return 1;
}

int BoundScale(int factor, lua_State* L)
{
    int x = 0;
    LuaToBase<int>(L, 1, &x);
    lua_pushinteger(L, x * factor);
    return 1;
}

TEST_F(LuaCppTest, ClassesGetConstructorsMethodsAndCopies)
{
    LuaClass<Counter>(L(), "Counter")
        .Construct(1, &LuaGuarded<&NewCounter>)
        .Method("add", &Counter::Add)
        .Method("get", &Counter::Get)
        .Function("twice", &Twice);
    ASSERT_EQ(0, Exec("c = Counter:new(4); c:add(2)"));
    EXPECT_EQ("6", Eval("c:get()"));
    EXPECT_EQ("18", Eval("c:twice(3)"));
    EXPECT_EQ(std::to_string(sizeof(Counter)), Eval("c.__len"));
    // A copy is a separate object.
    ASSERT_EQ(0, Exec("d = c:new(); d:add(1)"));
    EXPECT_EQ("6", Eval("c:get()"));
    EXPECT_EQ("7", Eval("d:get()"));

    const std::string none = Printed("e = Counter:new()");
    EXPECT_EQ(0u, none.find("args num need 2, but input is 1")) << none;
    // A method of one class on an object of another.
    const std::string other = Printed("v = vector_int:new(); r = c.add(v, 1); v:delete()");
    EXPECT_EQ(0u, other.find("is not userdata type")) << other;
    EXPECT_EQ("6", Eval("c:get()"));
    EXPECT_EQ(0, Exec("c:delete(); d:delete()"));

    LuaRegBound(L(), "scale", kivo::Bind(&BoundScale, 3, kivo::PlaceHolder::_1));
    EXPECT_EQ("21", Eval("scale(7)"));
}

// A class whose assignment fails, and a raw method that raises whatever it
// is given: setters that fail.
struct Refusing {
    Refusing() = default;
    Refusing(const Refusing&) = default;
    Refusing& operator=(const Refusing&) { throw std::runtime_error("assignment refused"); }
};

int NewRefusing(lua_State* L)
{
    LuaPushPointer(L, new Refusing);
    return 1;
}

int RefuseField(lua_State* L)
{
    return luaL_error(L, "refuse %s", luaL_tolstring(L, 2, nullptr));
}

TEST_F(LuaCppTest, AssignmentRaisesWhatItsSetterRaises)
{
    // A field assignment runs its setter as the script's own call would: a
    // setter that raises fails the assignment and stops the chunk. A field
    // that is not there takes nothing, and an integer key keeps its element
    // path.
    LuaClass<Refusing>(L(), "Refusing")
        .Construct(0, &LuaGuarded<&NewRefusing>)
        .RawMethod("refuse", &LuaGuarded<&RefuseField>);
    int x = 3;
    LuaPushObjectPointer<int>(L(), &x, false);
    lua_setglobal(L(), "p");
    ASSERT_EQ(0, Exec("r = Refusing:new(); o = Refusing:new(); v = vector_int:new(); v:push_back(1)\n"
                      "getmetatable(v).lua_set = function(_, x) error('lua set ' .. tostring(x)) end\n"
                      "getmetatable(v).yield_set = function() coroutine.yield() end\n"
                      "__def_point_metertable.lua_set = function(_, x) error('default set ' .. tostring(x)) end"));
    struct Case {
        const char* code;
        const char* error;  // part of the error text; null: the assignment works
    };
    const Case cases[] = {
        {"r.refuse = 'x'", "refuse x"},
        {"r.value = o", "assignment refused"},
        {"v.lua_set = 3", "lua set 3"},
        {"p.lua_set = 4", "default set 4"},
        {"coroutine.wrap(function() v.yield_set = 5 end)()", "yield"},
        {"v[9] = 1", "index out of range"},
        {"r.nothing = 1", nullptr},
        {"v[1] = 7", nullptr},
        {"p.value = 5", nullptr},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, Exec("after = nil"));
        const int status = state.DoString((std::string(c.code) + "; after = true").c_str());
        const std::string text = lua_gettop(L()) > 0 ? LuaValueText(L(), -1) : std::string();
        lua_settop(L(), 0);
        if (c.error != nullptr) {
            EXPECT_EQ(LUA_ERRRUN, status) << c.code;
            EXPECT_NE(std::string::npos, text.find(c.error)) << c.code << ": " << text;
            EXPECT_EQ("nil", Eval("after")) << c.code;
        } else {
            EXPECT_EQ(LUA_OK, status) << c.code << ": " << text;
            EXPECT_EQ("1", Eval("after")) << c.code;
        }
    }
    EXPECT_EQ("{1:7,}", Eval("v.value"));
    EXPECT_EQ(5, x);
    EXPECT_EQ(0, Exec("r:delete(); o:delete(); v:delete()"));
}

// ---- error paths: protected read-outs, finalizers, reports -------------------------------

TEST_F(LuaCppTest, SharedTablesPrintInFullWithinTheBound)
{
    // A table met again on another path is printed again in full; only a
    // table inside itself is "{self}".
    ASSERT_EQ(0, Exec("small = {} for i = 1, 2 do small = {small, small} end"));
    EXPECT_EQ("{1:{1:{},2:{},},2:{1:{},2:{},},}", Eval("small"));
    ASSERT_EQ(0, Exec("s = {}; u = {s, s}; s[1] = s"));
    EXPECT_EQ("{1:{1:{self},},2:{1:{self},},}", Eval("u"));

    // 40 levels that each hold the level below twice: 2^40 paths. Only the
    // bound keeps the text (of the table, and of a userdata whose metatable
    // it is) small.
    ASSERT_EQ(0, Exec("t = {} for i = 1, 40 do t = {t, t} end\n"
                      "x = vector_int:new(); xm = getmetatable(x); debug.setmetatable(x, t)"));
    for (const char* g : {"t", "x"}) {
        const std::string text = Eval(g);
        EXPECT_LT(text.size(), 70000u) << g;
        EXPECT_NE(std::string::npos, text.find("{1:{1:{1:{1:")) << g;
        EXPECT_EQ(std::string::npos, text.find("{again}")) << g;
    }
    ASSERT_EQ(0, Exec("debug.setmetatable(x, xm); x:delete()"));

    // An error report: each slot is printed in full (two userdata that share
    // their metatable show it twice), and the dump with the shared tree in
    // several slots is bounded.
    ASSERT_EQ(0, Exec("v = vector_int:new(); w = vector_int:new()"));
    lua_State* L = state.GetState();
    for (const char* g : {"v", "w"})
        lua_getglobal(L, g);
    testing::internal::CaptureStdout();
    LuaDumpStack(L);
    const std::string pair = testing::internal::GetCapturedStdout();
    lua_settop(L, 0);
    const size_t first = pair.find("'metatable':{");
    ASSERT_NE(std::string::npos, first) << pair;
    const size_t second = pair.find("'metatable':{", first + 1);
    ASSERT_NE(std::string::npos, second) << pair;
    const std::string meta = pair.substr(first, pair.find('\n', first) - first);
    EXPECT_EQ(meta, pair.substr(second, pair.find('\n', second) - second));
    EXPECT_NE(std::string::npos, meta.find("__index:")) << meta;

    for (const char* g : {"t", "t", "v", "w"})
        lua_getglobal(L, g);
    lua_pushlstring(L, std::string(200000, 'x').data(), 200000);
    testing::internal::CaptureStdout();
    LuaReportError(L, "report");
    const std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(5, lua_gettop(L));
    lua_settop(L, 0);
    EXPECT_EQ(0u, dump.find("report\nLUA Dump stack size = 5\n{1:{1:")) << dump.substr(0, 300);
    EXPECT_LT(dump.size(), 70000u);
    EXPECT_EQ(std::string::npos, dump.find("{again}"));
    ASSERT_EQ(0, Exec("v:delete(); w:delete()"));
}

TEST_F(LuaCppTest, DumpOfOneHugeSlotStaysWithinItsBound)
{
    // One table that holds the same 1 MiB text 1024 times: a 1 GiB text if
    // printed whole. The dump stops at its bound instead of building it.
    ASSERT_EQ(0, Exec("local s = string.rep('x', 1 << 20) big = {} for i = 1, 1024 do big[i] = s end"));
    lua_State* L = state.GetState();
    lua_getglobal(L, "big");
    struct rusage before;
    getrusage(RUSAGE_SELF, &before);
    testing::internal::CaptureStdout();
    LuaReportError(L, "report");
    const std::string dump = testing::internal::GetCapturedStdout();
    struct rusage after;
    getrusage(RUSAGE_SELF, &after);
    lua_settop(L, 0);
    EXPECT_LT(dump.size(), 70000u);
    EXPECT_NE(std::string::npos, dump.find("{1:xxxx")) << dump.substr(0, 100);
    // Peak memory (in KiB) grows by far less than the whole text.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64L * 1024);

    // The text of the table as a value (a key, a path) has the same bound.
    lua_getglobal(L, "big");
    const std::string text = LuaValueText(L, -1);
    lua_settop(L, 0);
    struct rusage last;
    getrusage(RUSAGE_SELF, &last);
    EXPECT_LT(text.size(), 70000u);
    EXPECT_EQ(0u, text.find("{1:xxxx"));
    EXPECT_LT(last.ru_maxrss - before.ru_maxrss, 64L * 1024);
    ASSERT_EQ(0, Exec("big = nil"));
}

// A bound function object that counts its live copies.
struct Probe {
    std::shared_ptr<int> token;
    int operator()(lua_State* L) const
    {
        lua_pushinteger(L, static_cast<lua_Integer>(token.use_count()));
        return 1;
    }
};

TEST_F(LuaCppTest, BoundFinalizerCalledByHandRunsOnce)
{
    std::shared_ptr<int> token = std::make_shared<int>(0);
    {
        LuaState own;
        LuaScript script(&own);
        LuaRegBound(own.GetState(), "probe", Probe{token});
        EXPECT_EQ(2, token.use_count());
        ASSERT_EQ(0, script.Exec("local _, h = debug.getupvalue(probe, 2)\n"
                                 "gc = getmetatable(h).__gc\n"
                                 "holder = h"));
        // Any value, no value, a foreign userdata: nothing is destroyed.
        ASSERT_EQ(0, script.Exec("gc(); gc(1); gc(io.stdout); local v = vector_int:new(); gc(v); v:delete()"));
        EXPECT_EQ(2, token.use_count());
        EXPECT_EQ("2", script.Eval("probe()"));
        ASSERT_EQ(0, script.Exec("gc(holder); gc(holder)"));
        EXPECT_EQ(1, token.use_count());
        EXPECT_EQ("function no longer available",
                  script.Eval("select(2, pcall(probe))").substr(script.Eval("select(2, pcall(probe))").size() - 28));
    }
    // Closing the state does not destroy it a second time.
    EXPECT_EQ(1, token.use_count());
}

TEST_F(LuaCppTest, ProtectEndsEveryErrorOfAReadOut)
{
    lua_State* L = state.GetState();
    lua_pushinteger(L, 7);  // the caller's stack stays as it is
    struct Case {
        const char* name;
        const char* setup;
        std::function<void(lua_State*)> readout;
        const char* error;  // part of the error text; null: succeeds
    };
    // Allocates enough for collection steps to run pending finalizers.
    auto allocate = [](lua_State* S) {
        for (int i = 0; i < 20000; ++i) {
            lua_pushfstring(S, "entry %d", i);
            lua_pop(S, 1);
        }
    };
    const Case cases[] = {
        {"finalizer fails", "setmetatable({}, {__gc = function() error('gc boom') end})", allocate, "gc boom"},
        {"finalizer yields", "setmetatable({}, {__gc = function() coroutine.yield() end})", allocate, "yield"},
        {"script function fails", "function F() error('in F') end",
         [](lua_State* S) {
             LuaState view(S);
             LuaRef f = view.GetGlobal("F");
             lua_call(S, 0, 0);
         },
         "in F"},
        {"native exception", "",
         [](lua_State*) { throw std::runtime_error("native failure"); }, "native failure"},
        {"error object", "",
         [](lua_State* S) {
             lua_newtable(S);
             lua_error(S);
         },
         "table value"},
        {"read-out", "G = 'value'",
         [](lua_State* S) {
             LuaState view(S);
             LuaRef g = view.GetGlobal("G");
             EXPECT_EQ("value", LuaValueText(S, -1));
             lua_pushstring(S, "left behind");
         },
         nullptr},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, state.DoString(c.setup)) << c.name;
        std::string error;
        const bool ok = state.Protect(c.readout, &error);
        EXPECT_EQ(c.error == nullptr, ok) << c.name;
        if (c.error != nullptr) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << c.name << ": " << error;
        }
        ASSERT_EQ(1, lua_gettop(L)) << c.name;
        EXPECT_EQ(7, lua_tointeger(L, 1)) << c.name;
        lua_gc(L, LUA_GCCOLLECT, 0);
    }
    lua_settop(L, 0);
}

// An allocator that refuses beyond a limit.
struct Budget {
    size_t used = 0;
    size_t limit = 0;
};

void* LimitedAlloc(void* ud, void* ptr, size_t osize, size_t nsize)
{
    Budget* b = static_cast<Budget*>(ud);
    const size_t old = ptr != nullptr ? osize : 0;
    if (nsize == 0) {
        free(ptr);
        b->used -= old;
        return nullptr;
    }
    if (nsize > old && b->used + (nsize - old) > b->limit)
        return nullptr;
    void* p = realloc(ptr, nsize);
    if (p != nullptr)
        b->used = b->used - old + nsize;
    return p;
}

TEST(LuaProtectTest, MemoryKeptByTheScriptFailsTheReadOutCleanly)
{
    Budget budget;
    budget.limit = 4u << 20;
    lua_State* L = lua_newstate(&LimitedAlloc, &budget);
    ASSERT_NE(nullptr, L);
    luaL_openlibs(L);
    LuaPrepareProtect(L);
    LuaState state(L);
    // The script catches its memory errors and keeps what it got.
    ASSERT_EQ(0, state.DoString("keep = {}\n"
                                "pcall(function() while true do keep[#keep + 1] = {1, 2, 3, 4, 5, 6, 7, 8} end end)\n"
                                "pcall(function() while true do keep[#keep + 1] = 'x' .. #keep end end)"));
    lua_settop(L, 0);
    std::string error;
    EXPECT_FALSE(state.Protect(
        [](lua_State* S) {
            for (int i = 0; i < 100000; ++i)
                lua_pushfstring(S, "entry %d with some more text to take room", i);
        },
        &error));
    EXPECT_EQ("not enough memory", error);
    EXPECT_EQ(0, lua_gettop(L));
    lua_close(L);
    EXPECT_EQ(0u, budget.used);
}

// A state nobody prepared has no runner to fetch: pushing one there would
// be an unprotected allocation, so it is a broken contract instead.
TEST(LuaProtectTest, UnpreparedStateIsAnAssertion)
{
    lua_State* L = luaL_newstate();
    ASSERT_NE(nullptr, L);
    EXPECT_DEATH(LuaProtect(L, [](lua_State*) {}), "LuaPrepareProtect ran on this state");
    LuaPrepareProtect(L);
    EXPECT_TRUE(LuaProtect(L, [](lua_State*) {}));
    lua_close(L);
}

}  // namespace

#include "common/script/lua_cpp/lua_cpp.h"

#include <assert.h>

#include <algorithm>
#include <exception>
#include <map>

namespace {

// The user value that marks a userdata as one of this binding's records, so
// that foreign userdata (io files) are never read as records.
char s_record_tag;

// Deeper nesting is printed as "{...}" instead of recursing on.
const size_t kMaxTextDepth = 100;
// An error report's stack dump is cut after this many bytes.
const size_t kMaxDumpText = 64 * 1024;

void WriteOut(const std::string& s)
{
    fwrite(s.data(), 1, s.size(), stdout);
}

uint64_t Address(const void* p)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

// One text or dump on its way: the tables being printed now (a cycle comes
// back to one of them and is printed "{self}").
struct TextWalk {
    std::vector<const void*> open;
    // Nothing is added once the text holds this much: a dump stops here
    // instead of building all of a huge value first and cutting it after.
    // A table reached on many paths is printed on each, so this bound alone
    // keeps the text of a shared tree small.
    size_t limit = std::string::npos;
};

bool ToStringImpl(lua_State* L, int index, std::string& out, TextWalk& walk);

// The string a userdata of this binding holds, or null.
const std::string* HeldString(lua_State* L, int index)
{
    LuaUserData* rec = LuaUserDataRecord(L, index);
    if (rec != 0 && rec->obj != 0 && rec->type_name == LuaTypeName<std::string>())
        return static_cast<const std::string*>(rec->obj);
    return 0;
}

void TableText(lua_State* L, int index, std::string& out, TextWalk& walk)
{
    const void* self = lua_topointer(L, index);
    if (std::find(walk.open.begin(), walk.open.end(), self) != walk.open.end()) {
        out += "{self}";
        return;
    }
    if (walk.open.size() >= kMaxTextDepth || !lua_checkstack(L, 4)) {
        out += "{...}";
        return;
    }
    walk.open.push_back(self);
    out += "{";
    lua_pushnil(L);
    while (lua_next(L, index) != 0) {
        if (out.size() >= walk.limit) {
            lua_pop(L, 2);
            break;
        }
        const int top = lua_gettop(L);
        ToStringImpl(L, top - 1, out, walk);
        out += ":";
        ToStringImpl(L, top, out, walk);
        out += ",";
        lua_pop(L, 1);
    }
    out += "}";
    walk.open.pop_back();
}

// The string at index, as much of it as the walk's bound leaves room for.
void StringText(lua_State* L, int index, std::string& out, const TextWalk& walk)
{
    size_t n = 0;
    const char* s = lua_tolstring(L, index, &n);
    if (out.size() < walk.limit)
        out.append(s, std::min(n, walk.limit - out.size()));
}

void UserDataText(lua_State* L, int index, std::string& out, TextWalk& walk)
{
    if (const std::string* held = HeldString(L, index)) {
        out += *held;
        return;
    }
    // The metatable's text goes straight into out, under its bound.
    out += kivo::FmtString("{'userdata':%d,'metatable':", Address(lua_touserdata(L, index))).Str();
    if (lua_checkstack(L, 2) && lua_getmetatable(L, index)) {
        ToStringImpl(L, -1, out, walk);
        lua_pop(L, 1);
    } else {
        out += "nil";
    }
    out += "}";
}

void FunctionText(lua_State* L, int index, std::string& out)
{
    if (lua_iscfunction(L, index)) {
        out += kivo::FmtString("%d(cfunc)", Address(reinterpret_cast<void*>(lua_tocfunction(L, index)))).Str();
    } else {
        out += "(lua func)";
    }
}

bool ToStringImpl(lua_State* L, int index, std::string& out, TextWalk& walk)
{
    index = lua_absindex(L, index);
    const int t = lua_type(L, index);
    switch (t) {
    case LUA_TSTRING:
        StringText(L, index, out, walk);
        return true;
    case LUA_TBOOLEAN:
    case LUA_TNUMBER:
        return LuaScalarText(L, index, out);
    case LUA_TNIL:
        out += "nil";
        return true;
    case LUA_TNONE:
        out += "none";
        return true;
    case LUA_TLIGHTUSERDATA:
        out += kivo::FmtString("%d(lightuserdata)", Address(lua_touserdata(L, index))).Str();
        return true;
    case LUA_TUSERDATA:
        UserDataText(L, index, out, walk);
        return true;
    case LUA_TFUNCTION:
        FunctionText(L, index, out);
        return true;
    case LUA_TTHREAD:
        out += "(thread obj)";
        return true;
    case LUA_TTABLE:
        TableText(L, index, out, walk);
        return true;
    default:
        printf("unkow lua type to c++ string, lua type = %d\n", t);
        return false;
    }
}

// Pushes obj[key] (key at the top, popped). A value that cannot be indexed
// at all (nil, a number) gives nil, as a missing name does; anything else is
// indexed as the script would index it, so an "__index" that raises raises
// here.
void PushIndexed(lua_State* L, int obj)
{
    obj = lua_absindex(L, obj);
    if (lua_type(L, obj) != LUA_TTABLE) {
        if (luaL_getmetafield(L, obj, "__index") == LUA_TNIL) {  // pushed nothing
            lua_pop(L, 1);  // the key
            lua_pushnil(L);
            return;
        }
        lua_pop(L, 1);
    }
    lua_gettable(L, obj);
}

// ---- vector_int ---------------------------------------------------------------------

typedef std::vector<int> VectorInt;

std::string VectorText(VectorInt* v)
{
    std::string s = "[\n    ";
    for (size_t i = 0; i < v->size(); ++i) {
        if (i != 0)
            s += ", \n    ";
        kivo::FormatValue(static_cast<int32_t>((*v)[i]), &s);
    }
    s += "\n]";
    return s;
}

// Element pointers (v[i]) point into the vector's storage. Each one is
// remembered per vector in a weak set of the registry, and forgotten (its
// record cleared) when the storage moves or shrinks, so that none is left
// pointing at freed or dropped elements.
const char kElementsKey[] = "__vector_int_elements";

// Adds the element pointer at the top to the set of v.
void TrackElement(lua_State* L, const VectorInt* v)
{
    lua_checkstack(L, 5);
    if (lua_getfield(L, LUA_REGISTRYINDEX, kElementsKey) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, LUA_REGISTRYINDEX, kElementsKey);
    }
    if (lua_rawgetp(L, -1, v) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_createtable(L, 0, 1);
        lua_pushstring(L, "k");
        lua_setfield(L, -2, "__mode");
        lua_setmetatable(L, -2);
        lua_pushvalue(L, -1);
        lua_rawsetp(L, -3, v);
    }
    lua_pushvalue(L, -3);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
    lua_pop(L, 2);
}

// Clears every element pointer of the object at obj.
void ForgetElements(lua_State* L, const void* obj)
{
    lua_checkstack(L, 4);
    if (lua_getfield(L, LUA_REGISTRYINDEX, kElementsKey) != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    if (lua_rawgetp(L, -1, obj) == LUA_TTABLE) {
        lua_pushnil(L);
        while (lua_next(L, -2) != 0) {
            LuaUserData* rec = LuaUserDataRecord(L, -2);
            if (rec != 0)
                rec->obj = 0;
            lua_pop(L, 1);
        }
        lua_pushnil(L);
        lua_rawsetp(L, -3, obj);
    }
    lua_pop(L, 2);
}

// Runs a change of the vector at 1, with exactly argc arguments after it
// (argc < 0: any number); its element pointers are forgotten when the
// storage moved or shrank.
template <typename F>
int VectorChange(lua_State* L, int argc, F change)
{
    if (argc >= 0 && !LuaCheckArgCount(L, argc + 1))
        return 0;
    VectorInt* v = LuaUserDataGetThis<VectorInt>(L);
    if (v == 0)
        return 0;
    const int* data = v->data();
    const size_t size = v->size();
    change(*v);
    if (v->data() != data || v->size() < size)
        ForgetElements(L, v);
    return 0;
}

int VectorNew(lua_State* L)
{
    if (!LuaCheckArgCount(L, 1))
        return 0;
    LuaPushPointer(L, new VectorInt());
    return 1;
}

int VectorLen(lua_State* L)
{
    VectorInt* v = LuaUserDataGetThis<VectorInt>(L);
    if (v == 0)
        return 0;
    lua_pushinteger(L, static_cast<lua_Integer>(v->size()));
    return 1;
}

int VectorPushBack(lua_State* L)
{
    if (lua_gettop(L) < 2)
        return 0;
    return VectorChange(L, -1, [L](VectorInt& v) {
        int x = 0;
        LuaToBase<int>(L, -1, &x);
        v.push_back(x);
    });
}

int VectorPushBackNew(lua_State* L)
{
    if (lua_gettop(L) < 2)
        return 0;
    return VectorChange(L, -1, [L](VectorInt& v) {
        LuaUserData* rec = LuaUserDataRecord(L, -1);
        if (rec == 0 || rec->obj == 0 || rec->type_name != LuaTypeName<int>())
            return;
        const int x = *static_cast<int*>(rec->obj);
        void* obj = rec->obj;
        rec->obj = 0;
        rec->delete_fn(obj);
        v.push_back(x);
    });
}

int VectorPopBack(lua_State* L)
{
    return VectorChange(L, 0, [](VectorInt& v) {
        if (!v.empty())
            v.pop_back();
    });
}

int VectorClear(lua_State* L)
{
    return VectorChange(L, 0, [](VectorInt& v) { v.clear(); });
}

int VectorReserve(lua_State* L)
{
    return VectorChange(L, 1, [L](VectorInt& v) {
        size_t n = 0;
        LuaToBase<size_t>(L, 2, &n);
        v.reserve(n);
    });
}

int VectorResize(lua_State* L)
{
    return VectorChange(L, 1, [L](VectorInt& v) {
        unsigned n = 0;
        LuaToBase<unsigned>(L, 2, &n);
        v.resize(n);
    });
}

// Counting from 1; an index outside the vector changes nothing.
int VectorErase(lua_State* L)
{
    return VectorChange(L, 1, [L](VectorInt& v) {
        unsigned n = 0;
        LuaToBase<unsigned>(L, 2, &n);
        if (n >= 1 && n <= v.size())
            v.erase(v.begin() + (n - 1));
    });
}

}  // namespace

// ---- records and diagnostics ---------------------------------------------------------

LuaUserData* LuaUserDataRecord(lua_State* L, int index)
{
    if (lua_type(L, index) != LUA_TUSERDATA || lua_rawlen(L, index) != sizeof(LuaUserData))
        return 0;
    if (!lua_checkstack(L, 1))
        return 0;
    lua_getuservalue(L, index);
    const bool ours = lua_touserdata(L, -1) == &s_record_tag;
    lua_pop(L, 1);
    return ours ? static_cast<LuaUserData*>(lua_touserdata(L, index)) : 0;
}

LuaUserData* LuaNewRecord(lua_State* L, const LuaUserData& rec)
{
    LuaUserData* p = static_cast<LuaUserData*>(lua_newuserdata(L, sizeof(LuaUserData)));
    *p = rec;
    lua_pushlightuserdata(L, &s_record_tag);
    lua_setuservalue(L, -2);
    return p;
}

void LuaSetMetatableByType(lua_State* L, const char* type_name)
{
    lua_getfield(L, LUA_REGISTRYINDEX, type_name);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        lua_getfield(L, LUA_REGISTRYINDEX, LUA_DEF_METATABLE);
    }
    lua_setmetatable(L, -2);
}

void LuaUserDataPush(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    LuaUserData* old_data = LuaUserDataRecord(L, index);
    assert(old_data != 0 && "old_data != 0");
    if (old_data == 0) {
        lua_pushnil(L);
        return;
    }
    LuaNewRecord(L, *old_data);
    if (lua_getmetatable(L, index))
        lua_setmetatable(L, -2);
}

int LuaDumpStack(lua_State* L)
{
    const int n = lua_gettop(L);
    std::string s = "LUA Dump stack size = ";
    kivo::FormatValue(static_cast<int32_t>(n), &s);
    s += "\n";
    TextWalk walk;
    walk.limit = kMaxDumpText + 1;  // one more: the cut below sees the text went on
    for (int i = 1; i <= n; ++i) {
        if (s.size() >= kMaxDumpText) {
            s += "...\n";
            break;
        }
        ToStringImpl(L, i, s, walk);
        s += "\n";
    }
    if (s.size() > kMaxDumpText + 4)
        s.replace(kMaxDumpText, std::string::npos, "...\n");
    s += "\n";
    WriteOut(s);
    return n;
}

int LuaReportError(lua_State* L, kivo::StringView msg)
{
    std::string line(msg.Data(), msg.Size());
    line += "\n";
    WriteOut(line);
    LuaDumpStack(L);
    return 0;
}

bool LuaCheckArgCount(lua_State* L, int expected)
{
    const int n = lua_gettop(L);
    if (n == expected)
        return true;
    LuaReportError(L, kivo::FmtString("args num need %d, but input is %d", expected, n).Str());
    return false;
}

int LuaGuardCall(lua_State* L, lua_CFunction fn)
{
    char what[256];
    try {
        return fn(L);
    } catch (const std::exception& e) {
        // Only our own exceptions: Lua's errors are not std::exception.
        snprintf(what, sizeof(what), "%s", e.what());
    }
    return luaL_error(L, "%s", what);
}

// The registry key of the runner that LuaProtect calls.
static char s_protect_key;

// Runs the function that argument 1 points at, on an empty frame.
static int RunProtected(lua_State* L)
{
    const std::function<void(lua_State*)>* fn =
        static_cast<const std::function<void(lua_State*)>*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    (*fn)(L);
    return 0;
}

static int ProtectRunner(lua_State* L)
{
    return LuaGuardCall(L, &RunProtected);
}

void LuaPrepareProtect(lua_State* L)
{
    lua_pushcfunction(L, &ProtectRunner);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &s_protect_key);
}

std::string LuaErrorText(lua_State* L, int index, int status)
{
    if (lua_type(L, index) == LUA_TSTRING) {
        size_t n = 0;
        const char* s = lua_tolstring(L, index, &n);
        return std::string(s, n);
    }
    if (status == LUA_ERRMEM)
        return "not enough memory";
    // Formatted natively: converting in the interpreter would allocate.
    std::string text;
    if (LuaScalarText(L, index, text))
        return text;
    return std::string("(error object is a ") + lua_typename(L, lua_type(L, index)) + " value)";
}

bool LuaProtect(lua_State* L, const std::function<void(lua_State*)>& fn, std::string* error)
{
    const int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) {
        if (error != 0)
            *error = "stack overflow";
        return false;
    }
    // Fetched, not pushed: pushing a function is an allocation point, where
    // a collection step could run a finalizer before anything protects it.
    // A state without the entry is a state nobody prepared.
    const int runner = lua_rawgetp(L, LUA_REGISTRYINDEX, &s_protect_key);
    assert(runner == LUA_TFUNCTION && "LuaPrepareProtect ran on this state");
    lua_pushlightuserdata(L, const_cast<void*>(static_cast<const void*>(&fn)));
    const int status = lua_pcall(L, 1, 0, 0);
    if (status == LUA_OK)
        return true;
    if (error != 0)
        *error = LuaErrorText(L, -1, status);
    lua_settop(L, top);
    return false;
}

void LuaPrintUnknownBase(int lua_type)
{
    printf("unkow lua type to c++ base type, lua type = %d\n", lua_type);
}

void LuaPrintNoCopy(const char* type_name)
{
    printf("%s not suppot copy to LUA, push nil\n", type_name);
}

void LuaNoDelete(void*) {}

LuaUserData* LuaLiveRecord(lua_State* L, int index)
{
    LuaUserData* rec = LuaUserDataRecord(L, index);
    if (rec == 0) {
        LuaReportError(L, "is not userdata type");
        return 0;
    }
    if (rec->obj == 0) {
        LuaReportError(L, "userdata is released");
        return 0;
    }
    return rec;
}

void LuaReportNoConstructor(lua_State* L, int expected)
{
    LuaCheckArgCount(L, expected);
}

bool LuaScalarText(lua_State* L, int index, std::string& out)
{
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
        out += lua_toboolean(L, index) ? "1" : "0";
        return true;
    case LUA_TNUMBER:
        if (lua_isinteger(L, index))
            kivo::FormatValue(static_cast<int64_t>(lua_tointeger(L, index)), &out);
        else
            kivo::FormatValue(static_cast<double>(lua_tonumber(L, index)), &out);
        return true;
    default:
        return false;
    }
}

bool LuaScalarToVar(lua_State* L, int index, kivo::Var& out)
{
    switch (lua_type(L, index)) {
    case LUA_TSTRING: {
        size_t n = 0;
        const char* s = lua_tolstring(L, index, &n);
        out = std::string(s, n);  // the text assignment parses
        return true;
    }
    case LUA_TBOOLEAN:
        out = kivo::Var(static_cast<int32_t>(lua_toboolean(L, index) ? 1 : 0));
        return true;
    case LUA_TNUMBER:
        if (lua_isinteger(L, index))
            out = kivo::Var(static_cast<long long>(lua_tointeger(L, index)));
        else
            out = kivo::Var(static_cast<double>(lua_tonumber(L, index)));
        return true;
    default:
        return false;
    }
}

// ---- metatable functions ---------------------------------------------------------------

// The handler of the record at 1 for an integer key.
static int CallElementHandler(lua_State* L, int (*LuaUserData::*handler)(lua_State*))
{
    LuaUserData* rec = LuaLiveRecord(L, 1);
    return rec != 0 ? (rec->*handler)(L) : 0;
}

// Pushes the metatable (upvalue 1) field named by the text of the key at 2.
static void PushMetaField(lua_State* L)
{
    const std::string key = LuaValueText(L, 2);
    lua_pushlstring(L, key.data(), key.size());
    lua_rawget(L, lua_upvalueindex(1));
}

int DefIndex(lua_State* L)
{
    if (lua_isinteger(L, 2))
        return CallElementHandler(L, &LuaUserData::index_fn);
    PushMetaField(L);
    if (lua_isnil(L, -1))
        return 0;
    if (lua_tocfunction(L, -1) == &LuaGuarded<&DefValue>) {
        lua_pushvalue(L, 1);
        lua_pushinteger(L, 0);
        lua_call(L, 2, 1);
    }
    return 1;
}

// A field's setter is called as the script's own call would be: a setter
// that raises fails the assignment.
int DefNewIndex(lua_State* L)
{
    if (lua_isinteger(L, 2))
        return CallElementHandler(L, &LuaUserData::newindex_fn);
    PushMetaField(L);
    if (lua_type(L, -1) == LUA_TFUNCTION) {
        lua_pushvalue(L, 1);
        lua_pushvalue(L, 3);
        lua_pushinteger(L, 1);
        lua_call(L, 3, 0);
    }
    return 0;
}

int DefValue(lua_State* L)
{
    const int n = lua_gettop(L);
    if (n < 1)
        return 0;
    typedef int (*ValueFn)(lua_State*, int);
    ValueFn fn = reinterpret_cast<ValueFn>(lua_touserdata(L, lua_upvalueindex(1)));
    int set = 0;
    LuaToBase<int>(L, n, &set);
    return fn(L, set != 0 ? 1 : 0);
}

int UserDataValue(lua_State* L, int set)
{
    LuaUserData* rec = LuaLiveRecord(L, 1);
    return rec != 0 ? rec->value_fn(L, set) : 0;
}

int UserDataToString(lua_State* L)
{
    LuaUserData* rec = LuaUserDataRecord(L, -1);
    if (rec == 0 || rec->obj == 0) {
        lua_pushstring(L, rec == 0 ? "(not userdata)" : "(released userdata)");
        return 1;
    }
    return rec->tostring_fn(L);
}

int UserDataDelete(lua_State* L)
{
    LuaUserData* rec = LuaUserDataRecord(L, -1);
    if (rec != 0 && rec->obj != 0) {
        void* obj = rec->obj;
        rec->obj = 0;  // forgotten first: the record never reaches a freed object
        ForgetElements(L, obj);
        rec->delete_fn(obj);
    }
    return 0;
}

// ---- values ---------------------------------------------------------------------------

bool LuaValueToString(lua_State* L, int index, std::string& out)
{
    TextWalk walk;
    // The text of a table (or of a userdata, with its metatable) only ever
    // describes it (a key, a path, a report): it has the dump's bound, as
    // one text may hold a long string or a shared table many times. A
    // string (or a userdata holding one) is given whole.
    const int t = lua_type(L, index);
    if (t == LUA_TTABLE || (t == LUA_TUSERDATA && HeldString(L, index) == 0)) {
        walk.limit = out.size() + kMaxDumpText;
        const bool ok = ToStringImpl(L, index, out, walk);
        if (out.size() > walk.limit)
            out.replace(walk.limit, std::string::npos, "...");
        return ok;
    }
    return ToStringImpl(L, index, out, walk);
}

std::string LuaValueText(lua_State* L, int index)
{
    std::string s;
    LuaValueToString(L, index, s);
    return s;
}

namespace {

// A held Var as itself; any other userdata as the address of its object.
kivo::Var UserDataVar(lua_State* L, int index)
{
    kivo::Var* held = 0;
    if (LuaUserDataIs<kivo::Var>(L, index, &held, true))
        return *held;
    LuaUserData* rec = LuaUserDataRecord(L, index);
    return kivo::Var(rec != 0 ? rec->obj : lua_touserdata(L, index));
}

// The table at index (absolute) as a dictionary keyed by the keys' texts.
kivo::Var TableVar(lua_State* L, int index)
{
    kivo::var_trains::VarDict dict;
    lua_checkstack(L, 3);
    lua_pushnil(L);
    while (lua_next(L, index) != 0) {
        std::string key;
        LuaValueToString(L, -2, key);
        kivo::Var v(0);
        if (lua_rawequal(L, -1, index))
            v = kivo::Var("{self}");
        else
            LuaToBase<kivo::Var>(L, -1, &v);  // a nested table stays 0
        dict[key] = v;
        lua_pop(L, 1);
    }
    return kivo::Var(dict);
}

}  // namespace

bool LuaValueToVar(lua_State* L, int index, kivo::Var& out)
{
    index = lua_absindex(L, index);
    if (LuaScalarToVar(L, index, out))
        return true;
    switch (lua_type(L, index)) {
    case LUA_TNIL:
        out = kivo::Var("nil");
        break;
    case LUA_TNONE:
        out = kivo::Var("none");
        break;
    case LUA_TLIGHTUSERDATA:
        out = kivo::Var(lua_touserdata(L, index));
        break;
    case LUA_TUSERDATA:
        out = UserDataVar(L, index);
        break;
    case LUA_TFUNCTION:
        if (lua_iscfunction(L, index))
            out = kivo::Var(static_cast<int32_t>(reinterpret_cast<intptr_t>(lua_tocfunction(L, index))));
        else
            out = kivo::Var("(lua func)");
        break;
    case LUA_TTHREAD:
        out = kivo::Var("(thread obj)");
        break;
    case LUA_TTABLE:
        out = TableVar(L, index);
        break;
    default:
        break;
    }
    return true;
}

void LuaPushVar(lua_State* L, const kivo::Var& v)
{
    if (!lua_checkstack(L, 3))
        luaL_error(L, "stack overflow");
    const kivo::Var::eType t = v.GetType();
    switch (t) {
    case kivo::Var::TYPE_INT32:
    case kivo::Var::TYPE_UINT32:
    case kivo::Var::TYPE_INT64:
    case kivo::Var::TYPE_UINT64:
        lua_pushinteger(L, static_cast<lua_Integer>(v.ToInt64()));
        return;
    case kivo::Var::TYPE_DOUBLE:
        lua_pushnumber(L, v.ToDouble());
        return;
    case kivo::Var::TYPE_STRING: {
        const kivo::ByteArray& s = v._GetString();
        lua_pushlstring(L, s.data(), s.size());
        return;
    }
    case kivo::Var::TYPE_VECTOR: {
        const int32_t n = static_cast<int32_t>(v.Size());
        lua_createtable(L, n, 0);
        for (int32_t i = 0; i < n; ++i) {
            kivo::Var e;
            v.Get(i, e);
            LuaPushVar(L, e);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
        }
        return;
    }
    case kivo::Var::TYPE_DICT: {
        lua_createtable(L, 0, static_cast<int>(v.Size()));
        if (v.TypeId() == typeid(kivo::var_trains::VarDict)) {
            const kivo::var_trains::VarDict& d = *static_cast<const kivo::var_trains::VarDict*>(v._Payload());
            for (kivo::var_trains::VarDict::const_iterator it = d.begin(); it != d.end(); ++it) {
                lua_pushlstring(L, it->first.data(), it->first.size());
                LuaPushVar(L, it->second);
                lua_rawset(L, -3);
            }
        }
        return;
    }
    default:
        printf("this type cnt't push to LUA, type=%s\n", v.TypeId().name());
        lua_pushnil(L);  // one value in every case: the stack stays balanced
        return;
    }
}

// ---- pointer handlers -----------------------------------------------------------------

int LuaPointerHandlers<int>::Value(lua_State* L, int set)
{
    LuaUserData* rec = LuaLiveRecord(L, 1);
    if (rec == 0)
        return 0;
    int* p = static_cast<int*>(rec->obj);
    if (set == 0) {
        lua_pushinteger(L, *p);
        return 1;
    }
    LuaToBase<int>(L, 2, p);
    return 0;
}

int LuaPointerHandlers<int>::ToString(lua_State* L)
{
    LuaUserData* rec = LuaLiveRecord(L, -1);
    if (rec == 0)
        return 0;
    std::string s;
    kivo::FormatValue(static_cast<int32_t>(*static_cast<int*>(rec->obj)), &s);
    lua_pushlstring(L, s.data(), s.size());
    return 1;
}

// The vector of the userdata at 1 and the element position for the index
// at 2; null when released (reported). Elements are reached only inside
// 1..size.
static VectorInt* VectorElementAt(lua_State* L, size_t* pos, bool* inside)
{
    LuaUserData* rec = LuaLiveRecord(L, 1);
    if (rec == 0)
        return 0;
    VectorInt* v = static_cast<VectorInt*>(rec->obj);
    const lua_Integer n = lua_tointeger(L, 2);
    *inside = n >= 1 && static_cast<uint64_t>(n) <= v->size();
    *pos = *inside ? static_cast<size_t>(n - 1) : 0;
    return v;
}

// An element pointer belongs to the vector: deleting it only forgets it.
int LuaPointerHandlers<VectorInt>::Index(lua_State* L)
{
    size_t pos = 0;
    bool inside = false;
    VectorInt* v = VectorElementAt(L, &pos, &inside);
    if (v == 0)
        return 0;
    if (inside) {
        LuaPushObjectPointer<int>(L, &(*v)[pos], false);
        TrackElement(L, v);
    } else {
        lua_pushnil(L);
    }
    return 1;
}

int LuaPointerHandlers<VectorInt>::NewIndex(lua_State* L)
{
    size_t pos = 0;
    bool inside = false;
    VectorInt* v = VectorElementAt(L, &pos, &inside);
    if (v == 0)
        return 0;
    if (!inside)
        return luaL_error(L, "index out of range");
    int x = 0;
    LuaToBase<int>(L, 3, &x);
    (*v)[pos] = x;
    return 0;
}

int LuaPointerHandlers<VectorInt>::Value(lua_State* L, int set)
{
    LuaUserData* rec = LuaLiveRecord(L, 1);
    if (rec == 0)
        return 0;
    VectorInt* v = static_cast<VectorInt*>(rec->obj);
    if (set == 0) {
        lua_createtable(L, static_cast<int>(v->size()), 0);
        for (size_t i = 0; i < v->size(); ++i) {
            lua_pushinteger(L, (*v)[i]);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
        }
        return 1;
    }
    if (lua_type(L, 2) != LUA_TTABLE)
        return 0;
    ForgetElements(L, v);  // the storage is replaced
    const lua_Unsigned n = lua_rawlen(L, 2);
    VectorInt items;
    items.reserve(static_cast<size_t>(n));
    for (lua_Unsigned i = 1; i <= n; ++i) {
        lua_rawgeti(L, 2, static_cast<lua_Integer>(i));
        int x = 0;
        LuaToBase<int>(L, -1, &x);
        items.push_back(x);
        lua_pop(L, 1);
    }
    v->swap(items);
    return 0;
}

int LuaPointerHandlers<VectorInt>::ToString(lua_State* L)
{
    LuaUserData* rec = LuaLiveRecord(L, -1);
    if (rec == 0)
        return 0;
    const std::string s = VectorText(static_cast<VectorInt*>(rec->obj));
    lua_pushlstring(L, s.data(), s.size());
    return 1;
}

// ---- classes ----------------------------------------------------------------------------

// Fields of every pointer metatable (the table at the top): element and
// method lookup, then "value" and the text.
static void SetIndexFields(lua_State* L)
{
    lua_pushvalue(L, -1);
    lua_pushcclosure(L, &LuaGuarded<&DefIndex>, 1);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, -1);
    lua_pushcclosure(L, &LuaGuarded<&DefNewIndex>, 1);
    lua_setfield(L, -2, "__newindex");
}

static void SetValueFields(lua_State* L)
{
    lua_pushlightuserdata(L, reinterpret_cast<void*>(&UserDataValue));
    lua_pushcclosure(L, &LuaGuarded<&DefValue>, 1);
    lua_setfield(L, -2, "value");
    lua_pushcfunction(L, &LuaGuarded<&UserDataToString>);
    lua_setfield(L, -2, "__tostring");
}

void LuaOpenClassMetatable(lua_State* L, const char* type_name, lua_Integer size)
{
    luaL_openlibs(L);
    luaL_newmetatable(L, type_name);
    SetIndexFields(L);
    lua_pushinteger(L, size);
    lua_setfield(L, -2, "__len");
    lua_createtable(L, 4, 0);
    lua_setfield(L, -2, "__construct__");
    lua_pushlightuserdata(L, const_cast<char*>(type_name));
    lua_setfield(L, -2, "__typeinfo__");
    lua_pushcfunction(L, &LuaGuarded<&UserDataDelete>);
    lua_setfield(L, -2, "delete");
    SetValueFields(L);
}

void VectorIntRegister(lua_State* L)
{
    LuaClass<VectorInt>(L, "vector_int")
        .Construct(0, &LuaGuarded<&VectorNew>)
        .Method("size", &VectorInt::size)
        .RawMethod("__len", &LuaGuarded<&VectorLen>)
        .RawMethod("push_back", &LuaGuarded<&VectorPushBack>)
        .RawMethod("push_back_new", &LuaGuarded<&VectorPushBackNew>)
        .RawMethod("pop_back", &LuaGuarded<&VectorPopBack>)
        .RawMethod("reserve", &LuaGuarded<&VectorReserve>)
        .RawMethod("clear", &LuaGuarded<&VectorClear>)
        .RawMethod("resize", &LuaGuarded<&VectorResize>)
        .RawMethod("erase", &LuaGuarded<&VectorErase>)
        .Function("__tostring", &VectorText);
}

int LuaCallTrampoline(lua_State* L)
{
    return LuaGuardCall(L, reinterpret_cast<lua_CFunction>(lua_touserdata(L, lua_upvalueindex(1))));
}

// ---- LuaRef and LuaState -------------------------------------------------------------

LuaRef::~LuaRef()
{
    if (_top != -1 && std::uncaught_exceptions() == _unwinding)
        lua_settop(_L, _top);
}

LuaRef& LuaRef::Call()
{
    if (_index > 0 || _index < -1)
        lua_pushvalue(_L, _index);
    const int base = lua_gettop(_L) - 1;  // below the function
    const int status = lua_pcall(_L, 0, LUA_MULTRET, 0);
    if (status != LUA_OK) {
        std::string msg = lua_gettop(_L) > base ? LuaValueText(_L, -1) : std::string("unknown error");
        std::replace(msg.begin(), msg.end(), '\n', ' ');
        printf("lua call error: %s\n", msg.c_str());
        lua_settop(_L, base);
    }
    // No result (or a failure) must not leave an older slot to be read.
    if (lua_gettop(_L) <= base)
        lua_pushnil(_L);
    _index = -1;
    return *this;
}

LuaState::LuaState() : _state(luaL_newstate()), _owned(1)
{
    if (_state == 0)
        throw std::bad_alloc();
    lua_State* L = _state;
    if (luaL_loadstring(L, "__ENV__=_ENV") == LUA_OK)
        lua_pcall(L, 0, LUA_MULTRET, 0);
    lua_settop(L, 0);
    LuaPrepareProtect(L);
    VectorIntRegister(L);
    luaL_newmetatable(L, LUA_DEF_METATABLE);
    SetIndexFields(L);
    SetValueFields(L);
    lua_setglobal(L, LUA_DEF_METATABLE);
}

LuaState::LuaState(lua_State* L) : _state(L), _owned(0) {}

LuaState::~LuaState()
{
    if (_owned != 0)
        lua_close(_state);
}

int LuaState::DoString(const char* text)
{
    const int status = luaL_loadstring(_state, text);
    if (status != LUA_OK)
        return status;
    return lua_pcall(_state, 0, LUA_MULTRET, 0);
}

LuaRef LuaState::GetGlobal(const char* path)
{
    const int top = lua_gettop(_state);
    LookupPath(path);
    return LuaRef(_state, -1, top);
}

void LuaState::RegFunc(const char* name, lua_CFunction f)
{
    lua_pushlightuserdata(_state, reinterpret_cast<void*>(f));
    lua_pushcclosure(_state, &LuaCallTrampoline, 1);
    lua_setglobal(_state, name);
}

int LuaState::LookupPath(const char* path)
{
    lua_State* L = _state;
    const std::string p(path != 0 ? path : "");
    const size_t dot = p.rfind('.');
    const size_t bracket = dot == std::string::npos ? p.rfind('[') : std::string::npos;
    const size_t cut = dot != std::string::npos ? dot : bracket;
    lua_checkstack(L, 4);
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushlstring(L, p.data(), cut == std::string::npos ? p.size() : cut);
    PushIndexed(L, -2);
    lua_remove(L, -2);  // the globals table
    if (cut == std::string::npos)
        return lua_gettop(L);
    if (dot != std::string::npos) {
        lua_pushlstring(L, p.data() + dot + 1, p.size() - dot - 1);
    } else {
        const int32_t n = kivo::StrToNum<int32_t>(p.data() + bracket + 1, p.size() - bracket - 1);
        lua_pushinteger(L, n);
    }
    PushIndexed(L, -2);
    return lua_gettop(L);
}

#pragma once

// Binding between Lua 5.3 and the framework.
//
// Values move both ways between the Lua stack and kivo::Var, strings and
// native scalars; native objects reach scripts as typed pointers wrapped in
// full userdata (a LuaUserData record each). LuaState owns an interpreter,
// LuaRef reads globals and calls script functions from native code. The
// call wrappers turn native functions, member functions and bound function
// objects into Lua functions that check the exact argument count, and
// LuaClass<T> gives scripts a class table with constructors and methods.
//
// Lua is linked as Debian's C++ build: an error raised in the interpreter
// unwinds through our frames as a C++ exception, so destructors run. Our
// own C++ exceptions never enter the interpreter: every native function we
// register runs inside LuaGuardCall, which turns them into Lua errors.
//
// Native objects are never released by the collector (no "__gc"): a script
// releases what it created with "delete". A record whose object was
// released keeps a null object and is refused everywhere afterwards.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <functional>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

#include "kivo/base/noncopyable.h"
#include "kivo/common/number.h"
#include "kivo/common/string_view.h"
#include "kivo/common/variant.h"

// Payload of every full userdata the binding creates.
struct LuaUserData {
    void* obj;              // the native object; null once released
    const char* type_name;  // identity of the object's type: its type_info name pointer
    int (*index_fn)(lua_State* L);
    int (*newindex_fn)(lua_State* L);
    int (*value_fn)(lua_State* L, int set);
    int (*tostring_fn)(lua_State* L);
    void (*delete_fn)(void* obj);
};

#define LUA_DEF_METATABLE "__def_point_metertable"

template <typename T>
inline const char* LuaTypeName()
{
    return typeid(T).name();
}

// ---- registry, records and diagnostics ---------------------------------------------

// Gives the value at the top the metatable registry[type_name], or the
// default metatable when the type has none.
void LuaSetMetatableByType(lua_State* L, const char* type_name);
// A new userdata carrying a copy of the record at `index`.
void LuaUserDataPush(lua_State* L, int index);
// The record of a userdata made by this binding at `index`, or null for any
// other value (including foreign userdata such as io files).
LuaUserData* LuaUserDataRecord(lua_State* L, int index);
// A new userdata of this binding holding `rec` (its metatable still to set).
LuaUserData* LuaNewRecord(lua_State* L, const LuaUserData& rec);

// Writes the stack to standard output; leaves it unchanged; returns its size.
int LuaDumpStack(lua_State* L);
// The message line and the stack dump; returns 0 (no results for the script).
int LuaReportError(lua_State* L, kivo::StringView msg);
// "args num need %d, but input is %d" when the stack does not hold exactly
// `expected` values; false then.
bool LuaCheckArgCount(lua_State* L, int expected);

// Runs fn(L) inside a protected call, on a frame of its own that starts
// empty. Any error raised meanwhile (a script function that fails, a
// finalizer run by a collection step, memory running out) ends here:
// false, the stack back as it was, and *error (when given) its text.
// Native code that touches a state after a script ran (reading globals,
// converting values, calling) does it in here: outside a protected call
// an error aborts the process.
bool LuaProtect(lua_State* L, const std::function<void(lua_State*)>& fn, std::string* error = 0);
// Stores what LuaProtect needs in the state, so that a later LuaProtect
// allocates nothing before it is protected. LuaState does it; a state made
// elsewhere runs it once before its first LuaProtect.
void LuaPrepareProtect(lua_State* L);
// The text of the error object at `index` (a status from a failed call).
std::string LuaErrorText(lua_State* L, int index, int status);

// Runs a native function; a C++ exception it throws becomes a Lua error with
// the exception's text. Lua's own errors pass through untouched.
int LuaGuardCall(lua_State* L, lua_CFunction fn);

template <lua_CFunction F>
int LuaGuarded(lua_State* L)
{
    return LuaGuardCall(L, F);
}

// Metatable functions of pointers (default metatable and classes).
int DefIndex(lua_State* L);
int DefNewIndex(lua_State* L);
int DefValue(lua_State* L);
int UserDataValue(lua_State* L, int set);
int UserDataToString(lua_State* L);
int UserDataDelete(lua_State* L);

// ---- values -----------------------------------------------------------------------

bool LuaValueToString(lua_State* L, int index, std::string& out);
std::string LuaValueText(lua_State* L, int index);
bool LuaValueToVar(lua_State* L, int index, kivo::Var& out);
// Always pushes exactly one value: nil for a value without a Lua form.
void LuaPushVar(lua_State* L, const kivo::Var& v);

// True (and *out set) for a userdata of this binding whose object is still
// there and, with check_type, of type T.
template <typename T>
bool LuaUserDataIs(lua_State* L, int index, T** out, bool check_type)
{
    LuaUserData* rec = LuaUserDataRecord(L, index);
    if (rec == 0 || rec->obj == 0)
        return false;
    if (check_type && rec->type_name != LuaTypeName<T>())
        return false;
    *out = static_cast<T*>(rec->obj);
    return true;
}

// The live object of type T at stack index 1 (a method's self), or null
// after reporting why.
template <typename T>
T* LuaUserDataGetThis(lua_State* L)
{
    LuaUserData* rec = LuaUserDataRecord(L, 1);
    if (rec == 0 || rec->type_name != LuaTypeName<T>()) {
        LuaReportError(L, "is not userdata type");
        return 0;
    }
    if (rec->obj == 0) {
        LuaReportError(L, "userdata is released");
        return 0;
    }
    return static_cast<T*>(rec->obj);
}

void LuaPrintUnknownBase(int lua_type);

// Text form of a Lua scalar for the typed readers.
bool LuaScalarText(lua_State* L, int index, std::string& out);
// A string (list and dictionary texts become containers), boolean (int32
// 0 or 1) or number (int64 or double) as a Var; false for other types.
bool LuaScalarToVar(lua_State* L, int index, kivo::Var& out);

template <typename T>
bool LuaToBase(lua_State* L, int index, T* out)
{
    const int t = lua_type(L, index);
    if constexpr (std::is_arithmetic<T>::value) {
        if (t == LUA_TSTRING) {
            size_t n = 0;
            const char* s = lua_tolstring(L, index, &n);
            *out = kivo::StrToNum<T>(s, n);
            return true;
        }
        if (t == LUA_TBOOLEAN) {
            *out = static_cast<T>(lua_toboolean(L, index) ? 1 : 0);
            return true;
        }
        if (t == LUA_TNUMBER) {
            if (lua_isinteger(L, index))
                *out = kivo::_CvtNumber<T>(static_cast<long long>(lua_tointeger(L, index)), 0);
            else
                *out = kivo::_CvtNumber<T>(static_cast<double>(lua_tonumber(L, index)), 0);
            return true;
        }
    } else if constexpr (std::is_same<T, kivo::StringView>::value) {
        if (t == LUA_TSTRING) {
            size_t n = 0;
            const char* s = lua_tolstring(L, index, &n);
            *out = kivo::StringView(s, n);  // valid while the value stays on the stack
            return true;
        }
        std::string text;
        if (LuaScalarText(L, index, text)) {
            *out = kivo::StringView(kivo::StringView(text), kivo::DeepCopy());
            return true;
        }
    } else if constexpr (std::is_same<T, kivo::Var>::value) {
        if (LuaScalarToVar(L, index, *out))
            return true;
    }
    if (t == LUA_TUSERDATA) {
        T* p = 0;
        if (LuaUserDataIs<T>(L, index, &p, true)) {
            if constexpr (std::is_copy_assignable<T>::value) {
                *out = *p;
                return true;
            }
        }
    }
    LuaPrintUnknownBase(t);
    return false;
}

// ---- pushing -----------------------------------------------------------------------

void LuaPrintNoCopy(const char* type_name);

template <typename T>
void LuaPushPointer(lua_State* L, T* p);

template <typename T>
void LuaPush(lua_State* L, const T& v)
{
    if constexpr (std::is_same<T, bool>::value) {
        lua_pushboolean(L, v ? 1 : 0);
    } else if constexpr (std::is_integral<T>::value || std::is_enum<T>::value) {
        lua_pushinteger(L, static_cast<lua_Integer>(v));
    } else if constexpr (std::is_floating_point<T>::value) {
        lua_pushnumber(L, static_cast<lua_Number>(v));
    } else if constexpr (std::is_same<T, std::string>::value) {
        lua_pushlstring(L, v.data(), v.size());
    } else if constexpr (std::is_same<T, kivo::StringView>::value) {
        lua_pushlstring(L, v.Data(), v.Size());
    } else if constexpr (std::is_same<T, kivo::Var>::value) {
        LuaPushVar(L, v);
    } else if constexpr (std::is_same<T, const char*>::value || std::is_same<T, char*>::value) {
        lua_pushstring(L, v);
    } else if constexpr (std::is_pointer<T>::value) {
        LuaPushPointer(L, v);
    } else {
        LuaPrintNoCopy(LuaTypeName<T>());
        lua_pushnil(L);
    }
}

// ---- pointer handlers by type ------------------------------------------------------

void LuaNoDelete(void* obj);

template <typename T>
void LuaDeleteObject(void* obj)
{
    delete static_cast<T*>(obj);
}

// The record of the userdata at `index`, live, or null (reported).
LuaUserData* LuaLiveRecord(lua_State* L, int index);

template <typename T>
struct LuaPointerHandlers {
    // A plain object is not an array: an integer index reaches nothing.
    static int Index(lua_State* L)
    {
        lua_pushnil(L);
        return 1;
    }
    static int NewIndex(lua_State* L) { return luaL_error(L, "index out of range"); }

    static int Value(lua_State* L, int set)
    {
        LuaUserData* rec = LuaLiveRecord(L, 1);
        if (rec == 0)
            return 0;
        T* obj = static_cast<T*>(rec->obj);
        if (set == 0) {
            LuaPush<T>(L, *obj);
            return 1;
        }
        if constexpr (std::is_copy_assignable<T>::value) {
            T* from = 0;
            if (LuaUserDataIs<T>(L, 2, &from, true) && from != obj)
                *obj = *from;
        }
        return 0;
    }

    static int ToString(lua_State* L)
    {
        lua_pushstring(L, LuaTypeName<T>());
        return 1;
    }
};

template <>
struct LuaPointerHandlers<int> {
    static int Index(lua_State* L)
    {
        lua_pushnil(L);
        return 1;
    }
    static int NewIndex(lua_State* L) { return luaL_error(L, "index out of range"); }
    static int Value(lua_State* L, int set);
    static int ToString(lua_State* L);
};

template <>
struct LuaPointerHandlers<std::vector<int>> {
    static int Index(lua_State* L);
    static int NewIndex(lua_State* L);
    static int Value(lua_State* L, int set);
    static int ToString(lua_State* L);
};

template <typename T>
LuaUserData LuaMakeRecord(T* p, bool owned)
{
    typedef LuaPointerHandlers<T> H;
    LuaUserData rec;
    rec.obj = p;
    rec.type_name = LuaTypeName<T>();
    rec.index_fn = &LuaGuarded<&H::Index>;
    rec.newindex_fn = &LuaGuarded<&H::NewIndex>;
    rec.value_fn = &H::Value;
    rec.tostring_fn = &LuaGuarded<&H::ToString>;
    rec.delete_fn = owned ? &LuaDeleteObject<T> : &LuaNoDelete;
    return rec;
}

// A userdata pointing at p with T's metatable (or the default one); null
// pushes nil. `owned` false makes "delete" only forget the object (elements
// of a container belong to the container).
template <typename T>
void LuaPushObjectPointer(lua_State* L, T* p, bool owned)
{
    if (p == 0) {
        lua_pushnil(L);
        return;
    }
    LuaNewRecord(L, LuaMakeRecord<T>(p, owned));
    LuaSetMetatableByType(L, LuaTypeName<T>());
}

template <typename T>
void LuaPushPointer(lua_State* L, T* p)
{
    LuaPushObjectPointer<T>(L, p, true);
}

// ---- state and references -----------------------------------------------------------

class LuaRef {
public:
    LuaRef(lua_State* L, int index, int saved_top)
        : _L(L), _index(index), _top(saved_top), _unwinding(std::uncaught_exceptions())
    {
    }
    LuaRef(LuaRef&& o) : _L(o._L), _index(o._index), _top(o._top), _unwinding(o._unwinding) { o._top = -1; }
    ~LuaRef();

    LuaRef(const LuaRef&) = delete;
    LuaRef& operator=(const LuaRef&) = delete;

    int Type() const { return lua_type(_L, _index); }

    // Calls the referenced value with no arguments, protected: afterwards the
    // reference is to the last result, or to nil when there was none or the
    // call failed (the failure is printed as one line).
    LuaRef& Call();

    template <typename T>
    T To() const
    {
        T v = T();
        LuaToBase<T>(_L, _index, &v);
        return v;
    }

    template <typename T>
    bool Get(T* out) const
    {
        return LuaToBase<T>(_L, _index, out);
    }

private:
    lua_State* _L;
    int _index;
    int _top;
    // Exceptions in flight when made: a destructor run by a Lua error that
    // unwinds leaves the stack alone, since the error's frame is not ours
    // and its message is at the top; the protected call resets both.
    int _unwinding;
};

class LuaState : public kivo::NonCopyable {
public:
    // A new interpreter with the standard libraries, the default pointer
    // metatable and the class "vector_int".
    LuaState();
    // Wraps a state made elsewhere; it is not closed here.
    explicit LuaState(lua_State* L);
    ~LuaState();

    // 0 on success, else the Lua status with the message on the stack.
    int DoString(const char* text);
    LuaRef GetGlobal(const char* path);
    void RegFunc(const char* name, lua_CFunction f);
    lua_State* GetState() const { return _state; }
    // Pushes the value named by "name", "t.field" or "t[n]"; returns the
    // new top. A value that cannot be indexed (a missing table, a number)
    // gives nil; an "__index" that raises raises here, and so may a
    // collection step on the way, so after a script has run this belongs
    // inside Protect, like GetGlobal.
    int LookupPath(const char* path);
    // LuaProtect on this state.
    bool Protect(const std::function<void(lua_State*)>& fn, std::string* error = 0)
    {
        return LuaProtect(_state, fn, error);
    }

private:
    lua_State* _state;
    uint8_t _owned;
};

// ---- call wrappers ------------------------------------------------------------------

// Calls the function in upvalue 1 through LuaGuardCall. Every wrapped
// callable becomes this closure with the wrapper for its signature there
// and the callable in upvalue 2; LuaState::RegFunc puts the plain function
// there.
int LuaCallTrampoline(lua_State* L);

namespace lua_bind {

// What a parameter is fetched into.
template <typename A>
struct Arg {
    typedef typename std::decay<A>::type type;
    static type Init() { return type(); }
};
template <>
struct Arg<const kivo::Var&> {
    typedef kivo::Var type;
    static type Init() { return kivo::Var(0); }
};
template <>
struct Arg<kivo::Var> {
    typedef kivo::Var type;
    static type Init() { return kivo::Var(0); }
};

template <typename T>
void Fetch(lua_State* L, int index, T& out)
{
    LuaToBase<T>(L, index, &out);
}
inline void Fetch(lua_State* L, int index, std::string& out)
{
    LuaValueToString(L, index, out);
}
inline void Fetch(lua_State* L, int index, kivo::Var& out)
{
    LuaValueToVar(L, index, out);
}

// Fetches the parameters from `first` on, the last one first (so messages
// of failed conversions come from the top down), and calls f with them
// (after `self` when given); pushes the result.
template <typename R, typename F, typename Self, typename... A, size_t... I>
int Apply(lua_State* L, int first, F&& f, Self* self, std::index_sequence<I...>)
{
    [[maybe_unused]] constexpr size_t n = sizeof...(A);
    std::tuple<typename Arg<A>::type...> args = std::make_tuple(Arg<A>::Init()...);
    (Fetch(L, first + static_cast<int>(n - 1 - I), std::get<n - 1 - I>(args)), ...);
    if constexpr (std::is_void<R>::value) {
        f(self, std::get<I>(args)...);
        return 0;
    } else {
        R r = f(self, std::get<I>(args)...);
        LuaPush<typename std::decay<R>::type>(L, r);
        return 1;
    }
}

template <typename F>
F UpvalueCallable(lua_State* L)
{
    F f;
    memcpy(static_cast<void*>(&f), lua_touserdata(L, lua_upvalueindex(2)), sizeof(F));
    return f;
}

struct NoSelf {};

template <typename R, typename... A>
struct FreeWrapper {
    typedef R (*Fp)(A...);
    static int Invoke(lua_State* L)
    {
        if (!LuaCheckArgCount(L, static_cast<int>(sizeof...(A))))
            return 0;
        Fp fp = UpvalueCallable<Fp>(L);
        auto call = [fp](NoSelf*, typename Arg<A>::type&... a) -> R { return fp(a...); };
        return Apply<R, decltype(call)&, NoSelf, A...>(L, 1, call, 0, std::index_sequence_for<A...>());
    }
};

// A callable applied to the object at index 1: a member function, or a free
// function whose first parameter is the object (`Function` of a class).
template <typename T, typename C, typename R, typename... A>
struct SelfWrapper {
    static int Invoke(lua_State* L)
    {
        if (!LuaCheckArgCount(L, static_cast<int>(sizeof...(A)) + 1))
            return 0;
        T* self = LuaUserDataGetThis<T>(L);
        if (self == 0)
            return 0;
        C c = UpvalueCallable<C>(L);
        auto call = [c](T* s, typename Arg<A>::type&... a) -> R { return std::invoke(c, s, a...); };
        return Apply<R, decltype(call)&, T, A...>(L, 2, call, self, std::index_sequence_for<A...>());
    }
};

template <typename T, typename MF>
struct MemberOf;
template <typename T, typename C, typename R, typename... A>
struct MemberOf<T, R (C::*)(A...)> {
    typedef SelfWrapper<T, R (C::*)(A...), R, A...> type;
};
template <typename T, typename C, typename R, typename... A>
struct MemberOf<T, R (C::*)(A...) const> {
    typedef SelfWrapper<T, R (C::*)(A...) const, R, A...> type;
};
template <typename T, typename C, typename R, typename... A>
struct MemberOf<T, R (C::*)(A...) noexcept> {
    typedef SelfWrapper<T, R (C::*)(A...) noexcept, R, A...> type;
};
template <typename T, typename C, typename R, typename... A>
struct MemberOf<T, R (C::*)(A...) const noexcept> {
    typedef SelfWrapper<T, R (C::*)(A...) const noexcept, R, A...> type;
};

// The userdata of a bound function object: the object and whether it
// still lives. Its finalizer can be reached and called by a script (the
// debug library), so it checks what it is given and runs once.
template <typename F>
struct BoundHolder {
    static char tag;  // the user value that marks such a holder
    bool alive;
    F f;
};
template <typename F>
char BoundHolder<F>::tag;

template <typename F>
struct BoundWrapper {
    // The holder at `index`, or null for any other value.
    static BoundHolder<F>* Holder(lua_State* L, int index)
    {
        if (lua_type(L, index) != LUA_TUSERDATA || lua_rawlen(L, index) != sizeof(BoundHolder<F>) ||
            !lua_checkstack(L, 1))
            return 0;
        lua_getuservalue(L, index);
        const bool ours = lua_touserdata(L, -1) == &BoundHolder<F>::tag;
        lua_pop(L, 1);
        return ours ? static_cast<BoundHolder<F>*>(lua_touserdata(L, index)) : 0;
    }
    static int Invoke(lua_State* L)
    {
        BoundHolder<F>* h = Holder(L, lua_upvalueindex(2));
        if (h == 0 || !h->alive)
            return luaL_error(L, "function no longer available");
        return h->f(L);
    }
    static int Collect(lua_State* L)
    {
        BoundHolder<F>* h = Holder(L, 1);
        if (h != 0 && h->alive) {
            h->alive = false;
            h->f.~F();
        }
        return 0;
    }
};

// Pushes the trampoline closure for `wrapper` and a copy of `callable`.
template <typename C>
void PushCallClosure(lua_State* L, lua_CFunction wrapper, const C& callable)
{
    static_assert(std::is_trivially_copyable<C>::value, "a plain callable");
    lua_pushlightuserdata(L, reinterpret_cast<void*>(wrapper));
    memcpy(lua_newuserdata(L, sizeof(C)), static_cast<const void*>(&callable), sizeof(C));
    lua_pushcclosure(L, &LuaCallTrampoline, 2);
}

// The closure of a bound function object: the copy lives in a userdata of
// the state and is destroyed with it.
template <typename F>
void PushBoundClosure(lua_State* L, const F& bound)
{
    lua_pushlightuserdata(L, reinterpret_cast<void*>(&BoundWrapper<F>::Invoke));
    BoundHolder<F>* h = static_cast<BoundHolder<F>*>(lua_newuserdata(L, sizeof(BoundHolder<F>)));
    h->alive = false;
    lua_pushlightuserdata(L, &BoundHolder<F>::tag);
    lua_setuservalue(L, -2);
    new (&h->f) F(bound);
    h->alive = true;
    if constexpr (!std::is_trivially_destructible<F>::value) {
        lua_createtable(L, 0, 1);
        lua_pushcfunction(L, &BoundWrapper<F>::Collect);
        lua_setfield(L, -2, "__gc");
        lua_setmetatable(L, -2);
    }
    lua_pushcclosure(L, &LuaCallTrampoline, 2);
}

}  // namespace lua_bind

template <typename R, typename... A>
void LuaRegFunction(lua_State* L, const char* name, R (*f)(A...))
{
    lua_bind::PushCallClosure(L, &lua_bind::FreeWrapper<R, A...>::Invoke, f);
    lua_setglobal(L, name);
}

// A function object called with the state (a kivo::Bi::BindFunc bound with
// PlaceHolder::_1); it reads its own arguments.
template <typename F>
void LuaRegBound(lua_State* L, const char* name, const F& bound)
{
    lua_bind::PushBoundClosure(L, bound);
    lua_setglobal(L, name);
}

// ---- classes -----------------------------------------------------------------------

void LuaReportNoConstructor(lua_State* L, int expected);

// Cls:new(...): the constructor registered for the argument count.
template <typename T>
int LuaClassNew(lua_State* L)
{
    const int n = lua_gettop(L);
    luaL_getmetatable(L, LuaTypeName<T>());
    int lowest = 0;
    lua_CFunction ctor = 0;
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_getfield(L, -1, "__construct__");
        if (lua_type(L, -1) == LUA_TTABLE) {
            lua_rawgeti(L, -1, n);
            ctor = lua_tocfunction(L, -1);
            lua_pop(L, 1);
            if (ctor == 0) {
                for (lua_Integer i = 1; i <= 8 && lowest == 0; ++i) {
                    lua_rawgeti(L, -1, i);
                    if (lua_tocfunction(L, -1) != 0)
                        lowest = static_cast<int>(i);
                    lua_pop(L, 1);
                }
            }
        }
    }
    lua_settop(L, n);
    if (ctor != 0)
        return ctor(L);
    if (lowest != 0) {
        LuaReportNoConstructor(L, lowest);
        return 0;
    }
    return LuaReportError(L, "userdata:new error!");
}

// u:new(): a heap copy of the object u points to.
template <typename T>
int LuaClassCopyNew(lua_State* L)
{
    if constexpr (!std::is_copy_constructible<T>::value) {
        LuaPrintNoCopy(LuaTypeName<T>());
        lua_pushnil(L);
        return 1;
    } else {
        T* src = 0;
        if (!LuaUserDataIs<T>(L, -1, &src, true))
            return LuaReportError(L, "userdata:new error!");
        LuaPushPointer<T>(L, new T(*src));
        return 1;
    }
}

void LuaOpenClassMetatable(lua_State* L, const char* type_name, lua_Integer size);

// Registers class T under `name`; the class is complete when the builder
// ends.
template <typename T>
class LuaClass : public kivo::NonCopyable {
public:
    LuaClass(lua_State* L, const char* name) : _L(L), _top(lua_gettop(L)), _name(name)
    {
        LuaOpenClassMetatable(L, LuaTypeName<T>(), static_cast<lua_Integer>(sizeof(T)));
        lua_pushcfunction(L, &LuaGuarded<&LuaClassCopyNew<T>>);
        lua_setfield(L, -2, "new");
    }

    ~LuaClass()
    {
        luaL_checkversion(_L);
        lua_createtable(_L, 0, 1);
        lua_pushcfunction(_L, &LuaGuarded<&LuaClassNew<T>>);
        lua_setfield(_L, -2, "new");
        lua_setglobal(_L, _name);
        lua_settop(_L, _top);
    }

    template <typename MF>
    LuaClass& Method(const char* name, MF mf)
    {
        lua_bind::PushCallClosure(_L, &lua_bind::MemberOf<T, MF>::type::Invoke, mf);
        lua_setfield(_L, -2, name);
        return *this;
    }

    LuaClass& RawMethod(const char* name, lua_CFunction f)
    {
        lua_pushvalue(_L, -1);
        lua_pushcclosure(_L, f, 1);
        lua_setfield(_L, -2, name);
        return *this;
    }

    template <typename R, typename... A>
    LuaClass& Function(const char* name, R (*f)(T*, A...))
    {
        lua_bind::PushCallClosure(_L, &lua_bind::SelfWrapper<T, R (*)(T*, A...), R, A...>::Invoke, f);
        lua_setfield(_L, -2, name);
        return *this;
    }

    LuaClass& Construct(int argc, lua_CFunction f)
    {
        lua_getfield(_L, -1, "__construct__");
        lua_pushcfunction(_L, f);
        lua_rawseti(_L, -2, argc + 1);
        lua_pop(_L, 1);
        return *this;
    }

private:
    lua_State* _L;
    int _top;
    const char* _name;
};

// The class "vector_int" (a std::vector<int>).
void VectorIntRegister(lua_State* L);

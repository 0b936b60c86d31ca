#include "common/script/lua_cpp/lua_lib.h"

#include <stdio.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/function.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/service/elem.h"
#include "kivo/service/timer.h"

namespace {

typedef LuaLibCommon::LuaLibPyFile PyFile;

const char kTimerBack[] = "__timerback__";

// Open flags of the native file system.
const int kOpenReadWrite = 0x2;
const int kOpenCreate = 0x40;
const int kOpenExclusive = 0x80;
const int kOpenTruncate = 0x200;
const int kOpenAppend = 0x400;

// The registry key of the table of files the script has open: {[file
// userdata] = true}. What is still in it when the library goes is closed.
char s_files_key;

void PushFiles(lua_State* L)
{
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &s_files_key) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_rawsetp(L, LUA_REGISTRYINDEX, &s_files_key);
    }
}

// Forgets the file userdata at `index` (setting an existing key to nil
// allocates nothing).
void UntrackFile(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    if (!lua_checkstack(L, 3))
        return;
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &s_files_key) == LUA_TTABLE) {
        lua_pushvalue(L, index);
        lua_pushnil(L);
        lua_rawset(L, -3);
    }
    lua_pop(L, 1);
}

// Closes and releases every file still open in L. Runs outside any
// protected call, so it only reads the table and clears records: nothing
// that allocates in the interpreter.
void CloseFiles(lua_State* L)
{
    if (!lua_checkstack(L, 3))
        return;
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &s_files_key) == LUA_TTABLE) {
        lua_pushnil(L);
        while (lua_next(L, -2) != 0) {
            lua_pop(L, 1);
            LuaUserData* rec = LuaUserDataRecord(L, -1);
            if (rec != 0 && rec->obj != 0 && rec->type_name == LuaTypeName<PyFile>()) {
                PyFile* f = static_cast<PyFile*>(rec->obj);
                rec->obj = 0;
                delete f;
            }
        }
    }
    lua_pop(L, 1);
}

// What open()'s mode asks for.
struct OpenMode {
    int flags;
    bool exclusive;
    bool binary;
};

OpenMode ParseMode(const std::string& mode)
{
    OpenMode m = {0, false, false};
    for (size_t i = 0; i < mode.size(); ++i) {
        switch (mode[i]) {
        case 'w':
            m.flags |= kOpenReadWrite | kOpenCreate | kOpenTruncate;
            break;
        case 'x':
            m.exclusive = true;
            break;
        case 'a':
            // Appending needs a writable file that may not exist yet.
            m.flags |= kOpenReadWrite | kOpenCreate | kOpenAppend;
            break;
        case 'b':
            m.binary = true;
            break;
        case 't':
            m.binary = false;
            break;
        case '+':
            m.flags |= kOpenReadWrite;
            break;
        default:
            break;
        }
    }
    return m;
}

// Pushes a "File" userdata without a file yet, tracked in the open files.
LuaUserData* PushTrackedFile(lua_State* L)
{
    LuaUserData* rec = LuaNewRecord(L, LuaMakeRecord<PyFile>(static_cast<PyFile*>(0), true));
    LuaSetMetatableByType(L, LuaTypeName<PyFile>());
    PushFiles(L);
    lua_pushvalue(L, -2);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
    lua_pop(L, 1);
    return rec;
}

int LuaOpen(lua_State* L)
{
    const int n = lua_gettop(L);
    if (n == 0) {
        fputs("open() need most argv\n", stdout);
        lua_pushstring(L, "open() need most argv");
        return lua_error(L);
    }
    const std::string path = LuaValueText(L, 1);
    OpenMode mode = ParseMode(n >= 2 ? LuaValueText(L, 2) : std::string("r"));
    if (mode.exclusive) {
        // A new file to write; the exclusive flag keeps a file that appears
        // after the check from being truncated.
        mode.flags |= kOpenReadWrite | kOpenCreate | kOpenExclusive;
        if (kivo::filesystem::IsFile(path))
            return LuaReportError(L, "open error, file is exit");
    }
    // The userdata first, tracked, and the file last: once the file is
    // open nothing can fail before the script holds it.
    LuaUserData* rec = PushTrackedFile(L);
    int32_t handle = kivo_file_handle_invalid;
    kivo_file_open(&handle, path.c_str(), mode.flags);
    if (!kivo_file_handle_is_valid(handle)) {
        UntrackFile(L, -1);
        lua_pop(L, 1);
        return LuaReportError(L, "open error, file is not exit");
    }
    PyFile* f = new (std::nothrow) PyFile(handle, mode.binary);
    if (f == 0) {
        kivo_file_close(handle);
        UntrackFile(L, -1);
        return luaL_error(L, "not enough memory");
    }
    rec->obj = f;
    return 1;
}

// f:close(): closes and releases the object; the userdata forgets it, so a
// later close, delete or method call finds nothing to act on.
int FileClose(lua_State* L)
{
    if (!LuaCheckArgCount(L, 1))
        return 0;
    PyFile* f = LuaUserDataGetThis<PyFile>(L);
    if (f == 0)
        return 0;
    LuaUserDataRecord(L, 1)->obj = 0;
    UntrackFile(L, 1);
    delete f;
    return 0;
}

// f:delete(): as close, with any arguments.
int FileDelete(lua_State* L)
{
    PyFile* f = 0;
    if (!LuaUserDataIs<PyFile>(L, 1, &f, true))
        return 0;
    LuaUserDataRecord(L, 1)->obj = 0;
    UntrackFile(L, 1);
    delete f;
    return 0;
}

int FileRead(lua_State* L)
{
    PyFile* f = LuaUserDataGetThis<PyFile>(L);
    if (f == 0)
        return 0;
    const int n = lua_gettop(L);
    kivo_stat64_t st;
    if (kivo_file_fstat64(f->fd, &st) != 0)
        return 0;
    uint64_t count = st.size > 0 ? static_cast<uint64_t>(st.size) : 0;
    if (n > 1) {
        long long asked = 0;
        LuaToBase<long long>(L, n, &asked);
        const uint64_t asked32 = static_cast<uint32_t>(asked);
        if (asked32 < count)
            count = asked32;
    }
    if (count > static_cast<uint64_t>(PTRDIFF_MAX))
        return luaL_error(L, "file too large to read at once");
    std::vector<char> buf(static_cast<size_t>(count));
    ssize_t done = -1;
    if (kivo_file_read(f->fd, buf.data(), buf.size(), &done) != 0 || done < 0)
        return 0;
    lua_pushlstring(L, buf.data(), static_cast<size_t>(done));
    return 1;
}

int FileTruncate(lua_State* L)
{
    PyFile* f = LuaUserDataGetThis<PyFile>(L);
    if (f == 0)
        return 0;
    const int n = lua_gettop(L);
    long long length = 0;
    if (n > 1)
        LuaToBase<long long>(L, n, &length);
    kivo_file_ftruncate64(f->fd, length);
    int64_t pos = -1;
    if (kivo_file_lseek64(f->fd, 0, 1, &pos) != 0)
        pos = -1;
    lua_pushinteger(L, static_cast<lua_Integer>(pos));
    return 1;
}

bool RouterPost(const std::string& path, const kivo::Var& value)
{
    return kivo::ElemPost(path, value);
}

bool RouterSend(const std::string& path, const kivo::Var& value)
{
    return kivo::ElemSend(path, value);
}

int RouterWrite(lua_State* L)
{
    const int n = lua_gettop(L);
    if (n < 2)
        return LuaReportError(L, "_RouterWrite need at lease 2 args\n");
    unsigned char flag = 0;
    bool sync = false;
    if (n > 2)
        LuaToBase<unsigned char>(L, 3, &flag);
    if (n > 3)
        LuaToBase<bool>(L, 4, &sync);
    const std::string path = LuaValueText(L, 1);
    kivo::Var value(0);
    LuaValueToVar(L, 2, value);
    lua_pushboolean(L, kivo::ElemWrite(path, value, flag, sync) ? 1 : 0);
    return 1;
}

int RouterRead(lua_State* L)
{
    const int n = lua_gettop(L);
    if (n < 1)
        return LuaReportError(L, "_RouterRead need at lease 2 args\n");
    bool take = false;
    if (n > 1)
        LuaToBase<bool>(L, 2, &take);
    const std::string path = LuaValueText(L, 1);
    kivo::Var value(0);
    kivo::ElemRead(path, value, take);
    LuaPushVar(L, value);
    return 1;
}

int64_t TickGetUs()
{
    return kivo_tick_div1000(kivo_tick_ns());
}

uint32_t TickGetMs()
{
    return kivo_tick_ms();
}

// Pushes the table of timer callbacks, read raw so that nothing a script
// did to the globals can raise here.
void PushTimerBack(lua_State* L)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushstring(L, kTimerBack);
    lua_rawget(L, -2);
    lua_remove(L, -2);
}

// Calls __timerback__[id] protected; returns whether a function was there.
bool RunTimerBack(lua_State* L, lua_Integer id)
{
    PushTimerBack(L);
    bool found = false;
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_rawgeti(L, -1, id);
        if (lua_type(L, -1) == LUA_TFUNCTION) {
            found = true;
            lua_pcall(L, 0, 0, 0);  // a failing callback is dropped
        }
    }
    return found;
}

kivo::Timer* TimerOf(int id)
{
    kivo_handle_payload_t p;
    if (kivo_handle_get(id, &p) != 1)
        return 0;
    return reinterpret_cast<kivo::Timer*>(p.word[0]);
}

}  // namespace

// ---- File -------------------------------------------------------------------------------

int LuaLibCommon::LuaLibPyFile::Write(const kivo::StringView& data)
{
    if (!kivo_file_handle_is_valid(fd))
        return -1;
    ssize_t done = -1;
    if (kivo_file_write(fd, data.Data(), data.Size(), &done) != 0)
        return -1;
    return static_cast<int>(done);
}

void LuaLibCommon::LuaLibPyFile::Close()
{
    if (kivo_file_handle_is_valid(fd))
        kivo_file_close(fd);
    fd = kivo_file_handle_invalid;
}

int64_t LuaLibCommon::LuaLibPyFile::Seek(int64_t offset, int whence)
{
    if (!kivo_file_handle_is_valid(fd) || whence < 0 || whence > 2)
        return -1;
    int64_t pos = -1;
    if (kivo_file_lseek64(fd, offset, whence, &pos) != 0)
        return -1;
    return pos;
}

// ---- library ----------------------------------------------------------------------------

LuaLibCommon::LuaLibCommon() : _lock(0), _state(0) {}

LuaLibCommon::~LuaLibCommon()
{
    // Under the lock no callback is inside; any that comes later sees the
    // mark and leaves without touching this object.
    std::set<int> ids;
    if (_lock != 0)
        _lock->Lock(KIVO_WAIT_FOREVER);
    _slot.MarkDead();
    ids.swap(_timers);
    if (_lock != 0)
        _lock->Unlock();
    for (std::set<int>::const_iterator it = ids.begin(); it != ids.end(); ++it) {
        kivo::Timer* t = TimerOf(*it);
        if (t != 0) {
            t->StopWait(KIVO_WAIT_FOREVER);  // a callback on its way out
            delete t;
        }
        kivo_handle_free(*it, 0);
    }
    // Files the script left open: closed before anything else (the install)
    // needs the handles.
    if (_state != 0)
        CloseFiles(_state);
}

bool LuaLibCommon::Init(lua_State* L, kivo::Mutex* lock)
{
    _lock = lock;
    _state = L;
    lua_newtable(L);
    lua_setglobal(L, kTimerBack);
    PushFiles(L);
    lua_pop(L, 1);
    // Bound to the slot: a file opened after the library went (by a
    // finalizer while the state closes) would never be closed.
    LuaRegBound(L, "open", kivo::Bind(&LuaLibCommon::_OpenFn, _slot.GetObserver(), kivo::PlaceHolder::_1));
    LuaClass<LuaLibPyFile>(L, "File")
        .Method("write", &LuaLibPyFile::Write)
        .RawMethod("close", &LuaGuarded<&FileClose>)
        .RawMethod("delete", &LuaGuarded<&FileDelete>)
        .RawMethod("read", &LuaGuarded<&FileRead>)
        .RawMethod("truncate", &LuaGuarded<&FileTruncate>)
        .Method("seek", &LuaLibPyFile::Seek);
    LuaRegFunction(L, "router_post", &RouterPost);
    LuaRegFunction(L, "router_send", &RouterSend);
    lua_pushcfunction(L, &LuaGuarded<&RouterWrite>);
    lua_setglobal(L, "router_write");
    lua_pushcfunction(L, &LuaGuarded<&RouterRead>);
    lua_setglobal(L, "router_read");
    // With the slot's observer: a script that outlives this object gets no
    // timers instead of reaching a destroyed one.
    LuaRegBound(L, "timer_start",
                kivo::Bind(&LuaLibCommon::_TimerStartFn, this, _slot.GetObserver(), kivo::PlaceHolder::_1));
    LuaRegBound(L, "timer_stop",
                kivo::Bind(&LuaLibCommon::_TimerStopFn, this, _slot.GetObserver(), kivo::PlaceHolder::_1));
    LuaRegFunction(L, "tick_getus", &TickGetUs);
    LuaRegFunction(L, "tick_getms", &TickGetMs);
    LuaRegBound(L, "dostring", kivo::Bind(&LuaLibCommon::_DoStringFn, this, kivo::PlaceHolder::_1));
    return true;
}

int LuaLibCommon::_OpenFn(const kivo::Slot::Observer& live, lua_State* L)
{
    return live.IsLive() ? LuaGuardCall(L, &LuaOpen) : 0;
}

int LuaLibCommon::_TimerStartFn(LuaLibCommon* self, const kivo::Slot::Observer& live, lua_State* L)
{
    return live.IsLive() ? self->_TimerStart(L) : 0;
}

int LuaLibCommon::_TimerStopFn(LuaLibCommon* self, const kivo::Slot::Observer& live, lua_State* L)
{
    const int n = lua_gettop(L);
    if (n == 0 || !live.IsLive())
        return 0;
    int id = -1;
    if (LuaToBase<int>(L, n, &id))
        self->_StopTimerAndCallback(L, id);
    return 0;
}

int LuaLibCommon::_DoStringFn(LuaLibCommon*, lua_State* L)
{
    const int n = lua_gettop(L);
    if (n == 0)
        return 0;
    const std::string text = LuaValueText(L, n);
    if (luaL_loadbuffer(L, text.data(), text.size(), text.c_str()) == LUA_OK)
        lua_pcall(L, 0, LUA_MULTRET, 0);
    lua_settop(L, n);  // results and errors are dropped
    return 0;
}

int LuaLibCommon::_TimerStart(lua_State* L)
{
    const int n = lua_gettop(L);
    if (n < 2 || lua_type(L, 1) != LUA_TFUNCTION)
        return 0;
    int interval = 0;
    LuaToBase<int>(L, 2, &interval);
    long long count = 0xFFFFFFFFLL;
    if (n >= 3)
        LuaToBase<long long>(L, 3, &count);
    int delay = 0;
    if (n >= 4)
        LuaToBase<int>(L, 4, &delay);

    const int32_t id = kivo_handle_alloc(0);
    if (id < 0)
        return 0;
    std::unique_ptr<kivo::Timer> timer(new kivo::Timer);
    timer->Setting(kivo::Function0<void>(kivo::Bind(&LuaLibCommon::_OnTimer, this, static_cast<int>(id),
                                                    _slot.GetObserver())));
    PushTimerBack(L);
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_pushvalue(L, 1);
        lua_rawseti(L, -2, id);
    }
    lua_pop(L, 1);
    kivo_handle_payload_t payload = {{reinterpret_cast<uintptr_t>(timer.get()), 0, 0}};
    kivo_handle_set(id, &payload, 0);
    _timers.insert(id);
    kivo::Timer* t = timer.release();
    // Fails without a service on this thread to run the callbacks.
    if (!t->RestartUs(static_cast<uint64_t>(static_cast<uint32_t>(interval)) * 1000u, static_cast<uint32_t>(count),
                      static_cast<int64_t>(delay) * 1000)) {
        _StopTimerAndCallback(L, id);
        return 0;
    }
    lua_pushinteger(L, id);
    return 1;
}

void LuaLibCommon::_OnTimer(int id, kivo::Slot::Observer& observer)
{
    if (!observer.IsLive())
        return;
    kivo::Mutex* lock = _lock;
    if (lock != 0)
        lock->Lock(KIVO_WAIT_FOREVER);
    // Checked again under the lock: the library may have gone meanwhile, or
    // the timer been stopped by a callback that ran first.
    if (observer.IsLive() && _state != 0 && _timers.count(id) != 0) {
        lua_State* L = _state;
        const int top = lua_gettop(L);
        // Protected as a whole: a collection step on the way may run a
        // finalizer that fails, and this thread has no other protection.
        bool found = true;
        LuaProtect(L, [&found, id](lua_State* S) { found = RunTimerBack(S, id); });
        lua_settop(L, top);
        if (_timers.count(id) != 0) {
            kivo::Timer* t = TimerOf(id);
            // Nothing to call, or nothing more to come (the last count done,
            // or a zero period that fires once): the timer is reclaimed.
            if (!found || t == 0 || t->IsStopped())
                _StopTimerAndCallback(L, id);
        }
    }
    if (lock != 0)
        lock->Unlock();
}

bool LuaLibCommon::_StopTimer(int id)
{
    std::set<int>::iterator it = _timers.find(id);
    if (it == _timers.end())
        return false;
    _timers.erase(it);
    // No wait: a tick of this timer already on its way finds the id gone.
    kivo::Timer* t = TimerOf(id);
    if (t != 0) {
        t->Stop();
        delete t;
    }
    kivo_handle_free(id, 0);
    return true;
}

void LuaLibCommon::_StopTimerAndCallback(lua_State* L, int id)
{
    if (!_StopTimer(id))
        return;
    // Also from the timer's thread, where nothing else protects the state.
    LuaProtect(L, [id](lua_State* S) {
        PushTimerBack(S);
        if (lua_type(S, -1) == LUA_TTABLE) {
            lua_pushnil(S);
            lua_rawseti(S, -2, id);
        }
        lua_pop(S, 1);
    });
}

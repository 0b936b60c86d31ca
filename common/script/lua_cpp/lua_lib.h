#pragma once

// LuaLibCommon: the functions the system gives its scripts.
//
//   open(path [, mode])         a File ("r", "w", "a", "x", "b", "t", "+");
//                               "w", "a" and "x" write and create, "a"
//                               appends, "x" refuses an existing file
//     f:write(data) f:read([n]) f:seek(off, whence) f:truncate([len]) f:close()
//   router_post(path, v)        router_send(path, v)
//   router_write(path, v [, flag [, sync]])   router_read(path [, take])
//   timer_start(fn, ms [, count [, delay_ms]]) -> id     timer_stop(id)
//   tick_getus()  tick_getms()  dostring(text)
//
// Errors are reported as a message line and a dump of the Lua stack, and the
// script gets no results; only open() without arguments raises. Files a
// script leaves open are closed when the library goes, before its state.
//
// Timer callbacks run in the thread of the service that ran timer_start
// (the script's own service; on a thread without one timer_start gives
// nothing), holding the mutex given to Init while they use the state. A
// timer is reclaimed (handle and callback) once it has nothing more to do. Code that runs the same state from another thread must hold
// that mutex too. The library object goes before its state; its destructor
// stops the timers still running (and waits for a callback in progress, so
// it must not be called while another thread's callback waits on the mutex
// that the caller holds).

#include <stdint.h>

#include <set>

#include "common/script/lua_cpp/lua_cpp.h"
#include "kivo/base/kivo_pthread.h"
#include "kivo/base/noncopyable.h"
#include "kivo/service/slot.h"

class LuaLibCommon : public kivo::NonCopyable {
public:
    // The object behind a script "File": one handle of the framework's file
    // layer. It owns the handle: releasing the object closes it.
    struct LuaLibPyFile : public kivo::NonCopyable {
        LuaLibPyFile(int32_t handle, bool bin) : fd(handle), binary(bin) {}
        ~LuaLibPyFile() { Close(); }

        // Bytes written, or -1.
        int Write(const kivo::StringView& data);
        void Close();
        // The new position, or -1.
        int64_t Seek(int64_t offset, int whence);

        int fd;
        bool binary;  // the last of "b" and "t" in the mode was "b"
    };

    LuaLibCommon();
    ~LuaLibCommon();

    // Registers the library into L; lock guards the state against timer
    // callbacks (may be null). Always true. L is made by LuaState, or has
    // had LuaPrepareProtect: timer callbacks run in LuaProtect.
    bool Init(lua_State* L, kivo::Mutex* lock);
    bool Init(lua_State* L, kivo::Mutex& lock) { return Init(L, &lock); }
    bool Init(LuaState& state, kivo::Mutex* lock) { return Init(state.GetState(), lock); }
    bool Init(LuaState& state, kivo::Mutex& lock) { return Init(state.GetState(), &lock); }

private:
    // A slot that can be marked dead before the timers are stopped.
    class _LifeSlot : public kivo::Slot {
    public:
        void MarkDead() { _MarkDead(); }
    };

    static int _OpenFn(const kivo::Slot::Observer& live, lua_State* L);
    static int _TimerStartFn(LuaLibCommon* self, const kivo::Slot::Observer& live, lua_State* L);
    static int _TimerStopFn(LuaLibCommon* self, const kivo::Slot::Observer& live, lua_State* L);
    static int _DoStringFn(LuaLibCommon* self, lua_State* L);

    int _TimerStart(lua_State* L);
    void _OnTimer(int id, kivo::Slot::Observer& observer);
    // Stops and destroys timer id and frees its handle; true when it was
    // running.
    bool _StopTimer(int id);
    // The same, also dropping its script function.
    void _StopTimerAndCallback(lua_State* L, int id);

    kivo::Mutex* _lock;
    _LifeSlot _slot;
    lua_State* _state;
    std::set<int> _timers;
};

// The script library against real files under a temporary root, real
// routes and path values, and timers served by the test thread's service.

#include "common/script/lua_cpp/lua_lib.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../../kivo/filesystem/fs_test_sandbox.h"
#include "../../../kivo/service/wait_for.h"
#include "kivo/base/kivo_handle.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/elem.h"
#include "kivo/service/service.h"
#include "lua_test_script.h"
#include "open_descriptors.h"

using kivo::Message;
using kivo::MsgRouter;

namespace {

class LuaLibTest : public FsSandbox, public LuaScript {
protected:
    LuaLibTest() : svc("lua_lib_test", 64) { svc.Start(); }
    ~LuaLibTest() override { svc.Stop(); }

    void SetUp() override
    {
        FsSandbox::SetUp();
        state.reset(new LuaState);
        Attach(state.get());
        lib.reset(new LuaLibCommon);
        EXPECT_TRUE(lib->Init(*state, mutex));
    }

    // The library goes first, then its state; every handle must be back.
    void TearDown() override
    {
        lib.reset();
        state.reset();
        FsSandbox::TearDown();
    }

    // Serves the test thread's service until the condition holds.
    template <typename F>
    bool ServeUntil(F done)
    {
        return kivo_test::WaitFor([&] {
            svc.RunFor(2);
            return done();
        });
    }

    // Serves the test thread's service for about ms milliseconds.
    void ServeFor(uint32_t ms)
    {
        const uint32_t start = kivo_tick_ms();
        while (kivo_tick_ms() - start < ms)
            svc.RunFor(5);
    }

    kivo::Service svc;
    kivo::Mutex mutex;
    std::unique_ptr<LuaState> state;
    std::unique_ptr<LuaLibCommon> lib;
};

// ---- files ---------------------------------------------------------------------------------

TEST_F(LuaLibTest, ReadSeekAndTruncateAnExistingFile)
{
    Put("/ten.txt", "0123456789");
    ASSERT_EQ(0, Exec("f = open('/ten.txt', 'r+')"));
    EXPECT_EQ("0123456789", Eval("f:read()"));
    EXPECT_EQ("", Eval("f:read()"));
    EXPECT_EQ("10", Eval("f:seek(0, 2)"));
    EXPECT_EQ("2", Eval("f:seek(2, 0)"));
    EXPECT_EQ("234", Eval("f:read(3)"));
    EXPECT_EQ("56789", Eval("f:read(-1)"));  // taken as unsigned: the rest
    EXPECT_EQ("-1", Eval("f:seek(0, 7)"));
    EXPECT_EQ("6", Eval("f:seek(6, 0)"));
    EXPECT_EQ("6", Eval("f:truncate(4)"));  // the position is not moved
    EXPECT_EQ("0", Eval("f:seek(-6, 1) - 0"));
    EXPECT_EQ(0, Exec("f:close()"));
    EXPECT_EQ("0123", Get("/ten.txt"));
}

TEST_F(LuaLibTest, OpenModesCreateTruncateAndAppend)
{
    struct Case {
        const char* before;  // null: no file
        const char* mode;
        const char* write;
        const char* after;
    };
    const Case cases[] = {
        {nullptr, "w", "abc", "abc"},
        {"old text", "w", "new", "new"},
        {"x", "a", "y", "xy"},
        {nullptr, "ab", "z", "z"},
        {nullptr, "wx", "fresh", "fresh"},
        {nullptr, "x", "new", "new"},
        {"keep", "r+", "K", "Keep"},
    };
    for (const Case& c : cases) {
        if (c.before != nullptr)
            Put("/m.txt", c.before);
        const std::string code =
            std::string("f = open('/m.txt', '") + c.mode + "'); n = f:write('" + c.write + "'); f:close()";
        ASSERT_EQ(0, Exec(code)) << c.mode;
        EXPECT_EQ(std::to_string(strlen(c.write)), Eval("n")) << c.mode;
        EXPECT_EQ(c.after, Get("/m.txt")) << c.mode;
        remove(Real("/m.txt").c_str());
    }
    // Read-only: writing fails.
    Put("/ro.txt", "ro");
    ASSERT_EQ(0, Exec("f = open('/ro.txt'); n = f:write('x'); f:close()"));
    EXPECT_EQ("-1", Eval("n"));
    EXPECT_EQ("ro", Get("/ro.txt"));
}

TEST_F(LuaLibTest, OpenFailuresReportAndReturnNothing)
{
    Put("/there.txt", "data");
    struct Case {
        const char* code;
        const char* printed;
    };
    const Case cases[] = {
        {"r = open('/there.txt', 'wx')", "open error, file is exit\nLUA Dump stack size = 2\n/there.txt\nwx\n\n"},
        {"r = open('/missing.txt')", "open error, file is not exit\nLUA Dump stack size = 1\n/missing.txt\n\n"},
        {"r = open('/no/dir/x.txt', 'w')", "open error, file is not exit\n"},
        {"r = File:new()", "userdata:new error!\n"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, Exec("r = 'unset'"));
        int status = -1;
        const std::string out = Printed(c.code, &status);
        EXPECT_EQ(0, status) << c.code;
        EXPECT_EQ(0u, out.find(c.printed)) << c.code << ": " << out;
        EXPECT_EQ("nil", Eval("r")) << c.code;
    }
    EXPECT_EQ("data", Get("/there.txt"));

    int status = 0;
    const std::string out = Printed("open()", &status);
    EXPECT_EQ(LUA_ERRRUN, status);
    EXPECT_EQ("open() need most argv\n", out);
    EXPECT_NE(std::string::npos, Eval("select(2, pcall(open))").find("open() need most argv"));
}

TEST_F(LuaLibTest, ClosedFileIsNeverUsedAgain)
{
    Put("/c.txt", "abc");
    ASSERT_EQ(0, Exec("f = open('/c.txt', 'r+'); f:close()"));
    const char* uses[] = {"f:close()", "r = f:read()", "r = f:write('x')", "r = f:seek(0, 0)", "r = f:truncate()"};
    for (const char* use : uses) {
        int status = -1;
        const std::string out = Printed(use, &status);
        EXPECT_EQ(0, status) << use;
        EXPECT_EQ(0u, out.find("userdata is released")) << use << ": " << out;
    }
    // Deleting after closing frees nothing twice.
    EXPECT_EQ(0, Exec("f:delete(); f:delete()"));
    EXPECT_EQ("abc", Get("/c.txt"));
    // Deleting an open file closes its handle (checked when the test ends).
    EXPECT_EQ(0, Exec("g = open('/c.txt'); g:delete()"));
}

TEST_F(LuaLibTest, FileMethodsCheckTheirCounts)
{
    Put("/n.txt", "abc");
    ASSERT_EQ(0, Exec("f = open('/n.txt')"));
    struct Case {
        const char* code;
        const char* printed;
    };
    const Case cases[] = {
        {"r = f:seek(1)", "args num need 3, but input is 2"},
        {"r = f:write()", "args num need 2, but input is 1"},
        {"f:close(1)", "args num need 1, but input is 2"},
    };
    for (const Case& c : cases) {
        const std::string out = Printed(c.code);
        EXPECT_EQ(0u, out.find(c.printed)) << c.code << ": " << out;
    }
    EXPECT_EQ("abc", Eval("f:read()"));  // still open
    // A file owns its handle: no copy of it is made.
    const std::string copy = Printed("r = f:new()");
    EXPECT_NE(std::string::npos, copy.find("not suppot copy to LUA, push nil")) << copy;
    EXPECT_EQ("nil", Eval("r"));
    EXPECT_EQ(0, Exec("f:close()"));
}

// ---- routes and path values ----------------------------------------------------------------

std::vector<std::string> g_got;
std::vector<int> g_ids;

void Collect(Message& m)
{
    g_got.push_back(m.value.ToString());
    g_ids.push_back(m.id);
}

TEST_F(LuaLibTest, RouterWriteAndReadPathValues)
{
    EXPECT_EQ("0", Eval("router_read('/lua_lib_test/never')"));
    EXPECT_EQ("true", Eval("tostring(router_write('/lua_lib_test/v', 5))"));
    EXPECT_EQ("5", Eval("router_read('/lua_lib_test/v')"));
    EXPECT_EQ("5", Eval("router_read('/lua_lib_test/v', true)"));
    EXPECT_EQ("0", Eval("router_read('/lua_lib_test/v')"));  // taken
    ASSERT_EQ(0, Exec("router_write('/lua_lib_test/t', '[1,2]')"));
    EXPECT_EQ("{1:1,2:2,}", Eval("router_read('/lua_lib_test/t')"));
    ASSERT_EQ(0, Exec("router_write('/lua_lib_test/d', {a = 'x'})"));
    EXPECT_EQ("x", Eval("router_read('/lua_lib_test/d').a"));

    const std::string w = Printed("r = router_write('/lua_lib_test/v')");
    EXPECT_EQ("_RouterWrite need at lease 2 args\n\nLUA Dump stack size = 1\n/lua_lib_test/v\n\n", w);
    const std::string r = Printed("r = router_read()");
    EXPECT_EQ(0u, r.find("_RouterRead need at lease 2 args\n")) << r;
    EXPECT_EQ("nil", Eval("r"));
}

TEST_F(LuaLibTest, RouterPostSendAndWriteReachReceivers)
{
    g_got.clear();
    g_ids.clear();
    MsgRouter router;
    router.Connect("/lua_lib_test/rx", MsgRouter::Handler(&Collect), 0);
    ASSERT_TRUE(kivo::ElemWrite("/lua_lib_test/rx", kivo::Var(0)));
    svc.ProcessAll();
    g_got.clear();
    g_ids.clear();

    EXPECT_EQ("true", Eval("tostring(router_post('/lua_lib_test/rx', 'posted'))"));
    EXPECT_TRUE(g_got.empty());
    svc.ProcessAll();
    EXPECT_EQ("true", Eval("tostring(router_send('/lua_lib_test/rx', 7))"));  // this thread: at once
    EXPECT_EQ("true", Eval("tostring(router_write('/lua_lib_test/rx', 'w', 3, true))"));
    EXPECT_EQ((std::vector<std::string>{"posted", "7", "w"}), g_got);
    EXPECT_EQ(3, g_ids.back());
    EXPECT_EQ("w", Eval("router_read('/lua_lib_test/rx')"));

    EXPECT_EQ("false", Eval("tostring(router_post('/lua_lib_test/no_entry', 1))"));
    const std::string out = Printed("r = router_post('/lua_lib_test/rx')");
    EXPECT_EQ(0u, out.find("args num need 2, but input is 1")) << out;
    EXPECT_EQ("nil", Eval("r"));
}

// ---- ticks and dostring ---------------------------------------------------------------------

TEST_F(LuaLibTest, TicksAreMonotonicAndAgree)
{
    ASSERT_EQ(0, Exec("us1 = tick_getus(); ms = tick_getms(); us2 = tick_getus()"));
    const long long us1 = std::stoll(Eval("us1"));
    const long long us2 = std::stoll(Eval("us2"));
    const unsigned long ms = std::stoul(Eval("ms"));
    EXPECT_LE(us1, us2);
    EXPECT_LE(static_cast<uint32_t>(us1 / 1000 - 1), ms + 0u);
    EXPECT_LE(ms, static_cast<uint32_t>(us2 / 1000 + 1));
    EXPECT_EQ(0u, Printed("tick_getms(1)").find("args num need 0, but input is 1"));
}

TEST_F(LuaLibTest, DostringRunsAndSwallowsErrors)
{
    EXPECT_EQ(0, Exec("dostring('x = 1')"));
    EXPECT_EQ("1", Eval("x"));
    EXPECT_EQ(0, Exec("dostring('(')"));
    EXPECT_EQ(0, Exec("dostring('x = 2; error(\"e\")')"));
    EXPECT_EQ("2", Eval("x"));
    EXPECT_EQ("3", Eval("select('#', 1, dostring('return 5'), 3)"));  // nothing returned
}

// ---- timers ---------------------------------------------------------------------------------

TEST_F(LuaLibTest, TimerCallsItsFunctionCountTimesAndIsReclaimed)
{
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, Exec("calls = {}; t0 = tick_getms(); "
                      "id = timer_start(function() calls[#calls + 1] = tick_getms() - t0 end, 30, 3)"));
    EXPECT_GE(std::stoll(Eval("id")), 0);
    EXPECT_EQ(free_before - 1, kivo_handle_free_count());
    ASSERT_TRUE(ServeUntil([this] { return Eval("#calls") == "3"; }));
    // Never early: call i comes a period after call i - 1 was due.
    for (int i = 1; i <= 3; ++i)
        EXPECT_GE(std::stoll(Eval("calls[" + std::to_string(i) + "]")), 30 * i - 2) << "call " << i;
    ServeFor(100);
    EXPECT_EQ("3", Eval("#calls"));
    EXPECT_EQ(free_before, kivo_handle_free_count());
    EXPECT_EQ("nil", Eval("__timerback__[id]"));

    // A zero period fires once at once, whatever the count.
    ASSERT_EQ(0, Exec("once = 0; timer_start(function() once = once + 1 end, 0)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("once") == "1"; }));
    EXPECT_EQ(free_before, kivo_handle_free_count());

    // A delay comes before the first period.
    ASSERT_EQ(0, Exec("t0 = tick_getms(); timer_start(function() at = tick_getms() - t0 end, 20, 1, 60)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("at") != "nil"; }));
    EXPECT_GE(std::stoll(Eval("at")), 80 - 2);
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibTest, TimerStartRefusesBadArguments)
{
    const int32_t free_before = kivo_handle_free_count();
    const char* calls[] = {"timer_start(5, 100)", "timer_start(function() end)", "timer_start()"};
    for (const char* c : calls)
        EXPECT_EQ("0", Eval(std::string("select('#', ") + c + ")")) << c;
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibTest, TimerStopEndsATimerAndIgnoresUnknownIds)
{
    Put("/f.txt", "x");
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, Exec("n = 0; id = timer_start(function() n = n + 1 end, 5)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("n") != "0"; }));
    // A file's handle (from the same handle table) is no timer id.
    ASSERT_EQ(0, Exec("f = open('/f.txt')"));
    lua_State* L = state->GetState();
    lua_getglobal(L, "f");
    LuaLibCommon::LuaLibPyFile* file = 0;
    ASSERT_TRUE(LuaUserDataIs(L, -1, &file, true));
    const std::string fd = std::to_string(file->fd);
    lua_settop(L, 0);
    ASSERT_EQ(0, Exec("timer_stop(12345); timer_stop(" + fd + "); timer_stop(f); timer_stop()"));
    EXPECT_EQ("x", Eval("f:read()"));
    ASSERT_EQ(0, Exec("f:close(); timer_stop(id); stopped_at = n"));
    EXPECT_EQ(free_before, kivo_handle_free_count());
    ServeFor(60);
    EXPECT_EQ(Eval("stopped_at"), Eval("n"));
}

kivo_thread_t g_script_thread;

int OnScriptThread(lua_State* L)
{
    lua_pushboolean(L, kivo_thread_equal(kivo_thread_self(), g_script_thread));
    return 1;
}

TEST_F(LuaLibTest, TimerCallbacksRunInTheServiceOfTheStartingThread)
{
    g_script_thread = kivo_thread_self();
    state->RegFunc("on_script_thread", &OnScriptThread);
    ASSERT_EQ(0, Exec("seen = {}; timer_start(function() seen[#seen + 1] = on_script_thread() end, 5, 3)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("#seen") == "3"; }));
    EXPECT_EQ("{1:1,2:1,3:1,}", Eval("seen"));

    // A thread without a service has nothing to run the callbacks: no timer.
    const int32_t free_before = kivo_handle_free_count();
    std::string results;
    std::thread other([&] { results = Eval("select('#', timer_start(function() end, 5))"); });
    other.join();
    EXPECT_EQ("0", results);
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibTest, FailingOrMissingCallbacksAreHandled)
{
    const int32_t free_before = kivo_handle_free_count();
    // Errors are swallowed and the timer goes on.
    ASSERT_EQ(0, Exec("n = 0; bad = timer_start(function() n = n + 1; error('x') end, 5, 2)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("n") == "2"; }));
    // A callback taken away stops its timer at the next tick.
    ASSERT_EQ(0, Exec("m = 0; gone = timer_start(function() m = m + 1 end, 5); __timerback__[gone] = nil"));
    ASSERT_TRUE(ServeUntil([&] { return kivo_handle_free_count() == free_before; }));
    EXPECT_EQ("0", Eval("m"));
    // A callback that stops its own timer.
    ASSERT_EQ(0, Exec("k = 0; own = timer_start(function() k = k + 1; timer_stop(own) end, 5)"));
    ASSERT_TRUE(ServeUntil([this] { return Eval("k") == "1"; }));
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibTest, DestroyingTheLibraryStopsItsTimers)
{
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, Exec("n = 0; timer_start(function() n = n + 1 end, 5); timer_start(function() n = n + 1 end, 0, 1)"));
    EXPECT_EQ(free_before - 2, kivo_handle_free_count());
    lib.reset();
    EXPECT_EQ(free_before, kivo_handle_free_count());
    // Ticks already queued find nothing to call.
    ServeFor(40);
    EXPECT_EQ("0", Eval("n"));
    // The state outlives the library: its timer functions do nothing now.
    EXPECT_EQ("0", Eval("select('#', timer_start(function() end, 5))"));
    EXPECT_EQ(0, Exec("timer_stop(1)"));
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibTest, TimerCallbacksThatLeaveFailingFinalizersAreProtected)
{
    // Every callback leaves garbage whose finalizer fails or yields; the
    // collection steps that run them come at any allocation of the timer
    // dispatch, and none of them may end the process.
    const int32_t free_before = kivo_handle_free_count();
    // Each callback ends growing a table, which adds to the collector's
    // debt without paying it: the next allocation, in the dispatch of the
    // next timer, runs the collection step.
    ASSERT_EQ(0, Exec("n = 0; grow = {}\n"
                      "for i = 1, 500 do\n"
                      "  timer_start(function()\n"
                      "    n = n + 1\n"
                      "    setmetatable({}, {__gc = function() error('gc ' .. i) end})\n"
                      "    setmetatable({}, {__gc = function() coroutine.yield() end})\n"
                      "    for j = 1, 200 do grow[#grow + 1] = j end\n"
                      "  end, 1, 1)\n"
                      "end"));
    ASSERT_TRUE(ServeUntil([&] { return kivo_handle_free_count() == free_before; }));
    EXPECT_EQ("500", Eval("n"));
}

TEST_F(LuaLibTest, FilesLeftOpenAreClosedWithTheLibrary)
{
    Put("/f.txt", "data");
    const int fds_before = OpenDescriptors();
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, Exec("kept = {}\n"
                      "for i = 1, 40 do kept[i] = open('/f.txt') end\n"
                      "for i = 1, 40 do open('/f.txt', 'r+') end\n"  // dropped at once
                      "closed = open('/f.txt'); closed:close()\n"
                      "deleted = open('/f.txt'); deleted:delete()"));
    EXPECT_EQ(fds_before + 80, OpenDescriptors());
    EXPECT_EQ(free_before - 80, kivo_handle_free_count());
    lib.reset();
    EXPECT_EQ(fds_before, OpenDescriptors());
    EXPECT_EQ(free_before, kivo_handle_free_count());
    // The script's files are released: using one is refused, not a use of
    // freed memory; "open" gives nothing any more.
    EXPECT_EQ(0u, Printed("r = kept[1]:read()").find("userdata is released"));
    EXPECT_EQ("0", Eval("select('#', open('/f.txt'))"));
    EXPECT_EQ(fds_before, OpenDescriptors());
}

}  // namespace

// Script timers firing for real in a worker service while the test thread
// uses the same state under the library's mutex, and the library going away
// while its timers still fire.

#include "common/script/lua_cpp/lua_lib.h"

#include <gtest/gtest.h>

#include <string>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/function.h"
#include "kivo/service/service.h"
#include "../../../kivo/service/wait_for.h"

using kivo::Message;
using kivo::Service;

namespace {

const Service::ThreadParam kOneWorker = {0, 0, "lua worker", 1};

class LuaLibConcurrencyTest : public ::testing::Test {
protected:
    LuaLibConcurrencyTest() : worker("lua_lib_conc", 32, kOneWorker), lib(new LuaLibCommon)
    {
        lib->Init(state, mutex);
    }
    ~LuaLibConcurrencyTest() override
    {
        lib.reset();
        worker.Stop();
    }

    struct Job {
        LuaLibConcurrencyTest* self;
        const char* code;
        int status;
    };

    static void RunJob(Job* job, Message&)
    {
        kivo::Mutex::ScopedLock hold(job->self->mutex);
        job->status = job->self->state.DoString(job->code);
        lua_settop(job->self->state.GetState(), 0);
    }

    // Runs a chunk in the worker service (whose thread then serves the
    // script's timers); 0 on success.
    int RunInWorker(const char* code)
    {
        Job job = {this, code, -1};
        EXPECT_TRUE(Service::SendFunction(&worker, kivo::Function1<void, Message&>(
                                                       kivo::Bind(&RunJob, &job, kivo::PlaceHolder::_1)),
                                          Message::Value()));
        return job.status;
    }

    // A global read on this thread, under the mutex.
    int Global(const char* name)
    {
        kivo::Mutex::ScopedLock hold(mutex);
        return state.GetGlobal(name).To<int>();
    }

    Service worker;
    kivo::Mutex mutex;
    LuaState state;
    std::unique_ptr<LuaLibCommon> lib;
};

TEST_F(LuaLibConcurrencyTest, CallbacksAndAnotherThreadShareTheStateUnderTheMutex)
{
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, RunInWorker("n = 0; id = timer_start(function() n = n + 1; t = {n, tostring(n)} end, 1)"));
    const uint32_t start = kivo_tick_ms();
    while (Global("n") < 30 && kivo_tick_ms() - start < 10000) {
        kivo::Mutex::ScopedLock hold(mutex);
        ASSERT_EQ(0, state.DoString("m = (m or 0) + 1; s = {n, m}"));
        lua_settop(state.GetState(), 0);
    }
    EXPECT_GE(Global("n"), 30);
    ASSERT_EQ(0, RunInWorker("timer_stop(id); stopped_at = n"));
    EXPECT_TRUE(Service::Ping(&worker, 5000));
    EXPECT_EQ(Global("stopped_at"), Global("n"));
    EXPECT_EQ(free_before, kivo_handle_free_count());
}

TEST_F(LuaLibConcurrencyTest, DestroyingTheLibraryWhileTimersFire)
{
    const int32_t free_before = kivo_handle_free_count();
    ASSERT_EQ(0, RunInWorker("n = 0; for i = 1, 3 do timer_start(function() n = n + 1 end, 1) end"));
    ASSERT_TRUE(kivo_test::WaitFor([this] { return Global("n") >= 10; }));
    lib.reset();
    EXPECT_EQ(free_before, kivo_handle_free_count());
    const int after = Global("n");
    kivo::this_thread::Sleep(20);
    EXPECT_TRUE(Service::Ping(&worker, 5000));
    EXPECT_EQ(after, Global("n"));
}

}  // namespace

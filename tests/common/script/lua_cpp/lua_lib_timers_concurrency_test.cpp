// Many script timers at once whose callbacks are slow: the timer thread must
// not keep the kernel lock (and with it the service that runs the
// callbacks) to catch up on the periods they missed.

#include "common/script/lua_cpp/lua_lib.h"

#include <gtest/gtest.h>

#include <memory>

#include "kivo/base/kivo_handle.h"
#include "kivo/common/function.h"
#include "kivo/service/service.h"
#include "../../../kivo/service/wait_for.h"

using kivo::Message;
using kivo::Service;

namespace {

const Service::ThreadParam kOneWorker = {0, 0, "lua timers", 1};

struct Job {
    kivo::Mutex* mutex;
    LuaState* state;
    const char* code;
    int status;
};

void RunJob(Job* job, Message&)
{
    kivo::Mutex::ScopedLock hold(*job->mutex);
    job->status = job->state->DoString(job->code);
    lua_settop(job->state->GetState(), 0);
}

TEST(LuaLibTimersConcurrencyTest, FiveHundredSlowTimersOfOneMillisecondAllRunTheirCount)
{
    Service worker("lua_lib_timers", 64, kOneWorker);
    kivo::Mutex mutex;
    LuaState state;
    std::unique_ptr<LuaLibCommon> lib(new LuaLibCommon);
    lib->Init(state, mutex);
    const int32_t free_before = kivo_handle_free_count();

    // Each callback takes longer than the period, and leaves a table whose
    // finalizer fails (collections in later callbacks run it).
    Job job = {&mutex, &state,
               "n = 0\n"
               "for i = 1, 500 do\n"
               "  timer_start(function()\n"
               "    n = n + 1\n"
               "    local t = tick_getus()\n"
               "    while tick_getus() - t < 1000 do end\n"
               "    setmetatable({}, {__gc = function() error('finalizer fails') end})\n"
               "  end, 1, 3)\n"
               "end\n",
               -1};
    ASSERT_TRUE(Service::SendFunction(
        &worker, kivo::Function1<void, Message&>(kivo::Bind(&RunJob, &job, kivo::PlaceHolder::_1)),
        Message::Value()));
    ASSERT_EQ(0, job.status);

    auto calls = [&] {
        kivo::Mutex::ScopedLock hold(mutex);
        return state.GetGlobal("n").To<int>();
    };
    // A deadline that only catches the hang: the timer thread catching up
    // on missed periods under the kernel lock never let the worker go on.
    EXPECT_TRUE(kivo_test::WaitFor([&] { return calls() >= 1500; }, 60000)) << calls() << " callbacks";
    // Every timer ran out and was reclaimed.
    EXPECT_TRUE(kivo_test::WaitFor([&] { return kivo_handle_free_count() == free_before; }, 60000));
    EXPECT_EQ(1500, calls());
    lib.reset();
    worker.Stop();
}

}  // namespace

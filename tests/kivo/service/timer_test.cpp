// Timers driven by hand: the test thread serves its own service and nothing
// here waits for the clock, so each step is deterministic. Firing on time is
// covered in timer_concurrency_test.cpp.

#include "kivo/service/timer.h"

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/thread.h"
#include "kivo/common/variant.h"

#include <gtest/gtest.h>

#include <string>

using kivo::KernelTimer;
using kivo::Message;
using kivo::Service;
using kivo::Timer;
using kivo::Var;

namespace {

int g_calls;

void Count()
{
    ++g_calls;
}

void NoOp(KernelTimer*) {}

// A service served by the test thread.
class TimerTest : public ::testing::Test {
protected:
    TimerTest() : svc("timer_test_local", 16) { svc.Start(); }
    void SetUp() override { g_calls = 0; }

    Service svc;
};

TEST_F(TimerTest, PeriodZeroFiresOnceAtOnceAndKeepsTheRestOfTheCount)
{
    Timer t;
    t.Start(&Count, 0, 5, 1000);  // the delay does not matter
    EXPECT_EQ(1u, svc.QueuedCount());
    EXPECT_FALSE(t.IsStopped());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(4u, t.Count());
    EXPECT_TRUE(t.IsIdle());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(1, g_calls);
}

TEST_F(TimerTest, StopAndRestartMakeAQueuedTickHarmless)
{
    Timer t;
    t.Start(&Count, 0, 1);
    t.Stop();
    EXPECT_TRUE(t.IsStopped());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(0, g_calls);

    // A restart while the old tick still waits: the node is queued once, with
    // the new sequence.
    t.Start(&Count, 0, 1);
    EXPECT_TRUE(t.Restart(0, 1));
    EXPECT_EQ(1u, svc.QueuedCount());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(1, g_calls);
}

TEST_F(TimerTest, CountZeroOnlyStops)
{
    Timer t;
    t.Start(&Count, 100000, 0xFFFFFFFFu);
    EXPECT_FALSE(t.IsStopped());
    t.Start(&Count, 10, 0);
    EXPECT_TRUE(t.IsIdle());
    EXPECT_EQ(0u, t.Count());
    EXPECT_EQ(0u, svc.QueuedCount());
    EXPECT_FALSE(t.TrigOnce());
}

TEST_F(TimerTest, TrigOnceFiresNowAndRestartsThePeriod)
{
    Timer t;
    t.Start(&Count, 100000, 3);  // first tick 100 s away
    EXPECT_LT(t.Late(), -90000000);
    EXPECT_TRUE(t.TrigOnce());
    EXPECT_TRUE(t.TrigOnce());  // merged into the one pending tick
    EXPECT_EQ(1u, svc.QueuedCount());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(2u, t.Count());
    EXPECT_FALSE(t.IsStopped());  // still armed for the remaining count
    EXPECT_LT(t.Late(), -90000000);
}

TEST_F(TimerTest, LongFirstIntervalIsNotCutShort)
{
    Timer t;
    // Two hours of delay: more than 32 bits of microseconds.
    t.Start(&Count, 1000, 1, 2 * 3600 * 1000);
    const int64_t late = t.Late();
    EXPECT_LT(late, -int64_t(7000) * 1000000);
    EXPECT_GT(late, -int64_t(7202) * 1000000);
    t.Stop();
}

TEST_F(TimerTest, NoServiceIsRefused)
{
    Timer t;
    bool started = true;
    Timer* tp = &t;
    // A thread without a service, and no service given.
    kivo::Thread th(kivo::Function0<void>([tp, &started]() {
        tp->Setting(&Count);
        started = tp->RestartUs(1000, 1, 0) || tp->TrigOnce();
    }));
    th.Join();
    EXPECT_FALSE(started);
    EXPECT_TRUE(t.IsIdle());

    // Given one, it works from anywhere.
    t.SetService(&svc);
    EXPECT_TRUE(t.Restart(0, 1));
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(1, g_calls);
}

TEST_F(TimerTest, ChangingTheServiceWhileATickWaitsKeepsBothQueuesSound)
{
    Service other("timer_test_other", 16);
    Timer t;
    t.Start(&Count, 0, 1);
    EXPECT_EQ(1u, svc.QueuedCount());
    t.SetService(&other);
    EXPECT_TRUE(t.Restart(0, 1));
    EXPECT_EQ(1u, svc.QueuedCount());  // the stale tick stays where it was
    EXPECT_EQ(1u, other.QueuedCount());
    EXPECT_TRUE(svc.ProcessAll());
    EXPECT_EQ(0, g_calls);
    // The other service is served by this thread too, for this step.
    other.Start();
    EXPECT_TRUE(other.ProcessAll());
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(0u, other.QueuedCount());
}

TEST_F(TimerTest, TickMessageDataHasNoOtherForm)
{
    kivo::_TimerNode::MsgData in(7, 0);
    Var v(in);
    kivo::_TimerNode::MsgData out;
    int32_t err = 0;
    EXPECT_TRUE(kivo::var_trains::FromVar(v, &out, &err));
    EXPECT_EQ(7, out.sequence);
    EXPECT_FALSE(kivo::var_trains::FromVar(Var("7"), &out, &err));
    EXPECT_EQ(-5, err);
    EXPECT_FALSE(kivo::var_trains::FromVar(Var(7), &out, &err));
    EXPECT_EQ(-2, err);
}

TEST(KernelTimerTest, StartAndContinueRefuseWhatTheyCannotDo)
{
    KernelTimer k(&NoOp);
    EXPECT_FALSE(k.Start(1000, 0));
    EXPECT_FALSE(k.IsActive());
    ASSERT_TRUE(k.Start(100000000, 3));
    EXPECT_TRUE(k.IsActive());
    EXPECT_FALSE(k.Continue(1000, 1));  // expiries are left
    k.Stop();
    EXPECT_FALSE(k.IsActive());
}

// A timer that fell several periods behind: one expiry fires it once and
// moves it to the first due time after now on its old grid. The test holds
// the kernel lock, so the platform thread cannot expire it meanwhile, and
// runs the expiry itself.
const uint64_t kLatePeriodUs = 40000;
int g_late_fires;

void LateHit(KernelTimer*)
{
    ++g_late_fires;
}

// As the node of a kivo::Timer does: a one-shot continued by its callback.
void LateHitAndContinue(KernelTimer* k)
{
    ++g_late_fires;
    k->Continue(kLatePeriodUs, 1);
}

int64_t NowUs()
{
    return kivo_tick_div1000(kivo_tick_ns());
}

TEST(KernelTimerTest, LateTimerSkipsTheMissedPeriodsInOneStepAndKeepsItsPhase)
{
    struct Case {
        const char* what;
        KernelTimer::CallBack back;
        uint32_t count;
    };
    const Case cases[] = {
        {"endless", &LateHit, KernelTimer::kEndless},
        {"continued by its callback", &LateHitAndContinue, 1},
    };
    const int64_t period = static_cast<int64_t>(kLatePeriodUs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_late_fires = 0;
        KernelTimer k(c.back);
        const int32_t token = kivo_kernel_lock();
        const int64_t before_start = NowUs();
        ASSERT_TRUE(k.Start(kLatePeriodUs, c.count));
        const int64_t after_start = NowUs();
        // The first due time and three more have passed.
        while (k.Late() < 3 * period + period / 2)
            kivo::this_thread::Sleep(1);
        KernelTimer::_Expire();
        const int64_t before_late = NowUs();
        const int64_t late = k.Late();
        const int64_t after_late = NowUs();
        kivo_kernel_unlock(token);
        k.Stop();

        EXPECT_EQ(1, g_late_fires);
        // The next due time is at most one period ahead...
        EXPECT_GE(late, -period);
        // ...and a whole number of periods after the first one (the clock
        // readings around each call bound both due times).
        const int64_t lo = (before_late - late) - (after_start + period);
        const int64_t hi = (after_late - late) - (before_start + period);
        ASSERT_GE(hi, 0);
        EXPECT_GE(hi / period * period, lo) << "lo " << lo << " hi " << hi;
    }
}

TEST(TimerDeathTest, BrokenContracts)
{
    EXPECT_DEATH(KernelTimer k(0), "back != 0");
    EXPECT_DEATH(
        {
            Timer t;
            t.Setting(Timer::BackFunc());
        },
        "Assertion `f' failed");
    EXPECT_DEATH(
        {
            Service s("timer_death", 16);
            s.Start();
            Timer t;
            t.Restart(10, 1);
        },
        "Assertion `_func' failed");
}

TEST(TickTest, RestartReturnsElapsedAndAppliesTheOffset)
{
    kivo::Tick tick;
    EXPECT_GE(tick.ElapsedUs(), 0);
    const int64_t first = tick.RestartUs(5000000);  // start 5 s back
    EXPECT_GE(first, 0);
    EXPECT_GE(tick.ElapsedMs(), 5000);
    EXPECT_LT(tick.ElapsedMs(), 65000);
    EXPECT_GE(tick.RestartMs(-3000), 5000);  // start 3 s ahead
    EXPECT_LT(tick.ElapsedUs(), -2000000);
}

}  // namespace

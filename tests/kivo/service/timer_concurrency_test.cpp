// Timers firing for real: the "kernel_timer" thread ticks, a worker thread
// serves the service. Checks are on counts and order; a callback is never
// early, and late only by a bound that a hang reaches (these tests also run
// under an emulator and on loaded machines).

#include "kivo/service/timer.h"

#include "kivo/base/platform/linux/__platform_kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using kivo::KernelTimer;
using kivo::Message;
using kivo::Service;
using kivo::Timer;

namespace {

const Service::ThreadParam kOneWorker = {0, 0, "timer worker", 1};
const uint32_t kEndless = 0xFFFFFFFFu;
const int kHangMs = 30000;  // only a hang waits this long

// Records the time of each callback (ms since the recorder was made).
class Recorder {
public:
    Recorder() : _start(kivo_tick_ms()) {}

    void Hit()
    {
        std::lock_guard<std::mutex> l(_m);
        _times.push_back(static_cast<int64_t>(static_cast<uint32_t>(kivo_tick_ms() - _start)));
        _cv.notify_all();
    }
    // Waits until at least n callbacks happened; false on the (generous)
    // time-out.
    bool WaitFor(size_t n, int timeout_ms = kHangMs)
    {
        std::unique_lock<std::mutex> l(_m);
        return _cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return _times.size() >= n; });
    }
    std::vector<int64_t> Times()
    {
        std::lock_guard<std::mutex> l(_m);
        return _times;
    }
    size_t Size() { return Times().size(); }

private:
    std::mutex _m;
    std::condition_variable _cv;
    std::vector<int64_t> _times;
    uint32_t _start;
};

class TimerConcurrencyTest : public ::testing::Test {
protected:
    TimerConcurrencyTest() : svc("timer_conc", 32, kOneWorker) {}
    ~TimerConcurrencyTest() override { svc.Stop(); }

    Timer::BackFunc Hit() { return Timer::BackFunc(&Recorder::Hit, &rec); }
    // Everything queued before now has been handled.
    void Drain() { ASSERT_TRUE(Service::Ping(&svc, kHangMs)); }

    Service svc;
    Recorder rec;
};

struct CountCase {
    uint32_t period_ms;
    uint32_t count;
    int32_t delay_ms;
};

TEST_F(TimerConcurrencyTest, FiresCountTimesOnSchedule)
{
    const CountCase cases[] = {{100, 1, 0}, {100, 3, 0}, {60, 2, 100}};
    for (const CountCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "period " << c.period_ms << " count " << c.count);
        Recorder r;
        Timer t;
        t.SetService(&svc);
        t.Start(Timer::BackFunc(&Recorder::Hit, &r), c.period_ms, c.count, c.delay_ms);
        ASSERT_TRUE(r.WaitFor(c.count));
        // No extra callback after the count ran out.
        kivo::this_thread::Sleep(2 * c.period_ms);
        Drain();
        std::vector<int64_t> times = r.Times();
        ASSERT_EQ(c.count, times.size());
        for (uint32_t i = 0; i < c.count; ++i) {
            const int64_t due = c.delay_ms + int64_t(i + 1) * c.period_ms;
            EXPECT_GE(times[i], due - 5) << "callback " << i;  // never early
            EXPECT_LT(times[i], due + kHangMs) << "callback " << i;
        }
        EXPECT_EQ(0u, t.Count());
        EXPECT_TRUE(t.IsIdle());
    }
}

TEST_F(TimerConcurrencyTest, EndlessRunsUntilStopAndRestarts)
{
    Timer t;
    t.SetService(&svc);
    t.Start(Hit(), 10, kEndless);
    ASSERT_TRUE(rec.WaitFor(5));
    EXPECT_TRUE(t.StopWait(kHangMs));
    EXPECT_TRUE(t.IsIdle());
    const size_t stopped_at = rec.Size();
    kivo::this_thread::Sleep(60);
    Drain();
    EXPECT_EQ(stopped_at, rec.Size());
    EXPECT_EQ(kEndless, t.Count());

    EXPECT_TRUE(t.Restart(10, 2));
    ASSERT_TRUE(rec.WaitFor(stopped_at + 2));
    kivo::this_thread::Sleep(40);
    Drain();
    EXPECT_EQ(stopped_at + 2, rec.Size());
}

TEST_F(TimerConcurrencyTest, BusyServiceGetsOneMergedTickAndTheScheduleGoesOn)
{
    Timer t;
    t.SetService(&svc);
    std::atomic<uint32_t> queued_at_end(0);
    std::atomic<bool> pending_seen(false);
    std::atomic<uint32_t> started_at(0);
    std::atomic<bool> started(false);
    // Keep the worker busy until at least three periods have passed since
    // the timer started and a tick is queued (however late the machine let
    // the test start it).
    ASSERT_TRUE(Service::PostFunction(&svc,
                                      kivo::Function1<void, Message&>([&](Message&) {
                                          kivo::Tick tick;
                                          while (tick.ElapsedMs() < kHangMs &&
                                                 (!started.load() || kivo_tick_ms() - started_at.load() < 350 ||
                                                  svc.QueuedCount() == 0))
                                              kivo::this_thread::Sleep(5);
                                          pending_seen = true;
                                          queued_at_end = svc.QueuedCount();
                                      }),
                                      Message::Value(0)));
    started_at = kivo_tick_ms();
    started = true;
    t.Start(Hit(), 100, kEndless);
    ASSERT_TRUE(rec.WaitFor(3));
    t.Stop();
    EXPECT_TRUE(pending_seen);
    EXPECT_EQ(1u, queued_at_end.load());  // one tick message, not three
    // The merged tick ran once the service was free again.
    EXPECT_GE(rec.Times()[0], 350 - 5);
}

TEST_F(TimerConcurrencyTest, StopAfterTheTickWasQueuedSuppressesTheCallback)
{
    Timer t;
    t.SetService(&svc);
    ASSERT_TRUE(Service::PostFunction(&svc,
                                      kivo::Function1<void, Message&>([&](Message&) {
                                          t.Start(Hit(), 10, kEndless);
                                          kivo::Tick tick;
                                          while (svc.QueuedCount() == 0 && tick.ElapsedMs() < kHangMs)
                                              kivo::this_thread::Sleep(1);
                                          t.Stop();
                                          // A restart far away leaves the queued tick stale.
                                          t.Restart(100000, 1);
                                      }),
                                      Message::Value(0)));
    Drain();
    Drain();
    EXPECT_EQ(0u, rec.Size());
    EXPECT_FALSE(t.IsStopped());
    t.Stop();
}

TEST_F(TimerConcurrencyTest, NegativeDelayFiresAtOnceThenKeepsThePeriod)
{
    for (uint32_t count : {1u, 2u}) {
        SCOPED_TRACE(count);
        Recorder r;
        Timer t;
        t.SetService(&svc);
        // A period long enough that "at once" and "after a period" stay
        // apart on a loaded machine or under an emulator.
        t.Start(Timer::BackFunc(&Recorder::Hit, &r), 4000, count, -6000);
        ASSERT_TRUE(r.WaitFor(count));
        std::vector<int64_t> times = r.Times();
        EXPECT_LT(times[0], 2000);
        if (count == 2) {
            EXPECT_GE(times[1], 4000 - 5);
        }
        // Once the count is spent the timer ends up idle, not stuck pending.
        kivo::Tick tick;
        while (!t.IsIdle() && tick.ElapsedMs() < kHangMs)
            kivo::this_thread::Sleep(5);
        EXPECT_TRUE(t.IsIdle());
        EXPECT_EQ(count, r.Size());
    }
}

TEST_F(TimerConcurrencyTest, StopWaitWaitsForARunningCallback)
{
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false, self_wait = true;
    Timer t;
    t.SetService(&svc);
    t.Start(Timer::BackFunc([&]() {
                // From inside its own callback it cannot wait: refused at once.
                bool r = t.StopWait(KIVO_WAIT_FOREVER);
                std::unique_lock<std::mutex> l(m);
                self_wait = r;
                entered = true;
                cv.notify_all();
                cv.wait(l, [&] { return release; });
            }),
            0, 1);
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::milliseconds(kHangMs), [&] { return entered; }));
    }
    EXPECT_FALSE(self_wait);
    EXPECT_FALSE(t.StopWait(30));
    EXPECT_FALSE(t.IsIdle());
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
        cv.notify_all();
    }
    EXPECT_TRUE(t.StopWait(KIVO_WAIT_FOREVER));
    EXPECT_TRUE(t.IsIdle());
}

TEST_F(TimerConcurrencyTest, StoppedServiceDoesNotLeaveTheTimerPending)
{
    Service dead("timer_conc_dead", 16);  // no worker: nothing races the Stop
    dead.Stop();
    Timer t;
    t.SetService(&dead);
    t.Start(Hit(), 10, 1);
    kivo::Tick tick;
    while (!t.IsIdle() && tick.ElapsedMs() < kHangMs)
        kivo::this_thread::Sleep(5);
    EXPECT_TRUE(t.IsIdle());
    EXPECT_EQ(0u, rec.Size());
}

TEST_F(TimerConcurrencyTest, DestroyedServiceStopsTheTimersAimedAtIt)
{
    // Served by a worker (ticks are handled), or by nobody (a tick waits in
    // its queue, in the timer's own queue node, when the service goes).
    const struct {
        const char* what;
        bool worker;
    } cases[] = {{"served", true}, {"tick queued", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Timer t;
        {
            std::unique_ptr<Service> gone(c.worker ? new Service("timer_conc_gone", 16, kOneWorker)
                                                   : new Service("timer_conc_gone", 16));
            t.SetService(gone.get());
            t.Start(Hit(), 10, kEndless);
            if (c.worker) {
                ASSERT_TRUE(rec.WaitFor(rec.Size() + 2));
            } else {
                kivo::Tick tick;
                while (gone->QueuedCount() == 0 && tick.ElapsedMs() < kHangMs)
                    kivo::this_thread::Sleep(1);
                ASSERT_EQ(1u, gone->QueuedCount());
            }
        }  // destroyed with the timer armed
        EXPECT_TRUE(t.IsStopped());
        const size_t before = rec.Size();
        kivo::this_thread::Sleep(100);  // ten periods: none may reach the freed service
        EXPECT_EQ(before, rec.Size());
        // The timer serves another service afterwards.
        t.SetService(&svc);
        EXPECT_TRUE(t.Restart(10, 2));
        EXPECT_TRUE(rec.WaitFor(before + 2));
        t.Stop();
        Drain();
    }
}

// Kernel timers called on the platform thread.
std::atomic<int> g_kfires;
void KernelHit(KernelTimer*)
{
    g_kfires.fetch_add(1);
}

int64_t NowUs()
{
    return kivo_tick_div1000(kivo_tick_ns());
}

TEST(KernelTimerConcurrencyTest, KeepsItsPhaseOverManyPeriods)
{
    const int64_t period = 2000;
    g_kfires = 0;
    KernelTimer k(&KernelHit);
    kivo::Tick tick;
    const int64_t before_start = NowUs();
    ASSERT_TRUE(k.Start(period, kEndless));
    const int64_t after_start = NowUs();
    kivo::this_thread::Sleep(400);
    const int64_t before_late = NowUs();
    const int64_t late = k.Late();
    const int64_t after_late = NowUs();
    k.Stop();
    const int64_t elapsed = tick.ElapsedUs();
    const int fires = g_kfires.load();
    // At most one expiry per period; periods missed on a loaded machine are
    // skipped, not fired late.
    EXPECT_GE(fires, 1);
    EXPECT_LE(fires, elapsed / period + 1);
    // Lateness does not add up: the due time is still a whole number of
    // periods after the first one (the clock readings around each call
    // bound both). A timer re-armed from each expiry's own time would have
    // drifted by a poll interval per period.
    const int64_t lo = (before_late - late) - (after_start + period);
    const int64_t hi = (after_late - late) - (before_start + period);
    ASSERT_GE(hi, 0);
    EXPECT_GE(hi / period * period, lo) << "lo " << lo << " hi " << hi;
}

TEST(KernelTimerConcurrencyTest, CountAndPeriodZero)
{
    struct Case {
        uint64_t period_us;
        uint32_t count;
        int expected;
    };
    // Period 0 with a repeating count fires once instead of spinning.
    const Case cases[] = {{2000, 3, 3}, {0, kEndless, 1}, {0, 5, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.period_us);
        g_kfires = 0;
        KernelTimer k(&KernelHit);
        ASSERT_TRUE(k.Start(c.period_us, c.count));
        kivo::Tick tick;
        while (k.IsActive() && tick.ElapsedMs() < kHangMs)
            kivo::this_thread::Sleep(2);
        EXPECT_FALSE(k.IsActive());
        kivo::this_thread::Sleep(20);
        EXPECT_EQ(c.expected, g_kfires.load());
        EXPECT_EQ(0u, k.Count());
    }
}

}  // namespace

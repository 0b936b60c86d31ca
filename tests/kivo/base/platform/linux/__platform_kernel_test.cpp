#include "kivo/base/platform/linux/__platform_kernel.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <linux/capability.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

// Kernel lock, thread-local slot, stacks, clocks and wall time. The timer
// thread and cases where threads race are in
// __platform_kernel_concurrency_test.cpp.

namespace {

TEST(KernelLockTest, IsRecursiveAndReturnsTokenZero)
{
    int32_t outer = kivo_kernel_lock();
    int32_t inner = kivo_kernel_lock();
    EXPECT_EQ(outer, 0);
    EXPECT_EQ(inner, 0);
    kivo_kernel_unlock(inner);
    kivo_kernel_unlock(outer);

    // Released fully: another thread can take it.
    bool taken = false;
    std::thread other([&] {
        int32_t t = kivo_kernel_lock();
        taken = true;
        kivo_kernel_unlock(t);
    });
    other.join();
    EXPECT_TRUE(taken);
}

TEST(PlatformTlsTest, SlotIsPerThreadAndNullOnAFreshThread)
{
    int mine = 0;
    void* before = kivo_tls_get();
    kivo_tls_set(&mine);
    EXPECT_EQ(kivo_tls_get(), &mine);

    void* fresh = &mine;
    std::thread other([&] { fresh = kivo_tls_get(); });
    other.join();
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(kivo_tls_get(), &mine);
    kivo_tls_set(before);
}

TEST(PlatformStackTest, PushPopIsLastInFirstOutPerStack)
{
    void* nodes[3][2] = {};  // a node's first word is its link
    void* lone[1] = {};
    void* head;
    void* other;
    kivo_stack_init(&head);
    kivo_stack_init(&other);
    EXPECT_EQ(kivo_stack_pop(&head), nullptr);
    for (auto& n : nodes)
        kivo_stack_push(&head, n);
    kivo_stack_push(&other, lone);
    EXPECT_EQ(nodes[1][0], (void*)nodes[0]);  // linked through the first word
    EXPECT_EQ(kivo_stack_pop(&head), (void*)nodes[2]);
    EXPECT_EQ(kivo_stack_pop(&head), (void*)nodes[1]);
    EXPECT_EQ(kivo_stack_pop(&head), (void*)nodes[0]);
    EXPECT_EQ(kivo_stack_pop(&head), nullptr);
    EXPECT_EQ(kivo_stack_pop(&other), (void*)lone);
    EXPECT_EQ(kivo_stack_pop(&other), nullptr);
}

TEST(PlatformClockTest, TicksAreMonotonicAndConsistent)
{
    int64_t a = kivo_tick_ns();
    int64_t b = kivo_tick_ns();
    EXPECT_GT(a, 0);
    EXPECT_GE(b, a);

    EXPECT_EQ(kivo_tick_div1000(1999), 1);
    EXPECT_EQ(kivo_tick_div1000(-1999), -1);  // signed division, toward zero
    EXPECT_EQ(kivo_tick_div1000(INT64_MAX), INT64_MAX / 1000);
}

// kivo_tick_ms is the low word of the full millisecond count: taken between
// two full readings it lies between them in wrap-around arithmetic, and
// differences of readings are correct even across the 32-bit wrap.
TEST(PlatformClockTest, TickMsIsTheLowWordOfTheMillisecondCount)
{
    const uint64_t before = (uint64_t)kivo_tick_ns() / 1000000u;
    const uint32_t ms = kivo_tick_ms();
    const uint64_t after = (uint64_t)kivo_tick_ns() / 1000000u;
    EXPECT_LE((uint32_t)(ms - (uint32_t)before), (uint32_t)(after - before));

    const uint32_t t0 = kivo_tick_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint32_t elapsed = kivo_tick_ms() - t0;
    EXPECT_GE(elapsed, 19u);
    EXPECT_LT(elapsed, 30000u);  // only a clock far off, or a hang
}

TEST(PlatformClockTest, DelayBusyWaitsAtLeastItsTime)
{
    const int64_t start = kivo_tick_ns();
    const uint32_t last = kivo_delay_us(2000);
    const int64_t end = kivo_tick_ns();
    EXPECT_GE(end - start, 2000000);
    EXPECT_LT(end - start, 3000000000LL);
    // The result is the low word of a reading taken within the delay.
    EXPECT_LE((uint32_t)(last - (uint32_t)start), (uint32_t)(end - start));
    EXPECT_GE((uint32_t)(last - (uint32_t)start), 2000000u);
}

// TZ is process-wide: every case restores it.
class PlatformTimeZoneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            saved_tz_ = tz;
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static struct tm Tm(int year, int mon, int mday, int hour, int min, int sec)
    {
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = mon - 1;
        t.tm_mday = mday;
        t.tm_hour = hour;
        t.tm_min = min;
        t.tm_sec = sec;
        return t;
    }

    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(PlatformTimeZoneTest, SetFormatsWholeHoursWest)
{
    struct Case {
        int32_t minutes_west;
        const char* tz;
        int32_t read_back;
    };
    const Case cases[] = {
        {480, "CST8", 480}, {90, "CST1", 60}, {-480, "CST-8", -480}, {0, "CST0", 0}, {-330, "CST-5", -300},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(kivo_time_set_timezone(&c.minutes_west), 0);
        ASSERT_NE(getenv("TZ"), nullptr);
        EXPECT_STREQ(getenv("TZ"), c.tz);
        kivo_timezone_t tz = {-1, -1};
        kivo_time_get_timezone(&tz);
        EXPECT_EQ(tz.tz_minuteswest, c.read_back) << c.tz;
        EXPECT_EQ(tz.tz_dsttime, 0);
    }
    EXPECT_EQ(kivo_time_set_timezone(nullptr), EINVAL);
}

TEST_F(PlatformTimeZoneTest, SetTimeOfDayWithoutClockOnlySetsTheZone)
{
    const int32_t west = -120;
    EXPECT_EQ(kivo_time_settimeofday(nullptr, &west), 0);
    EXPECT_STREQ(getenv("TZ"), "CST-2");
    EXPECT_EQ(kivo_time_settimeofday(nullptr, nullptr), 0);
}

// Whether the calling process may set the system clock.
bool MaySetClock()
{
    struct __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &head, data) != 0)
        return true;  // unknown: assume the worst
    return (data[CAP_TO_INDEX(CAP_SYS_TIME)].effective & CAP_TO_MASK(CAP_SYS_TIME)) != 0;
}

// A refused clock step must not keep the zone step from running. The clock
// is never set: the child gives up its privilege first and stops before the
// call if it still holds it.
TEST_F(PlatformTimeZoneTest, RefusedClockStillSetsTheZone)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        if (MaySetClock())
            _exit(11);
        setenv("TZ", "CST0", 1);
        tzset();
        kivo_timeval_t tv = {0, 0};
        if (kivo_time_gettimeofday(&tv, nullptr) != 0)
            _exit(12);
        const int32_t west = -480;
        const kivo_err_t err = kivo_time_settimeofday(&tv, &west);
        const char* tz = getenv("TZ");
        kivo_timezone_t read = {0, 0};
        kivo_time_get_timezone(&read);
        if (err != EPERM) {
            fprintf(stderr, "settimeofday gave %d, not EPERM\n", (int)err);
            _exit(13);
        }
        if (!tz || strcmp(tz, "CST-8") != 0 || read.tz_minuteswest != -480) {
            fprintf(stderr, "zone not set: TZ %s, %d minutes west\n", tz ? tz : "(none)", (int)read.tz_minuteswest);
            _exit(14);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10 || WEXITSTATUS(status) == 11)
        GTEST_SKIP() << "the child could not give up the privilege to set the clock";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PlatformTimeZoneTest, PlatformInitRereadsTheEnvironment)
{
    setenv("TZ", "CST-3", 1);
    kivo_platform_init();
    kivo_timezone_t tz;
    kivo_time_get_timezone(&tz);
    EXPECT_EQ(tz.tz_minuteswest, -180);
    kivo_platform_deinit();
}

TEST_F(PlatformTimeZoneTest, ConversionsBetweenRecordsAndSeconds)
{
    const int32_t east8 = -480;
    ASSERT_EQ(kivo_time_set_timezone(&east8), 0);
    const kivo_time_t y2k = 946684800;  // 2000-01-01 00:00:00 UTC

    const struct tm local = Tm(2000, 1, 1, 8, 0, 0);
    EXPECT_EQ(kivo_time_mktime(&local), y2k);
    const struct tm utc = Tm(2000, 1, 1, 0, 0, 0);
    EXPECT_EQ(kivo_time_mkgmtime(&utc), y2k);
    EXPECT_EQ(kivo_time_mktime(nullptr), 0);
    EXPECT_EQ(kivo_time_mkgmtime(nullptr), 0);

    struct tm out;
    memset(&out, 0xFF, sizeof(out));
    EXPECT_EQ(kivo_time_gmtime(y2k, &out), &out);
    EXPECT_EQ(out.tm_year, 100);
    EXPECT_EQ(out.tm_mon, 0);
    EXPECT_EQ(out.tm_mday, 1);
    EXPECT_EQ(out.tm_hour, 0);
    EXPECT_EQ(kivo_time_localtime(y2k, &out), &out);
    EXPECT_EQ(out.tm_hour, 8);
    EXPECT_EQ(kivo_time_gmtime(y2k, nullptr), nullptr);
}

// With a zone that keeps summer time, a record read as UTC must not pick up
// the local summer hour.
TEST_F(PlatformTimeZoneTest, MkGmTimeIgnoresSummerTime)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const struct tm summer = Tm(2020, 7, 1, 12, 0, 0);
    EXPECT_EQ(kivo_time_mkgmtime(&summer), 1593604800);  // 2020-07-01 12:00:00 UTC
}

TEST(PlatformWallTimeTest, NowAgreesWithTheSystem)
{
    kivo_time_t stored = 0;
    const kivo_time_t now = kivo_time_get(&stored);
    EXPECT_EQ(stored, now);
    EXPECT_LE(llabs(now - (kivo_time_t)time(nullptr)), 2);
    EXPECT_GT(now, 1600000000);

    kivo_timeval_t tv = {-1, -1};
    kivo_timezone_t tz = {-1, -1};
    EXPECT_EQ(kivo_time_gettimeofday(&tv, &tz), 0);
    EXPECT_LE(llabs(tv.tv_sec - now), 2);
    EXPECT_GE(tv.tv_usec, 0);
    EXPECT_LT(tv.tv_usec, 1000000);
    EXPECT_EQ(tz.tz_dsttime, 0);
    EXPECT_EQ(kivo_time_gettimeofday(nullptr, nullptr), 0);

    EXPECT_EQ(kivo_time_from_sys((time_t)-1), -1);  // widening keeps the sign
    EXPECT_EQ(kivo_time_to_sys(now), (time_t)now);
}

TEST(KernelTimerDeathTest, NullCallbackStops)
{
    EXPECT_DEATH(kivo_kernel_timer_init(nullptr), "__platform_kernel\\.cpp:125: .*Assertion `back' failed");
}

}  // namespace

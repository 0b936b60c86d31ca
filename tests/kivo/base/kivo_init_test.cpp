#include "kivo/base/kivo_init.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>

#include "kivo/base/platform/linux/__platform_kernel.h"

namespace {

TEST(KivoInitTest, PrintsItsTwoLinesAndReturnsTheVersion)
{
    testing::internal::CaptureStdout();
    int32_t version = kivo_init();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(version, 223);
    EXPECT_EQ(out, "kivo init, $$$<ver>(2).(23)</ver>$$$\r\n"
                   "sizeof(kivo_time_t)=8, sizeof(time_t)=" +
                       std::to_string(sizeof(time_t)) + "\r\n");
}

TEST(KivoInitTest, DeinitPrintsItsLineAndReturnsOne)
{
    testing::internal::CaptureStdout();
    int32_t result = kivo_deinit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "kivo deinit\r\n");
    EXPECT_EQ(result, 1);
}

TEST(KivoInitTest, InitReReadsTheTimeZone)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char* tz;
        int32_t minutes_west;
    };
    const Case cases[] = {{"CST-8", -480}, {"CST5", 300}};
    for (const Case& c : cases) {
        // Changed behind the library's back: only the init's re-read can
        // make it visible.
        setenv("TZ", c.tz, 1);
        testing::internal::CaptureStdout();
        kivo_init();
        testing::internal::GetCapturedStdout();
        kivo_timezone_t tz = {1, 1};
        kivo_time_get_timezone(&tz);
        EXPECT_EQ(tz.tz_minuteswest, c.minutes_west) << c.tz;
        EXPECT_EQ(tz.tz_dsttime, 0);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace

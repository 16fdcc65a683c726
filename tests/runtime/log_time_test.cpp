#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "runtime/log_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zone_guard.h"

namespace zelmisc {
namespace {

using tapscope::testing::ZoneGuard;

LogTime Date(int year, int month, int day) {
    LogTime time;
    time.year = static_cast<std::int16_t>(year);
    time.month = static_cast<std::uint16_t>(month);
    time.day = static_cast<std::uint16_t>(day);
    return time;
}

LogTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
    LogTime time = Date(year, month, day);
    time.hour = static_cast<std::uint16_t>(hour);
    time.minute = static_cast<std::uint16_t>(minute);
    time.second = static_cast<std::uint16_t>(second);
    time.millisecond = static_cast<std::uint16_t>(ms);
    return time;
}

TEST(IsValidDate, GregorianMonthLengthsAndLeapYears) {
    struct Case {
        int year, month, day;
        int valid;
    } cases[] = {
        {2000, 2, 29, 1}, {2016, 2, 29, 1}, {1900, 2, 29, 0},  {2017, 2, 29, 0},
        {2017, 2, 28, 1}, {2026, 1, 0, 0},  {2026, 13, 1, 0},  {2026, 0, 1, 0},
        {2026, 4, 31, 0}, {2026, 4, 30, 1}, {2026, 12, 31, 1}, {9999, 12, 31, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                     std::to_string(c.day));
        EXPECT_EQ(IsValidDate(Date(c.year, c.month, c.day)), c.valid);
    }
}

TEST(FormatDate, DayFirstWithTheTwoPartYear) {
    struct Case {
        int year, month, day;
        const char* text;
        int result;
    } cases[] = {
        {2026, 12, 6, "06-12-26", 1},  {2018, 6, 27, "27-06-18", 1},
        {1999, 12, 31, "31-12-99", 1}, {1950, 1, 2, "02-01-1950", 1},
        {1951, 1, 2, "02-01-51", 1},   {2005, 3, 5, "05-03-05", 1},
        {2100, 1, 1, "01-01-100", 1},  {9999, 1, 1, "", 0},
        {2017, 2, 29, "", 0},          {-32768, 12, 31, "31-12--32768", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[kDateTextSize] = "garbage";
        EXPECT_EQ(FormatDate(Date(c.year, c.month, c.day), text, sizeof text), c.result);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(ComposeLogTime, MillisecondsRoundHalfUpAndNeverCarryIntoTheSecond) {
    tapscope::platform::CivilTime noon{2026, 12, 6, 12, 0, 0};
    struct Case {
        int micros;
        int ms;
    } cases[] = {{999600, 999}, {999499, 999}, {998499, 998}, {500, 1}, {499, 0}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.micros);
        const LogTime time = detail::ComposeLogTime(noon, c.micros);
        EXPECT_EQ(time.second, 0);
        EXPECT_EQ(time.millisecond, c.ms);
        EXPECT_EQ(time.hour, 12);
    }
}

TEST(GetLogTime, ReadsTheClockInTheCurrentZone) {
    ZoneGuard zone("<+03>-3");
    // Retry the rare reading that straddles a minute.
    for (int attempt = 0; attempt < 3; ++attempt) {
        LogTime utc;
        LogTime local;
        LogTime utcAfter;
        GetUtcLogTime(utc);
        GetLocalLogTime(local);
        GetUtcLogTime(utcAfter);
        if (utc.minute != utcAfter.minute) {
            continue;
        }
        const std::time_t now = std::time(nullptr);
        struct tm expected {};
        gmtime_r(&now, &expected);
        EXPECT_EQ(utc.year, expected.tm_year + 1900);
        EXPECT_EQ(utc.month, expected.tm_mon + 1);
        EXPECT_LE(utc.millisecond, 999);
        EXPECT_EQ(local.hour, (utc.hour + 3) % 24);
        EXPECT_EQ(local.minute, utc.minute);
        return;
    }
    FAIL() << "the clock kept crossing minutes";
}

TEST(LogTimeToMs, LocalTimeToUtcWithTheRulesOfThatDate) {
    constexpr std::uint64_t kMsPerHour = 3600000;
    {
        ZoneGuard zone("<+03>-3");  // UTC+3, no daylight saving
        // 2020-03-15 05:30:00 UTC is 1584250200 seconds after 1970.
        EXPECT_EQ(LogTimeToMs(At(2020, 3, 15, 8, 30, 0)), kUnixEpochMs + 1584250200000ULL);
        EXPECT_EQ(LogTimeToMs(At(2020, 3, 15, 8, 30, 0, 250)), kUnixEpochMs + 1584250200250ULL);
    }
    {
        // Central European time: UTC+1 in winter, UTC+2 in summer.
        ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
        const std::uint64_t winter = LogTimeToMs(At(2026, 1, 15, 12, 0, 0));
        const std::uint64_t summer = LogTimeToMs(At(2026, 7, 15, 12, 0, 0));
        EXPECT_EQ(winter, kUnixEpochMs + 1768474800000ULL);  // 11:00 UTC
        EXPECT_EQ(summer, kUnixEpochMs + 1784109600000ULL);  // 10:00 UTC
        EXPECT_EQ((summer - winter) % (24 * kMsPerHour), 23 * kMsPerHour);
    }
    EXPECT_EQ(LogTimeToMs(LogTime{}), 11644473600000ULL);
    EXPECT_EQ(LogTimeToMs(Date(2026, 13, 1)), 0u);
    EXPECT_EQ(LogTimeToMs(At(2026, 1, 1, 24, 0, 0)), 0u);
    EXPECT_EQ(LogTimeToMs(Date(1500, 1, 1)), 0u);
}

}  // namespace
}  // namespace zelmisc

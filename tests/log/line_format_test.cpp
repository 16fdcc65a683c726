#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log/debug.h"
#include "log/line_format.h"
#include "platform/process_info.h"
#include "tests/support/zone_guard.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

// The process's priority class as a line names it: NORMAL, unless the tests
// themselves run under nice.
std::string OwnClassName() {
    return PriorityName(platform::PriorityClassFromNice(getpriority(PRIO_PROCESS, 0)));
}

std::string Compose(std::string_view prefix, std::string_view marker, std::string_view suffix,
                    const char* format, ...) ZEL_PRINTF_FORMAT(4, 5);
std::string Compose(std::string_view prefix, std::string_view marker, std::string_view suffix,
                    const char* format, ...) {
    char line[kLineBufferSize];
    va_list args;
    va_start(args, format);
    const std::size_t length = ComposeLine(line, prefix, marker, format, args, suffix);
    va_end(args);
    return std::string(line, length);
}

// The line as it comes out when every piece is first printed into one format
// of at most kLineFormatLimit characters, which is then expanded: the result
// ComposeLine must match whenever the pieces hold no '%'.
std::string OneFormatReference(const std::string& prefix, const std::string& marker,
                               const std::string& format, const std::string& suffix,
                               const std::string& argument) {
    char lineFormat[kLineFormatLimit + 1];
    std::snprintf(lineFormat, sizeof lineFormat, "%s%s%s%s", prefix.c_str(), marker.c_str(),
                  format.c_str(), suffix.c_str());
    char line[kLineBufferSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(line, sizeof line, lineFormat, argument.c_str());
#pragma GCC diagnostic pop
    return std::string(line, std::min<std::size_t>(n, kLineBufferSize - 1));
}

TEST(ComposeLine, MatchesTheOneFormatLineAtEveryLengthAroundTheBounds) {
    std::mt19937 random(20261208);
    const std::size_t prefixLengths[] = {0, 90, 3990, 4000};
    for (std::size_t prefixLength : prefixLengths) {
        for (int round = 0; round < 200; ++round) {
            const std::string prefix(prefixLength, 'P');
            const std::string marker = round % 2 ? " !WARNING! " : " ";
            std::string format(random() % 4200, 'f');
            format.insert(random() % (format.size() + 1), "<%s>");
            const std::string suffix =
                round % 3 ? "\n"
                          : " (file:a.cpp line:12 ver:Wed Jun 27 18:10:10 2018 memory:5 MB)\n";
            const std::string argument(random() % 4200, 'a');
            // A cut right behind the '%' leaves a lone '%' in the one-format
            // line, which printf does not define; ComposeLine drops it.
            if (prefix.size() + marker.size() + format.find('%') + 1 == kLineFormatLimit) {
                continue;
            }
            SCOPED_TRACE(testing::Message()
                         << prefixLength << "/" << format.size() << "/" << argument.size());
            EXPECT_EQ(Compose(prefix, marker, suffix, format.c_str(), argument.c_str()),
                      OneFormatReference(prefix, marker, format, suffix, argument));
        }
    }
}

TEST(ComposeLine, OnlyTheCallersFormatIsEverExpanded) {
    // A '%' in the prefix, the marker or the suffix is copied as it stands.
    EXPECT_EQ(Compose("[%s%n]", " %d ", " (file:100%s.cpp ver:%x)\n", "%d%%|%s", 7, "x"),
              "[%s%n] %d 7%|x (file:100%s.cpp ver:%x)\n");
}

TEST(ComposeLine, AConversionCutInHalfIsDropped) {
    const std::string prefix(kLineFormatLimit - 5, 'P');
    // Four characters fit: "ab%l" is cut within "%lu", so only "ab" remains.
    EXPECT_EQ(Compose(prefix, " ", "\n", "ab%lu-tail", 42ul), prefix + " ab");
    // "a%%b" fits whole before the cut: the escaped percent is printed.
    EXPECT_EQ(Compose(prefix, " ", "\n", "a%%bcdefgh"), prefix + " a%b");
}

// ComposeLineIn in a buffer of |capacity| bytes that holds |prefix|; the
// line, or "<no room:N>" with the room asked for.
std::string ComposeIn(std::size_t capacity, std::string_view prefix, std::string_view marker,
                      std::string_view suffix, const char* format, ...) ZEL_PRINTF_FORMAT(5, 6);
std::string ComposeIn(std::size_t capacity, std::string_view prefix, std::string_view marker,
                      std::string_view suffix, const char* format, ...) {
    std::vector<char> line(capacity);
    std::memcpy(line.data(), prefix.data(), prefix.size());
    std::size_t needed = 0;
    va_list args;
    va_start(args, format);
    const std::size_t length =
        ComposeLineIn(line.data(), capacity, needed, prefix.size(), marker, format, args, suffix);
    va_end(args);
    if (length == kNoRoom) {
        return "<no room:" + std::to_string(needed) + ">";
    }
    EXPECT_LT(length, capacity);
    EXPECT_EQ(line[length], '\0');
    return std::string(line.data(), length);
}

// A line is made in a queue slot's room first and, when it is longer, in a
// buffer of the room it asks for: each of the two must give exactly the line
// ComposeLine gives in the full buffer, at every length around the room, the
// format bound and the line bound.
TEST(ComposeLine, ASmallBufferGivesTheSameLineOrTheRoomItNeeds) {
    std::mt19937 random(20261209);
    for (std::size_t capacity : {40, 232, 1000, 4096}) {
        for (std::size_t prefixLength : {0, 30, 90, 3990}) {
            if (prefixLength >= capacity) {
                continue;
            }
            for (int round = 0; round < 150; ++round) {
                const std::string prefix(prefixLength, 'P');
                const std::string marker = round % 2 ? " !WARNING! " : " ";
                // Mostly lines near the room; now and then near the bounds.
                const std::size_t spread = round % 5 == 0 ? 4200 : capacity + 20;
                std::string format(random() % spread / 2, 'f');
                format.insert(random() % (format.size() + 1), "<%s>");
                const std::string suffix = round % 3 ? "\n" : " (file:a.cpp line:12 memory:5 MB)\n";
                const std::string argument(random() % spread / 2, 'a');
                SCOPED_TRACE(testing::Message() << capacity << "/" << prefixLength << "/"
                                                << format.size() << "/" << argument.size());
                const std::string expected =
                    Compose(prefix, marker, suffix, format.c_str(), argument.c_str());
                const std::string small =
                    ComposeIn(capacity, prefix, marker, suffix, format.c_str(), argument.c_str());
                if (small.rfind("<no room:", 0) != 0) {
                    EXPECT_EQ(small, expected);
                    continue;
                }
                ASSERT_LT(capacity, kLineBufferSize) << "the full buffer always takes the line";
                const std::size_t needed = std::stoul(small.substr(9));
                ASSERT_GT(needed, expected.size());
                ASSERT_LE(needed, kLineBufferSize);
                EXPECT_EQ(
                    ComposeIn(needed, prefix, marker, suffix, format.c_str(), argument.c_str()),
                    expected);
            }
        }
    }
}

TEST(PriorityName, TheNamesOfBothTables) {
    struct Case {
        int value;
        const char* name;
    } cases[] = {
        {0x8000, "ABOVE_NORMAL"},
        {0x4000, "BELOW_NORMAL"},
        {0x80, "HIGH"},
        {0x40, "IDLE"},
        {0x20, "NORMAL"},
        {0x100, "REALTIME"},
        {15, "TIME_CRITICAL"},
        {2, "HIGHEST"},
        {1, "ABOVE_NORMAL"},
        {0, "NORMAL"},
        {-1, "BELOW_NORMAL"},
        {-2, "LOWEST"},
        {-15, "IDLE"},
        {7, "UNKNOWN_PRIO.7"},
        {-3, "UNKNOWN_PRIO.-3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(CDebug::PriorityName(c.value), c.name);
    }
}

// The priority names of a process of the high class with a thread at the
// highest priority. Raising priorities needs privileges: the test runs in a
// child process, which skips when it lacks them. The class is the main
// thread's, so the thread at the highest priority is another one.
TEST(LinePrefixDeathTest, HighClassAndHighestThreadShowTheirNames) {
    EXPECT_EXIT(
        {
            if (!platform::SetProcessPriorityClass(platform::kHighPriorityClass)) {
                std::fprintf(stderr, "SKIP: no privilege to raise priorities\n");
                std::_Exit(0);
            }
            std::string text;
            std::thread([&text] {
                if (!platform::SetThreadPriority(platform::kThreadPriorityHighest)) {
                    text = "SKIP";
                    return;
                }
                zelmisc::LogTime time;
                zelmisc::GetLocalLogTime(time);
                char prefix[kPrefixBufferSize];
                text.assign(prefix, FormatLinePrefix(prefix, time, 0, 1));
            }).join();
            const bool ok = text == "SKIP" || (text.find("]:[HIGH]:[TID=") != std::string::npos &&
                                               text.find("]:[HIGHEST] [") != std::string::npos);
            std::fprintf(stderr, "%s\n", text.c_str());
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(LinePrefix, ShapeDateAndTimeFields) {
    zelmisc::LogTime time;
    time.year = 2026;
    time.month = 12;
    time.day = 6;
    time.hour = 9;
    time.minute = 5;
    time.second = 3;
    time.millisecond = 42;
    char prefix[kPrefixBufferSize];
    const unsigned long self = platform::CurrentThreadId();
    char tid[32];
    std::snprintf(tid, sizeof tid, "%08lu", self);
    char pid[32];
    std::snprintf(pid, sizeof pid, "%08lu", platform::CurrentProcessId());

    std::string text(prefix, FormatLinePrefix(prefix, time, self, 1));
    EXPECT_EQ(text.substr(0, 5), "[CPU=");
    EXPECT_EQ(text.substr(9), std::string("][PID=") + pid + "]:[" + OwnClassName() +
                                  "]:[TID=" + tid + "(MAIN)]:[NORMAL] [06-12-26 09:05:03.042]");

    // Another main thread: no "(MAIN)". A year of 9999 and an hour of 24 leave
    // the date and the time empty.
    time.year = 9999;
    time.hour = 24;
    text.assign(prefix, FormatLinePrefix(prefix, time, self + 1, 1));
    EXPECT_NE(text.find(std::string(":[TID=") + tid + "]:"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), " [ ]");
    time.year = 1950;
    time.hour = 23;
    text.assign(prefix, FormatLinePrefix(prefix, time, self, 1));
    EXPECT_NE(text.find(" [06-12-1950 23:05:03.042]"), std::string::npos) << text;
}

// One thread's prefixes in a row keep text between calls: each must still be
// exactly what its own time and main thread call for, when only the
// milliseconds change, when the second, the minute or the date changes, when
// another thread is the main one, and after a time of day out of range.
TEST(LinePrefix, EachPrefixInARowMatchesItsOwnTime) {
    const unsigned long self = platform::CurrentThreadId();
    char tid[32];
    std::snprintf(tid, sizeof tid, "%08lu", self);
    char pid[32];
    std::snprintf(pid, sizeof pid, "%08lu", platform::CurrentProcessId());
    struct Step {
        int day, hour, minute, second, millisecond;
        bool main;
    };
    const Step steps[] = {
        {6, 9, 5, 3, 42, true}, {6, 9, 5, 3, 43, true},   {6, 9, 5, 3, 999, true},
        {6, 9, 5, 4, 0, true},  {6, 9, 6, 4, 0, true},    {6, 9, 6, 4, 7, false},
        {6, 9, 6, 4, 8, true},  {7, 9, 6, 4, 8, true},    {7, 24, 6, 4, 8, true},
        {7, 9, 6, 4, 8, true},  {7, 9, 6, 4, 1000, true}, {7, 23, 59, 59, 999, true},
    };
    for (const Step& step : steps) {
        zelmisc::LogTime time;
        time.year = 2026;
        time.month = 12;
        time.day = static_cast<std::uint16_t>(step.day);
        time.hour = static_cast<std::uint16_t>(step.hour);
        time.minute = static_cast<std::uint16_t>(step.minute);
        time.second = static_cast<std::uint16_t>(step.second);
        time.millisecond = static_cast<std::uint16_t>(step.millisecond);
        char clock[32] = "";
        if (step.hour <= 23 && step.millisecond <= 999) {
            std::snprintf(clock, sizeof clock, "%02d:%02d:%02d.%03d", step.hour, step.minute,
                          step.second, step.millisecond);
        }
        char expected[kPrefixBufferSize];
        std::snprintf(expected, sizeof expected,
                      "][PID=%s]:[%s]:[TID=%s%s]:[NORMAL] [%02d-12-26 %s]", pid,
                      OwnClassName().c_str(), tid, step.main ? "(MAIN)" : "", step.day, clock);
        char prefix[kPrefixBufferSize];
        const std::string text(prefix,
                               FormatLinePrefix(prefix, time, step.main ? self : self + 1, 1));
        SCOPED_TRACE(text);
        ASSERT_GE(text.size(), 9u);
        EXPECT_EQ(text.substr(0, 5), "[CPU=");
        EXPECT_EQ(text.substr(9), expected);
        EXPECT_EQ(std::strlen(prefix), text.size());
    }
}

// The prefix of a line made now (FormatLinePrefixAt), whose text is kept per
// thread and clock second, must be the prefix FormatLinePrefix makes for the
// local time of the same clock reading: within a second (milliseconds rounded,
// held at 999), into the next second, across a daylight-saving change and the
// year's end, with another main thread, and in a buffer too small for it.
TEST(LinePrefix, APrefixMadeNowIsThePrefixOfItsLocalTime) {
    tapscope::testing::ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const unsigned long self = platform::CurrentThreadId();
    constexpr std::int64_t kSpringForward = 1774746000;  // 2026-03-29 01:00:00 UTC
    constexpr std::int64_t kYearEnd = 1798757999;        // 2026-12-31 22:59:59 UTC
    struct Step {
        std::int64_t seconds;
        std::int32_t nanoseconds;
        bool main;
        const char* localTime;  // what the prefix must end with
    } steps[] = {
        {kSpringForward - 1, 0, true, "[29-03-26 01:59:59.000]"},
        {kSpringForward - 1, 499'999, true, "[29-03-26 01:59:59.000]"},
        {kSpringForward - 1, 500'000, true, "[29-03-26 01:59:59.001]"},
        {kSpringForward - 1, 998'500'000, false, "[29-03-26 01:59:59.999]"},
        {kSpringForward - 1, 999'700'000, true, "[29-03-26 01:59:59.999]"},
        {kSpringForward, 200'000'000, true, "[29-03-26 03:00:00.200]"},
        {kSpringForward + 61, 42'000'000, true, "[29-03-26 03:01:01.042]"},
        {kYearEnd, 999'000'000, true, "[31-12-26 23:59:59.999]"},
        {kYearEnd + 1, 3'000'000, true, "[01-01-27 00:00:00.003]"},
        {kYearEnd + 1, 4'000'000, false, "[01-01-27 00:00:00.004]"},
    };
    for (const Step& step : steps) {
        const tapscope::platform::WallTime now{step.seconds, step.nanoseconds};
        const unsigned long mainThread = step.main ? self : self + 1;
        zelmisc::LogTime time;
        zelmisc::detail::LocalLogTimeAt(now, time);
        char expected[kPrefixBufferSize];
        const std::string reference(expected,
                                    FormatLinePrefix(expected, time, mainThread, now.seconds));
        char made[kPrefixBufferSize];
        const std::string text(made, FormatLinePrefixAt(made, sizeof made, now, mainThread));
        SCOPED_TRACE(text);
        EXPECT_EQ(std::strlen(made), text.size());
        // The processor may change between the two calls; the rest may not.
        ASSERT_EQ(text.size(), reference.size());
        EXPECT_EQ(text.substr(0, 5), "[CPU=");
        EXPECT_EQ(text.substr(9), reference.substr(9));
        EXPECT_EQ(text.substr(text.size() - std::strlen(step.localTime)), step.localTime);
        EXPECT_EQ(text.find("(MAIN)") != std::string::npos, step.main);

        // A buffer too small is refused, one just large enough is not.
        EXPECT_EQ(FormatLinePrefixAt(made, text.size(), now, mainThread), 0u);
        EXPECT_EQ(FormatLinePrefixAt(made, text.size() + 1, now, mainThread), text.size());
        EXPECT_EQ(std::string(made).substr(9), text.substr(9));
    }
}

}  // namespace
}  // namespace ZelLog

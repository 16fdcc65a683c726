#include "runtime/log_time.h"

#include <cstdio>
#include <stdexcept>

namespace zelmisc {
namespace {

using tapscope::platform::CivilTime;
using tapscope::platform::WallTime;

constexpr std::uint16_t kMaxMillisecond = 999;
// The years an absolute millisecond count can hold: 1601 to 30827.
constexpr int kFirstConvertibleYear = 1601;
constexpr int kLastConvertibleYear = 30827;

// Calendar fields of the current second, converted once per second per thread:
// the conversion takes a process-wide lock in the C library, while a log line
// needs only the milliseconds anew.
struct CachedSecond {
    std::int64_t seconds = -1;
    bool local = false;
    CivilTime civil;
};

const CivilTime& CivilOfSecond(std::int64_t seconds, bool local) {
    thread_local CachedSecond cache;
    if (cache.seconds != seconds || cache.local != local) {
        CivilTime civil;
        const bool ok = local ? tapscope::platform::LocalCivilTime(seconds, civil)
                              : tapscope::platform::UtcCivilTime(seconds, civil);
        if (!ok) {
            throw std::runtime_error("could not convert the time to calendar fields");
        }
        cache.seconds = seconds;
        cache.local = local;
        cache.civil = civil;
    }
    return cache.civil;
}

void ReadClock(LogTime& time, bool local) {
    const WallTime now = tapscope::platform::WallClockNow();
    time = detail::ComposeLogTime(CivilOfSecond(now.seconds, local), now.nanoseconds / 1000);
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

namespace detail {

LogTime ComposeLogTime(const CivilTime& civil, std::int32_t microseconds) {
    LogTime time;
    time.year = static_cast<std::int16_t>(civil.year);
    time.month = static_cast<std::uint16_t>(civil.month);
    time.day = static_cast<std::uint16_t>(civil.day);
    time.hour = static_cast<std::uint16_t>(civil.hour);
    time.minute = static_cast<std::uint16_t>(civil.minute);
    time.second = static_cast<std::uint16_t>(civil.second);
    time.millisecond = RoundedMillisecond(microseconds);
    return time;
}

void LocalLogTimeAt(const WallTime& now, LogTime& time) {
    time = ComposeLogTime(CivilOfSecond(now.seconds, true), now.nanoseconds / 1000);
}

}  // namespace detail

void GetLocalLogTime(LogTime& time) {
    ReadClock(time, true);
}

void GetUtcLogTime(LogTime& time) {
    ReadClock(time, false);
}

std::uint64_t LogTimeToMs(const LogTime& time) {
    if (time.day == 0 && time.month == 0 && time.year == 0) {
        return kUnixEpochMs;
    }
    if (!IsValidDate(time) || time.year < kFirstConvertibleYear ||
        time.year > kLastConvertibleYear || time.hour > 23 || time.minute > 59 ||
        time.second > 59 || time.millisecond > kMaxMillisecond) {
        return 0;
    }
    CivilTime civil;
    civil.year = time.year;
    civil.month = time.month;
    civil.day = time.day;
    civil.hour = time.hour;
    civil.minute = time.minute;
    civil.second = time.second;
    std::int64_t seconds = 0;
    if (!tapscope::platform::SecondsFromLocalCivil(civil, seconds)) {
        return 0;
    }
    const std::int64_t ms =
        seconds * 1000 + time.millisecond + static_cast<std::int64_t>(kUnixEpochMs);
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

int IsValidDate(const LogTime& time) {
    static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (time.month < 1 || time.month > 12) {
        return 0;
    }
    int days = kMonthDays[time.month - 1];
    if (time.month == 2 && IsLeapYear(time.year)) {
        ++days;
    }
    return (time.day >= 1 && time.day <= days) ? 1 : 0;
}

int TwoPartYear(int year) {
    if (year <= 1950) {
        return year;
    }
    return year >= 2000 ? year - 2000 : year - 1900;
}

int FormatDate(const LogTime& time, char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (!IsValidDate(time) || time.year == 9999) {
        buffer[0] = '\0';
        return 0;
    }
    std::snprintf(buffer, size, "%.2d-%.2d-%.2d", static_cast<int>(time.day),
                  static_cast<int>(time.month), TwoPartYear(time.year));
    return 1;
}

}  // namespace zelmisc

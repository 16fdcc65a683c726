// LogTime: the compact local date-time record of the log, and the functions
// that read the clock into it, convert it to absolute milliseconds and print
// its date. They keep no shared state; every one may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace zelmisc {

struct LogTime {
    std::int16_t year = 0;  // compared as a signed value
    std::uint16_t month = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t millisecond = 0;
};

// Milliseconds from 1601-01-01 00:00 UTC to 1970-01-01 00:00 UTC.
constexpr std::uint64_t kUnixEpochMs = 11644473600000ULL;

// The current local time and the current UTC time. Throw std::runtime_error
// when the system cannot convert the clock reading.
void GetLocalLogTime(LogTime& time);
void GetUtcLogTime(LogTime& time);

// |time| read as local time, in milliseconds since 1601-01-01 00:00 UTC, with
// the zone's rules for that date. The all-zero date gives kUnixEpochMs; a
// record that cannot be converted gives 0.
std::uint64_t LogTimeToMs(const LogTime& time);

// 1 when month and day form a real date of the Gregorian calendar, else 0.
int IsValidDate(const LogTime& time);

// The longest date FormatDate prints has 12 characters ("31-12--32768").
constexpr std::size_t kDateTextSize = 13;

// Prints the date as "dd-mm-yy" into |buffer| and returns 1, or stores the
// empty text and returns 0 when the date is not valid or the year is 9999.
int FormatDate(const LogTime& time, char* buffer, std::size_t size);

// The two-part year of the log: the year itself up to 1950, the year minus
// 2000 from 2000 on, else the year minus 1900.
int TwoPartYear(int year);

namespace detail {

// The local time of the clock reading |now| (as GetLocalLogTime makes it).
void LocalLogTimeAt(const tapscope::platform::WallTime& now, LogTime& time);

// The millisecond of a time stamp: the microseconds within the second rounded
// to the nearest millisecond (halves up) and held at 999, so that the second
// never carries.
constexpr std::uint16_t RoundedMillisecond(std::int32_t microseconds) {
    const std::int32_t rounded = (microseconds + 500) / 1000;
    return static_cast<std::uint16_t>(rounded > 999 ? 999 : rounded);
}

// Builds a record from calendar fields and the microseconds within the second,
// rounded to the nearest millisecond (halves up) and held at 999, so that the
// second never carries.
LogTime ComposeLogTime(const tapscope::platform::CivilTime& civil, std::int32_t microseconds);

}  // namespace detail

}  // namespace zelmisc

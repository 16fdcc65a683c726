// Times as the capture record writes them and as "tapscope show" takes them:
// "2026-12-08T17:49:30.123456Z" read exactly, without the local time zone, and
// the calendar arithmetic that needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tapscope::app {

// A date and time of day as written, with its fraction in microseconds.
struct CivilTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;           // 0..60 (a leap second counts as the next one)
    std::int64_t micros = 0;  // 0..999999; digits past the sixth are dropped
    bool utc = false;         // written with a trailing "Z"
};

// Days from 1970-01-01 to |year|-|month|-|day| in the proleptic Gregorian
// calendar; negative before 1970.
std::int64_t DaysFromCivil(int year, int month, int day);

// "YYYY-MM-DDTHH:MM:SS[.fraction][Z]" (a space for the "T" also does). Nothing
// when it is not that, or a field is out of its range (month 13, 31 April).
std::optional<CivilTime> ParseCivilTime(const std::string& text);

// "HH:MM:SS[.fraction]"; the date fields stay at their defaults.
std::optional<CivilTime> ParseTimeOfDay(const std::string& text);

// |time| read as UTC, in microseconds since 1970.
std::int64_t UtcMicros(const CivilTime& time);

// A record's time, "2026-12-08T17:49:30.123456Z", in microseconds since 1970;
// nothing unless it is a full date and time with its "Z".
std::optional<std::int64_t> ParseRecordTime(const std::string& text);

}  // namespace tapscope::app

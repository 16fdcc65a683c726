#include "app/record_time.h"

namespace tapscope::app {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// |count| digits of |text| from |at|, as a number; nothing unless all are digits.
std::optional<int> Digits(const std::string& text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!IsDigit(text[i])) {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// "HH:MM:SS[.fraction]" from |at| into |time|; |at| ends past it.
bool ParseClock(const std::string& text, std::size_t& at, CivilTime& time) {
    const std::optional<int> hour = Digits(text, at, 2);
    const std::optional<int> minute = Digits(text, at + 3, 2);
    const std::optional<int> second = Digits(text, at + 6, 2);
    if (!hour || !minute || !second || text[at + 2] != ':' || text[at + 5] != ':' || *hour > 23 ||
        *minute > 59 || *second > 60) {
        return false;
    }
    time.hour = *hour;
    time.minute = *minute;
    time.second = *second;
    at += 8;
    time.micros = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        std::size_t digits = 0;
        while (at < text.size() && IsDigit(text[at])) {
            if (digits < 6) {
                time.micros = time.micros * 10 + (text[at] - '0');
            }
            ++digits;
            ++at;
        }
        if (digits == 0) {
            return false;
        }
        for (std::size_t i = digits; i < 6; ++i) {
            time.micros *= 10;
        }
    }
    return true;
}

}  // namespace

std::int64_t DaysFromCivil(int year, int month, int day) {
    // Counted in eras of 400 years from 0000-03-01, so that the leap day
    // ends a year.
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::optional<CivilTime> ParseCivilTime(const std::string& text) {
    CivilTime time;
    const std::optional<int> year = Digits(text, 0, 4);
    const std::optional<int> month = Digits(text, 5, 2);
    const std::optional<int> day = Digits(text, 8, 2);
    if (text.size() < 11 || !year || !month || !day || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != ' ') || *month < 1 || *month > 12 || *day < 1 ||
        *day > DaysInMonth(*year, *month)) {
        return std::nullopt;
    }
    time.year = *year;
    time.month = *month;
    time.day = *day;
    std::size_t at = 11;
    if (!ParseClock(text, at, time)) {
        return std::nullopt;
    }
    if (at < text.size() && text[at] == 'Z') {
        time.utc = true;
        ++at;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return time;
}

std::optional<CivilTime> ParseTimeOfDay(const std::string& text) {
    CivilTime time;
    std::size_t at = 0;
    if (!ParseClock(text, at, time) || at != text.size()) {
        return std::nullopt;
    }
    return time;
}

std::int64_t UtcMicros(const CivilTime& time) {
    const std::int64_t seconds = DaysFromCivil(time.year, time.month, time.day) * 86400 +
                                 time.hour * 3600 + time.minute * 60 + time.second;
    return seconds * kMicrosPerSecond + time.micros;
}

std::optional<std::int64_t> ParseRecordTime(const std::string& text) {
    const std::optional<CivilTime> time = ParseCivilTime(text);
    if (!time || !time->utc) {
        return std::nullopt;
    }
    return UtcMicros(*time);
}

}  // namespace tapscope::app

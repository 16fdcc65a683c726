#include "platform/clock.h"

#include <time.h>

#include <fstream>
#include <string>

namespace tapscope::platform {
namespace {

void CivilFromTm(const struct tm& tm, CivilTime& out) {
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
}

}  // namespace

WallTime WallClockNow() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return WallTime{now.tv_sec, static_cast<std::int32_t>(now.tv_nsec)};
}

bool LocalCivilTime(std::int64_t seconds, CivilTime& out) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (localtime_r(&t, &tm) == nullptr) {
        return false;
    }
    CivilFromTm(tm, out);
    return true;
}

bool UtcCivilTime(std::int64_t seconds, CivilTime& out) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (gmtime_r(&t, &tm) == nullptr) {
        return false;
    }
    CivilFromTm(tm, out);
    return true;
}

bool SecondsFromLocalCivil(const CivilTime& local, std::int64_t& seconds) {
    struct tm tm {};
    tm.tm_year = local.year - 1900;
    tm.tm_mon = local.month - 1;
    tm.tm_mday = local.day;
    tm.tm_hour = local.hour;
    tm.tm_min = local.minute;
    tm.tm_sec = local.second;
    tm.tm_isdst = -1;  // let the zone's rules for that date decide
    // mktime leaves tm_wday alone when it fails; -1 is also a valid result.
    tm.tm_wday = -1;
    const time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && tm.tm_wday == -1) {
        return false;
    }
    seconds = static_cast<std::int64_t>(t);
    return true;
}

std::int64_t CoarseMonotonicMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::int64_t MonotonicNs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool CycleCounterKeepsTime() {
    static const bool keeps = [] {
#if defined(__x86_64__) || defined(__i386__)
        std::ifstream source("/sys/devices/system/clocksource/clocksource0/current_clocksource");
        std::string name;
        return static_cast<bool>(source >> name) && name == "tsc";
#else
        return false;
#endif
    }();
    return keeps;
}

void ReloadTimeZone() {
    tzset();
}

}  // namespace tapscope::platform

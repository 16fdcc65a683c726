// Clock: the system's wall clock and its conversions between seconds since
// 1970 (UTC) and calendar fields in local time or UTC, with the time-zone
// rules (daylight saving included) that apply at that very moment.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>

namespace tapscope::platform {

struct WallTime {
    std::int64_t seconds = 0;      // since 1970-01-01 00:00 UTC
    std::int32_t nanoseconds = 0;  // 0 to 999,999,999
};

struct CivilTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

WallTime WallClockNow();

// False when the system cannot convert |seconds|.
bool LocalCivilTime(std::int64_t seconds, CivilTime& out);
bool UtcCivilTime(std::int64_t seconds, CivilTime& out);

// Local calendar fields to seconds since 1970 UTC, with the zone's rules for
// that date. False when the fields cannot be converted.
bool SecondsFromLocalCivil(const CivilTime& local, std::int64_t& seconds);

// Milliseconds of a clock that never steps back, read cheaply at a resolution
// of a few milliseconds: for "at most once per second" refreshes.
std::int64_t CoarseMonotonicMs();

// Nanoseconds of a clock that never steps back (its rate follows the wall
// clock's corrections, its value does not follow the wall clock's steps).
std::int64_t MonotonicNs();

// The processor's cycle counter, read with one instruction: telling how much
// time passed since a clock reading costs far less than reading the clock.
// 0 on a processor without one. Spans are only meaningful where
// CycleCounterKeepsTime() says so.
inline std::uint64_t CycleCount() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_ia32_rdtsc();
#else
    return 0;
#endif
}

// Whether the system keeps time with the cycle counter itself (the kernel's
// clock source is the TSC, which it uses only when the counter runs at a
// constant rate and agrees across processors). Read once.
bool CycleCounterKeepsTime();

// Reads the TZ environment variable again (after a test changed it).
void ReloadTimeZone();

}  // namespace tapscope::platform

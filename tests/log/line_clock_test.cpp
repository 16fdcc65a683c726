#include "log/detail/line_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "runtime/log_time.h"

namespace ZelLog::detail {
namespace {

using tapscope::platform::WallClockNow;
using tapscope::platform::WallTime;

// The time as a line prints it: the second and the rounded millisecond.
std::int64_t Printed(const WallTime& time) {
    return time.seconds * 1000 + zelmisc::detail::RoundedMillisecond(time.nanoseconds / 1000);
}

// |count| lines in a row, each between two clock readings; with |pause|
// between them. Returns how many lines took the reading of the line before
// (the cycle counter said it still served) instead of reading the clock.
int CheckLines(int count, std::chrono::microseconds pause) {
    int reused = 0;
    WallTime last;
    for (int i = 0; i < count; ++i) {
        const WallTime before = WallClockNow();
        const WallTime line = LineTime();
        const WallTime after = WallClockNow();
        if (Printed(line) < Printed(before) || Printed(line) > Printed(after)) {
            ADD_FAILURE() << "line " << i << " at " << line.seconds << "." << line.nanoseconds
                          << " between " << before.seconds << "." << before.nanoseconds << " and "
                          << after.seconds << "." << after.nanoseconds;
            return reused;
        }
        if (i > 0 && line.seconds == last.seconds && line.nanoseconds == last.nanoseconds) {
            ++reused;
        }
        last = line;
        if (pause.count() > 0) {
            std::this_thread::sleep_for(pause);
        }
    }
    return reused;
}

// A line prints the second and millisecond of a clock reading made at the
// same moment, whether lines come close together (most take the reading of
// the line before) or far apart, on several threads at once, and from the
// start, while the counter's rate is still being measured.
TEST(LineClock, ALinePrintsTheMillisecondOfTheClockAtThatMoment) {
    // Lines close together until the counter's rate is known (or the counter
    // is found unusable here), then as many again.
    constexpr int kBatches = 5000;
    int batch = 0;
    while (CurrentLineClockMode() == LineClockMode::kMeasuring && batch++ < kBatches) {
        CheckLines(10'000, std::chrono::microseconds(0));
    }
    ASSERT_NE(CurrentLineClockMode(), LineClockMode::kMeasuring);
    const int reused = CheckLines(200'000, std::chrono::microseconds(0));
    if (CurrentLineClockMode() == LineClockMode::kCycles) {
        EXPECT_GT(reused, 0) << "lines close together share a reading";
    } else {
        std::fprintf(stderr,
                     "note: the system does not keep time with the cycle counter here; every "
                     "line read the clock\n");
    }
    CheckLines(300, std::chrono::microseconds(170));
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            CheckLines(200'000, std::chrono::microseconds(0));
            CheckLines(100, std::chrono::microseconds(90 * (t + 1)));
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace
}  // namespace ZelLog::detail

#include "log/detail/line_clock.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "runtime/log_time.h"

namespace ZelLog::detail {
namespace {

namespace platform = tapscope::platform;

// A reading of a clock counts only when the counter moved less than this
// across it (10 microseconds at 1 GHz or more): a thread that was preempted
// in between learns nothing from it.
constexpr std::uint64_t kTightCycles = 10'000;
// The counter's rate is measured over at least this span of the monotonic
// clock, from readings bracketed still more closely (2 microseconds at 1 GHz
// or more): their uncertainty is then at most two ten-thousandths of it.
constexpr std::int64_t kCalibrationSpanNs = 20'000'000;
constexpr std::uint64_t kCalibrationTightCycles = 2'000;
// A window counts this share fewer cycles than the time it stands for (the
// rate's uncertainty, and the wall clock's rate corrections of up to 500
// millionths), and ends this long before the printed millisecond changes.
constexpr double kRateSlack = 1e-3;
constexpr std::int64_t kWindowMarginNs = 2'000;
// Two tight readings of one thread less than kCheckSpanNs apart must be as
// far apart as their cycles say, give or take kDisagreementNs; otherwise the
// counter does not keep time here (or the clock was set): it is not used
// again.
constexpr std::int64_t kCheckSpanNs = 100'000'000;
constexpr std::int64_t kDisagreementNs = 1'000'000;
// Rates outside these (cycles per nanosecond) are no processor's counter.
constexpr double kLowestRate = 0.05;
constexpr double kHighestRate = 50;

struct Calibration {
    // Cycles per nanosecond; 0 while unknown, or when the counter is not used.
    std::atomic<double> rate{0};
    std::atomic<bool> unused{false};
    std::mutex lock;  // guards the measurement
    bool started = false;
    std::int64_t startNs = 0;
    std::uint64_t startCycles = 0;
};

// Never destroyed: detached threads may still log while the process exits.
Calibration& TheCalibration() {
    static auto* calibration = new Calibration;
    return *calibration;
}

void StopUsingCycles(Calibration& calibration) {
    calibration.unused.store(true, std::memory_order_relaxed);
    calibration.rate.store(0, std::memory_order_relaxed);
}

// The counter's rate, measured as lines read the clock: 0 until 20 ms have
// passed since the first tight reading, and for good where the counter is
// not used.
double CycleRate() {
    Calibration& calibration = TheCalibration();
    const double rate = calibration.rate.load(std::memory_order_acquire);
    if (rate > 0 || calibration.unused.load(std::memory_order_relaxed)) {
        return rate;
    }
    // Only while the rate is unknown; a thread that finds another measuring
    // reads the clock meanwhile (and a fork never copies a held lock into a
    // child that then waits on it).
    std::unique_lock lock(calibration.lock, std::try_to_lock);
    if (!lock.owns_lock() || calibration.unused.load(std::memory_order_relaxed)) {
        return 0;
    }
    if (!platform::CycleCounterKeepsTime()) {
        StopUsingCycles(calibration);
        return 0;
    }
    const std::uint64_t before = platform::CycleCount();
    const std::int64_t ns = platform::MonotonicNs();
    const std::uint64_t after = platform::CycleCount();
    if (after - before > kCalibrationTightCycles) {
        return 0;
    }
    const std::uint64_t cycles = before + (after - before) / 2;
    if (!calibration.started) {
        calibration.started = true;
        calibration.startNs = ns;
        calibration.startCycles = cycles;
        return 0;
    }
    const std::int64_t span = ns - calibration.startNs;
    if (span < kCalibrationSpanNs) {
        return 0;
    }
    const double measured =
        static_cast<double>(cycles - calibration.startCycles) / static_cast<double>(span);
    if (!(measured > kLowestRate && measured < kHighestRate)) {
        StopUsingCycles(calibration);
        return 0;
    }
    calibration.rate.store(measured, std::memory_order_release);
    return measured;
}

std::int64_t NsBetween(const platform::WallTime& from, const platform::WallTime& to) {
    return (to.seconds - from.seconds) * 1'000'000'000 + (to.nanoseconds - from.nanoseconds);
}

}  // namespace

platform::WallTime ReadLineClock(LineClockState& state, std::uint64_t cycles) {
    const platform::WallTime reading = platform::WallClockNow();
    const bool tight = platform::CycleCount() - cycles <= kTightCycles;
    const double rate = CycleRate();
    std::uint64_t window = 0;
    if (rate > 0) {
        const std::int64_t predicted =
            static_cast<std::int64_t>(static_cast<double>(cycles - state.cycles) / rate);
        if (tight && state.tight && predicted >= 0 && predicted < kCheckSpanNs &&
            std::llabs(NsBetween(state.reading, reading) - predicted) > kDisagreementNs) {
            StopUsingCycles(TheCalibration());
        } else {
            // The printed millisecond changes where the rounded microseconds
            // reach the next half millisecond; 999 lasts to the second's end.
            const unsigned millisecond =
                zelmisc::detail::RoundedMillisecond(reading.nanoseconds / 1000);
            const std::int64_t end = millisecond >= 999
                                         ? 1'000'000'000
                                         : (std::int64_t{millisecond} * 1000 + 500) * 1000;
            // |cycles| was counted before the reading (however long before,
            // should the thread have been preempted in between): the window,
            // counted from there, ends earlier still than the time it stands
            // for.
            const std::int64_t left = end - reading.nanoseconds - kWindowMarginNs;
            if (left > 0) {
                window =
                    static_cast<std::uint64_t>(static_cast<double>(left) * rate * (1 - kRateSlack));
            }
        }
    }
    state.cycles = cycles;
    state.window = window;
    state.tight = tight;
    state.reading = reading;
    return reading;
}

LineClockMode CurrentLineClockMode() {
    if (CycleRate() > 0) {
        return LineClockMode::kCycles;
    }
    return TheCalibration().unused.load(std::memory_order_relaxed) ? LineClockMode::kClockOnly
                                                                   : LineClockMode::kMeasuring;
}

}  // namespace ZelLog::detail

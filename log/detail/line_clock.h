// The wall-clock time of a log line, read cheaply. Each thread keeps its last
// clock reading and the number of processor cycles after it within which the
// millisecond a line prints cannot have changed; a line made within them
// takes that reading (it prints the same time), any other line reads the
// clock. A cycle costs a third of a clock reading to count, and lines come in
// bursts: most lines of a burst share a millisecond. (A line made just after
// the wall clock was set may still show the time of the reading before, up to
// the end of that reading's millisecond.)
//
// The counter's rate is measured against the monotonic clock once per
// process, over the first lines' 20 ms, from readings the counter brackets
// closely. Where the system does not keep time with the counter itself, or
// two such readings show that the counter and the clock disagree, every line
// reads the clock.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace ZelLog::detail {

struct LineClockState {
    std::uint64_t cycles = 0;  // the counter just before |reading|
    std::uint64_t window = 0;  // cycles after |cycles| that |reading| serves; 0: none
    bool tight = false;        // the counter moved little across the reading
    tapscope::platform::WallTime reading;
};

// Trivially destructible: lines made at any point of the thread's end use it.
inline thread_local LineClockState t_lineClock;

// Reads the clock for a line whose counter shows |cycles|, and keeps the
// reading with the window it serves.
tapscope::platform::WallTime ReadLineClock(LineClockState& state, std::uint64_t cycles);

// The time of a line made now: the same second and printed millisecond as a
// reading of the wall clock at this moment.
inline tapscope::platform::WallTime LineTime() {
    LineClockState& state = t_lineClock;
    const std::uint64_t cycles = tapscope::platform::CycleCount();
    if (cycles - state.cycles < state.window) {
        return state.reading;
    }
    return ReadLineClock(state, cycles);
}

// Whether lines use the cycle counter by now: its rate is still being
// measured, it is known and trusted, or every line reads the clock.
enum class LineClockMode { kMeasuring, kCycles, kClockOnly };
LineClockMode CurrentLineClockMode();

}  // namespace ZelLog::detail

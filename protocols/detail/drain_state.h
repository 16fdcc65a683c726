// The end-of-capture drain a transport has begun (see AbstractProtocol::Drain):
// whether it runs, until when it may read, and whom to tell when it is done.
// Each transport keeps one under its own lock.
#pragma once

#include <chrono>
#include <utility>

#include "protocols/abstract_protocol.h"

namespace tapscope::protocols::detail {

struct DrainState {
    using Clock = std::chrono::steady_clock;

    // Set by Begin: no read or accept is armed any more.
    bool active = false;
    Clock::time_point until;
    AbstractProtocol::DrainDone done;

    void Begin(Clock::time_point deadline, AbstractProtocol::DrainDone callback) {
        active = true;
        until = deadline;
        done = std::move(callback);
    }
    // For the drain's work: the callback to call once (taken, so that it is
    // called only once) and the deadline.
    std::pair<Clock::time_point, AbstractProtocol::DrainDone> Take() {
        return {until, std::move(done)};
    }
};

}  // namespace tapscope::protocols::detail

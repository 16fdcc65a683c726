// WaitUntil: polls a condition until it holds or a generous limit passes, so
// that a test waiting for another thread or process ends by itself.
#pragma once

#include <chrono>
#include <thread>

namespace tapscope::testing {

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace tapscope::testing

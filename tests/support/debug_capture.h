// DebugCapture: collects every debug-output text while it lives, in place of
// the system log.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace tapscope::testing {

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> Texts() const;
    // How many captured texts contain |part|.
    int Count(const std::string& part) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_texts;  // guarded by m_mutex
    platform::DebugOutputSink m_previous;
};

}  // namespace tapscope::testing

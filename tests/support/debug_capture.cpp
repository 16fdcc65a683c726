#include "tests/support/debug_capture.h"

namespace tapscope::testing {

DebugCapture::DebugCapture() {
    m_previous = platform::SetDebugOutputSink([this](std::string_view text) {
        std::lock_guard lock(m_mutex);
        m_texts.emplace_back(text);
    });
}

DebugCapture::~DebugCapture() {
    platform::SetDebugOutputSink(std::move(m_previous));
}

std::vector<std::string> DebugCapture::Texts() const {
    std::lock_guard lock(m_mutex);
    return m_texts;
}

int DebugCapture::Count(const std::string& part) const {
    std::lock_guard lock(m_mutex);
    int count = 0;
    for (const std::string& text : m_texts) {
        if (text.find(part) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

void DebugCapture::Clear() {
    std::lock_guard lock(m_mutex);
    m_texts.clear();
}

}  // namespace tapscope::testing

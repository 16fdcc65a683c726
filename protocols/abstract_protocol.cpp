#include "protocols/abstract_protocol.h"

#include "log/debug.h"
#include "platform/debug_output.h"
#include "protocols/settings_document.h"

namespace {

constexpr const char* kParseError = "Error in parse config.";

thread_local const BlockSource* t_deliveringSource = nullptr;

}  // namespace

AbstractProtocol::AbstractProtocol(boost::asio::io_context& ioService, const std::string& settings)
    : m_ioService(ioService) {
    try {
        // Parsed aside so that a document that fails half-way leaves nothing;
        // one too large or too deeply nested fails before it is read.
        boost::property_tree::ptree parsed = ParseSettingsDocument(settings);
        m_settings.swap(parsed);
    } catch (...) {
        tapscope::platform::OutputDebugText(kParseError);
        ZEL_ERROR_SITE()("%s", kParseError);
    }
    m_buffer.assign(1, 0);
}

AbstractProtocol::~AbstractProtocol() = default;

const BlockSource* AbstractProtocol::DeliveringSource() {
    return t_deliveringSource;
}

namespace tapscope::protocols {

SourceScope::SourceScope(const BlockSource* source) : m_previous(t_deliveringSource) {
    t_deliveringSource = source;
}

SourceScope::~SourceScope() {
    t_deliveringSource = m_previous;
}

}  // namespace tapscope::protocols

bool AbstractProtocol::IsStarted() {
    return m_started.load();
}

void AbstractProtocol::Release() {
    Stop();
    delete this;
}

void AbstractProtocol::Drain(std::chrono::steady_clock::time_point /*deadline*/, DrainDone done) {
    if (done) {
        done(DrainResult{});
    }
}

void AbstractProtocol::ReportMessage(const std::shared_ptr<AbstractProtocol>& source,
                                     const std::string& text) {
    if (source) {
        m_messageSignal(source, text);
    } else {
        ZEL_ERROR_SITE()("%s", text.c_str());
    }
}

void AbstractProtocol::ReportEvent(const std::shared_ptr<AbstractProtocol>& source,
                                   const TransportEvent& event) {
    if (source) {
        m_eventSignal(source, event);
    } else {
        ZelLog::Log()->Trace("%s", event.text.c_str());
    }
}

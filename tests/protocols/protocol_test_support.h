// Fixtures of the transport tests: a recorder for what a transport emits, a
// worker thread that runs the io_context as the capture window's worker does,
// and a test base that switches the process-wide log on and stops every
// transport it made before the io_context goes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "protocols/abstract_protocol.h"
#include "tests/support/log_test_access.h"

namespace tapscope::testing {

// How long a test waits for something that should happen at once: only a
// guard that ends a test whose transport never delivers, never a timing claim.
constexpr auto kWaitLimit = std::chrono::seconds(30);

// Everything one transport emitted, in order.
class Recorder {
public:
    struct Delivery {
        const void* source = nullptr;
        std::string bytes;  // the first count bytes of the buffer
        unsigned int count = 0;
        std::size_t bufferSize = 0;
    };
    struct Message {
        const void* source = nullptr;
        std::string text;
    };

    void Attach(AbstractProtocol& protocol) {
        protocol.m_dataSignal.connect([this](std::shared_ptr<AbstractProtocol> source,
                                             const std::vector<char>& buffer,
                                             const unsigned int& count) {
            Delivery delivery{source.get(), std::string(buffer.data(), count), count,
                              buffer.size()};
            std::function<void()> hook;
            {
                std::lock_guard lock(m_mutex);
                m_deliveries.push_back(std::move(delivery));
                m_bytes.append(buffer.data(), count);
                hook = m_onData;
            }
            m_changed.notify_all();
            if (hook) {
                hook();
            }
        });
        protocol.m_messageSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> source, const std::string& text) {
                {
                    std::lock_guard lock(m_mutex);
                    m_messages.push_back({source.get(), text});
                }
                m_changed.notify_all();
            });
        protocol.m_eventSignal.connect(
            [this](std::shared_ptr<AbstractProtocol>, const TransportEvent& event) {
                {
                    std::lock_guard lock(m_mutex);
                    m_events.push_back(event);
                }
                m_changed.notify_all();
            });
    }

    // Runs |hook| inside the data slot, after the delivery is recorded.
    void OnData(std::function<void()> hook) {
        std::lock_guard lock(m_mutex);
        m_onData = std::move(hook);
    }

    std::vector<Delivery> Deliveries() const {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }
    std::string Bytes() const {
        std::lock_guard lock(m_mutex);
        return m_bytes;
    }
    std::vector<Message> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<std::string> MessageTexts() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> texts;
        for (const Message& message : m_messages) {
            texts.push_back(message.text);
        }
        return texts;
    }

    // Waits until at least |count| bytes (or deliveries, or messages) came.
    bool WaitForBytes(std::size_t count) {
        return WaitUntil([&] { return m_bytes.size() >= count; });
    }
    bool WaitForDeliveries(std::size_t count) {
        return WaitUntil([&] { return m_deliveries.size() >= count; });
    }
    bool WaitForMessages(std::size_t count) {
        return WaitUntil([&] { return m_messages.size() >= count; });
    }
    bool WaitForEvents(std::size_t count) {
        return WaitUntil([&] { return m_events.size() >= count; });
    }
    std::vector<TransportEvent> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    template <typename Predicate>
    bool WaitUntil(Predicate predicate) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kWaitLimit, predicate);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;    // guarded by m_mutex
    std::string m_bytes;                   // guarded by m_mutex
    std::vector<Message> m_messages;       // guarded by m_mutex
    std::vector<TransportEvent> m_events;  // guarded by m_mutex
    std::function<void()> m_onData;        // guarded by m_mutex
};

// Runs io_context::run on its own thread, as the capture window's worker
// does; run returns once no operation is pending any more.
class IoWorker {
public:
    explicit IoWorker(boost::asio::io_context& io) : m_io(io) {
        m_io.restart();
        m_thread = std::thread([this] { m_io.run(); });
    }
    ~IoWorker() { Join(); }
    IoWorker(const IoWorker&) = delete;
    IoWorker& operator=(const IoWorker&) = delete;

    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    boost::asio::io_context& m_io;
    std::thread m_thread;
};

// The text of a log line without its prefix: "Stop UDP Server".
inline std::string LineText(const std::string& line) {
    static const std::regex kPrefix(R"(^.*?\d\d:\d\d:\d\d\.\d{3}\] (.*)\n$)");
    std::smatch match;
    return std::regex_match(line, match, kPrefix) ? match[1].str() : line;
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZelLog::LogSettings settings;
        settings.level = 2;
        m_log = ZelLog::CDebugTestAccess::InstallProcessLog(settings);
        ZelLog::CDebugTestAccess::TakeQueue(*m_log);
    }

    void TearDown() override {
        for (const auto& protocol : m_made) {
            protocol->Stop();
        }
        m_made.clear();
        m_worker.reset();
        // Completes what Stop aborted, so that nothing is left in the
        // io_context when it goes.
        m_io.restart();
        m_io.run();
    }

    // A transport held as the capture controller holds it; TearDown stops it.
    template <typename Protocol>
    std::shared_ptr<Protocol> Make(const std::string& settings) {
        auto protocol = MakeProtocol<Protocol>(m_io, settings);
        m_made.push_back(protocol);
        return protocol;
    }

    // A recorder attached to |protocol|; it lives as long as the test.
    Recorder& Record(AbstractProtocol& protocol) {
        Recorder& recorder = m_recorders.emplace_back();
        recorder.Attach(protocol);
        return recorder;
    }

    void RunWorker() { m_worker.emplace(m_io); }
    void JoinWorker() { m_worker.reset(); }

    // The texts of the log lines written since the last call.
    std::vector<std::string> LogTexts() {
        std::vector<std::string> texts;
        for (const std::string& line : ZelLog::CDebugTestAccess::TakeQueue(*m_log)) {
            texts.push_back(LineText(line));
        }
        return texts;
    }

    // How many of |texts| are exactly |text|.
    static int CountOf(const std::vector<std::string>& texts, const std::string& text) {
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    boost::asio::io_context m_io;
    ZelLog::CDebug* m_log = nullptr;
    std::deque<Recorder> m_recorders;
    std::vector<std::shared_ptr<AbstractProtocol>> m_made;
    std::optional<IoWorker> m_worker;
};

inline std::string IpDocument(const std::string& ip, int port) {
    return "<settings ip=\"" + ip + "\" port=\"" + std::to_string(port) + "\" />";
}

}  // namespace tapscope::testing

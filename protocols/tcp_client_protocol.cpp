#include "protocols/tcp_client_protocol.h"

#include <algorithm>

#include "log/debug.h"
#include "platform/descriptors.h"
#include "protocols/detail/burst.h"

namespace {

// "127.0.0.1:40112", "[::1]:40112".
std::string PeerText(const boost::asio::ip::tcp::endpoint& peer) {
    const std::string address = peer.address().to_string();
    return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(peer.port());
}

}  // namespace

TCPClientProtocol::TCPClientProtocol(boost::asio::io_context& ioService, std::size_t readSize)
    : m_socket(ioService),
      m_readSize(std::clamp<std::size_t>(readSize, 1, kLargestReadSize)),
      m_buffer(m_readSize, 0) {}

void TCPClientProtocol::GatherBlocks() {
    using tapscope::protocols::detail::kBurstLimit;
    const std::size_t burst = m_readSize * static_cast<std::size_t>(kBurstLimit);
    if (burst > kGatherBytes) {
        return;
    }
    m_buffer.assign(burst, 0);
    m_gathered.reserve(kBurstLimit);
    m_gather = true;
}

std::shared_ptr<TCPClientProtocol> TCPClientProtocol::Create(boost::asio::io_context& ioService,
                                                             std::size_t readSize) {
    return std::shared_ptr<TCPClientProtocol>(new TCPClientProtocol(ioService, readSize),
                                              [](TCPClientProtocol* client) { client->Release(); });
}

void TCPClientProtocol::Release() {
    {
        std::lock_guard lock(m_lock);
        m_connected = false;
    }
    delete this;
}

std::optional<std::string> TCPClientProtocol::AttachAndRead(boost::asio::ip::tcp::socket socket) {
    std::lock_guard lock(m_lock);
    if (!m_connected) {
        return std::nullopt;  // |socket| closes as it goes
    }
    m_socket = std::move(socket);
    boost::system::error_code unknown;
    const boost::asio::ip::tcp::endpoint peer = m_socket.remote_endpoint(unknown);
    if (!unknown) {
        m_peer = PeerText(peer);
        m_source.address = peer.address();
        m_source.port = peer.port();
    }
    m_source.kind = BlockSource::Kind::kTcp;
    m_source.connection = m_number;
    try {
        // The reads the handler makes itself (detail/burst.h) must never block.
        m_socket.non_blocking(true);
    } catch (const std::exception& error) {
        return error.what();
    }
    if (m_draining) {
        return std::nullopt;  // accepted as the capture ends: the drain reads it
    }
    return ArmReadLocked();
}

std::string TCPClientProtocol::Peer() {
    std::lock_guard lock(m_lock);
    return m_peer;
}

void TCPClientProtocol::StartRead() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        if (!m_connected) {
            return;
        }
        failure = ArmReadLocked();
    }
    if (failure) {
        ReportMessage(*failure);
    }
}

std::optional<std::string> TCPClientProtocol::ArmReadLocked() {
    try {
        m_socket.async_read_some(
            boost::asio::buffer(m_buffer.data(), m_readSize),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
                self->HandleRead(error, count);
            });
        return std::nullopt;
    } catch (const std::exception& error) {
        return error.what();
    }
}

void TCPClientProtocol::HandleRead(const boost::system::error_code& completion, std::size_t count) {
    using tapscope::protocols::detail::kBurstLimit;
    boost::system::error_code error = completion;
    // While gathering, where the next block's bytes go in m_buffer.
    std::size_t used = 0;
    m_gathered.clear();
    for (int delivered = 0;; ++delivered) {
        std::optional<std::string> failure;
        bool draining = false;
        // A block that the burst read itself was read under the lock, which
        // found the connection open and not draining then.
        if (delivered == 0 || error) {
            std::lock_guard lock(m_lock);
            if (!m_connected) {
                // Disconnected by the server's Stop: its abort, or bytes that
                // came too late, are neither delivered nor reported.
                return;
            }
            draining = m_draining;
            if (error) {
                if (draining && error == boost::asio::error::operation_aborted) {
                    return;  // the cancel of the drain, which reads on from here
                }
                failure = DisconnectLocked();
            }
        }
        if (error) {
            // What was read before the error comes first.
            DeliverGathered();
            if (failure) {
                ReportMessage(*failure);
            }
            if (draining) {
                // The capture is ending: worth a log line, not a message.
                ZelLog::Log()->Warning("Client %s at the end of the capture: %s", Peer().c_str(),
                                       error.message().c_str());
            } else if (error == boost::asio::error::eof) {
                ReportClosed();
            } else if (m_resetIsEvent) {
                ReportReset(error.message());
            } else {
                // Every other error while the server runs is reported.
                ReportMessage(error.message());
            }
            return;
        }
        ZelLog::Log()->Trace("Success read [%i] symbols from socket", static_cast<int>(count));
        const unsigned int received = static_cast<unsigned int>(count);
        if (m_gather) {
            m_gathered.push_back({m_buffer.data() + used, received, &m_source});
            used += count;
        } else {
            const tapscope::protocols::SourceScope source(&m_source);
            m_dataSignal(shared_from_this(), m_buffer, received);
        }
        bool deliverFirst = false;
        {
            std::lock_guard lock(m_lock);
            if (!m_connected) {
                return;  // stopped: what the burst gathered came too late
            }
            if (!m_draining && delivered + 1 < kBurstLimit) {
                // A block that already waits is taken here and now (see
                // detail/burst.h); so is an error, handled above.
                count = m_socket.read_some(boost::asio::buffer(m_buffer.data() + used, m_readSize),
                                           error);
                if (!tapscope::protocols::detail::NothingWaiting(error)) {
                    continue;
                }
            }
            // The next read may complete into m_buffer at once, so what the
            // burst gathered there is handed over before it is armed.
            deliverFirst = !m_gathered.empty();
            if (!deliverFirst && !m_draining) {
                failure = ArmReadLocked();
            }
        }
        if (deliverFirst) {
            DeliverGathered();
            std::lock_guard lock(m_lock);
            if (m_connected && !m_draining) {
                failure = ArmReadLocked();
            }
        }
        if (failure) {
            ReportMessage(*failure);
        }
        return;
    }
}

void TCPClientProtocol::DeliverGathered() {
    if (m_gathered.empty()) {
        return;
    }
    auto self = shared_from_this();
    if (m_gathered.size() == 1) {
        // The first block of a burst lies at the start of m_buffer.
        const tapscope::protocols::SourceScope source(&m_source);
        m_dataSignal(self, m_buffer, m_gathered.front().count);
    } else {
        const tapscope::protocols::SourceScope source(&m_source);
        m_blocksSignal(self, m_gathered);
    }
    m_gathered.clear();
}

void TCPClientProtocol::ReportClosed() {
    TransportEvent event;
    event.kind = TransportEvent::Kind::kClientClosed;
    event.source = Peer();
    event.connection = m_number;
    event.text = event.source.empty() ? std::string("a client closed the connection")
                                      : "client " + event.source + " closed the connection";
    if (auto self = weak_from_this().lock()) {
        m_eventSignal(self, event);
    } else {
        ZelLog::Log()->Trace("%s", event.text.c_str());
    }
}

void TCPClientProtocol::ReportConnected() {
    TransportEvent event;
    event.kind = TransportEvent::Kind::kClientConnected;
    event.source = Peer();
    event.connection = m_number;
    event.text = event.source.empty() ? std::string("a client connected")
                                      : "client " + event.source + " connected";
    if (auto self = weak_from_this().lock()) {
        m_eventSignal(self, event);
    }
}

void TCPClientProtocol::ReportReset(const std::string& error) {
    TransportEvent event;
    event.kind = TransportEvent::Kind::kClientReset;
    event.source = Peer();
    event.connection = m_number;
    event.text = (event.source.empty() ? std::string("a client's connection")
                                       : "the connection of client " + event.source) +
                 " ended: " + error;
    if (auto self = weak_from_this().lock()) {
        m_eventSignal(self, event);
    } else {
        ZelLog::Log()->Trace("%s", event.text.c_str());
    }
}

void TCPClientProtocol::BeginDrain() {
    std::lock_guard lock(m_lock);
    m_draining = true;
    if (m_connected && m_socket.is_open()) {
        boost::system::error_code ignored;
        m_socket.cancel(ignored);
    }
}

void TCPClientProtocol::DrainWaiting(std::chrono::steady_clock::time_point until,
                                     DrainResult& result) {
    using tapscope::protocols::detail::NothingWaiting;
    m_drainBuffer.resize(kDrainReadSize);
    while (true) {
        std::size_t count = 0;
        boost::system::error_code error;
        std::optional<std::string> failure;
        {
            std::lock_guard lock(m_lock);
            if (!m_connected || !m_socket.is_open()) {
                return;
            }
            if (std::chrono::steady_clock::now() >= until) {
                result.leftBytes += tapscope::platform::QueuedInput(m_socket.native_handle());
                return;
            }
            count = m_socket.read_some(boost::asio::buffer(m_drainBuffer), error);
            if (error && !NothingWaiting(error)) {
                failure = DisconnectLocked();  // the end of the stream, or an error
            }
        }
        if (NothingWaiting(error)) {
            return;
        }
        if (error) {
            ZelLog::Log()->Trace("Client %s at the end of the capture: %s", Peer().c_str(),
                                 error.message().c_str());
            if (failure) {
                ZelLog::Log()->Warning("%s", failure->c_str());
            }
            // Still told, so that a record of the capture says how the
            // client left even when it left as the capture ended.
            if (error == boost::asio::error::eof) {
                ReportClosed();
            } else if (m_resetIsEvent) {
                ReportReset(error.message());
            }
            return;
        }
        ZelLog::Log()->Trace("Success read [%i] symbols from socket", static_cast<int>(count));
        result.drainedBytes += count;
        const tapscope::protocols::SourceScope source(&m_source);
        m_dataSignal(shared_from_this(), m_drainBuffer, static_cast<unsigned int>(count));
    }
}

void TCPClientProtocol::Disconnect() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        failure = DisconnectLocked();
    }
    if (failure) {
        ReportMessage(*failure);
    }
}

std::optional<std::string> TCPClientProtocol::DisconnectForStop() {
    std::lock_guard lock(m_lock);
    return DisconnectLocked();
}

std::optional<std::string> TCPClientProtocol::DisconnectLocked() {
    if (!m_connected) {
        return std::nullopt;
    }
    m_connected = false;
    try {
        // A pending read completes with operation_aborted and finds the
        // connection disconnected.
        m_socket.close();
        ZelLog::Log()->Trace("Disconnect client ... ");
        return std::nullopt;
    } catch (const std::exception& error) {
        return error.what();
    }
}

void TCPClientProtocol::ReportMessage(const std::string& text) {
    if (auto self = weak_from_this().lock()) {
        m_messageSignal(self, text);
    } else {
        ZEL_ERROR_SITE()("%s", text.c_str());
    }
}

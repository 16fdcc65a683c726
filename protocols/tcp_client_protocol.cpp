#include "protocols/tcp_client_protocol.h"

#include "log/debug.h"
#include "protocols/detail/burst.h"

TCPClientProtocol::TCPClientProtocol(boost::asio::io_context& ioService)
    : m_socket(ioService), m_buffer(kReadSize, 0) {}

std::shared_ptr<TCPClientProtocol> TCPClientProtocol::Create(boost::asio::io_context& ioService) {
    return std::shared_ptr<TCPClientProtocol>(new TCPClientProtocol(ioService),
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
    try {
        // The reads the handler makes itself (detail/burst.h) must never block.
        m_socket.non_blocking(true);
    } catch (const std::exception& error) {
        return error.what();
    }
    return ArmReadLocked();
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
            boost::asio::buffer(m_buffer),
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
    for (int delivered = 0;; ++delivered) {
        std::optional<std::string> failure;
        {
            std::lock_guard lock(m_lock);
            if (!m_connected) {
                // Disconnected by the server's Stop: its abort, or bytes that
                // came too late, are neither delivered nor reported.
                return;
            }
            if (error) {
                failure = DisconnectLocked();
            }
        }
        if (error) {
            // Every error while the server runs is reported, the client
            // closing its end ("End of file") included.
            if (failure) {
                ReportMessage(*failure);
            }
            ReportMessage(error.message());
            return;
        }
        ZelLog::Log()->Trace("Success read [%i] symbols from socket", static_cast<int>(count));
        const unsigned int received = static_cast<unsigned int>(count);
        m_dataSignal(shared_from_this(), m_buffer, received);
        {
            std::lock_guard lock(m_lock);
            if (!m_connected) {
                return;
            }
            if (delivered + 1 < kBurstLimit) {
                // A byte that already waits is taken here and now (see
                // detail/burst.h); so is an error, handled above.
                count = m_socket.read_some(boost::asio::buffer(m_buffer), error);
                if (!tapscope::protocols::detail::NothingWaiting(error)) {
                    continue;
                }
            }
            failure = ArmReadLocked();
        }
        if (failure) {
            ReportMessage(*failure);
        }
        return;
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

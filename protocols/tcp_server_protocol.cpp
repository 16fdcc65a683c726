// How a connection lives (all under the locks named in the headers; every
// emission happens after they are let go):
//
//   Start ── StartAccept ──> connection #n in m_clients, accept armed
//                               │ accept completes (worker thread)
//                               v
//   HandleAccept: server started? ── no ──> socket dropped, nothing logged
//                               │ yes
//                               v
//   connection takes the socket, arms a 1-byte read; StartAccept (#n+1)
//                               │ read completes
//                               v
//   HandleRead: connected? ── no ──> dropped silently (Stop got there first)
//        │ yes: data ──> emit, re-arm     error ──> Disconnect, emit its text
//
//   Stop: m_started = false; close the acceptor (its accept ends with
//   operation_aborted and is dropped); Disconnect every connection (their reads
//   end with operation_aborted and are dropped); empty m_clients, which breaks
//   the cycle server -> connection -> data slot -> server.

#include "protocols/tcp_server_protocol.h"

#include "log/debug.h"
#include "protocols/detail/ip_settings.h"

using boost::asio::ip::tcp;

TCPServerProtocol::TCPServerProtocol(boost::asio::io_context& ioService,
                                     const std::string& settings)
    : AbstractProtocol(ioService, settings) {}

TCPServerProtocol::~TCPServerProtocol() = default;

std::shared_ptr<TCPServerProtocol> TCPServerProtocol::Create(boost::asio::io_context& ioService,
                                                             const std::string& settings) {
    return MakeProtocol<TCPServerProtocol>(ioService, settings);
}

bool TCPServerProtocol::Start() {
    if (m_settings.empty()) {
        return false;
    }
    std::optional<std::string> failure;
    std::optional<std::string> acceptFailure;
    {
        std::lock_guard lock(m_lock);
        if (m_acceptor) {
            return false;  // a transport is started at most once
        }
        try {
            const auto ip = tapscope::protocols::detail::ReadIpSettings(m_settings);
            m_endpoint =
                std::make_shared<tcp::endpoint>(ip.address, static_cast<unsigned short>(ip.port));
            // Opens, sets reuse-address, binds and listens with the system's
            // largest backlog; a failure names the step that failed.
            m_acceptor = std::make_shared<tcp::acceptor>(m_ioService, *m_endpoint);
            ZelLog::Log()->Trace("Start TCP Server with ADDRESS - [%s] : PORT -  [%i]",
                                 ip.addressText.c_str(), ip.port);
            acceptFailure = StartAcceptLocked();
            m_started = true;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    auto self = weak_from_this().lock();
    if (failure) {
        ReportMessage(self, *failure);
        return false;
    }
    if (acceptFailure) {
        ReportMessage(self, *acceptFailure);
    }
    return true;
}

void TCPServerProtocol::StartAccept() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        failure = StartAcceptLocked();
    }
    if (failure) {
        ReportMessage(weak_from_this().lock(), *failure);
    }
}

std::optional<std::string> TCPServerProtocol::StartAcceptLocked() {
    try {
        auto connection = TCPClientProtocol::Create(m_ioService);
        auto self = shared_from_this();
        connection->m_dataSignal.connect(
            [self](std::shared_ptr<TCPClientProtocol> source, const std::vector<char>& buffer,
                   const unsigned int& count) { self->HandleClientData(source, buffer, count); });
        // Weak: a message for a server that no longer exists is dropped.
        std::weak_ptr<TCPServerProtocol> weakSelf = self;
        connection->m_messageSignal.connect(
            [weakSelf](std::shared_ptr<TCPClientProtocol> source, const std::string& text) {
                if (auto server = weakSelf.lock()) {
                    server->HandleClientMessage(source, text);
                }
            });
        m_clients.push_back(connection);
        // The socket is accepted aside and handed to the connection under its
        // lock, so that a Disconnect from Stop never meets the accept
        // completing into the same socket object.
        m_acceptor->async_accept(
            [self, connection](const boost::system::error_code& error, tcp::socket socket) {
                self->HandleAccept(connection, error, std::move(socket));
            });
        ZelLog::Log()->Trace("Client connect [%i]", static_cast<int>(m_clients.size()));
        return std::nullopt;
    } catch (const std::exception& error) {
        return error.what();
    }
}

void TCPServerProtocol::HandleAccept(std::shared_ptr<TCPClientProtocol> connection,
                                     const boost::system::error_code& error, tcp::socket socket) {
    std::optional<std::string> readFailure;
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        if (!m_started) {
            // Stopped: the abort of the pending accept, or a client accepted
            // just before the listening socket closed. |socket| closes here.
            return;
        }
        if (error) {
            if (error == boost::asio::error::operation_aborted ||
                error == boost::asio::error::shut_down) {
                return;
            }
            failure = error.message();  // no further accept is armed
        } else {
            readFailure = connection->AttachAndRead(std::move(socket));
            failure = StartAcceptLocked();
        }
    }
    if (readFailure) {
        // Through the connection's own signal, which this server forwards.
        connection->ReportMessage(*readFailure);
    }
    if (failure) {
        ReportMessage(shared_from_this(), *failure);
    }
}

void TCPServerProtocol::HandleClientData(std::shared_ptr<TCPClientProtocol> /*connection*/,
                                         const std::vector<char>& buffer,
                                         const unsigned int& count) {
    if (!m_started) {
        return;  // read before Stop, delivered after it: too late
    }
    m_dataSignal(shared_from_this(), buffer, count);
}

void TCPServerProtocol::HandleClientMessage(std::shared_ptr<TCPClientProtocol> /*connection*/,
                                            const std::string& text) {
    if (!m_started) {
        return;
    }
    m_messageSignal(shared_from_this(), text);
}

void TCPServerProtocol::Stop() {
    std::vector<std::string> failures;
    std::vector<std::shared_ptr<TCPClientProtocol>> clients;
    {
        std::lock_guard lock(m_lock);
        m_started = false;
        if (m_acceptor && m_acceptor->is_open()) {
            try {
                m_acceptor->close();
            } catch (const std::exception& error) {
                failures.push_back(error.what());
            }
        }
        for (const auto& connection : m_clients) {
            if (auto failure = connection->DisconnectForStop()) {
                failures.push_back(*failure);
            }
        }
        // Destroyed once the lock is let go: the last reference to a
        // connection may hold the last reference to this server.
        clients.swap(m_clients);
        ZelLog::Log()->Trace("Stop TCP Server");
    }
    auto self = weak_from_this().lock();
    for (const std::string& failure : failures) {
        ReportMessage(self, failure);
    }
}

unsigned short TCPServerProtocol::LocalPort() {
    std::lock_guard lock(m_lock);
    if (!m_acceptor || !m_acceptor->is_open()) {
        return 0;
    }
    boost::system::error_code error;
    const tcp::endpoint local = m_acceptor->local_endpoint(error);
    return error ? 0 : local.port();
}

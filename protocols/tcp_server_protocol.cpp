// How a connection lives (all under the locks named in the headers; every
// emission happens after they are let go):
//
//   Start ── StartAccept ──> connection #n in m_clients, accept armed
//                               │ accept completes (worker thread)
//                               v
//   HandleAccept: server started? ── no ──> socket dropped, nothing logged
//                               │ yes
//                               v
//   connection takes the socket, arms a read (1 byte, or the read size); StartAccept (#n+1)
//                               │ read completes
//                               v
//   HandleRead: connected? ── no ──> dropped silently (Stop got there first)
//        │ yes: data ──> emit, re-arm     end of stream ──> Disconnect, event
//                                         other error ──> Disconnect, emit text
//
//   Drain (before Stop): cancel the accept and every read; their completions
//   run first (a byte already read is delivered, nothing is re-armed), then
//   DrainWaiting: take the clients still in the listen queue, read every
//   connection until it would block (or the deadline), done(result).
//
//   Stop: m_started = false; close the acceptor (its accept ends with
//   operation_aborted and is dropped); Disconnect every connection (their reads
//   end with operation_aborted and are dropped); empty m_clients, which breaks
//   the cycle server -> connection -> data slot -> server.

#include "protocols/tcp_server_protocol.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <stdexcept>
#include <tuple>

#include "log/debug.h"
#include "protocols/detail/ip_settings.h"

using boost::asio::ip::tcp;

namespace {

// How long the server waits before it tries to accept again when the process
// has no descriptor left for a new client.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

TCPServerProtocol::TCPServerProtocol(boost::asio::io_context& ioService,
                                     const std::string& settings)
    : AbstractProtocol(ioService, settings) {}

TCPServerProtocol::~TCPServerProtocol() = default;

std::shared_ptr<TCPServerProtocol> TCPServerProtocol::Create(boost::asio::io_context& ioService,
                                                             const std::string& settings) {
    return MakeProtocol<TCPServerProtocol>(ioService, settings);
}

void TCPServerProtocol::SetReadSize(std::size_t bytes) {
    std::lock_guard lock(m_lock);
    m_readSize = std::clamp<std::size_t>(bytes, 1, TCPClientProtocol::kLargestReadSize);
}

void TCPServerProtocol::SetKeepListening(bool keepListening) {
    std::lock_guard lock(m_lock);
    m_keepListening = keepListening;
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
            // largest backlog; a failure names the step that failed, and the
            // address and port it was for.
            try {
                m_acceptor = std::make_shared<tcp::acceptor>(m_ioService, *m_endpoint);
            } catch (const boost::system::system_error& error) {
                throw std::runtime_error(
                    tapscope::protocols::detail::WithAddress(error.what(), ip));
            }
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

std::shared_ptr<TCPClientProtocol> TCPServerProtocol::MakeConnectionLocked() {
    auto connection = TCPClientProtocol::Create(m_ioService, m_readSize);
    connection->m_resetIsEvent = m_keepListening;
    auto self = shared_from_this();
    connection->m_dataSignal.connect(
        [self](std::shared_ptr<TCPClientProtocol> source, const std::vector<char>& buffer,
               const unsigned int& count) { self->HandleClientData(source, buffer, count); });
    if (!m_blocksSignal.empty()) {
        // A capture that takes several blocks at once gets a burst's in one
        // emission rather than one each.
        connection->GatherBlocks();
        connection->m_blocksSignal.connect([self](std::shared_ptr<TCPClientProtocol> source,
                                                  const std::vector<BlockView>& blocks) {
            self->HandleClientBlocks(source, blocks);
        });
    }
    // Weak: a message for a server that no longer exists is dropped.
    std::weak_ptr<TCPServerProtocol> weakSelf = self;
    connection->m_messageSignal.connect(
        [weakSelf](std::shared_ptr<TCPClientProtocol> source, const std::string& text) {
            if (auto server = weakSelf.lock()) {
                server->HandleClientMessage(source, text);
            }
        });
    connection->m_eventSignal.connect(
        [weakSelf](std::shared_ptr<TCPClientProtocol> source, const TransportEvent& event) {
            auto server = weakSelf.lock();
            if (!server) {
                return;
            }
            if (event.kind == TransportEvent::Kind::kClientClosed ||
                event.kind == TransportEvent::Kind::kClientReset) {
                // A capture that outlives its clients (one connection per
                // receipt, for days) keeps only the connections still open.
                server->ForgetConnection(source);
            }
            if (server->m_started) {
                server->ReportEvent(server, event);
            }
        });
    m_clients.push_back(connection);
    connection->m_number = ++m_connections;
    return connection;
}

std::optional<std::string> TCPServerProtocol::StartAcceptLocked() {
    try {
        auto connection = MakeConnectionLocked();
        auto self = shared_from_this();
        // The socket is accepted aside and handed to the connection under its
        // lock, so that a Disconnect from Stop never meets the accept
        // completing into the same socket object.
        m_acceptor->async_accept(
            [self, connection](const boost::system::error_code& error, tcp::socket socket) {
                self->HandleAccept(connection, error, std::move(socket));
            });
        ZelLog::Log()->Trace("Client connect [%i]", static_cast<int>(m_connections));
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
            if (OutOfDescriptors(error)) {
                // The clients already connected are still captured; the next
                // client waits in the listen queue until a descriptor is free.
                RetryAcceptLocked(connection, error);
                return;
            }
            failure = error.message();  // no further accept is armed
        } else if (m_drain.active) {
            // Accepted as the capture ends: the drain reads it, and no further
            // client is taken.
            readFailure = connection->AttachAndRead(std::move(socket));
        } else {
            readFailure = connection->AttachAndRead(std::move(socket));
            failure = StartAcceptLocked();
        }
    }
    if (readFailure) {
        // Through the connection's own signal, which this server forwards.
        connection->ReportMessage(*readFailure);
    } else if (!error) {
        // Told before any of its bytes: its first read completes on this
        // thread, after this handler.
        connection->ReportConnected();
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

void TCPServerProtocol::HandleClientBlocks(std::shared_ptr<TCPClientProtocol> /*connection*/,
                                           const std::vector<BlockView>& blocks) {
    if (!m_started) {
        return;
    }
    m_blocksSignal(shared_from_this(), blocks);
}

void TCPServerProtocol::ForgetConnection(const std::shared_ptr<TCPClientProtocol>& connection) {
    std::lock_guard lock(m_lock);
    std::erase(m_clients, connection);
}

void TCPServerProtocol::HandleClientMessage(std::shared_ptr<TCPClientProtocol> /*connection*/,
                                            const std::string& text) {
    if (!m_started) {
        return;
    }
    m_messageSignal(shared_from_this(), text);
}

bool TCPServerProtocol::OutOfDescriptors(const boost::system::error_code& error) {
    return error == boost::asio::error::no_descriptors ||
           error == boost::system::errc::too_many_files_open_in_system;
}

void TCPServerProtocol::RetryAcceptLocked(std::shared_ptr<TCPClientProtocol> connection,
                                          const boost::system::error_code& error) {
    if (!m_retryTimer) {
        m_retryTimer = std::make_shared<boost::asio::steady_timer>(m_ioService);
    }
    if (!m_outOfDescriptors) {
        m_outOfDescriptors = true;
        ZelLog::Log()->Warning(
            "Cannot accept another client with [%i] connected: %s; the clients connected are "
            "still captured, the next is taken once a connection closes",
            static_cast<int>(m_clients.size() - 1), error.message().c_str());
    }
    m_retryTimer->expires_after(kAcceptRetryDelay);
    m_retryTimer->async_wait([self = shared_from_this(),
                              connection](const boost::system::error_code& waited) {
        if (waited) {
            return;  // cancelled by Stop
        }
        std::optional<std::string> failure;
        {
            std::lock_guard lock(self->m_lock);
            if (!self->m_started || self->m_drain.active || !self->m_acceptor ||
                !self->m_acceptor->is_open()) {
                return;
            }
            try {
                self->m_acceptor->async_accept(
                    [self, connection](const boost::system::error_code& error, tcp::socket socket) {
                        self->HandleAccept(connection, error, std::move(socket));
                    });
            } catch (const std::exception& armError) {
                failure = armError.what();
            }
        }
        if (failure) {
            self->ReportMessage(self, *failure);
        }
    });
}

void TCPServerProtocol::Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) {
    {
        std::lock_guard lock(m_lock);
        if (m_started && !m_drain.active && m_acceptor && m_acceptor->is_open()) {
            m_drain.Begin(deadline, std::move(done));
            boost::system::error_code ignored;
            // The pending accept and reads complete (with what they already
            // took, or aborted) before the work posted below runs: all go
            // through the io_context's queue in this order.
            m_acceptor->cancel(ignored);
            if (m_retryTimer) {
                m_retryTimer->cancel();
            }
            for (const auto& connection : m_clients) {
                connection->BeginDrain();
            }
            boost::asio::post(m_ioService, [self = shared_from_this()] { self->DrainWaiting(); });
            return;
        }
    }
    AbstractProtocol::Drain(deadline, std::move(done));
}

void TCPServerProtocol::DrainWaiting() {
    DrainResult result;
    DrainDone done;
    std::chrono::steady_clock::time_point until;
    std::vector<std::shared_ptr<TCPClientProtocol>> clients;
    std::vector<std::string> failures;
    {
        std::lock_guard lock(m_lock);
        std::tie(until, done) = m_drain.Take();
        // Clients the system has accepted for us that were not taken yet:
        // what they sent is acknowledged to them, so it is read too.
        if (m_started && m_acceptor && m_acceptor->is_open()) {
            boost::system::error_code error;
            m_acceptor->non_blocking(true, error);
            while (!error && std::chrono::steady_clock::now() < until) {
                tcp::socket socket(m_ioService);
                m_acceptor->accept(socket, error);
                if (error) {
                    break;
                }
                try {
                    auto connection = MakeConnectionLocked();
                    connection->BeginDrain();
                    if (auto failure = connection->AttachAndRead(std::move(socket))) {
                        failures.push_back(*failure);
                    }
                } catch (const std::exception& makeError) {
                    failures.push_back(makeError.what());
                    break;
                }
            }
        }
        clients = m_clients;
    }
    for (const std::string& failure : failures) {
        ZelLog::Log()->Warning("Client at the end of the capture: %s", failure.c_str());
    }
    for (const auto& connection : clients) {
        connection->DrainWaiting(until, result);
    }
    if (done) {
        done(result);
    }
}

void TCPServerProtocol::Stop() {
    std::vector<std::string> failures;
    std::vector<std::shared_ptr<TCPClientProtocol>> clients;
    {
        std::lock_guard lock(m_lock);
        m_started = false;
        if (m_retryTimer) {
            m_retryTimer->cancel();
        }
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

// TCPServerProtocol: captures what TCP clients send to a listening address and
// port. It accepts any number of clients, reads each connection one byte at a
// time, or in blocks of what has arrived up to SetReadSize's size
// (TCPClientProtocol), and forwards every block and every error through its
// own two signals, so the capture sees one transport however many clients are
// connected.
//
// Threading as for every transport (abstract_protocol.h): Start and Stop on
// the caller's thread; accept and read completions on the io_context's
// thread. The acceptor and the connection list are guarded by m_lock, which
// is let go before any emission. Lock order: server, then connection.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocols/abstract_protocol.h"
#include "protocols/detail/drain_state.h"
#include "protocols/tcp_client_protocol.h"

class TCPServerProtocol : public AbstractProtocol,
                          public std::enable_shared_from_this<TCPServerProtocol> {
public:
    TCPServerProtocol(boost::asio::io_context& ioService, const std::string& settings);
    ~TCPServerProtocol() override;

    // The server held by a shared_ptr with Release as deleter.
    static std::shared_ptr<TCPServerProtocol> Create(boost::asio::io_context& ioService,
                                                     const std::string& settings);

    // Before Start: each read of a connection takes what has arrived, up to
    // |bytes| (1 to TCPClientProtocol::kLargestReadSize; 1 by default).
    void SetReadSize(std::size_t bytes);
    // Before Start: a connection that ends with an error (a reset) is told
    // as a kClientReset event, which the capture may outlive, rather than
    // as a message, which ends it. Off by default.
    void SetKeepListening(bool keepListening);

    bool Start() override;
    // Takes no new client; reads what already waits on every connection,
    // and on the connections the system accepted that were not taken yet.
    void Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) override;
    // Stops accepting (the listening socket is closed, so the port is free
    // again and a late client is refused), disconnects every connection and
    // empties the connection list.
    void Stop() override;

    // Creates the next connection and arms one accept into it.
    void StartAccept();
    // Completion of one accept: starts reading the connection, then accepts
    // the next client.
    void HandleAccept(std::shared_ptr<TCPClientProtocol> connection,
                      const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    // The slots connected to each connection's signals.
    void HandleClientData(std::shared_ptr<TCPClientProtocol> connection,
                          const std::vector<char>& buffer, const unsigned int& count);
    void HandleClientBlocks(std::shared_ptr<TCPClientProtocol> connection,
                            const std::vector<BlockView>& blocks);
    void HandleClientMessage(std::shared_ptr<TCPClientProtocol> connection,
                             const std::string& text);
    // Takes a connection that has ended out of the list.
    void ForgetConnection(const std::shared_ptr<TCPClientProtocol>& connection);

    // The port the server listens on (the one the system chose for port 0);
    // 0 while it does not listen.
    unsigned short LocalPort();

private:
    std::optional<std::string> StartAcceptLocked();
    // A connection with its signals joined to this server's, appended to
    // m_clients.
    std::shared_ptr<TCPClientProtocol> MakeConnectionLocked();
    // No descriptor left (EMFILE, ENFILE): accepting again later, rather
    // than ending a capture whose connections are still read.
    static bool OutOfDescriptors(const boost::system::error_code& error);
    void RetryAcceptLocked(std::shared_ptr<TCPClientProtocol> connection,
                           const boost::system::error_code& error);
    void DrainWaiting();

    std::mutex m_lock;
    std::shared_ptr<boost::asio::ip::tcp::endpoint> m_endpoint;  // guarded by m_lock
    std::shared_ptr<boost::asio::ip::tcp::acceptor> m_acceptor;  // guarded by m_lock
    // In creation order; while accepting, the last one waits in the accept.
    // Ended connections stay until Stop.
    std::vector<std::shared_ptr<TCPClientProtocol>> m_clients;  // guarded by m_lock
    std::shared_ptr<boost::asio::steady_timer> m_retryTimer;    // guarded by m_lock
    // Said once per capture in the log.
    bool m_outOfDescriptors = false;                        // guarded by m_lock
    tapscope::protocols::detail::DrainState m_drain;        // guarded by m_lock
    std::size_t m_readSize = TCPClientProtocol::kReadSize;  // guarded by m_lock
    bool m_keepListening = false;                           // guarded by m_lock
    // Connections made so far; the last one's number.
    std::uint64_t m_connections = 0;  // guarded by m_lock
};

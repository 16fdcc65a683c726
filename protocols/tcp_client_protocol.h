// TCPClientProtocol: one connection accepted by a TCPServerProtocol. It reads
// the connection one byte at a time (or, when made with a larger read size,
// whatever has arrived up to that size) and reports each block, any read error, and
// the client closing its end, on its own signals, which the server forwards as
// its own. It never sends anything.
//
// Held by a shared_ptr whose deleter is Release. The socket and the connected
// flag are guarded by m_lock; no signal is emitted while it is held. The
// server may take this lock while holding its own, never the other way round.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/signals2/signal.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocols/abstract_protocol.h"
#include "protocols/block_source.h"
#include "protocols/transport_event.h"

class TCPClientProtocol : public std::enable_shared_from_this<TCPClientProtocol> {
public:
    using DataSignal =
        boost::signals2::signal<void(std::shared_ptr<TCPClientProtocol> source,
                                     const std::vector<char>& buffer, const unsigned int& count)>;
    using MessageSignal = boost::signals2::signal<void(std::shared_ptr<TCPClientProtocol> source,
                                                       const std::string& text)>;
    using EventSignal = boost::signals2::signal<void(std::shared_ptr<TCPClientProtocol> source,
                                                     const TransportEvent& event)>;
    // Blocks of one burst, in the order they were read (see GatherBlocks).
    using BlocksSignal =
        boost::signals2::signal<void(std::shared_ptr<TCPClientProtocol> source,
                                     const std::vector<AbstractProtocol::BlockView>& blocks)>;

    // By default every read delivers one byte: each byte reaches the capture
    // as soon as it arrives.
    static constexpr std::size_t kReadSize = 1;
    // The largest read size a connection accepts. A larger read still takes
    // only what has arrived and never waits for more.
    static constexpr std::size_t kLargestReadSize = 64 * 1024;
    // What the drain at the end of a capture reads at once.
    static constexpr std::size_t kDrainReadSize = 64 * 1024;
    // The most a burst gathers (GatherBlocks): read sizes whose whole burst
    // would need more are delivered a block at a time.
    static constexpr std::size_t kGatherBytes = 4 * 1024;

    // |readSize| is kept within 1..kLargestReadSize.
    explicit TCPClientProtocol(boost::asio::io_context& ioService,
                               std::size_t readSize = kReadSize);
    TCPClientProtocol(const TCPClientProtocol&) = delete;
    TCPClientProtocol& operator=(const TCPClientProtocol&) = delete;

    // A connection held by a shared_ptr with Release as deleter; each of its
    // reads takes what has arrived, up to |readSize| bytes.
    static std::shared_ptr<TCPClientProtocol> Create(boost::asio::io_context& ioService,
                                                     std::size_t readSize = kReadSize);

    // Arms the next read; a failure goes to m_messageSignal.
    void StartRead();
    // Closes the socket once and logs "Disconnect client ... "; a failure
    // goes to m_messageSignal.
    void Disconnect();
    // Completion of one read. Blocks that wait behind it are delivered from
    // the same call, one emission each (see detail/burst.h).
    void HandleRead(const boost::system::error_code& completion, std::size_t count);
    // The deleter: clears the connected flag and deletes the connection (the
    // socket closes with it; nothing is logged).
    void Release();
    // Before the first read, with a slot on m_blocksSignal: the blocks that
    // one burst reads (detail/burst.h) are kept one after the other and
    // handed over in one emission on m_blocksSignal once nothing more waits,
    // the burst is over or the connection ends; each is still its own read
    // and its own block. A burst of one block still comes on m_dataSignal.
    // This saves the emission per block (two signal hops on the way to the
    // capture). Without effect for read sizes whose burst would need more
    // than kGatherBytes.
    void GatherBlocks();

    DataSignal m_dataSignal;
    BlocksSignal m_blocksSignal;
    MessageSignal m_messageSignal;
    // kClientClosed when the client closes its end of the connection (the
    // read finds the end of the stream); other read errors go to
    // m_messageSignal.
    EventSignal m_eventSignal;

    // "127.0.0.1:40112": the client, once accepted; empty before.
    std::string Peer();

private:
    friend class TCPServerProtocol;

    // For the server, which calls them under its own lock: they return the
    // text of a failure instead of emitting it, so that the server can emit it
    // once every lock is let go.
    //
    // Takes the accepted socket and arms the first read; a connection that
    // was disconnected meanwhile closes |socket| instead.
    std::optional<std::string> AttachAndRead(boost::asio::ip::tcp::socket socket);
    std::optional<std::string> DisconnectForStop();
    // The end of a capture: no read is armed any more, and the pending one
    // is cancelled; DrainWaiting then takes what already waits.
    void BeginDrain();
    // Reads and delivers what waits on the connection until a read would
    // block or |until| has passed; adds to |result|. On the io_context's
    // thread, after the completion that BeginDrain's cancel made.
    void DrainWaiting(std::chrono::steady_clock::time_point until, DrainResult& result);

    std::optional<std::string> ArmReadLocked();
    // Hands over what the burst gathered (GatherBlocks) and forgets it.
    void DeliverGathered();
    std::optional<std::string> DisconnectLocked();
    void ReportMessage(const std::string& text);
    // Emits kClientClosed on m_eventSignal.
    void ReportClosed();
    // Emits kClientConnected on m_eventSignal, once the socket is attached.
    void ReportConnected();
    // Emits kClientReset on m_eventSignal for a connection that ended with
    // |error|.
    void ReportReset(const std::string& error);

    std::mutex m_lock;
    boost::asio::ip::tcp::socket m_socket;  // guarded by m_lock
    bool m_connected = true;                // guarded by m_lock
    bool m_draining = false;                // guarded by m_lock
    std::string m_peer;                     // guarded by m_lock
    // 1 for the server's first connection; set before the accept is armed.
    std::uint64_t m_number = 0;
    // Set by the server before the accept is armed: a read error other than
    // the end of the stream is a kClientReset event rather than a message.
    bool m_resetIsEvent = false;
    // The source of its blocks; set when the socket is attached, before the
    // first read is armed, and only read afterwards.
    BlockSource m_source;
    // Each read takes up to this many bytes.
    std::size_t m_readSize;
    // Written by the one pending read, read by the data slot before the next
    // read is armed: the read size, or a whole burst's while gathering.
    std::vector<char> m_buffer;
    // The blocks a burst gathered so far, into m_buffer; empty when not
    // gathering.
    std::vector<AbstractProtocol::BlockView> m_gathered;
    bool m_gather = false;
    // Used by the drain alone.
    std::vector<char> m_drainBuffer;
};

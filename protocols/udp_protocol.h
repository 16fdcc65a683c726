// UDPProtocol: captures the datagrams sent to one local address and port. Each
// datagram's payload is delivered whole and unchanged, one emission per
// datagram (count 0 for an empty one); nothing is ever sent. When a slot is
// connected to m_blocksSignal, datagrams found waiting behind the one a
// receive completed with are taken with one recvmmsg and delivered together
// in one emission there (each still logged as its own read).
//
// Threading as for every transport (abstract_protocol.h): Start and Stop on
// the caller's thread, HandleReceive on the io_context's thread, the socket
// and the stopped flag under m_lock.
#pragma once

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocols/abstract_protocol.h"
#include "protocols/detail/drain_state.h"

class UDPProtocol : public AbstractProtocol, public std::enable_shared_from_this<UDPProtocol> {
public:
    // The largest UDP payload: the receive buffer holds any datagram whole.
    static constexpr std::size_t kReceiveBufferSize = 0xFFFF;
    // The socket receive buffer asked for right after the socket is opened, so
    // that a receiver that stalls for a few milliseconds loses nothing of a
    // fast stream. The kernel may grant another size (net.core.rmem_max).
    static constexpr int kSocketReceiveBufferBytes = 4 * 1024 * 1024;
    // Datagrams one m_blocksSignal emission carries at most.
    static constexpr std::size_t kBatchSize = 64;

    UDPProtocol(boost::asio::io_context& ioService, const std::string& settings);
    ~UDPProtocol() override;

    bool Start() override;
    void Stop() override;
    // Cancels the pending receive and, once its completion has been handled,
    // delivers every datagram that already waits, one emission each.
    void Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) override;

    // Completion of one receive. Datagrams that wait behind it are delivered
    // from the same call, one emission each (see detail/burst.h).
    void HandleReceive(const boost::system::error_code& completion, std::size_t count);

    // The port the socket is bound to (the one the system chose for port 0);
    // 0 while the socket is not bound.
    unsigned short LocalPort();

private:
    void OpenAndBindLocked();
    void ArmReceiveLocked();
    // The drain's work, on the io_context's thread after every completion
    // that the cancel made.
    void DrainWaiting();
    bool DrainingNow();
    // With a datagram of |count| bytes in m_buffer: takes what waits behind
    // it (m_lock held) into m_batch. Returns how many, 0 when none or on an
    // error (left for the next receive to meet).
    std::size_t TakeWaitingLocked();
    // The system's count of datagrams it dropped for the socket (a full
    // receive queue), widened past its 32 bits; m_lock held.
    std::uint64_t SystemDropsLocked();
    void ArmDropsTimerLocked();
    // Tells what the system dropped since the last look as a kLoss event.
    void ReportDrops();
    // Delivers m_buffer's datagram and the |waiting| taken behind it.
    void DeliverBatch(std::size_t count, std::size_t waiting);

    std::mutex m_lock;
    boost::asio::ip::udp::socket m_socket;            // guarded by m_lock
    boost::asio::ip::udp::endpoint m_endpoint;        // guarded by m_lock
    bool m_stopped = false;                           // guarded by m_lock
    tapscope::protocols::detail::DrainState m_drain;  // guarded by m_lock
    // Room for the datagrams taken behind the first, and their sizes; used
    // only by the handler, which runs on one thread at a time.
    std::vector<char> m_batch;
    std::vector<unsigned int> m_batchCounts;
    std::vector<BlockSource> m_batchSources;
    // The sender of the datagram the last receive took, and the source named
    // while it is delivered; used by the handler alone.
    boost::asio::ip::udp::endpoint m_sender;
    BlockSource m_source;
    // Reads the system's drop count every second while the socket is open.
    boost::asio::steady_timer m_dropsTimer;  // guarded by m_lock
    std::uint64_t m_reportedDrops = 0;       // guarded by m_lock
};

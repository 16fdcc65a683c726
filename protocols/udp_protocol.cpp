#include "protocols/udp_protocol.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "log/debug.h"
#include "platform/descriptors.h"
#include "protocols/detail/burst.h"
#include "protocols/detail/ip_settings.h"

using boost::asio::ip::udp;

namespace {

// How often the system's count of datagrams dropped for the socket is read.
constexpr std::chrono::seconds kDropsPeriod{1};

// The sender of a datagram recvmmsg took, as an address and port.
void SetSender(const sockaddr_storage& from, BlockSource& source) {
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        source.address = boost::asio::ip::address_v4(ntohl(v4.sin_addr.s_addr));
        source.port = ntohs(v4.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        boost::asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), v6.sin6_addr.s6_addr, bytes.size());
        source.address = boost::asio::ip::address_v6(bytes, v6.sin6_scope_id);
        source.port = ntohs(v6.sin6_port);
    } else {
        source.address = boost::asio::ip::address();
        source.port = 0;
    }
}

}  // namespace

UDPProtocol::UDPProtocol(boost::asio::io_context& ioService, const std::string& settings)
    : AbstractProtocol(ioService, settings), m_socket(ioService), m_dropsTimer(ioService) {
    m_source.kind = BlockSource::Kind::kUdp;
}

UDPProtocol::~UDPProtocol() = default;

bool UDPProtocol::Start() {
    std::string failure;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped) {
            return false;  // a transport is started at most once
        }
        try {
            m_buffer.assign(kReceiveBufferSize, 0);
            const auto ip = tapscope::protocols::detail::ReadIpSettings(m_settings);
            m_endpoint = udp::endpoint(ip.address, static_cast<unsigned short>(ip.port));
            try {
                OpenAndBindLocked();
            } catch (const boost::system::system_error& error) {
                // Names the address and port as well as the failed step.
                throw std::runtime_error(
                    tapscope::protocols::detail::WithAddress(error.what(), ip));
            }
            ZelLog::Log()->Trace("Start UDP Server with ADDRESS - [%s] : PORT -  [%i]",
                                 ip.addressText.c_str(), ip.port);
            ArmReceiveLocked();
            m_reportedDrops = SystemDropsLocked();
            ArmDropsTimerLocked();
            return true;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    ReportMessage(weak_from_this().lock(), failure);
    return false;
}

void UDPProtocol::OpenAndBindLocked() {
    m_socket.open(m_endpoint.protocol());
    m_socket.set_option(udp::socket::receive_buffer_size(kSocketReceiveBufferBytes));
    udp::socket::receive_buffer_size granted;
    m_socket.get_option(granted);
    // Linux reports twice the size it was asked for, so a smaller value means
    // the request was cut down.
    if (granted.value() < kSocketReceiveBufferBytes) {
        ZelLog::Log()->Warning(
            "UDP receive buffer is [%i] bytes instead of [%i]; raise net.core.rmem_max so that "
            "bursts are not lost",
            granted.value(), kSocketReceiveBufferBytes);
    }
    // The receives the handler makes itself (detail/burst.h) must never block.
    m_socket.non_blocking(true);
    // No reuse-address: on Linux it would let a second socket bind the same
    // address and port and silently take this capture's datagrams. A second
    // capture on a port in use fails with "bind: Address already in use (...)".
    m_socket.bind(m_endpoint);
}

void UDPProtocol::ArmReceiveLocked() {
    m_socket.async_receive_from(
        boost::asio::buffer(m_buffer), m_sender,
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->HandleReceive(error, count);
        });
}

void UDPProtocol::HandleReceive(const boost::system::error_code& completion, std::size_t count) {
    using tapscope::protocols::detail::kBurstLimit;
    boost::system::error_code error = completion;
    for (int delivered = 0;; ++delivered) {
        {
            std::lock_guard lock(m_lock);
            if (m_stopped) {
                return;  // the abort that Stop caused, or a datagram that came too late
            }
        }
        if (error) {
            if (error == boost::asio::error::operation_aborted ||
                error == boost::asio::error::shut_down) {
                return;
            }
            if (DrainingNow()) {
                ZelLog::Log()->Warning("UDP receive failed at the end of the capture: %s",
                                       error.message().c_str());
                return;
            }
            // No receive is armed again; the socket stays open until Stop.
            ReportMessage(shared_from_this(), error.message());
            return;
        }
        std::size_t waiting = 0;
        if (!m_blocksSignal.empty()) {
            std::lock_guard lock(m_lock);
            if (m_stopped) {
                return;
            }
            waiting = TakeWaitingLocked();
        }
        if (waiting > 0) {
            DeliverBatch(count, waiting);
        } else {
            ZelLog::Log()->Trace("Success read [%i] symbols from socket", static_cast<int>(count));
            const unsigned int received = static_cast<unsigned int>(count);
            m_source.address = m_sender.address();
            m_source.port = m_sender.port();
            const tapscope::protocols::SourceScope source(&m_source);
            m_dataSignal(shared_from_this(), m_buffer, received);
        }

        std::optional<std::string> failure;
        {
            std::lock_guard lock(m_lock);
            if (m_stopped) {
                return;
            }
            if (m_drain.active) {
                return;  // the drain takes the rest
            }
            if (delivered + 1 < kBurstLimit) {
                // A datagram that already waits is taken here and now (see
                // detail/burst.h); so is an error, handled above.
                count = m_socket.receive_from(boost::asio::buffer(m_buffer), m_sender, 0, error);
                if (!tapscope::protocols::detail::NothingWaiting(error)) {
                    continue;
                }
            }
            try {
                ArmReceiveLocked();
            } catch (const std::exception& armError) {
                failure = armError.what();
            }
        }
        if (failure) {
            ReportMessage(shared_from_this(), *failure);
        }
        return;
    }
}

bool UDPProtocol::DrainingNow() {
    std::lock_guard lock(m_lock);
    return m_drain.active;
}

void UDPProtocol::Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) {
    {
        std::lock_guard lock(m_lock);
        if (!m_stopped && !m_drain.active && m_socket.is_open()) {
            m_drain.Begin(deadline, std::move(done));
            // The pending receive completes (with a datagram it already took,
            // or aborted) before the work posted below runs: both go through
            // the io_context's queue in this order, so nothing is reordered.
            boost::system::error_code ignored;
            m_socket.cancel(ignored);
            boost::asio::post(m_ioService, [self = shared_from_this()] { self->DrainWaiting(); });
            return;
        }
    }
    AbstractProtocol::Drain(deadline, std::move(done));
}

void UDPProtocol::DrainWaiting() {
    DrainResult result;
    DrainDone done;
    std::chrono::steady_clock::time_point until;
    {
        std::lock_guard lock(m_lock);
        std::tie(until, done) = m_drain.Take();
    }
    while (true) {
        boost::system::error_code error;
        std::size_t count = 0;
        {
            std::lock_guard lock(m_lock);
            if (m_stopped || !m_socket.is_open()) {
                break;
            }
            if (std::chrono::steady_clock::now() >= until) {
                result.leftBytes = tapscope::platform::QueuedInput(m_socket.native_handle());
                break;
            }
            count = m_socket.receive_from(boost::asio::buffer(m_buffer), m_sender, 0, error);
        }
        if (tapscope::protocols::detail::NothingWaiting(error)) {
            break;
        }
        if (error) {
            ZelLog::Log()->Warning("UDP receive failed at the end of the capture: %s",
                                   error.message().c_str());
            break;
        }
        ZelLog::Log()->Trace("Success read [%i] symbols from socket", static_cast<int>(count));
        result.drainedBytes += count;
        m_source.address = m_sender.address();
        m_source.port = m_sender.port();
        const tapscope::protocols::SourceScope source(&m_source);
        m_dataSignal(shared_from_this(), m_buffer, static_cast<unsigned int>(count));
    }
    // What the system dropped up to the end is told before the capture ends.
    ReportDrops();
    if (done) {
        done(result);
    }
}

std::size_t UDPProtocol::TakeWaitingLocked() {
    constexpr std::size_t kSlots = kBatchSize - 1;
    if (m_batch.empty()) {
        m_batch.assign(kSlots * kReceiveBufferSize, 0);
        m_batchCounts.assign(kSlots, 0);
        m_batchSources.assign(kSlots, m_source);
    }
    iovec vectors[kSlots];
    mmsghdr messages[kSlots];
    sockaddr_storage senders[kSlots];
    for (std::size_t i = 0; i < kSlots; ++i) {
        vectors[i] = {m_batch.data() + i * kReceiveBufferSize, kReceiveBufferSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof(senders[i]);
    }
    int taken = 0;
    do {
        taken = ::recvmmsg(m_socket.native_handle(), messages, kSlots, MSG_DONTWAIT, nullptr);
    } while (taken < 0 && errno == EINTR);
    if (taken <= 0) {
        return 0;
    }
    for (int i = 0; i < taken; ++i) {
        m_batchCounts[i] = messages[i].msg_len;
        if (messages[i].msg_hdr.msg_namelen == 0) {
            senders[i].ss_family = AF_UNSPEC;
        }
        SetSender(senders[i], m_batchSources[i]);
    }
    return static_cast<std::size_t>(taken);
}

void UDPProtocol::DeliverBatch(std::size_t count, std::size_t waiting) {
    std::vector<BlockView> blocks;
    blocks.reserve(waiting + 1);
    m_source.address = m_sender.address();
    m_source.port = m_sender.port();
    blocks.push_back({m_buffer.data(), static_cast<unsigned int>(count), &m_source});
    for (std::size_t i = 0; i < waiting; ++i) {
        blocks.push_back(
            {m_batch.data() + i * kReceiveBufferSize, m_batchCounts[i], &m_batchSources[i]});
    }
    // Each datagram keeps its own read line, in arrival order.
    for (const BlockView& block : blocks) {
        ZelLog::Log()->Trace("Success read [%i] symbols from socket",
                             static_cast<int>(block.count));
    }
    m_blocksSignal(shared_from_this(), blocks);
}

void UDPProtocol::Stop() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        m_stopped = true;
        m_dropsTimer.cancel();
        if (!m_socket.is_open()) {
            return;
        }
        try {
            // The pending receive completes with operation_aborted and is dropped.
            m_socket.close();
            ZelLog::Log()->Trace("Stop UDP Server");
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (failure) {
        ReportMessage(weak_from_this().lock(), *failure);
    }
}

unsigned short UDPProtocol::LocalPort() {
    std::lock_guard lock(m_lock);
    boost::system::error_code error;
    const udp::endpoint local = m_socket.local_endpoint(error);
    return error ? 0 : local.port();
}

std::uint64_t UDPProtocol::SystemDropsLocked() {
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof(memory);
    if (!m_socket.is_open() ||
        ::getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
        size <= SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
        return m_reportedDrops;
    }
    // The kernel's counter wraps at 2^32; the difference is taken modulo it.
    const std::uint32_t last = static_cast<std::uint32_t>(m_reportedDrops);
    return m_reportedDrops + static_cast<std::uint32_t>(memory[SK_MEMINFO_DROPS] - last);
}

void UDPProtocol::ArmDropsTimerLocked() {
    m_dropsTimer.expires_after(kDropsPeriod);
    m_dropsTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (error) {
            return;  // cancelled by Stop
        }
        self->ReportDrops();
        std::lock_guard lock(self->m_lock);
        if (!self->m_stopped) {
            self->ArmDropsTimerLocked();
        }
    });
}

void UDPProtocol::ReportDrops() {
    TransportEvent event;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped) {
            return;
        }
        const std::uint64_t drops = SystemDropsLocked();
        if (drops <= m_reportedDrops) {
            return;
        }
        event.count = drops - m_reportedDrops;
        m_reportedDrops = drops;
        boost::system::error_code unknown;
        const udp::endpoint local = m_socket.local_endpoint(unknown);
        const std::string address = local.address().to_string();
        event.source = (local.address().is_v6() ? "[" + address + "]" : address) + ":" +
                       std::to_string(local.port());
    }
    event.kind = TransportEvent::Kind::kLoss;
    event.unit = "datagrams";
    event.text = "the system dropped " + std::to_string(event.count) + " datagram" +
                 (event.count == 1 ? "" : "s") + " for " + event.source +
                 " (its receive queue was full)";
    ZelLog::Log()->Warning("%s", event.text.c_str());
    ReportEvent(shared_from_this(), event);
}

// AbstractProtocol: what the capture controller sees of any transport. It is
// built from the io_context and a settings document, started once, stopped,
// and reports what arrives on two signals: raw bytes on m_dataSignal, error
// texts on m_messageSignal (every text there is fatal for the capture).
//
// Ownership: a transport is always held by a std::shared_ptr whose deleter is
// Release (MakeProtocol below), so the last owner to let go stops it first.
// Every pending operation and every emission holds a strong reference, so an
// owner may drop its pointer at any time, even inside a slot.
//
// Besides the two signals of every transport, m_eventSignal tells what is
// worth knowing but not fatal (transport_event.h); a capture that ignores it
// behaves exactly as one without it.
//
// Threading: Start and Stop run on the caller's thread (the window's);
// completions and their emissions run on whichever thread runs the
// io_context. Each transport guards its state with its own mutex, taken only
// around state changes and never held while a signal is emitted, so Stop never
// waits for a slot and works whether or not anyone runs the io_context. After
// Stop, nothing more is delivered or reported. Slots are connected before
// Start and never changed afterwards.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/signals2/signal.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocols/block_source.h"
#include "protocols/transport_event.h"

// What a transport read at the end of a capture, and what it had to leave.
struct DrainResult {
    // Read and delivered on m_dataSignal by the drain.
    std::uint64_t drainedBytes = 0;
    // Still waiting in the system when the drain ended (its time was up): for
    // a UDP socket only the next datagram is known, so this is a lower bound.
    std::uint64_t leftBytes = 0;
};

class AbstractProtocol {
public:
    using DrainDone = std::function<void(const DrainResult& result)>;

    // Slot shapes. The received bytes are the first |count| bytes of |buffer|.
    using DataSignal =
        boost::signals2::signal<void(std::shared_ptr<AbstractProtocol> source,
                                     const std::vector<char>& buffer, const unsigned int& count)>;
    using MessageSignal = boost::signals2::signal<void(std::shared_ptr<AbstractProtocol> source,
                                                       const std::string& text)>;
    using EventSignal = boost::signals2::signal<void(std::shared_ptr<AbstractProtocol> source,
                                                     const TransportEvent& event)>;
    // Several blocks that arrived together, in order, each as it would have
    // come on m_dataSignal: its bytes are the first |count| at |data|.
    struct BlockView {
        const char* data;
        unsigned int count;
        // Where it came from; null: DeliveringSource() of the emission.
        const BlockSource* source = nullptr;
    };
    using BlocksSignal = boost::signals2::signal<void(std::shared_ptr<AbstractProtocol> source,
                                                      const std::vector<BlockView>& blocks)>;

    // Parses |settings| (one XML element "settings" with attributes); a
    // document that is not well-formed, or is over the bounds of
    // ParseSettingsDocument, leaves the settings empty and is logged
    // as "Error in parse config.". Never throws because of the document.
    AbstractProtocol(boost::asio::io_context& ioService, const std::string& settings);

    AbstractProtocol(const AbstractProtocol&) = delete;
    AbstractProtocol& operator=(const AbstractProtocol&) = delete;

    virtual bool IsStarted();
    virtual ~AbstractProtocol();
    // Opens the transport and arms its first read or accept. False when it
    // could not; an error's text has then been emitted on m_messageSignal,
    // on this thread, before Start returns.
    virtual bool Start() = 0;
    // Closes the transport. Never throws; its own failures are emitted on
    // m_messageSignal (or logged, while the transport is being released).
    virtual void Stop() = 0;
    // The deleter of every owning shared_ptr: Stop, then delete.
    virtual void Release();
    // The end of a capture, before Stop: takes no new clients and delivers
    // on m_dataSignal what the system has already received for this
    // transport and nobody has read yet (bytes a sender has seen accepted),
    // in larger blocks than the reads of a running capture, until a read
    // would block or |deadline| has passed. Then calls |done| once, on the
    // thread that runs the io_context; nothing else is read afterwards, and
    // the caller goes on with Stop. A transport with nothing to drain (this
    // default, or one that is not started) calls |done| at once, on this
    // thread. Errors met while draining are logged, never emitted.
    virtual void Drain(std::chrono::steady_clock::time_point deadline, DrainDone done);

    // Inside a slot of m_dataSignal or m_blocksSignal: where the block being
    // delivered came from (block_source.h); null outside an emission, or when
    // the transport does not say.
    static const BlockSource* DeliveringSource();

    DataSignal m_dataSignal;
    // Optional: a transport that finds several blocks waiting at once may
    // deliver them in one emission here instead of one m_dataSignal emission
    // each, when a slot is connected (a consumer that writes them with one
    // system call). A block that arrives alone still comes on m_dataSignal.
    BlocksSignal m_blocksSignal;
    MessageSignal m_messageSignal;
    EventSignal m_eventSignal;

protected:
    // Emits |text| on m_messageSignal with |source| as source. An empty source
    // means the transport is being released and no strong reference can be
    // made any more: the text is then logged as an error line instead.
    void ReportMessage(const std::shared_ptr<AbstractProtocol>& source, const std::string& text);
    // Emits |event| on m_eventSignal; with an empty source (the transport is
    // being released) the event is only logged.
    void ReportEvent(const std::shared_ptr<AbstractProtocol>& source, const TransportEvent& event);

    // True from the end of a successful TCP server Start to the beginning of
    // its Stop; the other transports leave it false.
    std::atomic<bool> m_started{false};
    // The receive buffer; a data emission passes it whole with the count of
    // valid bytes at its start.
    std::vector<char> m_buffer;
    boost::asio::io_context& m_ioService;
    // The parsed settings document; empty when it was empty or not
    // well-formed. Read only by Start.
    boost::property_tree::ptree m_settings;
};

// Creates a transport held the only way a transport is held: by a shared_ptr
// whose deleter is Release.
//   std::shared_ptr<AbstractProtocol> udp = MakeProtocol<UDPProtocol>(io, document);
template <typename Protocol>
std::shared_ptr<Protocol> MakeProtocol(boost::asio::io_context& ioService,
                                       const std::string& settings) {
    return std::shared_ptr<Protocol>(new Protocol(ioService, settings),
                                     [](Protocol* protocol) { protocol->Release(); });
}

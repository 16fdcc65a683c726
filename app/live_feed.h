// LiveFeed: what a running capture hands to the live view, without ever
// waiting for it. The capture pushes each block (its arrival time, its source
// and up to kKeptBytes of its bytes) and each event into a bounded ring of
// fixed entries; the view takes them when it polls. A full ring drops what
// does not fit and counts it, so the view lags behind a fast capture but never
// slows it. While no view is open a push costs one relaxed atomic load.
//
//   capture (producers)                      view (one consumer)
//   Blocks: stamp, source id, copy bytes
//     into the entry at head, head += 1 ---> Take: sources, then entries
//   Event: text into the side queue,           from tail to head, then what
//     a marker entry into the ring             was dropped; tail = head
//
// Threading: Begin, Blocks, Event, CaptureEvent and End may be called on any
// thread, also on two at once; producers take a flag of their own, which the
// view never holds. SetActive, Take and CurrentCapture belong to the view's
// thread (one consumer).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/capture_record.h"
#include "protocols/abstract_protocol.h"
#include "protocols/block_source.h"
#include "protocols/transport_event.h"

namespace tapscope::app {

// A source as the view names it: "#2 127.0.0.1:40112" for a TCP connection,
// "127.0.0.1:5000" for a UDP sender, "COM3 -> /dev/ttyUSB0" for a serial port.
struct FeedSource {
    std::uint32_t id = 0;
    std::string label;
};

// One block as taken; |bytes| is valid during the reader's call only.
struct FeedBlock {
    std::int64_t wallNs = 0;   // CLOCK_REALTIME
    std::int64_t monoNs = 0;   // CLOCK_MONOTONIC
    std::uint32_t source = 0;  // a FeedSource id; 0 unknown
    std::uint64_t size = 0;    // bytes in the block
    const char* bytes = nullptr;
    std::size_t kept = 0;   // of them at |bytes|: the first min(size, kKeptBytes)
    bool datagram = false;  // a UDP datagram: never joined with another
};

// An event, or the capture's beginning or end.
struct FeedEvent {
    // The record's event kinds ("connected", "closed", "reset", "loss",
    // "device-gone", "device-back", "note", "message", "write-failed"), and
    // "begin" and "end" of the capture.
    std::string kind;
    std::string text;
    // Whom it concerns, as FeedSource::label; empty: the capture as a whole.
    std::string source;
    std::uint64_t count = 0;  // loss: units lost; write-failed: blocks
    std::string unit;         // loss: "datagrams", "line errors"
    std::int64_t wallNs = 0;
    std::int64_t monoNs = 0;
};

// The capture that runs (or ran last), as Begin told it.
struct FeedCapture {
    std::string description;  // "tcp 127.0.0.1:8001 into /home/op/pos_log.txt"
    std::string file;         // the capture file
    std::uint64_t burstGapUs = 0;
    bool running = false;
};

// What Take hands over, in the order it happened.
class FeedReader {
public:
    virtual void Source(const FeedSource& source) = 0;
    virtual void Block(const FeedBlock& block) = 0;
    virtual void Event(const FeedEvent& event) = 0;
    // Blocks (with their bytes) and events that the ring had no room for.
    virtual void NotShown(std::uint64_t blocks, std::uint64_t bytes, std::uint64_t events) = 0;

protected:
    ~FeedReader() = default;
};

class LiveFeed {
public:
    // Entries in the ring: at 100 ms between polls, 40k blocks a second
    // pass without a drop.
    static constexpr std::size_t kCapacity = 4096;
    // Bytes of each block the entry keeps (a one-byte read uses one).
    static constexpr std::size_t kKeptBytes = 228;
    // Entries only events may take, so that a flood of blocks does not hide
    // a client's arrival or a loss.
    static constexpr std::size_t kEventReserve = 64;
    // Sources one capture may name before the ids start over (a UDP sender
    // that uses a new port for each datagram would otherwise grow the table
    // for good). An id that starts over is declared again.
    static constexpr std::size_t kMostSources = 4096;

    LiveFeed();
    ~LiveFeed();
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;

    // Producers. Each returns at once while no view is open.
    bool Active() const { return m_active.load(std::memory_order_relaxed); }
    // A capture begins (remembered even while no view is open).
    void Begin(const RecordStart& start);
    // Blocks written to the capture file; a block without a source of its
    // own is from AbstractProtocol::DeliveringSource().
    void Blocks(const AbstractProtocol::BlockView* blocks, std::size_t count) {
        if (Active()) {
            PushBlocks(blocks, count);
        }
    }
    void Event(const TransportEvent& event) {
        if (Active()) {
            PushTransportEvent(event);
        }
    }
    // An event of the capture as a whole: "message" (a transport's error),
    // "write-failed" (|count| blocks not written).
    void CaptureEvent(const std::string& kind, const std::string& text, std::uint64_t count);
    // The capture ended: why ("stopped", "client closed", "error", ...), in
    // words, and its totals.
    void End(const std::string& reason, const std::string& text, std::uint64_t bytes,
             std::uint64_t blocks);

    // The view. Opening starts afresh: what waited from before is dropped.
    void SetActive(bool active);
    // Hands over what was pushed since the last Take; returns the entries
    // taken.
    std::size_t Take(FeedReader& reader);
    // The capture that runs, or ran last; nothing before the first.
    std::optional<FeedCapture> CurrentCapture() const;

private:
    enum class EntryKind : std::uint8_t { kBlock, kEvent };
    // 256 bytes: the header and the kept bytes.
    struct Entry {
        std::int64_t wallNs;
        std::int64_t monoNs;
        std::uint32_t size;
        std::uint32_t source;
        std::uint16_t kept;
        EntryKind kind;
        bool datagram;
        char bytes[kKeptBytes];
    };
    struct SourceKey {
        BlockSource::Kind kind;
        boost::asio::ip::address address;
        unsigned short port;
        std::uint64_t connection;
        std::string name;
        bool operator==(const SourceKey& other) const = default;
    };
    struct SourceKeyHash {
        std::size_t operator()(const SourceKey& key) const;
    };
    struct Known {
        std::uint32_t id;
        bool datagram;
    };
    // An event's text and fields, matched to its marker entry by |sequence|
    // (which the marker keeps in its size field).
    struct QueuedEvent {
        std::uint32_t sequence;
        FeedEvent event;
    };

    void PushBlocks(const AbstractProtocol::BlockView* blocks, std::size_t count);
    void PushTransportEvent(const TransportEvent& event);
    void PushEvent(FeedEvent event);
    // The id of |source|, declared to the view when new; producer flag held.
    Known SourceIdLocked(const BlockSource* source);
    void LockProducer();
    void UnlockProducer() { m_producing.clear(std::memory_order_release); }

    std::unique_ptr<Entry[]> m_ring;
    std::atomic<bool> m_active{false};
    // Bumped when the view opens: the producers forget the sources they had
    // declared, since the view dropped those declarations.
    std::atomic<std::uint64_t> m_epoch{0};

    // Producer side, under m_producing.
    std::atomic_flag m_producing = ATOMIC_FLAG_INIT;
    alignas(64) std::atomic<std::uint64_t> m_head{0};
    std::uint64_t m_producerEpoch = 0;
    std::unordered_map<SourceKey, Known, SourceKeyHash> m_sourceIds;
    BlockSource m_lastSource;
    Known m_last{0, false};
    std::uint32_t m_nextId = 1;
    std::uint32_t m_eventSequence = 0;
    std::atomic<std::uint64_t> m_droppedBlocks{0};
    std::atomic<std::uint64_t> m_droppedBytes{0};
    std::atomic<std::uint64_t> m_droppedEvents{0};

    // Consumer side.
    alignas(64) std::atomic<std::uint64_t> m_tail{0};
    std::uint64_t m_seenDroppedBlocks = 0;
    std::uint64_t m_seenDroppedBytes = 0;
    std::uint64_t m_seenDroppedEvents = 0;
    std::deque<QueuedEvent> m_takenEvents;

    // What does not fit an entry: source declarations and events (rare).
    mutable std::mutex m_sideLock;
    std::vector<FeedSource> m_newSources;  // guarded by m_sideLock
    std::deque<QueuedEvent> m_events;      // guarded by m_sideLock
    std::optional<FeedCapture> m_capture;  // guarded by m_sideLock
    // Of the running capture: "serial", "udp", "tcp".
    std::string m_transport;  // guarded by m_sideLock
};

}  // namespace tapscope::app

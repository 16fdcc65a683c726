#include "app/live_feed.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "app/capture_record_writer.h"

namespace tapscope::app {
namespace {

static_assert((LiveFeed::kCapacity & (LiveFeed::kCapacity - 1)) == 0, "the ring's index is masked");

constexpr std::size_t kMask = LiveFeed::kCapacity - 1;

// How spins on the producers' flag go before the thread yields: two
// producers meet only while a transport delivers from the window thread as it
// stops, and each holds the flag for a copy.
constexpr int kSpinsBeforeYield = 64;

// "#2 127.0.0.1:40112", "127.0.0.1:5000", "COM3 -> /dev/ttyUSB0".
std::string Label(const BlockSource& source) {
    if (source.kind == BlockSource::Kind::kTcp && source.connection != 0) {
        return "#" + std::to_string(source.connection) + " " + source.Text();
    }
    return source.Text();
}

// "tcp 127.0.0.1:8001 into /home/op/pos_log.txt", "serial COM3 into ...".
std::string Describe(const RecordStart& start) {
    std::string text = start.transport;
    if (!start.localAddress.empty()) {
        const bool v6 = start.localAddress.find(':') != std::string::npos;
        text += " " + (v6 ? "[" + start.localAddress + "]" : start.localAddress) + ":" +
                std::to_string(start.localPort);
    } else if (start.transport == "serial") {
        // The port as the settings document names it: port="COM3".
        const std::string key = "port=\"";
        const std::size_t at = start.settings.find(key);
        if (at != std::string::npos) {
            const std::size_t end = start.settings.find('"', at + key.size());
            text += " " + start.settings.substr(at + key.size(), end - at - key.size());
        }
    }
    if (!start.capture.empty()) {
        text += " into " + start.capture;
    }
    return text;
}

}  // namespace

std::size_t LiveFeed::SourceKeyHash::operator()(const SourceKey& key) const {
    // From the address's bytes: a look-up allocates nothing.
    std::size_t hash = 0;
    if (key.address.is_v4()) {
        hash = key.address.to_v4().to_uint();
    } else if (key.address.is_v6()) {
        for (const unsigned char byte : key.address.to_v6().to_bytes()) {
            hash = hash * 131 + byte;
        }
    }
    hash = hash * 31 + key.port;
    hash = hash * 31 + static_cast<std::size_t>(key.connection);
    hash = hash * 31 + static_cast<std::size_t>(key.kind);
    if (!key.name.empty()) {
        hash = hash * 31 + std::hash<std::string>()(key.name);
    }
    return hash;
}

LiveFeed::LiveFeed() : m_ring(std::make_unique_for_overwrite<Entry[]>(kCapacity)) {
    static_assert(sizeof(Entry) <= 256, "an entry fits in four cache lines");
}

LiveFeed::~LiveFeed() = default;

void LiveFeed::LockProducer() {
    for (int spins = 0; m_producing.test_and_set(std::memory_order_acquire); ++spins) {
        if (spins >= kSpinsBeforeYield) {
            std::this_thread::yield();
        }
    }
    // The view opened again since this producer's last push: the sources it
    // had declared went with what the view dropped.
    const std::uint64_t epoch = m_epoch.load(std::memory_order_acquire);
    if (epoch != m_producerEpoch) {
        m_producerEpoch = epoch;
        m_sourceIds.clear();
        m_last = {0, false};
    }
}

void LiveFeed::Begin(const RecordStart& start) {
    {
        std::lock_guard lock(m_sideLock);
        m_capture = FeedCapture{Describe(start), start.capture, start.burstGapUs, true};
    }
    {
        std::lock_guard lock(m_sideLock);
        m_transport = start.transport;
    }
    LockProducer();
    // Connection numbers start over with each capture.
    m_sourceIds.clear();
    m_last = {0, false};
    UnlockProducer();
    if (Active()) {
        FeedEvent event;
        event.kind = "begin";
        event.text = "capture began: " + Describe(start);
        PushEvent(std::move(event));
    }
}

void LiveFeed::End(const std::string& reason, const std::string& text, std::uint64_t bytes,
                   std::uint64_t blocks) {
    {
        std::lock_guard lock(m_sideLock);
        if (m_capture) {
            m_capture->running = false;
        }
    }
    if (!Active()) {
        return;
    }
    FeedEvent event;
    event.kind = "end";
    event.text = "capture ended (" + reason + (text.empty() ? "" : ": " + text) + "), " +
                 std::to_string(bytes) + (bytes == 1 ? " byte in " : " bytes in ") +
                 std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
    PushEvent(std::move(event));
}

void LiveFeed::CaptureEvent(const std::string& kind, const std::string& text, std::uint64_t count) {
    if (!Active()) {
        return;
    }
    FeedEvent event;
    event.kind = kind;
    event.text = text;
    event.count = count;
    PushEvent(std::move(event));
}

LiveFeed::Known LiveFeed::SourceIdLocked(const BlockSource* source) {
    // A sender nobody named is no source of its own.
    if (source == nullptr ||
        (source->kind == BlockSource::Kind::kUnknown && source->name.empty())) {
        return {0, false};
    }
    if (m_last.id != 0 && source->SameAs(m_lastSource)) {
        return m_last;
    }
    SourceKey key{source->kind, source->address, source->port, source->connection, source->name};
    auto found = m_sourceIds.find(key);
    if (found == m_sourceIds.end()) {
        if (m_sourceIds.size() >= kMostSources) {
            m_sourceIds.clear();
        }
        const Known known{m_nextId++, source->kind == BlockSource::Kind::kUdp};
        if (m_nextId == 0) {
            m_nextId = 1;  // 0 stays "unknown"
        }
        {
            std::lock_guard lock(m_sideLock);
            m_newSources.push_back({known.id, Label(*source)});
        }
        found = m_sourceIds.emplace(std::move(key), known).first;
    }
    m_lastSource = *source;
    m_last = found->second;
    return m_last;
}

void LiveFeed::PushBlocks(const AbstractProtocol::BlockView* blocks, std::size_t count) {
    if (count == 0) {
        return;
    }
    LockProducer();
    const std::uint64_t head = m_head.load(std::memory_order_relaxed);
    const std::uint64_t tail = m_tail.load(std::memory_order_acquire);
    const std::uint64_t used = head - tail;
    const std::uint64_t room =
        used + kEventReserve >= kCapacity ? 0 : kCapacity - kEventReserve - used;
    const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(room, count));
    if (taken < count) {
        std::uint64_t bytes = 0;
        for (std::size_t i = taken; i < count; ++i) {
            bytes += blocks[i].count;
        }
        m_droppedBlocks.fetch_add(count - taken, std::memory_order_relaxed);
        m_droppedBytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    if (taken > 0) {
        // Blocks delivered together share one arrival time, as in the record.
        const RecordStamp at = RecordStamp::Now();
        const BlockSource* delivering = AbstractProtocol::DeliveringSource();
        for (std::size_t i = 0; i < taken; ++i) {
            const AbstractProtocol::BlockView& block = blocks[i];
            const Known source = SourceIdLocked(block.source ? block.source : delivering);
            Entry& entry = m_ring[(head + i) & kMask];
            entry.wallNs = at.wallNs;
            entry.monoNs = at.monoNs;
            entry.size = block.count;
            entry.source = source.id;
            entry.kind = EntryKind::kBlock;
            entry.datagram = source.datagram;
            const std::size_t kept = std::min<std::size_t>(block.count, kKeptBytes);
            entry.kept = static_cast<std::uint16_t>(kept);
            if (kept > 0) {
                std::memcpy(entry.bytes, block.data, kept);
            }
        }
        m_head.store(head + taken, std::memory_order_release);
    }
    UnlockProducer();
}

void LiveFeed::PushTransportEvent(const TransportEvent& event) {
    FeedEvent feedEvent;
    switch (event.kind) {
        case TransportEvent::Kind::kClientConnected:
            feedEvent.kind = "connected";
            break;
        case TransportEvent::Kind::kClientClosed:
            feedEvent.kind = "closed";
            break;
        case TransportEvent::Kind::kClientReset:
            feedEvent.kind = "reset";
            break;
        case TransportEvent::Kind::kLoss:
            feedEvent.kind = "loss";
            break;
        case TransportEvent::Kind::kDeviceGone:
            feedEvent.kind = "device-gone";
            break;
        case TransportEvent::Kind::kDeviceBack:
            feedEvent.kind = "device-back";
            break;
        case TransportEvent::Kind::kNote:
            feedEvent.kind = "note";
            break;
    }
    feedEvent.text = event.text;
    feedEvent.count = event.count;
    feedEvent.unit = event.unit;
    // As the record has it: a TCP connection's event is that connection's,
    // a serial port's is the port's, and the rest (a UDP socket's losses)
    // the capture's as a whole.
    if (event.connection != 0) {
        feedEvent.source = "#" + std::to_string(event.connection) + " " + event.source;
    } else {
        std::lock_guard lock(m_sideLock);
        if (m_transport == "serial") {
            feedEvent.source = event.source;
        }
    }
    PushEvent(std::move(feedEvent));
}

void LiveFeed::PushEvent(FeedEvent event) {
    const RecordStamp at = RecordStamp::Now();
    event.wallNs = at.wallNs;
    event.monoNs = at.monoNs;
    LockProducer();
    const std::uint64_t head = m_head.load(std::memory_order_relaxed);
    const std::uint64_t tail = m_tail.load(std::memory_order_acquire);
    if (head - tail >= kCapacity) {
        m_droppedEvents.fetch_add(1, std::memory_order_relaxed);
        UnlockProducer();
        return;
    }
    // The text first: once the marker is in the ring, the view may take it.
    const std::uint32_t sequence = m_eventSequence++;
    {
        std::lock_guard lock(m_sideLock);
        m_events.push_back({sequence, std::move(event)});
    }
    Entry& entry = m_ring[head & kMask];
    entry.kind = EntryKind::kEvent;
    entry.wallNs = at.wallNs;
    entry.monoNs = at.monoNs;
    entry.size = sequence;
    entry.kept = 0;
    entry.source = 0;
    entry.datagram = false;
    m_head.store(head + 1, std::memory_order_release);
    UnlockProducer();
}

void LiveFeed::SetActive(bool active) {
    if (!active) {
        m_active.store(false, std::memory_order_relaxed);
        return;
    }
    if (Active()) {
        return;
    }
    // Whatever waits is from before: a push that began before the last
    // close may still land, and is dropped with the rest the next time.
    const std::uint64_t head = m_head.load(std::memory_order_acquire);
    {
        std::lock_guard lock(m_sideLock);
        m_newSources.clear();
        m_events.clear();
    }
    m_takenEvents.clear();
    m_seenDroppedBlocks = m_droppedBlocks.load(std::memory_order_relaxed);
    m_seenDroppedBytes = m_droppedBytes.load(std::memory_order_relaxed);
    m_seenDroppedEvents = m_droppedEvents.load(std::memory_order_relaxed);
    m_tail.store(head, std::memory_order_release);
    m_epoch.fetch_add(1, std::memory_order_release);
    m_active.store(true, std::memory_order_release);
}

std::size_t LiveFeed::Take(FeedReader& reader) {
    // The head first: every declaration and event text its entries need is
    // in the side queues by then.
    const std::uint64_t head = m_head.load(std::memory_order_acquire);
    const std::uint64_t tail = m_tail.load(std::memory_order_relaxed);
    std::vector<FeedSource> sources;
    {
        std::lock_guard lock(m_sideLock);
        sources.swap(m_newSources);
        while (!m_events.empty()) {
            m_takenEvents.push_back(std::move(m_events.front()));
            m_events.pop_front();
        }
    }
    for (const FeedSource& source : sources) {
        reader.Source(source);
    }
    for (std::uint64_t at = tail; at != head; ++at) {
        const Entry& entry = m_ring[at & kMask];
        if (entry.kind == EntryKind::kEvent) {
            // Texts without a marker, and a marker without its text, are
            // what a close and reopening of the view cut in two.
            auto before = [&](std::uint32_t sequence) {
                return static_cast<std::int32_t>(sequence - entry.size) < 0;
            };
            while (!m_takenEvents.empty() && before(m_takenEvents.front().sequence)) {
                m_takenEvents.pop_front();
            }
            if (!m_takenEvents.empty() && m_takenEvents.front().sequence == entry.size) {
                reader.Event(m_takenEvents.front().event);
                m_takenEvents.pop_front();
            }
            continue;
        }
        FeedBlock block;
        block.wallNs = entry.wallNs;
        block.monoNs = entry.monoNs;
        block.source = entry.source;
        block.size = entry.size;
        block.bytes = entry.bytes;
        block.kept = entry.kept;
        block.datagram = entry.datagram;
        reader.Block(block);
    }
    // Read before the entries are given back: what was dropped until now
    // was dropped after them and before anything pushed into the room they
    // leave.
    const std::uint64_t blocks = m_droppedBlocks.load(std::memory_order_relaxed);
    const std::uint64_t bytes = m_droppedBytes.load(std::memory_order_relaxed);
    const std::uint64_t events = m_droppedEvents.load(std::memory_order_relaxed);
    if (blocks != m_seenDroppedBlocks || events != m_seenDroppedEvents) {
        reader.NotShown(blocks - m_seenDroppedBlocks, bytes - m_seenDroppedBytes,
                        events - m_seenDroppedEvents);
        m_seenDroppedBlocks = blocks;
        m_seenDroppedBytes = bytes;
        m_seenDroppedEvents = events;
    }
    m_tail.store(head, std::memory_order_release);
    return static_cast<std::size_t>(head - tail);
}

std::optional<FeedCapture> LiveFeed::CurrentCapture() const {
    std::lock_guard lock(m_sideLock);
    return m_capture;
}

}  // namespace tapscope::app

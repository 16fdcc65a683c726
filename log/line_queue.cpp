#include "log/detail/line_queue.h"

#include <algorithm>

namespace ZelLog::detail {

// The lines one thread queued and not yet taken. A part lives as long as its
// queue or its thread, whichever ends last.
struct LinePart {
    PartLock lock;
    Ring<LineQueue::Entry> entries;  // guarded by lock
    // An empty ring with room, swapped in for the entries at the next take, so
    // that the producer does not grow a new ring after every take. Touched
    // only by takes (under the queue's m_partsLock).
    Ring<LineQueue::Entry> spare;
    std::uint64_t dropped = 0;             // guarded by lock
    std::atomic<bool> threadEnded{false};  // no more lines will come
    std::atomic<bool> queueEnded{false};   // the queue is gone
};

namespace {

// A ring up to this size is kept for the part's next round; a larger one (a
// burst) is freed, so that the room goes back.
constexpr std::size_t kRecycledRingSlots = 8192;
// A kept ring keeps the text storage of its first slots, as long as each is
// no larger than this, so that a thread that queues up to that many lines
// between two takes allocates nothing for them; the rest is freed at the take.
// At most 1024 * 512 bytes stay with a thread that has stopped logging.
constexpr std::size_t kKeptTextSlots = 1024;
constexpr std::size_t kKeptTextCapacity = 512;

// Past the bound, a push drops down to it in one go once the whole is this
// fraction of the bound over it (5000 + 1 lines: at 5313), so that producers
// look at the other parts once per many lines rather than at every line. A
// take keeps exactly the newest bound + 1 lines all the same, and counts the
// rest as skipped.
constexpr std::size_t kOverflowSlackDivisor = 16;

std::atomic<std::uint64_t> g_nextQueueId{1};

// The parts the current thread fills, one per live queue it has written to.
struct ThreadParts {
    struct Slot {
        std::uint64_t queueId;
        std::shared_ptr<LinePart> part;
    };
    std::vector<Slot> slots;

    ~ThreadParts();
};

thread_local ThreadParts t_parts;
// Trivially destructible, so it can be read at any point of the thread's end.
thread_local bool t_partsGone = false;

ThreadParts::~ThreadParts() {
    t_partsGone = true;
    for (Slot& slot : slots) {
        slot.part->threadEnded.store(true, std::memory_order_release);
    }
}

}  // namespace

LineQueue::LineQueue()
    : m_id(g_nextQueueId.fetch_add(1, std::memory_order_relaxed)),
      m_sharedPart(std::make_shared<LinePart>()) {
    m_parts.push_back(m_sharedPart);
}

LineQueue::~LineQueue() {
    std::lock_guard lock(m_partsLock);
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        std::lock_guard partLock(part->lock);
        part->entries.clear();
        part->queueEnded.store(true, std::memory_order_release);
    }
}

LinePart& LineQueue::OwnPart() {
    if (t_partsGone) {
        return *m_sharedPart;
    }
    for (const ThreadParts::Slot& slot : t_parts.slots) {
        if (slot.queueId == m_id) {
            return *slot.part;
        }
    }
    // First line of this thread for this queue: forget the parts of queues
    // that are gone, then register a new part.
    std::erase_if(t_parts.slots, [](const ThreadParts::Slot& slot) {
        return slot.part->queueEnded.load(std::memory_order_acquire);
    });
    auto part = std::make_shared<LinePart>();
    {
        std::lock_guard lock(m_partsLock);
        m_parts.push_back(part);
    }
    t_parts.slots.push_back({m_id, part});
    return *part;
}

void LineQueue::Push(std::string_view line, std::uint32_t maxLines) {
    LinePart& part = OwnPart();
    std::size_t queued = 0;
    {
        std::lock_guard lock(part.lock);
        // Drawn under the part's lock: a take that holds every part's lock
        // sees every line numbered before it, so no later take gets an older
        // line. The lines held are therefore always the numbers from some
        // first one up to the last drawn, with none missing.
        const std::uint64_t sequence = m_nextSequence.fetch_add(1, std::memory_order_relaxed);
        Entry& entry = part.entries.push_slot();
        entry.sequence = sequence;
        entry.text.assign(line.data(), line.size());
        // The lines held are numbered from m_firstHeld to |sequence|; exact
        // here, as m_firstHeld changes only under every part's lock, this
        // one's too. No shared counter is changed for it.
        queued =
            static_cast<std::size_t>(sequence + 1 - m_firstHeld.load(std::memory_order_relaxed));
    }
    const std::size_t keep = static_cast<std::size_t>(maxLines) + 1;
    if (queued > keep && queued - keep > keep / kOverflowSlackDivisor) {
        DropOldest(keep);
    }
}

void LineQueue::DropOldest(std::size_t keep) {
    // Every part is held, as by a take, so that no line comes or goes
    // meanwhile. The lines held are numbered without a gap up to the last
    // number drawn, so the newest |keep| are those numbered from
    // next - keep on: each part drops its lines below that, which are at its
    // front, found by halving. The dropped lines stay in their slots, whose
    // storage the next lines reuse.
    std::lock_guard partsLock(m_partsLock);
    std::vector<std::unique_lock<PartLock>> held;
    held.reserve(m_parts.size());
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        held.emplace_back(part->lock);
    }
    const std::uint64_t next = m_nextSequence.load(std::memory_order_relaxed);
    if (next <= keep) {
        return;
    }
    const std::uint64_t first = next - keep;
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        Ring<Entry>& entries = part->entries;
        std::size_t low = 0;
        std::size_t high = entries.size();
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (entries[middle].sequence < first) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        if (low > 0) {
            entries.drop_front(low);
            part->dropped += low;
        }
    }
    m_firstHeld.store(std::max(first, m_firstHeld.load(std::memory_order_relaxed)),
                      std::memory_order_relaxed);
}

std::vector<LineQueue::Entry> LineQueue::TakeEntries(std::uint32_t maxLines) {
    std::vector<Ring<Entry>> taken(m_parts.size());
    // The part each ring came from, while the part stays; null for a part that goes.
    std::vector<LinePart*> staying(m_parts.size(), nullptr);
    std::vector<std::shared_ptr<LinePart>> live;
    {
        // Every part is held at once, so that the take is one cut through the
        // sequence. Producers hold only their own part: no deadlock. Each part
        // hands over its whole ring, so producers wait for a swap, not for the
        // lines to be moved one by one.
        std::vector<std::unique_lock<PartLock>> held;
        held.reserve(m_parts.size());
        for (const std::shared_ptr<LinePart>& part : m_parts) {
            held.emplace_back(part->lock);
        }
        for (std::size_t i = 0; i < m_parts.size(); ++i) {
            LinePart& part = *m_parts[i];
            taken[i].swap(part.entries);
            part.entries.swap(part.spare);
            m_skipped += part.dropped;
            part.dropped = 0;
            // A part whose thread had ended before its lock was taken gets no
            // more lines: it is empty now and can go.
            if (m_parts[i] == m_sharedPart || !part.threadEnded.load(std::memory_order_acquire)) {
                live.push_back(m_parts[i]);
                staying[i] = &part;
            }
        }
        // Every part is empty now.
        m_firstHeld.store(m_nextSequence.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
    }
    m_parts.swap(live);

    std::size_t total = 0;
    std::size_t runs = 0;
    for (const Ring<Entry>& ring : taken) {
        total += ring.size();
        runs += ring.empty() ? 0 : 1;
    }
    std::vector<Entry> entries;
    entries.reserve(total);
    for (std::size_t i = 0; i < taken.size(); ++i) {
        Ring<Entry>& ring = taken[i];
        if (staying[i] == nullptr || ring.capacity() > kRecycledRingSlots) {
            while (!ring.empty()) {
                entries.push_back(ring.pop_front());
            }
            continue;
        }
        // The ring goes back to its producer as the room for the next round:
        // the lines are copied out, here on the taking thread, so that the
        // producer keeps the storage of its slots.
        for (std::size_t n = 0; n < ring.size(); ++n) {
            entries.push_back(ring[n]);
        }
        for (std::size_t place = 0; place < ring.capacity(); ++place) {
            std::string& text = ring.slot(place).text;
            if (place >= kKeptTextSlots || text.capacity() > kKeptTextCapacity) {
                std::string().swap(text);
            }
        }
        ring.reuse();
        staying[i]->spare.swap(ring);
    }
    // Each part is in order already; merge them by sequence.
    if (runs > 1) {
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });
    }
    const std::size_t keep = static_cast<std::size_t>(maxLines) + 1;
    if (entries.size() > keep) {
        const std::size_t excess = entries.size() - keep;
        m_skipped += excess;
        entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(excess));
    }
    return entries;
}

std::uint64_t LineQueue::Take(std::uint32_t maxLines, std::vector<std::string>& lines) {
    std::vector<Entry> entries;
    std::uint64_t skipped = 0;
    {
        std::lock_guard lock(m_partsLock);
        entries = TakeEntries(maxLines);
        if (!entries.empty()) {
            skipped = m_skipped;
            m_skipped = 0;
        }
    }
    lines.clear();
    lines.reserve(entries.size());
    for (Entry& entry : entries) {
        lines.push_back(std::move(entry.text));
    }
    return skipped;
}

std::size_t LineQueue::Size() {
    std::lock_guard lock(m_partsLock);
    std::size_t size = 0;
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        std::lock_guard partLock(part->lock);
        size += part->entries.size();
    }
    return size;
}

void LineQueue::LockForFork() {
    // In the order a take uses: the parts' list, then every part.
    m_forkPartsLock = std::unique_lock(m_partsLock);
    m_forkPartLocks.clear();
    m_forkPartLocks.reserve(m_parts.size());
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        m_forkPartLocks.emplace_back(part->lock);
    }
}

void LineQueue::UnlockAfterFork() {
    m_forkPartLocks.clear();
    m_forkPartsLock.unlock();
}

void LineQueue::ResetInForkedChild() {
    // The parts of the parent's other threads stay, empty: those threads were
    // not copied and add no more lines.
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        part->entries.clear();
        part->dropped = 0;
    }
    m_skipped = 0;
    m_firstHeld.store(m_nextSequence.load(std::memory_order_relaxed), std::memory_order_relaxed);
    m_forkPartLocks.clear();
    m_forkPartsLock.unlock();
}

void LineQueue::Discard(std::uint32_t maxLines) {
    std::vector<Entry> entries;  // freed after the lock is given back
    std::lock_guard lock(m_partsLock);
    entries = TakeEntries(maxLines);
}

}  // namespace ZelLog::detail

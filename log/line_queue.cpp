#include "log/detail/line_queue.h"

#include <algorithm>
#include <cstring>

namespace ZelLog::detail {
namespace {

// A ring up to this size is kept for the part's next round; a larger one (a
// burst) is freed, so that the room goes back.
constexpr std::size_t kRecycledRingSlots = 8192;
// A kept ring keeps the long-line buffers of its first slots, as long as each
// is no larger than this, so that a thread that queues long lines now and
// then allocates nothing for them; the rest is freed at the take. At most
// 1024 * 1024 bytes stay with a ring this way.
constexpr std::size_t kKeptSpillSlots = 1024;
constexpr std::size_t kKeptSpillRoom = 1024;

// Parts of ended threads kept for threads that start logging later.
constexpr std::size_t kKeptSpareParts = 4;

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
    t_lastQueueId = 0;
    t_lastPart = nullptr;
    for (Slot& slot : slots) {
        slot.part->threadEnded.store(true, std::memory_order_release);
    }
}

}  // namespace

char* LineSlot::Spill(std::size_t room) {
    if (spillRoom < room) {
        // In steps, so that the buffer serves the slot's next long lines too.
        constexpr std::size_t kStep = 256;
        const std::size_t rounded = (room + kStep - 1) / kStep * kStep;
        spill.reset();
        spillRoom = 0;
        spill = std::make_unique_for_overwrite<char[]>(rounded);
        spillRoom = static_cast<std::uint32_t>(rounded);
    }
    return spill.get();
}

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
    for (const std::shared_ptr<LinePart>& part : m_spareParts) {
        part->queueEnded.store(true, std::memory_order_release);
    }
}

LinePart& LineQueue::FindOwnPart() {
    if (t_partsGone) {
        return *m_sharedPart;
    }
    for (const ThreadParts::Slot& slot : t_parts.slots) {
        if (slot.queueId == m_id) {
            t_lastQueueId = m_id;
            t_lastPart = slot.part.get();
            return *slot.part;
        }
    }
    return RegisterPart();
}

LinePart& LineQueue::RegisterPart() {
    // First line of this thread for this queue: forget the parts of queues
    // that are gone, then take over the part of an ended thread, or a new one.
    std::erase_if(t_parts.slots, [](const ThreadParts::Slot& slot) {
        return slot.part->queueEnded.load(std::memory_order_acquire);
    });
    // Room first: a part taken over must not be left without a thread.
    t_parts.slots.reserve(t_parts.slots.size() + 1);
    std::shared_ptr<LinePart> part;
    {
        std::lock_guard lock(m_partsLock);
        // A part still listed may hold its old thread's lines: they stay, and
        // keep their place, since every line added now is numbered later.
        for (const std::shared_ptr<LinePart>& listed : m_parts) {
            if (listed != m_sharedPart && listed->threadEnded.load(std::memory_order_acquire)) {
                part = listed;
                break;
            }
        }
        if (!part && !m_spareParts.empty()) {
            part = std::move(m_spareParts.back());
            m_spareParts.pop_back();
            m_parts.push_back(part);
        }
        if (part) {
            part->threadEnded.store(false, std::memory_order_relaxed);
        }
    }
    if (!part) {
        part = std::make_shared<LinePart>();
        std::lock_guard lock(m_partsLock);
        m_parts.push_back(part);
    }
    t_parts.slots.push_back({m_id, part});
    t_lastQueueId = m_id;
    t_lastPart = part.get();
    return *part;
}

char* LineQueue::LineWriter::Enlarge(std::size_t room) {
    if (room > m_room) {
        m_text = m_slot.Spill(room);
        m_room = room;
    }
    return m_text;
}

void LineQueue::Push(std::string_view line, std::uint32_t maxLines) {
    LineWriter writer(*this);
    char* text =
        line.size() < writer.Capacity() ? writer.Buffer() : writer.Enlarge(line.size() + 1);
    std::memcpy(text, line.data(), line.size());
    writer.Commit(line.size(), maxLines);
}

void LineQueue::DropBelow(LinePart& part, std::uint64_t first) {
    // The part's lines are in order: those below |first| are at its front,
    // found by halving. They stay in their slots, whose storage the next
    // lines reuse.
    Ring<LineSlot>& entries = part.entries;
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
    entries.drop_front(low);
    part.dropped += low;
    part.front = entries.empty() ? first : entries[0].sequence;
}

void LineQueue::RaiseFirstHeld(std::uint64_t first) {
    // Several producers may pass the bound at once; the highest number wins,
    // as does a take's, which is past every line drawn before it.
    std::uint64_t current = m_firstHeld.load(std::memory_order_relaxed);
    while (current < first &&
           !m_firstHeld.compare_exchange_weak(current, first, std::memory_order_relaxed)) {
    }
}

template <typename Sink>
void LineQueue::TakeLines(std::uint32_t maxLines, Sink&& sink) {
    std::vector<Ring<LineSlot>> taken(m_parts.size());
    // The part each ring came from; a part that goes takes its ring with it.
    std::vector<LinePart*> owners(m_parts.size(), nullptr);
    std::vector<std::shared_ptr<LinePart>> live;
    std::vector<std::shared_ptr<LinePart>> ended;
    {
        // Every part is held at once, so that the take is one cut through the
        // sequence. Producers hold only their own part: no deadlock. Each part
        // hands over its whole ring, so producers wait for a swap, not for the
        // lines to be moved one by one.
        for (const std::shared_ptr<LinePart>& part : m_parts) {
            part->lock.lock();
        }
        for (std::size_t i = 0; i < m_parts.size(); ++i) {
            LinePart& part = *m_parts[i];
            taken[i].swap(part.entries);
            part.entries.swap(part.spare);
            m_skipped += part.dropped;
            part.dropped = 0;
            // A part whose thread had ended before its lock was taken gets no
            // more lines: it is empty now, and waits with its storage for a
            // thread that starts logging.
            if (m_parts[i] == m_sharedPart || !part.threadEnded.load(std::memory_order_acquire)) {
                live.push_back(m_parts[i]);
            } else {
                ended.push_back(m_parts[i]);
            }
            owners[i] = &part;
        }
        // Every part is empty now.
        m_firstHeld.store(m_nextSequence.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
        for (const std::shared_ptr<LinePart>& part : m_parts) {
            part->lock.unlock();
        }
    }
    m_parts.swap(live);

    std::vector<TakenLine> lines;
    std::size_t total = 0;
    std::size_t runs = 0;
    for (const Ring<LineSlot>& ring : taken) {
        total += ring.size();
        runs += ring.empty() ? 0 : 1;
    }
    lines.reserve(total);
    for (const Ring<LineSlot>& ring : taken) {
        for (std::size_t n = 0; n < ring.size(); ++n) {
            lines.push_back({ring[n].sequence, &ring[n]});
        }
    }
    // Each part is in order already; merge them by sequence.
    if (runs > 1) {
        std::sort(lines.begin(), lines.end(),
                  [](const TakenLine& a, const TakenLine& b) { return a.sequence < b.sequence; });
    }
    const std::size_t keep = static_cast<std::size_t>(maxLines) + 1;
    std::size_t first = 0;
    if (lines.size() > keep) {
        first = lines.size() - keep;
        m_skipped += first;
    }
    sink.Reserve(lines.size() - first);
    for (std::size_t n = first; n < lines.size(); ++n) {
        // A line ends at a NUL in it (an argument printed with %c).
        const char* text = lines[n].slot->Text();
        sink.Add(std::string_view(text, strnlen(text, lines[n].slot->length)));
    }

    // Each ring goes back to its part as the room for the next round, unless
    // it has grown beyond what is kept.
    for (std::size_t i = 0; i < taken.size(); ++i) {
        Ring<LineSlot>& ring = taken[i];
        if (ring.capacity() > kRecycledRingSlots) {
            continue;
        }
        for (std::size_t place = 0; place < ring.capacity(); ++place) {
            LineSlot& slot = ring.slot(place);
            if (slot.spillRoom != 0 &&
                (place >= kKeptSpillSlots || slot.spillRoom > kKeptSpillRoom)) {
                slot.spill.reset();
                slot.spillRoom = 0;
            }
        }
        ring.reuse();
        owners[i]->spare.swap(ring);
    }
    for (std::shared_ptr<LinePart>& part : ended) {
        if (m_spareParts.size() < kKeptSpareParts) {
            m_spareParts.push_back(std::move(part));
        }
    }
}

namespace {

// Where a take puts the lines it hands out.
struct LinesSink {
    std::vector<std::string>& lines;
    void Reserve(std::size_t count) { lines.reserve(count); }
    void Add(std::string_view text) { lines.emplace_back(text); }
};

struct NoSink {
    void Reserve(std::size_t) {}
    void Add(std::string_view) {}
};

}  // namespace

std::uint64_t LineQueue::Take(std::uint32_t maxLines, std::vector<std::string>& lines) {
    lines.clear();
    std::lock_guard lock(m_partsLock);
    TakeLines(maxLines, LinesSink{lines});
    if (lines.empty()) {
        return 0;
    }
    const std::uint64_t skipped = m_skipped;
    m_skipped = 0;
    return skipped;
}

void LineQueue::Discard(std::uint32_t maxLines) {
    std::lock_guard lock(m_partsLock);
    TakeLines(maxLines, NoSink{});
}

std::size_t LineQueue::Size() {
    // One cut through all parts, as a take makes: producers go on meanwhile
    // with their own parts, and a count made part by part would add up lines
    // of different moments.
    std::lock_guard lock(m_partsLock);
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        part->lock.lock();
    }
    const std::uint64_t first = m_firstHeld.load(std::memory_order_relaxed);
    std::size_t size = 0;
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        // Lines the bound has left behind go now, as their thread would drop
        // them at its next line.
        if (part->front < first && !part->entries.empty()) {
            DropBelow(*part, first);
        }
        size += part->entries.size();
    }
    for (const std::shared_ptr<LinePart>& part : m_parts) {
        part->lock.unlock();
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

}  // namespace ZelLog::detail

// The log's line queue. Producers on many threads append lines; the writer
// takes them all at once, oldest first. Each producing thread appends to a
// part of its own under a lock of its own, so producers on different threads
// do not wait for each other; a process-wide sequence number, drawn under that
// lock, restores the order in which the lines were queued when they are taken.
//
// A line is made straight in its slot of the part's ring (LineWriter): the
// caller formats into the slot's own storage, which stays with the slot from
// line to line, so a line of usual length costs no allocation and no copy.
// A thread that starts logging takes over the part of a thread that has ended,
// with the storage that thread's lines already touched.
//
// Bound: with a bound of B, a take returns at most the newest B + 1 lines over
// all parts and counts every older line as skipped, exactly as one queue that
// drops its oldest line whenever a line arrives while it holds more than B
// lines. Memory is bounded over all parts, whatever the number of producing
// threads: a push that finds the whole more than a thirty-second over B + 1
// lines moves the number below which lines are dropped (m_firstHeld) so that
// B + 1 remain. Each part drops its own lines below it when its thread queues
// its next line, before it makes room for that line, or when a take, a
// discard or a count comes by; a producer never touches another thread's part.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ZelLog::detail {

// A ring of values that grows by doubling. A value's slot is reused in place
// for a later value, so that its storage serves again. Not thread-safe.
template <typename T>
class Ring {
public:
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }

    // The slot the next value goes into, after the newest; it still holds
    // whatever was last stored there. commit() makes it part of the ring.
    T& next() {
        if (m_count == m_slots.size()) [[unlikely]] {
            Grow();
        }
        return m_slots[Index(m_count)];
    }
    void commit() { ++m_count; }

    // Removes the |n| oldest values (at most size()), leaving them in their
    // slots for next() to overwrite.
    void drop_front(std::size_t n) {
        m_head = Index(n);
        m_count -= n;
    }

    T& operator[](std::size_t index) { return m_slots[Index(index)]; }
    const T& operator[](std::size_t index) const { return m_slots[Index(index)]; }

    // Every slot, held or not, by its place in storage (0 to capacity() - 1).
    T& slot(std::size_t place) { return m_slots[place]; }

    void clear() {
        m_slots.clear();
        m_slots.shrink_to_fit();
        m_head = 0;
        m_count = 0;
    }

    // Room for this many values before the next growth.
    std::size_t capacity() const { return m_slots.size(); }

    // Empties the ring and keeps its room and slots.
    void reuse() {
        m_head = 0;
        m_count = 0;
    }

    void swap(Ring& other) noexcept {
        m_slots.swap(other.m_slots);
        std::swap(m_head, other.m_head);
        std::swap(m_count, other.m_count);
    }

private:
    static constexpr std::size_t kInitialSlots = 64;

    std::size_t Index(std::size_t offset) const { return (m_head + offset) & (m_slots.size() - 1); }

    // The new slots are written (zeroed) here, once, so that a line made in
    // one later finds its memory ready rather than fault it in.
    [[gnu::noinline]] void Grow() {
        std::vector<T> larger(m_slots.empty() ? kInitialSlots : m_slots.size() * 2);
        for (std::size_t i = 0; i < m_count; ++i) {
            larger[i] = std::move(m_slots[Index(i)]);
        }
        m_slots.swap(larger);
        m_head = 0;
    }

    std::vector<T> m_slots;  // size is 0 or a power of two
    std::size_t m_head = 0;  // index of the oldest value
    std::size_t m_count = 0;
};

// One queued line: its number in the queue's order, its length and its text,
// inline when it is shorter than the inline room (a usual line), else in a
// buffer of the slot's own that is kept for the slot's next long line.
struct alignas(64) LineSlot {
    static constexpr std::size_t kSize = 256;
    static constexpr std::size_t kInlineRoom = kSize - 24;

    std::uint64_t sequence = 0;
    std::uint32_t length = 0;
    std::uint32_t spillRoom = 0;  // bytes at |spill|
    std::unique_ptr<char[]> spill;
    char inlineText[kInlineRoom] = {};

    LineSlot() = default;
    // A ring that grows moves its slots: only the text they hold is copied.
    LineSlot(LineSlot&& other) noexcept { *this = std::move(other); }
    LineSlot& operator=(LineSlot&& other) noexcept {
        sequence = other.sequence;
        length = other.length;
        spillRoom = std::exchange(other.spillRoom, 0);
        spill = std::move(other.spill);
        std::memcpy(inlineText, other.inlineText, std::min<std::size_t>(length, kInlineRoom));
        return *this;
    }

    bool Inline() const { return length < kInlineRoom; }
    const char* Text() const { return Inline() ? inlineText : spill.get(); }
    // Room of at least |room| bytes outside the slot, keeping the buffer
    // when it is large enough already.
    char* Spill(std::size_t room);
};
static_assert(sizeof(LineSlot) == LineSlot::kSize);

// The lock of one thread's part. Its owner holds it while it makes a line in
// the part (a formatting's time) and almost never finds it taken; a take or a
// count holds it for a swap or a few index steps. So a waiter spins a little
// and then yields, rather than sleep in the kernel, and the owner pays one
// atomic exchange to take it and a plain store to give it back.
class PartLock {
public:
    void lock() {
        while (m_locked.exchange(true, std::memory_order_acquire)) {
            WaitUntilFree();
        }
    }
    void unlock() { m_locked.store(false, std::memory_order_release); }

private:
    void WaitUntilFree() {
        for (int spin = 0; m_locked.load(std::memory_order_relaxed); ++spin) {
            if (spin < kSpinsBeforeYield) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            } else {
                std::this_thread::yield();
            }
        }
    }

    static constexpr int kSpinsBeforeYield = 128;
    std::atomic<bool> m_locked{false};
};

// The lines one thread queued and not yet taken. A part lives as long as its
// queue or its thread, whichever ends last; when its thread ends, the part
// (with its storage) goes to the next thread that starts logging.
struct alignas(64) LinePart {
    PartLock lock;
    Ring<LineSlot> entries;  // guarded by lock
    // The number of the oldest line in |entries|, when there is one; read in
    // place of the slot, whose memory was written many lines ago.
    std::uint64_t front = 0;  // guarded by lock
    // An empty ring with room, swapped in for the entries at the next take, so
    // that the producer does not grow a new ring after every take. Touched
    // only by takes (under the queue's m_partsLock).
    Ring<LineSlot> spare;
    std::uint64_t dropped = 0;  // guarded by lock
    // No more lines will come from the thread that had the part; set by
    // that thread at its end, cleared (under m_partsLock) when another thread
    // takes the part over.
    std::atomic<bool> threadEnded{false};
    std::atomic<bool> queueEnded{false};  // the queue is gone
};

class LineQueue {
public:
    LineQueue();
    ~LineQueue();
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;

    // One line made in place in the calling thread's part: Buffer() is the
    // slot's inline room (Capacity() bytes); a longer line asks for Enlarge.
    // Commit gives the line its place in the queue's order; a line never
    // committed is dropped when the writer goes. The part is locked from
    // construction to commit, so a take waits for a line being made (a
    // formatting's time) and never sees half of one.
    class LineWriter {
    public:
        explicit LineWriter(LineQueue& queue);
        ~LineWriter();
        LineWriter(const LineWriter&) = delete;
        LineWriter& operator=(const LineWriter&) = delete;

        char* Buffer() { return m_text; }
        std::size_t Capacity() const { return m_room; }
        // Room for a line of up to |room| - 1 characters; what the buffer held
        // is not carried over. Returns the new buffer.
        char* Enlarge(std::size_t room);
        // Queues the first |length| characters of the buffer (less than
        // Capacity()) as the newest line, with the bound |maxLines|. A NUL
        // among them ends the line: the take stops there.
        void Commit(std::size_t length, std::uint32_t maxLines);

    private:
        LineQueue& m_queue;
        LinePart& m_part;
        LineSlot& m_slot;
        char* m_text;
        std::size_t m_room;
        bool m_committed = false;
    };

    // Appends a copy of |line| as the newest line, with the bound |maxLines|
    // (up to a NUL in it, as Commit).
    void Push(std::string_view line, std::uint32_t maxLines);

    // Takes every line queued so far into |lines| (oldest first), with the
    // bound |maxLines| applied, and returns the count of lines skipped since
    // the last take. A take that finds no line returns 0 and leaves the count
    // for the next take, as a queue that is found empty is left alone.
    std::uint64_t Take(std::uint32_t maxLines, std::vector<std::string>& lines);

    // Drops every queued line. Lines that the bound had dropped, or would have,
    // stay counted for the next take.
    void Discard(std::uint32_t maxLines);

    // The lines held now, over all parts at one moment.
    std::size_t Size();

    // Around a fork of the process: LockForFork takes every lock of the
    // queue, so that no line is half queued when the process is copied, and
    // UnlockAfterFork gives them back in the parent. ResetInForkedChild, in
    // the child, empties the queue (its lines are the parent's to write),
    // forgets the skip count and gives the locks back.
    void LockForFork();
    void UnlockAfterFork();
    void ResetInForkedChild();

private:
    // A line of a taken ring, by its number.
    struct TakenLine {
        std::uint64_t sequence;
        const LineSlot* slot;
    };

    // Past the bound, a push moves the first number held once the whole is
    // this fraction of the bound over it (5000 + 1 lines: at 5157), so that
    // the shared number changes once per many lines rather than at every
    // line. A take keeps exactly the newest bound + 1 lines all the same, and
    // counts the rest as skipped.
    static constexpr std::size_t kDropSlackDivisor = 32;

    LinePart& OwnPart();
    // OwnPart for a queue other than the one this thread wrote to last.
    LinePart& FindOwnPart();
    LinePart& RegisterPart();
    // Drops the lines of |part| numbered below |first|. Under the part's lock.
    static void DropBelow(LinePart& part, std::uint64_t first);
    // Locks |part| and gives the slot of its next line, after dropping the
    // lines the bound has left behind (they would take room); the lock is
    // given back when the ring cannot grow.
    static LineSlot& LockNextSlot(LinePart& part, std::uint64_t firstHeld);
    // Moves m_firstHeld up to |first|, unless it is there already.
    void RaiseFirstHeld(std::uint64_t first);
    // Takes every line out of every part, in queue order with the bound
    // applied, and hands their count and then each line's text to |sink|
    // (Reserve, Add). Called with m_partsLock held.
    template <typename Sink>
    void TakeLines(std::uint32_t maxLines, Sink&& sink);

    const std::uint64_t m_id;  // tells this queue's parts apart in threads
    alignas(64) std::atomic<std::uint64_t> m_nextSequence{0};
    alignas(64) std::mutex m_partsLock;
    std::vector<std::shared_ptr<LinePart>> m_parts;  // guarded by m_partsLock
    // Parts of ended threads, emptied by a take and kept, with their storage,
    // for threads that start logging later.
    std::vector<std::shared_ptr<LinePart>> m_spareParts;  // guarded by m_partsLock
    // The part of threads whose own parts are already gone (lines written by
    // destructors of other thread-local objects at thread exit).
    std::shared_ptr<LinePart> m_sharedPart;
    std::uint64_t m_skipped = 0;  // guarded by m_partsLock
    // The number of the oldest line held; the lines held are those numbered
    // from it up to the last number drawn (a part may still keep older ones
    // in its slots until it drops them). It only grows: raised by a producer
    // that passes the bound, set past every line by a take.
    alignas(64) std::atomic<std::uint64_t> m_firstHeld{0};
    // Held by the forking thread from LockForFork until the fork is over.
    std::unique_lock<std::mutex> m_forkPartsLock;
    std::vector<std::unique_lock<PartLock>> m_forkPartLocks;
};

// The part of the queue the calling thread wrote to last, which spares the
// lookup per line; valid while the thread's list of parts holds it.
// Trivially destructible, so it can be read at any point of the thread's end.
inline thread_local std::uint64_t t_lastQueueId = 0;
inline thread_local LinePart* t_lastPart = nullptr;

inline LinePart& LineQueue::OwnPart() {
    if (t_lastQueueId == m_id) [[likely]] {
        return *t_lastPart;
    }
    return FindOwnPart();
}

inline LineSlot& LineQueue::LockNextSlot(LinePart& part, std::uint64_t firstHeld) {
    part.lock.lock();
    if (part.front < firstHeld && !part.entries.empty()) [[unlikely]] {
        LineQueue::DropBelow(part, firstHeld);
    }
    try {
        return part.entries.next();
    } catch (...) {
        part.lock.unlock();
        throw;
    }
}

inline LineQueue::LineWriter::LineWriter(LineQueue& queue)
    : m_queue(queue),
      m_part(queue.OwnPart()),
      m_slot(LockNextSlot(m_part, queue.m_firstHeld.load(std::memory_order_relaxed))),
      m_text(m_slot.inlineText),
      m_room(LineSlot::kInlineRoom) {}

inline LineQueue::LineWriter::~LineWriter() {
    if (!m_committed) {
        m_part.lock.unlock();
    }
}

inline void LineQueue::LineWriter::Commit(std::size_t length, std::uint32_t maxLines) {
    if (m_text != m_slot.inlineText && length < LineSlot::kInlineRoom) [[unlikely]] {
        // Made in the long-line buffer, then cut short: the slot says where
        // its text is by its length alone.
        std::memcpy(m_slot.inlineText, m_text, length);
    }
    // Drawn under the part's lock: a take that holds every part's lock
    // sees every line numbered before it, so no later take gets an older
    // line. The lines held are therefore always the numbers from some
    // first one up to the last drawn, with none missing.
    const std::uint64_t sequence = m_queue.m_nextSequence.fetch_add(1, std::memory_order_relaxed);
    m_slot.sequence = sequence;
    m_slot.length = static_cast<std::uint32_t>(length);
    if (m_part.entries.empty()) {
        m_part.front = sequence;
    }
    m_part.entries.commit();
    m_committed = true;
    m_part.lock.unlock();
    // The lines held are numbered from m_firstHeld to |sequence|, or fewer
    // when m_firstHeld has moved on since it was read: the count errs high,
    // never low. No shared counter is changed for it.
    const std::size_t queued = static_cast<std::size_t>(
        sequence + 1 - std::min(sequence, m_queue.m_firstHeld.load(std::memory_order_relaxed)));
    const std::size_t keep = static_cast<std::size_t>(maxLines) + 1;
    if (queued > keep + keep / kDropSlackDivisor) [[unlikely]] {
        m_queue.RaiseFirstHeld(sequence + 1 - keep);
    }
}

}  // namespace ZelLog::detail

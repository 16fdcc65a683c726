// The log's line queue. Producers on many threads append lines; the writer
// takes them all at once, oldest first. Each producing thread appends to a
// part of its own under a lock of its own, so producers on different threads
// do not wait for each other; a process-wide sequence number, drawn under that
// lock, restores the order in which the lines were queued when they are taken.
//
// Bound: with a bound of B, a take returns at most the newest B + 1 lines over
// all parts and counts every older line as skipped, exactly as one queue that
// drops its oldest line whenever a line arrives while it holds more than B
// lines. Memory is bounded over all parts, whatever the number of producing
// threads: a push that finds the whole more than a sixteenth over B + 1 lines
// drops the oldest lines, from whichever parts hold them, down to B + 1 (only
// then does a producer look at the other parts).
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ZelLog::detail {

// A ring of values that grows by doubling and does not allocate on a push once
// it is large enough. Not thread-safe.
template <typename T>
class Ring {
public:
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }

    void push_back(T&& value) {
        if (m_count == m_slots.size()) {
            Grow();
        }
        m_slots[Index(m_count)] = std::move(value);
        ++m_count;
    }

    // Makes room for one more value and returns its slot, which still holds
    // whatever value was last stored there: the caller overwrites it in place,
    // so that a string slot reuses its storage.
    T& push_slot() {
        if (m_count == m_slots.size()) {
            Grow();
        }
        T& slot = m_slots[Index(m_count)];
        ++m_count;
        return slot;
    }

    // Removes the oldest value and hands it over.
    T pop_front() {
        T value = std::move(m_slots[m_head]);
        m_head = Index(1);
        --m_count;
        return value;
    }

    // Removes the |n| oldest values (at most size()), leaving them in their
    // slots for push_slot to overwrite.
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
        m_head = 0;
        m_count = 0;
    }

    // Room for this many values before the next growth.
    std::size_t capacity() const { return m_slots.size(); }

    // Empties the ring and keeps its room, for values that were all taken out
    // with pop_front.
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

    void Grow() {
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

// The lock of one thread's part. Its owner takes it for every line and almost
// never finds it taken; a take or a drop holds it for a swap or a few index
// steps. So a waiter spins a little and then yields, rather than sleep in the
// kernel, and the owner pays one atomic exchange to take it and a plain store
// to give it back.
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

struct LinePart;

class LineQueue {
public:
    LineQueue();
    ~LineQueue();
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;

    // Appends a copy of |line| as the newest line, with the bound |maxLines|.
    // The copy goes into storage the calling thread's part keeps from line to
    // line, so a line of usual length allocates nothing.
    void Push(std::string_view line, std::uint32_t maxLines);

    // Takes every line queued so far into |lines| (oldest first), with the
    // bound |maxLines| applied, and returns the count of lines skipped since
    // the last take. A take that finds no line returns 0 and leaves the count
    // for the next take, as a queue that is found empty is left alone.
    std::uint64_t Take(std::uint32_t maxLines, std::vector<std::string>& lines);

    // Drops every queued line. Lines that the bound had dropped, or would have,
    // stay counted for the next take.
    void Discard(std::uint32_t maxLines);

    // The lines held now, counted part by part.
    std::size_t Size();

    // Around a fork of the process: LockForFork takes every lock of the
    // queue, so that no line is half queued when the process is copied, and
    // UnlockAfterFork gives them back in the parent. ResetInForkedChild, in
    // the child, empties the queue (its lines are the parent's to write),
    // forgets the skip count and gives the locks back.
    void LockForFork();
    void UnlockAfterFork();
    void ResetInForkedChild();

    struct Entry {
        std::uint64_t sequence = 0;
        std::string text;
    };

private:
    LinePart& OwnPart();
    // Drops the oldest lines over all parts until at most |keep| are held.
    void DropOldest(std::size_t keep);
    // Moves every entry out of every part, in queue order, and applies the
    // bound. Called with m_partsLock held.
    std::vector<Entry> TakeEntries(std::uint32_t maxLines);

    const std::uint64_t m_id;  // tells this queue's parts apart in threads
    alignas(64) std::atomic<std::uint64_t> m_nextSequence{0};
    alignas(64) std::mutex m_partsLock;
    std::vector<std::shared_ptr<LinePart>> m_parts;  // guarded by m_partsLock
    // The part of threads whose own parts are already gone (lines written by
    // destructors of other thread-local objects at thread exit).
    std::shared_ptr<LinePart> m_sharedPart;
    std::uint64_t m_skipped = 0;  // guarded by m_partsLock
    // The number of the oldest line held; the lines held are those numbered
    // from it up to the last number drawn. Changed only while every part's
    // lock is held; read by producers without a lock, to see when the bound
    // is passed.
    alignas(64) std::atomic<std::uint64_t> m_firstHeld{0};
    // Held by the forking thread from LockForFork until the fork is over.
    std::unique_lock<std::mutex> m_forkPartsLock;
    std::vector<std::unique_lock<PartLock>> m_forkPartLocks;
};

}  // namespace ZelLog::detail

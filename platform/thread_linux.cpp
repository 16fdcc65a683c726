#include "platform/thread.h"

#include <locale.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/process_info.h"

// A thread's life, as its record sees it:
//
//   BeginThread            new thread (Trampoline)
//   -----------            -----------------------
//   pthread_create ------> publish its kernel id
//   wait for the id <----  wait at the gate until released and suspendCount == 0
//   store the id, release -->
//   return the handle      procedure(argument)    <- EndThread unwinds from here
//                          ended = true, notify   <- runs on both ways out
//
// The thread is detached: waits go through the record's "ended" event, which
// outlives the thread for as long as any handle holds the record.

namespace tapscope::platform {

struct ThreadRecord {
    std::mutex lock;
    std::condition_variable changed;  // the id, the count or "ended" changed
    int suspendCount = 0;             // guarded by lock
    // A copy of suspendCount, so that a suspension point costs one load when
    // nobody has suspended the thread.
    std::atomic<int> suspendHint{0};
    bool idKnown = false;        // guarded by lock
    bool released = false;       // guarded by lock; BeginThread has handed out the id
    unsigned long threadId = 0;  // guarded by lock until idKnown, then fixed
    bool ended = false;          // guarded by lock
    unsigned exitCode = 0;       // guarded by lock
    ThreadProcedure procedure = nullptr;
    void* argument = nullptr;
    std::uint32_t value = 0;
};

namespace {

constexpr std::uint32_t kInvalidHandleValue = 0xFFFFFFFFu;

thread_local int t_lastError = 0;
// The record of the calling thread when BeginThread made it.
thread_local ThreadRecord* t_current = nullptr;

std::atomic<std::uint32_t> g_nextHandleValue{0x100};

// Marks the record ended when the thread leaves its procedure, whether it
// returns or EndThread unwinds it.
class EndedOnExit {
public:
    explicit EndedOnExit(ThreadRecord& record) : m_record(record) {}
    EndedOnExit(const EndedOnExit&) = delete;
    EndedOnExit& operator=(const EndedOnExit&) = delete;
    ~EndedOnExit() {
        std::lock_guard lock(m_record.lock);
        m_record.ended = true;
        m_record.changed.notify_all();
    }

private:
    ThreadRecord& m_record;
};

void* Trampoline(void* start) {
    // The handle BeginThread passed keeps the record alive for this thread.
    const ThreadHandle record = std::move(*static_cast<ThreadHandle*>(start));
    delete static_cast<ThreadHandle*>(start);
    t_current = record.get();
    EndedOnExit ended(*record);
    {
        std::unique_lock lock(record->lock);
        record->threadId = CurrentThreadId();
        record->idKnown = true;
        record->changed.notify_all();
        record->changed.wait(lock, [&] { return record->released && record->suspendCount == 0; });
    }
    const unsigned code = record->procedure(record->argument);
    std::lock_guard lock(record->lock);
    record->exitCode = code;
    return nullptr;
}

std::size_t PageSize() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

ThreadHandle BeginThread(std::size_t stackBytes, ThreadProcedure procedure, void* argument,
                         bool suspended, unsigned long* threadId) {
    auto record = std::make_shared<ThreadRecord>();
    record->suspendCount = suspended ? 1 : 0;
    record->suspendHint.store(record->suspendCount, std::memory_order_relaxed);
    record->procedure = procedure;
    record->argument = argument;
    record->value = g_nextHandleValue.fetch_add(4, std::memory_order_relaxed);

    const std::size_t page = PageSize();
    std::size_t size = std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN);
    size = (size + page - 1) / page * page;

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        SetLastError(kErrorNotEnoughMemory);
        return {};
    }
    int result = pthread_attr_setstacksize(&attributes, size);
    if (result == 0) {
        result = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    }
    auto* start = new ThreadHandle(record);
    if (result == 0) {
        pthread_t thread;
        result = pthread_create(&thread, &attributes, &Trampoline, start);
    }
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete start;
        SetLastError(result == EAGAIN ? kErrorNotEnoughMemory : result);
        return {};
    }
    std::unique_lock lock(record->lock);
    record->changed.wait(lock, [&] { return record->idKnown; });
    // The id is the caller's before the thread runs anything, as it would be
    // from _beginthreadex: a thread that stops itself at once must find it.
    if (threadId != nullptr) {
        *threadId = record->threadId;
    }
    record->released = true;
    record->changed.notify_all();
    return record;
}

void EndThread(unsigned exitCode) {
    if (ThreadRecord* record = t_current) {
        std::lock_guard lock(record->lock);
        record->exitCode = exitCode;
    }
    pthread_exit(nullptr);
}

int ResumeThread(const ThreadHandle& handle) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return -1;
    }
    std::lock_guard lock(handle->lock);
    if (handle->ended) {
        return 0;
    }
    const int previous = handle->suspendCount;
    if (handle->suspendCount > 0) {
        --handle->suspendCount;
        handle->suspendHint.store(handle->suspendCount, std::memory_order_release);
        if (handle->suspendCount == 0) {
            handle->changed.notify_all();
        }
    }
    return previous;
}

int SuspendThread(const ThreadHandle& handle) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return -1;
    }
    std::lock_guard lock(handle->lock);
    if (handle->ended) {
        return 0;
    }
    if (handle->suspendCount >= kMaximumSuspendCount) {
        SetLastError(kErrorSignalRefused);
        return -1;
    }
    const int previous = handle->suspendCount++;
    handle->suspendHint.store(handle->suspendCount, std::memory_order_release);
    return previous;
}

void ThreadSuspensionPoint() {
    ThreadRecord* record = t_current;
    if (record == nullptr || record->suspendHint.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::unique_lock lock(record->lock);
    record->changed.wait(lock, [&] { return record->suspendCount == 0; });
}

ThreadWait WaitForThread(const ThreadHandle& handle, std::int32_t timeoutMs) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return ThreadWait::kFailed;
    }
    std::unique_lock lock(handle->lock);
    if (timeoutMs < 0) {
        handle->changed.wait(lock, [&] { return handle->ended; });
        return ThreadWait::kEnded;
    }
    const bool ended = handle->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                [&] { return handle->ended; });
    return ended ? ThreadWait::kEnded : ThreadWait::kTimeout;
}

bool ThreadExitCode(const ThreadHandle& handle, unsigned* exitCode) {
    if (!handle) {
        return false;
    }
    std::lock_guard lock(handle->lock);
    if (!handle->ended) {
        return false;
    }
    if (exitCode != nullptr) {
        *exitCode = handle->exitCode;
    }
    return true;
}

unsigned long ThreadIdOf(const ThreadHandle& handle) {
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(handle->lock);
    return handle->threadId;
}

std::uint32_t ThreadHandleValue(const ThreadHandle& handle) {
    return handle ? handle->value : kInvalidHandleValue;
}

bool SetThreadPriorityBoost(const ThreadHandle& handle, bool /*disableBoost*/) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

bool SetThreadPriority(const ThreadHandle& handle, int priority) {
    if (!handle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    errno = 0;
    if (!SetThreadPriority(priority, ThreadIdOf(handle))) {
        SetLastError(errno != 0 ? errno : kErrorInvalidHandle);
        return false;
    }
    return true;
}

int GetLastError() {
    return t_lastError;
}

void SetLastError(int error) {
    t_lastError = error;
}

std::size_t CurrentThreadStackBytes() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return 0;
    }
    std::size_t size = 0;
    if (pthread_attr_getstacksize(&attributes, &size) != 0) {
        size = 0;
    }
    pthread_attr_destroy(&attributes);
    return size;
}

namespace {

// The locale a thread switched to, freed when the thread ends.
struct ThreadLocale {
    locale_t locale = static_cast<locale_t>(0);
    ~ThreadLocale() {
        if (locale != static_cast<locale_t>(0)) {
            uselocale(LC_GLOBAL_LOCALE);
            freelocale(locale);
        }
    }
};

}  // namespace

bool UseSystemCharacterTypeOnThisThread() {
    thread_local ThreadLocale current;
    // The thread's present rules for every other category, the system's for
    // character types.
    const locale_t base = duplocale(uselocale(static_cast<locale_t>(0)));
    if (base == static_cast<locale_t>(0)) {
        return false;
    }
    const locale_t changed = newlocale(LC_CTYPE_MASK, "", base);
    if (changed == static_cast<locale_t>(0)) {
        freelocale(base);
        return false;
    }
    uselocale(changed);
    if (current.locale != static_cast<locale_t>(0)) {
        freelocale(current.locale);
    }
    current.locale = changed;
    return true;
}

}  // namespace tapscope::platform

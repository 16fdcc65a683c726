#include "runtime/thread.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "platform/process_info.h"

namespace zelmisc {
namespace {

namespace platform = tapscope::platform;

// A join waits in slices of this length...
constexpr std::int32_t kJoinSliceMs = 100;
// ...and reports a thread that does not end every this many time-outs.
constexpr int kDeadlockReportInterval = 100;
// Room for one report text.
constexpr std::size_t kReportBufferSize = 512;

std::atomic<void (*)(const char*)> g_traceHook{nullptr};
std::atomic<void (*)(const char*)> g_warningHook{nullptr};
std::atomic<void (*)(const char*, int, const char*, const char*)> g_errorHook{nullptr};

void Report(void (*hook)(const char*), const char* format, va_list args)
    ZEL_THREAD_PRINTF_FORMAT(2, 0);

void Report(void (*hook)(const char*), const char* format, va_list args) {
    if (hook == nullptr) {
        return;
    }
    char text[kReportBufferSize];
    if (std::vsnprintf(text, sizeof text, format, args) < 0) {
        return;
    }
    hook(text);
}

// The "%04d" of the reports: thread ids print as signed 32-bit numbers.
int IdForReport(unsigned long id) {
    return static_cast<int>(id);
}

}  // namespace

void SetThreadReportHooks(const ThreadReportHooks& hooks) {
    g_traceHook.store(hooks.trace, std::memory_order_release);
    g_warningHook.store(hooks.warning, std::memory_order_release);
    g_errorHook.store(hooks.error, std::memory_order_release);
}

void Thread::ReportTrace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Report(g_traceHook.load(std::memory_order_acquire), format, args);
    va_end(args);
}

void Thread::ReportWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Report(g_warningHook.load(std::memory_order_acquire), format, args);
    va_end(args);
}

Thread::Thread() = default;

Thread::~Thread() {
    Stop();
    ScopedLock lock(m_handleLock);
    m_handle.reset();
}

void Thread::Destroy() {
    delete this;
}

int Thread::Start(std::uint32_t stackSize, std::uint32_t flags) {
    m_stopRequests.store(0, std::memory_order_release);
    if (stackSize == 0) {
        stackSize = kDefaultThreadStackSize;
    }
    // Linux reserves every thread stack and commits pages as they are touched,
    // which is what the reservation flag asks for.
    flags |= kStackSizeParamIsAReservation;
    ScopedLock lock(m_handleLock);
    m_handle = platform::BeginThread(stackSize, &Thread::ThreadProcedure, this,
                                     (flags & kCreateSuspended) != 0, &m_threadId);
    if (!m_handle) {
        return 0;
    }
    EnablePriorityBoost(m_handle);
    return 1;
}

unsigned Thread::ThreadProcedure(void* argument) {
    auto* self = static_cast<Thread*>(argument);
    self->OnThreadStart();
    while (true) {
        // A thread that something suspended pauses here, between steps.
        platform::ThreadSuspensionPoint();
        if (self->m_stopRequests.load(std::memory_order_acquire) != 0) {
            break;
        }
        if (self->Process() == 0) {
            break;
        }
        self->AfterProcess();
    }
    self->OnThreadExit();
    {
        ScopedLock lock(self->m_handleLock);
        self->m_handle.reset();
    }
    // The owner may destroy the object from here on: nothing below touches it.
    return 0;
}

int Thread::Resume() {
    platform::ThreadHandle handle;
    {
        ScopedLock lock(m_handleLock);
        handle = m_handle;
    }
    if (!handle) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return -1;
    }
    const int previous = platform::ResumeThread(handle);
    if (previous > 1) {
        ReportTrace(
            "Resume (%04d) by %04d. Thread hasn't been resumed. Just decreased suspend "
            "count=%d",
            IdForReport(m_threadId), IdForReport(platform::CurrentThreadId()), previous - 1);
    }
    return previous;
}

int Thread::Stop() {
    {
        ScopedLock lock(m_handleLock);
        if (!m_handle) {
            return 0;
        }
    }
    m_stopRequests.fetch_add(1, std::memory_order_acq_rel);

    const int first = Resume();
    if (first == -1) {
        ReportWarning("Resume thread error (first attempt) (%04d) GetLastError=%d",
                      IdForReport(m_threadId), platform::GetLastError());
    } else if (first > 1) {
        ReportWarning("Thread (%04d) has being suspended %d times. Forced wake up.",
                      IdForReport(m_threadId), first);
        int count = 0;
        do {
            count = Resume();
        } while (count > 1);
        if (count == -1) {
            ReportWarning("Resume thread error (next attempts) (%04d) GetLastError=%d",
                          IdForReport(m_threadId), platform::GetLastError());
        }
    }

    if (platform::CurrentThreadId() == m_threadId) {
        return 1;  // the worker asked itself to stop: it cannot wait for itself
    }
    Join();
    return 1;
}

void Thread::Join() {
    const platform::ThreadHandle duplicate = DuplicateHandle();
    if (!duplicate) {
        return;
    }
    int attempt = 0;
    while (true) {
        const platform::ThreadWait result = platform::WaitForThread(duplicate, kJoinSliceMs);
        if (result == platform::ThreadWait::kEnded) {
            return;
        }
        if (result == platform::ThreadWait::kFailed) {
            // Not expected while the duplicate lives; never spin, never give up.
            std::this_thread::sleep_for(std::chrono::milliseconds(kJoinSliceMs));
        }
        if (attempt != 0 && attempt % kDeadlockReportInterval == 0) {
            ReportWarning("Thread (%04d) is not stopped (possible deadlock), attempt=%d",
                          IdForReport(m_threadId), attempt);
        }
        ++attempt;
    }
}

platform::ThreadHandle Thread::DuplicateHandle() {
    ScopedLock lock(m_handleLock);
    return m_handle;
}

bool Thread::HasThread() {
    ScopedLock lock(m_handleLock);
    return static_cast<bool>(m_handle);
}

void EnablePriorityBoost(const platform::ThreadHandle& handle) {
    if (platform::SetThreadPriorityBoost(handle, false)) {
        return;
    }
    auto* hook = g_errorHook.load(std::memory_order_acquire);
    if (hook == nullptr) {
        return;
    }
    char text[kReportBufferSize];
    std::snprintf(text, sizeof text,
                  "[THREAD] Failed to enable priority boost for thread 0x%08X. Error code: %d.",
                  platform::ThreadHandleValue(handle), platform::GetLastError());
    hook(__FILE__, __LINE__, __TIMESTAMP__, text);
}

}  // namespace zelmisc

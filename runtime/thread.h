// Thread: base class of a worker thread that repeats one step (Process) until
// it is asked to stop. Start makes the thread, Stop asks it to end, wakes it if
// something suspended it and joins it; the worker closes its own handle as it
// ends, so joins wait on a duplicate.
//
// Threading: Start, Resume, Stop and destruction belong to the owner's thread
// (Stop may also be called by the worker itself, and then does not wait); the
// handle is guarded by m_handleLock. The owner of a derived object calls Stop
// before deleting it: the base destructor's Stop runs after the derived part
// is gone.
//
// Reports (warnings, a trace line, an error) go to the log through the hook
// below, which the log installs when it is created; until then they are dropped.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "runtime/sync_objects.h"

#define ZEL_THREAD_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))

namespace zelmisc {

// Creation flags of Start.
constexpr std::uint32_t kCreateSuspended = 0x4;
constexpr std::uint32_t kStackSizeParamIsAReservation = 0x10000;
// The stack reserved for a thread started with a stack size of 0 (256 KiB).
constexpr std::uint32_t kDefaultThreadStackSize = 0x40000;

// Where the thread wrapper's reports go: finished texts, no format. An error
// carries the call site (source file, line, the file's compile time stamp).
struct ThreadReportHooks {
    void (*trace)(const char* text) = nullptr;
    void (*warning)(const char* text) = nullptr;
    void (*error)(const char* file, int line, const char* timestamp, const char* text) = nullptr;
};

// Installs |hooks| for every thread wrapper of the process (any thread, any
// time); hooks left empty drop their reports.
void SetThreadReportHooks(const ThreadReportHooks& hooks);

class Thread {
public:
    Thread();
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Deletes the object through the virtual destructor.
    virtual void Destroy();
    // One step of the thread's work: nonzero to go on, 0 to end the loop.
    virtual int Process() = 0;
    // After each Process that returned nonzero.
    virtual void AfterProcess() {}
    // On the new thread, before the first step.
    virtual void OnThreadStart() {}
    // On the worker thread, after the loop has ended.
    virtual void OnThreadExit() {}

    // Starts the thread with |stackSize| bytes of stack (0: 256 KiB) and
    // |flags| (0 or kCreateSuspended). 1 when the thread was made, else 0.
    // The object must have no thread.
    int Start(std::uint32_t stackSize = 0, std::uint32_t flags = 0);
    // Lowers the suspend count once: the previous count, or -1 on failure
    // (with the last error set).
    int Resume();
    // Asks the thread to end, wakes it and, unless called on the worker, waits
    // for it to end. 1 when there was a thread, 0 when there was none.
    int Stop();

    // The thread's id as _beginthreadex gave it; 0 before the first Start.
    unsigned long ThreadId() const { return m_threadId; }
    // A duplicate of the thread's handle, for waits; empty when there is no
    // thread.
    tapscope::platform::ThreadHandle DuplicateHandle();
    // Whether the object holds a thread handle.
    bool HasThread();

private:
    static unsigned ThreadProcedure(void* argument);
    // Waits for the thread to end through a duplicate of its handle.
    void Join();
    void ReportTrace(const char* format, ...) ZEL_THREAD_PRINTF_FORMAT(2, 3);
    void ReportWarning(const char* format, ...) ZEL_THREAD_PRINTF_FORMAT(2, 3);

    // Written by Start before the thread runs; read by the owner and the worker.
    unsigned long m_threadId = 0;
    std::atomic<std::int32_t> m_stopRequests{0};
    tapscope::platform::ThreadHandle m_handle;  // guarded by m_handleLock
    CriticalSection m_handleLock;
};

// Leaves the system's dynamic priority boost on for |handle|; reports an error
// when that fails. Start calls it for every new thread.
void EnablePriorityBoost(const tapscope::platform::ThreadHandle& handle);

}  // namespace zelmisc

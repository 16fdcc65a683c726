#include "log/log_writer.h"

#include <chrono>

#include "log/debug.h"
#include "platform/debug_output.h"
#include "platform/process_info.h"
#include "platform/thread.h"
#include "runtime/paths.h"

// One writer cycle:
//
//   free space of the log's volume
//     < 200 MiB: drop the queue; warn once (three raw lines), Flush; wait 3 s
//     otherwise: Flush; wait the flush period
//   wait for: stop event -> end the thread now (exit code 999)
//             wake event -> leave the loop (the thread ends normally)
//             time-out   -> next cycle

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

}  // namespace

LogWriter::LogWriter(CDebug* owner, std::int32_t period) : m_owner(owner), m_period(period) {
    Start(0, 0);
    if (HasThread()) {
        platform::SetThreadPriority(DuplicateHandle(), platform::kThreadPriorityBelowNormal);
    }
}

LogWriter::~LogWriter() {
    if (HasThread()) {
        SignalStop();
        platform::WaitForThread(DuplicateHandle(), kWriterStopWaitMs);
    }
    // The thread reads the events: it must be gone before they are, even when
    // its cycle outlasts the wait above (a mutex wait takes up to 3 s).
    Stop();
}

void LogWriter::OnThreadStart() {
    platform::UseSystemCharacterTypeOnThisThread();
}

int LogWriter::Process() {
    const std::string path = m_owner->m_logFilePath.substr(0, zelmisc::kMaxPath - 1);
    const std::string root = zelmisc::DiskRoot(path);
    const std::uint64_t freeMegabytes = m_owner->m_writerHooks.freeDiskMegabytes
                                            ? m_owner->m_writerHooks.freeDiskMegabytes(root)
                                            : zelmisc::FreeDiskMegabytes(root);
    std::int32_t wait = m_period;
    if (freeMegabytes < kLowDiskMegabytes) {
        // Lines dropped here are not counted: the skip count stays as it is.
        m_owner->m_queue.Discard(m_owner->m_queueMaxLines);
        if (!m_lowDiskReported) {
            m_owner->PrintRaw("\n\n\n");
            m_owner->PrintRaw("INSUFFISIENT DISK SPACE!!!");
            m_owner->PrintRaw("\n\n\n");
            m_lowDiskReported = true;
            m_owner->Flush();
        }
        wait = m_owner->m_writerHooks.lowDiskWaitMs;
    } else {
        m_lowDiskReported = false;
        m_owner->Flush();
    }

    switch (WaitForEvents(wait)) {
        case Wakeup::kStop:
            ExchangeStopping(1);
            platform::OutputDebugText("LogWriter: WAIT_OBJECT_0 + 0\r\n");
            platform::EndThread(kWriterStopExitCode);
        case Wakeup::kWake:
            platform::OutputDebugText("LogWriter: WAIT_OBJECT_0 + 1\r\n");
            return 0;
        case Wakeup::kTimeout:
            break;
    }
    return 1;
}

void LogWriter::SignalStop() {
    std::lock_guard lock(m_eventLock);
    m_stopEvent = true;
    m_eventChanged.notify_all();
}

void LogWriter::SignalWake() {
    std::lock_guard lock(m_eventLock);
    m_wakeEvent = true;
    m_eventChanged.notify_all();
}

std::int32_t LogWriter::ExchangeStopping(std::int32_t value) {
    return m_stopping.exchange(value, std::memory_order_acq_rel);
}

LogWriter::Wakeup LogWriter::WaitForEvents(std::int32_t timeoutMs) {
    std::unique_lock lock(m_eventLock);
    const auto signalled = [this] { return m_stopEvent || m_wakeEvent; };
    if (timeoutMs < 0) {
        m_eventChanged.wait(lock, signalled);
    } else if (timeoutMs > 0) {
        m_eventChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled);
    }
    if (m_stopEvent) {
        return Wakeup::kStop;
    }
    return m_wakeEvent ? Wakeup::kWake : Wakeup::kTimeout;
}

}  // namespace ZelLog

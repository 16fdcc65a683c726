// LogWriter: the log's writer thread, one per process. Each cycle it checks
// the free space on the log's volume and moves the queued lines into the log
// file (CDebug::Flush), then waits for the flush period or for one of its two
// events: "stop" ends its thread at once, "wake" lets it leave its loop.
//
// Threading: construction starts the thread; the signals and the stopping flag
// may be used from any thread; the destructor must not run on the writer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "runtime/thread.h"

namespace ZelLog {

class CDebug;

// Below this many MiB free on the log's volume the writer drops lines.
constexpr std::uint64_t kLowDiskMegabytes = 200;
// While space is short the writer looks again after this many milliseconds.
constexpr std::int32_t kLowDiskWaitMs = 3000;
// The destructor gives a thread that ends itself this long before it joins.
constexpr std::int32_t kWriterStopWaitMs = 1000;
// The exit code of a writer thread ended by its stop event.
constexpr unsigned kWriterStopExitCode = 999;

// What the writer reads of its surroundings; tests replace it.
struct LogWriterHooks {
    // MiB free on the volume whose root folder is given; empty: the system's
    // reading (zelmisc::FreeDiskMegabytes).
    std::function<std::uint64_t(const std::string& root)> freeDiskMegabytes;
    // The wait between cycles while space is short.
    std::int32_t lowDiskWaitMs = kLowDiskWaitMs;
};

class LogWriter : public zelmisc::Thread {
public:
    // Starts the writer of |owner| at once, at below-normal priority; it
    // flushes every |period| ms (0: no pause between cycles).
    LogWriter(CDebug* owner, std::int32_t period);
    // Ends the thread through the stop event, if it still runs.
    ~LogWriter() override;

    int Process() override;
    void OnThreadStart() override;

    // Sets the stop event: the writer ends its thread at the end of its cycle.
    void SignalStop();
    // Sets the wake event: the writer leaves its loop at the end of its cycle.
    void SignalWake();
    // Interlocked exchange of the stopping flag; returns the previous value.
    std::int32_t ExchangeStopping(std::int32_t value);

private:
    enum class Wakeup { kStop, kWake, kTimeout };
    // Waits up to |timeoutMs| (0: a look only; negative: no limit) for either
    // event; the stop event wins when both are set.
    Wakeup WaitForEvents(std::int32_t timeoutMs);

    std::atomic<std::int32_t> m_stopping{0};
    CDebug* m_owner;
    std::int32_t m_period;
    // The two manual-reset events share one lock, so that one wait sees both.
    std::mutex m_eventLock;
    std::condition_variable m_eventChanged;
    bool m_stopEvent = false;        // guarded by m_eventLock
    bool m_wakeEvent = false;        // guarded by m_eventLock
    bool m_lowDiskReported = false;  // writer thread only
};

}  // namespace ZelLog

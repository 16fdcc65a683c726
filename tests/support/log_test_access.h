// CDebugTestAccess: the tests' way into a log object. It builds private log
// objects from known settings (instead of the process-wide one), with or
// without their writer, and reads and empties their queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/debug.h"

namespace ZelLog {

class CDebugTestAccess {
public:
    // A log with its interprocess mutex but no writer: lines stay queued until
    // the test takes them or calls Flush.
    static std::unique_ptr<CDebug> Create(const LogSettings& settings) {
        return std::unique_ptr<CDebug>(new CDebug(settings, "", kRegistryPath));
    }

    // A complete log: the mutex named after settings.moduleName and, at level
    // 1 or more, the writer, which reads its surroundings through |hooks|.
    static std::unique_ptr<CDebug> CreateWithWriter(const LogSettings& settings,
                                                    LogWriterHooks hooks = {}) {
        std::unique_ptr<CDebug> debug(new CDebug(settings, "", kRegistryPath));
        debug->m_writerHooks = std::move(hooks);
        debug->StartWriter();
        return debug;
    }

    // The process-wide log (what CDebug::Instance and Log() return), built
    // from |settings| or given them, without a writer. Call it while no other
    // thread logs.
    static CDebug* InstallProcessLog(const LogSettings& settings) {
        return CDebug::InstallInstance(settings, false);
    }

    // The same with the writer, as the log runs in the program: lines reach
    // the file, and an exit handler flushes them when the process ends.
    static CDebug* StartProcessLog(const LogSettings& settings) {
        return CDebug::InstallInstance(settings, true);
    }

    // Runs |probe| on the constructing thread while the process-wide log is
    // under construction, just before its writer starts; nullptr: nothing.
    static void SetConstructionProbe(void (*probe)()) { CDebug::SetConstructionProbe(probe); }

    // Takes every queued line out of |debug|; |skipped| receives the count of
    // lines dropped since the last take.
    static std::vector<std::string> TakeQueue(CDebug& debug, std::uint64_t* skipped = nullptr) {
        std::vector<std::string> lines;
        const std::uint64_t count = debug.m_queue.Take(debug.m_queueMaxLines, lines);
        if (skipped != nullptr) {
            *skipped = count;
        }
        return lines;
    }

    static unsigned long MainThreadId(const CDebug& debug) { return debug.m_mainThreadId; }
    static const std::string& LogFilePath(const CDebug& debug) { return debug.m_logFilePath; }
    static const std::string& ModuleName(const CDebug& debug) { return debug.m_moduleName; }
    static bool HasWriter(const CDebug& debug) { return debug.m_writer != nullptr; }
    static LogWriter* Writer(CDebug& debug) { return debug.m_writer.get(); }
};

// The prefix and time stamp that begin every log line, as a regular expression.
inline const std::string kPrefixPattern =
    R"(\[CPU=\d{4}\]\[PID=\d{8}\]:\[[A-Z_]+\]:\[TID=\d{8}(?:\(MAIN\))?\]:\[[A-Z_]+\] )"
    R"(\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\])";

}  // namespace ZelLog

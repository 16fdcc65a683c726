// CDebugTestAccess: the tests' way into a log object. It builds private log
// objects from known settings (instead of the process-wide one) and reads and
// empties their queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/debug.h"

namespace ZelLog {

class CDebugTestAccess {
public:
    static std::unique_ptr<CDebug> Create(const LogSettings& settings) {
        return std::unique_ptr<CDebug>(new CDebug(settings, "", kRegistryPath));
    }

    // The process-wide log (what CDebug::Instance and Log() return), built
    // from |settings| or given them. Call it while no other thread logs.
    static CDebug* InstallProcessLog(const LogSettings& settings) {
        return CDebug::InstallInstance(settings);
    }

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
};

}  // namespace ZelLog

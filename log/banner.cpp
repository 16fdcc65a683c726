// CDebug::WriteHeader: the banner each run's log begins with.
#include <string>

#include "log/debug.h"
#include "log/system_info.h"

namespace ZelLog {
namespace {

// Any of these bits of the options writes to the log file.
constexpr std::uint32_t kBannerFileOptionBits = 0x0F;
constexpr std::size_t kBannerRuleLength = 117;

}  // namespace

void CDebug::WriteHeader() {
    if (Level() <= 0 || (m_options & kBannerFileOptionBits) == 0) {
        return;
    }
    try {
        const std::string rule(kBannerRuleLength, '=');
        Enqueue("%s\n", rule.c_str());
        Enqueue("CPU: %s, RAM: %s\n", ProcessorText().c_str(), MemoryText().c_str());
        Enqueue("Platform: %s\n", OperatingSystemText().c_str());
        Enqueue("%s\n", VersionText().c_str());
        Enqueue("%s\n", ComputerText().c_str());
        Enqueue("%s\n", rule.c_str());
    } catch (...) {
        // A banner that cannot be made is left out; logging never throws.
    }
}

}  // namespace ZelLog

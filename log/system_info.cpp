#include "log/system_info.h"

#include <cinttypes>
#include <cstdio>
#include <map>

#include "platform/clock.h"
#include "platform/system_info.h"

#ifndef TAPSCOPE_VERSION
#define TAPSCOPE_VERSION ""
#endif

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

constexpr const char* kMissing = "n/a";
// "4294967295 x iA32onWin64 18446744073709551615 MHz" fits with room to spare.
constexpr std::size_t kProcessorTextSize = 128;
// "-9223372036854775808 MB"
constexpr std::size_t kMemoryTextSize = 32;
// "23:59:59"
constexpr std::size_t kClockTextSize = 16;

struct ArchitectureRow {
    const char* machine;
    const char* name;
};

// The kernel's machine names and the names the banner gives them. The x86
// names carry the processor level: i386 is level 3 ... i686 level 6.
constexpr ArchitectureRow kArchitectures[] = {
    {"x86_64", "AMD64"}, {"i386", "i386"}, {"i486", "i486"},   {"i586", "i586"},
    {"i686", "i586Pro"}, {"mips", "mips"}, {"mips64", "mips"}, {"alpha", "alpha"},
    {"ppc", "ppc"},      {"ppc64", "ppc"}, {"ppc64le", "ppc"}, {"ia64", "iA64"},
};

std::string Cut(const std::string& text) {
    return text.size() > kMaxInfoLength ? text.substr(0, kMaxInfoLength) : text;
}

const std::string& OrMissing(const std::string& value, const std::string& missing) {
    return value.empty() ? missing : value;
}

std::string Field(const std::map<std::string, std::string>& fields, const char* name) {
    const auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
}

}  // namespace

const char* const kProgramVersion = TAPSCOPE_VERSION;

std::string ArchitectureName(const std::string& machine) {
    for (const ArchitectureRow& row : kArchitectures) {
        if (machine == row.machine) {
            return row.name;
        }
    }
    // Any other x86 level ("i786").
    if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) {
        return "iX86";
    }
    return {};
}

std::string ProcessorText(unsigned processors, const std::string& machine, unsigned long mhz) {
    char text[kProcessorTextSize];
    std::snprintf(text, sizeof text, "%d x %s %lu MHz", static_cast<int>(processors),
                  ArchitectureName(machine).c_str(), mhz);
    return text;
}

std::string ProcessorText() {
    return ProcessorText(platform::LogicalProcessorCount(), platform::MachineArchitecture(),
                         platform::ProcessorClockMhz());
}

std::string MemoryText(std::uint64_t bytes) {
    char text[kMemoryTextSize];
    std::snprintf(text, sizeof text, "%" PRId64 " MB", static_cast<std::int64_t>(bytes >> 20));
    return text;
}

std::string MemoryText() {
    return MemoryText(platform::PhysicalMemoryBytes());
}

OsValues CurrentOsValues() {
    const std::map<std::string, std::string> release = platform::OsRelease();
    const platform::KernelInfo kernel = platform::RunningKernel();
    OsValues values;
    values.productName = Field(release, "PRETTY_NAME");
    if (values.productName.empty()) {
        values.productName = Field(release, "NAME");
    }
    values.currentVersion = Field(release, "VERSION_ID");
    values.currentBuild = kernel.release;
    values.installationType = Field(release, "VARIANT");
    values.editionId = Field(release, "VARIANT_ID");
    values.currentType = kernel.version;
    return values;
}

std::string OperatingSystemText(const OsValues& values) {
    const std::string missing = kMissing;
    return "OS: " + OrMissing(values.productName, missing) +
           ", VER: " + OrMissing(values.currentVersion, missing) +
           ", BLD: " + OrMissing(values.currentBuild, missing) +
           ", TYP: " + OrMissing(values.installationType, missing) +
           ", EDT: " + OrMissing(values.editionId, missing) +
           ", MPS: " + OrMissing(values.currentType, missing) + ".";
}

std::string OperatingSystemText() {
    return OperatingSystemText(CurrentOsValues());
}

std::string VersionText(const std::string& version, const zelmisc::LogTime* lastWrite) {
    char date[zelmisc::kDateTextSize] = {};
    char time[kClockTextSize] = {};
    if (lastWrite != nullptr) {
        zelmisc::FormatDate(*lastWrite, date, sizeof date);
        if (lastWrite->hour <= 23 && lastWrite->minute <= 59 && lastWrite->second <= 59) {
            std::snprintf(time, sizeof time, "%.2d:%.2d:%.2d", lastWrite->hour, lastWrite->minute,
                          lastWrite->second);
        }
    }
    return "Version: " + Cut(version) + " (" + date + " " + time + ")";
}

std::string VersionText() {
    const std::string executable = platform::ExecutablePath();
    std::int64_t seconds = 0;
    platform::CivilTime civil;
    if (executable.empty() || !platform::FileLastWriteTime(executable, seconds) ||
        !platform::LocalCivilTime(seconds, civil)) {
        return VersionText(kProgramVersion, nullptr);
    }
    const zelmisc::LogTime lastWrite = zelmisc::detail::ComposeLogTime(civil, 0);
    return VersionText(kProgramVersion, &lastWrite);
}

std::string ComputerText(const std::string& computer, const std::string& user,
                         const std::string& module) {
    return "Computer: " + Cut(computer) + ", User: " + Cut(user) + ", Module: " + Cut(module);
}

std::string ComputerText() {
    return ComputerText(platform::HostName(), platform::EffectiveUserName(),
                        platform::ExecutablePath());
}

}  // namespace ZelLog

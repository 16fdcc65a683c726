// The five information texts of the log's start-up banner: processor, memory,
// operating system, version and computer. The composing functions take the
// facts; the ones without arguments read the system anew at each call. A fact
// that cannot be read shows its fallback: 0, "n/a" or the empty text.
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/log_time.h"

namespace ZelLog {

// The project version compiled in; empty for a build without one.
extern const char* const kProgramVersion;

// "AMD64" for "x86_64", "i586Pro" for "i686", ...; empty for an architecture
// the table does not name.
std::string ArchitectureName(const std::string& machine);

// "8 x AMD64 2995 MHz"
std::string ProcessorText(unsigned processors, const std::string& machine, unsigned long mhz);
std::string ProcessorText();

// "15934 MB": the bytes shifted right by 20.
std::string MemoryText(std::uint64_t bytes);
std::string MemoryText();

// The six values of the operating-system text, in its order.
struct OsValues {
    std::string productName;       // os-release PRETTY_NAME (else NAME)
    std::string currentVersion;    // os-release VERSION_ID
    std::string currentBuild;      // kernel release
    std::string installationType;  // os-release VARIANT
    std::string editionId;         // os-release VARIANT_ID
    std::string currentType;       // kernel version ("#1 SMP PREEMPT_DYNAMIC ...")
};
OsValues CurrentOsValues();
// "OS: Debian GNU/Linux 12 (bookworm), VER: 12, BLD: 6.1.0-18-amd64, TYP: n/a,
// EDT: n/a, MPS: #1 SMP ...": an empty value shows as "n/a".
std::string OperatingSystemText(const OsValues& values);
std::string OperatingSystemText();

// "Version: 1.0.0 (18-12-18 10:55:56)" with the executable's last write in
// local time; |lastWrite| null (unknown) leaves date and time empty.
std::string VersionText(const std::string& version, const zelmisc::LogTime* lastWrite);
std::string VersionText();

// "Computer: till-04, User: pos, Module: /opt/tapscope/bin/tapscope"; each
// part is cut to kMaxInfoLength characters.
std::string ComputerText(const std::string& computer, const std::string& user,
                         const std::string& module);
std::string ComputerText();

constexpr std::size_t kMaxInfoLength = 259;

}  // namespace ZelLog

// SystemInfo: the facts about the machine, the system and the running program
// that the log's start-up banner describes. Each call reads the system anew;
// a fact that cannot be read gives its empty value (0 or the empty text).
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tapscope::platform {

// The full path of the running executable (/proc/self/exe).
std::string ExecutablePath();
// The last write time of |path| in seconds since 1970 (UTC); false when the
// file cannot be examined.
bool FileLastWriteTime(const std::string& path, std::int64_t& seconds);

// Logical processors in the system.
unsigned LogicalProcessorCount();
// The machine's architecture as the kernel names it ("x86_64", "i686",
// "aarch64"); the kernel's, also for a 32-bit program on a 64-bit kernel.
std::string MachineArchitecture();
// The processor's rated clock in MHz: cpufreq's base or highest frequency of
// processor 0, else the first "cpu MHz" of /proc/cpuinfo, rounded; 0 when
// neither is available.
unsigned long ProcessorClockMhz();
// Total physical memory in bytes.
std::uint64_t PhysicalMemoryBytes();

// The running kernel's release ("6.1.0-18-amd64") and version ("#1 SMP
// PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)").
struct KernelInfo {
    std::string release;
    std::string version;
};
KernelInfo RunningKernel();

// The fields of /etc/os-release (else /usr/lib/os-release), unquoted.
std::map<std::string, std::string> OsRelease();
// The fields of an os-release text: KEY=value lines, the value bare or quoted
// in "" (with \ escapes) or ''; comments and malformed lines are skipped.
std::map<std::string, std::string> ParseOsRelease(std::string_view text);

// The computer's host name.
std::string HostName();
// The name of the effective user from the passwd entry.
std::string EffectiveUserName();

}  // namespace tapscope::platform

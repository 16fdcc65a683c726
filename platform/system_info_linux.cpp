#include "platform/system_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace tapscope::platform {
namespace {

// Enough for any host name Linux allows (HOST_NAME_MAX is 64).
constexpr std::size_t kHostNameSize = 256;
constexpr std::size_t kPasswdBufferSize = 16384;
constexpr const char* kCpuFrequencyFiles[] = {
    "/sys/devices/system/cpu/cpu0/cpufreq/base_frequency",
    "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
};

bool ReadText(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The value part of an os-release line; false when it is malformed.
bool Unquote(std::string_view raw, std::string& value) {
    value.clear();
    if (raw.empty()) {
        return true;
    }
    const char quote = raw.front();
    if (quote != '"' && quote != '\'') {
        value.assign(raw);
        return raw.find_first_of(" \t\"'`$\\") == std::string_view::npos;
    }
    if (raw.size() < 2 || raw.back() != quote) {
        return false;
    }
    const std::string_view inner = raw.substr(1, raw.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (quote == '"' && inner[i] == '\\' && i + 1 < inner.size()) {
            value.push_back(inner[++i]);
        } else {
            value.push_back(inner[i]);
        }
    }
    return true;
}

}  // namespace

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    while (true) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool FileLastWriteTime(const std::string& path, std::int64_t& seconds) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    seconds = info.st_mtim.tv_sec;
    return true;
}

unsigned LogicalProcessorCount() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<unsigned>(count) : 0;
}

std::string MachineArchitecture() {
    struct utsname names {};
    return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

unsigned long ProcessorClockMhz() {
    std::string text;
    for (const char* file : kCpuFrequencyFiles) {
        if (ReadText(file, text)) {
            const unsigned long kilohertz = std::strtoul(text.c_str(), nullptr, 10);
            if (kilohertz > 0) {
                return (kilohertz + 500) / 1000;
            }
        }
    }
    if (!ReadText("/proc/cpuinfo", text)) {
        return 0;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("cpu MHz", 0) != 0) {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const double mhz = std::strtod(line.c_str() + colon + 1, nullptr);
        if (mhz > 0 && std::isfinite(mhz)) {
            return static_cast<unsigned long>(std::lround(mhz));
        }
    }
    return 0;
}

std::uint64_t PhysicalMemoryBytes() {
    struct sysinfo info {};
    if (::sysinfo(&info) == 0 && info.totalram > 0) {
        return static_cast<std::uint64_t>(info.totalram) * (info.mem_unit > 0 ? info.mem_unit : 1);
    }
    std::string text;
    if (!ReadText("/proc/meminfo", text)) {
        return 0;
    }
    const std::size_t at = text.find("MemTotal:");
    if (at == std::string::npos) {
        return 0;
    }
    return std::strtoull(text.c_str() + at + 9, nullptr, 10) * 1024;
}

KernelInfo RunningKernel() {
    struct utsname names {};
    if (::uname(&names) != 0) {
        return {};
    }
    return KernelInfo{names.release, names.version};
}

std::map<std::string, std::string> ParseOsRelease(std::string_view text) {
    std::map<std::string, std::string> fields;
    std::string value;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = TrimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == 0 || equals == std::string_view::npos) {
            continue;
        }
        if (Unquote(line.substr(equals + 1), value)) {
            fields[std::string(line.substr(0, equals))] = value;
        }
    }
    return fields;
}

std::map<std::string, std::string> OsRelease() {
    std::string text;
    if (ReadText("/etc/os-release", text) || ReadText("/usr/lib/os-release", text)) {
        return ParseOsRelease(text);
    }
    return {};
}

std::string HostName() {
    char name[kHostNameSize] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string EffectiveUserName() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested)
                                           : kPasswdBufferSize);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_name == nullptr) {
        return {};
    }
    return found->pw_name;
}

}  // namespace tapscope::platform

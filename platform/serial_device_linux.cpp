#include "platform/serial_device.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace tapscope::platform {
namespace {

// COM1 to COM255, the range of port numbers a Windows port name can carry.
constexpr int kFirstComNumber = 1;
constexpr int kLastComNumber = 255;

// The number n of a name "COMn" (any letter case, no sign, no leading zero),
// or 0 when |name| is not such a name.
int ComNumber(std::string_view name) {
    constexpr std::string_view kPrefix = "com";
    if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 3) {
        return 0;
    }
    for (std::size_t i = 0; i < kPrefix.size(); ++i) {
        const char c = name[i];
        if (c != kPrefix[i] && c != kPrefix[i] - 'a' + 'A') {
            return 0;
        }
    }
    const std::string_view digits = name.substr(kPrefix.size());
    if (digits[0] == '0') {
        return 0;
    }
    int number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + (c - '0');
    }
    return number >= kFirstComNumber && number <= kLastComNumber ? number : 0;
}

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string HomeFolder() {
    std::string home = NonEmptyEnv("HOME");
    if (!home.empty()) {
        return home;
    }
    // getpwuid_r: another thread may use getpwuid at the same time. The
    // buffer holds the entry's strings; 4 KiB is ample for any passwd line.
    constexpr std::size_t kPasswdBufferSize = 4096;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[kPasswdBufferSize];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

}  // namespace

std::string SerialDeviceFolder() {
    std::string folder = NonEmptyEnv("TAPSCOPE_DEVICES");
    if (!folder.empty()) {
        return folder;
    }
    // A relative $XDG_CONFIG_HOME is invalid and is ignored, as the XDG base
    // directory rules ask.
    const std::string config = NonEmptyEnv("XDG_CONFIG_HOME");
    const std::string base =
        !config.empty() && config[0] == '/' ? config : HomeFolder() + "/.config";
    return base + "/tapscope/devices";
}

std::string SerialDevicePath(const std::string& name) {
    const int number = ComNumber(name);
    if (number == 0) {
        return name;
    }
    const std::string link = SerialDeviceFolder() + "/com" + std::to_string(number);
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(link, error))) {
        return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace tapscope::platform

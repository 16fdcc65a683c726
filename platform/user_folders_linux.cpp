#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tapscope::platform {
namespace {

// Room for a passwd entry's strings when the system suggests no size.
constexpr std::size_t kPasswdBufferSize = 16384;

std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    // Relative paths are invalid in the XDG variables and are ignored.
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string UnderHome(const char* relative) {
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + relative;
}

}  // namespace

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested)
                                           : kPasswdBufferSize);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

std::string UserConfigFolder() {
    std::string folder = AbsoluteFromEnvironment("XDG_CONFIG_HOME");
    return folder.empty() ? UnderHome("/.config") : folder;
}

std::string UserStateFolder() {
    std::string folder = AbsoluteFromEnvironment("XDG_STATE_HOME");
    return folder.empty() ? UnderHome("/.local/state") : folder;
}

}  // namespace tapscope::platform

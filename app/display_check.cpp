#include "app/display_check.h"

#include <string_view>

namespace tapscope::app {
namespace {

bool IsSet(const char* value) {
    return value != nullptr && value[0] != '\0';
}

}  // namespace

bool DisplayAvailable(const std::function<const char*(const char*)>& getEnv) {
    const bool x11 = IsSet(getEnv("DISPLAY"));
    const bool wayland = IsSet(getEnv("WAYLAND_DISPLAY"));
    const char* platforms = getEnv("QT_QPA_PLATFORM");
    if (!IsSet(platforms)) {
        return x11 || wayland;
    }
    // "wayland;xcb" tries each in turn; "vnc:size=800x600" carries options.
    std::string_view rest(platforms);
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        entry = entry.substr(0, entry.find(':'));
        if (entry.empty()) {
            continue;
        }
        if (entry.starts_with("xcb")) {
            if (x11) {
                return true;
            }
        } else if (entry.starts_with("wayland")) {
            if (wayland) {
                return true;
            }
        } else {
            return true;
        }
    }
    return false;
}

std::string NoDisplayText(const std::string& why) {
    return "tapscope: there is no display to open the capture window on (" + why +
           ").\n"
           "Capture on the command line instead, for example:\n"
           "  tapscope capture udp --ip 0.0.0.0 --port 9000 -o capture.bin\n"
           "See 'tapscope --help' for every transport and option.\n";
}

}  // namespace tapscope::app

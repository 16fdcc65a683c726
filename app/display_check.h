// Whether the window has a display to open on, decided before Qt is asked:
// without one, Qt's platform plugin ends the process with SIGABRT and a text
// about plugins, which tells a person at an SSH prompt nothing useful.
//
// Qt's desktop platforms on Linux need a display server: xcb the X server in
// DISPLAY, wayland the compositor in WAYLAND_DISPLAY. With QT_QPA_PLATFORM
// unset, Qt picks one of them, so either variable will do. Any other platform
// named there (offscreen, vnc, eglfs, ...) needs no display and is left to Qt.
#pragma once

#include <functional>
#include <string>

namespace tapscope::app {

// |getEnv| reads one environment variable (nullptr or "" when unset).
bool DisplayAvailable(const std::function<const char*(const char*)>& getEnv);

// What to tell a person whose window cannot open (|why|, for example "neither
// DISPLAY nor WAYLAND_DISPLAY is set"), and where to go instead.
std::string NoDisplayText(const std::string& why);

}  // namespace tapscope::app

// SerialDevice: where a Windows port name such as "COM3" lives on this machine.
//
// A name "COMn" (n from 1 to 255, any letter case) opens the device that the
// per-user device folder maps it to: a symlink "comN" in the folder that
// $TAPSCOPE_DEVICES names, else in $XDG_CONFIG_HOME/tapscope/devices (default
// ~/.config/tapscope/devices), the way Wine maps its dosdevices. Without such
// a link, COMn is /dev/ttyS(n-1). Any other name, such as /dev/ttyUSB0, is a
// path and is opened as given.
//
// Every function may be called from any thread; they read the environment.
#pragma once

#include <string>

namespace tapscope::platform {

// The folder that holds the comN links.
std::string SerialDeviceFolder();

// The path to open for |name|: "COM3" -> "<folder>/com3" when that link
// exists (even dangling, so that opening it names the broken link), else
// "/dev/ttyS2"; "/dev/ttyUSB0" -> "/dev/ttyUSB0".
std::string SerialDevicePath(const std::string& name);

}  // namespace tapscope::platform

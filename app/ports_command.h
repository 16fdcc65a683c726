// "tapscope ports": the serial ports of this machine on the console, each
// with its stable name, device, description, the COMn names that open it and
// who holds it now, so that a technician can pick the name to capture from.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace tapscope::app {

// The listing of |ports|; |holders| gives, for a device, who has it open
// ("minicom (pid 4242)", or "" for nobody).
std::string PortsText(const std::vector<platform::SerialPortInfo>& ports,
                      const std::function<std::string(const std::string&)>& holders);

// Lists the ports on standard output (a note on standard error when udev
// could not be asked); returns the exit status, 0.
int RunPorts();

}  // namespace tapscope::app

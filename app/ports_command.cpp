#include "app/ports_command.h"

#include <iostream>

#include "platform/serial_line.h"

namespace tapscope::app {

// One block per port, the name to give first:
//
//   /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12B3C-if00-port0
//     device:  /dev/ttyUSB0 (ttyUSB0, driver ftdi_sio, USB 0403:6001)
//     what:    FTDI FT232R USB UART (A12B3C) - /dev/ttyUSB0
//     by-path: /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0
//     COM:     COM3
//     held by: nobody
std::string PortsText(const std::vector<platform::SerialPortInfo>& ports,
                      const std::function<std::string(const std::string&)>& holders) {
    if (ports.empty()) {
        return "no serial ports found\n";
    }
    std::string text;
    for (const platform::SerialPortInfo& port : ports) {
        if (!text.empty()) {
            text += "\n";
        }
        text += port.StablePath() + "\n";
        std::string facts = port.kernelName;
        if (!port.driver.empty()) {
            facts += ", driver " + port.driver;
        }
        if (!port.vendorId.empty()) {
            facts += ", USB " + port.vendorId + ":" + port.productId;
        }
        text += "  device:  " + port.device + (facts.empty() ? "" : " (" + facts + ")") + "\n";
        text += "  what:    " + port.Description() + "\n";
        if (!port.byId.empty() && !port.byPath.empty()) {
            text += "  by-path: " + port.byPath + "\n";
        }
        std::string com;
        for (const std::string& name : port.comNames) {
            com += (com.empty() ? "" : ", ") + name;
        }
        text += "  COM:     " + (com.empty() ? std::string("none") : com) + "\n";
        const std::string held = holders(port.device);
        text += "  held by: " + (held.empty() ? std::string("nobody") : held) + "\n";
    }
    return text;
}

int RunPorts() {
    std::string problem;
    const std::vector<platform::SerialPortInfo> ports = platform::ListSerialPorts(&problem);
    if (!problem.empty()) {
        std::cerr << "tapscope: " << problem << "; only the COM links are listed\n";
    }
    std::cout << PortsText(ports, [](const std::string& device) {
        return platform::DescribeHolders(platform::FindDeviceHolders(device));
    });
    return 0;
}

}  // namespace tapscope::app

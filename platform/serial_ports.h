// The serial ports of this machine as a technician meets them: the device
// (/dev/ttyUSB0), the stable names udev makes for it
// (/dev/serial/by-id/..., /dev/serial/by-path/...) that survive a re-plug,
// what it is (driver, USB maker, product and serial number), and which COMn
// names lead to it.
//
// Devices come from udev's view of the tty subsystem (libudev); where udev's
// daemon does not run (a container), the stable names are read from the
// /dev/serial folders themselves, and a machine without udev simply lists no
// udev devices. Every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace tapscope::platform {

struct SerialPortInfo {
    std::string device;        // "/dev/ttyUSB0"
    std::string kernelName;    // "ttyUSB0"
    std::string driver;        // "ftdi_sio", "serial8250"; may be empty
    std::string byId;          // "/dev/serial/by-id/usb-FTDI_..._A12B3C-if00-port0"; may be empty
    std::string byPath;        // "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"
    std::string vendorId;      // USB ids in hexadecimal, "0403"; empty for other buses
    std::string productId;     // "6001"
    std::string manufacturer;  // "FTDI"
    std::string product;       // "FT232R USB UART"
    std::string serial;        // "A12B3C"
    std::vector<std::string> comNames;  // "COM3": the COM names that open this device

    // The name to store for this device: by-id, else by-path, else the device.
    std::string StablePath() const;
    // "FTDI FT232R USB UART (A12B3C) - /dev/ttyUSB0"; without USB facts the
    // driver stands in: "serial8250 - /dev/ttyS0".
    std::string Description() const;
};

// The serial ports udev knows (the real ones: virtual terminals,
// pseudo-terminals and legacy UART slots that hold no UART are left out),
// then any device a COMn link of the device folder points to that udev did
// not list (a pseudo-terminal, say), ordered by device. Never fails: what
// cannot be learned stays empty, and |problem| (when given) says why udev
// could not be asked.
std::vector<SerialPortInfo> ListSerialPorts(std::string* problem = nullptr);

// The link in |folder| that leads to the same device as |device| (the first
// by name), or "" when none does.
//   FindLinkTo("/dev/serial/by-id", "/dev/ttyUSB0")
std::string FindLinkTo(const std::string& folder, const std::string& device);

// "COM3" for every COMn (1 to 255) that opens the same device as |device|,
// through the device folder's links or the /dev/ttyS(n-1) default.
std::vector<std::string> ComNamesFor(const std::string& device);

// Whether |path| (a link is followed) is a character device now.
bool IsCharacterDevice(const std::string& path);

// The USB serial number of the device at |path| (a link is followed), or ""
// when it has none or udev cannot tell.
std::string UsbSerialOf(const std::string& path);

}  // namespace tapscope::platform

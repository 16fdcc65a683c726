#include "platform/serial_ports.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/serial_device.h"

namespace tapscope::platform {
namespace {

constexpr int kFirstComNumber = 1;
constexpr int kLastComNumber = 255;

constexpr const char* kById = "/dev/serial/by-id";
constexpr const char* kByPath = "/dev/serial/by-path";

struct UdevDeleter {
    void operator()(udev* handle) const { udev_unref(handle); }
    void operator()(udev_enumerate* handle) const { udev_enumerate_unref(handle); }
    void operator()(udev_device* handle) const { udev_device_unref(handle); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

// The device number of the character device at |path| (links followed).
bool DeviceNumber(const std::string& path, dev_t& number) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return false;
    }
    number = status.st_rdev;
    return true;
}

bool SameDevice(const std::string& a, const std::string& b) {
    dev_t first = 0;
    dev_t second = 0;
    return DeviceNumber(a, first) && DeviceNumber(b, second) && first == second;
}

// The USB facts of |device|, from its USB device ancestor's attributes; the
// parent pointers belong to |device| and are not released.
void FillUsb(udev_device* device, SerialPortInfo& info) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (usb == nullptr) {
        return;
    }
    info.vendorId = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    info.productId = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    info.manufacturer = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
    info.product = Text(udev_device_get_sysattr_value(usb, "product"));
    info.serial = Text(udev_device_get_sysattr_value(usb, "serial"));
}

// The driver of the nearest ancestor that has one. The kernel's serial-base
// bus ("port" on 8250 UARTs) sits between a UART and its tty and says
// nothing; the UART's own driver is the one a technician knows.
std::string DriverOf(udev_device* device) {
    for (udev_device* parent = udev_device_get_parent(device); parent != nullptr;
         parent = udev_device_get_parent(parent)) {
        const char* driver = udev_device_get_driver(parent);
        if (driver != nullptr && Text(udev_device_get_subsystem(parent)) != "serial-base") {
            return driver;
        }
    }
    return {};
}

// Whether the tty |device| is a serial port: it hangs off real hardware (not
// /sys/devices/virtual: consoles, ptmx), and when the driver reports a UART
// type, the slot holds a UART (type 0 is an empty legacy ttyS slot).
bool IsSerialPort(udev_device* device) {
    const std::string syspath = Text(udev_device_get_syspath(device));
    if (syspath.find("/devices/virtual/") != std::string::npos ||
        udev_device_get_devnode(device) == nullptr) {
        return false;
    }
    const char* type = udev_device_get_sysattr_value(device, "type");
    return type == nullptr || std::string_view(type) != "0";
}

std::vector<SerialPortInfo> UdevPorts(std::string* problem) {
    std::vector<SerialPortInfo> ports;
    UdevPtr<udev> context(udev_new());
    if (context == nullptr) {
        if (problem != nullptr) {
            *problem = "udev is not available";
        }
        return ports;
    }
    UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (enumerate == nullptr || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
        if (problem != nullptr) {
            *problem = "udev cannot list the tty devices";
        }
        return ports;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (device == nullptr || !IsSerialPort(device.get())) {
            continue;
        }
        SerialPortInfo info;
        info.device = Text(udev_device_get_devnode(device.get()));
        info.kernelName = Text(udev_device_get_sysname(device.get()));
        info.driver = DriverOf(device.get());
        FillUsb(device.get(), info);
        // udev's database knows the links it made; without its daemon the
        // folders themselves tell.
        udev_list_entry* link = nullptr;
        udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(device.get())) {
            const std::string name = Text(udev_list_entry_get_name(link));
            if (info.byId.empty() && name.rfind(std::string(kById) + "/", 0) == 0) {
                info.byId = name;
            } else if (info.byPath.empty() && name.rfind(std::string(kByPath) + "/", 0) == 0) {
                info.byPath = name;
            }
        }
        if (info.byId.empty()) {
            info.byId = FindLinkTo(kById, info.device);
        }
        if (info.byPath.empty()) {
            info.byPath = FindLinkTo(kByPath, info.device);
        }
        ports.push_back(std::move(info));
    }
    return ports;
}

}  // namespace

std::string SerialPortInfo::StablePath() const {
    return !byId.empty() ? byId : !byPath.empty() ? byPath : device;
}

std::string SerialPortInfo::Description() const {
    std::string what = manufacturer;
    if (!product.empty()) {
        what += (what.empty() ? "" : " ") + product;
    }
    if (what.empty() && !vendorId.empty()) {
        what = "USB " + vendorId + ":" + productId;
    }
    if (!what.empty() && !serial.empty()) {
        what += " (" + serial + ")";
    }
    if (what.empty()) {
        what = driver;
    }
    return what.empty() ? device : what + " - " + device;
}

std::string FindLinkTo(const std::string& folder, const std::string& device) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<std::string> matches;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_symlink(error) && SameDevice(it->path().string(), device)) {
            matches.push_back(it->path().string());
        }
    }
    std::sort(matches.begin(), matches.end());
    return matches.empty() ? std::string() : matches.front();
}

std::vector<std::string> ComNamesFor(const std::string& device) {
    std::vector<std::string> names;
    dev_t wanted = 0;
    if (!DeviceNumber(device, wanted)) {
        return names;
    }
    for (int number = kFirstComNumber; number <= kLastComNumber; ++number) {
        const std::string name = "COM" + std::to_string(number);
        dev_t found = 0;
        if (DeviceNumber(SerialDevicePath(name), found) && found == wanted) {
            names.push_back(name);
        }
    }
    return names;
}

bool IsCharacterDevice(const std::string& path) {
    dev_t number = 0;
    return DeviceNumber(path, number);
}

std::string UsbSerialOf(const std::string& path) {
    dev_t number = 0;
    if (!DeviceNumber(path, number)) {
        return {};
    }
    UdevPtr<udev> context(udev_new());
    if (context == nullptr) {
        return {};
    }
    UdevPtr<udev_device> device(udev_device_new_from_devnum(context.get(), 'c', number));
    if (device == nullptr) {
        return {};
    }
    SerialPortInfo info;
    FillUsb(device.get(), info);
    return info.serial;
}

std::vector<SerialPortInfo> ListSerialPorts(std::string* problem) {
    std::vector<SerialPortInfo> ports = UdevPorts(problem);
    // Devices the COM links lead to that udev did not list.
    for (int number = kFirstComNumber; number <= kLastComNumber; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const std::string path = SerialDevicePath(name);
        if (path.rfind("/dev/ttyS", 0) == 0) {
            continue;  // the default mapping, not a link someone made
        }
        std::error_code error;
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (error || !SameDevice(target.string(), target.string())) {
            continue;  // dangling, or not a character device
        }
        const bool known = std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& port) {
            return SameDevice(port.device, target.string());
        });
        if (!known) {
            SerialPortInfo info;
            info.device = target.string();
            info.kernelName = target.filename().string();
            ports.push_back(std::move(info));
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.device < b.device; });
    for (SerialPortInfo& port : ports) {
        port.comNames = ComNamesFor(port.device);
    }
    return ports;
}

}  // namespace tapscope::platform

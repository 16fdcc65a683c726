#include "platform/device_monitor.h"

#include <libudev.h>

#include <string_view>

namespace tapscope::platform {

DeviceMonitor::DeviceMonitor() {
    m_udev = udev_new();
    if (m_udev == nullptr) {
        return;
    }
    // "udev": events after udev has made the device node and its links, so
    // that a stable name exists by the time we hear of it.
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        return;
    }
    m_fd = udev_monitor_get_fd(m_monitor);
}

DeviceMonitor::~DeviceMonitor() {
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
    }
}

bool DeviceMonitor::TakeEvents() {
    bool added = false;
    if (m_monitor == nullptr) {
        return added;
    }
    // The monitor's socket is non-blocking: receive returns null once the
    // waiting events are read.
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const char* action = udev_device_get_action(device);
        if (action != nullptr && std::string_view(action) == "add") {
            added = true;
        }
        udev_device_unref(device);
    }
    return added;
}

}  // namespace tapscope::platform

// DeviceMonitor: tells when a tty device appears (a serial adapter plugged
// in), from udev's event stream, so that a capture waiting for its device
// can look at once rather than at its next poll. Where udev's daemon does not
// run (a container) no event ever comes, and the waiting side relies on its
// poll alone.
//
// One thread at a time; the descriptor is watched by the caller (an Asio
// stream descriptor that releases it, never closes it).
#pragma once

struct udev;
struct udev_monitor;

namespace tapscope::platform {

class DeviceMonitor {
public:
    // Starts listening; Fd() is -1 when udev cannot be listened to.
    DeviceMonitor();
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Readable when events wait. Owned by the monitor.
    int Fd() const { return m_fd; }
    // Reads every waiting event; true when a tty device was added among them.
    bool TakeEvents();

private:
    ::udev* m_udev = nullptr;
    ::udev_monitor* m_monitor = nullptr;
    int m_fd = -1;
};

}  // namespace tapscope::platform

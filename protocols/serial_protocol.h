// SerialProtocol: captures what a device sends on a serial port. It opens the
// port named in the settings document ("COM3", or a path such as
// /dev/ttyUSB0; see platform/serial_device.h), applies the line settings and
// reads one byte at a time, handing each byte on as soon as it arrives (with
// SetReadSize, each read takes whatever has arrived up to that many bytes). It
// never writes to the port and uses no flow control.
//
// The line is ours alone: a port that another program has open is refused
// with that program named, and once open it is locked against a second
// opener. The driver's line error counters (where it keeps them) are read
// every second and changes are reported as loss events.
//
// With SetReconnect, a device that goes away (unplugged, or its far end gone)
// does not end the capture: the transport reports kDeviceGone, waits for the
// same device (the same path, such as a by-id name or a COM link, and the same
// USB serial number when it had one), opens it again with the same line
// settings and reports kDeviceBack.
//
// Threading as for every transport (abstract_protocol.h): Start and Stop on
// the caller's thread, completions on the io_context's thread, the state
// below under m_lock.
#pragma once

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_monitor.h"
#include "platform/serial_line.h"
#include "protocols/abstract_protocol.h"
#include "protocols/detail/drain_state.h"

class SerialProtocol : public AbstractProtocol,
                       public std::enable_shared_from_this<SerialProtocol> {
public:
    SerialProtocol(boost::asio::io_context& ioService, const std::string& settings);
    ~SerialProtocol() override;

    // The largest read size SetReadSize accepts.
    static constexpr std::size_t kLargestReadSize = 64 * 1024;

    // Before Start: wait for a device that goes away rather than end.
    void SetReconnect(bool reconnect);
    // Before Start: each read takes what the driver holds, up to |bytes|
    // (1 to kLargestReadSize; 1 by default), without waiting for more.
    void SetReadSize(std::size_t bytes);

    bool Start() override;
    void Stop() override;
    // Cancels the pending read and, once its completion has been handled,
    // delivers what the driver holds in its input queue.
    void Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) override;

    // Completion of one read.
    void HandleRead(const boost::system::error_code& error, std::size_t count);

private:
    struct LineSettings {
        std::string name;  // as the document gives it, "COM3"
        int baudRate = 0;
        int characterSize = 0;
        int parity = 0;
        int stopBits = 0;
    };

    // Opens |device| (the path |name| maps to) for us alone; throws with the
    // text the operator sees.
    void OpenLocked(const std::string& name, const std::string& device);
    // Applies the line settings after the baud rate; throws.
    void ConfigureLocked();
    void ArmReadLocked();
    // The drain's work, on the io_context's thread after the completion that
    // the cancel made.
    void DrainWaiting();
    void CloseLocked();

    // The device went away: close, report, wait.
    void DeviceGone(const std::string& reason);
    void ArmWaitLocked();
    void TryReopen();
    // The path to open for the device we wait for, or "" while it is absent
    // (or another device stands under its name).
    std::string FindDeviceLocked() const;

    void ArmCountersLocked();
    void ReadCounters();

    // "COM3 -> /dev/ttyUSB0", or the device alone when it was named so.
    std::string SourceLocked() const;

    std::mutex m_lock;
    boost::asio::serial_port m_port;                  // guarded by m_lock
    bool m_stopped = false;                           // guarded by m_lock
    tapscope::protocols::detail::DrainState m_drain;  // guarded by m_lock
    // What the drain reads at once; only the drain uses it.
    std::vector<char> m_drainBuffer;
    bool m_reconnect = false;  // guarded by m_lock
    LineSettings m_line;       // guarded by m_lock; set by Start
    // The path the name maps to, and the USB serial number of the device
    // when it was first opened ("" for none).
    std::string m_device;  // guarded by m_lock
    // The source of its blocks: set at Start, before the first read is
    // armed, and only read afterwards.
    BlockSource m_source;
    std::string m_usbSerial;  // guarded by m_lock
    bool m_waiting = false;   // guarded by m_lock
    // Why the last reopen failed, logged once per reason.
    std::string m_lastReopenFailure;  // guarded by m_lock

    boost::asio::steady_timer m_retryTimer;                        // guarded by m_lock
    boost::asio::steady_timer m_countersTimer;                     // guarded by m_lock
    std::unique_ptr<tapscope::platform::DeviceMonitor> m_monitor;  // guarded by m_lock
    // Watches m_monitor's descriptor; released, never closed, by us.
    boost::asio::posix::stream_descriptor m_monitorStream;  // guarded by m_lock
    bool m_monitorArmed = false;                            // guarded by m_lock
    // The counts at the last report since the line was opened.
    tapscope::platform::LineCounters m_counters;  // guarded by m_lock
};

// A serial capture, and what happens when its device goes away with
// reconnecting on:
//
//   Start: open (refused while another program holds the device), lock,
//          line settings, first counters, arm read
//   HandleRead ok     -> deliver the byte (or block), arm the next read
//   HandleRead error  -> without reconnect: message (the capture ends)
//                        with reconnect:    close, kDeviceGone, wait
//   wait: a udev "add" event or the retry timer -> TryReopen
//         TryReopen: the same path (and USB serial number) or, by that
//         number, wherever the device came back -> open, the same line
//         settings, kDeviceBack, arm read; absent or busy -> wait again
//   counters timer (every second, while open, where the driver keeps them)
//         -> kLoss with the line errors counted since the last look
//   Stop: cancel the timers and the wait, close the port
#include "protocols/serial_protocol.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "log/debug.h"
#include "platform/descriptors.h"
#include "platform/file.h"
#include "platform/serial_device.h"
#include "platform/serial_ports.h"

using boost::asio::serial_port_base;

namespace {

// The accepted values of the parity and stop-bits attributes: 0 to 2, in the
// order of serial_port_base's enumerations (none, odd, even; one, one and a
// half, two).
constexpr int kLastParity = 2;
constexpr int kLastStopBits = 2;
constexpr int kSmallestCharacterSize = 5;
constexpr int kLargestCharacterSize = 8;
// What the drain at the end of a capture reads at once: a driver's input
// queue holds 4 KiB.
constexpr std::size_t kDrainReadSize = 4096;

// How often a device that went away is looked for when no udev event says it
// is back (no udev daemon, or a device udev does not announce, such as a
// pseudo-terminal).
constexpr auto kReopenPeriod = std::chrono::milliseconds(250);
// How often the driver's line error counters are read.
constexpr auto kCountersPeriod = std::chrono::seconds(1);

// "open: Device or resource busy (/dev/ttyUSB0 for COM3): in use by minicom
// (pid 4242)": the operator learns which program to end.
std::string BusyText(const std::string& which, const std::string& device) {
    const std::vector<tapscope::platform::DeviceHolder> holders =
        tapscope::platform::FindDeviceHolders(device);
    const std::string reason =
        boost::system::system_error(
            boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy),
            "open")
            .what();
    return reason + " (" + which + "): in use by " +
           (holders.empty() ? std::string("another program")
                            : tapscope::platform::DescribeHolders(holders));
}

}  // namespace

SerialProtocol::SerialProtocol(boost::asio::io_context& ioService, const std::string& settings)
    : AbstractProtocol(ioService, settings),
      m_port(ioService),
      m_retryTimer(ioService),
      m_countersTimer(ioService),
      m_monitorStream(ioService) {}

SerialProtocol::~SerialProtocol() {
    // The descriptor belongs to the monitor, which closes it.
    if (m_monitorStream.is_open()) {
        m_monitorStream.release();
    }
}

void SerialProtocol::SetReconnect(bool reconnect) {
    std::lock_guard lock(m_lock);
    m_reconnect = reconnect;
}

void SerialProtocol::SetReadSize(std::size_t bytes) {
    std::lock_guard lock(m_lock);
    m_buffer.assign(std::clamp<std::size_t>(bytes, 1, kLargestReadSize), 0);
}

bool SerialProtocol::Start() {
    if (m_settings.empty()) {
        return false;
    }
    std::string failure;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped) {
            return false;  // a transport is started at most once
        }
        try {
            // Every attribute is required; a missing or non-numeric one throws
            // the property tree's error, which names the path or conversion.
            LineSettings line;
            line.name = m_settings.get<std::string>("settings.<xmlattr>.port");
            line.baudRate = m_settings.get<int>("settings.<xmlattr>.baudrate");
            line.characterSize = m_settings.get<int>("settings.<xmlattr>.charsize");
            line.parity = m_settings.get<int>("settings.<xmlattr>.parity");
            if (line.parity < 0 || line.parity > kLastParity) {
                throw std::out_of_range("invalid parity value");
            }
            line.stopBits = m_settings.get<int>("settings.<xmlattr>.stopbits");
            if (line.stopBits < 0 || line.stopBits > kLastStopBits) {
                throw std::out_of_range("invalid stop_bits value");
            }
            m_line = line;
            m_device = tapscope::platform::SerialDevicePath(line.name);
            OpenLocked(line.name, m_device);
            if (m_device != line.name) {
                ZelLog::Log()->Trace("Port [%s] is [%s]", line.name.c_str(), m_device.c_str());
            }
            ConfigureLocked();
            ZelLog::Log()->Trace("Connect to [%s] with BaudRate = [%i] and CharSize = [%i]",
                                 line.name.c_str(), line.baudRate, line.characterSize);
            // A device that comes back under another kernel name is known by
            // this number.
            m_usbSerial = tapscope::platform::UsbSerialOf(m_device);
            m_source.kind = BlockSource::Kind::kSerial;
            m_source.name = SourceLocked();
            m_source.device = m_device;
            ArmCountersLocked();
            ArmReadLocked();
            return true;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    ReportMessage(weak_from_this().lock(), failure);
    return false;
}

void SerialProtocol::OpenLocked(const std::string& name, const std::string& device) {
    // The library's text, with the device it tried: the operator chose
    // "COM3" and should learn which file that was on this machine.
    //   "open: No such file or directory (/dev/ttyS2 for COM3)"
    const std::string which = device == name ? device : device + " for " + name;
    // A line that another program reads would share its bytes with us: each
    // byte reaches only one reader. Refuse it rather than capture half.
    if (!tapscope::platform::FindDeviceHolders(device).empty()) {
        throw std::runtime_error(BusyText(which, device));
    }
    boost::system::error_code error;
    m_port.open(device, error);
    if (error == boost::system::errc::device_or_resource_busy) {
        throw std::runtime_error(BusyText(which, device));
    }
    if (error) {
        throw std::runtime_error(std::string(boost::system::system_error(error, "open").what()) +
                                 " (" + which + ")");
    }
    // From now on no second tapScope (nor a program that locks the same way,
    // nor an unprivileged terminal program) can open the line beside us.
    int lockError = 0;
    if (!tapscope::platform::TakeLineExclusively(m_port.native_handle(), lockError)) {
        boost::system::error_code ignored;
        m_port.close(ignored);
        if (lockError == EWOULDBLOCK) {
            throw std::runtime_error(BusyText(which, device));
        }
        throw std::runtime_error("flock: " + tapscope::platform::ErrorText(lockError) + " (" +
                                 which + ")");
    }
}

void SerialProtocol::ConfigureLocked() {
    m_port.set_option(serial_port_base::baud_rate(static_cast<unsigned int>(m_line.baudRate)));
    // Checked only now: the port is open and its baud rate set.
    if (m_line.characterSize < kSmallestCharacterSize ||
        m_line.characterSize > kLargestCharacterSize) {
        throw std::out_of_range("invalid character_size value");
    }
    m_port.set_option(
        serial_port_base::character_size(static_cast<unsigned int>(m_line.characterSize)));
    m_port.set_option(
        serial_port_base::parity(static_cast<serial_port_base::parity::type>(m_line.parity)));
    m_port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none));
    m_port.set_option(serial_port_base::stop_bits(
        static_cast<serial_port_base::stop_bits::type>(m_line.stopBits)));
}

void SerialProtocol::ArmReadLocked() {
    auto handler = [self = shared_from_this()](const boost::system::error_code& error,
                                               std::size_t count) {
        self->HandleRead(error, count);
    };
    if (m_buffer.size() == 1) {
        // Completes after exactly one byte, or on an error.
        boost::asio::async_read(m_port, boost::asio::buffer(m_buffer), boost::asio::transfer_all(),
                                std::move(handler));
        return;
    }
    // Completes with what the driver holds, at least one byte and at most the
    // buffer's size, or on an error; it never waits for the buffer to fill.
    m_port.async_read_some(boost::asio::buffer(m_buffer), std::move(handler));
}

void SerialProtocol::CloseLocked() {
    m_countersTimer.cancel();
    if (!m_port.is_open()) {
        return;
    }
    boost::system::error_code ignored;
    m_port.cancel(ignored);
    tapscope::platform::ReleaseLine(m_port.native_handle());
    m_port.close(ignored);
}

void SerialProtocol::HandleRead(const boost::system::error_code& error, std::size_t count) {
    {
        std::lock_guard lock(m_lock);
        if (m_stopped) {
            return;  // the abort that Stop caused, or a byte that came too late
        }
    }
    if (error) {
        if (error == boost::asio::error::operation_aborted) {
            return;
        }
        {
            std::lock_guard lock(m_lock);
            if (m_drain.active) {
                ZelLog::Log()->Warning("COM Port read failed at the end of the capture: %s",
                                       error.message().c_str());
                return;
            }
        }
        bool reconnect = false;
        {
            std::lock_guard lock(m_lock);
            reconnect = m_reconnect;
            if (!reconnect) {
                // Nothing is read any more, so the counters are not either:
                // the io_context may run out of work.
                m_countersTimer.cancel();
            }
        }
        if (reconnect) {
            DeviceGone(error.message());
            return;
        }
        // The port stays open but is read no more.
        ReportMessage(shared_from_this(), error.message());
        return;
    }
    ZelLog::Log()->Trace("Success read [%i] symbols from COM Port", static_cast<int>(count));
    const unsigned int received = static_cast<unsigned int>(count);
    {
        const tapscope::protocols::SourceScope source(&m_source);
        m_dataSignal(shared_from_this(), m_buffer, received);
    }

    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped || m_drain.active) {
            return;  // stopped, or the drain takes the rest
        }
        try {
            ArmReadLocked();
        } catch (const std::exception& armError) {
            failure = armError.what();
        }
    }
    if (failure) {
        ReportMessage(shared_from_this(), *failure);
    }
}

void SerialProtocol::Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) {
    {
        std::lock_guard lock(m_lock);
        if (!m_stopped && !m_drain.active && m_port.is_open()) {
            m_drain.Begin(deadline, std::move(done));
            // The pending read completes (with the byte it already took, or
            // aborted) before the work posted below runs: both go through the
            // io_context's queue in this order, so nothing is reordered.
            boost::system::error_code ignored;
            m_port.cancel(ignored);
            boost::asio::post(m_ioService, [self = shared_from_this()] { self->DrainWaiting(); });
            return;
        }
    }
    AbstractProtocol::Drain(deadline, std::move(done));
}

void SerialProtocol::DrainWaiting() {
    DrainResult result;
    DrainDone done;
    std::chrono::steady_clock::time_point until;
    {
        std::lock_guard lock(m_lock);
        std::tie(until, done) = m_drain.Take();
    }
    m_drainBuffer.resize(kDrainReadSize);
    while (true) {
        long count = 0;
        int error = 0;
        bool ended = false;
        {
            std::lock_guard lock(m_lock);
            if (m_stopped || !m_port.is_open()) {
                break;
            }
            if (std::chrono::steady_clock::now() >= until) {
                result.leftBytes = tapscope::platform::QueuedInput(m_port.native_handle());
                break;
            }
            count = tapscope::platform::ReadWaiting(m_port.native_handle(), m_drainBuffer.data(),
                                                    m_drainBuffer.size(), error, ended);
        }
        if (count < 0) {
            ZelLog::Log()->Warning("COM Port read failed at the end of the capture: %s",
                                   tapscope::platform::ErrorText(error).c_str());
            break;
        }
        if (count == 0) {
            break;  // nothing more waits (or the device went away)
        }
        ZelLog::Log()->Trace("Success read [%i] symbols from COM Port", static_cast<int>(count));
        result.drainedBytes += static_cast<std::uint64_t>(count);
        const tapscope::protocols::SourceScope source(&m_source);
        m_dataSignal(shared_from_this(), m_drainBuffer, static_cast<unsigned int>(count));
    }
    if (done) {
        done(result);
    }
}

std::string SerialProtocol::SourceLocked() const {
    return m_line.name == m_device ? m_device : m_line.name + " -> " + m_device;
}

void SerialProtocol::DeviceGone(const std::string& reason) {
    TransportEvent event;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped || m_waiting) {
            return;
        }
        CloseLocked();
        m_waiting = true;
        m_lastReopenFailure.clear();
        if (m_monitor == nullptr) {
            m_monitor = std::make_unique<tapscope::platform::DeviceMonitor>();
            if (m_monitor->Fd() >= 0) {
                boost::system::error_code ignored;
                m_monitorStream.assign(m_monitor->Fd(), ignored);
            }
        }
        event.kind = TransportEvent::Kind::kDeviceGone;
        event.source = SourceLocked();
        event.text = "serial device " + event.source + " went away (" + reason +
                     "); waiting for it to come back";
        ArmWaitLocked();
    }
    ZelLog::Log()->Warning("%s", event.text.c_str());
    ReportEvent(shared_from_this(), event);
}

void SerialProtocol::ArmWaitLocked() {
    // Setting the expiry cancels a wait already pending; its handler sees
    // operation_aborted and leaves the new one alone.
    m_retryTimer.expires_after(kReopenPeriod);
    m_retryTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (!error) {
            self->TryReopen();
        }
    });
    if (m_monitorStream.is_open() && !m_monitorArmed) {
        m_monitorArmed = true;
        m_monitorStream.async_wait(
            boost::asio::posix::stream_descriptor::wait_read,
            [self = shared_from_this()](const boost::system::error_code& error) {
                {
                    std::lock_guard lock(self->m_lock);
                    self->m_monitorArmed = false;
                    if (error || self->m_stopped || !self->m_waiting) {
                        return;
                    }
                    // Any tty that appears is worth a look: its stable link
                    // exists by the time udev announces it.
                    self->m_monitor->TakeEvents();
                }
                self->TryReopen();
            });
    }
}

std::string SerialProtocol::FindDeviceLocked() const {
    // The same name (a by-id link, a COM link, or the kernel name that was
    // given), unless another adapter now stands under it.
    if (tapscope::platform::IsCharacterDevice(m_device) &&
        (m_usbSerial.empty() || tapscope::platform::UsbSerialOf(m_device) == m_usbSerial)) {
        return m_device;
    }
    // The same adapter under another kernel name: ttyUSB0 came back as
    // ttyUSB1.
    if (!m_usbSerial.empty()) {
        for (const tapscope::platform::SerialPortInfo& port :
             tapscope::platform::ListSerialPorts()) {
            if (port.serial == m_usbSerial) {
                return port.device;
            }
        }
    }
    return {};
}

void SerialProtocol::TryReopen() {
    TransportEvent event;
    std::string fatal;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped || !m_waiting) {
            return;
        }
        const std::string path = FindDeviceLocked();
        if (path.empty()) {
            ArmWaitLocked();
            return;
        }
        try {
            OpenLocked(m_line.name, path);
        } catch (const std::exception& error) {
            // Not yet usable (udev has not set its permissions, or another
            // program took it): look again later, and say why once.
            if (m_lastReopenFailure != error.what()) {
                m_lastReopenFailure = error.what();
                ZelLog::Log()->Warning("Serial device [%s] is back but cannot be opened: %s",
                                       SourceLocked().c_str(), m_lastReopenFailure.c_str());
            }
            ArmWaitLocked();
            return;
        }
        m_waiting = false;
        try {
            // The settings it took before; a device that refuses them now
            // cannot be captured as asked.
            ConfigureLocked();
            ArmCountersLocked();
            ArmReadLocked();
            event.kind = TransportEvent::Kind::kDeviceBack;
            event.source = SourceLocked();
            event.text = "serial device " + event.source + " is back" +
                         (path == m_device ? std::string() : " as " + path) + "; capturing again";
        } catch (const std::exception& error) {
            CloseLocked();
            fatal = error.what();
        }
    }
    if (!fatal.empty()) {
        ReportMessage(shared_from_this(), fatal);
        return;
    }
    ZelLog::Log()->Trace("%s", event.text.c_str());
    ReportEvent(shared_from_this(), event);
}

void SerialProtocol::ArmCountersLocked() {
    int error = 0;
    tapscope::platform::LineCounters now;
    switch (tapscope::platform::ReadLineCounters(m_port.native_handle(), now, error)) {
        case tapscope::platform::LineCountersResult::kRead:
            // The counts run from the open; a reopened line starts over.
            m_counters = now;
            break;
        case tapscope::platform::LineCountersResult::kUnsupported:
            return;  // a pseudo-terminal, or a driver that counts nothing
        case tapscope::platform::LineCountersResult::kFailed:
            ZelLog::Log()->Warning("Cannot read the line error counters of [%s]: %s",
                                   SourceLocked().c_str(),
                                   tapscope::platform::ErrorText(error).c_str());
            return;
    }
    m_countersTimer.expires_after(kCountersPeriod);
    m_countersTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (!error) {
            self->ReadCounters();
        }
    });
}

void SerialProtocol::ReadCounters() {
    TransportEvent event;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped || m_waiting || !m_port.is_open()) {
            return;
        }
        const tapscope::platform::LineCounters before = m_counters;
        ArmCountersLocked();
        const tapscope::platform::LineCounters change = before.ChangeTo(m_counters);
        if (change.Total() == 0) {
            return;
        }
        event.kind = TransportEvent::Kind::kLoss;
        event.source = SourceLocked();
        event.count = change.Total();
        event.unit = "line errors";
        event.text = "line errors on " + event.source + ": " + change.Text();
    }
    ZelLog::Log()->Warning("%s", event.text.c_str());
    ReportEvent(shared_from_this(), event);
}

void SerialProtocol::Stop() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        m_stopped = true;
        m_retryTimer.cancel();
        m_countersTimer.cancel();
        if (m_monitorStream.is_open()) {
            boost::system::error_code ignored;
            m_monitorStream.cancel(ignored);
        }
        if (!m_port.is_open()) {
            return;
        }
        try {
            // A failing cancel skips the close: the port stays open.
            m_port.cancel();
            tapscope::platform::ReleaseLine(m_port.native_handle());
            m_port.close();
            ZelLog::Log()->Trace("COM Port Disconnects");
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (failure) {
        ReportMessage(weak_from_this().lock(), *failure);
    }
}

#include "protocols/serial_protocol.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>
#include <optional>
#include <stdexcept>

#include "log/debug.h"
#include "platform/descriptors.h"
#include "platform/file.h"
#include "platform/serial_device.h"

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

}  // namespace

SerialProtocol::SerialProtocol(boost::asio::io_context& ioService, const std::string& settings)
    : AbstractProtocol(ioService, settings), m_port(ioService) {}

SerialProtocol::~SerialProtocol() = default;

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
            const auto name = m_settings.get<std::string>("settings.<xmlattr>.port");
            const int baudRate = m_settings.get<int>("settings.<xmlattr>.baudrate");
            const int characterSize = m_settings.get<int>("settings.<xmlattr>.charsize");
            const int parity = m_settings.get<int>("settings.<xmlattr>.parity");
            if (parity < 0 || parity > kLastParity) {
                throw std::out_of_range("invalid parity value");
            }
            const int stopBits = m_settings.get<int>("settings.<xmlattr>.stopbits");
            if (stopBits < 0 || stopBits > kLastStopBits) {
                throw std::out_of_range("invalid stop_bits value");
            }
            OpenLocked(name);
            m_port.set_option(serial_port_base::baud_rate(static_cast<unsigned int>(baudRate)));
            // Checked only now: the port is open and its baud rate set.
            if (characterSize < kSmallestCharacterSize || characterSize > kLargestCharacterSize) {
                throw std::out_of_range("invalid character_size value");
            }
            m_port.set_option(
                serial_port_base::character_size(static_cast<unsigned int>(characterSize)));
            m_port.set_option(
                serial_port_base::parity(static_cast<serial_port_base::parity::type>(parity)));
            m_port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none));
            m_port.set_option(serial_port_base::stop_bits(
                static_cast<serial_port_base::stop_bits::type>(stopBits)));
            ZelLog::Log()->Trace("Connect to [%s] with BaudRate = [%i] and CharSize = [%i]",
                                 name.c_str(), baudRate, characterSize);
            ArmReadLocked();
            return true;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    ReportMessage(weak_from_this().lock(), failure);
    return false;
}

void SerialProtocol::OpenLocked(const std::string& name) {
    const std::string device = tapscope::platform::SerialDevicePath(name);
    boost::system::error_code error;
    m_port.open(device, error);
    if (error) {
        // The library's text, with the device it tried: the operator chose
        // "COM3" and should learn which file that was on this machine.
        //   "open: No such file or directory (/dev/ttyS2 for COM3)"
        const std::string which = device == name ? device : device + " for " + name;
        throw std::runtime_error(std::string(boost::system::system_error(error, "open").what()) +
                                 " (" + which + ")");
    }
    if (device != name) {
        ZelLog::Log()->Trace("Port [%s] is [%s]", name.c_str(), device.c_str());
    }
}

void SerialProtocol::ArmReadLocked() {
    // Completes after exactly one byte, or on an error.
    boost::asio::async_read(
        m_port, boost::asio::buffer(m_buffer), boost::asio::transfer_all(),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->HandleRead(error, count);
        });
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
            if (m_draining) {
                ZelLog::Log()->Warning("COM Port read failed at the end of the capture: %s",
                                       error.message().c_str());
                return;
            }
        }
        // The port stays open but is read no more.
        ReportMessage(shared_from_this(), error.message());
        return;
    }
    ZelLog::Log()->Trace("Success read [%i] symbols from COM Port", static_cast<int>(count));
    const unsigned int received = static_cast<unsigned int>(count);
    m_dataSignal(shared_from_this(), m_buffer, received);

    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped || m_draining) {
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
        if (!m_stopped && !m_draining && m_port.is_open()) {
            m_draining = true;
            m_drainUntil = deadline;
            m_drainDone = std::move(done);
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
        done = std::move(m_drainDone);
        until = m_drainUntil;
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
        m_dataSignal(shared_from_this(), m_drainBuffer, static_cast<unsigned int>(count));
    }
    if (done) {
        done(result);
    }
}

void SerialProtocol::Stop() {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(m_lock);
        m_stopped = true;
        if (!m_port.is_open()) {
            return;
        }
        try {
            // A failing cancel skips the close: the port stays open.
            m_port.cancel();
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

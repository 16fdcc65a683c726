// SerialProtocol: captures what a device sends on a serial port. It opens the
// port named in the settings document ("COM3", or a path such as
// /dev/ttyUSB0; see platform/serial_device.h), applies the line settings and
// reads one byte at a time, handing each byte on as soon as it arrives. It
// never writes to the port and uses no flow control.
//
// Threading as for every transport (abstract_protocol.h): Start and Stop on
// the caller's thread, HandleRead on the io_context's thread, the port and
// the stopped flag under m_lock.
#pragma once

#include <boost/asio/serial_port.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocols/abstract_protocol.h"

class SerialProtocol : public AbstractProtocol,
                       public std::enable_shared_from_this<SerialProtocol> {
public:
    SerialProtocol(boost::asio::io_context& ioService, const std::string& settings);
    ~SerialProtocol() override;

    bool Start() override;
    void Stop() override;
    // Cancels the pending read and, once its completion has been handled,
    // delivers what the driver holds in its input queue.
    void Drain(std::chrono::steady_clock::time_point deadline, DrainDone done) override;

    // Completion of one 1-byte read.
    void HandleRead(const boost::system::error_code& error, std::size_t count);

private:
    void OpenLocked(const std::string& name);
    void ArmReadLocked();
    // The drain's work, on the io_context's thread after the completion that
    // the cancel made.
    void DrainWaiting();

    std::mutex m_lock;
    boost::asio::serial_port m_port;  // guarded by m_lock
    bool m_stopped = false;           // guarded by m_lock
    // Set by Drain: no read is armed any more.
    bool m_draining = false;                             // guarded by m_lock
    std::chrono::steady_clock::time_point m_drainUntil;  // guarded by m_lock
    DrainDone m_drainDone;                               // guarded by m_lock
    // What the drain reads at once; only the drain uses it.
    std::vector<char> m_drainBuffer;
};

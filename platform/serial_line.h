// What a serial transport needs of an open line beyond Asio: who else has a
// device open, exclusive use of an open descriptor, and the driver's line
// error counters.
//
// Every function may be called from any thread. FindDeviceHolders reads
// /proc; a user who is not root sees only the descriptors of its own
// processes there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapscope::platform {

// A process that has a device open.
struct DeviceHolder {
    int pid = 0;
    std::string program;  // the process's command name, "minicom"
};

// The processes (this one included) that have the character device |path|
// open, by pid. The far end of a pseudo-terminal (the process that holds its
// master, such as the socat that made it) plays the device and is not
// counted. Empty when none is found or |path| is no character device.
std::vector<DeviceHolder> FindDeviceHolders(const std::string& path);

// "minicom (pid 4242)", or "minicom (pid 4242), picocom (pid 4300)".
std::string DescribeHolders(const std::vector<DeviceHolder>& holders);

// Takes the open line |fd| for this descriptor alone: an advisory lock
// (flock) that a second tapScope or a terminal program that locks the same
// way is refused, and the terminal's exclusive mode (TIOCEXCL), in which the
// kernel refuses any further open() to users without CAP_SYS_ADMIN. The
// descriptor is also marked close-on-exec, so that no program started later
// inherits the line. False
// with |error| (an errno value; EWOULDBLOCK when someone holds the lock) when
// the lock is taken; a descriptor that is no terminal keeps the lock only.
bool TakeLineExclusively(int fd, int& error);

// Leaves the terminal's exclusive mode before the descriptor is closed (the
// lock goes with the descriptor).
void ReleaseLine(int fd);

// The driver's cumulative error counts of a line since it was opened.
struct LineCounters {
    std::uint64_t overrun = 0;        // the UART's receive FIFO overflowed
    std::uint64_t bufferOverrun = 0;  // the tty's buffer overflowed
    std::uint64_t framing = 0;
    std::uint64_t parity = 0;
    std::uint64_t breaks = 0;

    std::uint64_t Total() const { return overrun + bufferOverrun + framing + parity + breaks; }
    // Each count of |now| less this one's; a count that went down (the
    // driver started over) counts from zero.
    LineCounters ChangeTo(const LineCounters& now) const;
    // "2 overrun, 1 framing": the non-zero counts, in that order; "none".
    std::string Text() const;
};

enum class LineCountersResult {
    kRead,         // |counters| holds the driver's counts
    kUnsupported,  // the driver keeps none (a pseudo-terminal, many USB adapters)
    kFailed,       // |error| says why
};

LineCountersResult ReadLineCounters(int fd, LineCounters& counters, int& error);

}  // namespace tapscope::platform

// Descriptors: the process's limit on open descriptors, and what waits to be
// read on one descriptor (a socket or a serial port) without ever waiting for
// more. The transports use these at the end of a capture, to take what the
// system has already received before they close.
//
// Any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tapscope::platform {

struct OpenFileLimit {
    std::uint64_t soft = 0;  // the limit in force
    std::uint64_t hard = 0;  // the most it may be raised to without privileges
};

// Raises the soft limit on open descriptors to the hard one, so that a TCP
// capture can hold as many connections as the system lets this process have
// (the usual soft limit of 1024 is reached by about a thousand idle clients).
// Fills |limit| with the limits in force afterwards; false with |error|
// (errno) when they could not be read or changed.
bool RaiseOpenFileLimit(OpenFileLimit& limit, int& error);

// Sets the soft limit (for tests and for a limit given from outside); false
// with |error| (errno).
bool SetOpenFileLimit(std::uint64_t soft, int& error);

// How many bytes the system holds for |descriptor| that nobody has read yet:
// the whole stream for a TCP socket or a serial port, the next datagram for a
// UDP socket. 0 when nothing waits or the system cannot say.
std::size_t QueuedInput(int descriptor);

// Reads at most |size| bytes that already wait on |descriptor|, never waiting
// for more. Returns the count read; 0 with |error| 0 when nothing waits (or,
// for a stream, at its end: |endOfStream| then says so); -1 with |error|
// (errno) on a failure.
long ReadWaiting(int descriptor, char* buffer, std::size_t size, int& error, bool& endOfStream);

}  // namespace tapscope::platform

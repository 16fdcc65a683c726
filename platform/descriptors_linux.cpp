#include "platform/descriptors.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tapscope::platform {

bool RaiseOpenFileLimit(OpenFileLimit& limit, int& error) {
    rlimit current{};
    if (getrlimit(RLIMIT_NOFILE, &current) != 0) {
        error = errno;
        return false;
    }
    if (current.rlim_cur < current.rlim_max) {
        rlimit raised = current;
        raised.rlim_cur = current.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            error = errno;
            limit.soft = current.rlim_cur;
            limit.hard = current.rlim_max;
            return false;
        }
        current = raised;
    }
    limit.soft = current.rlim_cur;
    limit.hard = current.rlim_max;
    error = 0;
    return true;
}

bool SetOpenFileLimit(std::uint64_t soft, int& error) {
    rlimit current{};
    if (getrlimit(RLIMIT_NOFILE, &current) != 0) {
        error = errno;
        return false;
    }
    current.rlim_cur = static_cast<rlim_t>(soft);
    if (setrlimit(RLIMIT_NOFILE, &current) != 0) {
        error = errno;
        return false;
    }
    error = 0;
    return true;
}

std::size_t QueuedInput(int descriptor) {
    int queued = 0;
    // FIONREAD: the unread bytes of a stream socket or a terminal's input
    // queue; the size of the next datagram of a datagram socket.
    if (ioctl(descriptor, FIONREAD, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

long ReadWaiting(int descriptor, char* buffer, std::size_t size, int& error, bool& endOfStream) {
    error = 0;
    endOfStream = false;
    // Asked first, so that the read below cannot wait even on a descriptor
    // that is not in non-blocking mode (a terminal returns what it has once
    // one byte is there).
    pollfd waiting{descriptor, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&waiting, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        error = errno;
        return -1;
    }
    if (ready == 0 || (waiting.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return 0;
    }
    ssize_t count = 0;
    do {
        count = read(descriptor, buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        error = errno;
        return -1;
    }
    endOfStream = count == 0 && size > 0;
    return static_cast<long>(count);
}

}  // namespace tapscope::platform

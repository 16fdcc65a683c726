#include "platform/capture_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tapscope::platform {

AppendResult AppendToFile(const std::string& path, const char* data, std::size_t size, int& error) {
    // O_APPEND: every write lands at the end even while another program
    // appends to the same file.
    int fd = -1;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return AppendResult::kOpenFailed;
    }
    AppendResult result = AppendResult::kWritten;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = write(fd, data + done, size - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            result = AppendResult::kWriteFailed;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    // A close that fails (a full disk on a network file system reports it
    // only here) means the bytes may not be in the file.
    if (close(fd) != 0 && errno != EINTR && result == AppendResult::kWritten) {
        error = errno;
        result = AppendResult::kWriteFailed;
    }
    return result;
}

}  // namespace tapscope::platform

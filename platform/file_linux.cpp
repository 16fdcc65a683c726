#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tapscope::platform {
namespace {

constexpr const char* kCreationAttribute = "user.zel.created";
// Decimal seconds: a sign, 19 digits and the terminator.
constexpr std::size_t kCreationTextSize = 24;
// A new log: the owner writes, the group (which may share the log) reads.
constexpr mode_t kLogFileMode = 0640;
// Rounds of "missing - someone else created it - open theirs".
constexpr int kOpenRounds = 4;

bool ParseSeconds(const char* text, std::size_t size, std::int64_t& seconds) {
    if (size == 0 || size >= kCreationTextSize) {
        return false;
    }
    char buffer[kCreationTextSize] = {};
    std::memcpy(buffer, text, size);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(buffer, &end, 10);
    if (errno != 0 || end != buffer + size) {
        return false;
    }
    seconds = value;
    return true;
}

}  // namespace

AppendFile::~AppendFile() {
    Close();
}

bool AppendFile::Open(const std::string& path, int& error) {
    Close();
    // The log lives in folders other users may write to. A link under its
    // name is never followed (ELOOP), and a missing log is created only where
    // no name exists yet, so that a dangling link planted there between the
    // two opens is not written through either.
    // O_NONBLOCK only for the open itself: a FIFO in the log's place must not
    // hang the writer until some reader comes.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    int fd = -1;
    for (int round = 0; round < kOpenRounds && fd < 0; ++round) {
        fd = open(path.c_str(), kFlags);
        if (fd >= 0 || errno != ENOENT) {
            break;
        }
        fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, kLogFileMode);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
        // EEXIST: another process made the log meanwhile; open that one.
    }
    if (fd < 0) {
        error = errno;
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    m_fd = fd;
    return true;
}

bool AppendFile::Length(std::uint64_t& length, int& error) const {
    struct stat info {};
    if (m_fd < 0) {
        error = EBADF;
        return false;
    }
    if (fstat(m_fd, &info) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        // A device or a pipe has no length: "0" must not read as an empty log.
        error = ESPIPE;
        return false;
    }
    length = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool AppendFile::SeekToEnd(int& error) {
    if (lseek(m_fd, 0, SEEK_END) < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool AppendFile::Write(const char* data, std::size_t size, int& error) {
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        if (written == 0) {
            error = EIO;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool AppendFile::RecordCreationTime(std::int64_t seconds) {
    char text[kCreationTextSize];
    const int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(seconds));
    return m_fd >= 0 && length > 0 &&
           fsetxattr(m_fd, kCreationAttribute, text, static_cast<std::size_t>(length), 0) == 0;
}

bool AppendFile::Close() {
    if (m_fd < 0) {
        return true;
    }
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0;
}

bool ReadFileCreationTime(const std::string& path, std::int64_t& seconds) {
    char text[kCreationTextSize];
    const ssize_t size = getxattr(path.c_str(), kCreationAttribute, text, sizeof text);
    if (size > 0 && ParseSeconds(text, static_cast<std::size_t>(size), seconds)) {
        return true;
    }
    struct statx info {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &info) == 0 &&
        (info.stx_mask & STATX_BTIME) != 0) {
        seconds = info.stx_btime.tv_sec;
        return true;
    }
    return false;
}

std::string ErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be |buffer|.
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace tapscope::platform

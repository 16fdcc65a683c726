#include "platform/plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tapscope::platform {
namespace {

std::error_code LastError() {
    return std::error_code(errno, std::system_category());
}

PathKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return PathKind::kRegular;
    }
    if (S_ISDIR(mode)) {
        return PathKind::kFolder;
    }
    if (S_ISLNK(mode)) {
        return PathKind::kSymlink;
    }
    if (S_ISFIFO(mode)) {
        return PathKind::kPipe;
    }
    if (S_ISSOCK(mode)) {
        return PathKind::kSocket;
    }
    return PathKind::kDevice;
}

void CloseQuietly(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

std::error_code LinkKind(const std::string& path, PathKind& kind) {
    kind = PathKind::kMissing;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? std::error_code() : LastError();
    }
    kind = KindOf(info.st_mode);
    return {};
}

const char* PathKindName(PathKind kind) {
    switch (kind) {
        case PathKind::kMissing:
            return "missing";
        case PathKind::kRegular:
            return "a regular file";
        case PathKind::kFolder:
            return "a folder";
        case PathKind::kSymlink:
            return "a symbolic link";
        case PathKind::kPipe:
            return "a named pipe";
        case PathKind::kSocket:
            return "a socket";
        case PathKind::kDevice:
            return "a device";
    }
    return "unknown";
}

bool OwnedByThisUser(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && info.st_uid == geteuid();
}

PlainFileReader::~PlainFileReader() {
    Close();
}

std::error_code PlainFileReader::Open(const std::string& path, PathKind& kind) {
    Close();
    // Look first: opening a device can have effects of its own (a serial
    // line raises its modem lines), so nothing but a regular file is opened.
    if (const std::error_code code = LinkKind(path, kind)) {
        return code;
    }
    if (kind == PathKind::kMissing) {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (kind != PathKind::kRegular) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    // The name may have been swapped since: no link is followed, and a named
    // pipe put there opens at once instead of waiting for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) {
            kind = PathKind::kSymlink;
            return std::make_error_code(std::errc::invalid_argument);
        }
        return LastError();
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const std::error_code code = LastError();
        close(fd);
        return code;
    }
    kind = KindOf(info.st_mode);
    if (kind != PathKind::kRegular) {
        close(fd);
        return std::make_error_code(std::errc::invalid_argument);
    }
    m_fd = fd;
    return {};
}

std::error_code PlainFileReader::Read(void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t count = read(m_fd, buffer, size);
        if (count >= 0) {
            got = static_cast<std::size_t>(count);
            return {};
        }
        if (errno != EINTR) {
            return LastError();
        }
    }
}

void PlainFileReader::Close() {
    CloseQuietly(m_fd);
}

NewFileWriter::~NewFileWriter() {
    CloseQuietly(m_fd);
}

std::error_code NewFileWriter::Create(const std::string& path, unsigned mode) {
    CloseQuietly(m_fd);
    // O_EXCL: any name already there fails the call, and a symbolic link is
    // never followed; O_NOFOLLOW says the same for older kernels' sake.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        static_cast<mode_t>(mode));
    if (fd < 0) {
        return LastError();
    }
    m_fd = fd;
    return {};
}

std::error_code NewFileWriter::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t count = write(m_fd, bytes, size);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return LastError();
        }
        if (count == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return {};
}

std::error_code NewFileWriter::SyncToDisk() {
    if (fsync(m_fd) != 0) {
        return LastError();
    }
    return {};
}

std::error_code NewFileWriter::Close() {
    if (m_fd < 0) {
        return {};
    }
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) {
        return LastError();
    }
    return {};
}

}  // namespace tapscope::platform

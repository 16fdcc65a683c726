#include "platform/capture_file.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/file.h"

namespace tapscope::platform {
namespace {

// Owner read and write only: captured traffic is nobody else's business.
constexpr mode_t kCaptureFileMode = 0600;
// How long one wait for room in a full pipe lasts before the caller is asked
// again whether to give up.
constexpr int kPipeWaitSliceMs = 50;
// As many links as the kernel follows before it says ELOOP.
constexpr int kMaxLinks = 40;

// O_NONBLOCK: a FIFO that nobody reads fails at once (ENXIO) instead of
// waiting for a reader; for a regular file it changes nothing.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

CaptureFileResult Failure(AppendResult result, int error) {
    CaptureFileResult failure;
    failure.result = result;
    failure.error = error;
    // ENXIO on opening a FIFO says only "No such device or address".
    if (error == ENXIO) {
        failure.reason = "no program has the pipe open for reading";
    } else if (error == EPIPE) {
        failure.reason = ErrorText(error) + " (the program reading it has closed it)";
    } else {
        failure.reason = ErrorText(error);
    }
    return failure;
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The kernel's protected-symlinks rule for a link in |folder|: followed when
// the folder is not sticky and world-writable, when the link is ours, or when
// the folder's owner also owns the link.
bool MayFollow(const struct stat& link, const struct stat& folder) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || folder.st_uid == link.st_uid;
}

// Follows the links at the end of |path| as far as the rule allows. |resolved|
// receives the first name that is not a link (it may not exist).
CaptureFileResult ResolveLinks(const std::string& path, std::string& resolved) {
    std::string current = path;
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        struct stat link {};
        if (lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            resolved = current;  // missing, or not a link: opening it says the rest
            return {};
        }
        const std::string folderPath = Folder(current);
        struct stat folder {};
        if (stat(folderPath.c_str(), &folder) != 0) {
            return Failure(AppendResult::kOpenFailed, errno);
        }
        if (!MayFollow(link, folder)) {
            CaptureFileResult refused;
            refused.result = AppendResult::kLinkRefused;
            refused.link = current;
            refused.reason =
                "a symbolic link of another user in a folder that everybody may write to; "
                "it is not followed (remove it, or choose another file name)";
            return refused;
        }
        std::string target(static_cast<std::size_t>(link.st_size > 0 ? link.st_size : 255) + 1,
                           '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length < 0) {
            return Failure(AppendResult::kOpenFailed, errno);
        }
        if (static_cast<std::size_t>(length) >= target.size()) {
            // The link grew since lstat: someone is changing it under us.
            return Failure(AppendResult::kOpenFailed, ENAMETOOLONG);
        }
        target.resize(static_cast<std::size_t>(length));
        current = !target.empty() && target[0] == '/' ? target : folderPath + "/" + target;
    }
    return Failure(AppendResult::kOpenFailed, ELOOP);
}

int OpenNoInterrupt(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Waits until |fd| takes more bytes; false when |giveUp| said so first.
bool WaitForRoom(int fd, const std::function<bool()>& giveUp) {
    while (true) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = poll(&entry, 1, kPipeWaitSliceMs);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;  // room, or an error that the next write reports
        }
        if (giveUp && giveUp()) {
            return false;
        }
    }
}

}  // namespace

CaptureFile::CaptureFile(std::string path, bool standardOutput)
    : m_path(std::move(path)), m_standardOutput(standardOutput) {}

CaptureFile::~CaptureFile() {
    Close();
}

void CaptureFile::Close() {
    if (m_keptFd >= 0) {
        close(m_keptFd);
        m_keptFd = -1;
    }
}

CaptureFileResult CaptureFile::CheckLinks() const {
    if (m_standardOutput) {
        return {};
    }
    std::string resolved;
    return ResolveLinks(m_path, resolved);
}

CaptureFileResult CaptureFile::Check() {
    if (m_standardOutput) {
        return m_keptFd >= 0 ? CaptureFileResult{} : OpenStandardOutput();
    }
    std::string resolved;
    CaptureFileResult result = ResolveLinks(m_path, resolved);
    if (!result.Ok()) {
        return result;
    }
    struct stat status {};
    if (stat(resolved.c_str(), &status) == 0) {
        if (S_ISFIFO(status.st_mode)) {
            if (faccessat(AT_FDCWD, resolved.c_str(), W_OK, AT_EACCESS) != 0) {
                return Failure(AppendResult::kOpenFailed, errno);
            }
            return {};
        }
        const int fd = OpenNoInterrupt(resolved.c_str(), kOpenFlags);
        if (fd < 0) {
            return Failure(AppendResult::kOpenFailed, errno);
        }
        close(fd);
        return {};
    }
    if (errno != ENOENT) {
        return Failure(AppendResult::kOpenFailed, errno);
    }
    // Missing: create it to learn whether that works, and remove it again, so
    // that a capture in which nothing arrives leaves no file behind.
    const int fd =
        OpenNoInterrupt(resolved.c_str(), kOpenFlags | O_CREAT | O_EXCL, kCaptureFileMode);
    if (fd < 0) {
        return Failure(AppendResult::kOpenFailed, errno);
    }
    struct stat created {};
    struct stat named {};
    // Removed only while the name still stands for the file made here.
    if (fstat(fd, &created) == 0 && lstat(resolved.c_str(), &named) == 0 &&
        created.st_dev == named.st_dev && created.st_ino == named.st_ino) {
        unlink(resolved.c_str());
    }
    close(fd);
    return {};
}

CaptureFileResult CaptureFile::OpenStandardOutput() {
    struct stat status {};
    if (fstat(STDOUT_FILENO, &status) != 0) {
        CaptureFileResult closed = Failure(AppendResult::kOpenFailed, errno);
        closed.reason = "closed";
        return closed;
    }
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        CaptureFileResult readOnly = Failure(AppendResult::kOpenFailed, EBADF);
        readOnly.reason = "not open for writing";
        return readOnly;
    }
    int fd = -1;
    if (S_ISFIFO(status.st_mode)) {
        // A description of our own, so that O_NONBLOCK does not reach the
        // other programs that share the pipe.
        fd = OpenNoInterrupt("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    }
    if (fd < 0) {
        return Failure(AppendResult::kOpenFailed, errno);
    }
    m_keptFd = fd;
    m_keptIsSocket = S_ISSOCK(status.st_mode);
    return {};
}

CaptureFileResult CaptureFile::Open(int& fd, bool& keep) {
    keep = false;
    if (m_keptFd >= 0) {
        fd = m_keptFd;
        keep = true;
        return {};
    }
    if (m_standardOutput) {
        CaptureFileResult result = OpenStandardOutput();
        fd = m_keptFd;
        keep = true;
        return result;
    }
    fd = OpenNoInterrupt(m_path.c_str(), kOpenFlags | O_CREAT, kCaptureFileMode);
    int error = errno;
    struct stat name {};
    if (fd < 0 && (errno == ELOOP || errno == EACCES) && lstat(m_path.c_str(), &name) == 0 &&
        S_ISLNK(name.st_mode)) {
        // The name is a link (ELOOP, or EACCES for O_CREAT on a link in a
        // sticky folder on some kernels): follow it only as the rule allows.
        std::string resolved;
        CaptureFileResult result = ResolveLinks(m_path, resolved);
        if (!result.Ok()) {
            return result;
        }
        fd = OpenNoInterrupt(resolved.c_str(), kOpenFlags | O_CREAT, kCaptureFileMode);
        error = errno;
    }
    if (fd < 0) {
        return Failure(AppendResult::kOpenFailed, error);
    }
    return {};
}

CaptureFileResult CaptureFile::Append(const char* data, std::size_t size,
                                      const std::function<bool()>& giveUp) {
    const Block block{data, size};
    std::size_t written = 0;
    return AppendBlocks(&block, 1, written, giveUp);
}

CaptureFileResult CaptureFile::AppendBlocks(const Block* blocks, std::size_t count,
                                            std::size_t& written,
                                            const std::function<bool()>& giveUp) {
    written = 0;
    int fd = -1;
    bool keep = false;
    CaptureFileResult result = Open(fd, keep);
    if (!result.Ok()) {
        return result;
    }
    // Where the file ends before the blocks, to cut a torn block off. A file
    // opened by name is asked with lseek, which costs the kernel far less
    // than fstat and is made per block; only what cannot seek (a FIFO, a
    // terminal) is asked what it is.
    bool seekable = false;
    off_t start = -1;
    if (!keep) {
        start = lseek(fd, 0, SEEK_END);
        seekable = start >= 0;
        struct stat status {};
        if (!seekable && fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
            m_keptFd = fd;  // a FIFO by name: open until Close
            keep = true;
        }
    } else {
        struct stat before {};
        seekable = fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
        start = before.st_size;
    }
    // Files opened by name append; standard output is taken as it was given.
    const bool appending = !keep || (fcntl(fd, F_GETFL) & O_APPEND) != 0;
    if (seekable && !appending) {
        start = lseek(fd, 0, SEEK_CUR);  // standard output redirected with ">"
    }

    // What is left to write, as vectors; the first is advanced past what a
    // short write took. A few blocks, the common case, need no allocation.
    constexpr std::size_t kInlineVectors = 16;
    iovec inlineVectors[kInlineVectors];
    std::vector<iovec> manyVectors;
    iovec* vectors = inlineVectors;
    if (count > kInlineVectors) {
        manyVectors.resize(count);
        vectors = manyVectors.data();
    }
    std::size_t vectorTotal = 0;
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (blocks[i].size > 0) {
            vectors[vectorTotal++] = {const_cast<char*>(blocks[i].data), blocks[i].size};
        }
        size += blocks[i].size;
    }
    std::size_t done = 0;
    std::size_t next = 0;  // the first vector not wholly written
    while (done < size) {
        const int vectorCount =
            static_cast<int>(std::min<std::size_t>(vectorTotal - next, IOV_MAX));
        ssize_t taken = 0;
        if (m_keptIsSocket && keep) {
            msghdr message{};
            message.msg_iov = vectors + next;
            message.msg_iovlen = static_cast<std::size_t>(vectorCount);
            taken = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else if (vectorCount == 1) {
            // One block, the common case: write spares the kernel the vector.
            taken = write(fd, vectors[next].iov_base, vectors[next].iov_len);
        } else {
            taken = writev(fd, vectors + next, vectorCount);
        }
        if (taken >= 0) {
            done += static_cast<std::size_t>(taken);
            auto left = static_cast<std::size_t>(taken);
            while (left > 0 && left >= vectors[next].iov_len) {
                left -= vectors[next].iov_len;
                ++next;
            }
            if (left > 0) {
                vectors[next].iov_base = static_cast<char*>(vectors[next].iov_base) + left;
                vectors[next].iov_len -= left;
            }
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (WaitForRoom(fd, giveUp)) {
                continue;
            }
            result = Failure(AppendResult::kGaveUp, 0);
            result.reason = "the pipe's reader did not take the bytes before the capture ended";
            break;
        }
        result =
            Failure(errno == EPIPE ? AppendResult::kReaderGone : AppendResult::kWriteFailed, errno);
        break;
    }
    // The blocks wholly written, and where the last of them ends.
    std::size_t whole = 0;
    for (std::size_t end = 0; written < count; ++written) {
        if (end + blocks[written].size > done) {
            break;
        }
        end += blocks[written].size;
        whole = end;
    }
    if (result.result == AppendResult::kWriteFailed && seekable && done > whole && start >= 0) {
        // Cut the part of the block that made it from a regular file, unless
        // someone else wrote to it meanwhile: then the cut would take their
        // bytes too.
        const off_t cut = start + static_cast<off_t>(whole);
        struct stat after {};
        if (fstat(fd, &after) == 0 && S_ISREG(after.st_mode) &&
            after.st_size == start + static_cast<off_t>(done) && ftruncate(fd, cut) == 0 &&
            !appending) {
            lseek(fd, cut, SEEK_SET);
        }
    }
    if (keep) {
        if (result.result == AppendResult::kReaderGone) {
            Close();
        }
        return result;
    }
    // A close that fails (a full disk on a network file system reports it
    // only here) means the bytes may not be in the file.
    if (close(fd) != 0 && errno != EINTR && result.Ok()) {
        result = Failure(AppendResult::kWriteFailed, errno);
        written = 0;
    }
    return result;
}

bool StandardOutputIsOpen() {
    return fcntl(STDOUT_FILENO, F_GETFD) >= 0;
}

void IgnoreBrokenPipe() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

}  // namespace tapscope::platform

#include "platform/serial_line.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace tapscope::platform {
namespace {

// Pseudo-terminal slaves ("/dev/pts/N") have majors 136 to 143; N is
// (major - 136) * 256 + minor.
constexpr unsigned int kFirstPtyMajor = 136;
constexpr unsigned int kLastPtyMajor = 143;
constexpr unsigned int kPtyMinorsPerMajor = 256;

// A name of /proc that is a process id: digits only.
bool IsPid(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

std::string ProgramOf(const std::string& pidFolder) {
    std::ifstream comm(pidFolder + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// Whether |fdName| of |pidFolder| is a pseudo-terminal master whose slave is
// number |ptyIndex|: its fdinfo then carries "tty-index:\t<N>".
bool IsMasterOf(const std::string& pidFolder, const char* fdName, long ptyIndex) {
    std::ifstream info(pidFolder + "/fdinfo/" + fdName);
    std::string line;
    constexpr std::string_view kKey = "tty-index:";
    while (std::getline(info, line)) {
        if (line.compare(0, kKey.size(), kKey) == 0) {
            return std::strtol(line.c_str() + kKey.size(), nullptr, 10) == ptyIndex;
        }
    }
    return false;
}

}  // namespace

std::vector<DeviceHolder> FindDeviceHolders(const std::string& path) {
    std::vector<DeviceHolder> holders;
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        return holders;
    }
    const unsigned int major = ::major(device.st_rdev);
    const long ptyIndex = major >= kFirstPtyMajor && major <= kLastPtyMajor
                              ? static_cast<long>((major - kFirstPtyMajor) * kPtyMinorsPerMajor +
                                                  ::minor(device.st_rdev))
                              : -1;
    struct stat master {};
    const bool haveMaster = ::stat("/dev/ptmx", &master) == 0;

    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return holders;
    }
    while (const dirent* process = ::readdir(proc)) {
        if (!IsPid(process->d_name)) {
            continue;
        }
        const std::string pidFolder = std::string("/proc/") + process->d_name;
        DIR* fds = ::opendir((pidFolder + "/fd").c_str());
        if (fds == nullptr) {
            continue;  // gone, or another user's
        }
        bool holds = false;
        bool farEnd = false;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') {
                continue;
            }
            struct stat target {};
            if (::stat((pidFolder + "/fd/" + fd->d_name).c_str(), &target) != 0 ||
                !S_ISCHR(target.st_mode)) {
                continue;
            }
            if (target.st_rdev == device.st_rdev) {
                holds = true;
            } else if (ptyIndex >= 0 && haveMaster && target.st_rdev == master.st_rdev &&
                       IsMasterOf(pidFolder, fd->d_name, ptyIndex)) {
                farEnd = true;
            }
        }
        ::closedir(fds);
        if (holds && !farEnd) {
            holders.push_back({std::atoi(process->d_name), ProgramOf(pidFolder)});
        }
    }
    ::closedir(proc);
    return holders;
}

std::string DescribeHolders(const std::vector<DeviceHolder>& holders) {
    std::string text;
    for (const DeviceHolder& holder : holders) {
        if (!text.empty()) {
            text += ", ";
        }
        text += holder.program + " (pid " + std::to_string(holder.pid) + ")";
    }
    return text;
}

bool TakeLineExclusively(int fd, int& error) {
    // A program this process starts must not inherit the line (and share its
    // lock and bytes); Asio opens it without close-on-exec.
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        return false;
    }
    // Not a terminal (ENOTTY): the lock alone stands.
    ::ioctl(fd, TIOCEXCL);
    error = 0;
    return true;
}

void ReleaseLine(int fd) {
    ::ioctl(fd, TIOCNXCL);
}

LineCounters LineCounters::ChangeTo(const LineCounters& now) const {
    auto since = [](std::uint64_t before, std::uint64_t after) {
        return after >= before ? after - before : after;
    };
    return {since(overrun, now.overrun), since(bufferOverrun, now.bufferOverrun),
            since(framing, now.framing), since(parity, now.parity), since(breaks, now.breaks)};
}

std::string LineCounters::Text() const {
    std::string text;
    auto add = [&text](std::uint64_t count, const char* what) {
        if (count == 0) {
            return;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(count) + " " + what;
    };
    add(overrun, "overrun");
    add(bufferOverrun, "buffer overrun");
    add(framing, "framing");
    add(parity, "parity");
    add(breaks, "break");
    return text.empty() ? "none" : text;
}

LineCountersResult ReadLineCounters(int fd, LineCounters& counters, int& error) {
    struct serial_icounter_struct icount {};
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        error = errno;
        // Drivers without counters answer ENOTTY (pseudo-terminals), EINVAL
        // or ENOIOCTLCMD's user-space face, ENOTTY again.
        if (error == ENOTTY || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
            return LineCountersResult::kUnsupported;
        }
        return LineCountersResult::kFailed;
    }
    error = 0;
    auto count = [](int value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; };
    counters.overrun = count(icount.overrun);
    counters.bufferOverrun = count(icount.buf_overrun);
    counters.framing = count(icount.frame);
    counters.parity = count(icount.parity);
    counters.breaks = count(icount.brk);
    return LineCountersResult::kRead;
}

}  // namespace tapscope::platform

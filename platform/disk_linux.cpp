#include "platform/disk.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace tapscope::platform {
namespace {

std::string ParentOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/', path.size() - 1);
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

}  // namespace

std::uint64_t FreeDiskBytes(const std::string& path) {
    struct statvfs info {};
    if (path.empty() || statvfs(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

std::string MountPointOf(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return {};
    }
    std::string current = path;
    while (current.size() > 1 && current.back() == '/') {
        current.pop_back();
    }
    struct stat info {};
    while (stat(current.c_str(), &info) != 0) {
        if (current == "/") {
            return {};
        }
        current = ParentOf(current);
    }
    // Walk up while the parent lies on the same device.
    while (current != "/") {
        const std::string parent = ParentOf(current);
        struct stat parentInfo {};
        if (stat(parent.c_str(), &parentInfo) != 0 || parentInfo.st_dev != info.st_dev) {
            break;
        }
        current = parent;
    }
    return current == "/" ? current : current + "/";
}

}  // namespace tapscope::platform

#include "platform/move_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace tapscope::platform {
namespace {

std::error_code LastError() {
    return std::error_code(errno, std::system_category());
}

}  // namespace

std::error_code MoveFileNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return LastError();
    }
    // A file system without RENAME_NOREPLACE: check first. The caller holds
    // the locks that keep its own processes away between the two steps.
    struct stat target {};
    if (lstat(to.c_str(), &target) == 0) {
        return std::make_error_code(std::errc::file_exists);
    }
    if (errno != ENOENT) {
        return LastError();
    }
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return LastError();
    }
    return {};
}

std::error_code FlushFileToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) {
        return LastError();
    }
    if (fsync(fileno(file)) != 0) {
        return LastError();
    }
    return {};
}

std::error_code FlushFolderToDisk(const std::string& folder) {
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return LastError();
    }
    std::error_code result;
    if (fsync(fd) != 0) {
        result = LastError();
    }
    close(fd);
    return result;
}

}  // namespace tapscope::platform

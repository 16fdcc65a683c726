#include "runtime/paths.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/disk.h"
#include "platform/uuid.h"

namespace zelmisc {
namespace {

bool IsFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool ExistsOrCreate(const std::string& folder) {
    if (IsFolder(folder)) {
        return true;
    }
    std::error_code error;
    std::filesystem::create_directory(folder, error);
    return IsFolder(folder);
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Position just past the next separator at or after |from|, or npos.
std::string::size_type PastNextSeparator(const std::string& text, std::string::size_type from) {
    for (std::string::size_type i = from; i < text.size(); ++i) {
        if (IsSeparator(text[i])) {
            return i + 1;
        }
    }
    return std::string::npos;
}

}  // namespace

int EnsureDirectory(const std::string& folder) {
    if (folder.empty() || IsFolder(folder)) {
        return 1;
    }
    if (folder.size() >= kMaxPath) {
        return 0;
    }
    std::string::size_type start = 0;
    if (folder.size() >= 2 && folder[0] == '/' && folder[1] == '/') {
        // "//server/share/...": the first component to make is the share.
        const std::string::size_type share = folder.find('/', 2);
        if (share == std::string::npos || share + 1 >= folder.size()) {
            return 0;
        }
        start = share + 1;
    } else if (folder[0] == '/') {
        start = 1;
        if (start >= folder.size()) {
            return 0;
        }
    }
    std::string::size_type end = start;
    while (true) {
        end = folder.find('/', end);
        const std::string prefix = folder.substr(0, end);
        if (!prefix.empty() && !ExistsOrCreate(prefix)) {
            return 0;
        }
        if (end == std::string::npos || end + 1 >= folder.size()) {
            return 1;
        }
        ++end;
    }
}

std::string MakeUniqueName() {
    const std::array<std::uint8_t, 16> bytes = tapscope::platform::CreateSequentialUuid();
    char text[37] = {};
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string DiskRoot(const std::string& path) {
    std::string text = path.substr(0, kMaxPath - 1);
    if (!text.empty() && text[0] == '/' && (text.size() == 1 || text[1] != '/')) {
        // An absolute path: its volume is the file system mounted above it.
        std::string mount = tapscope::platform::MountPointOf(text);
        return mount.empty() ? std::string("/") : mount;
    }
    std::string::size_type pair = std::string::npos;
    for (std::string::size_type i = 0; i + 1 < text.size(); ++i) {
        if (IsSeparator(text[i]) && IsSeparator(text[i + 1])) {
            pair = i;
            break;
        }
    }
    if (pair == std::string::npos) {
        const std::string::size_type end = PastNextSeparator(text, 0);
        if (end != std::string::npos) {
            text.resize(end);
        }
        return text;
    }
    // "//server/share/dir": keep the server and the share with its separator.
    const std::string::size_type server = PastNextSeparator(text, pair + 2);
    if (server == std::string::npos) {
        return text;
    }
    const std::string::size_type share = PastNextSeparator(text, server);
    if (share != std::string::npos) {
        text.resize(share);
    }
    return text;
}

std::uint64_t FreeDiskMegabytes(const std::string& path) {
    return tapscope::platform::FreeDiskBytes(path.substr(0, kMaxPath - 1)) >> 20;
}

}  // namespace zelmisc

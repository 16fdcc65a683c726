#include "app/capture_roller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <tuple>

namespace tapscope::app {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMaxRotateMiB = 1024 * 1024;  // 1 TiB

bool AllDigits(const std::string& text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) {
        return false;
    }
    return std::all_of(text.begin() + from, text.begin() + from + count,
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::optional<std::uint64_t> ParseWhole(const std::string& text, std::uint64_t limit) {
    if (text.empty() || text.size() > 19 || !AllDigits(text, 0, text.size())) {
        return std::nullopt;
    }
    const std::uint64_t value = std::stoull(text);
    if (value == 0 || value > limit) {
        return std::nullopt;
    }
    return value;
}

// The stamp of a file of this capture: "<stem>-YYYYmmdd-HHMMSS[-N]<ext>" gives
// ("YYYYmmdd-HHMMSS", N) with N 1 for the first file of a second.
std::optional<std::pair<std::string, unsigned long>> StampOf(const std::string& name,
                                                             const std::string& stem,
                                                             const std::string& extension) {
    constexpr std::size_t kStamp = 15;  // YYYYmmdd-HHMMSS
    if (name.size() < stem.size() + 1 + kStamp + extension.size() || name.rfind(stem, 0) != 0 ||
        name[stem.size()] != '-' ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
        return std::nullopt;
    }
    const std::size_t at = stem.size() + 1;
    if (!AllDigits(name, at, 8) || name[at + 8] != '-' || !AllDigits(name, at + 9, 6)) {
        return std::nullopt;
    }
    const std::string rest = name.substr(at + kStamp, name.size() - extension.size() - at - kStamp);
    unsigned long count = 1;
    if (!rest.empty()) {
        if (rest.size() < 2 || rest[0] != '-' || rest.size() > 10 ||
            !AllDigits(rest, 1, rest.size() - 1)) {
            return std::nullopt;
        }
        count = std::stoul(rest.substr(1));
    }
    return std::make_pair(name.substr(at, kStamp), count);
}

}  // namespace

std::optional<std::uint64_t> ParseRotateSize(const std::string& text) {
    const std::optional<std::uint64_t> mib = ParseWhole(text, kMaxRotateMiB);
    if (!mib) {
        return std::nullopt;
    }
    return *mib * kMiB;
}

std::optional<unsigned> ParseRotateKeep(const std::string& text) {
    const std::optional<std::uint64_t> keep = ParseWhole(text, 100000);
    if (!keep) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*keep);
}

std::optional<std::chrono::seconds> ParseDuration(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t unit = 1;
    std::string number = text;
    switch (text.back()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            number.push_back('s');
            break;
    }
    number.pop_back();
    // At most a year, so that the product cannot overflow.
    const std::optional<std::uint64_t> value = ParseWhole(number, 366 * 86400 / unit);
    if (!value) {
        return std::nullopt;
    }
    return std::chrono::seconds(*value * unit);
}

CaptureRoller::CaptureRoller(std::string capturePath, RolloverLimits limits, Clock clock)
    : m_limits(limits), m_clock(std::move(clock)) {
    const std::size_t slash = capturePath.rfind('/');
    std::string file = capturePath;
    if (slash != std::string::npos) {
        m_folder = capturePath.substr(0, slash + 1);
        file = capturePath.substr(slash + 1);
    }
    // "till.bin" -> "till" and ".bin"; a leading dot is part of the stem.
    const std::size_t dot = file.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        m_stem = file.substr(0, dot);
        m_extension = file.substr(dot);
    } else {
        m_stem = file;
    }
}

const std::string& CaptureRoller::FileForBlock(std::size_t size) {
    bool begin = m_current.empty();
    if (!begin && m_limits.maxBytes > 0 && m_currentBytes > 0 &&
        m_currentBytes + size > m_limits.maxBytes) {
        begin = true;
    }
    if (!begin && m_limits.maxAge.count() > 0 && m_clock() - m_currentStart >= m_limits.maxAge) {
        begin = true;
    }
    if (begin) {
        Begin();
    }
    return m_current;
}

void CaptureRoller::Begin() {
    m_currentStart = m_clock();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(m_currentStart);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string first = m_folder + m_stem + "-" + stamp;
    std::string name = first + m_extension;
    struct stat status {};
    for (unsigned count = 2; ::lstat(name.c_str(), &status) == 0 || name == m_current; ++count) {
        name = first + "-" + std::to_string(count) + m_extension;
    }
    m_current = name;
    m_currentBytes = 0;
    if (m_limits.keep > 0) {
        RemoveOldest();
    }
}

void CaptureRoller::RemoveOldest() {
    // The new file does not exist until its first block is appended; make
    // room for it among this capture's files.
    const std::string folder = m_folder.empty() ? "." : m_folder;
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        m_removalFailures.push_back(folder + ": " + std::strerror(errno));
        return;
    }
    using Entry = std::tuple<std::string, unsigned long, std::string>;
    std::vector<Entry> files;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        const auto stamp = StampOf(name, m_stem, m_extension);
        if (!stamp) {
            continue;
        }
        const std::string path = m_folder + name;
        struct stat status {};
        // Only this user's own regular files: a name planted in a shared
        // folder by someone else is never deleted.
        if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_uid != ::geteuid() || path == m_current) {
            continue;
        }
        files.emplace_back(stamp->first, stamp->second, path);
    }
    ::closedir(directory);
    std::sort(files.begin(), files.end());
    const std::size_t room = m_limits.keep - 1;
    for (std::size_t i = 0; i + room < files.size(); ++i) {
        const std::string& path = std::get<2>(files[i]);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            m_removalFailures.push_back(path + ": " + std::strerror(errno));
        }
    }
}

std::vector<std::string> CaptureRoller::TakeRemovalFailures() {
    std::vector<std::string> taken;
    taken.swap(m_removalFailures);
    return taken;
}

}  // namespace tapscope::app

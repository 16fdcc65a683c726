#include "log/rotation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "log/gzip_archive.h"
#include "platform/debug_output.h"
#include "platform/move_file.h"
#include "platform/plain_file.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
namespace platform = tapscope::platform;

// "tapscope.log.20261206090503.GZ": the stamp is the third dot-separated
// field, year to second.
constexpr std::size_t kStampLength = 14;
constexpr std::size_t kStampField = 2;
constexpr std::string_view kBackupSuffix = ".BAK";
constexpr std::string_view kArchiveSuffix = ".GZ";
constexpr std::string_view kPartSuffix = ".GZ.part";
// "%s." + 14 digits + ".GZ" and the terminator, on top of the log path.
constexpr std::size_t kArchiveNameExtra = 32;

void ReportOnDebugOutput(const std::string& text) {
    tapscope::platform::OutputDebugText(text);
}

// The field |index| of |name| split at every dot; empty when there is none.
std::string_view DotField(std::string_view name, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        const std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) {
            return {};
        }
        start = dot + 1;
    }
    const std::size_t end = name.find('.', start);
    return name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// The stamp of an archive name as milliseconds since 1601, or 0 when the
// third field is not 14 digits of a real local time.
std::uint64_t StampMs(std::string_view name) {
    const std::string_view field = DotField(name, kStampField);
    if (field.size() != kStampLength) {
        return 0;
    }
    for (char c : field) {
        if (c < '0' || c > '9') {
            return 0;
        }
    }
    auto number = [&](std::size_t at, std::size_t count) {
        return std::atoi(std::string(field.substr(at, count)).c_str());
    };
    zelmisc::LogTime time;
    time.year = static_cast<std::int16_t>(number(0, 4));
    time.month = static_cast<std::uint16_t>(number(4, 2));
    time.day = static_cast<std::uint16_t>(number(6, 2));
    time.hour = static_cast<std::uint16_t>(number(8, 2));
    time.minute = static_cast<std::uint16_t>(number(10, 2));
    time.second = static_cast<std::uint16_t>(number(12, 2));
    // "00000000000000" would read as the all-zero record, which converts to
    // 1970; it is no stamp this log writes.
    if (time.year == 0) {
        return 0;
    }
    return zelmisc::LogTimeToMs(time);
}

bool IsArchiveName(std::string_view name, std::string_view logName) {
    // "<logName>.*.GZ", where * may be empty.
    return name.size() >= logName.size() + 1 + kArchiveSuffix.size() &&
           name.substr(0, logName.size()) == logName && name[logName.size()] == '.' &&
           name.substr(name.size() - kArchiveSuffix.size()) == kArchiveSuffix;
}

}  // namespace

tapscope::platform::WallTime SystemWallClock() {
    return tapscope::platform::WallClockNow();
}

zelmisc::LogTime LocalLogTimeAt(const tapscope::platform::WallTime& now) {
    tapscope::platform::CivilTime civil;
    if (!tapscope::platform::LocalCivilTime(now.seconds, civil)) {
        throw std::runtime_error("could not convert the time to calendar fields");
    }
    return zelmisc::detail::ComposeLogTime(civil, now.nanoseconds / 1000);
}

bool RotationDue(std::uint64_t length, std::optional<std::int64_t> createdSeconds,
                 std::int64_t nowSeconds, const RotationLimits& limits) {
    const std::int64_t maxBytes = static_cast<std::int64_t>(limits.maxSizeMb) * kBytesPerMegabyte;
    if (maxBytes < 0 || length > static_cast<std::uint64_t>(maxBytes)) {
        return true;
    }
    if (limits.maxAgeHours != 0 && createdSeconds) {
        const std::int64_t ageHours = (nowSeconds - *createdSeconds) / kSecondsPerHour;
        if (ageHours > limits.maxAgeHours) {
            return true;
        }
    }
    return false;
}

std::string BackupPath(const std::string& logPath) {
    return logPath + std::string(kBackupSuffix);
}

std::string ArchivePath(const std::string& logPath, const zelmisc::LogTime& time) {
    std::vector<char> name(logPath.size() + kArchiveNameExtra);
    std::snprintf(name.data(), name.size(), "%s.%04d%02d%02d%02d%02d%02d.GZ", logPath.c_str(),
                  static_cast<int>(time.year), static_cast<int>(time.month),
                  static_cast<int>(time.day), static_cast<int>(time.hour),
                  static_cast<int>(time.minute), static_cast<int>(time.second));
    return name.data();
}

std::string ArchivePartPath(const std::string& logPath) {
    return logPath + std::string(kPartSuffix);
}

RotationResult RotateLogFile(const std::string& logPath, const RotationLimits& limits,
                             const RotationClock& clock) {
    RotationResult result;
    auto stop = [&](std::string error, std::string cause) {
        result.error = std::move(error);
        result.cause = std::move(cause);
        return result;
    };
    try {
        const std::string backup = BackupPath(logPath);
        platform::PathKind kind = platform::PathKind::kMissing;
        if (const std::error_code code = platform::LinkKind(backup, kind)) {
            return stop("cannot examine " + backup + ": " + code.message(),
                        "examine the backup: " + code.message());
        }
        if (kind != platform::PathKind::kMissing && kind != platform::PathKind::kRegular) {
            // Not a generation of this log: neither read (a named pipe would
            // block the log for good, a link would archive whatever it points
            // to) nor deleted; the log keeps growing until it is cleared away.
            const std::string what =
                std::string("it is ") + platform::PathKindName(kind) + ", not a regular file";
            return stop("cannot use " + backup + ": " + what, "use the backup: " + what);
        }
        if (kind == platform::PathKind::kRegular) {
            if (limits.zipDays != 0) {
                PurgeArchives(logPath, limits.zipDays, clock);
                const std::string archive = ArchivePath(logPath, LocalLogTimeAt(clock()));
                ArchiveError error;
                if (!WriteGzipArchive(backup, archive, ArchivePartPath(logPath), error)) {
                    // The backup stays: it is the only copy of its generation.
                    return stop(error.text, error.cause);
                }
                result.archivePath = archive;
            }
            std::error_code code;
            if (!fs::remove(backup, code) || code) {
                // The log is not moved: a rename would replace the backup.
                const std::string why = code ? code.message() : std::string("it is still there");
                return stop("cannot delete " + backup + ": " + why, "delete the backup: " + why);
            }
        }
        if (const std::error_code code = platform::MoveFileNoReplace(logPath, backup)) {
            return stop("cannot rename it to " + backup + ": " + code.message(),
                        "rename the log to the backup: " + code.message());
        }
        result.rotated = true;
        return result;
    } catch (const std::exception& e) {
        return stop(e.what(), e.what());
    }
}

RotationRetry::RotationRetry(MonotonicClock clock) : m_clock(std::move(clock)) {}

std::int64_t RotationRetry::WaitMs() const {
    if (m_failures == 0) {
        return 0;
    }
    return std::max<std::int64_t>(0, m_nextAttemptMs - m_clock());
}

std::optional<RotationResult> RotationRetry::Rotate(const std::string& logPath,
                                                    const RotationLimits& limits,
                                                    const RotationClock& wallClock) {
    if (WaitMs() > 0) {
        return std::nullopt;
    }
    RotationResult result = RotateLogFile(logPath, limits, wallClock);
    if (result.rotated) {
        if (m_failures != 0) {
            ReportOnDebugOutput("CDebug rotated LOG file (" + logPath + ") after " +
                                std::to_string(m_failures) +
                                (m_failures == 1 ? " failed attempt\n" : " failed attempts\n"));
        }
        m_failures = 0;
        m_reportedCause.clear();
        return result;
    }
    ++m_failures;
    // 2 s, 4 s, 8 s, ... up to the longest wait; the shift stops growing
    // long before it could overflow.
    const int doublings = std::min(m_failures - 1, 16);
    const std::int64_t wait = std::min(kFirstRotationRetryMs << doublings, kMaxRotationRetryMs);
    m_nextAttemptMs = m_clock() + wait;
    if (result.cause != m_reportedCause) {
        m_reportedCause = result.cause;
        ReportOnDebugOutput("CDebug Can't rotate LOG file (" + logPath + ") " + result.error +
                            "; trying again at growing intervals of up to a minute, the log grows "
                            "meanwhile\n");
    }
    return result;
}

int PurgeArchives(const std::string& logPath, std::int32_t zipDays, const RotationClock& clock) {
    int deleted = 0;
    try {
        const fs::path log(logPath);
        const std::string logName = log.filename().string();
        const fs::path folder = log.parent_path().empty() ? fs::path(".") : log.parent_path();
        const std::int64_t nowMs =
            static_cast<std::int64_t>(zelmisc::LogTimeToMs(LocalLogTimeAt(clock())));
        const std::int64_t keepMs = static_cast<std::int64_t>(zipDays) * kMsPerDay;
        if (nowMs == 0) {
            return 0;
        }
        std::error_code code;
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
            const std::string name = it->path().filename().string();
            std::error_code typeCode;
            if (!IsArchiveName(name, logName) || it->is_directory(typeCode)) {
                continue;
            }
            const std::int64_t stampMs = static_cast<std::int64_t>(StampMs(name));
            // A stamp in the future (the clock was set back) is kept.
            if (stampMs == 0 || nowMs - stampMs <= keepMs) {
                continue;
            }
            std::error_code removeCode;
            if (fs::remove(it->path(), removeCode)) {
                ++deleted;
            } else if (removeCode) {
                // Stays until a later purge.
                ReportOnDebugOutput("CDebug Can't delete LOG archive (" + it->path().string() +
                                    ") " + removeCode.message() + "\n");
            }
        }
    } catch (const std::exception& e) {
        ReportOnDebugOutput("CDebug Can't purge LOG archives (" + logPath + ") " + e.what() + "\n");
    }
    return deleted;
}

}  // namespace ZelLog

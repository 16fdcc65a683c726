// Rotation of the log file: the decision whether a log is too large or too
// old, the move of the log to its backup with the archiving of the previous
// backup, and the purge of expired archives. For a log path L:
//   L                              the current log
//   L.BAK                          the previous generation, uncompressed
//   L.20261206090503.GZ            older generations, gzip, named after the
//                                  local time at which they were archived
//
// The functions keep no state; everything lives in the file system. The
// caller runs them under the log's file lock and the interprocess mutex, so
// that no other thread or process of the program writes or rotates the same
// log meanwhile. Closing the log after a flush goes:
//
//   length  = length of the open log;
//   rotate  = RotationDue(length, created, clock().seconds, limits);
//   close the log;
//   if (length == 0) delete it; else if (rotate) RotateLogFile(path, limits, clock);
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "runtime/log_time.h"

namespace ZelLog {

// The settings rotation reads.
struct RotationLimits {
    std::int32_t maxSizeMb = 100;   // rotate above this many MiB
    std::int32_t maxAgeHours = 48;  // rotate above this whole-hour age; 0: never by age
    std::int32_t zipDays = 2;       // keep archives this many days; 0: make none
};

// The wall clock that rotation reads; tests pass a fixed time.
using RotationClock = std::function<tapscope::platform::WallTime()>;

// The system's wall clock.
tapscope::platform::WallTime SystemWallClock();

// The local time of |now| as the log's time record.
zelmisc::LogTime LocalLogTimeAt(const tapscope::platform::WallTime& now);

constexpr std::int64_t kBytesPerMegabyte = 1024 * 1024;
constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::int64_t kMsPerDay = 86400000;

// True when a log of |length| bytes, created at |createdSeconds| (seconds
// since 1970; std::nullopt when unknown, which rules out the age rule), must
// be rotated at |nowSeconds|: when it is longer than |limits.maxSizeMb| MiB,
// or, with |limits.maxAgeHours| not 0, when its age in whole hours is greater
// than |limits.maxAgeHours| (47 h 59 min counts as 47).
bool RotationDue(std::uint64_t length, std::optional<std::int64_t> createdSeconds,
                 std::int64_t nowSeconds, const RotationLimits& limits);

// "/var/log/tapscope.log" -> "/var/log/tapscope.log.BAK"
std::string BackupPath(const std::string& logPath);
// "/var/log/tapscope.log" at 2026-12-06 09:05:03 -> "/var/log/tapscope.log.20261206090503.GZ"
std::string ArchivePath(const std::string& logPath, const zelmisc::LogTime& time);
// Where an archive is written before it is complete: "/var/log/tapscope.log.GZ.part".
std::string ArchivePartPath(const std::string& logPath);

struct RotationResult {
    bool rotated = false;     // the log became the backup
    std::string archivePath;  // the archive the old backup went into; empty when none
    std::string error;        // why the rotation stopped, naming the file; empty when it did not
    std::string cause;        // the same without the names that change from one attempt to
                              // the next: equal for as long as the same fault lasts
};

// Makes the log the backup. An existing backup goes first: with
// |limits.zipDays| not 0, expired archives are purged and the backup is
// compressed into the archive named after the local time of |clock| (appended
// as a further gzip member when an archive of that second exists); then the
// backup is deleted.
//
// No generation is ever lost: when the archive cannot be written, or the old
// backup cannot be deleted, the rotation stops there, the backup and the log
// stay as they are, and the next rotation tries again. Only a regular file is
// taken for the backup: a symbolic link, a named pipe or any other special
// file under its name stops the rotation at once, untouched. Nothing is
// reported; the result says what happened (RotationRetry reports).
RotationResult RotateLogFile(const std::string& logPath, const RotationLimits& limits,
                             const RotationClock& clock = SystemWallClock);

// Milliseconds of a clock that never steps back; tests pass their own.
using MonotonicClock = std::function<std::int64_t()>;

// The first retry of a failed rotation waits this long; each further failure
// doubles the wait, up to kMaxRotationRetryMs.
constexpr std::int64_t kFirstRotationRetryMs = 2000;
constexpr std::int64_t kMaxRotationRetryMs = 60000;

// The rotations of one log, with retries that back off. A fault that lasts (a
// full disk, a named pipe under the backup's name, a folder the log may not
// write) would otherwise redo the whole archiving at every flush while the
// log's locks are held; instead it is tried again after 2 s, 4 s, 8 s ... and
// then once a minute, and the log grows meanwhile. Failures go to the debug
// output once per change of cause, and the first success after them once.
//
// Used by one thread at a time (the log calls it under its file lock).
class RotationRetry {
public:
    explicit RotationRetry(MonotonicClock clock = tapscope::platform::CoarseMonotonicMs);

    // Rotates the log unless the last attempt failed and the wait after it is
    // not over. Returns the result of the attempt, or std::nullopt when none
    // was made.
    std::optional<RotationResult> Rotate(const std::string& logPath, const RotationLimits& limits,
                                         const RotationClock& wallClock = SystemWallClock);

    // Failed attempts since the last success.
    int Failures() const { return m_failures; }
    // Milliseconds until the next attempt may be made; 0 when it may be made now.
    std::int64_t WaitMs() const;

private:
    MonotonicClock m_clock;
    int m_failures = 0;
    std::int64_t m_nextAttemptMs = 0;
    std::string m_reportedCause;  // of the last failure reported
};

// Deletes the archives of |logPath| ("<logPath>.*.GZ", folders skipped) whose
// third dot-separated name field is a stamp of 14 digits ("tapscope.log.
// 20261206090503.GZ") more than |zipDays| days before the local time of
// |clock|. Names whose third field is anything else (the archives of a log
// named "a.b.log", files the log did not make) are never deleted, nor are
// stamps in the future. Returns the number of archives deleted.
int PurgeArchives(const std::string& logPath, std::int32_t zipDays,
                  const RotationClock& clock = SystemWallClock);

}  // namespace ZelLog

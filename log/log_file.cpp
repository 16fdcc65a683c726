// The file side of CDebug: moving the queued lines into the log file.
//
//   Flush (any thread)
//     m_fileLock ----------------------------------------------+
//       take every queued line and the skip count (queue lock) |
//       OpenLogFile: mutex (3,010 ms) -> open, seek / stamp    |
//       write the overflow text and the lines, "\n" -> CR LF   |
//       CloseLogFile: write out, length, rotation decision,    |
//                     close, delete when empty or rotate,      |
//                     release mutex                            |
//     ---------------------------------------------------------+
//
// Lock order: m_fileLock, then the queue's lock briefly (producers never wait
// behind the disk: they take only the queue's lock), then the mutex.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "log/debug.h"
#include "log/rotation.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

// How long a flush waits for the program's other processes to let go of the log.
constexpr std::int32_t kMutexWaitMs = 3010;
// Lines are gathered up to this many bytes before a write.
constexpr std::size_t kFileBufferSize = 64 * 1024;
// The system's error text in the open-failure report is cut to this length.
constexpr std::size_t kMaxErrorTextLength = 259;
// Room for the overflow text with the largest numbers.
constexpr std::size_t kOverflowTextSize = 160;

std::string Printf(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);

// A formatted text of any length, for reports that carry a path.
std::string Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

}  // namespace

void CDebug::Flush() {
    if (Level() <= 0) {
        return;
    }
    // Held from the take to the write, so that two flushes of this process
    // (the writer and CopyLogTo, say) write their lines in the queue's order.
    zelmisc::ScopedLock flushing(m_fileLock);
    std::vector<std::string> lines;
    std::uint64_t skipped = m_queue.Take(m_queueMaxLines, lines);
    if (!m_unwritten.empty()) {
        skipped += TakeUnwritten(lines);
    }
    if (lines.empty()) {
        return;  // the log file is not touched
    }

    bool opened = false;
    const bool held = OpenLogFile(opened);
    if (!held) {
        // Another process held the log longer than the wait: the lines stay,
        // within the queue's bound, for the next flush instead of being lost.
        m_unwritten = std::move(lines);
        m_unwrittenSkipped = skipped;
        CloseLogFile(held);
        return;
    }
    if (opened && m_file.IsOpen()) {
        bool ok = true;
        if (skipped != 0) {
            char overflow[kOverflowTextSize];
            std::snprintf(overflow, sizeof overflow,
                          "\n##### Log queue overflow (max size:%" PRIu32 "). %" PRIu64
                          " log lines skipped #####\n\n",
                          m_queueMaxLines, skipped);
            ok = WriteToFile(overflow);
        }
        for (const std::string& line : lines) {
            if (!ok) {
                break;  // a file error ends the writing of this flush
            }
            ok = WriteToFile(line);
        }
    }
    CloseLogFile(held);
    // The lines taken are dropped here, written or not.
}

bool CDebug::CopyLogTo(const char* destination) {
    Flush();
    if (destination == nullptr || destination[0] == '\0') {
        return true;
    }
    // Under the file lock and the mutex, as a flush: a flush of this process
    // or a flush or rotation of another process of the program ends before the
    // copy begins, so the copy never holds half of one.
    zelmisc::ScopedLock lock(m_fileLock);
    switch (m_mutex.Lock(kMutexWaitMs)) {
        case platform::NamedMutex::Wait::kAcquired:
            break;
        case platform::NamedMutex::Wait::kAbandoned:
            // Ours now: the log is copied as the owner that died left it.
            platform::OutputDebugText("CDebug got ownership of the abandoned mutex object\n");
            break;
        case platform::NamedMutex::Wait::kTimeout:
            platform::OutputDebugText("CDebug cannot get mutex ownership due to time-out\n");
            return false;
        case platform::NamedMutex::Wait::kFailed:
            platform::OutputDebugText(
                Printf("CDebug ownership of the mutex object error (%d)\n", m_mutex.error()));
            return false;
    }
    std::error_code error;
    const bool copied = std::filesystem::copy_file(
        m_logFilePath, destination, std::filesystem::copy_options::overwrite_existing, error);
    m_mutex.Unlock();
    return copied;
}

std::uint64_t CDebug::TakeUnwritten(std::vector<std::string>& lines) {
    // The kept lines are older than any line taken since; the bound keeps the
    // newest m_queueMaxLines + 1 of them all, as the queue itself would.
    std::uint64_t skipped = m_unwrittenSkipped;
    const std::uint64_t keep = std::uint64_t{m_queueMaxLines} + 1;
    const std::uint64_t total = m_unwritten.size() + lines.size();
    const std::uint64_t drop =
        total > keep ? std::min<std::uint64_t>(total - keep, m_unwritten.size()) : 0;
    skipped += drop;
    std::vector<std::string> merged;
    merged.reserve(static_cast<std::size_t>(total - drop));
    std::move(m_unwritten.begin() + static_cast<std::ptrdiff_t>(drop), m_unwritten.end(),
              std::back_inserter(merged));
    std::move(lines.begin(), lines.end(), std::back_inserter(merged));
    lines.swap(merged);
    m_unwritten.clear();
    m_unwrittenSkipped = 0;
    return skipped;
}

bool CDebug::OpenLogFile(bool& opened) {
    m_fileLock.Lock();  // given back by CloseLogFile
    bool held = false;
    opened = false;
    if (Level() <= 0) {
        return held;
    }
    switch (m_mutex.Lock(kMutexWaitMs)) {
        case platform::NamedMutex::Wait::kAcquired: {
            held = true;
            int error = 0;
            opened = m_file.Open(m_logFilePath, error);
            if (!opened) {
                std::string reason = platform::ErrorText(error);
                reason.resize(std::min(reason.size(), kMaxErrorTextLength));
                platform::OutputDebugText(Printf("CDebug Can't open LOG output file (%s) %s\n",
                                                 m_logFilePath.c_str(), reason.c_str()));
                break;
            }
            m_fileBuffer.clear();
            m_fileFailed = false;
            std::uint64_t length = 0;
            if (!m_file.Length(length, error)) {
                break;  // not a regular file: it is written as it is
            }
            if (length == 0) {
                // A new log: the age of the generation counts from now.
                m_file.RecordCreationTime(platform::WallClockNow().seconds);
            } else if (!m_file.SeekToEnd(error)) {
                platform::OutputDebugText(Printf("CDebug Can't Seek LOG output file (%s) %s\n",
                                                 m_logFilePath.c_str(),
                                                 platform::ErrorText(error).c_str()));
            }
            break;
        }
        case platform::NamedMutex::Wait::kAbandoned:
            // This thread owns the mutex now; CloseLogFile gives it back. The
            // file may hold half a flush of the owner that died: leave it be
            // for this cycle.
            platform::OutputDebugText("CDebug got ownership of the abandoned mutex object\n");
            held = true;
            break;
        case platform::NamedMutex::Wait::kTimeout:
            platform::OutputDebugText("CDebug cannot get mutex ownership due to time-out\n");
            break;
        case platform::NamedMutex::Wait::kFailed:
            platform::OutputDebugText(
                Printf("CDebug ownership of the mutex object error (%d)\n", m_mutex.error()));
            break;
    }
    return held;
}

void CDebug::CloseLogFile(bool held) {
    // An open file is always written out and closed, whatever the level: a
    // shutdown that set level 0 during this flush must not strand its lines
    // in the buffer or leave the file open.
    if (m_file.IsOpen()) {
        FlushFileBuffer();
        std::uint64_t length = 0;
        int error = 0;
        const bool haveLength = m_file.Length(length, error);
        // The rotation decision is taken here, while the file is still open.
        const bool rotate = haveLength && RotationDue(length);
        m_file.Close();
        if (haveLength && length == 0) {
            // Nothing could be written to a new log: it is not kept.
            std::error_code ignored;
            std::filesystem::remove(m_logFilePath, ignored);
        } else if (rotate) {
            // Still under m_fileLock and the mutex: no flush of this process
            // or of another process of the program writes or rotates the log
            // meanwhile. Failures are reported on the debug output; whatever
            // was not done is tried again at a later close that rotates, after
            // a wait that grows while the rotation keeps failing.
            try {
                m_rotation.Rotate(m_logFilePath, Limits());
            } catch (...) {
                // The locks must be given back below whatever happens.
            }
        }
    }
    if (held) {
        m_mutex.Unlock();
    }
    m_fileLock.Unlock();
}

bool CDebug::RotationDue(std::uint64_t length) {
    try {
        const RotationLimits limits = Limits();
        std::optional<std::int64_t> created;
        std::int64_t seconds = 0;
        // The moment the log made this file; unknown (no age rule) when the
        // file system keeps neither the recorded moment nor a birth time.
        if (limits.maxAgeHours != 0 && platform::ReadFileCreationTime(m_logFilePath, seconds)) {
            created = seconds;
        }
        return ZelLog::RotationDue(length, created, platform::WallClockNow().seconds, limits);
    } catch (...) {
        return false;
    }
}

RotationLimits CDebug::Limits() const {
    RotationLimits limits;
    limits.maxSizeMb = m_maxSizeMb;
    limits.maxAgeHours = m_maxAgeHours;
    limits.zipDays = m_zipDays;
    return limits;
}

bool CDebug::WriteToFile(std::string_view text) {
    if (m_fileFailed) {
        return false;
    }
    if (m_fileBuffer.capacity() < kFileBufferSize) {
        m_fileBuffer.reserve(kFileBufferSize);
    }
    // Each "\n" is stored as CR LF; the room check leaves space for the pair.
    while (!text.empty()) {
        if (m_fileBuffer.size() + 2 > kFileBufferSize && !FlushFileBuffer()) {
            return false;
        }
        const std::size_t room = kFileBufferSize - m_fileBuffer.size() - 1;
        const std::size_t span = std::min(text.size(), room);
        const void* found = std::memchr(text.data(), '\n', span);
        const std::size_t plain =
            found != nullptr ? static_cast<const char*>(found) - text.data() : span;
        m_fileBuffer.insert(m_fileBuffer.end(), text.data(), text.data() + plain);
        text.remove_prefix(plain);
        if (found != nullptr) {
            m_fileBuffer.push_back('\r');
            m_fileBuffer.push_back('\n');
            text.remove_prefix(1);
        }
    }
    return true;
}

bool CDebug::FlushFileBuffer() {
    if (m_fileBuffer.empty()) {
        return !m_fileFailed;
    }
    int error = 0;
    if (!m_fileFailed && !m_file.Write(m_fileBuffer.data(), m_fileBuffer.size(), error)) {
        m_fileFailed = true;
    }
    m_fileBuffer.clear();
    return !m_fileFailed;
}

}  // namespace ZelLog

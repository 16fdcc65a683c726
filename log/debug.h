// CDebug: the process-wide diagnostic log. Components obtain it with
// CDebug::Instance("", kRegistryPath) at each use (or ZelLog::Log()) and keep no
// pointer. Lines are formatted on the calling thread and queued; a writer
// thread moves them into the log file, which several processes of the same
// program may share under an interprocess mutex named after the module, and
// rotates the file into a backup and gzip archives when it grows too large or
// too old. The configuration is read from the registry when the object is made.
//
// Threading: every line operation may be called from any thread at the same
// time; none of them returns a result, throws or waits on the disk. The level,
// options, filter and main thread id are fixed at construction. Flush and
// CopyLogTo may be called from any thread; flushes of one process take turns
// on m_fileLock, flushes of several processes on m_mutex.
//
// The process-wide object lives until the process ends: at exit a handler
// writes what is queued and stops the writer, and leaves the object in place
// (at level 0) for threads that still log.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "log/detail/line_queue.h"
#include "log/log_settings.h"
#include "log/log_writer.h"
#include "log/rotation.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "runtime/log_time.h"
#include "runtime/sync_objects.h"

#define ZEL_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))

namespace ZelLog {

// The registry path every component of this system passes to Instance.
inline constexpr const char* kRegistryPath = "SOFTWARE\\ZEL\\Korvantis";

struct RotationLimits;

// Hands text to a log without any formatting of its own.
class ILogDumper {
public:
    virtual void Dump(const char* text) = 0;
    virtual bool CopyLogTo(const char* destination) = 0;

protected:
    ~ILogDumper() = default;
};

class CDebug : public ILogDumper {
public:
    // The process-wide object. The first call creates it with these arguments;
    // every later call returns it and ignores them. A call made by the
    // creating thread while the object is being constructed returns the object
    // under construction instead of constructing a second one.
    static CDebug* Instance(const char* logFolder, const char* registryPath);

    virtual ~CDebug();

    CDebug(const CDebug&) = delete;
    CDebug& operator=(const CDebug&) = delete;

    // Ordinary line, written at level 2 and above.
    void Trace(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);
    // Warning line, written at level 1 and above.
    void Warning(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);
    // Error line with its call site, written at level 1 and above; called
    // through ErrorSite (below).
    void Error(const char* file, int line, const char* timestamp, const char* format, ...)
        ZEL_PRINTF_FORMAT(5, 6);
    // Text without prefix, written at level 2 and above.
    void PrintRaw(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);

    // The start-up banner: machine, system, version and computer between two
    // rules, queued without prefix, filter or echo. Nothing at level 0 or
    // without a file bit in the options.
    void WriteHeader();

    // Queues |text| as it stands: no prefix, no filter, no echo.
    void Dump(const char* text) override;
    // Flushes, then copies the log file to |destination| (replacing it) under
    // the interprocess mutex, as a flush writes. True for an empty
    // destination, else whether the copy succeeded; false when the mutex
    // could not be had (said on the debug output, as a flush says it).
    bool CopyLogTo(const char* destination) override;

    // Writes every queued line to the log file now. It returns once the lines
    // it took are in the file, dropped, or - when the mutex could not be had in
    // time - kept for the next flush; an empty queue leaves the file alone.
    void Flush();

    // Appends one line to the queue. The oldest line makes room when the queue
    // already holds more than the bound; the line is cut to the line buffer.
    void Enqueue(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);

    // "[CPU=0001][PID=00001234]:[NORMAL]:[TID=00002468(MAIN)]:[NORMAL] [06-12-26 09:05:03.042]"
    std::string MakeLinePrefix(const zelmisc::LogTime& time) const;
    static std::string PriorityName(int value);

    std::int32_t Level() const { return m_level.load(std::memory_order_relaxed); }

    // The exit handler of the process-wide object (registered when it is made).
    static void ShutdownAtExit();

    // Fork handlers of the process-wide object (registered when it is made).
    // Before a fork the forking thread takes the file lock and the queue's
    // locks, so that the child gets no half-made flush or line. The child
    // starts with an empty queue and without the parent's writer thread,
    // which exists only in the parent: its lines are written when it calls
    // Flush or CopyLogTo and when it exits, which never waits for the
    // parent's writer. (It starts no thread of its own: a child of a
    // multi-threaded process should start none before exec.)
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

private:
    friend class CDebugTestAccess;
    friend class LogWriter;
    friend struct ErrorSite;

    // The process-wide log: reads the configuration from the registry under
    // |registryPath| (writing the common values back), names the log file
    // (in |logFolder| when given), says on the debug output where the log
    // goes, opens the mutex, deletes the old log when each run starts a new
    // one and, at level 1 or more, starts the writer.
    CDebug(const char* logFolder, const char* registryPath);
    // Builds a log from settings that are already known; it opens the
    // interprocess mutex but starts no writer.
    CDebug(const LogSettings& settings, const char* logFolder, const char* registryPath);

    void ApplySettings(const LogSettings& settings);
    // Makes a log built from |settings| the process-wide object, or applies
    // them to the existing one (tests only, while no other thread logs). With
    // |withWriter| the writer starts at level 1 or more.
    static CDebug* InstallInstance(const LogSettings& settings, bool withWriter);
    // Tests: |probe| runs on the constructing thread while the process-wide
    // object is under construction, just before its writer starts.
    static void SetConstructionProbe(void (*probe)());

    // Opens the interprocess mutex named after the module.
    void OpenMutex();
    // With a rotation age of 0 each run starts a new log: deletes the old
    // one, unless another process of the program is writing it or it cannot
    // be deleted (it is kept then, and written on).
    void StartNewLog(const LogSettings& settings);
    // At level 1 or more, starts the writer with the flush period.
    void StartWriter();
    // Signals the writer to leave its loop, joins it and deletes it.
    void StopWriter();
    // The shutdown order: flush, level 0, stop the writer, drop what is left.
    // The object stays usable (at level 0) afterwards.
    void Shutdown();

    // Puts the lines kept from a flush that could not get the mutex before
    // |lines|, with the queue's bound; returns the count of lines skipped
    // before them. Under m_fileLock.
    std::uint64_t TakeUnwritten(std::vector<std::string>& lines);
    // Takes m_fileLock (held until CloseLogFile) and the mutex, and opens the
    // log file; |opened| says whether it is open. Returns whether the mutex is
    // held. Always followed by CloseLogFile with that result.
    bool OpenLogFile(bool& opened);
    // Writes out the file buffer, takes the rotation decision, closes the file
    // (deleting it when empty), releases the mutex if |held|, and m_fileLock.
    void CloseLogFile(bool held);
    // The rotation decision for a log of |length| bytes, taken while the file
    // is still open: larger than the size limit, or older in whole hours than
    // the age limit (counted from the moment the log created the file).
    bool RotationDue(std::uint64_t length);
    // The size, age and retention limits of rotation.
    RotationLimits Limits() const;
    // Appends |text| to the file buffer with "\n" stored as CR LF; false once
    // a write has failed. Under m_fileLock.
    bool WriteToFile(std::string_view text);
    // Writes the file buffer out. Under m_fileLock.
    bool FlushFileBuffer();

    void VError(const char* file, int line, const char* timestamp, const char* format, va_list args)
        ZEL_PRINTF_FORMAT(5, 0);
    // What a kind of prefixed line puts around the caller's text, and whether
    // the filter applies to it. Passed by reference, so that a line's pieces
    // travel in one register.
    struct LineShape {
        std::string_view marker;
        std::string_view suffix;
        bool filtered;
    };
    // Composes and hands on one prefixed line.
    void WritePrefixedLine(const LineShape& shape, const char* format, va_list args)
        ZEL_PRINTF_FORMAT(3, 0);
    // The line of WritePrefixedLine made in a stack buffer and handed to
    // Deliver, for the echo (and the file).
    [[gnu::noinline]] void EchoPrefixedLine(const tapscope::platform::WallTime& now,
                                            const LineShape& shape, const char* format,
                                            va_list args) ZEL_PRINTF_FORMAT(4, 0);
    // The line of WritePrefixedLine for the file alone (no echo), made in
    // its queue slot.
    void QueuePrefixedLine(const tapscope::platform::WallTime& now, const LineShape& shape,
                           const char* format, va_list args) ZEL_PRINTF_FORMAT(4, 0);
    // Steps common to every line operation: the file (through the filter) and
    // the debug-output echo.
    void Deliver(const char* line, std::size_t length, bool filtered);
    // Enqueue of a finished text, as Enqueue("%s", text) would do it.
    void EnqueueText(std::string_view text);

    std::string m_logFolder;
    std::string m_registryPath;
    std::string m_moduleName;
    std::string m_extension = "log";
    std::string m_logFilePath;
    std::atomic<std::int32_t> m_level{0};  // set to 0 again while shutting down
    std::uint32_t m_options = 1;
    std::uint32_t m_bufferSize = 4096;
    std::uint32_t m_queueMaxLines = 5000;
    std::int32_t m_flushPeriod = 500;
    std::int32_t m_maxSizeMb = 100;
    std::int32_t m_maxAgeHours = 48;
    std::int32_t m_zipDays = 2;
    std::string m_filter;
    unsigned long m_mainThreadId = 0;

    // The queued lines and the count of lines dropped since the last take;
    // the queue has its own locks.
    detail::LineQueue m_queue;

    // The file side: the log file while a flush has it open, its write buffer
    // and whether a write failed in this flush.
    zelmisc::CriticalSection m_fileLock;
    tapscope::platform::AppendFile m_file;   // guarded by m_fileLock
    std::vector<char> m_fileBuffer;          // guarded by m_fileLock
    bool m_fileFailed = false;               // guarded by m_fileLock
    tapscope::platform::NamedMutex m_mutex;  // used under m_fileLock
    // Lines a flush took but could not write because another process held
    // the mutex too long (rotating the log, say), and the count of lines
    // skipped before them: the next flush writes them first.
    std::vector<std::string> m_unwritten;  // guarded by m_fileLock
    std::uint64_t m_unwrittenSkipped = 0;  // guarded by m_fileLock
    // Rotations of the log file, retried after a growing wait while they fail.
    RotationRetry m_rotation;  // guarded by m_fileLock

    LogWriterHooks m_writerHooks;         // set before the writer starts
    std::unique_ptr<LogWriter> m_writer;  // absent below level 1
    // In a forked child: the parent's writer, whose thread was not copied.
    // Kept, unused, so that it is neither stopped nor freed here.
    LogWriter* m_parentsWriter = nullptr;
};

// An error call site: the log, the caller's source file, source time stamp and
// line. Calling it with a format and arguments writes an error line.
struct ErrorSite {
    CDebug* debug;
    const char* file;
    const char* timestamp;
    int line;

    void operator()(const char* format, ...) const ZEL_PRINTF_FORMAT(2, 3);
};

// The process-wide log, as every component obtains it.
inline CDebug* Log() {
    return CDebug::Instance("", kRegistryPath);
}

}  // namespace ZelLog

// An ErrorSite for the current source file, line and source time stamp:
//   ZEL_ERROR_SITE()("Cannot open %s", name);
#define ZEL_ERROR_SITE()                                   \
    ::ZelLog::ErrorSite {                                  \
        ::ZelLog::Log(), __FILE__, __TIMESTAMP__, __LINE__ \
    }
// The same for a given log object.
#define ZEL_ERROR_SITE_FOR(debug)                  \
    ::ZelLog::ErrorSite {                          \
        (debug), __FILE__, __TIMESTAMP__, __LINE__ \
    }

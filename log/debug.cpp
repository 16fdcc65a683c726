#include "log/debug.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "log/configuration.h"
#include "log/detail/line_clock.h"
#include "log/line_format.h"
#include "log/log_writer.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/process_info.h"
#include "runtime/thread.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

constexpr std::uint32_t kFileOptionBits = 0x0F;
constexpr std::uint32_t kEchoOptionBits = 0xF0;
// The debug-output echo of a line is cut to this many characters and "\n".
constexpr std::size_t kEchoMaxLength = 2047;

constexpr std::int32_t kTraceLevel = 2;
constexpr std::int32_t kWarningLevel = 1;
constexpr std::int32_t kErrorLevel = 1;

zelmisc::CriticalSection& InstanceLock() {
    // Never destroyed: threads that outlive main may still ask for the log.
    static auto* lock = new zelmisc::CriticalSection;
    return *lock;
}

// Set up when the program starts, so that no two threads race to make it.
[[maybe_unused]] zelmisc::CriticalSection& g_instanceLockAtStart = InstanceLock();

std::atomic<CDebug*> g_instance{nullptr};
// The object whose constructor is running; guarded by InstanceLock().
CDebug* g_constructing = nullptr;
// Tests: called on the constructing thread while the process-wide object is
// under construction, just before its writer starts.
void (*g_constructionProbe)() = nullptr;

// The thread wrapper's reports go to the process-wide log, as every
// component's lines do.
void TraceReport(const char* text) {
    Log()->Trace("%s", text);
}
void WarningReport(const char* text) {
    Log()->Warning("%s", text);
}
void ErrorReport(const char* file, int line, const char* timestamp, const char* text) {
    ErrorSite{Log(), file, timestamp, line}("%s", text);
}

void InstallThreadReports() {
    zelmisc::SetThreadReportHooks({&TraceReport, &WarningReport, &ErrorReport});
}

}  // namespace

// At process exit: write what is queued and stop the writer. The object and
// its lock stay: detached threads may still log, and find level 0.
void CDebug::ShutdownAtExit() {
    if (CDebug* log = g_instance.load(std::memory_order_acquire)) {
        log->Shutdown();
    }
}

// A fork in the middle of a flush waits for it (at most the mutex wait and a
// rotation): the child's copy of the file side is then whole.
void CDebug::BeforeFork() {
    if (CDebug* log = g_instance.load(std::memory_order_acquire)) {
        log->m_fileLock.Lock();
        log->m_queue.LockForFork();
    }
}

void CDebug::AfterForkInParent() {
    if (CDebug* log = g_instance.load(std::memory_order_acquire)) {
        log->m_queue.UnlockAfterFork();
        log->m_fileLock.Unlock();
    }
}

void CDebug::AfterForkInChild() {
    CDebug* log = g_instance.load(std::memory_order_acquire);
    if (log == nullptr) {
        return;
    }
    // Queued and kept lines are the parent's: its writer writes them.
    log->m_queue.ResetInForkedChild();
    log->m_unwritten.clear();
    log->m_unwrittenSkipped = 0;
    log->m_fileBuffer.clear();
    log->m_fileFailed = false;
    // The writer's thread was not copied: its object is kept as it is, never
    // signalled, joined or deleted here.
    log->m_parentsWriter = log->m_writer.release();
    log->m_fileLock.ResetInForkedChild();
}

void CDebug::SetConstructionProbe(void (*probe)()) {
    zelmisc::ScopedLock lock(InstanceLock());
    g_constructionProbe = probe;
}

namespace {

void RegisterExitHandler() {
    static const bool registered =
        std::atexit(&CDebug::ShutdownAtExit) == 0 &&
        platform::AddForkHandlers(&CDebug::BeforeFork, &CDebug::AfterForkInParent,
                                  &CDebug::AfterForkInChild);
    (void)registered;
}

std::string_view SourceFileName(const char* path) {
    const std::string_view text = path != nullptr ? path : "";
    const std::string_view::size_type slash = text.find_last_of("/\\");
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

}  // namespace

CDebug* CDebug::Instance(const char* logFolder, const char* registryPath) {
    if (CDebug* existing = g_instance.load(std::memory_order_acquire)) {
        return existing;
    }
    zelmisc::ScopedLock lock(InstanceLock());
    if (CDebug* existing = g_instance.load(std::memory_order_relaxed)) {
        return existing;
    }
    if (g_constructing != nullptr) {
        // Only the constructing thread gets here: the lock is re-entrant.
        return g_constructing;
    }
    InstallThreadReports();
    CDebug* created = nullptr;
    try {
        created = new CDebug(logFolder != nullptr ? logFolder : "",
                             registryPath != nullptr ? registryPath : "");
    } catch (...) {
        g_constructing = nullptr;
        throw;
    }
    g_constructing = nullptr;
    g_instance.store(created, std::memory_order_release);
    RegisterExitHandler();
    return created;
}

CDebug* CDebug::InstallInstance(const LogSettings& settings, bool withWriter) {
    zelmisc::ScopedLock lock(InstanceLock());
    InstallThreadReports();
    if (CDebug* existing = g_instance.load(std::memory_order_relaxed)) {
        existing->StopWriter();
        existing->ApplySettings(settings);
        existing->OpenMutex();
        if (withWriter) {
            existing->StartWriter();
        }
        return existing;
    }
    CDebug* created = new CDebug(settings, "", kRegistryPath);
    if (withWriter) {
        g_constructing = created;
        if (g_constructionProbe != nullptr) {
            g_constructionProbe();
        }
        created->StartWriter();
        g_constructing = nullptr;
    }
    g_instance.store(created, std::memory_order_release);
    RegisterExitHandler();
    return created;
}

// The order matters: each step uses the results of the ones before it.
//   configuration  module name, keys, every value, log file path (keys closed)
//   debug output   where the log goes
//   mutex          named after the module
//   delete         the old log, when each run starts a new one ("DebugTime" 0)
//   writer         at level 1 or more
CDebug::CDebug(const char* logFolder, const char* registryPath)
    : m_logFolder(logFolder), m_registryPath(registryPath) {
    g_constructing = this;
    m_mainThreadId = platform::CurrentThreadId();
    LogSettings settings;
    try {
        settings = ReadLogConfiguration(m_logFolder, m_registryPath);
    } catch (const std::exception& e) {
        // The log stays off with its defaults; a caller of Instance never sees
        // the failure.
        settings = LogSettings{};
        platform::OutputDebugText(std::string("CDebug cannot read its configuration: ") + e.what() +
                                  "\n");
    }
    ApplySettings(settings);
    // Its own line on standard error, as every other text of the log.
    platform::OutputDebugText(LogDestinationText(settings, m_registryPath) + "\n");
    OpenMutex();
    StartNewLog(settings);
    if (g_constructionProbe != nullptr) {
        g_constructionProbe();
    }
    StartWriter();
}

CDebug::CDebug(const LogSettings& settings, const char* logFolder, const char* registryPath)
    : m_logFolder(logFolder), m_registryPath(registryPath) {
    m_mainThreadId = platform::CurrentThreadId();
    ApplySettings(settings);
    OpenMutex();
}

CDebug::~CDebug() {
    Shutdown();
}

void CDebug::StartNewLog(const LogSettings& settings) {
    if (settings.maxAgeHours != 0 || settings.logFilePath.empty()) {
        return;
    }
    // Under the mutex: Linux deletes a file that another process has open,
    // and the lines of a flush that another process of the program is making
    // would vanish with it. Windows refuses to delete an open file; so the
    // log is kept while the mutex is taken, and the start goes on with it.
    zelmisc::ScopedLock lock(m_fileLock);
    switch (m_mutex.Lock(0)) {
        case platform::NamedMutex::Wait::kAcquired:
        case platform::NamedMutex::Wait::kAbandoned:
            DeleteLogAtStart(settings);
            m_mutex.Unlock();
            break;
        case platform::NamedMutex::Wait::kTimeout:
            platform::OutputDebugText("Cannot delete the old log file '" + settings.logFilePath +
                                      "': another process of the program is writing it; it is "
                                      "kept\n");
            break;
        case platform::NamedMutex::Wait::kFailed:
            // No mutex to agree on with other processes.
            DeleteLogAtStart(settings);
            break;
    }
}

namespace {

// Why an object could not be used, for the debug output.
std::string MutexRefusal(int error) {
    if (error == platform::NamedMutex::kForeignOwner) {
        return "it belongs to another user";
    }
    return platform::ErrorText(error);
}

}  // namespace

// The mutex the program's processes share is the object named after the
// module, as long as this user may open and trust it. Another user's object
// (one made by root, say, or planted to hold the log hostage) or one left by
// an incompatible build must not cost this user the log: then this user's
// processes share an object of their own, "<module>.<uid>", and when even
// that cannot be had the process keeps a mutex to itself.
void CDebug::OpenMutex() {
    zelmisc::ScopedLock lock(m_fileLock);
    if (m_mutex.Open(m_moduleName)) {
        return;
    }
    using platform::NamedMutex;
    const std::string shared = NamedMutex::PathOf(m_moduleName);
    const std::string sharedRefusal = MutexRefusal(m_mutex.error());
    const std::string own = NamedMutex::PerUserName(m_moduleName);
    if (m_mutex.Open(own, NamedMutex::Scope::kUser)) {
        platform::OutputDebugText("CDebug cannot use the mutex object " + shared + " (" +
                                  sharedRefusal + "); this user's processes share " +
                                  NamedMutex::PathOf(own) + " instead\n");
        return;
    }
    const std::string ownRefusal = MutexRefusal(m_mutex.error());
    m_mutex.Open("");
    platform::OutputDebugText("CDebug cannot use the mutex object " + shared + " (" +
                              sharedRefusal + ") nor " + NamedMutex::PathOf(own) + " (" +
                              ownRefusal + "); this process uses a mutex of its own\n");
}

void CDebug::StartWriter() {
    if (Level() >= 1 && !m_writer) {
        m_writer = std::make_unique<LogWriter>(this, m_flushPeriod);
    }
}

void CDebug::StopWriter() {
    if (!m_writer) {
        return;
    }
    m_writer->SignalWake();
    if (m_writer->ExchangeStopping(1) != 1) {
        m_writer->Stop();
    }
    m_writer.reset();
}

void CDebug::Shutdown() {
    Flush();
    m_level.store(0, std::memory_order_relaxed);
    StopWriter();
    m_queue.Discard(m_queueMaxLines);
    zelmisc::ScopedLock lock(m_fileLock);
    m_unwritten.clear();
    m_unwrittenSkipped = 0;
}

void CDebug::ApplySettings(const LogSettings& settings) {
    m_moduleName = settings.moduleName;
    m_extension = settings.extension;
    m_logFilePath = settings.logFilePath;
    m_options = settings.options;
    m_bufferSize = settings.bufferSize;
    m_queueMaxLines = settings.queueMaxLines;
    m_flushPeriod = settings.flushPeriod;
    m_maxSizeMb = settings.maxSizeMb;
    m_maxAgeHours = settings.maxAgeHours;
    m_zipDays = settings.zipDays;
    m_filter = settings.filter;
    m_level.store(settings.level, std::memory_order_relaxed);
}

void CDebug::Trace(const char* format, ...) {
    if (Level() < kTraceLevel) {
        return;
    }
    va_list args;
    va_start(args, format);
    static constexpr LineShape kTraceShape{" ", "\n", true};
    WritePrefixedLine(kTraceShape, format, args);
    va_end(args);
}

void CDebug::Warning(const char* format, ...) {
    if (Level() < kWarningLevel) {
        return;
    }
    va_list args;
    va_start(args, format);
    static constexpr LineShape kWarningShape{" !WARNING! ", "\n", true};
    WritePrefixedLine(kWarningShape, format, args);
    va_end(args);
}

void CDebug::Error(const char* file, int line, const char* timestamp, const char* format, ...) {
    if (Level() < kErrorLevel) {
        return;
    }
    va_list args;
    va_start(args, format);
    VError(file, line, timestamp, format, args);
    va_end(args);
}

void CDebug::VError(const char* file, int line, const char* timestamp, const char* format,
                    va_list args) {
    if (Level() < kErrorLevel) {
        return;
    }
    const std::string_view name = SourceFileName(file);
    const std::uint64_t memoryMb = platform::WorkingSetBytes() >> 20;
    char suffix[kLineBufferSize];
    const int n =
        std::snprintf(suffix, sizeof suffix, " (file:%.*s line:%d ver:%s memory:%" PRIu64 " MB)\n",
                      static_cast<int>(name.size()), name.data(), line,
                      timestamp != nullptr ? timestamp : "", memoryMb);
    const std::size_t suffixLength = n < 0 ? 0 : std::min<std::size_t>(n, sizeof suffix - 1);
    const LineShape shape{" #* ERROR *# ", std::string_view(suffix, suffixLength), false};
    WritePrefixedLine(shape, format, args);
}

void CDebug::PrintRaw(const char* format, ...) {
    if (Level() < kTraceLevel) {
        return;
    }
    char line[kLineBufferSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    Deliver(line, TextLength(line, std::min<std::size_t>(n, sizeof line - 1)), true);
}

void CDebug::WritePrefixedLine(const LineShape& shape, const char* format, va_list args) {
    try {
        const platform::WallTime now = detail::LineTime();
        if ((m_options & kEchoOptionBits) == 0) {
            // The usual case: the line goes only to the file, and is made
            // straight in its queue slot. With neither the file nor the echo
            // there is nothing to make.
            if ((m_options & kFileOptionBits) != 0) {
                QueuePrefixedLine(now, shape, format, args);
            }
            return;
        }
        EchoPrefixedLine(now, shape, format, args);
    } catch (...) {
        // A line that cannot be made is dropped; logging never throws.
    }
}

// Kept out of WritePrefixedLine, so that the line buffer on the stack is not
// part of the frame of every line that goes only to the file.
void CDebug::EchoPrefixedLine(const platform::WallTime& now, const LineShape& shape,
                              const char* format, va_list args) {
    char line[kLineBufferSize];
    static_assert(kLineBufferSize >= kPrefixBufferSize);
    const std::size_t prefixLength = FormatLinePrefixAt(line, sizeof line, now, m_mainThreadId);
    const std::size_t length =
        ComposeLineAfterPrefix(line, prefixLength, shape.marker, format, args, shape.suffix);
    Deliver(line, TextLength(line, length), shape.filtered);
}

namespace {

// Ends a va_list copy however the scope is left.
struct VaListCopy {
    explicit VaListCopy(va_list args) { va_copy(copy, args); }
    ~VaListCopy() { va_end(copy); }
    VaListCopy(const VaListCopy&) = delete;
    VaListCopy& operator=(const VaListCopy&) = delete;
    va_list copy;
};

}  // namespace

// The same line as WritePrefixedLine makes in its stack buffer and Deliver
// queues: made in the slot's inline room, or, when it is longer, made again
// in a buffer of the slot's own; then held to the filter and cut to the line
// buffer. A NUL the arguments put in (%c) ends the line: the queue stops
// there when the line is taken, and the filter looks only that far.
void CDebug::QueuePrefixedLine(const platform::WallTime& now, const LineShape& shape,
                               const char* format, va_list args) {
    if (Level() <= 0) {
        return;
    }
    VaListCopy again(args);
    detail::LineQueue::LineWriter line(m_queue);
    char* out = line.Buffer();
    std::size_t needed = kLineBufferSize;
    std::size_t prefixLength = FormatLinePrefixAt(out, line.Capacity(), now, m_mainThreadId);
    std::size_t length = prefixLength == 0
                             ? kNoRoom
                             : ComposeLineIn(out, line.Capacity(), needed, prefixLength,
                                             shape.marker, format, args, shape.suffix);
    if (length == kNoRoom) {
        // The room the line asked for: it fits there, as it is made from
        // the same pieces again.
        char* larger = line.Enlarge(std::max(needed, kPrefixBufferSize));
        if (prefixLength == 0) {
            prefixLength = FormatLinePrefixAt(larger, kPrefixBufferSize, now, m_mainThreadId);
        } else {
            std::memcpy(larger, out, prefixLength);
        }
        out = larger;
        length = ComposeLineIn(out, line.Capacity(), needed, prefixLength, shape.marker, format,
                               again.copy, shape.suffix);
        if (length == kNoRoom) {
            return;
        }
    }
    if (shape.filtered && !m_filter.empty()) {
        // Only the caller's arguments can put a NUL in the line.
        const std::size_t text =
            prefixLength + TextLength(out + prefixLength, length - prefixLength);
        if (std::string_view(out, text).find(m_filter) == std::string_view::npos) {
            return;
        }
    }
    const std::size_t room = m_bufferSize == 0 ? 0 : m_bufferSize - 1;
    line.Commit(std::min(length, room), m_queueMaxLines);
}

void CDebug::Deliver(const char* line, std::size_t length, bool filtered) {
    const std::string_view text(line, length);
    if ((m_options & kFileOptionBits) != 0) {
        if (!filtered || m_filter.empty() || text.find(m_filter) != std::string_view::npos) {
            EnqueueText(text);
        }
    }
    if ((m_options & kEchoOptionBits) != 0) {
        if (text.size() > kEchoMaxLength) {
            char echo[kEchoMaxLength + 1];
            std::memcpy(echo, text.data(), kEchoMaxLength);
            echo[kEchoMaxLength] = '\n';
            platform::OutputDebugText(std::string_view(echo, sizeof echo));
        } else {
            platform::OutputDebugText(text);
        }
    }
}

void CDebug::Dump(const char* text) {
    EnqueueText(text != nullptr ? text : "");
}

void CDebug::Enqueue(const char* format, ...) {
    if (Level() <= 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[kLineBufferSize];
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    const std::size_t room = m_bufferSize == 0 ? 0 : m_bufferSize - 1;
    if (static_cast<std::size_t>(n) < sizeof small || room < sizeof small) {
        va_end(again);
        EnqueueText(
            std::string_view(small, TextLength(small, std::min<std::size_t>(n, sizeof small - 1))));
        return;
    }
    // A line buffer larger than the stack buffer, and a text that needs it.
    std::string large(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    EnqueueText(std::string_view(large.data(), TextLength(large.data(), n)));
}

void CDebug::EnqueueText(std::string_view text) {
    if (Level() <= 0) {
        return;
    }
    const std::size_t room = m_bufferSize == 0 ? 0 : m_bufferSize - 1;
    m_queue.Push(text.substr(0, std::min<std::size_t>(text.size(), room)), m_queueMaxLines);
}

std::string CDebug::MakeLinePrefix(const zelmisc::LogTime& time) const {
    char prefix[kPrefixBufferSize];
    const std::int64_t clockSecond = tapscope::platform::WallClockNow().seconds;
    return std::string(prefix, FormatLinePrefix(prefix, time, m_mainThreadId, clockSecond));
}

std::string CDebug::PriorityName(int value) {
    return ZelLog::PriorityName(value);
}

void ErrorSite::operator()(const char* format, ...) const {
    if (debug == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    debug->VError(file, line, timestamp, format, args);
    va_end(args);
}

}  // namespace ZelLog

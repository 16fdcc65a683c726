#include "platform/debug_output.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace tapscope::platform {
namespace {

// Neither is ever destroyed: the log's exit-time flush and threads that
// outlive main still send texts while static objects are being destroyed.
std::mutex& SinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

DebugOutputSink& Sink() {  // guarded by SinkMutex()
    static auto* sink = new DebugOutputSink;
    return *sink;
}

// A fork while another thread sends a text would leave the child with the
// lock held for ever, and its first text (the log's own reports at exit, say)
// would never return: the forking thread takes the lock across the fork.
void LockBeforeFork() {
    SinkMutex().lock();
}
void UnlockAfterFork() {
    SinkMutex().unlock();
}
[[maybe_unused]] const bool g_forkHandlersInstalled =
    pthread_atfork(&LockBeforeFork, &UnlockAfterFork, &UnlockAfterFork) == 0;

bool EchoToStderr() {
    static const bool echo = [] {
        const char* value = std::getenv("ZEL_DEBUG_STDERR");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return echo;
}

}  // namespace

void OutputDebugText(std::string_view text) {
    {
        std::lock_guard lock(SinkMutex());
        if (Sink()) {
            Sink()(text);
            return;
        }
    }
    // syslog takes a C string; the text may come from a bounded buffer that is
    // not terminated where the view ends.
    std::string copy(text);
    syslog(LOG_USER | LOG_DEBUG, "%s", copy.c_str());
    if (EchoToStderr()) {
        // One write call keeps texts from several threads apart.
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, copy.data(), copy.size());
    }
}

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink) {
    std::lock_guard lock(SinkMutex());
    DebugOutputSink previous = std::move(Sink());
    Sink() = std::move(sink);
    return previous;
}

}  // namespace tapscope::platform

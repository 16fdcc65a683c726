// log_child: the other process of the log's interprocess tests.
//
//   log_child write <module> <log path> <count> <tag> <flush period ms>
//       queues <count> lines through the process-wide log, returns from main
//   log_child detached <module> <log path> <count> <tag>
//       the same, while a detached thread keeps logging through the exit
//   log_child probe <module> <log path>
//       logs through CDebug::Instance while the process-wide log is being
//       made; prints "same" when that call got the object under construction
//   log_child fork <module> <log path> <count> <tag>
//       queues <count> lines "<tag> before #<i>" through the process-wide log
//       (its writer flushes once a minute), then forks: the child queues
//       "<tag> child #<i>" and calls exit(0); the parent waits up to 20 s for
//       it (then kills it), prints "child exit <code>" or "child hung",
//       queues "<tag> after" and returns from main
//   log_child hold <module> [nobody]
//       takes the module's mutex (as the user nobody when asked: the one that
//       user's log would take), prints "held", releases it at end of input
//   log_child flush-as-nobody <module> <log path> <tag>
//       as the user nobody, makes a log of the module (no writer), queues
//       "<tag> first" and flushes, prints "flushed", then at end of input
//       queues "<tag> second" and flushes again; every debug-output text is
//       printed as with "start"
//   log_child die-holding <module>
//       takes the module's mutex, prints "held" and dies holding it
//   log_child start <count> <tag> <flush every> [nobody] [header] [warning]
//       as the program starts: obtains the log with CDebug::Instance, which
//       makes it from the registry (as the user nobody when asked), writes the
//       banner when asked, prints "level=<n> writer=<0|1>", "module=<name>"
//       and "log=<path>", queues <count> lines (calling Flush after every
//       <flush every> lines when that is not 0) and a warning "<tag> done"
//       when asked, and returns from main. Every debug-output text is printed
//       as a line "debug: <text>", its line breaks written as \n and \r
//       and a backslash as \\.
//
// Line <i> of a writer is "<tag> #<i> <payload>", the payload being
// PayloadLength(i) times the letter 'a' + i % 26.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "log/debug.h"
#include "platform/debug_output.h"
#include "platform/named_mutex.h"
#include "tests/log/log_child_lines.h"
#include "tests/support/child_role.h"
#include "tests/support/log_test_access.h"

namespace {

using ZelLog::CDebug;
using ZelLog::CDebugTestAccess;
using ZelLog::LogSettings;

LogSettings Settings(const char* module, const char* path, std::uint32_t bound,
                     std::int32_t period) {
    LogSettings settings;
    settings.level = 2;
    settings.moduleName = module;
    settings.logFilePath = path;
    settings.queueMaxLines = bound;
    settings.flushPeriod = period;
    return settings;
}

void WriteLines(const char* tag, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string payload = tapscope::testing::Payload(i);
        ZelLog::Log()->Trace("%s #%d %s", tag, i, payload.c_str());
    }
}

std::atomic<CDebug*> g_seenWhileMade{nullptr};

void LogWhileMade() {
    g_seenWhileMade = CDebug::Instance("", ZelLog::kRegistryPath);
    ZelLog::Log()->Warning("logged while the log is made");
}

void PrintDebugText(std::string_view text) {
    std::string line = "debug: ";
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\\') {
            line += "\\\\";
        } else {
            line += c;
        }
    }
    line += '\n';
    // One write per text, so that texts of several threads stay apart.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int Start(int argc, char** argv) {
    const int count = std::atoi(argv[2]);
    const std::string tag = argv[3];
    const int flushEvery = std::atoi(argv[4]);
    bool nobody = false;
    bool header = false;
    bool warning = false;
    for (int i = 5; i < argc; ++i) {
        const std::string flag = argv[i];
        nobody = nobody || flag == "nobody";
        header = header || flag == "header";
        warning = warning || flag == "warning";
    }
    tapscope::platform::SetDebugOutputSink(&PrintDebugText);
    if (nobody && !tapscope::testing::DropToNobody()) {
        std::printf("cannot run as nobody\n");
        return tapscope::testing::kChildCannotRun;
    }
    CDebug* log = CDebug::Instance("", ZelLog::kRegistryPath);
    if (header) {
        log->WriteHeader();
    }
    std::printf("level=%d writer=%d\nmodule=%s\nlog=%s\n", static_cast<int>(log->Level()),
                CDebugTestAccess::HasWriter(*log) ? 1 : 0,
                CDebugTestAccess::ModuleName(*log).c_str(),
                CDebugTestAccess::LogFilePath(*log).c_str());
    std::fflush(stdout);
    for (int i = 0; i < count; ++i) {
        const std::string payload = tapscope::testing::Payload(i);
        ZelLog::Log()->Trace("%s #%d %s", tag.c_str(), i, payload.c_str());
        if (flushEvery > 0 && (i + 1) % flushEvery == 0) {
            log->Flush();
        }
    }
    if (warning) {
        ZelLog::Log()->Warning("%s done", tag.c_str());
    }
    return 0;  // the exit handler writes what is still queued
}

int Hold(const char* module, bool die, bool nobody) {
    using tapscope::platform::NamedMutex;
    if (nobody && !tapscope::testing::DropToNobody()) {
        std::printf("cannot run as nobody\n");
        return tapscope::testing::kChildCannotRun;
    }
    NamedMutex mutex;
    bool opened = mutex.Open(module);
    if (!opened && nobody) {
        opened = mutex.Open(NamedMutex::PerUserName(module), NamedMutex::Scope::kUser);
    }
    if (!opened || mutex.Lock(30000) != NamedMutex::Wait::kAcquired) {
        std::printf("cannot take the mutex %s\n", module);
        return 2;
    }
    std::printf("held\n");
    std::fflush(stdout);
    if (die) {
        std::_Exit(0);
    }
    while (std::fgetc(stdin) != EOF) {
    }
    mutex.Unlock();
    return 0;
}

// Set in a forked child. The parent's threads do not exist there, so what
// only they could reach (the writer's state, their thread-local storage)
// looks lost to a leak checker at the child's exit, though the system takes
// it back with the process; the check is left to the parent.
volatile bool g_forkedChild = false;

int ForkAndExit(const char* module, const char* path, int count, const char* tag) {
    CDebugTestAccess::StartProcessLog(
        Settings(module, path, static_cast<std::uint32_t>(count) * 4, 60000));
    for (int i = 0; i < count; ++i) {
        ZelLog::Log()->Trace("%s before #%d", tag, i);
    }
    const pid_t child = fork();
    if (child < 0) {
        std::printf("cannot fork\n");
        return 2;
    }
    if (child == 0) {
        g_forkedChild = true;
        for (int i = 0; i < count; ++i) {
            ZelLog::Log()->Trace("%s child #%d", tag, i);
        }
        std::exit(0);
    }
    constexpr auto kChildDeadline = std::chrono::seconds(20);
    const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended == child && WIFEXITED(status)) {
        std::printf("child exit %d\n", WEXITSTATUS(status));
    } else {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        std::printf("child hung\n");
    }
    std::fflush(stdout);
    ZelLog::Log()->Trace("%s after", tag);
    return 0;  // the exit handler writes what is still queued
}

int FlushAsNobody(const char* module, const char* path, const std::string& tag) {
    tapscope::platform::SetDebugOutputSink(&PrintDebugText);
    if (!tapscope::testing::DropToNobody()) {
        std::printf("cannot run as nobody\n");
        return tapscope::testing::kChildCannotRun;
    }
    auto log = CDebugTestAccess::Create(Settings(module, path, 5000, 60000));
    log->Dump((tag + " first\n").c_str());
    log->Flush();
    std::printf("flushed\n");
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    log->Dump((tag + " second\n").c_str());
    log->Flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write" && argc == 7) {
        const int count = std::atoi(argv[4]);
        CDebugTestAccess::StartProcessLog(Settings(
            argv[2], argv[3], static_cast<std::uint32_t>(count) + 100, std::atoi(argv[6])));
        WriteLines(argv[5], count);
        return 0;  // the exit handler writes what is still queued
    }
    if (command == "detached" && argc == 6) {
        const int count = std::atoi(argv[4]);
        // Room for the noise as well: no line of main may be pushed out.
        CDebugTestAccess::StartProcessLog(
            Settings(argv[2], argv[3], static_cast<std::uint32_t>(count) + 1000000, 60000));
        WriteLines(argv[5], count);
        std::thread([] {
            for (int i = 0;; ++i) {
                ZelLog::Log()->Trace("noise %d", i);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }).detach();
        return 0;
    }
    if (command == "probe" && argc == 4) {
        CDebugTestAccess::SetConstructionProbe(&LogWhileMade);
        CDebug* made = CDebugTestAccess::StartProcessLog(Settings(argv[2], argv[3], 5000, 60000));
        CDebugTestAccess::SetConstructionProbe(nullptr);
        const bool same =
            g_seenWhileMade.load() == made && CDebug::Instance("", ZelLog::kRegistryPath) == made;
        std::printf("%s\n", same ? "same" : "different");
        return 0;
    }
    if (command == "start" && argc >= 5) {
        return Start(argc, argv);
    }
    if ((command == "hold" || command == "die-holding") && (argc == 3 || argc == 4)) {
        const bool nobody = argc == 4 && std::strcmp(argv[3], "nobody") == 0;
        return Hold(argv[2], command == "die-holding", nobody);
    }
    if (command == "fork" && argc == 6) {
        return ForkAndExit(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    if (command == "flush-as-nobody" && argc == 5) {
        return FlushAsNobody(argv[2], argv[3], argv[4]);
    }
    std::fprintf(stderr, "log_child: unknown command\n");
    return 64;
}

// Asked by LeakSanitizer, where the build has it, before its check at exit.
extern "C" int __lsan_is_turned_off() {
    return g_forkedChild ? 1 : 0;
}

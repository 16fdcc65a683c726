#include "log/log_writer.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "log/debug.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/process_info.h"
#include "platform/thread.h"
#include "runtime/paths.h"
#include "tests/log/log_child_lines.h"
#include "tests/support/child_process.h"
#include "tests/support/debug_capture.h"
#include "tests/support/log_test_access.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
namespace platform = tapscope::platform;
using tapscope::testing::ChildProcess;
using tapscope::testing::DebugCapture;
using tapscope::testing::ReadFile;
using tapscope::testing::SplitCrLf;
using tapscope::testing::TempDir;
using tapscope::testing::WaitUntil;
using tapscope::testing::WriteFile;

const char* const kChild = TAPSCOPE_LOG_CHILD;

const std::string kLowDiskWarning = "\r\n\r\n\r\nINSUFFISIENT DISK SPACE!!!\r\n\r\n\r\n";

// Each test gets its own log file and its own module, so its own mutex.
class LogWriterTest : public ::testing::Test {
protected:
    LogWriterTest() {
        static std::atomic<int> counter{0};
        m_module = "tapscope-log-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
                   std::to_string(counter.fetch_add(1));
        m_path = m_dir.File("tapscope.log");
    }
    ~LogWriterTest() override { platform::NamedMutex::Remove(m_module); }

    LogSettings Settings(std::int32_t level = 2) const {
        LogSettings settings;
        settings.level = level;
        settings.moduleName = m_module;
        settings.logFilePath = m_path;
        settings.flushPeriod = 60000;  // the writer waits; tests flush themselves
        return settings;
    }

    std::string Log() const { return ReadFile(m_path); }
    bool LogExists() const { return fs::exists(fs::symlink_status(m_path)); }

    TempDir m_dir;
    std::string m_module;
    std::string m_path;
};

TEST_F(LogWriterTest, AnOverflowIsReportedBeforeTheNewestLines) {
    LogSettings settings = Settings(1);
    settings.queueMaxLines = 5000;
    auto debug = CDebugTestAccess::Create(settings);
    for (int i = 0; i < 5010; ++i) {
        debug->Enqueue("line %d\n", i);
    }
    debug->Flush();
    std::string expected =
        "\r\n##### Log queue overflow (max size:5000). 9 log lines skipped #####\r\n\r\n";
    for (int i = 9; i < 5010; ++i) {
        expected += "line " + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(Log(), expected);

    // The count was reported: the next flush has no overflow text.
    debug->Enqueue("next\n");
    debug->Flush();
    EXPECT_EQ(Log(), expected + "next\r\n");
}

TEST_F(LogWriterTest, AnEmptyQueueNeverCreatesOrTouchesTheFile) {
    auto debug = CDebugTestAccess::Create(Settings());
    debug->Flush();
    EXPECT_FALSE(LogExists());

    WriteFile(m_path, "old\r\n");
    const auto past = fs::last_write_time(m_path) - std::chrono::hours(3);
    fs::last_write_time(m_path, past);
    debug->Flush();
    EXPECT_EQ(Log(), "old\r\n");
    EXPECT_EQ(fs::last_write_time(m_path), past);
}

TEST_F(LogWriterTest, LinesAreAppendedWithCrLfAndANewLogRecordsItsCreation) {
    auto debug = CDebugTestAccess::Create(Settings());
    const std::int64_t before = platform::WallClockNow().seconds;
    debug->Dump("first\n");
    debug->Flush();
    const std::int64_t after = platform::WallClockNow().seconds;
    std::int64_t created = 0;
    ASSERT_TRUE(platform::ReadFileCreationTime(m_path, created));
    EXPECT_GE(created, before);
    EXPECT_LE(created, after);

    debug->Dump("a\nb\n");
    debug->Dump("no end");
    debug->Dump("\r\n");  // stored as a text-mode file stores it
    debug->Flush();
    EXPECT_EQ(Log(), "first\r\na\r\nb\r\nno end\r\r\n");
}

TEST_F(LogWriterTest, ALogLeftEmptyIsDeletedButNeverADevice) {
    auto debug = CDebugTestAccess::Create(Settings());
    debug->Dump("");  // a line with nothing in it: the new log stays empty
    debug->Flush();
    EXPECT_FALSE(LogExists());

    // A log path that leads to a device: not followed, never deleted.
    fs::create_symlink("/dev/null", m_path);
    debug->Dump("");
    debug->Dump("to the device\n");
    debug->Flush();
    EXPECT_TRUE(LogExists());
    EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST_F(LogWriterTest, ALinkUnderTheLogsNameIsNeverWrittenThroughAndANewLogIsPrivate) {
    // A shared folder, sticky as /tmp is; root planted the links, so the
    // kernel's protected-symlinks rule would let root follow them.
    const std::string shared = m_dir.File("shared");
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    const std::string victims = m_dir.File("victims");
    fs::create_directory(victims);
    WriteFile(victims + "/existing", "untouched\n");
    struct Case {
        const char* name;
        std::string target;
    } cases[] = {{"dangling link", victims + "/created"},
                 {"link to a file", victims + "/existing"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = shared + "/tapscope.log";
        fs::remove(log);
        fs::create_symlink(c.target, log);
        DebugCapture capture;
        LogSettings settings = Settings();
        settings.logFilePath = log;
        auto debug = CDebugTestAccess::Create(settings);
        debug->Dump("secret\n");
        debug->Flush();
        EXPECT_EQ(capture.Texts(),
                  std::vector<std::string>{"CDebug Can't open LOG output file (" + log +
                                           ") Too many levels of symbolic links\n"});
        EXPECT_TRUE(fs::is_symlink(log));
    }
    EXPECT_FALSE(fs::exists(victims + "/created"));
    EXPECT_EQ(ReadFile(victims + "/existing"), "untouched\n");

    // A new log is the owner's to write and the group's to read, whatever the umask.
    for (const mode_t mask : {0000u, 0022u}) {
        SCOPED_TRACE(mask);
        fs::remove(m_path);
        const mode_t previous = umask(mask);
        auto debug = CDebugTestAccess::Create(Settings());
        debug->Dump("line\n");
        debug->Flush();
        umask(previous);
        struct stat info {};
        ASSERT_EQ(stat(m_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
}

TEST_F(LogWriterTest, AnOpenFailureNamesThePathAndTheReason) {
    fs::create_directory(m_dir.File("folder"));
    ASSERT_EQ(mkfifo(m_dir.File("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {m_dir.File("folder"), "Is a directory"},
        {m_dir.File("missing/tapscope.log"), "No such file or directory"},
        {"", "No such file or directory"},
        // A FIFO nobody reads: refused at once rather than waited on.
        {m_dir.File("fifo"), "No such device or address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        DebugCapture capture;
        LogSettings settings = Settings();
        settings.logFilePath = c.path;
        auto debug = CDebugTestAccess::Create(settings);
        debug->Dump("lost\n");
        debug->Flush();
        EXPECT_EQ(capture.Texts(), std::vector<std::string>{"CDebug Can't open LOG output file (" +
                                                            c.path + ") " + c.reason + "\n"});
    }
}

TEST_F(LogWriterTest, ALogThatCannotBeOpenedIsReportedEachFlushAndTheWriterGoesOn) {
    DebugCapture capture;
    fs::create_directory(m_path);  // a folder where the log should be
    LogSettings settings = Settings();
    settings.flushPeriod = 1;
    auto debug = CDebugTestAccess::CreateWithWriter(settings);
    const std::string failure =
        "CDebug Can't open LOG output file (" + m_path + ") Is a directory\n";

    debug->Trace("lost %d", 1);
    ASSERT_TRUE(WaitUntil([&] { return capture.Count(failure) >= 1; }));
    debug->Trace("lost %d", 2);
    ASSERT_TRUE(WaitUntil([&] { return capture.Count(failure) >= 2; }));

    fs::remove(m_path);
    debug->Trace("kept %d", 3);
    ASSERT_TRUE(WaitUntil([&] { return Log().find(" kept 3\r\n") != std::string::npos; }));
    EXPECT_EQ(Log().find("lost"), std::string::npos);
    EXPECT_EQ(capture.Count(failure), 2);
}

// The free-space reading the writer gets, one value per cycle, handed over by
// the test: the writer waits in the reading until the test supplies a value.
class FreeSpaceScript {
public:
    std::uint64_t Read(const std::string& root) {
        std::unique_lock lock(m_mutex);
        m_roots.push_back(root);
        ++m_calls;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(30),
                           [&] { return !m_values.empty() || m_finished; });
        if (m_values.empty()) {
            return 1u << 20;  // plenty, once the script has ended
        }
        const std::uint64_t value = m_values.front();
        m_values.pop_front();
        return value;
    }
    // Waits for the writer's call |number| (from 1), the writer waiting in it.
    bool AwaitCall(int number) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return m_calls >= number; });
    }
    void Supply(std::uint64_t megabytes) {
        std::lock_guard lock(m_mutex);
        m_values.push_back(megabytes);
        m_changed.notify_all();
    }
    void Finish() {
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }
    std::vector<std::string> Roots() {
        std::lock_guard lock(m_mutex);
        return m_roots;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::uint64_t> m_values;  // guarded by m_mutex
    std::vector<std::string> m_roots;    // guarded by m_mutex
    int m_calls = 0;                     // guarded by m_mutex
    bool m_finished = false;             // guarded by m_mutex
};

TEST_F(LogWriterTest, LowDiskDropsLinesAndWarnsOncePerShortage) {
    FreeSpaceScript script;
    LogWriterHooks hooks;
    hooks.freeDiskMegabytes = [&](const std::string& root) { return script.Read(root); };
    hooks.lowDiskWaitMs = 1;  // the 3 s between looks, shortened
    LogSettings settings = Settings();
    settings.flushPeriod = 1;
    {
        auto debug = CDebugTestAccess::CreateWithWriter(settings, hooks);
        ASSERT_TRUE(script.AwaitCall(1));
        debug->Trace("before the shortage");
        script.Supply(150);  // short: drop, warn, flush
        ASSERT_TRUE(script.AwaitCall(2));
        EXPECT_EQ(Log(), kLowDiskWarning);
        debug->Trace("during the shortage");
        script.Supply(199);  // still short: drop, no second warning
        ASSERT_TRUE(script.AwaitCall(3));
        debug->Trace("after the shortage");
        script.Supply(200);  // enough again: flush
        ASSERT_TRUE(script.AwaitCall(4));
        script.Supply(0);  // unreadable counts as full: a new shortage, a new warning
        ASSERT_TRUE(script.AwaitCall(5));
        script.Finish();
    }
    const std::string log = Log();
    const std::vector<std::string> lines = SplitCrLf(log);
    ASSERT_EQ(log.substr(0, kLowDiskWarning.size()), kLowDiskWarning);
    ASSERT_GE(log.size(), 2 * kLowDiskWarning.size());
    EXPECT_EQ(log.substr(log.size() - kLowDiskWarning.size()), kLowDiskWarning);
    const std::string middle =
        log.substr(kLowDiskWarning.size(), log.size() - 2 * kLowDiskWarning.size());
    EXPECT_TRUE(std::regex_match(middle, std::regex(kPrefixPattern + " after the shortage\r\n")))
        << middle;
    // The writer asked about the volume of the log's folder.
    const auto roots = script.Roots();
    ASSERT_FALSE(roots.empty());
    EXPECT_EQ(roots[0], zelmisc::DiskRoot(m_path));
}

TEST_F(LogWriterTest, TheWriterStartsFromLevelOne) {
    for (std::int32_t level : {0, 1, 2}) {
        SCOPED_TRACE(level);
        auto debug = CDebugTestAccess::CreateWithWriter(Settings(level));
        EXPECT_EQ(CDebugTestAccess::HasWriter(*debug), level >= 1);
    }
}

TEST_F(LogWriterTest, ShutdownWritesWhatIsQueuedAndTheWriterLeavesNormally) {
    DebugCapture capture;
    {
        // A writer asked to stop before its first cycle would end without one:
        // let it begin its cycles first.
        std::atomic<int> cycles{0};
        LogWriterHooks hooks;
        hooks.freeDiskMegabytes = [&](const std::string&) {
            ++cycles;
            return std::uint64_t{1} << 20;
        };
        auto debug = CDebugTestAccess::CreateWithWriter(Settings(), hooks);
        ASSERT_TRUE(WaitUntil([&] { return cycles.load() > 0; }));
        for (int i = 0; i < 100; ++i) {
            debug->Trace("queued %d", i);
        }
    }
    const std::vector<std::string> lines = SplitCrLf(Log());
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_NE(lines[99].find(" queued 99"), std::string::npos);
    EXPECT_EQ(capture.Count("LogWriter: WAIT_OBJECT_0 + 1\r\n"), 1);
    EXPECT_EQ(capture.Count("LogWriter: WAIT_OBJECT_0 + 0"), 0);
}

TEST_F(LogWriterTest, DeletingAWriterEndsItsThreadThroughTheStopEvent) {
    DebugCapture capture;
    std::atomic<int> cycles{0};
    LogWriterHooks hooks;
    hooks.freeDiskMegabytes = [&](const std::string&) {
        ++cycles;
        return std::uint64_t{1} << 20;
    };
    // Level 0: the log starts no writer of its own.
    auto debug = CDebugTestAccess::CreateWithWriter(Settings(0), hooks);
    auto* writer = new LogWriter(debug.get(), 60000);
    const platform::ThreadHandle handle = writer->DuplicateHandle();
    ASSERT_TRUE(handle);
    ASSERT_TRUE(WaitUntil([&] { return cycles.load() > 0; }));
    delete writer;
    unsigned code = 0;
    ASSERT_TRUE(platform::ThreadExitCode(handle, &code));
    EXPECT_EQ(code, kWriterStopExitCode);
    EXPECT_EQ(capture.Count("LogWriter: WAIT_OBJECT_0 + 0\r\n"), 1);
}

TEST_F(LogWriterTest, CopyLogToFlushesFirst) {
    auto debug = CDebugTestAccess::Create(Settings());
    debug->Dump("copied\n");
    const std::string copy = m_dir.File("copy.log");
    WriteFile(copy, "replaced");
    EXPECT_TRUE(debug->CopyLogTo(copy.c_str()));
    EXPECT_EQ(ReadFile(copy), "copied\r\n");
    EXPECT_TRUE(debug->CopyLogTo(""));
    EXPECT_TRUE(debug->CopyLogTo(nullptr));
    EXPECT_FALSE(debug->CopyLogTo(m_dir.File("missing/copy.log").c_str()));
}

TEST_F(LogWriterTest, CopyLogToWaitsForAnotherProcessThatHoldsTheLog) {
    auto debug = CDebugTestAccess::Create(Settings());
    debug->Dump("mine\n");
    debug->Flush();
    const std::string copy = m_dir.File("copy.log");
    // Another process of the program holds the mutex, as while it writes or
    // rotates the log.
    ChildProcess child(kChild, {"hold", m_module});
    ASSERT_EQ(child.ReadLine(), "held");
    auto copying = std::async(std::launch::async, [&] { return debug->CopyLogTo(copy.c_str()); });
    // Not done while the other process holds the log (a copy that did not
    // wait would be done long before this). The copy waits up to 3 s; the
    // steps until the other process lets go take milliseconds.
    EXPECT_EQ(copying.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    {
        std::ofstream other(m_path, std::ios::app | std::ios::binary);
        other << "theirs\r\n";
    }
    child.CloseInput();  // lets go
    EXPECT_TRUE(copying.get());
    EXPECT_EQ(ReadFile(copy), "mine\r\ntheirs\r\n");
    int code = -1;
    ASSERT_TRUE(child.Wait(30000, &code));

    // Held past the flush's wait: no copy, said as a flush says it.
    ChildProcess holder(kChild, {"hold", m_module});
    ASSERT_EQ(holder.ReadLine(), "held");
    fs::remove(copy);
    DebugCapture capture;
    EXPECT_FALSE(debug->CopyLogTo(copy.c_str()));
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"CDebug cannot get mutex ownership due to time-out\n"});
}

// Removes the per-user mutex objects a test made.
class RemoveNames {
public:
    explicit RemoveNames(std::vector<std::string> names) : m_names(std::move(names)) {}
    ~RemoveNames() {
        for (const std::string& name : m_names) {
            platform::NamedMutex::Remove(name);
        }
    }

private:
    std::vector<std::string> m_names;
};

TEST_F(LogWriterTest, AUserWhoCannotOpenTheProgramsMutexSharesOneOfTheirOwn) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    const std::string own = m_module + "." + std::to_string(nobody->pw_uid);
    RemoveNames removeOwn({own});
    // Made by root, 0660: the user nobody may not open it.
    platform::NamedMutex rootMutex;
    ASSERT_TRUE(rootMutex.Open(m_module));
    chmod(m_dir.Path().c_str(), 0755);
    const std::string shared = m_dir.File("shared");
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    const std::string log = shared + "/tapscope.log";

    // One process of that user holds the user's mutex ...
    ChildProcess holder(kChild, {"hold", m_module, "nobody"});
    ASSERT_EQ(holder.ReadLine(), "held");
    // ... so another one's flush must wait for it: they share it.
    ChildProcess writer(kChild, {"flush-as-nobody", m_module, log, "N"});
    std::vector<std::string> texts;
    for (std::string line = writer.ReadLine(); !line.empty() && line != "flushed";
         line = writer.ReadLine()) {
        texts.push_back(line);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "debug: CDebug cannot use the mutex object /dev/shm/" + m_module +
                             " (Permission denied); this user's processes share /dev/shm/" + own +
                             " instead\\n",
                         "debug: CDebug cannot get mutex ownership due to time-out\\n"}));
    holder.CloseInput();
    int code = -1;
    ASSERT_TRUE(holder.Wait(30000, &code));
    writer.CloseInput();
    ASSERT_TRUE(writer.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    // Nothing lost: the lines of the flush that waited too long come first.
    EXPECT_EQ(ReadFile(log), "N first\r\nN second\r\n");
    struct stat info {};
    ASSERT_EQ(stat(("/dev/shm/" + own).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, nobody->pw_uid);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(LogWriterTest, AnotherUsersObjectUnderTheProgramsNameCannotHoldTheLogHostage) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    const std::string own = platform::NamedMutex::PerUserName(m_module);
    RemoveNames removeOwn({own});
    // Another user made the object, open to all, and holds its mutex.
    {
        platform::NamedMutex maker;
        ASSERT_TRUE(maker.Open(m_module));
    }
    const std::string object = "/dev/shm/" + m_module;
    ASSERT_EQ(chown(object.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(object.c_str(), 0666), 0);
    ChildProcess holder(kChild, {"hold", m_module, "nobody"});
    ASSERT_EQ(holder.ReadLine(), "held");

    DebugCapture capture;
    auto debug = CDebugTestAccess::Create(Settings());
    debug->Dump("written at once\n");
    debug->Flush();
    EXPECT_EQ(Log(), "written at once\r\n");
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"CDebug cannot use the mutex object " + object +
                                       " (it belongs to another user); this user's processes "
                                       "share /dev/shm/" +
                                       own + " instead\n"});
}

TEST_F(LogWriterTest, ObjectsThatAreNoMutexOfThisBuildDoNotCostTheLog) {
    const std::string own = platform::NamedMutex::PerUserName(m_module);
    RemoveNames removeOwn({own});
    // Left by an incompatible build: our own, but not a mutex this build knows.
    WriteFile("/dev/shm/" + m_module, "junk");
    const std::string unusable =
        "CDebug cannot use the mutex object /dev/shm/" + m_module + " (Protocol error)";
    struct Case {
        const char* name;
        bool ownAlsoJunk;
        std::string text;
    } cases[] = {
        {"the user's own object instead", false,
         unusable + "; this user's processes share /dev/shm/" + own + " instead\n"},
        {"a mutex of the process's own", true,
         unusable + " nor /dev/shm/" + own +
             " (Protocol error); this process uses a mutex of its own\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::NamedMutex::Remove(own);
        if (c.ownAlsoJunk) {
            WriteFile("/dev/shm/" + own, "junk");
        }
        fs::remove(m_path);
        DebugCapture capture;
        auto debug = CDebugTestAccess::Create(Settings());
        debug->Dump("written\n");
        debug->Flush();
        EXPECT_EQ(Log(), "written\r\n");
        EXPECT_EQ(capture.Texts(), std::vector<std::string>{c.text});
    }
}

TEST_F(LogWriterTest, AMutexAbandonedByADeadProcessCostsOneFlush) {
    DebugCapture capture;
    auto debug = CDebugTestAccess::Create(Settings());
    {
        ChildProcess child(kChild, {"die-holding", m_module});
        ASSERT_EQ(child.ReadLine(), "held");
        int code = -1;
        ASSERT_TRUE(child.Wait(30000, &code));
    }
    debug->Dump("lost\n");
    debug->Flush();
    EXPECT_EQ(capture.Count("CDebug got ownership of the abandoned mutex object\n"), 1);
    EXPECT_FALSE(LogExists());

    debug->Dump("written\n");
    debug->Flush();
    EXPECT_EQ(Log(), "written\r\n");
    EXPECT_EQ(capture.Count("abandoned"), 1);
}

TEST_F(LogWriterTest, LinesOfAFlushThatWaitedTooLongForTheMutexComeWithTheNextFlush) {
    DebugCapture capture;
    LogSettings settings = Settings();
    settings.queueMaxLines = 3;
    auto debug = CDebugTestAccess::Create(settings);
    ChildProcess child(kChild, {"hold", m_module});
    ASSERT_EQ(child.ReadLine(), "held");
    debug->Dump("kept 1\n");
    debug->Dump("kept 2\n");
    debug->Flush();  // waits 3,010 ms
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"CDebug cannot get mutex ownership due to time-out\n"});
    EXPECT_FALSE(LogExists());

    child.CloseInput();  // the child lets go and ends
    int code = -1;
    ASSERT_TRUE(child.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    // The kept lines come first and count against the queue's bound (3 + 1
    // lines): the oldest makes room.
    for (int i = 1; i <= 3; ++i) {
        debug->Dump(("written " + std::to_string(i) + "\n").c_str());
    }
    debug->Flush();
    EXPECT_EQ(Log(),
              "\r\n##### Log queue overflow (max size:3). 1 log lines skipped #####\r\n\r\n"
              "kept 2\r\nwritten 1\r\nwritten 2\r\nwritten 3\r\n");
}

// Checks a log that |writers| children wrote |count| lines each into: every
// line whole, each child's lines all there and in order.
void ExpectWholeLines(const std::string& log, int writers, int count) {
    const std::regex head(kPrefixPattern + R"( W(\d+) #(\d+))");
    std::vector<int> next(writers, 0);
    for (const std::string& line : SplitCrLf(log)) {
        const std::string::size_type space = line.rfind(' ');
        std::smatch match;
        const std::string front = line.substr(0, space);
        ASSERT_TRUE(space != std::string::npos && std::regex_match(front, match, head))
            << line.substr(0, 200);
        const int writer = std::stoi(match[1]);
        const int index = std::stoi(match[2]);
        ASSERT_LT(writer, writers);
        ASSERT_EQ(index, next[writer]) << "writer " << writer;
        ASSERT_EQ(line.substr(space + 1), tapscope::testing::Payload(index))
            << "writer " << writer << " line " << index;
        ++next[writer];
    }
    for (int writer = 0; writer < writers; ++writer) {
        EXPECT_EQ(next[writer], count) << "writer " << writer;
    }
}

TEST_F(LogWriterTest, ProcessesOfOneProgramShareTheLogLineByLine) {
    constexpr int kLines = 3000;
    for (int writers : {2, 4}) {
        SCOPED_TRACE(writers);
        fs::remove(m_path);
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < writers; ++i) {
            children.push_back(std::make_unique<ChildProcess>(
                kChild, std::vector<std::string>{"write", m_module, m_path, std::to_string(kLines),
                                                 "W" + std::to_string(i), "2"}));
        }
        for (auto& child : children) {
            int code = -1;
            ASSERT_TRUE(child->Wait(120000, &code));
            EXPECT_EQ(code, 0);
        }
        ExpectWholeLines(Log(), writers, kLines);
    }
}

TEST_F(LogWriterTest, LinesQueuedWhenMainReturnsAreWrittenAtExit) {
    constexpr int kLines = 2000;
    // The writer waits a minute between flushes: only the exit handler can
    // write these lines in time.
    ChildProcess child(kChild, {"write", m_module, m_path, std::to_string(kLines), "W0", "60000"});
    int code = -1;
    ASSERT_TRUE(child.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    ExpectWholeLines(Log(), 1, kLines);
}

TEST_F(LogWriterTest, AThreadStillLoggingAtExitDoesNotHarmTheExit) {
    constexpr int kLines = 500;
    ChildProcess child(kChild, {"detached", m_module, m_path, std::to_string(kLines), "W0"});
    int code = -1;
    ASSERT_TRUE(child.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    // The noise lines of the other thread come and go; every line of main is there.
    std::string mainLines;
    for (const std::string& line : SplitCrLf(Log())) {
        if (line.find(" noise ") == std::string::npos) {
            mainLines += line + "\r\n";
        }
    }
    ExpectWholeLines(mainLines, 1, kLines);
}

TEST_F(LogWriterTest, AForkedChildThatExitsWritesOnlyItsOwnLinesAndDoesNotHang) {
    constexpr int kLines = 200;
    ChildProcess parent(kChild, {"fork", m_module, m_path, std::to_string(kLines), "F"});
    EXPECT_EQ(parent.ReadLine(), "child exit 0");
    int code = -1;
    ASSERT_TRUE(parent.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    // Every line once: the lines queued before the fork by the parent alone.
    std::map<std::string, int> seen;
    for (const std::string& line : SplitCrLf(Log())) {
        const std::string::size_type at = line.find(" F ");
        ASSERT_NE(at, std::string::npos) << line;
        ++seen[line.substr(at + 1)];
    }
    std::map<std::string, int> expected;
    for (int i = 0; i < kLines; ++i) {
        expected["F before #" + std::to_string(i)] = 1;
        expected["F child #" + std::to_string(i)] = 1;
    }
    expected["F after"] = 1;
    EXPECT_EQ(seen, expected);
}

TEST_F(LogWriterTest, ALineLoggedWhileTheLogIsMadeGoesToTheObjectUnderConstruction) {
    ChildProcess child(kChild, {"probe", m_module, m_path});
    EXPECT_EQ(child.ReadLine(), "same");
    int code = -1;
    ASSERT_TRUE(child.Wait(30000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::regex_match(
        Log(), std::regex(kPrefixPattern + R"( !WARNING! logged while the log is made\r\n)")))
        << Log();
}

}  // namespace
}  // namespace ZelLog

// Rotation as the log does it: decided when a flush closes the log file, under
// the file lock and the interprocess mutex.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "log/debug.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/process_info.h"
#include "tests/log/gzip_tool.h"
#include "tests/log/log_child_lines.h"
#include "tests/log/started_program.h"
#include "tests/support/debug_capture.h"
#include "tests/support/log_test_access.h"
#include "tests/support/temp_dir.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
namespace platform = tapscope::platform;
using tapscope::testing::ReadFile;
using tapscope::testing::SplitCrLf;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;

constexpr std::int64_t kHour = 3600;

class LogRotation : public ::testing::Test {
protected:
    LogRotation() {
        static std::atomic<int> counter{0};
        m_module = "tapscope-rotation-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
                   std::to_string(counter.fetch_add(1));
    }
    ~LogRotation() override { platform::NamedMutex::Remove(m_module); }

    std::unique_ptr<CDebug> MakeLog(std::int32_t maxAgeHours = 48,
                                    std::int32_t maxSizeMb = 100) const {
        LogSettings settings;
        settings.level = 2;
        settings.moduleName = m_module;
        settings.logFilePath = m_log;
        settings.maxAgeHours = maxAgeHours;
        settings.maxSizeMb = maxSizeMb;
        return CDebugTestAccess::Create(settings);
    }

    TempDir m_dir;
    std::string m_module;
    std::string m_log = m_dir.File("tapscope.log");
    std::string m_backup = m_log + ".BAK";
};

TEST_F(LogRotation, AFlushThatTakesTheLogPastItsSizeRotatesIt) {
    // "line\n" is stored as "line\r\n": 6 bytes.
    constexpr std::uint64_t kLimit = 100 * 1024 * 1024;
    constexpr std::uint64_t kLine = 6;
    for (const std::uint64_t after : {kLimit, kLimit + 1}) {
        SCOPED_TRACE(after);
        fs::remove(m_log);
        fs::remove(m_backup);
        // A sparse file: the length counts, not the blocks.
        WriteFile(m_log, "old\r\n");
        fs::resize_file(m_log, after - kLine);
        auto debug = MakeLog();
        debug->Dump("line\n");
        debug->Flush();
        const bool rotated = after > kLimit;
        EXPECT_EQ(fs::exists(m_log), !rotated);
        EXPECT_EQ(fs::exists(m_backup), rotated);
        EXPECT_EQ(fs::file_size(rotated ? m_backup : m_log), after);

        // After a rotation the next line begins a new generation; without one
        // it takes the log past the limit.
        debug->Dump("next\n");
        debug->Flush();
        if (rotated) {
            EXPECT_EQ(fs::file_size(m_log), kLine);
            EXPECT_EQ(fs::file_size(m_backup), after);
        } else {
            EXPECT_FALSE(fs::exists(m_log));
            EXPECT_EQ(fs::file_size(m_backup), after + kLine);
        }
    }
}

// Records |seconds| as the moment the log file was created.
void SetCreationMoment(const std::string& path, std::int64_t seconds) {
    const std::string text = std::to_string(seconds);
    ASSERT_EQ(setxattr(path.c_str(), "user.zel.created", text.data(), text.size(), 0), 0)
        << "the file system keeps no user attributes";
}

TEST_F(LogRotation, ALogOlderThanItsAgeLimitInWholeHoursIsRotatedAtItsNextFlush) {
    struct Case {
        const char* name;
        std::int64_t age;
        std::int32_t maxAgeHours;
        bool rotated;
    } cases[] = {
        {"49 h", 49 * kHour, 48, true},
        {"47 h 59 min", 47 * kHour + 59 * 60, 48, false},
        {"48 h 59 min counts as 48", 48 * kHour + 59 * 60, 48, false},
        {"1000 h with no age limit", 1000 * kHour, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(m_log);
        fs::remove(m_backup);
        auto debug = MakeLog(c.maxAgeHours);
        debug->Dump("first\n");
        debug->Flush();
        SetCreationMoment(m_log, platform::WallClockNow().seconds - c.age);
        debug->Dump("second\n");
        debug->Flush();
        EXPECT_EQ(ReadFile(c.rotated ? m_backup : m_log), "first\r\nsecond\r\n");
        EXPECT_EQ(fs::exists(c.rotated ? m_log : m_backup), false);

        // A new generation counts its age from its own creation.
        debug->Dump("third\n");
        debug->Flush();
        EXPECT_EQ(ReadFile(m_log), c.rotated ? "third\r\n" : "first\r\nsecond\r\nthird\r\n");
        std::int64_t created = 0;
        ASSERT_TRUE(platform::ReadFileCreationTime(m_log, created));
        EXPECT_EQ(platform::WallClockNow().seconds - created < kHour, c.rotated);
    }
}

TEST_F(LogRotation, ANamedPipeAtTheBackupNeitherBlocksTheFlushNorRepeatsItsReport) {
    tapscope::testing::DebugCapture capture;
    ASSERT_EQ(mkfifo(m_backup.c_str(), 0600), 0);
    // Frees a flush stuck opening the pipe, so that the test fails instead.
    testing::PipeWatchdog watchdog(m_backup);
    // Size 0: every flush that wrote something rotates the log.
    auto debug = MakeLog(48, 0);
    for (const char* line : {"first\n", "second\n", "third\n"}) {
        debug->Dump(line);
        debug->Flush();
    }
    EXPECT_FALSE(watchdog.Fired());
    // The log keeps growing; the rotation waits before it tries again, and
    // the same cause is reported once.
    EXPECT_EQ(ReadFile(m_log), "first\r\nsecond\r\nthird\r\n");
    EXPECT_EQ(fs::symlink_status(m_backup).type(), fs::file_type::fifo);
    EXPECT_EQ(capture.Count("CDebug Can't rotate LOG file (" + m_log + ") "), 1);
    EXPECT_EQ(capture.Count("a named pipe, not a regular file"), 1);
}

TEST(LogRotationAcrossProcesses, EveryLineEndsUpInExactlyOneGenerationWhole) {
    constexpr int kWriters = 2;
    constexpr int kLines = 120;
    testing::StartedProgram program;
    // "DebugSize" 0: every flush that wrote something rotates the log.
    program.WriteMachineHive(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEL\\Korvantis\\Debug]\n\"DebugLevel\"=\"2\"\n"
        "\"DebugSize\"=\"0\"\n");
    std::vector<std::unique_ptr<tapscope::testing::ChildProcess>> children;
    for (int i = 0; i < kWriters; ++i) {
        // A flush every six lines, besides the writer's own.
        children.push_back(program.Launch({std::to_string(kLines), "W" + std::to_string(i), "6"}));
    }
    for (auto& child : children) {
        const testing::ProgramRun run = testing::StartedProgram::Finish(*child);
        ASSERT_EQ(run.exitCode, 0);
        ASSERT_EQ(run.logPath, program.DefaultLog());
    }

    // Oldest first: the archives in the order of their stamps (each member in
    // turn), the backup, the log.
    std::vector<std::string> archives;
    for (const auto& entry : fs::directory_iterator(program.Bin())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        if (name.size() > 3 && name.substr(name.size() - 3) == ".GZ") {
            archives.push_back(entry.path().string());
        }
    }
    std::sort(archives.begin(), archives.end());
    ASSERT_FALSE(archives.empty());
    std::string all;
    for (const std::string& archive : archives) {
        const testing::ToolRun gunzip = testing::Gunzip(archive);
        ASSERT_EQ(gunzip.status, 0) << archive;
        all += gunzip.output;
    }
    all += ReadFile(program.DefaultLog() + ".BAK") + ReadFile(program.DefaultLog());

    const std::regex shape(kPrefixPattern + R"( W(\d+) #(\d+) ([a-z]*))");
    std::vector<int> next(kWriters, 0);
    for (const std::string& line : SplitCrLf(all)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line.substr(0, 200);
        const int writer = std::stoi(match[1]);
        const int index = std::stoi(match[2]);
        ASSERT_LT(writer, kWriters);
        // Each writer's lines once each, in the order written.
        ASSERT_EQ(index, next[writer]) << "writer " << writer;
        ASSERT_EQ(match[3].str(), tapscope::testing::Payload(index)) << "writer " << writer;
        ++next[writer];
    }
    for (int writer = 0; writer < kWriters; ++writer) {
        EXPECT_EQ(next[writer], kLines) << "writer " << writer;
    }
}

}  // namespace
}  // namespace ZelLog

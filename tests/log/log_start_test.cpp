// The log as a program starts: CDebug::Instance makes it from the registry,
// once per process, so each case runs a program of its own (StartedProgram).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/log/log_child_lines.h"
#include "tests/log/started_program.h"
#include "tests/support/child_role.h"
#include "tests/support/log_test_access.h"
#include "tests/support/private_registry.h"
#include "tests/support/temp_dir.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::DefaultMachineHive;
using tapscope::testing::MachineSection;
using tapscope::testing::ReadFile;
using tapscope::testing::SplitCrLf;
using tapscope::testing::WriteFile;
using testing::ProgramRun;
using testing::StartedProgram;

const std::string& kMain = tapscope::testing::kLogMainKey;
const std::string& kCommon = tapscope::testing::kLogCommonKey;
const std::string kRule(117, '=');

// The text ends its own line, on standard error too.
std::string Destination(const std::string& module, const std::string& log) {
    return "Process '" + module + "': write log to: '" + log +
           "' and using registry: 'SOFTWARE\\ZEL\\Korvantis'\n";
}

// Checks the banner that begins at lines[at] against the program that wrote it.
void ExpectBanner(const std::vector<std::string>& lines, std::size_t at,
                  const std::string& program) {
    ASSERT_GE(lines.size(), at + 6);
    EXPECT_EQ(lines[at], kRule);
    EXPECT_EQ(lines[at + 1].rfind("CPU: ", 0), 0u) << lines[at + 1];
    EXPECT_EQ(lines[at + 2].rfind("Platform: OS: ", 0), 0u) << lines[at + 2];
    EXPECT_EQ(lines[at + 3].rfind("Version: ", 0), 0u) << lines[at + 3];
    const std::string module = ", Module: " + program;
    EXPECT_TRUE(lines[at + 4].rfind("Computer: ", 0) == 0 && lines[at + 4].size() > module.size() &&
                lines[at + 4].substr(lines[at + 4].size() - module.size()) == module)
        << lines[at + 4];
    EXPECT_EQ(lines[at + 5], kRule);
}

bool IsTrace(const std::string& line, int i) {
    return std::regex_match(line, std::regex(kPrefixPattern + " W0 #" + std::to_string(i) + " " +
                                             tapscope::testing::Payload(i) + "\n?"));
}

TEST(LogStart, AFirstStartWithNoKeysWritesEveryDefaultAndLeavesTheLogOff) {
    StartedProgram program;
    const ProgramRun run = program.Run({"3", "W0", "0", "header", "warning"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.level, 0);
    EXPECT_FALSE(run.writer);
    EXPECT_EQ(run.module, program.Module());
    // By default the log goes beside the program.
    EXPECT_EQ(run.logPath, program.DefaultLog());
    EXPECT_EQ(run.debugTexts,
              std::vector<std::string>{Destination(program.Module(), program.DefaultLog())});

    EXPECT_EQ(ReadFile(program.Registry().MachineHive()), DefaultMachineHive(program.Module()));
    EXPECT_FALSE(fs::exists(program.Registry().UserHive()));
    // No log, and the file that probed the folder is gone again.
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(program.Bin())) {
        files.push_back(entry.path().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{program.Program()});
}

TEST(LogStart, TheLevelAndOptionsFromTheRegistryDecideWhatReachesTheLog) {
    struct Case {
        const char* name;
        std::string hive;
        int level;
        bool banner;
        int traces;
        bool warning;
        bool echoed;
    } cases[] = {
        {"Debug 2 in the main key", MachineSection(kMain) + "\"Debug\"=\"2\"\n", 2, true, 3, true,
         false},
        {"DebugLevel 1", MachineSection(kCommon) + "\"DebugLevel\"=\"1\"\n", 1, true, 0, true,
         false},
        {"DebugLevel 2 in the module key over 0 in the common key", "", 2, true, 3, true, false},
        {"level 2, echo only",
         MachineSection(kCommon) + "\"DebugLevel\"=\"2\"\n\"DebugOptions\"=dword:00000010\n", 2,
         false, 0, false, true},
        {"level 0", "", 0, false, 0, false, false},
    };
    StartedProgram program;
    cases[2].hive = MachineSection(kCommon) + "\"DebugLevel\"=\"0\"\n" +
                    MachineSection(kCommon + "\\" + program.Module()) + "\"DebugLevel\"=\"2\"\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(program.DefaultLog());
        program.WriteMachineHive(c.hive);
        const ProgramRun run = program.Run({"3", "W0", "0", "header", "warning"});
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.level, c.level);
        EXPECT_EQ(run.writer, c.level >= 1);

        const std::vector<std::string> lines = SplitCrLf(ReadFile(program.DefaultLog()));
        const std::size_t expected = (c.banner ? 6 : 0) + c.traces + (c.warning ? 1 : 0);
        ASSERT_EQ(lines.size(), expected);
        EXPECT_EQ(fs::exists(program.DefaultLog()), expected != 0);
        std::size_t at = 0;
        if (c.banner) {
            ExpectBanner(lines, 0, program.Program());
            at = 6;
        }
        for (int i = 0; i < c.traces; ++i) {
            EXPECT_TRUE(IsTrace(lines[at++], i)) << lines[at - 1];
        }
        if (c.warning) {
            EXPECT_TRUE(
                std::regex_match(lines[at], std::regex(kPrefixPattern + " !WARNING! W0 done")))
                << lines[at];
        }
        int echoedTraces = 0;
        for (const std::string& text : run.debugTexts) {
            echoedTraces += text.find(" W0 #") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(echoedTraces, c.echoed ? 3 : 0);
    }
    // The level the main key gave was written back to the common key.
    program.WriteMachineHive(MachineSection(kMain) + "\"Debug\"=\"2\"\n");
    program.Run({"0", "W0", "0"});
    EXPECT_NE(ReadFile(program.Registry().MachineHive())
                  .find(MachineSection(kCommon) + "\"DebugTime\"=\"48\"\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(program.Registry().MachineHive()).find("\"DebugLevel\"=\"2\"\n"),
              std::string::npos);
}

TEST(LogStart, ADebugTimeOfZeroStartsEachRunWithANewLog) {
    StartedProgram program;
    for (const char* debugTime : {"0", "48"}) {
        SCOPED_TRACE(debugTime);
        program.WriteMachineHive(MachineSection(kCommon) + "\"DebugTime\"=\"" + debugTime +
                                 "\"\n\"DebugLevel\"=\"1\"\n");
        WriteFile(program.DefaultLog(), "previous run\r\n");
        const ProgramRun run = program.Run({"0", "W0", "0", "header"});
        ASSERT_EQ(run.exitCode, 0);
        const std::vector<std::string> lines = SplitCrLf(ReadFile(program.DefaultLog()));
        const bool kept = std::string(debugTime) != "0";
        ASSERT_EQ(lines.size(), kept ? 7u : 6u);
        if (kept) {
            EXPECT_EQ(lines[0], "previous run");
        }
        ExpectBanner(lines, kept ? 1 : 0, program.Program());
    }
}

TEST(LogStart, AnOldLogThatAnotherProcessOfTheProgramIsWritingIsKept) {
    StartedProgram program;
    program.WriteMachineHive(MachineSection(kCommon) +
                             "\"DebugTime\"=\"0\"\n\"DebugLevel\"=\"1\"\n");
    WriteFile(program.DefaultLog(), "previous run\r\n");
    // The other process is in the middle of a flush: it holds the mutex.
    tapscope::testing::ChildProcess holder(TAPSCOPE_LOG_CHILD, {"hold", program.Module()});
    ASSERT_EQ(holder.ReadLine(), "held");
    auto child = program.Launch({"0", "W0", "0", "header"});
    std::vector<std::string> early;
    for (std::string line = child->ReadLine(); !line.empty() && line.rfind("level=", 0) != 0;
         line = child->ReadLine()) {
        early.push_back(line);
    }
    holder.CloseInput();  // the flush ends; the program's own flushes may follow
    const ProgramRun run = StartedProgram::Finish(*child);
    ASSERT_EQ(run.exitCode, 0);
    ASSERT_EQ(early.size(), 2u);
    EXPECT_EQ(early[1], "debug: Cannot delete the old log file '" + program.DefaultLog() +
                            "': another process of the program is writing it; it is kept\\n");
    const std::vector<std::string> lines = SplitCrLf(ReadFile(program.DefaultLog()));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "previous run");
    ExpectBanner(lines, 1, program.Program());
}

TEST(LogStart, AsAUserTheLogGoesWhereThatUserCanWrite) {
    struct Case {
        const char* name;
        bool undeletableOldLog;  // else "Path" names a folder the user cannot write
    } cases[] = {{"an old log that cannot be deleted", true},
                 {"a Path that cannot be written", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartedProgram program;
        // The user may read and write the hives, and use the state folder.
        chmod(program.Dir().Path().c_str(), 0755);
        chmod(program.Registry().Dir().Path().c_str(), 0777);
        fs::create_directory(program.StateFolder());
        chmod(program.StateFolder().c_str(), 0777);
        std::string log;
        if (c.undeletableOldLog) {
            // A shared folder (sticky, as /tmp is) holding another user's log
            // that everyone may write: the user can add to it but not delete it.
            chmod(program.Bin().c_str(), 01777);
            log = program.DefaultLog();
            WriteFile(log, "previous run\r\n");
            chmod(log.c_str(), 0666);
            program.WriteMachineHive(MachineSection(kCommon) +
                                     "\"DebugTime\"=\"0\"\n\"DebugLevel\"=\"1\"\n");
        } else {
            chmod(program.Bin().c_str(), 0777);
            const std::string rootOnly = program.Dir().File("root-only");
            fs::create_directory(rootOnly);
            log = program.StateFolder() + "/Tarvelon/Korvantis/" + program.Module() + ".log";
            program.WriteMachineHive(MachineSection(kCommon) + "\"Path\"=\"" + rootOnly +
                                     "/\"\n\"DebugLevel\"=\"1\"\n");
        }
        chmod(program.Registry().MachineHive().c_str(), 0666);

        const ProgramRun run = program.Run({"0", "W0", "0", "nobody", "header"});
        if (run.exitCode == tapscope::testing::kChildCannotRun) {
            GTEST_SKIP() << "needs root to switch a child process to the user nobody";
        }
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.logPath, log);
        ASSERT_FALSE(run.debugTexts.empty());
        EXPECT_EQ(run.debugTexts[0], Destination(program.Module(), log));
        const std::vector<std::string> lines = SplitCrLf(ReadFile(log));
        if (c.undeletableOldLog) {
            ASSERT_EQ(lines.size(), 7u);
            EXPECT_EQ(lines[0], "previous run");
            ExpectBanner(lines, 1, program.Program());
            // (The writer may report its end after it.)
            ASSERT_GE(run.debugTexts.size(), 2u);
            EXPECT_EQ(run.debugTexts[1].rfind("Cannot delete the old log file '" + log + "': ", 0),
                      0u)
                << run.debugTexts[1];
        } else {
            ExpectBanner(lines, 0, program.Program());
            EXPECT_TRUE(fs::is_empty(program.Dir().File("root-only")));
        }
    }
}

}  // namespace
}  // namespace ZelLog

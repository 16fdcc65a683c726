#include "log/configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/debug.h"
#include "platform/detail/hive_document.h"
#include "tests/support/child_role.h"
#include "tests/support/debug_capture.h"
#include "tests/support/private_registry.h"
#include "tests/support/temp_dir.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;
using platform::detail::HiveDocument;
using platform::detail::HiveValue;
using platform::detail::HiveValueType;
using tapscope::testing::DefaultMachineHive;
using tapscope::testing::EnvGuard;
using tapscope::testing::MachineSection;
using tapscope::testing::PrivateRegistry;
using tapscope::testing::ReadFile;
using tapscope::testing::WriteFile;

const std::string& kMain = tapscope::testing::kLogMainKey;
const std::string& kCommon = tapscope::testing::kLogCommonKey;
const std::string kModule = kCommon + "\\tapscope";

class Configuration : public ::testing::Test {
protected:
    // The machine hive with |text| below its header.
    void WriteMachineHive(const std::string& text) {
        WriteFile(m_registry.MachineHive(), "REGEDIT4\n\n" + text);
    }
    HiveDocument MachineHive() const {
        return HiveDocument("HKEY_LOCAL_MACHINE", ReadFile(m_registry.MachineHive()));
    }
    // The stored value |name| of |path| in the machine hive.
    HiveValue Stored(const std::string& path, const std::string& name) const {
        HiveValue value;
        value.data = "<missing>";
        MachineHive().FindValue(path, name, value);
        return value;
    }
    LogSettings Read(const std::string& logFolder = "") {
        return ReadLogConfiguration(logFolder, kMain, m_executable);
    }

    PrivateRegistry m_registry;
    tapscope::testing::TempDir m_files;
    std::string m_executable = m_files.File("bin/tapScope");
    EnvGuard m_state{"XDG_STATE_HOME", m_files.File("state")};
};

TEST_F(Configuration, AFirstStartWritesEveryCommonDefaultAndAnEmptyModuleKey) {
    std::filesystem::create_directory(m_files.File("bin"));
    const LogSettings settings = Read();
    EXPECT_EQ(settings.moduleName, "tapscope");
    EXPECT_EQ(settings.level, 0);
    EXPECT_EQ(settings.options, 1u);
    EXPECT_EQ(settings.bufferSize, 4096u);
    EXPECT_EQ(settings.queueMaxLines, 5000u);
    EXPECT_EQ(settings.flushPeriod, 500);
    EXPECT_EQ(settings.maxSizeMb, 100);
    EXPECT_EQ(settings.maxAgeHours, 48);
    EXPECT_EQ(settings.zipDays, 2);
    EXPECT_EQ(settings.extension, "log");
    EXPECT_EQ(settings.filter, "");
    EXPECT_EQ(settings.logFilePath, m_files.File("bin/tapscope.log"));

    EXPECT_EQ(ReadFile(m_registry.MachineHive()), DefaultMachineHive("tapscope"));
    EXPECT_FALSE(std::filesystem::exists(m_registry.UserHive()));

    // The second start reads what the first wrote and changes nothing.
    const auto written = std::filesystem::last_write_time(m_registry.MachineHive());
    const std::string before = ReadFile(m_registry.MachineHive());
    Read();
    EXPECT_EQ(ReadFile(m_registry.MachineHive()), before);
    EXPECT_EQ(std::filesystem::last_write_time(m_registry.MachineHive()), written);
}

TEST_F(Configuration, DebugInTheMainKeyIsTheDefaultLevelAndIsWrittenBack) {
    WriteMachineHive(MachineSection(kMain) + "\"Debug\"=\"2\"\n");
    EXPECT_EQ(Read().level, 2);
    EXPECT_EQ(Stored(kCommon, "DebugLevel").data, "2");
    EXPECT_EQ(Stored(kMain, "Debug").data, "2");  // the main key is never written
}

TEST_F(Configuration, TheModuleKeyOverridesTheCommonKeyWhichKeepsItsValue) {
    WriteMachineHive(MachineSection(kCommon) +
                     "\"DebugLevel\"=\"1\"\n\"Filter\"=\"common\"\n\"Path\"=\"" +
                     m_files.File("common-logs") + "\"\n" + MachineSection(kModule) +
                     "\"DebugLevel\"=\"2\"\n\"DebugOptions\"=dword:00000011\n"
                     "\"Filter\"=\"COM\"\n\"Path\"=\"/module/path/is/ignored\"\n");
    const LogSettings settings = Read();
    EXPECT_EQ(settings.level, 2);
    EXPECT_EQ(settings.options, 0x11u);
    EXPECT_EQ(settings.filter, "COM");
    EXPECT_EQ(settings.logFilePath, m_files.File("common-logs/tapscope.log"));
    EXPECT_EQ(Stored(kCommon, "DebugLevel").data, "1");
    EXPECT_EQ(Stored(kCommon, "DebugOptions").dword, 1u);
    EXPECT_EQ(Stored(kCommon, "Filter").data, "common");
}

TEST_F(Configuration, BoundsApplyAfterTheValueIsWrittenBack) {
    struct Case {
        const char* name;
        std::string stored;  // the .reg text after "="
        std::uint64_t expected;
        std::string writtenBack;  // the .reg text after "=" afterwards
    } cases[] = {
        {"DebugTime", "\"10\"", 48, "\"10\""},
        {"DebugTime", "\"-5\"", 48, "\"-5\""},
        {"DebugTime", "\"0\"", 0, "\"0\""},
        {"DebugTime", "\" 72 hours\"", 72, "\"72\""},
        {"DebugTime", "\"\"", 48, "\"48\""},
        {"DebugBufferSize", "dword:00000032", 4096, "dword:00000032"},
        {"DebugBufferSize", "dword:00000064", 100, "dword:00000064"},
        {"DebugBufferSize", "dword:ffffffff", 4096, "dword:ffffffff"},
        {"DebugBufferSize", "\"8192\"", 8192, "dword:00002000"},
        {"DebugSize", "\"50\"", 100, "\"50\""},
        {"DebugSize", "\"0\"", 0, "\"0\""},
        {"DebugZipDays", "\"1\"", 2, "\"1\""},
        {"DebugOptions", "dword:00000000", 0, "dword:00000000"},
        {"DebugQueueMaxLines", "\"100\"", 5000, "\"100\""},
        {"DebugQueueMaxLines", "\"0\"", 0, "\"0\""},
        {"DebugQueueMaxLines", "\"-1\"", 4294967295u, "\"-1\""},
        {"DebugFlushPeriod", "\"0\"", 0, "\"0\""},
        {"DebugFlushPeriod", "\"499\"", 500, "\"499\""},
        {"DebugFlushPeriod", "\"fast\"", 0, "\"0\""},
        {"DebugLevel", "dword:00000002", 2, "\"2\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.stored);
        WriteMachineHive(MachineSection(kCommon) + "\"" + c.name + "\"=" + c.stored + "\n");
        const LogSettings s = Read();
        const std::string name = c.name;
        const std::uint64_t actual =
            name == "DebugTime"            ? static_cast<std::uint64_t>(s.maxAgeHours)
            : name == "DebugBufferSize"    ? s.bufferSize
            : name == "DebugSize"          ? static_cast<std::uint64_t>(s.maxSizeMb)
            : name == "DebugZipDays"       ? static_cast<std::uint64_t>(s.zipDays)
            : name == "DebugOptions"       ? s.options
            : name == "DebugQueueMaxLines" ? s.queueMaxLines
            : name == "DebugLevel"         ? static_cast<std::uint64_t>(s.level)
                                           : static_cast<std::uint64_t>(s.flushPeriod);
        EXPECT_EQ(actual, c.expected);
        EXPECT_NE(
            ReadFile(m_registry.MachineHive()).find("\"" + name + "\"=" + c.writtenBack + "\n"),
            std::string::npos);
    }
}

TEST_F(Configuration, AtoiRules) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"42", 42},
        {"  \t-17x", -17},
        {"+8", 8},
        {"x8", 0},
        {"", 0},
        {"- 1", 0},
        {"2147483647", INT32_MAX},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AtoiValue(text), expected);
    }
}

TEST_F(Configuration, KeyReadsFollowTheBufferAndNameLimits) {
    const std::string longName(300, 'N');
    WriteMachineHive(MachineSection(kCommon) + "\"" + longName.substr(0, 259) +
                     "\"=\"cut at 259\"\n\"" + longName.substr(0, 29) +
                     "\"=dword:00000007\n\"Big\"=\"" +
                     std::string(RegistryKey::kMaxTextBytes, 'b') + "\"\n\"Fits\"=\"" +
                     std::string(RegistryKey::kMaxTextBytes - 1, 'f') + "\"\n");
    RegistryKey key = RegistryKey::Open(kCommon, platform::kKeyRead);
    ASSERT_EQ(key.Status(), 0);
    std::string text;
    std::uint32_t number = 0;
    EXPECT_TRUE(key.ReadText(longName, text));
    EXPECT_EQ(text, "cut at 259");
    EXPECT_TRUE(key.ReadDword(longName, number));
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(key.ReadText("Big", text));  // with its terminator it exceeds the buffer
    EXPECT_TRUE(key.ReadText("Fits", text));
    EXPECT_FALSE(key.WriteText("Any", "x"));  // opened to read

    RegistryKey missing = RegistryKey::Open(kCommon + "\\nowhere", platform::kKeyRead);
    EXPECT_NE(missing.Status(), 0);
    EXPECT_EQ(ReadIntSetting(&missing, nullptr, "DebugTime", 48), 48);
}

TEST_F(Configuration, AMachineHiveThatCannotBeWrittenLeavesTheKeysToTheUserHive) {
    WriteFile(m_files.File("etc"), "not a folder");
    EnvGuard machine("ZEL_HKLM_HIVE", m_files.File("etc/zel/HKEY_LOCAL_MACHINE.reg"));
    WriteFile(m_registry.UserHive(),
              "REGEDIT4\n[HKEY_CURRENT_USER\\" + kModule + "]\n\"DebugLevel\"=\"1\"\n");
    EXPECT_EQ(Read().level, 1);
    const HiveDocument user("HKEY_CURRENT_USER", ReadFile(m_registry.UserHive()));
    HiveValue value;
    ASSERT_TRUE(user.FindValue(kCommon, "DebugTime", value));
    EXPECT_EQ(value.data, "48");
}

TEST_F(Configuration, ModuleNameAndFolderOfTheExecutable) {
    struct Case {
        const char* path;
        const char* module;
        const char* folder;
    } cases[] = {
        {"/opt/Tarvelon/tapScope.bin", "tapscope", "/opt/Tarvelon"},
        {"/usr/bin/TapScope", "tapscope", "/usr/bin"},  // no dot: the whole name
        {"/opt/app.v2/tapscope", "tapscope", "/opt/app.v2"},
        {"/x/a.b.C", "a.b", "/x"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const ModulePaths paths = ModulePathsOf(c.path);
        EXPECT_EQ(paths.moduleName, c.module);
        EXPECT_EQ(paths.folder, c.folder);
    }
}

TEST_F(Configuration, TheLogFileGoesWhereItCanBeWritten) {
    WriteFile(m_files.File("file"), "a file where folders are wanted");
    std::filesystem::create_directory(m_files.File("bin"));
    const std::string state = m_files.File("state/Tarvelon/Korvantis/tapscope.log");
    struct Case {
        const char* label;
        std::string path;         // "Path" in the common key
        std::string executable;   // the executable's path
        std::string stateFolder;  // XDG_STATE_HOME
        std::string logFolder;    // given at creation
        std::string expected;
    } cases[] = {
        {"trailing slash", m_files.File("logs/"), m_executable, m_files.File("state"), "",
         m_files.File("logs/tapscope.log")},
        {"no path", "", m_executable, m_files.File("state"), "", m_files.File("bin/tapscope.log")},
        {"path cannot be made", m_files.File("file/logs"), m_executable, m_files.File("state"), "",
         m_files.File("bin/tapscope.log")},
        {"neither can be written", m_files.File("file/logs"), m_files.File("file/tapscope"),
         m_files.File("state"), "", state},
        {"nothing works", m_files.File("file/logs"), m_files.File("file/tapscope"),
         m_files.File("file/state"), "", ""},
        {"folder given", m_files.File("logs/"), m_executable, m_files.File("state"), "/given",
         "/given/tapscope.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WriteMachineHive(MachineSection(kCommon) + "\"Path\"=\"" + c.path + "\"\n");
        EnvGuard stateHome("XDG_STATE_HOME", c.stateFolder);
        EXPECT_EQ(ReadLogConfiguration(c.logFolder, kMain, c.executable).logFilePath, c.expected);
    }
    // No probe file stays behind.
    EXPECT_TRUE(std::filesystem::is_empty(m_files.File("logs")));
}

// As a user: "Path" names a folder that exists but cannot be written.
TAPSCOPE_CHILD_ROLE(ReadConfigurationAsNobody) {
    if (!tapscope::testing::DropToNobody()) {
        return tapscope::testing::kChildCannotRun;
    }
    const LogSettings settings = ReadLogConfiguration("", kMain, args.at(0));
    return settings.logFilePath == args.at(1) ? 0 : 1;
}

TEST_F(Configuration, AnUnwritablePathLeadsToThePerUserFolder) {
    // The user may write the user hive, the executable's folder and the state
    // folder, but not the folder "Path" names.
    chmod(m_files.Path().c_str(), 0755);
    chmod(m_registry.Dir().Path().c_str(), 0777);
    for (const char* folder : {"root-only", "bin", "state"}) {
        std::filesystem::create_directory(m_files.File(folder));
    }
    chmod(m_files.File("bin").c_str(), 0777);
    chmod(m_files.File("state").c_str(), 0777);
    WriteFile(m_registry.UserHive(), "REGEDIT4\n[HKEY_CURRENT_USER\\" + kCommon + "]\n\"Path\"=\"" +
                                         m_files.File("root-only/") + "\"\n");
    chmod(m_registry.UserHive().c_str(), 0666);
    const int result = tapscope::testing::RunChild(
        "ReadConfigurationAsNobody",
        {m_executable, m_files.File("state/Tarvelon/Korvantis/tapscope.log")});
    if (result == tapscope::testing::kChildCannotRun) {
        GTEST_SKIP() << "needs root to switch a child process to the user nobody";
    }
    EXPECT_EQ(result, 0);
}

TAPSCOPE_CHILD_ROLE(ReadConfiguration) {
    ReadLogConfiguration("", kMain, args.at(0));
    return 0;
}

TEST_F(Configuration, TwoFirstStartsAtOnceLeaveAWholeHive) {
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(m_registry.MachineHive());
        const pid_t first =
            tapscope::testing::StartChild("ReadConfiguration", {m_files.File("a/alpha")});
        const pid_t second =
            tapscope::testing::StartChild("ReadConfiguration", {m_files.File("b/beta")});
        EXPECT_EQ(tapscope::testing::WaitChild(first), 0);
        EXPECT_EQ(tapscope::testing::WaitChild(second), 0);
        const HiveDocument hive = MachineHive();
        EXPECT_EQ(hive.IgnoredLineCount(), 0u);
        EXPECT_TRUE(hive.KeyExists(kCommon + "\\alpha"));
        EXPECT_TRUE(hive.KeyExists(kCommon + "\\beta"));
        int values = 0;
        hive.ForEachValue(kCommon, [&](const HiveValue&) { ++values; });
        EXPECT_EQ(values, 9);
    }
}

TEST_F(Configuration, ARotationAgeOfZeroStartsANewLog) {
    LogSettings settings;
    settings.logFilePath = m_files.File("old.log");
    WriteFile(settings.logFilePath, "yesterday");
    EXPECT_TRUE(DeleteLogAtStart(settings));  // age 48: kept
    EXPECT_TRUE(std::filesystem::exists(settings.logFilePath));
    settings.maxAgeHours = 0;
    EXPECT_TRUE(DeleteLogAtStart(settings));
    EXPECT_FALSE(std::filesystem::exists(settings.logFilePath));

    // A log that cannot be deleted stays, and the start goes on.
    settings.logFilePath = m_files.File("busy.log");
    std::filesystem::create_directories(m_files.File("busy.log/inside"));
    tapscope::testing::DebugCapture capture;
    EXPECT_FALSE(DeleteLogAtStart(settings));
    EXPECT_EQ(capture.Count("Cannot delete the old log file '" + settings.logFilePath + "'"), 1);
    EXPECT_EQ(LogDestinationText(settings, kMain),
              "Process '': write log to: '" + settings.logFilePath +
                  "' and using registry: 'SOFTWARE\\ZEL\\Korvantis'");
}

}  // namespace
}  // namespace ZelLog

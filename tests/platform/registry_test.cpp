#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/detail/hive_document.h"
#include "tests/support/child_role.h"
#include "tests/support/debug_capture.h"
#include "tests/support/private_registry.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

using detail::HiveDocument;
using detail::HiveValue;
using detail::HiveValueType;
using testing::DebugCapture;
using testing::PrivateRegistry;
using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kRoot = "HKEY_LOCAL_MACHINE";

HiveValue Text(const std::string& name, const std::string& text) {
    return HiveValue{name, HiveValueType::kString, text, 0};
}

HiveValue Dword(const std::string& name, std::uint32_t number) {
    return HiveValue{name, HiveValueType::kDword, {}, number};
}

// ------------------------------------------------------------- parsing --

TEST(HiveDocument, ReadsTheValuesOfItsOwnRoot) {
    const std::string text =
        "REGEDIT4\n"
        "\n"
        "; a comment\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEL\\Korvantis\\Debug]\n"
        "\"DebugLevel\"=\"2\"\n"
        "\"DebugOptions\"=dword:0000001A\n"
        "\"Path\"=\"C:\\\\logs\\\\ \\\"x\\\"\"\n"
        "@=\"default\"\n"
        "\"Blob\"=hex:01,02,\\\n"
        "  03,04\n"
        "\"After\" = \"blob\"\n"
        "\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\ZEL\\Korvantis\\Debug]\n"
        "\"DebugLevel\"=\"9\"\n"
        "[HKEY_LOCAL_MACHINE\\software\\zel\\korvantis\\debug]\n"
        "\"debuglevel\"=\"1\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\n"
        "\"Orphan\"=\"not applied to the key above\"\n";
    const HiveDocument document(kRoot, text);
    const std::string key = "SOFTWARE\\ZEL\\Korvantis\\Debug";
    struct Case {
        const char* name;
        bool found;
        HiveValue value;
    } cases[] = {
        // The later section of the same key wins; names ignore case.
        {"DEBUGLEVEL", true, Text("", "1")},
        {"DebugOptions", true, Dword("", 0x1a)},
        {"Path", true, Text("", "C:\\logs\\ \"x\"")},
        {"", true, Text("", "default")},
        {"Blob", true, HiveValue{"", HiveValueType::kOther, "hex:01,02,\\\n  03,04", 0}},
        {"After", true, Text("", "blob")},
        {"Orphan", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HiveValue value;
        ASSERT_EQ(document.FindValue(key, c.name, value), c.found);
        if (c.found) {
            EXPECT_TRUE(value.SameData(c.value)) << value.data;
        }
    }
    EXPECT_TRUE(document.KeyExists("software\\ZEL"));  // a key above a section
    EXPECT_TRUE(document.KeyExists("\\SOFTWARE\\ZEL\\\\Korvantis\\"));
    EXPECT_FALSE(document.KeyExists("SOFTWARE\\ZE"));
    EXPECT_FALSE(document.KeyExists("SOFTWARE\\Other"));
    // The foreign section's header and value, the bad header and its value.
    EXPECT_EQ(document.IgnoredLineCount(), 4u);
    EXPECT_EQ(document.FirstIgnoredLine(), 13u);
}

TEST(HiveDocument, CountsWhatItCannotParseAndNamesTheFirstLine) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\K]\n";
    struct Case {
        const char* label;
        std::string text;
        std::size_t ignored;
        std::size_t firstLine;
        bool goodValueRead;
    } cases[] = {
        {"clean", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n", 0, 0, true},
        {"no header", key + "\"Good\"=\"1\"\n", 0, 0, true},
        {"UTF-8 mark and CR LF", "\xEF\xBB\xBFREGEDIT4\r\n" + key + "\"Good\"=\"1\"\r\n", 0, 0,
         true},
        {"prose", "REGEDIT4\nhello world\n" + key + "\"Good\"=\"1\"\nmore prose\n", 2, 2, true},
        {"truncated string", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n\"Cut\"=\"2", 1, 4, true},
        {"truncated header", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n[HKEY_LOCAL_MA", 1, 4, true},
        {"unknown escape", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n\"P\"=\"C:\\logs\"\n", 1, 4, true},
        {"long dword", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n\"D\"=dword:123456789\n", 1, 4, true},
        {"deletions", "REGEDIT4\n" + key + "\"Good\"=\"1\"\n\"D\"=-\n[-HKEY_LOCAL_MACHINE\\K]\n", 2,
         4, true},
        {"NUL byte", "REGEDIT4\n" + key + std::string("\"N\"=\"a\0b\"\n", 10) + "\"Good\"=\"1\"\n",
         1, 3, true},
        {"other root", "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"Good\"=\"1\"\n", 2, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const HiveDocument document(kRoot, c.text);
        EXPECT_EQ(document.IgnoredLineCount(), c.ignored);
        EXPECT_EQ(document.FirstIgnoredLine(), c.firstLine);
        HiveValue value;
        EXPECT_EQ(document.FindValue("K", "Good", value), c.goodValueRead);
        // Untouched, the text is written back exactly (a header added if missing).
        const std::string header =
            c.text.find("REGEDIT4") == std::string::npos ? "REGEDIT4\n\n" : "";
        EXPECT_EQ(document.Serialize(), header + c.text);
    }
}

// ------------------------------------------------------------ changing --

TEST(HiveDocument, AChangeKeepsEverythingElseAsItWas) {
    const std::string text =
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\A]\r\n"
        "\"Level\"=\"1\"\r\n"
        "not .reg at all\r\n"
        "; keep me\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\B]\r\n"
        "\"Level\"=\"1\"\r\n"
        "[HKEY_LOCAL_MACHINE\\b]\r\n"
        "\"LEVEL\"=\"2\"\r\n"
        "\"Other\"=dword:00000001\r\n";
    HiveDocument document(kRoot, text);
    EXPECT_FALSE(document.SetValue("b", Text("level", "2")));  // already so: no change
    EXPECT_EQ(document.Serialize(), text);

    EXPECT_TRUE(document.SetValue("b", Text("level", "3 \"q\" \\")));
    EXPECT_TRUE(document.SetValue("A", Dword("New", 10)));
    EXPECT_TRUE(document.SetValue("C\\D", Text("", "x")));
    EXPECT_FALSE(document.CreateKey("c"));  // exists above C\D
    EXPECT_TRUE(document.CreateKey("E"));
    EXPECT_EQ(document.Serialize(),
              "REGEDIT4\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\A]\r\n"
              "\"Level\"=\"1\"\r\n"
              "not .reg at all\r\n"
              "; keep me\r\n"
              "\"New\"=dword:0000000a\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\B]\r\n"
              "\"Level\"=\"1\"\r\n"
              "[HKEY_LOCAL_MACHINE\\b]\r\n"
              "\"LEVEL\"=\"3 \\\"q\\\" \\\\\"\r\n"
              "\"Other\"=dword:00000001\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\C\\D]\r\n"
              "@=\"x\"\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\E]\r\n"
              "\r\n");
    const HiveDocument again(kRoot, document.Serialize());
    EXPECT_EQ(again.IgnoredLineCount(), 1u);
    HiveValue value;
    ASSERT_TRUE(again.FindValue("B", "Level", value));
    EXPECT_EQ(value.data, "3 \"q\" \\");
    EXPECT_FALSE(HiveDocument::IsStorable(Text("Bad", "two\nlines")));
}

// ---------------------------------------------------------- hive files --

class RegistryFiles : public ::testing::Test {
protected:
    PrivateRegistry m_registry;
};

TEST_F(RegistryFiles, CreateSetAndQueryWriteAHiveAnAdministratorCanRead) {
    RegistryHandle key;
    // The user hive's folder does not exist yet either.
    testing::EnvGuard user("ZEL_HKCU_HIVE", m_registry.Dir().File("config/zel/user.reg"));
    ASSERT_EQ(CreateRegistryKey(RegistryRoot::kCurrentUser, "SOFTWARE\\ZEL", kKeyAllAccess, key),
              RegistryStatus::kOk);
    ASSERT_EQ(key.SetString("Name", "a \"quoted\" C:\\path"), RegistryStatus::kOk);
    ASSERT_EQ(key.SetDword("Number", 4096), RegistryStatus::kOk);
    EXPECT_EQ(key.SetString("Bad", "line\nbreak"), RegistryStatus::kInvalidName);
    EXPECT_EQ(ReadFile(m_registry.Dir().File("config/zel/user.reg")),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\ZEL]\n"
              "\"Name\"=\"a \\\"quoted\\\" C:\\\\path\"\n"
              "\"Number\"=dword:00001000\n\n");

    RegistryHandle reader;
    ASSERT_EQ(OpenRegistryKey(RegistryRoot::kCurrentUser, "software\\zel", kKeyRead, reader),
              RegistryStatus::kOk);
    RegistryValue value;
    ASSERT_EQ(reader.Query("NAME", value), RegistryStatus::kOk);
    EXPECT_EQ(value.type, RegistryValueType::kString);
    EXPECT_EQ(value.text, "a \"quoted\" C:\\path");
    ASSERT_EQ(reader.Query("number", value), RegistryStatus::kOk);
    EXPECT_EQ(value.dword, 4096u);
    EXPECT_EQ(reader.Query("Missing", value), RegistryStatus::kNotFound);
    EXPECT_EQ(reader.SetDword("Number", 1), RegistryStatus::kAccessDenied);  // opened to read
    EXPECT_EQ(OpenRegistryKey(RegistryRoot::kLocalMachine, "SOFTWARE\\ZEL", kKeyRead, reader),
              RegistryStatus::kNotFound);

    // An edit by hand is seen at the next query; no temporary file is left.
    WriteFile(m_registry.Dir().File("config/zel/user.reg"),
              "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\ZEL]\n\"Number\"=dword:7\n");
    ASSERT_EQ(key.Query("Number", value), RegistryStatus::kOk);
    EXPECT_EQ(value.dword, 7u);
    int files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(m_registry.Dir().File("config/zel"))) {
        ++files;
    }
    EXPECT_EQ(files, 2);  // the hive and its lock file
}

TEST_F(RegistryFiles, BadLinesAreReportedOnceReadAroundAndKeptByAWrite) {
    const std::string hive = m_registry.MachineHive();
    const std::string text =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"Good\"=\"1\"\n<<<garbage>>>\n\"Cut\"=\"tr";
    WriteFile(hive, text);
    chmod(hive.c_str(), 0640);
    DebugCapture capture;
    RegistryHandle key;
    ASSERT_EQ(OpenRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyAllAccess, key),
              RegistryStatus::kOk);
    RegistryValue value;
    ASSERT_EQ(key.Query("Good", value), RegistryStatus::kOk);
    EXPECT_EQ(value.text, "1");
    ASSERT_EQ(key.SetString("Good", "2"), RegistryStatus::kOk);
    ASSERT_EQ(key.Query("Good", value), RegistryStatus::kOk);
    EXPECT_EQ(value.text, "2");

    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("'" + hive + "': line 5 "), std::string::npos) << texts[0];
    EXPECT_NE(texts[0].find("2 lines ignored"), std::string::npos) << texts[0];
    EXPECT_EQ(ReadFile(hive),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"Good\"=\"2\"\n<<<garbage>>>\n\"Cut\"=\"tr\n");
    struct stat info {};
    ASSERT_EQ(stat(hive.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(RegistryFiles, AHiveThatCannotBeReadOrWrittenIsNeverWrittenOver) {
    struct Case {
        const char* label;
        std::string hive;
        bool makeFolderAtHive;  // a folder where the hive file should be
        std::string content;
    } cases[] = {
        {"folder in place of the hive", m_registry.Dir().File("hive-dir.reg"), true, ""},
        {"file in place of its folder", m_registry.Dir().File("plain/hive.reg"), false, ""},
        {"UTF-16 text", m_registry.Dir().File("wide.reg"), false,
         std::string("\xFF\xFER\0E\0G\0", 8)},
    };
    WriteFile(m_registry.Dir().File("plain"), "a file, not a folder");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.makeFolderAtHive) {
            std::filesystem::create_directory(c.hive);
        } else if (!c.content.empty()) {
            WriteFile(c.hive, c.content);
        }
        testing::EnvGuard machine("ZEL_HKLM_HIVE", c.hive);
        DebugCapture capture;
        RegistryHandle key;
        EXPECT_EQ(CreateRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyAllAccess, key),
                  RegistryStatus::kAccessDenied);
        EXPECT_EQ(OpenRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyRead, key),
                  RegistryStatus::kNotFound);
        if (!c.content.empty()) {
            EXPECT_EQ(ReadFile(c.hive), c.content);
            EXPECT_EQ(capture.Count("UTF-16"), 1);
        }
    }
}

TEST_F(RegistryFiles, ABatchWritesEachHiveOnceAtItsEnd) {
    RegistryHandle key;
    {
        RegistryBatch batch;
        ASSERT_EQ(CreateRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyAllAccess, key),
                  RegistryStatus::kOk);
        ASSERT_EQ(key.SetDword("A", 1), RegistryStatus::kOk);
        {
            RegistryBatch inner;
            ASSERT_EQ(key.SetString("B", "2"), RegistryStatus::kOk);
        }
        RegistryValue value;
        ASSERT_EQ(key.Query("B", value), RegistryStatus::kOk);  // seen in this process
        EXPECT_EQ(value.text, "2");
        EXPECT_FALSE(std::filesystem::exists(m_registry.MachineHive()));
        EXPECT_EQ(batch.Commit(), RegistryStatus::kOk);
    }
    EXPECT_EQ(ReadFile(m_registry.MachineHive()),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:00000001\n\"B\"=\"2\"\n\n");
    ASSERT_EQ(key.SetString("B", "3"), RegistryStatus::kOk);  // after the batch: at once
    EXPECT_NE(ReadFile(m_registry.MachineHive()).find("\"B\"=\"3\""), std::string::npos);
}

TEST(HiveLocation, TheEnvironmentNamesTheHives) {
    testing::EnvGuard machine("ZEL_HKLM_HIVE", std::nullopt);
    testing::EnvGuard user("ZEL_HKCU_HIVE", "");
    testing::EnvGuard home("HOME", "/home/pos");
    {
        testing::EnvGuard config("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(HiveFilePath(RegistryRoot::kCurrentUser), "/cfg/zel/HKEY_CURRENT_USER.reg");
    }
    {
        testing::EnvGuard config("XDG_CONFIG_HOME", "relative/is/ignored");
        EXPECT_EQ(HiveFilePath(RegistryRoot::kCurrentUser),
                  "/home/pos/.config/zel/HKEY_CURRENT_USER.reg");
    }
    EXPECT_EQ(HiveFilePath(RegistryRoot::kLocalMachine), "/etc/zel/HKEY_LOCAL_MACHINE.reg");
    testing::EnvGuard named("ZEL_HKLM_HIVE", "/srv/machine.reg");
    EXPECT_EQ(HiveFilePath(RegistryRoot::kLocalMachine), "/srv/machine.reg");
}

TEST_F(RegistryFiles, ThreadsOfOneProcessShareAHive) {
    constexpr int kThreads = 3;
    constexpr int kValuesEach = 15;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RegistryHandle key;
            if (CreateRegistryKey(RegistryRoot::kLocalMachine, "Shared", kKeyAllAccess, key) !=
                RegistryStatus::kOk) {
                ++failures;
                return;
            }
            for (int i = 0; i < kValuesEach; ++i) {
                const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                RegistryValue value;
                if (key.SetDword(name, static_cast<std::uint32_t>(i)) != RegistryStatus::kOk ||
                    key.Query(name, value) != RegistryStatus::kOk ||
                    value.dword != std::uint32_t(i)) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    const HiveDocument document(kRoot, ReadFile(m_registry.MachineHive()));
    int values = 0;
    document.ForEachValue("Shared", [&](const HiveValue&) { ++values; });
    EXPECT_EQ(values, kThreads * kValuesEach);
}

// A user cannot write the machine hive, but can read it.
TAPSCOPE_CHILD_ROLE(OpenMachineHiveAsNobody) {
    if (!testing::DropToNobody()) {
        return testing::kChildCannotRun;
    }
    RegistryHandle key;
    if (OpenRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyRead, key) != RegistryStatus::kOk) {
        return 1;
    }
    RegistryValue value;
    if (key.Query("Good", value) != RegistryStatus::kOk || value.text != "1") {
        return 2;
    }
    if (OpenRegistryKey(RegistryRoot::kLocalMachine, "K", kKeyAllAccess, key) !=
        RegistryStatus::kAccessDenied) {
        return 3;
    }
    if (CreateRegistryKey(RegistryRoot::kLocalMachine, "New", kKeyAllAccess, key) !=
        RegistryStatus::kAccessDenied) {
        return 4;
    }
    return 0;
}

TEST_F(RegistryFiles, AUserOpensTheMachineHiveToReadOnly) {
    chmod(m_registry.Dir().Path().c_str(), 0755);
    WriteFile(m_registry.MachineHive(), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Good\"=\"1\"\n");
    chmod(m_registry.MachineHive().c_str(), 0644);
    const int result = testing::RunChild("OpenMachineHiveAsNobody", {});
    if (result == testing::kChildCannotRun) {
        GTEST_SKIP() << "needs root to switch a child process to the user nobody";
    }
    EXPECT_EQ(result, 0);
}

// Writes values "<prefix>0" .. "<prefix>N-1", one change at a time.
TAPSCOPE_CHILD_ROLE(WriteManyValues) {
    const int count = std::stoi(args.at(1));
    RegistryHandle key;
    if (CreateRegistryKey(RegistryRoot::kCurrentUser, "Shared", kKeyAllAccess, key) !=
        RegistryStatus::kOk) {
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        if (key.SetString(args.at(0) + std::to_string(i), std::to_string(i)) !=
            RegistryStatus::kOk) {
            return 2;
        }
    }
    return 0;
}

TEST_F(RegistryFiles, ProcessesWritingAtOnceKeepEachOthersValues) {
    constexpr int kWriters = 3;
    constexpr int kValuesEach = 40;
    std::vector<pid_t> children;
    for (int i = 0; i < kWriters; ++i) {
        children.push_back(testing::StartChild(
            "WriteManyValues", {"p" + std::to_string(i) + "_", std::to_string(kValuesEach)}));
    }
    for (pid_t child : children) {
        EXPECT_EQ(testing::WaitChild(child), 0);
    }
    const HiveDocument document("HKEY_CURRENT_USER", ReadFile(m_registry.UserHive()));
    EXPECT_EQ(document.IgnoredLineCount(), 0u);
    for (int writer = 0; writer < kWriters; ++writer) {
        for (int i = 0; i < kValuesEach; ++i) {
            HiveValue value;
            const std::string name = "p" + std::to_string(writer) + "_" + std::to_string(i);
            ASSERT_TRUE(document.FindValue("Shared", name, value)) << name;
            EXPECT_EQ(value.data, std::to_string(i));
        }
    }
}

}  // namespace
}  // namespace tapscope::platform

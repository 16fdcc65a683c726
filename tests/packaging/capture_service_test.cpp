// The capture service's helper, run as the unit runs it: from a copy laid out
// as installed (usr/libexec/tapscope/capture-service beside usr/bin/tapscope,
// which is the program built here), with a conf file, capturing real
// datagrams on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kExitLimitMs = 30000;
constexpr int kUsageStatus = 2;
// A capture file's start time, with the count that a second start within the
// same second adds.
constexpr const char* kStampPattern = "[0-9]{8}-[0-9]{6}(-[0-9]+)?";

// The capture files in |folder|, by name (each capture's record beside it
// left out).
std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() != ".jsonl") {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The capture file a run named when it started: "capturing udp into FILE ...".
std::string CaptureFileOf(const std::string& said) {
    std::smatch match;
    return std::regex_search(said, match, std::regex("capturing [a-z]+ into (\\S+)"))
               ? match[1].str()
               : std::string();
}

class CaptureServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_dir.File("usr/libexec/tapscope"));
        fs::create_directories(m_dir.File("usr/bin"));
        fs::copy_file(TAPSCOPE_PACKAGING_DIR "/capture-service", m_helper);
        fs::create_symlink(TAPSCOPE_PROGRAM, m_dir.File("usr/bin/tapscope"));
    }

    // The helper with |conf|, its standard error joined to its output;
    // |prefix| goes before it (a command that runs it as another user).
    std::unique_ptr<ChildProcess> Start(const std::string& conf,
                                        const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> args = {"-c", "exec \"$@\" 2>&1", "sh"};
        args.insert(args.end(), prefix.begin(), prefix.end());
        args.insert(args.end(), {m_helper, conf});
        return std::make_unique<ChildProcess>("/bin/sh", args);
    }

    // Runs a capture of |conf| that receives |payload| on UDP |port|, and ends
    // it as systemctl stop does. Returns what it said.
    std::string CaptureOnce(const std::string& conf, unsigned short port,
                            const std::string& payload, const std::string& folder) {
        const std::size_t before = FilesIn(folder).size();
        auto child = Start(conf);
        std::string said;
        while (said.find("capturing") == std::string::npos) {
            const std::string line = child->ReadLine();
            if (line.empty()) {
                ADD_FAILURE() << "the capture did not start: " << said;
                return said;
            }
            said += line + "\n";
        }
        SendDatagram(port, payload);
        EXPECT_TRUE(WaitUntil([&] { return FilesIn(folder).size() == before + 1; })) << said;
        kill(child->Pid(), SIGTERM);
        said += child->ReadAll();
        int status = -1;
        EXPECT_TRUE(child->Wait(kExitLimitMs, &status));
        EXPECT_EQ(status, 0) << said;
        return said;
    }

    TempDir m_dir;
    const std::string m_helper = m_dir.File("usr/libexec/tapscope/capture-service");
    const std::string m_state = m_dir.File("state");
    EnvGuard m_stateDirectory{"STATE_DIRECTORY", m_state};
};

// The quoted settings document reaches the program as one word; every start
// begins a new file named with its start time and leaves the earlier ones be.
TEST_F(CaptureServiceTest, EachStartCapturesIntoANewFileAndSigtermEndsItCleanly) {
    const unsigned short port = FreeUdpPort();
    const std::string folder = m_dir.File("captures/till1");
    const std::string conf = m_dir.File("till1.conf");
    WriteFile(conf,
              "# till 1, at the counter\n"
              "CAPTURE = udp --settings '<settings ip=\"127.0.0.1\" port=\"" +
                  std::to_string(port) +
                  "\" />'\r\n"
                  "\n"
                  "OUTPUT=\"" +
                  folder + "/\"\n");

    const std::string first = CaptureOnce(conf, port, std::string("abc\0\r\n", 6), folder);
    const std::string second = CaptureOnce(conf, port, "xyz", folder);

    const std::string firstFile = CaptureFileOf(first);
    const std::string secondFile = CaptureFileOf(second);
    EXPECT_NE(firstFile, secondFile);
    EXPECT_EQ(ReadFile(firstFile), std::string("abc\0\r\n", 6));
    EXPECT_EQ(ReadFile(secondFile), "xyz");
    // Each start's capture has its own record.
    EXPECT_NE(ReadFile(firstFile + ".jsonl").find(R"("type":"end")"), std::string::npos);
    EXPECT_NE(ReadFile(secondFile + ".jsonl").find(R"("type":"end")"), std::string::npos);
    const std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 2u) << first << second;
    for (const std::string& name : files) {
        EXPECT_TRUE(
            std::regex_match(name, std::regex("till1-" + std::string(kStampPattern) + "\\.bin")))
            << name;
    }
}

// OUTPUT names a folder, a file whose name the captures take, or nothing
// (the instance's folder in the state folder).
TEST_F(CaptureServiceTest, OutputNamesTheFolderOrTheFileOfTheCaptures) {
    struct Case {
        std::string output;  // the OUTPUT line, or empty for none
        std::string folder;
        std::string name;  // the file name's pattern, around the start time
    };
    const Case cases[] = {
        {"OUTPUT=" + m_dir.File("pos") + "/", m_dir.File("pos"), "till2-STAMP\\.bin"},
        {"OUTPUT=" + m_dir.File("srv/cash.raw"), m_dir.File("srv"), "cash-STAMP\\.raw"},
        {"OUTPUT=" + m_dir.File("srv/cash"), m_dir.File("srv"), "cash-STAMP"},
        {"", m_state + "/till2", "till2-STAMP\\.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const unsigned short port = FreeUdpPort();
        const std::string conf = m_dir.File("till2.conf");
        WriteFile(conf, "CAPTURE=udp --ip 127.0.0.1 --port " + std::to_string(port) + "\n" +
                            c.output + "\n");
        fs::create_directories(c.folder);
        const std::vector<std::string> before = FilesIn(c.folder);
        CaptureOnce(conf, port, "sale", c.folder);
        std::vector<std::string> made;
        for (const std::string& name : FilesIn(c.folder)) {
            if (std::find(before.begin(), before.end(), name) == before.end()) {
                made.push_back(name);
            }
        }
        ASSERT_EQ(made.size(), 1u);
        const std::string pattern = std::regex_replace(c.name, std::regex("STAMP"), kStampPattern);
        EXPECT_TRUE(std::regex_match(made[0], std::regex(pattern))) << made[0];
        EXPECT_EQ(ReadFile(c.folder + "/" + made[0]), "sale");
    }
}

// A capture that rolls over names its files itself: one stamp, not two.
TEST_F(CaptureServiceTest, ARollingCaptureIsNamedOnceWithItsStartTime) {
    const unsigned short port = FreeUdpPort();
    const std::string folder = m_dir.File("rolling");
    const std::string conf = m_dir.File("till3.conf");
    WriteFile(conf, "CAPTURE=udp --port " + std::to_string(port) +
                        " --rotate-every 1h --keep 5\nOUTPUT=" + folder + "/\n");
    CaptureOnce(conf, port, "sale", folder);
    const std::vector<std::string> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(files[0], std::regex("till3-" + std::string(kStampPattern) + "\\.bin")))
        << files[0];
    EXPECT_EQ(ReadFile(folder + "/" + files[0]), "sale");
}

// A conf file that cannot be used ends with status 2 (which the unit does not
// restart) and says what to mend; no capture starts.
TEST_F(CaptureServiceTest, AConfFileThatCannotBeUsedIsRefusedWithStatusTwo) {
    const std::string conf = m_dir.File("bad.conf");
    WriteFile(m_dir.File("plain"), "a file, not a folder");
    struct Case {
        std::string text;  // the conf file; "-" for none at all
        std::string said;
    };
    const Case cases[] = {
        {"-",
         "cannot read " + conf + ": No such file or directory; write the capture's settings there"},
        {"# nothing but a comment\n", conf + " has no CAPTURE line"},
        {"CAPTURE=udp\nPORT=9000\n", "line 2: unknown setting 'PORT' (give CAPTURE and OUTPUT)"},
        {"udp --port 9000\n", "line 1: 'udp --port 9000' is not NAME=value"},
        {"CAPTURE=\n", "line 1: CAPTURE is empty"},
        {"CAPTURE=udp --settings '<settings ip=\"127.0.0.1\" />\n",
         "line 1: CAPTURE has a quote that is not closed"},
        {"CAPTURE=udp\nOUTPUT=/a/\nOUTPUT=/b/\n",
         "line 3: OUTPUT is given again (first on line 2)"},
        {"CAPTURE=udp --port 9000 -o /tmp/x.bin\n", "give the capture file as OUTPUT, not with -o"},
        {"CAPTURE=udp --output=/tmp/x.bin\n", "not with --output=/tmp/x.bin in CAPTURE"},
        {"CAPTURE=udp\nOUTPUT=captures/\n", "line 2: OUTPUT must be an absolute path"},
        {"CAPTURE=udp\nOUTPUT=" + m_dir.File("plain/sub/") + "\n",
         "cannot make the capture folder " + m_dir.File("plain/sub") + ": Not a directory"},
        // The program's own refusal of its options ends with the same status.
        {"CAPTURE=usb --port 1\n", "tapscope: unknown transport 'usb'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        fs::remove(conf);
        if (c.text != "-") {
            WriteFile(conf, c.text);
        }
        auto child = Start(conf);
        const std::string said = child->ReadAll();
        int status = -1;
        ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
        EXPECT_EQ(status, kUsageStatus) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(said.find("capturing"), std::string::npos) << said;
    }
}

// The service runs as its own user: a conf file or a folder that user may not
// use is named, with the user.
TEST_F(CaptureServiceTest, WhatTheServiceUserMayNotUseIsNamed) {
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv (util-linux) to run the helper as the user nobody";
    }
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=nobody",
                                               "--regid=nogroup", "--clear-groups"};
    // The test folder is the root's own: let others in, but not write.
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0755), 0);
    const std::string conf = m_dir.File("private.conf");
    WriteFile(conf, "CAPTURE=udp\n");
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    {
        auto child = Start(conf, asNobody);
        const std::string said = child->ReadAll();
        int status = -1;
        ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
        EXPECT_EQ(status, kUsageStatus) << said;
        EXPECT_NE(said.find("cannot read " + conf + " as user nobody: Permission denied"),
                  std::string::npos)
            << said;
    }
    ASSERT_EQ(chmod(conf.c_str(), 0644), 0);
    fs::create_directories(m_dir.File("roots"));
    WriteFile(conf, "CAPTURE=udp\nOUTPUT=" + m_dir.File("roots") + "/\n");
    auto child = Start(conf, asNobody);
    const std::string said = child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, kUsageStatus) << said;
    EXPECT_NE(said.find("cannot write into " + m_dir.File("roots") + " as user nobody"),
              std::string::npos)
        << said;
}

}  // namespace
}  // namespace tapscope::testing

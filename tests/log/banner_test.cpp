#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "log/debug.h"
#include "log/system_info.h"
#include "platform/system_info.h"
#include "tests/support/log_test_access.h"

namespace ZelLog {
namespace {

namespace platform = tapscope::platform;

std::vector<std::string> Banner(std::int32_t level, std::uint32_t options) {
    LogSettings settings;
    settings.level = level;
    settings.options = options;
    auto debug = CDebugTestAccess::Create(settings);
    debug->WriteHeader();
    return CDebugTestAccess::TakeQueue(*debug);
}

TEST(Banner, WrittenFromLevelOneWhenTheFileIsWritten) {
    struct Case {
        std::int32_t level;
        std::uint32_t options;
        std::size_t texts;
    } cases[] = {{0, 1, 0}, {-1, 1, 0}, {1, 0x10, 0}, {1, 0x100, 0}, {1, 1, 6}, {2, 0x18, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.level << " " << c.options);
        EXPECT_EQ(Banner(c.level, c.options).size(), c.texts);
    }
}

TEST(Banner, SixTextsDescribeThisMachineAndProgram) {
    const auto texts = Banner(1, 1);
    ASSERT_EQ(texts.size(), 6u);
    const std::string rule = std::string(117, '=') + "\n";
    EXPECT_EQ(texts[0], rule);
    EXPECT_TRUE(std::regex_match(texts[1], std::regex(R"(CPU: \d+ x \w* \d+ MHz, RAM: \d+ MB\n)")))
        << texts[1];
    EXPECT_TRUE(std::regex_match(
        texts[2],
        std::regex(R"(Platform: OS: .+, VER: .+, BLD: .+, TYP: .+, EDT: .+, MPS: .+\.\n)")))
        << texts[2];
    EXPECT_TRUE(std::regex_match(texts[3], std::regex("Version: " + std::string(kProgramVersion) +
                                                      R"( \(\d\d-\d\d-\d\d \d\d:\d\d:\d\d\)\n)")))
        << texts[3];
    EXPECT_EQ(texts[4], "Computer: " + platform::HostName() +
                            ", User: " + platform::EffectiveUserName() +
                            ", Module: " + platform::ExecutablePath() + "\n");
    EXPECT_EQ(texts[5], rule);
    EXPECT_FALSE(std::string(kProgramVersion).empty());
}

TEST(Banner, InformationTextsAndTheirFallbacks) {
    EXPECT_EQ(ProcessorText(8, "x86_64", 2995), "8 x AMD64 2995 MHz");
    EXPECT_EQ(ProcessorText(4, "aarch64", 0), "4 x  0 MHz");
    EXPECT_EQ(MemoryText(16ull << 30), "16384 MB");
    const std::pair<const char*, const char*> architectures[] = {
        {"i386", "i386"}, {"i486", "i486"},   {"i586", "i586"}, {"i686", "i586Pro"},
        {"i786", "iX86"}, {"ppc64le", "ppc"}, {"ia64", "iA64"}, {"riscv64", ""},
    };
    for (const auto& [machine, name] : architectures) {
        SCOPED_TRACE(machine);
        EXPECT_EQ(ArchitectureName(machine), name);
    }

    OsValues os{"Debian GNU/Linux 12 (bookworm)", "12", "6.1.0-18-amd64", "Server", "", "#1 SMP"};
    EXPECT_EQ(OperatingSystemText(os),
              "OS: Debian GNU/Linux 12 (bookworm), VER: 12, BLD: 6.1.0-18-amd64, TYP: Server, "
              "EDT: n/a, MPS: #1 SMP.");
    EXPECT_EQ(OperatingSystemText(OsValues{}),
              "OS: n/a, VER: n/a, BLD: n/a, TYP: n/a, EDT: n/a, MPS: n/a.");

    const zelmisc::LogTime written{2018, 12, 18, 10, 55, 56, 0};
    EXPECT_EQ(VersionText("1.0.0.1", &written), "Version: 1.0.0.1 (18-12-18 10:55:56)");
    EXPECT_EQ(VersionText("", &written), "Version:  (18-12-18 10:55:56)");
    EXPECT_EQ(VersionText("1.0", nullptr), "Version: 1.0 ( )");
    const zelmisc::LogTime impossible{2018, 2, 30, 24, 0, 0, 0};
    EXPECT_EQ(VersionText("1.0", &impossible), "Version: 1.0 ( )");

    const std::string longPath = "/" + std::string(300, 'p');
    EXPECT_EQ(ComputerText("till-04", "pos", longPath),
              "Computer: till-04, User: pos, Module: " + longPath.substr(0, 259));
}

TEST(SystemInfo, OsReleaseFields) {
    const auto fields = platform::ParseOsRelease(
        "# comment\n"
        "NAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID='12'\n"
        "ID=debian\n"
        "PRETTY_NAME=\"Say \\\"hi\\\" \\\\ there\"\n"
        "BROKEN=\"unterminated\n"
        "SPACED=two words\n"
        "=novalue\n");
    const std::map<std::string, std::string> expected = {
        {"NAME", "Debian GNU/Linux"},
        {"VERSION_ID", "12"},
        {"ID", "debian"},
        {"PRETTY_NAME", "Say \"hi\" \\ there"},
    };
    EXPECT_EQ(fields, expected);
}

}  // namespace
}  // namespace ZelLog

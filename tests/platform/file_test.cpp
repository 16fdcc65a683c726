#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;

TEST(AppendFile, CreatesAppendsAndNeverTruncates) {
    TempDir dir;
    const std::string path = dir.File("a.log");
    int error = 0;
    for (const char* text : {"one\n", "two\n"}) {
        AppendFile file;
        ASSERT_TRUE(file.Open(path, error)) << ErrorText(error);
        std::uint64_t before = 0;
        ASSERT_TRUE(file.Length(before, error));
        ASSERT_TRUE(file.SeekToEnd(error));
        ASSERT_TRUE(file.Write(text, 4, error));
        std::uint64_t after = 0;
        ASSERT_TRUE(file.Length(after, error));
        EXPECT_EQ(after, before + 4);
        EXPECT_TRUE(file.Close());
    }
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
}

TEST(AppendFile, FailuresNameTheirCause) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("folder"));
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        int error;
    } cases[] = {
        {dir.File("folder"), EISDIR},
        {dir.File("missing/a.log"), ENOENT},
        {"", ENOENT},
        // A FIFO nobody reads must not hang the writer.
        {dir.File("fifo"), ENXIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        AppendFile file;
        int error = 0;
        EXPECT_FALSE(file.Open(c.path, error));
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(ErrorText(EISDIR), "Is a directory");
}

TEST(AppendFile, OnlyARegularFileHasALength) {
    AppendFile file;
    int error = 0;
    ASSERT_TRUE(file.Open("/dev/null", error));
    std::uint64_t length = 0;
    EXPECT_FALSE(file.Length(length, error));
}

TEST(AppendFile, TheRecordedCreationMomentIsReadBack) {
    TempDir dir;
    const std::string path = dir.File("a.log");
    AppendFile file;
    int error = 0;
    ASSERT_TRUE(file.Open(path, error));
    if (!file.RecordCreationTime(1796697000)) {
        GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no user attributes";
    }
    file.Close();
    std::int64_t seconds = 0;
    ASSERT_TRUE(ReadFileCreationTime(path, seconds));
    EXPECT_EQ(seconds, 1796697000);
}

TEST(AppendFile, WithoutARecordTheBirthTimeIsRead) {
    TempDir dir;
    const std::string path = dir.File("b.log");
    const std::int64_t before = WallClockNow().seconds;
    WriteFile(path, "x");
    std::int64_t seconds = 0;
    if (!ReadFileCreationTime(path, seconds)) {
        GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no birth time";
    }
    EXPECT_GE(seconds, before - 1);
    EXPECT_LE(seconds, WallClockNow().seconds + 1);
    EXPECT_FALSE(ReadFileCreationTime(dir.File("missing"), seconds));
}

}  // namespace
}  // namespace tapscope::platform

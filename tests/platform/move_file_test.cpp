#include "platform/move_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;

TEST(MoveFileNoReplace, MovesOnlyToAFreeName) {
    TempDir dir;
    const std::string from = dir.File("log");
    struct Case {
        const char* name;
        std::function<void(const std::string& to)> prepareTarget;
        std::errc expected;  // std::errc{} for success
    } cases[] = {
        {"free name", [](const std::string&) {}, std::errc{}},
        {"a file", [](const std::string& to) { WriteFile(to, "backup"); }, std::errc::file_exists},
        {"a folder", [](const std::string& to) { fs::create_directory(to); },
         std::errc::file_exists},
        {"a dangling link",
         [&](const std::string& to) { fs::create_symlink(dir.File("none"), to); },
         std::errc::file_exists},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string to = dir.File("target" + std::to_string(n++));
        WriteFile(from, "current");
        c.prepareTarget(to);
        const std::error_code code = MoveFileNoReplace(from, to);
        if (c.expected == std::errc{}) {
            EXPECT_FALSE(code) << code.message();
            EXPECT_FALSE(fs::exists(from));
            EXPECT_EQ(ReadFile(to), "current");
        } else {
            EXPECT_TRUE(code == c.expected) << code.message();
            EXPECT_EQ(ReadFile(from), "current");
            if (fs::is_regular_file(to)) {
                EXPECT_EQ(ReadFile(to), "backup");
            }
        }
    }
    EXPECT_TRUE(MoveFileNoReplace(dir.File("missing"), dir.File("free")) ==
                std::errc::no_such_file_or_directory);
}

TEST(FlushToDisk, FilesAndFoldersAndWhatIsNoFolder) {
    TempDir dir;
    std::FILE* file = std::fopen(dir.File("data").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("buffered", file);
    EXPECT_FALSE(FlushFileToDisk(file));
    EXPECT_EQ(ReadFile(dir.File("data")), "buffered");
    std::fclose(file);
    EXPECT_FALSE(FlushFolderToDisk(dir.Path()));
    EXPECT_TRUE(FlushFolderToDisk(dir.File("data")) == std::errc::not_a_directory);
    EXPECT_TRUE(FlushFolderToDisk(dir.File("missing")) == std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace tapscope::platform

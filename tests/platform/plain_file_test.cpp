#include "platform/plain_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;

TEST(PlainFile, OnlyARegularFileIsReadAndNoLinkIsFollowed) {
    TempDir dir;
    WriteFile(dir.File("file"), "content");
    fs::create_directory(dir.File("folder"));
    fs::create_symlink(dir.File("file"), dir.File("link"));
    fs::create_symlink(dir.File("nothing"), dir.File("dangling"));
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string path;
        PathKind kind;
        bool readable;
    } cases[] = {
        {"regular file", dir.File("file"), PathKind::kRegular, true},
        {"folder", dir.File("folder"), PathKind::kFolder, false},
        {"link to a regular file", dir.File("link"), PathKind::kSymlink, false},
        {"dangling link", dir.File("dangling"), PathKind::kSymlink, false},
        {"named pipe, no writer", dir.File("pipe"), PathKind::kPipe, false},
        {"device", "/dev/null", PathKind::kDevice, false},
        {"missing", dir.File("missing"), PathKind::kMissing, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PathKind kind = PathKind::kRegular;
        EXPECT_FALSE(LinkKind(c.path, kind));
        EXPECT_EQ(kind, c.kind);
        PlainFileReader reader;
        const std::error_code code = reader.Open(c.path, kind);
        EXPECT_EQ(!code, c.readable) << code.message();
        EXPECT_EQ(kind, c.kind);
        if (c.readable) {
            char buffer[16] = {};
            std::size_t got = 0;
            EXPECT_FALSE(reader.Read(buffer, sizeof buffer, got));
            EXPECT_EQ(std::string(buffer, got), "content");
        }
    }
    // A name that cannot be examined is an error, not a missing file.
    PathKind kind = PathKind::kRegular;
    EXPECT_TRUE(LinkKind(dir.File("file/below"), kind) == std::errc::not_a_directory);
}

TEST(PlainFile, ANewFileIsCreatedOnlyWhereNoNameIsYet) {
    TempDir dir;
    WriteFile(dir.File("victim"), "kept");
    fs::create_symlink(dir.File("victim"), dir.File("link"));
    fs::create_symlink(dir.File("absent"), dir.File("dangling"));
    for (const char* taken : {"victim", "link", "dangling"}) {
        SCOPED_TRACE(taken);
        NewFileWriter writer;
        EXPECT_TRUE(writer.Create(dir.File(taken), 0600) == std::errc::file_exists);
    }
    EXPECT_EQ(ReadFile(dir.File("victim")), "kept");
    EXPECT_FALSE(fs::exists(dir.File("absent")));

    NewFileWriter writer;
    ASSERT_FALSE(writer.Create(dir.File("new"), 0640));
    EXPECT_FALSE(writer.Write("abc", 3));
    EXPECT_FALSE(writer.SyncToDisk());
    EXPECT_FALSE(writer.Close());
    EXPECT_EQ(ReadFile(dir.File("new")), "abc");
    EXPECT_EQ(fs::status(dir.File("new")).permissions() & fs::perms::others_all, fs::perms::none);
}

}  // namespace
}  // namespace tapscope::platform

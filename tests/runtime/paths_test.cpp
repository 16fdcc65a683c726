#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "platform/disk.h"
#include "runtime/paths.h"
#include "tests/support/temp_dir.h"

namespace zelmisc {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;

TEST(EnsureDirectory, CreatesEveryMissingFolder) {
    TempDir dir;
    const std::string a = dir.File("a");
    fs::create_directory(a);

    EXPECT_EQ(EnsureDirectory(a), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(a), fs::directory_iterator()), 0);

    EXPECT_EQ(EnsureDirectory(a + "/b/c"), 1);
    EXPECT_TRUE(fs::is_directory(a + "/b/c"));

    EXPECT_EQ(EnsureDirectory(dir.File("d/e/")), 1);  // a trailing separator is harmless
    EXPECT_TRUE(fs::is_directory(dir.File("d/e")));
    EXPECT_EQ(EnsureDirectory(dir.File("f//g")), 1);
    EXPECT_TRUE(fs::is_directory(dir.File("f/g")));
    EXPECT_EQ(EnsureDirectory(""), 1);
}

TEST(EnsureDirectory, FailsOnAFileInTheWayAndKeepsWhatItMade) {
    TempDir dir;
    fs::create_directory(dir.File("w"));
    WriteFile(dir.File("w/file"), "in the way");
    EXPECT_EQ(EnsureDirectory(dir.File("w/file")), 0);
    EXPECT_EQ(EnsureDirectory(dir.File("w/file/below")), 0);

    // "made" is created before the over-long name (longer than a file name
    // may be) stops the walk, and stays.
    EXPECT_EQ(EnsureDirectory(dir.File("made/" + std::string(300, 'n'))), 0);
    EXPECT_TRUE(fs::is_directory(dir.File("made")));
}

TEST(EnsureDirectory, ServerNamesWithoutAShareAndOverlongPathsFail) {
    EXPECT_EQ(EnsureDirectory("//server"), 0);
    EXPECT_EQ(EnsureDirectory("//server/"), 0);
    EXPECT_EQ(EnsureDirectory("/" + std::string(kMaxPath, 'a')), 0);
}

TEST(DiskRoot, TheRootOfEachKindOfPath) {
    struct Case {
        const char* path;
        const char* root;
    } cases[] = {
        {"relative/path", "relative/"},
        {"relative\\path", "relative\\"},
        {"name", "name"},
        {"", ""},
        {"//server/share/dir/file", "//server/share/"},
        {"\\\\server\\share\\dir", "\\\\server\\share\\"},
        {"//server/share", "//server/share"},
        {"//server", "//server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DiskRoot(c.path), c.root);
    }
}

TEST(DiskRoot, AnAbsolutePathGivesTheMountPointOfItsVolume) {
    TempDir dir;
    const std::string root = DiskRoot(dir.File("logs/tapscope.log"));
    EXPECT_EQ(root, tapscope::platform::MountPointOf(dir.Path()));
    EXPECT_EQ(dir.Path().rfind(root.substr(0, root.size() == 1 ? 1 : root.size() - 1), 0), 0u);
    EXPECT_EQ(DiskRoot("/"), "/");
}

TEST(FreeDiskMegabytes, SpaceOfAnExistingFolderAndZeroOtherwise) {
    TempDir dir;
    const std::uint64_t free = FreeDiskMegabytes(DiskRoot(dir.File("x.log")));
    EXPECT_GT(free, 0u);
    EXPECT_EQ(free, tapscope::platform::FreeDiskBytes(dir.Path()) >> 20);
    EXPECT_EQ(FreeDiskMegabytes(dir.File("missing")), 0u);
}

TEST(MakeUniqueName, UpperCaseHexGroupsThatDifferEarly) {
    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    std::set<std::string> names;
    std::string previous;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = MakeUniqueName();
        ASSERT_EQ(name.size(), 36u);
        EXPECT_TRUE(std::regex_match(name, shape)) << name;
        EXPECT_TRUE(names.insert(name).second) << name;
        if (!previous.empty()) {
            EXPECT_NE(name.substr(0, 8), previous.substr(0, 8));
        }
        previous = name;
    }
}

}  // namespace
}  // namespace zelmisc

#include "log/gzip_archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/log/gzip_tool.h"
#include "tests/support/temp_dir.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;
using testing::Gunzip;
using testing::GzipAccepts;
using testing::LogLikeText;
using testing::RandomBytes;

constexpr std::size_t kMember = kGzipMemberInputBytes;

TEST(WriteGzipArchive, GunzipGivesBackEveryByteAtMemberBoundaries) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"text one short of a member", LogLikeText(kMember - 1, 1)},
        {"text of exactly one member", LogLikeText(kMember, 2)},
        {"text one past a member", LogLikeText(kMember + 1, 3)},
        {"random bytes over two members", RandomBytes(2 * kMember + 12345, 4)},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = dir.File("source");
        const std::string archive = dir.File(std::string("archive ") + c.name + ".GZ");
        const std::string part = dir.File("archive.part");
        WriteFile(source, c.content);
        std::string error;
        ASSERT_TRUE(WriteGzipArchive(source, archive, part, error)) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_TRUE(GzipAccepts(archive));
        const auto unpacked = Gunzip(archive);
        EXPECT_EQ(unpacked.status, 0);
        EXPECT_TRUE(unpacked.output == c.content);
        EXPECT_FALSE(fs::exists(part));
        EXPECT_EQ(ReadFile(source), c.content);
    }
}

TEST(WriteGzipArchive, WritesALevelNineGzipHeaderAndCompressesLogText) {
    TempDir dir;
    const std::string text = LogLikeText(3 * kMember, 5);
    WriteFile(dir.File("log"), text);
    std::string error;
    ASSERT_TRUE(WriteGzipArchive(dir.File("log"), dir.File("log.GZ"), dir.File("part"), error));
    const std::string archive = ReadFile(dir.File("log.GZ"));
    ASSERT_GE(archive.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(archive[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(archive[1]), 0x8b);
    EXPECT_EQ(archive[2], 8);  // deflate
    EXPECT_EQ(archive[8], 2);  // extra flags: slowest compression, levels 8 and 9
    // Log lines with a repeated prefix shrink to well under a fifth.
    EXPECT_LT(archive.size(), text.size() / 5);
}

TEST(WriteGzipArchive, AnExistingArchiveKeepsItsMembersAndGetsTheNewOnes) {
    TempDir dir;
    const std::string first = LogLikeText(kMember + 77, 6);
    const std::string second = LogLikeText(5000, 7);
    const std::string archive = dir.File("log.20260615093005.GZ");
    std::string error;
    WriteFile(dir.File("first"), first);
    WriteFile(dir.File("second"), second);
    ASSERT_TRUE(WriteGzipArchive(dir.File("first"), archive, dir.File("part"), error)) << error;
    ASSERT_TRUE(WriteGzipArchive(dir.File("second"), archive, dir.File("part"), error)) << error;
    EXPECT_TRUE(GzipAccepts(archive));
    EXPECT_TRUE(Gunzip(archive).output == first + second);
    EXPECT_FALSE(fs::exists(dir.File("part")));
}

TEST(WriteGzipArchive, ALeftoverPartFromAnInterruptedRunIsReplaced) {
    TempDir dir;
    WriteFile(dir.File("part"), RandomBytes(70000, 8));
    WriteFile(dir.File("source"), "line\r\n");
    std::string error;
    ASSERT_TRUE(WriteGzipArchive(dir.File("source"), dir.File("a.GZ"), dir.File("part"), error));
    EXPECT_EQ(Gunzip(dir.File("a.GZ")).output, "line\r\n");
    EXPECT_FALSE(fs::exists(dir.File("part")));
}

TEST(WriteGzipArchive, AFailureLeavesNoPartAndTheArchiveAsItWas) {
    TempDir dir;
    const std::string archive = dir.File("log.GZ");
    const std::string part = dir.File("log.GZ.part");
    WriteFile(dir.File("old"), "old generation\r\n");
    std::string error;
    ASSERT_TRUE(WriteGzipArchive(dir.File("old"), archive, part, error));
    const std::string archiveBefore = ReadFile(archive);
    fs::create_directory(dir.File("a folder"));
    WriteFile(dir.File("not a folder"), "");

    struct Case {
        const char* name;
        std::string source;
        std::string archive;
        std::string part;
        std::string named;  // the path the error text must name
    } cases[] = {
        {"missing source", dir.File("missing"), archive, part, dir.File("missing")},
        {"a folder as source, after the archive was copied", dir.File("a folder"), archive, part,
         dir.File("a folder")},
        {"part under a regular file", dir.File("old"), dir.File("not a folder/log.GZ"),
         dir.File("not a folder/log.GZ.part"), dir.File("not a folder/log.GZ.part")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        error.clear();
        EXPECT_FALSE(WriteGzipArchive(c.source, c.archive, c.part, error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(part));
        EXPECT_EQ(ReadFile(archive), archiveBefore);
        EXPECT_EQ(ReadFile(dir.File("old")), "old generation\r\n");
    }
}

TEST(GzipMemberWriter, PiecesAcrossMemberBoundariesRoundTripAndAWriteErrorStopsIt) {
    TempDir dir;
    // /dev/full takes no byte: every write fails with "No space left on device".
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr) {
        GTEST_SKIP() << "/dev/full is not there";
    }
    std::setvbuf(full, nullptr, _IONBF, 0);
    GzipMemberWriter failing(full);
    const std::string block = RandomBytes(kMember, 9);
    EXPECT_FALSE(failing.Write(block.data(), block.size()));
    EXPECT_NE(failing.Error().find("No space left"), std::string::npos) << failing.Error();
    EXPECT_FALSE(failing.Write("x", 1));
    EXPECT_FALSE(failing.Finish());
    std::fclose(full);

    // Written in pieces that straddle the member boundary.
    const std::string text = LogLikeText(2 * kMember + 3, 10);
    std::FILE* out = std::fopen(dir.File("pieces.gz").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    {
        GzipMemberWriter writer(out);
        for (std::size_t at = 0; at < text.size(); at += 99991) {
            ASSERT_TRUE(
                writer.Write(text.data() + at, std::min<std::size_t>(99991, text.size() - at)));
        }
        ASSERT_TRUE(writer.Finish());
    }
    std::fclose(out);
    EXPECT_TRUE(Gunzip(dir.File("pieces.gz")).output == text);
}

}  // namespace
}  // namespace ZelLog

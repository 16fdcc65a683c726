#include "log/gzip_archive.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "log/detail/deflate_stream.h"
#include "tests/log/gzip_tool.h"
#include "tests/support/temp_dir.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;
using tapscope::testing::ReadFile;
using tapscope::testing::TempDir;
using tapscope::testing::WriteFile;
using testing::FirstMember;
using testing::Gunzip;
using testing::GunzipFirstMember;
using testing::GzipAccepts;
using testing::GzipListedSize;
using testing::LogLikeText;
using testing::PipeWatchdog;
using testing::RandomBytes;

constexpr std::size_t kChunk = kGzipChunkBytes;

// |content| as one raw deflate stream made by zlib with |level| and |strategy|.
std::vector<unsigned char> ZlibDeflate(const std::string& content, int level, int strategy) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::vector<unsigned char> out(deflateBound(&stream, content.size()) + 64);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

// Inflates a raw deflate stream; |ended| says whether its final block was
// reached exactly at the end of |stream|.
std::string ZlibInflate(const std::vector<unsigned char>& stream, bool& ended) {
    z_stream inflater{};
    EXPECT_EQ(inflateInit2(&inflater, -15), Z_OK);
    inflater.next_in = const_cast<Bytef*>(stream.data());
    inflater.avail_in = static_cast<uInt>(stream.size());
    std::string out;
    char block[65536];
    int status = Z_OK;
    while (status == Z_OK) {
        inflater.next_out = reinterpret_cast<Bytef*>(block);
        inflater.avail_out = sizeof block;
        status = inflate(&inflater, Z_NO_FLUSH);
        out.append(block, sizeof block - inflater.avail_out);
    }
    ended = status == Z_STREAM_END && inflater.avail_in == 0;
    inflateEnd(&inflater);
    return out;
}

TEST(DeflateStreamJoin, StreamsOfEveryBlockKindJoinIntoOneThatZlibReadsWhole) {
    // zlib's strategies give every kind of block: stored (level 0 and random
    // bytes), fixed codes, dynamic codes, codes without matches, runs only.
    struct Piece {
        const char* name;
        std::string content;
        int level;
        int strategy;
    } pieces[] = {
        {"stored, several blocks", LogLikeText(150000, 1), 0, Z_DEFAULT_STRATEGY},
        {"empty", "", 9, Z_DEFAULT_STRATEGY},
        {"fixed codes", LogLikeText(3000, 2), 9, Z_FIXED},
        {"dynamic codes", LogLikeText(400000, 3), 9, Z_DEFAULT_STRATEGY},
        {"random bytes", RandomBytes(70001, 4), 9, Z_DEFAULT_STRATEGY},
        {"no matches", LogLikeText(20000, 5), 9, Z_HUFFMAN_ONLY},
        {"runs of one byte", std::string(100000, 'x') + "y" + std::string(999, '\0'), 9, Z_RLE},
        {"one byte", "z", 9, Z_DEFAULT_STRATEGY},
    };
    std::vector<unsigned char> joined;
    std::string expected;
    for (const Piece& piece : pieces) {
        SCOPED_TRACE(piece.name);
        std::vector<unsigned char> stream = ZlibDeflate(piece.content, piece.level, piece.strategy);
        const std::size_t size = stream.size();
        stream.resize(size + detail::kDeflateContinueExtra);
        const std::size_t continued = detail::ContinueDeflateStream(stream.data(), size);
        ASSERT_GT(continued, size);
        ASSERT_LE(continued, size + detail::kDeflateContinueExtra);
        stream.resize(continued);
        // On its own, a continued stream gives its content and wants more.
        bool ended = true;
        EXPECT_TRUE(ZlibInflate(stream, ended) == piece.content);
        EXPECT_FALSE(ended);
        joined.insert(joined.end(), stream.begin(), stream.end());
        expected += piece.content;
    }
    const std::vector<unsigned char> last = ZlibDeflate("the end\r\n", 9, Z_DEFAULT_STRATEGY);
    joined.insert(joined.end(), last.begin(), last.end());
    expected += "the end\r\n";
    bool ended = false;
    EXPECT_TRUE(ZlibInflate(joined, ended) == expected);
    EXPECT_TRUE(ended);
}

TEST(DeflateStreamJoin, WhatIsNotOneCompleteStreamIsLeftAlone) {
    const std::vector<unsigned char> good =
        ZlibDeflate(LogLikeText(50000, 6), 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> truncated(good.begin(), good.end() - 1);
    std::vector<unsigned char> trailing = good;
    trailing.push_back(0);
    std::vector<unsigned char> cut(good.begin(), good.begin() + good.size() / 2);
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"last byte missing", truncated},
        {"a byte after the end", trailing},
        {"half a stream", cut},
        {"reserved block type", {0x07, 0x00}},
        {"stored lengths that disagree", {0x01, 0x05, 0x00, 0x00, 0x00}},
        {"nothing", {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned char> before = c.bytes;
        c.bytes.resize(c.bytes.size() + detail::kDeflateContinueExtra, 0xaa);
        EXPECT_EQ(detail::ContinueDeflateStream(c.bytes.data(), before.size()), 0u);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), c.bytes.begin()));
    }
}

// Gzips |content| with GzipWriter on |threads| threads, written in pieces of
// |piece| bytes.
std::string GzipWith(const std::string& content, unsigned threads, std::size_t piece) {
    std::string out;
    GzipWriter writer(
        [&out](const unsigned char* data, std::size_t size) {
            out.append(reinterpret_cast<const char*>(data), size);
            return std::error_code();
        },
        threads);
    for (std::size_t at = 0; at < content.size(); at += piece) {
        EXPECT_TRUE(writer.Write(content.data() + at, std::min(piece, content.size() - at)));
    }
    EXPECT_TRUE(writer.Finish()) << writer.Error();
    return out;
}

TEST(GzipWriter, OneWholeMemberAtChunkBoundariesAndTheSameOnAnyNumberOfThreads) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"text one short of a chunk", LogLikeText(kChunk - 1, 1)},
        {"text of exactly one chunk", LogLikeText(kChunk, 2)},
        {"text one past a chunk", LogLikeText(kChunk + 1, 3)},
        {"random bytes over two chunks", RandomBytes(2 * kChunk + 12345, 4)},
        {"text over many chunks", LogLikeText(5 * kChunk + 7, 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Pieces that straddle the chunk boundaries.
        const std::string alone = GzipWith(c.content, 1, 99991);
        const FirstMember member = GunzipFirstMember(alone);
        EXPECT_TRUE(member.complete);
        EXPECT_EQ(member.consumed, alone.size());  // nothing after the one member
        EXPECT_TRUE(member.output == c.content);
        // Chunks are compressed each on its own, so the threads change nothing.
        EXPECT_TRUE(GzipWith(c.content, 3, 4096) == alone);
    }
}

TEST(GzipWriter, ASinkErrorStopsItWhileHelpersRun) {
    const std::string text = LogLikeText(4 * kChunk, 8);
    std::size_t accepted = 0;
    int calls = 0;
    GzipWriter writer(
        [&](const unsigned char*, std::size_t size) {
            ++calls;
            if (accepted + size > 2 * kChunk / 10) {
                return std::error_code(ENOSPC, std::system_category());
            }
            accepted += size;
            return std::error_code();
        },
        3);
    bool failed = false;
    for (std::size_t at = 0; at < text.size() && !failed; at += 65536) {
        failed = !writer.Write(text.data() + at, 65536);
    }
    EXPECT_FALSE(writer.Finish());
    EXPECT_NE(writer.Error().find("No space left"), std::string::npos) << writer.Error();
    const int callsAtFailure = calls;
    EXPECT_FALSE(writer.Write("more", 4));
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(calls, callsAtFailure);  // nothing more reached the sink
}

TEST(WriteGzipArchive, OneMemberThatEveryReaderGivesBackWhole) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"text of exactly one chunk", LogLikeText(kChunk, 2)},
        {"text over three chunks", LogLikeText(3 * kChunk + 5, 3)},
        {"random bytes over two chunks", RandomBytes(2 * kChunk + 12345, 4)},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = dir.File("source");
        const std::string archive = dir.File(std::string("archive ") + c.name + ".GZ");
        const std::string part = dir.File("archive.part");
        WriteFile(source, c.content);
        ArchiveError error;
        ASSERT_TRUE(WriteGzipArchive(source, archive, part, error, 2)) << error.text;
        EXPECT_TRUE(error.text.empty());
        EXPECT_TRUE(GzipAccepts(archive));
        const auto unpacked = Gunzip(archive);
        EXPECT_EQ(unpacked.status, 0);
        EXPECT_TRUE(unpacked.output == c.content);
        const FirstMember member = GunzipFirstMember(ReadFile(archive));
        EXPECT_TRUE(member.complete);
        EXPECT_TRUE(member.output == c.content);
        EXPECT_EQ(GzipListedSize(archive), static_cast<long long>(c.content.size()));
        EXPECT_FALSE(fs::exists(part));
        EXPECT_EQ(ReadFile(source), c.content);
        EXPECT_EQ(fs::status(archive).permissions() & fs::perms::others_all, fs::perms::none);
    }
}

TEST(WriteGzipArchive, WritesALevelNineGzipHeaderAndCompressesLogText) {
    TempDir dir;
    const std::string text = LogLikeText(3 * kChunk, 5);
    WriteFile(dir.File("log"), text);
    ArchiveError error;
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

TEST(WriteGzipArchive, AnExistingArchiveKeepsItsMembersAndGetsTheNewOne) {
    TempDir dir;
    const std::string first = LogLikeText(kChunk + 77, 6);
    const std::string second = LogLikeText(5000, 7);
    const std::string archive = dir.File("log.20260615093005.GZ");
    ArchiveError error;
    WriteFile(dir.File("first"), first);
    WriteFile(dir.File("second"), second);
    ASSERT_TRUE(WriteGzipArchive(dir.File("first"), archive, dir.File("part"), error))
        << error.text;
    ASSERT_TRUE(WriteGzipArchive(dir.File("second"), archive, dir.File("part"), error))
        << error.text;
    EXPECT_TRUE(GzipAccepts(archive));
    EXPECT_TRUE(Gunzip(archive).output == first + second);
    // One member per generation.
    EXPECT_TRUE(GunzipFirstMember(ReadFile(archive)).output == first);
    EXPECT_FALSE(fs::exists(dir.File("part")));
}

TEST(WriteGzipArchive, ALeftoverPartOrALinkPlantedThereIsReplacedNeverWrittenThrough) {
    TempDir dir;
    WriteFile(dir.File("victim"), "not yours");
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
    } cases[] = {
        {"a leftover of an interrupted run",
         [](const std::string& part) { WriteFile(part, RandomBytes(70000, 8)); }},
        {"a link to another file",
         [&](const std::string& part) { fs::create_symlink(dir.File("victim"), part); }},
        {"a dangling link",
         [&](const std::string& part) { fs::create_symlink(dir.File("made by us?"), part); }},
    };
    WriteFile(dir.File("source"), "line\r\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = dir.File(std::string(c.name) + ".GZ");
        c.plant(dir.File("part"));
        ArchiveError error;
        ASSERT_TRUE(WriteGzipArchive(dir.File("source"), archive, dir.File("part"), error))
            << error.text;
        EXPECT_EQ(Gunzip(archive).output, "line\r\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir.File("part"))));
        EXPECT_EQ(ReadFile(dir.File("victim")), "not yours");
        EXPECT_FALSE(fs::exists(dir.File("made by us?")));
    }
}

TEST(WriteGzipArchive, AFailureLeavesNoPartAndTheArchiveAsItWas) {
    TempDir dir;
    const std::string archive = dir.File("log.GZ");
    const std::string part = dir.File("log.GZ.part");
    WriteFile(dir.File("old"), "old generation\r\n");
    ArchiveError error;
    ASSERT_TRUE(WriteGzipArchive(dir.File("old"), archive, part, error));
    const std::string archiveBefore = ReadFile(archive);
    fs::create_directory(dir.File("a folder"));
    WriteFile(dir.File("not a folder"), "");
    WriteFile(dir.File("secret"), "secret");
    fs::create_symlink(dir.File("secret"), dir.File("link"));
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.File("pipe.GZ").c_str(), 0600), 0);
    fs::create_symlink(dir.File("secret"), dir.File("link.GZ"));
    WriteFile(dir.File("planted.GZ"), ReadFile(archive));
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(dir.File("planted.GZ").c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    struct Case {
        const char* name;
        std::string source;
        std::string archive;
        std::string part;
        std::string named;  // the path the error text must name
        std::string what;   // and what it says
    } cases[] = {
        {"missing source", dir.File("missing"), archive, part, dir.File("missing"), "No such"},
        {"a folder as source", dir.File("a folder"), archive, part, dir.File("a folder"),
         "a folder, not a regular file"},
        {"a named pipe as source", dir.File("pipe"), archive, part, dir.File("pipe"),
         "a named pipe, not a regular file"},
        {"a link as source", dir.File("link"), archive, part, dir.File("link"),
         "a symbolic link, not a regular file"},
        {"a named pipe under the archive's name", dir.File("old"), dir.File("pipe.GZ"), part,
         dir.File("pipe.GZ"), "a named pipe"},
        {"a link under the archive's name", dir.File("old"), dir.File("link.GZ"), part,
         dir.File("link.GZ"), "a symbolic link"},
        {"another user's file under the archive's name", dir.File("old"), dir.File("planted.GZ"),
         part, dir.File("planted.GZ"), "belongs to another user"},
        {"part under a regular file", dir.File("old"), dir.File("not a folder/log.GZ"),
         dir.File("not a folder/log.GZ.part"), dir.File("not a folder/log.GZ"), "Not a directory"},
    };
    // A pipe that is opened for reading would wait for a writer for ever.
    PipeWatchdog sourceWatch(dir.File("pipe"));
    PipeWatchdog archiveWatch(dir.File("pipe.GZ"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(WriteGzipArchive(c.source, c.archive, c.part, error));
        EXPECT_NE(error.text.find(c.named), std::string::npos) << error.text;
        EXPECT_NE(error.text.find(c.what), std::string::npos) << error.text;
        EXPECT_EQ(error.cause.find(dir.Path()), std::string::npos) << error.cause;
        EXPECT_FALSE(fs::exists(part));
        EXPECT_EQ(ReadFile(archive), archiveBefore);
        EXPECT_EQ(ReadFile(dir.File("old")), "old generation\r\n");
    }
    EXPECT_FALSE(sourceWatch.Fired());
    EXPECT_FALSE(archiveWatch.Fired());
    EXPECT_EQ(fs::symlink_status(dir.File("pipe.GZ")).type(), fs::file_type::fifo);
    EXPECT_EQ(fs::symlink_status(dir.File("link.GZ")).type(), fs::file_type::symlink);
    EXPECT_EQ(ReadFile(dir.File("secret")), "secret");
    EXPECT_EQ(ReadFile(dir.File("planted.GZ")), archiveBefore);
}

}  // namespace
}  // namespace ZelLog

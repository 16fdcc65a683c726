// The record writer on its own, with stamps the test chooses: where rows
// begin and end, exact times, and texts that JSON must carry unchanged.
#include "app/capture_record_writer.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

using app::CaptureRecordWriter;
using app::RecordStamp;

// 2026-12-08T17:49:30Z.
constexpr std::int64_t kSecond = 1796752170;

RecordStamp At(std::int64_t microseconds) {
    return {kSecond * 1'000'000'000 + microseconds * 1000, 5'000'000'000 + microseconds * 1000};
}

std::vector<QJsonObject> Lines(const std::string& path) {
    std::vector<QJsonObject> lines;
    std::istringstream text(ReadFile(path));
    for (std::string line; std::getline(text, line);) {
        QJsonParseError error{};
        lines.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object());
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    }
    return lines;
}

BlockSource Tcp(std::uint64_t connection, unsigned short port) {
    BlockSource source;
    source.kind = BlockSource::Kind::kTcp;
    source.connection = connection;
    source.address = boost::asio::ip::make_address("::1");
    source.port = port;
    return source;
}

TEST(CaptureRecordWriterTest, RowsEndAtTheGapAtAnotherSourceAndAtEachFlush) {
    TempDir dir;
    app::RecordStart start;
    start.transport = "tcp";
    start.burstGapUs = 10'000;
    // Quotes, a backslash, control characters and UTF-8 come back as given.
    start.settings = "<settings ip=\"::1\" port=\"8001\" />\\\n\t\x01 caf\xc3\xa9";
    CaptureRecordWriter writer(dir.File("r.jsonl"), start);
    ASSERT_TRUE(writer.Open(At(0)));
    const BlockSource one = Tcp(1, 40112);
    const BlockSource two = Tcp(2, 40113);
    writer.Block(&one, "ab", 2, At(1));
    writer.Block(&one, "c", 1, At(9'999));   // 9.998 ms after: the same row
    writer.Block(&one, "d", 1, At(19'999));  // exactly the gap after: a new row
    writer.Block(&two, "e", 1, At(20'000));  // another source
    writer.Block(&one, "f", 1, At(20'001));
    writer.Flush();  // ends the row being gathered
    writer.Block(&one, "g", 1, At(20'002));
    writer.Block(nullptr, "h", 1, At(20'003));
    writer.End({}, At(999'999));
    ASSERT_TRUE(writer.Failure().empty()) << writer.Failure();

    const auto lines = Lines(dir.File("r.jsonl"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["settings"].toString().toStdString(), start.settings);
    EXPECT_EQ(lines[0]["time"].toString(), "2026-12-08T17:49:30.000000Z");
    std::vector<std::string> rows;
    std::vector<std::string> sources;
    for (const QJsonObject& line : lines) {
        if (line["type"] == "row") {
            rows.push_back(std::to_string(line["source"].toInteger()) + "@" +
                           std::to_string(line["offset"].toInteger()) + "+" +
                           std::to_string(line["length"].toInteger()));
        }
        if (line["type"] == "source") {
            sources.push_back(line["name"].toString().toStdString());
        }
    }
    EXPECT_EQ(rows,
              (std::vector<std::string>{"1@0+3", "1@3+1", "2@4+1", "1@5+1", "1@6+1", "0@7+1"}));
    EXPECT_EQ(sources, (std::vector<std::string>{"[::1]:40112", "[::1]:40113"}));
    const QJsonObject firstRow = lines[2];
    EXPECT_EQ(firstRow["first"].toString(), "2026-12-08T17:49:30.000001Z");
    EXPECT_EQ(firstRow["last"].toString(), "2026-12-08T17:49:30.009999Z");
    EXPECT_EQ(firstRow["last_mono"].toInteger() - firstRow["first_mono"].toInteger(), 9'998'000);
    // SHA-256 of "abcdefgh".
    EXPECT_EQ(lines.back()["sha256"].toString(),
              "9c56cc51b374c3ba189210d5b6d4bf57790d351c96c47c02190ecf1e430635ab");
    EXPECT_EQ(lines.back()["bytes"].toInteger(), 8);
    EXPECT_EQ(lines.back()["blocks"].toInteger(), 7);
}

// Small blocks are hashed a few KiB at a time, large ones at once: blocks
// that end just before, at and after that buffer's edge, and blocks larger
// than it between small ones, give the SHA-256 of all the bytes in order.
TEST(CaptureRecordWriterTest, TheHashCoversEveryByteWhateverTheBlockSizes) {
    TempDir dir;
    app::RecordStart start;
    start.transport = "tcp";
    CaptureRecordWriter writer(dir.File("r.jsonl"), start);
    ASSERT_TRUE(writer.Open(At(0)));
    const BlockSource one = Tcp(1, 40112);
    std::string all;
    std::int64_t at = 1;
    for (const std::size_t size : {1, 4094, 1, 1, 2, 4096, 3, 5000, 4095, 4097, 1, 70000, 7}) {
        std::string block(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            block[i] = static_cast<char>((all.size() + i) * 131 % 251);
        }
        writer.Block(&one, block.data(), block.size(), At(at++));
        all += block;
    }
    writer.End({}, At(999'999));
    ASSERT_TRUE(writer.Failure().empty()) << writer.Failure();
    const auto lines = Lines(dir.File("r.jsonl"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["sha256"].toString(),
              QCryptographicHash::hash(QByteArray::fromStdString(all), QCryptographicHash::Sha256)
                  .toHex());
    EXPECT_EQ(lines.back()["bytes"].toInteger(), static_cast<qint64>(all.size()));
}

// Datagrams are rows of their own even from one sender at once.
TEST(CaptureRecordWriterTest, EachDatagramIsARow) {
    TempDir dir;
    app::RecordStart start;
    start.burstGapUs = 10'000;
    CaptureRecordWriter writer(dir.File("r.jsonl"), start);
    ASSERT_TRUE(writer.Open(At(0)));
    BlockSource sender;
    sender.kind = BlockSource::Kind::kUdp;
    sender.address = boost::asio::ip::make_address("127.0.0.1");
    sender.port = 5000;
    for (int i = 0; i < 3; ++i) {
        writer.Block(&sender, "dg", 2, At(1));
    }
    writer.End({}, At(2));
    EXPECT_EQ(writer.Rows(), 3u);
}

}  // namespace
}  // namespace tapscope::testing

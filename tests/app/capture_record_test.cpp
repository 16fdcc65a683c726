// The capture record read back: hand-written records in a temporary folder,
// good ones and damaged ones, and the exact reading of their times.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/capture_record.h"
#include "app/record_time.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

const std::string kStart =
    R"({"type":"start","version":1,"program":"tapscope 1.4.0","host":"till-pc",)"
    R"("transport":"tcp","settings":"<settings ip=\"127.0.0.1\" port=\"8001\" />",)"
    R"("capture":"till.bin","local_address":"127.0.0.1","local_port":8001,)"
    R"("time":"2026-12-08T17:49:30.120031Z","mono":5123400112,"burst_gap_us":10000})"
    "\n";

class RecordReading : public ::testing::Test {
protected:
    // Writes |text| as the record and reads it back.
    std::optional<app::CaptureRecord> Read(const std::string& text) {
        WriteFile(m_path, text);
        m_error.clear();
        return app::ReadRecord(m_path, m_error);
    }

    TempDir m_dir;
    const std::string m_path = m_dir.File("till.bin.jsonl");
    std::string m_error;
};

TEST(RecordTime, ReadsUtcTimesExactlyWithoutTheLocalZone) {
    EXPECT_EQ(app::ParseRecordTime("1970-01-01T00:00:00.000000Z"), 0);
    EXPECT_EQ(app::ParseRecordTime("2026-12-08T17:49:30.123456Z"), 1796752170123456LL);
    // Leap days, a fraction of fewer or more than six digits, the year 2038.
    EXPECT_EQ(app::ParseRecordTime("2024-02-29T00:00:00Z"), 1709164800000000LL);
    EXPECT_EQ(app::ParseRecordTime("2024-03-01T00:00:00.5Z"), 1709251200500000LL);
    EXPECT_EQ(app::ParseRecordTime("2038-01-19T03:14:08.1234569Z"), 2147483648123456LL);
    EXPECT_EQ(app::ParseRecordTime("1969-12-31T23:59:59.999999Z"), -1);
    for (const char* bad :
         {"", "2026-12-08", "2026-12-08T17:49:30.123456", "2026-13-08T17:49:30Z",
          "2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-08T24:00:00Z",
          "2026-12-08T17:60:00Z", "2026-12-08T17:49:30.Z", "2026-12-08T17:49:30Zx",
          "+026-12-08T17:49:30Z", "2026-12-08T17:49:3Z"}) {
        EXPECT_FALSE(app::ParseRecordTime(bad)) << bad;
    }
    EXPECT_EQ(app::DaysFromCivil(2000, 3, 1), 11017);
    EXPECT_EQ(app::DaysFromCivil(1600, 1, 1), -135140);
}

TEST_F(RecordReading, ReadsEveryTypeAndFieldOfTheFormat) {
    const auto record = Read(
        kStart +
        R"({"type":"source","id":1,"kind":"tcp","name":"127.0.0.1:40112","address":"127.0.0.1","port":40112,"connection":1})"
        "\n"
        R"({"type":"event","kind":"connected","source":1,"time":"2026-12-08T17:49:31.002117Z","mono":6005486198,"text":"client 127.0.0.1:40112 connected"})"
        "\n"
        R"({"type":"row","source":1,"offset":0,"length":46,"blocks":46,"first":"2026-12-08T17:49:31.002530Z","last":"2026-12-08T17:49:31.002911Z","first_mono":6005899301,"last_mono":6006280112})"
        "\n"
        R"({"type":"event","kind":"loss","source":0,"time":"2026-12-08T17:49:31.100000Z","mono":1,"text":"3 datagrams lost","count":3,"unit":"datagrams"})"
        "\n"
        R"({"type":"end","reason":"client closed","text":"client closed","time":"2026-12-08T17:49:31.211002Z","mono":6214371377,"bytes":46,"blocks":46,"rows":1,"lost":3,"dropped":0,"sha256":"5f1c","next":"b.bin"})"
        "\n");
    ASSERT_TRUE(record) << m_error;
    EXPECT_TRUE(record->problems.empty());
    EXPECT_FALSE(record->partialLastLine);
    ASSERT_TRUE(record->start);
    EXPECT_EQ(record->start->version, 1);
    EXPECT_EQ(record->start->program, "tapscope 1.4.0");
    EXPECT_EQ(record->start->settings, "<settings ip=\"127.0.0.1\" port=\"8001\" />");
    EXPECT_EQ(record->start->localAddress, "127.0.0.1");
    EXPECT_EQ(record->start->localPort, 8001u);
    EXPECT_EQ(record->start->timeUs, 1796752170120031LL);
    EXPECT_EQ(record->start->mono, 5123400112LL);
    EXPECT_EQ(record->start->burstGapUs, 10000u);
    ASSERT_EQ(record->sources.size(), 1u);
    const app::RecordSource* source = record->Source(1);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->name, "127.0.0.1:40112");
    EXPECT_EQ(source->port, 40112u);
    EXPECT_EQ(source->connection, 1u);
    EXPECT_EQ(record->Source(2), nullptr);
    ASSERT_EQ(record->rows.size(), 1u);
    EXPECT_EQ(record->rows[0].length, 46u);
    EXPECT_EQ(record->rows[0].blocks, 46u);
    EXPECT_EQ(record->rows[0].lastUs - record->rows[0].firstUs, 381);
    EXPECT_EQ(record->rows[0].lastMono, 6006280112LL);
    ASSERT_EQ(record->events.size(), 2u);
    EXPECT_EQ(record->events[1].kind, "loss");
    EXPECT_EQ(record->events[1].count, 3u);
    EXPECT_EQ(record->events[1].unit, "datagrams");
    ASSERT_TRUE(record->end);
    EXPECT_EQ(record->end->reason, "client closed");
    EXPECT_EQ(record->end->bytes, 46u);
    EXPECT_EQ(record->end->lost, 3u);
    EXPECT_EQ(record->end->sha256, "5f1c");
    EXPECT_EQ(record->end->next, "b.bin");
}

TEST_F(RecordReading, DamagedLinesAreToldAndSkippedUnknownOnesIgnored) {
    const auto record = Read(
        kStart + "not json at all\n" + "[1,2]\n" + "\n" +
        R"({"type":"row","offset":0,"length":4,"first":"2026-12-08T17:49:31Z","later":true})"
        "\n"
        R"({"type":"hologram","whatever":1})"
        "\n"
        R"({"kind":"closed"})"
        "\n"
        // Hostile numbers: negative, fractional, beyond 64 bits, text, and a
        // length that would carry the row past the largest file offset.
        R"({"type":"row","offset":4,"length":-1,"first":"2026-12-08T17:49:31Z"})"
        "\n"
        R"({"type":"row","offset":4,"length":1.5,"first":"2026-12-08T17:49:31Z"})"
        "\n"
        R"({"type":"row","offset":4,"length":1e300,"first":"2026-12-08T17:49:31Z"})"
        "\n"
        R"({"type":"row","offset":"4","length":2,"first":"2026-12-08T17:49:31Z"})"
        "\n"
        R"({"type":"row","offset":9223372036854775000,"length":9223372036854775000,"first":"2026-12-08T17:49:31Z"})"
        "\n"
        R"({"type":"row","offset":4,"length":2,"first":"yesterday"})"
        "\n"
        R"({"type":"source","id":[1],"name":7})"
        "\n"
        R"({"type":"source","id":2,"name":"a"})"
        "\n"
        R"({"type":"source","id":2,"name":"b"})"
        "\n"
        R"({"type":"event","kind":"note","time":"2026-12-08T17:49:32Z","text":{"a":1}})"
        "\n");
    ASSERT_TRUE(record) << m_error;
    ASSERT_EQ(record->rows.size(), 1u);
    EXPECT_EQ(record->rows[0].length, 4u);
    EXPECT_EQ(record->rows[0].lastUs, record->rows[0].firstUs);
    ASSERT_EQ(record->sources.size(), 1u);
    EXPECT_EQ(record->sources[0].name, "a");
    ASSERT_EQ(record->events.size(), 1u);
    EXPECT_EQ(record->events[0].text, "");
    ASSERT_GE(record->problems.size(), 12u);
    EXPECT_EQ(record->problems[0], "line 2: not a JSON object");
    EXPECT_EQ(record->problems[1], "line 3: not a JSON object");
    EXPECT_EQ(record->problems[2], "line 7: no \"type\"");
    std::string all;
    for (const std::string& problem : record->problems) {
        all += problem + "\n";
    }
    for (const char* line : {"line 8:", "line 9:", "line 10:", "line 11:", "line 12:", "line 13:",
                             "line 14:", "line 16: source 2 declared again", "line 17:"}) {
        EXPECT_NE(all.find(line), std::string::npos) << line << " in\n" << all;
    }
    EXPECT_EQ(all.find("line 5:"), std::string::npos) << all;
    EXPECT_EQ(all.find("line 6:"), std::string::npos) << all;
}

TEST_F(RecordReading, ALastLineWithoutItsNewlineIsLeftOutAsStillBeingWritten) {
    const std::string row =
        R"({"type":"row","offset":0,"length":4,"first":"2026-12-08T17:49:31Z"})";
    auto record = Read(kStart + row + "\n" + row.substr(0, 20));
    ASSERT_TRUE(record) << m_error;
    EXPECT_TRUE(record->partialLastLine);
    EXPECT_EQ(record->rows.size(), 1u);
    EXPECT_TRUE(record->problems.empty());

    // A whole object that lacks only its newline is left out too.
    record = Read(kStart + row);
    ASSERT_TRUE(record) << m_error;
    EXPECT_TRUE(record->partialLastLine);
    EXPECT_TRUE(record->rows.empty());

    record = Read(kStart + row + "\n");
    ASSERT_TRUE(record) << m_error;
    EXPECT_FALSE(record->partialLastLine);
    EXPECT_EQ(record->rows.size(), 1u);
}

TEST_F(RecordReading, WhatIsNoRecordOrANewerOneIsRefused) {
    EXPECT_FALSE(Read(""));
    EXPECT_NE(m_error.find("not a capture record"), std::string::npos) << m_error;
    // The start line still being written: there is no record yet.
    EXPECT_FALSE(Read(kStart.substr(0, 30)));
    EXPECT_NE(m_error.find("no complete start line"), std::string::npos) << m_error;
    EXPECT_FALSE(Read(std::string("\x89PNG\r\n\x1a\n\0\0\0", 11)));
    EXPECT_NE(m_error.find("not a capture record"), std::string::npos) << m_error;
    EXPECT_FALSE(Read(R"({"type":"row","offset":0,"length":1,"first":"2026-12-08T17:49:31Z"})"
                      "\n" +
                      kStart));
    EXPECT_NE(m_error.find("does not begin with a start line"), std::string::npos) << m_error;
    EXPECT_FALSE(Read(R"({"type":"start","program":"x"})"
                      "\n"));
    EXPECT_NE(m_error.find("no format version"), std::string::npos) << m_error;
    EXPECT_FALSE(Read(R"({"type":"start","version":7})"
                      "\n"));
    EXPECT_EQ(m_error, "record version 7 is newer than this program reads (1)");
    // A line too long to be one the writer makes, first: no record.
    EXPECT_FALSE(Read(std::string(3 << 20, 'x') + "\n" + kStart));
    EXPECT_NE(m_error.find("not a capture record"), std::string::npos) << m_error;

    m_error.clear();
    EXPECT_FALSE(app::ReadRecord(m_dir.File("none.jsonl"), m_error));
    EXPECT_EQ(m_error, "cannot open " + m_dir.File("none.jsonl") + ": No such file or directory");
    EXPECT_FALSE(app::ReadRecord(m_dir.Path(), m_error));
    EXPECT_NE(m_error.find("not a regular file"), std::string::npos) << m_error;
    // A FIFO under the record's name is refused at once, not waited on.
    ASSERT_EQ(mkfifo(m_dir.File("fifo.jsonl").c_str(), 0600), 0);
    EXPECT_FALSE(app::ReadRecord(m_dir.File("fifo.jsonl"), m_error));
    EXPECT_NE(m_error.find("not a regular file"), std::string::npos) << m_error;
}

TEST_F(RecordReading, ALongDamagedLineLaterIsSkippedAndTheRestRead) {
    const std::string row =
        R"({"type":"row","offset":0,"length":4,"first":"2026-12-08T17:49:31Z"})";
    const auto record = Read(kStart + std::string(3 << 20, '{') + "\n" + row + "\n");
    ASSERT_TRUE(record) << m_error;
    EXPECT_EQ(record->rows.size(), 1u);
    ASSERT_EQ(record->problems.size(), 1u);
    EXPECT_EQ(record->problems[0], "line 2: longer than 1048576 bytes");
}

TEST(RecordPath, IsTheCaptureFileWithJsonl) {
    EXPECT_EQ(app::RecordPathFor("till.bin"), "till.bin.jsonl");
    EXPECT_EQ(app::RecordPathFor("/var/lib/tapscope/a b.bin"), "/var/lib/tapscope/a b.bin.jsonl");
}

}  // namespace
}  // namespace tapscope::testing

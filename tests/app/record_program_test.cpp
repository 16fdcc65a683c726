// The capture record end to end: tapscope captures from real sockets and a
// socat pseudo-terminal, and the tests read the record it left beside the
// capture file line by line as any JSON reader would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <boost/asio/write.hpp>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/app/program_runner.h"
#include "tests/support/child_process.h"
#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;
using boost::asio::ip::make_address;

std::vector<QJsonObject> RecordLines(const std::string& path) {
    std::vector<QJsonObject> lines;
    std::istringstream text(ReadFile(path));
    for (std::string line; std::getline(text, line);) {
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
        lines.push_back(document.object());
    }
    return lines;
}

std::vector<QJsonObject> OfType(const std::vector<QJsonObject>& lines, const char* type) {
    std::vector<QJsonObject> found;
    for (const QJsonObject& line : lines) {
        if (line["type"].toString() == QLatin1String(type)) {
            found.push_back(line);
        }
    }
    return found;
}

std::string Text(const QJsonObject& line, const char* field) {
    return line[field].toString().toStdString();
}
std::int64_t Number(const QJsonObject& line, const char* field) {
    return line[field].toInteger();
}

std::string Sha256Of(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// The rows lie one after the other from offset 0 to the end of |capture|.
void ExpectRowsTile(const std::vector<QJsonObject>& rows, const std::string& capture) {
    std::int64_t next = 0;
    for (const QJsonObject& row : rows) {
        EXPECT_EQ(Number(row, "offset"), next);
        EXPECT_GT(Number(row, "length"), 0);
        EXPECT_LE(Number(row, "first_mono"), Number(row, "last_mono"));
        next = Number(row, "offset") + Number(row, "length");
    }
    EXPECT_EQ(next, static_cast<std::int64_t>(ReadFile(capture).size()));
}

// The bytes tshark's "follow" gives for TCP stream |stream| of |pcapng|, as
// hex; empty when tshark is missing.
std::string FollowedHex(const std::string& pcapng, int stream) {
    ChildProcess tshark("/bin/sh",
                        {"-c", "exec tshark -r \"$0\" -q -z follow,tcp,raw,$1 2>/dev/null", pcapng,
                         std::to_string(stream)});
    std::istringstream text(tshark.ReadAll());
    int status = -1;
    EXPECT_TRUE(tshark.Wait(kExitLimitMs, &status));
    std::string hex;
    bool inside = false;
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("Node 1:", 0) == 0) {
            inside = true;
        } else if (inside && line.rfind("====", 0) == 0) {
            break;
        } else if (inside) {
            hex += line;
        }
    }
    return hex;
}

struct Finished {
    int status = -1;
    std::string output;
};

Finished Terminate(ChildProcess& child, std::string output) {
    kill(child.Pid(), SIGTERM);
    Finished finished;
    finished.output = output + child.ReadAll();
    EXPECT_TRUE(child.Wait(kExitLimitMs, &finished.status));
    return finished;
}

class CaptureRecordTest : public ::testing::Test {
protected:
    TempDir m_dir;
    const std::string m_capture = m_dir.File("till.bin");
    const std::string m_record = m_capture + ".jsonl";
};

// Two clients take turns under --keep-listening; the first closes and the
// second still gets captured. Each keeps its own source, the rows tile the
// file in arrival order, and the end line carries the file's SHA-256.
TEST_F(CaptureRecordTest, InterleavedTcpClientsKeepTheirOwnRowsAndTheCaptureOutlivesThem) {
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope(
        {"capture", "tcp", "--port", std::to_string(port), "--keep-listening", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket first(io);
    boost::asio::ip::tcp::socket second(io);
    first.connect({make_address("127.0.0.1"), port});
    second.connect({make_address("127.0.0.1"), port});
    auto send = [&](boost::asio::ip::tcp::socket& client, const std::string& bytes,
                    std::size_t total) {
        boost::asio::write(client, boost::asio::buffer(bytes));
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture).size() == total; }));
        // Longer than the burst gap, so that the next turn is a row of its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    send(first, "AAAA", 4);
    send(second, "BBBBBB", 10);
    send(first, "aa", 12);
    const unsigned short firstPort = first.local_endpoint().port();
    first.close();
    // The close is in the record (written out within a second) before the
    // second client's last bytes come.
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(m_record).find(R"("kind":"closed")") != std::string::npos; }));
    send(second, "bb", 14);
    second.close();
    const Finished finished = Terminate(*child, output);
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_NE(finished.output.find("record: " + m_record), std::string::npos) << finished.output;

    const std::string captured = ReadFile(m_capture);
    ASSERT_EQ(captured, "AAAABBBBBBaabb");
    const auto lines = RecordLines(m_record);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(Text(lines.front(), "type"), "start");
    EXPECT_EQ(Number(lines.front(), "version"), 1);
    EXPECT_EQ(Text(lines.front(), "transport"), "tcp");
    EXPECT_EQ(Number(lines.front(), "local_port"), port);
    EXPECT_EQ(Text(lines.front(), "settings"),
              "<settings ip=\"127.0.0.1\" port=\"" + std::to_string(port) + "\" />");

    const auto sources = OfType(lines, "source");
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(Number(sources[0], "connection"), 1);
    EXPECT_EQ(Number(sources[0], "port"), firstPort);
    EXPECT_EQ(Text(sources[0], "address"), "127.0.0.1");
    EXPECT_EQ(Number(sources[1], "connection"), 2);

    const auto rows = OfType(lines, "row");
    ASSERT_EQ(rows.size(), 4u);
    const std::int64_t ids[] = {1, 2, 1, 2};
    const std::int64_t lengths[] = {4, 6, 2, 2};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(Number(rows[i], "source"), Number(sources[ids[i] - 1], "id")) << i;
        EXPECT_EQ(Number(rows[i], "length"), lengths[i]) << i;
        // One-byte reads: a row covers as many reads as it has bytes.
        EXPECT_EQ(Number(rows[i], "blocks"), lengths[i]) << i;
    }
    ExpectRowsTile(rows, m_capture);

    std::vector<std::string> events;
    for (const QJsonObject& event : OfType(lines, "event")) {
        events.push_back(Text(event, "kind") + " " + std::to_string(Number(event, "source")));
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"connected 1", "connected 2", "closed 1", "closed 2"}));
    const QJsonObject end = lines.back();
    EXPECT_EQ(Text(end, "type"), "end");
    EXPECT_EQ(Text(end, "reason"), "stopped");
    EXPECT_EQ(Number(end, "bytes"), 14);
    EXPECT_EQ(Number(end, "rows"), 4);
    EXPECT_EQ(Text(end, "sha256"), Sha256Of(captured));
    struct stat status {};
    ASSERT_EQ(stat(m_record.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // Exported, each client is a conversation of its own that tshark follows.
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed; the export is read back with it";
    }
    const std::string pcapng = m_dir.File("till.pcapng");
    auto exporter = StartTapscope({"export", m_capture, "--pcapng", pcapng});
    const std::string said = exporter->ReadAll();
    int exported = -1;
    ASSERT_TRUE(exporter->Wait(kExitLimitMs, &exported));
    ASSERT_EQ(exported, 0) << said;
    EXPECT_EQ(FollowedHex(pcapng, 0),
              "41414141"
              "6161");  // AAAA aa
    EXPECT_EQ(FollowedHex(pcapng, 1),
              "424242424242"
              "6262");  // BBBBBB bb
}

// Without --keep-listening the first client that closes still ends the
// capture, and the record says why; --burst-gap 0 gives a row per read.
TEST_F(CaptureRecordTest, AClientThatClosesEndsTheRecordAndGapZeroGivesARowPerRead) {
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope(
        {"capture", "tcp", "--port", std::to_string(port), "--burst-gap", "0", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({make_address("127.0.0.1"), port});
        boost::asio::write(client, boost::asio::buffer(std::string("hello")));
    }
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    const auto lines = RecordLines(m_record);
    EXPECT_EQ(Number(lines.front(), "burst_gap_us"), 0);
    const auto rows = OfType(lines, "row");
    ASSERT_EQ(rows.size(), 5u);
    ExpectRowsTile(rows, m_capture);
    EXPECT_EQ(Text(lines.back(), "reason"), "client closed");
    EXPECT_NE(Text(lines.back(), "text").find("closed the connection"), std::string::npos);
}

// Datagrams of two senders, taken in turns: a row each, with its sender.
// Datagrams that the system dropped while the capture was held up are told
// in the summary and in the record, as the count the system gave.
TEST_F(CaptureRecordTest, UdpSendersKeepTheirSourcesAndSystemDropsAreCounted) {
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    boost::asio::io_context io;
    boost::asio::ip::udp::socket one(io, {make_address("127.0.0.1"), 0});
    boost::asio::ip::udp::socket two(io, {make_address("127.0.0.1"), 0});
    const boost::asio::ip::udp::endpoint to(make_address("127.0.0.1"), port);
    std::size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        one.send_to(boost::asio::buffer(std::string("one") + char('0' + i)), to);
        two.send_to(boost::asio::buffer(std::string("two-") + char('0' + i)), to);
        total += 9;
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture).size() == total; }));
    }
    // Held up, the capture cannot take a flood: the socket's queue fills and
    // the system drops the rest.
    ASSERT_EQ(kill(child->Pid(), SIGSTOP), 0);
    const std::string big(8000, 'x');
    for (int i = 0; i < 3000; ++i) {
        boost::system::error_code ignored;
        one.send_to(boost::asio::buffer(big), to, 0, ignored);
    }
    ASSERT_EQ(kill(child->Pid(), SIGCONT), 0);
    ASSERT_TRUE(ReadUntil(*child, "the system dropped", output)) << output;
    const Finished finished = Terminate(*child, output);
    EXPECT_EQ(finished.status, 0) << finished.output;
    const std::string said = "; the system dropped ";
    const auto at = finished.output.find(said);
    ASSERT_NE(at, std::string::npos) << finished.output;
    const std::uint64_t dropped = std::stoull(finished.output.substr(at + said.size()));
    EXPECT_GT(dropped, 0u);

    const auto lines = RecordLines(m_record);
    const auto sources = OfType(lines, "source");
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(Number(sources[0], "port"), one.local_endpoint().port());
    EXPECT_EQ(Number(sources[1], "port"), two.local_endpoint().port());
    const auto rows = OfType(lines, "row");
    const std::size_t kept = (ReadFile(m_capture).size() - 27) / big.size();
    ASSERT_EQ(rows.size(), 6 + kept);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(Number(rows[i], "source"), i % 2 == 0 ? 1 : 2) << i;
        EXPECT_EQ(Number(rows[i], "blocks"), 1) << i;
    }
    ExpectRowsTile(rows, m_capture);
    std::uint64_t recorded = 0;
    for (const QJsonObject& event : OfType(lines, "event")) {
        if (Text(event, "kind") == "loss") {
            EXPECT_EQ(Text(event, "unit"), "datagrams");
            recorded += static_cast<std::uint64_t>(Number(event, "count"));
        }
    }
    EXPECT_EQ(recorded, dropped);
    EXPECT_EQ(static_cast<std::uint64_t>(Number(lines.back(), "lost")), dropped);
}

// A device sends three messages 100 ms apart: a row each, named by the port.
TEST_F(CaptureRecordTest, SerialMessagesApartAreARowEach) {
    SocatPty pty;
    if (!pty.Ok()) {
        GTEST_SKIP() << pty.Error();
    }
    auto child = StartTapscope(
        {"capture", "com", "--port", pty.DevicePath(), "--baudrate", "115200", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing com", output)) << output;
    const std::vector<std::string> messages = {"TOTAL 12.50\r\n", "CASH\r\n", "CHANGE 7.50\r\n"};
    std::size_t total = 0;
    for (const std::string& message : messages) {
        ASSERT_TRUE(pty.Write(message));
        total += message.size();
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture).size() == total; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const Finished finished = Terminate(*child, output);
    EXPECT_EQ(finished.status, 0) << finished.output;
    const auto lines = RecordLines(m_record);
    const auto sources = OfType(lines, "source");
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(Text(sources[0], "kind"), "serial");
    EXPECT_EQ(Text(sources[0], "name"), Text(sources[0], "device"));
    const auto rows = OfType(lines, "row");
    ASSERT_EQ(rows.size(), messages.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(Number(rows[i], "length"), static_cast<std::int64_t>(messages[i].size())) << i;
    }
    ExpectRowsTile(rows, m_capture);
    // Apart by the pauses, on the clock that no time change distorts.
    EXPECT_GE(Number(rows[1], "first_mono") - Number(rows[0], "last_mono"), 90'000'000);
}

// A record that cannot be made (a folder stands under its name) is told once
// and the capture goes on; a link under its name is replaced, not followed;
// --no-record writes none.
TEST_F(CaptureRecordTest, ARecordThatCannotBeMadeNeverStopsTheCapture) {
    std::filesystem::create_directory(m_record);
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    SendDatagram(port, "still captured");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture) == "still captured"; }));
    Finished finished = Terminate(*child, output);
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_NE(finished.output.find("cannot write the record " + m_record), std::string::npos)
        << finished.output;
    EXPECT_EQ(finished.output.find("record: "), std::string::npos) << finished.output;

    const std::string other = m_dir.File("other.bin");
    const std::string target = m_dir.File("target");
    WriteFile(target, "untouched");
    ASSERT_EQ(symlink(target.c_str(), (other + ".jsonl").c_str()), 0);
    child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", other});
    output.clear();
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    finished = Terminate(*child, output);
    EXPECT_EQ(ReadFile(target), "untouched");
    EXPECT_NE(finished.output.find("symbolic link"), std::string::npos) << finished.output;

    const std::string plain = m_dir.File("plain.bin");
    child = StartTapscope(
        {"capture", "udp", "--port", std::to_string(port), "--no-record", "-o", plain});
    output.clear();
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    SendDatagram(port, "x");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(plain) == "x"; }));
    finished = Terminate(*child, output);
    EXPECT_FALSE(std::filesystem::exists(plain + ".jsonl"));
}

// A capture that rolls over gives each file its own record, whose rows tile
// that file; the record of the first names the next.
TEST_F(CaptureRecordTest, EachRolledOverFileHasItsOwnRecord) {
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope(
        {"capture", "udp", "--port", std::to_string(port), "--rotate-size", "1", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    const std::string datagram(60000, 'r');
    for (int i = 0; i < 20; ++i) {
        SendDatagram(port, datagram);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto records = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
            if (entry.path().extension() == ".jsonl") {
                found.push_back(entry.path().string());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    ASSERT_TRUE(WaitUntil([&] { return records().size() == 2; }));
    const Finished finished = Terminate(*child, output);
    EXPECT_EQ(finished.status, 0) << finished.output;
    const auto names = records();
    ASSERT_EQ(names.size(), 2u);
    std::size_t rows = 0;
    for (const std::string& name : names) {
        const std::string capture = name.substr(0, name.size() - 6);
        const auto lines = RecordLines(name);
        EXPECT_EQ(Text(lines.front(), "capture"), capture);
        ExpectRowsTile(OfType(lines, "row"), capture);
        EXPECT_EQ(Text(lines.back(), "sha256"), Sha256Of(ReadFile(capture)));
        rows += OfType(lines, "row").size();
    }
    EXPECT_EQ(rows, 20u);
    // Within one second the second file is "-2": the first by its end line.
    const auto a = RecordLines(names[0]).back();
    const auto b = RecordLines(names[1]).back();
    const bool aFirst = Text(a, "reason") == "rolled over";
    EXPECT_EQ(Text(aFirst ? b : a, "reason"), "stopped");
    const std::string second = aFirst ? names[1] : names[0];
    EXPECT_EQ(Text(aFirst ? a : b, "reason"), "rolled over");
    EXPECT_EQ(Text(aFirst ? a : b, "next"), second.substr(0, second.size() - 6));
}

}  // namespace
}  // namespace tapscope::testing

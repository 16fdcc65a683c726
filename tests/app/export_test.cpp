// The export to pcapng, read back by the real tshark: packets, addresses,
// ports and bytes as the capture and its record give them, TCP streams that
// "Follow TCP stream" gives back byte for byte, valid checksums; and the
// refusals that keep the capture and existing files safe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/export_command.h"
#include "tests/app/program_runner.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

using app::CaptureRecord;
using app::ExportOptions;
using app::ExportPcapng;
using app::ExportResult;
using app::RecordEvent;
using app::RecordRow;
using app::RecordSource;

constexpr int kExitLimitMs = 60000;
constexpr std::int64_t kStartUs = 1796752170000000;  // 2026-12-08T17:49:30Z

bool TsharkInstalled() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

// tshark with |args|; its standard output (the warnings it gives on standard
// error, such as running as root, are dropped).
std::string Tshark(const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "exec tshark \"$@\" 2>/dev/null", "tshark"};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    ChildProcess child("/bin/sh", shellArgs);
    child.CloseInput();
    const std::string output = child.ReadAll(kExitLimitMs);
    int status = -1;
    EXPECT_TRUE(child.Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << "tshark " << args.front() << " ...: " << output;
    return output;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

// The client's bytes of TCP stream |stream| as "follow,tcp,raw" gives them:
// hex lines between the header and the closing row of '='.
std::string FollowedHex(const std::string& pcapng, int stream) {
    const std::string output =
        Tshark({"-r", pcapng, "-q", "-z", "follow,tcp,raw," + std::to_string(stream)});
    std::string hex;
    bool inside = false;
    for (const std::string& line : Lines(output)) {
        if (line.rfind("Node 1:", 0) == 0) {
            inside = true;
            continue;
        }
        if (inside && line.rfind("=====", 0) == 0) {
            break;
        }
        // The server's bytes would be indented by a tab; it sends none.
        if (inside && !line.empty() && line[0] != '\t') {
            hex += line;
        }
    }
    return hex;
}

// A capture file and the record of it, built row by row as a capture would.
class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TsharkInstalled()) {
            GTEST_SKIP() << "tshark is not installed; the export is read back with it";
        }
    }

    void Start(const std::string& transport, const std::string& address, unsigned port) {
        app::RecordStart start;
        start.version = 1;
        start.program = "tapscope 1.4.0";
        start.host = "till-pc";
        start.transport = transport;
        start.capture = m_capture;
        start.localAddress = address;
        start.localPort = port;
        start.timeUs = kStartUs;
        start.mono = 1000;
        m_record.start = start;
    }
    void Source(std::uint64_t id, const std::string& kind, const std::string& address,
                unsigned port, std::uint64_t connection = 0) {
        RecordSource source;
        source.id = id;
        source.kind = kind;
        source.address = address;
        source.port = port;
        source.connection = connection;
        source.name = (address.find(':') != std::string::npos ? "[" + address + "]" : address) +
                      ":" + std::to_string(port);
        m_record.sources.push_back(source);
    }
    void Serial(std::uint64_t id, const std::string& name, const std::string& device) {
        RecordSource source;
        source.id = id;
        source.kind = "serial";
        source.name = name;
        source.device = device;
        m_record.sources.push_back(source);
    }
    // A row of |bytes| from |source|, |atMs| after the start; the bytes are
    // appended to the capture file.
    void Row(std::uint64_t source, const std::string& bytes, std::int64_t atMs) {
        RecordRow row;
        row.source = source;
        row.offset = m_bytes.size();
        row.length = bytes.size();
        row.blocks = 1;
        row.firstUs = row.lastUs = kStartUs + atMs * 1000;
        row.firstMono = row.lastMono = 1000 + atMs * 1000000;
        m_record.rows.push_back(row);
        m_bytes += bytes;
    }
    void Event(const std::string& kind, std::uint64_t source, std::int64_t atMs,
               const std::string& text) {
        RecordEvent event;
        event.kind = kind;
        event.source = source;
        event.timeUs = kStartUs + atMs * 1000;
        event.mono = 1000 + atMs * 1000000;
        event.text = text;
        m_record.events.push_back(event);
    }

    ExportResult Export(bool overwrite = false) {
        WriteFile(m_capture, m_bytes);
        ExportOptions options;
        options.capture = m_capture;
        options.output = m_output;
        options.overwrite = overwrite;
        return ExportPcapng(m_record, options);
    }
    // tshark's fields |fields| of every packet matching |filter|, one line
    // each, the fields separated by '|'.
    std::vector<std::string> Fields(const std::string& filter,
                                    const std::vector<std::string>& fields) {
        // Checksums are verified, which tshark leaves out by default.
        std::vector<std::string> args = {"-r", m_output,
                                         "-o", "ip.check_checksum:TRUE",
                                         "-o", "tcp.check_checksum:TRUE",
                                         "-o", "udp.check_checksum:TRUE",
                                         "-T", "fields",
                                         "-E", "separator=|"};
        if (!filter.empty()) {
            args.insert(args.end(), {"-Y", filter});
        }
        for (const std::string& field : fields) {
            args.insert(args.end(), {"-e", field});
        }
        return Lines(Tshark(args));
    }

    // The names in the test's folder.
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TempDir m_dir;
    const std::string m_capture = m_dir.File("till.bin");
    const std::string m_output = m_dir.File("till.pcapng");
    CaptureRecord m_record;
    std::string m_bytes;
};

TEST_F(ExportTest, TcpClientsBecomeConversationsThatFollowGivesBackByteForByte) {
    Start("tcp", "0.0.0.0", 8001);
    Source(1, "tcp", "127.0.0.1", 40112, 1);
    Source(2, "tcp", "10.1.2.3", 40113, 2);
    Event("connected", 1, 10, "client 127.0.0.1:40112 connected");
    Row(1, std::string("\x02PAY 12.50\x03", 11), 20);
    Event("connected", 2, 25, "client 10.1.2.3:40113 connected");
    Row(2, "second client", 30);
    // A row larger than one IPv4 packet holds: two segments.
    std::string large(70000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 + 1);
    }
    Row(1, large, 40);
    Row(2, std::string("\0\xff\r\n", 4), 50);
    Event("closed", 1, 60, "client 127.0.0.1:40112 closed the connection");
    Event("reset", 2, 70, "client 10.1.2.3:40113 reset the connection");
    // An IPv6 client the record tells neither the connection nor the end of.
    Source(3, "tcp", "2001:db8::7", 40114, 3);
    Row(3, "over IPv6", 80);

    const ExportResult result = Export();
    ASSERT_EQ(result.status, 0) << result.error;
    EXPECT_EQ(result.rows, 5u);
    EXPECT_EQ(result.bytes, m_bytes.size());

    // Client 1: handshake 3, 1 + 2 segments, close 3; client 2: 3, 2, RST 1;
    // client 3: 3, 1.
    ASSERT_EQ(Fields("", {"frame.number"}).size(), 19u);
    const std::vector<std::string> data = Fields(
        "ip && tcp.len > 0",
        {"tcp.stream", "ip.src", "tcp.srcport", "ip.dst", "tcp.dstport", "tcp.len", "ip.len"});
    const std::vector<std::string> expected = {
        "0|127.0.0.1|40112|127.0.0.1|8001|11|51",
        "1|10.1.2.3|40113|127.0.0.1|8001|13|53",
        "0|127.0.0.1|40112|127.0.0.1|8001|65495|65535",
        "0|127.0.0.1|40112|127.0.0.1|8001|4505|4545",
        "1|10.1.2.3|40113|127.0.0.1|8001|4|44",
    };
    EXPECT_EQ(data, expected);

    EXPECT_EQ(FollowedHex(m_output, 0), Hex(std::string("\x02PAY 12.50\x03", 11) + large));
    EXPECT_EQ(FollowedHex(m_output, 1), Hex(std::string("second client\0\xff\r\n", 17)));
    EXPECT_EQ(FollowedHex(m_output, 2), Hex("over IPv6"));
    // Its handshake is at its first bytes' time, and it has no end; the
    // any-address of the capture is IPv6's loopback for it.
    EXPECT_EQ(Fields("tcp.stream == 2",
                     {"ipv6.src", "ipv6.dst", "tcp.dstport", "tcp.flags.str", "frame.time_epoch"}),
              (std::vector<std::string>{
                  "2001:db8::7|::1|8001|··········S·|1796752170.080000000",
                  "::1|2001:db8::7|40114|·······A··S·|1796752170.080000000",
                  "2001:db8::7|::1|8001|·······A····|1796752170.080000000",
                  "2001:db8::7|::1|8001|·······AP···|1796752170.080000000",
              }));

    // The handshake at the connection's time, its event in the SYN's comment;
    // the end of each as the record tells it.
    EXPECT_EQ(Fields("ip && tcp.flags.syn == 1 && tcp.flags.ack == 0",
                     {"tcp.stream", "frame.time_epoch", "frame.comment"}),
              (std::vector<std::string>{
                  "0|1796752170.010000000|connected: client 127.0.0.1:40112 connected",
                  "1|1796752170.025000000|connected: client 10.1.2.3:40113 connected"}));
    EXPECT_EQ(Fields("tcp.flags.fin == 1", {"tcp.stream", "ip.src"}),
              (std::vector<std::string>{"0|127.0.0.1", "0|127.0.0.1"}));
    EXPECT_EQ(Fields("tcp.flags.reset == 1", {"tcp.stream", "frame.comment"}),
              (std::vector<std::string>{"1|reset: client 10.1.2.3:40113 reset the connection"}));

    // Wireshark's own checks: every checksum right, nothing malformed, and
    // no sequence number its analysis finds out of place.
    EXPECT_EQ(Fields("ip.checksum.status != 1 || tcp.checksum.status != 1 || _ws.malformed || "
                     "tcp.analysis.lost_segment || tcp.analysis.retransmission || "
                     "tcp.analysis.out_of_order",
                     {"frame.number", "_ws.expert.message"}),
              std::vector<std::string>{});
}

TEST_F(ExportTest, UdpDatagramsGoFromTheirSenderToTheCapturesAddressInEitherFamily) {
    Start("udp", "::", 9000);
    Source(1, "udp", "::ffff:192.168.1.20", 4000);
    Source(2, "udp", "fe80::1%eth0", 4001);
    Row(1, "first datagram", 5);
    Row(2, std::string("v6\0datagram", 11), 6);
    Event("loss", 0, 7, "3 datagrams lost");
    Row(1, "", 8);
    Row(2, "last", 9);

    const ExportResult result = Export();
    ASSERT_EQ(result.status, 0) << result.error;
    // An IPv4-mapped sender is the IPv4 packet it came as; the any-address
    // stands for the loopback of the sender's family.
    EXPECT_EQ(Fields("udp", {"ip.src", "ipv6.src", "udp.srcport", "ip.dst", "ipv6.dst",
                             "udp.dstport", "udp.length", "udp.payload"}),
              (std::vector<std::string>{
                  "192.168.1.20||4000|127.0.0.1||9000|22|" + Hex("first datagram"),
                  "|fe80::1|4001||::1|9000|19|" + Hex(std::string("v6\0datagram", 11)),
                  "192.168.1.20||4000|127.0.0.1||9000|8|",
                  "|fe80::1|4001||::1|9000|12|" + Hex("last"),
              }));
    // Checksums are verified (IPv6 needs UDP's); the loss is a packet of its
    // own at its time, on the events interface, told in its comment.
    EXPECT_EQ(Fields("ip.checksum.status == 0 || udp.checksum.status != 1 || _ws.malformed",
                     {"frame.number", "_ws.expert.message"}),
              std::vector<std::string>{});
    EXPECT_EQ(Fields("frame.comment",
                     {"frame.number", "frame.interface_name", "frame.len", "frame.comment"}),
              (std::vector<std::string>{"3|events|0|loss: 3 datagrams lost"}));
}

TEST_F(ExportTest, SerialBytesAreOnAnInterfaceNamedAfterTheirDevice) {
    Start("serial", "", 0);
    Serial(1, "COM3 -> /dev/ttyUSB0", "/dev/ttyUSB0");
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    Row(1, all, 1);
    Event("device-gone", 1, 2, "/dev/ttyUSB0 went away");
    Serial(2, "COM4 -> /dev/ttyUSB1", "/dev/ttyUSB1");
    Row(2, "\r\nOK\r\n", 3);
    Row(9, "who?", 4);  // a source the record never declared

    const ExportResult result = Export();
    ASSERT_EQ(result.status, 0) << result.error;
    EXPECT_EQ(result.packets, 4u);
    EXPECT_EQ(
        Fields("", {"frame.interface_name", "frame.interface_description", "frame.len", "data",
                    "frame.comment"}),
        (std::vector<std::string>{
            "/dev/ttyUSB0|COM3 -> /dev/ttyUSB0|256|" + Hex(all) + "|",
            "events|what happened during the capture, each told in its packet's "
            "comment|0||device-gone (COM3 -> /dev/ttyUSB0): /dev/ttyUSB0 went away",
            "/dev/ttyUSB1|COM4 -> /dev/ttyUSB1|6|" + Hex("\r\nOK\r\n") + "|",
            "unknown sender|bytes whose sender the record does not name|4|" + Hex("who?") + "|",
        }));
}

TEST_F(ExportTest, RefusesWhatWouldLoseOrMisstateData) {
    Start("udp", "127.0.0.1", 9000);
    Source(1, "udp", "127.0.0.1", 4000);
    Row(1, "abc", 1);

    // A record whose rows lie past the capture's end belongs to another
    // capture: nothing is written, not even a partial file.
    m_record.rows.push_back(RecordRow{1, 3, 10, 1, kStartUs, kStartUs, 0, 0});
    ExportResult result = Export();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.error.find("row 2 (offset 3, 10 bytes) lies past the file's end at 3 bytes"),
              std::string::npos)
        << result.error;
    m_record.rows.pop_back();
    EXPECT_EQ(Names(), (std::set<std::string>{"till.bin"}));

    // A new file: mode 0600 and nothing else beside it.
    ASSERT_EQ(Export().status, 0);
    struct stat info {};
    ASSERT_EQ(lstat(m_output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // An existing file is kept without --overwrite, and replaced with it.
    WriteFile(m_output, "keep me");
    result = Export();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(ReadFile(m_output), "keep me");
    ASSERT_EQ(Export(true).status, 0);
    EXPECT_EQ(Fields("udp", {"udp.payload"}), (std::vector<std::string>{Hex("abc")}));

    // Never through a symbolic link, and never over the capture itself.
    const std::string target = m_dir.File("elsewhere");
    WriteFile(target, "untouched");
    ASSERT_EQ(unlink(m_output.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), m_output.c_str()), 0);
    EXPECT_EQ(Export(true).status, 2);
    EXPECT_EQ(ReadFile(target), "untouched");
    ASSERT_EQ(unlink(m_output.c_str()), 0);
    ASSERT_EQ(link(m_capture.c_str(), m_output.c_str()), 0);
    result = Export(true);
    EXPECT_EQ(result.status, 2) << result.error;
    EXPECT_EQ(ReadFile(m_capture), "abc");

    // No temporary file is left behind by any of it.
    EXPECT_EQ(Names(), (std::set<std::string>{"till.bin", "till.pcapng", "elsewhere"}));
}

// The command as a user runs it, the record read from its JSON Lines file.
class ExportCommandTest : public ::testing::Test {
protected:
    struct Finished {
        int status = -1;
        std::string output;
    };
    Finished Run(const std::vector<std::string>& args) {
        auto child = StartTapscope(args);
        child->CloseInput();
        Finished finished;
        finished.output = child->ReadAll(kExitLimitMs);
        EXPECT_TRUE(child->Wait(kExitLimitMs, &finished.status));
        return finished;
    }

    TempDir m_dir;
    const std::string m_capture = m_dir.File("till.bin");
    const std::string m_output = m_dir.File("till.pcapng");
};

TEST_F(ExportCommandTest, UsageErrorsEndWithStatusTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"export"},
             {"export", m_capture},
             {"export", "--pcapng", m_output},
             {"export", m_capture, "other.bin", "--pcapng", m_output},
             {"export", m_capture, "--pcapng"},
             {"export", m_capture, "--pcapng="},
             {"export", m_capture, "--pcapng", m_output, "--port", "8001"},
         }) {
        const Finished finished = Run(args);
        EXPECT_EQ(finished.status, 2) << args.size() << " arguments: " << finished.output;
        EXPECT_NE(finished.output.find("Try 'tapscope --help'"), std::string::npos);
    }
}

TEST_F(ExportCommandTest, ExportsByTheRecordBesideTheCaptureAndRefusesWithoutOne) {
    WriteFile(m_capture, "abcdef");
    Finished finished = Run({"export", m_capture, "--pcapng", m_output});
    EXPECT_EQ(finished.status, 1);
    EXPECT_NE(finished.output.find("no record " + m_capture + ".jsonl beside " + m_capture +
                                   ": cannot export"),
              std::string::npos)
        << finished.output;
    EXPECT_FALSE(std::filesystem::exists(m_output));

    const std::string head =
        "{\"type\":\"start\",\"version\":1,\"program\":\"tapscope 1.4.0\",\"host\":\"till-pc\","
        "\"transport\":\"udp\",\"settings\":\"\",\"capture\":\"till.bin\",\"local_address\":"
        "\"127.0.0.1\",\"local_port\":9000,\"time\":\"2026-12-08T17:49:30.000000Z\",\"mono\":1,"
        "\"burst_gap_us\":10000}\n"
        "{\"type\":\"source\",\"id\":1,\"kind\":\"udp\",\"name\":\"10.0.0.7:5000\","
        "\"address\":\"10.0.0.7\",\"port\":5000}\n";
    const std::string first =
        "{\"type\":\"row\",\"source\":1,\"offset\":0,\"length\":2,\"blocks\":1,\"first\":"
        "\"2026-12-08T17:49:31.000000Z\",\"last\":\"2026-12-08T17:49:31.000000Z\","
        "\"first_mono\":2,\"last_mono\":2}\n";
    const std::string second =
        "{\"type\":\"row\",\"source\":1,\"offset\":2,\"length\":4,\"blocks\":1,\"first\":"
        "\"2026-12-08T17:49:32.000000Z\",\"last\":\"2026-12-08T17:49:32.000000Z\","
        "\"first_mono\":3,\"last_mono\":3}\n";
    const std::string payloads[] = {"1796752171.000000000|10.0.0.7|" + Hex("ab"),
                                    "1796752172.000000000|10.0.0.7|" + Hex("cdef")};
    auto exported = [&] {
        return Lines(Tshark({"-r", m_output, "-T", "fields", "-E", "separator=|", "-e",
                             "frame.time_epoch", "-e", "ip.src", "-e", "udp.payload"}));
    };

    // A damaged line is told and left out; the rest is exported.
    WriteFile(m_capture + ".jsonl", head + first + "not json\n" + second);
    finished = Run({"export", m_capture, "--pcapng=" + m_output});
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_NE(finished.output.find("line 4"), std::string::npos) << finished.output;
    EXPECT_NE(finished.output.find("exported 2 rows (6 bytes) of " + m_capture +
                                   " as 2 packets into " + m_output),
              std::string::npos)
        << finished.output;
    if (TsharkInstalled()) {
        EXPECT_EQ(exported(), (std::vector<std::string>{payloads[0], payloads[1]}));
    }

    // Bytes past the last row of a record without an end are a capture still
    // running; bytes a damaged row leaves in no row make the export
    // incomplete, which the status says.
    WriteFile(m_capture + ".jsonl", head + first);
    finished = Run({"export", m_capture, "--pcapng", m_output, "--overwrite"});
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_NE(finished.output.find("4 bytes of " + m_capture +
                                   " are in no row of its record and "
                                   "are not in the export (the record has no end"),
              std::string::npos)
        << finished.output;
    WriteFile(m_capture + ".jsonl", head + "{\"type\":\"row\",\"source\":1}\n" + second);
    finished = Run({"export", m_capture, "--pcapng", m_output, "--overwrite"});
    EXPECT_EQ(finished.status, 1) << finished.output;
    EXPECT_NE(finished.output.find("2 bytes of " + m_capture +
                                   " are in no row of its record and "
                                   "are not in the export: the record does not match"),
              std::string::npos)
        << finished.output;
    if (TsharkInstalled()) {
        EXPECT_EQ(exported(), (std::vector<std::string>{payloads[1]}));
    }

    // Once there, the export is not written over without --overwrite.
    WriteFile(m_capture + ".jsonl", head + first + second);
    finished = Run({"export", m_capture, "--pcapng", m_output});
    EXPECT_EQ(finished.status, 2) << finished.output;
    EXPECT_NE(finished.output.find(m_output + " exists; give --overwrite"), std::string::npos);
    EXPECT_EQ(Run({"export", m_capture, "--pcapng", m_output, "--overwrite"}).status, 0);
}

}  // namespace
}  // namespace tapscope::testing

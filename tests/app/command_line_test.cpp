// The command line end to end: tapscope runs as a child process with its
// standard error joined to its output, and the tests read what it says.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <boost/asio/write.hpp>
#include <filesystem>
#include <string>
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

// tapscope with |args|, its standard error going to the file |errors|, so
// that its standard output carries only what it writes there.
std::unique_ptr<ChildProcess> StartTapscopeErrorsTo(const std::string& errors,
                                                    const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "e=$1; shift; exec \"$0\" \"$@\" 2>\"$e\"",
                                          TAPSCOPE_PROGRAM, errors};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/bin/sh", shellArgs);
}

// tapscope with |args| under a soft limit of |descriptors| open files, as a
// login shell with "ulimit -Sn" gives it.
std::unique_ptr<ChildProcess> StartTapscopeLimited(int descriptors,
                                                   const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {
        "-c", "ulimit -Sn " + std::to_string(descriptors) + " && exec \"$0\" \"$@\" 2>&1",
        TAPSCOPE_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/bin/sh", shellArgs);
}

struct Finished {
    int status = -1;
    std::string output;
};

Finished RunToEnd(const std::vector<std::string>& args) {
    auto child = StartTapscope(args);
    child->CloseInput();
    Finished finished;
    finished.output = child->ReadAll();
    EXPECT_TRUE(child->Wait(kExitLimitMs, &finished.status));
    return finished;
}

class CommandLineTest : public ::testing::Test {
protected:
    TempDir m_dir;
    const std::string m_capture = m_dir.File("capture.bin");
};

TEST_F(CommandLineTest, UdpCaptureEndsCleanlyOnCtrlC) {
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing udp into " + m_capture, output)) << output;
    SendDatagram(port, "abc");
    SendDatagram(port, std::string("de\0f\r\n", 6));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture).size() == 9; }));
    kill(child->Pid(), SIGINT);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(ReadFile(m_capture), std::string("abcde\0f\r\n", 9));
    EXPECT_NE(output.find("captured 9 bytes in 2 blocks into " + m_capture), std::string::npos)
        << output;
}

TEST_F(CommandLineTest, TcpCaptureEndsCleanlyOnSigterm) {
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope({"capture", "tcp", "--ip", "127.0.0.1", "--port",
                                std::to_string(port), "--output", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client(io);
    client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::write(client, boost::asio::buffer(std::string("point of sale")));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture) == "point of sale"; }));
    kill(child->Pid(), SIGTERM);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("captured 13 bytes in 13 blocks"), std::string::npos) << output;
}

// A transport's message ends the capture with a non-zero status and says why.
TEST_F(CommandLineTest, FailuresEndWithStatusOneAndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        const char* said;
    };
    const Case cases[] = {
        // An address of a documentation network, on no interface here.
        {{"capture", "udp", "--ip", "192.0.2.1"}, "tapscope: bind: "},
        {{"capture", "com", "--port", m_dir.File("no-such-device")}, "tapscope: open: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", m_capture});
        const Finished finished = RunToEnd(args);
        EXPECT_EQ(finished.status, 1) << finished.output;
        EXPECT_NE(finished.output.find(c.said), std::string::npos) << finished.output;
        EXPECT_EQ(finished.output.find("capturing"), std::string::npos) << finished.output;
        // No totals of a capture that never began.
        EXPECT_EQ(finished.output.find("captured"), std::string::npos) << finished.output;
    }
}

TEST_F(CommandLineTest, ExistingFileIsKeptWithoutATerminal) {
    WriteFile(m_capture, "earlier");
    const Finished kept =
        RunToEnd({"capture", "udp", "--port", std::to_string(FreeUdpPort()), "-o", m_capture});
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.output.find(m_capture + " exists and is kept; give --overwrite to replace it"),
              std::string::npos)
        << kept.output;
    EXPECT_EQ(ReadFile(m_capture), "earlier");

    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope(
        {"capture", "udp", "--port", std::to_string(port), "--overwrite", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing", output)) << output;
    EXPECT_FALSE(std::filesystem::exists(m_capture));
    SendDatagram(port, "new");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture) == "new"; }));
    kill(child->Pid(), SIGINT);
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0);
}

// Values no transport could use are usage errors: status 2, a text that
// names the option and what it takes, and nothing opened or written.
TEST_F(CommandLineTest, UsageErrorsEndWithStatusTwoAndSayWhatIsAccepted) {
    struct Case {
        std::vector<std::string> args;
        const char* said;
    };
    const Case cases[] = {
        {{"capture", "udp", "--port", "70000"}, "Enter an integer between 1 and 65535."},
        {{"capture", "com", "--port", "COM0"}, "--port 'COM0': give COM1 to COM255"},
        {{"capture", "com", "--charsize", "9"}, "--charsize '9': give 5, 6, 7 or 8 data bits"},
        // Once bound port 7 past the port check, through the quote.
        {{"capture", "udp", "--ip", "0.0.0.0\" port=\"7"},
         "--ip '0.0.0.0\" port=\"7': give a numeric IPv4 or IPv6 address"},
        {{"capture", "udp", "--settings", "garbage"},
         "--settings: not a well-formed settings document"},
        {{"capture", "tcp", "--settings", "<settings port=\"9000\" />"},
         "--settings: the settings element lacks the attribute ip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", m_capture});
        const Finished finished = RunToEnd(args);
        EXPECT_EQ(finished.status, 2) << finished.output;
        EXPECT_NE(finished.output.find(c.said), std::string::npos) << finished.output;
        EXPECT_NE(finished.output.find("Try 'tapscope --help'."), std::string::npos)
            << finished.output;
        EXPECT_EQ(finished.output.find("capturing"), std::string::npos) << finished.output;
        EXPECT_FALSE(std::filesystem::exists(m_capture));
    }
}

TEST_F(CommandLineTest, HelpFromEveryPlaceNamesDevicesAndStatuses) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"capture", "--help"}, {"capture", "udp", "--help"}, {"capture", "-h"}}) {
        SCOPED_TRACE(args.back() + " after " + std::to_string(args.size() - 1) + " words");
        const Finished finished = RunToEnd(args);
        EXPECT_EQ(finished.status, 0) << finished.output;
        for (const char* part : {"Usage: tapscope", "TAPSCOPE_DEVICES", "tapscope/devices",
                                 "Exit status:", "SIGHUP"}) {
            EXPECT_NE(finished.output.find(part), std::string::npos) << part;
        }
    }
}

// "tapscope" over SSH: no display, so no window, and a status and text that
// say where to go instead of Qt's abort.
TEST_F(CommandLineTest, TheWindowWithoutADisplaySaysSoAndEndsWithStatusTwo) {
    struct Case {
        const char* environment;  // shell assignments before the program runs
        const char* said;
    };
    const Case cases[] = {
        {"unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM", "neither DISPLAY nor WAYLAND_DISPLAY"},
        // A display that is named but answers nobody: Qt's plugin fails.
        {"unset WAYLAND_DISPLAY; export QT_QPA_PLATFORM=xcb DISPLAY=/nonexistent/socket:0",
         "the window system could not be reached"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.environment);
        ChildProcess child(
            "/bin/sh", {"-c", std::string(c.environment) + "; exec \"$0\" 2>&1", TAPSCOPE_PROGRAM});
        child.CloseInput();
        const std::string output = child.ReadAll();
        int status = -1;
        ASSERT_TRUE(child.Wait(kExitLimitMs, &status));
        EXPECT_EQ(status, 2) << output;
        EXPECT_NE(output.find("no display to open the capture window on"), std::string::npos)
            << output;
        EXPECT_NE(output.find(c.said), std::string::npos) << output;
        EXPECT_NE(output.find("tapscope capture udp"), std::string::npos) << output;
    }
}

TEST_F(CommandLineTest, RolloverOptionsAreCheckedBeforeAnythingStarts) {
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"--keep", "3"}, "--keep needs --rotate-size or --rotate-every"},
        {{"--rotate-size", "0"}, "--rotate-size: '0' is not a whole number of MiB"},
        {{"--rotate-every=5x"}, "--rotate-every: '5x' is not a time such as 90s"},
        {{"--rotate-every", "1h", "--keep", "0"}, "--keep: '0' is not a whole number"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"capture", "udp", "--port", "9"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished refused = RunToEnd(args);
        EXPECT_EQ(refused.status, 2) << refused.output;
        EXPECT_NE(refused.output.find(c.said), std::string::npos) << refused.output;
    }
}

TEST_F(CommandLineTest, ReadSizeValuesAreCheckedBeforeAnythingStarts) {
    const std::string range = "is not a whole number of bytes from 1 to 65536";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"capture", "tcp", "--read-size", "0"}, "--read-size: '0' " + range},
        {{"capture", "tcp", "--read-size", "65537"}, "--read-size: '65537' " + range},
        {{"capture", "com", "--read-size=-1"}, "--read-size: '-1' " + range},
        {{"capture", "com", "--read-size", "4k"}, "--read-size: '4k' " + range},
        {{"capture", "tcp", "--read-size", "99999999999999999999"},
         "--read-size: '99999999999999999999' " + range},
        {{"capture", "tcp", "--read-size="}, "--read-size: '' " + range},
        {{"capture", "tcp", "--read-size"}, "--read-size needs a value"},
        {{"capture", "udp", "--read-size", "4096"},
         "--read-size applies to com and tcp captures only"},
    };
    for (const auto& c : cases) {
        const Finished refused = RunToEnd(c.args);
        EXPECT_EQ(refused.status, 2) << refused.output;
        EXPECT_NE(refused.output.find(c.said), std::string::npos) << refused.output;
        EXPECT_EQ(refused.output.find("capturing"), std::string::npos) << refused.output;
    }
}

// A capture file that cannot be created is a usage error found at Start:
// status 2, the path and the reason, and no capture reported.
TEST_F(CommandLineTest, UnwritableCaptureFileEndsWithStatusTwoBeforeCapturing) {
    const std::string capture = m_dir.File("no/such/dir/out.bin");
    const Finished refused =
        RunToEnd({"capture", "udp", "--port", std::to_string(FreeUdpPort()), "-o", capture});
    EXPECT_EQ(refused.status, 2) << refused.output;
    EXPECT_NE(refused.output.find(capture + ": No such file or directory"), std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.output.find("capturing"), std::string::npos) << refused.output;
    EXPECT_EQ(refused.output.find("captured"), std::string::npos) << refused.output;
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("no")));
}

// "-o -": the bytes go to standard output, and every other line to standard
// error.
TEST_F(CommandLineTest, CaptureToStandardOutput) {
    const std::string errors = m_dir.File("errors.txt");
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscopeErrorsTo(
        errors, {"capture", "udp", "--port", std::to_string(port), "-o", "-"});
    ASSERT_TRUE(WaitUntil([&] {
        return ReadFile(errors).find("capturing udp into standard output") != std::string::npos;
    })) << ReadFile(errors);
    SendDatagram(port, "abc\n");
    EXPECT_EQ(child->ReadLine(), "abc");
    SendDatagram(port, "de\n");
    EXPECT_EQ(child->ReadLine(), "de");
    kill(child->Pid(), SIGINT);
    EXPECT_EQ(child->ReadAll(), "");
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << ReadFile(errors);
    EXPECT_NE(ReadFile(errors).find("captured 7 bytes in 2 blocks into standard output"),
              std::string::npos)
        << ReadFile(errors);
}

// A FIFO as capture file: without a reader a block is reported and a signal
// still ends the capture; with a reading program the bytes stream to it; a
// reader that goes away ends the capture with a message and status 1, never
// with SIGPIPE.
TEST_F(CommandLineTest, PipeCaptureEndsWhateverTheReaderDoes) {
    const std::string fifo = m_dir.File("capture.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unsigned short port = FreeUdpPort();
    auto child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", fifo});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing", output)) << output;
    SendDatagram(port, "nobody reads this");
    ASSERT_TRUE(ReadUntil(*child, "no program has the pipe open for reading", output)) << output;
    kill(child->Pid(), SIGTERM);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("1 block was dropped"), std::string::npos) << output;

    // A real reader that takes three bytes and leaves; it has the FIFO open
    // once it says "ready".
    ChildProcess reader("/bin/sh", {"-c", "exec 3<>\"$0\"; echo ready; head -c 3 <&3", fifo});
    ASSERT_EQ(reader.ReadLine(), "ready");
    port = FreeUdpPort();
    child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", fifo});
    output.clear();
    ASSERT_TRUE(ReadUntil(*child, "capturing", output)) << output;
    SendDatagram(port, "abc");
    EXPECT_EQ(reader.ReadAll(), "abc");
    // Until the capture learns that the reader has gone.
    ASSERT_TRUE(WaitUntil([&] {
        SendDatagram(port, "more");
        return child->Wait(10, &status);
    }));
    output += child->ReadAll();
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find(fifo + ": Broken pipe"), std::string::npos) << output;
}

// A TCP client that closes its connection ends the capture as it is meant to
// end: the client is named, and the status is 0.
TEST_F(CommandLineTest, AClientThatClosesEndsTheCaptureWithStatusZeroAndIsNamed) {
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope({"capture", "tcp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    std::string peer;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        peer = "127.0.0.1:" + std::to_string(client.local_endpoint().port());
        boost::asio::write(client, boost::asio::buffer(std::string("receipt")));
    }
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("tapscope: client " + peer + " closed the connection\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("End of file"), std::string::npos) << output;
    EXPECT_EQ(ReadFile(m_capture), "receipt");
}

// With --read-size 65536 the program's file holds exactly what a client sent,
// a few hundred KiB, in far fewer blocks than bytes.
TEST_F(CommandLineTest, ALargeReadSizeCapturesTheSameBytesInFewerBlocks) {
    constexpr std::size_t kBytes = 300 * 1024;
    std::string sent(kBytes, '\0');
    for (std::size_t i = 0; i < kBytes; ++i) {
        sent[i] = static_cast<char>((i * 131 + i / 7) % 256);
    }
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope({"capture", "tcp", "--port", std::to_string(port), "--read-size",
                                "65536", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        for (std::size_t at = 0; at < kBytes; at += 5000) {
            boost::asio::write(client, boost::asio::buffer(sent.substr(at, 5000)));
        }
    }
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(ReadFile(m_capture) == sent) << ReadFile(m_capture).size() << " bytes";
    const std::string said = "captured " + std::to_string(kBytes) + " bytes in ";
    const std::size_t at = output.find(said);
    ASSERT_NE(at, std::string::npos) << output;
    const unsigned long blocks = std::stoul(output.substr(at + said.size()));
    EXPECT_GE(blocks, kBytes / 65536);
    EXPECT_LT(blocks, kBytes / 2) << output;
}

// The same through a serial port (one end of a socat pseudo-terminal pair):
// the file holds what the device sent, and a read took more than one byte.
TEST_F(CommandLineTest, ASerialCaptureWithAReadSizeTakesBlocks) {
    SocatPty pty;
    if (!pty.Ok()) {
        GTEST_SKIP() << pty.Error();
    }
    std::string sent;
    for (int i = 0; i < 3000; ++i) {
        sent += static_cast<char>(i % 251);
    }
    auto child = StartTapscope(
        {"capture", "com", "--port", pty.DevicePath(), "--read-size", "4096", "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing com", output)) << output;
    ASSERT_TRUE(pty.Write(sent));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_capture).size() >= sent.size(); }));
    kill(child->Pid(), SIGTERM);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(ReadFile(m_capture) == sent) << ReadFile(m_capture).size() << " bytes";
    const std::string said = "captured 3000 bytes in ";
    const std::size_t at = output.find(said);
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_LT(std::stoul(output.substr(at + said.size())), 3000u) << output;
}

// Two clients send far more than a capture that reads one byte at a time has
// read when Ctrl-C comes: every byte the system accepted from them is in the
// file all the same, and the totals say how much the stop read.
TEST_F(CommandLineTest, CtrlCWritesWhatTheClientsHadAlreadySent) {
    // Small enough that both wait whole in loopback receive queues.
    constexpr std::size_t kBytes = 40 * 1024;
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscope({"capture", "tcp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket lower(io);
    boost::asio::ip::tcp::socket upper(io);
    lower.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    upper.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    std::string lowerText;
    std::string upperText;
    for (std::size_t i = 0; i < kBytes; ++i) {
        lowerText += static_cast<char>('a' + i % 26);
        upperText += static_cast<char>('A' + i % 26);
    }
    boost::asio::write(lower, boost::asio::buffer(lowerText));
    boost::asio::write(upper, boost::asio::buffer(upperText));
    kill(child->Pid(), SIGINT);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    std::string lowerSeen;
    std::string upperSeen;
    for (char byte : ReadFile(m_capture)) {
        (std::islower(static_cast<unsigned char>(byte)) ? lowerSeen : upperSeen) += byte;
    }
    EXPECT_TRUE(lowerSeen == lowerText) << lowerSeen.size() << " of " << kBytes;
    EXPECT_TRUE(upperSeen == upperText) << upperSeen.size() << " of " << kBytes;
    EXPECT_NE(output.find("captured " + std::to_string(2 * kBytes) + " bytes"), std::string::npos)
        << output;
    EXPECT_NE(output.find("had arrived before the stop and were read after it"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("left behind"), std::string::npos) << output;
}

// The same for datagrams that wait in the socket when SIGTERM comes.
TEST_F(CommandLineTest, SigtermWritesTheDatagramsThatHadAlreadyArrived) {
    constexpr int kDatagrams = 2000;
    const unsigned short port = FreeUdpPort();
    auto child = StartTapscope({"capture", "udp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing udp", output)) << output;
    std::string expected;
    for (int i = 0; i < kDatagrams; ++i) {
        const std::string payload = "<" + std::to_string(i) + ">";
        SendDatagram(port, payload);
        expected += payload;
    }
    kill(child->Pid(), SIGTERM);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    const std::string content = ReadFile(m_capture);
    EXPECT_TRUE(content == expected) << content.size() << " of " << expected.size() << " bytes";
    EXPECT_NE(output.find("captured " + std::to_string(expected.size()) + " bytes in " +
                          std::to_string(kDatagrams) + " blocks"),
              std::string::npos)
        << output;
}

// Under a soft limit of 64 open files, a hundred idle clients do not keep
// the next one from being captured: the limit is raised at start.
TEST_F(CommandLineTest, AnIdleCrowdBeyondTheSoftDescriptorLimitIsServed) {
    constexpr int kIdle = 100;
    const unsigned short port = FreeTcpPort();
    auto child = StartTapscopeLimited(
        64, {"capture", "tcp", "--port", std::to_string(port), "-o", m_capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing tcp", output)) << output;
    boost::asio::io_context io;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<boost::asio::ip::tcp::socket>(io));
        idle.back()->connect({boost::asio::ip::make_address("127.0.0.1"), port});
    }
    boost::asio::ip::tcp::socket last(io);
    last.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::write(last, boost::asio::buffer(std::string("last")));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(m_capture) == "last"; }));
    kill(child->Pid(), SIGINT);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(ReadFile(m_capture), "last");
}

}  // namespace
}  // namespace tapscope::testing

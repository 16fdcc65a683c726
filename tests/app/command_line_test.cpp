// The command line end to end: tapscope runs as a child process with its
// standard error joined to its output, and the tests read what it says.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/write.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;

// tapscope with |args|, its standard error going where its output goes.
std::unique_ptr<ChildProcess> StartTapscope(const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", TAPSCOPE_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/bin/sh", shellArgs);
}

// Reads lines until one contains |part|; every line read goes to |seen|.
bool ReadUntil(ChildProcess& child, const std::string& part, std::string& seen) {
    while (true) {
        const std::string line = child.ReadLine();
        if (line.empty() && child.ReadAll(0).empty()) {
            return seen.find(part) != std::string::npos;
        }
        seen += line + "\n";
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
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

// A transport's message ends the capture with a non-zero status; a transport
// that has nothing to do is reported as such.
TEST_F(CommandLineTest, FailuresEndWithStatusOneAndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        const char* said;
    };
    const Case cases[] = {
        {{"capture", "udp", "--ip", "localhost"}, "tapscope: "},
        {{"capture", "tcp", "--settings", "<settings ip=\"127.0.0.1"},
         "the tcp transport did not start and reported no error"},
        {{"capture", "com", "--settings", ""}, "the com transport did not start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", m_capture});
        const Finished finished = RunToEnd(args);
        EXPECT_EQ(finished.status, 1) << finished.output;
        EXPECT_NE(finished.output.find(c.said), std::string::npos) << finished.output;
        EXPECT_EQ(finished.output.find("capturing"), std::string::npos) << finished.output;
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

TEST_F(CommandLineTest, UsageErrorEndsWithStatusTwo) {
    const Finished wrong = RunToEnd({"capture", "udp", "--port", "70000"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.output.find("Enter an integer between 1 and 65535."), std::string::npos)
        << wrong.output;
}

}  // namespace
}  // namespace tapscope::testing

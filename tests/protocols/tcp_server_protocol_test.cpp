#include "protocols/tcp_server_protocol.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <future>
#include <thread>
#include <utility>

#include "platform/descriptors.h"
#include "protocols/detail/burst.h"
#include "tests/protocols/protocol_test_support.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

using boost::asio::ip::tcp;

class TcpServerProtocolTest : public ProtocolTest {
protected:
    // A started server on a port the system chose.
    std::shared_ptr<TCPServerProtocol> StartServer(Recorder*& recorder, int port = 0) {
        auto server = Make<TCPServerProtocol>(IpDocument("127.0.0.1", port));
        recorder = &Record(*server);
        EXPECT_TRUE(server->Start());
        return server;
    }

    // A client connected to |port| on 127.0.0.1.
    std::unique_ptr<tcp::socket> Connect(unsigned short port) {
        auto client = std::make_unique<tcp::socket>(m_clientIo);
        client->connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        return client;
    }

    static void Write(tcp::socket& client, const std::string& bytes) {
        boost::asio::write(client, boost::asio::buffer(bytes));
    }

    boost::asio::io_context m_clientIo;
};

TEST_F(TcpServerProtocolTest, ClientsAreCountedWhenTheServerStartsWaitingForTheNext) {
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    EXPECT_TRUE(server->IsStarted());
    const unsigned short port = server->LocalPort();
    ASSERT_NE(port, 0);
    RunWorker();
    auto first = Connect(port);
    Write(*first, "1");
    ASSERT_TRUE(recorder->WaitForBytes(1));
    auto second = Connect(port);
    Write(*second, "2");
    ASSERT_TRUE(recorder->WaitForBytes(2));
    server->Stop();
    EXPECT_FALSE(server->IsStarted());
    JoinWorker();
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                              "Start TCP Server with ADDRESS - [127.0.0.1] : PORT -  [0]",
                              "Client connect [1]",  // before any client came
                              "Client connect [2]",
                              "Success read [1] symbols from socket",
                              "Client connect [3]",
                              "Success read [1] symbols from socket",
                              "Disconnect client ... ",
                              "Disconnect client ... ",
                              "Disconnect client ... ",  // the one waiting in the accept
                              "Stop TCP Server",
                          }));
    // The listening socket is closed: a late client is refused, not accepted.
    tcp::socket late(m_clientIo);
    boost::system::error_code error;
    late.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port), error);
    EXPECT_EQ(error, boost::asio::error::connection_refused);
    EXPECT_TRUE(recorder->Messages().empty());
}

TEST_F(TcpServerProtocolTest, StartFailuresAreReportedWithTheLibrarysText) {
    std::string conversionError;
    try {
        boost::asio::ip::make_address("localhost");
    } catch (const std::exception& error) {
        conversionError = error.what();
    }
    tcp::acceptor taken(m_clientIo, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    const int takenPort = taken.local_endpoint().port();

    struct Case {
        std::string document;
        std::string message;  // empty: Start fails without a message
    } cases[] = {
        {"", ""},
        {"<settings ip=\"1\"2\" />", ""},  // not well-formed
        {IpDocument("localhost", 0), conversionError},
        {IpDocument("192.0.2.1", 0), "bind: Cannot assign requested address (192.0.2.1 port 0)"},
        {IpDocument("127.0.0.1", takenPort),
         "bind: Address already in use (127.0.0.1 port " + std::to_string(takenPort) + ")"},
        {IpDocument("127.0.0.1", 65536), "invalid port value 65536"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        auto server = Make<TCPServerProtocol>(c.document);
        Recorder& recorder = Record(*server);
        EXPECT_FALSE(server->Start());
        EXPECT_FALSE(server->IsStarted());
        if (c.message.empty()) {
            EXPECT_TRUE(recorder.Messages().empty());
        } else {
            ASSERT_EQ(recorder.Messages().size(), 1u);
            EXPECT_EQ(recorder.Messages()[0].text, c.message);
            EXPECT_EQ(recorder.Messages()[0].source, server.get());
        }
        server->Stop();
        EXPECT_EQ(CountOf(LogTexts(), "Client connect [1]"), 0);
    }
}

TEST_F(TcpServerProtocolTest, TwoClientsMayInterleaveButEachKeepsItsOrder) {
    constexpr int kBytes = 300;
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    RunWorker();
    auto lower = Connect(server->LocalPort());
    auto upper = Connect(server->LocalPort());
    std::string lowerText;
    std::string upperText;
    for (int i = 0; i < kBytes; ++i) {
        lowerText += static_cast<char>('a' + i % 26);
        upperText += static_cast<char>('A' + i % 26);
    }
    // Small writes from two threads, so that both connections are read at the
    // same time.
    auto writeInPieces = [](tcp::socket& client, const std::string& text) {
        for (std::size_t i = 0; i < text.size(); i += 10) {
            Write(client, text.substr(i, 10));
        }
    };
    std::thread lowerWriter([&] { writeInPieces(*lower, lowerText); });
    writeInPieces(*upper, upperText);
    lowerWriter.join();
    ASSERT_TRUE(recorder->WaitForBytes(2 * kBytes));
    std::string lowerSeen;
    std::string upperSeen;
    for (const auto& delivery : recorder->Deliveries()) {
        ASSERT_EQ(delivery.count, 1u);
        EXPECT_EQ(delivery.bufferSize, 1u);
        EXPECT_EQ(delivery.source, server.get());
        (std::islower(static_cast<unsigned char>(delivery.bytes[0])) ? lowerSeen : upperSeen) +=
            delivery.bytes;
    }
    EXPECT_EQ(lowerSeen, lowerText);
    EXPECT_EQ(upperSeen, upperText);
    server->Stop();
    JoinWorker();
    EXPECT_TRUE(recorder->Messages().empty());
}

// Every byte value, in an order no simple pattern repeats within a read.
std::string MixedBytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    unsigned state = seed;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

// A larger read size changes how the stream is cut into blocks, never its
// bytes: a few hundred KiB from one client come out the same with 1-byte
// reads as with 4 KiB and 64 KiB ones, and no block is larger than the size.
TEST_F(TcpServerProtocolTest, ALargerReadSizeDeliversTheSameBytesInFewerBlocks) {
    constexpr std::size_t kBytes = 256 * 1024;
    const std::string sent = MixedBytes(kBytes, 7);
    for (const std::size_t readSize : {std::size_t{1}, std::size_t{4096}, std::size_t{65536}}) {
        SCOPED_TRACE(readSize);
        auto server = Make<TCPServerProtocol>(IpDocument("127.0.0.1", 0));
        Recorder& recorder = Record(*server);
        server->SetReadSize(readSize);
        ASSERT_TRUE(server->Start());
        auto client = Connect(server->LocalPort());
        // Already waiting when the first read is made: that read takes all it
        // may at once.
        constexpr std::size_t kFirst = 8000;
        Write(*client, sent.substr(0, kFirst));
        RunWorker();
        std::thread writer([&] {
            for (std::size_t at = kFirst; at < kBytes; at += 3000) {
                Write(*client, sent.substr(at, 3000));
            }
        });
        writer.join();
        ASSERT_TRUE(recorder.WaitForBytes(kBytes));
        server->Stop();
        JoinWorker();
        EXPECT_TRUE(recorder.Bytes() == sent) << recorder.Bytes().size() << " bytes";
        const auto deliveries = recorder.Deliveries();
        for (const auto& delivery : deliveries) {
            ASSERT_GE(delivery.count, 1u);
            ASSERT_LE(delivery.count, readSize);
            ASSERT_EQ(delivery.bufferSize, readSize);
        }
        if (readSize == 1) {
            EXPECT_EQ(deliveries.size(), kBytes);
        } else {
            // At least what waited; more when the writer was quicker.
            EXPECT_GE(deliveries.front().count, std::min(kFirst, readSize));
            EXPECT_LT(deliveries.size(), kBytes / 2);
        }
        EXPECT_TRUE(recorder.Messages().empty());
        // One log line per block, as with single bytes (the test log keeps
        // too few lines to count a quarter of a million).
        const auto log = LogTexts();
        if (readSize == 1) {
            continue;
        }
        EXPECT_EQ(std::count_if(
                      log.begin(), log.end(),
                      [](const std::string& text) { return text.rfind("Success read [", 0) == 0; }),
                  static_cast<std::ptrdiff_t>(deliveries.size()));
    }
}

// With a slot for several blocks, the single bytes one burst reads come in one
// emission: each still its own block with its own read line, the connection
// as its source, in order; what a burst read before the client closed comes
// before the close; a byte that arrives alone still comes on the data signal.
TEST_F(TcpServerProtocolTest, ABurstOfSingleByteReadsComesInOneEmissionBeforeTheClose) {
    using tapscope::protocols::detail::kBurstLimit;
    auto server = Make<TCPServerProtocol>(IpDocument("127.0.0.1", 0));
    // What reached the slots, in order: "blocks N", "byte", "event".
    std::mutex lock;
    std::vector<std::string> order;
    std::string bytes;
    std::vector<std::uint64_t> connections;
    server->m_blocksSignal.connect([&](std::shared_ptr<AbstractProtocol>,
                                       const std::vector<AbstractProtocol::BlockView>& blocks) {
        std::lock_guard guard(lock);
        order.push_back("blocks " + std::to_string(blocks.size()));
        for (const auto& block : blocks) {
            EXPECT_EQ(block.count, 1u);
            ASSERT_NE(block.source, nullptr);
            EXPECT_EQ(block.source->kind, BlockSource::Kind::kTcp);
            connections.push_back(block.source->connection);
            bytes.append(block.data, block.count);
        }
    });
    server->m_dataSignal.connect([&](std::shared_ptr<AbstractProtocol>,
                                     const std::vector<char>& buffer, const unsigned int& count) {
        std::lock_guard guard(lock);
        order.push_back("byte");
        connections.push_back(AbstractProtocol::DeliveringSource()->connection);
        bytes.append(buffer.data(), count);
    });
    server->m_eventSignal.connect(
        [&](std::shared_ptr<AbstractProtocol>, const TransportEvent& event) {
            std::lock_guard guard(lock);
            if (event.kind == TransportEvent::Kind::kClientClosed) {
                order.push_back("closed");
            }
        });
    ASSERT_TRUE(server->Start());
    // Everything waits before the first read: three full bursts, then one
    // of four that meets the end of the stream.
    constexpr std::size_t kBytes = 3 * kBurstLimit + 4;
    const std::string sent = MixedBytes(kBytes, 11);
    auto first = Connect(server->LocalPort());
    Write(*first, sent);
    first->close();
    RunWorker();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return !order.empty() && order.back() == "closed";
    }));
    auto second = Connect(server->LocalPort());
    Write(*second, "z");
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        return bytes.size() == kBytes + 1;
    }));
    server->Stop();
    JoinWorker();
    std::lock_guard guard(lock);
    const std::string burst = "blocks " + std::to_string(kBurstLimit);
    EXPECT_EQ(order, (std::vector<std::string>{burst, burst, burst, "blocks 4", "closed", "byte"}));
    EXPECT_TRUE(bytes == sent + "z");
    std::vector<std::uint64_t> expected(kBytes, 1);
    expected.push_back(2);
    EXPECT_EQ(connections, expected);
    EXPECT_EQ(CountOf(LogTexts(), "Success read [1] symbols from socket"),
              static_cast<int>(kBytes + 1));
}

// Sizes outside 1 to 64 KiB are brought within them rather than refused: the
// command line has already said what it accepts.
TEST_F(TcpServerProtocolTest, AReadSizeOutsideItsBoundsIsKeptWithinThem) {
    for (const auto& [asked, used] : {std::pair<std::size_t, std::size_t>{0, 1},
                                      {1u << 20, TCPClientProtocol::kLargestReadSize}}) {
        SCOPED_TRACE(asked);
        auto server = Make<TCPServerProtocol>(IpDocument("127.0.0.1", 0));
        Recorder& recorder = Record(*server);
        server->SetReadSize(asked);
        ASSERT_TRUE(server->Start());
        auto client = Connect(server->LocalPort());
        Write(*client, "ab");
        RunWorker();
        ASSERT_TRUE(recorder.WaitForBytes(2));
        server->Stop();
        JoinWorker();
        EXPECT_EQ(recorder.Bytes(), "ab");
        EXPECT_EQ(recorder.Deliveries().front().bufferSize, used);
    }
}

// Two clients that send at the same time with 64 KiB reads: every block
// holds the bytes of one connection only, and each connection's blocks
// together are what it sent, in order.
TEST_F(TcpServerProtocolTest, LargeReadsOfTwoInterleavedClientsStayWholePerConnection) {
    constexpr std::size_t kBytes = 200 * 1024;
    Recorder* recorder = nullptr;
    auto server = Make<TCPServerProtocol>(IpDocument("127.0.0.1", 0));
    recorder = &Record(*server);
    server->SetReadSize(65536);
    ASSERT_TRUE(server->Start());
    RunWorker();
    auto lower = Connect(server->LocalPort());
    auto upper = Connect(server->LocalPort());
    std::string lowerText;
    std::string upperText;
    for (std::size_t i = 0; i < kBytes; ++i) {
        lowerText += static_cast<char>('a' + i % 26);
        upperText += static_cast<char>('A' + (i * 7) % 26);
    }
    auto writeInPieces = [](tcp::socket& client, const std::string& text) {
        for (std::size_t i = 0; i < text.size(); i += 1500) {
            Write(client, text.substr(i, 1500));
        }
    };
    std::thread lowerWriter([&] { writeInPieces(*lower, lowerText); });
    writeInPieces(*upper, upperText);
    lowerWriter.join();
    ASSERT_TRUE(recorder->WaitForBytes(2 * kBytes));
    server->Stop();
    JoinWorker();
    std::string lowerSeen;
    std::string upperSeen;
    for (const auto& delivery : recorder->Deliveries()) {
        const auto isLower = [](char c) { return std::islower(static_cast<unsigned char>(c)); };
        const std::size_t lowers =
            std::count_if(delivery.bytes.begin(), delivery.bytes.end(), isLower);
        ASSERT_TRUE(lowers == 0 || lowers == delivery.bytes.size())
            << "a block of " << delivery.count << " bytes mixes both connections";
        (lowers > 0 ? lowerSeen : upperSeen) += delivery.bytes;
    }
    EXPECT_TRUE(lowerSeen == lowerText);
    EXPECT_TRUE(upperSeen == upperText);
    EXPECT_TRUE(recorder->Messages().empty());
}

// A client that closes its end is news, not an error: an event that names it,
// and no message.
TEST_F(TcpServerProtocolTest, AClientThatClosesIsReportedByItsAddressAsAnEvent) {
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    RunWorker();
    auto first = Connect(server->LocalPort());
    Write(*first, "y");
    ASSERT_TRUE(recorder->WaitForBytes(1));
    auto client = Connect(server->LocalPort());
    const std::string peer = "127.0.0.1:" + std::to_string(client->local_endpoint().port());
    Write(*client, "z");
    ASSERT_TRUE(recorder->WaitForBytes(2));
    client->close();
    // Each client's arrival is told before its bytes, then the close.
    ASSERT_TRUE(recorder->WaitForEvents(3));
    const auto events = recorder->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].event.kind, TransportEvent::Kind::kClientConnected);
    EXPECT_EQ(events[0].event.connection, 1u);
    EXPECT_EQ(events[1].event.kind, TransportEvent::Kind::kClientConnected);
    EXPECT_EQ(events[1].event.text, "client " + peer + " connected");
    EXPECT_EQ(events[2].source, server.get());
    EXPECT_EQ(events[2].event.kind, TransportEvent::Kind::kClientClosed);
    EXPECT_EQ(events[2].event.source, peer);
    EXPECT_EQ(events[2].event.connection, 2u);
    EXPECT_EQ(events[2].event.text, "client " + peer + " closed the connection");
    server->Stop();
    JoinWorker();
    const auto log = LogTexts();
    // Once when the client closed, once at Stop for the first client and
    // once for the one waiting in the accept; the closed connection is not
    // disconnected twice.
    EXPECT_EQ(CountOf(log, "Disconnect client ... "), 3);
    EXPECT_TRUE(recorder->Messages().empty());
    EXPECT_EQ(recorder->Events().size(), 3u);  // nothing after Stop
}

TEST_F(TcpServerProtocolTest, ASecondServerOnTheSamePortStartsCleanlyRightAfterStop) {
    // As the capture window does it: Stop, then stop the io_context, whose
    // worker returns at once; the aborted operations of the first server are
    // left in the io_context and complete while the second server runs.
    Recorder* firstRecorder = nullptr;
    auto first = StartServer(firstRecorder);
    const unsigned short port = first->LocalPort();
    RunWorker();
    auto firstClient = Connect(port);
    Write(*firstClient, "1");
    ASSERT_TRUE(firstRecorder->WaitForBytes(1));
    auto secondClientOfFirst = Connect(port);
    first->Stop();
    m_io.stop();
    JoinWorker();

    Recorder* secondRecorder = nullptr;
    auto second = StartServer(secondRecorder, port);
    EXPECT_TRUE(secondRecorder->Messages().empty());
    RunWorker();
    auto secondClient = Connect(port);
    Write(*secondClient, "2");
    ASSERT_TRUE(secondRecorder->WaitForBytes(1));
    // Clients of the first server that write or close now are not reported.
    boost::system::error_code ignored;
    boost::asio::write(*firstClient, boost::asio::buffer("late", 4), ignored);
    firstClient->close();
    secondClientOfFirst->close();
    second->Stop();
    JoinWorker();

    EXPECT_EQ(firstRecorder->Bytes(), "1");
    EXPECT_TRUE(firstRecorder->Messages().empty());
    EXPECT_EQ(secondRecorder->Bytes(), "2");
    EXPECT_TRUE(secondRecorder->Messages().empty());
}

TEST_F(TcpServerProtocolTest, StopReturnsWhileASlotIsBlockedOnTheWorker) {
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    recorder->OnData([&] {
        if (calls.fetch_add(1) == 0) {
            entered.set_value();
            released.wait();  // as a slot waiting for the operator would
        }
    });
    RunWorker();
    auto client = Connect(server->LocalPort());
    Write(*client, "ab");
    entered.get_future().wait();
    auto another = Connect(server->LocalPort());

    auto stopped = std::async(std::launch::async, [&] { server->Stop(); });
    const bool returned = stopped.wait_for(kWaitLimit) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(returned) << "Stop waited for the blocked slot";
    stopped.wait();
    JoinWorker();
    EXPECT_EQ(recorder->Bytes(), "a");
    EXPECT_TRUE(recorder->Messages().empty());
}

// The capture ends while what two clients sent waits unread: the worker is
// held in the slot of the first byte, one client is connected and read, the
// other still waits in the listen queue. The drain delivers every byte, each
// client's in order, in larger blocks.
TEST_F(TcpServerProtocolTest, TheDrainDeliversWhatTheClientsSentBeforeTheEnd) {
    // Small enough to wait whole in a loopback connection's receive queue.
    constexpr std::size_t kBytes = 32 * 1024;
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    FirstDeliveryGate gate(*recorder);
    RunWorker();
    auto first = Connect(server->LocalPort());
    Write(*first, "a");
    ASSERT_TRUE(gate.WaitUntilHeld());
    auto second = Connect(server->LocalPort());
    std::string lowerText;
    std::string upperText;
    for (std::size_t i = 0; i < kBytes; ++i) {
        lowerText += static_cast<char>('a' + i % 26);
        upperText += static_cast<char>('A' + i % 26);
    }
    Write(*first, lowerText);
    Write(*second, upperText);

    const auto drained = DrainAndWait(*server, NoDeadline(), [&] { gate.Release(); });
    ASSERT_TRUE(drained.has_value());
    server->Stop();
    JoinWorker();
    EXPECT_EQ(drained->drainedBytes, 2 * kBytes);
    EXPECT_EQ(drained->leftBytes, 0u);
    std::string lowerSeen;
    std::string upperSeen;
    std::size_t largest = 0;
    for (const auto& delivery : recorder->Deliveries()) {
        EXPECT_EQ(delivery.source, server.get());
        largest = std::max<std::size_t>(largest, delivery.count);
        for (char byte : delivery.bytes) {
            (std::islower(static_cast<unsigned char>(byte)) ? lowerSeen : upperSeen) += byte;
        }
    }
    EXPECT_EQ(lowerSeen, "a" + lowerText);
    EXPECT_TRUE(upperSeen == upperText) << upperSeen.size() << " of " << upperText.size();
    EXPECT_GT(largest, 1u);
    EXPECT_TRUE(recorder->Messages().empty());
}

// A drain whose time is up reads nothing more and counts what it leaves.
TEST_F(TcpServerProtocolTest, ADrainOutOfTimeCountsWhatItLeaves) {
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    FirstDeliveryGate gate(*recorder);
    RunWorker();
    auto client = Connect(server->LocalPort());
    Write(*client, "1");
    ASSERT_TRUE(gate.WaitUntilHeld());
    Write(*client, "23456");
    const auto drained =
        DrainAndWait(*server, std::chrono::steady_clock::now(), [&] { gate.Release(); });
    ASSERT_TRUE(drained.has_value());
    server->Stop();
    JoinWorker();
    EXPECT_EQ(drained->drainedBytes, 0u);
    EXPECT_EQ(drained->leftBytes, 5u);
    EXPECT_EQ(recorder->Bytes(), "1");
}

// With no descriptor left for a new client, the clients already connected
// are still captured and the next one is taken once a descriptor is free.
TEST_F(TcpServerProtocolTest, NoDescriptorForANewClientDoesNotEndTheCapture) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build also checks dynamic types, and that check opens a
    // pipe: with every descriptor taken it reports objects it cannot read.
    GTEST_SKIP() << "takes every descriptor, which the sanitizers' own checks need";
#endif
    Recorder* recorder = nullptr;
    auto server = StartServer(recorder);
    RunWorker();
    auto first = Connect(server->LocalPort());
    Write(*first, "1");
    ASSERT_TRUE(recorder->WaitForBytes(1));
    // Only the descriptors open now, so that the server cannot accept.
    tcp::socket second(m_clientIo);
    second.open(tcp::v4());
    int error = 0;
    // The lowest descriptor free: the next accept would get it or a higher one.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    platform::OpenFileLimit before;
    ASSERT_TRUE(platform::RaiseOpenFileLimit(before, error));
    ASSERT_TRUE(platform::SetOpenFileLimit(static_cast<std::uint64_t>(lowestFree), error)) << error;
    // Any descriptor below the limit that another thread let go meanwhile is
    // taken too, so that none is left for the accept.
    struct Restore {
        std::uint64_t soft;
        std::vector<int> held;
        ~Restore() {
            for (int fd : held) {
                ::close(fd);
            }
            int ignored = 0;
            platform::SetOpenFileLimit(soft, ignored);
        }
    } restore{before.soft, {}};
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
        restore.held.push_back(fd);
    }
    second.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server->LocalPort()));
    Write(second, "2");
    Write(*first, "3");
    ASSERT_TRUE(recorder->WaitForBytes(2));
    // The limit stays until the accept has met it: the worker may come to the
    // new client only after the first client's byte.
    std::vector<std::string> log;
    auto refused = [&] {
        return std::count_if(log.begin(), log.end(), [](const std::string& text) {
            return text.find("Cannot accept another client") != text.npos;
        });
    };
    ASSERT_TRUE(WaitUntil([&] {
        for (std::string& text : LogTexts()) {
            log.push_back(std::move(text));
        }
        return refused() > 0;
    }));
    ASSERT_TRUE(platform::SetOpenFileLimit(before.soft, error));
    ASSERT_TRUE(recorder->WaitForBytes(3));
    server->Stop();
    JoinWorker();
    EXPECT_EQ(recorder->Bytes(), "132");
    EXPECT_TRUE(recorder->Messages().empty());
    for (std::string& text : LogTexts()) {
        log.push_back(std::move(text));
    }
    EXPECT_EQ(refused(), 1);
}

}  // namespace
}  // namespace tapscope::testing

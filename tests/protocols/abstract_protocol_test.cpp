#include "protocols/abstract_protocol.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <boost/asio/ip/udp.hpp>

#include "protocols/serial_protocol.h"
#include "protocols/settings_document.h"
#include "protocols/tcp_server_protocol.h"
#include "protocols/udp_protocol.h"
#include "tests/protocols/protocol_test_support.h"
#include "tests/support/debug_capture.h"

namespace tapscope::testing {
namespace {

using AbstractProtocolTest = ProtocolTest;

TEST_F(AbstractProtocolTest, ADocumentThatIsNotWellFormedIsReportedOnceAndLeavesNoSettings) {
    struct Case {
        std::string document;
        bool wellFormed;
    } cases[] = {
        {"", true},
        {"<settings ip=\"127.0.0.1\" port=\"8001\" />", true},
        {"<other />", true},
        {"<settings ip=\"1\"2\" />", false},  // a value with a double quote in it
        {"<settings", false},
        {"plain text", false},
        {"<settings a=\"1\"/><settings/>", true},  // the parser takes several elements
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        DebugCapture debug;
        // Every transport parses the document the same way, in the base.
        MakeProtocol<UDPProtocol>(m_io, c.document);
        MakeProtocol<TCPServerProtocol>(m_io, c.document);
        MakeProtocol<SerialProtocol>(m_io, c.document);
        const int expected = c.wellFormed ? 0 : 3;
        EXPECT_EQ(debug.Count("Error in parse config."), expected);
        int errorLines = 0;
        for (const std::string& line : ZelLog::CDebugTestAccess::TakeQueue(*m_log)) {
            if (line.find("#* ERROR *#") != std::string::npos) {
                ++errorLines;
                EXPECT_NE(
                    line.find(" #* ERROR *# Error in parse config. (file:abstract_protocol.cpp "),
                    std::string::npos)
                    << line;
            }
        }
        EXPECT_EQ(errorLines, expected);
    }
}

// Documents over the size or nesting bound are refused before the reader
// sees them, with the behaviour of any document that cannot be parsed.
TEST_F(AbstractProtocolTest, ADocumentTooLargeOrTooDeepIsRefusedAsNotWellFormed) {
    const std::string element = "<settings ip=\"127.0.0.1\" port=\"8001\" />";
    std::string largest = element;
    largest.resize(kMaxSettingsDocumentSize, ' ');
    std::string deepest = element;
    for (int i = 1; i < kMaxSettingsDocumentDepth; ++i) {
        deepest = "<settings>" + deepest + "</settings>";
    }
    struct Case {
        std::string name;
        std::string document;
        bool refused;
    } cases[] = {
        {"largest", largest, false},
        {"one byte over", largest + " ", true},
        {"deepest", deepest, false},
        {"one level over", "<a>" + deepest + "</a>", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DebugCapture debug;
        MakeProtocol<UDPProtocol>(m_io, c.document);
        EXPECT_EQ(debug.Count("Error in parse config."), c.refused ? 1 : 0);
        const std::vector<std::string> log = LogTexts();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& text) {
                                    return text.find("Error in parse config.") != text.npos;
                                }),
                  c.refused ? 1 : 0);
    }
}

// "<a><a><a>..." twenty thousand deep, built on a thread with a small stack:
// the reader would recurse once per element and overflow it.
TEST_F(AbstractProtocolTest, ADeeplyNestedDocumentDoesNotExhaustASmallStack) {
    constexpr std::size_t kSmallStack = 256 * 1024;
    struct Run {
        boost::asio::io_context* io;
        bool refused = false;
    } run{&m_io};
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* argument) -> void* {
                      auto* run = static_cast<Run*>(argument);
                      std::string nested;
                      for (int i = 0; i < 20000; ++i) {
                          nested += "<a>";
                      }
                      DebugCapture debug;
                      MakeProtocol<UDPProtocol>(*run->io, nested);
                      run->refused = debug.Count("Error in parse config.") == 1;
                      return nullptr;
                  },
                  &run),
              0);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_TRUE(run.refused);
}

// A transport whose Stop fails, to see where the failure goes.
class FailingStop : public AbstractProtocol, public std::enable_shared_from_this<FailingStop> {
public:
    using AbstractProtocol::AbstractProtocol;
    bool Start() override { return true; }
    void Stop() override { ReportMessage(weak_from_this().lock(), "close: Bad file descriptor"); }
};

TEST_F(AbstractProtocolTest, AStopFailureDuringReleaseIsLoggedNotEmitted) {
    std::shared_ptr<AbstractProtocol> protocol = MakeProtocol<FailingStop>(m_io, "");
    std::vector<std::string> messages;
    protocol->m_messageSignal.connect(
        [&](std::shared_ptr<AbstractProtocol> source, const std::string& text) {
            EXPECT_EQ(source, protocol);
            messages.push_back(text);
        });
    protocol->Stop();
    EXPECT_EQ(messages, std::vector<std::string>{"close: Bad file descriptor"});
    EXPECT_TRUE(LogTexts().empty());

    protocol.reset();  // Release: Stop fails again, with no source to name
    EXPECT_EQ(messages.size(), 1u);
    const auto lines = ZelLog::CDebugTestAccess::TakeQueue(*m_log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" #* ERROR *# close: Bad file descriptor (file:"), std::string::npos)
        << lines[0];
}

TEST_F(AbstractProtocolTest, AnOwnerMayLetGoWhileAReadIsPendingEvenInsideASlot) {
    std::weak_ptr<AbstractProtocol> watch;
    std::vector<std::string> messages;
    unsigned short port = 0;
    {
        auto udp = MakeProtocol<UDPProtocol>(m_io, IpDocument("127.0.0.1", 0));
        watch = udp;
        // The slot stops the capture, as the capture window does on a message.
        udp->m_dataSignal.connect([](std::shared_ptr<AbstractProtocol> source,
                                     const std::vector<char>&,
                                     const unsigned int&) { source->Stop(); });
        udp->m_messageSignal.connect([&](std::shared_ptr<AbstractProtocol>,
                                         const std::string& text) { messages.push_back(text); });
        ASSERT_TRUE(udp->Start());
        port = udp->LocalPort();
    }
    // The pending receive holds the transport.
    ASSERT_FALSE(watch.expired());
    boost::asio::io_context clientIo;
    boost::asio::ip::udp::socket sender(clientIo, boost::asio::ip::udp::v4());
    sender.send_to(boost::asio::buffer("!", 1), {boost::asio::ip::make_address("127.0.0.1"), port});
    // Runs until the receive completes; the slot stops the transport, no
    // receive is armed again and the last reference goes: Release.
    m_io.restart();
    m_io.run();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(messages.empty());
    const auto log = LogTexts();
    EXPECT_EQ(CountOf(log, "Success read [1] symbols from socket"), 1);
    EXPECT_EQ(CountOf(log, "Stop UDP Server"), 1);  // Release's Stop finds it closed
}

}  // namespace
}  // namespace tapscope::testing

#include "protocols/serial_protocol.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/descriptors.h"
#include "tests/protocols/protocol_test_support.h"
#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

// "COM7" is one end of a socat pseudo-terminal pair, through a device folder
// of our own: no test ever opens a real serial device.
class SerialProtocolTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        if (!m_pty.Ok()) {
            GTEST_SKIP() << m_pty.Error();
        }
        std::filesystem::create_symlink(m_pty.DevicePath(), m_devices.File("com7"));
        // COM8 maps to a device that does not exist.
        std::filesystem::create_symlink(m_devices.File("absent"), m_devices.File("com8"));
    }

    static std::string Document(const std::string& port, const std::string& baudrate,
                                const std::string& charsize, const std::string& parity,
                                const std::string& stopbits) {
        return "<settings port=\"" + port + "\" baudrate=\"" + baudrate + "\" charsize=\"" +
               charsize + "\" parity=\"" + parity + "\" stopbits=\"" + stopbits + "\" />";
    }

    SocatPty m_pty;
    TempDir m_devices;
    EnvGuard m_devicesEnv{"TAPSCOPE_DEVICES", m_devices.Path()};
};

TEST_F(SerialProtocolTest, LineSettingsAreCheckedInOrderAndTheirFailuresReported) {
    struct Case {
        std::string document;
        std::string message;  // empty: Start succeeds (or fails silently)
        bool started;
        bool portLeftOpen;  // Stop then logs "COM Port Disconnects"
    } cases[] = {
        {Document("COM7", "9600", "8", "0", "0"), "", true, true},
        {Document("COM7", " 115200 ", "8", "2", "2"), "", true, true},
        {Document("COM7", "9600", "5", "1", "0"), "", true, true},  // a pty reads 5 back as 8
        {"", "", false, false},
        {"<settings port=\"COM7\" />", "No such node (settings.<xmlattr>.baudrate)", false, false},
        {Document("COM7", "9600x", "8", "0", "0"), "conversion of data to type \"i\" failed", false,
         false},
        // Parity and stop bits fail before the port is touched: COM8 cannot
        // be opened, yet their own texts come.
        {Document("COM8", "9600", "8", "3", "0"), "invalid parity value", false, false},
        {Document("COM8", "9600", "8", "-1", "0"), "invalid parity value", false, false},
        {Document("COM8", "9600", "8", "0", "3"), "invalid stop_bits value", false, false},
        // The character size is checked after the port is open.
        {Document("COM8", "9600", "9", "0", "0"),
         "open: No such file or directory (" + m_devices.File("com8") + " for COM8)", false, false},
        {Document("COM7", "9600", "9", "0", "0"), "invalid character_size value", false, true},
        {Document("COM7", "9600", "4", "0", "0"), "invalid character_size value", false, true},
        // What a pseudo-terminal refuses.
        {Document("COM7", "9600", "8", "0", "1"), "set_option: Operation not supported", false,
         true},
        {Document("COM7", "9600", "7", "0", "0"), "set_option: Invalid argument", false, true},
        {Document("COM7", "9600", "6", "0", "0"), "set_option: Invalid argument", false, true},
        {Document("COM7", "12345", "8", "0", "0"), "set_option: Invalid argument", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        auto serial = Make<SerialProtocol>(c.document);
        Recorder& recorder = Record(*serial);
        EXPECT_EQ(serial->Start(), c.started);
        if (c.message.empty()) {
            EXPECT_TRUE(recorder.Messages().empty());
        } else {
            ASSERT_EQ(recorder.Messages().size(), 1u);
            EXPECT_EQ(recorder.Messages()[0].text, c.message);
            EXPECT_EQ(recorder.Messages()[0].source, serial.get());
        }
        LogTexts();
        serial->Stop();
        serial->Stop();
        const auto log = LogTexts();
        EXPECT_EQ(log.size(), c.portLeftOpen ? 1u : 0u);
        EXPECT_EQ(CountOf(log, "COM Port Disconnects"), c.portLeftOpen ? 1 : 0);
        EXPECT_EQ(recorder.Messages().size(), c.message.empty() ? 0u : 1u);
    }
}

TEST_F(SerialProtocolTest, EveryByteIsOneDeliveryAsSoonAsItArrives) {
    auto serial = Make<SerialProtocol>(Document("COM7", "9600", "8", "0", "0"));
    Recorder& recorder = Record(*serial);
    ASSERT_TRUE(serial->Start());
    RunWorker();
    ASSERT_TRUE(m_pty.Write(std::string("a\0\xff", 3)));
    ASSERT_TRUE(recorder.WaitForBytes(3));
    ASSERT_TRUE(m_pty.Write("\r\n"));  // raw: nothing translated
    ASSERT_TRUE(recorder.WaitForBytes(5));
    serial->Stop();
    JoinWorker();
    const auto deliveries = recorder.Deliveries();
    ASSERT_EQ(deliveries.size(), 5u);
    for (const auto& delivery : deliveries) {
        EXPECT_EQ(delivery.count, 1u);
        EXPECT_EQ(delivery.bufferSize, 1u);
        EXPECT_EQ(delivery.source, serial.get());
    }
    EXPECT_EQ(recorder.Bytes(), std::string("a\0\xff\r\n", 5));
    EXPECT_TRUE(recorder.Messages().empty());
    const auto log = LogTexts();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "Port [COM7] is [" + m_devices.File("com7") + "]");
    EXPECT_EQ(log[1], "Connect to [COM7] with BaudRate = [9600] and CharSize = [8]");
    EXPECT_EQ(CountOf(log, "Success read [1] symbols from COM Port"), 5);
    EXPECT_EQ(log.back(), "COM Port Disconnects");
}

TEST_F(SerialProtocolTest, ADeviceThatGoesAwayIsReportedOnceAndReadNoMore) {
    auto serial = Make<SerialProtocol>(Document("COM7", "9600", "8", "0", "0"));
    Recorder& recorder = Record(*serial);
    ASSERT_TRUE(serial->Start());
    RunWorker();
    ASSERT_TRUE(m_pty.Write("1"));
    ASSERT_TRUE(recorder.WaitForBytes(1));
    m_pty.End();
    ASSERT_TRUE(recorder.WaitForMessages(1));
    // The read is not armed again, so the worker runs out of work by itself.
    JoinWorker();
    EXPECT_EQ(recorder.MessageTexts(), std::vector<std::string>{"End of file"});
    EXPECT_EQ(recorder.Messages()[0].source, serial.get());
    EXPECT_EQ(recorder.Bytes(), "1");
    serial->Stop();
    EXPECT_EQ(CountOf(LogTexts(), "COM Port Disconnects"), 1);
}

TEST_F(SerialProtocolTest, NothingIsDeliveredOrReportedAfterStop) {
    auto serial = Make<SerialProtocol>(Document("COM7", "9600", "8", "0", "0"));
    Recorder& recorder = Record(*serial);
    ASSERT_TRUE(serial->Start());
    // A byte waits in the port when Stop comes, and nobody runs the
    // io_context; its read completes later, aborted.
    ASSERT_TRUE(m_pty.Write("x"));
    serial->Stop();
    RunWorker();
    JoinWorker();
    EXPECT_TRUE(recorder.Deliveries().empty());
    EXPECT_TRUE(recorder.Messages().empty());
}

// The capture ends while the driver holds input nobody has read (the worker
// is held in the slot of the first byte): the drain delivers all of it, in
// order, in larger blocks than one byte.
// With a larger read size a read takes what the driver holds, up to that
// size, without waiting for more: the same bytes as single-byte reads, in
// fewer blocks.
TEST_F(SerialProtocolTest, ALargerReadSizeTakesWhatWaitsInOneBlock) {
    // Within the 4 KiB a terminal's input queue holds.
    constexpr std::size_t kBytes = 2000;
    std::string text;
    for (std::size_t i = 0; i < kBytes; ++i) {
        text += static_cast<char>((i * 31) % 256);
    }
    for (const std::size_t readSize : {std::size_t{1}, std::size_t{4096}}) {
        SCOPED_TRACE(readSize);
        auto serial = Make<SerialProtocol>(Document("COM7", "9600", "8", "0", "0"));
        Recorder& recorder = Record(*serial);
        serial->SetReadSize(readSize);
        FirstDeliveryGate gate(recorder);
        ASSERT_TRUE(serial->Start());
        RunWorker();
        ASSERT_TRUE(m_pty.Write("<"));
        ASSERT_TRUE(gate.WaitUntilHeld());
        // While the worker is held, the whole text reaches the device's
        // input queue; the next read finds it all waiting.
        ASSERT_TRUE(m_pty.Write(text));
        const int watch = ::open(m_pty.DevicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(watch, 0);
        const bool queued = WaitUntil([&] { return platform::QueuedInput(watch) >= kBytes; });
        ::close(watch);
        ASSERT_TRUE(queued);
        gate.Release();
        ASSERT_TRUE(recorder.WaitForBytes(1 + kBytes));
        // A lone byte after the block is a block of its own, at once.
        ASSERT_TRUE(m_pty.Write(">"));
        ASSERT_TRUE(recorder.WaitForBytes(2 + kBytes));
        serial->Stop();
        JoinWorker();
        EXPECT_TRUE(recorder.Bytes() == "<" + text + ">") << recorder.Bytes().size() << " bytes";
        const auto deliveries = recorder.Deliveries();
        for (const auto& delivery : deliveries) {
            ASSERT_LE(delivery.count, readSize);
            ASSERT_EQ(delivery.bufferSize, readSize);
        }
        if (readSize == 1) {
            EXPECT_EQ(deliveries.size(), kBytes + 2);
        } else {
            ASSERT_EQ(deliveries.size(), 3u);
            EXPECT_EQ(deliveries[1].count, kBytes);
        }
        EXPECT_TRUE(recorder.Messages().empty());
    }
}

TEST_F(SerialProtocolTest, TheDrainDeliversWhatTheDriverHolds) {
    // Within the 4 KiB a terminal's input queue holds.
    constexpr std::size_t kBytes = 2000;
    auto serial = Make<SerialProtocol>(Document("COM7", "9600", "8", "0", "0"));
    Recorder& recorder = Record(*serial);
    FirstDeliveryGate gate(recorder);
    ASSERT_TRUE(serial->Start());
    RunWorker();
    ASSERT_TRUE(m_pty.Write("<"));
    ASSERT_TRUE(gate.WaitUntilHeld());
    std::string text;
    for (std::size_t i = 0; i < kBytes; ++i) {
        text += static_cast<char>(i % 256);
    }
    ASSERT_TRUE(m_pty.Write(text));
    // socat copies to the device end on its own time: wait until the device's
    // input queue holds it all (a second descriptor of the same terminal sees
    // the same queue without taking from it).
    const int watch = ::open(m_pty.DevicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watch, 0);
    const bool queued = WaitUntil([&] { return platform::QueuedInput(watch) >= kBytes; });
    ::close(watch);
    ASSERT_TRUE(queued);

    const auto drained = DrainAndWait(*serial, NoDeadline(), [&] { gate.Release(); });
    ASSERT_TRUE(drained.has_value());
    serial->Stop();
    JoinWorker();
    EXPECT_EQ(drained->drainedBytes, kBytes);
    EXPECT_EQ(drained->leftBytes, 0u);
    EXPECT_TRUE(recorder.Bytes() == "<" + text) << recorder.Bytes().size() << " bytes";
    EXPECT_GT(recorder.Deliveries().size(), 1u);
    EXPECT_LT(recorder.Deliveries().size(), kBytes);
    EXPECT_TRUE(recorder.Messages().empty());
}

}  // namespace
}  // namespace tapscope::testing

// A serial capture that waits for its device: socat is ended (the device goes
// away) and started again with its link under the same name (the device
// comes back), as a USB adapter re-plugged under its by-id name.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/serial_line.h"
#include "protocols/serial_protocol.h"
#include "tests/protocols/protocol_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

constexpr const char* kCom7 =
    "<settings port=\"COM7\" baudrate=\"19200\" charsize=\"8\" parity=\"0\" stopbits=\"0\" />";

class SerialReconnectTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        m_pty.emplace(m_links.Path());
        if (!m_pty->Ok()) {
            GTEST_SKIP() << m_pty->Error();
        }
        std::filesystem::create_symlink(m_pty->DevicePath(), m_devices.File("com7"));
    }

    std::shared_ptr<SerialProtocol> StartReconnecting(Recorder*& recorder) {
        auto serial = Make<SerialProtocol>(kCom7);
        serial->SetReconnect(true);
        recorder = &Record(*serial);
        EXPECT_TRUE(serial->Start());
        RunWorker();
        return serial;
    }

    // Ends the device, and waits until the transport has said so.
    void Unplug(Recorder& recorder, std::size_t eventsBefore) {
        m_pty->End();
        ASSERT_TRUE(recorder.WaitForEvents(eventsBefore + 1));
        const TransportEvent gone = recorder.Events().at(eventsBefore).event;
        EXPECT_EQ(gone.kind, TransportEvent::Kind::kDeviceGone);
        EXPECT_EQ(gone.source, m_source);
        // The reason is the system's: "End of file", or "Input/output error"
        // when the far end goes while a read is being armed.
        EXPECT_TRUE(gone.text.starts_with("serial device " + m_source + " went away ("))
            << gone.text;
        EXPECT_TRUE(gone.text.ends_with("); waiting for it to come back")) << gone.text;
    }

    TempDir m_links;  // where socat puts the device's link, each time
    std::optional<SocatPty> m_pty;
    TempDir m_devices;
    EnvGuard m_devicesEnv{"TAPSCOPE_DEVICES", m_devices.Path()};
    const std::string m_source = "COM7 -> " + m_devices.File("com7");
};

TEST_F(SerialReconnectTest, ADeviceThatComesBackIsReopenedAndNothingItSentIsLost) {
    Recorder* recorder = nullptr;
    auto serial = StartReconnecting(recorder);
    ASSERT_TRUE(m_pty->Write("before"));
    ASSERT_TRUE(recorder->WaitForBytes(6));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Unplug(*recorder, 2 * round);
        m_pty.emplace(m_links.Path());
        ASSERT_TRUE(m_pty->Ok()) << m_pty->Error();
        ASSERT_TRUE(recorder->WaitForEvents(2 * round + 2));
        const TransportEvent back = recorder->Events().at(2 * round + 1).event;
        EXPECT_EQ(back.kind, TransportEvent::Kind::kDeviceBack);
        EXPECT_EQ(back.source, m_source);
        EXPECT_EQ(back.text, "serial device " + m_source + " is back; capturing again");
        // Held by us alone again: another program cannot take its lock.
        ChildProcess locker("/usr/bin/flock", {"-n", "-E", "75", m_pty->DevicePath(), "true"});
        int status = -1;
        ASSERT_TRUE(locker.Wait(30000, &status));
        EXPECT_EQ(status, 75);
        // Received before the next unplug: socat passes bytes on in its own
        // time, and ending it first would drop them before the device had
        // sent them.
        ASSERT_TRUE(m_pty->Write("after" + std::to_string(round)));
        ASSERT_TRUE(recorder->WaitForBytes(12 + 6 * round)) << recorder->Bytes();
    }
    EXPECT_EQ(recorder->Bytes(), "beforeafter0after1");
    EXPECT_TRUE(recorder->Messages().empty());
    serial->Stop();
    JoinWorker();
    const auto log = LogTexts();
    EXPECT_EQ(CountOf(log, "Connect to [COM7] with BaudRate = [19200] and CharSize = [8]"), 1);
    EXPECT_EQ(CountOf(log, "serial device " + m_source + " is back; capturing again"), 2);
}

TEST_F(SerialReconnectTest, ADeviceThatComesBackHeldByAnotherProgramIsTakenOnlyOnceFree) {
    Recorder* recorder = nullptr;
    auto serial = StartReconnecting(recorder);
    Unplug(*recorder, 0);
    // The device comes back elsewhere, a terminal program opens it, and only
    // then does its name appear: the transport finds it held, says so once,
    // and goes on waiting.
    TempDir elsewhere;
    m_pty.emplace(elsewhere.Path());
    ASSERT_TRUE(m_pty->Ok()) << m_pty->Error();
    ChildProcess holder("/bin/sh", {"-c", "exec 3<>\"$1\" && echo ready && exec sleep 600", "sh",
                                    m_pty->DevicePath()});
    ASSERT_EQ(holder.ReadLine(), "ready");
    // Once the shell has become sleep, the device is held under that name.
    const std::string comm = "/proc/" + std::to_string(holder.Pid()) + "/comm";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(comm) == "sleep\n"; }));
    std::filesystem::create_symlink(m_pty->DevicePath(), m_links.File("device"));
    const std::string refused =
        "!WARNING! Serial device [" + m_source +
        "] is back but cannot be opened: " + "open: Device or resource busy (" +
        m_devices.File("com7") + " for COM7): in use by sleep (pid " +
        std::to_string(holder.Pid()) + ")";
    std::vector<std::string> log;
    ASSERT_TRUE(WaitUntil([&] {
        const auto more = LogTexts();
        log.insert(log.end(), more.begin(), more.end());
        return CountOf(log, refused) > 0;
    })) << ::testing::PrintToString(log);
    EXPECT_EQ(recorder->Events().size(), 1u);
    holder.Kill();
    ASSERT_TRUE(recorder->WaitForEvents(2));
    EXPECT_EQ(recorder->Events()[1].event.kind, TransportEvent::Kind::kDeviceBack);
    ASSERT_TRUE(m_pty->Write("x"));
    ASSERT_TRUE(recorder->WaitForBytes(1));
    EXPECT_TRUE(recorder->Messages().empty());
    const auto more = LogTexts();
    log.insert(log.end(), more.begin(), more.end());
    EXPECT_EQ(CountOf(log, refused), 1);
}

TEST_F(SerialReconnectTest, StopEndsTheWaitAndADeviceThatComesBackAfterwardsIsLeftAlone) {
    Recorder* recorder = nullptr;
    auto serial = StartReconnecting(recorder);
    Unplug(*recorder, 0);
    serial->Stop();
    // Nothing is pending any more: the worker runs out of work by itself.
    JoinWorker();
    m_pty.emplace(m_links.Path());
    ASSERT_TRUE(m_pty->Ok()) << m_pty->Error();
    EXPECT_TRUE(platform::FindDeviceHolders(m_pty->DevicePath()).empty());
    EXPECT_EQ(recorder->Events().size(), 1u);
    EXPECT_TRUE(recorder->Messages().empty());
}

}  // namespace
}  // namespace tapscope::testing

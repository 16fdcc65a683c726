// A serial line has one reader: a port someone else holds is refused with
// the holder named, and a port we hold is refused to everyone else.
#include <gtest/gtest.h>
#include <unistd.h>

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

class SerialExclusiveTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        if (!m_pty.Ok()) {
            GTEST_SKIP() << m_pty.Error();
        }
        std::filesystem::create_symlink(m_pty.DevicePath(), m_devices.File("com7"));
    }

    // A "sleep" that holds the device end open, the way a terminal program
    // would; it says "ready" once the device is open.
    std::unique_ptr<ChildProcess> StartHolder() {
        auto holder = std::make_unique<ChildProcess>(
            "/bin/sh",
            std::vector<std::string>{"-c", "exec 3<>\"$1\" && echo ready && exec sleep 600", "sh",
                                     m_pty.DevicePath()});
        EXPECT_EQ(holder->ReadLine(), "ready");
        // Once the shell has become sleep, the device is held under that name.
        const std::string comm = "/proc/" + std::to_string(holder->Pid()) + "/comm";
        EXPECT_TRUE(WaitUntil([&] { return ReadFile(comm) == "sleep\n"; }));
        return holder;
    }

    std::string Busy() const {
        return "open: Device or resource busy (" + m_devices.File("com7") +
               " for COM7): in use by ";
    }

    static constexpr const char* kCom7 =
        "<settings port=\"COM7\" baudrate=\"9600\" charsize=\"8\" parity=\"0\" stopbits=\"0\" />";

    SocatPty m_pty;
    TempDir m_devices;
    EnvGuard m_devicesEnv{"TAPSCOPE_DEVICES", m_devices.Path()};
};

TEST_F(SerialExclusiveTest, HoldersAreFoundThroughProcAndThePtysFarEndIsNotOne) {
    // socat holds the device end too, but as the far end of the pair it is
    // the device, not a competing reader.
    EXPECT_TRUE(platform::FindDeviceHolders(m_pty.DevicePath()).empty());
    auto holder = StartHolder();
    const auto holders = platform::FindDeviceHolders(m_pty.DevicePath());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, holder->Pid());
    EXPECT_EQ(holders[0].program, "sleep");
    EXPECT_EQ(platform::DescribeHolders(holders),
              "sleep (pid " + std::to_string(holder->Pid()) + ")");
    // Not a character device: nobody holds it.
    EXPECT_TRUE(platform::FindDeviceHolders(m_devices.Path()).empty());
    EXPECT_TRUE(platform::FindDeviceHolders(m_devices.File("absent")).empty());
}

TEST_F(SerialExclusiveTest, APortAnotherProgramHoldsIsRefusedNamingIt) {
    auto holder = StartHolder();
    auto serial = Make<SerialProtocol>(kCom7);
    Recorder& recorder = Record(*serial);
    EXPECT_FALSE(serial->Start());
    EXPECT_EQ(
        recorder.MessageTexts(),
        std::vector<std::string>{Busy() + "sleep (pid " + std::to_string(holder->Pid()) + ")"});
    // Nothing was opened, so nothing is closed.
    LogTexts();
    serial->Stop();
    EXPECT_EQ(CountOf(LogTexts(), "COM Port Disconnects"), 0);

    // Once the other program has let go, the port opens.
    holder->Kill();
    int status = -1;
    ASSERT_TRUE(holder->Wait(30000, &status));
    auto again = Make<SerialProtocol>(kCom7);
    Recorder& againRecorder = Record(*again);
    EXPECT_TRUE(again->Start());
    EXPECT_TRUE(againRecorder.Messages().empty());
}

TEST_F(SerialExclusiveTest, APortWeHoldIsRefusedToASecondOpenerAndFreedByStop) {
    auto first = Make<SerialProtocol>(kCom7);
    Recorder& firstRecorder = Record(*first);
    ASSERT_TRUE(first->Start());

    // A second capture (here in the same process) is refused with us named.
    auto second = Make<SerialProtocol>(kCom7);
    Recorder& secondRecorder = Record(*second);
    EXPECT_FALSE(second->Start());
    ASSERT_EQ(secondRecorder.Messages().size(), 1u);
    EXPECT_EQ(secondRecorder.Messages()[0].text,
              Busy() + platform::FindDeviceHolders(m_pty.DevicePath()).at(0).program + " (pid " +
                  std::to_string(::getpid()) + ")");

    // Another program that asks for the line's lock does not get it...
    ChildProcess locker("/usr/bin/flock", {"-n", "-E", "75", m_pty.DevicePath(), "true"});
    int status = -1;
    ASSERT_TRUE(locker.Wait(30000, &status));
    EXPECT_EQ(status, 75);

    // ...and the first capture still receives every byte.
    RunWorker();
    ASSERT_TRUE(m_pty.Write("ab"));
    ASSERT_TRUE(firstRecorder.WaitForBytes(2));
    EXPECT_EQ(firstRecorder.Bytes(), "ab");
    first->Stop();
    JoinWorker();

    // Stop lets go of the line: the lock is free again.
    ChildProcess after("/usr/bin/flock", {"-n", "-E", "75", m_pty.DevicePath(), "true"});
    ASSERT_TRUE(after.Wait(30000, &status));
    EXPECT_EQ(status, 0);
    auto third = Make<SerialProtocol>(kCom7);
    EXPECT_TRUE(third->Start());
}

}  // namespace
}  // namespace tapscope::testing

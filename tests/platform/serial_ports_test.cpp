// The port list: real udev where it answers, and pseudo-terminals from socat
// behind COM links and stable-name folders of our own (libudev cannot be
// pointed at a made-up sysfs tree, so the by-id/by-path folders are the
// part that is faked).
#include "platform/serial_ports.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

using tapscope::testing::EnvGuard;
using tapscope::testing::SocatPty;
using tapscope::testing::TempDir;

class SerialPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_pty.Ok()) {
            GTEST_SKIP() << m_pty.Error();
        }
        m_device = std::filesystem::canonical(m_pty.DevicePath()).string();
    }

    SocatPty m_pty;
    std::string m_device;  // "/dev/pts/N"
    TempDir m_devices;
    EnvGuard m_devicesEnv{"TAPSCOPE_DEVICES", m_devices.Path()};
};

TEST_F(SerialPortsTest, StableLinksAndComNamesAreFoundByTheDeviceTheyLeadTo) {
    // A by-id folder as udev makes it: several links, one of them ours, one
    // to another device, one dangling.
    TempDir byId;
    std::filesystem::create_symlink(m_pty.PeerPath(), byId.File("usb-Other_Device-port0"));
    std::filesystem::create_symlink(m_device, byId.File("usb-Maker_Thing_X1-port0"));
    std::filesystem::create_symlink(byId.File("gone"), byId.File("usb-Gone-port0"));
    EXPECT_EQ(FindLinkTo(byId.Path(), m_device), byId.File("usb-Maker_Thing_X1-port0"));
    // Through the socat link it is the same device.
    EXPECT_EQ(FindLinkTo(byId.Path(), m_pty.DevicePath()), byId.File("usb-Maker_Thing_X1-port0"));
    EXPECT_EQ(FindLinkTo(byId.Path(), byId.File("gone")), "");
    EXPECT_EQ(FindLinkTo(byId.File("no-such-folder"), m_device), "");

    // COM3 and COM12 lead to it (one through a chain of links); COM4 to
    // the other end.
    std::filesystem::create_symlink(m_pty.DevicePath(), m_devices.File("com3"));
    std::filesystem::create_symlink(byId.File("usb-Maker_Thing_X1-port0"), m_devices.File("com12"));
    std::filesystem::create_symlink(m_pty.PeerPath(), m_devices.File("com4"));
    EXPECT_EQ(ComNamesFor(m_device), (std::vector<std::string>{"COM3", "COM12"}));
    EXPECT_EQ(ComNamesFor(m_devices.File("nothing")), std::vector<std::string>{});
}

TEST_F(SerialPortsTest, TheListHasUdevsPortsAndTheDevicesComLinksLeadTo) {
    std::filesystem::create_symlink(m_pty.DevicePath(), m_devices.File("com5"));
    std::filesystem::create_symlink(m_devices.File("absent"), m_devices.File("com6"));
    std::string problem;
    const std::vector<SerialPortInfo> ports = ListSerialPorts(&problem);
    EXPECT_EQ(problem, "");

    const auto mapped = std::find_if(ports.begin(), ports.end(), [&](const SerialPortInfo& port) {
        return port.device == m_device;
    });
    ASSERT_NE(mapped, ports.end());
    EXPECT_EQ(mapped->comNames, std::vector<std::string>{"COM5"});
    EXPECT_EQ(mapped->kernelName, std::filesystem::path(m_device).filename().string());
    EXPECT_EQ(mapped->StablePath(), m_device);
    // The far end is no COM port of ours and is not listed.
    EXPECT_EQ(std::count_if(ports.begin(), ports.end(),
                            [](const SerialPortInfo& port) {
                                return port.device.rfind("/dev/pts/", 0) == 0;
                            }),
              1);
    // Whatever udev lists here is a real character device with its kernel
    // name, never a virtual terminal, each once.
    for (const SerialPortInfo& port : ports) {
        SCOPED_TRACE(port.device);
        struct stat status {};
        ASSERT_EQ(::stat(port.device.c_str(), &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
        EXPECT_EQ(std::filesystem::path(port.device).filename().string(), port.kernelName);
        const bool virtualTerminal = port.kernelName.size() > 3 &&
                                     port.kernelName.compare(0, 3, "tty") == 0 &&
                                     std::isdigit(static_cast<unsigned char>(port.kernelName[3]));
        EXPECT_FALSE(virtualTerminal);
        EXPECT_EQ(
            std::count_if(ports.begin(), ports.end(),
                          [&](const SerialPortInfo& other) { return other.device == port.device; }),
            1);
    }
}

}  // namespace
}  // namespace tapscope::platform

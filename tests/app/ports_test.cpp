// "tapscope ports" end to end: the program runs as a child process with a
// device folder of our own whose COM link leads to a socat pseudo-terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/ports_command.h"
#include "tests/support/child_process.h"
#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;

struct Finished {
    int status = -1;
    std::string output;
};

// tapscope with |args|, standard error joined to its output.
Finished RunTapscope(const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", TAPSCOPE_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    ChildProcess child("/bin/sh", shellArgs);
    child.CloseInput();
    Finished finished;
    finished.output = child.ReadAll();
    EXPECT_TRUE(child.Wait(kExitLimitMs, &finished.status));
    return finished;
}

TEST(PortsCommand, ListsEachPortWithItsStableNameComNamesAndHolder) {
    platform::SerialPortInfo usb;
    usb.device = "/dev/ttyUSB0";
    usb.kernelName = "ttyUSB0";
    usb.driver = "ftdi_sio";
    usb.byId = "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0";
    usb.byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    usb.vendorId = "0403";
    usb.productId = "6001";
    usb.manufacturer = "FTDI";
    usb.product = "FT232R";
    usb.serial = "A12B3C";
    usb.comNames = {"COM3", "COM9"};
    platform::SerialPortInfo uart;
    uart.device = "/dev/ttyS0";
    uart.kernelName = "ttyS0";
    uart.driver = "serial8250";
    const std::vector<platform::SerialPortInfo> ports = {usb, uart};
    const std::string text = app::PortsText(ports, [](const std::string& device) {
        return device == "/dev/ttyUSB0" ? std::string("minicom (pid 4242)") : std::string();
    });
    EXPECT_EQ(text,
              "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
              "  device:  /dev/ttyUSB0 (ttyUSB0, driver ftdi_sio, USB 0403:6001)\n"
              "  what:    FTDI FT232R (A12B3C) - /dev/ttyUSB0\n"
              "  by-path: /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "  COM:     COM3, COM9\n"
              "  held by: minicom (pid 4242)\n"
              "\n"
              "/dev/ttyS0\n"
              "  device:  /dev/ttyS0 (ttyS0, driver serial8250)\n"
              "  what:    serial8250 - /dev/ttyS0\n"
              "  COM:     none\n"
              "  held by: nobody\n");
    EXPECT_EQ(app::PortsText({}, [](const std::string&) { return std::string(); }),
              "no serial ports found\n");
}

TEST(PortsCommand, TheProgramListsAMappedDeviceAndWhoHoldsIt) {
    SocatPty pty;
    if (!pty.Ok()) {
        GTEST_SKIP() << pty.Error();
    }
    TempDir devices;
    EnvGuard env("TAPSCOPE_DEVICES", devices.Path());
    std::filesystem::create_symlink(pty.DevicePath(), devices.File("com42"));
    const std::string device = std::filesystem::canonical(pty.DevicePath()).string();

    ChildProcess holder("/bin/sh", {"-c", "exec 3<>\"$1\" && echo ready && exec sleep 600", "sh",
                                    pty.DevicePath()});
    ASSERT_EQ(holder.ReadLine(), "ready");
    // Once the shell has become sleep, the device is held under that name.
    const std::string comm = "/proc/" + std::to_string(holder.Pid()) + "/comm";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(comm) == "sleep\n"; }));
    const Finished listed = RunTapscope({"ports"});
    EXPECT_EQ(listed.status, 0) << listed.output;
    const std::string block = device + "\n  device:  " + device;
    const std::size_t at = listed.output.find(block);
    ASSERT_NE(at, std::string::npos) << listed.output;
    const std::string rest = listed.output.substr(at, listed.output.find("\n\n", at) - at);
    EXPECT_NE(rest.find("  COM:     COM42\n"), std::string::npos) << rest;
    EXPECT_NE(rest.find("  held by: sleep (pid " + std::to_string(holder.Pid()) + ")"),
              std::string::npos)
        << rest;

    const Finished extra = RunTapscope({"ports", "--all"});
    EXPECT_EQ(extra.status, 2);
    EXPECT_NE(extra.output.find("ports takes no options; '--all' is one too many"),
              std::string::npos)
        << extra.output;
}

}  // namespace
}  // namespace tapscope::testing

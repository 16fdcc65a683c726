// A console capture with --reconnect whose device goes away and comes back
// (socat ended and started again under the same link name), and the
// window's context-menu item that asks for the same.
#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/tapscope_dlg.h"
#include "tests/app/program_runner.h"
#include "tests/support/child_process.h"
#include "tests/support/socat_pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;

TEST(ReconnectCommand, ARepluggedDeviceIsCapturedOnIntoTheSameFile) {
    TempDir links;
    std::optional<SocatPty> pty(links.Path());
    if (!pty->Ok()) {
        GTEST_SKIP() << pty->Error();
    }
    TempDir devices;
    EnvGuard env("TAPSCOPE_DEVICES", devices.Path());
    std::filesystem::create_symlink(pty->DevicePath(), devices.File("com7"));
    const std::string capture = devices.File("capture.bin");
    const std::string source = "COM7 -> " + devices.File("com7");

    auto child = StartTapscope({"capture", "com", "--port", "COM7", "--reconnect", "-o", capture});
    std::string output;
    ASSERT_TRUE(ReadUntil(*child, "capturing com", output)) << output;
    ASSERT_TRUE(pty->Write("one"));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(capture) == "one"; }));

    pty->End();
    ASSERT_TRUE(ReadUntil(*child, "went away", output)) << output;
    EXPECT_NE(output.find("tapscope: serial device " + source + " went away ("), std::string::npos)
        << output;
    pty.emplace(links.Path());
    ASSERT_TRUE(pty->Ok()) << pty->Error();
    ASSERT_TRUE(ReadUntil(*child, "is back", output)) << output;
    EXPECT_NE(output.find("tapscope: serial device " + source + " is back; capturing again"),
              std::string::npos)
        << output;
    ASSERT_TRUE(pty->Write("two"));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(capture) == "onetwo"; }));

    kill(child->Pid(), SIGTERM);
    output += child->ReadAll();
    int status = -1;
    ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("captured 6 bytes in 6 blocks into " + capture), std::string::npos)
        << output;
}

TEST(ReconnectCommand, OnlyASerialCaptureTakesIt) {
    for (const char* transport : {"udp", "tcp"}) {
        SCOPED_TRACE(transport);
        auto child = StartTapscope({"capture", transport, "--reconnect"});
        child->CloseInput();
        const std::string output = child->ReadAll();
        int status = -1;
        ASSERT_TRUE(child->Wait(kExitLimitMs, &status));
        EXPECT_EQ(status, 2);
        EXPECT_NE(
            output.find(std::string("--reconnect does not apply to a ") + transport + " capture"),
            std::string::npos)
            << output;
    }
}

TEST(ReconnectWindow, TheContextMenuItemIsCheckableAndSetsTheCapture) {
    CtapScopeDlg window;
    QAction* reconnect = window.ReconnectAction();
    ASSERT_NE(reconnect, nullptr);
    EXPECT_TRUE(reconnect->isCheckable());
    EXPECT_FALSE(reconnect->isChecked());
    EXPECT_TRUE(window.actions().contains(reconnect));
    EXPECT_EQ(window.contextMenuPolicy(), Qt::ActionsContextMenu);
    reconnect->trigger();
    EXPECT_TRUE(window.Controller().Reconnect());
    reconnect->trigger();
    EXPECT_FALSE(window.Controller().Reconnect());
}

TEST(ReconnectWindow, TheTitleSaysWhileTheCaptureWaitsForItsDevice) {
    CtapScopeDlg window;
    const QString title = window.windowTitle();
    TransportEvent gone;
    gone.kind = TransportEvent::Kind::kDeviceGone;
    gone.source = "COM3 -> /dev/serial/by-id/usb-FTDI-port0";
    window.ShowEvent(gone);
    EXPECT_EQ(window.windowTitle(),
              title + " - waiting for COM3 -> /dev/serial/by-id/usb-FTDI-port0 to come back");
    TransportEvent loss;
    loss.kind = TransportEvent::Kind::kLoss;
    window.ShowEvent(loss);
    EXPECT_NE(window.windowTitle(), title);
    TransportEvent back = gone;
    back.kind = TransportEvent::Kind::kDeviceBack;
    window.ShowEvent(back);
    EXPECT_EQ(window.windowTitle(), title);
}

}  // namespace
}  // namespace tapscope::testing

#include "platform/serial_device.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace tapscope::platform {
namespace {

using tapscope::testing::EnvGuard;
using tapscope::testing::TempDir;

TEST(SerialDevice, ComNamesMapThroughTheDeviceFolderElseToTtyS) {
    TempDir devices;
    EnvGuard env("TAPSCOPE_DEVICES", devices.Path());
    std::filesystem::create_symlink("/dev/pts/7", devices.File("com3"));
    std::filesystem::create_symlink(devices.File("nothing"), devices.File("com4"));  // dangling

    struct Case {
        std::string name;
        std::string path;
    } cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"com2", "/dev/ttyS1"},
        {"COM3", devices.File("com3")},
        {"Com3", devices.File("com3")},
        {"COM4", devices.File("com4")},  // opening it names the broken link
        {"COM255", "/dev/ttyS254"},
        // Not a COMn name: opened as given.
        {"COM0", "COM0"},
        {"COM256", "COM256"},
        {"COM03", "COM03"},
        {"COM", "COM"},
        {"COM1 ", "COM1 "},
        {"COMx", "COMx"},
        {"COM+1", "COM+1"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SerialDevicePath(c.name), c.path);
    }
}

TEST(SerialDevice, TheFolderFollowsTheEnvironment) {
    struct Case {
        std::optional<std::string> devices;
        std::optional<std::string> configHome;
        std::optional<std::string> home;
        std::string folder;
    } cases[] = {
        {"/srv/devices", "/cfg", "/home/u", "/srv/devices"},
        {"", "/cfg", "/home/u", "/cfg/tapscope/devices"},
        {std::nullopt, "/cfg", "/home/u", "/cfg/tapscope/devices"},
        {std::nullopt, "", "/home/u", "/home/u/.config/tapscope/devices"},
        {std::nullopt, "relative/cfg", "/home/u", "/home/u/.config/tapscope/devices"},
        {std::nullopt, std::nullopt, "/home/u", "/home/u/.config/tapscope/devices"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        EnvGuard devices("TAPSCOPE_DEVICES", c.devices);
        EnvGuard configHome("XDG_CONFIG_HOME", c.configHome);
        EnvGuard home("HOME", c.home);
        EXPECT_EQ(SerialDeviceFolder(), c.folder);
    }
    // Without $HOME, the home folder of the user's passwd entry.
    EnvGuard devices("TAPSCOPE_DEVICES", std::nullopt);
    EnvGuard configHome("XDG_CONFIG_HOME", std::nullopt);
    EnvGuard home("HOME", std::nullopt);
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(SerialDeviceFolder(), std::string(entry->pw_dir) + "/.config/tapscope/devices");
}

}  // namespace
}  // namespace tapscope::platform

// tapscope: with no arguments the capture window; "capture ..." the same
// capture on the console; "ports", the serial ports; "show", a capture with
// its record; "export", the same as a pcapng file; "--help" and "--version". Only the window
// creates a QApplication, so that the command line runs without a display.
#include <QtGlobal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/display_check.h"
#include "app/ports_command.h"
#include "app/tapscope_app.h"
#include "platform/debug_output.h"
#include "platform/descriptors.h"
#include "platform/file.h"

namespace {

// Every TCP client of a capture holds a descriptor, and the usual soft limit
// of 1024 is reached by about a thousand idle clients: a capture may use as
// many as the hard limit allows.
void RaiseOpenFileLimit() {
    tapscope::platform::OpenFileLimit limit;
    int error = 0;
    if (!tapscope::platform::RaiseOpenFileLimit(limit, error)) {
        tapscope::platform::OutputDebugText("Cannot raise the open-file limit to " +
                                            std::to_string(limit.hard) + ": " +
                                            tapscope::platform::ErrorText(error));
    }
}

}  // namespace

namespace {

// Usage errors, and a window that has no display to open on.
constexpr int kUsageStatus = 2;

QtMessageHandler g_previousHandler = nullptr;

// Installed only while the application object is built: a display that is
// named but cannot be reached (an X server gone away) makes Qt's platform
// plugin fail there with a fatal message, which would abort the process.
void ExitOnPlatformFailure(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
    if (type != QtFatalMsg) {
        g_previousHandler(type, context, message);
        return;
    }
    std::cerr << message.toStdString() << "\n"
              << tapscope::app::NoDisplayText("the window system could not be reached");
    std::_Exit(kUsageStatus);
}

int RunWindow(int argc, char** argv) {
    if (!tapscope::app::DisplayAvailable(std::getenv)) {
        std::cerr << tapscope::app::NoDisplayText(
            "neither DISPLAY nor WAYLAND_DISPLAY is set, as over SSH");
        return kUsageStatus;
    }
    g_previousHandler = qInstallMessageHandler(ExitOnPlatformFailure);
    CtapScopeApp app(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    app.InitInstance();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const tapscope::app::CommandLine command = tapscope::app::ParseCommandLine(args);
    switch (command.kind) {
        case tapscope::app::CommandKind::kWindow:
            RaiseOpenFileLimit();
            return RunWindow(argc, argv);
        case tapscope::app::CommandKind::kHelp:
            std::cout << tapscope::app::UsageText();
            return 0;
        case tapscope::app::CommandKind::kVersion:
            std::cout << tapscope::app::VersionText();
            return 0;
        case tapscope::app::CommandKind::kCapture:
            RaiseOpenFileLimit();
            return tapscope::app::RunCapture(command.capture);
        case tapscope::app::CommandKind::kPorts:
            return tapscope::app::RunPorts();
        case tapscope::app::CommandKind::kShow:
            return tapscope::app::RunShow(command.show, std::cout, std::cerr);
        case tapscope::app::CommandKind::kExport:
            return tapscope::app::RunExport(command.exportOptions, std::cout, std::cerr);
        case tapscope::app::CommandKind::kError:
            std::cerr << "tapscope: " << command.error << "\nTry 'tapscope --help'.\n";
            return kUsageStatus;
    }
    return kUsageStatus;
}

// tapscope: with no arguments the capture window; "capture ..." the same
// capture on the console; "ports", the serial ports; "--help" and
// "--version". Only the window creates a QApplication, so that the command
// line runs without a display.
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/ports_command.h"
#include "app/tapscope_app.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const tapscope::app::CommandLine command = tapscope::app::ParseCommandLine(args);
    switch (command.kind) {
        case tapscope::app::CommandKind::kWindow: {
            CtapScopeApp app(argc, argv);
            app.InitInstance();
            return 0;
        }
        case tapscope::app::CommandKind::kHelp:
            std::cout << tapscope::app::UsageText();
            return 0;
        case tapscope::app::CommandKind::kVersion:
            std::cout << tapscope::app::VersionText();
            return 0;
        case tapscope::app::CommandKind::kCapture:
            return tapscope::app::RunCapture(command.capture);
        case tapscope::app::CommandKind::kPorts:
            return tapscope::app::RunPorts();
        case tapscope::app::CommandKind::kError:
            std::cerr << "tapscope: " << command.error << "\nTry 'tapscope --help'.\n";
            return 2;
    }
    return 2;
}

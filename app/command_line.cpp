#include "app/command_line.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/capture_controller.h"
#include "app/console_view.h"
#include "app/settings_documents.h"
#include "app/strings.h"
#include "log/debug.h"
#include "platform/termination.h"

#ifndef TAPSCOPE_VERSION
#define TAPSCOPE_VERSION ""
#endif

namespace tapscope::app {
namespace {

// How often the status line is redrawn, and how long Ctrl-C waits at most
// before the capture notices it.
constexpr int kStatusPeriodMs = 200;

// A settings page that gives the document the command line built.
class FixedSettingsPage : public ISettingsDialog {
public:
    explicit FixedSettingsPage(std::string document) : m_document(std::move(document)) {}
    std::string GetSettings() override { return m_document; }

private:
    std::string m_document;
};

struct Option {
    std::string name;
    std::string value;
};

// The options each transport takes besides -o, --overwrite and --settings.
bool TakesOption(int tab, const std::string& name) {
    if (tab == kTabCom) {
        return name == "--port" || name == "--baudrate" || name == "--charsize" ||
               name == "--parity" || name == "--stopbits";
    }
    return name == "--ip" || name == "--port";
}

std::string Join(const std::array<const char*, 3>& names) {
    return std::string(names[0]) + ", " + names[1] + " or " + names[2];
}

}  // namespace

std::string UsageText() {
    return "Usage: tapscope                    open the capture window\n"
           "       tapscope capture com|udp|tcp [options] [-o FILE]\n"
           "       tapscope ports                list the serial ports: stable name, device,\n"
           "                                     description, COM names, who holds it\n"
           "       tapscope --help | --version\n"
           "\n"
           "capture appends every byte the transport receives, unchanged, to FILE\n"
           "(default: pos_log.txt in the current folder) until Ctrl-C or SIGTERM\n"
           "(exit status 0), or until the transport reports an error (status 1).\n"
           "\n"
           "Serial port (com):\n"
           "  --port NAME          COM1..COM255 or a device path (default COM1)\n"
           "  --baudrate RATE      bits per second (default 9600)\n"
           "  --charsize BITS      5 to 8 (default 8)\n"
           "  --parity none|odd|even                (default none)\n"
           "  --stopbits one|onepointfive|two       (default one)\n"
           "  --reconnect          when the device goes away, wait until it comes back\n"
           "                       (the same stable name or USB serial number), open it\n"
           "                       with the same settings and go on into the same file\n"
           "UDP socket (udp), listening TCP server (tcp):\n"
           "  --ip ADDRESS         numeric address to listen on (default 127.0.0.1)\n"
           "  --port PORT          1 to 65535 (default 8001)\n"
           "Any transport:\n"
           "  --settings DOCUMENT  a settings document as it stands, instead of the\n"
           "                       options above: '<settings ip=\"0.0.0.0\" port=\"9000\" />'\n"
           "  -o, --output FILE    the capture file\n"
           "  --overwrite          replace an existing capture file without asking\n"
           "                       (without it, the question is asked on a terminal;\n"
           "                       elsewhere an existing file is kept and capture fails)\n";
}

std::string VersionText() {
    return std::string("tapscope ") + TAPSCOPE_VERSION + "\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    if (args.empty()) {
        result.kind = CommandKind::kWindow;
        return result;
    }
    auto fail = [&](std::string error) {
        result.kind = CommandKind::kError;
        result.error = std::move(error);
        return result;
    };
    if (args[0] == "--help" || args[0] == "-h") {
        result.kind = CommandKind::kHelp;
        return result;
    }
    if (args[0] == "--version") {
        result.kind = CommandKind::kVersion;
        return result;
    }
    if (args[0] == "ports") {
        if (args.size() > 1) {
            return fail("ports takes no options; '" + args[1] + "' is one too many");
        }
        result.kind = CommandKind::kPorts;
        return result;
    }
    if (args[0] != "capture") {
        return fail("unknown command '" + args[0] + "'");
    }
    if (args.size() < 2) {
        return fail("capture needs a transport: com, udp or tcp");
    }
    CaptureOptions& capture = result.capture;
    const std::map<std::string, int> transports = {
        {"com", kTabCom}, {"udp", kTabUdp}, {"tcp", kTabTcp}};
    const auto transport = transports.find(args[1]);
    if (transport == transports.end()) {
        return fail("unknown transport '" + args[1] + "': give com, udp or tcp");
    }
    capture.transport = transport->first;
    capture.tab = transport->second;

    // "--name value" or "--name=value"; later options replace earlier ones.
    std::map<std::string, std::string> values;
    std::optional<std::string> settings;
    for (std::size_t i = 2; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        if (name == "--help" || name == "-h") {
            result.kind = CommandKind::kHelp;
            return result;
        }
        if (name == "--overwrite" && !value) {
            capture.overwrite = true;
            continue;
        }
        if (name == "--reconnect" && !value) {
            if (capture.tab != kTabCom) {
                return fail(name + " does not apply to a " + capture.transport + " capture");
            }
            capture.reconnect = true;
            continue;
        }
        const bool known = name == "-o" || name == "--output" || name == "--settings" ||
                           TakesOption(capture.tab, name) ||
                           TakesOption(capture.tab == kTabCom ? kTabUdp : kTabCom, name);
        if (!known) {
            return fail("unknown option '" + name + "'");
        }
        if (!TakesOption(capture.tab, name) && name != "-o" && name != "--output" &&
            name != "--settings") {
            return fail(name + " does not apply to a " + capture.transport + " capture");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(name + " needs a value");
            }
            value = args[++i];
        }
        if (name == "-o" || name == "--output") {
            if (value->empty()) {
                return fail(name + " needs a file name");
            }
            capture.file = *value;
        } else if (name == "--settings") {
            settings = *value;
        } else {
            values[name] = *value;
        }
    }

    if (settings) {
        if (!values.empty()) {
            return fail("give either --settings or " + values.begin()->first + ", not both");
        }
        capture.document = *settings;
        result.kind = CommandKind::kCapture;
        return result;
    }
    auto valueOf = [&](const std::string& name, const std::string& fallback) {
        const auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    };
    if (capture.tab == kTabCom) {
        ComSettings com;
        com.port = valueOf("--port", com.port);
        com.baudRate = valueOf("--baudrate", com.baudRate);
        com.charSize = valueOf("--charsize", com.charSize);
        const std::string parity = valueOf("--parity", kParityNames[0]);
        const std::string stopBits = valueOf("--stopbits", kStopBitsNames[0]);
        const std::optional<int> parityIndex = IndexOfName(kParityNames, parity);
        if (!parityIndex) {
            return fail("--parity: '" + parity + "' is not " + Join(kParityNames));
        }
        const std::optional<int> stopBitsIndex = IndexOfName(kStopBitsNames, stopBits);
        if (!stopBitsIndex) {
            return fail("--stopbits: '" + stopBits + "' is not " + Join(kStopBitsNames));
        }
        com.parity = *parityIndex;
        com.stopBits = *stopBitsIndex;
        capture.document = ComSettingsDocument(com);
    } else {
        EthernetSettings ethernet;
        ethernet.address = valueOf("--ip", ethernet.address);
        const std::string port = valueOf("--port", std::to_string(ethernet.port));
        if (const std::optional<std::string> message = ExchangePort(port, ethernet.port)) {
            return fail("--port '" + port + "': " + *message);
        }
        capture.document = EthernetSettingsDocument(ethernet);
    }
    result.kind = CommandKind::kCapture;
    return result;
}

int RunCapture(const CaptureOptions& options) {
    // Before any thread starts (the log's writer is the first), so that every
    // thread leaves the termination signals to the loop below.
    platform::BlockTerminationSignals();
    ZelLog::CDebug::Instance("", ZelLog::kRegistryPath)->WriteHeader();

    const std::string fileName = options.file.empty() ? DefaultCaptureFileName() : options.file;
    ConsoleView view(options, fileName);
    CaptureController controller(view, fileName);
    controller.SetSettingsPage(std::make_shared<FixedSettingsPage>(options.document));
    controller.SetReconnect(options.reconnect);

    controller.OnStartStop();
    if (!controller.WorkerStarted()) {
        view.EndOutput();
        return 1;  // refused; the view has said why
    }
    if (controller.TransportStarted()) {
        view.Print("capturing " + options.transport + " into " + fileName + " (Ctrl-C stops)");
    }
    bool interrupted = false;
    while (!controller.WorkerFinished()) {
        std::string signal;
        if (platform::WaitForTerminationSignal(kStatusPeriodMs, signal)) {
            interrupted = true;
            controller.StopCapture();
            break;
        }
        view.ShowStatus(controller.BlocksWritten(), controller.BytesWritten());
    }
    // A run loop that ended by itself while the transport is still held had
    // nothing to do: no transport message stopped it, and no signal.
    const bool nothingToDo = !interrupted && controller.HoldsProtocol();
    controller.OnClose();
    view.EndOutput();

    if (nothingToDo) {
        if (!controller.TransportStarted()) {
            view.Print("the " + options.transport +
                       " transport did not start and reported no error; is its settings "
                       "document empty or not well-formed? " +
                       options.document);
        } else {
            view.Print("the " + options.transport +
                       " transport ended with nothing left to do; nothing more can be "
                       "captured");
        }
        return 1;
    }
    view.Print("captured " + std::to_string(controller.BytesWritten()) + " bytes in " +
               std::to_string(controller.BlocksWritten()) + " blocks into " + fileName);
    return view.Failures() > 0 ? 1 : 0;
}

}  // namespace tapscope::app

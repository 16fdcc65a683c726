#include "app/command_line.h"

#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "app/capture_controller.h"
#include "app/command_line_checks.h"
#include "app/console_view.h"
#include "app/settings_documents.h"
#include "app/strings.h"
#include "log/debug.h"
#include "platform/capture_file.h"
#include "platform/serial_device.h"
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

// "show FILE [--source TEXT]... [--since TIME] [--until TIME] [--raw | --stats]".
CommandLine ParseShow(const std::vector<std::string>& args, CommandLine& result) {
    auto fail = [&](std::string error) {
        result.kind = CommandKind::kError;
        result.error = std::move(error);
        return result;
    };
    ShowOptions& show = result.show;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        if (optionsEnded || name.empty() || name[0] != '-' || name == "-") {
            if (!show.file.empty()) {
                return fail("show takes one capture file; '" + name + "' is one too many");
            }
            if (name.empty()) {
                return fail("show needs a capture file name, not an empty one");
            }
            show.file = name;
            continue;
        }
        if (name == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        if ((name == "--help" || name == "-h") && !value) {
            result.kind = CommandKind::kHelp;
            return result;
        }
        if (name == "--raw" || name == "--stats") {
            if (value) {
                return fail(name + " takes no value");
            }
            (name == "--raw" ? show.raw : show.stats) = true;
            continue;
        }
        if (name != "--source" && name != "--since" && name != "--until") {
            return fail("unknown option '" + name + "' of show");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(name + " needs a value");
            }
            value = args[++i];
        }
        if (name == "--source") {
            if (value->empty()) {
                return fail("--source needs a source: its name, address or number");
            }
            show.sources.push_back(*value);
            continue;
        }
        const std::optional<ShowTime> time = ParseShowTime(*value);
        if (!time) {
            return fail(name + ": '" + *value +
                        "' is not a time such as 17:49:30, 17:49:30.25, 2026-12-08T17:49:30 or "
                        "2026-12-08T16:49:30Z");
        }
        (name == "--since" ? show.since : show.until) = time;
    }
    if (show.file.empty()) {
        return fail("show needs a capture file");
    }
    if (show.raw && show.stats) {
        return fail("give either --raw or --stats, not both");
    }
    result.kind = CommandKind::kShow;
    return result;
}

// "export FILE --pcapng OUT [--overwrite]".
CommandLine ParseExport(const std::vector<std::string>& args, CommandLine& result) {
    auto fail = [&](std::string error) {
        result.kind = CommandKind::kError;
        result.error = std::move(error);
        return result;
    };
    ExportOptions& options = result.exportOptions;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        if (optionsEnded || name.empty() || name[0] != '-') {
            if (!options.capture.empty()) {
                return fail("export takes one capture file; '" + name + "' is one too many");
            }
            if (name.empty()) {
                return fail("export needs a capture file name, not an empty one");
            }
            options.capture = name;
            continue;
        }
        if (name == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        if ((name == "--help" || name == "-h") && !value) {
            result.kind = CommandKind::kHelp;
            return result;
        }
        if (name == "--overwrite" && !value) {
            options.overwrite = true;
            continue;
        }
        if (name != "--pcapng") {
            return fail("unknown option '" + name + "' of export");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(name + " needs a file name");
            }
            value = args[++i];
        }
        if (value->empty()) {
            return fail(name + " needs a file name, not an empty one");
        }
        options.output = *value;
    }
    if (options.capture.empty()) {
        return fail("export needs a capture file");
    }
    if (options.output.empty()) {
        return fail("export needs --pcapng OUT, the file to write");
    }
    result.kind = CommandKind::kExport;
    return result;
}

}  // namespace

std::string UsageText() {
    return "Usage: tapscope                    open the capture window\n"
           "       tapscope capture com|udp|tcp [options] [-o FILE]\n"
           "       tapscope ports                list the serial ports: stable name, device,\n"
           "                                     description, COM names, who holds it\n"
           "       tapscope show FILE [--source TEXT]... [--since TIME] [--until TIME]\n"
           "                     [--raw | --stats]\n"
           "                                     show a capture with its record\n"
           "       tapscope export FILE --pcapng OUT [--overwrite]\n"
           "                                     write a capture as a pcapng file\n"
           "       tapscope --help | --version\n"
           "\n"
           "capture appends every byte the transport receives, unchanged, to FILE\n"
           "(default: pos_log.txt in the current folder) until Ctrl-C, SIGTERM or\n"
           "SIGHUP, or a TCP client closing its connection (exit status 0), or until\n"
           "the transport reports an error (status 1). What had already arrived when\n"
           "the capture ends is still written (for at most one second).\n"
           "\n"
           "Serial port (com):\n"
           "  --port NAME          COM1..COM255 or a device path (default COM1)\n"
           "  --baudrate RATE      bits per second (default 9600)\n"
           "  --charsize BITS      5 to 8 (default 8)\n"
           "  --parity none|odd|even                (default none)\n"
           "  --stopbits one|onepointfive|two       (default one; 1, 1.5 and 2 also do)\n"
           "  --reconnect          when the device goes away, wait until it comes back\n"
           "                       (the same stable name or USB serial number), open it\n"
           "                       with the same settings and go on into the same file\n"
           "UDP socket (udp), listening TCP server (tcp):\n"
           "  --ip ADDRESS         numeric IPv4 or IPv6 address to listen on; host\n"
           "                       names are not looked up (default 127.0.0.1)\n"
           "  --port PORT          1 to 65535 (default 8001)\n"
           "TCP server (tcp):\n"
           "  --keep-listening     a client that closes or resets its connection is\n"
           "                       recorded and the capture goes on until stopped\n"
           "                       (without it, the first client to close ends it)\n"
           "Serial port (com), TCP server (tcp):\n"
           "  --read-size BYTES    1 to 65536 (default 1): each read takes whatever has\n"
           "                       arrived, up to BYTES, without waiting for more; the\n"
           "                       file's bytes are the same, in fewer, larger blocks.\n"
           "                       Use a large size (65536) for fast or bulky senders\n"
           "                       that one-byte reads cannot keep up with; keep 1 when\n"
           "                       every byte's own block, log line and time matter\n"
           "Any transport:\n"
           "  --settings DOCUMENT  a settings document as it stands, instead of the\n"
           "                       options above: '<settings ip=\"0.0.0.0\" port=\"9000\" />';\n"
           "                       it must carry every attribute of its transport\n"
           "  -o, --output FILE    the capture file; - for standard output\n"
           "  --overwrite          replace an existing capture file without asking\n"
           "                       (without it, the question is asked on a terminal;\n"
           "                       elsewhere an existing file is kept and capture fails)\n"
           "  --no-record          write no record beside the capture file (by default\n"
           "                       FILE.jsonl says when and from whom each burst came)\n"
           "  --burst-gap MS       reads of one source less than MS milliseconds apart\n"
           "                       make one row of the record (default 10, or three\n"
           "                       character times at the line speed where longer;\n"
           "                       0: a row per read)\n"
           "  --rotate-size MIB    roll over to a new capture file before one would pass\n"
           "                       MIB mebibytes; each file is named after FILE with the\n"
           "                       time of its first block: till.bin -> till-20261208-\n"
           "                       152000.bin (files end only between blocks)\n"
           "  --rotate-every TIME  roll over when a file is TIME old: 90s, 15m, 6h, 1d\n"
           "  --keep N             with either, delete the oldest of FILE's series\n"
           "                       beyond N files (only files of your own)\n"
           "\n"
           "show lists the capture file FILE by its record FILE.jsonl: each row of bytes\n"
           "with its arrival time (local time), its source and its bytes in hex and as\n"
           "text, and the events (a client connected or closed, a loss) on lines of\n"
           "their own that begin with \"--\". Bytes the record does not cover (a\n"
           "capture still running, or one without a record) are shown as time unknown.\n"
           "  --source TEXT        only the rows of this source: its name as shown\n"
           "                       (127.0.0.1:40112), its address, its serial device, or\n"
           "                       its number (#2 or 2: a TCP connection's number); give\n"
           "                       it again for more sources\n"
           "  --since TIME         only what arrived from TIME on, and\n"
           "  --until TIME         up to TIME: HH:MM:SS[.fraction] on the capture's first\n"
           "                       day, or YYYY-MM-DDTHH:MM:SS[.fraction], local time, or\n"
           "                       UTC with a Z at its end\n"
           "  --raw                write the chosen rows' bytes alone, unchanged, to\n"
           "                       standard output (one client's stream, say)\n"
           "  --stats              the figures instead: rows, bytes, sources, first and\n"
           "                       last time, the longest gap, losses, the end and its\n"
           "                       SHA-256 against the file's\n"
           "show says on standard error where the record does not match the capture\n"
           "file (bytes in no row, a file cut short or changed since it was recorded)\n"
           "and then ends with status 1, after showing what it can.\n"
           "\n"
           "export writes the capture file FILE, by its record FILE.jsonl, as a pcapng\n"
           "file that Wireshark and tshark open: each row as packets at its arrival\n"
           "time. UDP rows are datagrams from their sender to the capture's address\n"
           "(for 0.0.0.0 or :: the loopback of the sender's family); each TCP client\n"
           "is a conversation with its handshake, its bytes and its close or reset;\n"
           "serial bytes are on an interface named after the device. Other events are\n"
           "packets without bytes on the interface \"events\", told in their comment.\n"
           "  --pcapng OUT         the file to write (mode 0600, never through a\n"
           "                       symbolic link)\n"
           "  --overwrite          replace OUT when it exists (a regular file only,\n"
           "                       never the capture itself)\n"
           "\n"
           "Serial port names: COMn opens the device that the link comN in the device\n"
           "folder points to: the folder named by $TAPSCOPE_DEVICES, else\n"
           "$XDG_CONFIG_HOME/tapscope/devices (~/.config/tapscope/devices). Without such\n"
           "a link COMn is /dev/ttyS(n-1). For example, to make COM3 a USB adapter:\n"
           "  ln -s /dev/ttyUSB0 ~/.config/tapscope/devices/com3\n"
           "The device folder here: " +
           platform::SerialDeviceFolder() +
           "\n"
           "\n"
           "Exit status:\n"
           "  0  the capture ended on Ctrl-C (SIGINT), SIGTERM or SIGHUP, or because a\n"
           "     TCP client closed its connection; --help, --version\n"
           "  1  the capture could not start, or its transport reported an error\n"
           "  2  a usage error: an unknown command or option, or a value that is not\n"
           "     accepted; a capture file that cannot be used; or no display to open\n"
           "     the window on\n"
           "show: 0 shown; 1 shown as far as it could be, but the record does not\n"
           "match the capture file; 2 a usage error, a capture file that cannot be\n"
           "read, an output that cannot be written, or a --source that names no source\n"
           "of the record\n"
           "export: 0 written; 1 no record, a record whose rows lie past the capture\n"
           "file's end, or a failed write (nothing is written then), or bytes of the\n"
           "capture in no row (written without them; a capture still running, whose\n"
           "record has no end yet, only says so); 2 a usage error, or an OUT that\n"
           "exists (without --overwrite) or cannot be replaced\n";
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
    if (args[0] == "show") {
        return ParseShow(args, result);
    }
    if (args[0] == "export") {
        return ParseExport(args, result);
    }
    if (args[0] != "capture") {
        return fail("unknown command '" + args[0] + "'");
    }
    if (args.size() < 2) {
        return fail("capture needs a transport: com, udp or tcp");
    }
    if (args[1] == "--help" || args[1] == "-h") {
        result.kind = CommandKind::kHelp;
        return result;
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
        if (name == "--no-record" && !value) {
            capture.record = false;
            continue;
        }
        if (name == "--keep-listening" && !value) {
            if (capture.tab != kTabTcp) {
                return fail(name + " applies to tcp captures only");
            }
            capture.keepListening = true;
            continue;
        }
        if (name == "--burst-gap") {
            if (!value) {
                if (i + 1 >= args.size()) {
                    return fail(name + " needs a value");
                }
                value = args[++i];
            }
            const std::optional<std::int64_t> gap = ParseBurstGap(*value);
            if (!gap) {
                return fail(name + ": '" + *value +
                            "' is not a number of milliseconds from 0 to 60000 (such as 10 or "
                            "2.5)");
            }
            capture.burstGapUs = *gap;
            continue;
        }
        if (name == "--read-size") {
            if (capture.tab == kTabUdp) {
                return fail(name +
                            " applies to com and tcp captures only; a udp capture always "
                            "reads whole datagrams");
            }
            if (!value) {
                if (i + 1 >= args.size()) {
                    return fail(name + " needs a value");
                }
                value = args[++i];
            }
            const std::optional<std::size_t> bytes = ParseReadSize(*value);
            if (!bytes) {
                return fail(name + ": '" + *value + "' is not a whole number of bytes from 1 to " +
                            std::to_string(kLargestReadSize));
            }
            capture.readSize = *bytes;
            continue;
        }
        const bool rolloverOption =
            name == "--rotate-size" || name == "--rotate-every" || name == "--keep";
        if (rolloverOption) {
            if (!value) {
                if (i + 1 >= args.size()) {
                    return fail(name + " needs a value");
                }
                value = args[++i];
            }
            if (name == "--rotate-size") {
                const auto bytes = ParseRotateSize(*value);
                if (!bytes) {
                    return fail("--rotate-size: '" + *value +
                                "' is not a whole number of MiB from 1 to 1048576");
                }
                capture.rollover.maxBytes = *bytes;
            } else if (name == "--rotate-every") {
                const auto age = ParseDuration(*value);
                if (!age) {
                    return fail("--rotate-every: '" + *value +
                                "' is not a time such as 90s, 15m, 6h or 1d (at most 366d)");
                }
                capture.rollover.maxAge = *age;
            } else {
                const auto keep = ParseRotateKeep(*value);
                if (!keep) {
                    return fail("--keep: '" + *value + "' is not a whole number from 1 to 100000");
                }
                capture.rollover.keep = *keep;
            }
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

    if (capture.rollover.keep > 0 && !capture.rollover.Active()) {
        return fail("--keep needs --rotate-size or --rotate-every");
    }
    if (capture.burstGapUs && !capture.record) {
        return fail("--burst-gap applies to the record, which --no-record turns off");
    }
    if (capture.rollover.Active() && capture.file == "-") {
        return fail("--rotate-size and --rotate-every need a capture file, not standard output");
    }
    if (settings) {
        if (!values.empty()) {
            return fail("give either --settings or " + values.begin()->first + ", not both");
        }
        if (const std::optional<std::string> problem =
                CheckSettingsDocument(capture.tab, *settings)) {
            return fail("--settings: " + *problem);
        }
        capture.document = *settings;
        result.kind = CommandKind::kCapture;
        return result;
    }
    auto valueOf = [&](const std::string& name, const std::string& fallback) {
        const auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    };
    // The first given value that a check refuses, as "--charsize '9': give ...".
    auto refused =
        [&](const std::string& name,
            std::optional<std::string> (*check)(const std::string&)) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) {
            return std::nullopt;
        }
        const std::optional<std::string> problem = check(found->second);
        return problem ? std::optional(name + " '" + found->second + "': " + *problem)
                       : std::nullopt;
    };
    if (capture.tab == kTabCom) {
        using Check = std::optional<std::string> (*)(const std::string&);
        const std::pair<const char*, Check> checks[] = {
            {"--port", CheckComPort}, {"--baudrate", CheckBaudRate}, {"--charsize", CheckCharSize}};
        for (const auto& [name, check] : checks) {
            if (std::optional<std::string> problem = refused(name, check)) {
                return fail(*problem);
            }
        }
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
        const std::optional<int> stopBitsIndex = StopBitsIndexOf(stopBits);
        if (!stopBitsIndex) {
            return fail("--stopbits: '" + stopBits + "' is not " + Join(kStopBitsNames) +
                        ", nor 1, 1.5 or 2");
        }
        com.parity = *parityIndex;
        com.stopBits = *stopBitsIndex;
        capture.document = ComSettingsDocument(com);
    } else {
        if (std::optional<std::string> problem = refused("--ip", CheckAddress)) {
            return fail(*problem);
        }
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
    if (options.file == "-" && !platform::StandardOutputIsOpen()) {
        std::cerr << kProgramName << ": -o -: standard output is closed; give a file name\n";
        return 2;
    }
    // Before any thread starts (the log's writer is the first), so that every
    // thread leaves the termination signals to the loop below.
    platform::BlockTerminationSignals();
    ZelLog::CDebug::Instance("", ZelLog::kRegistryPath)->WriteHeader();

    const std::string fileName = options.file.empty() ? DefaultCaptureFileName() : options.file;
    // "-o -": the capture goes to standard output.
    const std::string shownName = fileName == "-" ? "standard output" : fileName;
    ConsoleView view(options, fileName);
    CaptureController controller(view, fileName);
    controller.SetRollover(options.rollover);
    controller.SetStandardOutputAllowed(true);
    controller.SetSettingsPage(std::make_shared<FixedSettingsPage>(options.document));
    controller.SetReconnect(options.reconnect);
    controller.SetReadSize(options.readSize);
    controller.SetRecord(options.record);
    controller.SetKeepListening(options.keepListening);
    if (options.burstGapUs) {
        controller.SetBurstGap(std::chrono::microseconds(*options.burstGapUs));
    }

    controller.OnStartStop();
    if (!controller.WorkerStarted()) {
        view.EndOutput();
        // Refused; the view has said why. A capture file that cannot be used
        // is a usage error, like a bad option.
        return controller.CaptureFileRefused() ? 2 : 1;
    }
    if (controller.TransportStarted()) {
        const std::string into =
            options.rollover.Active() ? "files rolled over from " + shownName : shownName;
        view.Print("capturing " + options.transport + " into " + into + " (Ctrl-C stops)");
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
    if (!controller.TransportStarted()) {
        return 1;  // it did not start, and has said why: nothing was captured
    }
    std::string into = shownName;
    if (options.rollover.Active()) {
        const std::string last = controller.CurrentCaptureFile();
        into = "files rolled over from " + fileName +
               (last.empty() ? std::string() : " (the last: " + last + ")");
    }
    // What the stop read of what had already arrived is part of the capture;
    // what it had to leave is said, as it is lost.
    const DrainResult drained = controller.LastDrain();
    std::string summary = "captured " + std::to_string(controller.BytesWritten()) + " bytes in " +
                          std::to_string(controller.BlocksWritten()) + " blocks into " + into;
    if (drained.drainedBytes > 0) {
        summary += " (" + std::to_string(drained.drainedBytes) +
                   " of them had arrived before the stop and were read after it)";
    }
    if (controller.BlocksDropped() > 0) {
        summary += " (" + std::to_string(controller.BlocksDropped()) + " blocks dropped)";
    }
    // Losses the system reported are part of the summary, record or not.
    if (controller.DatagramsLost() > 0) {
        summary +=
            "; the system dropped " + std::to_string(controller.DatagramsLost()) + " datagrams";
    }
    if (controller.LineErrors() > 0) {
        summary += "; " + std::to_string(controller.LineErrors()) + " line errors";
    }
    view.Print(summary);
    if (const std::string record = controller.RecordFile(); !record.empty()) {
        view.Print("record: " + record);
    }
    if (drained.leftBytes > 0) {
        view.Print(std::to_string(drained.leftBytes) +
                   " bytes that had arrived were left behind: the stop reads for at most one "
                   "second");
    }
    return view.Failures() > 0 ? 1 : 0;
}

}  // namespace tapscope::app

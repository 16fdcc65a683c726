// The command line: "tapscope" opens the window; "tapscope capture com|udp|tcp
// [options] [-o FILE]" runs the window's capture with a console view, for
// machines without a display; "tapscope ports" lists the serial ports;
// "tapscope show FILE" shows a capture with its record; "tapscope export
// FILE --pcapng OUT" writes it as a pcapng file; "--help" and
// "--version" print and end. Nothing
// here creates a QApplication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/capture_roller.h"
#include "app/export_command.h"
#include "app/show_command.h"

namespace tapscope::app {

struct CaptureOptions {
    int tab = 0;            // the tab the capture stands for: 0 com, 1 udp, 2 tcp
    std::string transport;  // "com", "udp" or "tcp"
    std::string document;   // the settings document
    std::string file;       // the capture file; empty: pos_log.txt here
    bool overwrite = false;
    RolloverLimits rollover;   // --rotate-size, --rotate-every, --keep
    bool reconnect = false;    // com: wait for a device that goes away
    std::size_t readSize = 1;  // com, tcp: the most one read takes (--read-size)
    bool record = true;        // the record beside the capture file (--no-record)
    // --burst-gap, in microseconds; nothing: the default of the transport.
    std::optional<std::int64_t> burstGapUs;
    bool keepListening = false;  // tcp: a client that closes does not end it
};

enum class CommandKind { kWindow, kHelp, kVersion, kCapture, kPorts, kShow, kExport, kError };

struct CommandLine {
    CommandKind kind = CommandKind::kWindow;
    CaptureOptions capture;
    ShowOptions show;
    ExportOptions exportOptions;
    std::string error;  // what was wrong, for kError
};

// |args| without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
std::string VersionText();

// Runs a capture until Ctrl-C, SIGTERM or SIGHUP or a TCP client closing its
// connection (status 0), a transport's message (status 1) or a transport with nothing to do (status
// 1). A capture that does not start returns 1 after saying why.
int RunCapture(const CaptureOptions& options);

}  // namespace tapscope::app

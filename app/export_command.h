// "tapscope export FILE --pcapng OUT": a capture and its record as a pcapng
// file that Wireshark and tshark open. Each row of the record becomes
// packets at its arrival time, its bytes taken from the capture file:
//
//   UDP     one datagram per row from its sender to the capture's address
//   TCP     one conversation per connection: handshake when it connected,
//           the client's bytes as segments, FIN exchange or RST when it
//           closed or was reset
//   serial  the bytes as they came, on an interface named after the device
//
// The capture's own address is the record's local address; where that is
// the any-address (0.0.0.0, ::) the loopback of the sender's family stands
// in. Events that are not a TCP connection opening or ending are packets of
// their own, without bytes, on an "events" interface, told in the packet's
// comment; the start and end of the capture are comments of the section.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/capture_record.h"

namespace tapscope::app {

struct ExportOptions {
    std::string capture;  // the capture file; its record is beside it
    std::string output;   // the pcapng file to write
    bool overwrite = false;
};

struct ExportResult {
    // 0 written; 1 the record or capture cannot be exported, or writing
    // failed; 2 the output cannot be used (it exists without --overwrite, is
    // not a regular file, or is the capture itself).
    int status = 0;
    std::string error;  // what went wrong, naming the file
    std::uint64_t packets = 0;
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;         // of the capture, carried in packets
    std::vector<std::string> notes;  // worth telling, though not failures
    // Bytes of the capture file in no row of the record, which the export
    // therefore lacks; and how many of them lie past the last row.
    std::uint64_t bytesInNoRow = 0;
    std::uint64_t bytesPastLastRow = 0;
};

// Writes |record| with the bytes of |options.capture| as a pcapng file at
// |options.output| (mode 0600, never through a symbolic link). The file is
// written under a temporary name beside it and takes its name only when
// complete, so a failed export leaves no partial file and an existing file
// is replaced whole or not at all. A record whose rows lie past the end of
// the capture file is refused before anything is written. Bytes of the
// capture in no row (damaged record lines, a capture still running) are
// counted in the result; the export is written without them.
ExportResult ExportPcapng(const CaptureRecord& record, const ExportOptions& options);

// Reads the record beside |options.capture| and exports it, saying what was
// written on |out| and what went wrong on |err|. Returns the exit status: 0,
// 1 without a record or with one that cannot be exported, or when the export
// lacks bytes of the capture that the record should have covered (it is
// written all the same), 2 for an output that cannot be used. The bytes past
// the last row of a record without an end, a capture still running, are
// only told.
int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tapscope::app

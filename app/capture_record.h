// The capture record: a JSON Lines file beside a capture file ("till.bin"
// gives "till.bin.jsonl") that says when and from whom each burst of the
// capture came, and what happened around it, without touching a byte of the
// capture. One JSON object per line, its "type" first:
//
//   start   the capture began: format version, program, host, transport,
//           settings document, capture file, the capture's own address
//   source  a sender, declared once before its first row or event: a serial
//           device, a UDP sender, a TCP connection (number, peer)
//   row     consecutive bytes of the capture file from one source: offset,
//           length, how many reads, arrival time of its first and last read
//   event   a client connected, closed or reset, a loss, a message, ...
//   end     the capture ended: reason, totals, SHA-256 of the capture file
//
// Times are UTC wall-clock times with microseconds ("2026-12-08T17:49:30.
// 123456Z") and CLOCK_MONOTONIC nanoseconds ("mono"). The README describes
// every field. This header holds what the writer and the readers share: the
// file's name, and the record as read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tapscope::app {

// The version of the record format this build writes and reads.
constexpr int kRecordVersion = 1;

// The record's name for a capture file: the capture's name plus ".jsonl".
std::string RecordPathFor(const std::string& capturePath);

struct RecordStart {
    int version = 0;
    std::string program;    // "tapscope 1.4.0"
    std::string host;       // the machine's host name
    std::string transport;  // "serial", "udp" or "tcp"
    std::string settings;   // the settings document the transport was given
    std::string capture;    // the capture file's path as it was given
    // The capture's own address and port for UDP and TCP ("127.0.0.1", 8001),
    // as the settings give them; empty and 0 for a serial capture.
    std::string localAddress;
    unsigned localPort = 0;
    std::int64_t timeUs = 0;  // wall clock, microseconds since 1970 (UTC)
    std::int64_t mono = 0;    // CLOCK_MONOTONIC, nanoseconds
    std::uint64_t burstGapUs = 0;
};

struct RecordSource {
    std::uint64_t id = 0;  // 1, 2, ... in the order of declaration
    std::string kind;      // "serial", "udp" or "tcp"
    // How it is named everywhere: "COM3 -> /dev/ttyUSB0", "127.0.0.1:40112",
    // "[::1]:40112"; a TCP source also "#2 127.0.0.1:40112" in listings.
    std::string name;
    std::string address;           // UDP/TCP peer address: "127.0.0.1", "::1"
    unsigned port = 0;             // UDP/TCP peer port
    std::uint64_t connection = 0;  // TCP: the connection's number, 1 for the first
    std::string device;            // serial: the device opened, "/dev/ttyUSB0"
};

struct RecordRow {
    std::uint64_t source = 0;  // a RecordSource id; 0 when unknown
    std::uint64_t offset = 0;  // where its bytes lie in the capture file
    std::uint64_t length = 0;
    std::uint64_t blocks = 0;  // the reads (datagrams) it covers
    std::int64_t firstUs = 0;  // arrival of its first read, wall clock
    std::int64_t lastUs = 0;   // arrival of its last read, wall clock
    std::int64_t firstMono = 0;
    std::int64_t lastMono = 0;
};

struct RecordEvent {
    // "connected", "closed", "reset", "loss", "device-gone", "device-back",
    // "note", "message" (a transport's error), "write-failed" (blocks that
    // could not be written to the capture file).
    std::string kind;
    std::uint64_t source = 0;  // 0: the capture as a whole
    std::int64_t timeUs = 0;
    std::int64_t mono = 0;
    std::string text;         // in words, as the status line shows it
    std::uint64_t count = 0;  // loss: units lost; write-failed: blocks
    std::string unit;         // loss: "datagrams", "line errors"
};

struct RecordEnd {
    // "stopped", "client closed", "error", "rolled over", "file failed".
    std::string reason;
    std::string text;  // in words: the message or event that ended it
    std::int64_t timeUs = 0;
    std::int64_t mono = 0;
    std::uint64_t bytes = 0;    // bytes in the capture file
    std::uint64_t blocks = 0;   // reads written
    std::uint64_t rows = 0;     // rows in this record
    std::uint64_t lost = 0;     // units the system reported lost
    std::uint64_t dropped = 0;  // blocks that could not be written
    std::string sha256;         // of the capture file's bytes, lower-case hex
    std::string next;           // "rolled over": the next capture file
};

// A record as read back. Lines that cannot be read are not fatal: each is
// told in |problems| ("line 12: not a JSON object") and skipped; a last line
// without its newline (a capture still running, or one that ended hard) is
// left out without a problem, and |partialLastLine| says so.
struct CaptureRecord {
    std::optional<RecordStart> start;
    std::vector<RecordSource> sources;
    std::vector<RecordRow> rows;      // in arrival order
    std::vector<RecordEvent> events;  // in arrival order
    std::optional<RecordEnd> end;
    std::vector<std::string> problems;
    bool partialLastLine = false;

    // The source with |id|, or null.
    const RecordSource* Source(std::uint64_t id) const;
};

// Reads the record at |path|. Nothing, with |error| set ("cannot open
// till.bin.jsonl: No such file or directory", "not a capture record: ...",
// "record version 7 is newer than this program reads (1)"), when it cannot
// be read as a record at all.
std::optional<CaptureRecord> ReadRecord(const std::string& path, std::string& error);

// How a source is named where rows are listed: a TCP connection with its
// number, "#2 127.0.0.1:40112"; another by its name; "unknown source" for 0.
// |record| may be null (a capture without a record).
std::string SourceLabel(const CaptureRecord* record, std::uint64_t id);

}  // namespace tapscope::app

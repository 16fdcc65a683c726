// CaptureRecordWriter: writes the record of one capture file (the format is
// in capture_record.h and the README) while blocks are appended to it. Blocks
// of one source that arrive less than the burst gap apart become one row; a
// UDP datagram is always a row of its own. Lines are gathered in memory and
// written out when a good deal has gathered, at each Flush (the capture calls
// it once a second, which also ends the row being gathered) and at End. It
// also keeps the SHA-256 of the capture file's bytes for the end line.
//
// The first failure to write the record is kept (Failure) and ends the
// record: nothing more is written, and the capture is none the worse.
//
// One thread at a time: the capture calls it under its write lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/capture_record.h"
#include "protocols/block_source.h"
#include "protocols/transport_event.h"

namespace tapscope::app {

// An instant on both clocks the record keeps.
struct RecordStamp {
    std::int64_t wallNs = 0;  // CLOCK_REALTIME
    std::int64_t monoNs = 0;  // CLOCK_MONOTONIC
    static RecordStamp Now();
};

class CaptureRecordWriter {
public:
    // |start| gives the start line's fields; version and time are filled in.
    CaptureRecordWriter(std::string recordPath, RecordStart start);
    ~CaptureRecordWriter();
    CaptureRecordWriter(const CaptureRecordWriter&) = delete;
    CaptureRecordWriter& operator=(const CaptureRecordWriter&) = delete;

    // Creates the record (replacing a regular file of that name, never
    // through a symbolic link; mode 0600) and writes its start line. False,
    // with Failure() saying why, when it cannot.
    bool Open(const RecordStamp& at);

    // |size| bytes at |data| from |source| (null: unknown) were appended to
    // the capture file; they arrived at |at|.
    void Block(const BlockSource* source, const char* data, std::size_t size,
               const RecordStamp& at);
    // What a transport told, as an event line (its source declared first).
    void Event(const TransportEvent& event, const RecordStamp& at);
    // A line of |kind| about the capture as a whole ("message", "write-failed").
    void CaptureEvent(const std::string& kind, const std::string& text, std::uint64_t count,
                      const RecordStamp& at);
    // Ends the row being gathered and writes out what has gathered.
    void Flush();
    // Writes the end line and closes the record. |end| gives reason, text,
    // next, lost and dropped; the totals and the SHA-256 are filled in.
    void End(RecordEnd end, const RecordStamp& at);

    const std::string& Path() const { return m_path; }
    // Why the record could not be written; empty while all is well.
    const std::string& Failure() const { return m_failure; }
    // Bytes and rows recorded so far.
    std::uint64_t Bytes() const { return m_offset; }
    std::uint64_t Rows() const { return m_rows; }

private:
    struct Pending {
        bool active = false;
        std::uint64_t source = 0;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        std::uint64_t blocks = 0;
        RecordStamp first;
        RecordStamp last;
    };

    // The id of |source|, declaring it with a source line when it is new.
    std::uint64_t SourceId(const BlockSource& source);
    void EndRow();
    void AppendTime(std::int64_t wallNs);
    void AppendText(const std::string& text);
    void AppendNumber(std::uint64_t value);
    void AppendSigned(std::int64_t value);
    void WriteOut();
    void Fail(const std::string& why);

    std::string m_path;
    RecordStart m_start;
    int m_fd = -1;
    std::string m_failure;
    std::string m_lines;  // gathered, not yet written
    std::int64_t m_gapNs = 0;

    Pending m_pending;
    // The source of the last block and its id: the common case (the same
    // sender again) needs no look-up.
    BlockSource m_lastSource;
    std::uint64_t m_lastSourceId = 0;
    std::unordered_map<std::string, std::uint64_t> m_sourceIds;
    std::uint64_t m_offset = 0;
    std::uint64_t m_blocks = 0;
    std::uint64_t m_rows = 0;

    // The second whose "2026-12-08T17:49:30." the last time used.
    std::int64_t m_cachedSecond = -1;
    char m_cachedPrefix[32] = {};

    struct Hash;
    std::unique_ptr<Hash> m_hash;
};

}  // namespace tapscope::app

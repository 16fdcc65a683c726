// OpenedCapture: a capture file read with its record (FILE.jsonl) for the
// live view, without starting anything: the record's rows and events in
// arrival order, as "tapscope show" lists them, and the bytes of a row read
// from the capture file when they are shown. Bytes no record row covers (a
// capture without a record, or past the last row of one still running) are
// one row of unknown time. What the record says about itself, or where it
// does not fit the file, is in Notes(); "tapscope show" checks it in full.
//
// Threading: one thread at a time.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/capture_record.h"
#include "app/live_model.h"

namespace tapscope::app {

class OpenedCapture {
public:
    // Null, with |error| set ("cannot open till.bin: No such file or
    // directory", "till.bin is not a regular file"), when the capture file
    // cannot be read. A record that is missing or cannot be read is a note.
    static std::unique_ptr<OpenedCapture> Open(const std::string& path, std::string& error);

    const std::string& Path() const { return m_path; }
    std::uint64_t FileSize() const { return m_size; }
    const std::optional<CaptureRecord>& Record() const { return m_record; }
    // Rows and events in arrival order; sources by the index rows name.
    std::vector<LiveRow> TakeRows() { return std::move(m_rows); }
    const QStringList& Sources() const { return m_sources; }
    const std::vector<std::string>& Notes() const { return m_notes; }

    // Up to |length| bytes from |offset|, as far as the file reaches.
    QByteArray Read(std::uint64_t offset, std::uint64_t length) const;

private:
    OpenedCapture() = default;
    std::string Label(std::uint64_t id) const;
    int SourceIndex(std::uint64_t id);
    void Arrange();

    std::string m_path;
    std::uint64_t m_size = 0;
    mutable QFile m_file;
    std::optional<CaptureRecord> m_record;
    std::vector<LiveRow> m_rows;
    QStringList m_sources;
    std::unordered_map<std::uint64_t, int> m_sourceIndex;  // record id -> index
    std::vector<std::string> m_notes;
};

}  // namespace tapscope::app

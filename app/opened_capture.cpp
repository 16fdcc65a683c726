#include "app/opened_capture.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace tapscope::app {
namespace {

std::string Plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::unique_ptr<OpenedCapture> OpenedCapture::Open(const std::string& path, std::string& error) {
    std::unique_ptr<OpenedCapture> capture(new OpenedCapture);
    capture->m_path = path;
    // The record first, then the file's size: a capture that still runs has
    // written a row's bytes before the row.
    const std::string recordPath = RecordPathFor(path);
    std::string recordError;
    capture->m_record = ReadRecord(recordPath, recordError);
    // A FIFO or a device is no capture to browse, and opening a FIFO would
    // wait for a writer.
    std::error_code statusError;
    const auto status = std::filesystem::status(path, statusError);
    if (statusError) {
        error = "cannot open " + path + ": " + statusError.message();
        return nullptr;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        error = path + " is not a regular file";
        return nullptr;
    }
    capture->m_file.setFileName(QString::fromStdString(path));
    if (!capture->m_file.open(QIODevice::ReadOnly)) {
        error = "cannot open " + path + ": " + capture->m_file.errorString().toStdString();
        return nullptr;
    }
    capture->m_size = static_cast<std::uint64_t>(capture->m_file.size());
    if (!capture->m_record) {
        std::error_code missing;
        if (!std::filesystem::exists(recordPath, missing) && !missing) {
            capture->m_notes.push_back("no record (" + recordPath +
                                       "): the bytes are one block of unknown time");
        } else {
            capture->m_notes.push_back(recordError + ": the bytes are one block of unknown time");
        }
    }
    capture->Arrange();
    return capture;
}

std::string OpenedCapture::Label(std::uint64_t id) const {
    // As "tapscope show" names them: a TCP connection by its number.
    return SourceLabel(m_record ? &*m_record : nullptr, id);
}

int OpenedCapture::SourceIndex(std::uint64_t id) {
    const auto found = m_sourceIndex.find(id);
    if (found != m_sourceIndex.end()) {
        return found->second;
    }
    const int index = static_cast<int>(m_sources.size());
    m_sources.push_back(QString::fromStdString(Label(id)));
    m_sourceIndex.emplace(id, index);
    return index;
}

void OpenedCapture::Arrange() {
    std::uint64_t rowsEnd = 0;
    if (m_record) {
        const CaptureRecord& record = *m_record;
        // Sources in the record's order, so that the filter lists them so.
        for (const RecordSource& source : record.sources) {
            SourceIndex(source.id);
        }
        m_rows.reserve(record.rows.size() + record.events.size() + 1);
        std::size_t row = 0;
        std::size_t event = 0;
        while (row < record.rows.size() || event < record.events.size()) {
            const bool rowFirst = event == record.events.size() ||
                                  (row < record.rows.size() &&
                                   record.rows[row].firstUs < record.events[event].timeUs);
            LiveRow item;
            if (rowFirst) {
                const RecordRow& from = record.rows[row++];
                item.kind = LiveRow::Kind::kBytes;
                item.source = SourceIndex(from.source);
                item.wallUs = from.firstUs;
                item.lastWallUs = from.lastUs;
                item.firstMonoNs = from.firstMono;
                item.lastMonoNs = from.lastMono;
                item.length = from.length;
                item.blocks = from.blocks;
                item.offset = static_cast<std::int64_t>(from.offset);
                rowsEnd = std::max(rowsEnd, from.offset + from.length);
            } else {
                const RecordEvent& from = record.events[event++];
                item.kind = LiveRow::Kind::kEvent;
                item.source = from.source == 0 ? -1 : SourceIndex(from.source);
                item.wallUs = from.timeUs;
                item.lastWallUs = from.timeUs;
                item.firstMonoNs = from.mono;
                item.lastMonoNs = from.mono;
                item.event = QString::fromStdString(from.kind);
                item.text = QString::fromStdString(
                    from.text.empty() ? from.kind + " (" + Label(from.source) + ")" : from.text);
                item.count = from.count;
                item.unit = QString::fromStdString(from.unit);
            }
            m_rows.push_back(std::move(item));
        }
        if (!record.problems.empty()) {
            m_notes.push_back(
                Plural(record.problems.size(), "damaged record line", "damaged record lines") +
                " left out (" + record.problems.front() + ")");
        }
        if (m_size < rowsEnd) {
            m_notes.push_back("the file has " + Plural(m_size, "byte", "bytes") +
                              ", its record's rows reach to " + std::to_string(rowsEnd) +
                              ": the capture file was cut short or replaced");
        }
        if (!record.end) {
            m_notes.push_back(
                "the record has no end: the capture is still running, or it ended without one");
        } else {
            const RecordEnd& end = *record.end;
            m_notes.push_back("ended: " + end.reason +
                              (end.text.empty() ? "" : " (" + end.text + ")") + ", " +
                              Plural(end.bytes, "byte", "bytes") + " in " +
                              Plural(end.blocks, "block", "blocks"));
        }
    }
    if (m_size > rowsEnd) {
        LiveRow unknown;
        unknown.kind = LiveRow::Kind::kBytes;
        unknown.timeKnown = false;
        unknown.offset = static_cast<std::int64_t>(rowsEnd);
        unknown.length = m_size - rowsEnd;
        m_rows.push_back(std::move(unknown));
        if (m_record) {
            m_notes.push_back(Plural(m_size - rowsEnd, "byte", "bytes") +
                              " past the record's last row, of unknown time");
        }
    }
}

QByteArray OpenedCapture::Read(std::uint64_t offset, std::uint64_t length) const {
    if (offset >= m_size || length == 0) {
        return {};
    }
    const std::uint64_t size = std::min(length, m_size - offset);
    if (!m_file.seek(static_cast<qint64>(offset))) {
        return {};
    }
    return m_file.read(static_cast<qint64>(size));
}

}  // namespace tapscope::app

#include "app/show_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <ostream>

#include "app/capture_record.h"

namespace tapscope::app {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
// What one read of the capture file takes, and what the output gathers
// before it writes: the memory show needs besides the record's rows.
constexpr std::size_t kChunk = 1 << 16;
// Reports of one kind beyond this many are counted, not listed.
constexpr std::size_t kMostReports = 20;

// Seconds and microseconds of |us|, the microseconds never negative.
std::int64_t FloorSeconds(std::int64_t us) {
    return us / kMicrosPerSecond - (us % kMicrosPerSecond < 0 ? 1 : 0);
}

std::tm LocalTm(std::int64_t us) {
    const std::time_t seconds = static_cast<std::time_t>(FloorSeconds(us));
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm;
}

std::string Format(const char* format, const std::tm& tm) {
    char text[64];
    const std::size_t size = std::strftime(text, sizeof text, format, &tm);
    return std::string(text, size);
}

// "17:49:30.123456", local time.
std::string LocalClock(std::int64_t us) {
    char micros[8];
    std::snprintf(micros, sizeof micros, ".%06lld",
                  static_cast<long long>(us - FloorSeconds(us) * kMicrosPerSecond));
    return Format("%H:%M:%S", LocalTm(us)) + micros;
}

// "2026-12-08", local time.
std::string LocalDate(std::int64_t us) {
    return Format("%Y-%m-%d", LocalTm(us));
}

// |time| read as local time (or UTC with its "Z"), in microseconds since 1970.
std::int64_t Micros(const CivilTime& time) {
    if (time.utc) {
        return UtcMicros(time);
    }
    std::tm tm{};
    tm.tm_year = time.year - 1900;
    tm.tm_mon = time.month - 1;
    tm.tm_mday = time.day;
    tm.tm_hour = time.hour;
    tm.tm_min = time.minute;
    tm.tm_sec = time.second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm)) * kMicrosPerSecond + time.micros;
}

// "1.250000 s"
std::string Seconds(std::int64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%06lld s", static_cast<long long>(us / kMicrosPerSecond),
                  static_cast<long long>(us % kMicrosPerSecond));
    return text;
}

std::string Plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// True when --source |text| names |source|: its name or label, its address or
// device, or its number ("#2" or "2": a TCP connection's number, else the
// source's id).
bool Names(const CaptureRecord& record, const RecordSource& source, const std::string& text) {
    if (text == source.name || text == SourceLabel(&record, source.id) ||
        (!source.address.empty() && text == source.address) ||
        (!source.device.empty() && text == source.device)) {
        return true;
    }
    const std::string digits = text.size() > 1 && text[0] == '#' ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::uint64_t number = std::stoull(digits);
    const std::uint64_t own =
        source.kind == "tcp" && source.connection != 0 ? source.connection : source.id;
    return number == own;
}

// The capture file, read where asked, a chunk at a time.
class CaptureFile {
public:
    ~CaptureFile() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    bool Open(const std::string& path, std::string& error) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat facts {};
        if (m_fd < 0 || ::fstat(m_fd, &facts) != 0) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!S_ISREG(facts.st_mode)) {
            error = path + " is not a regular file";
            return false;
        }
        m_size = static_cast<std::uint64_t>(facts.st_size);
        return true;
    }

    std::uint64_t Size() const { return m_size; }

    // Hands the bytes from |offset| to |offset| + |length| (as far as the file
    // reaches) to |take| a chunk at a time; false when a read fails.
    template <typename Take>
    bool Read(std::uint64_t offset, std::uint64_t length, Take take) {
        const std::uint64_t end = std::min(m_size, offset + length);
        while (offset < end) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - offset));
            const ssize_t got = ::pread(m_fd, m_buffer, want, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                m_failure = got < 0 ? std::strerror(errno) : "the file ended early";
                return false;
            }
            take(offset, m_buffer, static_cast<std::size_t>(got));
            offset += static_cast<std::uint64_t>(got);
        }
        return true;
    }

    const std::string& Failure() const { return m_failure; }

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    char m_buffer[kChunk];
    std::string m_failure;
};

// Lines of 16 bytes as xxd writes them, each with its offset in the capture
// file: "00000010: 4142 4344 ...  ABCD...".
class HexDump {
public:
    explicit HexDump(std::string& text) : m_text(text) {}

    void Begin(std::uint64_t offset) {
        m_offset = offset;
        m_count = 0;
    }

    void Add(const char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            m_line[m_count++] = static_cast<unsigned char>(bytes[i]);
            if (m_count == 16) {
                Flush();
            }
        }
    }

    void Flush() {
        if (m_count == 0) {
            return;
        }
        static const char kHex[] = "0123456789abcdef";
        char offset[24];
        std::snprintf(offset, sizeof offset, "%08llx: ", static_cast<unsigned long long>(m_offset));
        m_text += offset;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i < m_count) {
                m_text += kHex[m_line[i] >> 4];
                m_text += kHex[m_line[i] & 15];
            } else {
                m_text += "  ";
            }
            if (i % 2 == 1 && i != 15) {
                m_text += ' ';
            }
        }
        m_text += "  ";
        for (std::size_t i = 0; i < m_count; ++i) {
            m_text += m_line[i] >= 0x20 && m_line[i] < 0x7f ? static_cast<char>(m_line[i]) : '.';
        }
        m_text += '\n';
        m_offset += m_count;
        m_count = 0;
    }

private:
    std::string& m_text;
    std::uint64_t m_offset = 0;
    unsigned char m_line[16] = {};
    std::size_t m_count = 0;
};

// What is shown, in arrival order: a row, an event, or bytes of unknown
// time (a capture without a record, or its bytes past the last row).
struct Item {
    enum Kind { kRow, kEvent, kUnknown } kind;
    std::size_t index = 0;  // into the record's rows or events
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // kUnknown
};

class Show {
public:
    Show(const ShowOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_out(out), m_err(err) {}

    int Run() {
        // The record first, then the capture file's size: a capture that is
        // still running has written a row's bytes before the row.
        const std::string recordPath = RecordPathFor(m_options.file);
        std::string recordError;
        if (std::optional<CaptureRecord> record = ReadRecord(recordPath, recordError)) {
            m_record = std::move(*record);
        }
        std::string error;
        if (!m_file.Open(m_options.file, error)) {
            m_err << "tapscope: " << error << "\n";
            return 2;
        }
        if (!m_record) {
            struct stat facts {};
            if (::stat(recordPath.c_str(), &facts) != 0 && errno == ENOENT) {
                Note(m_options.file + " has no record (" + recordPath +
                     "): its bytes are shown as one block of unknown time");
            } else {
                Report(recordError +
                       "; the capture's bytes are shown as one block of unknown time");
            }
        }
        if (!SelectSources()) {
            Tell();
            return 2;
        }
        ResolveTimes();
        Check();
        Arrange();
        if (m_options.stats) {
            Stats();
        } else if (m_options.raw) {
            Raw();
        } else {
            List();
        }
        if (m_unknownLeftOut > 0) {
            Note(Plural(m_unknownLeftOut, "byte", "bytes") +
                 " of unknown time and source left out by --source, --since or --until");
        }
        if (!m_readFailure.empty()) {
            Report("cannot read " + m_options.file + ": " + m_readFailure);
        }
        m_out.flush();
        Tell();
        // A full disk or a closed pipe is no success.
        if (!m_out) {
            m_err << "tapscope: cannot write the output: " << std::strerror(errno) << "\n";
            return 2;
        }
        return m_mismatch ? 1 : 0;
    }

private:
    void Note(const std::string& text) { m_messages.push_back(text); }

    // What was noted and reported, on standard error after the output.
    void Tell() {
        for (const std::string& line : m_messages) {
            m_err << "tapscope: " << line << "\n";
        }
    }

    void Report(const std::string& text) {
        m_messages.push_back(text);
        m_mismatch = true;
    }

    // Each --source must name at least one source of the record.
    bool SelectSources() {
        if (m_options.sources.empty()) {
            return true;
        }
        if (!m_record) {
            m_err << "tapscope: --source needs a record to know the sources by\n";
            return false;
        }
        for (const std::string& text : m_options.sources) {
            bool found = false;
            for (const RecordSource& source : m_record->sources) {
                if (Names(*m_record, source, text)) {
                    m_selected.push_back(source.id);
                    found = true;
                }
            }
            if (!found) {
                std::string known;
                for (const RecordSource& source : m_record->sources) {
                    known += (known.empty() ? "" : ", ") + SourceLabel(&*m_record, source.id);
                }
                m_err << "tapscope: --source '" << text << "' names no source of the record"
                      << (known.empty() ? std::string(" (it has none)")
                                        : " (its sources: " + known + ")")
                      << "\n";
                return false;
            }
        }
        return true;
    }

    // --since and --until as microseconds; a time of day is on the capture's
    // first day.
    void ResolveTimes() {
        std::int64_t firstDay = 0;
        if (m_record) {
            firstDay = m_record->start->timeUs != 0 || m_record->rows.empty()
                           ? m_record->start->timeUs
                           : m_record->rows.front().firstUs;
        }
        auto resolve = [&](const std::optional<ShowTime>& given) -> std::optional<std::int64_t> {
            if (!given) {
                return std::nullopt;
            }
            CivilTime time = given->time;
            if (given->timeOfDay) {
                const std::tm day = LocalTm(firstDay);
                time.year = day.tm_year + 1900;
                time.month = day.tm_mon + 1;
                time.day = day.tm_mday;
            }
            return Micros(time);
        };
        m_since = resolve(m_options.since);
        m_until = resolve(m_options.until);
    }

    bool Filtered() const {
        return !m_selected.empty() || m_options.since.has_value() || m_options.until.has_value();
    }

    bool SourceSelected(std::uint64_t id) const {
        return m_selected.empty() ||
               std::find(m_selected.begin(), m_selected.end(), id) != m_selected.end();
    }

    bool Selected(const RecordRow& row) const {
        return SourceSelected(row.source) && (!m_since || row.lastUs >= *m_since) &&
               (!m_until || row.firstUs <= *m_until);
    }

    bool Selected(const RecordEvent& event) const {
        // Events of the capture as a whole stay with any source.
        return (event.source == 0 || SourceSelected(event.source)) &&
               (!m_since || event.timeUs >= *m_since) && (!m_until || event.timeUs <= *m_until);
    }

    // The record against the capture file: rows that tile it from 0 to its
    // end, the end's figures, the file's SHA-256.
    void Check() {
        if (!m_record) {
            return;
        }
        const CaptureRecord& record = *m_record;
        std::size_t shown = 0;
        for (const std::string& problem : record.problems) {
            if (shown++ < kMostReports) {
                Report(RecordPathFor(m_options.file) + " " + problem);
            }
        }
        if (record.problems.size() > kMostReports) {
            Report("and " + std::to_string(record.problems.size() - kMostReports) +
                   " more damaged lines in the record");
        }
        std::vector<std::string> tiling;
        std::map<std::uint64_t, bool> undeclared;
        std::uint64_t expected = 0;
        for (const RecordRow& row : record.rows) {
            if (row.offset > expected) {
                tiling.push_back("bytes " + std::to_string(expected) + " to " +
                                 std::to_string(row.offset - 1) + " of " + m_options.file +
                                 " are in no row of the record");
            } else if (row.offset < expected) {
                tiling.push_back("the row at offset " + std::to_string(row.offset) +
                                 " overlaps the rows before it (to offset " +
                                 std::to_string(expected - 1) + ")");
            }
            expected = std::max(expected, row.offset + row.length);
            // Source 0 is the format's "unknown"; any other must be declared.
            if (row.source != 0 && record.Source(row.source) == nullptr &&
                !undeclared.count(row.source)) {
                undeclared[row.source] = true;
                tiling.push_back("the row at offset " + std::to_string(row.offset) +
                                 " is of source " + std::to_string(row.source) +
                                 ", which the record does not declare");
            }
        }
        m_rowsEnd = expected;
        for (std::size_t i = 0; i < tiling.size() && i < kMostReports; ++i) {
            Report(tiling[i]);
        }
        if (tiling.size() > kMostReports) {
            Report("and " + std::to_string(tiling.size() - kMostReports) +
                   " more rows that do not follow the capture file");
        }
        const std::uint64_t size = m_file.Size();
        if (size < m_rowsEnd) {
            Report(m_options.file + " has " + Plural(size, "byte", "bytes") +
                   ", but the record's rows reach to " + std::to_string(m_rowsEnd) +
                   ": the capture file was cut short or replaced");
        }
        if (!record.end) {
            Note("the record has no end: the capture is still running, or it ended without one" +
                 (size > m_rowsEnd ? "; the " + Plural(size - m_rowsEnd, "byte", "bytes") +
                                         " past its last row are of unknown time"
                                   : std::string()));
            return;
        }
        const RecordEnd& end = *record.end;
        if (size > m_rowsEnd) {
            Report("bytes " + std::to_string(m_rowsEnd) + " to " + std::to_string(size - 1) +
                   " of " + m_options.file + " are in no row of the record");
        }
        if (end.bytes != size) {
            Report("the record's end says " + Plural(end.bytes, "byte", "bytes") + ", " +
                   m_options.file + " has " + std::to_string(size));
        }
        if (end.rows != record.rows.size()) {
            Report("the record's end counts " + Plural(end.rows, "row", "rows") +
                   ", the record holds " + std::to_string(record.rows.size()));
        }
        if (!end.sha256.empty()) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (!m_file.Read(0, size, [&](std::uint64_t, const char* bytes, std::size_t count) {
                    hash.addData(QByteArrayView(bytes, static_cast<qsizetype>(count)));
                })) {
                m_readFailure = m_file.Failure();
                return;
            }
            m_sha256 = hash.result().toHex().toStdString();
            m_shaMatches = m_sha256 == end.sha256;
            if (!m_shaMatches) {
                Report("the capture file has changed since it was recorded: its SHA-256 is " +
                       m_sha256 + ", the record's end says " + end.sha256);
            }
        }
    }

    // Rows and events merged in arrival order, then what lies past the last
    // row (or the whole file, without a record).
    void Arrange() {
        const std::uint64_t size = m_file.Size();
        if (!m_record) {
            if (size > 0) {
                m_items.push_back({Item::kUnknown, 0, 0, size});
            }
            return;
        }
        const std::vector<RecordRow>& rows = m_record->rows;
        const std::vector<RecordEvent>& events = m_record->events;
        std::size_t row = 0;
        std::size_t event = 0;
        while (row < rows.size() || event < events.size()) {
            const bool rowFirst = event == events.size() ||
                                  (row < rows.size() && rows[row].firstUs < events[event].timeUs);
            if (rowFirst) {
                m_items.push_back({Item::kRow, row, rows[row].offset, rows[row].length});
                ++row;
            } else {
                m_items.push_back({Item::kEvent, event, 0, 0});
                ++event;
            }
        }
        if (size > m_rowsEnd) {
            m_items.push_back({Item::kUnknown, 0, m_rowsEnd, size - m_rowsEnd});
        }
    }

    // Whether |item| is shown; bytes of unknown time are left out by any
    // selection, and counted.
    bool Wanted(const Item& item) {
        switch (item.kind) {
            case Item::kRow:
                return Selected(m_record->rows[item.index]);
            case Item::kEvent:
                return Selected(m_record->events[item.index]);
            case Item::kUnknown:
                if (Filtered()) {
                    m_unknownLeftOut += item.length;
                    return false;
                }
                return true;
        }
        return false;
    }

    void Write(std::string& text, bool force) {
        if (force || text.size() >= kChunk) {
            m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }

    // The bytes from |offset|, |length| of them, as hex lines; what the file
    // does not hold is said.
    void Dump(std::string& text, std::uint64_t offset, std::uint64_t length) {
        HexDump dump(text);
        dump.Begin(offset);
        if (!m_file.Read(offset, length, [&](std::uint64_t, const char* bytes, std::size_t count) {
                dump.Add(bytes, count);
                Write(text, false);
            })) {
            m_readFailure = m_file.Failure();
        }
        dump.Flush();
        const std::uint64_t size = m_file.Size();
        if (length > 0 && offset + length > size) {
            const std::uint64_t from = std::max(offset, size);
            text += "(bytes " + std::to_string(from) + " to " +
                    std::to_string(offset + length - 1) + " are not in the capture file)\n";
        }
    }

    void List() {
        std::string text;
        std::string date;
        auto heading = [&](std::int64_t us) {
            const std::string day = LocalDate(us);
            if (day != date) {
                date = day;
                text += "=== " + day + "\n";
            }
        };
        for (const Item& item : m_items) {
            if (!Wanted(item)) {
                continue;
            }
            if (item.kind == Item::kEvent) {
                const RecordEvent& event = m_record->events[item.index];
                heading(event.timeUs);
                text += "-- " + LocalClock(event.timeUs) + " ";
                text += event.text.empty()
                            ? event.kind + " (" + SourceLabel(&*m_record, event.source) + ")"
                            : event.text;
                text += "\n";
            } else if (item.kind == Item::kRow) {
                const RecordRow& row = m_record->rows[item.index];
                heading(row.firstUs);
                text += LocalClock(row.firstUs) + " " + SourceLabel(&*m_record, row.source) + ": " +
                        Plural(row.length, "byte", "bytes") + "\n";
                Dump(text, row.offset, row.length);
            } else {
                text += std::string("time unknown") +
                        (m_record ? ", past the record's last row" : "") + ": " +
                        Plural(item.length, "byte", "bytes") + "\n";
                Dump(text, item.offset, item.length);
            }
            Write(text, false);
        }
        Write(text, true);
    }

    void Raw() {
        for (const Item& item : m_items) {
            if (item.kind == Item::kEvent || !Wanted(item)) {
                continue;
            }
            if (!m_file.Read(item.offset, item.length,
                             [&](std::uint64_t, const char* bytes, std::size_t count) {
                                 m_out.write(bytes, static_cast<std::streamsize>(count));
                             })) {
                m_readFailure = m_file.Failure();
            }
        }
    }

    void Stats() {
        struct PerSource {
            std::uint64_t bytes = 0;
            std::uint64_t rows = 0;
        };
        std::map<std::uint64_t, PerSource> sources;
        std::uint64_t rows = 0;
        std::uint64_t bytes = 0;
        std::uint64_t blocks = 0;
        std::optional<std::int64_t> first;
        std::optional<std::int64_t> last;
        const RecordRow* previous = nullptr;
        std::int64_t longestGap = -1;
        const RecordRow* gapBefore = nullptr;
        const RecordRow* gapAfter = nullptr;
        std::map<std::string, std::uint64_t> losses;
        std::uint64_t lossEvents = 0;
        std::uint64_t writeFailures = 0;
        std::uint64_t writeFailureEvents = 0;
        std::uint64_t unknown = 0;
        for (const Item& item : m_items) {
            if (!Wanted(item)) {
                continue;
            }
            if (item.kind == Item::kUnknown) {
                unknown += item.length;
            } else if (item.kind == Item::kEvent) {
                const RecordEvent& event = m_record->events[item.index];
                if (event.kind == "loss") {
                    losses[event.unit.empty() ? std::string("units") : event.unit] += event.count;
                    ++lossEvents;
                } else if (event.kind == "write-failed") {
                    writeFailures += event.count;
                    ++writeFailureEvents;
                }
            } else {
                const RecordRow& row = m_record->rows[item.index];
                ++rows;
                bytes += row.length;
                blocks += row.blocks;
                sources[row.source].bytes += row.length;
                sources[row.source].rows += 1;
                first = std::min(first.value_or(row.firstUs), row.firstUs);
                last = std::max(last.value_or(row.lastUs), row.lastUs);
                if (previous != nullptr) {
                    // The monotonic clock where both rows have it: a change
                    // of the wall clock does not make a gap.
                    const std::int64_t gap = previous->lastMono != 0 && row.firstMono != 0
                                                 ? (row.firstMono - previous->lastMono) / 1000
                                                 : row.firstUs - previous->lastUs;
                    if (gap > longestGap) {
                        longestGap = gap;
                        gapBefore = previous;
                        gapAfter = &row;
                    }
                }
                previous = &row;
            }
        }
        auto line = [](const std::string& label, const std::string& value) {
            std::string text = label + ":";
            text.resize(std::max<std::size_t>(text.size() + 1, 16), ' ');
            return text + value + "\n";
        };
        auto when = [](std::int64_t us) { return LocalDate(us) + " " + LocalClock(us); };
        std::string text;
        text +=
            line("capture file", m_options.file + ", " + Plural(m_file.Size(), "byte", "bytes"));
        if (m_record) {
            text += line("record", RecordPathFor(m_options.file) + ", " +
                                       Plural(m_record->rows.size(), "row", "rows") + ", " +
                                       Plural(m_record->events.size(), "event", "events"));
        } else {
            text += line("record", "none");
        }
        text += line("rows", std::to_string(rows));
        text += line("bytes", std::to_string(bytes));
        text += line("blocks", std::to_string(blocks));
        if (unknown > 0) {
            text += line("time unknown", Plural(unknown, "byte", "bytes"));
        }
        text += line("sources", std::to_string(sources.size()));
        for (const auto& [id, figures] : sources) {
            text += "  " + SourceLabel(m_record ? &*m_record : nullptr, id) + ": " +
                    Plural(figures.bytes, "byte", "bytes") + " in " +
                    Plural(figures.rows, "row", "rows") + "\n";
        }
        text += line("first", first ? when(*first) : "none");
        text += line("last", last ? when(*last) : "none");
        if (gapAfter != nullptr) {
            text += line("longest gap", Seconds(std::max<std::int64_t>(longestGap, 0)) + ", from " +
                                            LocalClock(gapBefore->lastUs) + " to " +
                                            LocalClock(gapAfter->firstUs) + " (before offset " +
                                            std::to_string(gapAfter->offset) + ", " +
                                            SourceLabel(&*m_record, gapAfter->source) + ")");
        } else {
            text += line("longest gap", "none");
        }
        std::string lost;
        for (const auto& [unit, count] : losses) {
            lost += (lost.empty() ? "" : ", ") + std::to_string(count) + " " + unit;
        }
        text += line("losses", lost.empty()
                                   ? std::string("none")
                                   : lost + " (" + Plural(lossEvents, "event", "events") + ")");
        text += line("write failures",
                     writeFailureEvents == 0
                         ? std::string("none")
                         : Plural(writeFailures, "block", "blocks") + " not written (" +
                               Plural(writeFailureEvents, "event", "events") + ")");
        if (!m_record || !m_record->end) {
            text += line("end", "none (the capture is still running, or ended without one)");
            text += line("sha256", "none");
        } else {
            const RecordEnd& end = *m_record->end;
            std::string ending = end.reason + ", " + Plural(end.bytes, "byte", "bytes") +
                                 (end.bytes == m_file.Size()
                                      ? " (as the file has)"
                                      : " (the file has " + std::to_string(m_file.Size()) + ")");
            if (end.lost > 0) {
                ending += ", " + std::to_string(end.lost) + " lost";
            }
            if (end.dropped > 0) {
                ending += ", " + Plural(end.dropped, "block", "blocks") + " dropped";
            }
            if (!end.next.empty()) {
                ending += ", next file " + end.next;
            }
            text += line("end", ending);
            if (end.sha256.empty()) {
                text += line("sha256", "not in the record");
            } else if (!m_sha256.empty()) {
                text += line("sha256", m_shaMatches ? "matches the file"
                                                    : "differs: the capture file has changed");
            } else {
                text += line("sha256", "not checked: the file could not be read");
            }
        }
        m_out << text;
    }

    const ShowOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    std::optional<CaptureRecord> m_record;
    CaptureFile m_file;
    std::vector<std::uint64_t> m_selected;
    std::optional<std::int64_t> m_since;
    std::optional<std::int64_t> m_until;
    std::uint64_t m_rowsEnd = 0;
    std::vector<Item> m_items;
    std::uint64_t m_unknownLeftOut = 0;
    std::string m_sha256;
    bool m_shaMatches = false;
    std::string m_readFailure;
    std::vector<std::string> m_messages;
    bool m_mismatch = false;
};

}  // namespace

std::optional<ShowTime> ParseShowTime(const std::string& text) {
    ShowTime result;
    result.text = text;
    if (std::optional<CivilTime> time = ParseTimeOfDay(text)) {
        result.time = *time;
        result.timeOfDay = true;
        return result;
    }
    if (std::optional<CivilTime> time = ParseCivilTime(text)) {
        result.time = *time;
        return result;
    }
    return std::nullopt;
}

int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err) {
    // The file's buffer is large; it lives on the heap.
    auto show = std::make_unique<Show>(options, out, err);
    return show->Run();
}

}  // namespace tapscope::app

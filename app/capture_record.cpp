#include "app/capture_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "app/record_time.h"

namespace tapscope::app {
namespace {

// A record line longer than this is no line the writer makes (the longest is
// the start line with its settings document); it is skipped unread rather
// than held in memory.
constexpr std::size_t kLongestLine = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The fields of one line, read with the line's number for the problems.
class Line {
public:
    Line(const QJsonObject& object, std::size_t number, std::vector<std::string>& problems)
        : m_object(object), m_number(number), m_problems(problems) {}

    bool Has(const char* key) const { return m_object.contains(QLatin1String(key)); }

    // A text field; empty when absent. Another JSON type is a problem.
    std::string Text(const char* key) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull()) {
            return {};
        }
        if (!value.isString()) {
            Problem(std::string("\"") + key + "\" is not text");
            return {};
        }
        return value.toString().toStdString();
    }

    // A whole number from |lowest| to |highest|; nothing (and a problem) when
    // the field is there but is not one, nothing alone when it is absent.
    std::optional<std::int64_t> Whole(const char* key, std::int64_t lowest, std::int64_t highest) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull()) {
            return std::nullopt;
        }
        // A number that is not whole, or beyond 64 bits, gives each default
        // back; a whole one gives itself both times.
        const qint64 one = value.toInteger(-1);
        const qint64 two = value.toInteger(-2);
        if (!value.isDouble() || one != two || one < lowest || one > highest) {
            Problem(std::string("\"") + key + "\" is not a whole number from " +
                    std::to_string(lowest) + " to " + std::to_string(highest));
            return std::nullopt;
        }
        return one;
    }

    // A count, a size or an offset: 0 to the largest file offset.
    std::optional<std::uint64_t> Count(const char* key) {
        const auto value = Whole(key, 0, std::numeric_limits<std::int64_t>::max());
        return value ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*value))
                     : std::nullopt;
    }

    // A UTC time with microseconds; a problem when it is there but is not one.
    std::optional<std::int64_t> Time(const char* key) {
        const std::string text = Text(key);
        if (text.empty()) {
            return std::nullopt;
        }
        const std::optional<std::int64_t> time = ParseRecordTime(text);
        if (!time) {
            Problem(std::string("\"") + key + "\" is not a UTC time such as " +
                    "2026-12-08T17:49:30.123456Z");
        }
        return time;
    }

    void Problem(const std::string& text) {
        m_problems.push_back("line " + std::to_string(m_number) + ": " + text);
    }

private:
    const QJsonObject& m_object;
    std::size_t m_number;
    std::vector<std::string>& m_problems;
};

constexpr std::int64_t kLargestInt = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kSmallestInt = std::numeric_limits<std::int64_t>::min();

RecordStart ReadStart(Line& line) {
    RecordStart start;
    start.version = static_cast<int>(line.Whole("version", 0, 1000000).value_or(0));
    start.program = line.Text("program");
    start.host = line.Text("host");
    start.transport = line.Text("transport");
    start.settings = line.Text("settings");
    start.capture = line.Text("capture");
    start.localAddress = line.Text("local_address");
    start.localPort = static_cast<unsigned>(line.Whole("local_port", 0, 65535).value_or(0));
    start.timeUs = line.Time("time").value_or(0);
    start.mono = line.Whole("mono", kSmallestInt, kLargestInt).value_or(0);
    start.burstGapUs = line.Count("burst_gap_us").value_or(0);
    return start;
}

std::optional<RecordSource> ReadSource(Line& line) {
    RecordSource source;
    const std::optional<std::uint64_t> id = line.Count("id");
    if (!id || *id == 0) {
        line.Problem("a source without its id (1, 2, ...)");
        return std::nullopt;
    }
    source.id = *id;
    source.kind = line.Text("kind");
    source.name = line.Text("name");
    source.address = line.Text("address");
    source.port = static_cast<unsigned>(line.Whole("port", 0, 65535).value_or(0));
    source.connection = line.Count("connection").value_or(0);
    source.device = line.Text("device");
    return source;
}

std::optional<RecordRow> ReadRow(Line& line) {
    RecordRow row;
    const std::optional<std::uint64_t> offset = line.Count("offset");
    const std::optional<std::uint64_t> length = line.Count("length");
    const std::optional<std::int64_t> first = line.Time("first");
    if (!offset || !length || !first) {
        line.Problem("a row without its offset, length and first time");
        return std::nullopt;
    }
    // Its bytes must lie within what a file offset can address.
    if (*length > static_cast<std::uint64_t>(kLargestInt) - *offset) {
        line.Problem("a row past the largest file offset");
        return std::nullopt;
    }
    row.source = line.Count("source").value_or(0);
    row.offset = *offset;
    row.length = *length;
    row.blocks = line.Count("blocks").value_or(0);
    row.firstUs = *first;
    row.lastUs = line.Time("last").value_or(*first);
    row.firstMono = line.Whole("first_mono", kSmallestInt, kLargestInt).value_or(0);
    row.lastMono = line.Whole("last_mono", kSmallestInt, kLargestInt).value_or(row.firstMono);
    return row;
}

std::optional<RecordEvent> ReadEvent(Line& line) {
    RecordEvent event;
    event.kind = line.Text("kind");
    const std::optional<std::int64_t> time = line.Time("time");
    if (event.kind.empty() || !time) {
        line.Problem("an event without its kind and time");
        return std::nullopt;
    }
    event.timeUs = *time;
    event.source = line.Count("source").value_or(0);
    event.mono = line.Whole("mono", kSmallestInt, kLargestInt).value_or(0);
    event.text = line.Text("text");
    event.count = line.Count("count").value_or(0);
    event.unit = line.Text("unit");
    return event;
}

RecordEnd ReadEnd(Line& line) {
    RecordEnd end;
    end.reason = line.Text("reason");
    end.text = line.Text("text");
    end.timeUs = line.Time("time").value_or(0);
    end.mono = line.Whole("mono", kSmallestInt, kLargestInt).value_or(0);
    end.bytes = line.Count("bytes").value_or(0);
    end.blocks = line.Count("blocks").value_or(0);
    end.rows = line.Count("rows").value_or(0);
    end.lost = line.Count("lost").value_or(0);
    end.dropped = line.Count("dropped").value_or(0);
    end.sha256 = line.Text("sha256");
    end.next = line.Text("next");
    return end;
}

// Reads the lines of |file| one at a time into |record|; false, with |error|
// set, when the file is no record.
class RecordReader {
public:
    RecordReader(const std::string& path, CaptureRecord& record) : m_path(path), m_record(record) {}

    // One complete line (without its newline), numbered |number|.
    bool Take(const std::string& text, std::size_t number, std::string& error) {
        if (text.find_first_not_of(" \t\r") == std::string::npos) {
            return true;  // a blank line says nothing
        }
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(
            QByteArray(text.data(), static_cast<qsizetype>(text.size())), &parseError);
        if (document.isNull() || !document.isObject()) {
            if (!m_record.start) {
                error = "not a capture record: line " + std::to_string(number) + " of " + m_path +
                        " is not a JSON object";
                return false;
            }
            m_record.problems.push_back("line " + std::to_string(number) + ": not a JSON object");
            return true;
        }
        const QJsonObject object = document.object();
        Line line(object, number, m_record.problems);
        const QJsonValue typeValue = object.value(QLatin1String("type"));
        const std::string type =
            typeValue.isString() ? typeValue.toString().toStdString() : std::string();
        if (!m_record.start) {
            if (type != "start") {
                error = "not a capture record: " + m_path + " does not begin with a start line";
                return false;
            }
            RecordStart start = ReadStart(line);
            if (start.version < 1) {
                error = "not a capture record: " + m_path + " has no format version";
                return false;
            }
            if (start.version > kRecordVersion) {
                error = "record version " + std::to_string(start.version) +
                        " is newer than this program reads (" + std::to_string(kRecordVersion) +
                        ")";
                return false;
            }
            m_record.start = std::move(start);
            return true;
        }
        if (type.empty()) {
            line.Problem("no \"type\"");
        } else if (type == "source") {
            if (std::optional<RecordSource> source = ReadSource(line)) {
                if (m_record.Source(source->id) != nullptr) {
                    line.Problem("source " + std::to_string(source->id) + " declared again");
                } else {
                    m_record.sources.push_back(std::move(*source));
                }
            }
        } else if (type == "row") {
            if (std::optional<RecordRow> row = ReadRow(line)) {
                m_record.rows.push_back(*row);
            }
        } else if (type == "event") {
            if (std::optional<RecordEvent> event = ReadEvent(line)) {
                m_record.events.push_back(std::move(*event));
            }
        } else if (type == "end") {
            if (m_record.end) {
                line.Problem("a second end line");
            } else {
                m_record.end = ReadEnd(line);
            }
        } else if (type == "start") {
            line.Problem("a second start line");
        }
        // Any other type is of a later format, and ignored.
        return true;
    }

private:
    const std::string& m_path;
    CaptureRecord& m_record;
};

}  // namespace

std::string RecordPathFor(const std::string& capturePath) {
    return capturePath + ".jsonl";
}

const RecordSource* CaptureRecord::Source(std::uint64_t id) const {
    for (const RecordSource& source : sources) {
        if (source.id == id) {
            return &source;
        }
    }
    return nullptr;
}

std::optional<CaptureRecord> ReadRecord(const std::string& path, std::string& error) {
    // Without blocking: a FIFO under the record's name must not hang the
    // reader until some writer comes.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(descriptor, "rb"));
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        ::close(descriptor);
        return std::nullopt;
    }
    struct stat facts {};
    if (fstat(fileno(file.get()), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        error = "not a capture record: " + path + " is not a regular file";
        return std::nullopt;
    }
    CaptureRecord record;
    RecordReader reader(path, record);
    std::string line;
    std::size_t number = 1;
    bool tooLong = false;
    char buffer[65536];
    while (true) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        if (got == 0) {
            if (std::ferror(file.get())) {
                error = "cannot read " + path + ": " + std::strerror(errno);
                return std::nullopt;
            }
            break;
        }
        std::size_t at = 0;
        while (at < got) {
            const char* newline =
                static_cast<const char*>(std::memchr(buffer + at, '\n', got - at));
            const std::size_t end = newline ? static_cast<std::size_t>(newline - buffer) : got;
            if (!tooLong) {
                if (line.size() + (end - at) > kLongestLine) {
                    tooLong = true;
                    line.clear();
                    line.shrink_to_fit();
                } else {
                    line.append(buffer + at, end - at);
                }
            }
            if (!newline) {
                break;
            }
            if (tooLong && !record.start) {
                error = "not a capture record: " + path + " begins with a line longer than " +
                        std::to_string(kLongestLine) + " bytes";
                return std::nullopt;
            }
            if (tooLong) {
                record.problems.push_back("line " + std::to_string(number) + ": longer than " +
                                          std::to_string(kLongestLine) + " bytes");
            } else if (!reader.Take(line, number, error)) {
                return std::nullopt;
            }
            line.clear();
            tooLong = false;
            ++number;
            at = end + 1;
        }
    }
    // A last line without its newline is still being written, or was cut
    // off: it is left out.
    record.partialLastLine = !line.empty() || tooLong;
    if (!record.start) {
        error = "not a capture record: " + path + " has no complete start line";
        return std::nullopt;
    }
    return record;
}

std::string SourceLabel(const CaptureRecord* record, std::uint64_t id) {
    const RecordSource* source = record ? record->Source(id) : nullptr;
    if (source == nullptr) {
        return id == 0 ? std::string("unknown source") : "source " + std::to_string(id);
    }
    const std::string name = source->name.empty() ? "source " + std::to_string(id) : source->name;
    if (source->kind == "tcp") {
        return "#" + std::to_string(source->connection != 0 ? source->connection : id) + " " + name;
    }
    return name;
}

}  // namespace tapscope::app

#include "app/export_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

#include "app/command_line.h"
#include "app/pcapng.h"
#include "app/strings.h"
#include "platform/file.h"
#include "platform/move_file.h"
#include "platform/plain_file.h"

namespace tapscope::app {
namespace {

// Blocks are gathered and written in pieces of about this size.
constexpr std::size_t kWriteChunk = 1 << 20;
// A serial or unknown sender's bytes go into packets of at most this size.
constexpr std::size_t kLargestRawPacket = 65535;
// The first sequence numbers of a connection's client and server. Wireshark
// shows sequence numbers relative to them.
constexpr std::uint32_t kClientFirstSeq = 0x10000000;
constexpr std::uint32_t kServerFirstSeq = 0x20000000;

std::string FormatUtc(std::int64_t timeUs) {
    const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
    long micros = static_cast<long>(timeUs % 1000000);
    std::time_t whole = seconds;
    if (micros < 0) {
        micros += 1000000;
        --whole;
    }
    std::tm utc{};
    if (gmtime_r(&whole, &utc) == nullptr) {
        return std::to_string(timeUs) + " us";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micros);
    return text;
}

std::string SystemError(const std::string& what, int error) {
    return what + ": " + platform::ErrorText(error);
}

// The capture file, read at the offsets the rows give.
class CaptureReader {
public:
    ~CaptureReader() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    // Opens |path| when it is a regular file (a link to one is followed: it
    // is only read).
    std::optional<std::string> Open(const std::string& path) {
        m_path = path;
        m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (m_fd < 0) {
            return SystemError("cannot open the capture file " + path, errno);
        }
        struct stat info {};
        if (fstat(m_fd, &info) != 0) {
            return SystemError("cannot examine the capture file " + path, errno);
        }
        if (!S_ISREG(info.st_mode)) {
            return "the capture file " + path + " is not a regular file";
        }
        m_device = info.st_dev;
        m_inode = info.st_ino;
        m_size = static_cast<std::uint64_t>(info.st_size);
        return std::nullopt;
    }
    std::uint64_t Size() const { return m_size; }
    bool SameFile(const struct stat& info) const {
        return info.st_dev == m_device && info.st_ino == m_inode;
    }
    // Reads exactly |size| bytes at |offset|.
    std::optional<std::string> ReadAt(std::uint64_t offset, std::uint8_t* buffer,
                                      std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got =
                pread(m_fd, buffer + done, size - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return SystemError("cannot read the capture file " + m_path, errno);
            }
            if (got == 0) {
                return "the capture file " + m_path + " ended at " + std::to_string(offset + done) +
                       " bytes while it was read: it is shorter " + "than when the export began";
            }
            done += static_cast<std::size_t>(got);
        }
        return std::nullopt;
    }

private:
    std::string m_path;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::uint64_t m_size = 0;
};

// The output under its temporary name, written in large pieces.
class BlockSink {
public:
    std::error_code Create(const std::string& path) { return m_writer.Create(path, 0600); }
    void Add(const std::string& block) {
        m_buffer += block;
        if (m_buffer.size() >= kWriteChunk) {
            Flush();
        }
    }
    // Writes what is left, puts it on the disk and closes the file.
    std::error_code Finish() {
        Flush();
        if (!m_error) {
            m_error = m_writer.SyncToDisk();
        }
        const std::error_code closed = m_writer.Close();
        return m_error ? m_error : closed;
    }
    std::error_code Error() const { return m_error; }

private:
    void Flush() {
        if (!m_error && !m_buffer.empty()) {
            m_error = m_writer.Write(m_buffer.data(), m_buffer.size());
        }
        m_buffer.clear();
    }

    platform::NewFileWriter m_writer;
    std::string m_buffer;
    std::error_code m_error;
};

// Where a source's rows go.
enum class Lane { kTcp, kUdp, kSerial, kUnknown };

struct SourceState {
    const RecordSource* source = nullptr;
    Lane lane = Lane::kUnknown;
    std::uint32_t interface = 0;
    Endpoint client;  // the sender
    Endpoint server;  // the capture
    // TCP: whether the handshake and the close have been written, and the
    // next sequence number of either side.
    bool open = false;
    bool ended = false;
    std::uint32_t clientSeq = kClientFirstSeq;
    std::uint32_t serverSeq = kServerFirstSeq;
};

// Whether |event| happened before the first read of |row|. The monotonic
// clock decides where both have it; a connection's opening goes before a
// row that began at the same instant, anything else after it.
bool EventGoesFirst(const RecordEvent& event, const RecordRow& row) {
    const bool monotonic = event.mono != 0 && row.firstMono != 0;
    const std::int64_t eventTime = monotonic ? event.mono : event.timeUs;
    const std::int64_t rowTime = monotonic ? row.firstMono : row.firstUs;
    if (eventTime != rowTime) {
        return eventTime < rowTime;
    }
    return event.kind == "connected" || event.kind == "device-back";
}

class Exporter {
public:
    Exporter(const CaptureRecord& record, const ExportOptions& options, ExportResult& result)
        : m_record(record), m_options(options), m_result(result) {}

    // The checks made before anything is written (every row lies within the
    // capture file), and the plan of sources and interfaces.
    bool Prepare(CaptureReader& capture) {
        for (std::size_t i = 0; i < m_record.rows.size(); ++i) {
            const RecordRow& row = m_record.rows[i];
            if (row.offset > capture.Size() || row.length > capture.Size() - row.offset) {
                return Fail(1, "the record " + RecordName() + " does not match the capture file " +
                                   m_options.capture + ": its row " + std::to_string(i + 1) +
                                   " (offset " + std::to_string(row.offset) + ", " +
                                   std::to_string(row.length) + " bytes) lies past the file's " +
                                   "end at " + std::to_string(capture.Size()) + " bytes");
            }
        }
        CountBytesInNoRow(capture.Size());
        PlanSources();
        return true;
    }

    bool Write(CaptureReader& capture, BlockSink& sink) {
        m_capture = &capture;
        m_sink = &sink;
        m_buffer.resize(kLargestRawPacket);
        WriteHeaders();
        std::size_t rowIndex = 0;
        std::size_t eventIndex = 0;
        const auto& rows = m_record.rows;
        const auto& events = m_record.events;
        while (rowIndex < rows.size() || eventIndex < events.size()) {
            const bool event =
                rowIndex == rows.size() ||
                (eventIndex < events.size() && EventGoesFirst(events[eventIndex], rows[rowIndex]));
            if (event) {
                OnEvent(events[eventIndex++]);
            } else if (!OnRow(rows[rowIndex++])) {
                return false;
            }
            if (const std::error_code error = sink.Error()) {
                return Fail(1, "cannot write " + m_options.output + ": " + error.message());
            }
        }
        return true;
    }

    bool Fail(int status, std::string error) {
        m_result.status = status;
        m_result.error = std::move(error);
        return false;
    }

private:
    std::string RecordName() const { return RecordPathFor(m_options.capture); }

    // The bytes of the capture that no row covers: gaps between rows, and
    // what lies past the last one.
    void CountBytesInNoRow(std::uint64_t size) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        spans.reserve(m_record.rows.size());
        for (const RecordRow& row : m_record.rows) {
            spans.emplace_back(row.offset, row.offset + row.length);
        }
        std::sort(spans.begin(), spans.end());
        std::uint64_t covered = 0;  // everything before this is in a row
        for (const auto& [begin, end] : spans) {
            if (begin > covered) {
                m_result.bytesInNoRow += begin - covered;
            }
            covered = std::max(covered, end);
        }
        m_result.bytesPastLastRow = size - covered;
        m_result.bytesInNoRow += m_result.bytesPastLastRow;
    }

    // The state of every declared source, its lane and its interface.
    void PlanSources() {
        std::optional<Endpoint> local;
        std::uint16_t localPort = 0;
        if (m_record.start && m_record.start->localPort <= 65535) {
            localPort = static_cast<std::uint16_t>(m_record.start->localPort);
            local = ParseEndpoint(m_record.start->localAddress, localPort);
        }
        for (const RecordSource& source : m_record.sources) {
            SourceState state;
            state.source = &source;
            if (source.kind == "tcp" || source.kind == "udp") {
                const std::optional<Endpoint> client =
                    source.port <= 65535
                        ? ParseEndpoint(source.address, static_cast<std::uint16_t>(source.port))
                        : std::nullopt;
                if (client) {
                    state.lane = source.kind == "tcp" ? Lane::kTcp : Lane::kUdp;
                    state.client = *client;
                    const bool usable = local && local->v6 == client->v6 && !IsAnyAddress(*local);
                    state.server = usable ? *local : Loopback(client->v6, localPort);
                } else {
                    m_result.notes.push_back("source " + std::to_string(source.id) + " (" +
                                             source.name + "): '" + source.address + "' port " +
                                             std::to_string(source.port) +
                                             " is not a numeric address and port; its bytes are "
                                             "on the interface of unknown senders");
                }
            } else if (source.kind == "serial") {
                state.lane = Lane::kSerial;
            }
            m_sources[source.id] = state;
        }
    }

    SourceState* Find(std::uint64_t id) {
        const auto found = m_sources.find(id);
        return found == m_sources.end() ? nullptr : &found->second;
    }

    std::uint32_t AddInterface(std::uint16_t linkType, const std::string& name,
                               const std::string& description) {
        m_sink->Add(pcapng::InterfaceDescription(
            linkType, {{pcapng::kIfName, name}, {pcapng::kIfDescription, description}}));
        return m_interfaces++;
    }

    void WriteHeaders() {
        std::vector<pcapng::Option> options;
        std::string version = VersionText();
        while (!version.empty() && version.back() == '\n') {
            version.pop_back();
        }
        options.push_back({pcapng::kShbUserAppl, version + " export"});
        options.push_back(
            {pcapng::kComment, "capture file " + m_options.capture + ", record " + RecordName()});
        std::string localName;
        if (const auto& start = m_record.start) {
            localName = start->localAddress.find(':') != std::string::npos
                            ? "[" + start->localAddress + "]"
                            : start->localAddress;
            localName += ":" + std::to_string(start->localPort);
            std::string began = "started " + FormatUtc(start->timeUs) + " by " + start->program +
                                " on " + start->host + ": " + start->transport + " capture";
            if (!start->localAddress.empty()) {
                began += " at " + localName;
            }
            began += ", burst gap " + std::to_string(start->burstGapUs) + " us";
            options.push_back({pcapng::kComment, began});
            if (!start->settings.empty()) {
                options.push_back({pcapng::kComment, "settings " + start->settings});
            }
        } else {
            options.push_back({pcapng::kComment, "the record has no start line"});
        }
        if (const auto& end = m_record.end) {
            std::string ended = "ended " + FormatUtc(end->timeUs) + ": " + end->reason;
            if (!end->text.empty()) {
                ended += " (" + end->text + ")";
            }
            ended += "; " + std::to_string(end->bytes) + " bytes, " + std::to_string(end->rows) +
                     " rows, " + std::to_string(end->lost) + " lost, " +
                     std::to_string(end->dropped) + " dropped; sha256 " + end->sha256;
            if (!end->next.empty()) {
                ended += "; continued in " + end->next;
            }
            options.push_back({pcapng::kComment, ended});
        } else {
            options.push_back({pcapng::kComment,
                               "the record has no end: the capture was still running, or it "
                               "ended without closing its record"});
        }
        m_sink->Add(pcapng::SectionHeader(options));

        bool tcp = false;
        bool udp = false;
        for (const auto& [id, state] : m_sources) {
            tcp = tcp || state.lane == Lane::kTcp;
            udp = udp || state.lane == Lane::kUdp;
        }
        std::uint32_t tcpInterface = 0;
        std::uint32_t udpInterface = 0;
        if (tcp) {
            tcpInterface = AddInterface(kLinkTypeRaw, "tcp " + localName,
                                        "TCP clients of the capture's server at " + localName);
        }
        if (udp) {
            udpInterface = AddInterface(kLinkTypeRaw, "udp " + localName,
                                        "UDP senders to the capture's socket at " + localName);
        }
        std::map<std::string, std::uint32_t> devices;
        for (auto& [id, state] : m_sources) {
            if (state.lane == Lane::kTcp) {
                state.interface = tcpInterface;
            } else if (state.lane == Lane::kUdp) {
                state.interface = udpInterface;
            } else if (state.lane == Lane::kSerial) {
                std::string device = state.source->device;
                if (device.empty()) {
                    device = state.source->name.empty() ? "serial" : state.source->name;
                }
                const auto found = devices.find(device);
                state.interface = found != devices.end()
                                      ? found->second
                                      : devices[device] = AddInterface(kLinkTypeUser0, device,
                                                                       state.source->name);
            }
        }
    }

    std::string EventComment(const RecordEvent& event) {
        std::string comment = event.kind;
        const SourceState* state = Find(event.source);
        const std::string name = state != nullptr ? state->source->name : std::string();
        if (!name.empty() && event.text.find(name) == std::string::npos) {
            comment += " (" + name + ")";
        }
        if (!event.text.empty()) {
            comment += ": " + event.text;
        } else if (event.count > 0) {
            comment += ": " + std::to_string(event.count) + " " + event.unit;
        }
        return comment;
    }

    void Add(std::uint32_t interface, std::int64_t timeUs, const std::uint8_t* data,
             std::size_t size, const std::vector<std::string>& comments = {}) {
        m_sink->Add(pcapng::EnhancedPacket(interface, timeUs, data, size, comments));
        ++m_result.packets;
    }

    void AddTcp(const SourceState& state, bool fromClient, std::int64_t timeUs,
                const TcpSegment& segment, const std::uint8_t* data = nullptr, std::size_t size = 0,
                const std::vector<std::string>& comments = {}) {
        const std::vector<std::uint8_t> packet =
            fromClient ? TcpPacket(state.client, state.server, segment, data, size)
                       : TcpPacket(state.server, state.client, segment, data, size);
        Add(state.interface, timeUs, packet.data(), packet.size(), comments);
    }

    // SYN, SYN-ACK, ACK.
    void OpenConnection(SourceState& state, std::int64_t timeUs,
                        const std::vector<std::string>& comments) {
        AddTcp(state, true, timeUs, {state.clientSeq, 0, kTcpSyn}, nullptr, 0, comments);
        AddTcp(state, false, timeUs, {state.serverSeq, state.clientSeq + 1, kTcpSyn | kTcpAck});
        ++state.clientSeq;
        ++state.serverSeq;
        AddTcp(state, true, timeUs, {state.clientSeq, state.serverSeq, kTcpAck});
        state.open = true;
    }

    // The client's FIN, the server's FIN and the last ACK; or the client's RST.
    void CloseConnection(SourceState& state, std::int64_t timeUs, bool reset,
                         const std::vector<std::string>& comments) {
        if (reset) {
            AddTcp(state, true, timeUs, {state.clientSeq, state.serverSeq, kTcpRst | kTcpAck},
                   nullptr, 0, comments);
        } else {
            AddTcp(state, true, timeUs, {state.clientSeq, state.serverSeq, kTcpFin | kTcpAck},
                   nullptr, 0, comments);
            ++state.clientSeq;
            AddTcp(state, false, timeUs, {state.serverSeq, state.clientSeq, kTcpFin | kTcpAck});
            ++state.serverSeq;
            AddTcp(state, true, timeUs, {state.clientSeq, state.serverSeq, kTcpAck});
        }
        state.ended = true;
    }

    void OnEvent(const RecordEvent& event) {
        SourceState* state = Find(event.source);
        if (state != nullptr && state->lane == Lane::kTcp && !state->ended) {
            if (event.kind == "connected" && !state->open) {
                OpenConnection(*state, event.timeUs, {EventComment(event)});
                return;
            }
            if (event.kind == "closed" || event.kind == "reset") {
                if (!state->open) {
                    OpenConnection(*state, event.timeUs, {});
                }
                CloseConnection(*state, event.timeUs, event.kind == "reset", {EventComment(event)});
                return;
            }
        }
        if (!m_eventInterface) {
            m_eventInterface = AddInterface(kLinkTypeUser1, "events",
                                            "what happened during the capture, each told in "
                                            "its packet's comment");
        }
        Add(*m_eventInterface, event.timeUs, nullptr, 0, {EventComment(event)});
    }

    // The row's bytes in pieces of at most |piece| bytes, each handed to
    // |emit| with whether it is the last.
    template <typename Emit>
    bool ForEachPiece(const RecordRow& row, std::size_t piece, Emit emit) {
        std::uint64_t done = 0;
        while (done < row.length) {
            const auto size =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece, row.length - done));
            if (std::optional<std::string> error =
                    m_capture->ReadAt(row.offset + done, m_buffer.data(), size)) {
                return Fail(1, *error);
            }
            done += size;
            emit(m_buffer.data(), size, done == row.length);
        }
        return true;
    }

    bool OnRow(const RecordRow& row) {
        ++m_result.rows;
        m_result.bytes += row.length;
        SourceState* state = Find(row.source);
        const Lane lane = state != nullptr ? state->lane : Lane::kUnknown;
        const std::int64_t time = row.firstUs;
        switch (lane) {
            case Lane::kTcp: {
                if (!state->open) {
                    OpenConnection(*state, time, {});
                }
                std::vector<std::string> comments;
                if (state->ended) {
                    comments.push_back("these bytes came after the connection had ended");
                }
                return ForEachPiece(
                    row, MaxTcpPayload(state->client.v6),
                    [&](const std::uint8_t* data, std::size_t size, bool last) {
                        const std::uint8_t flags = last ? kTcpPsh | kTcpAck : kTcpAck;
                        AddTcp(*state, true, time, {state->clientSeq, state->serverSeq, flags},
                               data, size, comments);
                        state->clientSeq += static_cast<std::uint32_t>(size);
                        comments.clear();
                    });
            }
            case Lane::kUdp: {
                const std::size_t largest = MaxUdpPayload(state->client.v6);
                std::vector<std::string> comments;
                if (row.length > largest) {
                    comments.push_back("a datagram of " + std::to_string(row.length) +
                                       " bytes, more than one IP packet holds, split into "
                                       "datagrams of at most " +
                                       std::to_string(largest));
                }
                auto emit = [&](const std::uint8_t* data, std::size_t size, bool) {
                    const std::vector<std::uint8_t> packet =
                        UdpPacket(state->client, state->server, data, size);
                    Add(state->interface, time, packet.data(), packet.size(), comments);
                    comments.clear();
                };
                if (row.length == 0) {
                    emit(nullptr, 0, true);  // an empty datagram is a datagram too
                    return true;
                }
                return ForEachPiece(row, largest, emit);
            }
            case Lane::kSerial:
            case Lane::kUnknown: {
                if (lane == Lane::kUnknown && !m_unknownInterface) {
                    m_unknownInterface =
                        AddInterface(kLinkTypeUser0, "unknown sender",
                                     "bytes whose sender the record does not name");
                }
                const std::uint32_t interface =
                    lane == Lane::kSerial ? state->interface : *m_unknownInterface;
                return ForEachPiece(row, kLargestRawPacket,
                                    [&](const std::uint8_t* data, std::size_t size, bool) {
                                        Add(interface, time, data, size);
                                    });
            }
        }
        return true;
    }

    const CaptureRecord& m_record;
    const ExportOptions& m_options;
    ExportResult& m_result;
    std::map<std::uint64_t, SourceState> m_sources;
    std::uint32_t m_interfaces = 0;
    // Described when first needed.
    std::optional<std::uint32_t> m_eventInterface;
    std::optional<std::uint32_t> m_unknownInterface;
    CaptureReader* m_capture = nullptr;
    BlockSink* m_sink = nullptr;
    std::vector<std::uint8_t> m_buffer;
};

// Whether |path| names the same file as |other| (both existing).
bool SameFile(const std::string& path, const std::string& other) {
    struct stat a {};
    struct stat b {};
    return stat(path.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A name beside |output| that nothing has yet, for the file while it is
// written: ".till.pcapng.export-4242".
std::string TemporaryNameFor(const std::string& output, int attempt) {
    const std::size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
    return folder + "." + name + ".export-" + std::to_string(getpid()) +
           (attempt > 0 ? "-" + std::to_string(attempt) : "");
}

}  // namespace

ExportResult ExportPcapng(const CaptureRecord& record, const ExportOptions& options) {
    ExportResult result;
    auto fail = [&](int status, std::string error) {
        result.status = status;
        result.error = std::move(error);
        return result;
    };
    // The output: a new name, or with --overwrite a regular file that is
    // neither the capture nor its record.
    platform::PathKind kind = platform::PathKind::kMissing;
    if (const std::error_code error = platform::LinkKind(options.output, kind)) {
        return fail(2, "cannot examine " + options.output + ": " + error.message());
    }
    if (kind != platform::PathKind::kMissing) {
        if (kind != platform::PathKind::kRegular) {
            return fail(2, options.output + " is " + platform::PathKindName(kind) +
                               "; the export writes a new file, or replaces a regular one");
        }
        if (!options.overwrite) {
            return fail(2, options.output + " exists; give --overwrite to replace it");
        }
        if (SameFile(options.output, options.capture) ||
            SameFile(options.output, RecordPathFor(options.capture))) {
            return fail(2, options.output +
                               " is the capture file or its record; give another "
                               "name for the export");
        }
    }

    CaptureReader capture;
    if (std::optional<std::string> error = capture.Open(options.capture)) {
        return fail(1, *error);
    }
    Exporter exporter(record, options, result);
    if (!exporter.Prepare(capture)) {
        return result;
    }

    BlockSink sink;
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        temporary = TemporaryNameFor(options.output, attempt);
        const std::error_code error = sink.Create(temporary);
        if (!error) {
            break;
        }
        if (error != std::errc::file_exists || attempt >= 100) {
            return fail(1, "cannot write " + options.output + ": cannot create " + temporary +
                               ": " + error.message());
        }
    }
    bool written = exporter.Write(capture, sink);
    if (const std::error_code error = sink.Finish(); written && error) {
        written = exporter.Fail(1, "cannot write " + options.output + ": " + error.message());
    }
    if (written) {
        const std::error_code moved =
            options.overwrite ? (std::rename(temporary.c_str(), options.output.c_str()) == 0
                                     ? std::error_code()
                                     : std::error_code(errno, std::system_category()))
                              : platform::MoveFileNoReplace(temporary, options.output);
        if (moved == std::errc::file_exists) {
            written = exporter.Fail(2, options.output + " exists; give --overwrite to replace it");
        } else if (moved) {
            written = exporter.Fail(
                1, "cannot name the export " + options.output + ": " + moved.message());
        }
    }
    if (!written) {
        std::remove(temporary.c_str());
    }
    return result;
}

int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
    const std::string recordPath = RecordPathFor(options.capture);
    struct stat info {};
    if (stat(recordPath.c_str(), &info) != 0 && errno == ENOENT) {
        err << kProgramName << ": no record " << recordPath << " beside " << options.capture
            << ": cannot export (a capture made with --no-record, or into standard output, has "
               "none)\n";
        return 1;
    }
    std::string error;
    const std::optional<CaptureRecord> record = ReadRecord(recordPath, error);
    if (!record) {
        err << kProgramName << ": " << error << ": cannot export\n";
        return 1;
    }
    for (const std::string& problem : record->problems) {
        err << kProgramName << ": " << recordPath << ": " << problem << " (left out)\n";
    }
    const ExportResult result = ExportPcapng(*record, options);
    for (const std::string& note : result.notes) {
        err << kProgramName << ": " << note << "\n";
    }
    if (result.status != 0) {
        err << kProgramName << ": " << result.error << "\n";
        return result.status;
    }
    int status = 0;
    if (result.bytesInNoRow > 0) {
        // A capture still running has bytes past its record's last row; any
        // other byte in no row is one the record lost.
        const bool running = !record->end && result.bytesInNoRow == result.bytesPastLastRow;
        err << kProgramName << ": " << result.bytesInNoRow << " bytes of " << options.capture
            << " are in no row of its record and are not in the export"
            << (running ? " (the record has no end: a capture still running)"
                        : ": the record does not match the capture file")
            << "\n";
        status = running ? 0 : 1;
    }
    out << "exported " << result.rows << " rows (" << result.bytes << " bytes) of "
        << options.capture << " as " << result.packets << " packets into " << options.output
        << "\n";
    return status;
}

}  // namespace tapscope::app

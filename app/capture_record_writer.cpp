#include "app/capture_record_writer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tapscope::app {
namespace {

// Gathered lines are written out once they reach this size.
constexpr std::size_t kWriteOutBytes = 64 * 1024;

std::int64_t ClockNs(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

const char* EventKind(TransportEvent::Kind kind) {
    switch (kind) {
        case TransportEvent::Kind::kClientConnected:
            return "connected";
        case TransportEvent::Kind::kClientClosed:
            return "closed";
        case TransportEvent::Kind::kClientReset:
            return "reset";
        case TransportEvent::Kind::kLoss:
            return "loss";
        case TransportEvent::Kind::kDeviceGone:
            return "device-gone";
        case TransportEvent::Kind::kDeviceBack:
            return "device-back";
        case TransportEvent::Kind::kNote:
            break;
    }
    return "note";
}

const char* KindName(BlockSource::Kind kind) {
    switch (kind) {
        case BlockSource::Kind::kSerial:
            return "serial";
        case BlockSource::Kind::kUdp:
            return "udp";
        case BlockSource::Kind::kTcp:
            return "tcp";
        case BlockSource::Kind::kUnknown:
            break;
    }
    return "unknown";
}

std::string SourceKey(const BlockSource& source) {
    return std::string(KindName(source.kind)) + "|" + std::to_string(source.connection) + "|" +
           source.Text();
}

// "127.0.0.1:40112" or "[::1]:40112" as an address and port; false when the
// text is neither.
bool SplitPeer(const std::string& text, BlockSource& source) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    boost::system::error_code bad;
    source.address = boost::asio::ip::make_address(address, bad);
    if (bad) {
        return false;
    }
    try {
        const unsigned long port = std::stoul(text.substr(colon + 1));
        source.port = port <= 0xFFFF ? static_cast<unsigned short>(port) : 0;
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

struct CaptureRecordWriter::Hash {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    Hash() {
        if (context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    ~Hash() { EVP_MD_CTX_free(context); }
    // Small blocks (a byte per read is common) are gathered and hashed a
    // few KiB at a time: a digest update per byte costs more than the rest
    // of the record's work on that byte.
    void Add(const char* data, std::size_t size) {
        if (context == nullptr || size == 0) {
            return;
        }
        if (size >= sizeof pending) {
            Drain();
            EVP_DigestUpdate(context, data, size);
            return;
        }
        if (pendingSize + size > sizeof pending) {
            Drain();
        }
        std::memcpy(pending + pendingSize, data, size);
        pendingSize += size;
    }
    void Drain() {
        if (pendingSize > 0) {
            EVP_DigestUpdate(context, pending, pendingSize);
            pendingSize = 0;
        }
    }
    std::string Hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (context != nullptr) {
            Drain();
        }
        if (context == nullptr || EVP_DigestFinal_ex(context, digest, &size) != 1) {
            return "";
        }
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < size; ++i) {
            hex += kDigits[digest[i] >> 4];
            hex += kDigits[digest[i] & 0xF];
        }
        return hex;
    }

    char pending[4096];
    std::size_t pendingSize = 0;
};

RecordStamp RecordStamp::Now() {
    return {ClockNs(CLOCK_REALTIME), ClockNs(CLOCK_MONOTONIC)};
}

CaptureRecordWriter::CaptureRecordWriter(std::string recordPath, RecordStart start)
    : m_path(std::move(recordPath)),
      m_start(std::move(start)),
      m_gapNs(static_cast<std::int64_t>(m_start.burstGapUs) * 1000),
      m_hash(std::make_unique<Hash>()) {
    m_start.version = kRecordVersion;
    m_lines.reserve(kWriteOutBytes + 4096);
}

CaptureRecordWriter::~CaptureRecordWriter() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CaptureRecordWriter::Open(const RecordStamp& at) {
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  0600);
    if (m_fd < 0) {
        Fail(errno == ELOOP ? "it is a symbolic link, which is not followed"
                            : std::strerror(errno));
        return false;
    }
    struct stat status {};
    if (::fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        Fail("it is not a regular file");
        return false;
    }
    // An existing record keeps its mode through O_CREAT; it is made private
    // as a new one is.
    if ((status.st_mode & 0777) != 0600) {
        ::fchmod(m_fd, 0600);
    }
    m_start.timeUs = at.wallNs / 1000;
    m_start.mono = at.monoNs;
    m_lines += R"({"type":"start","version":)";
    AppendNumber(static_cast<std::uint64_t>(m_start.version));
    m_lines += R"(,"program":)";
    AppendText(m_start.program);
    m_lines += R"(,"host":)";
    AppendText(m_start.host);
    m_lines += R"(,"transport":)";
    AppendText(m_start.transport);
    m_lines += R"(,"settings":)";
    AppendText(m_start.settings);
    m_lines += R"(,"capture":)";
    AppendText(m_start.capture);
    if (!m_start.localAddress.empty()) {
        m_lines += R"(,"local_address":)";
        AppendText(m_start.localAddress);
        m_lines += R"(,"local_port":)";
        AppendNumber(m_start.localPort);
    }
    m_lines += R"(,"time":)";
    AppendTime(at.wallNs);
    m_lines += R"(,"mono":)";
    AppendSigned(at.monoNs);
    m_lines += R"(,"burst_gap_us":)";
    AppendNumber(m_start.burstGapUs);
    m_lines += "}\n";
    WriteOut();
    return m_failure.empty();
}

void CaptureRecordWriter::Block(const BlockSource* source, const char* data, std::size_t size,
                                const RecordStamp& at) {
    m_hash->Add(data, size);
    const std::uint64_t offset = m_offset;
    m_offset += size;
    ++m_blocks;
    if (m_fd < 0) {
        return;
    }
    std::uint64_t id = 0;
    bool datagram = false;
    if (source != nullptr && source->kind != BlockSource::Kind::kUnknown) {
        datagram = source->kind == BlockSource::Kind::kUdp;
        if (m_lastSourceId != 0 && source->SameAs(m_lastSource)) {
            id = m_lastSourceId;
        } else {
            id = SourceId(*source);
            m_lastSource = *source;
            m_lastSourceId = id;
        }
    }
    if (m_pending.active && !datagram && m_pending.source == id &&
        at.monoNs - m_pending.last.monoNs < m_gapNs) {
        m_pending.length += size;
        ++m_pending.blocks;
        m_pending.last = at;
        return;
    }
    EndRow();
    m_pending = {true, id, offset, size, 1, at, at};
    if (datagram) {
        EndRow();
    }
}

std::uint64_t CaptureRecordWriter::SourceId(const BlockSource& source) {
    const std::string key = SourceKey(source);
    if (const auto known = m_sourceIds.find(key); known != m_sourceIds.end()) {
        return known->second;
    }
    const std::uint64_t id = m_sourceIds.size() + 1;
    m_sourceIds.emplace(key, id);
    m_lines += R"({"type":"source","id":)";
    AppendNumber(id);
    m_lines += R"(,"kind":")";
    m_lines += KindName(source.kind);
    m_lines += R"(","name":)";
    AppendText(source.Text());
    if (source.kind == BlockSource::Kind::kUdp || source.kind == BlockSource::Kind::kTcp) {
        m_lines += R"(,"address":)";
        AppendText(source.address.to_string());
        m_lines += R"(,"port":)";
        AppendNumber(source.port);
    }
    if (source.kind == BlockSource::Kind::kTcp) {
        m_lines += R"(,"connection":)";
        AppendNumber(source.connection);
    }
    if (source.kind == BlockSource::Kind::kSerial && !source.device.empty()) {
        m_lines += R"(,"device":)";
        AppendText(source.device);
    }
    m_lines += "}\n";
    return id;
}

void CaptureRecordWriter::EndRow() {
    if (!m_pending.active) {
        return;
    }
    m_pending.active = false;
    ++m_rows;
    m_lines += R"({"type":"row","source":)";
    AppendNumber(m_pending.source);
    m_lines += R"(,"offset":)";
    AppendNumber(m_pending.offset);
    m_lines += R"(,"length":)";
    AppendNumber(m_pending.length);
    m_lines += R"(,"blocks":)";
    AppendNumber(m_pending.blocks);
    m_lines += R"(,"first":)";
    AppendTime(m_pending.first.wallNs);
    m_lines += R"(,"last":)";
    AppendTime(m_pending.last.wallNs);
    m_lines += R"(,"first_mono":)";
    AppendSigned(m_pending.first.monoNs);
    m_lines += R"(,"last_mono":)";
    AppendSigned(m_pending.last.monoNs);
    m_lines += "}\n";
    if (m_lines.size() >= kWriteOutBytes) {
        WriteOut();
    }
}

void CaptureRecordWriter::Event(const TransportEvent& event, const RecordStamp& at) {
    if (m_fd < 0) {
        return;
    }
    std::uint64_t id = 0;
    if (event.connection != 0) {
        BlockSource source;
        source.kind = BlockSource::Kind::kTcp;
        source.connection = event.connection;
        if (!SplitPeer(event.source, source)) {
            source.address = boost::asio::ip::address();
        }
        id = SourceId(source);
    } else if (m_start.transport == "serial" && !event.source.empty()) {
        BlockSource source;
        source.kind = BlockSource::Kind::kSerial;
        source.name = event.source;
        id = SourceId(source);
    }
    // The row being gathered came before the event.
    EndRow();
    m_lines += R"({"type":"event","kind":")";
    m_lines += EventKind(event.kind);
    m_lines += R"(","source":)";
    AppendNumber(id);
    m_lines += R"(,"time":)";
    AppendTime(at.wallNs);
    m_lines += R"(,"mono":)";
    AppendSigned(at.monoNs);
    m_lines += R"(,"text":)";
    AppendText(event.text);
    if (event.kind == TransportEvent::Kind::kLoss) {
        m_lines += R"(,"count":)";
        AppendNumber(event.count);
        m_lines += R"(,"unit":)";
        AppendText(event.unit);
    }
    m_lines += "}\n";
}

void CaptureRecordWriter::CaptureEvent(const std::string& kind, const std::string& text,
                                       std::uint64_t count, const RecordStamp& at) {
    if (m_fd < 0) {
        return;
    }
    EndRow();
    m_lines += R"({"type":"event","kind":)";
    AppendText(kind);
    m_lines += R"(,"source":0,"time":)";
    AppendTime(at.wallNs);
    m_lines += R"(,"mono":)";
    AppendSigned(at.monoNs);
    m_lines += R"(,"text":)";
    AppendText(text);
    if (count > 0) {
        m_lines += R"(,"count":)";
        AppendNumber(count);
    }
    m_lines += "}\n";
}

void CaptureRecordWriter::Flush() {
    if (m_fd < 0) {
        return;
    }
    EndRow();
    WriteOut();
}

void CaptureRecordWriter::End(RecordEnd end, const RecordStamp& at) {
    if (m_fd < 0) {
        return;
    }
    EndRow();
    m_lines += R"({"type":"end","reason":)";
    AppendText(end.reason);
    m_lines += R"(,"text":)";
    AppendText(end.text);
    m_lines += R"(,"time":)";
    AppendTime(at.wallNs);
    m_lines += R"(,"mono":)";
    AppendSigned(at.monoNs);
    m_lines += R"(,"bytes":)";
    AppendNumber(m_offset);
    m_lines += R"(,"blocks":)";
    AppendNumber(m_blocks);
    m_lines += R"(,"rows":)";
    AppendNumber(m_rows);
    m_lines += R"(,"lost":)";
    AppendNumber(end.lost);
    m_lines += R"(,"dropped":)";
    AppendNumber(end.dropped);
    m_lines += R"(,"sha256":)";
    AppendText(m_hash->Hex());
    if (!end.next.empty()) {
        m_lines += R"(,"next":)";
        AppendText(end.next);
    }
    m_lines += "}\n";
    WriteOut();
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && m_failure.empty()) {
            m_failure = std::strerror(errno);
        }
        m_fd = -1;
    }
}

void CaptureRecordWriter::AppendTime(std::int64_t wallNs) {
    std::int64_t second = wallNs / 1'000'000'000;
    std::int64_t micro = (wallNs % 1'000'000'000) / 1000;
    if (micro < 0) {
        --second;
        micro += 1'000'000;
    }
    if (second != m_cachedSecond) {
        const std::time_t seconds = static_cast<std::time_t>(second);
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        std::strftime(m_cachedPrefix, sizeof(m_cachedPrefix), "\"%Y-%m-%dT%H:%M:%S.", &utc);
        m_cachedSecond = second;
    }
    m_lines += m_cachedPrefix;
    char digits[8];
    for (int i = 5; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + micro % 10);
        micro /= 10;
    }
    digits[6] = 'Z';
    digits[7] = '"';
    m_lines.append(digits, sizeof(digits));
}

void CaptureRecordWriter::AppendText(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    m_lines += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            m_lines += '\\';
            m_lines += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            m_lines += "\\u00";
            m_lines += kHex[byte >> 4];
            m_lines += kHex[byte & 0xF];
        } else {
            // UTF-8 passes as it is; the texts come from settings, the
            // system and the program.
            m_lines += c;
        }
    }
    m_lines += '"';
}

void CaptureRecordWriter::AppendNumber(std::uint64_t value) {
    char digits[20];
    int size = 0;
    do {
        digits[size++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (size > 0) {
        m_lines += digits[--size];
    }
}

void CaptureRecordWriter::AppendSigned(std::int64_t value) {
    if (value < 0) {
        m_lines += '-';
        AppendNumber(static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value));
    } else {
        AppendNumber(static_cast<std::uint64_t>(value));
    }
}

void CaptureRecordWriter::WriteOut() {
    std::size_t done = 0;
    while (m_fd >= 0 && done < m_lines.size()) {
        const ssize_t written = ::write(m_fd, m_lines.data() + done, m_lines.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(std::strerror(errno));
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    m_lines.clear();
}

void CaptureRecordWriter::Fail(const std::string& why) {
    if (m_failure.empty()) {
        m_failure = why;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_lines.clear();
}

}  // namespace tapscope::app

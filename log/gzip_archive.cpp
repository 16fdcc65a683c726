// The pipeline of GzipWriter, for N compressing threads (the caller and N - 1
// helpers) and a ring of kGzipChunksPerThread * N chunks:
//
//   caller:   fill chunk s ──submit──> [ready] ... takes a free chunk to fill next;
//             while none is free it writes out chunk m_written once compressed,
//             or compresses a ready chunk itself
//   helpers:  take the oldest ready chunk, compress it, mark it done
//   caller:   writes done chunks strictly in order: gzip header, the joined
//             deflate data, then the combined CRC-32 and length
//
// A chunk is handed over only when the next byte arrives (or at Finish), so
// it is known at that moment whether it is the last one: every other chunk's
// stream is made continuable as soon as it is compressed.
#include "log/gzip_archive.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "log/detail/deflate_stream.h"
#include "platform/move_file.h"
#include "platform/plain_file.h"

namespace ZelLog {

namespace platform = tapscope::platform;

struct GzipWriter::Chunk {
    enum class State { kFree, kFilling, kReady, kCompressing, kDone };

    State state = State::kFree;
    bool last = false;
    bool failed = false;
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;
    std::size_t outputSize = 0;
    std::uint32_t crc = 0;
};

namespace {

namespace fs = std::filesystem;

// The member header: magic, deflate, no flags, no time, "slowest compression"
// (levels 8 and 9), made on a Unix system.
constexpr unsigned char kGzipHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 2, 3};
// Bytes read from the source file at a time.
constexpr std::size_t kReadBlockBytes = 256 * 1024;
// Archives hold what the log held: its owner reads them, and its group.
constexpr unsigned kArchiveMode = 0640;

void PutLittleEndian32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

}  // namespace

unsigned DefaultGzipThreads() {
    const unsigned processors = std::thread::hardware_concurrency();
    return std::clamp(processors, 1u, kMaxGzipThreads);
}

GzipWriter::GzipWriter(Sink sink, unsigned threads)
    : m_sink(std::move(sink)),
      m_threads(std::clamp(threads == 0 ? DefaultGzipThreads() : threads, 1u, kMaxGzipThreads)),
      m_compressor(libdeflate_alloc_compressor(kGzipLevel)) {
    if (m_compressor == nullptr) {
        Fail("cannot make a deflate compressor: out of memory");
    }
    m_chunks.resize(std::size_t{m_threads} * kGzipChunksPerThread);
}

GzipWriter::~GzipWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread& helper : m_helpers) {
        helper.join();
    }
    if (m_compressor != nullptr) {
        libdeflate_free_compressor(m_compressor);
    }
}

GzipWriter::Chunk& GzipWriter::Slot(std::uint64_t sequence) {
    return m_chunks[static_cast<std::size_t>(sequence % m_chunks.size())];
}

void GzipWriter::Fail(std::string why) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed) {
            return;
        }
        m_failed = true;
    }
    m_error = std::move(why);
    m_changed.notify_all();
}

bool GzipWriter::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        if (!m_filling && !TakeChunkToFill()) {
            return false;
        }
        Chunk& chunk = Slot(m_submitted);
        if (chunk.input.size() == kGzipChunkBytes) {
            // More is coming, so this chunk is not the last one.
            SubmitFilledChunk(false);
            continue;
        }
        const std::size_t take = std::min(size, kGzipChunkBytes - chunk.input.size());
        chunk.input.insert(chunk.input.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_failed;
}

bool GzipWriter::Finish() {
    if (m_finished) {
        return false;
    }
    m_finished = true;
    if (!m_filling && !TakeChunkToFill()) {
        return false;
    }
    SubmitFilledChunk(true);
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_written < m_submitted) {
            if (!HelpOnce(lock)) {
                return false;
            }
        }
    }
    unsigned char trailer[8];
    PutLittleEndian32(trailer, m_crc);
    // The length modulo 2^32, as gzip keeps it.
    PutLittleEndian32(trailer + 4, static_cast<std::uint32_t>(m_inputBytes));
    return Emit(trailer, sizeof trailer);
}

bool GzipWriter::TakeChunkToFill() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_failed) {
            return false;
        }
        Chunk& chunk = Slot(m_submitted);
        if (chunk.state == Chunk::State::kFree) {
            chunk.state = Chunk::State::kFilling;
            chunk.input.clear();
            if (chunk.input.capacity() < kGzipChunkBytes) {
                lock.unlock();
                chunk.input.reserve(kGzipChunkBytes);
                lock.lock();
            }
            m_filling = true;
            return true;
        }
        if (!HelpOnce(lock)) {
            return false;
        }
    }
}

void GzipWriter::SubmitFilledChunk(bool last) {
    bool startHelpers = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Chunk& chunk = Slot(m_submitted);
        chunk.last = last;
        chunk.failed = false;
        chunk.state = Chunk::State::kReady;
        ++m_submitted;
        m_filling = false;
        // A second chunk: the input is large enough to share out.
        startHelpers = !last && m_helpers.empty() && m_threads > 1;
    }
    m_changed.notify_all();
    if (startHelpers) {
        StartHelpers();
    }
}

void GzipWriter::StartHelpers() {
    for (unsigned i = 1; i < m_threads; ++i) {
        try {
            m_helpers.emplace_back([this] { HelperLoop(); });
        } catch (const std::system_error&) {
            // No thread to be had: the caller compresses what is left alone.
            break;
        }
    }
}

void GzipWriter::HelperLoop() {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(kGzipLevel);
    if (compressor == nullptr) {
        return;  // the others go on without this one
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || m_failed || m_taken < m_submitted; });
        if (m_stopping || m_failed) {
            break;
        }
        Chunk& chunk = Slot(m_taken++);
        chunk.state = Chunk::State::kCompressing;
        lock.unlock();
        const bool ok = Compress(chunk, compressor);
        lock.lock();
        chunk.failed = !ok;
        chunk.state = Chunk::State::kDone;
        m_changed.notify_all();
    }
    lock.unlock();
    libdeflate_free_compressor(compressor);
}

bool GzipWriter::HelpOnce(std::unique_lock<std::mutex>& lock) {
    if (m_failed) {
        return false;
    }
    Chunk& next = Slot(m_written);
    if (m_written < m_submitted && next.state == Chunk::State::kDone) {
        // Only the caller writes, so the order is kept.
        lock.unlock();
        const bool ok = WriteOut(next);
        lock.lock();
        next.state = Chunk::State::kFree;
        ++m_written;
        m_changed.notify_all();
        return ok && !m_failed;
    }
    if (m_taken < m_submitted) {
        Chunk& chunk = Slot(m_taken++);
        chunk.state = Chunk::State::kCompressing;
        lock.unlock();
        const bool ok = Compress(chunk, m_compressor);
        lock.lock();
        chunk.failed = !ok;
        chunk.state = Chunk::State::kDone;
        m_changed.notify_all();
        return true;
    }
    m_changed.wait(lock);
    return !m_failed;
}

bool GzipWriter::Compress(Chunk& chunk, libdeflate_compressor* compressor) {
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor, chunk.input.size()) +
                              detail::kDeflateContinueExtra;
    if (chunk.output.size() < bound) {
        chunk.output.resize(bound);
    }
    chunk.crc = libdeflate_crc32(0, chunk.input.data(), chunk.input.size());
    chunk.outputSize =
        libdeflate_deflate_compress(compressor, chunk.input.data(), chunk.input.size(),
                                    chunk.output.data(), chunk.output.size());
    if (chunk.outputSize == 0) {
        return false;  // cannot happen with an output of the bound's size
    }
    if (!chunk.last) {
        chunk.outputSize = detail::ContinueDeflateStream(chunk.output.data(), chunk.outputSize);
    }
    return chunk.outputSize != 0;
}

bool GzipWriter::WriteOut(Chunk& chunk) {
    if (chunk.failed) {
        Fail("a compressed chunk could not be joined to the archive");
        return false;
    }
    if (!m_headerWritten) {
        if (!Emit(kGzipHeader, sizeof kGzipHeader)) {
            return false;
        }
        m_headerWritten = true;
    }
    m_crc = static_cast<std::uint32_t>(
        crc32_combine(m_crc, chunk.crc, static_cast<z_off_t>(chunk.input.size())));
    m_inputBytes += chunk.input.size();
    return Emit(chunk.output.data(), chunk.outputSize);
}

bool GzipWriter::Emit(const unsigned char* data, std::size_t size) {
    const std::error_code code = m_sink(data, size);
    if (code) {
        Fail(code.message());
        return false;
    }
    return true;
}

namespace {

// Builds the failure texts of WriteGzipArchive and clears up after it: the
// partial archive goes, the source and an existing archive stay as they were.
struct ArchiveFailure {
    ArchiveError& error;
    const std::string& partPath;

    bool operator()(const std::string& verb, const std::string& path, const std::string& role,
                    const std::string& reason) const {
        error.text = "cannot " + verb + " " + path + ": " + reason;
        error.cause = verb + " " + role + ": " + reason;
        std::error_code ignored;
        platform::PathKind kind = platform::PathKind::kMissing;
        // Only what this run left there: a regular file or nothing.
        if (!platform::LinkKind(partPath, kind) && kind == platform::PathKind::kRegular) {
            fs::remove(partPath, ignored);
        }
        return false;
    }
    bool NotRegular(const std::string& path, const std::string& role,
                    platform::PathKind kind) const {
        (*this)("use", path, role,
                std::string("it is ") + platform::PathKindName(kind) + ", not a regular file");
        return false;
    }
};

// Removes a part left by an interrupted run. Its name is the log's own, so
// whatever is there (a file, a link someone planted) goes; a folder is left
// for the creation to fail on.
void RemoveLeftoverPart(const std::string& partPath) {
    platform::PathKind kind = platform::PathKind::kMissing;
    if (!platform::LinkKind(partPath, kind) && kind != platform::PathKind::kMissing &&
        kind != platform::PathKind::kFolder) {
        std::error_code ignored;
        fs::remove(partPath, ignored);
    }
}

std::string FolderOf(const std::string& path) {
    return fs::path(path).parent_path().string();
}

}  // namespace

bool WriteGzipArchive(const std::string& sourcePath, const std::string& archivePath,
                      const std::string& partPath, ArchiveError& error, unsigned threads) {
    error = {};
    const ArchiveFailure fail{error, partPath};
    platform::PathKind kind = platform::PathKind::kMissing;

    platform::PlainFileReader source;
    std::error_code code = source.Open(sourcePath, kind);
    if (code) {
        if (kind != platform::PathKind::kRegular && kind != platform::PathKind::kMissing) {
            return fail.NotRegular(sourcePath, "the backup", kind);
        }
        return fail("read", sourcePath, "the backup", code.message());
    }

    code = platform::LinkKind(archivePath, kind);
    if (code) {
        return fail("examine", archivePath, "the archive", code.message());
    }
    const bool appending = kind == platform::PathKind::kRegular;
    if (kind != platform::PathKind::kMissing && !appending) {
        return fail.NotRegular(archivePath, "the archive", kind);
    }
    if (appending && !platform::OwnedByThisUser(archivePath)) {
        // Archive names are foreseeable: another user may have put a file
        // under the name of the coming second. It is neither taken into this
        // archive nor replaced; a later attempt gets a name of its own.
        return fail("use", archivePath, "the archive", "it belongs to another user");
    }

    RemoveLeftoverPart(partPath);
    platform::NewFileWriter part;
    code = part.Create(partPath, kArchiveMode);
    if (code) {
        // Not ours to remove: whatever is there was there before.
        error.text = "cannot create " + partPath + ": " + code.message();
        error.cause = "create the archive part: " + code.message();
        return false;
    }

    std::vector<unsigned char> block(kReadBlockBytes);
    if (appending) {
        // A generation archived within the same second: the archive keeps its
        // members and this generation follows them.
        platform::PlainFileReader existing;
        code = existing.Open(archivePath, kind);
        if (code) {
            part.Close();
            return kind == platform::PathKind::kRegular || kind == platform::PathKind::kMissing
                       ? fail("read", archivePath, "the archive", code.message())
                       : fail.NotRegular(archivePath, "the archive", kind);
        }
        for (;;) {
            std::size_t got = 0;
            if ((code = existing.Read(block.data(), block.size(), got))) {
                part.Close();
                return fail("read", archivePath, "the archive", code.message());
            }
            if (got == 0) {
                break;
            }
            if ((code = part.Write(block.data(), got))) {
                part.Close();
                return fail("write", partPath, "the archive part", code.message());
            }
        }
    }

    GzipWriter writer(
        [&part](const unsigned char* data, std::size_t size) { return part.Write(data, size); },
        threads);
    for (;;) {
        std::size_t got = 0;
        if ((code = source.Read(block.data(), block.size(), got))) {
            part.Close();
            return fail("read", sourcePath, "the backup", code.message());
        }
        if (got == 0) {
            break;
        }
        if (!writer.Write(block.data(), got)) {
            break;
        }
    }
    if (!writer.Finish()) {
        part.Close();
        return fail("write", partPath, "the archive part", writer.Error());
    }
    if ((code = part.SyncToDisk()) || (code = part.Close())) {
        return fail("write", partPath, "the archive part", code.message());
    }
    // Replacing the archive is intended only when the part holds its members
    // followed by the new one (a rename replaces a link rather than follow
    // it); a new archive never replaces a file.
    if (appending) {
        fs::rename(partPath, archivePath, code);
    } else {
        code = platform::MoveFileNoReplace(partPath, archivePath);
    }
    if (code) {
        return fail("rename", partPath + " to " + archivePath, "the archive part", code.message());
    }
    // Put the new name on the disk before the caller deletes the source. Best
    // effort: the archive is complete either way, and some file systems do not
    // flush folders.
    (void)platform::FlushFolderToDisk(FolderOf(archivePath));
    return true;
}

}  // namespace ZelLog

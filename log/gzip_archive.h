// Gzip archives of old log generations. GzipWriter compresses a stream of
// bytes into one gzip member (RFC 1952, deflate level 9, 32 KiB window) on
// every processor: the input is cut into chunks that are compressed each on
// its own, by whichever thread is free, and joined in order into one deflate
// stream; the CRC-32s of the chunks are combined into the member's. Memory
// stays bounded (a few chunks per thread) whatever the size of the input, and
// any gzip reader, even one that stops after the first member, gets all of it.
// WriteGzipArchive compresses one file into an archive so that the archive is
// either complete or unchanged.
//
// A GzipWriter belongs to the thread that made it (its helper threads are its
// own business); WriteGzipArchive may be called from any thread, but two calls
// must not write the same archive at the same time (the log's locks see to that).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

struct libdeflate_compressor;

namespace ZelLog {

// Deflate level of every archive: the highest of the gzip tool's scale.
constexpr int kGzipLevel = 9;
// Input of one chunk. A chunk's first bytes find no match in the chunk before
// it: 1 MiB chunks make the archive about 0.8% larger than one whole stream
// would, 4 MiB about 0.2%, at four times the memory.
constexpr std::size_t kGzipChunkBytes = 1024 * 1024;
// Chunks in flight per compressing thread: one being compressed, one waiting.
constexpr std::size_t kGzipChunksPerThread = 2;
// Compressing threads at most, the caller's included.
constexpr unsigned kMaxGzipThreads = 8;

// One compressing thread per processor, at most kMaxGzipThreads.
unsigned DefaultGzipThreads();

class GzipWriter {
public:
    // Receives the archive's bytes in order, on the thread that calls Write
    // and Finish; an error stops the writer.
    using Sink = std::function<std::error_code(const unsigned char* data, std::size_t size)>;

    // |threads|: how many threads compress, the caller's included; 0 means
    // DefaultGzipThreads(). Helper threads start with the second chunk, so a
    // small input is compressed on the caller's thread alone.
    explicit GzipWriter(Sink sink, unsigned threads = 0);
    // Stops and joins the helper threads; what was not finished is dropped.
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    // Takes |size| bytes. The caller compresses too while it waits for a free
    // chunk. False once anything failed, after which nothing more is written.
    bool Write(const void* data, std::size_t size);
    // Compresses what is left and writes the end of the member (an empty
    // member when no byte came at all, so that the output is a gzip file even
    // then). False when anything failed.
    bool Finish();

    // Why Write or Finish failed: the sink's error text, or what went wrong
    // inside.
    const std::string& Error() const { return m_error; }
    // The helper threads that could be started so far.
    std::size_t HelperThreads() const { return m_helpers.size(); }

private:
    struct Chunk;

    // Makes the chunk after the last one submitted the one being filled,
    // helping the other threads while it is still in use.
    bool TakeChunkToFill();
    // Hands the chunk being filled to the compressing threads.
    void SubmitFilledChunk(bool last);
    // One step while waiting: writes the next compressed chunk, or compresses
    // one, or waits for a change. False once anything failed.
    bool HelpOnce(std::unique_lock<std::mutex>& lock);
    void StartHelpers();
    void HelperLoop();
    // Compresses the chunk with |compressor|; false when it could not be.
    static bool Compress(Chunk& chunk, libdeflate_compressor* compressor);
    bool WriteOut(Chunk& chunk);
    bool Emit(const unsigned char* data, std::size_t size);
    void Fail(std::string why);
    Chunk& Slot(std::uint64_t sequence);

    Sink m_sink;
    unsigned m_threads;
    libdeflate_compressor* m_compressor = nullptr;  // the caller's

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Chunk> m_chunks;    // a ring; states guarded by m_mutex
    std::uint64_t m_submitted = 0;  // chunks handed over; guarded by m_mutex
    std::uint64_t m_taken = 0;      // chunks a thread took to compress; guarded by m_mutex
    std::uint64_t m_written = 0;    // chunks written to the sink; guarded by m_mutex
    bool m_filling = false;         // the caller fills Slot(m_submitted)
    bool m_stopping = false;        // guarded by m_mutex
    bool m_failed = false;          // guarded by m_mutex
    std::vector<std::thread> m_helpers;

    // The caller's side only.
    bool m_headerWritten = false;
    bool m_finished = false;
    std::uint32_t m_crc = 0;
    std::uint64_t m_inputBytes = 0;
    std::string m_error;
};

// Why an archive could not be written.
struct ArchiveError {
    // Names the file and the reason: "cannot read /var/log/x.log.BAK:
    // Permission denied".
    std::string text;
    // The step and the reason without the names, which change from one
    // archive to the next ("write the archive: No space left on device"): the
    // same for as long as the same fault lasts.
    std::string cause;
};

// Compresses the whole file |sourcePath| into the gzip archive |archivePath|.
// The source is read only when it is a regular file: a symbolic link, a named
// pipe or any other special file in its place is refused at once. The archive
// is written under |partPath|, which is created new (a leftover of an
// interrupted run is removed first; a link planted there is never written
// through), with mode 0640 less the umask, put on the disk and renamed to
// |archivePath|, so that |archivePath| never holds a partial archive. When a
// regular file |archivePath| of this user exists already, its bytes come first
// and the new member follows them; anything else under that name is refused.
//
// Returns true when the archive is complete and on the disk. Otherwise returns
// false with |error| filled in; |partPath| is removed and |archivePath| and
// the source are as they were.
bool WriteGzipArchive(const std::string& sourcePath, const std::string& archivePath,
                      const std::string& partPath, ArchiveError& error, unsigned threads = 0);

}  // namespace ZelLog

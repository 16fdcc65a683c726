// Independent readers of the archives the log writes (the gzip tool, and zlib
// as a reader that stops after the first member), generators of test content,
// and a watchdog that frees a test stuck opening a named pipe.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace ZelLog::testing {

// The output of |command| (run by the shell) and its exit status.
struct ToolRun {
    std::string output;
    int status = -1;
};

inline ToolRun RunTool(const std::string& command) {
    ToolRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char block[65536];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) {
        run.output.append(block, got);
    }
    run.status = ::pclose(pipe);
    return run;
}

inline std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// True when "gzip -t" accepts the file.
inline bool GzipAccepts(const std::string& path) {
    return RunTool("gzip -t " + Quoted(path) + " 2>/dev/null").status == 0;
}

// What "gzip -dc" makes of the file (the concatenation of its members).
inline ToolRun Gunzip(const std::string& path) {
    return RunTool("gzip -dc " + Quoted(path) + " 2>/dev/null");
}

// What "gzip -l" says the uncompressed size is; -1 when it says nothing.
inline long long GzipListedSize(const std::string& path) {
    const ToolRun run = RunTool("gzip -l " + Quoted(path) + " 2>/dev/null");
    std::istringstream lines(run.output);
    std::string header;
    long long compressed = -1;
    long long uncompressed = -1;
    if (run.status != 0 || !std::getline(lines, header) || !(lines >> compressed >> uncompressed)) {
        return -1;
    }
    return uncompressed;
}

// What a reader that stops after the first gzip member makes of |archive|.
struct FirstMember {
    bool complete = false;  // the member ended, its CRC-32 and length checked
    std::string output;
    std::size_t consumed = 0;  // bytes of |archive| the member took
};

inline FirstMember GunzipFirstMember(const std::string& archive) {
    FirstMember member;
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        return member;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(archive.data()));
    stream.avail_in = static_cast<uInt>(archive.size());
    char block[65536];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(block);
        stream.avail_out = sizeof block;
        status = inflate(&stream, Z_NO_FLUSH);
        member.output.append(block, sizeof block - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) {
            break;  // the input ended before the member did
        }
    }
    member.complete = status == Z_STREAM_END;
    member.consumed = archive.size() - stream.avail_in;
    inflateEnd(&stream);
    return member;
}

// Frees whoever is stuck opening the named pipe |path| for reading: after a
// limit far beyond any real run, it opens the pipe for writing and closes it
// again, so that the reader sees an empty stream. Fired() then tells the test
// that something blocked on the pipe.
class PipeWatchdog {
public:
    explicit PipeWatchdog(std::string path, std::chrono::seconds limit = std::chrono::seconds(30))
        : m_path(std::move(path)), m_thread([this, limit] { Watch(limit); }) {}
    ~PipeWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    PipeWatchdog(const PipeWatchdog&) = delete;
    PipeWatchdog& operator=(const PipeWatchdog&) = delete;

    bool Fired() const { return m_fired.load(); }

private:
    void Watch(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_for(lock, limit, [this] { return m_done; })) {
            return;
        }
        m_fired = true;
        // Opening for writing without a reader fails at once; keep trying
        // until the stuck reader is there, or the test has moved on.
        while (!m_done) {
            const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_done; });
        }
    }

    std::string m_path;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;  // guarded by m_mutex
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};

// Log-like lines of varying values, |size| bytes.
inline std::string LogLikeText(std::size_t size, unsigned seed) {
    std::mt19937 engine(seed);
    auto random = [&engine] { return static_cast<unsigned>(engine()); };
    std::string text;
    char line[256];
    unsigned ms = 0;
    while (text.size() < size) {
        ms += random() % 40;
        std::snprintf(line, sizeof line,
                      "[CPU=%04u][PID=%08u]:[NORMAL]:[TID=%08u]:[NORMAL] [15-06-26 "
                      "%02u:%02u:%02u.%03u] Success read [%u] symbols from socket\r\n",
                      random() % 4, 4000 + random() % 3, 4000 + random() % 9, (ms / 3600000) % 24,
                      (ms / 60000) % 60, (ms / 1000) % 60, ms % 1000, random() % 65536);
        text += line;
    }
    text.resize(size);
    return text;
}

// Bytes that do not compress.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

}  // namespace ZelLog::testing

// The capture path as the capture window takes it, against the least code that
// makes the same system calls. For UDP and for TCP, a transport's data signal
// appends each block to a file that is opened, appended to and closed per
// block (std::ofstream: openat, lseek, write, close), at log level 0; beside
// it a plain C loop that receives and does the same four file calls. Both
// receive what one sender thread sends over loopback:
//   UDP: 64-byte datagrams; the sender keeps at most a window of datagrams in
//        flight, so that the socket buffer never overflows and nothing is lost.
//   TCP: one connection; the transport reads one byte at a time, and so does
//        the C loop.
// Each run checks the capture file against what was sent. The table shows
// blocks and bytes per second of the best and the median round, and our rate
// as a share of the C loop's. A second row per transport makes the slot's
// four file calls directly, as the C loop does, to show what the transport
// alone costs; the first uses std::ofstream, as the capture window's slot
// may.
//
//   build/bench/transport_bench [datagrams] [tcp-bytes] [rounds]
//
// A second mode measures TCP with large reads, the sender pinned to core 0 and
// the receiver to core 1, one stream of MiB mebibytes per contender and round:
// a C loop (accept, read 64 KiB, write to a file it keeps open), the
// TCPServerProtocol with a read size of 65536 whose slot appends each block
// through platform::CaptureFile as the capture does (open, append, close per
// block), and the program itself, "tapscope capture tcp --read-size 65536"
// under "taskset -c 1", with --no-record (the C loop's job) and as it runs by
// default, also writing its record (whose SHA-256 of every byte is most of
// what it costs here). Every capture file is compared with what was sent.
//
//   build/bench/transport_bench stream [MiB] [rounds]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "log/debug.h"
#include "platform/capture_file.h"
#include "protocols/tcp_server_protocol.h"
#include "protocols/udp_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDatagramSize = 64;
// Datagrams in flight at most: about 830 KB of socket buffer on loopback,
// well inside the 8 MiB a 4 MiB request gives.
constexpr std::uint64_t kWindow = 1000;
constexpr std::size_t kTcpWriteSize = 4096;

struct Result {
    double seconds = 0;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
    bool whole = false;
    double BlocksPerSecond() const { return seconds > 0 ? blocks / seconds : 0; }
    double BytesPerSecond() const { return seconds > 0 ? bytes / seconds : 0; }
};

// What the receiver has taken, read by the sender to keep its window.
struct Progress {
    std::atomic<std::uint64_t> blocks{0};
    std::atomic<std::uint64_t> bytes{0};
    Clock::time_point first{};
    Clock::time_point last{};

    void Note(std::size_t count) {
        const auto now = Clock::now();
        if (blocks.load(std::memory_order_relaxed) == 0) {
            first = now;
        }
        last = now;
        bytes.fetch_add(count, std::memory_order_relaxed);
        blocks.fetch_add(1, std::memory_order_release);
    }
};

std::string CaptureName() {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/tapscope-bench-" +
           std::to_string(getpid()) + ".bin";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DatagramPayload(std::uint64_t i) {
    std::string payload(kDatagramSize, '.');
    const std::string number = std::to_string(i) + ":";
    payload.replace(0, number.size(), number);
    return payload;
}

std::string TcpStream(std::uint64_t bytes) {
    std::string stream(bytes, '\0');
    for (std::uint64_t i = 0; i < bytes; ++i) {
        stream[i] = static_cast<char>('a' + i % 26);
    }
    return stream;
}

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Sends |count| datagrams to |port|, keeping at most kWindow in flight.
void SendDatagrams(unsigned short port, std::uint64_t count, const Progress& progress) {
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in target = Loopback(port);
    for (std::uint64_t i = 0; i < count; ++i) {
        while (i - progress.blocks.load(std::memory_order_acquire) >= kWindow) {
            std::this_thread::yield();
        }
        const std::string payload = DatagramPayload(i);
        sendto(sender, payload.data(), payload.size(), 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
    close(sender);
}

void SendStream(unsigned short port, const std::string& stream) {
    const int sender = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in target = Loopback(port);
    if (connect(sender, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    for (std::size_t done = 0; done < stream.size();) {
        const ssize_t n =
            write(sender, stream.data() + done, std::min(kTcpWriteSize, stream.size() - done));
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        done += static_cast<std::size_t>(n);
    }
    close(sender);
}

Result Finish(const Progress& progress, const std::string& capture, const std::string& expected) {
    Result result;
    result.blocks = progress.blocks.load();
    result.bytes = progress.bytes.load();
    result.seconds = std::chrono::duration<double>(progress.last - progress.first).count();
    result.whole = ReadAll(capture) == expected;
    std::remove(capture.c_str());
    return result;
}

// The capture window's data slot: open, append, close per block.
void AppendToCapture(const std::string& capture, const std::vector<char>& buffer,
                     unsigned int count) {
    std::ofstream out(capture, std::ios::binary | std::ios::app);
    out.write(buffer.data(), count);
}

// The same system calls made directly, as the C loop makes them: what the
// transport alone costs.
void AppendWithSystemCalls(const std::string& capture, const std::vector<char>& buffer,
                           unsigned int count) {
    const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    lseek(file, 0, SEEK_END);
    [[maybe_unused]] ssize_t written = write(file, buffer.data(), count);
    close(file);
}

using Slot = void (*)(const std::string&, const std::vector<char>&, unsigned int);

// --- UDP --------------------------------------------------------------------

Result UdpTransport(std::uint64_t count, Slot append) {
    const std::string capture = CaptureName();
    Progress progress;
    boost::asio::io_context io;
    auto udp = MakeProtocol<UDPProtocol>(io, "<settings ip=\"127.0.0.1\" port=\"0\" />");
    udp->m_dataSignal.connect([&](std::shared_ptr<AbstractProtocol> source,
                                  const std::vector<char>& buffer, const unsigned int& bytes) {
        append(capture, buffer, bytes);
        progress.Note(bytes);
        if (progress.blocks.load(std::memory_order_relaxed) == count) {
            source->Stop();
        }
    });
    if (!udp->Start()) {
        std::exit(1);
    }
    std::thread sender(SendDatagrams, udp->LocalPort(), count, std::cref(progress));
    io.run();
    sender.join();
    std::string expected;
    for (std::uint64_t i = 0; i < count; ++i) {
        expected += DatagramPayload(i);
    }
    return Finish(progress, capture, expected);
}

Result UdpCLoop(std::uint64_t count) {
    const std::string capture = CaptureName();
    Progress progress;
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    const int bufferBytes = UDPProtocol::kSocketReceiveBufferBytes;
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread sender(SendDatagrams, ntohs(address.sin_port), count, std::cref(progress));
    std::vector<char> buffer(UDPProtocol::kReceiveBufferSize);
    for (std::uint64_t i = 0; i < count; ++i) {
        const ssize_t n = recv(receiver, buffer.data(), buffer.size(), 0);
        const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        lseek(file, 0, SEEK_END);
        [[maybe_unused]] ssize_t written = write(file, buffer.data(), n);
        close(file);
        progress.Note(n);
    }
    sender.join();
    close(receiver);
    std::string expected;
    for (std::uint64_t i = 0; i < count; ++i) {
        expected += DatagramPayload(i);
    }
    return Finish(progress, capture, expected);
}

// --- TCP --------------------------------------------------------------------

Result TcpTransport(std::uint64_t bytes, Slot append) {
    const std::string capture = CaptureName();
    const std::string stream = TcpStream(bytes);
    Progress progress;
    boost::asio::io_context io;
    auto server = TCPServerProtocol::Create(io, "<settings ip=\"127.0.0.1\" port=\"0\" />");
    server->m_dataSignal.connect([&](std::shared_ptr<AbstractProtocol> source,
                                     const std::vector<char>& buffer, const unsigned int& count) {
        append(capture, buffer, count);
        progress.Note(count);
        if (progress.bytes.load(std::memory_order_relaxed) == bytes) {
            source->Stop();
        }
    });
    if (!server->Start()) {
        std::exit(1);
    }
    std::thread sender(SendStream, server->LocalPort(), std::cref(stream));
    io.run();
    sender.join();
    return Finish(progress, capture, stream);
}

Result TcpCLoop(std::uint64_t bytes) {
    const std::string capture = CaptureName();
    const std::string stream = TcpStream(bytes);
    Progress progress;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(listener, SOMAXCONN);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread sender(SendStream, ntohs(address.sin_port), std::cref(stream));
    const int connection = accept(listener, nullptr, nullptr);
    char byte = 0;
    for (std::uint64_t i = 0; i < bytes; ++i) {
        const ssize_t n = recv(connection, &byte, 1, 0);
        if (n != 1) {
            break;
        }
        const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        lseek(file, 0, SEEK_END);
        [[maybe_unused]] ssize_t written = write(file, &byte, 1);
        close(file);
        progress.Note(1);
    }
    sender.join();
    close(connection);
    close(listener);
    return Finish(progress, capture, stream);
}

// --- table ------------------------------------------------------------------

// The best and the median run of one contender; a run that lost or altered a
// block makes the row void.
struct Summary {
    Result best;
    Result median;
    bool whole = true;
};

Summary Summarise(std::vector<Result> results) {
    Summary summary;
    for (const Result& result : results) {
        summary.whole = summary.whole && result.whole;
    }
    std::sort(results.begin(), results.end(), [](const Result& a, const Result& b) {
        return a.BlocksPerSecond() > b.BlocksPerSecond();
    });
    summary.best = results.front();
    summary.median = results[results.size() / 2];
    return summary;
}

void PrintRow(const char* name, const Summary& ours, const Summary& limit) {
    std::printf("  %-38s %10.0f %12.0f %7.1f%% %10.0f %7.1f%%  %s\n", name,
                ours.best.BlocksPerSecond(), ours.best.BytesPerSecond(),
                100.0 * ours.best.BlocksPerSecond() / limit.best.BlocksPerSecond(),
                ours.median.BlocksPerSecond(),
                100.0 * ours.median.BlocksPerSecond() / limit.median.BlocksPerSecond(),
                ours.whole ? "whole" : "LOST OR ALTERED");
}

// --- TCP with large reads, pinned ------------------------------------------

#ifndef TAPSCOPE_PROGRAM
#define TAPSCOPE_PROGRAM ""
#endif

constexpr std::size_t kLargeRead = 64 * 1024;

// Pins the calling thread to |cpu|; says so when it cannot.
void PinThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) {
        std::fprintf(stderr, "cannot pin a thread to core %d\n", cpu);
    }
}

// Each 8-byte word holds its own index, so that a block lost, repeated or
// moved anywhere in the stream shows in the comparison.
std::vector<char> IndexedStream(std::uint64_t bytes) {
    std::vector<char> stream(bytes, '\0');
    for (std::uint64_t word = 0; word * 8 < bytes; ++word) {
        std::memcpy(stream.data() + word * 8, &word, std::min<std::uint64_t>(8, bytes - word * 8));
    }
    return stream;
}

// Whether |path| holds exactly |expected|, read back in large pieces.
bool FileHolds(const std::string& path, const std::vector<char>& expected) {
    const int file = open(path.c_str(), O_RDONLY);
    if (file < 0) {
        return false;
    }
    std::vector<char> piece(1 << 20);
    std::size_t at = 0;
    bool same = true;
    while (same) {
        const ssize_t n = read(file, piece.data(), piece.size());
        if (n <= 0) {
            break;
        }
        same = at + static_cast<std::size_t>(n) <= expected.size() &&
               std::memcmp(piece.data(), expected.data() + at, static_cast<std::size_t>(n)) == 0;
        at += static_cast<std::size_t>(n);
    }
    close(file);
    return same && at == expected.size();
}

// Connects to |port| (retrying while nobody listens yet, for the program that
// is still starting) and writes |stream| in 64 KiB writes from core 0;
// |connected| receives when the connection stood.
void SendPinned(unsigned short port, const std::vector<char>& stream,
                Clock::time_point* connected) {
    PinThread(0);
    const sockaddr_in target = Loopback(port);
    int sender = -1;
    for (int attempt = 0; attempt < 5000; ++attempt) {
        sender = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(sender, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
            break;
        }
        close(sender);
        sender = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (sender < 0) {
        std::perror("connect");
        std::exit(1);
    }
    *connected = Clock::now();
    for (std::size_t done = 0; done < stream.size();) {
        const ssize_t n =
            write(sender, stream.data() + done, std::min(kLargeRead, stream.size() - done));
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        done += static_cast<std::size_t>(n);
    }
    close(sender);
}

struct StreamResult {
    double seconds = 0;
    std::uint64_t blocks = 0;
    bool whole = false;
};

// accept, read 64 KiB, write to the open file; on core 1.
StreamResult StreamCLoop(const std::vector<char>& stream) {
    const std::string capture = CaptureName();
    StreamResult result;
    std::thread receiver([&] {
        PinThread(1);
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(listener, SOMAXCONN);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        Clock::time_point start;
        std::thread sender(SendPinned, ntohs(address.sin_port), std::cref(stream), &start);
        const int connection = accept(listener, nullptr, nullptr);
        const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> buffer(kLargeRead);
        while (true) {
            const ssize_t n = read(connection, buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            [[maybe_unused]] ssize_t written = write(file, buffer.data(), n);
            ++result.blocks;
        }
        close(file);
        const auto end = Clock::now();
        sender.join();
        result.seconds = std::chrono::duration<double>(end - start).count();
        close(connection);
        close(listener);
    });
    receiver.join();
    result.whole = FileHolds(capture, stream);
    std::remove(capture.c_str());
    return result;
}

// TCPServerProtocol with 64 KiB reads; each block appended through
// CaptureFile (open, append, close); the io_context runs on core 1.
StreamResult StreamTransport(const std::vector<char>& stream) {
    const std::string capture = CaptureName();
    StreamResult result;
    std::thread receiver([&] {
        PinThread(1);
        tapscope::platform::CaptureFile file(capture);
        std::uint64_t received = 0;
        bool failed = false;
        boost::asio::io_context io;
        auto server = TCPServerProtocol::Create(io, "<settings ip=\"127.0.0.1\" port=\"0\" />");
        server->SetReadSize(kLargeRead);
        server->m_dataSignal.connect([&](std::shared_ptr<AbstractProtocol> source,
                                         const std::vector<char>& buffer,
                                         const unsigned int& count) {
            failed = failed || !file.Append(buffer.data(), count).Ok();
            received += count;
            ++result.blocks;
            if (received == stream.size()) {
                source->Stop();
            }
        });
        if (!server->Start()) {
            std::exit(1);
        }
        Clock::time_point start;
        std::thread sender(SendPinned, server->LocalPort(), std::cref(stream), &start);
        io.run();
        const auto end = Clock::now();
        sender.join();
        result.seconds = std::chrono::duration<double>(end - start).count();
        result.whole = !failed;
    });
    receiver.join();
    result.whole = result.whole && FileHolds(capture, stream);
    std::remove(capture.c_str());
    return result;
}

unsigned short FreeTcpPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// "taskset -c 1 tapscope capture tcp --read-size 65536", which ends by itself
// when the sender closes its connection; timed, as the other rows, from the
// connection to the moment the capture file holds the whole stream (its
// size is watched every 100 us), not to the program's exit, which waits for
// the console's next status tick. The blocks are those its closing line
// counts.
StreamResult StreamProgram(const std::vector<char>& stream, bool record) {
    const std::string capture = CaptureName();
    StreamResult result;
    const std::string port = std::to_string(FreeTcpPort());
    std::vector<std::string> args = {"taskset",     "-c",     "1",    TAPSCOPE_PROGRAM, "capture",
                                     "tcp",         "--port", port,   "--read-size",    "65536",
                                     "--overwrite", "-o",     capture};
    if (!record) {
        args.push_back("--no-record");
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string said = capture + ".said";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, said.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = -1;
    if (posix_spawnp(&child, "taskset", &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("taskset");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    Clock::time_point start;
    std::thread sender(SendPinned, static_cast<unsigned short>(std::stoi(port)), std::cref(stream),
                       &start);
    int status = -1;
    Clock::time_point end{};
    const off_t whole = static_cast<off_t>(stream.size());
    for (;;) {
        struct stat file {};
        if (stat(capture.c_str(), &file) == 0 && file.st_size >= whole) {
            end = Clock::now();
            break;
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            end = Clock::now();  // ended without the whole stream: not byte-exact below
            child = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    sender.join();
    result.seconds = std::chrono::duration<double>(end - start).count();
    // "captured N bytes in M blocks into ..."
    const std::string text = ReadAll(said);
    std::remove(said.c_str());
    if (const auto at = text.find(" bytes in "); at != std::string::npos) {
        result.blocks = std::strtoull(text.c_str() + at + 10, nullptr, 10);
    }
    result.whole = WIFEXITED(status) && WEXITSTATUS(status) == 0 && FileHolds(capture, stream);
    std::remove(capture.c_str());
    std::remove((capture + ".jsonl").c_str());  // its record, when it wrote one
    return result;
}

int StreamMain(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);
    const std::vector<char> stream = IndexedStream(mebibytes << 20);
    const bool withProgram = access(TAPSCOPE_PROGRAM, X_OK) == 0;
    std::vector<StreamResult> cLoop, transport, program, bare;
    // The contenders take turns, so that a slow spell falls on all of them.
    for (int round = 0; round < rounds; ++round) {
        cLoop.push_back(StreamCLoop(stream));
        transport.push_back(StreamTransport(stream));
        if (withProgram) {
            program.push_back(StreamProgram(stream, true));
            bare.push_back(StreamProgram(stream, false));
        }
    }
    auto best = [](std::vector<StreamResult> results) {
        std::sort(results.begin(), results.end(), [](const StreamResult& a, const StreamResult& b) {
            return a.seconds < b.seconds;
        });
        return results;
    };
    const double megabytes = static_cast<double>(stream.size()) / 1e6;
    const std::vector<StreamResult> limit = best(cLoop);
    std::printf(
        "TCP, %llu MiB on one connection, 64 KiB reads; sender on core 0, receiver on "
        "core 1; %d rounds\n",
        static_cast<unsigned long long>(mebibytes), rounds);
    std::printf("  %-52s %10s %8s %10s %8s %8s\n", "", "best MB/s", "share", "median MB/s", "share",
                "blocks");
    auto row = [&](const char* name, const std::vector<StreamResult>& results) {
        const std::vector<StreamResult> sorted = best(results);
        bool whole = true;
        for (const StreamResult& result : results) {
            whole = whole && result.whole;
        }
        const StreamResult& top = sorted.front();
        const StreamResult& median = sorted[sorted.size() / 2];
        const StreamResult& limitMedian = limit[limit.size() / 2];
        std::printf("  %-52s %10.0f %7.2fx %10.0f %7.2fx %8llu  %s\n", name,
                    megabytes / top.seconds, limit.front().seconds / top.seconds,
                    megabytes / median.seconds, limitMedian.seconds / median.seconds,
                    static_cast<unsigned long long>(top.blocks),
                    whole ? "byte-exact" : "LOST OR ALTERED");
    };
    row("C loop (accept, read 64 KiB, write to open file)", cLoop);
    row("TCPServerProtocol, read size 65536, CaptureFile", transport);
    if (withProgram) {
        row("tapscope capture tcp --read-size 65536 --no-record", bare);
        row("tapscope capture tcp --read-size 65536 (record on)", program);
    } else {
        std::printf("  (the program was not built; its row is left out)\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "stream") {
        return StreamMain(argc, argv);
    }
    const std::uint64_t datagrams = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const std::uint64_t tcpBytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200000;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 5);
    if (ZelLog::Log()->Level() != 0) {
        std::fprintf(stderr, "the log is not at level 0\n");
        return 1;
    }

    // The two contenders take turns, so that a slow spell of the machine
    // falls on both.
    std::vector<Result> udpC, udpOurs, udpBare, tcpC, tcpOurs, tcpBare;
    for (int round = 0; round < rounds; ++round) {
        udpC.push_back(UdpCLoop(datagrams));
        udpOurs.push_back(UdpTransport(datagrams, AppendToCapture));
        udpBare.push_back(UdpTransport(datagrams, AppendWithSystemCalls));
        tcpC.push_back(TcpCLoop(tcpBytes));
        tcpOurs.push_back(TcpTransport(tcpBytes, AppendToCapture));
        tcpBare.push_back(TcpTransport(tcpBytes, AppendWithSystemCalls));
    }
    std::printf(
        "%d rounds; rates from the first block received to the last; share: of the C "
        "loop's rate\n",
        rounds);
    std::printf("  %-38s %10s %12s %8s %10s %8s\n", "", "best bl/s", "best B/s", "share",
                "median bl/s", "share");
    std::printf("UDP, %llu datagrams of %zu bytes, at most %llu in flight\n",
                static_cast<unsigned long long>(datagrams), kDatagramSize,
                static_cast<unsigned long long>(kWindow));
    const Summary udpLimit = Summarise(udpC);
    PrintRow("C loop (recv+open+lseek+write+close)", udpLimit, udpLimit);
    PrintRow("UDPProtocol, ofstream slot", Summarise(udpOurs), udpLimit);
    PrintRow("UDPProtocol, system-call slot", Summarise(udpBare), udpLimit);
    std::printf("TCP, %llu bytes on one connection, 1-byte reads\n",
                static_cast<unsigned long long>(tcpBytes));
    const Summary tcpLimit = Summarise(tcpC);
    PrintRow("C loop (recv+open+lseek+write+close)", tcpLimit, tcpLimit);
    PrintRow("TCPServerProtocol, ofstream slot", Summarise(tcpOurs), tcpLimit);
    PrintRow("TCPServerProtocol, system-call slot", Summarise(tcpBare), tcpLimit);
    return 0;
}

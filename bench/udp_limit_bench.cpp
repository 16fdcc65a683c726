// UDP capture at the machine's limit: one paced sender (sendmmsg of
// sequence-numbered datagrams) pinned to one core, and a receiver pinned to
// the other, run three times for each datagram size and rate: first a reference C
// receiver (recvmmsg of up to 64 datagrams, one writev per batch into a file
// it keeps open, the same receive buffer as tapScope asks for), then
// "tapscope capture udp --no-record" (the same job), then "tapscope capture
// udp" as it runs by default, also writing its record. Each row counts the datagrams that reached
// the file whole and in order of their sequence numbers, the loss, and the
// receiver's CPU time (user + system, all its threads) per datagram.
//
//   build/bench/udp_limit_bench TAPSCOPE [sizes] [rates] [seconds]
//     sizes    comma-separated datagram sizes (default 64,1024)
//     rates    comma-separated datagrams per second, 0 for a flood
//              (default 100000,200000,400000,0)
//     seconds  how long the sender sends at each rate (default 2)
// bench/udp_limit builds it and runs it against the built program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSenderCpu = 0;
constexpr int kReceiverCpu = 1;
constexpr int kBatch = 32;         // datagrams per sendmmsg
constexpr int kReceiveBatch = 64;  // datagrams per recvmmsg
// What tapScope asks for; Linux grants twice as much.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
constexpr std::uint64_t kFloodCount = 1'000'000;

volatile sig_atomic_t g_stop = 0;
void OnTerm(int) {
    g_stop = 1;
}

void PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
    }
}

std::vector<long> ParseList(const char* text) {
    std::vector<long> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        values.push_back(std::strtol(item.c_str(), nullptr, 10));
    }
    return values;
}

unsigned short FreePort() {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// The byte at |index| of datagram |sequence|: the sequence number in the
// first 8 bytes, then a pattern that a torn or shifted datagram breaks.
unsigned char PayloadByte(std::uint64_t sequence, std::size_t index) {
    if (index < 8) {
        return static_cast<unsigned char>(sequence >> (8 * index));
    }
    return static_cast<unsigned char>(sequence * 131 + index);
}

// The reference receiver, in a child process: as little as captures every
// datagram whole.
[[noreturn]] void ReferenceReceiver(unsigned short port, const std::string& file, int ready,
                                    std::size_t size) {
    PinTo(kReceiverCpu);
    signal(SIGTERM, OnTerm);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        _exit(1);
    }
    const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    std::vector<std::vector<char>> buffers(kReceiveBatch, std::vector<char>(size + 1));
    std::vector<iovec> in(kReceiveBatch);
    std::vector<mmsghdr> messages(kReceiveBatch);
    std::vector<iovec> outv(kReceiveBatch);
    for (int i = 0; i < kReceiveBatch; ++i) {
        in[i] = {buffers[i].data(), buffers[i].size()};
        messages[i].msg_hdr = {};
        messages[i].msg_hdr.msg_iov = &in[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    if (write(ready, "r", 1) != 1) {
        _exit(1);
    }
    while (!g_stop) {
        pollfd wait{sock, POLLIN, 0};
        if (poll(&wait, 1, 50) <= 0) {
            continue;
        }
        const int got = recvmmsg(sock, messages.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) {
            continue;
        }
        for (int i = 0; i < got; ++i) {
            outv[i] = {buffers[i].data(), messages[i].msg_len};
        }
        if (writev(out, outv.data(), got) < 0) {
            std::perror("writev");
            _exit(1);
        }
    }
    close(out);
    _exit(0);
}

// tapscope capture udp, in a child process on the receiver's core; the
// parent reads its output until it says it is capturing.
pid_t StartTapscope(const char* program, unsigned short port, const std::string& file, bool record,
                    int& output) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t child = fork();
    if (child == 0) {
        PinTo(kReceiverCpu);
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        const std::string portText = std::to_string(port);
        std::vector<const char*> args = {
            program,  "capture",        "udp", "--ip",       "127.0.0.1",
            "--port", portText.c_str(), "-o",  file.c_str(), "--overwrite"};
        if (!record) {
            args.push_back("--no-record");
        }
        args.push_back(nullptr);
        execv(program, const_cast<char* const*>(args.data()));
        std::perror("exec");
        _exit(127);
    }
    close(pipeEnds[1]);
    output = pipeEnds[0];
    std::string said;
    char chunk[256];
    while (said.find("capturing") == std::string::npos) {
        const ssize_t got = read(output, chunk, sizeof chunk);
        if (got <= 0) {
            std::fprintf(stderr, "tapscope did not start: %s\n", said.c_str());
            std::exit(1);
        }
        said.append(chunk, static_cast<std::size_t>(got));
    }
    return child;
}

// Sends |count| datagrams of |size| bytes at |rate| per second (0: as fast as
// one core can) from this thread, pinned to the sender's core.
double Send(unsigned short port, std::size_t size, long rate, std::uint64_t count) {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<std::vector<unsigned char>> buffers(kBatch, std::vector<unsigned char>(size));
    std::vector<iovec> vectors(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    const auto start = Clock::now();
    for (std::uint64_t sent = 0; sent < count;) {
        const int batch = static_cast<int>(std::min<std::uint64_t>(kBatch, count - sent));
        for (int i = 0; i < batch; ++i) {
            for (std::size_t b = 0; b < size; ++b) {
                buffers[i][b] = PayloadByte(sent + i, b);
            }
            vectors[i] = {buffers[i].data(), size};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        if (rate > 0) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(double(sent) / rate));
            while (Clock::now() < due) {
            }
        }
        int done = 0;
        while (done < batch) {
            const int got = sendmmsg(sock, messages.data() + done, batch - done, 0);
            if (got < 0) {
                if (errno == ENOBUFS || errno == EAGAIN) {
                    continue;
                }
                std::perror("sendmmsg");
                std::exit(1);
            }
            done += got;
        }
        sent += batch;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(sock);
    return seconds;
}

off_t SizeOf(const std::string& file) {
    struct stat status {};
    return stat(file.c_str(), &status) == 0 ? status.st_size : 0;
}

// Waits until the file has stopped growing for a while (the receiver has
// written what it got), at most a few seconds.
void WaitForQuiet(const std::string& file) {
    off_t last = -1;
    int quiet = 0;
    for (int i = 0; i < 100 && quiet < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const off_t now = SizeOf(file);
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
}

struct Counted {
    std::uint64_t whole = 0;  // datagrams whole, each sequence number once
    bool intact = true;       // every datagram whole, none repeated or torn
};

Counted Count(const std::string& file, std::size_t size, std::uint64_t sent) {
    Counted counted;
    FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
        counted.intact = false;
        return counted;
    }
    std::vector<unsigned char> datagram(size);
    std::vector<bool> seen(sent, false);
    while (std::fread(datagram.data(), 1, size, in) == size) {
        std::uint64_t sequence = 0;
        for (int i = 0; i < 8 && static_cast<std::size_t>(i) < size; ++i) {
            sequence |= std::uint64_t(datagram[i]) << (8 * i);
        }
        bool ok = sequence < sent && !seen[sequence];
        for (std::size_t b = 0; ok && b < size; ++b) {
            ok = datagram[b] == PayloadByte(sequence, b);
        }
        if (!ok) {
            counted.intact = false;
            continue;
        }
        seen[sequence] = true;
        ++counted.whole;
    }
    if (std::fgetc(in) != EOF) {
        counted.intact = false;  // a torn datagram at the end
    }
    std::fclose(in);
    return counted;
}

struct Row {
    std::uint64_t sent = 0;
    double sendSeconds = 0;
    Counted counted;
    double cpuMicros = 0;  // receiver CPU per datagram received
};

enum class Receiver { kReference, kTapscope, kTapscopeNoRecord };

Row RunOnce(Receiver receiver, const char* program, std::size_t size, long rate, double seconds) {
    const bool reference = receiver == Receiver::kReference;
    const unsigned short port = FreePort();
    const char* tmp = std::getenv("TMPDIR");
    const std::string file = std::string(tmp != nullptr ? tmp : "/tmp") + "/udp_limit_" +
                             std::to_string(getpid()) + (reference ? ".ref" : ".tap");
    unlink(file.c_str());
    pid_t child = 0;
    int output = -1;
    if (reference) {
        int ready[2];
        if (pipe(ready) != 0) {
            std::exit(1);
        }
        child = fork();
        if (child == 0) {
            close(ready[0]);
            ReferenceReceiver(port, file, ready[1], size);
        }
        close(ready[1]);
        char byte;
        if (read(ready[0], &byte, 1) != 1) {
            std::fprintf(stderr, "the reference receiver did not start\n");
            std::exit(1);
        }
        close(ready[0]);
    } else {
        child = StartTapscope(program, port, file, receiver == Receiver::kTapscope, output);
    }
    Row row;
    row.sent = rate > 0 ? static_cast<std::uint64_t>(rate * seconds) : kFloodCount;
    row.sendSeconds = Send(port, size, rate, row.sent);
    WaitForQuiet(file);
    kill(child, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (output >= 0) {
        close(output);
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    row.counted = Count(file, size, row.sent);
    row.cpuMicros = row.counted.whole > 0 ? cpu * 1e6 / row.counted.whole : 0;
    unlink(file.c_str());
    unlink((file + ".jsonl").c_str());  // the capture's record, when it wrote one
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TAPSCOPE [sizes] [rates] [seconds]\n", argv[0]);
        return 2;
    }
    const char* program = argv[1];
    const std::vector<long> sizes = ParseList(argc > 2 ? argv[2] : "64,1024");
    const std::vector<long> rates = ParseList(argc > 3 ? argv[3] : "100000,200000,400000,0");
    const double seconds = argc > 4 ? std::atof(argv[4]) : 2.0;
    if (std::thread::hardware_concurrency() < 2) {
        std::fprintf(stderr, "needs two cores: one for the sender, one for the receiver\n");
        return 2;
    }
    PinTo(kSenderCpu);
    std::printf("sender on cpu %d, receiver on cpu %d; loss and receiver CPU per datagram\n",
                kSenderCpu, kReceiverCpu);
    std::printf(
        "tapscope with --no-record does the reference's job; by default it also writes "
        "its record\n");
    std::printf("%6s %9s %10s | %10s %7s %8s | %10s %7s %8s %6s | %10s %7s %8s %6s\n", "size",
                "rate", "sent/s", "C recv", "lost%", "us/dgram", "no record", "lost%", "us/dgram",
                "x C", "record on", "lost%", "us/dgram", "x C");
    for (const long size : sizes) {
        for (const long rate : rates) {
            const Row ref = RunOnce(Receiver::kReference, program, size, rate, seconds);
            const Row bare = RunOnce(Receiver::kTapscopeNoRecord, program, size, rate, seconds);
            const Row tap = RunOnce(Receiver::kTapscope, program, size, rate, seconds);
            auto lost = [](const Row& row) {
                return 100.0 * double(row.sent - row.counted.whole) / double(row.sent);
            };
            auto times = [&ref](const Row& row) {
                return ref.cpuMicros > 0 ? row.cpuMicros / ref.cpuMicros : 0;
            };
            const std::string rateText = rate > 0 ? std::to_string(rate) : "flood";
            const bool intact = ref.counted.intact && bare.counted.intact && tap.counted.intact;
            std::printf(
                "%6ld %9s %10.0f | %10llu %6.2f%% %8.2f | %10llu %6.2f%% %8.2f %6.2f | "
                "%10llu %6.2f%% %8.2f %6.2f%s\n",
                size, rateText.c_str(), double(ref.sent) / ref.sendSeconds,
                static_cast<unsigned long long>(ref.counted.whole), lost(ref), ref.cpuMicros,
                static_cast<unsigned long long>(bare.counted.whole), lost(bare), bare.cpuMicros,
                times(bare), static_cast<unsigned long long>(tap.counted.whole), lost(tap),
                tap.cpuMicros, times(tap), intact ? "" : "  (torn or repeated!)");
            std::fflush(stdout);
        }
    }
    return 0;
}

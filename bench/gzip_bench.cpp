// Time to archive one log generation, which is how long every flush of every
// process of the program waits while a rotation holds the log's locks.
// Generates a log-like file (the line prefix with varying processor, process,
// thread, priorities and time, and the messages the capture path logs), then
// archives it several times with the log's own writer (on every processor, and
// on one for comparison) and, on the same file, with "gzip -9" and the other
// compressors that are installed. Prints the median wall time, the CPU time of
// the in-process ones, the wall time as a share of gzip -9's, and the archive
// size; then what "gzip -l" lists for the log's archive.
//
//   build/bench/gzip_bench [MiB, default 100] [rounds, default 3] [folder, default $TMPDIR]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "log/gzip_archive.h"
#include "log/line_format.h"
#include "platform/process_info.h"

#if TAPSCOPE_BENCH_WITH_ZLIB
#include <zlib.h>
#endif
#if TAPSCOPE_BENCH_WITH_CRYPTOPP
#include <cryptopp/files.h>
#include <cryptopp/gzip.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kIoBlock = 256 * 1024;

// Writes |bytes| of CR LF lines with the log's prefix and varying values.
void WriteLogLikeFile(const std::string& path, std::uint64_t bytes) {
    static const char* const kMessages[] = {
        "Success read [%u] symbols from socket",
        "Success write [%u] symbols to file [/home/operator/captures/pos_log.txt]",
        "Accepted client 127.0.0.1:%u",
        "Client 127.0.0.1:%u disconnected: End of file",
        "Start UDP server on 127.0.0.1:8001, receive buffer %u",
        "Serial port COM%u opened: 9600 baud, 8 data bits, no parity, 1 stop bit",
        "Stop TCP Server, %u clients",
        "CDebug queue overflow: max size %u, skipped 9",
        "[ERROR] bind failed: Address already in use (%u) [src/protocols/udp.cpp:322, Wed Jun 27 "
        "18:10:10 2018]",
    };
    static const int kPriorities[] = {0, 0, 0, -1, 1, 2, -15};
    std::mt19937 engine(20261206);
    auto random = [&engine](unsigned range) { return static_cast<unsigned>(engine() % range); };
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::uint64_t written = 0;
    std::uint64_t ms = 9 * 3600000ULL;
    char line[512];
    char message[256];
    while (written < bytes) {
        ms += random(25);
        const unsigned tid = 4100 + random(6);
        std::snprintf(message, sizeof message, kMessages[random(std::size(kMessages))],
                      random(65536));
        const int length = std::snprintf(
            line, sizeof line,
            "[CPU=%04u][PID=%08u]:[%s]:[TID=%08u%s]:[%s] [06-12-26 %02u:%02u:%02u.%03u] %s\r\n",
            random(4), 4096 + random(2),
            ZelLog::PriorityName(tapscope::platform::kNormalPriorityClass).c_str(), tid,
            tid == 4100 ? "(MAIN)" : "",
            ZelLog::PriorityName(kPriorities[random(std::size(kPriorities))]).c_str(),
            static_cast<unsigned>(ms / 3600000 % 24), static_cast<unsigned>(ms / 60000 % 60),
            static_cast<unsigned>(ms / 1000 % 60), static_cast<unsigned>(ms % 1000), message);
        std::fwrite(line, 1, static_cast<std::size_t>(length), out);
        written += static_cast<std::uint64_t>(length);
    }
    std::fclose(out);
}

// Peak resident set of the process in KiB ("VmHWM"), 0 when unknown.
long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

struct Method {
    std::string name;
    bool inProcess;
    std::function<bool(const std::string& in, const std::string& out)> run;
};

struct Sample {
    double wall = 0;
    double cpu = 0;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

#if TAPSCOPE_BENCH_WITH_ZLIB
bool ZlibGzip(const std::string& in, const std::string& out) {
    std::FILE* source = std::fopen(in.c_str(), "rb");
    std::FILE* sink = std::fopen(out.c_str(), "wb");
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> input(kIoBlock);
    std::vector<unsigned char> output(kIoBlock);
    int flush = Z_NO_FLUSH;
    do {
        const std::size_t got = std::fread(input.data(), 1, input.size(), source);
        flush = got < input.size() ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            deflate(&stream, flush);
            std::fwrite(output.data(), 1, output.size() - stream.avail_out, sink);
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    std::fclose(source);
    return std::fclose(sink) == 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const char* tmp = std::getenv("TMPDIR");
    const fs::path folder = fs::path(argc > 3 ? argv[3] : (tmp != nullptr ? tmp : "/tmp")) /
                            ("gzip-bench-" + std::to_string(std::time(nullptr)));
    fs::create_directories(folder);
    const std::string log = (folder / "tapscope.log").string();
    WriteLogLikeFile(log, mib * 1024 * 1024);
    const std::uint64_t logBytes = fs::file_size(log);

    std::vector<Method> methods;
    methods.push_back({"WriteGzipArchive (lock hold: part, fsync, rename)", true,
                       [](const std::string& in, const std::string& out) {
                           ZelLog::ArchiveError error;
                           const bool ok = ZelLog::WriteGzipArchive(in, out, out + ".part", error);
                           if (!ok) {
                               std::fprintf(stderr, "%s\n", error.text.c_str());
                           }
                           return ok;
                       }});
    const unsigned threads = ZelLog::DefaultGzipThreads();
    for (const unsigned count : {threads, 1u}) {
        methods.push_back(
            {"GzipWriter, " + std::to_string(count) + " thread" + (count == 1 ? "" : "s") +
                 " (no fsync)",
             true, [count](const std::string& in, const std::string& out) {
                 std::FILE* source = std::fopen(in.c_str(), "rb");
                 std::FILE* sink = std::fopen(out.c_str(), "wb");
                 bool ok = false;
                 {
                     ZelLog::GzipWriter writer(
                         [sink](const unsigned char* data, std::size_t size) {
                             if (std::fwrite(data, 1, size, sink) != size) {
                                 return std::error_code(errno, std::system_category());
                             }
                             return std::error_code();
                         },
                         count);
                     std::vector<char> block(kIoBlock);
                     std::size_t got = 0;
                     while ((got = std::fread(block.data(), 1, block.size(), source)) > 0) {
                         writer.Write(block.data(), got);
                     }
                     ok = writer.Finish();
                 }
                 std::fclose(source);
                 return std::fclose(sink) == 0 && ok;
             }});
    }
#if TAPSCOPE_BENCH_WITH_ZLIB
    methods.push_back({"zlib deflate level 9, one stream (no fsync)", true, ZlibGzip});
#endif
#if TAPSCOPE_BENCH_WITH_CRYPTOPP
    methods.push_back(
        {"Crypto++ Gzip level 9 (no fsync)", true,
         [](const std::string& in, const std::string& out) {
             CryptoPP::FileSource source(
                 in.c_str(), true,
                 new CryptoPP::Gzip(new CryptoPP::FileSink(out.c_str()), 9, 15, true));
             return true;
         }});
#endif
    methods.push_back(
        {"gzip -9 (tool, no fsync)", false, [](const std::string& in, const std::string& out) {
             const std::string command = "gzip -9 -c '" + in + "' > '" + out + "'";
             return std::system(command.c_str()) == 0;
         }});

    std::printf("log-like file: %.1f MiB, %d rounds, in %s\n",
                static_cast<double>(logBytes) / 1048576.0, rounds, folder.c_str());
    const long peakBefore = PeakResidentKiB();
    std::vector<std::vector<Sample>> samples(methods.size());
    std::vector<std::uint64_t> sizes(methods.size());
    long peakAfterOurs = 0;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t m = 0; m < methods.size(); ++m) {
            const std::string out = (folder / ("out" + std::to_string(m) + ".GZ")).string();
            fs::remove(out);
            const auto start = Clock::now();
            const std::clock_t cpuStart = std::clock();
            if (!methods[m].run(log, out)) {
                std::fprintf(stderr, "%s failed\n", methods[m].name.c_str());
                return 1;
            }
            Sample sample;
            sample.cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
            sample.wall = std::chrono::duration<double>(Clock::now() - start).count();
            samples[m].push_back(sample);
            sizes[m] = fs::file_size(out);
            if (m == 1 && peakAfterOurs == 0) {
                peakAfterOurs = PeakResidentKiB();
            }
        }
    }

    std::vector<double> medianWall(methods.size());
    for (std::size_t m = 0; m < methods.size(); ++m) {
        std::vector<double> wall;
        for (const Sample& s : samples[m]) {
            wall.push_back(s.wall);
        }
        medianWall[m] = Median(wall);
    }
    const double gzipWall = medianWall.back();  // "gzip -9" comes last
    std::printf("%-52s %9s %9s %9s %9s %12s\n", "method", "wall s", "cpu s", "MiB/s", "x gzip-9",
                "archive B");
    for (std::size_t m = 0; m < methods.size(); ++m) {
        std::vector<double> cpu;
        for (const Sample& s : samples[m]) {
            cpu.push_back(s.cpu);
        }
        char cpuText[16] = "-";
        if (methods[m].inProcess) {
            std::snprintf(cpuText, sizeof cpuText, "%.3f", Median(cpu));
        }
        std::printf("%-52s %9.3f %9s %9.1f %9.2f %12llu\n", methods[m].name.c_str(), medianWall[m],
                    cpuText, static_cast<double>(logBytes) / 1048576.0 / medianWall[m],
                    gzipWall > 0 ? medianWall[m] / gzipWall : 0.0,
                    static_cast<unsigned long long>(sizes[m]));
    }
    // One member per generation: "gzip -l" lists the whole length.
    const std::string listing = "gzip -l '" + (folder / "out0.GZ").string() + "'";
    std::printf("%s (log-like file: %llu bytes):\n", listing.c_str(),
                static_cast<unsigned long long>(logBytes));
    std::fflush(stdout);
    if (std::system(listing.c_str()) != 0) {
        std::fprintf(stderr, "gzip -l failed\n");
    }
    std::printf("peak resident set growth while the log's writer ran: %ld KiB\n",
                peakAfterOurs - peakBefore);
    fs::remove_all(folder);
    return 0;
}

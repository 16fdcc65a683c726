// The log writer under load, side by side with spdlog's asynchronous file
// logger writing lines of the same shape and length (the same prefix fields,
// CR LF line ends) to a file in the same folder:
//
//   1. producer cost per line (median, 99th percentile) with 1 and 2 producer
//      threads while the writer runs, with the default flush period (500 ms)
//      and with period 0; nothing is dropped (our queue bound holds every
//      line; spdlog blocks when its queue is full);
//   2. lines per second into the file: from the first line produced until the
//      last one is in the file and the logger is shut down, one producer;
//   3. where the writer's time goes: one flush of a large batch, split into
//      taking the lines from the queue and writing them out, and the fixed
//      cost of a flush of one line (mutex, open, seek, write, close).
//
//   build/bench/writer_bench [lines-per-producer] [rounds] [ours]
//
// Each figure is the median over the rounds; rounds interleave the rows. The
// files go to a fresh folder under $TMPDIR (or /tmp). With "ours" only our
// rows run, for a profiler.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "log/debug.h"
#include "platform/named_mutex.h"
#include "platform/process_info.h"
#include "runtime/paths.h"
#include "tests/support/log_test_access.h"

#if TAPSCOPE_BENCH_WITH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using namespace tapscope::bench;
namespace fs = std::filesystem;

constexpr const char* kText = "Success read [%i] symbols from socket";

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Lines in a file (counted by their "\n").
std::size_t CountLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<std::size_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// One run: producer percentiles and lines per second, and whether every line
// reached the file.
struct Run {
    Percentiles producer;
    double linesPerSecond = 0;
    bool complete = false;
};

class Bench {
public:
    explicit Bench(std::string folder) : m_folder(std::move(folder)) {
        m_module =
            "tapscope-writer-bench-" + std::to_string(tapscope::platform::CurrentProcessId());
    }
    ~Bench() { tapscope::platform::NamedMutex::Remove(m_module); }

    Run Ours(int threads, int calls, bool timed, std::int32_t period) {
        const std::string path = m_folder + "/ours.log";
        fs::remove(path);
        ZelLog::LogSettings settings;
        settings.level = 2;
        settings.moduleName = m_module;
        settings.logFilePath = path;
        settings.flushPeriod = period;
        settings.queueMaxLines = static_cast<std::uint32_t>(threads * calls + 16);
        Run run;
        auto debug = ZelLog::CDebugTestAccess::CreateWithWriter(settings);
        const auto start = Clock::now();
        run.producer = RunProducers(threads, calls, timed, [&](int i) { debug->Trace(kText, i); });
        debug.reset();  // flush what is left, stop the writer
        run.linesPerSecond = threads * calls / Seconds(Clock::now() - start);
        run.complete = CountLines(path) == static_cast<std::size_t>(threads * calls);
        return run;
    }

#if TAPSCOPE_BENCH_WITH_SPDLOG
    Run Spdlog(int threads, int calls, bool timed) {
        const std::string path = m_folder + "/spdlog.log";
        Run run;
        {
            auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
            auto logger = std::make_shared<spdlog::async_logger>(
                "writer", sink, pool, spdlog::async_overflow_policy::block);
            auto formatter = std::make_unique<spdlog::pattern_formatter>(
                spdlog::pattern_time_type::local, std::string("\r\n"));
            // The process id as literal text: spdlog's "%P" asks the system for
            // it at every line, which our prefix does not do either.
            char pattern[128];
            std::snprintf(pattern, sizeof pattern,
                          "[CPU=%%C][PID=%08lu]:[NORMAL]:[TID=%%t]:[NORMAL] [%%d-%%m-%%y "
                          "%%H:%%M:%%S.%%e] %%v",
                          tapscope::platform::CurrentProcessId());
            formatter->add_flag<CpuFlag>('C').set_pattern(pattern);
            logger->set_formatter(std::move(formatter));
            logger->set_level(spdlog::level::trace);
            sink.reset();
            const auto start = Clock::now();
            run.producer = RunProducers(threads, calls, timed, [&](int i) {
                logger->trace("Success read [{}] symbols from socket", i);
            });
            logger.reset();
            pool.reset();  // drains the queue and joins the worker; the file closes
            run.linesPerSecond = threads * calls / Seconds(Clock::now() - start);
        }
        run.complete = CountLines(path) == static_cast<std::size_t>(threads * calls);
        return run;
    }

    // "%C": the processor number, as our prefix prints it.
    class CpuFlag : public spdlog::custom_flag_formatter {
    public:
        void format(const spdlog::details::log_msg&, const std::tm&,
                    spdlog::memory_buf_t& dest) override {
            char text[8];
            const int n = std::snprintf(text, sizeof text, "%04d", sched_getcpu());
            dest.append(text, text + n);
        }
        std::unique_ptr<custom_flag_formatter> clone() const override {
            return std::make_unique<CpuFlag>();
        }
    };
#endif

    // Where the writer's time goes, for one batch of |lines| lines: the whole
    // flush, the take alone, and a one-line flush (the fixed cost per flush).
    void Breakdown(int lines, double& flushMs, double& takeMs, double& oneLineUs) {
        const std::string path = m_folder + "/breakdown.log";
        fs::remove(path);
        ZelLog::LogSettings settings;
        settings.level = 2;
        settings.moduleName = m_module;
        settings.logFilePath = path;
        settings.queueMaxLines = static_cast<std::uint32_t>(lines + 16);
        auto debug = ZelLog::CDebugTestAccess::Create(settings);

        for (int i = 0; i < lines; ++i) {
            debug->Trace(kText, i);
        }
        auto start = Clock::now();
        ZelLog::CDebugTestAccess::TakeQueue(*debug);  // the lines are freed at once, as Flush does
        takeMs = Seconds(Clock::now() - start) * 1e3;

        for (int i = 0; i < lines; ++i) {
            debug->Trace(kText, i);
        }
        start = Clock::now();
        debug->Flush();
        flushMs = Seconds(Clock::now() - start) * 1e3;

        constexpr int kSmallFlushes = 2000;
        std::vector<std::int64_t> samples;
        for (int i = 0; i < kSmallFlushes; ++i) {
            debug->Trace(kText, i);
            const auto begin = Clock::now();
            debug->Flush();
            samples.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count());
        }
        oneLineUs = Summarise(std::move(samples)).median / 1e3;
    }

private:
    std::string m_folder;
    std::string m_module;
};

template <typename T>
T MedianOf(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Percentiles MedianOfRuns(const std::vector<Run>& runs) {
    auto median = [&](double Percentiles::*field) {
        std::vector<double> values;
        for (const Run& run : runs) {
            values.push_back(run.producer.*field);
        }
        return MedianOf(values);
    };
    return {median(&Percentiles::median), median(&Percentiles::p99), median(&Percentiles::p999)};
}

struct Row {
    std::string name;
    std::function<Run()> run;
    std::vector<Run> runs;
};

bool AllComplete(const std::vector<Run>& runs) {
    return std::all_of(runs.begin(), runs.end(), [](const Run& run) { return run.complete; });
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    // "ours" leaves out the comparison rows, which exist only with spdlog.
    [[maybe_unused]] const bool oursOnly = argc > 3 && std::string(argv[3]) == "ours";
    const std::string folder =
        fs::temp_directory_path().string() + "/tapscope-writer-bench-" + zelmisc::MakeUniqueName();
    fs::create_directories(folder);
    Bench bench(folder);

    std::vector<Row> latency;
    std::vector<Row> throughput;
    for (int threads : {1, 2}) {
        const std::string producers =
            std::to_string(threads) + (threads == 1 ? " producer" : " producers");
        for (std::int32_t period : {500, 0}) {
            latency.push_back(
                {"CDebug::Trace, period " + std::to_string(period) + ", " + producers,
                 [&, threads, period] { return bench.Ours(threads, calls, true, period); },
                 {}});
        }
#if TAPSCOPE_BENCH_WITH_SPDLOG
        if (oursOnly) {
            continue;
        }
        latency.push_back({"spdlog async file, block, " + producers,
                           [&, threads] { return bench.Spdlog(threads, calls, true); },
                           {}});
#endif
    }
    throughput.push_back({"CDebug writer, period 0, 1 producer",
                          [&] { return bench.Ours(1, calls, false, 0); },
                          {}});
#if TAPSCOPE_BENCH_WITH_SPDLOG
    if (!oursOnly) {
        throughput.push_back({"spdlog async file, block, 1 producer",
                              [&] { return bench.Spdlog(1, calls, false); },
                              {}});
    }
#endif
    std::vector<double> flushMs;
    std::vector<double> takeMs;
    std::vector<double> oneLineUs;

    for (int round = 0; round < rounds; ++round) {
        for (Row& row : latency) {
            row.runs.push_back(row.run());
        }
        for (Row& row : throughput) {
            row.runs.push_back(row.run());
        }
        double flush = 0;
        double take = 0;
        double one = 0;
        bench.Breakdown(calls, flush, take, one);
        flushMs.push_back(flush);
        takeMs.push_back(take);
        oneLineUs.push_back(one);
    }

    std::printf("%d lines per producer, median of %d rounds, files in %s\n", calls, rounds,
                folder.c_str());
    std::printf("\n%-44s %10s %10s %10s\n", "producer ns per line", "median", "p99", "p99.9");
    for (const Row& row : latency) {
        PrintRow(row.name.c_str(), MedianOfRuns(row.runs));
        if (!AllComplete(row.runs)) {
            std::printf("  (some lines did not reach the file)\n");
        }
    }
    std::printf("\n%-44s %10s\n", "lines per second into the file", "lines/s");
    for (const Row& row : throughput) {
        std::vector<double> rates;
        for (const Run& run : row.runs) {
            rates.push_back(run.linesPerSecond);
        }
        std::printf("%-44s %10.0f%s\n", row.name.c_str(), MedianOf(rates),
                    AllComplete(row.runs) ? "" : "  (some lines did not reach the file)");
    }
    const double flush = MedianOf(flushMs);
    const double take = MedianOf(takeMs);
    std::printf("\nwriter, one flush of %d queued lines: %.1f ms (%.0f ns a line)\n", calls, flush,
                flush * 1e6 / calls);
    std::printf("  taking them from the queue, freeing them: %.1f ms (%.0f ns a line)\n", take,
                take * 1e6 / calls);
    std::printf("  CR LF, buffer and write(2):               %.1f ms (%.0f ns a line)\n",
                flush - take, (flush - take) * 1e6 / calls);
    std::printf("writer, fixed cost of a flush of one line: %.1f us\n", MedianOf(oneLineUs));
#if !TAPSCOPE_BENCH_WITH_SPDLOG
    std::printf("(spdlog not found: install libspdlog-dev for the comparison rows)\n");
#endif
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}

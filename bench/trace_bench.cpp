// Producer cost of one log line: CDebug::Trace at level 0 and level 2 with one
// and two producer threads, side by side with the floor of what a log call
// must do on its caller's thread (read the clock, format the message with
// snprintf, nothing else) and with spdlog's asynchronous logger printing the
// same fields. Each call is timed on its own; the table shows the
// median and the 99th and 99.9th percentiles in nanoseconds, clock reads
// included (the first row shows what an empty call costs).
//
//   build/bench/trace_bench [calls-per-thread]
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "log/debug.h"
#include "tests/support/log_test_access.h"

#if TAPSCOPE_BENCH_WITH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using namespace tapscope::bench;

#if TAPSCOPE_BENCH_WITH_SPDLOG
// "%C": the processor number, as the line prefix prints it.
class CpuFlag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg&, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        const std::string text = std::to_string(sched_getcpu());
        dest.append(text.data(), text.data() + text.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<CpuFlag>();
    }
};

std::shared_ptr<spdlog::async_logger> MakeSpdlog(spdlog::level::level_enum level) {
    auto logger = std::make_shared<spdlog::async_logger>(
        "bench", std::make_shared<spdlog::sinks::null_sink_mt>(), spdlog::thread_pool(),
        spdlog::async_overflow_policy::overrun_oldest);
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<CpuFlag>('C').set_pattern(
        "[CPU=%C][PID=%P]:[NORMAL]:[TID=%t]:[NORMAL] [%d-%m-%y %H:%M:%S.%e] %v");
    logger->set_formatter(std::move(formatter));
    logger->set_level(level);
    return logger;
}
#endif

// One row of the table: a name and the run that measures it once.
struct Row {
    std::string name;
    std::function<Percentiles()> run;
    std::vector<Percentiles> rounds;
};

// The median over the rounds of each statistic: the machine stalls now and
// then, and one stall must not decide a row.
Percentiles MedianOfRounds(const std::vector<Percentiles>& rounds) {
    auto median = [&](double Percentiles::*field) {
        std::vector<double> values;
        for (const Percentiles& p : rounds) {
            values.push_back(p.*field);
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    return {median(&Percentiles::median), median(&Percentiles::p99), median(&Percentiles::p999)};
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int roundCount = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<Row> rows;

    rows.push_back({"empty call (clock reads only)",
                    [&] { return RunProducers(1, calls, true, [](int) {}); },
                    {}});

    // The floor: the clock and the caller's formatting, kept from being
    // optimised away.
    const std::string floorName = "floor: clock read + snprintf of the message";
    rows.push_back({floorName,
                    [&] {
                        return RunProducers(1, calls, true, [](int i) {
                            timespec now{};
                            clock_gettime(CLOCK_REALTIME, &now);
                            char line[256];
                            std::snprintf(line, sizeof line,
                                          "Success read [%i] symbols from socket", i);
                            asm volatile("" : : "r"(line), "r"(now.tv_nsec) : "memory");
                        });
                    },
                    {}});

    ZelLog::LogSettings off;
    auto quiet = ZelLog::CDebugTestAccess::Create(off);
    rows.push_back({"CDebug::Trace, level 0",
                    [&] {
                        return RunProducers(1, calls, true, [&](int i) {
                            quiet->Trace("Success read [%i] symbols from socket", i);
                        });
                    },
                    {}});

    // The default bound of 5000 lines: producers at full speed outrun any
    // writer, so every line also drops the oldest one.
    ZelLog::LogSettings on;
    on.level = 2;
    auto debug = ZelLog::CDebugTestAccess::Create(on);
    for (int threads : {1, 2}) {
        rows.push_back({"CDebug::Trace, level 2, " + std::to_string(threads) +
                            (threads == 1 ? " producer" : " producers"),
                        [&, threads] {
                            return RunProducers(threads, calls, true, [&](int i) {
                                debug->Trace("Success read [%i] symbols from socket", i);
                            });
                        },
                        {}});
    }

#if TAPSCOPE_BENCH_WITH_SPDLOG
    spdlog::init_thread_pool(8192, 1);
    auto spdOff = MakeSpdlog(spdlog::level::off);
    rows.push_back({"spdlog async, level off",
                    [&] {
                        return RunProducers(1, calls, true, [&](int i) {
                            spdOff->trace("Success read [{}] symbols from socket", i);
                        });
                    },
                    {}});
    auto spdOn = MakeSpdlog(spdlog::level::trace);
    for (int threads : {1, 2}) {
        rows.push_back({"spdlog async, all levels, " + std::to_string(threads) +
                            (threads == 1 ? " producer" : " producers"),
                        [&, threads] {
                            return RunProducers(threads, calls, true, [&](int i) {
                                spdOn->trace("Success read [{}] symbols from socket", i);
                            });
                        },
                        {}});
    }
#endif

    // Rounds interleave the rows, so that a slow spell of the machine falls on
    // all of them alike.
    for (int round = 0; round < roundCount; ++round) {
        for (Row& row : rows) {
            row.rounds.push_back(row.run());
        }
    }

    std::printf("%d calls per thread, median of %d rounds\n", calls, roundCount);
    std::printf("%-44s %10s %10s %10s\n", "ns per call", "median", "p99", "p99.9");
    auto statistics = [&rows](const std::string& name) {
        for (const Row& row : rows) {
            if (row.name == name) {
                return MedianOfRounds(row.rounds);
            }
        }
        return Percentiles{};
    };
    for (const Row& row : rows) {
        PrintRow(row.name.c_str(), MedianOfRounds(row.rounds));
    }
    const double floor = statistics(floorName).median;
    const Percentiles trace = statistics("CDebug::Trace, level 2, 1 producer");
    const Percentiles traceTwo = statistics("CDebug::Trace, level 2, 2 producers");
    if (floor > 0) {
        std::printf("CDebug::Trace at level 2 (1 producer): %.2fx the floor's median\n",
                    trace.median / floor);
    }
#if TAPSCOPE_BENCH_WITH_SPDLOG
    const double spdlog = statistics("spdlog async, all levels, 1 producer").median;
    const double spdlogTwo = statistics("spdlog async, all levels, 2 producers").median;
    if (spdlog > 0 && spdlogTwo > 0) {
        std::printf(
            "CDebug::Trace median beside spdlog's: %.2fx (1 producer), %.2fx (2 producers)\n",
            trace.median / spdlog, traceTwo.median / spdlogTwo);
    }
#endif
    std::printf("CDebug::Trace p99.9 with 2 producers: %.2f us\n", traceTwo.p999 / 1000);
#if TAPSCOPE_BENCH_WITH_SPDLOG
    spdOff.reset();
    spdOn.reset();
    spdlog::shutdown();
#else
    std::printf("(spdlog not found: install libspdlog-dev for the comparison rows)\n");
#endif
    return 0;
}

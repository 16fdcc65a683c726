// Per-call latency samples and their percentiles, shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace tapscope::bench {

using Clock = std::chrono::steady_clock;

struct Percentiles {
    double median = 0;
    double p99 = 0;
    double p999 = 0;
};

inline Percentiles Summarise(std::vector<std::int64_t> samples) {
    Percentiles result;
    if (samples.empty()) {
        return result;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const std::size_t index = static_cast<std::size_t>(q * (samples.size() - 1));
        return static_cast<double>(samples[index]);
    };
    result.median = at(0.5);
    result.p99 = at(0.99);
    result.p999 = at(0.999);
    return result;
}

// Nanoseconds of one call of |call|, timed one call at a time.
template <typename Call>
std::vector<std::int64_t> TimeCalls(int count, Call&& call) {
    std::vector<std::int64_t> samples;
    samples.reserve(count);
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        call(i);
        const auto end = Clock::now();
        samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
    return samples;
}

// Runs |body| on |threads| threads at once and merges their samples; with
// |timed| false the calls are not timed and the result is all zero.
template <typename Body>
Percentiles RunProducers(int threads, int calls, bool timed, const Body& body) {
    std::vector<std::vector<std::int64_t>> samples(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            if (timed) {
                samples[t] = TimeCalls(calls, body);
            } else {
                for (int i = 0; i < calls; ++i) {
                    body(i);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::vector<std::int64_t> all;
    for (auto& part : samples) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return Summarise(std::move(all));
}

inline void PrintRow(const char* name, const Percentiles& p) {
    std::printf("%-44s %10.0f %10.0f %10.0f\n", name, p.median, p.p99, p.p999);
}

}  // namespace tapscope::bench

// Latency figures of the benchmarks that time one path beside its floor in
// the same run: percentiles of samples in milliseconds, reported as
// counters with the ratio of the path to the floor.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qm::bench {

// steady_clock's time in nanoseconds: CLOCK_MONOTONIC, the clock the
// key recorder stamps its keys with.
inline int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The value at fraction p (0..1) of the sorted samples, nearest rank.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// <name>_p50_ms and <name>_p99_ms of both sample sets, and <ratio>_p50,
// <ratio>_p99: the path's figure over the floor's.
inline void reportBesideFloor(benchmark::State& state, const std::string& name, const std::vector<double>& path,
                              const std::string& floorName, const std::vector<double>& floor,
                              const std::string& ratio = "ratio") {
    for (const double p : {0.5, 0.99}) {
        const std::string suffix = p == 0.5 ? "p50" : "p99";
        const double a = percentile(path, p), b = percentile(floor, p);
        state.counters[name + "_" + suffix + "_ms"] = a;
        state.counters[floorName + "_" + suffix + "_ms"] = b;
        state.counters[ratio + "_" + suffix] = a / std::max(1e-9, b);
    }
}

// One run of a latency benchmark: its figure, or why it has none.
struct Run {
    double value = 0;
    std::string failure;  // empty when the run gave `value`
    static Run of(double value) { return {value, {}}; }
    static Run failed(std::string why) { return {0, std::move(why)}; }
};

// The runs of one path: the figures, and the failed runs counted by reason
// (a run that failed is never a figure).
struct Runs {
    std::vector<double> values;
    std::map<std::string, int> failures;

    void add(const Run& run, double scale = 1) {
        if (run.failure.empty())
            values.push_back(run.value * scale);
        else
            ++failures[run.failure];
    }
};

// <name>_failed_runs of each path, and every reason with its count in the
// label.
inline void reportFailures(benchmark::State& state,
                           const std::vector<std::pair<std::string, const Runs*>>& paths) {
    std::string label;
    for (const auto& [name, runs] : paths) {
        int failed = 0;
        for (const auto& [why, count] : runs->failures) {
            failed += count;
            label += (label.empty() ? "" : "; ") + name + " failed " + std::to_string(count) + "x: " + why;
        }
        state.counters[name + "_failed_runs"] = failed;
    }
    if (!label.empty()) state.SetLabel(label);
}

}  // namespace qm::bench

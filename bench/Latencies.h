// Latency figures of the benchmarks that time one path beside its floor in
// the same run: percentiles of samples in milliseconds, reported as
// counters with the ratio of the path to the floor.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
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

}  // namespace qm::bench

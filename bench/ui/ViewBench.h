// What the view benchmarks share: an offscreen QApplication around Google
// Benchmark, a set-up object made after the application and gone before it
// (widgets must not outlive it), and seconds since a time point.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>

#include <chrono>

namespace qm::bench {

using Clock = std::chrono::steady_clock;

inline double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Runs the registered benchmarks with a `Setup` made first; `current`
// points at it while they run.
template <class Setup>
int runWithApplication(int argc, char** argv, Setup*& current) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    {
        Setup setup;
        current = &setup;
        benchmark::RunSpecifiedBenchmarks();
        current = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}

}  // namespace qm::bench

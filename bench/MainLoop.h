// The main thread's loop for benchmarks of the models: Qt's events and a
// main queue moved by hand.
#pragma once

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/MainQueue.h"

namespace qm::bench {

// Runs the loop until `cond` holds or `limit` has passed; whether it held.
inline bool pumpUntil(ManualMainQueue& queue, const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        queue.runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// The benchmarks' main: a Qt Core application around them.
inline int runWithCoreApplication(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qm::bench

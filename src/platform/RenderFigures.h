// The render figures every output stream keeps (see AudioOutput): the
// longest callback in wall-clock and thread CPU time, the CPU time of all
// callbacks, their count and a histogram of their CPU times. Written by the
// stream's real-time thread only, read from any thread. For the platform
// layer's own files.
#pragma once

#include "platform/AudioOutput.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include <time.h>

namespace qm {

// The calling thread's CPU time in nanoseconds.
inline int64_t threadCPUNanos() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The monotonic clock in nanoseconds.
inline int64_t monotonicNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

class RenderFigures {
public:
    // Around each callback: begin() returns the thread's CPU clock.
    int64_t begin() const { return threadCPUNanos(); }
    void end(int64_t cpuStart, int64_t wallNanos) {
        const int64_t cpu = threadCPUNanos() - cpuStart;
        raise(longestCPU_, cpu);
        raise(longestWall_, wallNanos);
        totalCPU_.store(totalCPU_.load(std::memory_order_relaxed) + cpu, std::memory_order_relaxed);
        // Released: whoever reads the count sees everything the callbacks
        // it counts did (the engine hands what a closing stream rendered
        // with to the next stream that way).
        callbacks_.fetch_add(1, std::memory_order_release);
        const int64_t bucket = cpu < 0 ? 0 : std::min<int64_t>(cpu / bucketNanos, buckets - 1);
        histogram_[bucket].store(histogram_[bucket].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    double longestWall() const { return static_cast<double>(longestWall_.load()) * 1e-9; }
    double longestCPU() const { return static_cast<double>(longestCPU_.load()) * 1e-9; }
    double totalCPU() const { return static_cast<double>(totalCPU_.load()) * 1e-9; }
    int64_t callbacks() const { return callbacks_.load(std::memory_order_acquire); }
    // The CPU time all but `fraction` of the callbacks stayed under, in
    // seconds: the upper edge of a 10 us bucket (20 ms for the last one,
    // which holds everything longer); 0 before the first callback.
    double cpuUnder(double fraction) const {
        int64_t counts[buckets], total = 0;
        for (int i = 0; i < buckets; ++i) total += counts[i] = histogram_[i].load(std::memory_order_relaxed);
        if (total == 0) return 0.0;
        const double wanted = (1.0 - fraction) * static_cast<double>(total);
        int64_t seen = 0;
        for (int i = 0; i < buckets; ++i) {
            seen += counts[i];
            if (static_cast<double>(seen) >= wanted) return static_cast<double>((i + 1) * bucketNanos) * 1e-9;
        }
        return static_cast<double>(buckets * bucketNanos) * 1e-9;
    }

private:
    static constexpr int64_t bucketNanos = 10000;
    static constexpr int buckets = 2000;
    static void raise(std::atomic<int64_t>& max, int64_t v) {
        if (v > max.load(std::memory_order_relaxed)) max.store(v, std::memory_order_relaxed);
    }
    std::atomic<int64_t> longestWall_{0};
    std::atomic<int64_t> longestCPU_{0};
    std::atomic<int64_t> totalCPU_{0};
    std::atomic<int64_t> callbacks_{0};
    std::atomic<int64_t> histogram_[buckets] = {};
};

// An output stream whose figures are kept by its real-time thread in
// `figures_`.
class FiguredOutput : public AudioOutput {
public:
    double longestRender() const override { return figures_.longestWall(); }
    double longestRenderCPU() const override { return figures_.longestCPU(); }
    int64_t callbacks() const override { return figures_.callbacks(); }
    double renderCPU() const override { return figures_.totalCPU(); }
    double renderCPUUnder(double fraction) const override { return figures_.cpuUnder(fraction); }

protected:
    RenderFigures figures_;
};

}  // namespace qm

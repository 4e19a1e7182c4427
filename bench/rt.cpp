// The real-time core against plain code doing the same work: the matrix
// accumulator against plain multiply-add loops, and the ring against memcpy
// of the same bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "rt/mn_mix.h"
#include "rt/mn_ring.h"

namespace {

constexpr int kSize = 16;
constexpr int kFrames = 512;

struct MixData {
    std::vector<float> matrix;
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPtrs;
    std::vector<float*> outPtrs;
    MixData() : matrix(kSize * kSize), in(kSize, std::vector<float>(kFrames)), out(kSize, std::vector<float>(kFrames)) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (auto& g : matrix) g = d(rng) * 0.1f;
        for (auto& ch : in)
            for (auto& x : ch) x = d(rng);
        for (auto& ch : in) inPtrs.push_back(ch.data());
        for (auto& ch : out) outPtrs.push_back(ch.data());
    }
};

void BM_MixAccumulate(benchmark::State& state) {
    MixData d;
    mn_mix_config cfg{};
    cfg.in_channels = kSize;
    cfg.rows = kSize;
    cfg.matrix = d.matrix.data();
    for (auto _ : state) {
        mn_mix_accumulate(&cfg, d.inPtrs.data(), kFrames, d.outPtrs.data(), kSize, nullptr);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * kSize);
}
BENCHMARK(BM_MixAccumulate);

// The same multiply-adds as plain loops: `op` is one sample's step.
template <typename Op>
void plainLoop(benchmark::State& state, Op op) {
    MixData d;
    for (auto _ : state) {
        for (int o = 0; o < kSize; ++o) {
            float* out = d.outPtrs[o];
            for (int i = 0; i < kSize; ++i) {
                const float g = d.matrix[o * kSize + i];
                if (g == 0.0f) continue;
                const float* in = d.inPtrs[i];
                for (int k = 0; k < kFrames; ++k) out[k] = op(g, in[k], out[k]);
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * kSize);
}

// Multiply and add as the compiler builds them.
void BM_MixPlainLoop(benchmark::State& state) {
    plainLoop(state, [](float g, float x, float acc) { return acc + g * x; });
}
BENCHMARK(BM_MixPlainLoop);

// Fused multiply-adds without a target that has FMA.
void BM_MixPlainFmaLoop(benchmark::State& state) {
    plainLoop(state, [](float g, float x, float acc) { return std::fma(g, x, acc); });
}
BENCHMARK(BM_MixPlainFmaLoop);

constexpr int kRingChannels = 2;
constexpr int kRingCapacity = 72000;

void BM_RingWriteRead(benchmark::State& state) {
    const int frames = int(state.range(0));
    mn_ring* ring = mn_ring_create(kRingChannels, kRingCapacity);
    std::vector<std::vector<float>> src(kRingChannels, std::vector<float>(size_t(frames), 0.5f)),
        dst(kRingChannels, std::vector<float>(size_t(frames)));
    std::vector<const float*> s;
    std::vector<float*> t;
    for (auto& c : src) s.push_back(c.data());
    for (auto& c : dst) t.push_back(c.data());
    std::vector<double> stamps(size_t(frames), 1.0);
    double last = 0;
    for (auto _ : state) {
        mn_ring_write(ring, s.data(), stamps.data(), frames);
        mn_ring_read(ring, t.data(), frames, &last);
        benchmark::ClobberMemory();
    }
    mn_ring_destroy(ring);
    state.SetBytesProcessed(state.iterations() * 2 * int64_t(frames) * (kRingChannels * 4 + 8));
}
BENCHMARK(BM_RingWriteRead)->Arg(512)->Arg(4096);

// memcpy of the same bytes: each channel and the stamps in and out of a
// buffer of the ring's size, at the same moving position.
void BM_MemcpySameBytes(benchmark::State& state) {
    const int frames = int(state.range(0));
    std::vector<std::vector<float>> buf(kRingChannels, std::vector<float>(kRingCapacity)),
        src(kRingChannels, std::vector<float>(size_t(frames), 0.5f)),
        dst(kRingChannels, std::vector<float>(size_t(frames)));
    std::vector<double> stampBuf(kRingCapacity), stamps(size_t(frames), 1.0), stampOut(static_cast<size_t>(frames));
    size_t pos = 0;
    for (auto _ : state) {
        if (pos + size_t(frames) > size_t(kRingCapacity)) pos = 0;
        for (int c = 0; c < kRingChannels; ++c) std::memcpy(buf[c].data() + pos, src[c].data(), size_t(frames) * 4);
        std::memcpy(stampBuf.data() + pos, stamps.data(), size_t(frames) * 8);
        for (int c = 0; c < kRingChannels; ++c) std::memcpy(dst[c].data(), buf[c].data() + pos, size_t(frames) * 4);
        std::memcpy(stampOut.data(), stampBuf.data() + pos, size_t(frames) * 8);
        pos += size_t(frames);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 2 * int64_t(frames) * (kRingChannels * 4 + 8));
}
BENCHMARK(BM_MemcpySameBytes)->Arg(512)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();

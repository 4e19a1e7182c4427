// Cost of the monitor's matrix node per 256-frame block, in multiples of
// real time on one core: a 9.1.6 bus on 9.1.6 speakers (16 -> 16, mode
// full) and a stereo bus upmixed to 7.1.4 (2 -> 12). Beside each, the floor:
// the same output channels filled by a plain copy of input channels.
#include "monitor/MatrixUnit.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace qm;

namespace {

constexpr double rate = 48000.0;
constexpr uint32_t frames = 256;

struct Buffers {
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
    Buffers(int inputs, int outputs)
        : in(static_cast<size_t>(inputs), std::vector<float>(frames)),
          out(static_cast<size_t>(outputs), std::vector<float>(frames)) {
        for (size_t c = 0; c < in.size(); ++c) {
            for (uint32_t t = 0; t < frames; ++t) in[c][t] = 0.3f * std::sin(0.01f * static_cast<float>((c + 1) * t));
            inPtr.push_back(in[c].data());
        }
        for (auto& c : out) outPtr.push_back(c.data());
    }
};

void realtimeCounter(benchmark::State& state) {
    // Seconds of audio per second of work: the real-time multiple.
    state.counters["xRealtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * frames / rate,
                                                     benchmark::Counter::kIsRate);
}

MixConfig config(MonitorSource source, LayoutID target, bool upmix, int inputs) {
    MonitorState s;
    s.source = source;
    s.upmix.enabled = upmix;
    OutputProfile p;
    p.layout = target;
    const int outputs = static_cast<int>(layout::speakers(target).size());
    for (int i = 0; i < outputs; ++i) p.outputs.push_back(i);
    return MonitorMatrix::build(s, inputs, p, outputs);
}

void runNode(benchmark::State& state, const MixConfig& cfg, int inputs, int outputs) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(inputs, rate);
    unit.setConfig(cfg);
    Buffers b(inputs, outputs);
    for (auto _ : state) {
        unit.render(frames, b.inPtr.data(), inputs, b.outPtr.data(), outputs);
        benchmark::DoNotOptimize(b.out[0][0]);
    }
    realtimeCounter(state);
}

void runCopy(benchmark::State& state, int inputs, int outputs) {
    Buffers b(inputs, outputs);
    for (auto _ : state) {
        for (int o = 0; o < outputs; ++o)
            std::memcpy(b.outPtr[size_t(o)], b.inPtr[size_t(o % inputs)], sizeof(float) * frames);
        benchmark::ClobberMemory();
    }
    realtimeCounter(state);
}

void BM_Node16To16Full(benchmark::State& state) {
    runNode(state, config(MonitorSource::l916, LayoutID::l916, false, 16), 16, 16);
}
void BM_Copy16To16(benchmark::State& state) { runCopy(state, 16, 16); }

void BM_NodeStereoUpmixed714(benchmark::State& state) {
    runNode(state, config(MonitorSource::stereo, LayoutID::l714, true, 2), 2, 12);
}
void BM_CopyStereoTo12(benchmark::State& state) { runCopy(state, 2, 12); }

}  // namespace

BENCHMARK(BM_Node16To16Full);
BENCHMARK(BM_Copy16To16);
BENCHMARK(BM_NodeStereoUpmixed714);
BENCHMARK(BM_CopyStereoTo12);

BENCHMARK_MAIN();

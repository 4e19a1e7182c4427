// The upmix kernel on one core: stereo to 7.1.4 and to 9.1.6 at 48 kHz, in
// blocks of 512 frames. "x_realtime" is seconds of audio per second of
// processing; its inverse is the share of one core that live playback costs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "spatial/Upmixer.h"
#include "rt/mn_mix.h"

namespace {

using qm::SpeakerID;

void upmix(benchmark::State& state, qm::LayoutID target, qm::UpmixPreset preset) {
    mn_fpu_flush_denormals();
    qm::ManualMainQueue retired;
    const auto T = qm::layout::speakers(target);
    auto up = qm::Upmixer::create(2, static_cast<int>(T.size()), 48000, retired);
    up->apply({{SpeakerID::L, SpeakerID::R}, T, qm::upmixPreset::params(preset)});

    constexpr int kBlock = 512, kSeconds = 1, kFrames = 48000 * kSeconds;
    std::mt19937 rng(7);
    std::normal_distribution<float> d(0.0f, 0.2f);
    std::vector<float> l(kFrames), r(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        const float common = d(rng);
        l[i] = common + 0.5f * d(rng);
        r[i] = common + 0.5f * d(rng);
    }
    std::vector<std::vector<float>> out(T.size(), std::vector<float>(kBlock));
    std::vector<float*> op;
    for (auto& o : out) op.push_back(o.data());

    for (auto _ : state) {
        for (int at = 0; at + kBlock <= kFrames; at += kBlock) {
            const float* ip[] = {l.data() + at, r.data() + at};
            mn_upmix_process(up->raw(), ip, kBlock, op.data());
        }
        benchmark::DoNotOptimize(out[0][0]);
    }
    const double audio = double(kFrames / kBlock * kBlock) / 48000.0;
    state.counters["x_realtime"] = benchmark::Counter(audio * double(state.iterations()), benchmark::Counter::kIsRate);
}

void stereoTo714Music(benchmark::State& s) { upmix(s, qm::LayoutID::l714, qm::UpmixPreset::music); }
void stereoTo714Film(benchmark::State& s) { upmix(s, qm::LayoutID::l714, qm::UpmixPreset::film); }
void stereoTo916Music(benchmark::State& s) { upmix(s, qm::LayoutID::l916, qm::UpmixPreset::music); }
void stereoTo916Film(benchmark::State& s) { upmix(s, qm::LayoutID::l916, qm::UpmixPreset::film); }

}  // namespace

BENCHMARK(stereoTo714Music)->Unit(benchmark::kMillisecond);
BENCHMARK(stereoTo714Film)->Unit(benchmark::kMillisecond);
BENCHMARK(stereoTo916Music)->Unit(benchmark::kMillisecond);
BENCHMARK(stereoTo916Film)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// Cost of the render callback, in multiples of real time on one core:
// a stereo file to a 7.1.4 device, a 9.1.6 bed rendered binaurally through
// 16 virtual sources, and a stereo file upmixed to 9.1.6 and rendered
// binaurally. Only the callback is timed; the ring is refilled between
// callbacks outside the measurement.
#include "playback/PlaybackEngine.h"
#include "playback/RenderContext.h"
#include "spatial/Upmixer.h"
#include "platform/BinauralRenderer.h"
#include "support/PlaybackConfigs.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

using namespace qm;

namespace {

constexpr double rate = 48000.0;

struct Rig {
    RenderContext ctx;
    std::unique_ptr<BinauralRenderer> bin;
    ManualMainQueue plans;
    std::shared_ptr<Upmixer> upmixer;
    std::unique_ptr<RealtimeMix> mix;
    mn_ring* ring;
    int channels;
    std::vector<std::vector<float>> source, device;
    std::vector<const float*> sourcePtr;
    std::vector<float*> devicePtr;
    std::vector<double> stamps;

    Rig(const MixConfig& cfg, int ringChannels, int deviceChannels, uint32_t frames)
        : ring(mn_ring_create(ringChannels, 1 << 16)), channels(ringChannels) {
        if (cfg.toBinaural) {
            bin = std::make_unique<BinauralRenderer>(rate);
            for (size_t i = 0; i < cfg.virtualDirections.size(); ++i) {
                bin->setDirection(static_cast<int>(i), cfg.virtualDirections[i].az,
                                  cfg.virtualDirections[i].el);
            }
            ctx.setBinauralRenderer(bin.get());
        }
        if (cfg.upmix) {
            upmixer = Upmixer::create(static_cast<int>(cfg.upmix->source.size()),
                                      static_cast<int>(cfg.upmix->target.size()), rate, plans);
            upmixer->apply(*cfg.upmix);
        }
        mix = makeRealtimeMix(cfg, upmixer ? upmixer->raw() : nullptr);
        source.assign(static_cast<size_t>(ringChannels), std::vector<float>(frames));
        for (int c = 0; c < ringChannels; ++c) {
            for (uint32_t t = 0; t < frames; ++t) {
                source[c][t] = 0.3f * std::sin(0.01f * static_cast<float>((c + 1) * t));
            }
            sourcePtr.push_back(source[c].data());
        }
        stamps.assign(frames, 0.0);
        device.assign(static_cast<size_t>(deviceChannels), std::vector<float>(frames));
        for (auto& d : device) devicePtr.push_back(d.data());
        mn_slot_store(ctx.ringSlot, ring);
        mn_slot_store(ctx.cfgSlot, &mix->record);
    }
    ~Rig() { mn_ring_destroy(ring); }

    void run(benchmark::State& state, uint32_t frames) {
        for (auto _ : state) {
            mn_ring_write(ring, sourcePtr.data(), stamps.data(), static_cast<int32_t>(frames));
            auto t0 = std::chrono::steady_clock::now();
            ctx.render(frames, devicePtr.data(), static_cast<uint32_t>(devicePtr.size()));
            auto t1 = std::chrono::steady_clock::now();
            state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        }
        // Seconds of audio rendered per second of work: the real-time multiple.
        state.counters["xRealtime"] = benchmark::Counter(
            static_cast<double>(state.iterations()) * frames / rate, benchmark::Counter::kIsRate);
    }
};

void BM_StereoTo714(benchmark::State& state) {
    const uint32_t frames = static_cast<uint32_t>(state.range(0));
    Rig rig(test::stereoOnLayout(LayoutID::l714), 2, 12, frames);
    rig.run(state, frames);
}

void BM_Bed916Binaural(benchmark::State& state) {
    const uint32_t frames = static_cast<uint32_t>(state.range(0));
    Rig rig(test::bedBinaural(LayoutID::l916), 16, 2, frames);
    rig.run(state, frames);
}

void BM_StereoUpmixed916Binaural(benchmark::State& state) {
    const uint32_t frames = static_cast<uint32_t>(state.range(0));
    Rig rig(test::stereoUpmixedBinaural(LayoutID::l916), 2, 2, frames);
    rig.run(state, frames);
}

}  // namespace

BENCHMARK(BM_StereoTo714)->Arg(256)->Arg(1024)->UseManualTime();
BENCHMARK(BM_Bed916Binaural)->Arg(256)->Arg(1024)->UseManualTime();
BENCHMARK(BM_StereoUpmixed916Binaural)->Arg(256)->Arg(1024)->UseManualTime();

BENCHMARK_MAIN();

// The mix builder runs on the main thread on every slider move (rotation,
// listen mode, trims): a whole configuration must stay far below a 16 ms frame.
#include <benchmark/benchmark.h>

#include "spatial/MixBuilder.h"

using namespace qm;

namespace {

OutputProfile room916() {
    OutputProfile p;
    p.kind = OutputProfile::Kind::speakers;
    p.layout = LayoutID::l916;
    for (int64_t i = 0; i < 16; ++i) p.outputs.push_back(i);
    p.trimsDB.assign(16, 0.0);
    return p;
}

void BM_ThirdOrderAmbisonicsTo916WithRotation(benchmark::State& state) {
    const OutputProfile profile = room916();
    const SourceFormat source = SourceFormat::ambisonic(3, AmbiNorm::sn3d);
    double yaw = 0;
    for (auto _ : state) {
        yaw += 1;  // a new angle each time, as while dragging the rotation
        MixConfig c = MixBuilder::config(source, 16, profile, 16, ListenMode::normal, Rotation{yaw, 10, -5},
                                         true, std::nullopt);
        benchmark::DoNotOptimize(c.matrix.data());
    }
    state.counters["matrices/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThirdOrderAmbisonicsTo916WithRotation)->Unit(benchmark::kMicrosecond);

void BM_ThirdOrderAmbisonicsBinauralWithRotation(benchmark::State& state) {
    OutputProfile profile = room916();
    profile.kind = OutputProfile::Kind::headphones;
    const SourceFormat source = SourceFormat::ambisonic(3, AmbiNorm::sn3d);
    double yaw = 0;
    for (auto _ : state) {
        yaw += 1;
        MixConfig c = MixBuilder::config(source, 16, profile, 2, ListenMode::normal, Rotation{yaw, 10, -5},
                                         true, std::nullopt);
        benchmark::DoNotOptimize(c.matrix.data());
    }
    state.counters["matrices/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThirdOrderAmbisonicsBinauralWithRotation)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// The whole music analysis pipeline on a rendered 3-minute 44.1 kHz stereo
// piece: mono, resample, tempo, grid, spectral frames, key, loudness on both
// channels, structure with pins and candidates. The file is read once
// outside the timing; "x_realtime" is seconds of audio analysed per second
// on one core. The steps are also timed alone.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "support/Music.h"
#include "support/Signals.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

namespace {

using namespace qm;

const PlanarAudio& threeMinutePiece() {
    static const PlanarAudio audio = [] {
        test::TempDir dir;
        // 4 + 80 + 3 + 1 bars of 2 s: 176 s.
        const test::SongPlan plan{.tonic = 4, .minor = true, .bpm = 120, .bodyBars = 80};
        test::writeMidi(dir / "piece.mid", test::composeSong(plan));
        if (!test::renderMidi(dir / "piece.mid", dir / "piece.wav", 44100)) return PlanarAudio{};
        return Signal::readPlanar(dir / "piece.wav");
    }();
    return audio;
}

double secondsOf(const PlanarAudio& a) {
    return a.channels.empty() ? 0 : static_cast<double>(a.channels[0].size()) / a.sampleRate;
}

void BM_MusicAnalysisPipeline(benchmark::State& state) {
    const auto& audio = threeMinutePiece();
    if (audio.channels.empty()) {
        state.SkipWithError("fluidsynth or the General MIDI sound font is missing");
        return;
    }
    for (auto _ : state) {
        auto out = AnalysisPipeline::run(audio.channels, audio.sampleRate, std::nullopt, "piece.wav");
        benchmark::DoNotOptimize(out);
    }
    state.counters["x_realtime"] = benchmark::Counter(secondsOf(audio) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MusicAnalysisPipeline)->Unit(benchmark::kMillisecond);

void BM_Loudness(benchmark::State& state) {
    const auto& audio = threeMinutePiece();
    for (auto _ : state) benchmark::DoNotOptimize(Loudness::measure(audio.channels, audio.sampleRate, std::nullopt));
    state.counters["x_realtime"] = benchmark::Counter(secondsOf(audio) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Loudness)->Unit(benchmark::kMillisecond);

void BM_SpectralFramesAndKey(benchmark::State& state) {
    const auto& audio = threeMinutePiece();
    const auto mono = Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050);
    for (auto _ : state) benchmark::DoNotOptimize(KeyAnalyzer::analyze(SpectralFrames(mono), 120, 0.5));
    state.counters["x_realtime"] = benchmark::Counter(secondsOf(audio) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpectralFramesAndKey)->Unit(benchmark::kMillisecond);

void BM_Structure(benchmark::State& state) {
    const auto& audio = threeMinutePiece();
    auto out = AnalysisPipeline::run(audio.channels, audio.sampleRate, std::nullopt, "piece.wav");
    if (!out.analysis) {
        state.SkipWithError("no analysis");
        return;
    }
    const auto& a = *out.analysis;
    const SpectralFrames frames(a.mono22k);
    for (auto _ : state) benchmark::DoNotOptimize(Structure::analyze(a.mono22k, 22050, a.grid, frames, "piece.wav"));
    state.counters["x_realtime"] = benchmark::Counter(secondsOf(audio) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Structure)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

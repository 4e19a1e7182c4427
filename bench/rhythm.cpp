// The whole rhythm analysis of a 3-minute 44.1 kHz stereo file: read, fold
// to mono, resample to 22 050 Hz, tempo, beats, meter and grid. The
// "x_realtime" counter is seconds of audio analysed per second.
#include "analysis/MusicGrid.h"
#include "analysis/Signal.h"
#include "analysis/TempoAnalyzer.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

namespace {

using namespace qm;

constexpr double seconds = 180;

const std::filesystem::path& threeMinuteFile() {
    static test::TempDir dir;
    static const std::filesystem::path file = [] {
        test::RhythmSpec rhythm;
        rhythm.bpm = 124;
        rhythm.seconds = seconds;
        rhythm.sampleRate = 44100;
        rhythm.swing = 0.2;
        auto piece = test::drumPattern(rhythm);
        test::Planar stereo{piece.samples, piece.samples};
        for (size_t i = 0; i < stereo[1].size(); ++i) stereo[1][i] *= 0.8f;
        const auto path = dir / "three-minutes-44100-2.wav";
        test::writeAudioFile(path, stereo, 44100, {.bits = 24});
        return path;
    }();
    return file;
}

void BM_RhythmAnalysisOfThreeMinutes(benchmark::State& state) {
    const auto& file = threeMinuteFile();
    for (auto _ : state) {
        const auto audio = Signal::readPlanar(file);
        const auto mono = Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050);
        const auto tempo = TempoAnalyzer::analyze(mono);
        if (!tempo) {
            state.SkipWithError("no tempo found");
            break;
        }
        auto grid = GridBuilder::build(*tempo, mono, tempo->durationSec);
        benchmark::DoNotOptimize(grid);
    }
    state.counters["x_realtime"] = benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RhythmAnalysisOfThreeMinutes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TempoAnalysisOnly(benchmark::State& state) {
    test::RhythmSpec rhythm;
    rhythm.bpm = 124;
    rhythm.seconds = seconds;
    const auto piece = test::drumPattern(rhythm);
    for (auto _ : state) benchmark::DoNotOptimize(TempoAnalyzer::analyze(piece.samples));
    state.counters["x_realtime"] = benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TempoAnalysisOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

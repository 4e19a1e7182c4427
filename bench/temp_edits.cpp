// Planning and rendering every standard temp-edit length (15, 30, 60 and
// 120 s and the 180 s extended version, with the intro, loop, ending and
// sting pieces) of the rendered 3-minute stereo 44.1 kHz piece that the
// music analysis benchmark uses, next to the analysis of that same piece,
// so the edits can be stated as a share of the analysis time. The file is
// read and analysed once outside the timing.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "edit/TempEditPlanner.h"
#include "edit/TempEditRenderer.h"
#include "support/Music.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

namespace {

using namespace qm;

struct Fixture {
    PlanarAudio audio;
    std::optional<MusicAnalysis> analysis;
    int64_t frames = 0;
};

const Fixture& threeMinutePiece() {
    static const Fixture fixture = [] {
        Fixture f;
        test::TempDir dir;
        // 4 + 80 + 3 + 1 bars of 2 s: 176 s.
        const test::SongPlan plan{.tonic = 4, .minor = true, .bpm = 120, .bodyBars = 80};
        test::writeMidi(dir / "piece.mid", test::composeSong(plan));
        if (!test::renderMidi(dir / "piece.mid", dir / "piece.wav", 44100)) return f;
        f.audio = Signal::readPlanar(dir / "piece.wav");
        f.frames = static_cast<int64_t>(f.audio.channels[0].size());
        f.analysis = AnalysisPipeline::run(f.audio.channels, f.audio.sampleRate, std::nullopt, "piece.wav").analysis;
        return f;
    }();
    return fixture;
}

bool ready(benchmark::State& state, const Fixture& f) {
    if (!f.analysis) state.SkipWithError("fluidsynth or the General MIDI sound font is missing, or no analysis");
    return f.analysis.has_value();
}

std::vector<EditPlan> planAll(const Fixture& f) {
    return TempEditPlanner::plans(f.analysis->grid, f.analysis->structure, f.audio.sampleRate, f.frames,
                                  TempEditOptions{});
}

void BM_AnalysisOfThePiece(benchmark::State& state) {
    const auto& f = threeMinutePiece();
    if (!ready(state, f)) return;
    for (auto _ : state)
        benchmark::DoNotOptimize(AnalysisPipeline::run(f.audio.channels, f.audio.sampleRate, std::nullopt, "piece.wav"));
}
BENCHMARK(BM_AnalysisOfThePiece)->Unit(benchmark::kMillisecond);

void BM_PlanAllLengths(benchmark::State& state) {
    const auto& f = threeMinutePiece();
    if (!ready(state, f)) return;
    size_t plans = 0;
    for (auto _ : state) {
        auto p = planAll(f);
        plans = p.size();
        benchmark::DoNotOptimize(p);
    }
    state.counters["plans"] = static_cast<double>(plans);
}
BENCHMARK(BM_PlanAllLengths)->Unit(benchmark::kMillisecond);

void BM_RenderAllPlans(benchmark::State& state) {
    const auto& f = threeMinutePiece();
    if (!ready(state, f)) return;
    const auto plans = planAll(f);
    double seconds = 0;
    for (auto _ : state) {
        seconds = 0;
        for (const auto& p : plans) {
            auto out = TempEditRenderer::render(p, f.audio.channels, f.audio.sampleRate, TempEditOptions{});
            seconds += static_cast<double>(out[0].size()) / f.audio.sampleRate;
            benchmark::DoNotOptimize(out);
        }
    }
    state.counters["rendered_s"] = seconds;
}
BENCHMARK(BM_RenderAllPlans)->Unit(benchmark::kMillisecond);

void BM_PlanAndRenderAllLengths(benchmark::State& state) {
    const auto& f = threeMinutePiece();
    if (!ready(state, f)) return;
    for (auto _ : state) {
        for (const auto& p : planAll(f))
            benchmark::DoNotOptimize(TempEditRenderer::render(p, f.audio.channels, f.audio.sampleRate, TempEditOptions{}));
    }
}
BENCHMARK(BM_PlanAndRenderAllLengths)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

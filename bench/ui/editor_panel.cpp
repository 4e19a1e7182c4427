// From one change of the temp-edit options (a target length toggled on the
// panel) to the rebuilt plan cards on screen, for a 3-minute piece with its
// analysis, beside the planner alone on the same grid, structure and
// options (the floor). Each iteration toggles the 30 s target (on, then
// off) through the panel's button and paints; the floor computes the plans
// for the same options. Counters give both times and their ratio.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QToolButton>


#include "ViewBench.h"
#include "app/core/FileReveal.h"
#include "edit/TempEditPlanner.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorWindow.h"

using namespace qm;
using qm::bench::Clock;
using qm::bench::since;

namespace {

// Reveals go nowhere here.
class NoReveal : public FileReveal {
public:
    void reveal(const std::vector<std::filesystem::path>&) override {}
};

struct Setup {
    test::EditorFixture e;
    EditorModel& model = e.model;
    NoReveal reveal;
    EditorWindow window{e.model, e.settings, reveal};

    Setup() {
        const auto file = e.dir / "Piece.wav";
        const auto piece = test::drumPattern({.seconds = 180, .sampleRate = 48000});
        test::writeAudioFile(file, test::Planar(2, piece.samples), 48000);
        window.resize(1280, 800);
        window.show();
        e.open(file);
    }
};

Setup* setup = nullptr;

void BM_TargetToggleToCards(benchmark::State& state) {
    Setup& s = *setup;
    auto* toggle = s.window.findChild<QToolButton*>("target30");
    if (!s.model.analysis() || !s.model.pins() || !toggle) {
        state.SkipWithError("the piece has no analysis");
        return;
    }
    double panel = 0, floor = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        toggle->click();
        QApplication::processEvents();
        const double p = since(t0);
        panel += p;
        state.SetIterationTime(p);

        t0 = Clock::now();
        StructureResult structure = s.model.analysis()->structure;
        structure.pins = *s.model.pins();
        auto plans = TempEditPlanner::plans(s.model.analysis()->grid, structure, s.model.doc()->sampleRate,
                                            s.model.doc()->frames(), s.model.options());
        benchmark::DoNotOptimize(plans.data());
        floor += since(t0);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["cards_ms"] = panel / n * 1e3;
    state.counters["planner_ms"] = floor / n * 1e3;
    state.counters["ratio"] = panel / floor;
    state.counters["plans"] = static_cast<double>(s.model.plans().size());
}

BENCHMARK(BM_TargetToggleToCards)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, setup); }

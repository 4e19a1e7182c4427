// From one change of the temp-edit options (a target length toggled on the
// panel) to the rebuilt plan cards on screen, for a 3-minute piece with its
// analysis, beside the planner alone on the same grid, structure and
// options (the floor). Each iteration toggles the 30 s target (on, then
// off) through the panel's button and paints; the floor computes the plans
// for the same options. Counters give both times and their ratio.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QToolButton>

#include <chrono>
#include <thread>

#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "edit/TempEditPlanner.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"
#include "ui/editor/EditorWindow.h"

using namespace qm;
using Clock = std::chrono::steady_clock;

namespace {

// Reveals go nowhere here.
class NoReveal : public FileReveal {
public:
    void reveal(const std::vector<std::filesystem::path>&) override {}
};

struct Setup {
    test::TempDir dir;
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    EditorModel model{engine, settings};
    NoReveal reveal;
    EditorWindow window{model, settings, reveal};

    Setup() {
        const auto file = dir / "Piece.wav";
        const auto piece = test::drumPattern({.seconds = 180, .sampleRate = 48000});
        test::writeAudioFile(file, test::Planar(2, piece.samples), 48000);
        window.resize(1280, 800);
        window.show();
        model.open(file);
        while (model.busy() || model.analyzing() || !model.doc()) {
            QApplication::processEvents();
            queue.runDue();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

Setup* setup = nullptr;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

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

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Setup s;  // gone before the application object
    setup = &s;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

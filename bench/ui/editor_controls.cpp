// Main-thread cost of the editor's rows around the waveform, for a 3-minute
// 48 kHz 16-channel document with its analysis, in a 1600 x 700 window
// (header, toolbar, lane column, waveform, transport), beside the
// waveform's redraw alone (the floor).
//
// "tick": one playhead update while playing (the bridge's update, the
// playhead strip and the POS text), painted. "full": every row re-read
// after an edit (the signals an edit sends) with the waveform re-rendered,
// painted. "floor": the waveform re-rendered and painted, nothing else.
// Each iteration times the three side by side; counters give the times and
// the ratios to the floor.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QVBoxLayout>


#include "ViewBench.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorHeader.h"
#include "ui/editor/EditorToolbar.h"
#include "ui/editor/EditorTransport.h"
#include "ui/editor/EditorWaveBridge.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/editor/LaneControls.h"

using namespace qm;
using qm::bench::Clock;
using qm::bench::since;

namespace {

struct Setup {
    test::EditorFixture e;
    EditorModel& model = e.model;
    SettingsStore& settings = e.settings;
    QWidget host;
    EditorWaveView* wave = nullptr;

    Setup() {
        const auto file = e.dir / "Sixteen.wav";
        {
            const auto piece = test::drumPattern({.seconds = 180, .sampleRate = 48000});
            test::writeAudioFile(file, test::Planar(16, piece.samples), 48000, {.kind = test::FileKind::wavex, .bits = 16});
        }
        settings.update([](AppSettings& s) { s.expertMode = true; });
        auto* column = new QVBoxLayout(&host);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        column->addWidget(new EditorHeader(model, settings, &host));
        column->addWidget(new EditorToolbar(model, settings, &host));
        auto* middle = new QHBoxLayout;
        middle->addWidget(new LaneControls(model, settings, &host));
        wave = new EditorWaveView(&host);
        new EditorWaveBridge(model, *wave);
        middle->addWidget(wave, 1);
        column->addLayout(middle, 1);
        column->addWidget(new EditorTransport(model, &host));
        host.resize(1600, 700);
        host.show();
        e.open(file);
        model.setLoopPlayback(true);
        model.play(0);
        e.waitFor([&] { return model.isPlaying(); });
    }
};

Setup* setup = nullptr;

void BM_EditorRows(benchmark::State& state) {
    Setup& s = *setup;
    auto& m = s.model;
    double tick = 0, full = 0, floor = 0;
    double frame = 0;
    for (auto _ : state) {
        frame += 1600;
        auto t0 = Clock::now();
        m.playhead()->setFrame(frame);
        QApplication::processEvents();
        tick += since(t0);

        t0 = Clock::now();
        s.wave->redraw();
        QApplication::processEvents();
        floor += since(t0);

        t0 = Clock::now();
        emit m.docChanged();
        emit m.revisionChanged();
        emit m.selectionChanged();
        emit m.cursorChanged();
        emit m.analysisChanged();
        s.wave->redraw();
        QApplication::processEvents();
        full += since(t0);
        state.SetIterationTime(since(t0));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["tick_ms"] = tick / n * 1e3;
    state.counters["full_ms"] = full / n * 1e3;
    state.counters["floor_ms"] = floor / n * 1e3;
    state.counters["tick_ratio"] = tick / floor;
    state.counters["full_ratio"] = full / floor;
}

BENCHMARK(BM_EditorRows)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, setup); }

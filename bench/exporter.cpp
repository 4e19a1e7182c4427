// Pulls render offline on the caller's thread (the player's drag-out waits
// for them): a 3-minute stereo file exported as a 7.1.4 upmix and as a
// binaural rendering. The "x_realtime" counter is seconds of audio rendered
// per second of wall time.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "audio/AudioFileInfo.h"
#include "playback/Exporter.h"
#include "support/AudioFiles.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

constexpr double kRate = 48000;
constexpr double kSeconds = 180;

// A chord over noise, slightly different on each side, written once per run.
const AudioFileInfo& source() {
    static test::TempDir dir;
    static const AudioFileInfo info = [] {
        const auto n = size_t(kRate * kSeconds);
        test::Planar x{test::noise(0.05, n, 1), test::noise(0.05, n, 2)};
        for (double hz : {220.0, 277.2, 329.6}) {
            const auto l = test::sine(hz, 0.15, kRate, n), r = test::sine(hz * 1.002, 0.15, kRate, n, 0.5);
            for (size_t i = 0; i < n; ++i) {
                x[0][i] += l[i];
                x[1][i] += r[i];
            }
        }
        const auto path = dir / "Theme.wav";
        test::writeAudioFile(path, x, kRate);
        return AudioFileInfo::load(path);
    }();
    return info;
}

void exportAs(benchmark::State& state, DragExport mode) {
    test::TempDir pulls;
    Exporter::Request r;
    r.info = source();
    r.source = SourceFormat::speakers({SpeakerID::L, SpeakerID::R});
    r.mode = mode;
    r.folder = pulls.path();
    r.upmixName = "Music";
    for (auto _ : state) {
        const auto out = Exporter::exportPull(r);
        state.PauseTiming();
        std::filesystem::remove(out);
        state.ResumeTiming();
    }
    state.counters["x_realtime"] = benchmark::Counter(kSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ThreeMinuteStereoAs714Upmix(benchmark::State& state) { exportAs(state, DragExport::upmix(LayoutID::l714)); }
void BM_ThreeMinuteStereoAsBinaural(benchmark::State& state) { exportAs(state, DragExport::binaural()); }

}  // namespace

BENCHMARK(BM_ThreeMinuteStereoAs714Upmix)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ThreeMinuteStereoAsBinaural)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();

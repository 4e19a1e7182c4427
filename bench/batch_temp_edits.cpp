// Temp edits for eight three-minute stereo files at once: the batch (its
// folders prepared, every file read, analysed, planned, rendered and
// written, with its progress texts) next to the floor, the same pieces
// called by hand per file (read, AnalysisPipeline::run, the planner,
// TempEditExporter::write). Each iteration writes into fresh folders. The
// counter peak_rss_mb is the process's peak resident set after the run:
// one file's planar floats at a time, not eight.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/editor/EditorModel.h"
#include "app/shell/BatchTempEdits.h"
#include "audio/AudioFileInfo.h"
#include "edit/TempEditExporter.h"
#include "edit/TempEditPlanner.h"
#include "support/Music.h"
#include "support/TempDir.h"

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

using namespace qm;
namespace fs = std::filesystem;

constexpr int kFiles = 8;

struct Corpus {
    test::TempDir dir;
    std::vector<fs::path> files;
};

const Corpus& corpus() {
    static const Corpus* c = [] {
        auto* made = new Corpus;
        // 4 + 80 + 3 + 1 bars of 2 s: 176 s.
        const test::SongPlan plan{.tonic = 4, .minor = true, .bpm = 120, .bodyBars = 80};
        test::writeMidi(made->dir / "piece.mid", test::composeSong(plan));
        if (!test::renderMidi(made->dir / "piece.mid", made->dir / "piece.wav", 44100)) return made;
        fs::create_directories(made->dir / "music");
        for (int i = 0; i < kFiles; ++i) {
            const fs::path file = made->dir / "music" / ("Piece " + std::to_string(i + 1) + ".wav");
            fs::copy_file(made->dir / "piece.wav", file);
            made->files.push_back(file);
        }
        return made;
    }();
    return *c;
}

double peakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A fresh pulls folder per iteration, edits not beside the sources.
struct Settings {
    test::TempDir dir;
    SettingsStore store{std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()))};
    explicit Settings(int iteration) {
        store.update([&](AppSettings& s) {
            s.tempEditsBesideSource = false;
            s.pullsFolder = (dir / ("Pulls " + std::to_string(iteration))).string();
        });
    }
};

void BM_Batch(benchmark::State& state) {
    const auto& c = corpus();
    if (c.files.size() != kFiles) return state.SkipWithError("fluidsynth or the General MIDI sound font is missing");
    int iteration = 0;
    size_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Settings settings(iteration++);
        state.ResumeTiming();
        const auto sources = BatchTempEdits::prepare(c.files, settings.store);
        size_t texts = 0;
        const auto outcome = BatchTempEdits::run(sources, uint64_t(1) << 34, [&](const std::string& t) { texts += t.size(); });
        written = outcome.written.size();
        benchmark::DoNotOptimize(texts);
    }
    state.counters["written"] = static_cast<double>(written);
    state.counters["peak_rss_mb"] = peakRssMb();
}

void BM_Floor(benchmark::State& state) {
    const auto& c = corpus();
    if (c.files.size() != kFiles) return state.SkipWithError("fluidsynth or the General MIDI sound font is missing");
    int iteration = 0;
    size_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Settings settings(iteration++);
        state.ResumeTiming();
        written = 0;
        for (const auto& file : c.files) {
            const auto info = AudioFileInfo::load(file);
            const PlanarAudio audio = Signal::readPlanar(file);
            const auto outcome = AnalysisPipeline::run(audio.channels, audio.sampleRate, info.detected,
                                                       file.filename().string());
            if (!outcome.analysis) continue;
            TempEditExporter::Job job;
            job.base = file.stem().string();
            job.options = TempEditOptions{};
            job.plans = TempEditPlanner::plans(outcome.analysis->grid, outcome.analysis->structure, audio.sampleRate,
                                               static_cast<int64_t>(audio.channels[0].size()), job.options);
            job.sampleRate = audio.sampleRate;
            job.header = EditorModel::notesHeader(job.base, file, *outcome.analysis, outcome.analysis->structure.pins);
            job.mask = TempEditExporter::mask(static_cast<int>(audio.channels.size()));
            job.folder = fs::path(settings.store.value().pullsFolder) / "Edits" / (job.base + " Edits");
            TempEditExporter::write(job, audio.channels);
            ++written;
        }
    }
    state.counters["written"] = static_cast<double>(written);
    state.counters["peak_rss_mb"] = peakRssMb();
}

// Side by side in the order floor, batch, batch, floor, so that a drift of
// the machine's load and the place in the run fall on both alike.
BENCHMARK(BM_Floor)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_Batch)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_Batch)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_Floor)->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();

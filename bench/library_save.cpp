// The library model's metadata save: one field saved to 1,000 WAV files of
// 1 MB under a library root, from `save` to its result published on the
// main thread (the record read, the rewrite, the facts, the catalog row,
// the change-log line, and the lists refreshed at the end), beside the
// floor: MetaIO::write alone of the same field to the same files, in the
// same iteration, one after the other. Counters give both in files per
// second and the ratio of the save's time to the floor's.
//
// Each iteration writes about 2 GB; the figures are rough on a shared disk.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/HomeFolders.h"
#include "app/library/LibraryModel.h"
#include "library/MetaIO.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 1000;
constexpr uint32_t kAudioBytes = 1000000;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A 1 MB WAV file of noise (stereo, 24-bit).
void writeWav(const fs::path& file, std::mt19937_64& rng) {
    std::ofstream out(file, std::ios::binary);
    const std::string head = qm::test::RiffBuilder().fmt(2, 48000, 24).bytes();
    out << "RIFF" << qm::test::le32(uint32_t(head.size() - 8 + 8 + kAudioBytes)) << head.substr(8) << "data"
        << qm::test::le32(kAudioBytes);
    std::vector<uint64_t> block(kAudioBytes / 8);
    for (auto& v : block) v = rng();
    out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(kAudioBytes));
}

struct Setup {
    qm::test::TempDir dir;
    fs::path lib = dir / "Lib";
    std::vector<fs::path> files;
    std::unique_ptr<qm::SettingsStore> settings;
    std::unique_ptr<qm::LibraryModel> model;

    Setup() {
        fs::create_directories(lib);
        for (const char* f : {"Music", "Desktop", "Downloads"}) fs::create_directories(dir / f);
        qm::HomeFolders::setForTests(qm::HomeFolders{dir / "Music", dir / "Desktop", dir / "Downloads"});
        std::mt19937_64 rng(11);
        for (int i = 0; i < kFiles; ++i) {
            files.push_back(lib / fmt::format("take {:04d}.wav", i));
            writeWav(files.back(), rng);
        }
        settings = std::make_unique<qm::SettingsStore>(
            std::make_shared<qm::UserDefaults>(QString::fromStdString((dir / "settings.ini").string())));
        settings->update([&](qm::AppSettings& s) { s.libraryRoots = {lib.string()}; });
        model = std::make_unique<qm::LibraryModel>(*settings, dir / "Catalog.sqlite");
        waitUntilSettled();
    }
    ~Setup() {
        model.reset();
        qm::HomeFolders::setForTests(std::nullopt);
    }
    void waitUntilSettled() {
        while (!model->indexing().empty() || model->pendingWrites() > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
};

void BM_SaveBesideMetaIOWrite(benchmark::State& state) {
    Setup s;
    double saveSeconds = 0, floorSeconds = 0;
    int n = 0;
    for (auto _ : state) {
        ++n;
        const std::string description = fmt::format("Door slam, pass {}", n);
        auto start = Clock::now();
        s.model->save({{"DESCRIPTION", description}}, std::nullopt, s.files);
        s.waitUntilSettled();
        const double save = seconds(Clock::now() - start);
        if (s.model->message() != QString("Saved metadata to 1000 file(s)")) state.SkipWithError("the save failed");

        qm::SoundMeta meta;
        meta.description = description + " (floor)";
        start = Clock::now();
        for (const fs::path& file : s.files) qm::MetaIO::write(meta, file);
        const double floor = seconds(Clock::now() - start);
        saveSeconds += save;
        floorSeconds += floor;
        state.SetIterationTime(save);
    }
    const double files = double(kFiles) * double(state.iterations());
    state.counters["save_files_per_s"] = files / saveSeconds;
    state.counters["floor_files_per_s"] = files / floorSeconds;
    state.counters["time_ratio"] = saveSeconds / floorSeconds;
}
BENCHMARK(BM_SaveBesideMetaIOWrite)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The library model on a generated catalog of 100,000 rows (realistic
// names, UCS categories, libraries and descriptions:
// tests/support/CatalogCorpus.h), its four roots stored as library roots.
//
// Search: the time from setting `query` (or `category`) to `results`
// published, less the 90 ms wait, for a single letter, whole words, two
// words and a facet alone; beside it the floor, the very statement the
// catalog prepares (binds written in as literals) run by the sqlite3 shell
// on the same file, timed by the shell itself (".timer on", rows written
// to /dev/null; its clock has 1 ms steps), and Catalog::search alone, in
// the benchmark's process (what the model adds is its time over this one's,
// the 90 ms wait set apart). refreshFacets() against the
// facet statements in the shell. open() of a folder of 100,000 catalogued
// files against a bare listing (readdir) of the same folder. A metadata
// save to 1,000 files against MetaIO::write alone (below).
//
// Manual times, one per iteration; compare the medians.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
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
#include "library/Catalog.h"
#include "library/LibraryScanner.h"
#include "library/MetaIO.h"
#include "library/SqliteStatement.h"
#include "support/AudioFiles.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"
#include "SqliteShell.h"
#include "MainLoop.h"

namespace fs = std::filesystem;
using qm::Catalog;

namespace {

constexpr int64_t kRows = 100000;
constexpr int kRuns = 15;

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Setup {
    qm::test::TempDir dir;
    fs::path catalogFile = dir / "Catalog.sqlite";
    qm::test::CatalogCorpus corpus{1};
    std::unique_ptr<qm::SettingsStore> settings;
    std::unique_ptr<qm::LibraryModel> model;
    // A folder of 100,000 catalogued files and a model of its own.
    fs::path big = dir / "Big Folder";
    fs::path small = dir / "Small Folder";
    std::unique_ptr<qm::SettingsStore> listingSettings;
    std::unique_ptr<qm::LibraryModel> listingModel;

    struct Search {
        std::string name;
        QString query;
        std::optional<QString> category;
    };
    std::vector<Search> searches;

    Setup() {
        {
            Catalog catalog(catalogFile);
            corpus.fill(catalog, kRows);
        }
        for (const char* f : {"Music", "Desktop", "Downloads"}) fs::create_directories(dir / f);
        qm::HomeFolders::setForTests(qm::HomeFolders{dir / "Music", dir / "Desktop", dir / "Downloads"});
        settings = std::make_unique<qm::SettingsStore>(
            std::make_shared<qm::UserDefaults>(QString::fromStdString((dir / "settings.ini").string())));
        settings->update([&](qm::AppSettings& s) { s.libraryRoots = corpus.roots(); });
        model = std::make_unique<qm::LibraryModel>(*settings, catalogFile);
        waitForScans(*model);

        const std::string common = corpus.word(0);
        const std::string word = corpus.word(40);
        searches = {
            {"single letter", QString::fromStdString(common.substr(0, 1)), std::nullopt},
            {"whole word (common)", QString::fromStdString(common), std::nullopt},
            {"whole word", QString::fromStdString(word), std::nullopt},
            {"two words", QString::fromStdString(word + " " + corpus.word(5)), std::nullopt},
            {"facet only", "", QString("AMBIENCE")},
        };

        // The listing: real files, and their rows under their canonical paths.
        fs::create_directories(big);
        fs::create_directories(small);
        const std::string canonicalBig = qm::LibraryScanner::canonical(big.string());
        qm::test::CatalogCorpus names(2);
        {
            Catalog catalog(dir / "Listing.sqlite");
            std::vector<qm::test::CorpusFile> batch;
            for (int64_t i = 0; i < kRows; ++i) {
                qm::test::CorpusFile f = names.next();
                const std::string name = f.path.substr(f.path.rfind('/') + 1);
                qm::test::writeBytes(big / name, "");
                f.path = canonicalBig + "/" + name;
                f.root = canonicalBig;
                batch.push_back(std::move(f));
                if (batch.size() == 256 || i + 1 == kRows) {
                    catalog.transaction([&] {
                        for (const auto& b : batch) catalog.upsert(b.path, b.root, b.size, b.mtime, b.info, b.meta);
                    });
                    batch.clear();
                }
            }
        }
        listingSettings = std::make_unique<qm::SettingsStore>(
            std::make_shared<qm::UserDefaults>(QString::fromStdString((dir / "listing.ini").string())));
        listingModel = std::make_unique<qm::LibraryModel>(*listingSettings, dir / "Listing.sqlite");
    }

    static void waitForScans(qm::LibraryModel& m) {
        while (!m.indexing().empty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    // Sets the search fields and returns the seconds until `results` is
    // published, less the wait.
    double timeSearch(const Search& s) {
        model->setQuery("");
        model->setCategory(std::nullopt);
        QEventLoop loop;
        QObject::connect(model.get(), &qm::LibraryModel::resultsChanged, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        const auto start = std::chrono::steady_clock::now();
        if (s.category) model->setCategory(s.category);
        if (!s.query.isEmpty()) model->setQuery(s.query);
        loop.exec();
        return seconds(std::chrono::steady_clock::now() - start) - qm::LibraryModel::kSearchDelayMs / 1000.0;
    }

    std::string statement(const Search& s) {
        const Catalog::Filter filter{.query = s.query.toStdString(),
                                     .category = s.category ? std::optional(s.category->toStdString()) : std::nullopt,
                                     .roots = model->roots()};
        auto& catalog = *model->catalog();
        return qm::bench::inlined(catalogFile, Catalog::searchQuery(filter, qm::LibraryModel::kSearchLimit,
                                                         [&](std::string_view w) { return catalog.yieldsToken(w); }));
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

// Args: the search; 0 = the model, 1 = the shell, 2 = Catalog::search
// alone (what the model adds is the first over the third).
void BM_Search(benchmark::State& state) {
    Setup& s = setup();
    const Setup::Search& search = s.searches[static_cast<size_t>(state.range(0))];
    std::vector<double> shell;
    if (state.range(1) == 1) shell = qm::bench::shellTimes(s.catalogFile, {s.statement(search)}, kRuns);
    const Catalog::Filter filter{.query = search.query.toStdString(),
                                 .category = search.category ? std::optional(search.category->toStdString()) : std::nullopt,
                                 .roots = s.model->roots()};
    size_t i = 0;
    for (auto _ : state) {
        if (state.range(1) == 0) {
            state.SetIterationTime(s.timeSearch(search));
        } else if (state.range(1) == 1) {
            state.SetIterationTime(i < shell.size() ? shell[i++] : 0);
        } else {
            const auto start = std::chrono::steady_clock::now();
            auto rows = s.model->catalog()->search(filter, qm::LibraryModel::kSearchLimit);
            state.SetIterationTime(seconds(std::chrono::steady_clock::now() - start));
            benchmark::DoNotOptimize(rows);
        }
    }
    static const char* kWhat[] = {"model", "sqlite3 shell", "Catalog::search"};
    state.SetLabel(fmt::format("{}, {}{}", kWhat[state.range(1)], search.name,
                               state.range(1) == 0 ? fmt::format(": {} hits", s.model->results().size()) : ""));
}
BENCHMARK(BM_Search)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 4, 1), {0, 1, 2}})
    ->ArgNames({"search", "shell"})
    ->Iterations(kRuns)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Args: 0 = refreshFacets(), 1 = the facet statements in the shell.
void BM_Facets(benchmark::State& state) {
    Setup& s = setup();
    std::vector<double> shell;
    if (state.range(0) == 1) {
        const auto facets = Catalog::facetStatements(s.model->roots());
        const std::vector<std::string> statements(facets.begin(), facets.end());
        shell = qm::bench::shellTimes(s.catalogFile, statements, kRuns);
    }
    size_t i = 0;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            const auto start = std::chrono::steady_clock::now();
            s.model->refreshFacets();
            state.SetIterationTime(seconds(std::chrono::steady_clock::now() - start));
        } else {
            state.SetIterationTime(i < shell.size() ? shell[i++] : 0);
        }
    }
    state.SetLabel(fmt::format("{}: {} files", state.range(0) ? "sqlite3 shell" : "refreshFacets", s.model->indexedCount()));
}
BENCHMARK(BM_Facets)->Arg(0)->Arg(1)->ArgName("shell")->Iterations(kRuns)->UseManualTime()->Unit(benchmark::kMillisecond);

// Args: 0 = open(), 1 = the bare listing, 2 = the catalog's rows of the
// folder alone (the query open() runs beside its listing).
void BM_Open(benchmark::State& state) {
    Setup& s = setup();
    size_t count = 0;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            s.listingModel->open(s.small);
            const auto start = std::chrono::steady_clock::now();
            s.listingModel->open(s.big);
            state.SetIterationTime(seconds(std::chrono::steady_clock::now() - start));
            count = s.listingModel->entries().size();
        } else if (state.range(0) == 2) {
            const auto start = std::chrono::steady_clock::now();
            auto rows = s.listingModel->catalog()->rowsInFolder(qm::LibraryScanner::canonical(s.big.string()));
            state.SetIterationTime(seconds(std::chrono::steady_clock::now() - start));
            count = rows.size();
        } else {
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::string> names;
            if (DIR* dir = ::opendir(s.big.c_str())) {
                while (const dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);
                ::closedir(dir);
            }
            state.SetIterationTime(seconds(std::chrono::steady_clock::now() - start));
            count = names.size();
        }
    }
    static const char* kWhat[] = {"open", "readdir", "catalog rows of the folder"};
    state.SetLabel(fmt::format("{}: {} entries", kWhat[state.range(0)], count));
}
BENCHMARK(BM_Open)->Arg(0)->Arg(1)->Arg(2)->ArgName("what")->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The metadata save: one field saved to 1,000 WAV files of 1 MB under a
// library root, from `save` to its result published on the main thread
// (the record read, the rewrite, the facts, the catalog row, the change-log
// line, and the lists refreshed at the end), beside the floor: MetaIO::write
// alone of the same field to the same files, in the same iteration, one
// after the other. Counters give both in files per second and the ratio of
// the save's time to the floor's. Each iteration writes about 2 GB; run it
// alone with --benchmark_filter=Save.
constexpr int kSaveFiles = 1000;
constexpr uint32_t kSaveAudioBytes = 1000000;

// A 1 MB WAV file of noise (stereo, 24-bit).
void writeWav(const fs::path& file, std::mt19937_64& rng) {
    std::ofstream out(file, std::ios::binary);
    const std::string head = qm::test::RiffBuilder().fmt(2, 48000, 24).bytes();
    out << "RIFF" << qm::test::le32(uint32_t(head.size() - 8 + 8 + kSaveAudioBytes)) << head.substr(8) << "data"
        << qm::test::le32(kSaveAudioBytes);
    std::vector<uint64_t> block(kSaveAudioBytes / 8);
    for (auto& v : block) v = rng();
    out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(kSaveAudioBytes));
}

struct SaveSetup {
    qm::test::TempDir dir;
    fs::path lib = dir / "Lib";
    std::vector<fs::path> files;
    std::unique_ptr<qm::SettingsStore> settings;
    std::unique_ptr<qm::LibraryModel> model;

    SaveSetup() {
        fs::create_directories(lib);
        for (const char* f : {"Music", "Desktop", "Downloads"}) fs::create_directories(dir / f);
        qm::HomeFolders::setForTests(qm::HomeFolders{dir / "Music", dir / "Desktop", dir / "Downloads"});
        std::mt19937_64 rng(11);
        for (int i = 0; i < kSaveFiles; ++i) {
            files.push_back(lib / fmt::format("take {:04d}.wav", i));
            writeWav(files.back(), rng);
        }
        settings = std::make_unique<qm::SettingsStore>(
            std::make_shared<qm::UserDefaults>(QString::fromStdString((dir / "settings.ini").string())));
        settings->update([&](qm::AppSettings& s) { s.libraryRoots = {lib.string()}; });
        model = std::make_unique<qm::LibraryModel>(*settings, dir / "Catalog.sqlite");
        waitUntilSettled();
    }
    ~SaveSetup() {
        model.reset();
        qm::HomeFolders::setForTests(std::nullopt);
    }
    void waitUntilSettled() {
        while (!model->indexing().empty() || model->pendingWrites() > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
};

void BM_SaveBesideMetaIOWrite(benchmark::State& state) {
    SaveSetup s;
    double saveSeconds = 0, floorSeconds = 0;
    int n = 0;
    for (auto _ : state) {
        ++n;
        const std::string description = fmt::format("Door slam, pass {}", n);
        auto start = std::chrono::steady_clock::now();
        s.model->save({{"DESCRIPTION", description}}, std::nullopt, s.files);
        s.waitUntilSettled();
        const double save = seconds(std::chrono::steady_clock::now() - start);
        if (s.model->message() != QString("Saved metadata to 1000 file(s)")) state.SkipWithError("the save failed");

        qm::SoundMeta meta;
        meta.description = description + " (floor)";
        start = std::chrono::steady_clock::now();
        for (const fs::path& file : s.files) qm::MetaIO::write(meta, file);
        const double floor = seconds(std::chrono::steady_clock::now() - start);
        saveSeconds += save;
        floorSeconds += floor;
        state.SetIterationTime(save);
    }
    const double files = double(kSaveFiles) * double(state.iterations());
    state.counters["save_files_per_s"] = files / saveSeconds;
    state.counters["floor_files_per_s"] = files / floorSeconds;
    state.counters["time_ratio"] = saveSeconds / floorSeconds;
}
BENCHMARK(BM_SaveBesideMetaIOWrite)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }

// The metadata inspector's load() for a select-all of search hits: 2,000
// catalogued files of a generated catalog of 100,000, read on the main
// thread and compared field by field. Beside it the floor: the same 2,000
// catalog lookups alone (canonical path, then the row), which load() makes
// before it compares. Manual times in milliseconds; the machine is shared:
// read the ratio.

#include <benchmark/benchmark.h>

#include <QEventLoop>

#include <memory>
#include <vector>

#include "CataloguedHome.h"
#include "ViewBench.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/HomeFolders.h"
#include "app/library/LibraryModel.h"
#include "library/LibraryScanner.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"
#include "ui/library/InspectorView.h"

using namespace qm;
using qm::bench::Clock;
using qm::bench::since;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kRows = 100000;

struct Setup : bench::CataloguedHome {
    std::unique_ptr<LibraryModel> library;
    std::vector<fs::path> hits;

    Setup() : CataloguedHome(kRows) {
        library = std::make_unique<LibraryModel>(*settings, catalogFile);
        while (!library->indexing().empty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        // The largest category's hits: the search's limit of 2,000.
        library->refreshFacets();
        if (!library->categories().empty()) library->setCategory(library->categories().front().value);
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (library->results().size() < size_t(LibraryModel::kSearchLimit) && Clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        for (const BrowserEntry& e : library->results()) hits.push_back(e.url);
    }
};

Setup* current = nullptr;

void BM_InspectorLoad(benchmark::State& state) {
    Setup& s = *current;
    const bool floor = state.range(0) == 1;
    std::unique_ptr<InspectorView> view;
    if (!floor) view = std::make_unique<InspectorView>(*s.library, *s.settings, s.hits);
    const std::shared_ptr<Catalog>& catalog = s.library->catalog();
    size_t found = 0;
    for (auto _ : state) {
        const auto t = Clock::now();
        if (floor) {
            for (const fs::path& url : s.hits) found += catalog->row(LibraryScanner::canonical(url.string())).has_value();
        } else {
            view->load();
        }
        state.SetIterationTime(since(t));
    }
    benchmark::DoNotOptimize(found);
    state.counters["files"] = double(s.hits.size());
}
BENCHMARK(BM_InspectorLoad)->Arg(0)->Arg(1)->ArgName("floor")->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, current); }

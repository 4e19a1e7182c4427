// The library window's file list on 100,000 rows, offscreen.
//
// Typing: 520 keystrokes sent to the search field 150 ms apart: words of
// the generated catalog (tests/support/CatalogCorpus.h) typed letter by
// letter and erased with Backspace, each key timed from its key event to
// the table model's reset with the new hits. A key whose search publishes
// nothing new (the same hits) is counted apart, and so is the key that
// empties the field (the folder comes back at once, no search). Beside it
// the floor: each distinct query's statement run by the sqlite3 shell on
// the same catalog file. The model's figure holds its 90 ms wait; the rest
// is set against the shell, and against Catalog::search of the same query
// in this process (what the model itself adds). The keys of one-letter
// queries, and of words found in half the catalog or more, are also
// counted apart. QM_BENCH_KEYS=N types only N keys and
// QM_BENCH_TRACE prints each key's query and outcome.
//
// Scrolling: a folder of 100,000 files, every other one catalogued (the
// others are empty files, so their background reads fail at once), scrolled
// page by page from top to bottom; each step's synchronous repaint of the
// table is timed. Beside it the same QTableView over a model answering
// constant texts (the floor). And data() per row: every role a paint asks
// for, over all rows, for both models.
//
// Manual times; the figures are in the counters (milliseconds unless named
// otherwise). The machine is shared: read the ratios.
#include <benchmark/benchmark.h>

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "../SqliteShell.h"
#include "CataloguedHome.h"
#include "ViewBench.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/HomeFolders.h"
#include "app/library/LibraryModel.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppActions.h"
#include "app/core/FileReveal.h"
#include "library/LibraryScanner.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"
#include "ui/library/BrowserTableModel.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"

using namespace qm;
using qm::bench::Clock;
using qm::bench::since;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kRows = 100000;
constexpr int kKeys = 520;
constexpr int kKeyGapMs = 150;
constexpr double kFrame = 1.0 / 60;

struct NoActions : AppActions {
    void openEditor(const fs::path&) override {}
    void makeTempEdits(const std::vector<fs::path>&) override {}
    void addLibraryFolder() override {}
    void requestAccessibility() override {}
    void openAutomationSettings() override {}
    bool axTrusted() const override { return true; }
    bool automationDenied() const override { return false; }
};
struct NoReveal : FileReveal {
    void reveal(const std::vector<fs::path>&) override {}
};

// The floor of the table: constant texts, no icons.
class ConstantModel : public QAbstractTableModel {
public:
    int rowCount(const QModelIndex& p = {}) const override { return p.isValid() ? 0 : int(kRows); }
    int columnCount(const QModelIndex& p = {}) const override { return p.isValid() ? 0 : 6; }
    QVariant data(const QModelIndex&, int role) const override {
        return role == Qt::DisplayRole ? QVariant(text_) : QVariant();
    }

private:
    QString text_ = QStringLiteral("Constant text");
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// Runs the event loop (sleeping while there is nothing to do) for a time,
// or until `until` holds after an event.
void runFor(double seconds, const std::function<bool()>& until = {}) {
    if (seconds <= 0) return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer check;
    if (until) {
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (until()) loop.quit();
        });
        check.start(0);
    }
    timer.start(std::chrono::milliseconds(std::max<int64_t>(1, int64_t(seconds * 1000))));
    loop.exec();
}

struct Setup : bench::CataloguedHome {
    ManualMainQueue queue;
    std::unique_ptr<PlaybackEngine> engine;
    std::unique_ptr<PlayerModel> player;
    std::unique_ptr<LibraryModel> library;
    FileSelection selection;
    NoActions actions;
    NoReveal reveal;
    std::unique_ptr<BrowserView> view;
    fs::path big = dir / "Big Folder";

    Setup() : CataloguedHome(kRows) {
        engine = std::make_unique<PlaybackEngine>(queue);
        player = std::make_unique<PlayerModel>(*engine, *settings);
        library = std::make_unique<LibraryModel>(*settings, catalogFile);
        while (!library->indexing().empty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        view = std::make_unique<BrowserView>(*library, *player, *settings, selection, actions, reveal);
        view->resize(1200, 800);
        view->show();
        QCoreApplication::processEvents();
    }
    ~Setup() {
        view.reset();
        library.reset();
        player->stopPlayback();
    }

    // The big folder, made on first use: 100,000 empty files, every other
    // one catalogued.
    void makeBigFolder() {
        if (fs::exists(big)) return;
        Catalog catalog(catalogFile);
        fs::create_directories(big);
        const std::string canonicalBig = LibraryScanner::canonical(big.string());
        test::CatalogCorpus names(2);
        std::vector<test::CorpusFile> batch;
        for (int64_t i = 0; i < kRows; ++i) {
            test::CorpusFile f = names.next();
            const std::string name = fmt::format("{:06d} {}", i, f.path.substr(f.path.rfind('/') + 1));
            test::writeBytes(big / name, "");
            if (i % 2) continue;
            f.path = canonicalBig + "/" + name;
            f.root = canonicalBig;
            batch.push_back(std::move(f));
            if (batch.size() == 256) {
                catalog.transaction([&] {
                    for (const auto& b : batch) catalog.upsert(b.path, b.root, b.size, b.mtime, b.info, b.meta);
                });
                batch.clear();
            }
        }
        catalog.transaction([&] {
            for (const auto& b : batch) catalog.upsert(b.path, b.root, b.size, b.mtime, b.info, b.meta);
        });
    }

    // The keystrokes: a word of the catalog typed letter by letter, then
    // erased with Backspace, the next word, and so on (ranks spread over
    // the vocabulary). A key is its code and its text.
    std::vector<std::pair<int, QString>> keystrokes() const {
        std::vector<std::pair<int, QString>> keys;
        size_t rank = 3;
        while (keys.size() < size_t(kKeys)) {
            const QString word =
                QString::fromStdString(corpus.word(rank % std::min<size_t>(corpus.vocabularySize(), 400)));
            rank = rank * 7 + 11;
            for (QChar c : word) keys.emplace_back(int(c.toUpper().unicode()), QString(c));
            for (qsizetype i = 0; i < word.size(); ++i) keys.emplace_back(int(Qt::Key_Backspace), QString());
        }
        keys.resize(kKeys);
        return keys;
    }

    std::string statement(const QString& query) {
        const Catalog::Filter filter{.query = query.toStdString(), .roots = library->roots()};
        auto& catalog = *library->catalog();
        return bench::inlined(catalogFile, Catalog::searchQuery(filter, LibraryModel::kSearchLimit,
                                                                [&](std::string_view w) { return catalog.yieldsToken(w); }));
    }
};

Setup* current = nullptr;

// QM_BENCH_KEYS types fewer keys (for a look at one run).
int keyLimit() {
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("QM_BENCH_KEYS", &ok);
    return ok && n > 0 ? std::min(n, kKeys) : kKeys;
}

void BM_TypingToReset(benchmark::State& state) {
    Setup& s = *current;
    QLineEdit* field = s.view->searchField();
    BrowserTableModel* model = s.view->tableModel();
    std::vector<double> latencies, viewShare;
    std::vector<QString> latencyQueries;  // the query of each latency
    int unchanged = 0, cleared = 0;
    std::vector<QString> queries;
    for (auto _ : state) {
        field->setFocus();
        field->clear();
        runFor(0.5);
        latencies.clear();
        viewShare.clear();
        latencyQueries.clear();
        unchanged = 0;
        cleared = 0;
        queries.clear();
        auto keys = s.keystrokes();
        keys.resize(size_t(keyLimit()));
        const bool trace = qEnvironmentVariableIsSet("QM_BENCH_TRACE");
        Clock::time_point pressed;
        bool reset = false;
        Clock::time_point resetBegan;
        auto connection = QObject::connect(model, &QAbstractItemModel::modelReset, [&] {
            if (!reset) {
                latencies.push_back(since(pressed));
                viewShare.push_back(since(resetBegan));
                latencyQueries.push_back(s.library->query().trimmed());
            }
            reset = true;
        });
        auto began2 = QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, [&] { resetBegan = Clock::now(); });
        const auto began = Clock::now();
        for (size_t k = 0; k < keys.size(); ++k) {
            const auto& [key, text] = keys[k];
            reset = false;
            pressed = Clock::now();
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
            QCoreApplication::sendEvent(field, &press);
            QCoreApplication::sendEvent(field, &release);
            const QString query = s.library->query();
            queries.push_back(query);
            if (query.trimmed().isEmpty()) {
                // The field emptied: the folder comes back at once, no search.
                if (reset) {
                    latencies.pop_back();
                    viewShare.pop_back();
                    latencyQueries.pop_back();
                }
                ++cleared;
                runFor(std::max(0.0, kKeyGapMs / 1000.0 - since(pressed)));
                continue;
            }
            // The next key 150 ms after this one; a reset still on its way
            // then is waited for (up to a second) before it.
            runFor(std::max(0.0, kKeyGapMs / 1000.0 - since(pressed)));
            if (!reset) runFor(1.0 - since(pressed), [&] { return reset; });
            if (!reset) ++unchanged;
            if (trace)
                fmt::print(stderr, "{:3} '{}' reset {} results {}\n", k, query.toStdString(), reset,
                           s.library->results().size());
        }
        QObject::disconnect(connection);
        QObject::disconnect(began2);
        state.SetIterationTime(since(began));
    }
    // The floor: each distinct query's statement in the shell.
    std::vector<std::string> statements;
    std::set<QString> seen;
    for (const QString& q : queries)
        if (!q.trimmed().isEmpty() && seen.insert(q.trimmed()).second) statements.push_back(s.statement(q));
    std::vector<double> shell;
    for (const std::string& st : statements) {
        auto t = bench::shellTimes(s.catalogFile, {st}, 1);
        if (!t.empty()) shell.push_back(t[0]);
    }
    const double wait = LibraryModel::kSearchDelayMs / 1000.0;
    auto ms = [](double sec) { return sec * 1000; };
    state.counters["keys"] = double(queries.size());
    state.counters["resets"] = double(latencies.size());
    state.counters["no_change"] = unchanged;
    state.counters["cleared"] = cleared;
    state.counters["p50_ms"] = ms(percentile(latencies, 0.5));
    state.counters["p95_ms"] = ms(percentile(latencies, 0.95));
    state.counters["max_ms"] = ms(percentile(latencies, 1.0));
    state.counters["reset_p95_ms"] = ms(percentile(viewShare, 0.95));
    state.counters["reset_max_ms"] = ms(percentile(viewShare, 1.0));
    state.counters["shell_p50_ms"] = ms(percentile(shell, 0.5));
    state.counters["shell_p95_ms"] = ms(percentile(shell, 0.95));
    state.counters["shell_max_ms"] = ms(percentile(shell, 1.0));
    const double restP50 = percentile(latencies, 0.5) - wait, restP95 = percentile(latencies, 0.95) - wait;
    state.counters["rest_p50_ms"] = ms(restP50);
    state.counters["rest_p95_ms"] = ms(restP95);
    const double shellP50 = std::max(percentile(shell, 0.5), 0.0005), shellP95 = std::max(percentile(shell, 0.95), 0.0005);
    state.counters["rest_vs_shell_p50"] = restP50 / shellP50;
    state.counters["rest_vs_shell_p95"] = restP95 / shellP95;

    // Each distinct query through Catalog::search alone, in this process
    // (the best of three), and how many rows it matches before the limit.
    std::map<QString, double> alone;
    std::map<QString, int64_t> matched;
    auto& catalog = *s.library->catalog();
    for (const QString& q : latencyQueries) {
        if (alone.contains(q)) continue;
        const Catalog::Filter filter{.query = q.toStdString(), .roots = s.library->roots()};
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const auto start = Clock::now();
            auto rows = catalog.search(filter, LibraryModel::kSearchLimit);
            best = std::min(best, since(start));
            benchmark::DoNotOptimize(rows);
        }
        alone[q] = best;
        matched[q] = int64_t(catalog.search(filter, kRows).size());
    }
    // Keys by kind: a one-letter query, a word in half the catalog or more.
    std::vector<double> oneLetter, common, overhead;
    for (size_t i = 0; i < latencies.size(); ++i) {
        const QString& q = latencyQueries[i];
        if (q.size() == 1)
            oneLetter.push_back(latencies[i]);
        else if (matched[q] >= kRows / 2)
            common.push_back(latencies[i]);
        overhead.push_back((latencies[i] - wait) / std::max(alone[q], 0.0005));
    }
    state.counters["one_letter_keys"] = double(oneLetter.size());
    state.counters["one_letter_p50_ms"] = ms(percentile(oneLetter, 0.5));
    state.counters["one_letter_p95_ms"] = ms(percentile(oneLetter, 0.95));
    state.counters["common_word_keys"] = double(common.size());
    state.counters["common_word_p50_ms"] = ms(percentile(common, 0.5));
    state.counters["common_word_p95_ms"] = ms(percentile(common, 0.95));
    state.counters["rest_vs_search_p50"] = percentile(overhead, 0.5);
    state.counters["rest_vs_search_p95"] = percentile(overhead, 0.95);
    state.SetLabel(fmt::format("{} keys, {} distinct queries in the shell", queries.size(), statements.size()));
}
BENCHMARK(BM_TypingToReset)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Pages from top to bottom; the repaint time of each step.
std::vector<double> scrollPages(QTableView& table) {
    QScrollBar* bar = table.verticalScrollBar();
    bar->setValue(0);
    QCoreApplication::processEvents();
    std::vector<double> steps;
    for (int value = 0;; value += bar->pageStep()) {
        bar->setValue(std::min(value, bar->maximum()));
        const auto start = Clock::now();
        table.viewport()->repaint();
        steps.push_back(since(start));
        QCoreApplication::processEvents();
        if (value >= bar->maximum()) break;
    }
    return steps;
}

// Args: 0 = the file list, 1 = the constant-text table.
void BM_ScrollPages(benchmark::State& state) {
    Setup& s = *current;
    std::unique_ptr<QTableView> floorTable;
    ConstantModel constant;
    QTableView* table = nullptr;
    if (state.range(0) == 0) {
        s.makeBigFolder();
        s.library->setQuery("");
        s.library->open(s.big);
        runFor(0.2);
        table = s.view->table();
    } else {
        floorTable = std::make_unique<QTableView>();
        floorTable->setModel(&constant);
        floorTable->verticalHeader()->hide();
        floorTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        floorTable->verticalHeader()->setDefaultSectionSize(BrowserView::kRowHeight);
        floorTable->setShowGrid(false);
        floorTable->resize(s.view->table()->size());
        floorTable->show();
        QCoreApplication::processEvents();
        table = floorTable.get();
    }
    std::vector<double> steps;
    for (auto _ : state) {
        const auto start = Clock::now();
        steps = scrollPages(*table);
        state.SetIterationTime(since(start));
    }
    state.counters["rows"] = table->model()->rowCount();
    state.counters["steps"] = double(steps.size());
    state.counters["max_ms"] = percentile(steps, 1.0) * 1000;
    state.counters["p99_ms"] = percentile(steps, 0.99) * 1000;
    state.counters["p50_ms"] = percentile(steps, 0.5) * 1000;
    state.counters["max_frames"] = percentile(steps, 1.0) / kFrame;
    state.counters["p99_frames"] = percentile(steps, 0.99) / kFrame;
    state.SetLabel(state.range(0) == 0 ? "file list" : "constant-text table");
}
BENCHMARK(BM_ScrollPages)->Arg(0)->Arg(1)->ArgName("floor")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Every role a paint asks for, over all rows. Args as above.
void BM_DataPerRow(benchmark::State& state) {
    Setup& s = *current;
    ConstantModel constant;
    if (state.range(0) == 0) {
        s.makeBigFolder();
        s.library->setQuery("");
        s.library->open(s.big);
        runFor(0.2);
    }
    QAbstractItemModel* model = state.range(0) == 0 ? static_cast<QAbstractItemModel*>(s.view->tableModel()) : &constant;
    const int roles[] = {Qt::DisplayRole, Qt::DecorationRole, Qt::ForegroundRole, Qt::TextAlignmentRole,
                         Qt::FontRole, Qt::BackgroundRole, Qt::CheckStateRole};
    const int rows = model->rowCount();
    int64_t sink = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < 6; ++c)
                for (int role : roles) sink += model->data(model->index(r, c), role).isValid();
        state.SetIterationTime(since(start) / rows);
    }
    benchmark::DoNotOptimize(sink);
    state.counters["rows"] = rows;
    state.SetLabel(state.range(0) == 0 ? "file list, per row" : "constant-text model, per row");
}
BENCHMARK(BM_DataPerRow)->Arg(0)->Arg(1)->ArgName("floor")->Iterations(3)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, current); }

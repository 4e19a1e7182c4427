// The library catalog under a realistic load: a generated catalog of
// 100,000 files (Zipf vocabulary, UCS-like categories; tests/support/
// CatalogCorpus.h).
//
// Upserts: one iteration is one 256-row transaction (items are rows), fresh
// or replaced rows, into an empty catalog and into the 100,000-row one.
// Beside each, the floor: the same three statements prepared once and
// re-bound. The catalog's runs also report the longest and the median lock
// hold of one transaction.
//
// Searches: 100 runs per query with limit 2000, p50 and p95 in ms, each run
// beside the query's one statement (SQLite's bm25 ranking in the statement)
// prepared, bound and stepped bare, no Catalog::Row built; the ratio pair by
// pair. Facets of one root beside those of all rows, pair by pair.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/SqliteStatement.h"
#include "library/UpsertStatements.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using qm::Catalog;
using qm::test::CatalogCorpus;
using qm::test::CorpusFile;

namespace {

constexpr int64_t kBaseRows = 100000;
constexpr int kBatch = 256;
constexpr int kUpsertBatches = 60;

struct Base {
    qm::test::TempDir dir;
    fs::path file = dir / "base.sqlite";
    CatalogCorpus corpus{1};
    Base() {
        Catalog catalog(file);
        corpus.fill(catalog, kBaseRows);
    }
};

Base& base() {
    static Base b;
    return b;
}

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())) - 1));
    return v[i];
}

// Args: 0 = empty catalog, 1 = 100,000 rows; 0 = fresh rows, 1 = replaced rows.
struct UpsertSetup {
    qm::test::TempDir dir;
    fs::path file;
    std::vector<std::vector<CorpusFile>> batches;

    UpsertSetup(bool large, bool replaced) {
        file = dir / "c.sqlite";
        if (large) fs::copy_file(base().file, file);
        // Replaced rows are rows the catalog holds: the base's first rows, or
        // in the empty catalog rows written before timing starts.
        CatalogCorpus corpus(large && replaced ? 1 : 2);
        for (int b = 0; b < kUpsertBatches; ++b) {
            std::vector<CorpusFile> batch;
            for (int i = 0; i < kBatch; ++i) batch.push_back(corpus.next());
            batches.push_back(std::move(batch));
        }
        if (!large) {
            Catalog catalog(file);
            if (replaced)
                catalog.transaction([&] {
                    for (const auto& batch : batches)
                        for (const auto& f : batch) catalog.upsert(f.path, f.root, f.size, f.mtime, f.info, f.meta);
                });
        }
    }
};

// Args: catalog (0 empty, 1 100,000 rows), rows (0 fresh, 1 replaced),
// 0 = the catalog's upsert, 1 = the floor; the two run one after the other.
void BM_Upsert(benchmark::State& state) {
    UpsertSetup setup(state.range(0) == 1, state.range(1) == 1);
    size_t b = 0;
    if (state.range(2) == 0) {
        Catalog catalog(setup.file);
        std::vector<double> holds;
        for (auto _ : state) {
            const auto& batch = setup.batches[b++ % setup.batches.size()];
            const auto start = std::chrono::steady_clock::now();
            catalog.transaction([&] {
                for (const auto& f : batch) catalog.upsert(f.path, f.root, f.size, f.mtime, f.info, f.meta);
            });
            holds.push_back(ms(std::chrono::steady_clock::now() - start));
        }
        state.counters["max_hold_ms"] = *std::max_element(holds.begin(), holds.end());
        state.counters["median_hold_ms"] = percentile(holds, 0.5);
    } else {
        sqlite3* db = nullptr;
        sqlite3_open_v2(setup.file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr);
        sqlite3_exec(db, Catalog::schema().c_str(), nullptr, nullptr, nullptr);
        {
            qm::UpsertStatements statements(db);
            for (auto _ : state) {
                const auto& batch = setup.batches[b++ % setup.batches.size()];
                sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
                for (const auto& f : batch)
                    statements.run(f.path, f.root, f.size, f.mtime, f.info, f.meta, secondsSince1970());
                sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            }
        }
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Upsert)
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}})
    ->ArgNames({"large", "replaced", "floor"})
    ->Iterations(kUpsertBatches)
    ->Unit(benchmark::kMillisecond);

// "w-w-w-...": 16,384 words within the search field's 32,767 characters.
std::string hyphenChain(const std::string& w) {
    std::string chain = w;
    for (int i = 1; i < 16384; ++i) chain += "-" + w;
    return chain;
}

// Searches on the 100,000-row catalog.
struct Searches {
    std::unique_ptr<Catalog> catalog;
    sqlite3* raw = nullptr;
    std::vector<std::pair<std::string, Catalog::Filter>> queries;

    int64_t documents(const std::string& word) {
        qm::sql::Statement st(raw, "SELECT COUNT(*) FROM fts WHERE fts MATCH ?");
        st.bind(1, "\"" + word + "\"");
        return st.step() == SQLITE_ROW ? st.int64(0) : 0;
    }
    // The vocabulary word whose row count is closest to `target`.
    std::string wordNear(int64_t target) {
        std::string best;
        int64_t bestDistance = INT64_MAX;
        for (double r = 1; r < static_cast<double>(base().corpus.vocabularySize()); r *= 1.15) {
            const std::string& w = base().corpus.word(static_cast<size_t>(r));
            const int64_t d = std::abs(documents(w) - target);
            if (d < bestDistance) bestDistance = d, best = w;
        }
        return best;
    }

    Searches() {
        catalog = std::make_unique<Catalog>(base().file);
        sqlite3_open_v2(base().file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
        const auto& c = base().corpus;
        const std::string common = c.word(0);
        const std::string onePercent = wordNear(kBaseRows / 100);
        const std::string rare = wordNear(10);
        auto q = [](std::string text) { return Catalog::Filter{.query = std::move(text)}; };
        queries = {
            {fmt::format("prefix '{}'", common.substr(0, 1)), q(common.substr(0, 1))},
            {fmt::format("common '{}' ({} rows)", common, documents(common)), q(common)},
            {fmt::format("1% '{}' ({} rows)", onePercent, documents(onePercent)), q(onePercent)},
            {fmt::format("rare '{}' ({} rows)", rare, documents(rare)), q(rare)},
            {fmt::format("two words '{} {}'", onePercent, c.word(5)), q(onePercent + " " + c.word(5))},
            {fmt::format("exclusion '{} -{}'", c.word(1), c.word(2)), q(c.word(1) + " -" + c.word(2))},
            {"category AMBIENCE", Catalog::Filter{.category = "AMBIENCE"}},
            {"empty query", Catalog::Filter{}},
            {"hyphen chain of 16,384 words", q(hyphenChain(common.substr(0, 1)))},
        };
    }
    ~Searches() { sqlite3_close(raw); }
};

Searches& searches() {
    static Searches s;
    return s;
}

// Args: the query. Each iteration runs Catalog::search and then the one
// statement of the query (Catalog::searchQuery, the ranking by SQLite's
// bm25 in the statement) stepped bare, no Catalog::Row built: the floor the
// catalog's own ranking is set against, pair by pair; and, for a ranked
// query, the same statement ranked inside FTS5 (its rank column, ORDER BY
// rank), whose rows and order must be the search's.
void BM_Search(benchmark::State& state) {
    auto& s = searches();
    const auto& [name, filter] = s.queries[static_cast<size_t>(state.range(0))];
    const Catalog::Query query =
        Catalog::searchQuery(filter, 2000, [&](std::string_view w) { return s.catalog->yieldsToken(w); });
    std::vector<double> search, bare, ratio, inside;
    size_t rows = 0, bareRows = 0;
    // The same ranking done inside FTS5: its rank column set to bm25 with
    // the catalog's weights, ORDER BY rank (the rows and order must be the
    // search's).
    std::string ranked;
    std::vector<std::string> insidePaths, searchPaths;
    if (const size_t at = query.sql.find(" ORDER BY bm25(fts, 4.0, 1.0, 2.0)"); at != std::string::npos)
        ranked = query.sql.substr(0, at) + " AND fts.rank MATCH 'bm25(4.0, 1.0, 2.0)' ORDER BY fts.rank" +
                 query.sql.substr(at + std::string_view(" ORDER BY bm25(fts, 4.0, 1.0, 2.0)").size());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto result = s.catalog->search(filter, 2000);
        search.push_back(ms(std::chrono::steady_clock::now() - start));
        rows = result.size();
        benchmark::DoNotOptimize(result);
        start = std::chrono::steady_clock::now();
        {
            qm::sql::Statement st(s.raw, query.sql);
            for (size_t k = 0; k < query.binds.size(); ++k) st.bind(static_cast<int>(k + 1), query.binds[k]);
            bareRows = 0;
            while (st.step() == SQLITE_ROW) ++bareRows;
        }
        bare.push_back(ms(std::chrono::steady_clock::now() - start));
        ratio.push_back(search.back() / std::max(bare.back(), 1e-6));
        if (!ranked.empty()) {
            start = std::chrono::steady_clock::now();
            qm::sql::Statement st(s.raw, ranked);
            for (size_t k = 0; k < query.binds.size(); ++k) st.bind(static_cast<int>(k + 1), query.binds[k]);
            std::vector<std::string> paths;
            while (st.step() == SQLITE_ROW) paths.push_back(st.text(0));
            inside.push_back(ms(std::chrono::steady_clock::now() - start));
            if (insidePaths.empty()) insidePaths = std::move(paths);
            if (searchPaths.empty())
                for (const auto& r : result) searchPaths.push_back(r.path);
        }
    }
    if (rows != bareRows) state.SkipWithError("the search and its statement give different row counts");
    if (insidePaths != searchPaths) state.SkipWithError("the ranking inside FTS5 gives other rows or another order");
    if (!inside.empty()) {
        state.counters["fts5_rank_p50_ms"] = percentile(inside, 0.5);
        state.counters["fts5_rank_p95_ms"] = percentile(inside, 0.95);
    }
    state.SetLabel(fmt::format("{}: {} rows", name, rows));
    state.counters["search_p50_ms"] = percentile(search, 0.5);
    state.counters["search_p95_ms"] = percentile(search, 0.95);
    state.counters["statement_p50_ms"] = percentile(bare, 0.5);
    state.counters["statement_p95_ms"] = percentile(bare, 0.95);
    state.counters["search_vs_statement_p50"] = percentile(ratio, 0.5);
}
BENCHMARK(BM_Search)->DenseRange(0, 7, 1)->ArgName("query")->Iterations(100)->Unit(benchmark::kMillisecond);
// The hyphen chain, bounded to its first words, still joins them all: a few
// runs tell its cost.
BENCHMARK(BM_Search)->Arg(8)->ArgName("query")->Iterations(3)->Unit(benchmark::kMillisecond);

// Facets of one root against those of the whole catalog, pair by pair.
void BM_Facets(benchmark::State& state) {
    auto& s = searches();
    const std::vector<std::string> one = {base().corpus.roots()[0]};
    std::vector<double> root, all, ratio;
    int64_t rootTotal = 0, allTotal = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        rootTotal = s.catalog->facets(one).total;
        root.push_back(ms(std::chrono::steady_clock::now() - start));
        start = std::chrono::steady_clock::now();
        allTotal = s.catalog->facets({}).total;
        all.push_back(ms(std::chrono::steady_clock::now() - start));
        ratio.push_back(root.back() / std::max(all.back(), 1e-6));
    }
    state.SetLabel(fmt::format("one root: {} rows, all: {} rows", rootTotal, allTotal));
    state.counters["one_root_p50_ms"] = percentile(root, 0.5);
    state.counters["one_root_p95_ms"] = percentile(root, 0.95);
    state.counters["all_p50_ms"] = percentile(all, 0.5);
    state.counters["all_p95_ms"] = percentile(all, 0.95);
    state.counters["one_root_vs_all_p50"] = percentile(ratio, 0.5);
}
BENCHMARK(BM_Facets)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "audio/Text.h"
#include "library/Catalog.h"
#include "library/CatalogTestSupport.h"
#include "library/TextRank.h"
#include "support/CatalogCorpus.h"
#include "support/Locale.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::string expr(std::string_view query) { return Catalog::matchExpression(query).value_or("<none>"); }

SoundMeta meta(const std::string& description, const std::string& category = "",
               const std::string& library = "", int64_t rating = 0) {
    SoundMeta m;
    m.description = description;
    m.category = category;
    m.library = library;
    m.rating = rating;
    return m;
}

}  // namespace

TEST(CatalogSearch, MatchExpressions) {
    EXPECT_EQ(expr("rain, -thunder wind-chime"), R"("rain"* AND "wind"* "chime"* NOT "thunder"*)");
    EXPECT_EQ(expr("rain,wind"), R"("rain"* AND "wind"*)");
    EXPECT_EQ(expr("  ,, rain ,,  "), R"("rain"*)");
    EXPECT_EQ(expr("sci-fi"), R"("sci"* "fi"*)");
    EXPECT_EQ(expr(R"(say "hello")"), R"("say"* AND "hello"*)");
    // Only negative tokens, or nothing positive: no expression.
    EXPECT_EQ(expr("-rain"), "<none>");
    EXPECT_EQ(expr("-rain /-wind"), "<none>");
    EXPECT_EQ(expr(""), "<none>");
    EXPECT_EQ(expr("---"), "<none>");
    EXPECT_EQ(expr(R"(""")"), "<none>");
    // "/-" starts a negative token and vanishes wherever it stands.
    EXPECT_EQ(expr("door /-wood"), R"("door"* NOT "wood"*)");
    EXPECT_EQ(expr("a/-b"), R"("ab"*)");
    EXPECT_EQ(expr("x -a -b"), R"("x"* NOT "a"* NOT "b"*)");
    // Tabs stay inside tokens but are trimmed at their ends, as are other
    // horizontal spaces; line breaks are not trimmed.
    EXPECT_EQ(expr("\tdoor\u00A0"), R"("door"*)");
    EXPECT_EQ(expr("a\tb"), "\"a\tb\"*");
    EXPECT_EQ(expr("\ndoor"), "\"\ndoor\"*");
    // A hyphen between quotes leaves only a space: the token gives nothing.
    EXPECT_EQ(expr(R"("-")"), "<none>");
    EXPECT_EQ(expr(R"(rain "-")"), R"("rain"*)");
    // FTS5 reads an expression up to a NUL: a NUL parts two words.
    EXPECT_EQ(expr(std::string("ab\0cd", 5)), R"("ab"* "cd"*)");
    // Broken UTF-8 is repaired.
    EXPECT_EQ(expr("caf\xC3"), "\"caf\uFFFD\"*");
}

// A word the index holds nothing for would make the whole match fail.
TEST(CatalogSearch, WordsWithoutATokenAreLeftOut) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/L/Rock & Roll.wav", "/L");
    put(catalog, "/L/Rock Garden.wav", "/L");
    auto filter = [&](std::string_view w) { return catalog.yieldsToken(w); };
    EXPECT_EQ(Catalog::matchExpression("rock & roll", filter), R"("rock"* AND "roll"*)");
    EXPECT_EQ(Catalog::matchExpression("rock -+", filter), R"("rock"*)");
    EXPECT_EQ(Catalog::matchExpression("&&& +", filter), std::nullopt);
    EXPECT_EQ(Catalog::matchExpression("rock's", filter), R"("rock's"*)");
    EXPECT_EQ(Catalog::matchExpression("\u00E9t\u00E9", filter), "\"\u00E9t\u00E9\"*");
    EXPECT_EQ(paths(catalog.search({.query = "rock & roll"}, 10)),
              (std::vector<std::string>{"/L/Rock & Roll.wav"}));
    EXPECT_EQ(paths(catalog.search({.query = "rock -garden -&"}, 10)),
              (std::vector<std::string>{"/L/Rock & Roll.wav"}));
    // Only such words: no words at all, every row.
    EXPECT_EQ(paths(catalog.search({.query = "&&& +"}, 10)),
              (std::vector<std::string>{"/L/Rock & Roll.wav", "/L/Rock Garden.wav"}));
    // Diacritics are folded on both sides.
    put(catalog, "/L/Caf\u00E9 Ambience.wav", "/L");
    EXPECT_EQ(catalog.search({.query = "cafe"}, 10).size(), 1u);
}

TEST(CatalogSearch, StatementPieces) {
    const std::string select =
        "SELECT f.path, f.root, f.duration, f.sr, f.channels, f.bits, f.codec, f.meta FROM files f";
    auto q = Catalog::searchQuery({}, 2000);
    EXPECT_EQ(q.sql, select + " ORDER BY f.path LIMIT 2000");
    EXPECT_TRUE(q.binds.empty());

    q = Catalog::searchQuery({.query = "-rain", .minRating = 0}, 5);
    EXPECT_EQ(q.sql, select + " ORDER BY f.path LIMIT 5");
    q = Catalog::searchQuery({.minRating = -4}, 5);
    EXPECT_EQ(q.sql, select + " ORDER BY f.path LIMIT 5");
    q = Catalog::searchQuery({.minRating = 3}, 5);
    EXPECT_EQ(q.sql, select + " WHERE f.rating >= 3 ORDER BY f.path LIMIT 5");
    q = Catalog::searchQuery({.category = ""}, 5);
    EXPECT_EQ(q.sql, select + " WHERE f.category = ? ORDER BY f.path LIMIT 5");
    EXPECT_EQ(q.binds, std::vector<std::string>{""});

    q = Catalog::searchQuery({.query = "door",
                              .category = "DOORS",
                              .library = "Lib",
                              .roots = {"/A", "/B's"},
                              .minRating = 2},
                             2000);
    EXPECT_EQ(q.sql, select +
                         " JOIN fts ON fts.rowid = f.id WHERE fts MATCH ? AND f.category = ? AND "
                         "f.library = ? AND f.root IN (?,?) AND f.rating >= 2 "
                         "ORDER BY bm25(fts, 4.0, 1.0, 2.0) LIMIT 2000");
    EXPECT_EQ(q.binds, (std::vector<std::string>{R"("door"*)", "DOORS", "Lib", "/A", "/B's"}));
}

TEST(CatalogSearch, FiltersOnARealCatalog) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/A/c.wav", "/A", meta("rain heavy", "weather", "Storms", 3));
    put(catalog, "/A/a.wav", "/A", meta("rain light", "Weather", "", 5));
    put(catalog, "/B/b.wav", "/B", meta("thunder", "WEATHER", "Storms", 1));
    put(catalog, "/B's/d.wav", "/B's", meta("rain", "", "storms"));

    EXPECT_EQ(paths(catalog.search({}, 100)),
              (std::vector<std::string>{"/A/a.wav", "/A/c.wav", "/B's/d.wav", "/B/b.wav"}));
    EXPECT_EQ(paths(catalog.search({}, 2)), (std::vector<std::string>{"/A/a.wav", "/A/c.wav"}));
    // Only negative words: every row, by path.
    EXPECT_EQ(catalog.search({.query = "-rain"}, 100).size(), 4u);
    EXPECT_EQ(paths(catalog.search({.query = "rain -light"}, 100)).size(), 2u);
    // Categories are stored upper-cased and matched exactly.
    EXPECT_EQ(catalog.search({.category = "WEATHER"}, 100).size(), 3u);
    EXPECT_EQ(catalog.search({.category = "weather"}, 100).size(), 0u);
    EXPECT_EQ(catalog.search({.category = ""}, 100).size(), 0u);
    EXPECT_EQ(paths(catalog.search({.library = "Storms"}, 100)),
              (std::vector<std::string>{"/A/c.wav", "/B/b.wav"}));
    EXPECT_EQ(paths(catalog.search({.roots = {"/B's", "/B"}}, 100)),
              (std::vector<std::string>{"/B's/d.wav", "/B/b.wav"}));
    EXPECT_EQ(paths(catalog.search({.minRating = 3}, 100)),
              (std::vector<std::string>{"/A/a.wav", "/A/c.wav"}));
    EXPECT_EQ(paths(catalog.search({.query = "rain", .roots = {"/A"}, .minRating = 4}, 100)),
              (std::vector<std::string>{"/A/a.wav"}));
    // Prefixes match.
    EXPECT_EQ(catalog.search({.query = "thun"}, 100).size(), 1u);
    auto row = catalog.search({.query = "thunder"}, 1);
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0], *catalog.row("/B/b.wav"));
}

// bm25 is about 0 in a tiny table: filler rows make the weights show.
TEST(CatalogSearch, ANameOutranksFoldersAndBody) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    catalog.transaction([&] {
        for (int i = 0; i < 200; ++i)
            catalog.upsert(fmt::format("/L/Filler/filler_{}.wav", i), "/L", 1, 1, std::nullopt,
                           meta(fmt::format("ambience room tone {}", i)));
        catalog.upsert("/L/Other/Hinge.wav", "/L", 1, 1, std::nullopt, meta("old creak door"));
        catalog.upsert("/L/Creak/Hinge2.wav", "/L", 1, 1, std::nullopt, meta("old door"));
        catalog.upsert("/L/Other/Creak_Door.wav", "/L", 1, 1, std::nullopt, meta("old door"));
    });
    EXPECT_EQ(paths(catalog.search({.query = "creak"}, 10)),
              (std::vector<std::string>{"/L/Other/Creak_Door.wav", "/L/Other/Hinge.wav", "/L/Creak/Hinge2.wav"}));
}

TEST(CatalogSearch, Facets) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/A/1.wav", "/A", meta("", "doors", "Lib1"));
    put(catalog, "/A/2.wav", "/A", meta("", "DOORS", ""));
    put(catalog, "/A/3.wav", "/A", meta("", "", "Lib2"));
    put(catalog, "/B's/4.wav", "/B's", meta("", "rain", "Lib2"));
    put(catalog, "/B's/5.wav", "/B's", meta("", "", "Lib2"));

    auto all = catalog.facets({});
    EXPECT_EQ(all.total, 5);
    EXPECT_EQ(all.categories, (std::vector<std::pair<std::string, int64_t>>{{"DOORS", 2}, {"RAIN", 1}}));
    EXPECT_EQ(all.libraries, (std::vector<std::pair<std::string, int64_t>>{{"Lib2", 3}, {"Lib1", 1}}));
    auto quoted = catalog.facets({"/B's"});
    EXPECT_EQ(quoted.total, 2);
    EXPECT_EQ(quoted.categories, (std::vector<std::pair<std::string, int64_t>>{{"RAIN", 1}}));
    EXPECT_EQ(quoted.libraries, (std::vector<std::pair<std::string, int64_t>>{{"Lib2", 2}}));
    auto none = catalog.facets({"/Nowhere"});
    EXPECT_EQ(none.total, 0);
    EXPECT_TRUE(none.categories.empty());

    catalog.transaction([&] {
        for (int i = 0; i < 250; ++i)
            catalog.upsert(fmt::format("/C/{}.wav", i), "/C", 1, 1, std::nullopt,
                           meta("", fmt::format("CAT{}", i), fmt::format("L{}", i)));
    });
    auto many = catalog.facets({"/C"});
    EXPECT_EQ(many.total, 250);
    EXPECT_EQ(many.categories.size(), 200u);
    EXPECT_EQ(many.libraries.size(), 200u);
}

TEST(CatalogSearch, FormatSummary) {
    auto summary = [](double rate, int bits, int channels, const std::string& codec) {
        Catalog::Row row;
        row.sampleRate = rate;
        row.bits = bits;
        row.channels = channels;
        row.codec = codec;
        return row.formatSummary();
    };
    auto check = [&] {
        EXPECT_EQ(summary(48000, 24, 2, "PCM"), "48 kHz \u00B7 24-bit \u00B7 2 ch");
        EXPECT_EQ(summary(44100, 16, 1, "PCM"), "44.1 kHz \u00B7 16-bit \u00B7 mono");
        EXPECT_EQ(summary(48000, 0, 6, "AAC"), "48 kHz \u00B7 AAC \u00B7 6 ch");
        EXPECT_EQ(summary(22050, 8, 1, "pcm"), "22.1 kHz \u00B7 pcm \u00B7 mono");
        EXPECT_EQ(summary(192000, 32, 0, "PCM"), "192 kHz \u00B7 32-bit \u00B7 0 ch");
    };
    check();
    DecimalCommaLocale comma;
    if (!comma.active()) GTEST_SKIP() << "no decimal-comma locale could be made";
    ASSERT_EQ(fmt::format("{}", 1.5), "1.5");
    check();
}

TEST(CatalogSearch, RowEqualityAndHashCoverEveryField) {
    Catalog::Row a;
    a.path = "/L/a.wav";
    a.root = "/L";
    a.duration = 1;
    a.sampleRate = 48000;
    a.channels = 2;
    a.bits = 24;
    a.codec = "PCM";
    SoundMeta x;
    x.fxName = "x";
    a.setMeta(x);
    std::vector<std::function<void(Catalog::Row&)>> changes = {
        [](Catalog::Row& r) { r.path += "x"; },   [](Catalog::Row& r) { r.root += "x"; },
        [](Catalog::Row& r) { r.duration += 1; }, [](Catalog::Row& r) { r.sampleRate += 1; },
        [](Catalog::Row& r) { r.channels += 1; }, [](Catalog::Row& r) { r.bits += 1; },
        [](Catalog::Row& r) { r.codec += "x"; },  [](Catalog::Row& r) {
            SoundMeta m = r.meta();
            m.rating = 1;
            r.setMeta(m);
        }};
    for (size_t i = 0; i < changes.size(); ++i) {
        Catalog::Row b = a;
        changes[i](b);
        EXPECT_NE(a, b) << i;
        EXPECT_NE(std::hash<Catalog::Row>()(a), std::hash<Catalog::Row>()(b)) << i;
    }
    EXPECT_EQ(std::hash<Catalog::Row>()(a), std::hash<Catalog::Row>()(Catalog::Row(a)));
}

// Random typed queries: every expression is valid UTF-8 and runs on a real
// full-text table without an SQLite error, with and without the tokenizer
// check.
TEST(CatalogSearch, MatchExpressionFuzz) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    Catalog catalog(file);
    put(catalog, "/L/Rock & Roll.wav", "/L", meta("door \"quoted\" sci-fi caf\u00E9"));
    RawDb raw(file);
    const std::vector<std::string> pieces = {
        "\"", "-", "/-", ",", " ", "\t", "\n", "&", "+", "*", "(", ")", ":", "^", "'", "NOT", "AND",
        "OR", "NEAR", "door", "d", "caf\u00E9", "\u00A0", "\u3000", "\xFF", "\xC3", "\xE2\x82",
        std::string(1, '\0'), "\u65E5\u672C", "\U0001F3B5", "{", "}", ".", "_", "\\"};
    std::mt19937 rng(107);
    int expressions = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string query;
        const int n = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < n; ++k) query += pieces[rng() % pieces.size()];
        for (bool filtered : {false, true}) {
            std::optional<std::string> e;
            ASSERT_NO_THROW(e = filtered ? Catalog::matchExpression(
                                               query, [&](std::string_view w) { return catalog.yieldsToken(w); })
                                         : Catalog::matchExpression(query));
            if (!e) continue;
            ++expressions;
            EXPECT_TRUE(text::isValidUtf8(*e)) << *e;
            sql::Statement st(raw.get(), "SELECT rowid FROM fts WHERE fts MATCH ?");
            st.bind(1, *e);
            int rc;
            while ((rc = st.step()) == SQLITE_ROW) {
            }
            EXPECT_EQ(rc, SQLITE_DONE) << "query [" << query << "] expression [" << *e
                                       << "]: " << sqlite3_errmsg(raw.get());
        }
        ASSERT_NO_THROW(catalog.search({.query = query}, 10));
    }
    EXPECT_GT(expressions, 1000);
}

namespace {

// The rows the one statement of a filter gives, run bare by SQLite on a
// second connection: what every search must give.
std::vector<std::string> statementPaths(Catalog& catalog, const RawDb& raw, const Catalog::Filter& filter,
                                        int64_t limit) {
    return statementRows(
        raw, Catalog::searchQuery(filter, limit, [&](std::string_view w) { return catalog.yieldsToken(w); }));
}

// A generated library of 3,000 files, and 40 of identical text (every
// score ties).
struct SearchCorpus {
    TempDir dir;
    fs::path file = dir / "c.sqlite";
    CatalogCorpus corpus{5};
    Catalog catalog{file};
    RawDb raw{file};
    SearchCorpus() {
        corpus.fill(catalog, 3000);
        catalog.transaction([&] {
            for (int i = 0; i < 40; ++i)
                catalog.upsert(fmt::format("/Twins/{:02}/twin.wav", 39 - i), "/Twins", 1, 1, std::nullopt,
                               meta("twin door twin"));
        });
    }
};

}  // namespace

// The catalog ranks a text search its own faster way: for every kind of
// query, filter and limit it gives the statement's rows in its order, ties
// included.
TEST(CatalogSearch, RankedSearchGivesTheStatementsRows) {
    SearchCorpus s;
    const auto& c = s.corpus;
    std::vector<std::string> queries = {"twin", "tw", "t", "twin -door", "zzzzqq", "door twin", "t d"};
    for (size_t rank : {0, 3, 60, 300}) {
        const std::string& w = c.word(rank);
        queries.insert(queries.end(), {w, w.substr(0, 1), w.substr(0, 2), w.substr(0, 3), w + " " + c.word(rank + 7),
                                       c.word(rank + 2) + " -" + w, w + ",-" + c.word(0)});
    }
    const std::string category = s.catalog.facets({}).categories.at(0).first;
    const std::vector<Catalog::Filter> filters = {
        {},
        {.roots = {c.roots()[0]}},
        {.roots = {c.roots()[2], c.roots()[1], "/Twins"}},
        {.category = category},
        {.library = c.roots()[3].substr(c.roots()[3].rfind('/') + 1), .minRating = 2},
        {.category = category, .roots = {c.roots()[0], c.roots()[3]}, .minRating = 4},
    };
    int compared = 0, nonEmpty = 0;
    for (const std::string& q : queries)
        for (Catalog::Filter f : filters)
            for (int64_t limit : {2000, 37, 1, -1}) {
                f.query = q;
                const std::vector<Catalog::Row> rows = s.catalog.search(f, limit);
                ASSERT_EQ(paths(rows), statementPaths(s.catalog, s.raw, f, limit))
                    << "query '" << q << "' limit " << limit << " roots " << f.roots.size();
                ++compared;
                nonEmpty += !rows.empty();
            }
    EXPECT_EQ(compared, static_cast<int>(queries.size() * filters.size() * 4));
    EXPECT_GT(nonEmpty, compared / 3);
    EXPECT_TRUE(s.catalog.search({.query = c.word(0)}, 0).empty());
    // The rows are the lookups' rows, record and all.
    const auto rows = s.catalog.search({.query = c.word(1)}, 50);
    ASSERT_EQ(rows.size(), 50u);
    for (const auto& r : rows) EXPECT_EQ(r, *s.catalog.row(r.path));
    // Equal scores keep the order of row ids, whatever the paths.
    const auto twins = paths(s.catalog.search({.query = "twin", .roots = {"/Twins"}}, 5));
    EXPECT_EQ(twins, (std::vector<std::string>{"/Twins/39/twin.wav", "/Twins/38/twin.wav", "/Twins/37/twin.wav",
                                               "/Twins/36/twin.wav", "/Twins/35/twin.wav"}));
}

// qm_rank is bm25: the same double for every hit, whatever the weights, and
// for rows far apart (the length cursor seeks) or close together (it walks).
TEST(CatalogSearch, TheRankIsBm25ToTheBit) {
    SearchCorpus s;
    ASSERT_TRUE(TextRank::install(s.raw.get(), "fts"));
    int rows = 0;
    for (const std::string weights : {"", ", 4.0, 1.0, 2.0", ", 1.0, 7.5", ", 0.5, 0.5, 0.5, 9"})
        for (const std::string& q : {s.corpus.word(0), s.corpus.word(40), s.corpus.word(900), s.corpus.word(3).substr(0, 1),
                                     s.corpus.word(2) + " " + s.corpus.word(9), std::string("twin")}) {
            sql::Statement st(s.raw.get(), "SELECT rowid, bm25(fts" + weights + "), qm_rank(fts" + weights +
                                               ") FROM fts WHERE fts MATCH ?");
            ASSERT_TRUE(st) << sqlite3_errmsg(s.raw.get());
            st.bind(1, "\"" + q.substr(0, q.find(' ')) + "\"*" + (q.find(' ') == std::string::npos ? "" : " \"" + q.substr(q.find(' ') + 1) + "\"*"));
            int rc;
            while ((rc = st.step()) == SQLITE_ROW) {
                const double a = st.real(1), b = st.real(2);
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "row " << st.int64(0) << " query " << q << weights;
                ++rows;
            }
            ASSERT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(s.raw.get());
        }
    EXPECT_GT(rows, 10000);

    // A row whose length the size table lacks is asked of the table itself,
    // which calls the table damaged, as bm25 does.
    const int64_t id = std::stoll(s.raw.one("SELECT rowid FROM fts WHERE fts MATCH 'twin' LIMIT 1"));
    s.raw.exec(fmt::format("DELETE FROM fts_docsize WHERE id = {}", id));
    for (const char* f : {"bm25", "qm_rank"}) {
        sql::Statement st(s.raw.get(), fmt::format("SELECT {}(fts) FROM fts WHERE fts MATCH 'twin' AND rowid = {}", f, id));
        EXPECT_EQ(st.step(), SQLITE_CORRUPT) << f;
    }
}

TEST(CatalogSearch, QueriesAreBounded) {
    using B = Catalog::QueryBound;
    EXPECT_EQ(Catalog::queryBound("rain, -thunder wind-chime"), (B{.words = 4, .kept = 4}));
    EXPECT_FALSE(Catalog::queryBound("rain").bounded());
    // Words past the 32nd go, the negative ones too.
    std::string words;
    for (int i = 0; i < 40; ++i) words += fmt::format("w{} ", i);
    const B forty = Catalog::queryBound(words + "-w40");
    EXPECT_EQ(forty, (B{.words = 41, .kept = 32}));
    EXPECT_TRUE(forty.bounded());
    const std::string e = expr(words + "-w40");
    EXPECT_NE(e.find("\"w31\"*"), std::string::npos);
    EXPECT_EQ(e.find("\"w32\"*"), std::string::npos);
    EXPECT_EQ(e.find("NOT"), std::string::npos);
    // 256 characters of words: a word that would pass them ends the query.
    const std::string a100(100, 'a'), b100(100, 'b'), c100(100, 'c');
    EXPECT_EQ(Catalog::queryBound(a100 + " " + b100 + " " + c100 + " d"), (B{.words = 4, .kept = 2}));
    EXPECT_EQ(expr(a100 + " " + b100 + " " + c100 + " d"), "\"" + a100 + "\"* AND \"" + b100 + "\"*");
    // Characters, not bytes.
    const std::string snow = "\u2744";
    std::string snows;
    for (int i = 0; i < 256; ++i) snows += snow;
    EXPECT_EQ(Catalog::queryBound(snows + " x"), (B{.words = 2, .kept = 1}));
    // A first word alone past the bound is cut to it.
    const B one = Catalog::queryBound(std::string(1000, 'z') + " y");
    EXPECT_EQ(one, (B{.words = 2, .kept = 1, .shortened = true}));
    EXPECT_EQ(expr(std::string(1000, 'z') + " y"), "\"" + std::string(256, 'z') + "\"*");
}

// A hyphen chain of 16,384 words within the field's 32,767 characters
// (FTS5 took minutes over such a phrase, growing with the square of its
// words) is searched by its first 32 words, at once, and finds what those
// find.
TEST(CatalogSearch, AHyphenChainIsSearchedByItsFirstWords) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/L/e.wav", "/L", meta("e e e"));
    put(catalog, "/L/f.wav", "/L", meta("f"));
    std::string chain = "e";
    for (int i = 1; i < 16384; ++i) chain += "-e";
    ASSERT_EQ(chain.size(), 32767u);
    EXPECT_EQ(Catalog::queryBound(chain), (Catalog::QueryBound{.words = 16384, .kept = 32}));
    std::string first32 = "\"e\"*";
    for (int i = 1; i < 32; ++i) first32 += " \"e\"*";
    EXPECT_EQ(expr(chain), first32);
    EXPECT_EQ(paths(catalog.search({.query = chain}, 2000)), std::vector<std::string>{"/L/e.wav"});
}

// A search stopped while SQLite runs it ends there, gives nothing and
// leaves the catalog to the next caller; nothing asks the stop again.
TEST(CatalogSearch, AStoppedSearchEndsAtOnce) {
    SearchCorpus s;
    for (const Catalog::Filter& filter :
         {Catalog::Filter{.query = s.corpus.word(0)}, Catalog::Filter{.roots = {s.corpus.roots()[1]}}}) {
        std::mutex mutex;
        std::condition_variable cv;
        bool entered = false, go = false;
        std::atomic<int> asked{0}, askedAfterStop{0};
        std::atomic<bool> stop{false};
        std::vector<Catalog::Row> rows = {Catalog::Row()};
        std::thread searching([&] {
            rows = s.catalog.search(filter, 2000, [&] {
                if (stop) ++askedAfterStop;
                if (asked++ == 0) {
                    std::unique_lock lock(mutex);
                    entered = true;
                    cv.notify_all();
                    cv.wait(lock, [&] { return go; });
                }
                return stop.load();
            });
        });
        {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return entered; });
            stop = true;
            go = true;
        }
        cv.notify_all();
        searching.join();
        EXPECT_TRUE(rows.empty());
        EXPECT_EQ(askedAfterStop.load(), 0) << "the stop was asked again after it said stop";
        EXPECT_FALSE(s.catalog.inTransaction());
        EXPECT_EQ(paths(s.catalog.search(filter, 2000)), statementPaths(s.catalog, s.raw, filter, 2000));
    }
}

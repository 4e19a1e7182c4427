// Opening a catalog made by the version before prefix indexes (the
// fixture: 300 generated files under four roots, ten of them with a
// colleague's pulled edits, kept apart as that version kept them, five
// rows of an unmounted drive kept offline, and two change logs' places),
// and bringing it to today's form while it is used.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/CatalogTestSupport.h"
#include "library/UpsertStatements.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

const fs::path kFixture = fs::path(QM_LIBRARY_FIXTURES) / "catalog-without-prefix-indexes.sqlite";
using Table = std::vector<std::vector<std::string>>;

// Queries whose words the fixture holds, and prefixes of one to three
// letters (the ones the new table indexes).
const std::vector<std::string> kQueries = {"a", "ka", "dre", "edited", "colleague -edited", "b w", "zzz"};

// The one statement of a search, run bare on a connection of its own.
std::vector<std::string> searched(const RawDb& raw, const Catalog::Filter& filter) {
    return statementRows(raw, Catalog::searchQuery(filter, 2000));
}

std::vector<std::string> roots(const RawDb& raw) {
    std::vector<std::string> out;
    for (const auto& r : raw.rows("SELECT DISTINCT root FROM files ORDER BY root")) out.push_back(r[0]);
    return out;
}

// Every search of the list, with and without a root filter.
std::map<std::string, std::vector<std::string>> allSearches(const std::function<std::vector<std::string>(const Catalog::Filter&)>& run,
                                                            const std::vector<std::string>& someRoots) {
    std::map<std::string, std::vector<std::string>> out;
    for (const std::string& q : kQueries) {
        out["all " + q] = run({.query = q});
        out["some " + q] = run({.query = q, .roots = someRoots});
    }
    return out;
}

// The full-text table holds exactly what the files table says: one row per
// file, under its id, with the name, folders and search text of its record.
void expectTextTableFollowsFiles(const RawDb& raw) {
    const Table files = raw.rows("SELECT id, path, root, meta FROM files ORDER BY id");
    const Table text = raw.rows("SELECT rowid, name, folders, body FROM fts ORDER BY rowid");
    ASSERT_EQ(files.size(), text.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& f = files[i];
        const SoundMeta meta = SoundMeta::decode(f[3]).value_or(SoundMeta());
        EXPECT_EQ(text[i], (std::vector<std::string>{f[0], UpsertStatements::ftsName(f[1]),
                                                     UpsertStatements::ftsFolders(f[1], f[2]), meta.searchText()}))
            << f[1];
    }
}

void expectTodaysForm(const RawDb& raw) {
    EXPECT_NE(raw.one("SELECT sql FROM sqlite_master WHERE name = 'fts'").find("prefix='1 2 3'"), std::string::npos);
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM sqlite_master WHERE name LIKE 'fts_rebuild%'"), "0");
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'"), "0");
}

}  // namespace

TEST(CatalogUpgrade, ACatalogOfTheEarlierVersionKeepsEverythingAndSearchesTheSame) {
    TempDir dir;
    const fs::path file = dir / "Catalog.sqlite";
    fs::copy_file(kFixture, file);
    RawDb raw(file);
    ASSERT_EQ(raw.one("SELECT sql FROM sqlite_master WHERE name = 'fts'").find("prefix="), std::string::npos);
    const Table files = raw.rows("SELECT * FROM files ORDER BY id");
    const Table offsets = raw.rows("SELECT * FROM log_offsets ORDER BY logfile");
    ASSERT_EQ(files.size(), 300u);
    ASSERT_EQ(raw.one("SELECT COUNT(*) FROM files WHERE meta LIKE '%Edited by a colleague%'"), "10");
    ASSERT_EQ(offsets.size(), 2u);
    const Table kept = raw.rows("SELECT * FROM kept_edits ORDER BY path, tag");
    const Table offline = raw.rows("SELECT * FROM offline_files ORDER BY path");
    const Table mounts = raw.rows("SELECT * FROM mount_points ORDER BY path");
    ASSERT_EQ(kept.size(), 10u);
    ASSERT_EQ(offline.size(), 5u);
    ASSERT_EQ(mounts.size(), 1u);
    const std::vector<std::string> someRoots = {roots(raw).at(0), roots(raw).at(2)};
    const auto before = allSearches([&](const Catalog::Filter& f) { return searched(raw, f); }, someRoots);

    Catalog catalog(file);
    // Opening adds the facet indexes and answers from the old table.
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('files_root_category', 'files_root_library')"),
              "2");
    EXPECT_TRUE(catalog.upgradePending());
    EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(catalog.search(f, 2000)); }, someRoots), before);

    int steps = 0;
    while (catalog.upgradeStep(70)) {
        ++steps;
        // Searches answer between the pieces, from the old table.
        EXPECT_EQ(paths(catalog.search({.query = "edited"}, 2000)), before.at("all edited"));
    }
    EXPECT_EQ(steps, 1 + 5);  // the new table and its notes, then 300 rows by 70
    EXPECT_FALSE(catalog.upgradePending());
    EXPECT_FALSE(catalog.upgradeStep());
    expectTodaysForm(raw);
    EXPECT_EQ(raw.rows("SELECT * FROM files ORDER BY id"), files);
    EXPECT_EQ(raw.rows("SELECT * FROM log_offsets ORDER BY logfile"), offsets);
    EXPECT_EQ(raw.rows("SELECT * FROM kept_edits ORDER BY path, tag"), kept);
    EXPECT_EQ(raw.rows("SELECT * FROM offline_files ORDER BY path"), offline);
    EXPECT_EQ(raw.rows("SELECT * FROM mount_points ORDER BY path"), mounts);
    expectTextTableFollowsFiles(raw);
    EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(catalog.search(f, 2000)); }, someRoots), before);
    EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return searched(raw, f); }, someRoots), before);
    EXPECT_EQ(catalog.search({.query = "edited"}, 2000).size(), 10u);

    // A catalog in today's form has nothing to rebuild.
    Catalog again(file);
    EXPECT_FALSE(again.upgradePending());
    Catalog fresh(dir / "new.sqlite");
    EXPECT_FALSE(fresh.upgradePending());
}

// Writes between the pieces (new, changed, moved and deleted rows) are in
// the new table once it takes over; a copy of the file taken between two
// pieces, as a killed program leaves it, opens, answers and finishes the
// rebuild where it stopped.
TEST(CatalogUpgrade, WritesMeanwhileAndAKillMidWayLoseNothing) {
    TempDir dir;
    const fs::path file = dir / "Catalog.sqlite";
    fs::copy_file(kFixture, file);
    RawDb raw(file);
    const std::vector<std::string> all = roots(raw);
    const std::string first = raw.one("SELECT path FROM files ORDER BY id LIMIT 1");
    const std::string last = raw.one("SELECT path FROM files ORDER BY id DESC LIMIT 1");
    const std::string middle = raw.one("SELECT path FROM files ORDER BY id LIMIT 1 OFFSET 150");
    const std::string moved = raw.one("SELECT path FROM files ORDER BY id LIMIT 1 OFFSET 20");

    Catalog catalog(file);
    SoundMeta changed;
    changed.description = "Quietly humming fridge";
    ASSERT_TRUE(catalog.upgradeStep(100));  // the new table
    ASSERT_TRUE(catalog.upgradeStep(100));  // rows 1 to 100
    catalog.transaction([&] {
        catalog.upsert(first, all[0], 1, 1, std::nullopt, changed);  // copied already
        catalog.upsert(all[1] + "/New/Fridge_Hum.wav", all[1], 1, 1, std::nullopt, changed);
        catalog.removePath(middle);  // not copied yet
        catalog.movePath(moved, all[2] + "/Moved/Somewhere.wav");
    });
    catalog.setLogOffset(all[0] + "/.quillmarsh/changes/cy@host.jsonl", 9);

    // The program is killed here: the file as it stands is opened again.
    const fs::path killed = dir / "Killed.sqlite";
    fs::copy_file(file, killed);
    if (fs::exists(file.string() + "-wal")) fs::copy_file(file.string() + "-wal", killed.string() + "-wal");

    ASSERT_TRUE(catalog.upgradeStep(100));  // rows to 200
    catalog.transaction([&] { catalog.upsert(last, all[3], 2, 2, std::nullopt, changed); });
    while (catalog.upgradeStep(100)) {
    }
    expectTodaysForm(raw);
    expectTextTableFollowsFiles(raw);
    EXPECT_EQ(paths(catalog.search({.query = "fridge"}, 2000)).size(), 3u);
    EXPECT_TRUE(catalog.search({.query = "somewhere"}, 2000).size() == 1);

    Catalog reopened(killed);
    RawDb killedRaw(killed);
    EXPECT_TRUE(reopened.upgradePending());
    const auto expected = allSearches([&](const Catalog::Filter& f) { return searched(killedRaw, f); }, {all[1]});
    EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(reopened.search(f, 2000)); }, {all[1]}), expected);
    int steps = 0;
    while (reopened.upgradeStep(100)) ++steps;
    EXPECT_EQ(steps, 2);  // the 200 rows after row 100 (one gone, one new): on from where it stopped
    expectTodaysForm(killedRaw);
    expectTextTableFollowsFiles(killedRaw);
    EXPECT_EQ(killedRaw.one("SELECT COUNT(*) FROM files"), "300");
    EXPECT_EQ(killedRaw.one("SELECT COUNT(*) FROM log_offsets"), "3");
    EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(reopened.search(f, 2000)); }, {all[1]}), expected);
}

// The rebuild on the catalog's own thread: searches keep answering the
// same while it runs, and a catalog that goes away mid-way stops it.
TEST(CatalogUpgrade, InTheBackground) {
    TempDir dir;
    const fs::path file = dir / "Catalog.sqlite";
    fs::copy_file(kFixture, file);
    RawDb raw(file);
    const auto before = allSearches([&](const Catalog::Filter& f) { return searched(raw, f); }, {roots(raw).at(1)});
    {
        Catalog catalog(file);
        catalog.upgradeInBackground();
        const auto end = std::chrono::steady_clock::now() + timeout(std::chrono::seconds(30));
        int rounds = 0;
        while (catalog.upgradePending() && std::chrono::steady_clock::now() < end) {
            EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(catalog.search(f, 2000)); },
                                  {roots(raw).at(1)}),
                      before);
            ++rounds;
        }
        EXPECT_FALSE(catalog.upgradePending());
        EXPECT_GE(rounds, 1);
        EXPECT_EQ(allSearches([&](const Catalog::Filter& f) { return paths(catalog.search(f, 2000)); },
                              {roots(raw).at(1)}),
                  before);
    }
    expectTodaysForm(raw);
    expectTextTableFollowsFiles(raw);

    // Gone before it is done: the file keeps its old table whole.
    const fs::path other = dir / "Other.sqlite";
    fs::copy_file(kFixture, other);
    {
        Catalog catalog(other);
        catalog.upgradeInBackground();
    }
    RawDb otherRaw(other);
    expectTextTableFollowsFiles(otherRaw);
    Catalog reopened(other);
    while (reopened.upgradeStep()) {
    }
    expectTodaysForm(otherRaw);
    expectTextTableFollowsFiles(otherRaw);
}

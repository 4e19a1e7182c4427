// The catalog file as it may be found at start (damaged in several ways,
// read-only, made before the added tables, locked by another program) and
// writes that fail: what is set aside, what is reported, and that a
// transaction is stored whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/CatalogTestSupport.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

SoundMeta described(const std::string& description) {
    SoundMeta m;
    m.description = description;
    m.fxName = "fx";
    return m;
}

// A closed catalog of `rows` rows (its journal folded in), big enough to
// span many pages.
void fill(const fs::path& file, int rows) {
    Catalog catalog(file);
    catalog.transaction([&] {
        for (int i = 0; i < rows; ++i)
            catalog.upsert(fmt::format("/Lib/Folder {}/take {}.wav", i % 9, i), "/Lib", i, i, std::nullopt,
                           described(std::string(200, static_cast<char>('a' + i % 26))));
    });
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04d}-{:02d}-{:02d}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

fs::file_type typeOf(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type();
}

}  // namespace

// Each way a catalog file is found broken at start: set aside under its
// dated name, untouched, and a new, working catalog in its place; a second
// damaged file on the same day gets a name of its own.
TEST(CatalogIntegrity, DamagedFilesAreSetAsideNeverDeleted) {
    for (const auto& [how, what] : kDamages) {
        SCOPED_TRACE(what);
        TempDir dir;
        const fs::path file = dir / "Quillmarsh/Catalog.sqlite";
        fill(file, 400);
        damage(file, how);
        const fs::file_type type = typeOf(file);
        const std::string bytes = type == fs::file_type::regular ? readBytes(file) : "";
        if (type == fs::file_type::regular) writeBytes(file.string() + "-wal", "its journal");

        Catalog::Opening opened = Catalog::openOrReplace(file);
        ASSERT_TRUE(opened.catalog) << opened.problem;
        EXPECT_FALSE(opened.problem.empty());
        const fs::path aside = dir / ("Quillmarsh/Catalog.sqlite.damaged-" + today());
        ASSERT_EQ(opened.setAside, aside);
        EXPECT_EQ(typeOf(aside), type);
        if (type == fs::file_type::regular) {
            EXPECT_EQ(readBytes(aside), bytes);
            EXPECT_EQ(readBytes(aside.string() + "-wal"), "its journal");
        }
        if (type == fs::file_type::directory) {
            EXPECT_EQ(readBytes(aside / "inside"), "kept");
        }

        // The new catalog is empty and takes rows.
        Catalog& fresh = *opened.catalog;
        EXPECT_FALSE(fresh.readOnly());
        EXPECT_EQ(fresh.facets({}).total, 0);
        EXPECT_EQ(fresh.transaction([&] { fresh.upsert("/Lib/a.wav", "/Lib", 1, 1, std::nullopt, described("new")); }),
                  std::nullopt);
        EXPECT_EQ(fresh.row("/Lib/a.wav")->meta().description, "new");
        opened.catalog.reset();

        // Broken again the same day: a name of its own, the first one kept.
        writeBytes(file, "not a database either, and long enough to be read as a header at all");
        fs::remove(file.string() + "-wal");
        fs::remove(file.string() + "-shm");
        Catalog::Opening again = Catalog::openOrReplace(file);
        ASSERT_TRUE(again.catalog) << again.problem;
        EXPECT_EQ(again.setAside, fs::path(aside.string() + "-2"));
        EXPECT_EQ(typeOf(aside), type);
    }
}

// A catalog that opens is left where it is, whatever else holds it.
TEST(CatalogIntegrity, AHealthyOrLockedCatalogIsNeverSetAside) {
    TempDir dir;
    const fs::path file = dir / "Catalog.sqlite";
    fill(file, 50);
    RawDb other(file);
    other.exec("BEGIN IMMEDIATE");
    other.exec("INSERT INTO log_offsets VALUES ('x', 1)");
    Catalog::Opening opened = Catalog::openOrReplace(file);
    ASSERT_TRUE(opened.catalog) << opened.problem;
    EXPECT_EQ(opened.setAside, std::nullopt);
    EXPECT_EQ(opened.problem, "");
    EXPECT_EQ(opened.catalog->facets({}).total, 50);
    other.exec("ROLLBACK");
    EXPECT_EQ(fs::directory_iterator(dir.path()) == fs::directory_iterator(), false);
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find("damaged"), std::string::npos) << e.path();
}

// A catalog made before the added tables gains them and keeps everything
// it had, its schema text included.
TEST(CatalogIntegrity, AnOlderCatalogGainsTheAddedTablesAndNothingElse) {
    TempDir dir;
    const fs::path file = dir / "Catalog.sqlite";
    std::vector<std::vector<std::string>> before;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, Catalog::schema().c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        RawDb raw(file);
        raw.exec("INSERT INTO files (path, root, size, mtime, meta) VALUES ('/Lib/old.wav', '/Lib', 5, 6, '{}')");
        raw.exec("INSERT INTO log_offsets VALUES ('/Lib/.quillmarsh/changes/bob@b.jsonl', 99)");
        before = raw.rows("SELECT type, name, sql FROM sqlite_master ORDER BY name");
    }
    Catalog catalog(file);
    RawDb raw(file);
    auto after = raw.rows("SELECT type, name, sql FROM sqlite_master ORDER BY name");
    for (const auto& object : before) EXPECT_NE(std::find(after.begin(), after.end(), object), after.end()) << object[1];
    std::vector<std::string> added;
    for (const auto& object : after)
        if (std::find(before.begin(), before.end(), object) == before.end()) added.push_back(object[1]);
    EXPECT_EQ(added, (std::vector<std::string>{"kept_edits", "mount_points", "offline_files", "offline_files_root",
                                               "sqlite_autoindex_kept_edits_1", "sqlite_autoindex_mount_points_1",
                                               "sqlite_autoindex_offline_files_1"}));
    EXPECT_EQ(catalog.stamp("/Lib/old.wav"), (Catalog::Stamp{5, 6}));
    EXPECT_EQ(catalog.logOffset("/Lib/.quillmarsh/changes/bob@b.jsonl"), 99);
    // Opening again changes nothing.
    Catalog again(file);
    EXPECT_EQ(raw.rows("SELECT type, name, sql FROM sqlite_master ORDER BY name"), after);
}

// Another program's write lock: a short one is waited for, one held past
// the time-out is reported and nothing of the transaction runs.
TEST(CatalogIntegrity, AnotherProgramsLockIsWaitedForThenReported) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    Catalog catalog(file);
    RawDb other(file);

    other.exec("BEGIN IMMEDIATE");
    int waits = 0;
    catalog.setBusyObserver([&] {
        // The other program ends its write while we wait.
        if (waits++ == 0) other.exec("COMMIT");
    });
    EXPECT_EQ(catalog.transaction([&] { catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, described("a")); }),
              std::nullopt);
    EXPECT_GE(waits, 1);
    EXPECT_TRUE(catalog.row("/L/a.wav"));

    catalog.setBusyObserver({});
    catalog.setBusyTimeout(std::chrono::milliseconds(50));
    other.exec("BEGIN IMMEDIATE");
    bool ran = false;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(catalog.transaction([&] {
        ran = true;
        catalog.upsert("/L/b.wav", "/L", 1, 1, std::nullopt, described("b"));
    }),
              "database is locked");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_FALSE(ran);
    other.exec("COMMIT");
    EXPECT_FALSE(catalog.row("/L/b.wav"));
    EXPECT_FALSE(catalog.inTransaction());
    EXPECT_EQ(catalog.removeRoot("/Nothing"), std::nullopt);
}

// One statement that fails spoils the whole transaction: nothing of it is
// stored, whichever writer it was, and the next one goes through.
TEST(CatalogIntegrity, AStatementThatFailsRollsBackTheWholeTransaction) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    Catalog catalog(file);
    put(catalog, "/L/old.wav", "/L", described("old"));
    RawDb raw(file);
    for (const char* table : {"files", "log_offsets", "kept_edits", "offline_files", "mount_points"})
        raw.exec(fmt::format("CREATE TRIGGER refuse_{0} BEFORE INSERT ON {0} WHEN NEW.{1} = '/L/refused.wav' "
                             "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                             table, std::string(table) == "log_offsets" ? "logfile" : "path"));
    raw.exec("CREATE TRIGGER refuse_update BEFORE UPDATE ON files WHEN NEW.meta LIKE '%refused%' BEGIN "
             "SELECT RAISE(ABORT, 'refused'); END");

    const std::vector<std::pair<const char*, std::function<void()>>> writers = {
        {"upsert", [&] { catalog.upsert("/L/refused.wav", "/L", 1, 1, std::nullopt, {}); }},
        {"rewriteMeta", [&] { catalog.rewriteMeta("/L/old.wav", described("refused")); }},
        {"writeLogOffset", [&] { catalog.writeLogOffset("/L/refused.wav", 3); }},
        {"keepEdits", [&] { catalog.keepEdits("/L/refused.wav", {{"NOTES", "n"}}, std::nullopt, 1, "bob"); }},
        {"setOfflineFiles", [&] { catalog.setOfflineFiles("/L", {"/L/refused.wav"}); }},
        {"setMountPoints", [&] { catalog.setMountPoints("/L", {"/L/refused.wav"}); }},
    };
    for (const auto& [name, writer] : writers) {
        SCOPED_TRACE(name);
        const std::function<void()>& write = writer;
        const std::optional<std::string> failure = catalog.transaction([&] {
            catalog.upsert("/L/good.wav", "/L", 1, 1, std::nullopt, described("good"));
            catalog.writeLogOffset("/L/good.log", 9);
            write();
        });
        EXPECT_EQ(failure, "constraint failed");
        EXPECT_FALSE(catalog.inTransaction());
        EXPECT_FALSE(catalog.row("/L/good.wav"));
        EXPECT_EQ(catalog.logOffset("/L/good.log"), 0);
        EXPECT_EQ(catalog.row("/L/old.wav")->meta().description, "old");
        EXPECT_FALSE(catalog.isOffline("/L/refused.wav"));
    }
    EXPECT_EQ(catalog.transaction([&] { catalog.upsert("/L/good.wav", "/L", 1, 1, std::nullopt, described("good")); }),
              std::nullopt);
    EXPECT_TRUE(catalog.row("/L/good.wav"));
}

// A catalog on a file system mounted read-only still answers; every write
// says why it was refused, and the file is not set aside.
TEST(CatalogIntegrity, AReadOnlyCatalogAnswersAndRefusesWrites) {
    TempDir dir;
    TmpfsMount mount(dir / "ro");
    if (!mount.mounted()) GTEST_SKIP() << mount.refused();
    const fs::path file = mount.folder() / "Catalog.sqlite";
    fill(file, 30);
    {
        Catalog catalog(file);
        catalog.transaction([&] { catalog.setOfflineFiles("/Lib", {"/Lib/Folder 1/take 1.wav"}); });
    }
    ASSERT_TRUE(mount.setReadOnly(true));

    Catalog::Opening opened = Catalog::openOrReplace(file);
    ASSERT_TRUE(opened.catalog) << opened.problem;
    EXPECT_EQ(opened.setAside, std::nullopt);
    Catalog& catalog = *opened.catalog;
    EXPECT_TRUE(catalog.readOnly());
    EXPECT_EQ(catalog.facets({}).total, 30);
    EXPECT_EQ(catalog.search({.query = "take"}, 100).size(), 30u);
    EXPECT_TRUE(catalog.isOffline("/Lib/Folder 1/take 1.wav"));
    bool ran = false;
    EXPECT_EQ(catalog.transaction([&] {
        ran = true;
        catalog.upsert("/Lib/new.wav", "/Lib", 1, 1, std::nullopt, {});
    }),
              "attempt to write a readonly database");
    EXPECT_FALSE(ran);
    EXPECT_EQ(catalog.removeRoot("/Lib"), "attempt to write a readonly database");
    EXPECT_EQ(catalog.facets({}).total, 30);
    opened.catalog.reset();
    mount.setReadOnly(false);
}

// A disk that fills: the transaction that did not fit is reported and
// absent, and once there is room the next one is stored.
TEST(CatalogIntegrity, AFullDiskIsReported) {
    TempDir dir;
    TmpfsMount mount(dir / "small", 512 * 1024);
    if (!mount.mounted()) GTEST_SKIP() << mount.refused();
    const fs::path file = mount.folder() / "Catalog.sqlite";
    Catalog catalog(file);
    put(catalog, "/L/first.wav", "/L", described("before"));
    // Everything else the file system holds goes to a filler.
    {
        std::ofstream filler(mount.folder() / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    const std::optional<std::string> failure = catalog.transaction([&] {
        for (int i = 0; i < 256; ++i)
            catalog.upsert(fmt::format("/L/batch{}.wav", i), "/L", 1, 1, std::nullopt,
                           described(std::string(2000, static_cast<char>('a' + i % 26))));
    });
    EXPECT_EQ(failure, Catalog::kDiskFull);
    EXPECT_FALSE(catalog.inTransaction());
    EXPECT_EQ(catalog.facets({}).total, 1);
    fs::remove(mount.folder() / "filler");
    EXPECT_EQ(catalog.transaction([&] { catalog.upsert("/L/after.wav", "/L", 1, 1, std::nullopt, described("after")); }),
              std::nullopt);
    EXPECT_EQ(catalog.facets({}).total, 2);
}

// What a colleague changed is kept beside the row, field by field, the
// later entry for a field winning; it follows its file's row when the row
// moves and goes when the row goes.
TEST(CatalogKeptEdits, KeptByPathLaidOverAndMovedWithTheRow) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/L/a.wav", "/L", described("a"));
    put(catalog, "/L/b.wav", "/L", described("b"));
    catalog.transaction([&] {
        catalog.keepEdits("/L/a.wav", {{"DESCRIPTION", "first"}, {"KEYWORDS", "rain"}, {"NOT A TAG", "x"}}, 3, 100,
                          "bob@b");
        catalog.keepEdits("/L/a.wav", {{"DESCRIPTION", "second"}}, std::nullopt, 200, "ann@a");
    });
    EXPECT_EQ(catalog.keptEdits("/L/a.wav"),
              (std::vector<Catalog::KeptEdit>{{"DESCRIPTION", "second", 200, "ann@a"},
                                              {"KEYWORDS", "rain", 100, "bob@b"},
                                              {"RATING", "3", 100, "bob@b"}}));
    SoundMeta fromFile = described("what the file says");
    fromFile.notes = "file's own notes";
    catalog.transaction([&] { catalog.applyKeptEdits("/L/a.wav", fromFile); });
    EXPECT_EQ(fromFile.description, "second");
    EXPECT_EQ(fromFile.keywords, "rain");
    EXPECT_EQ(fromFile.rating, 3);
    EXPECT_EQ(fromFile.notes, "file's own notes");
    EXPECT_THROW(catalog.applyKeptEdits("/L/a.wav", fromFile), std::logic_error);

    // A rename carries them; a row that goes takes them along.
    catalog.transaction([&] { catalog.movePath("/L/a.wav", "/L/renamed.wav"); });
    EXPECT_TRUE(catalog.keptEdits("/L/a.wav").empty());
    EXPECT_EQ(catalog.keptEdits("/L/renamed.wav").size(), 3u);
    catalog.transaction([&] { catalog.keepEdits("/L/b.wav", {{"NOTES", "n"}}, std::nullopt, 1, "bob@b"); });
    catalog.transaction([&] { catalog.removePath("/L/b.wav"); });
    EXPECT_TRUE(catalog.keptEdits("/L/b.wav").empty());
    // The file took them in: forgotten.
    catalog.transaction([&] { catalog.dropKeptEdits("/L/renamed.wav"); });
    EXPECT_TRUE(catalog.keptEdits("/L/renamed.wav").empty());
    // A root that goes takes its kept edits.
    catalog.transaction([&] { catalog.keepEdits("/L/renamed.wav", {{"NOTES", "n"}}, std::nullopt, 1, "bob@b"); });
    catalog.removeRoot("/L");
    EXPECT_TRUE(catalog.keptEdits("/L/renamed.wav").empty());
}

// Offline rows: known once committed, kept across a reopen, listed below
// their folders, replaced per root.
TEST(CatalogOffline, OfflineFilesPerRoot) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    {
        Catalog catalog(file);
        const std::vector<std::string> files = {"/L/Drive/a.wav", "/L/Drive/Deep/b.wav", "/L/c.wav"};
        catalog.transaction([&] {
            catalog.setOfflineFiles("/L", files);
            EXPECT_FALSE(catalog.isOffline("/L/c.wav"));  // not before the commit
        });
        catalog.transaction([&] { catalog.setOfflineFiles("/M", {"/M/d.wav"}); });
        EXPECT_TRUE(catalog.isOffline("/L/Drive/Deep/b.wav"));
        EXPECT_FALSE(catalog.isOffline("/L/Drive"));
        EXPECT_THROW(catalog.transaction([&] {
                         catalog.setOfflineFiles("/M", {});
                         throw std::runtime_error("no");
                     }),
                     std::runtime_error);
        EXPECT_TRUE(catalog.isOffline("/M/d.wav"));
    }
    Catalog catalog(file);
    EXPECT_TRUE(catalog.isOffline("/L/c.wav"));
    Catalog::OfflineBelow below = catalog.offlineBelow("/L");
    EXPECT_EQ(below.files, std::vector<std::string>{"/L/c.wav"});
    EXPECT_EQ(below.folders, std::set<std::string>{"Drive"});
    EXPECT_EQ(catalog.offlineBelow("/L/Drive").folders, std::set<std::string>{"Deep"});
    EXPECT_EQ(catalog.offlineBelow("/").folders, (std::set<std::string>{"L", "M"}));
    catalog.transaction([&] { catalog.setOfflineFiles("/L", {"/L/c.wav"}); });
    EXPECT_FALSE(catalog.isOffline("/L/Drive/a.wav"));
    EXPECT_TRUE(catalog.isOffline("/M/d.wav"));
    catalog.removeRoot("/M");
    EXPECT_FALSE(catalog.isOffline("/M/d.wav"));
}

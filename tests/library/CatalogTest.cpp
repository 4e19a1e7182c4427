#include "library/Catalog.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <thread>

#include <fmt/format.h>

#include "library/CatalogTestSupport.h"
#include "platform/AppError.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

int openError(const fs::path& file, std::string* text = nullptr) {
    try {
        Catalog catalog(file);
    } catch (const AppError& e) {
        if (text) *text = e.what();
        return e.code();
    }
    return 0;
}

SoundMeta metaWith(const std::string& description, const std::string& category = "",
                   const std::string& library = "") {
    SoundMeta m;
    m.description = description;
    m.category = category;
    m.library = library;
    return m;
}

}  // namespace

TEST(Catalog, SchemaIsTheFixedScript) {
    const std::string expected =
        "PRAGMA journal_mode=WAL;\n"
        "PRAGMA synchronous=NORMAL;\n"
        "CREATE TABLE IF NOT EXISTS files (\n"
        "  id INTEGER PRIMARY KEY, path TEXT UNIQUE NOT NULL, root TEXT NOT NULL, size INTEGER, mtime REAL,\n"
        "  duration REAL, sr REAL, channels INTEGER, bits INTEGER, codec TEXT, meta TEXT NOT NULL,\n"
        "  category TEXT, library TEXT, rating INTEGER DEFAULT 0, indexed REAL);\n"
        "CREATE INDEX IF NOT EXISTS files_root ON files(root);\n"
        "CREATE INDEX IF NOT EXISTS files_category ON files(category);\n"
        "CREATE INDEX IF NOT EXISTS files_library ON files(library);\n"
        "CREATE INDEX IF NOT EXISTS files_root_category ON files(root, category);\n"
        "CREATE INDEX IF NOT EXISTS files_root_library ON files(root, library);\n"
        "CREATE VIRTUAL TABLE IF NOT EXISTS fts USING fts5(name, folders, body, "
        "tokenize='unicode61 remove_diacritics 2', prefix='1 2 3');\n"
        "CREATE TABLE IF NOT EXISTS log_offsets (logfile TEXT PRIMARY KEY, offset INTEGER NOT NULL);";
    EXPECT_EQ(Catalog::schema(), expected);
}

TEST(Catalog, OpeningCreatesTheFolderAndKeepsRowsOnReopen) {
    TempDir dir;
    const fs::path file = dir / "Quillmarsh/deeper/Catalog.sqlite";
    {
        Catalog catalog(file);
        put(catalog, "/Lib/a.wav", "/Lib", metaWith("Kept"));
    }
    ASSERT_TRUE(fs::exists(file));
    {
        RawDb raw(file);
        EXPECT_EQ(raw.one("PRAGMA journal_mode"), "wal");
        EXPECT_EQ(raw.rows("SELECT name FROM sqlite_master WHERE type IN ('table','index') AND name IN "
                           "('files','fts','log_offsets','files_root','files_category','files_library') ORDER BY name")
                      .size(),
                  6u);
    }
    Catalog again(file);
    auto row = again.row("/Lib/a.wav");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->meta().description, "Kept");
}

TEST(Catalog, OpeningFailures) {
    TempDir dir;
    std::string text;
    // The folder the file should go in is a file.
    writeBytes(dir / "blocker", "x");
    EXPECT_EQ(openError(dir / "blocker/Catalog.sqlite", &text), kFileWriteFailed);
    EXPECT_NE(text.find("blocker"), std::string::npos) << text;
    // The path is a folder, or a FIFO (which SQLite would open and then
    // wait on for ever): no catalog file at all.
    fs::create_directory(dir / "folder.sqlite");
    EXPECT_EQ(openError(dir / "folder.sqlite", &text), Catalog::kDamaged);
    EXPECT_EQ(text, "The library catalog is not a file");
    ASSERT_EQ(::mkfifo((dir / "fifo.sqlite").c_str(), 0600), 0);
    EXPECT_EQ(openError(dir / "fifo.sqlite", &text), Catalog::kDamaged);
    // Not a database: damaged, with SQLite's own message; the file stays.
    writeBytes(dir / "junk.sqlite", std::string(4096, 'j'));
    EXPECT_EQ(openError(dir / "junk.sqlite", &text), Catalog::kDamaged);
    EXPECT_EQ(text, "file is not a database");
    EXPECT_EQ(readBytes(dir / "junk.sqlite"), std::string(4096, 'j'));
    // No file named (no data folder): refused, not a temporary database
    // that loses everything at exit.
    EXPECT_EQ(openError("", &text), Catalog::kOpenFailed);
    EXPECT_EQ(text, "Can't open the library catalog");
}

TEST(Catalog, UpsertKeepsOneRowAndOneFullTextRowUnderOneId) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    Catalog catalog(file);
    RawDb raw(file);
    put(catalog, "/Lib/Doors/Door_Slam_01.wav", "/Lib", metaWith("First"), facts(48000, 2, 24, 96000), 10, 100.5);
    const std::string id = raw.one("SELECT id FROM files");
    raw.exec("UPDATE files SET indexed = 0");
    put(catalog, "/Lib/Doors/Door_Slam_01.wav", "/Lib", metaWith("Second"), facts(44100, 1, 16, 44100), 20, 200.25);

    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "1");
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM fts"), "1");
    EXPECT_EQ(raw.one("SELECT id FROM files"), id);
    EXPECT_EQ(raw.one("SELECT rowid FROM fts"), id);
    auto r = raw.rows("SELECT size, mtime, duration, sr, channels, bits, codec, indexed > 1.6e9 FROM files")[0];
    EXPECT_EQ(r, (std::vector<std::string>{"20", "200.25", "1.0", "44100.0", "1", "16", "PCM", "1"}));
    EXPECT_EQ(raw.one("SELECT body FROM fts"), "Second");

    auto row = catalog.row("/Lib/Doors/Door_Slam_01.wav");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->root, "/Lib");
    EXPECT_EQ(row->duration, 1.0);
    EXPECT_EQ(row->sampleRate, 44100.0);
    EXPECT_EQ(row->channels, 1);
    EXPECT_EQ(row->bits, 16);
    EXPECT_EQ(row->meta(), metaWith("Second"));
    EXPECT_EQ(catalog.stamps("/Lib"), (std::map<std::string, Catalog::Stamp>{
                                          {"/Lib/Doors/Door_Slam_01.wav", {20, 200.25}}}));
}

TEST(Catalog, CategoryAndLibraryColumns) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/L/1.wav", "/L", metaWith("", "door", "My Lib"));
    put(catalog, "/L/2.wav", "/L", metaWith("", "", ""));
    put(catalog, "/L/3.wav", "/L", metaWith("", "caf\u00E9 stra\u00DFe", " "));
    EXPECT_EQ(raw.rows("SELECT category, library FROM files ORDER BY path"),
              (std::vector<std::vector<std::string>>{
                  {"DOOR", "My Lib"}, {"NULL", "NULL"}, {"CAF\u00C9 STRA\u00DFE", " "}}));
    // The record keeps the category as it was given.
    EXPECT_EQ(catalog.row("/L/1.wav")->meta().category, "door");
}

TEST(Catalog, NoFileFactsStoresZerosAndStaysSearchable) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/L/Broken_Thing.wav", "/L");
    EXPECT_EQ(raw.rows("SELECT duration, sr, channels, bits, codec, typeof(codec) FROM files")[0],
              (std::vector<std::string>{"0.0", "0.0", "0", "0", "", "text"}));
    // Facts whose rate is not above 0 give no duration.
    put(catalog, "/L/zero.wav", "/L", {}, facts(0, 2, 16, 1000));
    EXPECT_EQ(raw.one("SELECT duration FROM files WHERE path = '/L/zero.wav'"), "0.0");
    auto hits = catalog.search({.query = "broken"}, 10);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].codec, "");
    EXPECT_EQ(hits[0].formatSummary(), "0 kHz \u00B7  \u00B7 0 ch");
}

TEST(Catalog, FullTextNameAndFolders) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/Lib/Foley/Doors/x.wav", "/Lib");
    put(catalog, "/Lib/Doors/Door_Slam_01.wav", "/Lib");
    // The root text also stands inside the folder names: only the leading one goes.
    put(catalog, "/Lib/Library/Lib/Lib_Hit.wav", "/Lib");
    put(catalog, "/Top/Sub/archive.tar.wav", "/Top");
    EXPECT_EQ(raw.rows("SELECT f.path, name, folders FROM fts JOIN files f ON f.id = fts.rowid ORDER BY f.path"),
              (std::vector<std::vector<std::string>>{
                  {"/Lib/Doors/Door_Slam_01.wav", "Door Slam 01", " Doors"},
                  {"/Lib/Foley/Doors/x.wav", "x", " Foley Doors"},
                  {"/Lib/Library/Lib/Lib_Hit.wav", "Lib Hit", " Library Lib"},
                  {"/Top/Sub/archive.tar.wav", "archive.tar", " Sub"}}));
    EXPECT_EQ(catalog.search({.query = "rary"}, 10).size(), 0u);
    EXPECT_EQ(catalog.search({.query = "library"}, 10).size(), 1u);
}

TEST(Catalog, StoredMetaThatDoesNotDecodeReadsAsTheEmptyRecord) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/L/a.wav", "/L", metaWith("x"));
    put(catalog, "/L/b.wav", "/L", metaWith("y"));
    put(catalog, "/L/c.wav", "/L", metaWith("z"));
    raw.exec("UPDATE files SET meta = '{}' WHERE path = '/L/a.wav'");
    raw.exec("UPDATE files SET meta = '{\"description\":\"half\"}' WHERE path = '/L/b.wav'");
    raw.exec("UPDATE files SET meta = 'garbage', channels = NULL, codec = NULL WHERE path = '/L/c.wav'");
    for (const char* path : {"/L/a.wav", "/L/b.wav", "/L/c.wav"}) {
        auto row = catalog.row(path);
        ASSERT_TRUE(row) << path;
        EXPECT_EQ(row->meta(), SoundMeta()) << path;
    }
    EXPECT_EQ(catalog.row("/L/c.wav")->channels, 0);
    EXPECT_EQ(catalog.row("/L/c.wav")->codec, "");
    EXPECT_EQ(catalog.row("/L/missing.wav"), std::nullopt);
    EXPECT_TRUE(catalog.stamps("/Nowhere").empty());
}

TEST(Catalog, TextsKeepEveryByteAndLargeNumbersAreClamped) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    SoundMeta m;
    m.description = std::string("Before\0after", 12);
    m.keywords = "hidden";
    m.library = std::string("Lib\0rary", 8);
    m.rating = int64_t(1) << 40;
    AudioFileInfo info = facts(48000, 0, 0, 48000);
    info.channels = std::numeric_limits<int>::max();
    info.bitDepth = std::numeric_limits<int>::min();
    put(catalog, "/L/n.wav", "/L", m, info);
    EXPECT_EQ(raw.one("SELECT length(CAST(library AS BLOB)) FROM files"), "8");
    EXPECT_EQ(raw.one("SELECT rating FROM files"), "2147483647");
    EXPECT_EQ(catalog.row("/L/n.wav")->meta(), m);
    // The words after the NUL are indexed too.
    EXPECT_EQ(catalog.search({.query = "hidden"}, 10).size(), 1u);
    EXPECT_EQ(catalog.search({.query = "after"}, 10).size(), 1u);
    m.rating = -(int64_t(1) << 40);
    put(catalog, "/L/n.wav", "/L", m, info);
    EXPECT_EQ(raw.one("SELECT rating FROM files"), "-2147483648");
    EXPECT_EQ(catalog.row("/L/n.wav")->channels, std::numeric_limits<int>::max());
    EXPECT_EQ(catalog.row("/L/n.wav")->bits, std::numeric_limits<int>::min());
}

TEST(Catalog, RemovingARootWithAQuoteRemovesExactlyItsRows) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    for (const std::string root : {"/Bob's Lib", "/Bob", "/Bob's Lib 2", "/Bob''s Lib"})
        for (int i = 0; i < 3; ++i) put(catalog, root + "/f" + std::to_string(i) + ".wav", root);
    catalog.removeRoot("/Bob's Lib");
    EXPECT_EQ(raw.rows("SELECT root, COUNT(*) FROM files GROUP BY root ORDER BY root"),
              (std::vector<std::vector<std::string>>{{"/Bob", "3"}, {"/Bob''s Lib", "3"}, {"/Bob's Lib 2", "3"}}));
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM fts"), "9");
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM fts WHERE rowid NOT IN (SELECT id FROM files)"), "0");
    EXPECT_FALSE(catalog.inTransaction());
}

TEST(Catalog, RemovingOnePathTakesItsFullTextRowToo) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/L/a.wav", "/L");
    put(catalog, "/L/b.wav", "/L");
    catalog.transaction([&] {
        catalog.removePath("/L/a.wav");
        catalog.removePath("/L/never.wav");
    });
    EXPECT_EQ(raw.rows("SELECT path FROM files"), (std::vector<std::vector<std::string>>{{"/L/b.wav"}}));
    EXPECT_EQ(raw.rows("SELECT name FROM fts"), (std::vector<std::vector<std::string>>{{"b"}}));
}

// A file renamed on disk takes its record along: stamps, facts and metadata
// stay, the full-text name follows, a stale row at the new path goes.
TEST(Catalog, MovingAPathKeepsItsRecord) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    put(catalog, "/L/Doors/take 1.aif", "/L", metaWith("only here", "DOORS"), facts(48000, 2, 24, 48000), 1234, 56.5);
    put(catalog, "/L/Doors/DOORWood_Slam.aif", "/L", metaWith("a file that is gone"));
    const std::optional<Catalog::Row> before = catalog.row("/L/Doors/take 1.aif");
    bool moved = false, missing = true;
    catalog.transaction([&] {
        moved = catalog.movePath("/L/Doors/take 1.aif", "/L/Doors/DOORWood_Slam.aif");
        missing = catalog.movePath("/L/never.aif", "/L/other.aif");
    });
    EXPECT_TRUE(moved);
    EXPECT_FALSE(missing);
    EXPECT_EQ(catalog.row("/L/Doors/take 1.aif"), std::nullopt);
    std::optional<Catalog::Row> after = catalog.row("/L/Doors/DOORWood_Slam.aif");
    ASSERT_TRUE(after);
    after->path = before->path;
    EXPECT_EQ(after, before);
    EXPECT_EQ(catalog.stamp("/L/Doors/DOORWood_Slam.aif"), (Catalog::Stamp{1234, 56.5}));
    EXPECT_EQ(raw.rows("SELECT f.path, name, folders, body FROM fts JOIN files f ON f.id = fts.rowid"),
              (std::vector<std::vector<std::string>>{{"/L/Doors/DOORWood_Slam.aif", "DOORWood Slam", " Doors",
                                                      "only here DOORS"}}));
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM fts"), "1");
    EXPECT_EQ(catalog.search({.query = "slam"}, 10).size(), 1u);
    EXPECT_EQ(catalog.search({.query = "take"}, 10).size(), 0u);
}

TEST(Catalog, Stamps) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    put(catalog, "/L/a.wav", "/L", {}, std::nullopt, 10, 1700000000.25);
    EXPECT_EQ(catalog.stamp("/L/a.wav"), (Catalog::Stamp{10, 1700000000.25}));
    EXPECT_EQ(catalog.stamp("/L/b.wav"), std::nullopt);
    std::optional<Catalog::Stamp> held;
    std::optional<Catalog::Stamp> otherRoot = Catalog::Stamp{};
    catalog.transaction([&] {
        held = catalog.heldStamp("/L/a.wav", "/L");
        otherRoot = catalog.heldStamp("/L/a.wav", "/L/Inner");
    });
    EXPECT_EQ(held, catalog.stamp("/L/a.wav"));
    EXPECT_EQ(otherRoot, std::nullopt);
    // Only inside a body; a second hold on one thread is refused.
    EXPECT_THROW(catalog.heldStamp("/L/a.wav", "/L"), std::logic_error);
    EXPECT_THROW(catalog.transaction([&] { catalog.stamp("/L/a.wav"); }), std::logic_error);
    EXPECT_THROW(catalog.movePath("/L/a.wav", "/L/b.wav"), std::logic_error);
    // Within a millisecond and of the same size is the same file.
    EXPECT_TRUE(held->describes(10, 1700000000.2509));
    EXPECT_FALSE(held->describes(10, 1700000000.2511));
    EXPECT_FALSE(held->describes(11, 1700000000.25));
}

TEST(Catalog, LogOffsets) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");
    EXPECT_EQ(catalog.logOffset("/L/.quillmarsh/changes/ann@host.jsonl"), 0);
    catalog.setLogOffset("/L/.quillmarsh/changes/ann@host.jsonl", 120);
    catalog.setLogOffset("/L/.quillmarsh/changes/ann@host.jsonl", 345);
    catalog.setLogOffset("/L/.quillmarsh/changes/bo@host.jsonl", 7);
    EXPECT_EQ(raw.rows("SELECT logfile, offset FROM log_offsets ORDER BY logfile"),
              (std::vector<std::vector<std::string>>{{"/L/.quillmarsh/changes/ann@host.jsonl", "345"},
                                                     {"/L/.quillmarsh/changes/bo@host.jsonl", "7"}}));
    EXPECT_EQ(catalog.logOffset("/L/.quillmarsh/changes/ann@host.jsonl"), 345);
}

// The lock: a body is one unit that rolls back on an exception; taking the
// lock again on the holding thread fails loudly instead of deadlocking;
// writers outside a body are refused.
TEST(Catalog, TransactionsAndTheLock) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    RawDb raw(dir / "c.sqlite");

    EXPECT_THROW(catalog.transaction([&] {
                     catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, {});
                     throw std::runtime_error("body failed");
                 }),
                 std::runtime_error);
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "0");
    EXPECT_FALSE(catalog.inTransaction());

    for (auto nested : std::vector<std::function<void()>>{
             [&] { catalog.row("/L/a.wav"); }, [&] { catalog.search({}, 1); },
             [&] { catalog.facets({}); }, [&] { catalog.stamps("/L"); },
             [&] { catalog.setLogOffset("x", 1); }, [&] { catalog.logOffset("x"); },
             [&] { catalog.removeRoot("/L"); }, [&] { catalog.transaction([] {}); }}) {
        EXPECT_THROW(catalog.transaction([&] {
                         catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, {});
                         nested();
                     }),
                     std::logic_error);
        EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "0");
    }
    EXPECT_THROW(catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, {}), std::logic_error);
    EXPECT_THROW(catalog.exec("DELETE FROM files"), std::logic_error);
    EXPECT_THROW(catalog.removePath("/L/a.wav"), std::logic_error);

    // exec inside a body reports SQLite's message.
    catalog.transaction([&] {
        try {
            catalog.exec("NOT SQL");
            ADD_FAILURE();
        } catch (const AppError& e) {
            EXPECT_EQ(e.code(), Catalog::kSQLFailed);
            EXPECT_NE(std::string(e.what()).find("syntax error"), std::string::npos) << e.what();
        }
    });

    // Another thread waits for the body to end and then sees all of it.
    std::atomic<bool> read{false};
    std::optional<Catalog::Row> seen;
    std::thread reader;
    catalog.transaction([&] {
        catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, metaWith("one"));
        reader = std::thread([&] {
            seen = catalog.row("/L/a.wav");
            read = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(read.load());
        catalog.upsert("/L/a.wav", "/L", 1, 1, std::nullopt, metaWith("two"));
    });
    reader.join();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->meta().description, "two");
}

// Writers and readers on several threads share one catalog.
TEST(Catalog, SharedBetweenThreads) {
    TempDir dir;
    auto catalog = std::make_shared<Catalog>(dir / "c.sqlite");
    std::vector<std::thread> threads;
    std::atomic<int> searches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([catalog, t] {
            for (int batch = 0; batch < 10; ++batch)
                catalog->transaction([&] {
                    for (int i = 0; i < 16; ++i)
                        catalog->upsert(fmt::format("/L/t{}/f{}_{}.wav", t, batch, i), "/L", 1, 1,
                                        std::nullopt, metaWith("word"));
                });
        });
        threads.emplace_back([catalog, &searches] {
            for (int i = 0; i < 20; ++i) {
                const size_t n = catalog->search({.query = "word"}, 5000).size();
                EXPECT_EQ(n % 16, 0u);  // never half a batch
                ++searches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(catalog->facets({}).total, 640);
    EXPECT_EQ(searches.load(), 80);
}

// A disk that fills during COMMIT: the batch is not stored, no transaction
// stays open, and once there is room again the next batch is stored.
TEST(Catalog, ACommitThatFailsLeavesNoTransactionOpen) {
    TempDir dir;
    const fs::path file = dir / "c.sqlite";
    Catalog catalog(file);
    put(catalog, "/L/first.wav", "/L", metaWith("before"));

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    // Room for what is there, not for a batch of 256 rows with long texts.
    small.rlim_cur = std::max(fs::file_size(file), fs::file_size(file.string() + "-wal")) + 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::optional<std::string> failure = catalog.transaction([&] {
        for (int i = 0; i < 256; ++i)
            catalog.upsert(fmt::format("/L/batch{}.wav", i), "/L", 1, 1, std::nullopt,
                           metaWith(std::string(400, 'a' + i % 26)));
    });
    const bool openAfterFailure = catalog.inTransaction();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    EXPECT_FALSE(openAfterFailure);
    EXPECT_TRUE(failure.has_value());
    {
        RawDb raw(file);
        EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "1");
        EXPECT_EQ(raw.one("SELECT COUNT(*) FROM fts"), "1");
    }
    catalog.transaction([&] {
        for (int i = 0; i < 256; ++i)
            catalog.upsert(fmt::format("/L/again{}.wav", i), "/L", 1, 1, std::nullopt, metaWith("after"));
    });
    RawDb raw(file);
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "257");
    EXPECT_EQ(catalog.search({.query = "after"}, 1000).size(), 256u);
}

// A folder listing's rows in one query: exactly the folder's own files, each
// as row(path) gives it, whatever bytes the names hold.
TEST(Catalog, RowsInAFolder) {
    TempDir dir;
    Catalog catalog(dir / "c.sqlite");
    const std::vector<std::string> inside = {"/L/Sub/a.wav", "/L/Sub/b \xC3\xA9.wav", "/L/Sub/\xFF.wav"};
    const std::vector<std::string> outside = {"/L/Sub/deeper/c.wav", "/L/Sub2/d.wav", "/L/Sub.wav", "/L/Sua/e.wav",
                                              "/L/e.wav", "/L/Sub"};
    for (const auto& p : inside) put(catalog, p, "/L", metaWith(p));
    for (const auto& p : outside) put(catalog, p, "/L", metaWith(p));
    for (const std::string& folder : {std::string("/L/Sub"), std::string("/L/Sub/")}) {
        auto rows = catalog.rowsInFolder(folder);
        ASSERT_EQ(rows.size(), inside.size()) << folder;
        for (const auto& p : inside) EXPECT_EQ(rows.at(p), *catalog.row(p));
    }
    // Multi-byte characters in the folder: the slash is sought in bytes.
    put(catalog, "/L/\xC3\xA9t\xC3\xA9/f.wav", "/L");
    put(catalog, "/L/\xC3\xA9t\xC3\xA9/g/h.wav", "/L");
    EXPECT_EQ(catalog.rowsInFolder("/L/\xC3\xA9t\xC3\xA9").size(), 1u);
    put(catalog, "/top.wav", "/");
    EXPECT_EQ(catalog.rowsInFolder("/").size(), 1u);
    EXPECT_TRUE(catalog.rowsInFolder("/Nowhere").empty());
}

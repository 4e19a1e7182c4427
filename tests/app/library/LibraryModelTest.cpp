#include "app/library/LibraryModel.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "app/library/LibraryFixture.h"
#include "library/CatalogTestSupport.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A search held at SQLite's first question (under the catalog's lock)
// until released; it then counts the questions asked after and the stops
// among them. `slow` makes each later question take a millisecond, so that
// a search cannot outrun what stops it.
class HeldSearch {
public:
    HeldSearch(LibraryModel& model, bool slow) {
        model.setSearchStopProbe([this, slow](bool stop) {
            std::unique_lock lock(mutex_);
            if (!inside_) {
                inside_ = true;
                cv_.notify_all();
                cv_.wait(lock, [&] { return go_; });
                return;
            }
            ++after_;
            if (stop) ++stops_;
            lock.unlock();
            if (slow && !stop) std::this_thread::sleep_for(1ms);
        });
    }
    // Whether a search reached its first question.
    bool entered() {
        return waitUntil([&] {
            std::lock_guard lock(mutex_);
            return inside_;
        });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            go_ = true;
        }
        cv_.notify_all();
    }
    int after() {
        std::lock_guard lock(mutex_);
        return after_;
    }
    int stops() {
        std::lock_guard lock(mutex_);
        return stops_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool inside_ = false, go_ = false;
    int after_ = 0, stops_ = 0;
};

// 20,000 rows of "rain on a tin roof", and with `door` one "door slam".
void putRain(const fs::path& catalogFile, bool door) {
    Catalog catalog(catalogFile);
    SoundMeta rain, slam;
    rain.description = "rain on a tin roof";
    slam.description = "door slam";
    ASSERT_EQ(catalog.transaction([&] {
        for (int i = 0; i < 20000; ++i)
            catalog.upsert("/L/rain " + std::to_string(i) + ".wav", "/L", 10, 1, std::nullopt, rain);
        if (door) catalog.upsert("/L/door.wav", "/L", 10, 1, std::nullopt, slam);
    }),
              std::nullopt);
}

// A whole "rain" search, counting in `whole` how often SQLite asks on the
// way through its hits.
void searchWhole(LibraryModel& m, std::atomic<int>& whole) {
    m.setSearchStopProbe([&whole](bool) { ++whole; });
    m.setQuery("rain");
    ASSERT_TRUE(waitUntil([&] { return m.results().size() == 2000; }));
}

}  // namespace

TEST(LibraryModel, StartFolder) {
    {
        LibraryFixture f;
        f.put(f.music / "theme.wav");
        auto m = f.model();
        EXPECT_EQ(m->folder(), f.music);
        EXPECT_EQ(names(m->entries()), std::vector<std::string>{"theme.wav"});
        EXPECT_TRUE(m->indexing().empty());
        EXPECT_EQ(m->message(), std::nullopt);
    }
    {
        LibraryFixture f({"Lib", "Other"});
        fs::create_directories(f.dir / "Other");
        f.put(f.lib / "a.wav");
        auto m = f.model();
        // The first root as stored; every root scanned.
        EXPECT_EQ(m->folder(), f.lib);
        EXPECT_EQ(m->indexing(), (std::set<std::string>{f.lib.string(), (f.dir / "Other").string()}));
        ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
        EXPECT_EQ(m->indexedCount(), 1);
        ASSERT_EQ(m->entries().size(), 1u);
        ASSERT_TRUE(m->entries()[0].row);  // listed again after the scan
        EXPECT_EQ(m->entries()[0].row->path, realPath(f.lib) + "/a.wav");
    }
}

TEST(LibraryModel, AddRootStandardisesAndScansOncePerStoredString) {
    LibraryFixture f;
    f.put(f.lib / "Sub/one.wav");
    auto m = f.model();
    QSignalSpy indexing(m.get(), &LibraryModel::indexingChanged);
    m->addRoot(f.lib / "./Sub/../");
    EXPECT_EQ(f.settings->value().libraryRoots, std::vector<std::string>{f.lib.string()});
    EXPECT_EQ(m->indexing(), std::set<std::string>{f.lib.string()});
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    EXPECT_EQ(m->indexedCount(), 1);
    EXPECT_EQ(m->folder(), f.music);  // the folder is not opened

    // The same string again: nothing, no scan.
    indexing.clear();
    m->addRoot(f.lib.string() + "/");
    m->addRoot(f.lib);
    EXPECT_EQ(indexing.count(), 0);
    EXPECT_EQ(f.settings->value().libraryRoots.size(), 1u);

    // The same folder through a link is a second root, scanned on its own.
    fs::create_directory_symlink(f.lib, f.dir / "Link");
    m->addRoot(f.dir / "Link");
    EXPECT_EQ(f.settings->value().libraryRoots,
              (std::vector<std::string>{f.lib.string(), (f.dir / "Link").string()}));
    EXPECT_EQ(m->indexing(), std::set<std::string>{(f.dir / "Link").string()});
    EXPECT_EQ(m->roots(), (std::vector<std::string>{realPath(f.lib), realPath(f.lib)}));
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    EXPECT_EQ(m->indexedCount(), 1);
}

TEST(LibraryModel, RemoveRoot) {
    LibraryFixture f;
    f.put(f.lib / "a.wav");
    f.put(f.lib / "b.wav");
    fs::create_directory_symlink(f.lib, f.dir / "Link");
    auto m = f.model();
    m->addRoot(f.lib);
    m->addRoot(f.dir / "Link");
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    Catalog& catalog = *m->catalog();
    put(catalog, "/Elsewhere/x.wav", "/Elsewhere");

    // A path that is not stored: the settings stay, its rows go.
    m->removeRoot("/Elsewhere");
    EXPECT_EQ(f.settings->value().libraryRoots.size(), 2u);
    EXPECT_EQ(catalog.row("/Elsewhere/x.wav"), std::nullopt);
    EXPECT_EQ(catalog.facets({}).total, 2);

    // One of two stored forms of one folder: its rows, and what only they
    // hold, stay for the other.
    m->removeRoot((f.dir / "Link").string());
    EXPECT_EQ(f.settings->value().libraryRoots, std::vector<std::string>{f.lib.string()});
    EXPECT_EQ(catalog.facets({}).total, 2);
    EXPECT_EQ(m->indexedCount(), 2);
    // The last form: the rows go and the facets follow.
    m->removeRoot(f.lib.string());
    EXPECT_TRUE(f.settings->value().libraryRoots.empty());
    EXPECT_EQ(catalog.facets({}).total, 0);
    EXPECT_EQ(m->indexedCount(), 0);
}

TEST(LibraryModel, FolderListing) {
    LibraryFixture f;
    for (const char* name : {"Take 2.wav", "Take 10.wav", "take 1.wav", "notes.txt", ".hidden.wav", "x.AIFF",
                             ".Hidden Folder/in.wav", "Zeta/z.wav", "alpha/a.wav", "Bank.wav/inner.wav"})
        f.put(f.lib / name);
    fs::create_symlink(f.lib / "take 1.wav", f.lib / "link to take.wav");
    fs::create_directory_symlink(f.lib / "alpha", f.lib / "link to alpha");
    auto m = f.model();
    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    m->open(f.lib);
    EXPECT_EQ(m->folder(), f.lib);
    EXPECT_EQ(names(m->entries()), (std::vector<std::string>{"alpha/", "Bank.wav/", "Zeta/", "link to take.wav",
                                                            "take 1.wav", "Take 2.wav", "Take 10.wav", "x.AIFF"}));
    // Every file has the row of its canonical path; a link the row of its target.
    const std::string r = realPath(f.lib);
    for (const BrowserEntry& e : m->entries()) {
        if (e.isFolder) {
            EXPECT_EQ(e.row, std::nullopt);
            continue;
        }
        EXPECT_EQ(e.row, m->catalog()->row(realPath(e.url))) << e.url;
        ASSERT_TRUE(e.row) << e.url;
    }
    EXPECT_EQ(m->entries()[3].row->path, r + "/take 1.wav");
    EXPECT_EQ(m->entries()[3].url, f.lib / "link to take.wav");

    // Through a path that is not canonical, the rows are the same.
    fs::create_directory_symlink(f.lib, f.dir / "Link");
    const BrowserList before = m->entries();
    m->open(f.dir / "Link");
    ASSERT_EQ(m->entries().size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(m->entries()[i].row, before[i].row);

    // Folders that cannot be listed: the folder is set, nothing listed.
    QSignalSpy folderChanged(m.get(), &LibraryModel::folderChanged);
    m->open(f.dir / "Missing");
    EXPECT_EQ(m->folder(), f.dir / "Missing");
    EXPECT_TRUE(m->entries().empty());
    m->open(f.lib / "take 1.wav");
    EXPECT_EQ(m->folder(), f.lib / "take 1.wav");
    EXPECT_TRUE(m->entries().empty());
    EXPECT_EQ(folderChanged.count(), 2);
}

TEST(LibraryModel, GoingUp) {
    LibraryFixture f;
    fs::create_directories(f.lib / "Sub");
    auto m = f.model();
    m->open(f.lib / "Sub");
    m->goUp();
    EXPECT_EQ(m->folder(), f.lib);
    m->open(f.lib.string() + "/Sub/");
    m->goUp();
    EXPECT_EQ(m->folder(), f.lib);
    m->open("/");
    const BrowserList root = m->entries();
    QSignalSpy changes(m.get(), &LibraryModel::folderChanged);
    m->goUp();
    EXPECT_EQ(m->folder(), fs::path("/"));
    EXPECT_EQ(changes.count(), 0);
    EXPECT_TRUE(m->entries().sameList(root));
}

TEST(LibraryModel, AnEntryChangesOnceItsFileIsCatalogued) {
    LibraryFixture f;
    f.put(f.lib / "new.wav");
    auto m = f.model();
    m->open(f.lib);
    const BrowserList before = m->entries();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].row, std::nullopt);
    QSignalSpy entries(m.get(), &LibraryModel::entriesChanged);
    m->open(f.lib);  // nothing changed: nothing announced
    EXPECT_EQ(entries.count(), 0);

    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    ASSERT_TRUE(m->entries()[0].row);  // the scan's end listed the folder again
    EXPECT_EQ(m->entries()[0].url, before[0].url);
    EXPECT_NE(m->entries()[0], before[0]);
    EXPECT_EQ(entries.count(), 1);
}

TEST(LibraryModel, Places) {
    LibraryFixture f;
    f.settings->update([&](AppSettings& s) { s.pullsFolder = f.music.string(); });
    auto m = f.model();
    // The pulls folder is listed even where it repeats a home folder.
    EXPECT_EQ(m->places(), (std::vector<fs::path>{f.music, f.desktop, f.downloads, f.music,
                                                  "/media/ann/Field Recordings", "/mnt/share"}));
    Volumes::setMountInfoPath(f.dir / "none");
    EXPECT_EQ(m->places().size(), 4u);
}

TEST(LibraryModel, WhatCountsAsSearching) {
    LibraryFixture f;
    auto m = f.model();
    EXPECT_FALSE(m->isSearching());
    for (const char* blank : {" ", "\t \t", "\u00A0", "\u3000 "}) {
        m->setQuery(blank);
        EXPECT_FALSE(m->isSearching()) << blank;
    }
    for (const char* text : {"\n", " x ", "-rain"}) {
        m->setQuery(text);
        EXPECT_TRUE(m->isSearching()) << text;
    }
    m->setQuery("");
    m->setCategory(QString(""));
    EXPECT_TRUE(m->isSearching());
    m->setCategory(std::nullopt);
    m->setLibraryFilter(QString("Lib"));
    EXPECT_TRUE(m->isSearching());
}

TEST(LibraryModel, Searching) {
    LibraryFixture f;
    for (const char* name : {"Doors/DOORWood_Slam_JD.wav", "Doors/DOORMetl_Creak_JD.wav", "Rain/WTHRRain_Soft_AM.wav"})
        f.put(f.lib / name);
    auto m = f.model();
    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    QSignalSpy results(m.get(), &LibraryModel::resultsChanged);

    // Five changes within the wait run one query, with the final text.
    for (const char* text : {"d", "do", "doo", "door", "doorw"}) m->setQuery(text);
    ASSERT_TRUE(waitUntil([&] { return results.count() == 1; }));
    settle();
    EXPECT_EQ(f.searches.load(), 1);
    EXPECT_EQ(f.searched, std::vector<std::string>{"doorw"});
    ASSERT_EQ(m->results().size(), 1u);
    const BrowserEntry& hit = m->results()[0];
    EXPECT_FALSE(hit.isFolder);
    ASSERT_TRUE(hit.row);
    EXPECT_EQ(hit.url, fs::path(hit.row->path));
    EXPECT_EQ(hit.row->meta().catID, "DOORWood");

    // Blanks: no search at all; the hits go at once.
    m->setQuery("   ");
    EXPECT_TRUE(m->results().empty());
    settle();
    EXPECT_EQ(f.searches.load(), 1);

    // Every word excluded: every file under the roots, in path order.
    m->setQuery("-nothing");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 3; }));
    const std::string r = realPath(f.lib);
    EXPECT_EQ(paths(m->results()), (std::vector<std::string>{r + "/Doors/DOORMetl_Creak_JD.wav",
                                                            r + "/Doors/DOORWood_Slam_JD.wav",
                                                            r + "/Rain/WTHRRain_Soft_AM.wav"}));

    // A category alone; the same category again runs nothing.
    m->setQuery("");
    ASSERT_FALSE(m->categories().empty());
    const QString doors = m->categories().front().value;
    const int before = f.searches.load();
    m->setCategory(doors);
    ASSERT_TRUE(waitUntil([&] { return f.searches.load() == before + 1 && m->results().size() == 2; }));
    m->setCategory(doors);
    settle();
    EXPECT_EQ(f.searches.load(), before + 1);
}

// A search overtaken by a newer one publishes nothing, even when it ends
// last; the old hits stay until the new ones arrive.
TEST(LibraryModel, AnOvertakenSearchNeverPublishes) {
    LibraryFixture f;
    f.put(f.lib / "first_take.wav");
    f.put(f.lib / "second_take.wav");
    auto m = f.model();
    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));

    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, released = false;
    std::atomic<int> finished{0};
    m->setSearchProbe([&](const Catalog::Filter& filter) {
        if (filter.query == "first") {
            std::unique_lock lock(mutex);
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return released; });
        }
        ++finished;
    });
    QSignalSpy results(m.get(), &LibraryModel::resultsChanged);
    m->setQuery("first");
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return entered;
    }));
    m->setQuery("second");
    ASSERT_TRUE(waitUntil([&] { return results.count() == 1; }));
    EXPECT_EQ(names(m->results()), std::vector<std::string>{"second_take.wav"});
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitUntil([&] { return finished.load() == 2; }));
    settle();
    EXPECT_EQ(results.count(), 1);
    EXPECT_EQ(names(m->results()), std::vector<std::string>{"second_take.wav"});

    // The previous hits stay visible while the next search waits.
    m->setQuery("take");
    EXPECT_EQ(names(m->results()), std::vector<std::string>{"second_take.wav"});
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 2; }));
}

// A search overtaken while SQLite runs it is told to stop at SQLite's next
// question and ends there: it asks nothing after, far from the end of its
// hits, publishes nothing, and the newer search's hits arrive.
TEST(LibraryModel, ASearchOvertakenInsideTheCatalogStopsThere) {
    LibraryFixture f;
    ASSERT_NO_FATAL_FAILURE(putRain(f.catalogFile, true));
    auto m = f.model();
    std::atomic<int> whole{0};
    ASSERT_NO_FATAL_FAILURE(searchWhole(*m, whole));
    ASSERT_GT(whole.load(), 40) << "a search long enough to be overtaken in the middle";
    m->setQuery("");
    settle();

    // Another, held at SQLite's first question (under the catalog's lock)
    // until a newer search is scheduled: it is told to stop once, at its
    // next question, and asks nothing after.
    HeldSearch held(*m, false);
    QSignalSpy results(m.get(), &LibraryModel::resultsChanged);
    m->setQuery("roof");
    ASSERT_TRUE(held.entered());
    m->setQuery("door");
    held.release();
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    EXPECT_EQ(names(m->results()), std::vector<std::string>{"door.wav"});
    settle();
    EXPECT_EQ(results.count(), 1);
    EXPECT_EQ(held.stops(), 1);
    EXPECT_LT(held.after(), whole.load() / 2) << "the overtaken search visited its hits to the end";
}

// The model's end stops a search SQLite is running: asked next whether to
// go on, it is told to stop, and it ends there, far from the end of its
// hits, instead of being waited for to the last row.
TEST(LibraryModel, ItsEndStopsARunningSearch) {
    LibraryFixture f;
    ASSERT_NO_FATAL_FAILURE(putRain(f.catalogFile, false));
    auto m = f.model();
    std::atomic<int> whole{0};
    ASSERT_NO_FATAL_FAILURE(searchWhole(*m, whole));
    ASSERT_GT(whole.load(), 40) << "a search long enough to be ended in the middle";

    // Another, held at SQLite's first question until the model ends, and
    // slow after it (a millisecond a question): it is told to stop once,
    // at the next question, and asks nothing after.
    HeldSearch held(*m, true);
    m->setQuery("roof");
    ASSERT_TRUE(held.entered());
    held.release();
    m.reset();
    EXPECT_EQ(held.stops(), 1);
    EXPECT_LT(held.after(), whole.load() / 2) << "the hits were not all visited";
}

// A query longer than a search takes (the field holds 32,767 characters, a
// hyphen chain of 16,384 words) is searched by its first words, and the
// model says so for the search field.
TEST(LibraryModel, ALongQueryIsSearchedByItsFirstWordsAndSaidSo) {
    LibraryFixture f;
    f.put(f.lib / "Doors/DOORWood_Slam_JD.wav");
    f.put(f.lib / "Rain/WTHRRain_Soft_AM.wav");
    auto m = f.model();
    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    QSignalSpy notes(m.get(), &LibraryModel::searchNoteChanged);
    QString chain = "d";
    for (int i = 1; i < 16384; ++i) chain += "-d";
    m->setQuery(chain);
    EXPECT_EQ(m->searchNote(), std::optional<QString>("Only the first 32 words are searched"));
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    EXPECT_EQ(names(m->results()), std::vector<std::string>{"DOORWood_Slam_JD.wav"});
    m->setQuery(chain + " more");
    EXPECT_EQ(notes.count(), 1);  // the same note
    m->setQuery(QString(300, QChar('w')) + " rain");
    EXPECT_EQ(m->searchNote(), std::optional<QString>("Only the first 256 characters are searched"));
    m->setQuery(QString(200, QChar('w')) + " " + QString(100, QChar('r')));
    EXPECT_EQ(m->searchNote(), std::optional<QString>("Only the first word is searched"));
    m->setQuery("door slam");
    EXPECT_EQ(m->searchNote(), std::nullopt);
    EXPECT_EQ(notes.count(), 4);
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
}

TEST(LibraryModel, ASearchRunsAgainAfterAScan) {
    LibraryFixture f;
    f.put(f.lib / "fx_one.wav");
    auto m = f.model();
    m->setQuery("fx");
    ASSERT_TRUE(waitUntil([&] { return f.searches.load() == 1; }));
    settle();
    EXPECT_TRUE(m->results().empty());
    m->addRoot(f.lib);
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    EXPECT_EQ(f.searches.load(), 2);
}

TEST(LibraryModel, WithoutRootsSearchesAndFacetsCoverTheWholeCatalog) {
    LibraryFixture f;
    {
        Catalog catalog(f.catalogFile);
        SoundMeta rain;
        rain.category = "WEATHER";
        rain.library = "Nature";
        put(catalog, "/A/rain.wav", "/A", rain);
        put(catalog, "/B/rain heavy.wav", "/B", rain);
        put(catalog, "/B/other.wav", "/B");
    }
    auto m = f.model();
    EXPECT_EQ(m->indexedCount(), 3);
    EXPECT_EQ(m->categories(), (std::vector<FacetCount>{{"WEATHER", 2}}));
    EXPECT_EQ(m->libraries(), (std::vector<FacetCount>{{"Nature", 2}}));
    m->setQuery("rain");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 2; }));

    // With a root, only its files count.
    f.settings->update([](AppSettings& s) { s.libraryRoots = {"/B"}; });
    m->setQuery("rain heavy");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    EXPECT_EQ(m->results()[0].url, fs::path("/B/rain heavy.wav"));
}

TEST(LibraryModel, AStoredRootThatIsGone) {
    LibraryFixture f;
    const fs::path gone = f.dir / "Gone";
    {
        Catalog catalog(f.catalogFile);
        put(catalog, realPath(gone) + "/kept.wav", realPath(gone));
    }
    f.settings->update([&](AppSettings& s) { s.libraryRoots = {gone.string()}; });
    auto m = f.model();
    EXPECT_EQ(m->folder(), gone);
    EXPECT_TRUE(m->entries().empty());
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::idle(*m); }));
    // Offline, not deleted: its rows stay searchable.
    EXPECT_EQ(m->indexedCount(), 1);
    m->setQuery("kept");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
}

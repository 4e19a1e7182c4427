// The library model when the catalog cannot take what it is given (damaged
// at start, read-only, full, locked by another program), when a drive
// vanishes from under a library, when a file is touched after a colleague's
// edit, and when a colleague's log is huge: nothing is lost, nothing is
// reported done that was not, and quitting never waits for a long pull.
#include <QSignalSpy>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <set>
#include <ctime>
#include <fstream>

#include <fmt/format.h>

#include "app/library/LibraryFixture.h"
#include "library/CatalogTestSupport.h"
#include "library/FaultyVfs.h"
#include "library/ChangeLog.h"
#include "library/RIFFMeta.h"
#include "support/Timeouts.h"
#include "support/TmpfsMount.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The one change log's place the catalog holds (0 before any is stored).
int64_t storedOffset(const RawDb& raw) {
    const std::string offset = raw.one("SELECT offset FROM log_offsets");
    return offset == "<none>" ? int64_t(0) : std::stoll(offset);
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04d}-{:02d}-{:02d}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

// Moves a file's modification time on by a second, as an editor or a
// restore would, without changing a byte.
void touch(const fs::path& file) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ++times[1].tv_sec;
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// Another program's write lock on the catalog file, held until released.
class OtherProgramsLock {
public:
    explicit OtherProgramsLock(const fs::path& file) : raw_(file) { raw_.exec("BEGIN IMMEDIATE"); }
    ~OtherProgramsLock() { release(); }
    void release() {
        if (held_) raw_.exec("COMMIT");
        held_ = false;
    }

private:
    RawDb raw_;
    bool held_ = true;
};

// A colleague's log of `count` entries for "a.wav", entry i setting NOTES
// to i; the offset after each line.
std::vector<int64_t> numberedLog(const fs::path& root, int count) {
    const std::string line = *colleague("a.wav", {{"NOTES", "#"}}).encoded() + "\n";
    const std::string head = line.substr(0, line.find('#')), tail = line.substr(line.find('#') + 1);
    std::string bytes;
    std::vector<int64_t> ends;
    ends.reserve(static_cast<size_t>(count));
    for (int i = 1; i <= count; ++i) {
        bytes += head;
        bytes += std::to_string(i);
        bytes += tail;
        ends.push_back(static_cast<int64_t>(bytes.size()));
    }
    fs::create_directories(colleagueLog(root).parent_path());
    writeBytes(colleagueLog(root), bytes);
    return ends;
}

std::string aiff(const fs::path& file) {
    writeTestFile(file, 1, 100, 48000, {.kind = FileKind::aiff});
    return readBytes(file);
}

}  // namespace

// --- The catalog file at start ---

// However the file is broken, the model starts with a new catalog, says so,
// keeps the old file beside it, and the start's rescan fills the new one.
TEST(LibraryCatalogAtStart, ADamagedCatalogIsSetAsideAndRebuilt) {
    for (const auto& [how, what] : kDamages) {
        SCOPED_TRACE(what);
        LibraryFixture f({"Lib"});
        for (int i = 0; i < 120; ++i) f.put(f.lib / fmt::format("Folder {}/take {}.wav", i % 5, i));
        settledModel(f).reset();
        ASSERT_GT(fs::file_size(f.catalogFile), 8192u);
        damage(f.catalogFile, how);

        auto m = f.model();
        const fs::path aside = f.catalogFile.parent_path() / ("Catalog.sqlite.damaged-" + today());
        EXPECT_EQ(m->damagedCatalog(), aside);
        EXPECT_TRUE(fs::exists(fs::symlink_status(aside)));
        ASSERT_TRUE(m->catalog());
        EXPECT_TRUE(message(*m).starts_with("The library catalog was damaged (")) << message(*m);
        EXPECT_TRUE(message(*m).ends_with(
            fmt::format(". It was set aside as \"Catalog.sqlite.damaged-{}\" and is being rebuilt", today())))
            << message(*m);
        waitSettled(*m);
        EXPECT_EQ(m->indexedCount(), 120);
        m->setQuery("take");
        EXPECT_TRUE(waitUntil([&] { return m->results().size() == 120; }));
    }
}

// A catalog that cannot be had at all: the model says so, lists folders,
// and still saves WAV files, whose metadata lives in the files themselves;
// what only a catalog could hold is reported as not stored.
TEST(LibraryCatalogAtStart, WithoutACatalogWavFilesAreStillSaved) {
    LibraryFixture f({"Lib"});
    writeBytes(f.catalogFile.parent_path(), "a file where the catalog's folder should be");
    const fs::path wavFile = f.put(f.lib / "a.wav");
    const fs::path aiffFile = f.lib / "b.aif";
    const std::string aiffBytes = aiff(aiffFile);
    auto m = f.model();
    EXPECT_EQ(m->catalog(), nullptr);
    EXPECT_EQ(m->damagedCatalog(), std::nullopt);
    EXPECT_TRUE(message(*m).starts_with("No library catalog: Can't create the folder")) << message(*m);
    ASSERT_EQ(m->entries().size(), 2u);
    EXPECT_EQ(m->entries()[0].row, std::nullopt);
    m->setQuery("a");
    settle(150ms);
    EXPECT_EQ(f.searches.load(), 0);
    m->addRoot(f.dir / "Other");
    EXPECT_TRUE(m->indexing().empty());

    m->save({{"NOTES", "kept in the file"}}, 2, {wavFile, aiffFile});
    waitSettled(*m);
    EXPECT_EQ(RIFFMeta::read(wavFile).notes, "kept in the file");
    EXPECT_EQ(RIFFMeta::read(wavFile).rating, 2);
    EXPECT_EQ(readBytes(aiffFile), aiffBytes);
    EXPECT_TRUE(message(*m).starts_with("Couldn't update the catalog for 2 files (a.wav, b.aif): Can't create the folder"))
        << message(*m);
    // The team hears of what was stored: the WAV file's edit.
    const auto entries = ownEntries(f.lib);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "a.wav");
    // Nothing else needs the catalog to say nothing.
    m->renameToUCS({wavFile});
    m->pullColleagues();
    EXPECT_EQ(m->pendingWrites(), 0);
}

// A catalog on a file system mounted read-only answers searches; every write
// says it was refused, never "Saved", and a WAV file's edit is still made.
TEST(LibraryCatalogAtStart, AReadOnlyCatalog) {
    LibraryFixture f({"Lib"});
    TmpfsMount store(f.catalogFile.parent_path());
    if (!store.mounted()) GTEST_SKIP() << store.refused();
    const fs::path wavFile = f.put(f.lib / "a.wav");
    const fs::path aiffFile = f.lib / "b.aif";
    aiff(aiffFile);
    settledModel(f).reset();
    ASSERT_TRUE(store.setReadOnly(true));

    auto m = f.model();
    ASSERT_TRUE(m->catalog());
    EXPECT_EQ(m->damagedCatalog(), std::nullopt);
    EXPECT_EQ(message(*m), "The library catalog is read-only: changes can't be stored");
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 2);
    m->setQuery("b");
    EXPECT_TRUE(waitUntil([&] { return m->results().size() == 1; }));

    m->save({{"DESCRIPTION", "new"}}, std::nullopt, {aiffFile});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog for 1 file (b.aif): attempt to write a readonly database");
    EXPECT_EQ(rowMeta(*m, aiffFile).description, "");
    m->save({{"DESCRIPTION", "new"}}, std::nullopt, {wavFile});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog for 1 file (a.wav): attempt to write a readonly database");
    EXPECT_EQ(RIFFMeta::read(wavFile).description, "new");

    f.put(f.lib / "c.wav");
    m->rescanAll();
    waitSettled(*m);
    EXPECT_TRUE(message(*m) == "Couldn't update the catalog for 2 files (a.wav, c.wav): attempt to write a readonly database" ||
                message(*m) == "Couldn't update the catalog for 2 files (c.wav, a.wav): attempt to write a readonly database")
        << message(*m);
    m.reset();
    store.setReadOnly(false);
}

// A catalog whose disk fills: the scan names the files it could not write,
// counted in plain words, and the reason; with room again the next scan
// writes them.
TEST(LibraryCatalogAtStart, AFullDiskIsReported) {
    LibraryFixture f({"Lib"});
    FaultyVfs disk;
    f.put(f.lib / "first.wav");
    auto m = settledModel(f);
    disk.failAt(1, SQLITE_FULL, ENOSPC, true);
    f.put(f.lib / "take.wav");
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog for 1 file (take.wav): the disk holding the library catalog "
                           "is full");
    std::set<std::string> takes = {"take.wav"};
    for (int i = 1; i < 30; ++i) takes.insert(f.put(f.lib / fmt::format("take {}.wav", i)).filename().string());
    m->rescanAll();
    waitSettled(*m);
    const std::string text = message(*m);
    const std::string head = "Couldn't update the catalog for 30 files (";
    const std::string tail = " and 27 more): the disk holding the library catalog is full";
    ASSERT_TRUE(text.starts_with(head) && text.ends_with(tail)) << text;
    const std::string named = text.substr(head.size(), text.size() - head.size() - tail.size());
    size_t names = 0;
    for (size_t at = 0; at <= named.size(); ++names) {
        const size_t comma = std::min(named.find(", ", at), named.size());
        EXPECT_TRUE(takes.contains(named.substr(at, comma - at))) << named;
        at = comma + 2;
    }
    EXPECT_EQ(names, 3u);
    EXPECT_EQ(m->indexedCount(), 1);

    disk.lift();
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 31) << message(*m);
}

// An intact catalog on a full disk at start: searches, facets and listings
// answer from it, the window says changes are not saved until space is
// freed, and once there is room the next scan writes, by itself, and the
// notice goes.
TEST(LibraryCatalogAtStart, AFullDiskAtStartReadsAndWritesAgainOnceThereIsRoom) {
    LibraryFixture f({"Lib"});
    TmpfsMount store(f.catalogFile.parent_path(), 2 << 20);
    if (!store.mounted()) GTEST_SKIP() << store.refused();
    const fs::path file = f.put(f.lib / "door.wav");
    settledModel(f).reset();
    {
        std::ofstream filler(store.folder() / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }

    auto m = f.model();
    ASSERT_TRUE(m->catalog());
    EXPECT_EQ(m->damagedCatalog(), std::nullopt);
    EXPECT_EQ(message(*m), "The disk holding the library catalog is full: changes are not saved until space is freed");
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 1);
    ASSERT_EQ(m->entries().size(), 1u);
    EXPECT_TRUE(m->entries()[0].row);
    m->setQuery("door");
    EXPECT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    m->setQuery("");

    fs::remove(store.folder() / "filler");
    f.put(f.lib / "window.wav");
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 2);
    EXPECT_FALSE(m->catalog()->readOnly());
    EXPECT_EQ(m->message(), std::nullopt);
    m->save({{"NOTES", "again"}}, std::nullopt, {file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 1 file(s)");
    EXPECT_EQ(rowMeta(*m, file).notes, "again");
}

// --- Another program's lock ---

// Held past the time-out, the lock is reported by every kind of write, with
// the number of files; nothing is taken for done, and once it is gone the
// next write does what was missed.
TEST(LibraryLockedCatalog, EveryWriteReportsTheLock) {
    LibraryFixture f({"Lib"});
    const fs::path wavFile = f.put(f.lib / "a.wav");
    const fs::path aiffFile = f.lib / "b.aif";
    aiff(aiffFile);
    auto m = settledModel(f);
    m->catalog()->setBusyTimeout(20ms);
    OtherProgramsLock lock(f.catalogFile);

    for (int i = 0; i < 3; ++i) f.put(f.lib / fmt::format("new {}.wav", i));
    m->rescanAll();
    waitSettled(*m);
    EXPECT_TRUE(message(*m).starts_with("Couldn't update the catalog for 3 files (new ")) << message(*m);
    EXPECT_TRUE(message(*m).ends_with(".wav): database is locked")) << message(*m);
    EXPECT_EQ(m->indexedCount(), 2);

    colleagueWrites(f.lib, {colleague("a.wav", {{"KEYWORDS", "from bob"}})});
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog with your team's changes: database is locked");
    EXPECT_EQ(m->catalog()->logOffset(colleagueLog(f.lib).string()), 0);

    m->save({{"DESCRIPTION", "mine"}}, std::nullopt, {wavFile, aiffFile});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog for 2 files (a.wav, b.aif): database is locked");
    EXPECT_EQ(RIFFMeta::read(wavFile).description, "mine");  // the file holds it
    EXPECT_EQ(rowMeta(*m, aiffFile).description, "");
    ASSERT_EQ(ownEntries(f.lib).size(), 1u);  // only what was stored is told
    EXPECT_EQ(ownEntries(f.lib)[0].path, "a.wav");

    lock.release();
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "1 metadata changes from your team");
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 5);
    EXPECT_EQ(rowMeta(*m, wavFile).description, "mine");  // caught up from the file
    EXPECT_EQ(rowMeta(*m, wavFile).keywords, "from bob");
}

// A rename whose row the catalog refuses to move leaves the file where it
// was, so that the row and what is kept for it are not lost to the rescan.
TEST(LibraryLockedCatalog, ARenameTheCatalogRefusesMovesNothing) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    m->save({{"CATID", "WINDGust"}, {"FXNAME", "Strong"}}, std::nullopt, {file});
    waitSettled(*m);
    m->catalog()->setBusyTimeout(20ms);
    OtherProgramsLock lock(f.catalogFile);
    m->renameToUCS({file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Renamed 0 file(s); couldn't update the catalog for 1 file (a.wav): database is locked");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_FALSE(fs::exists(f.lib / "WINDGust_Strong.wav"));
}

// A short lock is waited for: the save is "Saved", and stored.
TEST(LibraryLockedCatalog, AShortLockIsWaitedFor) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    OtherProgramsLock lock(f.catalogFile);
    std::atomic<int> waits{0};
    m->catalog()->setBusyObserver([&] {
        if (waits++ == 0) lock.release();
    });
    m->save({{"NOTES", "n"}}, std::nullopt, {file});
    waitSettled(*m);
    m->catalog()->setBusyObserver({});
    EXPECT_GE(waits.load(), 1);
    EXPECT_EQ(message(*m), "Saved metadata to 1 file(s)");
    EXPECT_EQ(rowMeta(*m, file).notes, "n");
}

// --- Colleagues' edits kept apart ---

// A colleague's edit outlives a touch of its file and the rescan that reads
// the file again; a local save writes it into the file and takes over from
// it; after that, what the file says stands.
TEST(LibraryTeamEdits, ATouchKeepsThemAndALocalSaveSupersedesThem) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    colleagueWrites(f.lib, {colleague("a.wav", {{"DESCRIPTION", "from bob"}, {"KEYWORDS", "rain"}})});
    m->pullColleagues();
    waitSettled(*m);
    ASSERT_EQ(rowMeta(*m, file).description, "from bob");

    touch(file);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, file).description, "from bob");
    EXPECT_EQ(rowMeta(*m, file).keywords, "rain");
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, file).description, "from bob");

    // Saved here: the file takes the colleague's fields along with the edit,
    // and the catalog keeps nothing apart any more.
    m->save({{"DESCRIPTION", "mine"}}, std::nullopt, {file});
    waitSettled(*m);
    EXPECT_EQ(RIFFMeta::read(file).description, "mine");
    EXPECT_EQ(RIFFMeta::read(file).keywords, "rain");
    EXPECT_TRUE(m->catalog()->keptEdits(realPath(file)).empty());
    touch(file);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, file).description, "mine");
    EXPECT_EQ(rowMeta(*m, file).keywords, "rain");
}

// A file that keeps its metadata only in the catalog (no WAV chunks to
// write into) keeps a local save through a touch and a rescan too.
TEST(LibraryTeamEdits, ASaveOfAFileWithoutChunksSurvivesARescan) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.lib / "b.aif";
    aiff(file);
    auto m = settledModel(f);
    m->save({{"DESCRIPTION", "only in the catalog"}}, 4, {file});
    waitSettled(*m);
    touch(file);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, file).description, "only in the catalog");
    EXPECT_EQ(rowMeta(*m, file).rating, 4);
}

// A UCS rename takes what is kept for the file to its new name.
TEST(LibraryTeamEdits, TheyMoveWithARename) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "take.wav");
    auto m = settledModel(f);
    m->save({{"CATID", "RAINSoft"}, {"FXNAME", "Roof"}}, std::nullopt, {file});
    waitSettled(*m);
    colleagueWrites(f.lib, {colleague("take.wav", {{"NOTES", "from bob"}})});
    m->pullColleagues();
    waitSettled(*m);
    m->renameToUCS({file});
    waitSettled(*m);
    const fs::path renamed = f.lib / "RAINSoft_Roof.wav";
    ASSERT_TRUE(fs::exists(renamed));
    EXPECT_EQ(m->catalog()->keptEdits(realPath(renamed)).size(), 1u);
    touch(renamed);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, renamed).notes, "from bob");
    EXPECT_EQ(rowMeta(*m, renamed).catID, "RAINSoft");
}

// A drive mounted inside a library, with a colleague's edit in one of its
// files, unmounted and rescanned: the rows and the edit stay, shown offline
// in the folder and in searches; mounted again and rescanned, all is live.
TEST(LibraryTeamEdits, AVanishedMountLosesNothing) {
    LibraryFixture f({"Lib"});
    TmpfsMount drive(f.lib / "Drive");
    if (!drive.mounted()) GTEST_SKIP() << drive.refused();
    f.put(f.lib / "top.wav");
    for (int i = 0; i < 100; ++i) f.put(f.lib / fmt::format("Drive/Set {}/rain {}.wav", i % 4, i));
    auto m = settledModel(f);
    ASSERT_EQ(m->indexedCount(), 101);
    colleagueWrites(f.lib, {colleague("Drive/Set 1/rain 1.wav", {{"DESCRIPTION", "from bob"}})});
    m->pullColleagues();
    waitSettled(*m);
    const fs::path edited = f.lib / "Drive/Set 1/rain 1.wav";
    ASSERT_EQ(rowMeta(*m, edited).description, "from bob");

    drive.unmount();
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 101);
    EXPECT_EQ(rowMeta(*m, edited).description, "from bob");
    EXPECT_TRUE(m->catalog()->isOffline(realPath(f.lib) + "/Drive/Set 1/rain 1.wav"));
    // Searches find them, offline; the mount folder lists its offline
    // folders and files.
    m->setQuery("rain");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 100; }));
    for (const BrowserEntry& e : m->results()) EXPECT_TRUE(e.offline) << e.url;
    m->setQuery("");
    m->open(f.lib / "Drive");
    EXPECT_EQ(names(m->entries()), (std::vector<std::string>{"Set 0/", "Set 1/", "Set 2/", "Set 3/"}));
    for (const BrowserEntry& e : m->entries()) EXPECT_TRUE(e.offline);
    m->open(f.lib / "Drive/Set 1");
    ASSERT_EQ(m->entries().size(), 25u);
    EXPECT_TRUE(m->entries()[0].offline);
    EXPECT_TRUE(m->entries()[0].row);
    m->open(f.lib);
    EXPECT_EQ(names(m->entries()), (std::vector<std::string>{"Drive/", "top.wav"}));
    EXPECT_FALSE(m->entries()[0].offline);  // the folder itself is there

    drive.mount();
    ASSERT_TRUE(drive.mounted()) << drive.refused();
    for (int i = 0; i < 100; ++i) f.put(f.lib / fmt::format("Drive/Set {}/rain {}.wav", i % 4, i));
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 101);
    EXPECT_EQ(rowMeta(*m, edited).description, "from bob");
    EXPECT_FALSE(m->catalog()->isOffline(realPath(edited)));
    m->open(f.lib / "Drive/Set 1");
    ASSERT_EQ(m->entries().size(), 25u);
    EXPECT_FALSE(m->entries()[0].offline);
}

// --- Long pulls ---

// A colleague's log of a million lines: the model ends in the middle of
// pulling it, between two batches; the stored offset is the end of the last
// line applied, and a pull after that goes on from there.
TEST(LibraryLongPulls, AMillionLineLogEndsWithTheModel) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    constexpr int kLines = 1000000;
    const std::vector<int64_t> ends = numberedLog(f.lib, kLines);
    const int64_t size = ends.back();
    m->pullColleagues();
    RawDb raw(f.catalogFile);
    auto stored = [&] { return storedOffset(raw); };
    ASSERT_TRUE(waitUntil([&] { return stored() > 0; }, timeout(60s)));
    const auto quitting = std::chrono::steady_clock::now();
    m.reset();
    const double quitMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - quitting).count();
    std::cout << "the model ended " << quitMs << " ms after it was asked to\n";
    ::testing::Test::RecordProperty("quit_ms", fmt::format("{:.1f}", quitMs));

    const int64_t offset = stored();
    EXPECT_LT(offset, size);
    const auto line = std::find(ends.begin(), ends.end(), offset);
    ASSERT_NE(line, ends.end()) << "the offset is no line's end";
    const int64_t applied = line - ends.begin() + 1;
    EXPECT_EQ(applied % static_cast<int64_t>(ChangeLog::kBatchLines), 0);
    Catalog catalog(f.catalogFile);
    EXPECT_EQ(catalog.row(realPath(file))->meta().notes, std::to_string(applied));
    EXPECT_EQ(catalog.keptEdits(realPath(file)).front().value, std::to_string(applied));

    // The next start goes on after the last line applied, not from line 0.
    const ChangeLog::PullResult next = ChangeLog::pull(f.lib.string(), catalog, [] { return true; });
    EXPECT_EQ(next.applied, static_cast<int64_t>(ChangeLog::kBatchLines));
    EXPECT_EQ(catalog.row(realPath(file))->meta().notes,
              std::to_string(applied + static_cast<int64_t>(ChangeLog::kBatchLines)));
}

// A save asked for while a long pull runs is not queued behind it: the pull
// gives way after its batch, the save runs, and the pull goes on after it.
TEST(LibraryLongPulls, ASaveIsNotQueuedBehindALongPull) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    const fs::path saved = f.put(f.lib / "saved.wav");
    auto m = settledModel(f);
    constexpr int kLines = 200000;
    const int64_t size = numberedLog(f.lib, kLines).back();
    RawDb raw(f.catalogFile);
    auto stored = [&] { return storedOffset(raw); };
    m->pullColleagues();
    ASSERT_TRUE(waitUntil([&] { return stored() > 0; }, timeout(60s)));

    // Where the pull stood while the save rewrote its file.
    std::atomic<int64_t> duringSave{-1};
    RIFFMeta::setCopyObserver([&](uint64_t) {
        if (duringSave < 0) duringSave = stored();
    });
    m->save({{"NOTES", "mine"}}, std::nullopt, {saved});
    const bool savedInTime = waitUntil([&] { return message(*m) == "Saved metadata to 1 file(s)"; }, timeout(60s));
    RIFFMeta::setCopyObserver({});
    ASSERT_TRUE(savedInTime);
    EXPECT_GT(duringSave.load(), 0);
    EXPECT_LT(duringSave.load(), size);
    EXPECT_EQ(RIFFMeta::read(saved).notes, "mine");
    // The pull goes on afterwards, from where it gave way.
    const int64_t after = stored();
    EXPECT_TRUE(waitUntil([&] { return stored() > after; }, timeout(60s)));
}

// A rename asked for while a long pull runs is not queued behind it either:
// the file moves while the pull stands in the middle of the log, and the
// pull goes on after it.
TEST(LibraryLongPulls, ARenameIsNotQueuedBehindALongPull) {
    LibraryFixture f({"Lib"});
    f.put(f.lib / "a.wav");
    const fs::path take = f.put(f.lib / "take.wav");
    auto m = settledModel(f);
    m->save({{"CATID", "DOORWood"}, {"FXNAME", "Slam"}}, std::nullopt, {take});
    waitSettled(*m);
    constexpr int kLines = 200000;
    const int64_t size = numberedLog(f.lib, kLines).back();
    RawDb raw(f.catalogFile);
    auto stored = [&] { return storedOffset(raw); };
    m->pullColleagues();
    ASSERT_TRUE(waitUntil([&] { return stored() > 0; }, timeout(60s)));

    // Where the pull stood when the rename moved its file.
    std::atomic<int64_t> duringRename{-1};
    m->setRenameProbe([&](const fs::path&, const fs::path&) { duringRename = stored(); });
    m->renameToUCS({take});
    ASSERT_TRUE(waitUntil([&] { return message(*m) == "Renamed 1 file(s)"; }, timeout(60s))) << message(*m);
    EXPECT_GT(duringRename.load(), 0);
    EXPECT_LT(duringRename.load(), size);
    EXPECT_FALSE(fs::exists(take));
    EXPECT_EQ(RIFFMeta::read(f.lib / "DOORWood_Slam.wav").fxName, "Slam");
    const int64_t after = stored();
    EXPECT_TRUE(waitUntil([&] { return stored() > after; }, timeout(60s)));
}

// The disk holding the catalog fills during a pull: nothing of the pull is
// stored, its offset included, the message says why, and once there is room
// again the next pull applies every entry.
TEST(LibraryTeamEdits, AFullDiskDuringAPullLosesNoEntry) {
    LibraryFixture f({"Lib"});
    TmpfsMount store(f.catalogFile.parent_path(), 4 << 20);
    if (!store.mounted()) GTEST_SKIP() << store.refused();
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    std::vector<ChangeLog::Entry> entries;
    for (int i = 0; i < 50; ++i)
        entries.push_back(colleague("a.wav", {{"DESCRIPTION", fmt::format("take {} ", i) + std::string(1000, 'r')}}));
    colleagueWrites(f.lib, entries);
    const std::string last = entries.back().fields.at("DESCRIPTION");
    {
        std::ofstream filler(store.folder() / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    RawDb raw(f.catalogFile);
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't update the catalog with your team's changes: the disk holding the library "
                           "catalog is full");
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM log_offsets"), "0") << "the offset did not move";
    EXPECT_EQ(rowMeta(*m, file).description, "");
    EXPECT_TRUE(m->catalog()->keptEdits(realPath(file)).empty());

    fs::remove(store.folder() / "filler");
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "50 metadata changes from your team");
    EXPECT_EQ(rowMeta(*m, file).description, last);
    EXPECT_EQ(raw.one("SELECT offset FROM log_offsets"), std::to_string(fs::file_size(colleagueLog(f.lib))));
}

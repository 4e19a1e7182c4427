// The library model keeping the catalog current: rescans, team pulls,
// metadata saves and UCS renames, alone and overlapping, on real WAV and
// AIFF files, a real catalog file and real change-log folders.
#include <QSignalSpy>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "app/library/LibraryFixture.h"
#include "library/CatalogTestSupport.h"
#include "library/ChangeLog.h"
#include "library/MetaIO.h"
#include "library/RIFFMeta.h"
#include "platform/FileAccess.h"
#include "support/Failures.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Keeps the scan of each watched folder waiting at its listing until that
// folder is let go, and counts the scans that reached it. Let go of
// everything before the model goes (the model joins its scans).
class ScanGate {
public:
    explicit ScanGate(std::set<std::string> watched) : watched_(std::move(watched)) {
        LibraryScanner::setListingFailure([this](const std::string& folder) {
            std::unique_lock lock(mutex_);
            if (!watched_.contains(folder)) return false;
            ++started_[folder];
            cv_.wait(lock, [&] { return open_.contains(folder); });
            return false;
        });
    }
    ~ScanGate() {
        releaseAll();
        LibraryScanner::setListingFailure({});
    }
    void release(const std::string& folder) {
        std::lock_guard lock(mutex_);
        open_.insert(folder);
        cv_.notify_all();
    }
    void releaseAll() {
        std::lock_guard lock(mutex_);
        open_.insert(watched_.begin(), watched_.end());
        cv_.notify_all();
    }
    int started(const std::string& folder) {
        std::lock_guard lock(mutex_);
        return started_[folder];
    }

private:
    std::set<std::string> watched_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::set<std::string> open_;
    std::map<std::string, int> started_;
};

// Releases RIFFMeta's copy observer however a test ends.
struct CopyObserverGuard {
    ~CopyObserverGuard() { RIFFMeta::setCopyObserver({}); }
};

// Holds every metadata rewrite after its first copied block until opened.
// Made after the model, so that it opens before the model waits for its
// writer.
class CopyGate {
public:
    CopyGate() {
        RIFFMeta::setCopyObserver([this](uint64_t) {
            std::unique_lock lock(mutex_);
            copying_ = true;
            cv_.notify_all();
            cv_.wait(lock, [&] { return open_; });
        });
    }
    ~CopyGate() {
        open();
        RIFFMeta::setCopyObserver({});
    }
    bool waitUntilCopying() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 20s, [&] { return copying_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool copying_ = false, open_ = false;
};

// The bytes of a WAV file's data chunk.
std::string dataChunk(const fs::path& file) {
    const std::string b = readBytes(file);
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        uint32_t size = 0;
        for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(b[pos + 4 + size_t(i)]);
        if (b.compare(pos, 4, "data") == 0) return b.substr(pos + 8, size);
        pos += 8 + size + (size & 1);
    }
    return "<no data chunk>";
}

std::vector<std::string> temporaries(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.path().filename().string().ends_with(FileAccess::kTemporarySuffix)) out.push_back(e.path());
    return out;
}

}  // namespace

// --- Rescans ---

TEST(LibraryRescans, OneScanPerRootAndNoSecondScanOfARunningOne) {
    LibraryFixture f({"A", "B", "C"});
    const std::string a = (f.dir / "A").string(), b = (f.dir / "B").string(), c = (f.dir / "C").string();
    for (const std::string& r : {a, b, c}) f.put(fs::path(r) / "x.wav");
    const fs::path added = f.dir / "Added";
    f.put(added / "y.wav");

    std::unique_ptr<LibraryModel> m;
    ScanGate gate({realPath(a), realPath(b), realPath(c), realPath(added)});
    m = f.model();
    // All three at once, each on its own scan.
    EXPECT_EQ(m->indexing(), (std::set<std::string>{a, b, c}));
    ASSERT_TRUE(waitUntil([&] {
        return gate.started(realPath(a)) && gate.started(realPath(b)) && gate.started(realPath(c));
    }));

    // Adding a root starts exactly one scan of it.
    m->addRoot(added);
    ASSERT_TRUE(waitUntil([&] { return gate.started(realPath(added)) == 1; }));
    EXPECT_EQ(m->indexing().size(), 4u);

    // Each root leaves `indexing` when its own scan and pull are done.
    gate.release(realPath(b));
    ASSERT_TRUE(waitUntil([&] { return !m->indexing().contains(b); }));
    EXPECT_EQ(m->indexing(), (std::set<std::string>{a, c, added.string()}));

    // "Rescan" now starts only the root that is not being scanned.
    QSignalSpy indexing(m.get(), &LibraryModel::indexingChanged);
    m->rescanAll();
    EXPECT_EQ(indexing.count(), 1);
    EXPECT_EQ(m->indexing(), (std::set<std::string>{a, b, c, added.string()}));
    ASSERT_TRUE(waitUntil([&] { return !m->indexing().contains(b); }));
    gate.releaseAll();
    waitSettled(*m);
    EXPECT_EQ(gate.started(realPath(a)), 1);
    EXPECT_EQ(gate.started(realPath(b)), 2);
    EXPECT_EQ(gate.started(realPath(c)), 1);
    EXPECT_EQ(gate.started(realPath(added)), 1);
    EXPECT_EQ(m->indexedCount(), 4);
    EXPECT_EQ(m->message(), std::nullopt);  // rescans report nothing
}

TEST(LibraryRescans, ARescanListsTheFolderAgainAndSearchesAgain) {
    LibraryFixture f({"Lib"});
    f.put(f.lib / "rain_one.wav");
    auto m = settledModel(f);
    m->setQuery("rain");
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1; }));
    const int searches = f.searches.load();
    f.put(f.lib / "rain_two.wav");
    m->rescanAll();
    waitSettled(*m);
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 2; }));
    EXPECT_EQ(f.searches.load(), searches + 1);
    EXPECT_EQ(names(m->entries()), (std::vector<std::string>{"rain_one.wav", "rain_two.wav"}));
    for (const BrowserEntry& e : m->entries()) EXPECT_TRUE(e.row) << e.url;
}

// A drive unmounted under its mount folder: the rescan keeps the rows, and
// what colleagues changed in them.
TEST(LibraryRescans, AnEmptyMountFolderKeepsItsRows) {
    LibraryFixture f({"Lib"});
    f.put(f.lib / "a.wav");
    f.put(f.lib / "b.wav");
    auto m = settledModel(f);
    colleagueWrites(f.lib, {colleague("a.wav", {{"DESCRIPTION", "only in the catalog"}})});
    m->pullColleagues();
    waitSettled(*m);
    ASSERT_EQ(rowMeta(*m, f.lib / "a.wav").description, "only in the catalog");

    const fs::path away = f.dir / "Unplugged";
    fs::rename(f.lib, away);
    fs::create_directories(f.lib);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 2);
    EXPECT_EQ(m->catalog()->row(realPath(f.lib) + "/a.wav")->meta().description, "only in the catalog");

    // Plugged in again: nothing to read again, the rows are as they were.
    fs::remove(f.lib);
    fs::rename(away, f.lib);
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->indexedCount(), 2);
    EXPECT_EQ(rowMeta(*m, f.lib / "a.wav").description, "only in the catalog");
}

// A share that answers slowly (a fiftieth of a second a folder): the
// model's end stops its scan before the next folder instead of waiting for
// the whole walk, and the stopped scan wrote and deleted nothing.
TEST(LibraryRescans, TheModelsEndStopsARunningScan) {
    LibraryFixture f({"Lib"});
    for (int i = 0; i < 100; ++i) f.put(f.lib / fmt::format("Set {}/take.wav", i));
    struct SeamGuard {
        ~SeamGuard() { LibraryScanner::setListingFailure({}); }
    } guard;
    std::atomic<int> listed{0};
    LibraryScanner::setListingFailure([&](const std::string&) {
        ++listed;
        std::this_thread::sleep_for(20ms);
        return false;
    });
    auto m = f.model();
    ASSERT_TRUE(waitUntil([&] { return listed.load() >= 3; }));
    m.reset();
    EXPECT_LT(listed.load(), 50) << "of 101 folders";
    RawDb raw(f.catalogFile);
    EXPECT_EQ(raw.one("SELECT COUNT(*) FROM files"), "0");
}

// --- Team pulls ---

TEST(LibraryPulls, ChangesOfEveryRootInOneMessage) {
    LibraryFixture f({"Lib", "Other"});
    const fs::path other = f.dir / "Other";
    f.put(f.lib / "a.wav");
    f.put(f.lib / "b.wav");
    f.put(other / "c.wav");
    auto m = settledModel(f);
    m->open(f.lib);
    m->setCategory(QString("DOORS"));
    ASSERT_TRUE(waitUntil([&] { return f.searches.load() == 1; }));
    ASSERT_TRUE(m->results().empty());

    colleagueWrites(f.lib,
                    {colleague("a.wav", {{"CATEGORY", "DOORS"}}), colleague("b.wav", {{"DESCRIPTION", "creak"}})});
    colleagueWrites(other, {colleague("c.wav", {{"CATEGORY", "DOORS"}}), colleague("missing.wav", {{"NOTES", "x"}})});
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(message(*m), "3 metadata changes from your team");
    // The lists follow: facets, the search and the listed folder.
    EXPECT_EQ(m->categories(), (std::vector<FacetCount>{{"DOORS", 2}}));
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 2; }));
    ASSERT_EQ(m->entries().size(), 2u);
    EXPECT_EQ(m->entries()[1].row->meta().description, "creak");
    // Pulls never touch the audio files.
    EXPECT_EQ(readBytes(f.lib / "b.wav"), wav());
}

TEST(LibraryPulls, APullOfNothingNewPublishesNothing) {
    LibraryFixture f({"Lib"});
    f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    m->open(f.lib);
    m->setQuery("a");
    colleagueWrites(f.lib, {colleague("a.wav", {{"NOTES", "n"}})});
    m->pullColleagues();
    waitSettled(*m);
    ASSERT_EQ(message(*m), "1 metadata changes from your team");
    // The search the pull asked for has published the new record.
    ASSERT_TRUE(waitUntil([&] { return m->results().size() == 1 && m->results()[0].row->meta().notes == "n"; }));
    settle();

    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (auto signal : {&LibraryModel::entriesChanged, &LibraryModel::resultsChanged, &LibraryModel::messageChanged,
                        &LibraryModel::categoriesChanged, &LibraryModel::librariesChanged,
                        &LibraryModel::indexedCountChanged, &LibraryModel::folderChanged})
        spies.push_back(std::make_unique<QSignalSpy>(m.get(), signal));
    const int searches = f.searches.load();
    const BrowserList entries = m->entries();
    m->pullColleagues();
    waitSettled(*m);
    settle();
    for (const auto& spy : spies) EXPECT_EQ(spy->count(), 0);
    EXPECT_EQ(f.searches.load(), searches);
    EXPECT_TRUE(m->entries().sameList(entries));
    EXPECT_EQ(message(*m), "1 metadata changes from your team");
}

// The timer's pulls, a rescan's pull and a pull of the same root at once:
// every line applies once, and only once is it counted.
TEST(LibraryPulls, OverlappingPullsApplyEachLineOnce) {
    LibraryFixture f({"Lib"});
    f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    std::vector<ChangeLog::Entry> lines;
    for (int i = 1; i <= 1000; ++i) lines.push_back(colleague("a.wav", {{"NOTES", std::to_string(i)}}));
    colleagueWrites(f.lib, lines);
    QSignalSpy messages(m.get(), &LibraryModel::messageChanged);
    m->pullColleagues();
    m->rescanAll();
    m->pullColleagues();
    waitSettled(*m);
    settle();
    EXPECT_EQ(messages.count(), 1);
    EXPECT_EQ(message(*m), "1000 metadata changes from your team");
    EXPECT_EQ(rowMeta(*m, f.lib / "a.wav").notes, "1000");
    const fs::path log = fs::path(ChangeLog::folder(f.lib.string())) / "bob@studio-b.jsonl";
    EXPECT_EQ(m->catalog()->logOffset(log.string()), static_cast<int64_t>(fs::file_size(log)));
}

// --- Saves ---

TEST(LibrarySaves, ARatingAlone) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "Doors/slam.wav");
    auto m = settledModel(f);
    m->save({}, 4, {file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 1 file(s)");
    EXPECT_EQ(RIFFMeta::read(file).rating, 4);
    EXPECT_EQ(rowMeta(*m, file).rating, 4);
    const auto entries = ownEntries(f.lib);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].fields.empty());
    EXPECT_EQ(entries[0].rating, 4);
    EXPECT_EQ(entries[0].path, "Doors/slam.wav");
    EXPECT_EQ(entries[0].user, ChangeLog::ownName());

    // Nothing to save: nothing runs.
    m->save({}, std::nullopt, {file});
    EXPECT_EQ(m->pendingWrites(), 0);
}

TEST(LibrarySaves, AWavAndAnAiffUnderOneRoot) {
    LibraryFixture f({"Lib"});
    const fs::path w = f.put(f.lib / "one.wav");
    const fs::path a = f.lib / "two.aif";
    writeTestFile(a, 1, 100, 48000, {.kind = FileKind::aiff});
    const std::string aiffBytes = readBytes(a);
    auto m = settledModel(f);
    m->open(f.lib);
    m->save({{"DESCRIPTION", "Door slam"}}, 2, {w, a});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 2 file(s)");
    EXPECT_EQ(RIFFMeta::read(w).description, "Door slam");
    EXPECT_EQ(readBytes(a), aiffBytes);  // not embedded
    for (const fs::path& p : {w, a}) {
        EXPECT_EQ(rowMeta(*m, p).description, "Door slam") << p;
        EXPECT_EQ(rowMeta(*m, p).rating, 2) << p;
    }
    EXPECT_EQ(ownEntries(f.lib).size(), 2u);
    // The listing shows the new records.
    for (const BrowserEntry& e : m->entries()) EXPECT_EQ(e.row->meta().description, "Door slam");

    // The AIFF's record is the only place its metadata lives: a second save
    // builds on the first.
    m->save({{"KEYWORDS", "wood"}}, std::nullopt, {a});
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, a).description, "Door slam");
    EXPECT_EQ(rowMeta(*m, a).keywords, "wood");
    EXPECT_EQ(rowMeta(*m, a).rating, 2);
}

TEST(LibrarySaves, WhereRowsAndEntriesGo) {
    LibraryFixture f({"Lib", "Lib/Inner"});
    const fs::path inner = f.dir / "Lib/Inner";
    const fs::path nested = f.put(inner / "Sub/deep.wav");
    const fs::path outside = f.put(f.dir / "Loose/free.wav");
    auto m = settledModel(f);

    m->save({{"NOTES", "n"}}, std::nullopt, {nested, outside});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 2 file(s)");
    // The inner root's log, the path relative to it.
    const auto entries = ownEntries(inner);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "Sub/deep.wav");
    EXPECT_FALSE(hasOwnLog(f.lib));
    EXPECT_EQ(m->catalog()->row(realPath(nested))->root, realPath(inner));
    // Outside every root: a row under its folder, no entry, out of searches.
    EXPECT_EQ(m->catalog()->row(realPath(outside))->root, (f.dir / "Loose").string());
    EXPECT_FALSE(fs::exists(f.dir / "Loose/.quillmarsh"));
    m->setQuery("free");
    ASSERT_TRUE(waitUntil([&] { return f.searches.load() == 1; }));
    settle();
    EXPECT_TRUE(m->results().empty());
}

TEST(LibrarySaves, AKeyThatIsNoTagIsOnlyLogged) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    const SoundMeta before = rowMeta(*m, file);
    ASSERT_EQ(MetaIO::read(file), before);
    m->save({{"MOOD", "dark"}}, std::nullopt, {file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 1 file(s)");
    EXPECT_EQ(rowMeta(*m, file), before);
    EXPECT_EQ(MetaIO::read(file), before);
    const auto entries = ownEntries(f.lib);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fields, (std::map<std::string, std::string>{{"MOOD", "dark"}}));
}

TEST(LibrarySaves, FiveFailingWavFiles) {
    LibraryFixture f({"Lib"});
    std::vector<fs::path> files;
    for (const char* name : {"e.wav", "d.wav", "c.wav", "b.wav", "a.wav"})
        files.push_back(f.put(f.lib / name, "not RIFF at all"));
    auto m = settledModel(f);
    const SoundMeta before = rowMeta(*m, files[0]);
    m->save({{"NOTES", "n"}}, std::nullopt, files);
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Couldn't write 5 file(s): e.wav (Not a WAV file Quillmarsh can write), d.wav (Not a WAV "
                           "file Quillmarsh can write), c.wav (Not a WAV file Quillmarsh can write) and 2 more");
    EXPECT_EQ(rowMeta(*m, files[0]), before);
    EXPECT_FALSE(hasOwnLog(f.lib));
    for (const fs::path& p : files) EXPECT_EQ(readBytes(p), "not RIFF at all");
}

// Files that cannot be saved are named, and nothing of theirs changes: one
// deleted since it was listed, a folder, a .wav file that is not RIFF, one
// whose rewrite fails. (The first two are not WAV files, whose failing
// rewrite would name them anyway.)
TEST(LibrarySaves, BadInputIsNamedAndLeftAlone) {
    CopyObserverGuard guard;
    LibraryFixture f({"Lib"});
    const fs::path deleted = f.lib / "deleted.aif";
    writeTestFile(deleted, 1, 100, 48000, {.kind = FileKind::aiff});
    const fs::path folder = f.lib / "Folder";
    fs::create_directories(folder);
    const fs::path notRiff = f.put(f.lib / "text.wav", "plain text");
    const fs::path stuck = f.lib / "stuck.wav";
    writeTestFile(stuck, 2, 48000, 48000);
    const fs::path good = f.put(f.lib / "good.wav");
    auto m = settledModel(f);
    const SoundMeta deletedRow = rowMeta(*m, deleted);
    fs::remove(deleted);
    ASSERT_EQ(appErrorCode([&] { MetaIO::write({}, notRiff); }), RIFFMeta::kNotWritableWav);
    const std::string stuckBytes = readBytes(stuck);
    const SoundMeta stuckRow = rowMeta(*m, stuck);
    // The first copy that starts is the stuck file's; it fails as a full or
    // read-only disk would (as root, no permission stops a write).
    std::atomic<bool> failed{false};
    RIFFMeta::setCopyObserver([&](uint64_t) {
        if (!failed.exchange(true)) throw AppError(FileAccess::kWriteFailed, "Couldn't save: Read-only file system");
    });

    m->save({{"NOTES", "n"}}, std::nullopt, {deleted, folder, notRiff, stuck, good});
    waitSettled(*m);
    // Each named with why.
    EXPECT_EQ(message(*m), "Couldn't write 4 file(s): deleted.aif (it is gone), Folder (it is no file), text.wav (Not "
                           "a WAV file Quillmarsh can write) and 1 more");
    EXPECT_EQ(m->catalog()->row(realPath(folder)), std::nullopt);
    EXPECT_EQ(rowMeta(*m, deleted), deletedRow);
    EXPECT_EQ(readBytes(notRiff), "plain text");
    EXPECT_EQ(readBytes(stuck), stuckBytes);
    EXPECT_EQ(rowMeta(*m, stuck), stuckRow);
    EXPECT_TRUE(temporaries(f.lib).empty());
    // The good file only.
    EXPECT_EQ(rowMeta(*m, good).notes, "n");
    const auto entries = ownEntries(f.lib);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "good.wav");
    // The rescan drops the deleted file's row, as it should: it was not
    // written again meanwhile.
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(m->catalog()->row(realPath(deleted)), std::nullopt);
}

// Two saves of one file asked for while the first is still copying it:
// both edits reach the file, the row and the log.
TEST(LibrarySaves, TwoSavesOfOneFileBackToBack) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.lib / "long take.wav";
    writeTestFile(file, 2, 48000 * 60, 48000);  // about 17 MB: several copy blocks
    const std::string audio = dataChunk(file);
    auto m = settledModel(f);
    CopyGate gate;
    m->save({{"DESCRIPTION", "first"}}, std::nullopt, {file});
    ASSERT_TRUE(gate.waitUntilCopying());
    m->save({{"KEYWORDS", "second"}}, std::nullopt, {file});
    gate.open();
    waitSettled(*m);
    const SoundMeta embedded = RIFFMeta::read(file);
    EXPECT_EQ(embedded.description, "first");
    EXPECT_EQ(embedded.keywords, "second");
    EXPECT_EQ(rowMeta(*m, file).description, "first");
    EXPECT_EQ(rowMeta(*m, file).keywords, "second");
    EXPECT_EQ(ownEntries(f.lib).size(), 2u);
    EXPECT_EQ(dataChunk(file), audio);
    EXPECT_TRUE(temporaries(f.lib).empty());
}

TEST(LibrarySaves, FiftySavesToFiveFilesAtOnce) {
    LibraryFixture f({"Lib"});
    std::vector<fs::path> files;
    std::vector<std::string> audio;
    for (int i = 0; i < 5; ++i) {
        files.push_back(f.lib / fmt::format("take {}.wav", i));
        writeTestFile(files.back(), 1, 20000 + i, 48000);
        audio.push_back(dataChunk(files.back()));
    }
    auto m = settledModel(f);
    const auto& tags = SoundMeta::ixmlTags();
    std::map<std::pair<int, std::string_view>, std::string> last;
    for (int k = 0; k < 50; ++k) {
        const int file = k % 5;
        const std::string_view tag = tags[size_t(k / 5) % 4].tag;  // each field saved two or three times
        const std::string value = fmt::format("value {}", k);
        last[{file, tag}] = value;
        m->save({{std::string(tag), value}}, std::nullopt, {files[size_t(file)]});
    }
    waitSettled(*m);
    for (const auto& [key, value] : last) {
        const auto& [file, tag] = key;
        const SoundMeta::IxmlTag* t = SoundMeta::ixmlTag(tag);
        EXPECT_EQ(RIFFMeta::read(files[size_t(file)]).*(t->field), value) << file << " " << tag;
        EXPECT_EQ(rowMeta(*m, files[size_t(file)]).*(t->field), value) << file << " " << tag;
    }
    EXPECT_EQ(ownEntries(f.lib).size(), 50u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dataChunk(files[size_t(i)]), audio[size_t(i)]) << i;
    EXPECT_TRUE(temporaries(f.lib).empty());
}

// A save and a colleague's entry for the same file, in either order.
TEST(LibrarySaves, ASaveAndAPullTogetherLoseNeither) {
    LibraryFixture f({"Lib"});
    const fs::path first = f.put(f.lib / "first.wav");
    const fs::path second = f.put(f.lib / "second.wav");
    auto m = settledModel(f);

    colleagueWrites(f.lib, {colleague("first.wav", {{"KEYWORDS", "from bob"}})});
    m->pullColleagues();
    m->save({{"DESCRIPTION", "mine"}}, std::nullopt, {first});
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, first).keywords, "from bob");
    EXPECT_EQ(rowMeta(*m, first).description, "mine");
    // Saved on top of the pulled record, the file carries both.
    EXPECT_EQ(RIFFMeta::read(first).keywords, "from bob");

    m->save({{"DESCRIPTION", "mine"}}, std::nullopt, {second});
    colleagueWrites(f.lib, {colleague("second.wav", {{"KEYWORDS", "from bob"}})});
    m->pullColleagues();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, second).keywords, "from bob");
    EXPECT_EQ(rowMeta(*m, second).description, "mine");
    EXPECT_EQ(RIFFMeta::read(second).description, "mine");

    // A rescan keeps both: the rows describe the files as they are.
    m->rescanAll();
    waitSettled(*m);
    EXPECT_EQ(rowMeta(*m, second).keywords, "from bob");
    EXPECT_EQ(rowMeta(*m, first).keywords, "from bob");
}

// A WAV file changed on disk since it was catalogued: its chunks, not the
// stale row, are what the save starts from.
TEST(LibrarySaves, AWavFileChangedSinceItsScanStartsFromItsChunks) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    SoundMeta outside;
    outside.designer = "Someone Else";
    RIFFMeta::write(outside, file);  // another program's edit, not yet scanned
    m->save({{"NOTES", "mine"}}, std::nullopt, {file});
    waitSettled(*m);
    EXPECT_EQ(RIFFMeta::read(file).designer, "Someone Else");
    EXPECT_EQ(rowMeta(*m, file).designer, "Someone Else");
    EXPECT_EQ(rowMeta(*m, file).notes, "mine");
}

// A recording cut before its header was completed: its data chunk says 0
// bytes and the audio follows it. A save through the model writes the
// fields and leaves the chunk's header and every audio byte as they were.
TEST(LibrarySaves, AWavWhoseDataChunkSaysZeroBytesKeepsItsAudio) {
    LibraryFixture f({"Lib"});
    const std::string audio = RiffBuilder().data16(2, 1001).bytes().substr(20);
    ASSERT_EQ(audio.size(), 4004u);
    const fs::path file = f.put(f.lib / "cut.wav", RiffBuilder().fmt(2, 48000, 16).bytes() + "data" + le32(0) + audio);
    auto m = settledModel(f);
    m->save({{"DESCRIPTION", "cut short"}, {"CATID", "AMBForst"}}, 4, {file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Saved metadata to 1 file(s)");
    const std::string now = readBytes(file);
    EXPECT_TRUE(now.ends_with("data" + le32(0) + audio)) << "the header and the audio as they were";
    EXPECT_EQ(now.substr(4, 4), le32(uint32_t(now.size() - 8)));
    EXPECT_EQ(RIFFMeta::read(file).description, "cut short");
    EXPECT_EQ(RIFFMeta::read(file).rating, 4);
    EXPECT_EQ(rowMeta(*m, file).catID, "AMBForst");
    // Saved again: only the field changes.
    m->save({{"DESCRIPTION", "cut shorter"}}, std::nullopt, {file});
    waitSettled(*m);
    EXPECT_TRUE(readBytes(file).ends_with("data" + le32(0) + audio));
    EXPECT_EQ(RIFFMeta::read(file).catID, "AMBForst");
}

// --- Renames ---

TEST(LibraryRenames, ToTheUCSNameOnceAndNeverOverAnotherFile) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "take 7.wav");
    const fs::path aiff = f.lib / "take 8.aif";
    writeTestFile(aiff, 1, 100, 48000, {.kind = FileKind::aiff});
    const fs::path taken = f.put(f.lib / "taken.wav");
    f.put(f.lib / "DOORMetl_Creak.wav", "someone else's file");
    auto m = settledModel(f);
    m->save({{"CATID", "DOORWood"}, {"FXNAME", "Slam"}}, std::nullopt, {file});
    m->save({{"CATID", "DOORWood"}, {"FXNAME", "Knock"}, {"DESCRIPTION", "only in the catalog"}}, 3, {aiff});
    m->save({{"CATID", "DOORMetl"}, {"FXNAME", "Creak"}}, std::nullopt, {taken});
    waitSettled(*m);
    const std::string audio = dataChunk(file);

    m->renameToUCS({file, aiff, taken, f.lib / "never catalogued.wav"});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Renamed 2 file(s)");
    const fs::path renamed = f.lib / "DOORWood_Slam.wav", renamedAiff = f.lib / "DOORWood_Knock.aif";
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(dataChunk(renamed), audio);
    EXPECT_FALSE(fs::exists(aiff));
    EXPECT_TRUE(fs::exists(renamedAiff));
    // A taken name: both files as they were.
    EXPECT_TRUE(fs::exists(taken));
    EXPECT_EQ(readBytes(f.lib / "DOORMetl_Creak.wav"), "someone else's file");
    // The rows went with the files and the rescan kept them: what only the
    // catalog held is still there.
    EXPECT_EQ(m->catalog()->row(realPath(f.lib) + "/take 8.aif"), std::nullopt);
    EXPECT_EQ(rowMeta(*m, renamedAiff).description, "only in the catalog");
    EXPECT_EQ(rowMeta(*m, renamedAiff).rating, 3);
    // The listed folder (the first root) shows the new names.
    EXPECT_EQ(names(m->entries()),
              (std::vector<std::string>{"DOORMetl_Creak.wav", "DOORWood_Knock.aif", "DOORWood_Slam.wav", "taken.wav"}));

    // Again: the names are already the UCS names.
    m->renameToUCS({renamed, renamedAiff});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Renamed 0 file(s)");
    EXPECT_TRUE(fs::exists(renamed));
}

TEST(LibraryRenames, TwoFilesWithOneUCSName) {
    LibraryFixture f({"Lib"});
    const fs::path a = f.put(f.lib / "a.wav"), b = f.put(f.lib / "b.wav");
    auto m = settledModel(f);
    m->save({{"CATID", "RAINSoft"}, {"FXNAME", "Roof"}}, std::nullopt, {a, b});
    waitSettled(*m);
    const std::string bBytes = readBytes(b);
    m->renameToUCS({a, b});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Renamed 1 file(s)");
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(readBytes(b), bBytes);
    EXPECT_EQ(RIFFMeta::read(f.lib / "RAINSoft_Roof.wav").catID, "RAINSoft");
}

// A file that appears at the target between the check and the move.
TEST(LibraryRenames, AFileMadeAtTheTargetAfterTheCheckStays) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.put(f.lib / "a.wav");
    auto m = settledModel(f);
    m->save({{"CATID", "WINDGust"}, {"FXNAME", "Strong"}}, std::nullopt, {file});
    waitSettled(*m);
    const std::string bytes = readBytes(file);
    const fs::path target = f.lib / "WINDGust_Strong.wav";
    m->setRenameProbe([&](const fs::path& from, const fs::path& to) {
        EXPECT_EQ(from, file);
        EXPECT_EQ(to, target);
        writeBytes(to, "arrived just now");
    });
    m->renameToUCS({file});
    waitSettled(*m);
    EXPECT_EQ(message(*m), "Renamed 0 file(s)");
    EXPECT_EQ(readBytes(target), "arrived just now");
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_TRUE(m->catalog()->row(realPath(file)));
}

// A rename asked for while a save of the same file is still rewriting it
// waits for it: one file under the new name, with the save's edit, and no
// copy left under the old one.
TEST(LibraryRenames, ARenameWaitsForTheSaveBeforeIt) {
    LibraryFixture f({"Lib"});
    const fs::path file = f.lib / "take.wav";
    writeTestFile(file, 2, 48000 * 30, 48000);
    auto m = settledModel(f);
    CopyGate gate;
    QSignalSpy messages(m.get(), &LibraryModel::messageChanged);
    m->save({{"CATID", "FOLYCloth"}, {"FXNAME", "Rustle"}}, std::nullopt, {file});
    ASSERT_TRUE(gate.waitUntilCopying());
    m->renameToUCS({file});
    settle(100ms);
    EXPECT_TRUE(fs::exists(file));  // not moved from under the rewrite
    gate.open();
    waitSettled(*m);
    const fs::path renamed = f.lib / "FOLYCloth_Rustle.wav";
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(RIFFMeta::read(renamed).fxName, "Rustle");
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(message(*m), "Renamed 1 file(s)");
    EXPECT_TRUE(temporaries(f.lib).empty());
    EXPECT_EQ(rowMeta(*m, renamed).catID, "FOLYCloth");
}

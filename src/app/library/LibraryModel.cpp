#include "app/library/LibraryModel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QChar>
#include <QCollator>
#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <numeric>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "app/core/SettingsStore.h"
#include "app/library/HomeFolders.h"
#include "library/ChangeLog.h"
#include "library/LibraryScanner.h"
#include "library/MetaIO.h"
#include "library/PathText.h"
#include "platform/FileAccess.h"
#include "platform/Volumes.h"

namespace qm {

namespace fs = std::filesystem;

BrowserList::BrowserList() {
    static const auto empty = std::make_shared<const std::vector<BrowserEntry>>();
    items_ = empty;
}

BrowserList::BrowserList(std::vector<BrowserEntry> entries)
    : items_(std::make_shared<const std::vector<BrowserEntry>>(std::move(entries))) {}

namespace {

struct Item {
    std::string name;
    bool isLink = false;
    bool offline = false;  // not on disk: a row the catalog keeps offline
};

// The items of a folder, hidden ones left out, split into folders and audio
// files; nothing when the folder cannot be listed. A link is never a folder
// (its own type is read, not its target's), so links to audio files are
// listed as files.
bool listFolder(const fs::path& folder, std::vector<Item>& folders, std::vector<Item>& files) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            type = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_REG
                   : S_ISDIR(st.st_mode)                                           ? DT_DIR
                   : S_ISLNK(st.st_mode)                                           ? DT_LNK
                                                                                   : DT_REG;
        }
        if (type == DT_DIR)
            folders.push_back({e->d_name, false});
        else if (AudioFileInfo::isAudioName(e->d_name))
            files.push_back({e->d_name, type == DT_LNK});
    }
    ::closedir(dir);
    return true;
}

// Adds to a listing what the catalog keeps offline in `folder` (canonical)
// and is not there: its files with a row, and the folders below which
// offline files wait (an unmounted drive's folder that vanished with it).
void addOffline(const Catalog& catalog, const std::string& folder,
                const std::unordered_map<std::string, Catalog::Row>& rows, std::vector<Item>& folders,
                std::vector<Item>& files) {
    Catalog::OfflineBelow below = catalog.offlineBelow(folder);
    if (below.files.empty() && below.folders.empty()) return;
    std::set<std::string> listed;
    for (const Item& item : folders) listed.insert(item.name);
    for (const Item& item : files) listed.insert(item.name);
    for (const std::string& name : below.folders)
        if (!listed.contains(name)) folders.push_back({name, false, true});
    for (const std::string& path : below.files) {
        std::string name = path.substr(path.rfind('/') + 1);
        if (rows.contains(path) && !listed.contains(name)) files.push_back({std::move(name), false, true});
    }
}

// The file manager's order of names: case-insensitive, runs of digits by
// value; one sort key per name, stable.
void sortByName(std::vector<Item>& items, const QCollator& collator) {
    std::vector<QCollatorSortKey> keys;
    keys.reserve(items.size());
    for (const Item& item : items) keys.push_back(collator.sortKey(QString::fromUtf8(item.name)));
    std::vector<size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a].compare(keys[b]) < 0; });
    std::vector<Item> sorted;
    sorted.reserve(items.size());
    for (size_t i : order) sorted.push_back(std::move(items[i]));
    items = std::move(sorted);
}

bool isHorizontalSpace(QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; }

std::vector<FacetCount> facetCounts(const std::vector<std::pair<std::string, int64_t>>& counts) {
    std::vector<FacetCount> out;
    out.reserve(counts.size());
    for (const auto& [value, count] : counts) out.push_back({QString::fromStdString(value), count});
    return out;
}

std::optional<std::string> utf8(const std::optional<QString>& text) {
    if (!text) return std::nullopt;
    return text->toStdString();
}

// One message line of several clauses: "A; b; c".
std::string clauses(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (out.empty()) {
            out = part;
            continue;
        }
        out += "; ";
        out += part;
        // A clause after the first begins in lower case ("Couldn't" ->
        // "couldn't"); the texts all begin in ASCII.
        const size_t at = out.size() - part.size();
        if (out[at] >= 'A' && out[at] <= 'Z') out[at] = static_cast<char>(out[at] - 'A' + 'a');
    }
    return out;
}

// What the window says while the catalog can only be read for want of room.
constexpr const char* kWaitingForRoom =
    "The disk holding the library catalog is full: changes are not saved until space is freed";

// "1 file", "30 files".
std::string fileCount(int64_t files) { return fmt::format("{} file{}", files, files == 1 ? "" : "s"); }

// The first of `total` things named, then how many more: "a, b, c and 27 more".
std::string someOf(const std::vector<std::string>& named, size_t total) {
    std::string out = fmt::format("{}", fmt::join(named, ", "));
    if (total > named.size()) out += fmt::format(" and {} more", total - named.size());
    return out;
}

// The name a file goes by in a failure message (a folder's too, trailing
// slash or not).
std::string displayName(const fs::path& url) {
    return fs::path(LibraryScanner::standardized(url.string())).filename().string();
}

// Files whose catalog rows a write refused: how many, the first few by
// name, and the catalog's first reason.
struct Refused {
    int64_t files = 0;
    std::vector<std::string> names;
    std::string reason;

    void add(const fs::path& url, const std::string& why) {
        if (names.size() < LibraryScanner::kNamedFailures) names.push_back(displayName(url));
        if (files++ == 0) reason = why;
    }
    // "Couldn't update the catalog for 30 files (a.wav, b.wav, c.wav and 27
    // more): the disk holding the library catalog is full"; empty when none.
    std::string message() const {
        if (files == 0) return {};
        return fmt::format("Couldn't update the catalog for {} ({}): {}", fileCount(files),
                           someOf(names, static_cast<size_t>(files)), reason);
    }
};

// A pull the catalog refused: nothing of it is lost, the next pull applies it.
std::string teamFailure(const std::optional<std::string>& reason) {
    return reason ? fmt::format("Couldn't update the catalog with your team's changes: {}", *reason) : std::string();
}

// --- Saving ---

struct SaveRequest {
    std::map<std::string, std::string> changes;
    std::optional<int64_t> rating;
    std::string user;
    std::vector<std::string> roots;  // canonical
};

// The longest library root holding `path`, the earlier one of two as long.
const std::string* libraryRootOf(const std::string& path, const std::vector<std::string>& roots) {
    const std::string* best = nullptr;
    for (const std::string& r : roots)
        if (pathtext::inside(path, r) && (!best || r.size() > best->size())) best = &r;
    return best;
}

// The record a save edits. A non-WAV file keeps its metadata only in the
// catalog, so its row is the record whenever there is one. For a WAV file
// the row is as good as the file's chunks while it describes the file as
// it is (the stamps agree), and better: it also holds the colleagues'
// edits pulled into it, which the chunks lack and which the rewrite then
// carries into the file. A row that decodes to nothing at all (no FX name,
// which every record read from a file has) is not trusted. Read from the
// file, the record gets the edits the catalog keeps for it laid over it,
// as a scan would.
SoundMeta startingRecord(Catalog* catalog, const std::string& path, const fs::path& url, const struct stat& st,
                         bool embedded) {
    if (!catalog) return MetaIO::read(url);
    if (std::optional<Catalog::Row> row = catalog->row(path); row && row->meta() != SoundMeta()) {
        if (!embedded) return row->meta();
        const std::optional<Catalog::Stamp> stamp = catalog->stamp(path);
        if (stamp && stamp->describes(static_cast<int64_t>(st.st_size), pathtext::seconds(st.st_mtim)))
            return row->meta();
    }
    SoundMeta meta = MetaIO::read(url);
    Catalog::KeptEdit::layOver(catalog->keptEdits(path), meta);
    return meta;
}

// What became of one file of a save.
struct Saved {
    std::optional<std::string> fileFailure = {};     // why nothing of the edit was stored
    std::optional<std::string> catalogFailure = {};  // the catalog's reason for refusing the row
};

// Saves one file. `catalog` may be absent (`problem` says why): a WAV
// file is still written then.
Saved saveFile(Catalog* catalog, const std::string& problem, const SaveRequest& request, const fs::path& url) {
    const std::string path = LibraryScanner::canonical(url.string());
    // A file deleted since it was listed, a folder or a device is no file to
    // save: it gets no row and no entry.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {.fileFailure = "it is gone"};
    if (!S_ISREG(st.st_mode)) return {.fileFailure = "it is no file"};

    const bool embedded = MetaIO::isEmbeddable(url);
    SoundMeta meta = startingRecord(catalog, path, url, st, embedded);
    meta.applyChanges(request.changes, request.rating);
    if (embedded) {
        try {
            MetaIO::write(meta, url);
        } catch (const std::exception& e) {
            return {.fileFailure = e.what()};
        }
    }

    const std::string* libraryRoot = libraryRootOf(path, request.roots);
    const std::string root = libraryRoot ? *libraryRoot : url.parent_path().string();
    Saved saved;
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    if (!catalog) {
        saved.catalogFailure = problem;
    } else {
        int64_t size = 0;
        double mtime = 0;
        if (::stat(path.c_str(), &st) == 0) {
            size = static_cast<int64_t>(st.st_size);
            mtime = pathtext::seconds(st.st_mtim);
        }
        // Read before the lock: a slow share must not hold up the main
        // thread's lookups.
        std::optional<AudioFileInfo> facts;
        try {
            facts = AudioFileInfo::load(url);
        } catch (const std::exception&) {
        }
        saved.catalogFailure = catalog->transaction([&] {
            catalog->upsert(path, root, size, mtime, facts, meta);
            // A WAV file holds the whole record now, the colleagues' edits
            // it started from included. Any other file holds none of it:
            // the edit is kept like a colleague's, so that cataloguing the
            // file again (its tags changed elsewhere) keeps it.
            if (embedded)
                catalog->dropKeptEdits(path);
            else
                catalog->keepEdits(path, request.changes, request.rating, now.time_since_epoch().count(),
                                   request.user);
        });
    }
    // Only what was stored here is told to the team: a file that holds
    // nothing of the edit (no catalog row, no chunks) is logged by no one.
    if (libraryRoot && (embedded || !saved.catalogFailure)) {
        ChangeLog::Entry entry{.path = path.substr(std::min(path.size(), root.size() + (root == "/" ? 0 : 1))),
                               .fields = request.changes,
                               .rating = request.rating,
                               .user = request.user,
                               .time = now};
        ChangeLog::append(root, entry);
    }
    return saved;
}

// "Couldn't write 2 file(s): a.wav (Not a WAV file Quillmarsh can write),
// b.wav (it is gone)": the first three files, each with its reason, then
// how many more failed ("and 2 more").
std::string failureMessage(const std::vector<std::pair<std::string, std::string>>& failed) {
    std::vector<std::string> named;
    for (size_t i = 0; i < failed.size() && i < LibraryScanner::kNamedFailures; ++i)
        named.push_back(failed[i].first + " (" + failed[i].second + ")");
    return fmt::format("Couldn't write {} file(s): {}", failed.size(), someOf(named, failed.size()));
}

// --- Renaming ---

// What a rename came to: the files moved, and those the catalog refused
// (left under their names).
struct Renamed {
    int64_t moved = 0;
    Refused refused;
};

// Moves each file whose row gives a UCS name.
Renamed renameFiles(Catalog& catalog, const std::vector<fs::path>& urls,
                    const std::function<void(const fs::path&, const fs::path&)>* probe) {
    Renamed out;
    for (const fs::path& url : urls) {
        const std::string path = LibraryScanner::canonical(url.string());
        const std::optional<Catalog::Row> row = catalog.row(path);
        if (!row) continue;
        const std::optional<std::string> name = row->meta().ucsFileName();
        if (!name) continue;
        const fs::path target = url.parent_path() / (*name + url.extension().string());
        if (target == url) continue;
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0 || errno != ENOENT) continue;
        if (probe && *probe) (*probe)(url, target);

        // The move and the move of its row are one step for the catalog: a
        // scan sees either the old file with its row or the new one with it.
        // A catalog that cannot take the row's move gets no moved file
        // either: the file goes back, or its row and kept edits would be
        // lost to the next scan.
        bool moved = false;
        std::optional<std::string> failure;
        try {
            failure = catalog.transaction([&] {
                if (!FileAccess::renameNoReplace(url, target)) return;
                moved = true;
                // A link moves itself, not the file it leads to, whose row stays.
                const std::string now = LibraryScanner::canonical(target.string());
                if (now != path) catalog.movePath(path, now);
            });
        } catch (const std::exception&) {
            failure = "the catalog failed";
        }
        if (failure) {
            if (moved && !FileAccess::renameNoReplace(target, url)) ++out.moved;
            out.refused.add(url, *failure);
        } else if (moved) {
            ++out.moved;
        }
    }
    return out;
}

}  // namespace

LibraryModel::LibraryModel(SettingsStore& settings, const fs::path& catalogURL, QObject* parent)
    : QObject(parent), settings_(settings), searchGeneration_(std::make_shared<std::atomic<uint64_t>>(0)) {
    searchTimer_.setSingleShot(true);
    searchTimer_.setTimerType(Qt::PreciseTimer);
    searchTimer_.setInterval(kSearchDelayMs);
    connect(&searchTimer_, &QTimer::timeout, this, &LibraryModel::startSearch);
    writer_.setMaxThreadCount(1);

    Catalog::Opening opening = Catalog::openOrReplace(catalogURL);
    catalog_ = std::move(opening.catalog);
    damagedCatalog_ = std::move(opening.setAside);
    if (damagedCatalog_) {
        // The rescan below builds it again from the library folders.
        message_ = QString::fromStdString(
            fmt::format("The library catalog was damaged ({}). It was set aside as \"{}\" and is being rebuilt",
                        opening.problem, damagedCatalog_->filename().string()));
    }
    if (!catalog_) {
        // No catalog for this run; the browser still lists folders.
        catalogProblem_ = opening.problem.empty() ? "Can't open the library catalog" : opening.problem;
        message_ = QString::fromStdString(fmt::format("No library catalog: {}", catalogProblem_));
    } else if (catalog_->waitingForRoom()) {
        message_ = QString::fromUtf8(kWaitingForRoom);
    } else if (catalog_->readOnly()) {
        message_ = QStringLiteral("The library catalog is read-only: changes can't be stored");
    }
    if (catalog_) catalog_->upgradeInBackground();
    const std::vector<std::string>& stored = settings_.value().libraryRoots;
    open(stored.empty() ? HomeFolders::current().music : fs::path(stored.front()));
    refreshFacets();
    rescanAll();

    pullTimer_.setInterval(kPullIntervalMs);
    connect(&pullTimer_, &QTimer::timeout, this, &LibraryModel::pullColleagues);
    pullTimer_.start();
}

LibraryModel::~LibraryModel() {
    // A pull running or queued ends after its batch, a scan before its next
    // folder or batch, a search at SQLite's next question.
    writerState_->stopping = true;
    ++*searchGeneration_;
    searchPool_.waitForDone();
    // A scan queues its pull on the writer when it ends: scans first.
    for (auto& [token, thread] : scans_) thread.join();
    writer_.waitForDone();
}

void LibraryModel::deliver(QPointer<LibraryModel> self, std::function<void(LibraryModel&)> apply) {
    // Posted to the application object, which outlives every model; whether
    // the model still exists is asked on the main thread, where it can be.
    QObject* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app, [self, apply = std::move(apply)] {
            if (self) apply(*self);
        },
        Qt::QueuedConnection);
}

// --- Roots, folders, places ---

std::vector<std::string> LibraryModel::roots() const {
    std::vector<std::string> out;
    for (const std::string& root : settings_.value().libraryRoots) out.push_back(LibraryScanner::canonical(root));
    return out;
}

std::vector<fs::path> LibraryModel::places() const {
    const HomeFolders home = HomeFolders::current();
    std::vector<fs::path> out = {home.music, home.desktop, home.downloads, fs::path(settings_.value().pullsFolder)};
    for (const Volume& v : Volumes::list())
        if (!v.hidden && v.browsable && v.path != "/") out.emplace_back(v.path);
    return out;
}

void LibraryModel::addRoot(const fs::path& url) {
    const std::string path = LibraryScanner::standardized(url.string());
    const std::vector<std::string>& stored = settings_.value().libraryRoots;
    if (std::find(stored.begin(), stored.end(), path) != stored.end()) return;
    settings_.update([&](AppSettings& s) { s.libraryRoots.push_back(path); });
    rescan(path);
}

void LibraryModel::removeRoot(const std::string& path) {
    settings_.update([&](AppSettings& s) { std::erase(s.libraryRoots, path); });
    if (catalog_) {
        // One folder may be stored twice (directly and through a link): its
        // rows, and the edits only they hold, stay while one form remains.
        const std::string canonical = LibraryScanner::canonical(path);
        const std::vector<std::string> remaining = roots();
        if (std::find(remaining.begin(), remaining.end(), canonical) == remaining.end()) {
            if (std::optional<std::string> failure = catalog_->removeRoot(canonical))
                setMessage(fmt::format("Couldn't remove the folder's files from the catalog: {}", *failure));
        }
    }
    refreshFacets();
}

void LibraryModel::open(const fs::path& url) {
    if (folder_ != url) {
        folder_ = url;
        emit folderChanged();
    }
    // Each file's row is the one of its canonical path: inside the folder's
    // canonical form that is the folder and the name. The rows of all of
    // them come from one query, run while the folder is listed and sorted;
    // a link is resolved and looked up on its own.
    std::string canonicalFolder;
    std::future<std::unordered_map<std::string, Catalog::Row>> folderRows;
    if (catalog_) {
        canonicalFolder = LibraryScanner::canonical(url.string());
        folderRows = std::async(std::launch::async, [catalog = catalog_, canonicalFolder] {
            return catalog->rowsInFolder(canonicalFolder);
        });
    }
    std::vector<Item> folders, files;
    listFolder(url, folders, files);
    std::unordered_map<std::string, Catalog::Row> rows;
    if (folderRows.valid()) rows = folderRows.get();
    if (catalog_) addOffline(*catalog_, canonicalFolder, rows, folders, files);

    // The C locale has no collation (Qt compares code points there): the
    // root collation of English stands in for it.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    sortByName(folders, collator);
    sortByName(files, collator);

    const std::string base = url.string();
    std::vector<BrowserEntry> list;
    list.reserve(folders.size() + files.size());
    for (const Item& f : folders)
        list.push_back({fs::path(pathtext::join(base, f.name)), true, std::nullopt, f.offline});
    for (const Item& f : files) {
        std::string path = pathtext::join(base, f.name);
        std::optional<Catalog::Row> row;
        if (catalog_) {
            if (f.isLink) {
                row = catalog_->row(LibraryScanner::canonical(path));
            } else if (auto it = rows.find(pathtext::join(canonicalFolder, f.name)); it != rows.end()) {
                row = std::move(it->second);  // names are unique: each row is taken once
            }
        }
        list.push_back({fs::path(std::move(path)), false, std::move(row), f.offline});
    }
    BrowserList entries(std::move(list));
    if (entries == entries_) return;
    entries_ = std::move(entries);
    emit entriesChanged();
}

void LibraryModel::goUp() {
    if (!folder_) return;
    std::string path = folder_->string();
    if (path == "/") return;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) return;
    open(parent);
}

// --- Scans ---

void LibraryModel::rescanAll() {
    for (const std::string& root : settings_.value().libraryRoots) rescan(root);
}

void LibraryModel::rescan(const std::string& root) {
    if (!catalog_ || indexing_.contains(root)) return;
    indexing_.insert(root);
    emit indexingChanged();
    const uint64_t token = ++scanToken_;
    std::shared_ptr<Catalog> catalog = catalog_;
    QPointer<LibraryModel> self(this);
    // A thread of its own: scans never hold up the search pool or the
    // writer. The pull that ends the rescan is a write like any other,
    // queued from the main thread once the scan is done. The model's end
    // stops the scan between folders and batches.
    scans_.emplace(token, std::thread([catalog, root, token, self, state = writerState_] {
                       const LibraryScanner::Outcome outcome =
                           LibraryScanner::scan(root, *catalog, {}, [&state] { return state->stopping.load(); });
                       if (outcome.stopped) return;  // the model is going
                       Refused refused{.files = outcome.totals.failed, .names = {}, .reason = outcome.failure.value_or("")};
                       for (const std::string& path : outcome.refused) refused.names.push_back(displayName(path));
                       const std::string problem = refused.message();
                       deliver(self, [root, token, problem](LibraryModel& m) {
                           m.startPull({root}, [root, token, problem](LibraryModel& m, const ChangeLog::PullResult& r) {
                               m.finishScan(root, token, clauses({problem, teamFailure(r.failure)}));
                           });
                       });
                   }));
}

void LibraryModel::finishScan(const std::string& root, uint64_t token, const std::string& problem) {
    if (auto it = scans_.find(token); it != scans_.end()) {
        it->second.join();
        scans_.erase(it);
    }
    indexing_.erase(root);
    emit indexingChanged();
    refreshViews();
    // Rescans that went well say nothing.
    if (!problem.empty()) setMessage(problem);
}

void LibraryModel::refreshViews() {
    // The catalog writes again (a write found room): the notice is over.
    if (catalog_ && !catalog_->waitingForRoom() && message_ == QString::fromUtf8(kWaitingForRoom)) {
        message_.reset();
        emit messageChanged();
    }
    refreshFacets();
    if (isSearching()) scheduleSearch();
    if (folder_) open(*folder_);
}

// --- Writes: team pulls, saves, renames ---

void LibraryModel::startWrite(std::function<void()> job) {
    ++pendingWrites_;
    // A pull running ahead of it gives way after its batch.
    ++writerState_->waiting;
    writer_.start([state = writerState_, job = std::move(job)] {
        --state->waiting;
        job();
    });
}

void LibraryModel::finishWrite() { --pendingWrites_; }

void LibraryModel::setMessage(const std::string& text) {
    QString message = QString::fromStdString(text);
    if (message_ == message) return;
    message_ = std::move(message);
    emit messageChanged();
}

namespace {

// One turn of a pull on the writer queue: the roots from `next` on. When
// it gave way to a write waiting behind it, it queues the rest of itself
// behind that write; when it gave way to the model's end, it ends.
struct PullTurn {
    QThreadPool* writer;
    std::shared_ptr<Catalog> catalog;
    std::function<bool()> stop;    // the model ends, or a write waits
    std::function<bool()> ending;  // the model ends
    std::function<void(const ChangeLog::PullResult&)> done;
    std::vector<std::string> roots;
    size_t next = 0;
    ChangeLog::PullResult total = {};

    void operator()() {
        for (; next < roots.size(); ++next) {
            const ChangeLog::PullResult one = ChangeLog::pull(roots[next], *catalog, stop);
            total.applied += one.applied;
            if (one.failure) {
                // The catalog refuses writes: the other roots would fare no better.
                total.failure = one.failure;
                break;
            }
            if (one.interrupted) {
                total.interrupted = true;
                if (ending()) break;
                writer->start(*this);
                return;
            }
        }
        done(total);
    }
};

}  // namespace

void LibraryModel::startPull(std::vector<std::string> roots, PullDone done) {
    std::shared_ptr<WriterState> state = writerState_;
    QPointer<LibraryModel> self(this);
    PullTurn turn{
        .writer = &writer_,
        .catalog = catalog_,
        .stop = [state] { return state->stopping || state->waiting > 0; },
        .ending = [state] { return state->stopping.load(); },
        .done =
            [state, self, done = std::move(done)](const ChangeLog::PullResult& total) {
                // Stopped by the model's end: nobody is left to tell.
                if (state->stopping) return;
                deliver(self, [done, total](LibraryModel& m) { done(m, total); });
            },
        .roots = std::move(roots),
    };
    writer_.start(std::move(turn));
}

void LibraryModel::pullColleagues() {
    if (!catalog_) return;
    ++pendingWrites_;
    startPull(settings_.value().libraryRoots, [](LibraryModel& m, const ChangeLog::PullResult& total) {
        m.finishWrite();
        if (total.applied == 0 && !total.failure) return;  // nothing to show, nothing published
        m.refreshViews();
        m.setMessage(clauses(
            {total.applied > 0 ? fmt::format("{} metadata changes from your team", total.applied) : std::string(),
             teamFailure(total.failure)}));
    });
}

void LibraryModel::save(const std::map<std::string, std::string>& changes, std::optional<int64_t> rating,
                        const std::vector<fs::path>& urls) {
    if (changes.empty() && !rating) return;
    SaveRequest request{.changes = changes, .rating = rating, .user = ChangeLog::ownName(), .roots = roots()};
    startWrite([catalog = catalog_, problem = catalogProblem_, request = std::move(request), urls,
                self = QPointer<LibraryModel>(this)] {
        std::vector<std::pair<std::string, std::string>> failed;
        Refused refused;
        for (const fs::path& url : urls) {
            Saved saved = saveFile(catalog.get(), problem, request, url);
            if (saved.fileFailure) failed.emplace_back(displayName(url), std::move(*saved.fileFailure));
            if (saved.catalogFailure) refused.add(url, *saved.catalogFailure);
        }
        std::string text = failed.empty() && refused.files == 0
                               ? fmt::format("Saved metadata to {} file(s)", urls.size())
                               : clauses({failed.empty() ? std::string() : failureMessage(failed), refused.message()});
        deliver(self, [text = std::move(text)](LibraryModel& m) {
            m.finishWrite();
            m.refreshViews();
            m.setMessage(text);
        });
    });
}

void LibraryModel::renameToUCS(const std::vector<fs::path>& urls) {
    if (!catalog_) return;
    // The moves queue behind the saves asked for before them: a file is
    // never moved from under its own rewrite, and its row is read after it.
    startWrite([catalog = catalog_, urls, probe = renameProbe_, self = QPointer<LibraryModel>(this)] {
        const Renamed renamed = renameFiles(*catalog, urls, probe.get());
        deliver(self, [renamed](LibraryModel& m) {
            m.finishWrite();
            m.setMessage(clauses({fmt::format("Renamed {} file(s)", renamed.moved), renamed.refused.message()}));
            m.refreshViews();
            m.rescanAll();
        });
    });
}

void LibraryModel::setRenameProbe(RenameProbe probe) {
    renameProbe_ = std::make_shared<const RenameProbe>(std::move(probe));
}

// --- Search and facets ---

bool LibraryModel::isSearching() const {
    if (category_ || libraryFilter_) return true;
    return std::any_of(query_.begin(), query_.end(), [](QChar c) { return !isHorizontalSpace(c); });
}

void LibraryModel::setQuery(const QString& query) {
    if (query == query_) return;
    query_ = query;
    emit queryChanged();
    std::optional<QString> note;
    const Catalog::QueryBound bound = Catalog::queryBound(query_.toStdString());
    if (bound.shortened)
        note = QStringLiteral("Only the first %1 characters are searched").arg(Catalog::kMaxQueryChars);
    else if (bound.bounded())
        note = bound.kept == 1 ? QStringLiteral("Only the first word is searched")
                               : QStringLiteral("Only the first %1 words are searched").arg(bound.kept);
    if (note != searchNote_) {
        searchNote_ = std::move(note);
        emit searchNoteChanged();
    }
    scheduleSearch();
}

void LibraryModel::setCategory(const std::optional<QString>& category) {
    if (category == category_) return;
    category_ = category;
    emit categoryChanged();
    scheduleSearch();
}

void LibraryModel::setLibraryFilter(const std::optional<QString>& library) {
    if (library == libraryFilter_) return;
    libraryFilter_ = library;
    emit libraryFilterChanged();
    scheduleSearch();
}

void LibraryModel::setSearchProbe(std::function<void(const Catalog::Filter&)> probe) {
    searchProbe_ = std::make_shared<const std::function<void(const Catalog::Filter&)>>(std::move(probe));
}

void LibraryModel::setSearchStopProbe(std::function<void(bool stop)> probe) {
    searchStopProbe_ = std::make_shared<const std::function<void(bool)>>(std::move(probe));
}

void LibraryModel::scheduleSearch() {
    ++*searchGeneration_;  // voids a waiting or running search
    searchTimer_.stop();
    if (!catalog_ || !isSearching()) {
        setResults(BrowserList());
        return;
    }
    pendingFilter_ = Catalog::Filter{.query = query_.toStdString(),
                                     .category = utf8(category_),
                                     .library = utf8(libraryFilter_),
                                     .roots = roots(),
                                     .minRating = 0};
    searchTimer_.start();
}

void LibraryModel::startSearch() {
    const uint64_t generation = *searchGeneration_;
    searchPool_.start([current = searchGeneration_, generation, catalog = catalog_, filter = pendingFilter_,
                       probe = searchProbe_, stopProbe = searchStopProbe_, self = QPointer<LibraryModel>(this)] {
        if (*current != generation) return;
        if (probe && *probe) (*probe)(filter);
        std::vector<Catalog::Row> rows = catalog->search(filter, kSearchLimit, [&] {
            const bool stop = *current != generation;
            if (stopProbe && *stopProbe) (*stopProbe)(stop);
            return stop;
        });
        if (*current != generation) return;
        std::vector<BrowserEntry> list;
        list.reserve(rows.size());
        for (Catalog::Row& row : rows) {
            fs::path url(row.path);
            const bool offline = catalog->isOffline(row.path);
            list.push_back({std::move(url), false, std::move(row), offline});
        }
        deliver(self, [generation, results = BrowserList(std::move(list))](LibraryModel& m) {
            if (*m.searchGeneration_ == generation) m.setResults(results);
        });
    });
}

void LibraryModel::setResults(BrowserList results) {
    if (results == results_) return;
    results_ = std::move(results);
    emit resultsChanged();
}

void LibraryModel::refreshFacets() {
    if (!catalog_) return;
    const Catalog::Facets f = catalog_->facets(roots());
    std::vector<FacetCount> categories = facetCounts(f.categories), libraries = facetCounts(f.libraries);
    if (categories != categories_) {
        categories_ = std::move(categories);
        emit categoriesChanged();
    }
    if (libraries != libraries_) {
        libraries_ = std::move(libraries);
        emit librariesChanged();
    }
    if (f.total != indexedCount_) {
        indexedCount_ = f.total;
        emit indexedCountChanged();
    }
}

}  // namespace qm

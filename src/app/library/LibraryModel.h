// The model behind the library window: the catalog, the user's library
// folders (roots), the folder the browser lists, the sidebar's places, the
// search with its facets, the rescans and team pulls that keep the catalog
// current, and the user's own writes: metadata saves and UCS renames.
//
// Roots are kept in the settings in the form the user added them (a path
// standardised lexically, links kept); the catalog knows them, and every
// file, by canonical path. `entries` and `results` may hold 100,000 rows:
// they are one shared immutable list each (BrowserList), handed to views by
// reference, never copied per update.
//
// Threads: the model lives on the main thread and every method is called
// there. A search waits 90 ms on a single-shot timer (each change restarts
// it), then runs on the model's own search pool and hands its list back by
// a queued call; a generation count voids a search overtaken by a newer
// one, so it publishes nothing and the old hits stay until new ones
// arrive. The catalog asks the search for that count while it runs: an
// overtaken search stops at once and frees the catalog for the next one
// (and the destructor never waits for one). Scans run each on a thread of
// their own, so a search never queues behind a scan; the catalog's lock
// interleaves their batches. The destructor stops running scans before
// their next folder or batch (a listing or file read the system holds up,
// on a share that stopped answering, is still waited for). A catalog made
// by an earlier version is brought to today's form by the catalog's own
// thread (Catalog::upgradeInBackground), answering searches meanwhile.
//
// Everything that reads a record and writes it back runs on one serial
// writer queue, `writer_` (one worker, jobs in the order asked for): every
// save, every team pull (the timer's and the one that ends each rescan)
// and the moves of every rename. So two saves of one file never read it
// before the other wrote it nor share a temporary, a pull never undoes a
// save or applies a line twice, and a rename never moves a file a save
// asked for before it is still rewriting. A pull gives way between its
// batches: to a save or rename asked for meanwhile (it goes on behind
// them, from where it stopped) and to the model's end (the destructor
// stops it, so quitting never waits for a long log). Each job hands its
// result to the main thread, where the lists are refreshed and `message`
// is set. The destructor waits for every thread it started.
//
// Nothing that failed is reported as done: a scan, pull, save or rename
// the catalog refused (locked by another program past its time-out, full,
// read-only) says so in `message`, with the number of files, the first
// three by name and the catalog's reason. A damaged catalog file is set
// aside at start and a new one built by the rescan, which `message` says;
// an intact one on a full disk is opened for reading (searches, facets and
// listings work), `message` says that changes are not saved until space is
// freed, and the catalog writes again by itself at the first write that
// finds room (the notice then goes); one that cannot be opened at all
// leaves the model without a catalog, which `message` says too: listings
// still work, searches and facets stay empty, and saves still write WAV
// files (the catalog catches up at the next start's scan).
//
// Rows the catalog keeps for files that cannot be seen now (an unmounted
// drive, an unreadable folder) are listed and found as offline entries:
// the listing of a folder adds its offline files and the folders holding
// offline files that are not there.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "library/Catalog.h"
#include "library/ChangeLog.h"

namespace qm {

class SettingsStore;

// One row of the browser's table, from a folder listing or a search.
struct BrowserEntry {
    std::filesystem::path url;        // as listed or as the catalog gave it
    bool isFolder = false;
    std::optional<Catalog::Row> row;  // absent for folders and uncatalogued files
    // Kept by the catalog for a file (or a folder of files) that cannot be
    // seen now: shown, not playable.
    bool offline = false;

    // The identity views key rows by.
    const std::filesystem::path& id() const { return url; }
    bool operator==(const BrowserEntry&) const = default;
};

// An immutable list of entries shared by reference.
class BrowserList {
public:
    BrowserList();
    explicit BrowserList(std::vector<BrowserEntry> entries);

    const std::vector<BrowserEntry>& items() const { return *items_; }
    size_t size() const { return items_->size(); }
    bool empty() const { return items_->empty(); }
    const BrowserEntry& operator[](size_t i) const { return (*items_)[i]; }
    std::vector<BrowserEntry>::const_iterator begin() const { return items_->begin(); }
    std::vector<BrowserEntry>::const_iterator end() const { return items_->end(); }
    // True when both share one list (no element is compared).
    bool sameList(const BrowserList& other) const { return items_ == other.items_; }

    bool operator==(const BrowserList& other) const { return sameList(other) || items() == other.items(); }

private:
    std::shared_ptr<const std::vector<BrowserEntry>> items_;
};

// One facet value with its number of files.
struct FacetCount {
    QString value;
    int64_t count = 0;
    bool operator==(const FacetCount&) const = default;
};

class LibraryModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<std::filesystem::path> folder READ folder NOTIFY folderChanged)
    Q_PROPERTY(qm::BrowserList entries READ entries NOTIFY entriesChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(std::optional<QString> category READ category WRITE setCategory NOTIFY categoryChanged)
    Q_PROPERTY(std::optional<QString> libraryFilter READ libraryFilter WRITE setLibraryFilter NOTIFY
                   libraryFilterChanged)
    Q_PROPERTY(qm::BrowserList results READ results NOTIFY resultsChanged)
    Q_PROPERTY(std::set<std::string> indexing READ indexing NOTIFY indexingChanged)
    Q_PROPERTY(qint64 indexedCount READ indexedCount NOTIFY indexedCountChanged)
    Q_PROPERTY(std::vector<qm::FacetCount> categories READ categories NOTIFY categoriesChanged)
    Q_PROPERTY(std::vector<qm::FacetCount> libraries READ libraries NOTIFY librariesChanged)
    Q_PROPERTY(std::optional<QString> message READ message NOTIFY messageChanged)
    Q_PROPERTY(std::optional<QString> searchNote READ searchNote NOTIFY searchNoteChanged)

public:
    // Hits a search asks the catalog for.
    static constexpr int64_t kSearchLimit = 2000;
    // The pause after the last change of a search field.
    static constexpr int kSearchDelayMs = 90;
    // The team-change pull's period.
    static constexpr int kPullIntervalMs = 60000;

    // Opens the catalog at `catalogURL` (absent when that fails), lists the
    // start folder (the first stored root, else the Music folder), counts
    // the facets, rescans every root and starts the pull timer.
    LibraryModel(SettingsStore& settings, const std::filesystem::path& catalogURL, QObject* parent = nullptr);
    ~LibraryModel() override;

    const std::optional<std::filesystem::path>& folder() const { return folder_; }
    const BrowserList& entries() const { return entries_; }
    const QString& query() const { return query_; }
    void setQuery(const QString& query);
    const std::optional<QString>& category() const { return category_; }
    void setCategory(const std::optional<QString>& category);
    const std::optional<QString>& libraryFilter() const { return libraryFilter_; }
    void setLibraryFilter(const std::optional<QString>& library);
    const BrowserList& results() const { return results_; }
    const std::set<std::string>& indexing() const { return indexing_; }
    qint64 indexedCount() const { return indexedCount_; }
    const std::vector<FacetCount>& categories() const { return categories_; }
    const std::vector<FacetCount>& libraries() const { return libraries_; }
    const std::optional<QString>& message() const { return message_; }
    // What of the query the search leaves out ("Only the first 32 words are
    // searched"), for the search field; nothing while the whole is searched.
    const std::optional<QString>& searchNote() const { return searchNote_; }

    // Absent when the catalog file could not be opened.
    const std::shared_ptr<Catalog>& catalog() const { return catalog_; }
    // Where a damaged catalog file was set aside at start, if it was.
    const std::optional<std::filesystem::path>& damagedCatalog() const { return damagedCatalog_; }
    // The stored roots in canonical form, in stored order.
    std::vector<std::string> roots() const;
    // Music, Desktop, Downloads, the pulls folder, then the browsable,
    // visible volumes other than "/" in the system's order; not
    // de-duplicated.
    std::vector<std::filesystem::path> places() const;
    // A search field holds something: the query with blanks and tabs
    // trimmed (line breaks kept), a category or a library.
    bool isSearching() const;

    // Stores the folder as a root (standardised lexically; an exact string
    // already stored changes nothing) and rescans it.
    void addRoot(const std::filesystem::path& url);
    // Removes every stored root equal to `path` and, unless another stored
    // root has the same canonical form, the catalog rows of that form.
    void removeRoot(const std::string& path);
    // Lists the folder: sub-folders, then audio files with their catalog
    // rows, each sorted as the file manager sorts names. A folder that
    // cannot be listed is still the folder, with no entries.
    void open(const std::filesystem::path& url);
    // Lists the folder above, unless the folder is "/".
    void goUp();

    // Rescans every stored root not being scanned already.
    void rescanAll();
    // Pulls the colleagues' changes of every stored root into the catalog,
    // on the writer queue; what the 60 s timer runs. Sets `message` ("N
    // metadata changes from your team") only when N is 1 or more, or when
    // the catalog refused the changes.
    void pullColleagues();

    // Saves edited fields (iXML tag -> text; a key that is no tag changes no
    // field but is logged) and a rating into each file: embedded into
    // "wav", "wave" and "bwf" files, always into the catalog row (under the
    // longest library root holding the file, else its folder) and, under a
    // library root, into the team's change log. Returns at once; the save
    // runs on the writer queue after every write asked for before it, and
    // ends with "Saved metadata to N file(s)" or "Couldn't write N file(s):
    // " and the first three names, each with its reason in parentheses (then
    // " and N more" for the rest), and "Couldn't update the catalog for 1
    // file (a.wav): " or "... for 30 files (a.wav, b.wav, c.wav and 27
    // more): " and the reason when the catalog refused a file's row (a WAV
    // file holds the edit then, and the next scan catalogues it). A file that is gone, a folder, or a WAV file
    // that cannot be rewritten fails and changes nothing. Without a catalog,
    // WAV files are still saved.
    void save(const std::map<std::string, std::string>& changes, std::optional<int64_t> rating,
              const std::vector<std::filesystem::path>& urls);
    // Renames each file whose catalog row gives a UCS file name to that
    // name in its folder (extension kept), never over an existing item; the
    // row moves with the file. Runs on the writer queue after the writes
    // asked for before it, then sets "Renamed N file(s)" and rescans.
    void renameToUCS(const std::vector<std::filesystem::path>& urls);
    // Writes asked for whose result has not reached the main thread yet.
    int pendingWrites() const { return pendingWrites_; }
    // Recounts the facets and the files under the roots (the model does it
    // itself after each change of the catalog it makes).
    void refreshFacets();

    // Test seam: called on the search pool with each filter right before the
    // catalog runs it.
    void setSearchProbe(std::function<void(const Catalog::Filter&)> probe);
    // Test seam: called on the search pool each time the catalog asks a
    // running search whether to stop (every few hundred steps of SQLite's
    // program), with the answer.
    void setSearchStopProbe(std::function<void(bool stop)> probe);
    // Test seam: called on the writer queue for each rename after its checks
    // found the target free, right before the move.
    void setRenameProbe(std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)> probe);

signals:
    void folderChanged();
    void entriesChanged();
    void queryChanged();
    void categoryChanged();
    void libraryFilterChanged();
    void resultsChanged();
    void indexingChanged();
    void indexedCountChanged();
    void categoriesChanged();
    void librariesChanged();
    void messageChanged();
    void searchNoteChanged();

private:
    void rescan(const std::string& root);
    void finishScan(const std::string& root, uint64_t token, const std::string& problem);
    // Pulls `roots` on the writer queue, giving way to the writes asked for
    // meanwhile; `done` gets the total on the main thread (never once the
    // model is going).
    using PullDone = std::function<void(LibraryModel&, const ChangeLog::PullResult&)>;
    void startPull(std::vector<std::string> roots, PullDone done);
    void scheduleSearch();
    void startSearch();
    void setResults(BrowserList results);
    void setMessage(const std::string& text);
    // After a change of the catalog: facets, the search and the listing.
    void refreshViews();
    // Queues a write job; `finishWrite` runs on the main thread when its
    // result arrives.
    void startWrite(std::function<void()> job);
    void finishWrite();
    // Work done off the main thread whose result is applied on it, unless
    // the model is gone by then.
    static void deliver(QPointer<LibraryModel> self, std::function<void(LibraryModel&)> apply);

    SettingsStore& settings_;
    std::shared_ptr<Catalog> catalog_;
    std::optional<std::filesystem::path> damagedCatalog_;
    // Why there is no catalog (empty while there is one).
    std::string catalogProblem_;

    std::optional<std::filesystem::path> folder_;
    BrowserList entries_;
    QString query_;
    std::optional<QString> category_;
    std::optional<QString> libraryFilter_;
    BrowserList results_;
    std::set<std::string> indexing_;
    qint64 indexedCount_ = 0;
    std::vector<FacetCount> categories_;
    std::vector<FacetCount> libraries_;
    std::optional<QString> message_;
    std::optional<QString> searchNote_;

    // Searches: the filter of the pending one, the 90 ms wait, the
    // generation a result must still carry to be published.
    QTimer searchTimer_;
    Catalog::Filter pendingFilter_;
    std::shared_ptr<std::atomic<uint64_t>> searchGeneration_;
    std::shared_ptr<const std::function<void(const Catalog::Filter&)>> searchProbe_;
    std::shared_ptr<const std::function<void(bool)>> searchStopProbe_;
    QThreadPool searchPool_;

    // One thread per running scan, joined when its result arrives or when
    // the model goes.
    std::map<uint64_t, std::thread> scans_;
    uint64_t scanToken_ = 0;
    // The serial writer queue: one worker, jobs in the order asked for.
    QThreadPool writer_;
    int pendingWrites_ = 0;
    // Shared with the writer's jobs and the scans: a pull ends between
    // batches once the model is going or a save or rename waits behind it,
    // a scan between folders and batches once the model is going.
    struct WriterState {
        std::atomic<bool> stopping{false};
        std::atomic<int> waiting{0};
    };
    std::shared_ptr<WriterState> writerState_ = std::make_shared<WriterState>();
    using RenameProbe = std::function<void(const std::filesystem::path&, const std::filesystem::path&)>;
    std::shared_ptr<const RenameProbe> renameProbe_;
    QTimer pullTimer_;
};

}  // namespace qm

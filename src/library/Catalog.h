// The library catalog: one SQLite database file holding a row for every
// audio file under the user's library folders (its stamps, format facts and
// SoundMeta as JSON), a full-text index over file names, folder names and
// metadata, and the read positions of the team change logs already applied.
// Beside the fixed schema, added tables (created at open when missing, the
// rest left as it is) keep what a file cannot say for itself: the edits
// applied from colleagues' logs (kept_edits, laid over the file's own
// metadata whenever it is catalogued again), the rows kept for files that
// cannot be seen now (offline_files) and the folders found to be mount
// points (mount_points).
//
// One Catalog owns the connection and is shared by std::shared_ptr between
// the main thread and background tasks. Its mutex orders whole operations:
// row, rowsInFolder, stamps, stamp, search, facets, removeRoot, setLogOffset,
// logOffset, keptEdits, mountPoints, yieldsToken and transaction take it for
// their whole run. Writes happen only inside transaction(body): the body
// runs with the mutex held and calls the "inside a body" methods, which
// never lock and refuse to run on a thread that does not hold the mutex.
// The mutex is not re-entrant: a call that would take it again on the
// holding thread (row() inside a body, say) is a programming error and
// throws std::logic_error instead of deadlocking; so does upsert outside a
// body. isOffline has a lock of its own, so a listing never waits for a
// scan's batch to learn which rows are offline.
//
// Writes say when they fail: a transaction takes the write lock first
// (BEGIN IMMEDIATE, waiting up to the busy time-out for another program's
// lock), runs nothing when it cannot, and is rolled back whole when a
// statement of its body or its COMMIT fails; it returns the reason
// ("database is locked", "attempt to write a readonly database", kDiskFull).
// A failure SQLite answers by rolling the transaction back itself (a full
// disk, an I/O error, memory, a lock met inside a statement) leaves the
// connection in autocommit; nothing of the body after it may then store
// itself statement by statement: once a statement of the body has failed,
// the body's further writes are refused, and any commit but the
// transaction's own COMMIT is vetoed while a body runs. Lookups that fail
// find nothing; only opening throws.
//
// An intact catalog on a full disk (SQLite cannot even make the journal's
// shared memory) opens for reading, provided its journal holds nothing not
// yet folded into the file; waitingForRoom() says so, and each transaction
// tries to open it for writing again first, so that writing resumes by
// itself once there is room.
//
// A search can be stopped from another thread while it runs (Stop): SQLite
// is interrupted between two steps of its program and the lock is released
// at once, so an overtaken search never holds up the next one.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "library/SoundMeta.h"

struct sqlite3;

namespace qm {

class FtsTokenizer;
class UpsertStatements;
namespace sql {
class Statement;
}

class Catalog {
public:
    // SQLite could not open the file.
    static constexpr int kOpenFailed = 80;
    // A statement failed (the schema at open, exec); the text is SQLite's.
    static constexpr int kSQLFailed = 81;
    // The file at the catalog's name is no catalog: not a database, one that
    // fails its check, or no regular file at all (a folder, a FIFO).
    static constexpr int kDamaged = 82;
    // How long a write waits for another program's lock on the file.
    static constexpr std::chrono::milliseconds kBusyTimeout{5000};
    // The tag under which a kept edit's rating is stored.
    static constexpr std::string_view kRatingTag = "RATING";
    // The reason a write gives when the disk is full: SQLite's "database or
    // disk is full", and an I/O error whose cause is ENOSPC (the journal's
    // shared memory could not grow), which SQLite calls "disk I/O error".
    static constexpr std::string_view kDiskFull = "the disk holding the library catalog is full";

    // The schema script, run once at every open (idempotent).
    static const std::string& schema();
    // The tables added to it, created at open when missing (idempotent).
    static const std::string& additions();

    // One catalogued file as lookups and searches return it.
    struct Row {
        std::string path;
        std::string root;
        double duration = 0;    // seconds
        double sampleRate = 0;  // Hz; 0 when the file's facts were unreadable
        int channels = 0;
        int bits = 0;
        std::string codec;

        // The record; the empty one when the stored JSON does not decode.
        // A row read from the catalog decodes its JSON on the first call
        // (any thread; copies share the one decoding), so a list of 2,000
        // hits pays only for the rows that are looked at.
        const SoundMeta& meta() const;
        void setMeta(SoundMeta meta);
        // The record as the catalog stores it, decoded when first asked for.
        void setStoredMeta(std::string json);

        // "48 kHz · 24-bit · 2 ch", "44.1 kHz · 16-bit · mono", "48 kHz · AAC · 6 ch".
        std::string formatSummary() const;
        // Over every field, the record as decoded.
        bool operator==(const Row& other) const;

    private:
        struct Meta;
        std::shared_ptr<Meta> meta_;
    };

    struct Filter {
        std::string query = {};                             // as typed; may be empty
        std::optional<std::string> category = std::nullopt;  // exact stored (upper-case) value; none = any
        std::optional<std::string> library = std::nullopt;   // exact stored value; none = any
        std::vector<std::string> roots = {};                 // canonical roots; empty = all
        int64_t minRating = 0;                // used only when 1 or more
    };

    struct Stamp {
        int64_t size = 0;
        double mtime = 0;  // seconds since 1970

        // The row was written for the file as it is now: the same size, and
        // an mtime within 1 ms (the column is a double).
        bool describes(int64_t fileSize, double fileMtime) const {
            return size == fileSize && std::abs(mtime - fileMtime) < 0.001;
        }
        bool operator==(const Stamp&) const = default;
    };

    struct Facets {
        std::vector<std::pair<std::string, int64_t>> categories;  // most frequent first, at most 200
        std::vector<std::pair<std::string, int64_t>> libraries;
        int64_t total = 0;  // rows under the roots
    };

    // The statement search() runs: its text and its bound texts in order.
    struct Query {
        std::string sql;
        std::vector<std::string> binds;
    };

    // Whether a word of a query gives the full-text index anything to match.
    using WordFilter = std::function<bool(std::string_view word)>;

    // One field of a colleague's edit kept for a file.
    struct KeptEdit {
        std::string tag;    // an iXML tag of SoundMeta::ixmlTags, or kRatingTag
        std::string value;  // the text; the rating in decimal
        int64_t time = 0;   // the entry's time, seconds since 1970
        std::string author;
        bool operator==(const KeptEdit&) const = default;

        // Lays kept edits over `meta`, in order (a rating that is no
        // number changes nothing).
        static void layOver(const std::vector<KeptEdit>& kept, SoundMeta& meta);
    };

    // The file at the catalog's name as opening found it.
    struct Opening {
        std::shared_ptr<Catalog> catalog;  // absent when none could be had
        // Where a damaged file went (beside it, "<name>.damaged-<date>");
        // a new, empty catalog took its place.
        std::optional<std::filesystem::path> setAside;
        // Why the file was set aside, or why there is no catalog.
        std::string problem;
    };
    // Opens the catalog at `url`. A damaged one (kDamaged) is moved aside,
    // never deleted, with its journal files, and a new one is made; any
    // other failure leaves no catalog. Never throws.
    static Opening openOrReplace(const std::filesystem::path& url);

    // Opens or creates the database at `url`, creating its folder, and
    // checks it (PRAGMA quick_check). Throws AppError kFileWriteFailed when
    // the folder cannot be made (the system's reason in the text),
    // kOpenFailed when SQLite cannot open the file or `url` is empty,
    // kDamaged when the file is no catalog, and kSQLFailed when the schema
    // fails for another reason (a lock held past the busy time-out; a full
    // disk that leaves nothing to read, kDiskFull). A file that cannot be
    // written opens read-only: lookups work, writes fail; one on a full disk
    // opens for reading until there is room.
    explicit Catalog(const std::filesystem::path& url);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    // Runs `body` under the mutex between BEGIN IMMEDIATE and COMMIT.
    // Nothing when it was committed; else the reason, and nothing of it was
    // stored: when BEGIN fails the body does not run, and when a statement
    // of the body or the COMMIT fails everything is rolled back, what SQLite
    // rolled back by itself included (the body's later writes do nothing).
    // An exception from the body rolls back, unlocks and propagates.
    std::optional<std::string> transaction(const std::function<void()>& body);
    // True when the file could only be opened for reading.
    bool readOnly() const { return readOnly_; }
    // True while the file is open for reading only because its disk was
    // full; the next transaction tries to write again.
    bool waitingForRoom() const { return waitingForRoom_; }
    // How long a write waits for another connection's lock (kBusyTimeout
    // unless set).
    void setBusyTimeout(std::chrono::milliseconds timeout);
    // Test seam: called on the waiting thread, under the mutex, each time a
    // statement finds the file locked by another connection and waits.
    void setBusyObserver(std::function<void()> observer);

    // Inside a transaction body only. Runs SQL text; throws AppError
    // kSQLFailed with SQLite's message ("SQL error" when it gives none).
    void exec(const std::string& sql);
    // Inside a transaction body only. Inserts or updates the row of `path`
    // and replaces its full-text row under the same id. `info` absent stores
    // zero facts. A failure fails the transaction. Texts keep every byte (a
    // NUL does not cut them); channels, bits and the rating are clamped to
    // the signed 32-bit range of their columns.
    void upsert(const std::string& path, const std::string& root, int64_t size, double mtime,
                const std::optional<AudioFileInfo>& info, const SoundMeta& meta);
    // Inside a transaction body only. Deletes the full-text row, then the
    // file row, of `path`, and what is kept for it.
    void removePath(const std::string& path);
    // Inside a transaction body only. Gives the row of `from` the path `to`
    // (a file moved on disk: its record, stamps and all, goes with it, its
    // kept edits too, and its full-text name follows); a row left at `to`
    // by a file that is no longer there is deleted first. False when `from`
    // has no row.
    bool movePath(const std::string& from, const std::string& to);
    // Inside a transaction body only. The row of `path`, as row() gives it.
    std::optional<Row> heldRow(const std::string& path);
    // Inside a transaction body only. Replaces the record of the row of
    // `path` and its full-text body, keeping its stamps and facts (a file
    // that cannot be read now, or one the row still describes). False when
    // `path` has no row.
    bool rewriteMeta(const std::string& path, const SoundMeta& meta);
    // Inside a transaction body only. Keeps the fields of an applied edit
    // (iXML tags; others are not kept) and its rating for `path`, replacing
    // what was kept for the same tags.
    void keepEdits(const std::string& path, const std::map<std::string, std::string>& fields,
                   std::optional<int64_t> rating, int64_t time, const std::string& author);
    // Inside a transaction body only. Lays the edits kept for `path` over
    // `meta`, as they were applied.
    void applyKeptEdits(const std::string& path, SoundMeta& meta);
    // Inside a transaction body only. Forgets the edits kept for `path`: the
    // file itself holds them now.
    void dropKeptEdits(const std::string& path);
    // Inside a transaction body only. Stores the bytes of a log applied, in
    // the same transaction as what they applied.
    void writeLogOffset(const std::string& logfile, int64_t offset);
    // Inside a transaction body only. The files under `root` whose rows are
    // kept while they cannot be seen, replacing the root's earlier ones;
    // isOffline follows once the transaction is committed.
    void setOfflineFiles(const std::string& root, const std::vector<std::string>& paths);
    // Inside a transaction body only. The folders under `root` (itself
    // included) to be taken for mount points, replacing the earlier ones.
    void setMountPoints(const std::string& root, const std::set<std::string>& folders);
    // Inside a transaction body only. The stamps stored for `path` when its
    // row belongs to `root`: what a scan checks just before it writes,
    // under the same hold.
    std::optional<Stamp> heldStamp(const std::string& path, const std::string& root);

    std::optional<Row> row(const std::string& path);
    // The rows of the files directly in `folder` (a canonical path), by
    // path, from one range query over the path key (a folder listing of
    // 100,000 files): for each, exactly what row(path) gives.
    std::unordered_map<std::string, Row> rowsInFolder(const std::string& folder);
    std::map<std::string, Stamp> stamps(const std::string& root);
    // The stamps stored for one path; nothing when it has no row.
    std::optional<Stamp> stamp(const std::string& path);
    // Deletes every full-text and file row of `root`, and what is kept for
    // them, in one transaction; what transaction() returns.
    std::optional<std::string> removeRoot(const std::string& root);
    // The edits kept for `path`, by tag.
    std::vector<KeptEdit> keptEdits(const std::string& path);
    // Whether the row of `path` is kept for a file that cannot be seen now
    // (its drive unmounted, its folder unreadable).
    bool isOffline(const std::string& path) const;
    // The offline files directly in `folder`, and the names of the folders
    // in it that hold offline files, deeper ones included.
    struct OfflineBelow {
        std::vector<std::string> files;
        std::set<std::string> folders;
    };
    OfflineBelow offlineBelow(const std::string& folder) const;
    // The offline files of `root`.
    std::vector<std::string> offlineFiles(const std::string& root) const;
    // The folders of `root` taken for mount points (setMountPoints).
    std::set<std::string> mountPoints(const std::string& root);
    // Bytes of another user's change log already applied (0 when unknown).
    void setLogOffset(const std::string& logfile, int64_t offset);
    int64_t logOffset(const std::string& logfile);

    // Asked again and again while a search runs; true ends it at once,
    // releasing the lock.
    using Stop = std::function<bool()>;

    // Rows matching the filter: best first with a text query (bm25 with the
    // weights name 4, folders 1, body 2; equal scores by row id), else in
    // path order; at most `limit` (a negative limit is none). Never fails (a
    // bad statement gives no rows); a search that `stop` ends gives none.
    std::vector<Row> search(const Filter& filter, int64_t limit, const Stop& stop = {});
    // Per-category and per-library counts of the rows under `roots` (all
    // rows when empty), and their total.
    Facets facets(const std::vector<std::string>& roots);

    // A typed query is searched by its first kMaxQueryWords words and
    // kMaxQueryChars characters of words at most (a word that would pass the
    // second bound ends the query there; a first word alone past it is cut):
    // FTS5's time grows with the square of a query's terms.
    static constexpr size_t kMaxQueryWords = 32;
    static constexpr size_t kMaxQueryChars = 256;
    struct QueryBound {
        size_t words = 0;        // words of the query
        size_t kept = 0;         // of them searched
        bool shortened = false;  // the first word was cut to kMaxQueryChars
        bool bounded() const { return kept < words || shortened; }
        bool operator==(const QueryBound&) const = default;
    };
    // How much of a typed query a search uses.
    static QueryBound queryBound(std::string_view query);

    // The full-text expression of a typed query, or nothing when it holds no
    // positive term. Tokens split at spaces and commas; a leading "-" or
    // "/-" excludes; every word becomes a quoted prefix term; words past the
    // bounds above are dropped. With `yieldsToken`, words the index would
    // find nothing for ("&") are left out instead of making the whole match
    // fail.
    static std::optional<std::string> matchExpression(std::string_view query,
                                                      const WordFilter& yieldsToken = {},
                                                      QueryBound* bound = nullptr);
    // The one statement that gives search()'s rows for a filter, as SQLite
    // runs it (search() ranks a text query faster, with the same result).
    static Query searchQuery(const Filter& filter, int64_t limit, const WordFilter& yieldsToken = {});
    // The three statements facets() runs: the total, then the category and
    // the library counts (roots written in as quoted texts).
    static std::array<std::string, 3> facetStatements(const std::vector<std::string>& roots);
    // Whether the full-text table's own tokenizer finds a token in `word`.
    bool yieldsToken(std::string_view word);

    // True while a transaction is open on the connection (never between
    // calls, even after a failed COMMIT).
    bool inTransaction();

    // A catalog made by an earlier version has a full-text table without
    // prefix indexes; it keeps answering from it while the table is rebuilt
    // (library/CatalogUpgrade.h). True while that rebuild is not finished.
    bool upgradePending();
    // One piece of the rebuild, up to `rows` rows, in a transaction of its
    // own under the lock; true while pieces remain. Throws AppError when a
    // statement or the COMMIT fails (the piece is then rolled back).
    bool upgradeStep(int64_t rows = kUpgradeRows);
    // Runs the pieces on a thread of the catalog's own, one after another
    // with a pause between them for other users of the lock, until the
    // rebuild is done, fails (the old table then stays) or the catalog goes
    // (the destructor waits for the piece running then, a few dozen ms).
    void upgradeInBackground();
    static constexpr int64_t kUpgradeRows = 2000;

private:
    class Hold;
    struct Connection;
    // A text search: every hit ranked, the best `limit` that pass the
    // filter's other conditions (`others`: conditions on files f joined by
    // AND, and their binds) kept, then their rows read.
    std::vector<Row> rankedSearch(const std::string& match, const Query& others, int64_t limit);
    void requireHeld(const char* what) const;
    // Inside a body: requireHeld, then whether the body may still write
    // (no statement of it has failed).
    bool mayWrite(const char* what) const;
    bool execQuietly(const char* sql);
    std::optional<Stamp> readStamp(const std::string& path, const std::string* root);
    // Notes the first failed statement of the running transaction.
    void failed(int rc);
    // What a failed statement says: kDiskFull for a full disk, else SQLite's text.
    std::string reason(int rc) const;
    // Opens the file for writing again after the disk was full; false
    // (the reading connection kept) while it cannot be.
    bool resumeWriting();
    // Exchanges the connection and what is prepared on it with `other`.
    void swapConnection(Connection& other) noexcept;
    static int onCommit(void* self);
    // Replaces the paths of `root` in a table of (path, root) rows.
    void replacePaths(std::string_view table, const std::string& root, const std::vector<std::string>& paths);
    // Opens the connection; `readOnly` opens a file that cannot be written
    // for reading alone.
    void open(const std::filesystem::path& url, bool readOnly);
    void close() noexcept;
    static int onBusy(void* self, int count);

    std::filesystem::path url_;
    sqlite3* db_ = nullptr;
    // Asked without the lock by the model's thread.
    std::atomic<bool> readOnly_{false};
    std::atomic<bool> waitingForRoom_{false};
    // A body runs, and its own COMMIT: any other commit meanwhile would
    // store part of the body (onCommit vetoes it).
    bool inBody_ = false;
    bool committing_ = false;
    // The running transaction's first failure, and the offline files it
    // will publish once committed.
    std::optional<std::string> failure_;
    std::optional<std::pair<std::string, std::vector<std::string>>> pendingOffline_;
    // The paths kept_edits may hold anything for (a superset: a path stays
    // after its edits go), so that a scan asks the table only for those.
    std::unordered_set<std::string> keptPaths_;
    // A scan asks for the kept edits of every file it writes, a pull keeps
    // and reads one row per entry: prepared once.
    std::unique_ptr<sql::Statement> keptQuery_;
    std::unique_ptr<sql::Statement> keepStatement_;
    std::unique_ptr<sql::Statement> heldRowQuery_;
    std::chrono::milliseconds busyTimeout_ = kBusyTimeout;
    std::chrono::steady_clock::time_point busySince_{};
    std::function<void()> busyObserver_;
    // Offline file -> its root.
    mutable std::mutex offlineMutex_;
    std::unordered_map<std::string, std::string> offline_;
    std::unique_ptr<FtsTokenizer> tokenizer_;
    // Preparing the upsert's three statements cost more than writing the
    // rows (bench_catalog): they are prepared once, on the first upsert.
    std::unique_ptr<UpsertStatements> upserts_;
    // A scan asks for one stamp per file it writes: prepared once.
    std::unique_ptr<sql::Statement> stampQuery_;
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
    std::thread upgrader_;
    std::atomic<bool> closing_{false};
};

}  // namespace qm

template <>
struct std::hash<qm::Catalog::Row> {
    size_t operator()(const qm::Catalog::Row& row) const noexcept;
};

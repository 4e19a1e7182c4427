// The library catalog: one SQLite database file holding a row for every
// audio file under the user's library folders (its stamps, format facts and
// SoundMeta as JSON), a full-text index over file names, folder names and
// metadata, and the read positions of the team change logs already applied.
//
// One Catalog owns the connection and is shared by std::shared_ptr between
// the main thread and background tasks. Its mutex orders whole operations:
// row, rowsInFolder, stamps, stamp, search, facets, removeRoot, setLogOffset,
// logOffset, yieldsToken and transaction take it for their whole run. Writes
// happen only inside transaction(body): the body runs with the mutex held and
// calls upsert, removePath, movePath, heldStamp and exec, which never lock and
// refuse to run on a thread that does not hold the mutex. The mutex is not
// re-entrant: a call that would take it again on the holding thread (row()
// inside a body, say) is a programming error and throws std::logic_error
// instead of deadlocking; so does upsert outside a body.
//
// Every failure after opening is swallowed as the callers expect (a lookup
// finds nothing, a write writes nothing); only opening throws.
#pragma once

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
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

    // The schema script, run once at every open (idempotent).
    static const std::string& schema();

    // One catalogued file as lookups and searches return it.
    struct Row {
        std::string path;
        std::string root;
        double duration = 0;    // seconds
        double sampleRate = 0;  // Hz; 0 when the file's facts were unreadable
        int channels = 0;
        int bits = 0;
        std::string codec;
        SoundMeta meta;

        // "48 kHz · 24-bit · 2 ch", "44.1 kHz · 16-bit · mono", "48 kHz · AAC · 6 ch".
        std::string formatSummary() const;
        bool operator==(const Row&) const = default;
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

    // Opens or creates the database at `url`, creating its folder. Throws
    // AppError kFileWriteFailed when the folder cannot be made (the system's
    // reason in the text), kOpenFailed when SQLite cannot open the file or `url` is empty, and
    // kSQLFailed when the schema fails (a file that is not a database).
    explicit Catalog(const std::filesystem::path& url);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    // Runs `body` under the mutex between BEGIN and COMMIT. A failed COMMIT
    // is rolled back, so no transaction stays open; an exception from the
    // body rolls back, unlocks and propagates.
    void transaction(const std::function<void()>& body);

    // Inside a transaction body only. Runs SQL text; throws AppError
    // kSQLFailed with SQLite's message ("SQL error" when it gives none).
    void exec(const std::string& sql);
    // Inside a transaction body only. Inserts or updates the row of `path`
    // and replaces its full-text row under the same id. `info` absent stores
    // zero facts. Failures write nothing and are not reported. Texts keep
    // every byte (a NUL does not cut them); channels, bits and the rating are
    // clamped to the signed 32-bit range of their columns.
    void upsert(const std::string& path, const std::string& root, int64_t size, double mtime,
                const std::optional<AudioFileInfo>& info, const SoundMeta& meta);
    // Inside a transaction body only. Deletes the full-text row, then the
    // file row, of `path`.
    void removePath(const std::string& path);
    // Inside a transaction body only. Gives the row of `from` the path `to`
    // (a file moved on disk: its record, stamps and all, goes with it, and
    // its full-text name follows); a row left at `to` by a file that is no
    // longer there is deleted first. False when `from` has no row.
    bool movePath(const std::string& from, const std::string& to);
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
    // Deletes every full-text and file row of `root` in one transaction.
    void removeRoot(const std::string& root);
    // Bytes of another user's change log already applied (0 when unknown).
    void setLogOffset(const std::string& logfile, int64_t offset);
    int64_t logOffset(const std::string& logfile);

    // Rows matching the filter: best first with a text query, else in path
    // order; at most `limit`. Never fails (a bad statement gives no rows).
    std::vector<Row> search(const Filter& filter, int64_t limit);
    // Per-category and per-library counts of the rows under `roots` (all
    // rows when empty), and their total.
    Facets facets(const std::vector<std::string>& roots);

    // The full-text expression of a typed query, or nothing when it holds no
    // positive term. Tokens split at spaces and commas; a leading "-" or
    // "/-" excludes; every word becomes a quoted prefix term. With
    // `yieldsToken`, words the index would find nothing for ("&") are left
    // out instead of making the whole match fail.
    static std::optional<std::string> matchExpression(std::string_view query,
                                                      const WordFilter& yieldsToken = {});
    // The statement search() prepares for a filter.
    static Query searchQuery(const Filter& filter, int64_t limit, const WordFilter& yieldsToken = {});
    // The three statements facets() runs: the total, then the category and
    // the library counts (roots written in as quoted texts).
    static std::array<std::string, 3> facetStatements(const std::vector<std::string>& roots);
    // Whether the full-text table's own tokenizer finds a token in `word`.
    bool yieldsToken(std::string_view word);

    // True while a transaction is open on the connection (never between
    // calls, even after a failed COMMIT).
    bool inTransaction();

private:
    class Hold;
    void requireHeld(const char* what) const;
    bool execQuietly(const char* sql);
    std::optional<Stamp> readStamp(const std::string& path, const std::string* root);
    void close() noexcept;

    sqlite3* db_ = nullptr;
    std::unique_ptr<FtsTokenizer> tokenizer_;
    // Preparing the upsert's three statements cost more than writing the
    // rows (bench_catalog): they are prepared once, on the first upsert.
    std::unique_ptr<UpsertStatements> upserts_;
    // A scan asks for one stamp per file it writes: prepared once.
    std::unique_ptr<sql::Statement> stampQuery_;
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
};

}  // namespace qm

template <>
struct std::hash<qm::Catalog::Row> {
    size_t operator()(const qm::Catalog::Row& row) const noexcept;
};

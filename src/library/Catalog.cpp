#include "library/Catalog.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "audio/Text.h"
#include "library/CatalogInternal.h"
#include "library/CatalogUpgrade.h"
#include "library/FtsTokenizer.h"
#include "library/PathText.h"
#include "library/SqliteStatement.h"
#include "library/TextRank.h"
#include "library/UpsertStatements.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm {

using catalog_internal::rowFrom;
using catalog_internal::sqlText;

namespace {

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

constexpr std::string_view kRowByPath =
    "SELECT path, root, duration, sr, channels, bits, codec, meta FROM files WHERE path = ?";

// The file cannot be written where it lies (a read-only file system).
struct CannotWrite {};
// The disk holding the file has no room for what opening writes.
struct NoRoom {};

// The text of a transaction SQLite ended without a failing statement of
// ours seeing it (a lookup's failure, say).
constexpr const char* kEndedEarly = "the catalog's transaction was rolled back by SQLite";

// The system's code of the failure just met: the one SQLite noted for the
// statement, else (a COMMIT notes none) the file system's last one.
int systemError(sqlite3* db) {
    if (const int noted = sqlite3_system_errno(db)) return noted;
    sqlite3_vfs* vfs = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_VFS_POINTER, &vfs) == SQLITE_OK && vfs && vfs->xGetLastError)
        return vfs->xGetLastError(vfs, 0, nullptr);
    return 0;
}

// A full disk: SQLite's own code, or an I/O error whose cause is ENOSPC
// (the journal's shared memory, which SQLite grows itself, could not
// grow). Asked right after the failure, while the system's code is the one
// it left.
bool isFull(sqlite3* db, int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_FULL || (primary == SQLITE_IOERR && db && systemError(db) == ENOSPC);
}

// Results that say the file holds no catalog: not a database, or one whose
// pages are broken. A lock, a full disk or a read-only file are no damage.
bool isDamage(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string errorText(sqlite3* db, int rc, const char* message) {
    if (message && *message) return message;
    if (db && sqlite3_errcode(db) == rc) return sqlite3_errmsg(db);
    return sqlite3_errstr(rc);
}

}  // namespace

// The connection and what is prepared on it; closed when it goes, the
// prepared statements and the tokenizer first.
struct Catalog::Connection {
    sqlite3* db = nullptr;
    std::unique_ptr<FtsTokenizer> tokenizer;
    std::unique_ptr<UpsertStatements> upserts;
    std::unique_ptr<sql::Statement> stampQuery, keptQuery, keepStatement, heldRowQuery;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        upserts.reset();
        stampQuery.reset();
        keptQuery.reset();
        keepStatement.reset();
        heldRowQuery.reset();
        tokenizer.reset();
        if (db) sqlite3_close_v2(db);
    }
};

void Catalog::swapConnection(Connection& other) noexcept {
    std::swap(db_, other.db);
    std::swap(tokenizer_, other.tokenizer);
    std::swap(upserts_, other.upserts);
    std::swap(stampQuery_, other.stampQuery);
    std::swap(keptQuery_, other.keptQuery);
    std::swap(keepStatement_, other.keepStatement);
    std::swap(heldRowQuery_, other.heldRowQuery);
}

const std::string& Catalog::schema() {
    static const std::string text =
        "PRAGMA journal_mode=WAL;\n"
        "PRAGMA synchronous=NORMAL;\n"
        "CREATE TABLE IF NOT EXISTS files (\n"
        "  id INTEGER PRIMARY KEY, path TEXT UNIQUE NOT NULL, root TEXT NOT NULL, size INTEGER, "
        "mtime REAL,\n"
        "  duration REAL, sr REAL, channels INTEGER, bits INTEGER, codec TEXT, meta TEXT NOT NULL,\n"
        "  category TEXT, library TEXT, rating INTEGER DEFAULT 0, indexed REAL);\n"
        "CREATE INDEX IF NOT EXISTS files_root ON files(root);\n"
        "CREATE INDEX IF NOT EXISTS files_category ON files(category);\n"
        "CREATE INDEX IF NOT EXISTS files_library ON files(library);\n"
        "CREATE INDEX IF NOT EXISTS files_root_category ON files(root, category);\n"
        "CREATE INDEX IF NOT EXISTS files_root_library ON files(root, library);\n"
        "CREATE VIRTUAL TABLE IF NOT EXISTS fts USING " +
        CatalogUpgrade::textTableArguments() +
        ";\n"
        "CREATE TABLE IF NOT EXISTS log_offsets (logfile TEXT PRIMARY KEY, offset INTEGER NOT NULL);";
    return text;
}

const std::string& Catalog::additions() {
    static const std::string text =
        "CREATE TABLE IF NOT EXISTS kept_edits (path TEXT NOT NULL, tag TEXT NOT NULL, value TEXT NOT NULL, "
        "time INTEGER NOT NULL, author TEXT NOT NULL, PRIMARY KEY (path, tag));\n"
        "CREATE TABLE IF NOT EXISTS offline_files (path TEXT PRIMARY KEY, root TEXT NOT NULL);\n"
        "CREATE INDEX IF NOT EXISTS offline_files_root ON offline_files(root);\n"
        "CREATE TABLE IF NOT EXISTS mount_points (path TEXT PRIMARY KEY, root TEXT NOT NULL);";
    return text;
}

Catalog::Catalog(const std::filesystem::path& url) : url_(url) {
    // SQLite reads an empty name as a private temporary database: the
    // catalog would seem to open and lose everything at exit.
    if (url.empty()) throw AppError(kOpenFailed, "Can't open the library catalog");
    const std::filesystem::path folder = url.parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec)
            throw AppError(kFileWriteFailed,
                           fmt::format("Can't create the folder \"{}\": {}", folder.string(), ec.message()));
    }
    // SQLite would open a FIFO and then wait for ever on its first read.
    struct stat st {};
    if (::stat(url.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw AppError(kDamaged, "The library catalog is not a file");
    try {
        try {
            open(url, false);
        } catch (const CannotWrite&) {
            // A catalog on a read-only file system: SQLite cannot make the
            // journal's shared-memory file beside it, so it is read as a
            // file that nothing changes.
            close();
            open(url, true);
        } catch (const NoRoom&) {
            // An intact catalog on a full disk is read the same way until
            // there is room, provided its journal holds nothing: what a
            // journal holds is not read without the shared memory that
            // could not be made, and the file alone would be out of date.
            close();
            std::error_code ec;
            const uintmax_t journal = std::filesystem::file_size(url.string() + "-wal", ec);
            if (!ec && journal > 0) throw AppError(kSQLFailed, std::string(kDiskFull));
            try {
                open(url, true);
            } catch (const AppError& e) {
                if (e.code() == kDamaged) throw;
                throw AppError(kSQLFailed, std::string(kDiskFull));  // a new file: nothing to read
            }
            waitingForRoom_ = true;
        }
    } catch (...) {
        close();  // no destructor runs after a throwing constructor
        throw;
    }
}

void Catalog::open(const std::filesystem::path& url, bool readOnly) {
    int rc;
    if (readOnly) {
        // A URI, so that the file can be named immutable; every byte that is
        // not plain is escaped.
        std::string uri = "file:";
        for (const char c : url.string()) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                               std::string_view("/-._~").find(c) != std::string_view::npos;
            if (plain)
                uri += c;
            else
                uri += fmt::format("%{:02X}", static_cast<unsigned char>(c));
        }
        uri += "?immutable=1";
        rc = sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    } else {
        rc = sqlite3_open_v2(url.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    }
    if (rc != SQLITE_OK) throw AppError(kOpenFailed, "Can't open the library catalog");
    sqlite3_busy_handler(db_, &Catalog::onBusy, this);
    sqlite3_commit_hook(db_, &Catalog::onCommit, this);
    readOnly_ = readOnly || sqlite3_db_readonly(db_, "main") == 1;
    // Until the file has passed its check, closing leaves its journal as it
    // was found: a damaged file is set aside as it is, not with its journal
    // folded into it.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);

    // What a failed statement at open says: a damaged file throws kDamaged;
    // a file SQLite cannot write beside (its journal's shared memory on a
    // read-only file system) is opened again for reading; a catalog that
    // can only be read still answers lookups, provided it has the tables
    // (the additions may be missing: nothing is kept then, and nothing can
    // be); anything else throws kSQLFailed.
    auto judge = [&](int result, const std::string& text) {
        if (isDamage(result)) throw AppError(kDamaged, text);
        const int primary = result & 0xFF;
        if (primary == SQLITE_CANTOPEN && !readOnly && ::access(url.c_str(), F_OK) == 0) throw CannotWrite{};
        if (!readOnly && isFull(db_, result)) throw NoRoom{};
        if (readOnly_ && primary == SQLITE_READONLY) return;
        throw AppError(kSQLFailed, text);
    };
    // A flipped page or a file cut short would otherwise open and then make
    // every search come back empty: the whole file is checked once, before
    // anything is written into it.
    {
        sql::Statement check(db_, "PRAGMA quick_check(1)");
        const int result = check.step();
        if (result == SQLITE_ROW && check.text(0) != "ok")
            throw AppError(kDamaged, "The library catalog is damaged: " + check.text(0));
        if (result != SQLITE_ROW && result != SQLITE_DONE) judge(result, errorText(db_, result, nullptr));
    }
    auto run = [&](const std::string& sql) {
        char* message = nullptr;
        const int result = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
        const std::string text = errorText(db_, result, message);
        sqlite3_free(message);
        if (result != SQLITE_OK) judge(result, text);
    };
    if (readOnly) {
        sql::Statement files(db_, "SELECT 1 FROM sqlite_master WHERE name = 'files'");
        const int found = files.step();
        if (isDamage(found)) throw AppError(kDamaged, errorText(db_, found, nullptr));
        if (found != SQLITE_ROW) throw AppError(kSQLFailed, "The library catalog has no files table");
    } else {
        run(schema());
        run(additions());
    }

    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    tokenizer_ = std::make_unique<FtsTokenizer>(db_, CatalogUpgrade::kTokenizer);
    if (!TextRank::install(db_, "fts")) throw AppError(kSQLFailed, "The full-text ranking is not available");

    sql::Statement kept(db_, "SELECT DISTINCT path FROM kept_edits");
    while (kept.step() == SQLITE_ROW) keptPaths_.insert(kept.text(0));
    sql::Statement offline(db_, "SELECT path, root FROM offline_files");
    std::lock_guard lock(offlineMutex_);
    while (offline.step() == SQLITE_ROW) offline_.emplace(offline.text(0), offline.text(1));
}

bool Catalog::resumeWriting() {
    Connection reading;
    swapConnection(reading);
    try {
        open(url_, false);
    } catch (...) {
        // Still no room, or no file that opens for writing: reading goes on.
        close();
        swapConnection(reading);
        readOnly_ = true;
        return false;
    }
    waitingForRoom_ = false;
    return true;
}

Catalog::Opening Catalog::openOrReplace(const std::filesystem::path& url) {
    Opening out;
    try {
        out.catalog = std::make_shared<Catalog>(url);
        return out;
    } catch (const AppError& e) {
        out.problem = e.what();
        if (e.code() != kDamaged) return out;
    } catch (const std::exception& e) {
        out.problem = e.what();
        return out;
    }
    // Set aside under a name of its own, never over an earlier one, with
    // its journal files, which belong to it and would be read as the new
    // file's.
    const std::optional<std::filesystem::path> aside = FileAccess::setAside(url, "damaged", FileAccess::Aside::move);
    if (!aside) {
        out.problem += fmt::format(" and could not be set aside: {}", errno == EEXIST ? "no free name" : std::strerror(errno));
        return out;
    }
    out.setAside = aside;
    for (const char* journal : {"-wal", "-shm"})
        FileAccess::renameNoReplace(url.string() + journal, aside->string() + journal);
    try {
        out.catalog = std::make_shared<Catalog>(url);
    } catch (const std::exception& e) {
        out.problem = e.what();
    }
    return out;
}

Catalog::~Catalog() {
    closing_ = true;
    if (upgrader_.joinable()) upgrader_.join();
    close();
}

void Catalog::close() noexcept {
    Connection gone;
    swapConnection(gone);
}

int Catalog::onBusy(void* self, int count) {
    auto* catalog = static_cast<Catalog*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) catalog->busySince_ = now;
    const auto left = catalog->busyTimeout_ - (now - catalog->busySince_);
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    if (catalog->busyObserver_) catalog->busyObserver_();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(5)));
    return 1;
}

void Catalog::setBusyTimeout(std::chrono::milliseconds timeout) {
    Hold hold(*this);
    busyTimeout_ = timeout;
}

void Catalog::setBusyObserver(std::function<void()> observer) {
    Hold hold(*this);
    busyObserver_ = std::move(observer);
}

void Catalog::requireHeld(const char* what) const {
    if (holder_.load() != std::this_thread::get_id())
        throw std::logic_error(fmt::format("Catalog::{} runs only inside a transaction", what));
}

bool Catalog::mayWrite(const char* what) const {
    requireHeld(what);
    return !failure_;
}

bool Catalog::execQuietly(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string Catalog::reason(int rc) const {
    return isFull(db_, rc) ? std::string(kDiskFull) : std::string(sqlite3_errstr(rc));
}

void Catalog::failed(int rc) {
    if (!failure_) failure_ = reason(rc);
}

int Catalog::onCommit(void* self) {
    auto* catalog = static_cast<Catalog*>(self);
    if (!catalog->inBody_) return 0;
    // While a body runs only an autocommit statement commits: SQLite ended
    // the body's transaction, and this statement would store a part of it.
    if (!catalog->failure_) catalog->failure_ = kEndedEarly;
    return 1;  // made a rollback
}

std::optional<std::string> Catalog::transaction(const std::function<void()>& body) {
    Hold hold(*this);
    if (readOnly_ && !(waitingForRoom_ && resumeWriting()))
        return waitingForRoom_ ? std::string(kDiskFull) : std::string(sqlite3_errstr(SQLITE_READONLY));
    failure_.reset();
    pendingOffline_.reset();
    // The write lock first: waiting for it is where another program's lock
    // is waited for (the busy handler), and a transaction that cannot have
    // it writes nothing at all rather than part of its body unprotected.
    if (const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK)
        return reason(rc);
    try {
        inBody_ = true;
        body();
        inBody_ = false;
    } catch (...) {
        inBody_ = false;
        execQuietly("ROLLBACK");
        failure_.reset();
        pendingOffline_.reset();
        throw;
    }
    std::optional<std::string> failure = std::move(failure_);
    failure_.reset();
    // Ended by SQLite with no statement of ours seeing it fail.
    if (!failure && sqlite3_get_autocommit(db_)) failure = kEndedEarly;
    if (!failure) {
        // A COMMIT that fails (disk full, I/O error) may leave the
        // transaction open, and every later BEGIN would then fail.
        if (const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK)
            failure = reason(rc);
    }
    if (failure) {
        execQuietly("ROLLBACK");
        pendingOffline_.reset();
        return failure;
    }
    if (pendingOffline_) {
        const std::string& root = pendingOffline_->first;
        std::lock_guard lock(offlineMutex_);
        std::erase_if(offline_, [&](const auto& entry) { return entry.second == root; });
        for (std::string& path : pendingOffline_->second) offline_.emplace(std::move(path), root);
        pendingOffline_.reset();
    }
    return std::nullopt;
}

void Catalog::exec(const std::string& sql) {
    requireHeld("exec");
    catalog_internal::run(db_, sql);
}

void Catalog::upsert(const std::string& path, const std::string& root, int64_t size, double mtime,
                     const std::optional<AudioFileInfo>& info, const SoundMeta& meta) {
    if (!mayWrite("upsert")) return;
    if (!upserts_) upserts_ = std::make_unique<UpsertStatements>(db_);
    if (const int rc = upserts_->run(path, root, size, mtime, info, meta, secondsSince1970()); rc != SQLITE_OK)
        failed(rc);
}

bool Catalog::rewriteMeta(const std::string& path, const SoundMeta& meta) {
    if (!mayWrite("rewriteMeta")) return false;
    if (!upserts_) upserts_ = std::make_unique<UpsertStatements>(db_);
    const int rc = upserts_->rewriteMeta(path, meta, secondsSince1970());
    if (rc != SQLITE_OK && rc != SQLITE_NOTFOUND) failed(rc);
    return rc == SQLITE_OK;
}

void Catalog::removePath(const std::string& path) {
    if (!mayWrite("removePath")) return;
    for (const char* text : {"DELETE FROM fts WHERE rowid = (SELECT id FROM files WHERE path = ?)",
                             "DELETE FROM files WHERE path = ?", "DELETE FROM kept_edits WHERE path = ?"}) {
        sql::Statement st(db_, text);
        st.bind(1, path);
        if (const int rc = st.step(); rc != SQLITE_DONE) return failed(rc);
    }
}

bool Catalog::movePath(const std::string& from, const std::string& to) {
    if (!mayWrite("movePath")) return false;
    int64_t id = 0;
    std::string root;
    {
        sql::Statement st(db_, "SELECT id, root FROM files WHERE path = ?");
        st.bind(1, from);
        const int rc = st.step();
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE) failed(rc);
            return false;
        }
        id = st.int64(0);
        root = st.text(1);
    }
    if (from == to) return true;
    removePath(to);
    if (failure_) return false;
    sql::Statement file(db_, "UPDATE files SET path = ? WHERE id = ?");
    file.bind(1, to);
    file.bind(2, id);
    if (const int rc = file.step(); rc != SQLITE_DONE) {
        failed(rc);
        return false;
    }
    sql::Statement text(db_, "UPDATE fts SET name = ?, folders = ? WHERE rowid = ?");
    text.bind(1, UpsertStatements::ftsName(to));
    text.bind(2, UpsertStatements::ftsFolders(to, root));
    text.bind(3, id);
    if (const int rc = text.step(); rc != SQLITE_DONE) {
        failed(rc);
        return false;
    }
    if (keptPaths_.contains(from)) {
        sql::Statement kept(db_, "UPDATE kept_edits SET path = ? WHERE path = ?");
        kept.bind(1, to);
        kept.bind(2, from);
        if (const int rc = kept.step(); rc != SQLITE_DONE) failed(rc);
        keptPaths_.insert(to);
    }
    return true;
}

std::optional<Catalog::Row> Catalog::heldRow(const std::string& path) {
    requireHeld("heldRow");
    sql::Statement& st = sql::prepared(heldRowQuery_, db_, kRowByPath);
    st.bind(1, path);
    std::optional<Row> row;
    const int rc = st.step();
    if (rc == SQLITE_ROW) row = rowFrom(st);
    st.reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed(rc);
    return row;
}

void Catalog::keepEdits(const std::string& path, const std::map<std::string, std::string>& fields,
                        std::optional<int64_t> rating, int64_t time, const std::string& author) {
    if (!mayWrite("keepEdits")) return;
    sql::Statement& st = sql::prepared(
        keepStatement_, db_,
        "INSERT INTO kept_edits (path, tag, value, time, author) VALUES (?, ?, ?, ?, ?) "
        "ON CONFLICT(path, tag) DO UPDATE SET value = excluded.value, time = excluded.time, author = excluded.author");
    auto keep = [&](std::string_view tag, const std::string& value) {
        if (failure_) return;
        st.bind(1, path);
        st.bind(2, tag);
        st.bind(3, value);
        st.bind(4, time);
        st.bind(5, author);
        if (const int rc = st.step(); rc != SQLITE_DONE) failed(rc);
        st.reset();
        keptPaths_.insert(path);
    };
    for (const auto& [tag, value] : fields)
        if (SoundMeta::ixmlTag(tag)) keep(tag, value);
    if (rating) keep(kRatingTag, std::to_string(*rating));
}

void Catalog::KeptEdit::layOver(const std::vector<KeptEdit>& kept, SoundMeta& meta) {
    std::map<std::string, std::string> fields;
    std::optional<int64_t> rating;
    for (const KeptEdit& edit : kept) {
        if (edit.tag != kRatingTag) {
            fields[edit.tag] = edit.value;
            continue;
        }
        int64_t value = 0;
        const char* end = edit.value.data() + edit.value.size();
        if (const auto [at, ec] = std::from_chars(edit.value.data(), end, value); ec == std::errc() && at == end)
            rating = value;
    }
    meta.applyChanges(fields, rating);
}

void Catalog::applyKeptEdits(const std::string& path, SoundMeta& meta) {
    requireHeld("applyKeptEdits");
    if (!keptPaths_.contains(path)) return;
    sql::Statement& st = sql::prepared(keptQuery_, db_, "SELECT tag, value FROM kept_edits WHERE path = ?");
    st.bind(1, path);
    std::vector<KeptEdit> kept;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) kept.push_back({st.text(0), st.text(1), 0, {}});
    st.reset();
    if (rc != SQLITE_DONE) failed(rc);
    KeptEdit::layOver(kept, meta);
}

void Catalog::dropKeptEdits(const std::string& path) {
    if (!mayWrite("dropKeptEdits")) return;
    if (!keptPaths_.contains(path)) return;
    sql::Statement st(db_, "DELETE FROM kept_edits WHERE path = ?");
    st.bind(1, path);
    if (const int rc = st.step(); rc != SQLITE_DONE) failed(rc);
}

void Catalog::writeLogOffset(const std::string& logfile, int64_t offset) {
    if (!mayWrite("writeLogOffset")) return;
    sql::Statement st(db_, "INSERT INTO log_offsets (logfile, offset) VALUES (?, ?) "
                           "ON CONFLICT(logfile) DO UPDATE SET offset = excluded.offset");
    st.bind(1, logfile);
    st.bind(2, offset);
    if (const int rc = st.step(); rc != SQLITE_DONE) failed(rc);
}

void Catalog::replacePaths(std::string_view table, const std::string& root, const std::vector<std::string>& paths) {
    sql::Statement clear(db_, fmt::format("DELETE FROM {} WHERE root = ?", table));
    clear.bind(1, root);
    if (const int rc = clear.step(); rc != SQLITE_DONE) return failed(rc);
    sql::Statement add(db_, fmt::format("INSERT OR REPLACE INTO {} (path, root) VALUES (?, ?)", table));
    for (const std::string& path : paths) {
        add.bind(1, path);
        add.bind(2, root);
        if (const int rc = add.step(); rc != SQLITE_DONE) return failed(rc);
        add.reset();
    }
}

void Catalog::setOfflineFiles(const std::string& root, const std::vector<std::string>& paths) {
    if (!mayWrite("setOfflineFiles")) return;
    replacePaths("offline_files", root, paths);
    pendingOffline_.emplace(root, paths);
}

void Catalog::setMountPoints(const std::string& root, const std::set<std::string>& folders) {
    if (!mayWrite("setMountPoints")) return;
    replacePaths("mount_points", root, std::vector<std::string>(folders.begin(), folders.end()));
}

std::set<std::string> Catalog::mountPoints(const std::string& root) {
    Hold hold(*this);
    std::set<std::string> out;
    sql::Statement st(db_, "SELECT path FROM mount_points WHERE root = ?");
    st.bind(1, root);
    while (st.step() == SQLITE_ROW) out.insert(st.text(0));
    return out;
}

std::vector<Catalog::KeptEdit> Catalog::keptEdits(const std::string& path) {
    Hold hold(*this);
    std::vector<KeptEdit> out;
    sql::Statement st(db_, "SELECT tag, value, time, author FROM kept_edits WHERE path = ? ORDER BY tag");
    st.bind(1, path);
    while (st.step() == SQLITE_ROW) out.push_back({st.text(0), st.text(1), st.int64(2), st.text(3)});
    return out;
}

bool Catalog::isOffline(const std::string& path) const {
    std::lock_guard lock(offlineMutex_);
    return !offline_.empty() && offline_.contains(path);
}

std::vector<std::string> Catalog::offlineFiles(const std::string& root) const {
    std::vector<std::string> out;
    std::lock_guard lock(offlineMutex_);
    for (const auto& [path, of] : offline_)
        if (of == root) out.push_back(path);
    return out;
}

Catalog::OfflineBelow Catalog::offlineBelow(const std::string& folder) const {
    OfflineBelow out;
    std::lock_guard lock(offlineMutex_);
    for (const auto& entry : offline_) {
        const std::string& path = entry.first;
        if (!pathtext::inside(path, folder)) continue;
        const size_t start = folder == "/" ? 1 : folder.size() + 1;
        const size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            out.files.push_back(path);
        else
            out.folders.insert(path.substr(start, slash - start));
    }
    return out;
}

std::optional<Catalog::Stamp> Catalog::heldStamp(const std::string& path, const std::string& root) {
    requireHeld("heldStamp");
    return readStamp(path, &root);
}

std::optional<Catalog::Stamp> Catalog::stamp(const std::string& path) {
    Hold hold(*this);
    return readStamp(path, nullptr);
}

std::optional<Catalog::Stamp> Catalog::readStamp(const std::string& path, const std::string* root) {
    sql::Statement& st = sql::prepared(stampQuery_, db_, "SELECT size, mtime, root FROM files WHERE path = ?");
    st.bind(1, path);
    std::optional<Stamp> out;
    const int rc = st.step();
    if (rc == SQLITE_ROW && (!root || st.view(2) == *root)) out = Stamp{st.int64(0), st.real(1)};
    st.reset();
    if (root && rc != SQLITE_ROW && rc != SQLITE_DONE) failed(rc);  // inside a body
    return out;
}


std::optional<Catalog::Row> Catalog::row(const std::string& path) {
    Hold hold(*this);
    sql::Statement st(db_, kRowByPath);
    st.bind(1, path);
    if (st.step() != SQLITE_ROW) return std::nullopt;
    return rowFrom(st);
}

std::unordered_map<std::string, Catalog::Row> Catalog::rowsInFolder(const std::string& folder) {
    Hold hold(*this);
    std::unordered_map<std::string, Row> out;
    // Paths from "<folder>/" up to "<folder>0" ("0" follows "/") are the
    // folder's and its sub-folders' files; those with no further slash are
    // its own. Texts compare as bytes, and the slash is sought in bytes
    // (substr of a text counts characters).
    std::string low = folder;
    if (low.empty() || low.back() != '/') low += '/';
    std::string high = low;
    high.back() = '0';
    sql::Statement st(db_, std::string(kRowByPath.substr(0, kRowByPath.find(" WHERE"))) +
                               " WHERE path >= ? AND path < ? AND instr(substr(CAST(path AS BLOB), ?), X'2F') = 0");
    st.bind(1, low);
    st.bind(2, high);
    st.bind(3, static_cast<int64_t>(low.size() + 1));
    while (st.step() == SQLITE_ROW) {
        Row row = rowFrom(st);
        std::string path = row.path;
        out.emplace(std::move(path), std::move(row));
    }
    return out;
}

std::map<std::string, Catalog::Stamp> Catalog::stamps(const std::string& root) {
    Hold hold(*this);
    std::map<std::string, Stamp> out;
    sql::Statement st(db_, "SELECT path, size, mtime FROM files WHERE root = ?");
    st.bind(1, root);
    while (st.step() == SQLITE_ROW) out[st.text(0)] = Stamp{st.int64(1), st.real(2)};
    return out;
}

std::optional<std::string> Catalog::removeRoot(const std::string& root) {
    const std::string r = sqlText(root);
    return transaction([&] {
        // The full-text rows go first, while the file rows naming them exist.
        for (const std::string& sql :
             {"DELETE FROM fts WHERE rowid IN (SELECT id FROM files WHERE root = " + r + ")",
              "DELETE FROM kept_edits WHERE path IN (SELECT path FROM files WHERE root = " + r + ")",
              "DELETE FROM files WHERE root = " + r, "DELETE FROM mount_points WHERE root = " + r}) {
            if (const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK)
                return failed(rc);
        }
        setOfflineFiles(root, {});
    });
}

void Catalog::setLogOffset(const std::string& logfile, int64_t offset) {
    Hold hold(*this);
    sql::Statement st(db_, "INSERT INTO log_offsets (logfile, offset) VALUES (?, ?) "
                           "ON CONFLICT(logfile) DO UPDATE SET offset = excluded.offset");
    st.bind(1, logfile);
    st.bind(2, offset);
    st.step();
}

int64_t Catalog::logOffset(const std::string& logfile) {
    Hold hold(*this);
    sql::Statement st(db_, "SELECT offset FROM log_offsets WHERE logfile = ?");
    st.bind(1, logfile);
    return st.step() == SQLITE_ROW ? st.int64(0) : 0;
}

bool Catalog::yieldsToken(std::string_view word) {
    Hold hold(*this);
    return tokenizer_->yieldsToken(word);
}

bool Catalog::inTransaction() {
    Hold hold(*this);
    return sqlite3_get_autocommit(db_) == 0;
}

bool Catalog::upgradePending() {
    Hold hold(*this);
    return !CatalogUpgrade::textTableCurrent(db_);
}

bool Catalog::upgradeStep(int64_t rows) {
    bool more = false;
    if (auto failure = transaction([&] { more = CatalogUpgrade::step(db_, rows); }))
        throw AppError(kSQLFailed, *failure);
    return more;
}

void Catalog::upgradeInBackground() {
    // A catalog that can only be read keeps answering from its old table.
    if (upgrader_.joinable() || readOnly_ || !upgradePending()) return;
    upgrader_ = std::thread([this] {
        try {
            while (!closing_ && upgradeStep()) {
                // Others waiting for the lock get it first.
                for (int i = 0; i < 10 && !closing_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (const std::exception&) {
            // The old table stays and answers; the next open tries again.
        }
    });
}

// The record of a row: decoded once, shared by the row's copies.
struct Catalog::Row::Meta {
    std::string json;
    bool stored = false;  // `json` waits to be decoded
    std::once_flag decoded;
    SoundMeta value;
};

const SoundMeta& Catalog::Row::meta() const {
    static const SoundMeta empty;
    if (!meta_) return empty;
    if (meta_->stored)
        std::call_once(meta_->decoded, [m = meta_.get()] {
            if (auto decoded = SoundMeta::decode(m->json)) m->value = std::move(*decoded);
        });
    return meta_->value;
}

void Catalog::Row::setMeta(SoundMeta meta) {
    meta_ = std::make_shared<Meta>();
    meta_->value = std::move(meta);
}

void Catalog::Row::setStoredMeta(std::string json) {
    meta_ = std::make_shared<Meta>();
    meta_->json = std::move(json);
    meta_->stored = true;
}

bool Catalog::Row::operator==(const Row& other) const {
    if (path != other.path || root != other.root || duration != other.duration || sampleRate != other.sampleRate ||
        channels != other.channels || bits != other.bits || codec != other.codec)
        return false;
    // One stored text decodes to one record: no need to decode either.
    if (meta_ == other.meta_) return true;
    if (meta_ && other.meta_ && meta_->stored && other.meta_->stored && meta_->json == other.meta_->json) return true;
    return meta() == other.meta();
}

std::string Catalog::Row::formatSummary() const {
    return AudioFileInfo::summaryText(sampleRate, codec, bits, false, channels);
}

}  // namespace qm

size_t std::hash<qm::Catalog::Row>::operator()(const qm::Catalog::Row& row) const noexcept {
    size_t h = std::hash<std::string>()(row.path);
    auto mix = [&h](size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    mix(std::hash<std::string>()(row.root));
    mix(std::hash<double>()(row.duration));
    mix(std::hash<double>()(row.sampleRate));
    mix(std::hash<int>()(row.channels));
    mix(std::hash<int>()(row.bits));
    mix(std::hash<std::string>()(row.codec));
    mix(std::hash<qm::SoundMeta>()(row.meta()));
    return h;
}

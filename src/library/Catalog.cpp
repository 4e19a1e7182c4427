#include "library/Catalog.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

#include <fmt/format.h>

#include "audio/Text.h"
#include "library/FtsTokenizer.h"
#include "library/SqliteStatement.h"
#include "library/UpsertStatements.h"
#include "platform/AppError.h"

namespace qm {

namespace {

// The tokenize option of the fts table below; the query side asks the same
// tokenizer which words it indexes.
constexpr std::string_view kTokenizer = "unicode61 remove_diacritics 2";

void runSQL(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "SQL error";
        sqlite3_free(message);
        throw AppError(Catalog::kSQLFailed, text);
    }
    sqlite3_free(message);
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

Catalog::Row rowFrom(const sql::Statement& st) {
    Catalog::Row row;
    row.path = st.text(0);
    row.root = st.text(1);
    row.duration = st.real(2);
    row.sampleRate = st.real(3);
    row.channels = st.int32(4);
    row.bits = st.int32(5);
    row.codec = st.text(6);
    if (auto meta = SoundMeta::decode(st.view(7))) row.meta = std::move(*meta);
    return row;
}

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

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
        "CREATE VIRTUAL TABLE IF NOT EXISTS fts USING fts5(name, folders, body, tokenize='" +
        std::string(kTokenizer) +
        "');\n"
        "CREATE TABLE IF NOT EXISTS log_offsets (logfile TEXT PRIMARY KEY, offset INTEGER NOT NULL);";
    return text;
}

// The mutex held for one operation, refusing a second hold on the same
// thread (which would deadlock).
class Catalog::Hold {
public:
    explicit Hold(Catalog& catalog) : catalog_(catalog) {
        if (catalog.holder_.load() == std::this_thread::get_id())
            throw std::logic_error("The catalog's lock was taken again by the thread that holds it");
        catalog.mutex_.lock();
        catalog.holder_.store(std::this_thread::get_id());
    }
    ~Hold() {
        catalog_.holder_.store(std::thread::id());
        catalog_.mutex_.unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Catalog& catalog_;
};

Catalog::Catalog(const std::filesystem::path& url) {
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
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(url.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        close();  // a failed open may still have made a handle
        throw AppError(kOpenFailed, "Can't open the library catalog");
    }
    try {
        runSQL(db_, schema());
        tokenizer_ = std::make_unique<FtsTokenizer>(db_, kTokenizer);
    } catch (...) {
        close();  // no destructor runs after a throwing constructor
        throw;
    }
}

Catalog::~Catalog() { close(); }

void Catalog::close() noexcept {
    upserts_.reset();
    stampQuery_.reset();
    tokenizer_.reset();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void Catalog::requireHeld(const char* what) const {
    if (holder_.load() != std::this_thread::get_id())
        throw std::logic_error(fmt::format("Catalog::{} runs only inside a transaction", what));
}

bool Catalog::execQuietly(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Catalog::transaction(const std::function<void()>& body) {
    Hold hold(*this);
    execQuietly("BEGIN");
    try {
        body();
    } catch (...) {
        execQuietly("ROLLBACK");
        throw;
    }
    // A COMMIT that fails (disk full, I/O error, busy) may leave the
    // transaction open, and every later BEGIN would then fail: close it.
    if (!execQuietly("COMMIT")) execQuietly("ROLLBACK");
}

void Catalog::exec(const std::string& sql) {
    requireHeld("exec");
    runSQL(db_, sql);
}

void Catalog::upsert(const std::string& path, const std::string& root, int64_t size, double mtime,
                     const std::optional<AudioFileInfo>& info, const SoundMeta& meta) {
    requireHeld("upsert");
    if (!upserts_) upserts_ = std::make_unique<UpsertStatements>(db_);
    upserts_->run(path, root, size, mtime, info, meta, secondsSince1970());
}

void Catalog::removePath(const std::string& path) {
    requireHeld("removePath");
    for (const char* text : {"DELETE FROM fts WHERE rowid = (SELECT id FROM files WHERE path = ?)",
                             "DELETE FROM files WHERE path = ?"}) {
        sql::Statement st(db_, text);
        st.bind(1, path);
        st.step();
    }
}

bool Catalog::movePath(const std::string& from, const std::string& to) {
    requireHeld("movePath");
    int64_t id = 0;
    std::string root;
    {
        sql::Statement st(db_, "SELECT id, root FROM files WHERE path = ?");
        st.bind(1, from);
        if (st.step() != SQLITE_ROW) return false;
        id = st.int64(0);
        root = st.text(1);
    }
    if (from == to) return true;
    removePath(to);
    sql::Statement file(db_, "UPDATE files SET path = ? WHERE id = ?");
    file.bind(1, to);
    file.bind(2, id);
    if (file.step() != SQLITE_DONE) return false;
    sql::Statement text(db_, "UPDATE fts SET name = ?, folders = ? WHERE rowid = ?");
    text.bind(1, UpsertStatements::ftsName(to));
    text.bind(2, UpsertStatements::ftsFolders(to, root));
    text.bind(3, id);
    text.step();
    return true;
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
    if (!stampQuery_)
        stampQuery_ = std::make_unique<sql::Statement>(db_, "SELECT size, mtime, root FROM files WHERE path = ?");
    sql::Statement& st = *stampQuery_;
    st.bind(1, path);
    std::optional<Stamp> out;
    if (st.step() == SQLITE_ROW && (!root || st.view(2) == *root)) out = Stamp{st.int64(0), st.real(1)};
    st.reset();
    return out;
}

namespace {
constexpr std::string_view kRowByPath =
    "SELECT path, root, duration, sr, channels, bits, codec, meta FROM files WHERE path = ?";
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

void Catalog::removeRoot(const std::string& root) {
    const std::string r = quoted(root);
    transaction([&] {
        // The full-text rows go first, while the file rows naming them exist.
        for (const std::string& sql :
             {"DELETE FROM fts WHERE rowid IN (SELECT id FROM files WHERE root = " + r + ")",
              "DELETE FROM files WHERE root = " + r}) {
            try {
                exec(sql);
            } catch (const AppError&) {
            }
        }
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

std::optional<std::string> Catalog::matchExpression(std::string_view query, const WordFilter& yieldsToken) {
    // A query is user text; broken UTF-8 is repaired so that every term is
    // text FTS5 reads.
    const std::string typed = text::repairUtf8(query);
    std::vector<std::string> positive, negative;
    size_t i = 0;
    while (i <= typed.size()) {
        size_t j = typed.find_first_of(" ,", i);
        if (j == std::string::npos) j = typed.size();
        std::string token = typed.substr(i, j - i);
        i = j + 1;
        if (token.empty()) continue;

        const bool isNegative = token.starts_with("-") || token.starts_with("/-");
        std::string t;
        for (size_t k = 0; k < token.size();) {
            if (token.compare(k, 2, "/-") == 0) {
                k += 2;
                continue;
            }
            t += token[k] == '-' ? ' ' : token[k];
            ++k;
        }
        std::u32string cps = text::decodeUtf8(t);
        size_t first = 0, last = cps.size();
        while (first < last && text::isHorizontalSpace(cps[first])) ++first;
        while (last > first && text::isHorizontalSpace(cps[last - 1])) --last;
        std::string trimmed;
        for (size_t k = first; k < last; ++k) {
            if (cps[k] == U'"') continue;
            // FTS5 reads its expression up to a NUL: a NUL parts words.
            text::appendUtf8(trimmed, cps[k] == 0 ? U' ' : cps[k]);
        }
        if (trimmed.empty()) continue;

        std::string phrase;
        size_t w = 0;
        while (w <= trimmed.size()) {
            size_t e = trimmed.find(' ', w);
            if (e == std::string::npos) e = trimmed.size();
            std::string_view word(trimmed.data() + w, e - w);
            w = e + 1;
            // An empty word, or one the index holds nothing for ("&"), would
            // make an empty phrase that matches nothing at all.
            if (word.empty() || (yieldsToken && !yieldsToken(word))) continue;
            if (!phrase.empty()) phrase += ' ';
            phrase += '"';
            phrase += word;
            phrase += "\"*";
        }
        if (phrase.empty()) continue;
        (isNegative ? negative : positive).push_back(std::move(phrase));
    }
    if (positive.empty()) return std::nullopt;
    std::string expression;
    for (size_t k = 0; k < positive.size(); ++k) {
        if (k) expression += " AND ";
        expression += positive[k];
    }
    for (const std::string& n : negative) expression += " NOT " + n;
    return expression;
}

Catalog::Query Catalog::searchQuery(const Filter& filter, int64_t limit, const WordFilter& yieldsToken) {
    Query q;
    q.sql = "SELECT f.path, f.root, f.duration, f.sr, f.channels, f.bits, f.codec, f.meta FROM files f";
    std::vector<std::string> conditions;
    const std::optional<std::string> match = matchExpression(filter.query, yieldsToken);
    if (match) {
        q.sql += " JOIN fts ON fts.rowid = f.id";
        conditions.push_back("fts MATCH ?");
        q.binds.push_back(*match);
    }
    if (filter.category) {
        conditions.push_back("f.category = ?");
        q.binds.push_back(*filter.category);
    }
    if (filter.library) {
        conditions.push_back("f.library = ?");
        q.binds.push_back(*filter.library);
    }
    if (!filter.roots.empty()) {
        std::string in = "f.root IN (";
        for (size_t k = 0; k < filter.roots.size(); ++k) {
            in += k ? ",?" : "?";
            q.binds.push_back(filter.roots[k]);
        }
        conditions.push_back(in + ")");
    }
    if (filter.minRating >= 1) conditions.push_back(fmt::format("f.rating >= {}", filter.minRating));
    for (size_t k = 0; k < conditions.size(); ++k) q.sql += (k ? " AND " : " WHERE ") + conditions[k];
    q.sql += match ? " ORDER BY bm25(fts, 4.0, 1.0, 2.0)" : " ORDER BY f.path";
    q.sql += fmt::format(" LIMIT {}", limit);
    return q;
}

std::vector<Catalog::Row> Catalog::search(const Filter& filter, int64_t limit) {
    Hold hold(*this);
    const Query q = searchQuery(filter, limit, [this](std::string_view w) { return tokenizer_->yieldsToken(w); });
    std::vector<Row> rows;
    sql::Statement st(db_, q.sql);
    if (!st) return rows;
    for (size_t k = 0; k < q.binds.size(); ++k) st.bind(static_cast<int>(k + 1), q.binds[k]);
    // A statement error (an expression FTS5 rejects) ends the rows read so far.
    while (st.step() == SQLITE_ROW) rows.push_back(rowFrom(st));
    return rows;
}

std::array<std::string, 3> Catalog::facetStatements(const std::vector<std::string>& roots) {
    std::string rootClause;
    if (!roots.empty()) {
        rootClause = " WHERE root IN (";
        for (size_t k = 0; k < roots.size(); ++k) rootClause += (k ? "," : "") + quoted(roots[k]);
        rootClause += ")";
    }
    auto counts = [&](const std::string& c) {
        const std::string condition =
            rootClause.empty() ? " WHERE " + c + " IS NOT NULL" : rootClause + " AND " + c + " IS NOT NULL";
        return "SELECT " + c + ", COUNT(*) FROM files" + condition + " GROUP BY " + c + " ORDER BY COUNT(*) DESC LIMIT 200";
    };
    return {"SELECT COUNT(*) FROM files" + rootClause, counts("category"), counts("library")};
}

Catalog::Facets Catalog::facets(const std::vector<std::string>& roots) {
    Hold hold(*this);
    const std::array<std::string, 3> statements = facetStatements(roots);
    Facets out;
    {
        sql::Statement st(db_, statements[0]);
        if (st.step() == SQLITE_ROW) out.total = st.int64(0);
    }
    auto counts = [&](const std::string& statement) {
        std::vector<std::pair<std::string, int64_t>> list;
        sql::Statement st(db_, statement);
        while (st.step() == SQLITE_ROW) list.emplace_back(st.text(0), st.int64(1));
        return list;
    };
    out.categories = counts(statements[1]);
    out.libraries = counts(statements[2]);
    return out;
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
    mix(std::hash<qm::SoundMeta>()(row.meta));
    return h;
}

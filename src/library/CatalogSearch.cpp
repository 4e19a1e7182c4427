// The catalog's searches and facet counts (the read side of Catalog).
#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "audio/Text.h"
#include "library/Catalog.h"
#include "library/CatalogInternal.h"
#include "library/FtsTokenizer.h"
#include "library/SqliteStatement.h"
#include "library/TextRank.h"

namespace qm {

using catalog_internal::rowFrom;
using catalog_internal::sqlText;

namespace {

constexpr std::string_view kSelect =
    "SELECT f.path, f.root, f.duration, f.sr, f.channels, f.bits, f.codec, f.meta FROM files f";

// The filter's conditions on the files table, in the order the statement
// lists them, joined by AND, with their binds.
Catalog::Query fileConditions(const Catalog::Filter& filter) {
    std::vector<std::string> conditions;
    Catalog::Query q;
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
    for (size_t k = 0; k < conditions.size(); ++k) q.sql += (k ? " AND " : "") + conditions[k];
    return q;
}

// Whether a hit's file row exists and passes the filter's other conditions.
// Asked only of hits good enough to be kept: a few for a rare word, some
// thousands for a word in every file. They are looked up one by one until
// the lookups (each a read of the file's row, some microseconds) have cost
// about what reading the ids of every passing file from the indexes costs
// (a fraction of a microsecond per file); from then on they are asked of
// those ids, in memory.
class PassingFiles {
public:
    PassingFiles(sqlite3* db, const Catalog::Query& others) : db_(db), others_(others) {}

    // `row` receives the file's row when the answer came from a lookup.
    bool operator()(int64_t id, std::optional<Catalog::Row>& row) {
        if (!maxId_) {
            sql::Statement st(db_, "SELECT max(id) FROM files");
            maxId_ = st.step() == SQLITE_ROW ? st.int64(0) : 0;
        }
        if (lookups_ < std::max<int64_t>(256, *maxId_ / 32)) {
            ++lookups_;
            if (!one_) {
                one_.emplace(db_, fmt::format("SELECT {} FROM files f WHERE f.id = ?{}", catalog_internal::kColumns,
                                              others_.sql.empty() ? "" : " AND " + others_.sql));
                for (size_t k = 0; k < others_.binds.size(); ++k) one_->bind(static_cast<int>(k + 2), others_.binds[k]);
            }
            one_->bind(1, id);
            const bool pass = one_->step() == SQLITE_ROW;
            if (pass) row = rowFrom(*one_);
            one_->reset();
            return pass;
        }
        if (!read_) readAll();
        if (id >= 0 && static_cast<uint64_t>(id) < small_.size()) return small_[static_cast<size_t>(id)];
        return large_.contains(id);
    }

private:
    // Ids up to this are marked in a vector of bits (8 MiB at most).
    static constexpr int64_t kSmallIds = int64_t(1) << 26;

    void readAll() {
        read_ = true;
        small_.assign(static_cast<size_t>(std::clamp<int64_t>(*maxId_ + 1, 0, kSmallIds)), false);
        sql::Statement st(db_, "SELECT f.id FROM files f" + (others_.sql.empty() ? "" : " WHERE " + others_.sql));
        for (size_t k = 0; k < others_.binds.size(); ++k) st.bind(static_cast<int>(k + 1), others_.binds[k]);
        while (st.step() == SQLITE_ROW) {
            const int64_t id = st.int64(0);
            if (id >= 0 && static_cast<uint64_t>(id) < small_.size())
                small_[static_cast<size_t>(id)] = true;
            else
                large_.insert(id);
        }
    }

    sqlite3* db_;
    const Catalog::Query& others_;
    std::optional<int64_t> maxId_;
    int64_t lookups_ = 0;
    std::optional<sql::Statement> one_;
    bool read_ = false;
    std::vector<bool> small_;
    std::unordered_set<int64_t> large_;
};

// A search's stop, asked by SQLite every few hundred steps of its program
// while the search's statements run.
class Interruption {
public:
    Interruption(sqlite3* db, const Catalog::Stop& stop) : db_(db), stop_(stop) {
        if (stop_) sqlite3_progress_handler(db_, kSteps, &Interruption::asked, this);
    }
    ~Interruption() {
        if (stop_) sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    }
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    bool stopped() {
        if (!stopped_ && stop_ && stop_()) stopped_ = true;
        return stopped_;
    }

private:
    static constexpr int kSteps = 500;
    static int asked(void* self) { return static_cast<Interruption*>(self)->stopped() ? 1 : 0; }

    sqlite3* db_;
    const Catalog::Stop& stop_;
    bool stopped_ = false;
};

}  // namespace

std::optional<std::string> Catalog::matchExpression(std::string_view query, const WordFilter& yieldsToken,
                                                    QueryBound* boundOut) {
    // A query is user text; broken UTF-8 is repaired so that every term is
    // text FTS5 reads.
    const std::string typed = text::repairUtf8(query);
    std::vector<std::string> positive, negative;
    QueryBound bound;
    size_t budget = kMaxQueryChars;
    bool full = false;  // a bound was met: every later word is dropped
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
        // The words of the token, as code points: quotes go, and a NUL parts
        // words (FTS5 reads its expression up to a NUL).
        std::vector<std::u32string> words(1);
        for (size_t k = first; k < last; ++k) {
            const char32_t c = cps[k];
            if (c == U'"') continue;
            if (c == U' ' || c == 0) {
                if (!words.back().empty()) words.emplace_back();
                continue;
            }
            words.back() += c;
        }

        std::string phrase;
        for (std::u32string& word : words) {
            if (word.empty()) continue;
            ++bound.words;
            if (full) continue;
            if (bound.kept == kMaxQueryWords) {
                full = true;
                continue;
            }
            if (word.size() > budget) {
                if (bound.kept > 0) {
                    full = true;
                    continue;
                }
                word.resize(budget);
                bound.shortened = true;
            }
            ++bound.kept;
            budget -= word.size();
            std::string utf8;
            for (char32_t c : word) text::appendUtf8(utf8, c);
            // A word the index holds nothing for ("&") would make an empty
            // phrase that matches nothing at all.
            if (yieldsToken && !yieldsToken(utf8)) continue;
            if (!phrase.empty()) phrase += ' ';
            phrase += '"';
            phrase += utf8;
            phrase += "\"*";
        }
        if (phrase.empty()) continue;
        (isNegative ? negative : positive).push_back(std::move(phrase));
    }
    if (boundOut) *boundOut = bound;
    if (positive.empty()) return std::nullopt;
    std::string expression;
    for (size_t k = 0; k < positive.size(); ++k) {
        if (k) expression += " AND ";
        expression += positive[k];
    }
    for (const std::string& n : negative) expression += " NOT " + n;
    return expression;
}

Catalog::QueryBound Catalog::queryBound(std::string_view query) {
    QueryBound bound;
    matchExpression(query, {}, &bound);
    return bound;
}

Catalog::Query Catalog::searchQuery(const Filter& filter, int64_t limit, const WordFilter& yieldsToken) {
    Query q;
    q.sql = kSelect;
    const std::optional<std::string> match = matchExpression(filter.query, yieldsToken);
    const Query others = fileConditions(filter);
    std::string where;
    if (match) {
        q.sql += " JOIN fts ON fts.rowid = f.id";
        where = "fts MATCH ?";
        q.binds.push_back(*match);
    }
    if (!others.sql.empty()) where += (where.empty() ? "" : " AND ") + others.sql;
    q.binds.insert(q.binds.end(), others.binds.begin(), others.binds.end());
    if (!where.empty()) q.sql += " WHERE " + where;
    q.sql += match ? " ORDER BY bm25(fts, 4.0, 1.0, 2.0)" : " ORDER BY f.path";
    q.sql += fmt::format(" LIMIT {}", limit);
    return q;
}

std::vector<Catalog::Row> Catalog::search(const Filter& filter, int64_t limit, const Stop& stop) {
    Hold hold(*this);
    Interruption interruption(db_, stop);
    std::vector<Row> rows;
    const WordFilter yieldsToken = [this](std::string_view w) { return tokenizer_->yieldsToken(w); };
    const std::optional<std::string> match = matchExpression(filter.query, yieldsToken);
    if (match) {
        rows = rankedSearch(*match, fileConditions(filter), limit);
    } else {
        // No word the index holds anything for: the files in path order.
        const Query q = searchQuery(filter, limit, yieldsToken);
        sql::Statement st(db_, q.sql);
        if (!st) return rows;
        for (size_t k = 0; k < q.binds.size(); ++k) st.bind(static_cast<int>(k + 1), q.binds[k]);
        // A statement error ends the rows read so far.
        while (st.step() == SQLITE_ROW) rows.push_back(rowFrom(st));
    }
    if (interruption.stopped()) rows.clear();
    return rows;
}

std::vector<Catalog::Row> Catalog::rankedSearch(const std::string& match, const Query& others, int64_t limit) {
    std::vector<Row> rows;
    if (limit == 0) return rows;
    // Hits in rank order: the lower score first, an equal score by row id
    // (the order the full-text table hands them out, which SQLite's sort
    // keeps).
    struct Hit {
        double score;
        int64_t id;
    };
    auto better = [](const Hit& a, const Hit& b) { return a.score < b.score || (a.score == b.score && a.id < b.id); };

    sql::Statement hits(db_, fmt::format("SELECT rowid, {}(fts, 4.0, 1.0, 2.0) FROM fts WHERE fts MATCH ?",
                                         TextRank::kFunction));
    if (!hits) return rows;
    hits.bind(1, match);
    PassingFiles passes(db_, others);

    const bool bounded = limit > 0;
    std::vector<Hit> kept;  // a heap whose top is the worst hit kept
    // The rows the checks read, of the hits kept (all of them when the
    // query finds fewer files than the limit).
    std::unordered_map<int64_t, Row> read;
    int rc;
    while ((rc = hits.step()) == SQLITE_ROW) {
        // SQLite sorts a NULL score (a NaN) before every number.
        const Hit hit{hits.isNull(1) ? -std::numeric_limits<double>::infinity() : hits.real(1), hits.int64(0)};
        if (bounded && kept.size() == static_cast<size_t>(limit) && !better(hit, kept.front())) continue;
        std::optional<Row> row;
        if (!passes(hit.id, row)) continue;
        if (row) read.emplace(hit.id, std::move(*row));
        kept.push_back(hit);
        std::push_heap(kept.begin(), kept.end(), better);
        if (bounded && kept.size() > static_cast<size_t>(limit)) {
            std::pop_heap(kept.begin(), kept.end(), better);
            read.erase(kept.back().id);
            kept.pop_back();
        }
    }
    // An error (an expression FTS5 rejects) or a stop: the ranking never
    // finished, so there is no best hit to give.
    if (rc != SQLITE_DONE) return rows;
    std::sort_heap(kept.begin(), kept.end(), better);

    std::optional<sql::Statement> one;
    rows.reserve(kept.size());
    for (const Hit& hit : kept) {
        if (auto it = read.find(hit.id); it != read.end()) {
            rows.push_back(std::move(it->second));
            continue;
        }
        if (!one) one.emplace(db_, fmt::format("SELECT {} FROM files WHERE id = ?", catalog_internal::kColumns));
        one->bind(1, hit.id);
        if (one->step() == SQLITE_ROW) rows.push_back(rowFrom(*one));
        one->reset();
    }
    return rows;
}

std::array<std::string, 3> Catalog::facetStatements(const std::vector<std::string>& roots) {
    std::string rootClause;
    if (!roots.empty()) {
        rootClause = " WHERE root IN (";
        for (size_t k = 0; k < roots.size(); ++k) rootClause += (k ? "," : "") + sqlText(roots[k]);
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

}  // namespace qm

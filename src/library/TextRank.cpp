#include "library/TextRank.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "library/FtsTokenizer.h"
#include "library/SqliteStatement.h"

// Built with -ffp-contract=off (src/CMakeLists.txt): a fused multiply-add
// would round differently from SQLite's own bm25.

namespace qm::TextRank {

namespace {

// What the function keeps per connection: the connection and the query of
// its size table.
struct Installed {
    sqlite3* db;
    std::string sizeQuery;
};

// A cursor over the size table that follows ascending row ids.
class RowLengths {
public:
    RowLengths(sqlite3* db, const std::string& query) : st_(db, query) {}

    // The row's length in tokens (all columns), or nothing.
    std::optional<int64_t> of(int64_t rowid) {
        if (!st_) return std::nullopt;
        // A short way ahead is walked; anything else is sought.
        if (!valid_ || rowid < at_ || rowid > at_ + kWalk) {
            st_.reset();
            st_.bind(1, rowid);
            load();
        }
        while (valid_ && at_ < rowid) load();
        if (valid_ && at_ == rowid) return length_;
        return std::nullopt;
    }

private:
    static constexpr int64_t kWalk = 32;

    void load() {
        valid_ = st_.step() == SQLITE_ROW;
        if (!valid_) return;
        at_ = st_.int64(0);
        // The size record: one varint per column.
        const std::string_view sizes = st_.view(1);
        length_ = 0;
        uint64_t value = 0;
        int shift = 0;
        for (const char c : sizes) {
            const auto byte = static_cast<uint8_t>(c);
            if (shift < 63) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80)) {
                length_ += static_cast<int64_t>(value);
                value = 0;
                shift = 0;
            }
        }
    }

    sql::Statement st_;
    bool valid_ = false;
    int64_t at_ = -1;
    int64_t length_ = 0;
};

// What one query works out once: bm25's inverse document frequencies and
// average length, and the length cursor.
struct QueryData {
    double avgdl = 0;
    std::vector<double> idf;
    std::vector<double> freq;
    std::unique_ptr<RowLengths> lengths;
};

int countHit(const Fts5ExtensionApi*, Fts5Context*, void* count) {
    ++*static_cast<sqlite3_int64*>(count);
    return SQLITE_OK;
}

void deleteQueryData(void* p) { delete static_cast<QueryData*>(p); }

QueryData* queryData(const Fts5ExtensionApi* api, Fts5Context* fts, int* rc) {
    if (auto* d = static_cast<QueryData*>(api->xGetAuxdata(fts, 0))) return d;
    auto data = std::make_unique<QueryData>();
    const int phrases = api->xPhraseCount(fts);
    sqlite3_int64 rows = 0, tokens = 0;
    *rc = api->xRowCount(fts, &rows);
    if (rows <= 0) rows = 1;
    if (*rc == SQLITE_OK) *rc = api->xColumnTotalSize(fts, -1, &tokens);
    data->avgdl = static_cast<double>(tokens) / static_cast<double>(rows);
    for (int i = 0; *rc == SQLITE_OK && i < phrases; ++i) {
        sqlite3_int64 hits = 0;
        *rc = api->xQueryPhrase(fts, i, &hits, countHit);
        double idf = std::log((static_cast<double>(rows - hits) + 0.5) / (static_cast<double>(hits) + 0.5));
        if (idf <= 0.0) idf = 1e-6;
        data->idf.push_back(idf);
    }
    if (*rc != SQLITE_OK) return nullptr;
    data->freq.assign(static_cast<size_t>(phrases), 0.0);
    const auto* installed = static_cast<const Installed*>(api->xUserData(fts));
    data->lengths = std::make_unique<RowLengths>(installed->db, installed->sizeQuery);
    QueryData* out = data.get();
    *rc = api->xSetAuxdata(fts, data.release(), deleteQueryData);
    return *rc == SQLITE_OK ? out : nullptr;
}

void rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int nVal, sqlite3_value** apVal) {
    constexpr double k1 = 1.2;
    constexpr double b = 0.75;
    int rc = SQLITE_OK;
    QueryData* d = queryData(api, fts, &rc);
    int nInst = 0;
    if (rc == SQLITE_OK) {
        std::fill(d->freq.begin(), d->freq.end(), 0.0);
        rc = api->xInstCount(fts, &nInst);
    }
    for (int i = 0; rc == SQLITE_OK && i < nInst; ++i) {
        int ip = 0, ic = 0, io = 0;
        rc = api->xInst(fts, i, &ip, &ic, &io);
        if (rc == SQLITE_OK) d->freq[static_cast<size_t>(ip)] += nVal > ic ? sqlite3_value_double(apVal[ic]) : 1.0;
    }
    double D = 0.0;
    if (rc == SQLITE_OK) {
        if (const std::optional<int64_t> length = d->lengths->of(api->xRowid(fts))) {
            D = static_cast<double>(*length);
        } else {
            int tokens = 0;
            rc = api->xColumnSize(fts, -1, &tokens);
            D = static_cast<double>(tokens);
        }
    }
    if (rc != SQLITE_OK) {
        sqlite3_result_error_code(ctx, rc);
        return;
    }
    double score = 0.0;
    for (size_t i = 0; i < d->idf.size(); ++i)
        score += d->idf[i] * ((d->freq[i] * (k1 + 1.0)) / (d->freq[i] + k1 * (1 - b + b * D / d->avgdl)));
    sqlite3_result_double(ctx, -1.0 * score);
}

void deleteInstalled(void* p) { delete static_cast<Installed*>(p); }

}  // namespace

bool install(sqlite3* db, std::string_view table) {
    fts5_api* fts5 = fts5Of(db);
    if (!fts5) return false;
    auto installed = std::make_unique<Installed>(
        Installed{db, "SELECT id, sz FROM \"" + std::string(table) + "_docsize\" WHERE id >= ?1 ORDER BY id"});
    if (fts5->xCreateFunction(fts5, std::string(kFunction).c_str(), installed.get(), rank, deleteInstalled) != SQLITE_OK)
        return false;
    installed.release();  // the connection deletes it
    return true;
}

}  // namespace qm::TextRank

// What the catalog's sources share (Catalog.cpp, CatalogSearch.cpp,
// CatalogUpgrade.cpp): the hold of its mutex, SQL text run with its error
// thrown, a Row from the columns path, root, duration, sr, channels, bits,
// codec, meta (in that order) of a statement's current row, and a text
// written into SQL as a quoted literal.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "library/Catalog.h"
#include "library/SqliteStatement.h"
#include "platform/AppError.h"

namespace qm {

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

namespace catalog_internal {

// Runs SQL text; throws AppError Catalog::kSQLFailed with SQLite's message
// ("SQL error" when it gives none).
inline void run(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "SQL error";
        sqlite3_free(message);
        throw AppError(Catalog::kSQLFailed, text);
    }
    sqlite3_free(message);
}

inline constexpr std::string_view kColumns = "path, root, duration, sr, channels, bits, codec, meta";

inline Catalog::Row rowFrom(const sql::Statement& st) {
    Catalog::Row row;
    row.path = st.text(0);
    row.root = st.text(1);
    row.duration = st.real(2);
    row.sampleRate = st.real(3);
    row.channels = st.int32(4);
    row.bits = st.int32(5);
    row.codec = st.text(6);
    row.setStoredMeta(st.text(7));
    return row;
}

// 'text' with every ' doubled.
inline std::string sqlText(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

}  // namespace catalog_internal

}  // namespace qm

#include "library/SqliteStatement.h"

#include <algorithm>
#include <limits>

namespace qm::sql {

Statement::Statement(sqlite3* db, std::string_view sql) {
    prepared_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (prepared_ != SQLITE_OK || !stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        // A statement that prepared nothing (only a comment) is no error,
        // but it cannot run either.
        if (prepared_ == SQLITE_OK) prepared_ = SQLITE_MISUSE;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(int index, std::string_view text) {
    // A null pointer would bind NULL; an empty text stays a text.
    const char* bytes = text.data() ? text.data() : "";
    if (stmt_) sqlite3_bind_text64(stmt_, index, bytes, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void Statement::bind(int index, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
}

void Statement::bind(int index, double value) {
    if (stmt_) sqlite3_bind_double(stmt_, index, value);
}

void Statement::bindInt32(int index, int64_t value) {
    const int64_t clamped = std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max());
    if (stmt_) sqlite3_bind_int(stmt_, index, static_cast<int>(clamped));
}

void Statement::bindNull(int index) {
    if (stmt_) sqlite3_bind_null(stmt_, index);
}

int Statement::step() { return stmt_ ? sqlite3_step(stmt_) : prepared_; }

void Statement::reset() {
    if (stmt_) sqlite3_reset(stmt_);
}

Statement& prepared(std::unique_ptr<Statement>& slot, sqlite3* db, std::string_view sql) {
    if (!slot || !*slot) slot = std::make_unique<Statement>(db, sql);
    return *slot;
}

std::string Statement::text(int column) const { return std::string(view(column)); }

std::string_view Statement::view(int column) const {
    // A text read as a blob comes without the NUL terminator SQLite would
    // otherwise copy the value to add; the catalog's texts are UTF-8 as stored.
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return {};
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    if (!p) return {};
    return {p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))};
}

int64_t Statement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }
int Statement::int32(int column) const { return sqlite3_column_int(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }
bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

}  // namespace qm::sql

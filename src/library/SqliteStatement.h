// A prepared SQLite statement that finalizes itself, with binds that keep
// every byte of a text (NULs included; SQLite copies it before the call
// returns) and 32-bit binds that clamp instead of wrapping.
//
// Belongs to the thread that holds the connection's owner's lock.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qm::sql {

class Statement {
public:
    // Prepares `sql`; a statement that does not prepare is false and every
    // call on it does nothing.
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    void bind(int index, std::string_view text);
    void bind(int index, int64_t value);
    void bind(int index, double value);
    // Clamped to the signed 32-bit range.
    void bindInt32(int index, int64_t value);
    void bindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or an error; the preparation's error when it
    // did not prepare.
    int step();
    void reset();

    // Column readers: NULL reads as the empty text or 0.
    std::string text(int column) const;
    // The column's bytes, valid until the next step or reset.
    std::string_view view(int column) const;
    int64_t int64(int column) const;
    int int32(int column) const;
    double real(int column) const;
    bool isNull(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    int prepared_ = SQLITE_OK;
};

// The statement kept in `slot`, prepared at the first call and again at
// any call after a preparation that failed: preparing can fail for a
// moment (FTS5 reads its configuration when first used on a connection,
// which a full disk or an I/O error refuses), and a statement kept
// unprepared would fail every later call for the connection's life.
Statement& prepared(std::unique_ptr<Statement>& slot, sqlite3* db, std::string_view sql);

}  // namespace qm::sql

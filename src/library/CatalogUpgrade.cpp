#include "library/CatalogUpgrade.h"

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/CatalogInternal.h"
#include "library/SqliteStatement.h"
#include "platform/AppError.h"

namespace qm::CatalogUpgrade {

namespace {

using catalog_internal::run;

bool exists(sqlite3* db, std::string_view name) {
    sql::Statement st(db, "SELECT 1 FROM sqlite_master WHERE name = ?");
    st.bind(1, name);
    return st.step() == SQLITE_ROW;
}

int64_t highestCopied(sqlite3* db) {
    sql::Statement st(db, "SELECT coalesce(max(id), 0) FROM fts_rebuild_content");
    if (st.step() != SQLITE_ROW) throw AppError(Catalog::kSQLFailed, sqlite3_errmsg(db));
    return st.int64(0);
}

}  // namespace

std::string textTableArguments() {
    return fmt::format("fts5(name, folders, body, tokenize='{}', prefix='{}')", kTokenizer, kPrefixes);
}

bool textTableCurrent(sqlite3* db) {
    sql::Statement st(db, "SELECT sql FROM sqlite_master WHERE name = 'fts'");
    if (st.step() != SQLITE_ROW) return true;  // nothing to rebuild
    return st.view(0).find(fmt::format("prefix='{}'", kPrefixes)) != std::string_view::npos;
}

bool step(sqlite3* db, int64_t rows) {
    if (textTableCurrent(db)) return false;
    if (!exists(db, "fts_rebuild")) {
        run(db, "CREATE VIRTUAL TABLE fts_rebuild USING " + textTableArguments() + ";\n"
                // No key on the notes: a conflict in a trigger would fail the
                // write that fired it (an upsert's conflict handling
                // overrides the trigger's own), and ids noted twice do no harm.
                "CREATE TABLE fts_rebuild_dirty (id INTEGER);\n"
                "CREATE TRIGGER fts_rebuild_insert AFTER INSERT ON files BEGIN\n"
                "  INSERT INTO fts_rebuild_dirty VALUES (new.id); END;\n"
                "CREATE TRIGGER fts_rebuild_update AFTER UPDATE ON files BEGIN\n"
                "  INSERT INTO fts_rebuild_dirty VALUES (old.id), (new.id); END;\n"
                "CREATE TRIGGER fts_rebuild_delete AFTER DELETE ON files BEGIN\n"
                "  INSERT INTO fts_rebuild_dirty VALUES (old.id); END;");
        return true;
    }
    sql::Statement copy(db, "INSERT INTO fts_rebuild (rowid, name, folders, body) "
                            "SELECT rowid, name, folders, body FROM fts WHERE rowid > ? ORDER BY rowid LIMIT ?");
    if (!copy) throw AppError(Catalog::kSQLFailed, sqlite3_errmsg(db));
    copy.bind(1, highestCopied(db));
    copy.bind(2, rows);
    if (copy.step() != SQLITE_DONE) throw AppError(Catalog::kSQLFailed, sqlite3_errmsg(db));
    if (sqlite3_changes(db) > 0) return true;

    run(db,
        "DELETE FROM fts_rebuild WHERE rowid IN (SELECT id FROM fts_rebuild_dirty);\n"
        "INSERT INTO fts_rebuild (rowid, name, folders, body) "
        "SELECT rowid, name, folders, body FROM fts WHERE rowid IN (SELECT id FROM fts_rebuild_dirty);\n"
        "DROP TRIGGER fts_rebuild_insert;\n"
        "DROP TRIGGER fts_rebuild_update;\n"
        "DROP TRIGGER fts_rebuild_delete;\n"
        "DROP TABLE fts_rebuild_dirty;\n"
        "DROP TABLE fts;\n"
        "ALTER TABLE fts_rebuild RENAME TO fts;");
    return false;
}

}  // namespace qm::CatalogUpgrade

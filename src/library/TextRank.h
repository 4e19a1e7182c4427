// The relevance of a full-text hit, as the catalog ranks its searches:
// qm_rank(fts, w1, w2, ...) is the very double that SQLite's own
// bm25(fts, w1, w2, ...) gives the same row (the same formula, constants and
// order of operations), computed faster.
//
// Where the time goes: bm25 asks the table for each row's length in tokens
// with a lookup of its own in the table's size table, one statement per
// row, four fifths of a ranked query over most of the catalog. qm_rank
// reads those lengths instead through one cursor per query that walks the
// size table in row order alongside the hits (which FTS5 hands out in
// ascending row order), seeking again only across a gap. A row the cursor
// cannot find is asked of the table as bm25 asks it.
//
// The function belongs to the connection it is installed on and runs on the
// thread that steps that connection's statements (under the catalog's lock).
#pragma once

#include <sqlite3.h>

#include <string_view>

namespace qm::TextRank {

// The name of the auxiliary function.
inline constexpr std::string_view kFunction = "qm_rank";

// Installs qm_rank for the full-text table `table` (whose size table is
// "<table>_docsize") on the connection. False when the connection has no
// FTS5.
bool install(sqlite3* db, std::string_view table);

}  // namespace qm::TextRank

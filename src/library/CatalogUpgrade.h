// Bringing a catalog made by an earlier version to today's form.
//
// The schema script adds what is missing at every open (the facet indexes
// on (root, category) and (root, library) come that way). The full-text
// table cannot be altered in place: today's has prefix indexes for one-,
// two- and three-letter prefixes, which an older table lacks. It is rebuilt
// beside the old one, a bounded piece at a time, each piece one transaction
// under the catalog's lock, while searches keep reading the old table:
//  1. "fts_rebuild" is made in today's form, with triggers on `files` that
//     note in "fts_rebuild_dirty" every row id written from then on (every
//     change of the full-text table goes with a change of its files row);
//  2. rows are copied over in row-id order, up to `rows` a piece, resuming
//     after the highest row id copied so far;
//  3. once nothing is left to copy, one transaction copies the noted rows
//     again (or drops them when gone), drops the triggers, the notes and the
//     old table, and gives the new one the old one's name.
// Whatever piece the program is killed in, the file holds the old table
// whole, and the next open resumes where the last committed piece ended.
//
// Functions of one connection: run them only while holding the catalog's
// lock (Catalog::upgradeStep does).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::CatalogUpgrade {

// The full-text table's tokenize option; queries ask the same tokenizer.
inline constexpr std::string_view kTokenizer = "unicode61 remove_diacritics 2";
// The table's prefix indexes.
inline constexpr std::string_view kPrefixes = "1 2 3";

// "fts5(name, folders, body, tokenize='...', prefix='...')": today's table.
std::string textTableArguments();

// True when the full-text table is in today's form (nothing to rebuild).
bool textTableCurrent(sqlite3* db);

// Runs the next piece inside the caller's transaction; true when pieces
// remain. Throws AppError (Catalog::kSQLFailed) when a statement fails.
bool step(sqlite3* db, int64_t rows);

}  // namespace qm::CatalogUpgrade

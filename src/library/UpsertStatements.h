// The three statements of one catalog upsert (the file row with RETURNING
// id, then the full-text row deleted and inserted under that id), and the
// full-text name and folders texts of a path.
//
// The catalog keeps one set prepared for its connection (re-bound and reset
// per row); the benchmark's floor uses them bare. Used under the catalog's
// mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/AudioFileInfo.h"
#include "library/SoundMeta.h"
#include "library/SqliteStatement.h"

namespace qm {

class UpsertStatements {
public:
    explicit UpsertStatements(sqlite3* db);

    // Writes the rows, then resets the statements for the next call.
    // `indexed` is the time of the write, seconds since 1970. SQLITE_OK, or
    // the error of the first statement that failed.
    int run(const std::string& path, const std::string& root, int64_t size, double mtime,
             const std::optional<AudioFileInfo>& info, const SoundMeta& meta, double indexed);

    // Replaces the record of the existing row of `path` (its stamps and
    // facts stay) and its full-text body. SQLITE_OK; SQLITE_NOTFOUND when
    // `path` has no row; else the error of the statement that failed.
    int rewriteMeta(const std::string& path, const SoundMeta& meta, double indexed);

    // The last path component without its extension, "_" made spaces.
    static std::string ftsName(const std::string& path);
    // The parent folder's path with the root removed where it leads, then
    // every "/" made a space: "/Lib/Foley/Doors/x.wav" under "/Lib" gives
    // " Foley Doors".
    static std::string ftsFolders(const std::string& path, const std::string& root);

private:
    // Binds the record's JSON, category, library and rating to four
    // parameters from `first` on.
    static void bindRecord(sql::Statement& st, int first, const SoundMeta& meta);

    sqlite3* db_;
    std::unique_ptr<sql::Statement> upsert_, deleteFts_, insertFts_, rewrite_, rewriteBody_;
};

}  // namespace qm

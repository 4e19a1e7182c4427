#include "library/UpsertStatements.h"

#include <algorithm>
#include <filesystem>

#include "audio/Text.h"

namespace qm {

namespace {

constexpr const char* kUpsertSQL =
    "INSERT INTO files (path, root, size, mtime, duration, sr, channels, bits, codec, meta, "
    "category, library, rating, indexed)\n"
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)\n"
    "ON CONFLICT(path) DO UPDATE SET root=excluded.root, size=excluded.size, "
    "mtime=excluded.mtime, duration=excluded.duration,\n"
    "  sr=excluded.sr, channels=excluded.channels, bits=excluded.bits, codec=excluded.codec, "
    "meta=excluded.meta,\n"
    "  category=excluded.category, library=excluded.library, rating=excluded.rating, "
    "indexed=excluded.indexed\n"
    "RETURNING id";

}  // namespace

UpsertStatements::UpsertStatements(sqlite3* db) : db_(db) {}

std::string UpsertStatements::ftsName(const std::string& path) {
    std::string name = std::filesystem::path(path).stem().string();
    std::replace(name.begin(), name.end(), '_', ' ');
    return name;
}

std::string UpsertStatements::ftsFolders(const std::string& path, const std::string& root) {
    std::string folders = std::filesystem::path(path).parent_path().string();
    // Only the leading root goes: under /Lib, /Lib/Library stays "Library".
    if (!root.empty() && folders.starts_with(root)) folders.erase(0, root.size());
    std::replace(folders.begin(), folders.end(), '/', ' ');
    return folders;
}

void UpsertStatements::bindRecord(sql::Statement& st, int first, const SoundMeta& meta) {
    st.bind(first, meta.encoded());
    if (meta.category.empty())
        st.bindNull(first + 1);
    else
        st.bind(first + 1, text::upper(meta.category));
    if (meta.library.empty())
        st.bindNull(first + 2);
    else
        st.bind(first + 2, meta.library);
    st.bindInt32(first + 3, meta.rating);
}

int UpsertStatements::run(const std::string& path, const std::string& root, int64_t size,
                          double mtime, const std::optional<AudioFileInfo>& info,
                          const SoundMeta& meta, double indexed) {
    sql::Statement& upsert = sql::prepared(upsert_, db_, kUpsertSQL);
    if (!upsert) return upsert.step();
    upsert.bind(1, path);
    upsert.bind(2, root);
    upsert.bind(3, size);
    upsert.bind(4, mtime);
    const bool timed = info && info->sampleRate > 0;
    upsert.bind(5, timed ? static_cast<double>(info->frames) / info->sampleRate : 0.0);
    upsert.bind(6, info ? info->sampleRate : 0.0);
    upsert.bindInt32(7, info ? info->channels : 0);
    upsert.bindInt32(8, info ? info->bitDepth : 0);
    upsert.bind(9, info ? std::string_view(info->codec) : std::string_view());
    bindRecord(upsert, 10, meta);
    upsert.bind(14, indexed);

    const int stepped = upsert.step();
    const int64_t id = stepped == SQLITE_ROW ? upsert.int64(0) : 0;
    upsert.reset();
    if (stepped != SQLITE_ROW) return stepped == SQLITE_DONE ? SQLITE_OK : stepped;

    sql::Statement& deleteFts = sql::prepared(deleteFts_, db_, "DELETE FROM fts WHERE rowid = ?");
    deleteFts.bind(1, id);
    const int deleted = deleteFts.step();
    deleteFts.reset();
    if (deleted != SQLITE_DONE) return deleted;
    sql::Statement& insertFts = sql::prepared(insertFts_, db_, "INSERT INTO fts (rowid, name, folders, body) VALUES (?,?,?,?)");
    insertFts.bind(1, id);
    insertFts.bind(2, ftsName(path));
    insertFts.bind(3, ftsFolders(path, root));
    insertFts.bind(4, meta.searchText());
    const int inserted = insertFts.step();
    insertFts.reset();
    return inserted == SQLITE_DONE ? SQLITE_OK : inserted;
}

int UpsertStatements::rewriteMeta(const std::string& path, const SoundMeta& meta, double indexed) {
    sql::Statement& rewrite = sql::prepared(
        rewrite_, db_,
        "UPDATE files SET meta = ?, category = ?, library = ?, rating = ?, indexed = ? WHERE path = ? RETURNING id");
    bindRecord(rewrite, 1, meta);
    rewrite.bind(5, indexed);
    rewrite.bind(6, path);
    const int stepped = rewrite.step();
    const int64_t id = stepped == SQLITE_ROW ? rewrite.int64(0) : 0;
    rewrite.reset();
    if (stepped != SQLITE_ROW) return stepped == SQLITE_DONE ? SQLITE_NOTFOUND : stepped;
    sql::Statement& body = sql::prepared(rewriteBody_, db_, "UPDATE fts SET body = ? WHERE rowid = ?");
    body.bind(1, meta.searchText());
    body.bind(2, id);
    const int done = body.step();
    body.reset();
    return done == SQLITE_DONE ? SQLITE_OK : done;
}

}  // namespace qm

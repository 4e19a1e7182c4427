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

UpsertStatements::UpsertStatements(sqlite3* db) : db_(db), upsert_(db, kUpsertSQL) {}

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
    if (!upsert_) return upsert_.step();
    upsert_.bind(1, path);
    upsert_.bind(2, root);
    upsert_.bind(3, size);
    upsert_.bind(4, mtime);
    const bool timed = info && info->sampleRate > 0;
    upsert_.bind(5, timed ? static_cast<double>(info->frames) / info->sampleRate : 0.0);
    upsert_.bind(6, info ? info->sampleRate : 0.0);
    upsert_.bindInt32(7, info ? info->channels : 0);
    upsert_.bindInt32(8, info ? info->bitDepth : 0);
    upsert_.bind(9, info ? std::string_view(info->codec) : std::string_view());
    bindRecord(upsert_, 10, meta);
    upsert_.bind(14, indexed);

    const int stepped = upsert_.step();
    const int64_t id = stepped == SQLITE_ROW ? upsert_.int64(0) : 0;
    upsert_.reset();
    if (stepped != SQLITE_ROW) return stepped == SQLITE_DONE ? SQLITE_OK : stepped;

    if (!deleteFts_) deleteFts_.emplace(db_, "DELETE FROM fts WHERE rowid = ?");
    deleteFts_->bind(1, id);
    const int deleted = deleteFts_->step();
    deleteFts_->reset();
    if (deleted != SQLITE_DONE) return deleted;
    if (!insertFts_) insertFts_.emplace(db_, "INSERT INTO fts (rowid, name, folders, body) VALUES (?,?,?,?)");
    insertFts_->bind(1, id);
    insertFts_->bind(2, ftsName(path));
    insertFts_->bind(3, ftsFolders(path, root));
    insertFts_->bind(4, meta.searchText());
    const int inserted = insertFts_->step();
    insertFts_->reset();
    return inserted == SQLITE_DONE ? SQLITE_OK : inserted;
}

int UpsertStatements::rewriteMeta(const std::string& path, const SoundMeta& meta, double indexed) {
    if (!rewrite_)
        rewrite_.emplace(db_, "UPDATE files SET meta = ?, category = ?, library = ?, rating = ?, indexed = ? "
                              "WHERE path = ? RETURNING id");
    bindRecord(*rewrite_, 1, meta);
    rewrite_->bind(5, indexed);
    rewrite_->bind(6, path);
    const int stepped = rewrite_->step();
    const int64_t id = stepped == SQLITE_ROW ? rewrite_->int64(0) : 0;
    rewrite_->reset();
    if (stepped != SQLITE_ROW) return stepped == SQLITE_DONE ? SQLITE_NOTFOUND : stepped;
    if (!rewriteBody_) rewriteBody_.emplace(db_, "UPDATE fts SET body = ? WHERE rowid = ?");
    rewriteBody_->bind(1, meta.searchText());
    rewriteBody_->bind(2, id);
    const int body = rewriteBody_->step();
    rewriteBody_->reset();
    return body == SQLITE_DONE ? SQLITE_OK : body;
}

}  // namespace qm

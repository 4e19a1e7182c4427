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

void UpsertStatements::run(const std::string& path, const std::string& root, int64_t size,
                           double mtime, const std::optional<AudioFileInfo>& info,
                           const SoundMeta& meta, double indexed) {
    if (!upsert_) return;
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
    upsert_.bind(10, meta.encoded());
    if (meta.category.empty())
        upsert_.bindNull(11);
    else
        upsert_.bind(11, text::upper(meta.category));
    if (meta.library.empty())
        upsert_.bindNull(12);
    else
        upsert_.bind(12, meta.library);
    upsert_.bindInt32(13, meta.rating);
    upsert_.bind(14, indexed);

    const bool stored = upsert_.step() == SQLITE_ROW;
    const int64_t id = stored ? upsert_.int64(0) : 0;
    upsert_.reset();
    if (!stored) return;

    if (!deleteFts_) deleteFts_.emplace(db_, "DELETE FROM fts WHERE rowid = ?");
    if (*deleteFts_) {
        deleteFts_->bind(1, id);
        deleteFts_->step();
        deleteFts_->reset();
    }
    if (!insertFts_) insertFts_.emplace(db_, "INSERT INTO fts (rowid, name, folders, body) VALUES (?,?,?,?)");
    if (*insertFts_) {
        insertFts_->bind(1, id);
        insertFts_->bind(2, ftsName(path));
        insertFts_->bind(3, ftsFolders(path, root));
        insertFts_->bind(4, meta.searchText());
        insertFts_->step();
        insertFts_->reset();
    }
}

}  // namespace qm

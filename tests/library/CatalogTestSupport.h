// Helpers of the catalog tests: a second, raw connection to the catalog file
// that shows what was stored, and short ways to make rows.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "library/Catalog.h"
#include "library/SqliteStatement.h"

namespace qm::test {

class RawDb {
public:
    explicit RawDb(const std::filesystem::path& file) {
        sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~RawDb() { sqlite3_close(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;
    sqlite3* get() const { return db_; }

    // Every row of a query, each column as text ("NULL" for NULL).
    std::vector<std::vector<std::string>> rows(const std::string& sql) const {
        std::vector<std::vector<std::string>> out;
        sql::Statement st(db_, sql);
        while (st.step() == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(st.get()); ++c)
                row.push_back(st.isNull(c) ? "NULL" : st.text(c));
            out.push_back(std::move(row));
        }
        return out;
    }
    std::string one(const std::string& sql) const {
        auto r = rows(sql);
        return r.empty() || r[0].empty() ? std::string("<none>") : r[0][0];
    }
    void exec(const std::string& sql) const { sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

private:
    sqlite3* db_ = nullptr;
};

inline AudioFileInfo facts(double rate, int channels, int bits, int64_t frames, const std::string& codec = "PCM") {
    AudioFileInfo info;
    info.sampleRate = rate;
    info.channels = channels;
    info.bitDepth = bits;
    info.frames = frames;
    info.codec = codec;
    return info;
}

// One upsert in its own transaction.
inline void put(Catalog& catalog, const std::string& path, const std::string& root,
                const SoundMeta& meta = {}, const std::optional<AudioFileInfo>& info = std::nullopt,
                int64_t size = 1, double mtime = 1) {
    catalog.transaction([&] { catalog.upsert(path, root, size, mtime, info, meta); });
}

}  // namespace qm::test

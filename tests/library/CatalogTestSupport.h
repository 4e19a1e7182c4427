// Helpers of the catalog tests: a second, raw connection to the catalog file
// that shows what was stored, and short ways to make rows.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
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

// The ways a catalog file is found broken at start.
enum class Damage { randomBytes, halfAFile, flippedPage, fifo, folder };
inline constexpr std::pair<Damage, const char*> kDamages[] = {
    {Damage::randomBytes, "random bytes"}, {Damage::halfAFile, "half a file"},
    {Damage::flippedPage, "a flipped page"}, {Damage::fifo, "a FIFO"},
    {Damage::folder, "a folder"},
};

// Breaks the closed catalog file `file` (several pages long, its journal
// folded in) the way `how` says.
inline void damage(const std::filesystem::path& file, Damage how) {
    switch (how) {
        case Damage::randomBytes: {
            std::mt19937 random(7);
            std::string bytes(65536, '\0');
            for (char& c : bytes) c = static_cast<char>(random());
            std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
            break;
        }
        case Damage::halfAFile:
            std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
            break;
        case Damage::flippedPage: {
            std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
            const size_t page = 4096, middle = std::filesystem::file_size(file) / page / 2 * page;
            std::string bytes(page, '\0');
            f.seekg(static_cast<std::streamoff>(middle));
            f.read(bytes.data(), std::streamsize(page));
            for (char& c : bytes) c = static_cast<char>(~c);
            f.seekp(static_cast<std::streamoff>(middle));
            f.write(bytes.data(), std::streamsize(page));
            break;
        }
        case Damage::fifo:
            std::filesystem::remove(file);
            ::mkfifo(file.c_str(), 0600);
            break;
        case Damage::folder:
            std::filesystem::remove(file);
            std::filesystem::create_directories(file);
            std::ofstream(file / "inside") << "kept";
            break;
    }
}

// The first column of each row of a search's one statement, run bare by
// SQLite on `raw`'s connection.
inline std::vector<std::string> statementRows(const RawDb& raw, const Catalog::Query& q) {
    sql::Statement st(raw.get(), q.sql);
    for (size_t k = 0; k < q.binds.size(); ++k) st.bind(static_cast<int>(k + 1), q.binds[k]);
    std::vector<std::string> out;
    while (st.step() == SQLITE_ROW) out.push_back(st.text(0));
    return out;
}

// The paths of catalog rows, in order.
inline std::vector<std::string> paths(const std::vector<Catalog::Row>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.path);
    return out;
}

// One upsert in its own transaction.
inline void put(Catalog& catalog, const std::string& path, const std::string& root,
                const SoundMeta& meta = {}, const std::optional<AudioFileInfo>& info = std::nullopt,
                int64_t size = 1, double mtime = 1) {
    catalog.transaction([&] { catalog.upsert(path, root, size, mtime, info, meta); });
}

}  // namespace qm::test

// Helpers of the scanner and change-log tests: a library folder with a real
// catalog file beside it (and a raw view of that file), small WAV files,
// and file times set to the nanosecond.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "library/Catalog.h"
#include "library/CatalogTestSupport.h"
#include "library/LibraryScanner.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace qm::test {

inline std::string wavBytes(int64_t frames = 10) {
    return RiffBuilder().fmt(1, 48000, 16).data16(1, frames).bytes();
}

inline std::string realPath(const std::filesystem::path& p) {
    char* r = ::realpath(p.c_str(), nullptr);
    std::string out = r ? r : "";
    std::free(r);
    return out;
}

inline struct timespec mtimeOf(const std::filesystem::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mtim;
}

inline void setMtime(const std::filesystem::path& p, struct timespec t) {
    struct timespec times[2] = {t, t};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

inline struct timespec plusNanos(struct timespec t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

// A library folder "Lib", a catalog file and a raw view of it.
struct Library {
    TempDir dir;
    std::filesystem::path lib = dir / "Lib";
    std::filesystem::path file = dir / "c.sqlite";
    Catalog catalog{file};
    RawDb raw{file};
    std::vector<LibraryScanner::Progress> reports;

    Library() { std::filesystem::create_directories(lib); }

    std::filesystem::path put(const std::string& relative, const std::string& bytes = wavBytes()) {
        const std::filesystem::path p = lib / relative;
        std::filesystem::create_directories(p.parent_path());
        writeBytes(p, bytes);
        return p;
    }
    void scan(const std::filesystem::path& root) {
        reports.clear();
        LibraryScanner::scan(root.string(), catalog, [&](const LibraryScanner::Progress& p) { reports.push_back(p); });
    }
    void scan() { scan(lib); }
    std::string root() const { return realPath(lib); }
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (auto& r : raw.rows("SELECT path FROM files ORDER BY path")) out.push_back(r[0]);
        return out;
    }
    std::string count() const { return raw.one("SELECT COUNT(*) FROM files"); }
    // Rows written per transaction, from the progress reports.
    std::vector<int64_t> batches() const {
        std::vector<int64_t> out;
        int64_t before = 0;
        for (const auto& p : reports)
            if (p.written != before) {
                out.push_back(p.written - before);
                before = p.written;
            }
        return out;
    }
};

}  // namespace qm::test

// The process-wide cache of audio file facts for files the catalog does not
// know: the file list's Length and Format cells of such a file read it
// once, and every later showing of the same file is served from here.
//
// Keys are paths compared as written: one file reached by two paths (a link
// and its target) is read and kept twice. Only good reads are kept; a file
// whose facts cannot be read is read again when asked again. Entries are
// never refreshed. A miss that finds more than `limit` entries empties the
// cache completely before keeping its own result, so the cache never holds
// more than limit + 1 entries; no least-recently-used order is kept.
//
// Threads: any. One request runs at a time (a mutex held across the read),
// so concurrent askers wait their turn; callers on the main thread ask from
// a worker and apply the answer on the main thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "audio/AudioFileInfo.h"

namespace qm {

class InfoCache {
public:
    // How a miss reads a file: its facts, or none when they cannot be read.
    using Reader = std::function<std::optional<AudioFileInfo>(const std::filesystem::path&)>;

    static constexpr size_t kDefaultLimit = 20000;

    // The one instance of the process, made on first use: the default limit
    // over AudioFileInfo::load.
    static InfoCache& shared();

    // `read` defaults to AudioFileInfo::load with its failures as none.
    explicit InfoCache(size_t limit = kDefaultLimit, Reader read = {});
    InfoCache(const InfoCache&) = delete;
    InfoCache& operator=(const InfoCache&) = delete;

    // The file's facts from the cache, else read now (on the caller's
    // thread, under the cache's lock); none when they cannot be read.
    std::optional<AudioFileInfo> info(const std::filesystem::path& url);

    // Entries held now.
    size_t size() const;
    bool contains(const std::filesystem::path& url) const;

private:
    const size_t limit_;
    const Reader read_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, AudioFileInfo> items_;
};

}  // namespace qm

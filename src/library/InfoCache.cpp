#include "library/InfoCache.h"

#include <exception>

namespace qm {

namespace {

std::optional<AudioFileInfo> loadFacts(const std::filesystem::path& url) {
    try {
        return AudioFileInfo::load(url);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

InfoCache& InfoCache::shared() {
    static InfoCache cache;
    return cache;
}

InfoCache::InfoCache(size_t limit, Reader read) : limit_(limit), read_(read ? std::move(read) : Reader(loadFacts)) {}

std::optional<AudioFileInfo> InfoCache::info(const std::filesystem::path& url) {
    std::lock_guard lock(mutex_);
    const std::string& key = url.native();
    if (auto it = items_.find(key); it != items_.end()) return it->second;
    std::optional<AudioFileInfo> facts;
    try {
        facts = read_(url);
    } catch (const std::exception&) {
        // A reader that throws counts as a failed read.
    }
    if (items_.size() > limit_) items_.clear();
    if (facts) items_.emplace(key, *facts);
    return facts;
}

size_t InfoCache::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

bool InfoCache::contains(const std::filesystem::path& url) const {
    std::lock_guard lock(mutex_);
    return items_.count(url.native()) > 0;
}

}  // namespace qm

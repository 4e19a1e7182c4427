#include "app/core/WaveformCache.h"

#include <algorithm>

namespace qm {

WaveformCache& WaveformCache::shared() {
    static WaveformCache cache;
    return cache;
}

std::shared_ptr<const WaveformData> WaveformCache::get(const std::filesystem::path& url) const {
    auto it = items_.find(url);
    return it == items_.end() ? nullptr : it->second;
}

void WaveformCache::set(const std::filesystem::path& url, std::shared_ptr<const WaveformData> value) {
    order_.erase(std::remove(order_.begin(), order_.end(), url), order_.end());
    if (value) {
        items_[url] = std::move(value);
        order_.push_back(url);
    } else {
        items_.erase(url);
    }
    while (order_.size() > kLimit) {
        items_.erase(order_.front());
        order_.pop_front();
    }
}

}  // namespace qm

#include "edit/PeakCache.h"

#include <algorithm>

namespace qm {

void PeakCache::rebuild(const std::vector<std::vector<float>>& channels) {
    mins.clear();
    maxs.clear();
    for (const auto& ch : channels) {
        const int64_t n = static_cast<int64_t>(ch.size());
        const int64_t blocks = (n + block - 1) / block;
        std::vector<float> lo(static_cast<size_t>(blocks)), hi(static_cast<size_t>(blocks));
        for (int64_t b = 0; b < blocks; ++b) {
            const auto first = ch.begin() + b * block;
            const auto last = ch.begin() + std::min((b + 1) * block, n);
            const auto [mn, mx] = std::minmax_element(first, last);
            lo[static_cast<size_t>(b)] = *mn;
            hi[static_cast<size_t>(b)] = *mx;
        }
        mins.push_back(std::move(lo));
        maxs.push_back(std::move(hi));
    }
}

}  // namespace qm

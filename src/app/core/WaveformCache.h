// The finished waveform overviews of the 48 most recently stored files, so
// that selecting a file again shows its waveform at once.
//
// One process-wide instance, shared(); main thread only, no lock.
#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <memory>

#include "audio/WaveformOverview.h"

namespace qm {

class WaveformCache {
public:
    static constexpr std::size_t kLimit = 48;

    static WaveformCache& shared();

    // The stored overview, or null; reading does not change the order.
    std::shared_ptr<const WaveformData> get(const std::filesystem::path& url) const;
    // Stores an overview as the newest entry, or removes the entry when
    // `value` is null; the oldest entries go beyond the limit.
    void set(const std::filesystem::path& url, std::shared_ptr<const WaveformData> value);

private:
    std::map<std::filesystem::path, std::shared_ptr<const WaveformData>> items_;
    std::deque<std::filesystem::path> order_;  // oldest first
};

}  // namespace qm

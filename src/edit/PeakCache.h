// The min/max overview of the editor's document that its waveform view
// draws at far zoom: one minimum and one maximum per 256 frames and channel.
//
// Rebuilt on the main thread after every content change; read by the view
// on the same thread.
#pragma once

#include <cstdint>
#include <vector>

namespace qm {

class PeakCache {
public:
    static constexpr int64_t block = 256;

    // One list per channel, ceil(length / 256) values each; a block at the
    // end of a channel covers only the frames that are there.
    std::vector<std::vector<float>> mins;
    std::vector<std::vector<float>> maxs;

    void rebuild(const std::vector<std::vector<float>>& channels);
};

}  // namespace qm

// Mix configurations for playback tests and benchmarks, built with the mix
// builder's own pieces.
#pragma once

#include "spatial/MixBuilder.h"
#include "rt/mn_upmix.h"

#include <vector>

namespace qm::test {

// A stereo source on the speakers of `target`, one device channel per
// speaker in layout order.
MixConfig stereoOnLayout(LayoutID target);

// A speaker bed of `bed` (one input per speaker) rendered binaurally: one
// virtual source per speaker at its direction, ears on device channels 0, 1.
MixConfig bedBinaural(LayoutID bed);

// A stereo source upmixed to `bed` with the music preset, then rendered
// binaurally like bedBinaural.
MixConfig stereoUpmixedBinaural(LayoutID bed);

// An upmix kernel context for two inputs and two outputs whose plan routes
// input i to output i (delayed by the kernel's latency).
struct PassthroughUpmix {
    explicit PassthroughUpmix(int fftSize = 512, double sampleRate = 48000);
    ~PassthroughUpmix();
    PassthroughUpmix(const PassthroughUpmix&) = delete;
    PassthroughUpmix& operator=(const PassthroughUpmix&) = delete;

    mn_upmix* raw;
    std::vector<int32_t> in{0, 1}, out{0, 1};
    std::vector<float> gain{1, 1};
    mn_upmix_plan plan{};
};

}  // namespace qm::test

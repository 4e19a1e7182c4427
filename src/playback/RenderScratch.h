// What the render paths (playback's render context, the monitor's matrix
// node) hold for one callback: planar scratch channels and the two gain
// ramps of the one-block crossfade. All memory is made once, by the owner on
// its own thread, for kMaxRenderFrames frames; filling the ramps on the
// render thread allocates nothing.
#pragma once

#include "platform/AudioOutput.h"

#include <cstdint>
#include <vector>

namespace qm {

// `count` channels of kMaxRenderFrames floats each, zeroed.
struct ScratchChannels {
    std::vector<float> memory;
    std::vector<float*> ptr;
    void make(int count);
    float* const* data() const { return ptr.data(); }
};

// A change is crossfaded within one block: the old side is weighted by
// `down`, the new one by `up`, which rises linearly to full gain on the
// block's last frame (down = 1 - up).
struct CrossfadeRamps {
    std::vector<float> up = std::vector<float>(kMaxRenderFrames, 0.0f);
    std::vector<float> down = std::vector<float>(kMaxRenderFrames, 0.0f);
    // For a block of `frames` frames (at most kMaxRenderFrames are filled).
    void fill(uint32_t frames);
};

}  // namespace qm

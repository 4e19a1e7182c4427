#include "playback/RenderScratch.h"

#include <algorithm>

namespace qm {

void ScratchChannels::make(int count) {
    memory.assign(static_cast<size_t>(count) * kMaxRenderFrames, 0.0f);
    ptr.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) ptr[static_cast<size_t>(i)] = memory.data() + static_cast<size_t>(i) * kMaxRenderFrames;
}

void CrossfadeRamps::fill(uint32_t frames) {
    if (frames == 0) return;
    const uint32_t n = std::min(frames, kMaxRenderFrames);
    const float step = 1.0f / static_cast<float>(n);
    for (uint32_t t = 0; t < n; ++t) {
        up[t] = static_cast<float>(t + 1) * step;
        down[t] = 1.0f - up[t];
    }
}

}  // namespace qm

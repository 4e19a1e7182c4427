#include "playback/RenderScratch.h"

#include "rt/mn_upmix.h"

#include <algorithm>
#include <cmath>
#include <new>

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

const mn_mix_config* KernelWarmup::choose(const mn_mix_config* prev, const mn_mix_config* next,
                                          uint32_t frames) {
    feeding_ = nullptr;
    if (!prev || !next || next == prev || !next->upmix || next->upmix == prev->upmix || frames == 0) {
        reset();
        return next;
    }
    if (kernel_ != next->upmix) {
        kernel_ = next->upmix;
        fed_ = 0;
    }
    const int64_t settle = mn_upmix_settle(static_cast<const mn_upmix*>(next->upmix));
    if (fed_ >= settle || held_ >= settle) {
        reset();
        return next;
    }
    fed_ += frames;
    held_ += frames;
    feeding_ = next;
    return prev;
}

void KernelWarmup::reset() {
    kernel_ = nullptr;
    fed_ = held_ = 0;
    feeding_ = nullptr;
}

void OutputLimiter::prepare(double sampleRate) {
    if (limit_ && sampleRate == rate_) {
        reset();
        return;
    }
    const double rate = sampleRate > 0 ? sampleRate : 48000.0;
    const auto hold = static_cast<int32_t>(std::max(1L, std::lround(holdSeconds * rate)));
    limit_.reset(mn_limit_create(maxChannels, threshold, 0, hold, releaseSeconds * rate));
    if (!limit_) throw std::bad_alloc();
    rate_ = sampleRate;
}

void OutputLimiter::reset() {
    if (limit_) mn_limit_reset(limit_.get());
}

void OutputLimiter::process(float* const* channels, int count, uint32_t frames) {
    if (limit_) mn_limit_process(limit_.get(), channels, count, static_cast<int32_t>(frames));
}

bool OutputLimiter::active() const { return limit_ && mn_limit_active(limit_.get()) != 0; }

}  // namespace qm

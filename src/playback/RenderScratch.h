// What the render paths (playback's render context, the monitor's matrix
// node) hold for one callback: planar scratch channels and the two gain
// ramps of the one-block crossfade. All memory is made once, by the owner on
// its own thread, for kMaxRenderFrames frames; filling the ramps on the
// render thread allocates nothing.
#pragma once

#include "platform/AudioOutput.h"
#include "rt/mn_limit.h"
#include "rt/mn_mix.h"

#include <cstdint>
#include <memory>
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

// A record whose upmix kernel did not run in the last block (a new upmixer,
// or one that sat idle) cannot take over at once: the kernel starts from
// what it last heard, and its first output after its latency would begin
// with a step. The render side goes on with the previous record while it
// feeds the new kernel the same input, until the kernel has settled
// (mn_upmix_settle: about 55 ms at 48 kHz), and then crossfades as for any
// change. A previous record is held at most that long (under 2.1 s at any
// rate an upmixer accepts), well within the 3 s a replaced record stays
// alive. Real-time thread only; it allocates nothing.
class KernelWarmup {
public:
    // The record to render this block of `frames` frames, given `prev` (what
    // the last block used) and `next` (the one published): `next`, unless
    // its kernel is still settling, then `prev`.
    const mn_mix_config* choose(const mn_mix_config* prev, const mn_mix_config* next, uint32_t frames);
    // The record whose kernel the caller must run on this block's input
    // (dropping its output), or null.
    const mn_mix_config* feeding() const { return feeding_; }
    // Forgets a warm-up under way (the previous record is gone).
    void reset();

private:
    const void* kernel_ = nullptr;
    int64_t fed_ = 0;   // frames the kernel was fed
    int64_t held_ = 0;  // frames the previous record was held
    const mn_mix_config* feeding_ = nullptr;
};

// The safety limiter at the end of every live speaker path (the render
// context's device channels, the monitor's outputs), the one the binaural
// ears pass too (rt/mn_limit.h), linked over all the channels: no sample
// reaches the device at or above full scale. It acts only on a sample
// whose magnitude is 1.0 or more (a fold-down that adds up past full
// scale, a float file's overshoot): the gain falls on that very frame to
// hold it at `threshold`, just below full scale, stays down while peaks
// go on coming within `holdSeconds`, and comes back over `releaseSeconds`
// (exponentially, to exactly 1). No look-ahead: it adds no latency. Below
// full scale the samples pass bit for bit.
//
// Threads: prepare() on the owner's thread while no callback runs;
// process() and reset() on the render thread (or while none runs).
class OutputLimiter {
public:
    static constexpr float threshold = 0.99999994f;  // the largest float below 1
    static constexpr double holdSeconds = 0.010;
    static constexpr double releaseSeconds = 0.080;
    static constexpr int maxChannels = AudioOutput::maxChannels;

    // At rest, for a stream at `sampleRate`. Throws std::bad_alloc.
    void prepare(double sampleRate);
    // Back at rest.
    void reset();
    // Limits the first `frames` frames of `count` channels in place (null
    // entries skipped). Nothing happens before prepare().
    void process(float* const* channels, int count, uint32_t frames);
    // The gain is below 1 or coming back.
    bool active() const;

private:
    struct Deleter {
        void operator()(mn_limit* limit) const { mn_limit_destroy(limit); }
    };
    std::unique_ptr<mn_limit, Deleter> limit_;
    double rate_ = 0;
};

}  // namespace qm

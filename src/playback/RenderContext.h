// The part of the playback engine that runs on the audio render thread.
//
// On every callback render() takes the current ring of source frames and the
// current mix record from their slots, runs the record's upmix kernel when it
// has one, mixes through the record's gain matrix into the device channels
// (or into the 32-channel virtual-speaker bus that the binaural renderer
// turns into two ears), applies the output gain with a ramp, and publishes
// the play position and the end of the stream. When the ring or the record
// changed since the previous callback it crossfades linearly from the old to
// the new over that one callback.
//
// Threads: render() belongs to the real-time thread and never allocates,
// locks, frees or calls the system: every buffer is made here, at creation.
// The main thread writes the five cells at any time, and prevRing, prevCfg
// and binRender only while the output is stopped (so that the first callback
// after a start fades the current ring and record in from silence). Rings and
// records dropped by the main thread must outlive the one callback that may
// still use them as the previous ones (the engine frees them 3 s later).
#pragma once

#include "rt/mn_cells.h"
#include "rt/mn_mix.h"
#include "rt/mn_ring.h"

#include <cstdint>
#include <vector>

namespace qm {

class BinauralRenderer;

class RenderContext {
public:
    static constexpr uint32_t maxFrames = 4096;
    static constexpr int maxSourceChannels = 64;
    static constexpr int maxVirtualSpeakers = 32;
    static constexpr int maxDeviceChannels = 256;
    static constexpr int maxUpmixOutputs = 24;

    // Makes the five cells and every scratch buffer. Throws std::bad_alloc
    // when a cell cannot be made.
    RenderContext();
    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    mn_slot* ringSlot;  // the mn_ring to play, or null
    mn_slot* cfgSlot;   // the mn_mix_config to apply, or null
    mn_f64* position;   // source-position stamp of the last frame read from the current ring
    mn_i64* finished;   // 1 once the current ring is drained at end of stream
    mn_f64* gain;       // linear output gain

    // Render-thread state; the main thread writes it only while stopped.
    float lastGain = 1.0f;
    mn_ring* prevRing = nullptr;
    const mn_mix_config* prevCfg = nullptr;
    BinauralRenderer* binRender = nullptr;

    // Fills `bufferCount` device channels (null entries have no memory) of
    // `frameCount` frames; only the first 4096 frames and 256 channels carry
    // sound. Always returns 0.
    int32_t render(uint32_t frameCount, float* const* buffers, uint32_t bufferCount);

    // render() in the shape of the audio output's render function.
    static void renderCallback(void* user, uint32_t frames, float* const* channels,
                               uint32_t channelCount);

    // Virtual-speaker bus channel i (0 ..< 32) of the current callback.
    const float* busChannel(int i) const { return bus_[i]; }

private:
    // A set of planar scratch channels of maxFrames floats each.
    struct Channels {
        std::vector<float> memory;
        std::vector<float*> ptr;
        void make(int count);
    };

    int readRing(mn_ring* ring, float* const* dst, uint32_t n, bool current);
    void outputSet(const mn_mix_config* cfg, float* const** out, int32_t* count);
    void mixSide(const mn_mix_config* cfg, float* const* in, int channels, uint32_t n,
                 float* const* upOut, const float* ramp);
    void fillUpmixInputs(const mn_mix_config* cfg, float* const* in, int channels);

    Channels inA_, inB_, inC_, busMem_, upA_, upB_;
    float* const* bus_ = nullptr;
    float* dev_[maxDeviceChannels] = {};
    int devCount_ = 0;
    std::vector<float> rampUp_, rampDown_, binL_, binR_;
    const float* upIn_[maxSourceChannels] = {};
    bool binauralWasDue_ = false;  // the binaural renderer was pulled last callback
};

}  // namespace qm

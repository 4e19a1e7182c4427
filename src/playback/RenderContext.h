// The part of the playback engine that runs on the audio render thread.
//
// On every callback render() takes the current ring of source frames and the
// current mix record from their slots, runs the record's upmix kernel when it
// has one, mixes through the record's gain matrix into the device channels
// (or into the 32-channel virtual-speaker bus that the binaural renderer
// turns into two ears), applies the output gain with a ramp, and publishes
// the play position and the end of the stream. When the ring or the record
// changed since the previous callback it crossfades linearly from the old to
// the new over that one callback. Last, the device channels pass the
// output's safety limiter (OutputLimiter), which holds every sample below
// full scale and leaves those below it as they are.
//
// A record whose upmix kernel is new does not take over at once: the
// previous one plays on while the new kernel settles on the same input
// (KernelWarmup), then the two crossfade. Leaving the binaural path, the
// ears fade out after the renderer, in step with what fades in.
//
// Threads: render() belongs to the real-time thread and never allocates,
// locks, frees or calls the system: every buffer is made here, at creation.
// The main thread writes the cells and slots at any time (but `starved`,
// which only the render thread writes); the render state behind them (the
// previous ring and record) it may change only while the output is stopped,
// through restartFromSilence(), so that the first callback after a start
// fades the current ring and record in from silence. Rings and records
// dropped by the main thread must outlive the callbacks that may still use
// them as the previous ones (the engine frees them 3 s later: a record held
// while a kernel settles is held well below that). A binaural renderer
// published in `binauralSlot` must live as long as callbacks may run.
#pragma once

#include "platform/AudioOutput.h"
#include "playback/RenderScratch.h"
#include "rt/mn_cells.h"
#include "rt/mn_mix.h"
#include "rt/mn_ring.h"

#include <cstdint>
#include <vector>

namespace qm {

class BinauralRenderer;

class RenderContext {
public:
    static constexpr int maxSourceChannels = 64;
    static constexpr int maxVirtualSpeakers = 32;
    static constexpr int maxDeviceChannels = 256;
    static constexpr int maxUpmixOutputs = 24;

    // Makes the cells and every scratch buffer. Throws std::bad_alloc
    // when a cell cannot be made.
    RenderContext();
    // Frees the cells; no callback may run any more.
    ~RenderContext();
    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    mn_slot* const ringSlot;  // the mn_ring to play, or null
    mn_slot* const cfgSlot;   // the mn_mix_config to apply, or null
    mn_f64* const position;   // source-position stamp of the last frame read from the current ring
    mn_i64* const finished;   // 1 once the current ring is drained at end of stream
    mn_f64* const gain;       // linear output gain
    mn_i64* const starved;    // frames played as silence because the current ring's reader had not filled them yet (never at its end); written by the render thread only
    mn_slot* const binauralSlot;  // the BinauralRenderer that turns the virtual-speaker bus into two ears, or null (binaural records are then silent)

    // Only while the output is stopped: the next callback fades the ring and
    // record in the slots in from silence, as if nothing had played before.
    void restartFromSilence();
    // Only while the output is stopped: the rate the output runs at, for
    // the limiter's hold and release (48 kHz until told).
    void setSampleRate(double rate) { limiter_.prepare(rate); }
    // Publishes the binaural renderer (any time; it starts from silence).
    void setBinauralRenderer(BinauralRenderer* renderer) { mn_slot_store(binauralSlot, renderer); }

    // Fills `bufferCount` device channels (null entries have no memory) of
    // `frameCount` frames; only the first kMaxRenderFrames frames and 256
    // channels carry sound. Always returns 0.
    int32_t render(uint32_t frameCount, float* const* buffers, uint32_t bufferCount);

    // render() in the shape of the audio output's render function.
    static void renderCallback(void* user, uint32_t frames, float* const* channels,
                               uint32_t channelCount);

    // Virtual-speaker bus channel i (0 ..< 32) of the current callback.
    const float* busChannel(int i) const { return bus_[i]; }

private:
    // Whether reading a ring moves the play position: only the current one does.
    enum class Stamps { publish, ignore };

    int readRing(mn_ring* ring, float* const* dst, uint32_t n, Stamps stamps);
    float* const* fadeInputs(float* const* oldIn, int oldCount, float* const* newIn, int newCount, int count,
                             uint32_t n);
    void outputSet(const mn_mix_config* cfg, float* const** out, int32_t* count);
    void mixSide(const mn_mix_config* cfg, float* const* in, int channels, uint32_t n,
                 float* const* upOut, const float* ramp);
    void fillUpmixInputs(const mn_mix_config* cfg, float* const* in, int channels);
    void destroyCells();

    // What the previous callback played: a change of either is crossfaded.
    mn_ring* prevRing_ = nullptr;
    const mn_mix_config* prevCfg_ = nullptr;
    float prevGain_ = 1.0f;
    BinauralRenderer* binaural_ = nullptr;

    // Scratch frames of one callback. While the ring changes, `ringFrames_`
    // holds the old ring's frames and `newRingFrames_` the new one's; else
    // `ringFrames_` holds the current ring's. `fadedFrames_` is the two
    // crossfaded, for an upmix kernel that both records share. The upmix
    // kernel writes into `upmixOut_` (the current or, while records change,
    // the previous record's) and `newUpmixOut_` (the new record's).
    ScratchChannels ringFrames_, newRingFrames_, fadedFrames_, busMemory_, upmixOut_, newUpmixOut_;
    float* const* bus_ = nullptr;
    float* dev_[maxDeviceChannels] = {};
    int devCount_ = 0;
    CrossfadeRamps ramps_;
    std::vector<float> earL_, earR_;
    const float* upmixIn_[maxSourceChannels] = {};
    bool binauralWasDue_ = false;  // the binaural renderer was pulled last callback
    int32_t earLeft_ = -1, earRight_ = -1;  // ear channels of the last binaural record
    KernelWarmup warmup_;
    OutputLimiter limiter_;
};

}  // namespace qm

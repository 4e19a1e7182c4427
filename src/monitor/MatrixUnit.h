// The monitor's processing node: per block it takes the source's channels,
// optionally streams a run of them through the upmixer, multiplies by the
// monitor's gain matrix into the output channels, and on the first block
// after the matrix changed crossfades linearly from the old matrix to the
// new one within that block.
//
// The main thread hands it a MixConfig through setConfig(), which makes a
// real-time record (makeRealtimeMix) and publishes it through one slot. The
// render side (State::render, called from the monitor's audio callback) only
// loads that slot; it never allocates, locks, frees or calls the system:
// every buffer is made with the State, at its largest size.
//
// A record whose upmix kernel is new (the upmix turned on, another target)
// does not take over at once: the previous one plays on while the new
// kernel settles on the same input (KernelWarmup, about 55 ms at 48 kHz),
// then the two crossfade within one block.
//
// Retiring: a replaced record (and the upmixer it names) is freed on the main
// queue kRetireSeconds later, and again kRetireSeconds later for as long as
// the slot or the render side's `heard` cell (the record its last block
// used) still holds it, so a render thread that stalled longer than the grace
// time (a stalled server, a suspended machine) never crossfades from freed
// memory. A silent block (no record, or one that does not fit the input)
// clears what the render side remembers; the next usable block then fades in
// over its length, so a resumed signal never starts with a step.
//
// Threads: construction, prepare(), setConfig() and destruction on the main
// thread; prepare() only while no block renders. State::render on one
// real-time thread at a time; the owner keeps the State (shared) alive for
// as long as a callback may run.
#pragma once

#include "platform/MainQueue.h"
#include "playback/RenderScratch.h"
#include "rt/mn_cells.h"
#include "rt/mn_mix.h"
#include "spatial/MixBuilder.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qm {

class Upmixer;

class MatrixUnit {
public:
    static constexpr uint32_t maxFrames = kMaxRenderFrames;  // frames of one block that carry sound
    static constexpr int maxInputs = 64;         // source channels taken
    static constexpr int maxOutputs = 256;       // output channels written
    static constexpr int maxUpmixOutputs = 24;   // upmixer outputs held

    // What the render side touches. Every buffer is allocated once, here.
    class State {
    public:
        State();
        ~State();
        State(const State&) = delete;
        State& operator=(const State&) = delete;

        // One block: `inputCount` source channels (a null one, or one beyond
        // the count, reads as silence) into `outputCount` output channels (a
        // null one is rendered into the node's own buffer and dropped). Every
        // output starts the block at silence. Only the first maxInputs inputs,
        // maxOutputs outputs and maxFrames frames are used. Returns 0.
        int32_t render(uint32_t frames, const float* const* inputs, int inputCount,
                       float* const* outputs, int outputCount);
        // render() in the shape of the duplex stream's process function,
        // `user` being the State.
        static void renderCallback(void* user, uint32_t frames, const float* const* inputs,
                                   uint32_t inputCount, float* const* outputs, uint32_t outputCount);

        // The record the last block used, or null; for the retiring work.
        const mn_mix_config* heard() const;
        // The input channel count blocks are judged against (prepare()).
        int inChannels() const { return inChannels_; }

    private:
        friend class MatrixUnit;
        bool usable(const mn_mix_config* r, int c) const;
        // Runs r's upmix context from r's offset on and returns its outputs;
        // with `fadeIn`, on its input faded by those gains.
        float* const* upmix(const mn_mix_config* r, int c, uint32_t n, const ScratchChannels& dest,
                            const float* fadeIn = nullptr);
        void mix(const mn_mix_config* r, const float* const* in, uint32_t n, int m, const float* ramp);

        mn_slot* slot_;   // the current mn_mix_config, or null
        mn_slot* heard_;  // the record of the last block (prev), or null
        int inChannels_ = 2;
        const mn_mix_config* prev_ = nullptr;
        // A silent block came after the last prepare(): the next usable one fades in.
        bool fadeIn_ = false;

        ScratchChannels own_, faded_, ownOut_, upA_, upB_;
        KernelWarmup warmup_;
        const float* ins_[maxInputs] = {};
        float* outs_[maxOutputs] = {};
        const float* upIn_[maxInputs] = {};
        CrossfadeRamps ramps_;
    };

    explicit MatrixUnit(MainQueue& main);
    ~MatrixUnit();
    MatrixUnit(const MatrixUnit&) = delete;
    MatrixUnit& operator=(const MatrixUnit&) = delete;

    // Only while no block renders: the channel count of the source side and
    // its rate (the upmixer's rate). The next block renders plainly.
    void prepare(int inputChannels, double sampleRate);

    // Publishes `config` to the render side: the upmixer is kept for a
    // request of the same counts and rate (re-planned only when the request
    // changed), else replaced; the replaced record goes to the main queue.
    // The next usable block crossfades to it, even from an equal one.
    void setConfig(const MixConfig& config);

    const std::shared_ptr<State>& state() const { return state_; }
    int32_t render(uint32_t frames, const float* const* inputs, int inputCount, float* const* outputs,
                   int outputCount) {
        return state_->render(frames, inputs, inputCount, outputs, outputCount);
    }
    const std::shared_ptr<Upmixer>& upmixer() const { return upmixer_; }
    // Frames by which the current configuration delays the signal: the
    // upmixer's latency when it runs one, else 0.
    uint32_t latency() const;
    double sampleRate() const { return sampleRate_; }
    // Records made by setConfig() and not yet freed (the current one included).
    long liveRecords() const { return live_->load(); }

private:
    struct Record;
    void retire(std::shared_ptr<const Record> record);

    MainQueue& main_;
    std::shared_ptr<State> state_;
    std::shared_ptr<Upmixer> upmixer_;
    std::shared_ptr<const Record> current_;
    double sampleRate_ = 48000.0;
    std::shared_ptr<std::atomic<long>> live_;
};

}  // namespace qm

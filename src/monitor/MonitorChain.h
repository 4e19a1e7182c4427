// The monitor's process function: the matrix node, then the effect inserts
// in list order, then the output device.
//
// The inserts can change while the stream runs. The main thread makes the
// new list's instances (Lv2Unit::instantiate, off the audio thread, with
// plug-in state and loaded files carried over) and publishes the list
// through one slot (setInserts); the next block runs the old and the new
// list side by side and crossfades from the one to the other over that
// block, as a change of the matrix does, so adding, removing, reordering or
// replacing an insert never leaves a gap. Instances the two lists share at
// their start (the inserts before the first change, kept by the caller) run
// once and feed both. A replaced list is released on the main queue
// kRetireSeconds later, and again later while the render side still holds
// it (the `heard` cell, as the matrix node does).
//
// Last, the outputs pass the safety limiter of every speaker path
// (OutputLimiter): nothing at or above full scale reaches the device, and
// nothing below it is changed; it adds no latency.
//
// Scratch: the matrix renders into one set, the inserts process from one
// set into another, the old list's end goes to a fade set; every set is
// made by prepare() for the stream's outputs at the largest block.
//
// Threads: construction, prepare(), setInserts() and destruction on the
// main thread, prepare() only while no block runs; process() on the
// stream's real-time thread, where it neither allocates, locks nor calls
// the system (the inserts' workers aside, which a plug-in wakes itself).
#pragma once

#include "monitor/MatrixUnit.h"
#include "platform/Lv2Host.h"
#include "platform/MainQueue.h"
#include "playback/RenderScratch.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace qm {

class MonitorChain {
public:
    static constexpr uint32_t maxFrames = MatrixUnit::maxFrames;
    using Inserts = std::vector<std::shared_ptr<Lv2Instances>>;

    MonitorChain(std::shared_ptr<MatrixUnit::State> matrix, MainQueue& main);
    ~MonitorChain();
    MonitorChain(const MonitorChain&) = delete;
    MonitorChain& operator=(const MonitorChain&) = delete;

    // Only while no block runs: the inserts run on `outputs` channels at
    // `sampleRate`; the first block after it plays the current list without
    // a crossfade, and the limiter starts at rest.
    void prepare(int outputs, double sampleRate = 48000.0);
    // Publishes the inserts the blocks run from now on, each made for the
    // prepared outputs and made live(); the next block crossfades to them.
    void setInserts(Inserts inserts);
    // The list last published.
    const Inserts& inserts() const;
    // Its inserts' reported latencies, added up.
    uint32_t latency() const;
    // Lists published and not yet released (the current one included).
    long liveLists() const { return live_->load(); }

    void process(uint32_t frames, const float* const* inputs, uint32_t inputCount, float* const* outputs,
                 uint32_t outputCount) noexcept;
    // process() in the shape of the duplex stream's process function,
    // `user` being the chain.
    static void processCallback(void* user, uint32_t frames, const float* const* inputs, uint32_t inputCount,
                                float* const* outputs, uint32_t outputCount);

private:
    struct List;
    struct Cells;
    float* const* run(const List& list, size_t from, size_t to, float* const* src, float* const* dst,
                      float* const* spareA, float* const* spareB, uint32_t n) noexcept;
    void retire(std::shared_ptr<const List> list);

    std::shared_ptr<MatrixUnit::State> matrix_;
    MainQueue& main_;
    std::shared_ptr<Cells> cells_;
    std::shared_ptr<const List> current_;
    std::shared_ptr<std::atomic<long>> live_;
    int outputs_ = 0;
    // Render side: the list the last block ran.
    const List* prev_ = nullptr;
    ScratchChannels matrixOut_, a_, b_, c_, fade_;
    CrossfadeRamps ramps_;
    OutputLimiter limiter_;
    std::vector<const float*> in_;
    std::vector<float*> out_;
};

}  // namespace qm

// The monitor's process function: the matrix node, then the effect inserts
// in list order, then the output device.
//
// The chain is fixed for a stream's life: prepare() takes the output's
// channel count and the inserts that could be made for it, and sizes two
// scratch sets (one channel set each, at the largest block); the matrix
// renders into the first, each insert processes from one set into the other,
// and the last insert writes the device's buffers. Only bypass flags and
// control values change while it runs (in the units themselves).
//
// Threads: construction and prepare() on the main thread, while no block
// runs; process() on the stream's real-time thread, where it neither
// allocates, locks nor calls the system.
#pragma once

#include "monitor/MatrixUnit.h"
#include "platform/Lv2Host.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace qm {

class MonitorChain {
public:
    static constexpr uint32_t maxFrames = MatrixUnit::maxFrames;

    explicit MonitorChain(std::shared_ptr<MatrixUnit::State> matrix);

    // The inserts run on `outputs` channels; every unit was prepared for
    // that count (units that could not be are left out by the caller).
    void prepare(int outputs, std::vector<std::shared_ptr<Lv2Unit>> inserts);
    const std::vector<std::shared_ptr<Lv2Unit>>& inserts() const { return inserts_; }
    // The inserts' reported latencies, added up.
    uint32_t latency() const;

    void process(uint32_t frames, const float* const* inputs, uint32_t inputCount, float* const* outputs,
                 uint32_t outputCount) noexcept;
    // process() in the shape of the duplex stream's process function,
    // `user` being the chain.
    static void processCallback(void* user, uint32_t frames, const float* const* inputs, uint32_t inputCount,
                                float* const* outputs, uint32_t outputCount);

private:
    struct Scratch {
        std::vector<float> memory;
        std::vector<float*> ptr;
    };

    std::shared_ptr<MatrixUnit::State> matrix_;
    std::vector<std::shared_ptr<Lv2Unit>> inserts_;
    int outputs_ = 0;
    Scratch a_, b_;
    std::vector<const float*> in_;
    std::vector<float*> out_;
};

}  // namespace qm

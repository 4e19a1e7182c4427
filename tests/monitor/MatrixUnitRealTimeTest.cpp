// The node's render function must not allocate, lock or call the system in
// any kind of block. A worker thread, trapped by seccomp, renders; between
// its blocks the test's main thread publishes the next configuration (which
// allocates, as it may) while the worker waits on an atomic flag. Only the
// render calls are counted.
#include "monitor/MatrixUnit.h"

#include "monitor/MonitorConfigs.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "spatial/Upmixer.h"
#include "support/CallCounters.h"
#include "support/SyscallTrap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

using namespace qm;

namespace {

// A stereo bus within 66 source channels upmixed onto 16 device channels.
MixConfig upmixOn(LayoutID target, int64_t offset, double volumeDB) {
    return test::stereoUpmixed(target, 66, 16, offset, volumeDB);
}

MixConfig bus916(int inputs, double volumeDB, std::set<SpeakerID> solo = {}) {
    MonitorState s;
    s.volumeDB = volumeDB;
    s.solo = std::move(solo);
    OutputProfile p;
    p.layout = LayoutID::l916;
    for (int i = 0; i < 16; ++i) p.outputs.push_back(i);
    return MonitorMatrix::build(s, inputs, p, 16);
}

struct Step {
    std::function<void()> publish;  // on the main thread, before the blocks
    uint32_t frames;
    bool nullOutputs;
};

}  // namespace

TEST(MatrixUnitRealTime, NoBlockAllocatesLocksOrCallsTheSystem) {
    if (!test::SyscallTrap::available())
        GTEST_SKIP() << "system calls are trapped on x86-64 only, and not under a sanitizer";
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    // More than 64 source channels: the node takes the first 64.
    unit.prepare(66, 48000);

    std::vector<std::vector<float>> in(66, std::vector<float>(5000));
    for (size_t c = 0; c < in.size(); ++c)
        for (size_t t = 0; t < in[c].size(); ++t) in[c][t] = std::sin(0.01f * static_cast<float>(t * (c + 1)));
    std::vector<const float*> inPtr;
    for (auto& c : in) inPtr.push_back(c.data());
    std::vector<std::vector<float>> out(16, std::vector<float>(5000));
    std::vector<float*> outPtr, holes;
    for (auto& c : out) outPtr.push_back(c.data());
    holes = outPtr;
    for (size_t o = 0; o < holes.size(); o += 3) holes[o] = nullptr;

    const std::vector<Step> steps = {
        {[&] { unit.setConfig(bus916(64, 0)); }, 256, false},                          // first, plain
        {[&] { unit.setConfig(bus916(64, -6, {SpeakerID::C})); }, 256, false},         // change
        {[&] { unit.setConfig(bus916(64, -3)); }, 4096, false},                        // change, largest block
        {[&] { unit.setConfig(bus916(66, -3)); }, 256, false},                         // unusable: silent
        {[&] { unit.setConfig(bus916(64, -1)); }, 512, false},                         // fade-in after silence
        {[&] { unit.setConfig(bus916(64, -1)); }, 5000, true},                         // oversized, null outputs
        {[&] { unit.setConfig(upmixOn(LayoutID::l714, 10, 0)); }, 256, false},         // plain to a new upmixer
        {[&] { unit.setConfig(upmixOn(LayoutID::l714, 10, -6)); }, 256, true},         // one shared context
        {[&] { unit.setConfig(upmixOn(LayoutID::l916, 62, 0)); }, 1024, false},        // two contexts
        {[&] { unit.setConfig(upmixOn(LayoutID::l916, 63, 0)); }, 256, false},         // past the input: silent
        {[&] { unit.setConfig(upmixOn(LayoutID::l916, 0, 0)); }, 1, false},            // fade-in, one frame
        {[&] { unit.setConfig(bus916(64, 0)); }, 64, false},                           // upmix to plain
    };

    test::SyscallTrap trap;
    std::atomic<int> published{-1};  // the step whose configuration is in place
    std::atomic<int> rendered{-1};    // the step whose blocks are done
    std::atomic<bool> trapped{false}, failed{false};
    long allocations = 0, locks = 0, calls = 0;
    std::thread worker([&] {
        // The thread's allocator arena is made now, so that an allocation in
        // a block would be served (and counted) rather than fail in the trap.
        void* volatile warm = std::malloc(64);
        std::free(warm);
        if (!trap.trapThisThread()) {
            failed = true;
            return;
        }
        trapped = true;
        for (int i = 0; i < static_cast<int>(steps.size()); ++i) {
            while (published.load() < i) {
            }
            const Step& s = steps[static_cast<size_t>(i)];
            float* const* outs = s.nullOutputs ? holes.data() : outPtr.data();
            {
                test::AllocationCounter allocationCounter;
                test::LockCounter lockCounter;
                trap.startCounting();
                // As the node itself, and as the duplex stream's process function.
                unit.render(s.frames, inPtr.data(), 66, outs, 16);
                for (int b = 0; b < 2; ++b)
                    MatrixUnit::State::renderCallback(unit.state().get(), s.frames, inPtr.data(), 66, outs, 16);
                trap.stopCounting();
                allocations += allocationCounter.count();
                locks += lockCounter.count();
                calls += trap.calls();
            }
            rendered = i;
        }
    });
    for (int i = 0; i < static_cast<int>(steps.size()) && !failed; ++i) {
        while (rendered.load() < i - 1 && !failed) {
        }
        steps[static_cast<size_t>(i)].publish();
        published = i;
    }
    worker.join();
    ASSERT_TRUE(trapped) << "seccomp filter could not be installed";
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(locks, 0);
    EXPECT_EQ(calls, 0);
    // The blocks did what they were for: the last one played.
    double energy = 0;
    for (auto& c : out)
        for (size_t t = 0; t < 64; ++t) energy += double(c[t]) * c[t];
    EXPECT_GT(energy, 0.0);
}

// The monitor's chain with LV2 inserts: its blocks neither allocate, lock
// nor call the system (two inserts, a bypass flipped between blocks, a
// block a plug-in turns non-finite), and controls and bypass changed by
// another thread while it runs.
#include "monitor/MonitorChain.h"

#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "support/CallCounters.h"
#include "support/Lv2Plugins.h"
#include "support/SyscallTrap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace qm;

namespace {

struct Rig {
    ManualMainQueue queue;
    std::unique_ptr<MatrixUnit> owned = std::make_unique<MatrixUnit>(queue);
    MatrixUnit& matrix = *owned;
    std::unique_ptr<MonitorChain> ownedChain = std::make_unique<MonitorChain>(matrix.state());
    MonitorChain& chain = *ownedChain;
    std::shared_ptr<Lv2Unit> gain, faulty;
    std::vector<std::vector<float>> in{2, std::vector<float>(5000)}, out{2, std::vector<float>(5000)};
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;

    Rig() {
        test::useTestPlugins();
        matrix.prepare(2, 48000);
        MonitorState s;
        s.source = MonitorSource::stereo;
        OutputProfile p;
        p.layout = LayoutID::stereo;
        p.outputs = {0, 1};
        matrix.setConfig(MonitorMatrix::build(s, 2, p, 2));
        gain = std::make_shared<Lv2Unit>(*Lv2Host::find("urn:quillmarsh:test:gain"), 2, 48000);
        faulty = std::make_shared<Lv2Unit>(*Lv2Host::find("urn:quillmarsh:test:nan"), 2, 48000);
        gain->setControl(0, 0.5f);
        chain.prepare(2, {gain, faulty});
        for (size_t c = 0; c < 2; ++c)
            for (size_t t = 0; t < 5000; ++t) in[c][t] = 0.5f * std::sin(0.01f * float(t * (c + 1)));
        for (auto& c : in) inPtr.push_back(c.data());
        for (auto& c : out) outPtr.push_back(c.data());
    }
    ~Rig() {
        // The node hands its records to the queue as it goes: run them before the queue goes.
        ownedChain.reset();
        owned.reset();
        queue.advance(100);
    }
    void block(uint32_t frames) {
        MonitorChain::processCallback(&chain, frames, inPtr.data(), 2, outPtr.data(), 2);
    }
};

}  // namespace

TEST(MonitorChainRealTime, NoBlockAllocatesLocksOrCallsTheSystem) {
    if (!test::SyscallTrap::available()) GTEST_SKIP() << "system calls are trapped on x86-64 only, without sanitizers";
    Rig rig;
    rig.block(256);  // the matrix's first block fades in
    test::SyscallTrap trap;
    std::atomic<bool> trapped{false};
    long allocations = -1, locks = -1, calls = -1;
    bool finite = true;
    std::thread worker([&] {
        void* volatile warm = std::malloc(64);
        std::free(warm);
        if (!trap.trapThisThread()) return;
        trapped = true;
        test::AllocationCounter allocationCounter;
        test::LockCounter lockCounter;
        trap.startCounting();
        const uint32_t sizes[] = {256, 4096, 5000, 1, 64};
        for (int b = 0; b < 30; ++b) {
            rig.block(sizes[b % 5]);
            if (b % 4 == 1) rig.gain->setBypassed(!rig.gain->bypassed());
            for (auto& c : rig.out)
                for (uint32_t t = 0; t < sizes[b % 5]; ++t) finite = finite && std::isfinite(c[t]);
        }
        trap.stopCounting();
        allocations = allocationCounter.count();
        locks = lockCounter.count();
        calls = trap.calls();
    });
    worker.join();
    ASSERT_TRUE(trapped) << "seccomp filter could not be installed";
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(locks, 0);
    EXPECT_EQ(calls, 0);
    // The faulty plug-in did fail in there, and nothing of it got out.
    EXPECT_TRUE(rig.faulty->failed());
    EXPECT_TRUE(finite);
}

TEST(MonitorChain, TheMatrixThenEachInsertInOrder) {
    Rig rig;
    rig.faulty->setBypassed(true);
    for (int b = 0; b < 4; ++b) rig.block(5000);  // past the matrix's fade-in; chunks of 4096 and 904
    for (size_t c = 0; c < 2; ++c)
        for (size_t t = 0; t < 5000; ++t) ASSERT_EQ(rig.out[c][t], rig.in[c][t] * 0.5f) << c << " " << t;
    EXPECT_EQ(rig.chain.latency(), 0u);
}

// Controls and bypass set by the main thread while blocks run elsewhere
// (a ThreadSanitizer case).
TEST(MonitorChain, ControlsAndBypassChangeWhileItRuns) {
    Rig rig;
    rig.faulty->setBypassed(true);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        while (!done.load()) rig.block(256);
    });
    for (int i = 0; i < 2000; ++i) {
        rig.gain->setControl(0, float(i % 8) * 0.5f);
        rig.gain->setBypassed(i % 3 == 0);
        (void)rig.faulty->failed();
        (void)rig.gain->latency();
    }
    done = true;
    worker.join();
    rig.gain->setBypassed(false);
    rig.gain->setControl(0, 2.0f);
    rig.block(256);
    for (uint32_t t = 0; t < 256; ++t) EXPECT_EQ(rig.out[0][t], rig.in[0][t] * 2.0f);
}

// The monitor's chain with LV2 inserts: its blocks neither allocate, lock
// nor call the system (two inserts, a new list crossfaded in, a bypass
// flipped between blocks, a block a plug-in turns non-finite); controls,
// bypass and new lists changed by another thread while it runs; and a new
// list (added, removed, reordered, replaced) crossfaded within one block,
// never a silent one, with the start both lists share run once.
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
#include <cstring>
#include <thread>
#include <vector>

using namespace qm;

namespace {

struct Rig {
    ManualMainQueue queue;
    std::unique_ptr<MatrixUnit> owned = std::make_unique<MatrixUnit>(queue);
    MatrixUnit& matrix = *owned;
    std::unique_ptr<MonitorChain> ownedChain = std::make_unique<MonitorChain>(matrix.state(), queue);
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
        chain.prepare(2);
        chain.setInserts({live(gain), live(faulty)});
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
    static std::shared_ptr<Lv2Instances> live(const std::shared_ptr<Lv2Unit>& unit) {
        unit->latest()->live();
        return unit->latest();
    }
    // New instances of a unit, as a rebuilt list has them.
    static std::shared_ptr<Lv2Instances> fresh(const std::shared_ptr<Lv2Unit>& unit) {
        auto made = unit->instantiate(2, 48000, 256);
        made->live();
        return made;
    }
    std::shared_ptr<Lv2Unit> newGain(float value) {
        auto unit = std::make_shared<Lv2Unit>(*Lv2Host::find("urn:quillmarsh:test:gain"), 2, 48000);
        unit->setControl(0, value);
        return unit;
    }
};

// The gain test plug-in's count of the blocks it ran (its saved state).
int64_t runs(const Lv2Unit& unit) {
    for (const auto& p : unit.state().properties)
        if (p.key == "urn:quillmarsh:test:runs" && p.value.size() == sizeof(int64_t)) {
            int64_t v;
            std::memcpy(&v, p.value.data(), sizeof v);
            return v;
        }
    return -1;
}

}  // namespace

TEST(MonitorChainRealTime, NoBlockAllocatesLocksOrCallsTheSystem) {
    if (!test::SyscallTrap::available()) GTEST_SKIP() << "system calls are trapped on x86-64 only, without sanitizers";
    Rig rig;
    rig.block(256);  // the matrix's first block fades in
    // The first block in there crossfades to a new list, sharing the gain.
    rig.chain.setInserts({rig.chain.inserts()[0], Rig::fresh(rig.newGain(2.0f)), rig.chain.inserts()[1]});
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
        rig.gain->setControl(0, float(i % 8) * 0.25f);  // below full scale: the limiter stays at rest
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

// A new list while blocks run elsewhere (a ThreadSanitizer case): the main
// thread makes instances and publishes lists; the replaced ones go once the
// render side has let go.
TEST(MonitorChain, ListsChangeWhileItRuns) {
    Rig rig;
    rig.faulty->setBypassed(true);
    std::atomic<bool> done{false};
    std::atomic<long> blocks{0};
    std::thread worker([&] {
        while (!done.load()) {
            rig.block(256);
            ++blocks;
        }
    });
    const auto second = rig.newGain(2.0f);
    for (int i = 0; i < 20; ++i) {
        if (i % 2) rig.chain.setInserts({Rig::fresh(rig.gain), Rig::fresh(second)});
        else rig.chain.setInserts({Rig::fresh(second)});
        const long seen = blocks.load();
        while (blocks.load() < seen + 2) std::this_thread::yield();
        rig.queue.advance(kRetireSeconds);
        (void)rig.chain.latency();
    }
    done = true;
    worker.join();
    rig.queue.advance(2 * kRetireSeconds);
    EXPECT_EQ(rig.chain.liveLists(), 1);
}

namespace {

// Blocks of 256 frames until `count` ran; whether any frame of a block the
// source fills came out silent on every channel.
bool silentBlockIn(Rig& rig, int count) {
    bool silent = false;
    for (int b = 0; b < count; ++b) {
        rig.block(256);
        for (uint32_t t = 0; t < 256; ++t) {
            const bool sourceSounds = rig.in[0][t] != 0.0f;
            silent = silent || (sourceSounds && rig.out[0][t] == 0.0f && rig.out[1][t] == 0.0f);
        }
    }
    return silent;
}

// The crossfade block from `before` (gain of the old list) to `after`.
void expectCrossfade(Rig& rig, double before, double after) {
    rig.block(256);
    CrossfadeRamps ramps;
    ramps.fill(256);
    for (size_t c = 0; c < 2; ++c)
        for (uint32_t t = 0; t < 256; ++t) {
            const double in = rig.in[c][t];
            ASSERT_NEAR(rig.out[c][t], in * before * ramps.down[t] + in * after * ramps.up[t], 1e-6) << c << " " << t;
        }
}

}  // namespace

TEST(MonitorChain, ANewListIsCrossfadedInOneBlockAndTheSharedStartRunsOnce) {
    Rig rig;
    rig.chain.setInserts({rig.chain.inserts()[0]});  // the gain alone, at 0.5
    for (int b = 0; b < 3; ++b) rig.block(256);       // past the matrix's fade-in
    const int64_t before = runs(*rig.gain);

    // Added: the gain's instances are shared, a new gain of 3 follows.
    const auto three = rig.newGain(3.0f);
    rig.chain.setInserts({rig.chain.inserts()[0], Rig::fresh(three)});
    expectCrossfade(rig, 0.5, 1.5);
    EXPECT_EQ(runs(*rig.gain), before + 1);  // the gain ran once in the crossfade
    rig.block(256);
    for (uint32_t t = 0; t < 256; ++t) ASSERT_NEAR(rig.out[0][t], rig.in[0][t] * 1.5, 1e-6);

    // Reordered (new instances for both), then one replaced, then removed.
    rig.chain.setInserts({Rig::fresh(three), Rig::fresh(rig.gain)});
    expectCrossfade(rig, 1.5, 1.5);
    const auto quarter = rig.newGain(0.25f);
    rig.chain.setInserts({rig.chain.inserts()[0], Rig::fresh(quarter)});
    expectCrossfade(rig, 1.5, 0.75);
    rig.chain.setInserts({});
    expectCrossfade(rig, 0.75, 1.0);
    EXPECT_FALSE(silentBlockIn(rig, 4));
    EXPECT_EQ(rig.chain.latency(), 0u);

    // The replaced lists go once the render side let go of them.
    EXPECT_GT(rig.chain.liveLists(), 1);
    rig.queue.advance(kRetireSeconds);
    EXPECT_EQ(rig.chain.liveLists(), 1);
}

TEST(MonitorChain, AListOfAnotherLatencyReportsIt) {
    Rig rig;
    auto delay = std::make_shared<Lv2Unit>(*Lv2Host::find("urn:quillmarsh:test:delay"), 2, 48000);
    rig.chain.setInserts({Rig::live(delay)});
    EXPECT_EQ(rig.chain.latency(), 100u);
    rig.chain.setInserts({Rig::live(delay), Rig::fresh(delay)});
    EXPECT_EQ(rig.chain.latency(), 200u);
}

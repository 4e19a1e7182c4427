// The render callback must not allocate, lock or call the system. This test
// runs it through every kind of callback (steady, record and ring changes,
// a shared upmix kernel, binaural on and off, gain ramps, an oversized
// callback) on a thread that counts:
// - allocations, through the counting allocator of the test support;
// - locks, through the counting lock wrappers of the test support;
// - system calls, through a seccomp filter on that thread alone that traps
//   every call (the trap handler counts and fails it).
#include "playback/RenderContext.h"

#include "platform/BinauralRenderer.h"
#include "rt/mn_upmix.h"
#include "support/CallCounters.h"
#include "support/PlaybackConfigs.h"
#include "support/SyscallTrap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace qm;

[[maybe_unused]] mn_ring* filledRing(int channels, int frames) {
    mn_ring* r = mn_ring_create(channels, frames);
    std::vector<std::vector<float>> data(channels, std::vector<float>(frames, 0.25f));
    std::vector<const float*> ptr;
    for (auto& d : data) ptr.push_back(d.data());
    std::vector<double> stamps(frames, 1.0);
    mn_ring_write(r, ptr.data(), stamps.data(), frames);
    return r;
}

}  // namespace

TEST(RenderRealTime, TheCallbackNeitherAllocatesNorLocksNorCallsTheSystem) {
    if (!test::SyscallTrap::available())
        GTEST_SKIP() << "system calls are trapped on x86-64 only, and not under a sanitizer";
    RenderContext ctx;
    BinauralRenderer bin(48000.0);
    bin.setDirection(0, 30.0, 0.0);
    bin.setDirection(1, -30.0, 0.0);
    ctx.setBinauralRenderer(&bin);
    test::PassthroughUpmix u(1024);
    mn_ring* a = filledRing(2, 1 << 17);
    mn_ring* b = filledRing(2, 1 << 17);
    std::vector<float> id{1, 0, 0, 1};
    auto make = [&](bool binaural, void* upmix) {
        mn_mix_config c{};
        c.in_channels = 2;
        c.rows = 2;
        c.matrix = id.data();
        c.to_binaural = binaural;
        c.bin_left = 0;
        c.bin_right = 1;
        c.upmix = upmix;
        return c;
    };
    mn_mix_config speakers = make(false, nullptr), headphones = make(true, nullptr),
                  upA = make(false, u.raw), upB = make(false, u.raw);
    std::vector<std::vector<float>> dev(8, std::vector<float>(5000));
    std::vector<float*> ptr;
    for (auto& d : dev) ptr.push_back(d.data());

    test::SyscallTrap trap;
    std::atomic<bool> trapped{false};
    long allocations = -1, locks = -1;
    std::thread worker([&] {
        if (!trap.trapThisThread()) return;
        trapped = true;
        test::AllocationCounter counter;
        test::LockCounter lockCounter;
        trap.startCounting();
        const uint32_t sizes[] = {256, 512, 4096, 5000, 64, 1};
        mn_slot_store(ctx.ringSlot, a);
        mn_slot_store(ctx.cfgSlot, &speakers);
        for (int round = 0; round < 6; ++round) {
            uint32_t n = sizes[round];
            ctx.render(n, ptr.data(), 8);                       // change or steady
            ctx.render(n, ptr.data(), 8);                       // steady
            mn_slot_store(ctx.cfgSlot, &headphones);            // speakers -> binaural
            ctx.render(n, ptr.data(), 8);
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.ringSlot, round % 2 ? a : b);     // new ring
            mn_f64_store(ctx.gain, round % 2 ? 1.0 : 0.5);      // gain ramp
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.cfgSlot, &upA);                   // binaural -> upmix
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.cfgSlot, &upB);                   // same kernel, new record
            mn_slot_store(ctx.ringSlot, round % 2 ? b : a);
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.cfgSlot, &speakers);
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.ringSlot, nullptr);
            ctx.render(n, ptr.data(), 8);
            mn_slot_store(ctx.ringSlot, a);
        }
        trap.stopCounting();
        allocations = counter.count();
        locks = lockCounter.count();
    });
    worker.join();
    mn_ring_destroy(a);
    mn_ring_destroy(b);
    ASSERT_TRUE(trapped) << "seccomp filter could not be installed";
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(locks, 0);
    EXPECT_EQ(trap.calls(), 0);
}

TEST(RenderRealTime, TheCountersSeeWhatTheyCount) {
    if (!test::SyscallTrap::available()) GTEST_SKIP();
    test::SyscallTrap trap;
    long allocations = 0, locks = 0;
    std::thread worker([&] {
        if (!trap.trapThisThread()) return;
        test::AllocationCounter counter;
        test::LockCounter lockCounter;
        pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
        trap.startCounting();
        getppid();
        trap.stopCounting();
        // The thread's first allocation makes its arena with system calls,
        // which the filter refuses; malloc copes, and it is counted.
        void* volatile p = std::malloc(16);  // volatile: the pair must not be optimised away
        std::free(p);
        allocations = counter.count();
        locks = lockCounter.count();
    });
    worker.join();
    EXPECT_EQ(locks, test::LockCounter::available() ? 1 : 0);
    EXPECT_EQ(trap.calls(), 1);
    EXPECT_GE(allocations, 1);
}

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "rt/mn_cells.h"
#include "rt/mn_limit.h"
#include "rt/mn_mix.h"
#include "rt/mn_ring.h"
#include "support/CallCounters.h"

TEST(RealTime, FunctionsAllocateNothing) {
    mn_ring* ring;
    mn_slot* slot;
    mn_f64* gain;
    mn_i64* flag;
    mn_limit* limit;
    {
        // The counter sees the create functions, so it would see the others.
        qm::test::AllocationCounter counter;
        ring = mn_ring_create(2, 100);
        slot = mn_slot_create();
        gain = mn_f64_create(1.0);
        flag = mn_i64_create(0);
        limit = mn_limit_create(2, 0.5f, 3, 8, 100.0);
        EXPECT_GE(counter.count(), 5);
    }
    std::vector<float> a(64, 0.5f), b(64, -0.5f), o0(64), o1(64);
    const float* src[] = {a.data(), b.data()};
    float* dst[] = {o0.data(), o1.data()};
    std::vector<double> stamps(64, 3.0);
    const std::vector<float> matrix = {1, 0.5f, 0.25f, 1};
    mn_mix_config cfg{};
    cfg.in_channels = 2;
    cfg.rows = 2;
    cfg.matrix = matrix.data();
    double last = 0;
    long allocations = -1;

    // On a thread of its own, as the render thread, so that the floating-point
    // mode it sets stays there.
    std::thread rt([&] {
        qm::test::AllocationCounter counter;
        for (int pass = 0; pass < 5; ++pass) {
            mn_ring_write(ring, src, stamps.data(), 64);
            mn_ring_write_space(ring);
            mn_ring_available(ring);
            mn_ring_read(ring, dst, 64, &last);
            mn_slot_store(slot, ring);
            mn_slot_load(slot);
            mn_f64_store(gain, mn_f64_load(gain));
            mn_i64_store(flag, mn_i64_load(flag) + 1);
            mn_mix_accumulate(&cfg, src, 64, dst, 2, nullptr);
            mn_mix_accumulate(&cfg, src, 64, dst, 2, a.data());
            // Above its threshold, and back at rest.
            mn_limit_process(limit, dst, 2, 64);
            mn_limit_active(limit);
            mn_limit_reset(limit);
            mn_fpu_flush_denormals();
        }
        mn_ring_set_eof(ring);
        mn_ring_eof(ring);
        mn_ring_channels(ring);
        allocations = counter.count();
    });
    rt.join();
    EXPECT_EQ(allocations, 0);
    mn_ring_destroy(ring);
    mn_slot_destroy(slot);
    mn_f64_destroy(gain);
    mn_i64_destroy(flag);
    mn_limit_destroy(limit);
}

// A counter counts the calls of its own thread only: what another thread
// allocates meanwhile is not the thread under test's doing.
TEST(RealTime, AnAllocationCounterCountsOnlyItsOwnThread) {
    std::atomic<int> step{0};
    std::thread other([&] {
        while (step.load() != 1) std::this_thread::yield();
        for (int i = 0; i < 100; ++i) {
            void* volatile p = std::malloc(32);  // volatile: the pair must stay
            std::free(p);
        }
        step.store(2);
    });
    long before = -1, after = -1;
    {
        qm::test::AllocationCounter counter;
        step.store(1);
        while (step.load() != 2) std::this_thread::yield();
        before = counter.count();
        void* volatile p = std::malloc(32);
        std::free(p);
        after = counter.count();
    }
    other.join();
    EXPECT_EQ(before, 0);
    EXPECT_EQ(after, 1);
}

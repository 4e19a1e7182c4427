// Counts every call to the global allocator while a flag is set, and checks
// that the real-time functions make none.
// The replaced operators pair malloc with free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "rt/mn_cells.h"
#include "rt/mn_mix.h"
#include "rt/mn_ring.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size, std::size_t align = 0) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (size == 0) size = 1;
    if (align > alignof(std::max_align_t))
        return std::aligned_alloc(align, (size + align - 1) / align * align);
    return std::malloc(size);
}
}  // namespace

void* operator new(std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = allocate(n, std::size_t(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

TEST(RealTime, FunctionsAllocateNothing) {
    // The counter sees the create functions, so it would see the others.
    counting = true;
    mn_ring* ring = mn_ring_create(2, 100);
    mn_slot* slot = mn_slot_create();
    mn_f64* gain = mn_f64_create(1.0);
    mn_i64* flag = mn_i64_create(0);
    counting = false;
    EXPECT_GE(allocations.load(), 4);
    allocations = 0;

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

    // On a thread of its own, as the render thread, so that the floating-point
    // mode it sets stays there.
    std::thread rt([&] {
        counting = true;
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
            mn_fpu_flush_denormals();
        }
        mn_ring_set_eof(ring);
        mn_ring_eof(ring);
        mn_ring_channels(ring);
        counting = false;
    });
    rt.join();
    EXPECT_EQ(allocations.load(), 0);
    mn_ring_destroy(ring);
}

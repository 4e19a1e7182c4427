// The ring's counters are totals: the slot of frame n is n mod capacity.
// Each side reads its own counter with a plain (relaxed) load and the other
// side's with an acquire load; each publishes its counter with a
// sequentially consistent store after its copies. The two counters sit on
// separate cache lines so that the sides do not invalidate each other's.
#include "rt/mn_ring.h"

#include <atomic>
#include <cstring>
#include <new>

struct mn_ring {
    int32_t channels = 0;
    int32_t capacity = 0;
    float** buffers = nullptr;
    double* stamps = nullptr;
    alignas(64) std::atomic<uint64_t> write{0};
    alignas(64) std::atomic<uint64_t> read{0};
    alignas(64) std::atomic<int32_t> eof{0};
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);

namespace {

void freeParts(mn_ring* ring) {
    if (ring->buffers) {
        for (int32_t c = 0; c < ring->channels; ++c) delete[] ring->buffers[c];
        delete[] ring->buffers;
    }
    delete[] ring->stamps;
    delete ring;
}

// Copies n values into a circular array at idx, wrapping once at capacity.
template <typename T>
void copyIn(T* dst, int32_t capacity, int32_t idx, const T* src, int32_t n) {
    const int32_t first = capacity - idx < n ? capacity - idx : n;
    std::memcpy(dst + idx, src, sizeof(T) * static_cast<size_t>(first));
    if (n > first) std::memcpy(dst, src + first, sizeof(T) * static_cast<size_t>(n - first));
}

template <typename T>
void copyOut(T* dst, const T* src, int32_t capacity, int32_t idx, int32_t n) {
    const int32_t first = capacity - idx < n ? capacity - idx : n;
    std::memcpy(dst, src + idx, sizeof(T) * static_cast<size_t>(first));
    if (n > first) std::memcpy(dst + first, src, sizeof(T) * static_cast<size_t>(n - first));
}

}  // namespace

extern "C" {

mn_ring* mn_ring_create(int32_t channels, int32_t capacity) {
    if (channels < 1 || capacity < 1) return nullptr;
    auto* ring = new (std::nothrow) mn_ring;
    if (!ring) return nullptr;
    ring->buffers = new (std::nothrow) float*[static_cast<size_t>(channels)]();
    if (!ring->buffers) {
        freeParts(ring);
        return nullptr;
    }
    ring->channels = channels;
    ring->capacity = capacity;
    // The frames are left unset: only written ones are ever read, and a
    // buffer of seconds of audio zeroed here would have every one of its
    // pages touched before the first play could start (the writer touches
    // them as it goes, ahead of the reader).
    for (int32_t c = 0; c < channels; ++c) {
        ring->buffers[c] = new (std::nothrow) float[static_cast<size_t>(capacity)];
        if (!ring->buffers[c]) {
            freeParts(ring);
            return nullptr;
        }
    }
    ring->stamps = new (std::nothrow) double[static_cast<size_t>(capacity)];
    if (!ring->stamps) {
        freeParts(ring);
        return nullptr;
    }
    return ring;
}

void mn_ring_destroy(mn_ring* ring) {
    if (ring) freeParts(ring);
}

int32_t mn_ring_channels(const mn_ring* ring) { return ring->channels; }

int32_t mn_ring_write_space(const mn_ring* ring) {
    const uint64_t w = ring->write.load(std::memory_order_relaxed);
    const uint64_t r = ring->read.load(std::memory_order_acquire);
    return ring->capacity - static_cast<int32_t>(w - r);
}

int32_t mn_ring_available(const mn_ring* ring) {
    const uint64_t w = ring->write.load(std::memory_order_acquire);
    const uint64_t r = ring->read.load(std::memory_order_relaxed);
    return static_cast<int32_t>(w - r);
}

int32_t mn_ring_write(mn_ring* ring, const float* const* src, const double* stamps,
                      int32_t frames) {
    const uint64_t w = ring->write.load(std::memory_order_relaxed);
    const uint64_t r = ring->read.load(std::memory_order_acquire);
    const int32_t space = ring->capacity - static_cast<int32_t>(w - r);
    const int32_t n = frames < space ? frames : space;
    if (n < 1) return 0;
    const auto idx = static_cast<int32_t>(w % static_cast<uint64_t>(ring->capacity));
    for (int32_t c = 0; c < ring->channels; ++c)
        copyIn(ring->buffers[c], ring->capacity, idx, src[c], n);
    copyIn(ring->stamps, ring->capacity, idx, stamps, n);
    ring->write.store(w + static_cast<uint64_t>(n), std::memory_order_seq_cst);
    return n;
}

int32_t mn_ring_read(mn_ring* ring, float* const* dst, int32_t frames, double* last_stamp) {
    const uint64_t w = ring->write.load(std::memory_order_acquire);
    const uint64_t r = ring->read.load(std::memory_order_relaxed);
    const auto unread = static_cast<int32_t>(w - r);
    const int32_t n = frames < unread ? frames : unread;
    if (n < 1) return 0;
    const auto idx = static_cast<int32_t>(r % static_cast<uint64_t>(ring->capacity));
    for (int32_t c = 0; c < ring->channels; ++c)
        copyOut(dst[c], ring->buffers[c], ring->capacity, idx, n);
    if (last_stamp) {
        const int64_t slot = (static_cast<int64_t>(idx) + n - 1) % ring->capacity;
        *last_stamp = ring->stamps[slot];
    }
    ring->read.store(r + static_cast<uint64_t>(n), std::memory_order_seq_cst);
    return n;
}

void mn_ring_set_eof(mn_ring* ring) { ring->eof.store(1, std::memory_order_seq_cst); }

int32_t mn_ring_eof(const mn_ring* ring) { return ring->eof.load(std::memory_order_acquire); }

}  // extern "C"

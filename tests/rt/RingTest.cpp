#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "rt/mn_ring.h"

namespace {

// A planar block whose channel c holds base + k + 1000 c at frame k, with
// stamps base + k.
struct Block {
    std::vector<std::vector<float>> data;
    std::vector<const float*> ptrs;
    std::vector<double> stamps;

    Block(int channels, int frames, int base) : data(channels), stamps(frames) {
        for (int c = 0; c < channels; ++c) {
            data[c].resize(frames);
            for (int k = 0; k < frames; ++k) data[c][k] = float(base + k + 1000 * c);
            ptrs.push_back(data[c].data());
        }
        for (int k = 0; k < frames; ++k) stamps[k] = base + k;
    }
};

struct Out {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    Out(int channels, int frames) : data(channels, std::vector<float>(frames, -1.0f)) {
        for (auto& d : data) ptrs.push_back(d.data());
    }
};

struct RingPtr {
    mn_ring* r;
    explicit RingPtr(mn_ring* ring) : r(ring) {}
    ~RingPtr() { mn_ring_destroy(r); }
};

}  // namespace

TEST(Ring, CreateRejectsEmptyShapesAndStartsEmpty) {
    EXPECT_EQ(mn_ring_create(0, 10), nullptr);
    EXPECT_EQ(mn_ring_create(2, 0), nullptr);
    EXPECT_EQ(mn_ring_create(-1, 10), nullptr);
    mn_ring_destroy(nullptr);

    RingPtr ring(mn_ring_create(3, 10));
    ASSERT_NE(ring.r, nullptr);
    EXPECT_EQ(mn_ring_channels(ring.r), 3);
    EXPECT_EQ(mn_ring_available(ring.r), 0);
    EXPECT_EQ(mn_ring_write_space(ring.r), 10);
    EXPECT_EQ(mn_ring_eof(ring.r), 0);
}

TEST(Ring, WrapsAroundWithStampsAndPartialWrites) {
    RingPtr ring(mn_ring_create(2, 10));
    Block first(2, 8, 0);
    ASSERT_EQ(mn_ring_write(ring.r, first.ptrs.data(), first.stamps.data(), 8), 8);
    Out skip(2, 3);
    double stamp = -7;
    ASSERT_EQ(mn_ring_read(ring.r, skip.ptrs.data(), 3, &stamp), 3);
    EXPECT_EQ(stamp, 2.0);
    // write = 8, read = 3: five frames free.
    EXPECT_EQ(mn_ring_write_space(ring.r), 5);
    EXPECT_EQ(mn_ring_available(ring.r), 5);

    // Seven asked, five written: two at slots 8-9, three at slots 0-2.
    Block second(2, 7, 100);
    EXPECT_EQ(mn_ring_write(ring.r, second.ptrs.data(), second.stamps.data(), 7), 5);
    EXPECT_EQ(mn_ring_write(ring.r, second.ptrs.data(), second.stamps.data(), 7), 0);
    EXPECT_EQ(mn_ring_write_space(ring.r), 0);
    EXPECT_EQ(mn_ring_available(ring.r), 10);

    // Four frames from slots 3-6, reporting the stamp of slot 6.
    Out four(2, 4);
    ASSERT_EQ(mn_ring_read(ring.r, four.ptrs.data(), 4, &stamp), 4);
    EXPECT_EQ(stamp, 6.0);
    EXPECT_EQ(four.data[0], (std::vector<float>{3, 4, 5, 6}));
    EXPECT_EQ(four.data[1], (std::vector<float>{1003, 1004, 1005, 1006}));

    // The rest crosses the end of the buffers: 7, then 100..104.
    // Nothing beyond the frames read is touched.
    Out rest(2, 7);
    ASSERT_EQ(mn_ring_read(ring.r, rest.ptrs.data(), 7, &stamp), 6);
    EXPECT_EQ(rest.data[0], (std::vector<float>{7, 100, 101, 102, 103, 104, -1}));
    EXPECT_EQ(rest.data[1], (std::vector<float>{1007, 1100, 1101, 1102, 1103, 1104, -1}));
    EXPECT_EQ(stamp, 104.0);

    // An empty ring reads nothing and leaves the caller's stamp alone.
    stamp = 42.5;
    EXPECT_EQ(mn_ring_read(ring.r, rest.ptrs.data(), 5, &stamp), 0);
    EXPECT_EQ(stamp, 42.5);
    EXPECT_EQ(mn_ring_read(ring.r, rest.ptrs.data(), 5, nullptr), 0);
    EXPECT_EQ(mn_ring_write_space(ring.r), 10);
}

TEST(Ring, NonPositiveCountsTouchNothing) {
    RingPtr ring(mn_ring_create(1, 4));
    Block b(1, 4, 0);
    EXPECT_EQ(mn_ring_write(ring.r, b.ptrs.data(), b.stamps.data(), 0), 0);
    EXPECT_EQ(mn_ring_write(ring.r, b.ptrs.data(), b.stamps.data(), -3), 0);
    EXPECT_EQ(mn_ring_available(ring.r), 0);
    ASSERT_EQ(mn_ring_write(ring.r, b.ptrs.data(), b.stamps.data(), 4), 4);
    Out o(1, 4);
    double stamp = -1;
    EXPECT_EQ(mn_ring_read(ring.r, o.ptrs.data(), -2, &stamp), 0);
    EXPECT_EQ(stamp, -1);
    EXPECT_EQ(mn_ring_available(ring.r), 4);
}

TEST(Ring, EndOfStreamStaysSetAfterDraining) {
    RingPtr ring(mn_ring_create(1, 8));
    Block b(1, 3, 0);
    mn_ring_write(ring.r, b.ptrs.data(), b.stamps.data(), 3);
    EXPECT_EQ(mn_ring_eof(ring.r), 0);
    mn_ring_set_eof(ring.r);
    EXPECT_EQ(mn_ring_eof(ring.r), 1);
    Out o(1, 8);
    EXPECT_EQ(mn_ring_read(ring.r, o.ptrs.data(), 8, nullptr), 3);
    EXPECT_EQ(mn_ring_eof(ring.r), 1);
    EXPECT_EQ(mn_ring_available(ring.r), 0);
}

// One writer and one reader thread move a long counting sequence through a
// small ring whose capacity is no power of two, in blocks of random sizes.
// Every frame must arrive once, in order, with its stamp and on every
// channel.
TEST(Ring, ConcurrentWriterAndReaderLoseNothing) {
    constexpr int kChannels = 3, kCapacity = 37, kTotal = 400000;
    RingPtr ring(mn_ring_create(kChannels, kCapacity));
    ASSERT_NE(ring.r, nullptr);
    const Block source(kChannels, kTotal, 0);

    std::thread writer([&] {
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> size(1, 50);
        std::vector<const float*> at(kChannels);
        for (int next = 0; next < kTotal;) {
            for (int c = 0; c < kChannels; ++c) at[c] = source.ptrs[c] + next;
            const int w = mn_ring_write(ring.r, at.data(), source.stamps.data() + next,
                                        std::min(size(rng), kTotal - next));
            if (w == 0) std::this_thread::yield();
            next += w;
        }
        mn_ring_set_eof(ring.r);
    });

    std::mt19937 rng(2);
    std::uniform_int_distribution<int> size(1, 60);
    Out out(kChannels, 60);
    int64_t expected = 0, errors = 0;
    for (;;) {
        const bool ended = mn_ring_eof(ring.r) != 0;
        double stamp = -1;
        const int n = mn_ring_read(ring.r, out.ptrs.data(), size(rng), &stamp);
        if (n == 0) {
            if (ended) break;  // end seen before an empty read: all frames are in
            std::this_thread::yield();
            continue;
        }
        for (int k = 0; k < n && expected + k < kTotal; ++k)
            for (int c = 0; c < kChannels; ++c)
                if (out.data[c][k] != source.data[c][expected + k]) ++errors;
        expected += n;
        if (stamp != double(expected - 1)) ++errors;
    }
    writer.join();
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(expected, kTotal);
}

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "platform/Resampler.h"
#include "support/CallCounters.h"

using qm::Resampler;

namespace {

// A pull source over planar data, handing out at most `chunk` frames a call.
struct Feed {
    std::vector<std::vector<float>> data;
    size_t pos = 0;
    int chunk = 4096;
    int calls = 0;
    int operator()(float* const* ch, int limit) {
        ++calls;
        const size_t n = std::min({size_t(limit), size_t(chunk), data[0].size() - pos});
        for (size_t c = 0; c < data.size(); ++c)
            for (size_t k = 0; k < n; ++k) ch[c][k] = data[c][pos + k];
        pos += n;
        return int(n);
    }
};

std::vector<std::vector<float>> drain(Resampler& r, Feed& feed, int block) {
    std::vector<std::vector<float>> out(size_t(r.channels()));
    std::vector<std::vector<float>> buf(size_t(r.channels()), std::vector<float>(size_t(block)));
    std::vector<float*> ptrs;
    for (auto& b : buf) ptrs.push_back(b.data());
    for (int guard = 0; guard < 100000 && !r.ended(); ++guard) {
        const int n = r.output(ptrs.data(), block, feed);
        for (size_t c = 0; c < out.size(); ++c) out[c].insert(out[c].end(), buf[c].begin(), buf[c].begin() + n);
    }
    return out;
}

size_t peakIndex(const std::vector<float>& v) {
    size_t best = 0;
    for (size_t i = 1; i < v.size(); ++i)
        if (std::fabs(v[i]) > std::fabs(v[best])) best = i;
    return best;
}

}  // namespace

// The output is aligned with the input: an impulse at input frame 1000 comes
// out at 1000 × 48000 / 44100, whatever the block sizes, and the stream
// ends with the whole converted length.
TEST(Resampler, StreamIsTimeAlignedAndComplete) {
    for (auto [chunk, from, to] : {std::tuple{4096, 44100.0, 48000.0}, std::tuple{333, 44100.0, 48000.0},
                                   std::tuple{4096, 48000.0, 44100.7}}) {
        Feed feed;
        feed.chunk = chunk;
        feed.data.assign(2, std::vector<float>(30000, 0.0f));
        feed.data[0][1000] = 1.0f;
        feed.data[1][20000] = -1.0f;
        Resampler r(from, to, 2, 4096);
        if (to == 48000.0) {
            EXPECT_EQ(r.startOffset(), 0.0);
        }
        EXPECT_GE(r.startOffset(), 0.0);
        EXPECT_LT(r.startOffset(), from / to);
        const auto out = drain(r, feed, 4096);
        EXPECT_TRUE(r.ended());
        EXPECT_FALSE(r.failed());
        EXPECT_NEAR(double(out[0].size()), 30000.0 * to / from, 1.0);
        EXPECT_NEAR(double(peakIndex(out[0])), (1000.0 - r.startOffset()) * to / from, 0.5);
        EXPECT_NEAR(double(peakIndex(out[1])), (20000.0 - r.startOffset()) * to / from, 0.5);
        EXPECT_LT(out[1][peakIndex(out[1])], -0.5f);
    }
}

TEST(Resampler, ConvertsASineWithoutAudibleError) {
    Feed feed;
    const double from = 48000, to = 22050;
    feed.data.assign(1, std::vector<float>(48000));
    for (size_t k = 0; k < feed.data[0].size(); ++k)
        feed.data[0][k] = float(0.5 * std::sin(2 * M_PI * 1000 * double(k) / from));
    Resampler r(from, to, 1, 1024);
    const auto out = drain(r, feed, 1000);
    double worst = 0;
    for (size_t k = 500; k + 500 < out[0].size(); ++k)
        worst = std::max(worst, std::fabs(out[0][k] - 0.5 * std::sin(2 * M_PI * 1000 * double(k) / to)));
    EXPECT_LT(worst, 1e-3);
}

TEST(Resampler, EmptySourceEndsAtOnce) {
    Feed feed;
    feed.data.assign(1, std::vector<float>());
    Resampler r(44100, 48000, 1);
    std::vector<float> buf(4096);
    float* p[] = {buf.data()};
    EXPECT_EQ(r.output(p, 4096, feed), 0);
    EXPECT_TRUE(r.ended());
    EXPECT_EQ(r.output(p, 4096, feed), 0);
}

TEST(Resampler, StreamingAllocatesNothingAfterConstruction) {
    Feed feed;
    feed.data.assign(4, std::vector<float>(200000, 0.25f));
    Resampler r(44100, 48000, 4, 4096);
    std::vector<std::vector<float>> buf(4, std::vector<float>(4096));
    std::vector<float*> ptrs;
    for (auto& b : buf) ptrs.push_back(b.data());
    qm::test::AllocationCounter counter;
    while (!r.ended()) r.output(ptrs.data(), 4096, feed);
    EXPECT_EQ(counter.count(), 0);
}

// Whole buffers have the exact converted length and keep their timing.
TEST(Resampler, WholeBuffersHaveTheExactLengthAndTiming) {
    for (auto [n, from, to] : {std::tuple{44100, 44100.0, 22050.0}, std::tuple{1001, 48000.0, 22050.0},
                               std::tuple{7, 96000.0, 22050.0}, std::tuple{12345, 22050.0, 48000.0}}) {
        SCOPED_TRACE(testing::Message() << n << " " << from);
        std::vector<std::vector<float>> in(2, std::vector<float>(size_t(n), 0.1f));
        in[0][size_t(n / 2)] = 1.0f;
        const auto out = Resampler::resample(in, from, to);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].size(), size_t(std::llround(n * to / from)));
        EXPECT_EQ(out[1].size(), out[0].size());
        if (n > 1000) {
            EXPECT_NEAR(double(peakIndex(out[0])), (n / 2) * to / from, 1.0);
        }
    }
    EXPECT_TRUE(Resampler::resample({}, 44100, 22050).empty());
    EXPECT_EQ(Resampler::resample({{}}, 44100, 22050), std::vector<std::vector<float>>{{}});
    const std::vector<std::vector<float>> same = {{1, 2, 3}};
    EXPECT_EQ(Resampler::resample(same, 48000, 48000), same);
    EXPECT_THROW(Resampler::resample(same, 0, 48000), std::runtime_error);
    EXPECT_THROW(Resampler(44100, NAN, 2), std::runtime_error);
    EXPECT_THROW(Resampler(44100, 48000, 0), std::runtime_error);
}

#include "audio/WaveformOverview.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
namespace WO = WaveformOverview;

namespace {

// A reader over samples in memory that can fail after a number of reads.
class MemoryReader : public AudioFileReader {
public:
    MemoryReader(test::Planar samples, int64_t failAfterReads = -1)
        : samples_(std::move(samples)), failAfter_(failAfterReads) {
        format_.channels = static_cast<int>(samples_.size());
        format_.frames = samples_.empty() ? 0 : static_cast<int64_t>(samples_[0].size());
        format_.sampleRate = 48000;
    }
    const AudioStreamFormat& format() const override { return format_; }
    int64_t read(int64_t position, float* const* channels, int64_t frames) override {
        if (failAfter_ >= 0 && reads_ >= failAfter_) throw AppError(3, "read failed");
        ++reads_;
        requested.push_back(frames);
        int64_t n = std::clamp<int64_t>(format_.frames - position, 0, frames);
        for (size_t c = 0; c < samples_.size(); ++c)
            std::copy_n(samples_[c].begin() + position, n, channels[c]);
        return n;
    }
    std::vector<int64_t> requested;

private:
    test::Planar samples_;
    AudioStreamFormat format_;
    int64_t failAfter_;
    int64_t reads_ = 0;
};

std::vector<std::shared_ptr<const WaveformData>> run(AudioFileReader& r, double interval = 10) {
    std::atomic<bool> cancelled{false};
    std::vector<std::shared_ptr<const WaveformData>> out;
    WO::compute(r, cancelled, [&](auto d) { out.push_back(d); }, interval);
    return out;
}

}  // namespace

TEST(WaveformOverview, BucketGeometry) {
    struct Case {
        int64_t frames;
        int channels;
        int64_t bucketFrames, bucketCount, chunkFrames;
    };
    const Case cases[] = {
        {5999, 2, 1, 5999, 65536},
        {6001, 2, 2, 3001, 65536},
        {0, 1, 1, 1, 65536},
        {1'000'000, 24, 167, 5989, 167 * 392},
        {6000LL * 70000, 1, 70000, 6000, 70000},  // a bucket larger than a chunk is read alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        auto g = WO::geometry(c.frames, c.channels);
        EXPECT_EQ(g.bucketFrames, c.bucketFrames);
        EXPECT_EQ(g.bucketCount, c.bucketCount);
        EXPECT_EQ(g.chunkFrames, c.chunkFrames);
        EXPECT_EQ(g.channels, std::min(c.channels, 16));
    }
}

TEST(WaveformOverview, PeaksMatchABruteForcePass) {
    const int64_t frames = 300'001;  // 51 frames a bucket, the last one short
    test::Planar sig = test::staircaseSignal(3, frames);
    sig[1][123'456] = 1.0f;
    sig[2][frames - 1] = -1.0f;
    MemoryReader reader(sig);
    auto out = run(reader);
    ASSERT_EQ(out.size(), 1u);  // no progress snapshot within the interval
    const auto& d = *out.back();
    ASSERT_EQ(d.bucketFrames, 51);
    ASSERT_EQ(d.bucketCount, 5883);
    EXPECT_EQ(d.loadedBuckets, d.bucketCount);
    ASSERT_EQ(d.channels, 3);
    for (int c = 0; c < 3; ++c)
        for (int64_t b = 0; b < d.bucketCount; ++b) {
            auto first = sig[c].begin() + b * 51;
            auto last = sig[c].begin() + std::min<int64_t>((b + 1) * 51, frames);
            auto [mn, mx] = std::minmax_element(first, last);
            ASSERT_EQ(d.mins[c][b], *mn) << c << " " << b;
            ASSERT_EQ(d.maxs[c][b], *mx) << c << " " << b;
        }
    for (auto n : reader.requested) EXPECT_EQ(n, 51 * (65536 / 51));
}

TEST(WaveformOverview, ProgressSnapshotsGrowAndEndComplete) {
    MemoryReader reader(test::staircaseSignal(2, 1'000'000));
    auto out = run(reader, 0);  // a snapshot after every chunk
    ASSERT_EQ(out.size(), 17u);  // 16 chunks of 65464 frames, then the final one
    EXPECT_EQ(out[0]->loadedBuckets, 392);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i]->loadedBuckets, out[i - 1]->loadedBuckets);
    EXPECT_EQ(out[15]->loadedBuckets, 5989);
    EXPECT_EQ(out.back()->loadedBuckets, 5989);
    // Earlier snapshots are not changed by later work.
    EXPECT_EQ(out[0]->maxs[0][392], 0.f);
    EXPECT_NE(out.back()->maxs[0][392], 0.f);
}

TEST(WaveformOverview, CancellingStopsAllFurtherUpdates) {
    MemoryReader reader(test::staircaseSignal(1, 1'000'000));
    std::atomic<bool> cancelled{true};
    int updates = 0;
    WO::compute(reader, cancelled, [&](auto) { ++updates; }, 0);
    EXPECT_EQ(updates, 0);
    EXPECT_TRUE(reader.requested.empty());

    cancelled = false;
    WO::compute(reader, cancelled, [&](auto d) {
        ++updates;
        if (d->loadedBuckets >= 392 * 3) cancelled = true;
    }, 0);
    EXPECT_EQ(updates, 3);  // no final snapshot after the cancel
}

TEST(WaveformOverview, ReadErrorStillGivesAFinalSnapshot) {
    MemoryReader reader(test::staircaseSignal(1, 1'000'000), 2);
    auto out = run(reader);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->loadedBuckets, 5989);
    EXPECT_NE(out[0]->maxs[0][2 * 392 - 1], 0.f);
    EXPECT_EQ(out[0]->maxs[0][2 * 392], 0.f);
    EXPECT_EQ(out[0]->mins[0][5988], 0.f);
}

TEST(WaveformOverview, FilesOnDisk) {
    test::TempDir dir;
    // 24 channels: the first 16 are described.
    test::writeTestFile(dir / "wide.wav", 24, 7000, 48000, {.bits = 16});
    std::atomic<bool> cancelled{false};
    std::vector<std::shared_ptr<const WaveformData>> out;
    WO::compute(dir / "wide.wav", cancelled, [&](auto d) { out.push_back(d); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->channels, 16);
    EXPECT_EQ(out[0]->mins.size(), 16u);
    EXPECT_EQ(out[0]->bucketCount, 3500);
    EXPECT_EQ(out[0]->maxs[15][0], std::max(test::staircase(15, 0), test::staircase(15, 1)));

    // A file without frames: one bucket of one frame, at 0.
    out.clear();
    test::writeTestFile(dir / "empty.wav", 2, 0, 48000, {.bits = 16});
    WO::compute(dir / "empty.wav", cancelled, [&](auto d) { out.push_back(d); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->bucketCount, 1);
    EXPECT_EQ(out[0]->bucketFrames, 1);
    EXPECT_EQ(out[0]->loadedBuckets, 1);
    EXPECT_EQ(out[0]->maxs[1][0], 0.f);

    out.clear();
    test::writeBytes(dir / "junk.wav", "not audio at all");
    WO::compute(dir / "junk.wav", cancelled, [&](auto d) { out.push_back(d); });
    WO::compute(dir / "missing.wav", cancelled, [&](auto d) { out.push_back(d); });
    EXPECT_TRUE(out.empty());
}

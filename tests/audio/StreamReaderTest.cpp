#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audio/FrameSource.h"
#include "audio/StreamReader.h"
#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using qm::AppError;
using qm::FileSource;
using qm::MemorySource;
using qm::StreamRange;
using qm::StreamReader;

namespace {

// Channel c holds frame index + 100000 c: any offset shows as a mismatch.
std::shared_ptr<MemorySource> indexSource(int channels, int64_t frames, double rate) {
    std::vector<std::vector<float>> data(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    for (int c = 0; c < channels; ++c)
        for (int64_t k = 0; k < frames; ++k) data[size_t(c)][size_t(k)] = float(k + 100000 * c);
    return std::make_shared<MemorySource>(std::move(data), rate);
}

struct Frames {
    std::vector<std::vector<float>> channels;
    std::vector<double> stamps;
};

// Reads everything the ring holds, one frame at a time so that every stamp
// is seen.
void drain(StreamReader& r, Frames& into) {
    const int ch = r.channels();
    if (into.channels.empty()) into.channels.resize(size_t(ch));
    std::vector<float> one(static_cast<size_t>(ch));
    std::vector<float*> ptrs;
    for (auto& x : one) ptrs.push_back(&x);
    double stamp = 0;
    while (mn_ring_read(r.ring(), ptrs.data(), 1, &stamp) == 1) {
        for (int c = 0; c < ch; ++c) into.channels[size_t(c)].push_back(one[size_t(c)]);
        into.stamps.push_back(stamp);
    }
}

// Fills and drains until the stream ends (or `maxBlocks` blocks).
Frames playAll(StreamReader& r, int maxBlocks = 1000) {
    Frames f;
    for (int b = 0; b < maxBlocks; ++b) {
        const bool more = r.fillOnce();
        drain(r, f);
        if (!more) break;
    }
    return f;
}

// Fills and drains `blocks` blocks of a stream that must not end (a loop).
Frames loopBlocks(StreamReader& r, int blocks) {
    Frames f;
    for (int b = 0; b < blocks; ++b) {
        EXPECT_TRUE(r.fillOnce());
        drain(r, f);
    }
    return f;
}

class ShapeSource : public qm::FrameSource {
public:
    explicit ShapeSource(int channels) : channels_(channels) {}
    qm::FrameFormat processingFormat() const override { return {48000, channels_, 0}; }
    int64_t length() const override { return 100; }
    int64_t read(float* const*, int64_t, int64_t) override { return 0; }

private:
    int channels_;
};

}  // namespace

TEST(StreamReader, StartAndEndAreClampedToTheSource) {
    auto src = indexSource(2, 10000, 48000);
    {
        StreamReader r(src, 48000, {.start = -5, .end = 20000});
        EXPECT_FALSE(r.converting());
        EXPECT_EQ(r.endFrame(), 10000);
        const Frames f = playAll(r);
        ASSERT_EQ(f.stamps.size(), 10000u);
        EXPECT_EQ(f.stamps.front(), 0.0);
        EXPECT_EQ(f.stamps.back(), 9999.0);
        EXPECT_EQ(f.channels[1][1234], 101234.0f);
        EXPECT_EQ(mn_ring_eof(r.ring()), 1);
    }
    {
        StreamReader r(src, 48000, {.start = 12000, .end = 20000});
        EXPECT_FALSE(r.fillOnce());
        EXPECT_EQ(mn_ring_eof(r.ring()), 1);
        EXPECT_EQ(mn_ring_available(r.ring()), 0);
    }
    {
        StreamReader r(src, 48000, {.start = 300, .end = 700});
        const Frames f = playAll(r);
        ASSERT_EQ(f.stamps.size(), 400u);
        EXPECT_EQ(f.channels[0].front(), 300.0f);
        EXPECT_EQ(f.channels[0].back(), 699.0f);
    }
}

TEST(StreamReader, LoopsWithExactStamps) {
    auto src = indexSource(1, 5000, 48000);
    StreamReader r(src, 48000, {.start = 1500, .end = 5000, .loop = true, .loopStart = 1000, .loopEnd = 2000});
    EXPECT_TRUE(r.looping());
    const Frames f = loopBlocks(r, 4);
    EXPECT_EQ(mn_ring_eof(r.ring()), 0);
    ASSERT_GE(f.stamps.size(), 3500u);
    for (size_t k = 0; k < f.stamps.size(); ++k) {
        const double expect = k < 500 ? 1500.0 + double(k) : 1000.0 + double((k - 500) % 1000);
        ASSERT_EQ(f.stamps[k], expect) << k;
        ASSERT_EQ(f.channels[0][k], float(expect)) << k;
    }
}

// A looping request whose region is empty, inverted or outside the source
// plays once from start to end, with no negative counts.
TEST(StreamReader, RegionsThatCannotLoopPlayOnce) {
    auto src = indexSource(1, 5000, 48000);
    const int64_t regions[][2] = {{1000, 1000}, {2000, 1000}, {6000, 7000}, {5000, 9000}, {-300, 0}, {-10, -5}};
    for (const auto& region : regions) {
        StreamReader r(src, 48000, {.start = 100, .end = 3000, .loop = true, .loopStart = region[0], .loopEnd = region[1]});
        EXPECT_FALSE(r.looping()) << region[0] << ".." << region[1];
        const Frames f = playAll(r);
        ASSERT_EQ(f.stamps.size(), 2900u) << region[0] << ".." << region[1];
        EXPECT_EQ(f.stamps.front(), 100.0);
        EXPECT_EQ(f.stamps.back(), 2999.0);
        EXPECT_EQ(mn_ring_eof(r.ring()), 1);
    }
    // A region reaching past the end loops over the part inside the source.
    StreamReader r(src, 48000, {.start = 4500, .end = 5000, .loop = true, .loopStart = 4000, .loopEnd = 9000});
    EXPECT_TRUE(r.looping());
    const Frames f = loopBlocks(r, 2);
    ASSERT_GT(f.stamps.size(), 500u);
    EXPECT_EQ(f.stamps[499], 4999.0);
    EXPECT_EQ(f.stamps[500], 4000.0);
}

TEST(StreamReader, ConvertsOnlyBeyondHalfAHertz) {
    auto src = indexSource(2, 1000, 44100);
    StreamReader near(src, 44100.4, {.start = 0, .end = 1000});
    EXPECT_FALSE(near.converting());
    StreamReader far(src, 48000, {.start = 0, .end = 1000});
    EXPECT_TRUE(far.converting());
    EXPECT_DOUBLE_EQ(far.ratio(), 0.91875);
}

// Converted frames carry the source position they stand for: the first one
// the start frame, and a slow sine read back at its stamps matches.
TEST(StreamReader, ConvertedStampsFollowTheSignal) {
    const double rate = 44100, hz = 50;
    std::vector<float> sine(44100);
    for (size_t k = 0; k < sine.size(); ++k) sine[k] = float(0.5 * std::sin(2 * M_PI * hz * double(k) / rate));
    auto src = std::make_shared<MemorySource>(std::vector<std::vector<float>>{sine, sine}, rate);
    StreamReader r(src, 48000, {.start = 2000, .end = 30000});
    const Frames f = playAll(r);
    ASSERT_FALSE(f.stamps.empty());
    EXPECT_EQ(f.stamps.front(), 2000.0);
    EXPECT_NEAR(double(f.stamps.size()), 28000 * 48000 / 44100.0, 2.0);
    EXPECT_GT(f.stamps.back(), 29998.0);
    EXPECT_LE(f.stamps.back(), 30000.0) << "stamps never pass the end frame";
    double worst = 0;
    for (size_t k = 200; k + 200 < f.stamps.size(); ++k) {
        EXPECT_NEAR(f.stamps[k] - f.stamps[k - 1], 0.91875, 1e-6);
        worst = std::max(worst, std::fabs(double(f.channels[1][k]) -
                                          0.5 * std::sin(2 * M_PI * hz * f.stamps[k] / rate)));
    }
    EXPECT_LT(worst, 2e-3);
    EXPECT_EQ(mn_ring_eof(r.ring()), 1);
}

TEST(StreamReader, ConvertedLoopStampsWrapIntoTheRegion) {
    auto src = indexSource(1, 5000, 44100);
    StreamReader r(src, 48000, {.start = 1500, .end = 5000, .loop = true, .loopStart = 1000, .loopEnd = 2000});
    const Frames f = loopBlocks(r, 3);
    EXPECT_EQ(f.stamps.front(), 1500.0);
    int wraps = 0;
    for (size_t k = 1; k < f.stamps.size(); ++k) {
        ASSERT_GE(f.stamps[k], 1000.0);
        ASSERT_LT(f.stamps[k], 2000.0);
        if (f.stamps[k] < f.stamps[k - 1]) ++wraps;
    }
    EXPECT_GE(wraps, 5);
    EXPECT_EQ(mn_ring_eof(r.ring()), 0);
}

TEST(StreamReader, ConstructionErrors) {
    auto expectCode = [](std::shared_ptr<qm::FrameSource> src, double rate, int code, const std::string& text) {
        try {
            StreamReader r(src, rate, {.start = 0, .end = 100});
            ADD_FAILURE() << "no error for code " << code;
        } catch (const AppError& e) {
            EXPECT_EQ(e.code(), code);
            EXPECT_EQ(std::string(e.what()), text);
        }
    };
    expectCode(std::make_shared<ShapeSource>(65), 48000, 1, "Unsupported channel count (65)");
    expectCode(std::make_shared<ShapeSource>(0), 48000, 1, "Unsupported channel count (0)");
    expectCode(std::make_shared<ShapeSource>(2), 0, 4, "Can't resample this file");
    expectCode(std::make_shared<ShapeSource>(2), NAN, 4, "Can't resample this file");
    // A ring of 1.5 s at an absurd rate cannot be had.
    expectCode(std::make_shared<ShapeSource>(2), 1e12, 2, "");
    StreamReader ok(std::make_shared<ShapeSource>(64), 48000, {.start = 0, .end = 100});
    EXPECT_EQ(ok.channels(), 64);
    // A source that delivers nothing ends the stream.
    EXPECT_FALSE(ok.fillOnce());
}

TEST(MemorySource, ClicksAreAddedWhereTheyOverlap) {
    MemorySource mono({std::vector<float>(1000, 0.0f)}, 48000, {{100, false}});
    EXPECT_EQ(mono.tick().size(), 2160u);
    EXPECT_EQ(mono.processingFormat().channels, 1);
    EXPECT_EQ(mono.processingFormat().layoutTag, 0u);
    std::vector<float> buf(64, 9.0f);
    float* p[] = {buf.data()};
    ASSERT_EQ(mono.read(p, 80, 64), 64);
    for (int k = 0; k < 64; ++k) EXPECT_EQ(buf[size_t(k)], k < 20 ? 0.0f : mono.tick()[size_t(k - 20)]) << k;

    // Clicks are sorted; accents use the other sound; channels 2 and 3 stay dry.
    std::vector<std::vector<float>> four(4, std::vector<float>(5000, 0.25f));
    MemorySource quad(four, 48000, {{3000, false}, {10, true}});
    EXPECT_EQ(quad.processingFormat().layoutTag, (147u << 16) | 4u);
    std::vector<std::vector<float>> out(4, std::vector<float>(100));
    float* q[] = {out[0].data(), out[1].data(), out[2].data(), out[3].data()};
    ASSERT_EQ(quad.read(q, 0, 100), 100);
    EXPECT_EQ(out[0][50], 0.25f + quad.tock()[40]);
    EXPECT_EQ(out[1][50], 0.25f + quad.tock()[40]);
    EXPECT_EQ(out[2][50], 0.25f);
    EXPECT_EQ(out[3][50], 0.25f);
    EXPECT_EQ(out[0][5], 0.25f);

    // Reads past the end or before the start deliver nothing.
    EXPECT_EQ(quad.read(q, 5000, 10), 0);
    EXPECT_EQ(quad.read(q, -1, 10), 0);
    EXPECT_EQ(quad.read(q, 4990, 100), 10);
    MemorySource empty({}, 48000);
    EXPECT_EQ(empty.length(), 0);
    EXPECT_EQ(empty.processingFormat().channels, 1);
    EXPECT_EQ(empty.read(q, 0, 10), 0);
}

TEST(MemorySource, ShortChannelsReadAsSilence) {
    MemorySource src({std::vector<float>(10, 1.0f), std::vector<float>(4, 2.0f)}, 48000);
    std::vector<float> a(10), b(10, 7.0f);
    float* p[] = {a.data(), b.data()};
    ASSERT_EQ(src.read(p, 2, 8), 8);
    EXPECT_EQ(b, (std::vector<float>{2, 2, 0, 0, 0, 0, 0, 0, 7, 7}));
    ASSERT_EQ(src.read(p, 6, 4), 4) << "wholly past the short channel's end";
    EXPECT_EQ(b, (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 7, 7}));
}

TEST(FileSource, StreamsAFileThroughTheFillThread) {
    qm::test::TempDir dir;
    const auto path = dir / "stairs.wav";
    const int64_t frames = 100000;
    qm::test::writeTestFile(path, 3, frames, 48000, {qm::test::FileKind::wav, 16});
    auto src = std::make_shared<FileSource>(path);
    EXPECT_EQ(src->length(), frames);
    EXPECT_EQ(src->processingFormat().channels, 3);
    StreamReader r(src, 48000, {.start = 10, .end = frames});
    // Pre-fill as the players do, then let the thread do the rest.
    r.preFill();
    EXPECT_GE(mn_ring_available(r.ring()), StreamReader::kPreFillFrames);
    EXPECT_LT(mn_ring_available(r.ring()), StreamReader::kPreFillFrames + StreamReader::kBlockFrames);
    r.start();
    Frames f;
    const auto deadline = std::chrono::steady_clock::now() + qm::test::timeout(std::chrono::seconds(10));
    while (std::chrono::steady_clock::now() < deadline) {
        const bool ended = mn_ring_eof(r.ring()) != 0;
        drain(r, f);
        if (ended) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    drain(r, f);
    ASSERT_EQ(f.stamps.size(), size_t(frames - 10));
    int mismatches = 0;
    for (size_t k = 0; k < f.stamps.size(); ++k) {
        const int64_t frame = 10 + int64_t(k);
        if (f.stamps[k] != double(frame)) ++mismatches;
        for (int c = 0; c < 3; ++c)
            if (f.channels[size_t(c)][k] != qm::test::staircase(c, frame)) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_THROW(FileSource(dir / "missing.wav"), AppError);
}

namespace {
bool threadNamed(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        if (line == name) return true;
    }
    return false;
}
}  // namespace

TEST(StreamReader, FillThreadIsNamedAndStopsSoonAfterCancel) {
    auto src = indexSource(2, 48000 * 20, 48000);
    auto r = std::make_unique<StreamReader>(src, 48000, StreamRange{.start = 0, .end = 48000 * 20});
    r->start();
    // Wait until the ring is full and the thread sleeps between checks.
    const auto deadline = std::chrono::steady_clock::now() + qm::test::timeout(std::chrono::seconds(5));
    while (mn_ring_write_space(r->ring()) >= StreamReader::kBlockFrames &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LT(mn_ring_write_space(r->ring()), StreamReader::kBlockFrames);
    EXPECT_TRUE(threadNamed("QM.StreamReader"));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto t0 = std::chrono::steady_clock::now();
    r->cancel();
    EXPECT_TRUE(r->cancelled());
    r.reset();  // joins the thread
    // The thread wakes every 4 ms: a cancel takes a few milliseconds on an
    // idle machine (reported), and far less than the time-out on any.
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double limit = std::chrono::duration<double, std::milli>(qm::test::timeout(std::chrono::seconds(1))).count();
    EXPECT_LT(ms, limit);
    RecordProperty("cancelMilliseconds", std::to_string(ms));
    EXPECT_FALSE(threadNamed("QM.StreamReader"));
}

// The pre-fill before a hand-over: two blocks (8192 frames), less when the
// stream ends first, nothing once the reader is cancelled.
TEST(StreamReader, PreFillStopsAtEnoughFramesTheEndOrACancel) {
    auto src = indexSource(2, 48000 * 4, 48000);
    StreamReader whole(src, 48000, {.start = 0, .end = 48000 * 4});
    whole.preFill();
    EXPECT_EQ(mn_ring_available(whole.ring()), StreamReader::kPreFillFrames);
    EXPECT_EQ(mn_ring_eof(whole.ring()), 0);

    StreamReader shortOne(src, 48000, {.start = 1000, .end = 6000});
    shortOne.preFill();
    EXPECT_EQ(mn_ring_available(shortOne.ring()), 5000);
    EXPECT_NE(mn_ring_eof(shortOne.ring()), 0);

    StreamReader cancelled(src, 48000, {.start = 0, .end = 48000 * 4});
    cancelled.cancel();
    cancelled.preFill();
    EXPECT_EQ(mn_ring_available(cancelled.ring()), 0);
}

// A file cut while it plays ends the stream at its real end, and the
// source says so; damaged frames played as silence are told too.
TEST(StreamReader, AFileThatEndsEarlySaysSo) {
    qm::test::TempDir dir;
    const auto file = dir / "cut.wav";
    qm::test::writeTestFile(file, 2, 48000, 48000, {.bits = 16});
    auto source = std::make_shared<FileSource>(file);
    EXPECT_FALSE(source->problem());
    std::filesystem::resize_file(file, std::filesystem::file_size(file) - 4 * 24000);
    StreamReader reader(source, 48000, StreamRange{0, 48000});
    int64_t played = 0;
    std::vector<float> l(StreamReader::kBlockFrames), r(StreamReader::kBlockFrames);
    float* out[2] = {l.data(), r.data()};
    while (reader.fillOnce())
        played += mn_ring_read(reader.ring(), out, StreamReader::kBlockFrames, nullptr);
    played += mn_ring_read(reader.ring(), out, StreamReader::kBlockFrames, nullptr);
    EXPECT_EQ(played, 24000);
    ASSERT_TRUE(source->problem());
    EXPECT_EQ(*source->problem(), "\"cut.wav\" ended early, at 0.500 s of 1.000 s");

    qm::test::Planar signal = qm::test::sineSignal(1, 4800, 48000, 440, 0.5f);
    signal[0][10] = std::numeric_limits<float>::quiet_NaN();
    for (int i = 0; i < 2400; ++i) signal[0][size_t(100 + i)] = 1e30f;
    qm::test::writeAudioFile(dir / "nan.wav", signal, 48000, {.bits = 32, .isFloat = true});
    FileSource damaged(dir / "nan.wav");
    std::vector<float> mono(4800);
    float* one[1] = {mono.data()};
    EXPECT_EQ(damaged.read(one, 0, 4800), 4800);
    EXPECT_EQ(mono[10], 0.0f);
    for (float v : mono) ASSERT_LE(std::fabs(v), 0.5f);
    ASSERT_TRUE(damaged.problem());
    EXPECT_EQ(*damaged.problem(), "\"nan.wav\" is damaged: 0.050 s of it played as silence");
    ASSERT_TRUE(damaged.problem());
    EXPECT_NE(damaged.problem()->find("is damaged"), std::string::npos);
}

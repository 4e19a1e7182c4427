#include "edit/EditOps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "support/Signals.h"

namespace qm {
namespace {

using EditOps::Channels;
constexpr double kPi = std::numbers::pi;

std::vector<float> ramp(int n, float from = 0.0f, float step = 1.0f) {
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[i] = from + step * static_cast<float>(i);
    return v;
}

const EditOps::Effect& effect(const std::string& id) {
    for (const auto& e : EditOps::effects())
        if (e.id == id) return e;
    throw std::runtime_error("no effect " + id);
}

float maxStep(const std::vector<float>& x, size_t from = 1, size_t to = SIZE_MAX) {
    float m = 0;
    for (size_t i = std::max<size_t>(from, 1); i < std::min(to, x.size()); ++i) m = std::max(m, std::abs(x[i] - x[i - 1]));
    return m;
}

TEST(EditOpsBuffer, SliceSpliceSilenceAndReplace) {
    const Channels doc{ramp(10), ramp(10, 100)};
    EXPECT_EQ(EditOps::slice(doc, 2, 5), (Channels{{2, 3, 4}, {102, 103, 104}}));
    EXPECT_EQ(EditOps::splice(doc, 2, 8), (Channels{{0, 1, 8, 9}, {100, 101, 108, 109}}));
    EXPECT_EQ(EditOps::silence(doc, 8, 10)[1], (std::vector<float>{100, 101, 102, 103, 104, 105, 106, 107, 0, 0}));
    const auto replaced = EditOps::replaceRegion(doc, 1, 9, Channels{{-1, -2}, {-3, -4}});
    EXPECT_EQ(replaced, (Channels{{0, -1, -2, 9}, {100, -3, -4, 109}}));
    // Empty ranges change nothing.
    EXPECT_EQ(EditOps::splice(doc, 4, 4), doc);
    EXPECT_EQ(EditOps::silence(doc, 4, 4), doc);
    EXPECT_EQ(EditOps::slice(doc, 4, 4), (Channels{{}, {}}));
}

TEST(EditOpsBuffer, InsertMonoClipIntoStereoAddsSilenceOnSecondChannel) {
    const Channels doc{ramp(4), ramp(4, 10)};
    const auto out = EditOps::insert(doc, 2, Channels{{7, 8, 9}});
    EXPECT_EQ(out, (Channels{{0, 1, 7, 8, 9, 2, 3}, {10, 11, 0, 0, 0, 12, 13}}));
    EXPECT_EQ(EditOps::insert(doc, 2, Channels{}), doc);
    EXPECT_EQ(EditOps::insert(doc, 4, Channels{{5}, {15}}), (Channels{{0, 1, 2, 3, 5}, {10, 11, 12, 13, 15}}));
}

TEST(EditOpsBuffer, RangesOutsideTheAudioAreCutToIt) {
    const Channels doc{ramp(6), ramp(6, 10)};
    EXPECT_EQ(EditOps::slice(doc, 4, 99), (Channels{{4, 5}, {14, 15}}));
    EXPECT_EQ(EditOps::slice(doc, 50, 99), (Channels{{}, {}}));
    EXPECT_EQ(EditOps::splice(doc, -3, 2), (Channels{{2, 3, 4, 5}, {12, 13, 14, 15}}));
    EXPECT_EQ(EditOps::silence(doc, 7, 9), doc);
    EXPECT_EQ(EditOps::insert(doc, 40, Channels{{9}, {19}})[0], (std::vector<float>{0, 1, 2, 3, 4, 5, 9}));
    EXPECT_EQ(EditOps::replaceRegion(doc, 5, 20, Channels{{9}, {19}})[1], (std::vector<float>{10, 11, 12, 13, 14, 19}));
    EXPECT_EQ(EditOps::swapLR(doc, 8, 3), doc);
    EXPECT_EQ(EditOps::monoFold(doc, 6, 100), doc);
    for (const auto& e : EditOps::effects()) {
        const auto out = e.apply(doc, 48000, 6, 100, std::nullopt);
        EXPECT_EQ(out, doc) << e.id;
    }
    EXPECT_EQ(effect("reverse").apply(doc, 48000, 3, 100, std::nullopt)[0], (std::vector<float>{0, 1, 2, 5, 4, 3}));
    EXPECT_FALSE(EditOps::seamlessLoop(doc, 48000, 100, 200, true));
    EXPECT_EQ(EditOps::verbTail(doc, 48000, 10, 20), (Channels{{}, {}}));
    EXPECT_EQ(EditOps::texture(doc, 48000, -20, -10), (Channels{{}, {}}));
}

TEST(EditOpsEffects, FadesNeverReachFullLevelInside) {
    const Channels ones{std::vector<float>(6, 1.0f)};
    const auto in = effect("fade-in").apply(ones, 48000, 1, 5, std::nullopt)[0];
    const float sinEighths[] = {1, 0, float(std::sin(kPi / 8)), float(std::sin(kPi / 4)), float(std::sin(3 * kPi / 8)), 1};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(in[i], sinEighths[i]) << i;
    const auto out = effect("fade-out").apply(ones, 48000, 0, 4, std::nullopt)[0];
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[3], static_cast<float>(std::cos(3 * kPi / 8)));
}

TEST(EditOpsEffects, NormalizeOnChosenLanesOnly) {
    const Channels doc{{0.1f, -0.5f, 0.2f}, {0.9f, 0.9f, 0.9f}};
    const auto out = effect("normalize").apply(doc, 48000, 0, 3, std::vector<int>{0, 7});
    EXPECT_NEAR(out[0][1], -0.96605086f, 1e-6);
    EXPECT_NEAR(out[0][0], 0.96605086f / 5, 1e-6);
    EXPECT_EQ(out[1], doc[1]);
    const Channels silent{std::vector<float>(8, 0.0f)};
    EXPECT_EQ(effect("normalize").apply(silent, 48000, 0, 8, std::nullopt), silent);
}

TEST(EditOpsEffects, ReverseAndDcFixInsideTheRange) {
    const Channels doc{ramp(6)};
    EXPECT_EQ(effect("reverse").apply(doc, 48000, 1, 5, std::nullopt)[0], (std::vector<float>{0, 4, 3, 2, 1, 5}));
    const auto fixed = effect("dc-fix").apply(Channels{{9, 1, 2, 3, 9}}, 48000, 1, 4, std::nullopt)[0];
    EXPECT_EQ(fixed, (std::vector<float>{9, -1, 0, 1, 9}));
}

TEST(EditOpsEffects, BitcrushQuantisesAndHoldsFourSamples) {
    const Channels doc{{0.3f, 0.9f, -0.1f, 0.5f, -0.3f, 0.7f}};
    const auto out = effect("bitcrush").apply(doc, 48000, 0, 6, std::nullopt)[0];
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(out[i], 77.0f / 256.0f);  // 76.8 to the nearest integer
    EXPECT_FLOAT_EQ(out[4], -77.0f / 256.0f);
    EXPECT_FLOAT_EQ(out[5], -77.0f / 256.0f);
}

TEST(EditOpsEffects, StutterRepeatsHalvesOfFullAndShortChunks) {
    // 80 Hz makes 10-frame chunks; 13 frames are 1.3 chunks.
    const Channels doc{ramp(15)};
    const auto out = effect("stutter").apply(doc, 80, 1, 14, std::nullopt)[0];
    EXPECT_EQ(out, (std::vector<float>{0, 1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 11, 11, 13, 14}));
    // 125 ms shorter than two frames: nothing happens.
    EXPECT_EQ(effect("stutter").apply(doc, 8, 0, 15, std::nullopt), doc);
}

TEST(EditOpsEffects, StereoOnlyToolsLeaveMonoAlone) {
    const Channels mono{ramp(4)};
    EXPECT_EQ(effect("stereo-widen").apply(mono, 48000, 0, 4, std::nullopt), mono);
    EXPECT_EQ(EditOps::swapLR(mono, 0, 4), mono);
    const Channels stereo{{1, 1}, {0, 0}};
    // Widening works on the first two channels whatever the lanes say.
    const auto wide = effect("stereo-widen").apply(stereo, 48000, 0, 1, std::vector<int>{1});
    EXPECT_FLOAT_EQ(wide[0][0], 1.25f);
    EXPECT_FLOAT_EQ(wide[1][0], -0.25f);
    EXPECT_FLOAT_EQ(wide[0][1], 1.0f);
    EXPECT_EQ(EditOps::swapLR(stereo, 1, 2), (Channels{{1, 0}, {0, 1}}));
    EXPECT_EQ(EditOps::monoFold(Channels{{1, 1}, {0, 3}}, 0, 1), (Channels{{0.5f, 1}, {0.5f, 3}}));
}

TEST(EditOpsEffects, FiltersShapeTheSpectrumAndStayBounded) {
    const double sr = 48000;
    auto rms = [](const std::vector<float>& x, size_t from) {
        double s = 0;
        for (size_t i = from; i < x.size(); ++i) s += double(x[i]) * x[i];
        return std::sqrt(s / double(x.size() - from));
    };
    // Telephone: 50 Hz is cut well below 1 kHz, and the drive keeps |x| < 1.
    const auto low = effect("telephone").apply(Channels{test::sine(50, 0.5, sr, 48000)}, sr, 0, 48000, std::nullopt)[0];
    const auto mid = effect("telephone").apply(Channels{test::sine(1000, 0.5, sr, 48000)}, sr, 0, 48000, std::nullopt)[0];
    EXPECT_LT(rms(low, 4800), 0.25 * rms(mid, 4800));
    const auto loud = effect("telephone").apply(Channels{test::sine(1000, 4.0, sr, 4800)}, sr, 0, 4800, std::nullopt)[0];
    for (float v : loud) EXPECT_LE(std::abs(v), 1.0f);
    // Tape saturation darkens 15 kHz more than 500 Hz.
    const auto hiTape = effect("tape-saturation").apply(Channels{test::sine(15000, 0.1, sr, 48000)}, sr, 0, 48000, std::nullopt)[0];
    const auto loTape = effect("tape-saturation").apply(Channels{test::sine(500, 0.1, sr, 48000)}, sr, 0, 48000, std::nullopt)[0];
    EXPECT_LT(rms(hiTape, 480), 0.8 * rms(loTape, 480));
    // The 200 Hz high-pass removes DC and passes 2 kHz.
    const auto dc = EditOps::hiPass200(Channels{std::vector<float>(48000, 0.5f)}, sr)[0];
    EXPECT_LT(std::abs(dc.back()), 1e-4);
    const auto pass = EditOps::hiPass200(Channels{test::sine(2000, 0.5, sr, 48000)}, sr)[0];
    EXPECT_NEAR(rms(pass, 4800), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(EditOpsEffects, GhostEchoArrivesHalfASecondLaterInsideTheRange) {
    const double sr = 1000;
    std::vector<float> x(3000, 0.0f);
    x[1000] = 1.0f;
    const auto out = effect("ghost-echo").apply(Channels{x}, sr, 1000, 2000, std::nullopt)[0];
    EXPECT_FLOAT_EQ(out[1000], 1.0f);
    for (int i = 1001; i < 1500; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    double echo = 0;
    for (int i = 1500; i < 2000; ++i) echo += std::abs(out[i]);
    EXPECT_GT(echo, 0.05);
    for (int i = 2000; i < 3000; ++i) ASSERT_EQ(out[i], 0.0f) << i;
}

TEST(EditOpsTools, TopAndTailsFadeBothEndsWithinShortFiles) {
    const double sr = 1000;
    const auto out = EditOps::topAndTails(Channels{std::vector<float>(3000, 1.0f)}, sr)[0];
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_FLOAT_EQ(out[25], static_cast<float>(std::sin(25.0 / 50 * kPi / 2)));
    EXPECT_EQ(out[50], 1.0f);
    EXPECT_EQ(out[1999], 1.0f);
    EXPECT_FLOAT_EQ(out[2000], 1.0f);  // cos(0)
    EXPECT_LT(out[2999], 0.002f);
    // A file shorter than the fades is faded over its whole length.
    const auto shortOut = EditOps::topAndTails(Channels{std::vector<float>(20, 1.0f)}, sr)[0];
    EXPECT_EQ(shortOut.size(), 20u);
    EXPECT_EQ(shortOut[0], 0.0f);
}

TEST(EditOpsTools, ConvolveMatchesDirectSum) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> x(37), h(11);
    for (auto& v : x) v = u(rng);
    for (auto& v : h) v = u(rng);
    const auto y = EditOps::convolve(x, h);
    ASSERT_EQ(y.size(), 47u);
    for (size_t n = 0; n < y.size(); ++n) {
        double sum = 0;
        for (size_t k = 0; k < h.size(); ++k)
            if (n >= k && n - k < x.size()) sum += double(x[n - k]) * h[k];
        EXPECT_NEAR(y[n], sum, 1e-5) << n;
    }
    EXPECT_TRUE(EditOps::convolve({}, h).empty());
}

TEST(EditOpsTools, HallResponseDecaysAndDiffersEachCall) {
    const auto a = EditOps::hallIR(1000, 2), b = EditOps::hallIR(1000, 2);
    ASSERT_EQ(a.size(), 2000u);
    EXPECT_NE(a, b);
    double head = 0, tail = 0;
    for (int i = 0; i < 200; ++i) head += std::abs(a[i]);
    for (int i = 1800; i < 2000; ++i) tail += std::abs(a[i]);
    EXPECT_GT(head, 5 * tail);
    EXPECT_TRUE(EditOps::hallIR(1000, 0).empty());
}

TEST(EditOpsTools, ReverbTailOfOneSecondIsFiveSeconds) {
    const double sr = 48000;
    const Channels doc{test::sine(440, 0.5, sr, 96000), test::sine(660, 0.5, sr, 96000)};
    const auto out = EditOps::verbTail(doc, sr, 24000, 72000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), 240000u);
    EXPECT_EQ(out[1].size(), 240000u);
    double ring = 0;
    for (size_t i = 100000; i < 110000; ++i) ring += std::abs(out[0][i]);
    EXPECT_GT(ring, 0);  // the hall rings on after the dry signal stops
    EXPECT_EQ(EditOps::verbTail(doc, sr, 5, 5), (Channels{{}, {}}));
}

TEST(EditOpsTools, TextureIsEightTimesLongerAtMinusSixDecibels) {
    // At 8 kHz the 6 kHz low-pass lies above the Nyquist frequency: the
    // result must still be finite.
    const double sr = 8000;
    const Channels doc{test::sine(330, 0.5, sr, 16000), test::sine(440, 0.5, sr, 16000)};
    const auto out = EditOps::texture(doc, sr, 4000, 8000);
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].size(), 32000u);
    float peak = 0;
    for (const auto& c : out)
        for (float v : c) peak = std::max(peak, std::abs(v));
    EXPECT_NEAR(peak, 0.5011872f, 1e-5);
    for (const auto& c : out)
        for (float v : c) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(out[0][0], 0.0f);
    EXPECT_EQ(out[0].back(), 0.0f);
    // Capped at 90 s.
    EXPECT_EQ(EditOps::texture(Channels{test::sine(3, 0.5, 100, 8000)}, 100, 0, 8000)[0].size(), 9000u);
    // No room for one grain: silence of the output length.
    const auto tiny = EditOps::texture(Channels{test::sine(330, 0.5, sr, 100)}, sr, 0, 40);
    ASSERT_EQ(tiny[0].size(), 320u);
    for (float v : tiny[0]) EXPECT_EQ(v, 0.0f);
}

TEST(EditOpsLoop, NeedsTenCrossfadeFrames) {
    const double sr = 48000;
    const Channels doc{test::sine(440, 0.5, sr, 1000)};
    EXPECT_FALSE(EditOps::seamlessLoop(doc, sr, 100, 119, false));
    const auto loop = EditOps::seamlessLoop(doc, sr, 100, 120, false);
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->crossfade, 10);
    EXPECT_EQ(loop->channels[0].size(), 20u);
    EXPECT_FALSE(EditOps::seamlessLoop(Channels{}, sr, 0, 1000, false));
    EXPECT_EQ(EditOps::seamlessLoop(doc, sr, 0, 1000, false)->crossfade, 384);
}

TEST(EditOpsLoop, BodyRepeatedEndToStartHasNoClick) {
    // Tones whose periods do not divide the loop, so a plain wrap jumps; the
    // file fades out at its end, as a ringing tail would.
    const double sr = 48000;
    Channels doc{test::sine(217, 0.8, sr, 96000), test::sine(331, 0.8, sr, 96000, 1.0)};
    for (auto& c : doc)
        for (int i = 76000; i < 96000; ++i) c[i] *= float(96000 - i) / 20000.0f;
    const int64_t start = 10000, end = 58000 + 123;
    const float inside = std::max(maxStep(doc[0]), maxStep(doc[1]));
    for (bool carry : {false, true}) {
        const auto loop = EditOps::seamlessLoop(doc, sr, start, end, carry);
        ASSERT_TRUE(loop);
        EXPECT_EQ(loop->crossfade, 384);
        EXPECT_EQ(loop->carried, carry ? 96000 - end : 0);
        for (const auto& body : loop->channels) {
            ASSERT_EQ(body.size(), static_cast<size_t>(end - start));
            std::vector<float> twice(body);
            twice.insert(twice.end(), body.begin(), body.end());
            // Equal-power weights on two unrelated phases reach at most
            // sqrt(2) of the level; a carried tail adds a second tone.
            EXPECT_LT(maxStep(twice), (carry ? 2.5f : 1.5f) * inside) << carry;
        }
    }
    std::vector<float> naive(doc[0].begin() + start, doc[0].begin() + end);
    naive.insert(naive.end(), doc[0].begin() + start, doc[0].begin() + end);
    EXPECT_GT(maxStep(naive), 3 * inside);  // the test signal does click without the seam
}

TEST(EditOpsLoop, CarriedTailAndPeakLimit) {
    const double sr = 2000;
    // Loop [1000, 2000) of a file that rings for 500 frames after the end.
    std::vector<float> x(2500, 0.0f);
    for (int i = 1000; i < 2000; ++i) x[i] = 0.6f;
    for (int i = 2000; i < 2500; ++i) x[i] = 0.6f;
    const auto loop = EditOps::seamlessLoop(Channels{x}, sr, 1000, 2000, true);
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->carried, 500);
    EXPECT_EQ(loop->crossfade, 16);
    // 0.6 + 0.6 = 1.2 in the carried part is scaled to the 0.999 limit.
    float peak = 0;
    for (float v : loop->channels[0]) peak = std::max(peak, std::abs(v));
    EXPECT_FLOAT_EQ(peak, 0.999f);
    EXPECT_NEAR(loop->channels[0][100], 0.999f, 1e-6);
    EXPECT_NEAR(loop->channels[0][700], 0.4995f, 1e-6);
}

}  // namespace
}  // namespace qm

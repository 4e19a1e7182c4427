#include "analysis/Loudness.h"

#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "audio/Speakers.h"
#include "support/Signals.h"

using namespace qm;
using qm::test::appendSine;
using qm::test::dbToAmp;
using qm::test::Planar;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Both channels of a stereo pair get the same tone sequence.
Planar stereoSteps(double freq, std::initializer_list<std::pair<double, double>> steps,
                   double sr = 48000) {
    std::vector<float> x;
    for (auto [seconds, db] : steps) appendSine(x, freq, db, sr, seconds);
    return {x, x};
}

}  // namespace

TEST(Loudness, KWeightingAt48kMatchesTheStandardsCoefficients) {
    auto [shelf, hp] = Loudness::kWeighting(48000);
    const double got[] = {shelf.b0, shelf.b1, shelf.b2, shelf.a1, shelf.a2, hp.b0, hp.b1, hp.b2, hp.a1, hp.a2};
    const double want[] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585,
                           1, -2, 1, -1.99004745483398, 0.99007225036621};
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << i;
}

// The tone and gating cases of the EBU loudness test set, tolerance 0.1 LU.
TEST(Loudness, EbuToneAndGatingCases) {
    for (double f : {1000.0, 997.0}) {
        SCOPED_TRACE(f);
        auto r = Loudness::measure(stereoSteps(f, {{20, -23}}), 48000, std::nullopt);
        EXPECT_NEAR(r.integrated, -23.0, 0.1);
        EXPECT_NEAR(r.momentaryMax, -23.0, 0.1);
        EXPECT_NEAR(r.shortTermMax, -23.0, 0.1);
        r = Loudness::measure(stereoSteps(f, {{20, -33}}), 48000, std::nullopt);
        EXPECT_NEAR(r.integrated, -33.0, 0.1);
    }
    auto i = [](Planar p) { return Loudness::measure(p, 48000, std::nullopt).integrated; };
    EXPECT_NEAR(i(stereoSteps(1000, {{10, -36}, {60, -23}, {10, -36}})), -23.0, 0.1);
    EXPECT_NEAR(i(stereoSteps(1000, {{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}})),
                -23.0, 0.1);
    EXPECT_NEAR(i(stereoSteps(1000, {{20, -26}, {20.1, -20}, {20, -26}})), -23.0, 0.1);
}

TEST(Loudness, EbuFivePointZeroCase) {
    using S = SpeakerID;
    const double sr = 48000;
    std::vector<float> front, centre, surround;
    appendSine(front, 1000, -28, sr, 20);
    appendSine(centre, 1000, -24, sr, 20);
    appendSine(surround, 1000, -30, sr, 20);
    auto r = Loudness::measure({front, front, centre, surround, surround}, sr,
                               SourceFormat::speakers({S::L, S::R, S::C, S::Ls, S::Rs}));
    EXPECT_NEAR(r.integrated, -23.0, 0.1);
}

TEST(Loudness, EbuMomentaryAndShortTermCases) {
    // `loud` s at -20 dB and `quiet` s at -30 dB, `times` times.
    const auto alternating = [](double loud, double quiet, int times) {
        std::vector<float> x;
        for (int k = 0; k < times; ++k) {
            appendSine(x, 1000, -20, 48000, loud);
            appendSine(x, 1000, -30, 48000, quiet);
        }
        return Loudness::measure({x, x}, 48000, std::nullopt);
    };
    EXPECT_NEAR(alternating(1.34, 1.66, 5).shortTermMax, -23.0, 0.1);   // every 3 s window reads -23
    EXPECT_NEAR(alternating(0.18, 0.22, 25).momentaryMax, -23.0, 0.1);  // every 400 ms block reads -23
}

// The true-peak cases: a quarter-rate sine whose samples miss its crests by
// a known phase; tolerance +0.2 / -0.4 dB.
TEST(Loudness, EbuTruePeakCases) {
    const double sr = 48000;
    const size_t n = 48000;
    for (double phaseDeg : {0.0, 45.0, 60.0, 67.5}) {
        SCOPED_TRACE(phaseDeg);
        auto x = qm::test::sine(sr / 4, 0.5, sr, n, phaseDeg * std::numbers::pi / 180);
        auto r = Loudness::measure({x, x}, sr, std::nullopt);
        EXPECT_GE(r.truePeak, -6.02 - 0.4);
        EXPECT_LE(r.truePeak, -6.02 + 0.2);
    }
    // Samples at full scale, crests 3 dB above them.
    auto x = qm::test::sine(sr / 4, std::sqrt(2.0), sr, n, std::numbers::pi / 4);
    auto r = Loudness::measure({x, x}, sr, std::nullopt);
    EXPECT_NEAR(r.samplePeak, 0.0, 0.01);
    EXPECT_GE(r.truePeak, 3.01 - 0.4);
    EXPECT_LE(r.truePeak, 3.01 + 0.2);
}

TEST(Loudness, FullScaleToneInOneChannelOfStereo) {
    auto tone = qm::test::sine(1000, 1.0, 48000, 48000 * 10);
    auto r = Loudness::measure({tone, std::vector<float>(tone.size(), 0.0f)}, 48000, std::nullopt);
    EXPECT_NEAR(r.integrated, -3.0, 0.05);
    EXPECT_NEAR(r.samplePeak, 0.0, 0.01);
    EXPECT_NEAR(r.truePeak, 0.0, 0.05);
    EXPECT_FALSE(r.note);
}

TEST(Loudness, ChannelWeightsFollowSpeakerDirections) {
    const auto l51 = layout::speakers(LayoutID::l51);  // 5.1 is measured in the next test
    // In 7.1 the side pair sits at +-90 and the rear pair at +-150.
    EXPECT_EQ(Loudness::weights(SourceFormat::speakers(layout::speakers(LayoutID::l71)), 8),
              (std::vector<double>{1, 1, 1, 0, 1.41, 1.41, 1, 1}));
    // Height speakers are above 30 degrees and keep weight 1.
    auto w714 = Loudness::weights(SourceFormat::speakers(layout::speakers(LayoutID::l714)), 12);
    EXPECT_EQ(std::vector<double>(w714.begin() + 8, w714.end()), (std::vector<double>{1, 1, 1, 1}));
    // A list of another length, Ambisonics, discrete or no format: all 1.
    EXPECT_EQ(Loudness::weights(SourceFormat::speakers(l51), 2), (std::vector<double>{1, 1}));
    EXPECT_EQ(Loudness::weights(SourceFormat::ambisonic(1, AmbiNorm::sn3d), 4),
              (std::vector<double>{1, 1, 1, 1}));
    EXPECT_EQ(Loudness::weights(SourceFormat::discrete(3), 3), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(Loudness::weights(std::nullopt, 1), (std::vector<double>{1}));
}

TEST(Loudness, LfeCountsForPeaksOnlyAndSurroundsAreWeighted) {
    const double sr = 48000;
    const size_t n = 48000 * 5;
    const auto l51 = SourceFormat::speakers(layout::speakers(LayoutID::l51));
    auto tone = qm::test::sine(1000, dbToAmp(-20), sr, n);
    auto loud = qm::test::sine(60, 0.9, sr, n);
    std::vector<float> zero(n, 0.0f);
    auto withoutLfe = Loudness::measure({tone, zero, zero, zero, zero, zero}, sr, l51);
    auto withLfe = Loudness::measure({tone, zero, zero, loud, zero, zero}, sr, l51);
    EXPECT_EQ(withLfe.integrated, withoutLfe.integrated);
    EXPECT_EQ(withLfe.momentaryMax, withoutLfe.momentaryMax);
    EXPECT_EQ(withLfe.shortTermMax, withoutLfe.shortTermMax);
    EXPECT_NEAR(withLfe.samplePeak, 20 * std::log10(0.9), 1e-4);
    EXPECT_GE(withLfe.truePeak, withLfe.samplePeak);
    auto surround = Loudness::measure({zero, zero, zero, zero, tone, zero}, sr, l51);
    EXPECT_NEAR(surround.integrated - withoutLfe.integrated, 10 * std::log10(1.41), 1e-6);
}

TEST(Loudness, AmbisonicsIsMeasuredOnW) {
    const double sr = 48000;
    auto w = qm::test::sine(1000, dbToAmp(-20), sr, 48000 * 4);
    auto loud = qm::test::sine(500, 1.0, sr, w.size());
    auto r = Loudness::measure({w, loud, loud, loud}, sr, SourceFormat::ambisonic(1, AmbiNorm::sn3d));
    auto mono = Loudness::measure({w}, sr, std::nullopt);
    ASSERT_TRUE(r.note);
    EXPECT_EQ(*r.note, "Ambisonics: measured on W (omni)");
    EXPECT_EQ(r.integrated, mono.integrated);
    EXPECT_EQ(r.samplePeak, mono.samplePeak);
    auto empty = Loudness::measure({}, sr, SourceFormat::ambisonic(1, AmbiNorm::sn3d));
    EXPECT_FALSE(empty.note);
}

TEST(Loudness, ShortAndEmptyInputs) {
    const double sr = 48000;
    auto tone = [&](double seconds) {
        auto x = qm::test::sine(1000, dbToAmp(-23), sr, static_cast<size_t>(seconds * sr));
        return Planar{x, x};
    };
    // 2.5 s: one short-term window over all 25 slices equals the integrated level.
    auto r = Loudness::measure(tone(2.5), sr, std::nullopt);
    EXPECT_NEAR(r.shortTermMax, -23.0, 0.1);
    EXPECT_NEAR(r.integrated, -23.0, 0.1);
    // 3.0 s: exactly one window of 30 slices.
    EXPECT_NEAR(Loudness::measure(tone(3.0), sr, std::nullopt).shortTermMax, -23.0, 0.1);
    // 0.3 s: no momentary blocks.
    r = Loudness::measure(tone(0.3), sr, std::nullopt);
    EXPECT_EQ(r.integrated, -70);
    EXPECT_EQ(r.momentaryMax, -70);
    EXPECT_NEAR(r.shortTermMax, -23.0, 0.5);
    // Fewer samples than one 100 ms slice: no loudness, but peaks.
    r = Loudness::measure(tone(0.05), sr, std::nullopt);
    EXPECT_EQ(r.shortTermMax, -70);
    EXPECT_NEAR(r.samplePeak, -23.0, 0.01);
    // A rate that is not positive measures nothing rather than dividing by it.
    r = Loudness::measure(tone(1.0), 0, std::nullopt);
    EXPECT_EQ(r.integrated, -70);
    EXPECT_EQ(r.truePeak, -kInf);
    // Silence and nothing.
    Planar silence(2, std::vector<float>(48000 * 4, 0.0f));
    for (const auto& in : {silence, Planar{}, Planar{{}, {}}}) {
        r = Loudness::measure(in, sr, std::nullopt);
        EXPECT_EQ(r.integrated, -70);
        EXPECT_EQ(r.momentaryMax, -70);
        EXPECT_EQ(r.shortTermMax, -70);
        EXPECT_EQ(r.samplePeak, -kInf);
        EXPECT_EQ(r.truePeak, -kInf);
    }
}

TEST(Loudness, TruePeakIsNeverBelowSamplePeak) {
    std::vector<float> x(48000, 0.0f);
    x[24000] = 1.0f;
    auto r = Loudness::measure({x}, 48000, std::nullopt);
    EXPECT_EQ(r.samplePeak, 0.0);
    EXPECT_GE(r.truePeak, r.samplePeak);
    // A lone sample at the very first and last positions reaches every phase.
    EXPECT_GT(Loudness::truePeak({1.0f}), 0.9f);
    EXPECT_EQ(Loudness::truePeak({}), 0.0f);
}

// The true peak may sit anywhere and under a lower sample peak: a burst of
// fs/4 sine at 45 degrees (samples at 0.707 of its 0.95 crest) after a
// louder-sampled, slow swell, in quiet noise, at the start, the middle or
// the end of ten seconds. Skipping the blocks that cannot raise the peak
// must never skip that one.
TEST(Loudness, TruePeakFoundUnderALowerSamplePeakAnywhere) {
    constexpr double sr = 48000;
    for (double at : {0.0, 4.9, 9.95}) {
        std::vector<float> x = test::noise(0.01, size_t(10 * sr), 3);
        for (long i = 0; i < long(sr * 0.05); ++i)  // the swell: a 50 ms half sine sampled up to 0.9
            x[size_t(i + long(2.0 * sr))] = float(0.9 * std::sin(std::numbers::pi * double(i) / (sr * 0.05)));
        const long start = long(at * sr);
        for (long i = 0; i < 480 && start + i < long(x.size()); ++i)
            x[size_t(start + i)] = float(0.95 * std::sin(std::numbers::pi / 2 * double(i) + std::numbers::pi / 4));
        const auto r = Loudness::measure({x}, sr, std::nullopt);
        EXPECT_NEAR(r.samplePeak, 20 * std::log10(0.9), 0.01) << at;
        EXPECT_GE(r.truePeak, 20 * std::log10(0.95) - 0.4) << at;
        EXPECT_LE(r.truePeak, 20 * std::log10(0.95) + 0.2) << at;
    }
}

// The meter takes a pair of channels together and carries its filters and
// peaks from one block to the next: a channel paired with itself reads as
// it does alone, 3.01 dB up (its power twice over); swapped channels read
// the same; and blocks of any length, as a reader pushes them, give exactly
// what the whole signal gives.
TEST(Loudness, PairsAndBlocksMeasureAsTheWholeChannels) {
    constexpr double sr = 44100;
    std::vector<float> left = test::noise(0.5, size_t(5 * sr), 11), right = test::noise(0.2, left.size(), 12);
    appendSine(left, 997, -3, sr, 1.0);
    appendSine(right, 440, -9, sr, 1.0);
    const auto alone = Loudness::measure({left}, sr, std::nullopt);
    const auto twice = Loudness::measure({left, left}, sr, std::nullopt);
    EXPECT_NEAR(twice.integrated, alone.integrated + 10 * std::log10(2.0), 1e-9);
    EXPECT_NEAR(twice.momentaryMax, alone.momentaryMax + 10 * std::log10(2.0), 1e-9);
    EXPECT_EQ(twice.truePeak, alone.truePeak);

    const auto whole = Loudness::measure({left, right}, sr, std::nullopt);
    const auto swapped = Loudness::measure({right, left}, sr, std::nullopt);
    EXPECT_EQ(swapped.integrated, whole.integrated);
    EXPECT_EQ(swapped.shortTermMax, whole.shortTermMax);
    EXPECT_EQ(swapped.truePeak, whole.truePeak);

    for (size_t most : {1u, 127u, 4410u, 100000u}) {
        Loudness::Meter meter(sr, 2, std::nullopt);
        uint64_t state = most;
        for (size_t at = 0; at < left.size();) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const size_t n = std::min(left.size() - at, size_t(1 + (state >> 33) % most));
            const float* planes[] = {left.data() + at, right.data() + at};
            meter.push(planes, n);
            at += n;
        }
        const auto blocks = meter.finish();
        EXPECT_EQ(blocks.integrated, whole.integrated) << most;
        EXPECT_EQ(blocks.momentaryMax, whole.momentaryMax) << most;
        EXPECT_EQ(blocks.shortTermMax, whole.shortTermMax) << most;
        EXPECT_EQ(blocks.truePeak, whole.truePeak) << most;
    }
}

// The true peak is the largest output of the 4x interpolation filter
// (192-tap Blackman-windowed sinc), as a plain convolution in double gives
// it, wherever in a block the loudest output falls: a short burst between
// samples at each of 48 offsets, over quiet noise.
TEST(Loudness, TruePeakIsTheLargestOutputOfTheInterpolationFilter) {
    std::vector<double> taps(192);
    for (int n = 0; n < 192; ++n) {
        const double x = (n - 95.5) * 0.25, pi = std::numbers::pi;
        taps[size_t(n)] = (std::sin(pi * x) / (pi * x)) *
                          (0.42 - 0.5 * std::cos(2 * pi * n / 191.0) + 0.08 * std::cos(4 * pi * n / 191.0));
    }
    for (size_t offset = 0; offset < 48; ++offset) {
        std::vector<float> x = test::noise(0.01, 400, offset);
        for (size_t i = 0; i < 6; ++i)
            x[200 + offset + i] = float(0.8 * std::sin(std::numbers::pi / 2 * double(i) + std::numbers::pi / 4));
        double most = 0;
        // Output m of the upsampled signal: the sum over n of taps[n] * x[(m - n) / 4].
        for (long m = 0; m < long(4 * x.size() + 192); ++m) {
            double y = 0;
            for (long n = m % 4; n < 192; n += 4)
                if (const long i = (m - n) / 4; i >= 0 && i < long(x.size())) y += taps[size_t(n)] * x[size_t(i)];
            most = std::max(most, std::abs(y));
        }
        EXPECT_NEAR(Loudness::truePeak(x), most, 1e-5 * most) << offset;
    }
}

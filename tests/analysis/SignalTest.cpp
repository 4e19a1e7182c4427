#include "analysis/Signal.h"

#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qm;

TEST(Signal, MonoAveragesChannels) {
    const std::vector<float> one{0.1f, -0.7f, 0.3333f};
    EXPECT_EQ(Signal::mono({one}), one);
    EXPECT_EQ(Signal::mono({{1, 3}, {3, 5}}), (std::vector<float>{2, 4}));
    EXPECT_TRUE(Signal::mono({}).empty());
    EXPECT_EQ(Signal::mono({{1, 3, 9}, {3, 5}}), (std::vector<float>{2, 4}));  // the shorter length
}

TEST(Signal, RmsClampsItsRange) {
    const std::vector<float> x{3, 4, -1, 2, 5};
    EXPECT_FLOAT_EQ(Signal::rms(x, -5, 3), Signal::rms(x, 0, 3));
    EXPECT_FLOAT_EQ(Signal::rms(x, 0, 2), float(std::sqrt(12.5)));
    EXPECT_EQ(Signal::rms(x, 4, 4), 0);
    EXPECT_EQ(Signal::rms(x, 4, 1), 0);
    EXPECT_FLOAT_EQ(Signal::rms(x, 2, 15), float(std::sqrt(30.0 / 3)));
    EXPECT_EQ(Signal::rms({}, 0, 10), 0);
}

TEST(Signal, HannWindowIsSymmetric) {
    EXPECT_EQ(Signal::hanning(0), std::vector<float>{1.0f});
    EXPECT_EQ(Signal::hanning(1), std::vector<float>{1.0f});
    const auto w = Signal::hanning(5);
    const std::vector<float> want{0, 0.5f, 1, 0.5f, 0};
    ASSERT_EQ(w.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(w[i], want[i], 1e-7);
    const auto w1024 = Signal::hanning(1024);
    for (int i = 0; i < 512; ++i) EXPECT_EQ(w1024[i], w1024[1023 - i]);
}

TEST(Signal, AutocorrelationIsRawAndClampedToTheInput) {
    EXPECT_EQ(Signal::autocorrelation({1, 2, 3}, 10), (std::vector<float>{14, 8, 3}));
    EXPECT_EQ(Signal::autocorrelation({1, 2, 3}, 0), (std::vector<float>{14}));
    EXPECT_EQ(Signal::autocorrelation({1, 2, 3}, 2), (std::vector<float>{14, 8}));
    EXPECT_EQ(Signal::autocorrelation({}, 4), (std::vector<float>{0}));
}

TEST(RealFFT, MagnitudesAreTheUnnormalisedDFTModuli) {
    RealFFT fft(4);
    EXPECT_EQ(fft.log2n, 2u);
    const float ones[4] = {1, 1, 1, 1};
    float mags[3];
    fft.magnitudes(ones, mags);
    EXPECT_FLOAT_EQ(mags[0], 4);
    EXPECT_NEAR(mags[1], 0, 1e-6);
    EXPECT_NEAR(mags[2], 0, 1e-6);

    RealFFT big(1024);
    std::vector<float> x(1024);
    for (int j = 0; j < 1024; ++j) x[j] = 0.5f * float(std::cos(2 * M_PI * 10 * j / 1024)) - 0.25f * ((j & 1) ? -1 : 1);
    std::vector<float> m(513);
    big.magnitudes(x.data(), m.data());
    EXPECT_NEAR(m[10], 256, 1e-2);  // amplitude a at bin k: a n / 2
    EXPECT_NEAR(m[512], 256, 1e-2);  // Nyquist: a n
    EXPECT_NEAR(m[0], 0, 1e-2);
    EXPECT_THROW(RealFFT(1000), std::invalid_argument);
    EXPECT_THROW(RealFFT(1), std::invalid_argument);
}

TEST(Signal, ReadPlanarReadsWholeFiles) {
    test::TempDir dir;
    const auto empty = dir / "empty.wav";
    test::writeAudioFile(empty, test::Planar(3), 48000);
    const auto e = Signal::readPlanar(empty);
    EXPECT_EQ(e.channels.size(), 3u);
    for (const auto& c : e.channels) EXPECT_TRUE(c.empty());
    EXPECT_EQ(e.sampleRate, 48000);

    const auto stereo = dir / "stereo.wav";
    const auto sig = test::staircaseSignal(2, 5000);
    test::writeAudioFile(stereo, sig, 44100, {.bits = 16});
    const auto s = Signal::readPlanar(stereo);
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.channels, sig);

    EXPECT_THROW(Signal::readPlanar(dir / "missing.wav"), AppError);
}

TEST(Signal, ResampleChangesTheRateOrSaysItCouldNot) {
    std::vector<float> x(44100);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(2 * M_PI * 440 * double(i) / 44100));
    EXPECT_EQ(Signal::resample(x, 44100, 44100.4), x);
    EXPECT_TRUE(Signal::resample({}, 44100, 22050).empty());
    const auto half = Signal::resample(x, 44100, 22050);
    EXPECT_EQ(half.size(), 22050u);
    // The tone survives at its frequency: compare with a 440 Hz sine at 22 050 Hz.
    double err = 0;
    for (size_t i = 1000; i < 21000; ++i) err = std::max(err, std::fabs(half[i] - std::sin(2 * M_PI * 440 * double(i) / 22050)));
    EXPECT_LT(err, 1e-2);
    // No conversion possible: an empty result, never the input at its old rate.
    EXPECT_TRUE(Signal::resample(x, 0, 22050).empty());
    EXPECT_TRUE(Signal::resample(x, 44100, -1).empty());
    EXPECT_TRUE(Signal::resample(x, std::nan(""), 22050).empty());
}

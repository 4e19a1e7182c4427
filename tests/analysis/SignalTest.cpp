#include "analysis/Signal.h"

#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/Signals.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

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

// Prepared transforms are handed from one RealFFT to the next of its size,
// from any thread (the editor and the batch analyse at once): a transform
// taken from the shelf, whichever size was prepared before it or on
// another thread, gives the same moduli as the first one made.
TEST(RealFFT, PreparedTransformsServeTheNextOfTheirSizeOnAnyThread) {
    struct Case {
        std::vector<float> x, m;
    };
    const auto expected = [](int n) {
        Case c{std::vector<float>(size_t(n)), std::vector<float>(size_t(n / 2 + 1))};
        for (int j = 0; j < n; ++j) c.x[size_t(j)] = float(std::sin(0.37 * j) + 0.1 * (j % 7));
        RealFFT(n).magnitudes(c.x.data(), c.m.data());
        return c;
    };
    const Case small = expected(256), large = expected(2048);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<float> m(1025);
            for (int k = 0; k < 200; ++k) {
                const Case& c = (k + t) % 2 == 0 ? large : small;
                RealFFT fft(int(c.x.size()));
                fft.magnitudes(c.x.data(), m.data());
                if (!std::equal(c.m.begin(), c.m.end(), m.begin())) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
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

// The analysis converts as it reads: any split of the input into blocks,
// folded from one, two or three channels, gives the samples of one whole
// conversion of their mono; halving rates go through the half-band filter,
// other ratios through the platform's converter.
TEST(RateConverter, BlocksGiveTheWholeConversion) {
    uint64_t seed = 11;
    test::Planar ch(3, std::vector<float>(44100 * 2 + 1));
    for (auto& c : ch)
        for (auto& v : c) v = float(0.5 * test::uniformNoise(seed));
    for (size_t count : {1u, 2u, 3u}) {
        const test::Planar used(ch.begin(), ch.begin() + std::ptrdiff_t(count));
        const auto mono = Signal::mono(used);
        for (double from : {44100.0, 88200.0, 176400.0, 48000.0}) {
            const auto whole = Signal::resample(mono, from, 22050);
            EXPECT_EQ(whole.size(), size_t(std::llround(double(mono.size()) * 22050 / from))) << from;
            for (size_t block : {1u, 7u, 4096u, 65536u}) {
                Signal::RateConverter r(from, 22050, mono.size());
                for (size_t at = 0; at < mono.size(); at += block) {
                    std::vector<const float*> ptrs;
                    for (const auto& c : used) ptrs.push_back(c.data() + at);
                    r.push(ptrs.data(), int(count), std::min(block, mono.size() - at));
                }
                EXPECT_EQ(r.finish(), whole) << count << " channels from " << from << " in blocks of " << block;
            }
        }
    }
    Signal::RateConverter same(22050, 22050);
    same.push(ch[0].data(), ch[0].size());
    EXPECT_EQ(same.finish(), ch[0]);
    Signal::RateConverter unusable(0, 22050);
    unusable.push(ch[0].data(), ch[0].size());
    EXPECT_TRUE(unusable.finish().empty());
}

TEST(RateConverter, HalvingPassesTheBandAndRejectsWhatWouldFoldIntoIt) {
    const auto level = [](double hz) {
        const auto y = Signal::resample(test::sine(hz, 0.5, 44100, 44100), 44100, 22050);
        return Signal::rms(y, 2000, 20000) * std::sqrt(2.0f) / 0.5f;
    };
    EXPECT_NEAR(level(440), 1.0, 1e-3);
    EXPECT_NEAR(level(9000), 1.0, 1e-3);   // 0.82 of the new Nyquist frequency
    EXPECT_LT(level(13300), 1e-5);         // folds to 8750 Hz: 100 dB down
    EXPECT_LT(level(20000), 1e-5);
    // Output sample j stands for input sample 2j: a click stays in place, and
    // only the centre and the odd offsets of the filter carry weight.
    std::vector<float> click(1001, 0.0f);
    click[500] = 1.0f;
    const auto y = Signal::resample(click, 44100, 22050);
    EXPECT_EQ(std::max_element(y.begin(), y.end()) - y.begin(), 250);
    const auto& taps = Signal::RateConverter::halfBand();
    EXPECT_EQ(taps[0], 0.5f);
    EXPECT_EQ(y[250], 0.5f);
    EXPECT_EQ(y[251], 0.0f);  // input 502: an even offset
    EXPECT_EQ(y[249], 0.0f);
    double sum = taps[0];
    for (size_t j = 1; j < taps.size(); ++j) sum += 2 * taps[j];
    EXPECT_NEAR(sum, 1.0, 1e-6);
}

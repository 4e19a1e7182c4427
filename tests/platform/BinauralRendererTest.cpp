#include "platform/BinauralRenderer.h"

#include "platform/AppError.h"

#include <mysofa.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <thread>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

using namespace qm;

namespace {

constexpr double rate = 48000.0;

// Renders whole signals through the renderer in calls of varying sizes
// (odd ones, a full 4096 and partial blocks), so block handling is exercised.
void renderAll(BinauralRenderer& r, const std::vector<std::vector<float>>& in,
               std::vector<float>& left, std::vector<float>& right) {
    size_t n = in.front().size();
    left.assign(n, 0.0f);
    right.assign(n, 0.0f);
    const uint32_t sizes[] = {37, 4096, 1000, 128, 1, 333, 2048};
    size_t at = 0;
    for (int i = 0; at < n; ++i) {
        uint32_t k = std::min<uint32_t>(sizes[i % 7], static_cast<uint32_t>(n - at));
        std::vector<const float*> ptrs;
        for (const auto& ch : in) ptrs.push_back(ch.data() + at);
        ASSERT_TRUE(r.render(ptrs.data(), static_cast<int>(ptrs.size()), k, left.data() + at,
                             right.data() + at));
        at += k;
    }
}

std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h) {
    std::vector<float> y(x.size(), 0.0f);
    for (size_t t = 0; t < x.size(); ++t) {
        if (x[t] == 0.0f) continue;
        for (size_t j = 0; j < h.size() && t + j < y.size(); ++j) y[t + j] += x[t] * h[j];
    }
    return y;
}

double energy(const std::vector<float>& x, size_t from = 0) {
    double e = 0;
    for (size_t i = from; i < x.size(); ++i) e += double(x[i]) * x[i];
    return e;
}

double levelDifferenceDb(const std::vector<float>& l, const std::vector<float>& r, size_t from) {
    return 10.0 * std::log10(energy(l, from) / energy(r, from));
}

// Interaural time difference as the lag (within 1.5 ms) that maximises the
// cross-correlation of the ears, refined by a parabola through the peak;
// positive when the left ear leads.
double timeDifferenceMs(const std::vector<float>& l, const std::vector<float>& r, size_t from) {
    const int maxLag = static_cast<int>(0.0015 * rate);
    std::vector<double> c(2 * maxLag + 1, 0.0);
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double s = 0;
        for (size_t t = from + maxLag; t + maxLag < l.size(); ++t) s += double(l[t]) * r[t + lag];
        c[lag + maxLag] = s;
    }
    int best = 0;
    for (int i = 1; i < static_cast<int>(c.size()); ++i) {
        if (c[i] > c[best]) best = i;
    }
    double off = 0;
    if (best > 0 && best + 1 < static_cast<int>(c.size())) {
        double a = c[best - 1], b = c[best], d = c[best + 1];
        off = 0.5 * (a - d) / (a - 2 * b + d);
    }
    return (best - maxLag + off) / rate * 1000.0;
}

// Windowed-sinc low-pass: the ear judges time differences below about 1.5 kHz.
std::vector<float> lowPass(const std::vector<float>& x, double cutoff) {
    const int half = 200;
    std::vector<float> h(2 * half + 1);
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        double w = 0.5 + 0.5 * std::cos(std::numbers::pi * i / half);
        double f = 2 * cutoff / rate;
        double v = i == 0 ? f : std::sin(std::numbers::pi * f * i) / (std::numbers::pi * i);
        h[i + half] = static_cast<float>(v * w);
        sum += v * w;
    }
    for (auto& v : h) v = static_cast<float>(v / sum);
    return convolve(x, h);
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> x(n);
    for (auto& v : x) v = u(rng);
    return x;
}

}  // namespace

TEST(BinauralRenderer, EqualsDirectConvolutionWithItsResponsesThroughSilencesAndOddCallSizes) {
    BinauralRenderer r(rate);
    EXPECT_EQ(r.latencyFrames(), BinauralRenderer::blockSize + r.limiterLookahead());
    EXPECT_GT(r.limiterLookahead(), 0);
    r.setDirection(3, 30.0, 10.0);
    r.setDirection(17, -120.0, -20.0);
    const size_t n = 24000;
    std::vector<std::vector<float>> in(18, std::vector<float>(n, 0.0f));
    // Below the limiter's threshold: what comes out is the convolution alone.
    in[3] = noise(n, 1);
    in[17] = noise(n, 2);
    for (auto* x : {&in[3], &in[17]})
        for (float& v : *x) v *= 0.25f;
    // Long silences let a source's history go quiet and its work be skipped;
    // it must come back exactly.
    std::fill(in[3].begin() + 3000, in[3].begin() + 9000, 0.0f);
    std::fill(in[17].begin() + 100, in[17].begin() + 15000, 0.0f);
    in[17][7000] = 0.5f;  // a lone impulse inside the silence
    std::vector<float> left, right;
    renderAll(r, in, left, right);

    std::vector<float> l3, r3, l17, r17;
    r.impulseResponse(30.0, 10.0, l3, r3);
    r.impulseResponse(-120.0, -20.0, l17, r17);
    auto refL = convolve(in[3], l3), refR = convolve(in[3], r3);
    auto addL = convolve(in[17], l17), addR = convolve(in[17], r17);
    const size_t lat = static_cast<size_t>(r.latencyFrames());
    // The first block fades from the starting direction to the ones set.
    double worst = 0;
    size_t at = 0;
    for (size_t t = lat; t + lat < n; ++t) {
        worst = std::max(worst, double(std::abs(left[t + lat] - (refL[t] + addL[t]))));
        worst = std::max(worst, double(std::abs(right[t + lat] - (refR[t] + addR[t]))));
        if (worst > 1e-5 && !at) at = t;
    }
    EXPECT_EQ(at, 0u);
    EXPECT_LT(worst, 1e-5);
    for (size_t t = 0; t < lat; ++t) ASSERT_EQ(left[t], 0.0f);
}

TEST(BinauralRenderer, SourceAtNinetyDegreesLeftHasTheSetsLevelAndTimeDifferences) {
    BinauralRenderer r(rate);
    const size_t n = 96000;
    std::vector<std::vector<float>> in{noise(n, 7)};
    std::vector<float> left, right;

    r.setDirection(0, 90.0, 0.0);
    renderAll(r, in, left, right);
    std::vector<float> irL, irR;
    r.impulseResponse(90.0, 0.0, irL, irR);
    const double setIld = 10.0 * std::log10(energy(irL) / energy(irR));
    const size_t settle = 2048;
    const double ild = levelDifferenceDb(left, right, settle);
    // Time differences are judged below about 1.5 kHz; the broadband figure
    // is reported alongside.
    const double itd = timeDifferenceMs(lowPass(left, 1500), lowPass(right, 1500), settle);
    const double broadband = timeDifferenceMs(left, right, settle);
    irL.resize(4096);
    irR.resize(4096);
    const double setItd = timeDifferenceMs(lowPass(irL, 1500), lowPass(irR, 1500), 0);
    std::printf("90 deg left: ILD %.2f dB (set %.2f dB), ITD %.3f ms below 1.5 kHz "
                "(set %.3f ms), %.3f ms broadband\n",
                ild, setIld, itd, setItd, broadband);
    RecordProperty("ild_db", std::to_string(ild));
    RecordProperty("itd_ms", std::to_string(itd));
    EXPECT_GT(ild, 6.0);
    EXPECT_NEAR(ild, setIld, 0.5);
    EXPECT_NEAR(itd, setItd, 0.02);
    EXPECT_GE(itd, 0.6);
    EXPECT_LE(itd, 0.75);

    // The mirror image: right ear louder and earlier.
    r.reset();
    r.setDirection(0, -90.0, 0.0);
    renderAll(r, in, left, right);
    EXPECT_NEAR(levelDifferenceDb(left, right, settle), -ild, 1.0);
    EXPECT_NEAR(timeDifferenceMs(lowPass(left, 1500), lowPass(right, 1500), settle), -itd, 0.05);

    r.reset();
    r.setDirection(0, 0.0, 0.0);
    renderAll(r, in, left, right);
    const double front = levelDifferenceDb(left, right, settle);
    std::printf("straight ahead: ear difference %.2f dB\n", front);
    EXPECT_LT(std::abs(front), 1.0);
}

TEST(BinauralRenderer, MovingASourceCrossfadesWithoutAStep) {
    BinauralRenderer r(rate);
    r.setDirection(0, 90.0, 0.0);
    const size_t n = 48000;
    std::vector<float> sine(n);
    for (size_t t = 0; t < n; ++t) sine[t] = 0.5f * std::sin(2 * std::numbers::pi * 440.0 * t / rate);
    std::vector<float> left(n), right(n);
    const float* src = sine.data();
    size_t at = 0;
    // Move every 1000 frames between hard left and hard right.
    for (int i = 0; at < n; ++i) {
        uint32_t k = std::min<uint32_t>(1000, static_cast<uint32_t>(n - at));
        const float* p = src + at;
        ASSERT_TRUE(r.render(&p, 1, k, left.data() + at, right.data() + at));
        at += k;
        r.setDirection(0, i % 2 ? 90.0 : -90.0, 0.0);
    }
    // The largest step between neighbouring samples stays what a 440 Hz
    // sine through these responses gives in steady state: no click.
    float steady = 0, overall = 0;
    for (size_t t = 4001; t < n; ++t) {
        float d = std::max(std::abs(left[t] - left[t - 1]), std::abs(right[t] - right[t - 1]));
        overall = std::max(overall, d);
    }
    BinauralRenderer ref(rate);
    ref.setDirection(0, 90.0, 0.0);
    std::vector<std::vector<float>> in{sine};
    std::vector<float> sl, sr;
    renderAll(ref, in, sl, sr);
    for (size_t t = 4001; t < n; ++t) steady = std::max(steady, std::abs(sl[t] - sl[t - 1]));
    EXPECT_LT(overall, steady * 1.2f);
    // The last position holds after the fades: the source ended on the right.
    EXPECT_LT(energy(std::vector<float>(left.end() - 800, left.end())),
              energy(std::vector<float>(right.end() - 800, right.end())));
}

TEST(BinauralRenderer, RefusesOversizedCallsAndMissingSets) {
    BinauralRenderer r(rate);
    std::vector<float> buf(5000, 0.0f), l(5000, 1.0f), rr(5000, 1.0f);
    const float* p = buf.data();
    EXPECT_FALSE(r.render(&p, 1, 5000, l.data(), rr.data()));
    EXPECT_EQ(l[0], 1.0f);
    EXPECT_FALSE(r.render(&p, 33, 16, l.data(), rr.data()));
    EXPECT_THROW(BinauralRenderer(rate, "/nonexistent/set.sofa"), AppError);
    // Rates no device or file has: a response shorter than one block would
    // leave no partition to render with, a huge one would exhaust memory.
    for (double absurd : {0.0, 10.0, 40.0, 2147483647.0})
        EXPECT_THROW(BinauralRenderer{absurd}, AppError) << absurd;
    // Other device rates resample the set, keeping its frequency response.
    BinauralRenderer r96(96000.0);
    EXPECT_GT(r96.filterLength(), r.filterLength() * 3 / 2);
    auto magnitudeDb = [](const std::vector<float>& h, double f, double fs) {
        double re = 0, im = 0;
        for (size_t i = 0; i < h.size(); ++i) {
            re += h[i] * std::cos(2 * std::numbers::pi * f * i / fs);
            im -= h[i] * std::sin(2 * std::numbers::pi * f * i / fs);
        }
        return 10 * std::log10(re * re + im * im);
    };
    std::vector<float> l48, r48, l96, rr96;
    r.impulseResponse(45.0, 0.0, l48, r48);
    r96.impulseResponse(45.0, 0.0, l96, rr96);
    for (double f : {500.0, 2000.0, 8000.0}) {
        EXPECT_NEAR(magnitudeDb(l48, f, 48000.0), magnitudeDb(l96, f, 96000.0), 0.5) << f << " Hz";
    }
}

TEST(BinauralRenderer, SourcesMoveWhileTheRenderThreadRuns) {
    BinauralRenderer r(rate);
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    float peak = 0;
    bool finite = true;
    std::thread render([&] {
        std::vector<float> in(256), l(256), rr(256);
        std::vector<const float*> src(BinauralRenderer::maxSources, in.data());
        long t = 0;
        while (!stop.load()) {
            for (int i = 0; i < 256; ++i) in[i] = 0.1f * std::sin(0.05f * static_cast<float>(t + i));
            r.render(src.data(), BinauralRenderer::maxSources, 256, l.data(), rr.data());
            for (int i = 0; i < 256; ++i) {
                finite = finite && std::isfinite(l[i]) && std::isfinite(rr[i]);
                peak = std::max({peak, std::abs(l[i]), std::abs(rr[i])});
            }
            t += 256;
            frames.store(t);
        }
    });
    // Every source swings around the head while the render thread pulls.
    for (int step = 0; step < 60 || frames.load() < 48000; ++step) {
        for (int s = 0; s < BinauralRenderer::maxSources; ++s) {
            r.setDirection(s, (step * 37 + s * 11) % 360 - 180.0, (step * 13 + s * 7) % 120 - 60.0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    render.join();
    EXPECT_TRUE(finite);
    EXPECT_GT(peak, 0.0f);
    EXPECT_LT(peak, 32 * 0.1f * 4.0f);
}

namespace {

std::complex<double> responseAt(const std::vector<float>& h, double hz, double fs) {
    std::complex<double> sum = 0;
    for (size_t i = 0; i < h.size(); ++i) sum += double(h[i]) * std::polar(1.0, -2 * std::numbers::pi * hz * i / fs);
    return sum;
}

// The level difference between the ears at one frequency, in dB, and the
// time by which the left ear leads there (from the phase difference), in ms.
std::pair<double, double> interaural(const std::vector<float>& l, const std::vector<float>& r, double hz, double fs) {
    const std::complex<double> ratio = responseAt(l, hz, fs) / responseAt(r, hz, fs);
    return {20 * std::log10(std::abs(ratio)), -std::arg(ratio) / (2 * std::numbers::pi * hz) * 1000.0};
}

}  // namespace

// The set was measured at the ear drum: every direction carries the ear
// canal's resonance, +13 dB near 2.3 kHz, on top of what the direction
// itself does. One filter common to all directions and both ears takes it
// out; what tells directions apart (the level and time differences between
// the ears, frequency by frequency) stays the set's own.
TEST(BinauralRenderer, TheEqualiserTakesOutWhatEveryDirectionSharesAndKeepsTheCues) {
    int err = 0, length = 0;
    MYSOFA_EASY* set = mysofa_open(BinauralRenderer::defaultHRTFPath().c_str(), 44100.0f, &length, &err);
    ASSERT_TRUE(set) << err;
    const double fs = set->hrtf->DataSamplingRate.values[0];
    BinauralRenderer r(fs);  // at the set's own rate: no resampling in between
    std::vector<float> rawL(static_cast<size_t>(length)), rawR(static_cast<size_t>(length)), l, rr;
    double worstIld = 0, worstItd = 0;
    for (const auto& [az, el] : {std::pair{90.0, 0.0}, {30.0, 0.0}, {-135.0, 0.0}, {45.0, 45.0}, {0.0, 0.0}}) {
        const double a = az * std::numbers::pi / 180, e = el * std::numbers::pi / 180;
        float dl = 0, dr = 0;
        mysofa_getfilter_float(set, static_cast<float>(std::cos(e) * std::cos(a)),
                               static_cast<float>(std::cos(e) * std::sin(a)), static_cast<float>(std::sin(e)),
                               rawL.data(), rawR.data(), &dl, &dr);
        r.impulseResponse(az, el, l, rr);
        for (double hz : {250.0, 500.0, 800.0, 1000.0, 2000.0, 2300.0, 4000.0, 6300.0, 10000.0}) {
            const auto [ild, itd] = interaural(l, rr, hz, fs);
            const auto [setIld, setItd] = interaural(rawL, rawR, hz, fs);
            worstIld = std::max(worstIld, std::abs(ild - setIld));
            EXPECT_NEAR(ild, setIld, 0.2) << az << "/" << el << " at " << hz << " Hz";
            // Time differences count where the ear follows the phase.
            if (hz <= 1000.0) {
                worstItd = std::max(worstItd, std::abs(itd - setItd));
                EXPECT_NEAR(itd, setItd, 0.005) << az << "/" << el << " at " << hz << " Hz";
            }
        }
        // The resonance is gone: near 2.3 kHz a frontal source rose 13 dB
        // above its level at 500 Hz; now it is within a few dB.
        if (az == 0.0) {
            auto rise = [&](const std::vector<float>& h) {
                return 20 * std::log10(std::abs(responseAt(h, 2300, fs)) / std::abs(responseAt(h, 500, fs)));
            };
            EXPECT_GT(rise(rawL), 15.0) << "the set as measured";
            EXPECT_LT(rise(l), 6.0);
        }
    }
    mysofa_close(set);
    std::printf("against the set's own responses: level differences within %.3f dB, "
                "time differences within %.4f ms\n", worstIld, worstItd);
}

// The ears pass a safety limiter: below its threshold the output is linear
// (a signal and its half give outputs in the ratio 2, bit for bit once the
// gain is back at 1), above it no sample exceeds it, both ears always get
// the same gain (their level difference holds), and after the loud stretch
// the gain comes back within a second, to exactly 1, and stays.
TEST(BinauralRenderer, TheSafetyLimiterActsOnlyAboveItsThresholdAndOnBothEarsAlike) {
    const size_t n = 144000;
    std::vector<float> x = noise(n, 11);
    // Quiet, then 200 ms forty times as loud, then quiet again.
    for (size_t t = 0; t < n; ++t) x[t] *= t >= 20000 && t < 29600 ? 4.0f : 0.1f;
    std::vector<float> half = x;
    for (float& v : half) v *= 0.5f;
    BinauralRenderer a(rate), b(rate), quiet(rate);
    for (auto* r : {&a, &b, &quiet}) r->setDirection(0, 60.0, 0.0);
    std::vector<float> al, ar, bl, br, ql, qr;
    renderAll(a, {x}, al, ar);
    renderAll(b, {half}, bl, br);
    std::vector<float> tiny = x;
    for (float& v : tiny) v *= 0.01f;
    renderAll(quiet, {tiny}, ql, qr);  // never near the threshold: the linear reference

    float peak = 0;
    for (size_t t = 0; t < n; ++t) peak = std::max({peak, std::abs(al[t]), std::abs(ar[t])});
    EXPECT_LE(peak, BinauralRenderer::limiterThreshold);
    EXPECT_GT(peak, 0.85f * BinauralRenderer::limiterThreshold) << "the loud stretch reached the limiter";

    // Where the limiter acts, both ears are scaled alike.
    double worstLinkDb = 0;
    for (size_t t = 20500; t < 29000; ++t) {
        if (std::abs(ql[t]) < 1e-4f || std::abs(qr[t]) < 1e-4f) continue;
        const double gl = al[t] / (100.0 * ql[t]), gr = ar[t] / (100.0 * qr[t]);
        worstLinkDb = std::max(worstLinkDb, std::abs(20 * std::log10(gl / gr)));
    }
    EXPECT_LT(worstLinkDb, 0.01);

    // Before the loud stretch, and once the gain is back, linear: no pumping.
    auto linearFrom = [&](size_t from, size_t to) {
        double worst = 0;
        for (size_t t = from; t < to; ++t)
            worst = std::max({worst, std::abs(double(al[t]) - 100.0 * ql[t]), std::abs(double(ar[t]) - 100.0 * qr[t])});
        return worst;
    };
    EXPECT_LT(linearFrom(0, 19000), 5e-5);
    EXPECT_LT(linearFrom(29600 + 48000, n), 5e-5) << "the gain came back within a second";
    // Below the threshold the half signal is the half output, exactly where no gain acted.
    for (size_t t = 29600 + 48000; t < n; ++t) ASSERT_FLOAT_EQ(bl[t] * 2.0f, al[t]) << t;
}

// The whole upmix (planner, storage, kernel) on generated stereo: where a
// centred signal and uncorrelated noise end up, and how a fold-down of the
// upmix compares with its input.
#include "spatial/MixBuilder.h"
#include "spatial/Upmixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace qm {
namespace {

using S = SpeakerID;
constexpr double kRate = 48000;
constexpr size_t kFrames = 3 * 48000;
constexpr size_t kSettle = 12000;  // averages and overlap settled

std::vector<float> noise(unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, 0.2f);
    std::vector<float> v(kFrames);
    for (auto& x : v) x = d(rng);
    return v;
}

std::vector<std::vector<float>> upmix(LayoutID id, const UpmixParams& params, const std::vector<float>& l,
                                      const std::vector<float>& r) {
    ManualMainQueue q;
    const auto T = layout::speakers(id);
    auto u = Upmixer::create(2, static_cast<int>(T.size()), kRate, q);
    u->apply({{S::L, S::R}, T, params});
    std::vector<std::vector<float>> out(T.size(), std::vector<float>(kFrames));
    std::vector<float*> op;
    for (auto& o : out) op.push_back(o.data());
    const float* ip[] = {l.data(), r.data()};
    mn_upmix_process(u->raw(), ip, static_cast<int>(kFrames), op.data());
    return out;
}

double energy(const std::vector<float>& v) {
    double e = 0;
    for (size_t i = kSettle; i < v.size(); ++i) e += double(v[i]) * v[i];
    return e;
}

double dB(double ratio) { return 10 * std::log10(std::max(ratio, 1e-30)); }

struct Split {
    double front = 0, ambience = 0;  // front: L, R, C; ambience: every other non-LFE speaker
};

Split split(LayoutID id, const std::vector<std::vector<float>>& out) {
    const auto T = layout::speakers(id);
    Split s;
    for (size_t o = 0; o < T.size(); ++o) {
        if (T[o] == S::LFE) continue;
        (T[o] == S::L || T[o] == S::R || T[o] == S::C ? s.front : s.ambience) += energy(out[o]);
    }
    return s;
}

void report(const std::string& what, double value) {
    std::printf("[upmix figure] %s: %.2f dB\n", what.c_str(), value);
    ::testing::Test::RecordProperty(what, std::to_string(value));
}

std::string tag(LayoutID id) { return id == LayoutID::l714 ? ", 7.1.4" : ", 9.1.6"; }
std::string name(UpmixPreset p) { return std::string(upmixPreset::rawValue(p)); }

TEST(UpmixSignal, CentredSignalStaysInFront) {
    const auto n = noise(1);
    for (LayoutID id : {LayoutID::l714, LayoutID::l916}) {
        const auto out = upmix(id, upmixPreset::params(UpmixPreset::music), n, n);
        const Split s = split(id, out);
        const double c = energy(out[2]);
        const double surround = dB(s.ambience / s.front);
        report("centre: surrounds vs front" + tag(id), surround);
        report("centre: C share of front" + tag(id), dB(c / s.front));
        EXPECT_LT(surround, -20.0);
        EXPECT_GT(c / s.front, 0.5);  // the music preset spreads 3/7 of the centre to L and R
    }
}

TEST(UpmixSignal, UncorrelatedNoiseGoesToTheAmbience) {
    const auto l = noise(2), r = noise(3);
    for (LayoutID id : {LayoutID::l714, LayoutID::l916}) {
        for (UpmixPreset preset : {UpmixPreset::music, UpmixPreset::film}) {
            const auto out = upmix(id, upmixPreset::params(preset), l, r);
            const Split s = split(id, out);
            const double share = s.ambience / (s.ambience + s.front);
            const std::string what = "noise: ambience share, " + name(preset) + tag(id);
            report(what, dB(share));
            EXPECT_GT(share, 0.5) << what;
        }
    }
}

// Folds the upmix back onto [L, R] with the plain layout matrix and compares
// it with the input, N frames earlier.
struct FoldError {
    double residualDB;  // energy of (fold-down - input) against the input
    double levelDB;     // energy of the fold-down against the input
};

FoldError foldBack(LayoutID id, const UpmixParams& p, const std::vector<float>& l, const std::vector<float>& r) {
    const auto T = layout::speakers(id);
    const auto out = upmix(id, p, l, r);
    const Matrix F = MixBuilder::layoutMatrix(SourceFormat::speakers(T), static_cast<int>(T.size()),
                                              {S::L, S::R}, ListenMode::normal, Rotation{}, true);
    const size_t N = static_cast<size_t>(Upmixer::fftSizeFor(kRate));
    double err = 0, sig = 0, got = 0;
    for (size_t i = kSettle; i < kFrames; ++i) {
        for (int side = 0; side < 2; ++side) {
            double y = 0;
            for (size_t o = 0; o < T.size(); ++o) y += F[side][o] * out[o][i];
            const double x = (side == 0 ? l : r)[i - N];
            err += (y - x) * (y - x);
            sig += x * x;
            got += y * y;
        }
    }
    return {dB(err / sig), dB(got / sig)};
}

TEST(UpmixSignal, FoldDownReturnsTheInput) {
    // A mixed scene: a centred part, a part panned left and independent
    // noise on each side.
    const auto a = noise(4), b = noise(5), c = noise(6), d = noise(7);
    std::vector<float> l(kFrames), r(kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
        l[i] = 0.6f * a[i] + 0.5f * b[i] + 0.4f * c[i];
        r[i] = 0.6f * a[i] + 0.1f * b[i] + 0.4f * d[i];
    }
    for (LayoutID id : {LayoutID::l714, LayoutID::l916}) {
        // Exact mode promises the source back from a fold-down.
        const FoldError exact = foldBack(id, upmixPreset::params(UpmixPreset::broadcast), l, r);
        report("fold-down residual, exact (broadcast)" + tag(id), exact.residualDB);
        EXPECT_LT(exact.residualDB, -60.0);
        EXPECT_NEAR(exact.levelDB, 0.0, 0.01);
        // The ordinary presets only keep the level roughly: the ambience is
        // raised, decorrelated and delayed.
        for (UpmixPreset preset : {UpmixPreset::music, UpmixPreset::film}) {
            UpmixParams p = upmixPreset::params(preset);
            p.lfe = UpmixParams::LFEMode::off;
            const FoldError e = foldBack(id, p, l, r);
            report("fold-down level, " + name(preset) + tag(id), e.levelDB);
            report("fold-down residual, " + name(preset) + tag(id), e.residualDB);
            EXPECT_LT(std::fabs(e.levelDB), 3.0) << name(preset) << tag(id);
        }
    }
}

}  // namespace
}  // namespace qm

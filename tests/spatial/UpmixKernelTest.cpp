#include "spatial/UpmixFFT.h"
#include "rt/mn_upmix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

using Signal = std::vector<std::vector<float>>;

struct Ctx {
    mn_upmix* raw;
    explicit Ctx(int in, int out, int n = 1024, double sr = 48000)
        : raw(mn_upmix_create(in, out, n, sr, qm::UpmixFFT::ops())) {}
    ~Ctx() { mn_upmix_destroy(raw); }
};

std::vector<float> noise(size_t frames, unsigned seed, float level = 0.25f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, level);
    std::vector<float> v(frames);
    for (auto& x : v) x = d(rng);
    return v;
}

// Runs `frames` of every input through the kernel in calls of `block`.
Signal run(mn_upmix* c, const Signal& in, int outs, int block = 512) {
    const size_t frames = in.empty() ? 0 : in[0].size();
    Signal out(outs, std::vector<float>(frames));
    std::vector<const float*> ip(in.size());
    std::vector<float*> op(outs);
    for (size_t at = 0; at < frames;) {
        const int n = static_cast<int>(std::min<size_t>(block, frames - at));
        for (size_t i = 0; i < in.size(); ++i) ip[i] = in[i].data() + at;
        for (int o = 0; o < outs; ++o) op[o] = out[o].data() + at;
        mn_upmix_process(c, ip.data(), n, op.data());
        at += n;
    }
    return out;
}

double energy(const std::vector<float>& v, size_t from = 0) {
    double e = 0;
    for (size_t i = from; i < v.size(); ++i) e += double(v[i]) * v[i];
    return e;
}

// Owns the arrays a hand-made plan points at.
struct PlanBox {
    std::vector<int32_t> pairIn, ownL, ownR, routeIn, routeOut;
    std::vector<float> direct, ambL, ambR, foldL, foldR, routeGain, delay;
    mn_upmix_plan plan{};
    const mn_upmix_plan* bind() {
        plan.pair_in = pairIn.empty() ? nullptr : pairIn.data();
        plan.direct = direct.empty() ? nullptr : direct.data();
        plan.amb_l = ambL.empty() ? nullptr : ambL.data();
        plan.amb_r = ambR.empty() ? nullptr : ambR.data();
        plan.own_l = ownL.empty() ? nullptr : ownL.data();
        plan.own_r = ownR.empty() ? nullptr : ownR.data();
        plan.fold_l = foldL.empty() ? nullptr : foldL.data();
        plan.fold_r = foldR.empty() ? nullptr : foldR.data();
        plan.route_in = routeIn.empty() ? nullptr : routeIn.data();
        plan.route_out = routeOut.empty() ? nullptr : routeOut.data();
        plan.route_gain = routeGain.empty() ? nullptr : routeGain.data();
        plan.routes = static_cast<int32_t>(routeIn.size());
        plan.delay = delay.empty() ? nullptr : delay.data();
        plan.lfe_out = plan.lfe_out == 0 && !plan.lfe_lp ? -1 : plan.lfe_out;
        return &plan;
    }
};

PlanBox route(int in, int out, float gain, int outs) {
    PlanBox b;
    b.routeIn = {in};
    b.routeOut = {out};
    b.routeGain = {gain};
    b.delay.assign(outs, 0.0f);
    return b;
}

// One pair (inputs 0, 1) with a three-step pan table: output 0 takes the
// direct part panned hard left, 1 the centre, 2 hard right; output 3 takes
// both ambient residuals.
PlanBox probe() {
    PlanBox b;
    const int outs = 4, S = 3;
    b.pairIn = {0, 1};
    b.plan.pairs = 1;
    b.plan.pan_steps = S;
    b.direct.assign(outs * S, 0.0f);
    b.direct[0 * S + 0] = 1;
    b.direct[1 * S + 1] = 1;
    b.direct[2 * S + 2] = 1;
    b.ambL = {0, 0, 0, 1};
    b.ambR = {0, 0, 0, 1};
    return b;
}

TEST(UpmixKernel, CreationLimits) {
    EXPECT_EQ(Ctx(17, 2).raw, nullptr);
    EXPECT_EQ(Ctx(0, 2).raw, nullptr);
    EXPECT_EQ(Ctx(2, 25).raw, nullptr);
    EXPECT_EQ(Ctx(2, 0).raw, nullptr);
    for (int n : {128, 16384, 1000}) EXPECT_EQ(Ctx(2, 2, n).raw, nullptr) << n;
    EXPECT_EQ(mn_upmix_create(2, 2, 1024, 48000, nullptr), nullptr);
    for (int n : {256, 8192}) {
        Ctx c(16, 24, n);
        ASSERT_NE(c.raw, nullptr);
        EXPECT_EQ(mn_upmix_bins(c.raw), n / 2 + 1);
        EXPECT_EQ(mn_upmix_latency(c.raw), n);
        EXPECT_EQ(mn_upmix_in_channels(c.raw), 16);
    }
}

TEST(UpmixKernel, TransformTableIsTheUnnormalisedDft) {
    // The kernel measures the round trip itself; the table must still be a
    // plain DFT so that bin k is frequency k sr/N in the planner's curves.
    const mn_fft_ops* f = qm::UpmixFFT::ops();
    void* setup = f->create(256);
    ASSERT_NE(setup, nullptr);
    std::vector<float> x(256, 0.0f), re(129), im(129), y(256);
    for (int j = 0; j < 256; ++j) x[j] = std::cos(2 * M_PI * 5 * j / 256);
    f->forward(setup, x.data(), re.data(), im.data());
    EXPECT_NEAR(re[5], 128.0f, 1e-3);  // N/2 for a unit cosine
    EXPECT_NEAR(re[6], 0.0f, 1e-3);
    f->inverse(setup, re.data(), im.data(), y.data());
    EXPECT_NEAR(y[7], 256.0f * x[7], 1e-3);  // round trip gain N
    f->destroy(setup);
}

TEST(UpmixKernel, UnitRoutePassesInputDelayedByFrameSize) {
    for (int n : {256, 1024, 4096}) {
        Ctx c(2, 3, n);
        PlanBox b = route(0, 0, 1.0f, 3);
        mn_upmix_set_plan(c.raw, b.bind());
        Signal in{noise(n * 6, 1), noise(n * 6, 2)};
        Signal out = run(c.raw, in, 3, 333);
        double maxErr = 0;
        for (size_t i = n; i < in[0].size(); ++i)
            maxErr = std::max(maxErr, double(std::fabs(out[0][i] - in[0][i - n])));
        EXPECT_LT(maxErr, 2e-6) << n;
        for (int i = 0; i < n; ++i) ASSERT_NEAR(out[0][i], 0.0f, 1e-6);
        EXPECT_EQ(energy(out[1]), 0.0);
        EXPECT_EQ(energy(out[2]), 0.0);
    }
}

TEST(UpmixKernel, SilentWithoutPlanAndDecaysAfterRemoval) {
    Ctx c(2, 2);
    Signal in{noise(8192, 3), noise(8192, 4)};
    Signal out = run(c.raw, in, 2);
    EXPECT_EQ(energy(out[0]) + energy(out[1]), 0.0);

    PlanBox b = route(0, 0, 1.0f, 2);
    mn_upmix_set_plan(c.raw, b.bind());
    out = run(c.raw, in, 2, 256);  // 8192 frames = whole hops
    EXPECT_GT(energy(out[0], 4096), 1.0);
    EXPECT_EQ(mn_upmix_set_plan(c.raw, nullptr), &b.plan);
    out = run(c.raw, in, 2, 256);
    EXPECT_GT(energy(out[0], 0), 0.0);  // the tail of earlier frames
    EXPECT_EQ(energy(out[0], 1024), 0.0);
}

TEST(UpmixKernel, PairSplitsDirectAndAmbientParts) {
    const size_t frames = 48000;
    const size_t from = 8192;  // after the averages settle
    auto shares = [&](const Signal& in) {
        Ctx c(2, 4);
        PlanBox b = probe();
        mn_upmix_set_plan(c.raw, b.bind());
        Signal out = run(c.raw, in, 4);
        std::vector<double> e;
        double total = 0;
        for (auto& o : out) total += e.emplace_back(energy(o, from));
        for (auto& x : e) x /= total;
        return e;
    };
    auto n = noise(frames, 5);
    auto centre = shares({n, n});
    EXPECT_GT(centre[1], 0.99);
    EXPECT_LT(centre[3], 0.005);

    auto left = shares({n, std::vector<float>(frames)});
    EXPECT_GT(left[0], 0.99);
    EXPECT_LT(left[1] + left[2] + left[3], 0.01);

    auto wide = shares({n, noise(frames, 6)});
    EXPECT_GT(wide[3], 0.8);
}

TEST(UpmixKernel, OutOfRangeIndicesAndTheNinthPairAreSkipped) {
    Signal in{noise(8192, 7), noise(8192, 8)};
    for (int bad : {-1, 2}) {
        Ctx c(2, 4);
        PlanBox b = probe();
        b.pairIn = {0, bad};
        mn_upmix_set_plan(c.raw, b.bind());
        Signal out = run(c.raw, in, 4);
        for (auto& o : out) EXPECT_EQ(energy(o), 0.0) << bad;
    }
    // Exact-mode own outputs outside the outputs are skipped.
    {
        Ctx c(2, 4);
        PlanBox b = probe();
        b.plan.exact = 1;
        b.ownL = {4};
        b.ownR = {-7};
        b.foldL.assign(4, 1.0f);
        b.foldR.assign(4, 1.0f);
        mn_upmix_set_plan(c.raw, b.bind());
        for (auto& o : run(c.raw, in, 4))
            for (float v : o) ASSERT_TRUE(std::isfinite(v));
    }
    // Nine pairs over the same inputs, pair p panned wholly onto output p.
    const int outs = 9, S = 2;
    Ctx c(2, outs);
    PlanBox b;
    b.plan.pairs = 9;
    b.plan.pan_steps = S;
    for (int p = 0; p < 9; ++p) b.pairIn.insert(b.pairIn.end(), {0, 1});
    b.direct.assign(9 * outs * S, 0.0f);
    b.ambL.assign(9 * outs, 0.0f);
    b.ambR.assign(9 * outs, 0.0f);
    for (int p = 0; p < 9; ++p) b.direct[(p * outs + p) * S] = b.direct[(p * outs + p) * S + 1] = 1;
    mn_upmix_set_plan(c.raw, b.bind());
    Signal out = run(c.raw, in, outs);
    for (int p = 0; p < 8; ++p) EXPECT_GT(energy(out[p]), 1.0) << p;
    EXPECT_EQ(energy(out[8]), 0.0);
}

TEST(UpmixKernel, DelayChangeCrossfadesOverOneHopAndResetAppliesAtOnce) {
    const int n = 1024, hop = 256;
    Ctx c(1, 1, n);
    PlanBox a = route(0, 0, 1.0f, 1);
    mn_upmix_set_plan(c.raw, a.bind());
    // A constant input makes the crossfade visible as a ramp from the old
    // signal to the delayed one.
    std::vector<float> ramp(hop * 40);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / float(ramp.size());
    Signal first = run(c.raw, {std::vector<float>(ramp.begin(), ramp.begin() + hop * 20)}, 1, hop);
    PlanBox d = route(0, 0, 1.0f, 1);
    d.delay = {480.0f};
    mn_upmix_set_plan(c.raw, d.bind());
    Signal second = run(c.raw, {std::vector<float>(ramp.begin() + hop * 20, ramp.end())}, 1, hop);
    // The frame at the boundary is played during the following hop.
    const size_t at = hop;  // first sample of the crossfaded hop
    for (int j = 0; j < 4 * hop; ++j) {
        const double u = std::min(double(j + 1) / hop, 1.0);
        const size_t t = hop * 20 + at + j;  // absolute output time
        const double oldV = ramp[t - n], newV = ramp[t - n - 480];
        EXPECT_NEAR(second[0][at + j], (1 - u) * oldV + u * newV, 1e-5) << j;
    }

    mn_upmix_reset(c.raw);
    Signal after = run(c.raw, {ramp}, 1, hop);
    for (size_t i = 0; i < ramp.size(); ++i) {
        const double want = i >= size_t(n + 480) ? ramp[i - n - 480] : 0.0;
        ASSERT_NEAR(after[0][i], want, 1e-5) << i;
    }
}

TEST(UpmixKernel, BlockSizeDoesNotChangeTheOutput) {
    Signal in{noise(20000, 9), noise(20000, 10)};
    Signal ref;
    for (int block : {20000, 1, 100, 257, 1023}) {
        Ctx c(2, 4);
        PlanBox b = probe();
        mn_upmix_set_plan(c.raw, b.bind());
        Signal out = run(c.raw, in, 4, block);
        if (ref.empty()) {
            ref = out;
            continue;
        }
        for (int o = 0; o < 4; ++o) ASSERT_EQ(out[o], ref[o]) << block;
    }
}

TEST(UpmixKernel, NullInputsReadAsSilenceAndNullOutputsAreSkipped) {
    Ctx c(2, 2);
    PlanBox b = route(1, 1, 1.0f, 2);
    mn_upmix_set_plan(c.raw, b.bind());
    std::vector<float> x = noise(4096, 11), y(4096, 1.0f);
    const float* in[2] = {x.data(), nullptr};
    float* out[2] = {nullptr, y.data()};
    mn_upmix_process(c.raw, in, 4096, out);
    EXPECT_EQ(energy(y), 0.0);
    mn_upmix_process(c.raw, nullptr, 4096, nullptr);
    mn_upmix_process(c.raw, in, 0, out);
    mn_upmix_process(c.raw, in, -5, out);
}

TEST(UpmixKernel, ExactModeFoldsBackToTheInputs) {
    const int outs = 4, S = 3;
    Ctx c(2, outs);
    PlanBox b = probe();
    b.plan.exact = 1;
    b.ownL = {0};
    b.ownR = {2};
    b.ambL = {0, 0, 0, 0.7f};
    b.ambR = {0, 0, 0, 0.5f};
    // Output 1 (centre) folds to both sides at -3 dB, output 3 to the left.
    b.foldL = {1, 0.7071f, 0, 1};
    b.foldR = {0, 0.7071f, 1, 0};
    b.direct.assign(outs * S, 0.0f);
    b.direct[1 * S + 1] = 1;
    mn_upmix_set_plan(c.raw, b.bind());
    Signal in{noise(24000, 12), noise(24000, 13)};
    for (size_t i = 0; i < in[0].size(); ++i) in[1][i] = 0.5f * in[1][i] + 0.5f * in[0][i];
    Signal out = run(c.raw, in, outs);
    double errL = 0, errR = 0, sig = 0;
    for (size_t i = 1024; i < in[0].size(); ++i) {
        const double l = out[0][i] + 0.7071 * out[1][i] + out[3][i];
        const double r = out[2][i] + 0.7071 * out[1][i];
        errL = std::max(errL, std::fabs(l - in[0][i - 1024]));
        errR = std::max(errR, std::fabs(r - in[1][i - 1024]));
        sig = std::max(sig, double(std::fabs(in[0][i - 1024])));
    }
    EXPECT_LT(errL, 1e-5 * sig * 10);
    EXPECT_LT(errR, 1e-5 * sig * 10);
    EXPECT_GT(energy(out[1]), 1.0);  // the centre really carries something
}

TEST(UpmixKernel, RecoversFromANonFiniteInputSample) {
    Ctx c(2, 4);
    PlanBox b = probe();
    mn_upmix_set_plan(c.raw, b.bind());
    Signal in{noise(48000, 16), noise(48000, 17)};
    in[0][5000] = std::nanf("");
    in[1][6000] = INFINITY;
    Signal out = run(c.raw, in, 4);
    for (int o = 0; o < 4; ++o) {
        EXPECT_FALSE(std::isfinite(out[o][6000 + 1024]) && std::isfinite(out[o][5000 + 1024])) << o;
        for (size_t i = 6000 + 3 * 1024; i < out[o].size(); ++i) ASSERT_TRUE(std::isfinite(out[o][i])) << o << " " << i;
    }
    EXPECT_GT(energy(out[3], 20000), 10.0);  // the ambience carries on
}

}  // namespace

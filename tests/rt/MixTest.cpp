#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "rt/mn_mix.h"

namespace {

std::vector<float> randomSignal(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

mn_mix_config config(int inChannels, int rows, const std::vector<float>& matrix) {
    mn_mix_config c{};
    c.in_channels = inChannels;
    c.rows = rows;
    c.matrix = matrix.data();
    return c;
}

}  // namespace

TEST(MixAccumulate, WritesOnlyRowsThatHaveAnOutput) {
    const std::vector<float> m = {0.5f, 2.0f};  // 2 rows x 1 input
    const mn_mix_config cfg = config(1, 2, m);
    std::vector<float> in = {1, 2, 3};
    const float* ins[] = {in.data()};
    std::vector<float> a(3, 1.0f), b(3, 1.0f);

    float* one[] = {a.data()};
    mn_mix_accumulate(&cfg, ins, 3, one, 1, nullptr);  // rows 2, outCount 1
    EXPECT_EQ(a, (std::vector<float>{1.5f, 2.0f, 2.5f}));

    float* skipFirst[] = {nullptr, b.data()};
    mn_mix_accumulate(&cfg, ins, 3, skipFirst, 2, nullptr);
    EXPECT_EQ(b, (std::vector<float>{3, 5, 7}));

    // More outputs than rows: the extra ones are left alone.
    std::vector<float> c(3, 0.0f), d(3, 0.0f), e(3, 9.0f);
    float* three[] = {c.data(), d.data(), e.data()};
    mn_mix_accumulate(&cfg, ins, 3, three, 3, nullptr);
    EXPECT_EQ(e, std::vector<float>(3, 9.0f));

    // No frames, no rows, no outputs: nothing happens.
    mn_mix_accumulate(&cfg, ins, 0, three, 3, nullptr);
    mn_mix_accumulate(&cfg, ins, 3, three, 0, nullptr);
    EXPECT_EQ(c, (std::vector<float>{0.5f, 1.0f, 1.5f}));
}

TEST(MixAccumulate, ZeroGainsNeverReadTheirInput) {
    // Input 1 is a null pointer: reading it would crash.
    const std::vector<float> m = {1.0f, 0.0f, -0.0f, -0.0f};  // 2 x 2
    const mn_mix_config cfg = config(2, 2, m);
    std::vector<float> in0(5, 0.25f);
    const float* ins[] = {in0.data(), nullptr};
    std::vector<float> a(5, 1.0f), b(5, 1.0f);
    float* outs[] = {a.data(), b.data()};
    mn_mix_accumulate(&cfg, ins, 5, outs, 2, nullptr);
    EXPECT_EQ(a, std::vector<float>(5, 1.25f));
    EXPECT_EQ(b, std::vector<float>(5, 1.0f));

    const std::vector<float> zeros(4, 0.0f);
    const mn_mix_config silent = config(2, 2, zeros);
    const float* none[] = {nullptr, nullptr};
    mn_mix_accumulate(&silent, none, 5, outs, 2, nullptr);
    EXPECT_EQ(b, std::vector<float>(5, 1.0f));
}

// Sums are single fused multiply-adds per sample, identical whichever build
// of the inner loop runs, for lengths around the vector width.
TEST(MixAccumulate, MatchesFusedMultiplyAddsExactly) {
    const int inCh = 3, rows = 4;
    std::vector<float> m = randomSignal(inCh * rows, 7);
    m[5] = 0.0f;
    const mn_mix_config cfg = config(inCh, rows, m);
    for (int n : {1, 7, 8, 9, 31, 1000}) {
        std::vector<std::vector<float>> in;
        std::vector<const float*> ins;
        for (int i = 0; i < inCh; ++i) in.push_back(randomSignal(n, 10 + i));
        for (auto& v : in) ins.push_back(v.data());
        const std::vector<float> ramp = randomSignal(n, 99);

        for (bool withRamp : {false, true}) {
            std::vector<std::vector<float>> out(rows, randomSignal(n, 50));
            std::vector<float*> outs;
            for (auto& v : out) outs.push_back(v.data());
            std::vector<std::vector<float>> expect = out;
            for (int o = 0; o < rows; ++o)
                for (int i = 0; i < inCh; ++i) {
                    const float g = m[o * inCh + i];
                    if (g == 0.0f) continue;
                    for (int k = 0; k < n; ++k) {
                        const float gk = withRamp ? g * ramp[k] : g;
                        expect[o][k] = std::fma(gk, in[i][k], expect[o][k]);
                    }
                }
            mn_mix_accumulate(&cfg, ins.data(), n, outs.data(), rows,
                              withRamp ? ramp.data() : nullptr);
            for (int o = 0; o < rows; ++o)
                for (int k = 0; k < n; ++k)
                    ASSERT_EQ(out[o][k], expect[o][k]) << "n " << n << " row " << o << " k " << k
                                                       << " ramp " << withRamp;
        }
    }
}

TEST(Fpu, FlushDenormalsZeroesTinyResults) {
    float result = 0;
    std::thread t([&] {
        mn_fpu_flush_denormals();
        volatile float tiny = 1e-30f;
        volatile float scale = 1e-10f;
        result = tiny * scale;  // 1e-40 is denormal
    });
    t.join();
    EXPECT_EQ(result, 0.0f);
    volatile float tiny = 1e-30f, scale = 1e-10f;
    EXPECT_NE(tiny * scale, 0.0f) << "other threads keep their mode";
}

#include "edit/TempEditRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/AudioFiles.h"

namespace qm {
namespace {

using EditOps::Channels;
// test::staircaseSignal gives every frame its own value: any offset shows.
constexpr double kPi = std::numbers::pi;

EditPlan planOf(std::vector<EditPlan::Span> spans, EditPlan::Kind kind = EditPlan::Kind::cutdown) {
    EditPlan p;
    p.name = "test";
    p.kind = kind;
    p.spans = std::move(spans);
    return p;
}

std::vector<float> range(const std::vector<float>& x, int64_t a, int64_t b) {
    return {x.begin() + a, x.begin() + b};
}

TEST(TempEditRenderer, OneSpanAndTouchingSpansCopyTheSource) {
    const auto src = test::staircaseSignal(2, 10000);
    const TempEditOptions options;
    const auto one = TempEditRenderer::render(planOf({{1000, 3000}}), src, 48000, options);
    EXPECT_EQ(one[0], range(src[0], 1000, 3000));
    EXPECT_EQ(one[1], range(src[1], 1000, 3000));
    const auto two = TempEditRenderer::render(planOf({{1000, 3000}, {3000, 5000}}), src, 48000, options);
    EXPECT_EQ(two[0], range(src[0], 1000, 5000));
}

TEST(TempEditRenderer, SpliceBlendsWrittenTailWithSourceBeforeTheNewSpan) {
    const auto src = test::staircaseSignal(2, 20000);
    TempEditOptions options;
    options.crossfadeMs = 1;  // 48 frames at 48 kHz
    const auto out = TempEditRenderer::render(planOf({{0, 4000}, {9000, 12000}}), src, 48000, options);
    ASSERT_EQ(out[0].size(), 7000u);
    for (int c = 0; c < 2; ++c) {
        for (int64_t i = 0; i < 4000 - 48; ++i) ASSERT_EQ(out[c][i], src[c][i]);
        for (int64_t k = 0; k < 48; ++k) {
            const double a = (double(k) + 0.5) / 48 * kPi / 2;
            const double want = src[c][4000 - 48 + k] * std::cos(a) + src[c][9000 - 48 + k] * std::sin(a);
            ASSERT_NEAR(out[c][4000 - 48 + k], want, 1e-6) << k;
        }
        EXPECT_EQ(range(out[c], 4000, 7000), range(src[c], 9000, 12000));
    }
}

TEST(TempEditRenderer, ZeroCrossfadeStillBlendsOneFrameAndSpliceAtZeroButts) {
    const auto src = test::staircaseSignal(1, 1000);
    TempEditOptions options;
    options.crossfadeMs = 0;
    const auto out = TempEditRenderer::render(planOf({{500, 600}, {300, 400}}), src, 48000, options)[0];
    ASSERT_EQ(out.size(), 200u);
    const double a = 0.5 * kPi / 2;
    EXPECT_NEAR(out[99], src[0][599] * std::cos(a) + src[0][299] * std::sin(a), 1e-6);
    EXPECT_EQ(out[98], src[0][598]);
    // A splice back to frame 0 has no lead-in: a butt join.
    const auto butt = TempEditRenderer::render(planOf({{500, 600}, {0, 100}}), src, 48000, options)[0];
    EXPECT_EQ(range(butt, 0, 100), range(src[0], 500, 600));
    EXPECT_EQ(range(butt, 100, 200), range(src[0], 0, 100));
}

TEST(TempEditRenderer, LoopPlansUseTheSeamlessLoopUnlessTooShort) {
    const auto src = test::staircaseSignal(2, 48000);
    const TempEditOptions options;
    auto loop = planOf({{4800, 14400}}, EditPlan::Kind::loop);
    loop.fadeOutFrames = 100;  // ignored for a loop that could be made
    const auto looped = TempEditRenderer::render(loop, src, 48000, options);
    EXPECT_EQ(looped, EditOps::seamlessLoop(src, 48000, 4800, 14400, false)->channels);
    const auto tooShort = TempEditRenderer::render(planOf({{100, 110}}, EditPlan::Kind::loop), src, 48000, options);
    EXPECT_EQ(tooShort[0], range(src[0], 100, 110));
}

TEST(TempEditRenderer, FadesInAndOut) {
    const Channels ones{std::vector<float>(48000, 1.0f)};
    const TempEditOptions options;
    auto backtimed = planOf({{0, 48000}}, EditPlan::Kind::backtimed);
    backtimed.fadeInFrames = 480;  // 10 ms
    const auto in = TempEditRenderer::render(backtimed, ones, 48000, options)[0];
    EXPECT_EQ(in[0], 0.0f);
    EXPECT_FLOAT_EQ(in[240], static_cast<float>(std::sin(kPi / 4)));
    EXPECT_EQ(in[480], 1.0f);
    // A loop-file cutdown: one bar of linear fade, no cut.
    auto loopCut = planOf({{0, 48000}});
    loopCut.fadeOutFrames = 24000;
    const auto out = TempEditRenderer::render(loopCut, ones, 48000, options)[0];
    ASSERT_EQ(out.size(), 48000u);
    EXPECT_EQ(out[23999], 1.0f);
    EXPECT_FLOAT_EQ(out[24000], 1.0f);
    EXPECT_FLOAT_EQ(out[36000], 0.5f);
    EXPECT_FLOAT_EQ(out[47999], 1.0f / 24000);
}

TEST(TempEditRenderer, ExactLengthCutWithQuarterCosineFade) {
    const double sr = 48000;
    const Channels ones{std::vector<float>(17 * 48000, 1.0f)};
    const TempEditOptions options;
    auto plan = planOf({{0, 10 * 48000}, {11 * 48000, 17 * 48000}, {16 * 48000, 17 * 48000}});
    plan.cutAtSec = 15;
    const auto out = TempEditRenderer::render(plan, ones, sr, options)[0];
    ASSERT_EQ(out.size(), 15u * 48000);
    EXPECT_EQ(out[14 * 48000 - 1], 1.0f);
    EXPECT_FLOAT_EQ(out[14 * 48000], 1.0f);
    EXPECT_FLOAT_EQ(out[14 * 48000 + 24000], static_cast<float>(std::cos(kPi / 4)));
    EXPECT_LT(out.back(), 1e-4f);
    // A cut of 2 s fades over its last quarter.
    plan.cutAtSec = 2;
    const auto shortCut = TempEditRenderer::render(plan, ones, sr, options)[0];
    ASSERT_EQ(shortCut.size(), 96000u);
    EXPECT_EQ(shortCut[71999], 1.0f);
    EXPECT_FLOAT_EQ(shortCut[72000 + 12000], static_cast<float>(std::cos(kPi / 4)));
    // A cut past the end keeps the length and still fades the last quarter.
    plan.cutAtSec = 99;
    EXPECT_EQ(TempEditRenderer::render(plan, ones, sr, options)[0].size(), 17u * 48000);
}

TEST(TempEditRenderer, SpansOutsideTheSourceRenderWhatLiesInside) {
    const auto src = test::staircaseSignal(1, 1000);
    const TempEditOptions options;
    const auto out = TempEditRenderer::render(planOf({{900, 1500}, {2000, 3000}}), src, 48000, options)[0];
    EXPECT_EQ(out, range(src[0], 900, 1000));
    EXPECT_TRUE(TempEditRenderer::render(planOf({}), src, 48000, options)[0].empty());
}

}  // namespace
}  // namespace qm

#include "spatial/Upmixer.h"

#include <gtest/gtest.h>


namespace qm {
namespace {

using S = SpeakerID;

UpmixRequest stereoTo(LayoutID id, UpmixParams p = upmixPreset::params(UpmixPreset::music)) {
    return {{S::L, S::R}, layout::speakers(id), p};
}

TEST(Upmixer, CreationAndFrameSizes) {
    ManualMainQueue q;
    EXPECT_EQ(Upmixer::create(2, 25, 48000, q), nullptr);
    EXPECT_EQ(Upmixer::create(17, 2, 48000, q), nullptr);
    struct Case {
        double rate;
        int fft;
    };
    for (Case c : {Case{44100, 1024}, Case{48000, 1024}, Case{96000, 2048}, Case{192000, 4096}}) {
        auto u = Upmixer::create(2, 12, c.rate, q);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->fftSize(), c.fft) << c.rate;
        EXPECT_EQ(u->bins(), c.fft / 2 + 1);
        EXPECT_EQ(mn_upmix_latency(u->raw()), c.fft);
        EXPECT_FALSE(u->request());
        EXPECT_EQ(u->storage(), nullptr);
    }
}

TEST(Upmixer, PlansOncePerDistinctRequestAndRetiresReplacedPlans) {
    ManualMainQueue q;
    auto u = Upmixer::create(2, 12, 48000, q);
    UpmixRequest r = stereoTo(LayoutID::l714);
    u->apply(r);
    auto first = u->storage();
    ASSERT_NE(first, nullptr);
    u->apply(r);
    EXPECT_EQ(u->storage(), first);
    EXPECT_EQ(q.pending(), 0u);

    std::vector<std::weak_ptr<const UpmixPlanStorage>> old{first};
    first.reset();
    for (double room : {9.0, 11.0, 12.0}) {
        r.params.roomMs = room;
        u->apply(r);
        old.push_back(u->storage());
    }
    EXPECT_EQ(*u->request(), r);
    // Three replaced plans wait; the fourth is installed.
    EXPECT_EQ(q.pending(), 3u);
    q.advance(2.9);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(old[i].expired()) << i;
    q.advance(0.2);
    EXPECT_EQ(q.pending(), 0u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(old[i].expired()) << i;
    EXPECT_FALSE(old[3].expired());
}

TEST(Upmixer, StereoOnlyForExactlyLeftRight) {
    ManualMainQueue q;
    const auto T = layout::speakers(LayoutID::l51);
    auto u = Upmixer::create(2, 6, 48000, q);
    u->apply({{S::L, S::R}, T, {}});
    const mn_upmix_plan* st = u->storage()->pointer();
    EXPECT_EQ(st->pairs, 1);
    EXPECT_EQ(st->pair_in[0], 0);
    EXPECT_EQ(st->routes, 0);
    u->apply({{S::R, S::L}, T, {}});
    const mn_upmix_plan* lay = u->storage()->pointer();
    ASSERT_EQ(lay->pairs, 1);
    EXPECT_EQ(lay->pair_in[0], 1);  // the left member of the pair is channel 1
    EXPECT_EQ(lay->pair_in[1], 0);
}

TEST(Upmixer, RefusesARequestOfOtherCounts) {
    ManualMainQueue q;
    auto u = Upmixer::create(2, 8, 48000, q);
    EXPECT_THROW(u->apply(stereoTo(LayoutID::l714)), std::invalid_argument);
    EXPECT_THROW(u->apply({layout::speakers(LayoutID::l51), layout::speakers(LayoutID::l71), {}}),
                 std::invalid_argument);
    EXPECT_EQ(u->storage(), nullptr);
    EXPECT_FALSE(u->request());
}

TEST(UpmixPlanStorage, EmptyArraysBecomeNullPointers) {
    // The kernel reads a null kappa as 1 and skips null optional arrays; the
    // empty plan (a stereo target without L or R) must give silence.
    UpmixPlanStorage empty{UpmixPlan{}};
    EXPECT_EQ(empty.pointer()->pairs, 0);
    EXPECT_EQ(empty.pointer()->direct, nullptr);
    EXPECT_EQ(empty.pointer()->delay, nullptr);
    EXPECT_EQ(empty.pointer()->lfe_out, -1);
    UpmixPlan p = UpmixPlanner::stereoPlan(stereoTo(LayoutID::l51), 513, 1024, 48000);
    p.kappa.clear();
    UpmixPlanStorage s(p);
    EXPECT_EQ(s.pointer()->kappa, nullptr);
    EXPECT_EQ(s.pointer()->route_in, nullptr);
    EXPECT_EQ(std::vector<float>(s.pointer()->direct, s.pointer()->direct + p.direct.size()), p.direct);
}

TEST(UpmixPlanStorage, RefusesArraysThatDoNotMatchTheCounts) {
    const UpmixPlan good = UpmixPlanner::stereoPlan(stereoTo(LayoutID::l51), 513, 1024, 48000);
    auto bad = [&](auto change) {
        UpmixPlan p = good;
        change(p);
        EXPECT_THROW(UpmixPlanStorage{p}, std::invalid_argument);
    };
    bad([](UpmixPlan& p) { p.direct.pop_back(); });
    bad([](UpmixPlan& p) { p.pairIn.push_back(0); });
    bad([](UpmixPlan& p) { p.outs = 7; });
    bad([](UpmixPlan& p) { p.bins = 512; });
    bad([](UpmixPlan& p) { p.decorIm.reset(); });
    bad([](UpmixPlan& p) { p.routeIn.push_back(0); });
    bad([](UpmixPlan& p) { p.panSteps = 1; });
    bad([](UpmixPlan& p) {
        p.exact = true;
        p.foldL.clear();
    });
}

}  // namespace
}  // namespace qm

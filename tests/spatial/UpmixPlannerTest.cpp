#include "spatial/UpmixPlanner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "support/TempDir.h"

namespace qm {
namespace {

using S = SpeakerID;
const int kBins = 513, kN = 1024;
const double kRate = 48000;

std::vector<SpeakerID> lcr() { return {S::L, S::R, S::C}; }

UpmixRequest stereoTo(std::vector<SpeakerID> target, UpmixParams p = {}) {
    return {{S::L, S::R}, std::move(target), p};
}

UpmixPlan stereo(const UpmixRequest& r) { return UpmixPlanner::stereoPlan(r, kBins, kN, kRate); }

float direct(const UpmixPlan& p, int pair, int out, int step) {
    return p.direct[(static_cast<size_t>(pair) * p.outs + out) * p.panSteps + step];
}

int indexOf(const std::vector<SpeakerID>& l, SpeakerID s) {
    return static_cast<int>(std::find(l.begin(), l.end(), s) - l.begin());
}

TEST(UpmixPlanner, StableHashAndSplitMix) {
    EXPECT_EQ(hashValueStable(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(hashValueStable("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(hashValueStable("foobar"), 0x85944171f73967e8ULL);
    SplitMix64 rng(0);
    EXPECT_EQ(rng.next(), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(rng.next(), 0x6e789e6aa1b965f4ULL);
}

TEST(UpmixPlanner, VbapOnARing) {
    using R = UpmixPlanner::RingSpeaker;
    EXPECT_EQ(UpmixPlanner::vbap(10, {}, 3), std::vector<double>(3, 0.0));
    EXPECT_EQ(UpmixPlanner::vbap(10, {{1, -80}}, 3), (std::vector<double>{0, 1, 0}));
    const std::vector<R> ring{{0, 30}, {1, -30}, {2, 0}};
    auto g = UpmixPlanner::vbap(30, ring, 3);
    EXPECT_NEAR(g[0], 1, 1e-12);
    EXPECT_NEAR(g[1] + g[2], 0, 1e-12);
    g = UpmixPlanner::vbap(15, ring, 3);
    EXPECT_NEAR(g[0], g[2], 1e-12);
    EXPECT_NEAR(g[0] * g[0] + g[2] * g[2], 1, 1e-12);
    EXPECT_EQ(g[1], 0);
    // Behind the listener the ring wraps from -30 round to +30 (a span of
    // 300 degrees is no usable pair), so the nearest speaker takes it.
    g = UpmixPlanner::vbap(-100, ring, 3);
    EXPECT_EQ(g, (std::vector<double>{0, 1, 0}));
}

TEST(UpmixPlanner, StereoPanSteps) {
    UpmixPlan p = stereo(stereoTo(lcr()));
    ASSERT_EQ(p.outs, 3);
    ASSERT_EQ(p.panSteps, 65);
    EXPECT_NEAR(direct(p, 0, 2, 32), 1, 1e-6);
    EXPECT_NEAR(direct(p, 0, 0, 32), 0, 1e-6);
    EXPECT_NEAR(direct(p, 0, 0, 0), 1, 1e-6);
    EXPECT_NEAR(direct(p, 0, 2, 0), 0, 1e-6);
    EXPECT_NEAR(direct(p, 0, 1, 64), 1, 1e-6);
    UpmixParams wide;
    wide.centerWidth = 1;
    p = stereo(stereoTo(lcr(), wide));
    EXPECT_NEAR(direct(p, 0, 0, 32), std::sqrt(0.5), 1e-6);
    EXPECT_NEAR(direct(p, 0, 1, 32), std::sqrt(0.5), 1e-6);
    EXPECT_NEAR(direct(p, 0, 2, 32), 0, 1e-6);
    // Every step keeps the direct power.
    for (int k = 0; k < 65; ++k) {
        double e = 0;
        for (int o = 0; o < 3; ++o) e += direct(p, 0, o, k) * direct(p, 0, o, k);
        EXPECT_NEAR(e, 1, 1e-5) << k;
    }
}

TEST(UpmixPlanner, StrengthZeroIsAPlainPass) {
    UpmixParams p;
    p.strength = 0;
    const auto T = layout::speakers(LayoutID::l714);
    UpmixPlan plan = stereo(stereoTo(T, p));
    for (int k = 0; k < 65; ++k) {
        const double th = k / 64.0 * M_PI / 2;
        for (int o = 0; o < plan.outs; ++o) {
            const double want = o == 0 ? std::cos(th) : o == 1 ? std::sin(th) : 0.0;
            ASSERT_NEAR(direct(plan, 0, o, k), want, 1e-6) << o << " " << k;
        }
    }
    for (int o = 0; o < plan.outs; ++o) {
        EXPECT_FLOAT_EQ(plan.ambL[o], o == 0 ? 1.0f : 0.0f);
        EXPECT_FLOAT_EQ(plan.ambR[o], o == 1 ? 1.0f : 0.0f);
    }
}

TEST(UpmixPlanner, PresetsShapeTheAmbience) {
    const auto T = layout::speakers(LayoutID::l714);
    UpmixPlan speech = stereo(stereoTo(T, upmixPreset::params(UpmixPreset::speech)));
    for (SpeakerID h : {S::Ltf, S::Rtf, S::Ltr, S::Rtr}) {
        EXPECT_EQ(speech.ambL[indexOf(T, h)], 0.0f);
        EXPECT_EQ(speech.ambR[indexOf(T, h)], 0.0f);
    }
    EXPECT_GT(speech.ambL[indexOf(T, S::Ls)], 0.0f);

    UpmixPlan game = stereo(stereoTo(T, upmixPreset::params(UpmixPreset::game)));
    EXPECT_GT(direct(game, 0, indexOf(T, S::L), 0), 0.1f);
    EXPECT_GT(direct(game, 0, indexOf(T, S::Ls), 0), 0.1f);
    EXPECT_GT(direct(game, 0, indexOf(T, S::R), 64), 0.1f);
    EXPECT_GT(direct(game, 0, indexOf(T, S::Rs), 64), 0.1f);

    // Ambience power on each side: the front share plus the spread.
    const UpmixParams film = upmixPreset::params(UpmixPreset::film);
    UpmixPlan f = stereo(stereoTo(T, film));
    double e = 0;
    for (float g : f.ambL) e += g * g;
    EXPECT_NEAR(f.ambL[0] * f.ambL[0], film.frontAmbience, 1e-6);
    EXPECT_NEAR(e, film.frontAmbience + std::pow(10, film.ambienceDB / 10) * (1 - film.frontAmbience), 1e-5);
}

// A rear centre takes the left ambience only, a top centre none; a target
// without both front speakers gets the empty plan.
TEST(UpmixPlanner, OddTargets) {
    const std::vector<SpeakerID> T{S::L, S::R, S::C, S::Cs, S::Tc, S::Ls, S::Rs};
    UpmixPlan p = stereo(stereoTo(T));
    EXPECT_GT(p.ambL[3], 0.0f);
    EXPECT_EQ(p.ambR[3], 0.0f);
    EXPECT_EQ(p.ambL[4], 0.0f);
    EXPECT_EQ(p.ambR[4], 0.0f);
    EXPECT_EQ(stereo(stereoTo({S::C, S::Ls, S::Rs, S::L})), UpmixPlan{});
}

TEST(UpmixPlanner, FiveOneOntoSevenOneFour) {
    const auto Src = layout::speakers(LayoutID::l51);
    const auto T = layout::speakers(LayoutID::l714);
    UpmixParams par = upmixPreset::params(UpmixPreset::film);  // 10 ms surround delay, room 12 ms
    UpmixPlan p = UpmixPlanner::layoutPlan({Src, T, par}, kBins, kN, kRate);
    EXPECT_EQ(p.pairIn, (std::vector<int32_t>{0, 1, 4, 5}));
    EXPECT_EQ(p.ownL, (std::vector<int32_t>{0, 4}));
    EXPECT_EQ(p.ownR, (std::vector<int32_t>{1, 5}));
    EXPECT_EQ(p.routeIn, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(p.routeOut, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(p.routeGain, (std::vector<float>{1, 1}));
    EXPECT_EQ(p.lfeOut, -1);
    EXPECT_FALSE(p.lfeLP);
    // The fills go to the closer pair side: rears to the sides, front
    // heights to the fronts, rear heights to the sides.
    auto amb = [&](const std::vector<float>& a, int pair, SpeakerID s) { return a[pair * p.outs + indexOf(T, s)]; };
    EXPECT_GT(amb(p.ambL, 1, S::Lrs), 0.0f);
    EXPECT_GT(amb(p.ambR, 1, S::Rrs), 0.0f);
    EXPECT_GT(amb(p.ambL, 0, S::Ltf), 0.0f);
    EXPECT_GT(amb(p.ambR, 0, S::Rtf), 0.0f);
    EXPECT_GT(amb(p.ambL, 1, S::Ltr), 0.0f);
    EXPECT_EQ(amb(p.ambL, 0, S::Lrs), 0.0f);
    EXPECT_EQ(amb(p.ambR, 1, S::Lrs), 0.0f);
    for (SpeakerID s : {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs}) EXPECT_EQ(p.delay[indexOf(T, s)], 0.0f);
    // Fills wait the surround delay plus their share of the room time.
    EXPECT_NEAR(p.delay[indexOf(T, S::Lrs)], kRate * (10 + 0.78 * 12) / 1000, 1e-3);
    EXPECT_NEAR(p.delay[indexOf(T, S::Rtr)], kRate * (10 + 1.0 * 12) / 1000, 1e-3);
    EXPECT_TRUE(p.decorRe && p.decorIm);
}

TEST(UpmixPlanner, DecorrelationDiffersPerSpeakerAndRepeats) {
    const auto T = layout::speakers(LayoutID::l916);
    const UpmixRequest r = stereoTo(T, upmixPreset::params(UpmixPreset::music));
    UpmixPlan a = stereo(r), b = stereo(r);
    EXPECT_EQ(a, b);
    ASSERT_TRUE(a.decorRe && a.decorIm && a.curve);
    auto at = [&](const std::vector<float>& v, int o, int k) { return v[static_cast<size_t>(o) * kBins + k]; };
    const int ls = indexOf(T, S::Ls), rs = indexOf(T, S::Rs), c = indexOf(T, S::C);
    EXPECT_NE(at(*a.decorIm, ls, 100), at(*a.decorIm, rs, 100));
    for (int k = 0; k < kBins; ++k) {
        const float re = at(*a.decorRe, ls, k), im = at(*a.decorIm, ls, k);
        ASSERT_NEAR(re * re + im * im, 1.0f, 1e-5);
        ASSERT_EQ(at(*a.decorRe, c, k), 1.0f);  // outputs that carry no ambience stay untouched
        ASSERT_EQ(at(*a.decorIm, c, k), 0.0f);
    }
    EXPECT_EQ(at(*a.decorRe, ls, 0), 1.0f);
    EXPECT_EQ(at(*a.decorRe, ls, kBins - 1), 1.0f);
    EXPECT_EQ(at(*a.decorIm, ls, kBins - 1), 0.0f);
}

TEST(UpmixPlanner, CurvesShelfAndHeightHighPass) {
    const auto T = layout::speakers(LayoutID::l714);
    UpmixParams par;
    par.shelfHz = 4000;
    par.shelfDB = -6;
    par.heightHPFHz = 150;
    UpmixPlan p = stereo(stereoTo(T, par));
    ASSERT_TRUE(p.curve);
    auto at = [&](SpeakerID s, double hz) {
        return (*p.curve)[static_cast<size_t>(indexOf(T, s)) * kBins + static_cast<int>(std::lround(hz * kN / kRate))];
    };
    EXPECT_NEAR(20 * std::log10(at(S::Ls, 0)), 0, 1e-6);
    EXPECT_NEAR(20 * std::log10(at(S::Ls, 23953)), -6, 0.3);
    EXPECT_EQ(at(S::L, 20000), 1.0f);
    EXPECT_EQ(at(S::C, 20000), 1.0f);
    EXPECT_EQ(at(S::Ltf, 0), 0.0f);  // the high-pass removes DC on the heights
    // Far above both corners the heights carry the shelf alone.
    EXPECT_NEAR(20 * std::log10(at(S::Ltf, 20000)), -6.0 * 25 / 26, 0.01);
    EXPECT_NEAR(20 * std::log10(at(S::Ls, 4000)), -3, 0.1);  // half the shelf at its corner
}

TEST(UpmixPlanner, LfeSplit) {
    const auto T = layout::speakers(LayoutID::l714);
    UpmixPlan p = stereo(stereoTo(T, upmixPreset::params(UpmixPreset::film)));
    EXPECT_EQ(p.lfeOut, 3);
    EXPECT_NEAR(p.lfeGain, std::pow(10.0, -0.5), 1e-6);
    ASSERT_TRUE(p.lfeLP && p.mainHP);
    EXPECT_EQ((*p.lfeLP)[0], 1.0f);
    EXPECT_EQ((*p.mainHP)[0], 0.0f);
    const double r = (3 * kRate / kN) / 120.0;
    EXPECT_NEAR((*p.lfeLP)[3], 1 / (r * r * r * r + 1), 1e-6);
    EXPECT_NEAR((*p.lfeLP)[kBins - 1] + (*p.mainHP)[kBins - 1], 1.0f, 1e-6);
    // No split without an LFE speaker or at strength 0.
    UpmixParams off = upmixPreset::params(UpmixPreset::film);
    off.strength = 0;
    EXPECT_EQ(stereo(stereoTo(T, off)).lfeOut, -1);
    EXPECT_EQ(stereo(stereoTo(layout::speakers(LayoutID::l514), off)).lfeOut, -1);
}

TEST(UpmixPlanner, ExactMode) {
    const auto T = layout::speakers(LayoutID::l714);
    UpmixParams par = upmixPreset::params(UpmixPreset::film);
    par.exact = true;
    UpmixPlan p = stereo(stereoTo(T, par));
    EXPECT_TRUE(p.exact);
    EXPECT_EQ(p.delay, std::vector<float>(T.size(), 0.0f));
    EXPECT_FALSE(p.decorRe);
    EXPECT_FALSE(p.decorIm);
    EXPECT_EQ(p.lfeOut, -1);
    for (int o = 0; o < p.outs; ++o)
        for (int k = 0; k < 65; ++k)
            if (T[o] != S::C) {
                ASSERT_EQ(direct(p, 0, o, k), 0.0f) << o;
            }
    EXPECT_NEAR(direct(p, 0, 2, 32), 1.0, 1e-6);
    EXPECT_EQ(p.foldL.size(), T.size());
    EXPECT_FLOAT_EQ(p.foldL[0], 1.0f);
    EXPECT_FLOAT_EQ(p.foldR[0], 0.0f);
    // The ambience sent elsewhere folds back onto its side with weight
    // strength x min(a (1 - fa), 1).
    double back = 0;
    for (int o = 0; o < p.outs; ++o) back += p.ambL[o] * p.foldL[o];
    EXPECT_NEAR(back, std::min(std::pow(10, par.ambienceDB / 20) * (1 - par.frontAmbience), 1.0), 1e-5);
}

// Serialises every field so that two processes can compare plans byte for byte.
std::string planBytes(const UpmixPlan& p) {
    std::ostringstream out;
    auto put = [&](const auto& v) { out.write(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0])); };
    auto opt = [&](const auto& v) {
        out << (v ? 'y' : 'n');
        if (v) put(*v);
    };
    out << p.outs << ' ' << p.bins << ' ' << p.panSteps << ' ' << p.exact << ' ' << p.lfeOut << ' ';
    out.write(reinterpret_cast<const char*>(&p.lfeGain), sizeof p.lfeGain);
    put(p.pairIn); put(p.direct); put(p.ambL); put(p.ambR); opt(p.curve); opt(p.decorRe); opt(p.decorIm);
    put(p.kappa); put(p.ownL); put(p.ownR); put(p.foldL); put(p.foldR); put(p.routeIn); put(p.routeOut);
    put(p.routeGain); opt(p.lfeLP); opt(p.mainHP); put(p.delay);
    return out.str();
}

std::string allPlansBytes() {
    std::string all;
    for (UpmixPreset preset : upmixPreset::allCases()) {
        const UpmixParams par = upmixPreset::params(preset);
        all += planBytes(stereo(stereoTo(layout::speakers(LayoutID::l916), par)));
        all += planBytes(UpmixPlanner::layoutPlan(
            {layout::speakers(LayoutID::l51), layout::speakers(LayoutID::l916), par}, 1025, 2048, 96000));
    }
    return all;
}

// Run in a child process by the test below.
TEST(UpmixPlannerDeterminism, ChildWritesPlans) {
    const char* path = std::getenv("QM_UPMIX_PLAN_OUT");
    if (!path) GTEST_SKIP() << "runs only as the child of SameRequestSameBytesInAnotherProcess";
    std::ofstream(path, std::ios::binary) << allPlansBytes();
}

TEST(UpmixPlannerDeterminism, SameRequestSameBytesInAnotherProcess) {
    test::TempDir dir;
    const std::string out = (dir.path() / "plans.bin").string();
    const std::string cmd = "QM_UPMIX_PLAN_OUT='" + out +
                            "' /proc/" + std::to_string(getpid()) +
                            "/exe --gtest_filter=UpmixPlannerDeterminism.ChildWritesPlans >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(out, std::ios::binary);
    const std::string theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string ours = allPlansBytes();
    EXPECT_GT(ours.size(), 100000u);
    EXPECT_TRUE(theirs == ours) << "sizes " << theirs.size() << " / " << ours.size();
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// An ambience level far beyond its control gives the control's largest
// gains, never billions or NaN.
TEST(UpmixPlanner, GainsBeyondTheControlsAreHeld) {
    const std::vector<SpeakerID> t = {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Lrs, S::Rrs};
    UpmixParams held = upmixPreset::params(UpmixPreset::music);
    held.ambienceDB = 9;
    const UpmixPlan reference = stereo(stereoTo(t, held));
    for (double db : {200.0, 4000.0}) {
        UpmixParams p = held;
        p.ambienceDB = db;
        p.lfeDB = db;
        const UpmixPlan plan = stereo(stereoTo(t, p));
        for (const auto* v : {&plan.ambL, &plan.ambR, &plan.direct})
            for (float g : *v) ASSERT_TRUE(std::isfinite(g) && std::fabs(g) <= 16.0f) << db << ": " << g;
        EXPECT_EQ(plan.ambL, reference.ambL);
    }
}

}  // namespace
}  // namespace qm

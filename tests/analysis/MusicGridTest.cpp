#include "analysis/MusicGrid.h"

#include "support/RhythmSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace qm;
namespace GB = GridBuilder;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TempoResult analysed(const test::RhythmPiece& piece) {
    auto t = TempoAnalyzer::analyze(piece.samples);
    if (!t) throw std::runtime_error("no tempo");
    return *t;
}

test::RhythmPiece piece(double bpm, int perBar, double seconds, double leadIn = 0.5) {
    return test::drumPattern({.bpm = bpm, .beatsPerBar = perBar, .seconds = seconds, .leadIn = leadIn});
}

}  // namespace

TEST(MusicGrid, BoundariesCloseTheLastBar) {
    MusicGrid g;
    g.downbeats = {0, 2, 4};
    g.duration = 5;
    EXPECT_EQ(g.boundaries(), (std::vector<double>{0, 2, 4, 5}));
    g.duration = 4.0005;
    EXPECT_EQ(g.boundaries(), (std::vector<double>{0, 2, 4}));
    g.downbeats.clear();
    EXPECT_TRUE(g.boundaries().empty());
}

TEST(MusicGrid, BeatsPerBarFromTheMeterOrTheUser) {
    TempoResult t;  // no envelope, no beats: the fallback grid
    t.bpm = 120;
    t.meter.group = 3;
    t.meter.contrast = 0.45;
    EXPECT_EQ(GB::build(t, {}, 10).beatsPerBar, 4);
    t.meter.contrast = 0.46;
    const auto g3 = GB::build(t, {}, 10);
    EXPECT_EQ(g3.beatsPerBar, 3);
    EXPECT_EQ(GB::build(t, {}, 10, std::nullopt, 2).beatsPerBar, 2);
    t.meter.group = 2;
    t.meter.contrast = 2;
    EXPECT_EQ(GB::build(t, {}, 10).beatsPerBar, 4);
    // A 6/8 bar holds two dotted beats.
    t.meter.label = "6/8";
    EXPECT_EQ(GB::build(t, {}, 10).beatsPerBar, 2);
    EXPECT_EQ(GB::build(t, {}, 10, std::nullopt, 6).beatsPerBar, 6);  // the user's count wins
    t.meter.label = "2/4 or cut time";

    // No beats at all: one bar line at 0.
    EXPECT_TRUE(g3.beats.empty());
    EXPECT_EQ(g3.downbeats, std::vector<double>{0.0});
    EXPECT_FALSE(g3.steady);
    EXPECT_EQ(g3.bpm, 120);
    EXPECT_EQ(g3.boundaries(), (std::vector<double>{0, 10}));
}

TEST(MusicGrid, SteadyGridSitsOnTheAttacksAndBarLines) {
    const auto p = piece(120, 4, 24);
    const auto t = analysed(p);
    const auto g = GB::build(t, p.samples, t.durationSec);
    ASSERT_TRUE(g.steady);
    EXPECT_NEAR(g.bpm, 120, 0.2);
    EXPECT_GT(g.attackShift, 0.02);  // the envelope leads the attacks
    for (size_t k = 0; k + 1 < g.beats.size(); ++k) EXPECT_NEAR(g.beats[k + 1] - g.beats[k], 60 / g.bpm, 1e-9);
    ASSERT_GE(g.downbeats.size(), 10u);
    // The first bar line lies within [-0.06, B - 0.06), here on the true downbeat at 0.5 s.
    EXPECT_NEAR(g.downbeats[0], 0.5, 0.03);
    for (size_t k = 0; k < 10; ++k) EXPECT_NEAR(g.downbeats[k], p.downbeats[k], 0.03);
    EXPECT_GT(g.downbeatConfidence, 0.5);
    EXPECT_LE(g.grooveStart, 0.5);

    // A user's bar of 3 beats regroups the same beats.
    const auto g3 = GB::build(t, p.samples, t.durationSec, std::nullopt, 3);
    EXPECT_EQ(g3.beatsPerBar, 3);
    EXPECT_EQ(g3.beats, g.beats);
    for (size_t k = 0; k + 1 < g3.downbeats.size(); ++k)
        EXPECT_NEAR(g3.downbeats[k + 1] - g3.downbeats[k], 3 * 60 / g.bpm, 1e-9);
}

// A file cut a hair after a bar line (an edited cue ends on its last bar,
// and the grid places that bar line a few milliseconds early or late) ends
// its last bar there: a bar line in the last 50 ms starts no bar of a few
// milliseconds. A bar line 120 ms before the end still starts one.
TEST(MusicGrid, NoBarStartsInTheLastFiftyMilliseconds) {
    const auto p = piece(120, 4, 24);
    const auto t = analysed(p);
    const auto whole = GB::build(t, p.samples, t.durationSec);
    ASSERT_TRUE(whole.steady);
    ASSERT_GE(whole.downbeats.size(), 10u);
    const double line = whole.downbeats[9];
    for (double after : {0.002, 0.03}) {
        SCOPED_TRACE(after);
        const auto cut = GB::build(t, p.samples, line + after);
        EXPECT_EQ(cut.downbeats, std::vector<double>(whole.downbeats.begin(), whole.downbeats.begin() + 9));
        const auto b = cut.boundaries();
        EXPECT_EQ(b.back(), line + after);
        EXPECT_NEAR(b[b.size() - 1] - b[b.size() - 2], 4 * 60 / whole.bpm + after, 1e-9);
    }
    const auto kept = GB::build(t, p.samples, line + 0.12);
    EXPECT_EQ(kept.downbeats, std::vector<double>(whole.downbeats.begin(), whole.downbeats.begin() + 10));
}

TEST(MusicGrid, FirstBarLineStepsBackOnlyToMinusSixtyMilliseconds) {
    // True downbeats at -0.03 + 2k s (the first one cut off): the accented
    // beat found first is at 1.97 s, and one bar earlier lies within 60 ms
    // of the start, so the grid opens with a bar line at 0. With true
    // downbeats at 0.05 + 2k s the first bar line stays there.
    for (double leadIn : {-0.03, 0.05}) {
        SCOPED_TRACE(leadIn);
        const auto p = piece(120, 4, 24, leadIn);
        const auto t = analysed(p);
        const auto g = GB::build(t, p.samples, t.durationSec);
        ASSERT_TRUE(g.steady);
        ASSERT_GE(g.downbeats.size(), 3u);
        if (leadIn < 0) {
            EXPECT_EQ(g.downbeats[0], 0.0);
            EXPECT_NEAR(g.downbeats[1], 1.97, 0.03);
        } else {
            EXPECT_NEAR(g.downbeats[0], 0.05, 0.03);
            EXPECT_GT(g.downbeats[0], 0.0);
        }
    }
}

TEST(MusicGrid, ShortEnvelopesFallBackToTrackedBeats) {
    std::vector<float> env(689, 0.0f);
    for (size_t i = 3; i < env.size(); i += 43) env[i] = 1.0f;
    EXPECT_FALSE(GB::steadyFit(env, 120).ok);
    env.resize(900, 0.0f);
    for (size_t i = 3; i < env.size(); i += 43) env[i] = 1.0f;
    EXPECT_TRUE(GB::steadyFit(env, TempoAnalyzer::envelopePerMinute / 43).ok);

    // Tracked beats with 4 per bar and offset 1: bar lines on beats 1, 5, 9, ...
    TempoResult t;
    t.bpm = 120;
    for (int k = 0; k < 12; ++k) t.beats.push_back(0.25 + 0.5 * k);
    t.envLow.assign(600, 0.1f);
    t.envFull = t.envLow;
    for (int k = 1; k < 12; k += 4) t.envLow[size_t(t.beats[k] * TempoAnalyzer::envelopeRate)] = 1.0f;
    const auto g = GB::build(t, {}, 6.0);
    EXPECT_FALSE(g.steady);
    EXPECT_EQ(g.downbeats, (std::vector<double>{t.beats[1], t.beats[5], t.beats[9]}));
    EXPECT_EQ(g.attackShift, 0);
    EXPECT_EQ(g.bpm, 120);
}

TEST(MusicGrid, AttackOffsetUsesTheTrueLoudnessFrameTimes) {
    // Unit steps 21 ms after each beat of a 0.5 s grid: the steepest rise
    // is in the frame starting 20 frames (19.95 ms) after the beat.
    const double sr = TempoAnalyzer::analysisRate;
    const auto steps = [&](double seconds, double after) {
        std::vector<float> x(size_t(seconds * sr), 0.0f);
        for (double b = 0; b < seconds - 0.3; b += 0.5)
            for (long i = std::lround((b + after) * sr), e = std::min(i + long(0.2 * sr), long(x.size())); i < e; ++i)
                x[size_t(i)] = 1.0f;
        return x;
    };
    const std::vector<float> env(20000, 1.0f);
    EXPECT_NEAR(GB::attackOffset(steps(10, 0.021), 0.5, 0, env), 0.017, 0.0006);
    // Late in a long piece the attacks are still found: only beats after
    // 80 s are strong enough to count.
    std::vector<float> lateEnv(20000, 0.0f);
    std::fill(lateEnv.begin() + long(80 * TempoAnalyzer::envelopeRate), lateEnv.end(), 1.0f);
    EXPECT_NEAR(GB::attackOffset(steps(100, 0.021), 0.5, 0, lateEnv), 0.017, 0.0006);
    // Attacks 39 ms before the grid clamp to -0.04.
    EXPECT_EQ(GB::attackOffset(steps(10, 0.5 - 0.039), 0.5, 0, env), -0.04);
    // Fewer than eight strong beats: no shift.
    EXPECT_EQ(GB::attackOffset(steps(3.5, 0.021), 0.5, 0, env), 0);
    EXPECT_EQ(GB::attackOffset(std::vector<float>(285, 1.0f), 0.5, 0, env), 0);
}

TEST(MusicGrid, DownbeatOffsetTakesTheMostAccentedSeries) {
    std::vector<float> low(100, 0.2f), full(100, 0.2f);
    std::vector<double> beats;
    for (int k = 0; k < 8; ++k) beats.push_back(k * 10 / TempoAnalyzer::envelopeRate + 1e-6);
    low[20] = low[60] = 1.0f;  // beats 2 and 6
    EXPECT_EQ(GB::downbeatOffset(beats, low, full, 4), 2);
    EXPECT_EQ(GB::downbeatOffset(beats, low, full, 0), 0);
    EXPECT_EQ(GB::downbeatOffset(beats, {}, full, 4), 0);
    EXPECT_EQ(GB::downbeatOffset({beats.begin(), beats.begin() + 7}, low, full, 4), 0);  // fewer than 2g beats
}

TEST(MusicGrid, DownbeatDetectorFindsTheBarPhaseAndGrooveStart) {
    EXPECT_EQ(DownbeatDetector::detect(std::vector<float>(44100, 0.0f), 22050, 120, 4), DownbeatDetector::Result{});
    const auto p = piece(120, 4, 20, 4.0);
    EXPECT_EQ(DownbeatDetector::detect(p.samples, 22050, 0, 4), DownbeatDetector::Result{});
    EXPECT_EQ(DownbeatDetector::detect({}, 22050, 120, 4), DownbeatDetector::Result{});
    EXPECT_EQ(DownbeatDetector::detect(std::vector<float>(300, 1.0f), 22050, 120, 4), DownbeatDetector::Result{});
    const auto r = DownbeatDetector::detect(p.samples, 22050, 120, 4);
    EXPECT_NEAR(std::remainder(r.phase, 2.0), 0.0, 0.03);  // downbeats at 4 + 2k s
    EXPECT_GT(r.confidence, 0.5);
    // The groove counts from the first frame within a beat of its first onset.
    EXPECT_GE(r.grooveStart, 3.45);
    EXPECT_LE(r.grooveStart, 4.05);
}

TEST(MusicGrid, UnusableTempiGiveTheFallbackGrid) {
    const auto p = piece(120, 4, 12);
    const auto t = analysed(p);
    for (double bad : {0.0, -90.0, kNaN, kInf, -kInf, 1e9}) {
        const auto g = GB::build(t, p.samples, t.durationSec, bad);
        EXPECT_TRUE(g.beats.empty()) << bad;
        EXPECT_EQ(g.downbeats, std::vector<double>{0.0});
        EXPECT_EQ(g.bpm, 0);
        EXPECT_EQ(DownbeatDetector::detect(p.samples, 22050, bad, 4), DownbeatDetector::Result{});
        EXPECT_FALSE(GB::steadyFit(t.envFull, bad).ok);
    }
    // A beat count below 1 is ignored rather than looping on a zero step.
    EXPECT_EQ(GB::build(t, p.samples, t.durationSec, std::nullopt, 0).beatsPerBar, 4);
    EXPECT_EQ(DownbeatDetector::detect(p.samples, 22050, 120, 0), DownbeatDetector::Result{});
    // A tempo analysis whose own tempo is broken behaves the same.
    TempoResult broken = t;
    broken.bpm = kNaN;
    EXPECT_EQ(GB::build(broken, p.samples, t.durationSec).downbeats, std::vector<double>{0.0});
}

TEST(MusicGrid, DamagedSamplesNeverHangOrCrash) {
    // Float files can carry NaN and infinity: the analysis stays total.
    auto p = piece(120, 4, 12);
    const auto t = analysed(p);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        auto x = p.samples;
        for (size_t i = 5000; i < x.size(); i += 7919) x[i] = bad;
        const auto r = TempoAnalyzer::analyze(x);
        if (r) {
            EXPECT_TRUE(std::isfinite(r->bpm));
        }
        const auto g = GB::build(t, x, t.durationSec);
        EXPECT_FALSE(g.downbeats.empty());
        for (double d : g.downbeats) EXPECT_TRUE(std::isfinite(d));
    }
}

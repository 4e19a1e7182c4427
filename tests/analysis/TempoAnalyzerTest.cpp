#include "analysis/TempoAnalyzer.h"

#include "analysis/MusicGrid.h"
#include "support/RhythmSignals.h"
#include "support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

using namespace qm;
namespace TA = TempoAnalyzer;

namespace {

std::vector<TempoResult::Candidate> cands(std::initializer_list<std::pair<double, double>> bpmScore) {
    std::vector<TempoResult::Candidate> out;
    for (auto [b, s] : bpmScore) out.push_back({b, s, s});
    return out;
}

}  // namespace

TEST(TempoAnalyzer, AlternativesFollowTheRelationTableInRange) {
    const auto at120 = TA::alternatives(120, cands({{120, 1}, {60.5, 0.7}, {176, 0.4}}));
    ASSERT_EQ(at120.size(), 6u);
    const double want[] = {60, 240, 180, 80, 160, 90};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(at120[i].bpm, want[i]);
    EXPECT_EQ(at120[0].relation, "÷2 half-time");
    EXPECT_EQ(at120[0].score, 0.7);  // 60.5 is within 3 % of 60
    EXPECT_EQ(at120[2].score, 0.4);  // 176 is within 3 % of 180
    EXPECT_EQ(at120[1].score, 0);    // nothing near 240: listed with no support
    EXPECT_EQ(at120[3].score, 0);

    const auto at200 = TA::alternatives(200, cands({{200, 1}}));
    ASSERT_EQ(at200.size(), 3u);  // only the relations that stay in range
    EXPECT_EQ(at200[1].relation, "×2/3 triplet pulse");
    EXPECT_EQ(at200[1].bpm, 133.33);  // rounded to two places
    EXPECT_EQ(at200[2].bpm, 150);
}

TEST(TempoAnalyzer, TwinNeedsNinetyTwoPercentOfTheBest) {
    EXPECT_EQ(TA::twin(cands({{120, 1.0}, {80, 0.92}})), 80);
    EXPECT_FALSE(TA::twin(cands({{120, 1.0}, {80, 0.919}})));
    EXPECT_FALSE(TA::twin(cands({{120, 1.0}})));
}

TEST(TempoAnalyzer, DriftClassesFromTheSpreadOfLocalTempi) {
    const auto b = TA::drift({121, 118, 120}, 120);
    EXPECT_EQ(b.drift, "BREATHING");
    EXPECT_NEAR(b.spreadPct, 2.5, 1e-9);
    EXPECT_EQ(TA::drift({}, 97).spreadPct, 0);
    // The spread is relative to the fastest: 1.5 / 101.5 is still below 1.5 %, 4 / 104 below 4 %.
    for (auto [fast, cls] : {std::pair{0.0, "STEADY"}, {101.4, "STEADY"}, {101.5, "STEADY"}, {102.0, "BREATHING"},
                             {104.0, "BREATHING"}, {104.2, "RUBATO"}})
        EXPECT_EQ(TA::drift(fast ? std::vector<double>{100, fast} : std::vector<double>{}, 100).drift, cls) << fast;
}

TEST(TempoAnalyzer, MinimumLengths) {
    EXPECT_FALSE(TA::analyze(std::vector<float>(1791, 0.5f)));
    const auto noise = [](size_t n) {
        std::vector<float> x(n);
        uint32_t s = 7;
        for (auto& v : x) v = float((s = s * 1664525u + 1013904223u) >> 8) / float(1 << 24) - 0.5f;
        return x;
    };
    const auto e = TA::envelopes(noise(1792));
    EXPECT_EQ(e.full.size(), 2u);
    EXPECT_EQ(e.low.size(), 2u);
    EXPECT_FALSE(TA::analyze(noise(1792)));
    // The default range scans lags from 21: 28 values are too few.
    std::vector<float> env(28);
    for (size_t i = 0; i < env.size(); ++i) env[i] = i % 3 == 0 ? 1.0f : 0.0f;
    EXPECT_TRUE(TA::candidates(env, 30, 240, std::nullopt).empty());
    EXPECT_TRUE(TA::candidates(std::vector<float>(8, 1.0f), 30, 240, std::nullopt).empty());
    EXPECT_FALSE(TA::analyze(std::vector<float>(22050 * 10, 0.0f)));  // silence has no pulse
    EXPECT_FALSE(TA::analyze({}));
}

TEST(TempoAnalyzer, CandidatesFromAPeriodicEnvelope) {
    // Pulses every 43 values (about 120.2 BPM), 2000 values long.
    std::vector<float> env(2000, 0.0f);
    for (size_t i = 5; i < env.size(); i += 43) env[i] = 1.0f;
    const auto c = TA::candidates(env, 30, 240, std::nullopt);
    ASSERT_FALSE(c.empty());
    EXPECT_NEAR(c[0].bpm, TA::envelopePerMinute / 43, 0.5);
    EXPECT_LE(c.size(), 12u);
    for (size_t i = 1; i < c.size(); ++i) {
        EXPECT_GE(c[i - 1].ranked, c[i].ranked);
        for (size_t j = 0; j < i; ++j) EXPECT_GT(std::fabs(c[i].bpm - c[j].bpm) / c[i].bpm, 0.03);
    }
    // Degenerate limits give nothing rather than a crash.
    EXPECT_TRUE(TA::candidates(env, 0, 240, std::nullopt).empty());
    EXPECT_TRUE(TA::candidates(env, 30, std::numeric_limits<double>::quiet_NaN(), std::nullopt).empty());
}

TEST(TempoAnalyzer, HintNarrowsTheSearch) {
    const auto piece = test::drumPattern({.bpm = 150, .seconds = 20});
    const auto free = TA::analyze(piece.samples);
    ASSERT_TRUE(free);
    const auto hinted = TA::analyze(piece.samples, 100.0);
    ASSERT_TRUE(hinted);
    EXPECT_GE(hinted->bpm, 100 / 1.35);
    EXPECT_LE(hinted->bpm, 135);
    EXPECT_EQ(hinted->durationSec, 20);
    EXPECT_EQ(hinted->envFull.size(), hinted->envLow.size());
}

TEST(TempoAnalyzer, LocalTempoInterpolatesTheMap) {
    const std::vector<TA::LocalTempo> map{{10, 100, 1}, {20, 110, 1}};
    EXPECT_EQ(TA::localTempo(map, 90, 15), 105);
    EXPECT_EQ(TA::localTempo(map, 90, 0), 100);
    EXPECT_EQ(TA::localTempo(map, 90, 30), 110);
    EXPECT_EQ(TA::localTempo({{10, 100, 1}}, 90, 15), 90);
}

TEST(TempoAnalyzer, TrackBeatsSnapsOrKeepsThePeriod) {
    EXPECT_TRUE(TA::trackBeats({1, 1}, {}, 120).beats.empty());

    // A flat envelope below the snap threshold: beats stay on the prediction.
    const double P = TA::envelopePerMinute / 100;
    const auto flat = TA::trackBeats(std::vector<float>(1000, 0.05f), {}, 100);
    ASSERT_GT(flat.beats.size(), 10u);
    EXPECT_EQ(flat.snapped, 0);
    for (size_t k = 1; k < flat.beats.size(); ++k)
        EXPECT_NEAR(flat.beats[k] - flat.beats[k - 1], P / TA::envelopeRate, 1e-9);

    // Pulses at 60 + 50k: the phase search starts at 10 (no pulse there, so
    // the first beat stays unsnapped) and every later beat finds its pulse.
    std::vector<float> env(1000, 0.0f);
    for (size_t i = 60; i < env.size(); i += 50) env[i] = 1.0f;
    const auto t = TA::trackBeats(env, {}, TA::envelopePerMinute / 50);
    ASSERT_EQ(t.beats.size(), 20u);
    EXPECT_DOUBLE_EQ(t.snapped, 19.0 / 20);
    for (size_t k = 0; k < t.beats.size(); ++k) EXPECT_NEAR(t.beats[k] * TA::envelopeRate, 10 + 50.0 * k, 1e-6);

    // Tempi that give no usable period end the walk at once.
    for (double bad : {0.0, -120.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       1e300, 1e-300}) {
        const auto r = TA::trackBeats(env, {}, bad);
        EXPECT_TRUE(r.beats.empty()) << bad;
        EXPECT_EQ(r.snapped, 0);
    }
    EXPECT_TRUE(TA::trackBeats(env, {{1, 0, 1}, {5, 0, 1}}, 120).beats.empty());
}

TEST(TempoAnalyzer, MeterGroupsByAccentContrast) {
    const std::vector<float> env(100, 0.5f);
    auto beats = [](int n) {
        std::vector<double> b;
        for (int i = 0; i < n; ++i) b.push_back(0.1 * i);
        return b;
    };
    const auto none = TA::meter(beats(5), env, env);
    EXPECT_EQ(none.label, "?");
    EXPECT_EQ(none.group, 4);
    EXPECT_EQ(none.confidence, "weak — ambiguous");

    // Accents every third beat starting at beat 1, read at index Int(t * rate).
    std::vector<float> low(200, 0.1f);
    std::vector<double> b;
    for (int j = 0; j < 12; ++j) {
        b.push_back(j * 10 / TA::envelopeRate + 1e-6);
        if (j % 3 == 1) low[size_t(j * 10)] = 1.0f;
    }
    const auto m3 = TA::meter(b, low, low);
    EXPECT_EQ(m3.label, "3/4");
    EXPECT_EQ(m3.group, 3);
    EXPECT_EQ(m3.downbeatOffset, 1);
    EXPECT_EQ(m3.confidence, "strong");

    using G = TA::GroupScore;
    EXPECT_EQ(TA::chooseMeter({{2, 0.5, 0}, {3, 1.0, 1}, {4, 0.93, 2}}).group, 4);
    const auto three = TA::chooseMeter({{2, 0.5, 0}, {3, 1.0, 1}, {4, 0.92, 2}});
    EXPECT_EQ(three.group, 3);
    EXPECT_EQ(three.downbeatOffset, 1);
    EXPECT_EQ(TA::chooseMeter({G{2, 0.9, 0}}).confidence, "fair");
    EXPECT_EQ(TA::chooseMeter({G{2, 0.45, 0}}).confidence, "weak — ambiguous");
    EXPECT_EQ(TA::chooseMeter({G{2, 0.456, 0}}).contrast, 0.46);
    EXPECT_EQ(TA::chooseMeter({G{2, 0.7, 0}, G{3, 0.7, 0}}).group, 2);  // ties keep the smaller group
}

TEST(TempoAnalyzer, MeterScoresOnlyGroupsWithThreeFullRounds) {
    // Accents on every second beat: with 6 beats only group 2 is scored;
    // with 9 groups 2 and 3 (and 2 wins); group 4 needs 12.
    std::vector<float> low(400, 0.1f);
    auto beats = [&](int n) {
        std::vector<double> b;
        for (int j = 0; j < n; ++j) {
            b.push_back(j * 10 / TA::envelopeRate + 1e-6);
            if (j % 4 == 0) low[size_t(j * 10)] = 1.0f;
        }
        return b;
    };
    EXPECT_EQ(TA::meter(beats(6), low, low).group, 2);
    EXPECT_EQ(TA::meter(beats(9), low, low).group, 2);
    // Accents every fourth beat: four beats per group once 12 beats exist.
    EXPECT_EQ(TA::meter(beats(12), low, low).group, 4);
}

namespace {

std::optional<TempoResult> analysed(test::RhythmSpec spec) {
    spec.seconds = 20;
    return TA::analyze(test::drumPattern(spec).samples);
}

}  // namespace

// The autocorrelation favours the lag of two beats when the bars repeat:
// kick-snare music at 150-180 BPM read at half its tempo, a fast waltz at
// half its tempo. Beats whose midpoints carry as much accent as the beats
// are the pulse. Slower music keeps its tempo.
TEST(TempoAnalyzer, FastMusicIsNotReadAtHalfItsTempo) {
    for (auto spec : {test::RhythmSpec{.bpm = 150}, test::RhythmSpec{.bpm = 170}, test::RhythmSpec{.bpm = 180},
                      test::RhythmSpec{.bpm = 176, .beatsPerBar = 3}, test::RhythmSpec{.bpm = 130},
                      test::RhythmSpec{.bpm = 96, .beatsPerBar = 3}}) {
        const auto t = analysed(spec);
        ASSERT_TRUE(t) << spec.bpm;
        EXPECT_NEAR(t->bpm, spec.bpm, 0.02 * spec.bpm);
        EXPECT_EQ(t->meter.group, spec.beatsPerBar) << spec.bpm;
        // The tempo given is the first candidate's, with its score.
        ASSERT_FALSE(t->candidates.empty());
        EXPECT_EQ(t->candidates[0].bpm, t->bpm);
        EXPECT_EQ(t->candidates[0].score, t->score);
    }
}

// Kick on one and three, snare on two and four, at any tempo: 4/4, not cut
// time; the grid keeps four beats to the bar either way.
TEST(TempoAnalyzer, KickSnareFourFourIsNotCutTime) {
    for (double bpm : {70.0, 122.0, 140.0, 165.0}) {
        const auto t = analysed({.bpm = bpm});
        ASSERT_TRUE(t);
        EXPECT_EQ(t->meter.label, "4/4") << bpm;
        EXPECT_EQ(t->meter.group, 4);
    }
    // Accents on every other beat with no fourth-beat grouping in reach
    // (fewer than twelve beats) stay two.
    std::vector<float> low(400, 0.1f);
    std::vector<double> b;
    for (int j = 0; j < 10; ++j) {
        b.push_back(j * 10 / TA::envelopeRate + 1e-6);
        if (j % 2 == 0) low[size_t(j * 10)] = 1.0f;
    }
    EXPECT_EQ(TA::meter(b, low, low).label, "2/4 or cut time");
}

// Dotted beats of three eighths: 6/8 at the dotted beat's tempo, two beats
// to the bar, not the quarter notes three to the bar (3:2) nor two-four;
// the grid's bars span one 6/8 bar.
TEST(TempoAnalyzer, SixEightIsTwoDottedBeatsToTheBar) {
    for (double bpm : {70.0, 90.0, 110.0}) {
        test::RhythmSpec spec{.bpm = bpm, .swing = 0, .compound = true, .seconds = 20};
        const auto piece = test::drumPattern(spec);
        const auto t = TA::analyze(piece.samples);
        ASSERT_TRUE(t) << bpm;
        EXPECT_NEAR(t->bpm, bpm, 0.02 * bpm);
        EXPECT_EQ(t->meter.label, "6/8") << bpm;
        EXPECT_EQ(t->meter.group, 2);
        EXPECT_GT(TA::ternaryShare(t->envLow, t->envFull, t->bpm), TA::minTernaryShare);
        const auto grid = GridBuilder::build(*t, piece.samples, t->durationSec);
        EXPECT_EQ(grid.beatsPerBar, 2);
        ASSERT_GE(grid.downbeats.size(), 4u);
        EXPECT_NEAR(grid.downbeats[1] - grid.downbeats[0], 2 * 60 / bpm, 0.03);
    }
    // Straight and swung eighths are not divided in three.
    for (double swing : {0.0, 1.0 / 3}) {
        const auto t = analysed({.bpm = 100, .swing = swing});
        ASSERT_TRUE(t);
        EXPECT_LT(TA::ternaryShare(t->envLow, t->envFull, t->bpm), TA::minTernaryShare) << swing;
        EXPECT_EQ(t->meter.label, "4/4");
    }
}

// How accent falls inside the beat: pulses every 40 values with a weaker
// one halfway read as [1, 0, 0.5, 0] at four steps, from the phase of the
// strong pulses.
TEST(TempoAnalyzer, PulseProfileFoldsTheEnvelopeOntoTheBeat) {
    std::vector<float> env(4000, 0.0f);
    for (size_t i = 7; i + 20 < env.size(); i += 40) {
        env[i] = 1.0f;
        env[i + 20] = 0.5f;
    }
    const auto p = TA::pulseProfile(env, env, TA::envelopePerMinute / 40, 4);
    ASSERT_EQ(p.at.size(), 4u);
    EXPECT_NEAR(p.phase, 7, 1.5);  // the phase search's step, and the neighbours it reads
    EXPECT_NEAR(p.at[0], 1.0, 1e-6);
    EXPECT_NEAR(p.at[1], 0.0, 1e-6);
    EXPECT_NEAR(p.at[2], 0.5, 1e-6);
    EXPECT_GT(p.beats, 90);
    EXPECT_TRUE(TA::pulseProfile(env, env, 0, 4).at.empty());
}

// Nothing claims a tempo without a pulse: near-silence (a drum track at
// -78 dBFS, whose envelope alone would look like music), white noise, and
// the recurrence of a pad's slow chord changes.
TEST(TempoAnalyzer, NoPulseInSilenceNoiseOrAPad) {
    auto drums = test::drumPattern({.bpm = 120, .seconds = 12});
    ASSERT_TRUE(TA::analyze(drums.samples));
    for (float& v : drums.samples) v *= 1.26e-4f;  // peak about -78 dBFS
    EXPECT_FALSE(TA::analyze(drums.samples));
    EXPECT_FALSE(TA::audible(drums.samples));
    EXPECT_FALSE(TA::analyze(test::noise(0.3, 22050 * 12, 5)));

    // Pads swelling in and out at 5.5, 7 and 6.2 s apart.
    std::vector<float> pad(22050 * 30, 0.0f);
    double at = 0;
    for (double len : {5.5, 7.0, 6.2, 5.5, 7.0}) {
        for (double f : {220.0, 277.2, 329.6}) {
            for (long i = 0; i < long(len * 22050) && long(at * 22050) + i < long(pad.size()); ++i) {
                const double t = double(i) / 22050;
                const double env = std::sin(M_PI * t / len);
                pad[size_t(long(at * 22050) + i)] += float(0.1 * env * env * std::sin(2 * M_PI * f * t));
            }
        }
        at += len;
    }
    EXPECT_FALSE(TA::analyze(pad));

    // The periodicity a pulse needs, and more of it below 40 BPM.
    EXPECT_FALSE(TA::periodic({100, TA::minPulseScore - 0.01, 1}));
    EXPECT_TRUE(TA::periodic({100, TA::minPulseScore, 1}));
    EXPECT_FALSE(TA::periodic({35, 0.35, 1}));
    EXPECT_TRUE(TA::periodic({35, TA::minSlowPulseScore, 1}));
    // Beats must stand out of the beat's mean accent.
    EXPECT_TRUE(TA::struck({{0.3, 0.05, 0.05, 0.1, 0.05, 0.05}, 0, 10}));
    EXPECT_FALSE(TA::struck({{0.2, 0.15, 0.15, 0.2, 0.15, 0.15}, 0, 10}));
    EXPECT_FALSE(TA::struck({}));
}

#include "analysis/TempoAnalyzer.h"

#include "analysis/MusicGrid.h"
#include "analysis/Signal.h"
#include "support/RhythmSignals.h"
#include "support/Signals.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

std::optional<TempoResult> analysed(test::RhythmSpec rhythm) {
    rhythm.seconds = 20;
    return TA::analyze(test::drumPattern(rhythm).samples);
}

}  // namespace

// The autocorrelation favours the lag of two beats when the bars repeat:
// kick-snare music at 150-180 BPM read at half its tempo, a fast waltz at
// half its tempo. Beats whose midpoints carry as much accent as the beats
// are the pulse. Slower music keeps its tempo.
TEST(TempoAnalyzer, FastMusicIsNotReadAtHalfItsTempo) {
    for (auto rhythm : {test::RhythmSpec{.bpm = 150}, test::RhythmSpec{.bpm = 170}, test::RhythmSpec{.bpm = 180},
                      test::RhythmSpec{.bpm = 176, .beatsPerBar = 3}, test::RhythmSpec{.bpm = 130},
                      test::RhythmSpec{.bpm = 96, .beatsPerBar = 3}}) {
        const auto t = analysed(rhythm);
        ASSERT_TRUE(t) << rhythm.bpm;
        EXPECT_NEAR(t->bpm, rhythm.bpm, 0.02 * rhythm.bpm);
        EXPECT_EQ(t->meter.group, rhythm.beatsPerBar) << rhythm.bpm;
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

// The octave and 3:2 relatives that slow and swung music invite: a slow
// waltz (read at double, as 4/4), a slow 6/8 (at its eighths, as 3/4), fast
// swung 4/4 (at half). Each keeps its own tempo and meter.
TEST(TempoAnalyzer, SlowAndSwungMusicKeepsItsTempoAndMeter) {
    struct Case {
        test::RhythmSpec rhythm;
        const char* label;
    };
    for (const Case& c : {Case{{.bpm = 66, .beatsPerBar = 3}, "3/4"},
                          Case{{.bpm = 62, .compound = true}, "6/8"},
                          Case{{.bpm = 162, .swing = 1.0 / 3}, "4/4"}}) {
        const auto t = analysed(c.rhythm);
        ASSERT_TRUE(t) << c.rhythm.bpm;
        EXPECT_NEAR(t->bpm, c.rhythm.bpm, 0.02 * c.rhythm.bpm) << c.label;
        EXPECT_EQ(t->meter.label, c.label) << c.rhythm.bpm;
    }
}

// Dotted beats of three eighths: 6/8 at the dotted beat's tempo, two beats
// to the bar, not the quarter notes three to the bar (3:2) nor two-four;
// the grid's bars span one 6/8 bar.
TEST(TempoAnalyzer, SixEightIsTwoDottedBeatsToTheBar) {
    for (double bpm : {70.0, 90.0, 110.0}) {
        test::RhythmSpec rhythm{.bpm = bpm, .swing = 0, .compound = true, .seconds = 20};
        const auto piece = test::drumPattern(rhythm);
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

namespace {

// A 4/4 piece of 30 s with one chord a bar (I V vi IV in C), or one each
// half bar, the bass on beats 1 and 3 and a melody on the beats from the
// fifth bar on, for keys alone or with a kick-snare band. `hits` are the
// chords' strokes within the bar, in beats.
test::MidiSong fourFourPiece(double bpm, std::vector<double> hits, double chordLength, bool band, int perBar = 1,
                             double swing = 0) {
    test::MidiSong song;
    song.bpm = bpm;
    song.programs = {{0, band ? 16 : 0}, {1, 33}, {2, 73}};
    const int roots[4] = {0, 7, 9, 5};
    const bool minor[4] = {false, false, true, false};
    const int bars = int(30 * bpm / 240);
    for (int bar = 0; bar < bars; ++bar) {
        const double t0 = 4.0 * bar;
        const auto step = [&](double at) { return (bar * perBar + int(at * perBar / 4)) % 4; };
        const auto chordAt = [&](double at) {
            const int k = step(at), r = roots[k];
            return std::array<int, 3>{r, r + (minor[k] ? 3 : 4), r + 7};
        };
        const std::array<int, 3> chord = chordAt(0);
        const int root = chord[0];
        for (double h : hits)
            for (int pc : chordAt(h)) song.notes.push_back({t0 + h, chordLength, 52 + (pc + 8) % 12, h == 0 ? 76 : 66, 0});
        // With swing, the bass on every beat and swung eighths in the tune.
        const double bassLength = swing > 0 ? 0.9 : 1.4;
        song.notes.push_back({t0, bassLength, 36 + root % 12, 100, 1});
        song.notes.push_back({t0 + 2, bassLength, 36 + chordAt(2)[0] % 12 + (bar % 2 && perBar == 1 ? 7 : 0), 90, 1});
        if (swing > 0)
            for (int b : {1, 3}) song.notes.push_back({t0 + b, 0.9, 36 + chordAt(b)[0] % 12 + 7 * (bar % 2), 86, 1});
        if (bar >= 4)
            for (int b = 0; b < 4; ++b) {
                const int tone = chordAt(b)[size_t((bar + b) % 3)];
                song.notes.push_back({t0 + b, swing > 0 ? 0.45 : 0.9, 72 + tone % 12, 78, 2});
                if (swing > 0)
                    song.notes.push_back({t0 + b + 0.5 + swing / 2, 0.3, 74 + chordAt(b)[size_t(b % 3)] % 12, 64, 2});
            }
        if (band) {
            for (int b = 0; b < 4; ++b) song.notes.push_back({t0 + b, 0.1, b % 2 ? 38 : 36, b % 2 ? 100 : 112, 9});
            for (int e = 0; e < 8; ++e) song.notes.push_back({t0 + 0.5 * e, 0.1, 42, e % 2 ? 50 : 75, 9});
        }
    }
    return song;
}

// A drumless piece in dotted beats at `bpm`, `perBar` of them to the bar:
// broken chords on the eighths, one chord a bar, the bass on every dotted
// beat of 6/8 or on the first and third of 12/8.
test::MidiSong compoundPiece(double bpm, int perBar) {
    test::MidiSong song;
    song.bpm = 1.5 * bpm;
    song.programs = {{0, 0}, {1, 33}};
    const int roots[4] = {0, 7, 9, 5};
    const bool minor[4] = {false, false, true, false};
    const double bar = 1.5 * perBar;
    for (int k = 0; k < int(30 * bpm / 60 / perBar); ++k) {
        const int r = roots[k % 4];
        const int chord[3] = {r, r + (minor[k % 4] ? 3 : 4), r + 7};
        for (int e = 0; e < 3 * perBar; ++e)
            song.notes.push_back({k * bar + 0.5 * e, 0.5, 60 + chord[e % 3] % 12 + (e % 6 == 3 ? 12 : 0),
                                  e % 3 ? 56 : 72, 0});
        for (int b = 0; b < perBar; b += perBar / 2)
            song.notes.push_back({k * bar + 1.5 * b, 1.5 * perBar / 2 - 0.1, 36 + r % 12, b ? 88 : 100, 1});
    }
    return song;
}

// A song rendered through the General MIDI font, mono at the analysis rate;
// empty when it could not be rendered.
std::vector<float> rendered(const test::MidiSong& song) {
    test::TempDir dir;
    const auto mid = dir / "piece.mid", wav = dir / "piece.wav";
    test::writeMidi(mid, song);
    if (!test::renderMidi(mid, wav, 44100)) return {};
    const auto audio = Signal::readPlanar(wav);
    return Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050);
}

}  // namespace

// The octave of a 4/4 piece follows its bass and its harmony where the
// accents alone mislead: keys alone at 146-164 BPM, whose bass and chords
// on beats 1 and 3 recur at half the tempo, were read at 73-82; a band at
// 84 with chords between the beats, at 168. The bass on every beat with
// chords changing on beats 1 and 3 alike is the faster tempo; the bass
// once in four beats, with a snare on the third and nothing on the second
// and fourth, is the slower. A slow piece for keys keeps its tempo, and so
// do a ballad with two chords a bar over its root on one and three and a
// swung one with the bass on every beat.
TEST(TempoAnalyzer, BassAndHarmonyTellTheOctaveOfFourFour) {
    if (!test::soundFont()) GTEST_SKIP() << "no General MIDI sound font";
    struct Case {
        double bpm;
        std::vector<double> hits;
        double chordLength;
        bool band;
        int perBar = 1;
        double swing = 0;
    };
    for (const Case& c : {Case{164, {0, 2}, 1.9, false}, Case{146, {0, 1, 2, 3}, 0.45, false},
                          Case{84, {0, 1.5, 2.5, 3.5}, 0.45, true}, Case{76, {0, 1, 2, 3}, 0.45, false},
                          Case{64, {0, 2}, 1.9, false, 2}, Case{72, {0, 1, 2, 3}, 0.4, false, 2, 1.0 / 3}}) {
        const auto mono = rendered(fourFourPiece(c.bpm, c.hits, c.chordLength, c.band, c.perBar, c.swing));
        ASSERT_FALSE(mono.empty());
        const auto t = TA::analyze(mono);
        ASSERT_TRUE(t) << c.bpm;
        EXPECT_NEAR(t->bpm, c.bpm, 0.02 * c.bpm);
        EXPECT_EQ(t->meter.label, "4/4") << c.bpm;
    }
}

// Dotted beats without drums make bars of two when the bass sounds on both
// and the chords change on every bar line (6/8), of four when the bass
// sounds on every other one and the chords change once in four (12/8,
// counted in four).
TEST(TempoAnalyzer, TheBassAndTheChordsTellSixEightFromTwelveEight) {
    if (!test::soundFont()) GTEST_SKIP() << "no General MIDI sound font";
    for (int perBar : {2, 4}) {
        const auto mono = rendered(compoundPiece(66, perBar));
        ASSERT_FALSE(mono.empty());
        const auto t = TA::analyze(mono);
        ASSERT_TRUE(t) << perBar;
        EXPECT_NEAR(t->bpm, 66, 0.02 * 66) << perBar;
        EXPECT_EQ(t->meter.label, perBar == 2 ? "6/8" : "4/4");
        EXPECT_EQ(GridBuilder::build(*t, mono, t->durationSec).beatsPerBar, perBar);
    }
}

// Harmony changes are measured between the half bars on either side of a
// beat. Chords that change every fourth beat change on the first of four
// and not on the third, whether struck on every beat or on every other;
// chords that change every other beat change on the first and third alike;
// drums alone change nothing.
TEST(TempoAnalyzer, HarmonyChangesFallOnTheBarLines) {
    const double sr = 22050, beat = 0.5;
    const double chords[4][3] = {{261.6, 329.6, 392.0}, {392.0, 493.9, 587.3},
                                 {440.0, 523.3, 659.3}, {349.2, 440.0, 523.3}};
    for (int change : {4, 2})
        for (int every : {1, 2}) {
            std::vector<float> x(size_t(24 * sr), 0.0f);
            std::vector<double> beats;
            for (int b = 0; b < 48; ++b) {
                beats.push_back(b * beat);
                if (b % every) continue;
                const auto& chord = chords[(b / change) % 4];
                for (long i = 0; i < long(beat * every * sr); ++i) {
                    const double t = double(i) / sr;
                    for (double f : chord)
                        x[size_t(long(b * beat * sr) + i)] +=
                            float(0.1 * std::exp(-3 * t) * std::sin(2 * M_PI * f * t));
                }
            }
            const auto h = TA::harmonyChanges(x, beats, 4);
            ASSERT_EQ(h.size(), 4u);
            EXPECT_GE(h[0], TA::minHarmonyChange);
            if (change == 4) {
                EXPECT_LT(h[2], 0.1 * h[0]) << every;
                EXPECT_LT(std::max(h[1], h[3]), 0.8 * h[0]) << every;
            } else {
                EXPECT_GE(h[2], TA::minHalfBarHarmony * h[0]) << every;
            }
        }
    const auto drums = test::drumPattern({.bpm = 120, .seconds = 24});
    const auto h = TA::harmonyChanges(drums.samples, drums.beats, 4);
    ASSERT_EQ(h.size(), 4u);
    EXPECT_LT(h[0], TA::minHarmonyChange);
    EXPECT_TRUE(TA::harmonyChanges(drums.samples, {0.0, 0.5, 1.0}, 4).empty());
}

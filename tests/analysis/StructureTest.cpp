#include "analysis/Structure.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/Signal.h"

using namespace qm;

namespace {

constexpr double kSr = 22050;

// A grid of 4/4 bars of 2 s (120 BPM) starting at 0.
MusicGrid gridOf(int bars, double barSeconds = 2.0) {
    MusicGrid g;
    g.bpm = 240.0 / barSeconds;
    g.beatsPerBar = 4;
    g.steady = true;
    for (int b = 0; b < bars; ++b) g.downbeats.push_back(b * barSeconds);
    g.duration = bars * barSeconds;
    return g;
}

// One steady 220 Hz tone per bar at the given RMS level.
std::vector<float> barsAt(const std::vector<double>& levels, double barSeconds = 2.0, double hz = 220) {
    const size_t per = static_cast<size_t>(barSeconds * kSr);
    std::vector<float> x;
    x.reserve(per * levels.size());
    for (double l : levels)
        for (size_t i = 0; i < per; ++i)
            x.push_back(static_cast<float>(l * std::sqrt(2.0) *
                                           std::sin(2 * std::numbers::pi * hz * x.size() / kSr + 0.3)));
    return x;
}

std::vector<double> bounds(int bars, double barSeconds = 2.0) { return gridOf(bars, barSeconds).boundaries(); }

// Bars all at level 0.3, the music from `start` to `end`.
BarProfile evenProfile(int bars, int64_t start, int64_t end) {
    BarProfile p;
    p.rms.assign(bars, 0.3f);
    p.activeLevel = 0.3f;
    p.musicStartBar = start;
    p.musicEndBar = end;
    return p;
}

}  // namespace

TEST(Structure, ZeroCrossingRate) {
    const std::vector<float> x{1, -1, 1, -1};
    EXPECT_FLOAT_EQ(Structure::windowZcr(x, 0, 4), 0.75f);
    EXPECT_FLOAT_EQ(Structure::windowZcr(x, -3, 2), 0.5f);  // clipped to [0, 2)
    EXPECT_FLOAT_EQ(Structure::windowZcr({0, -1}, 0, 2), 0.5f);  // 0 counts as not below
    EXPECT_EQ(Structure::windowZcr(x, 3, 10), 0.0f);           // one sample
}

TEST(Structure, ProfileFindsMusicStartAndEnd) {
    // Two quiet bars, a rise, a body, then a tail that dies away.
    std::vector<double> levels{0.01, 0.01, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.12, 0.01, 0.0};
    auto p = Structure::profile(barsAt(levels), kSr, bounds(13));
    ASSERT_EQ(p.rms.size(), 13u);
    EXPECT_NEAR(p.activeLevel, 0.3, 1e-3);
    EXPECT_EQ(p.musicStartBar, 2);
    // Bar 10 (0.12) falls below half the bar before, so it counts as music
    // only at 0.6 L or more: the music ends after bar 9.
    EXPECT_EQ(p.musicEndBar, 10);
    // No boundaries, one boundary: no bars.
    EXPECT_EQ(Structure::profile(barsAt({0.3}), kSr, {}), BarProfile{});
    EXPECT_EQ(Structure::profile(barsAt({0.3}), kSr, {0.0}), BarProfile{});
    // Silence: the music starts at bar 0 and every bar passes the end test.
    auto silent = Structure::profile(std::vector<float>(kSr * 8, 0.0f), kSr, bounds(4));
    EXPECT_EQ(silent.musicStartBar, 0);
    EXPECT_EQ(silent.musicEndBar, 4);  // a level of 0 is not below 0.6 L = 0
}

TEST(Structure, NoveltyPeaksAtASectionChange) {
    // Bars 0-7 alike, bars 8-15 alike, the two sections unlike.
    const int N = 16;
    std::vector<std::vector<double>> S(N, std::vector<double>(N, 0.2));
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j)
            if ((i < 8) == (j < 8)) S[i][j] = 1.0;
    auto nov = Structure::novelty(S, 4);
    ASSERT_EQ(nov.size(), 17u);
    EXPECT_EQ(nov[8], 1.0);
    EXPECT_EQ(nov[0], 0.0);
    EXPECT_EQ(nov[16], 0.0);
    for (int b = 1; b < N; ++b)
        if (b != 8) {
            EXPECT_LT(nov[b], 1.0);
        }
    EXPECT_EQ(Structure::novelty({{1, 0}, {0, 1}}, 2), (std::vector<double>{0, 0, 0}));
    EXPECT_TRUE(Structure::similarity({}).empty());
}

TEST(Structure, NoveltyHalfWidthFollowsTheBarCount) {
    for (int bars : {15, 16}) {
        std::vector<double> levels(bars);
        for (int i = 0; i < bars; ++i) levels[i] = 0.1 + 0.02 * (i % 5) + (i >= bars / 2 ? 0.1 : 0);
        auto x = barsAt(levels, 2.0, 220 + 20 * bars);
        const SpectralFrames frames(x);
        const auto g = gridOf(bars);
        auto r = Structure::analyze(x, kSr, g, frames, "cue.wav");
        const auto S = Structure::similarity(Structure::barFeatures(frames, g.boundaries()));
        EXPECT_EQ(r.similarity, S);
        EXPECT_EQ(r.novelty, Structure::novelty(S, bars < 16 ? 2 : 4)) << bars;
        EXPECT_NE(r.novelty, Structure::novelty(S, bars < 16 ? 4 : 2)) << bars;
    }
}

TEST(Structure, CookFindsBodyEntryAndQuietTail) {
    // 4 s soft, 30 s loud, then 10 s nearly silent.
    std::vector<float> x;
    for (auto [sec, amp] : {std::pair{4.0, 0.05}, {30.0, 0.5}, {10.0, 0.001}}) {
        const size_t n = static_cast<size_t>(sec * kSr);
        for (size_t i = 0; i < n; ++i)
            x.push_back(static_cast<float>(amp * std::sin(2 * std::numbers::pi * 220 * x.size() / kSr)));
    }
    auto c = Structure::cook(x, kSr, 120);
    ASSERT_TRUE(c.bodyEntry);
    EXPECT_NEAR(*c.bodyEntry, 4.0, 0.2);
    ASSERT_TRUE(c.tailStart);
    EXPECT_NEAR(*c.tailStart, 34.0, 0.2);
    EXPECT_EQ(Structure::cook(std::vector<float>(1000, 0.5f), kSr, std::nullopt), Structure::Cooked{});
    EXPECT_EQ(Structure::cook(std::vector<float>(kSr * 10, 0.0f), kSr, std::nullopt), Structure::Cooked{});
}

TEST(Structure, OneBarFile) {
    auto x = barsAt({0.3});
    std::fill(x.end() - static_cast<long>(0.3 * kSr), x.end(), 0.0f);  // not loud edge to edge
    auto r = Structure::analyze(x, kSr, gridOf(1), SpectralFrames(x), "one bar.wav");
    EXPECT_EQ(r.profile.rms.size(), 1u);
    EXPECT_EQ(r.novelty, (std::vector<double>{0, 0}));
    EXPECT_EQ(r.notes, (std::vector<std::string>{"No distinct intro: edits start straight into the body",
                                                 "No distinct ending section: using the last 2 bars"}));
    EXPECT_EQ(r.pins.introEnd, 0);
    EXPECT_EQ(r.pins.loopEnd, 1);
    EXPECT_EQ(r.pins.endingStart, 1);
    EXPECT_FALSE(r.pins.loopFile);
    // No bars at all.
    MusicGrid none;
    none.downbeats = {};
    auto empty = Structure::analyze({}, kSr, none, SpectralFrames{}, "x.wav");
    EXPECT_TRUE(empty.similarity.empty());
    EXPECT_FALSE(empty.pins.loopFile);
}

TEST(Structure, SilentHeadIsSkipped) {
    std::vector<double> levels(42, 0.3);
    levels[0] = levels[1] = 0.0;
    levels.back() = 0.25;
    auto x = barsAt(levels);
    auto r = Structure::analyze(x, kSr, gridOf(42), SpectralFrames{}, "cue.wav");
    EXPECT_EQ(r.profile.musicStartBar, 2);
    EXPECT_EQ(r.pins.startTime, 4.0);
    ASSERT_FALSE(r.notes.empty());
    EXPECT_EQ(r.notes[0], "Skipped 4.0 s of silent head");
}

TEST(Structure, FinalHitBar) {
    // Bars of body, then a bar that starts loud and dies within a beat.
    auto piece = [](int bodyBars) {
        auto x = barsAt(std::vector<double>(bodyBars, 0.2));
        const size_t bar = static_cast<size_t>(2.0 * kSr);
        for (size_t i = 0; i < bar; ++i) {
            const double env = std::exp(-static_cast<double>(i) / (0.15 * kSr));
            x.push_back(static_cast<float>(0.9 * env * std::sin(2 * std::numbers::pi * 110 * i / kSr)));
        }
        return Structure::analyze(x, kSr, gridOf(bodyBars + 1), SpectralFrames{}, "cue.wav");
    };
    auto r = piece(12);
    EXPECT_EQ(r.profile.musicEndBar, 13);
    EXPECT_EQ(r.pins.finalHit, 12);
    // The content exit sits at the hit bar.
    ASSERT_FALSE(r.exitCandidates.empty());
    const auto& exit = r.exitCandidates.front();
    EXPECT_EQ(exit.boundary, 12);
    EXPECT_TRUE(exit.isContentEnd);
    ASSERT_GE(exit.reasons.size(), 2u);
    EXPECT_EQ(exit.reasons[0], "musical end");
    EXPECT_EQ(exit.reasons[1], "tail rings under next cue");
    // Too short for an ending section: the hit is the ending.
    r = piece(4);
    EXPECT_EQ(r.pins.finalHit, 4);
    EXPECT_EQ(r.pins.endingStart, 4);
    EXPECT_EQ(r.notes.back(), "Ending is a single final hit");
}

TEST(Structure, LoopFilesByNameAndByEdges) {
    std::vector<double> levels(64, 0.3);
    for (size_t i = 0; i < levels.size(); ++i) levels[i] = 0.25 + 0.05 * (i % 2);
    auto x = barsAt(levels);
    const auto g = gridOf(64);
    auto byName = Structure::analyze(x, kSr, g, SpectralFrames{}, "Drive LOOP 120.wav");
    EXPECT_TRUE(byName.pins.loopFile);
    EXPECT_EQ(byName.pins, (Pins{0, 0, 0, 64, 64, 64, 64, true}));
    EXPECT_EQ(byName.notes,
              (std::vector<std::string>{"Seamless loop file: no composed ending, so cutdowns end with a 1-bar fade"}));
    // Loud at both edges and no final hit: a loop whatever the name.
    EXPECT_TRUE(Structure::analyze(x, kSr, g, SpectralFrames{}, "drive.wav").pins.loopFile);
    // Loop and intro in one name, with a quiet tail: not a loop file.
    levels.back() = 0.01;
    auto y = barsAt(levels);
    EXPECT_FALSE(Structure::analyze(y, kSr, g, SpectralFrames{}, "loop intro.wav").pins.loopFile);
    EXPECT_TRUE(Structure::analyze(y, kSr, g, SpectralFrames{}, "loop.wav").pins.loopFile);
}

TEST(Structure, FadeOutNote) {
    std::vector<double> levels(20, 0.3);
    // The last five bars fall by 3 dB each: 12 dB in all.
    for (int i = 0; i < 5; ++i) levels[15 + i] = 0.3 * std::pow(10, -3.0 * (i + 1) / 20);
    auto has = [](const StructureResult& r) {
        return std::find(r.notes.begin(), r.notes.end(), "Source ends on a fade-out") != r.notes.end();
    };
    auto fade = Structure::analyze(barsAt(levels), kSr, gridOf(20), SpectralFrames{}, "cue.wav");
    EXPECT_EQ(fade.profile.musicEndBar, 20);
    EXPECT_TRUE(has(fade));
    levels[17] = levels[16] * 1.03;
    EXPECT_FALSE(has(Structure::analyze(barsAt(levels), kSr, gridOf(20), SpectralFrames{}, "cue.wav")));
}

TEST(Structure, PinsJson) {
    const Pins p{1.5, 2, 2, 18, 18, 22, 21, false};
    nlohmann::json j = p;
    EXPECT_EQ(j.size(), 8u);
    EXPECT_EQ(j.at("loopEnd"), 18);
    EXPECT_EQ(j.get<Pins>(), p);
    for (auto [key, value] : {std::pair{"finalHit", nlohmann::json()}, {"introEnd", 2.5}, {"loopFile", 1}}) {
        auto bad = j;
        if (value.is_null()) bad.erase(key); else bad[key] = value;  // missing or mistyped
        EXPECT_THROW(bad.get<Pins>(), nlohmann::json::exception) << key;
    }
}

TEST(LoopCandidates, SeamKinds) {
    const double L = 0.3;
    auto x = barsAt(std::vector<double>(6, 0.3), 1.0, 105);
    auto quiet = barsAt({0.3, 0.0, 0.0, 0.3, 0.0, 0.0}, 1.0, 105);
    const long n = static_cast<long>(x.size());
    auto edge = Structure::seam(x, kSr, n - 100, 0, L);
    EXPECT_EQ(edge.kind, Structure::Seam::Kind::edge);
    EXPECT_EQ(edge.match, 0.7);
    auto q = Structure::seam(quiet, kSr, static_cast<long>(kSr), static_cast<long>(4 * kSr), L);
    EXPECT_EQ(q.kind, Structure::Seam::Kind::quiet);
    EXPECT_EQ(q.match, 0.95);
    // The same steady tone on both sides matches perfectly.
    auto same = Structure::seam(x, kSr, static_cast<long>(3 * kSr), static_cast<long>(kSr), L);
    EXPECT_EQ(same.kind, Structure::Seam::Kind::compared);
    EXPECT_NEAR(same.match, 1.0, 1e-6);
    // Loud against silent: level 0 and a timbre floor of 0.6.
    auto risky = Structure::seam(quiet, kSr, static_cast<long>(3 * kSr), static_cast<long>(kSr), L);
    EXPECT_NEAR(risky.match, 0.3, 1e-6);
}

TEST(LoopCandidates, GatheredEndsAndScores) {
    // 40 bars of 1 s with a 105 Hz tone (whole periods per bar): every seam
    // between loud bars is perfect.
    auto x = barsAt(std::vector<double>(40, 0.3), 1.0, 105);
    BarProfile p = evenProfile(40, 0, 36);
    auto c = Structure::loopCandidates(x, kSr, bounds(40, 1.0), p, 4);
    std::vector<int64_t> ends;
    for (const auto& k : c) ends.push_back(k.boundary);
    std::sort(ends.begin(), ends.end());
    EXPECT_EQ(ends, (std::vector<int64_t>{12, 16, 20, 28, 36}));
    const auto& best = c.front();
    EXPECT_EQ(best.boundary, 36);
    EXPECT_TRUE(best.isContentEnd);
    EXPECT_EQ(best.phraseBars, 32);
    EXPECT_EQ(best.score, 1.0);  // 0.5 + 0.2 + 0.3, clamped
    EXPECT_EQ(best.reasons, (std::vector<std::string>{"32-bar phrase", "musical end", "clean splice"}));
    for (const auto& k : c)
        if (k.boundary == 28) {
            EXPECT_EQ(k.phraseBars, 24);
            EXPECT_NEAR(k.score, 0.5 + 0.2 - 0.05, 1e-6);
        } else if (k.boundary == 16) {
            EXPECT_NEAR(k.score, 0.5 + 0.14 - 0.05, 1e-6);
        }
    // A loop start outside the boundaries gives no candidates.
    EXPECT_TRUE(Structure::loopCandidates(x, kSr, bounds(40, 1.0), p, 41).empty());
    EXPECT_TRUE(Structure::loopCandidates(x, kSr, {}, p, 0).empty());
    // A loop end in the last 0.05 s of the file is an edge seam.
    p.musicEndBar = 40;
    auto edge = Structure::loopCandidates(x, kSr, bounds(40, 1.0), p, 8);
    ASSERT_FALSE(edge.empty());
    EXPECT_EQ(edge.front().boundary, 40);
    EXPECT_EQ(edge.front().reasons.back(), "edge-to-edge file");
    EXPECT_NEAR(edge.front().score, 0.35 + 0.2 + 0.3, 1e-9);
}

TEST(LoopCandidates, ExitCandidates) {
    auto x = barsAt(std::vector<double>(8, 0.3), 1.0, 105);
    BarProfile p = evenProfile(8, 2, 5);  // three bars of music after its start
    auto c = Structure::exitCandidates(x, kSr, bounds(8, 1.0), p, 4);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].boundary, 5);
    EXPECT_EQ(c[0].score, 0.9);
    EXPECT_EQ(c[0].reasons, (std::vector<std::string>{"musical end", "tail rings under next cue"}));
    EXPECT_EQ(c[1].boundary, 4);
    EXPECT_EQ(c[1].phraseBars, 2);
    EXPECT_EQ(c[1].score, 0.46);
    // A quiet bar before an exit costs 0.2; an 8-bar content exit scores 1.
    p.musicStartBar = 0;
    p.musicEndBar = 8;
    p.rms[3] = 0.05f;
    c = Structure::exitCandidates(x, kSr, bounds(9, 1.0), p, 4);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].boundary, 8);
    EXPECT_EQ(c[0].score, 1.0);
    EXPECT_EQ(c[1].boundary, 2);
    EXPECT_NEAR(c[2].score, 0.26, 1e-12);
    EXPECT_EQ(c[2].boundary, 4);
}

#include "analysis/MusicAnalysis.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "analysis/Signal.h"
#include "support/Music.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;

TEST(MusicAnalysis, SummaryLine) {
    MusicAnalysis a;
    a.grid.bpm = 120;
    a.grid.steady = true;
    a.tempo.meter.label = "4/4";
    a.key.tonic = "A";
    a.key.mode = "minor";
    a.loudness.integrated = -14.04;
    a.loudness.truePeak = -1.26;
    EXPECT_EQ(a.summary(), "120.00 BPM 4/4 \u00b7 steady \u00b7 Am \u00b7 -14.0 LUFS \u00b7 -1.3 dBTP");

    a.grid.bpm = 87.5;
    a.grid.steady = false;
    a.tempo.meter.label = "3/4";
    a.tempo.twin = 175.02;
    a.tempo.drift = "RUBATO";
    a.key.tonic = "F#";
    a.key.mode = "major";
    EXPECT_EQ(a.summary().rfind("87.50 BPM 3/4 (twin 175.0) \u00b7 rubato \u00b7 F# \u00b7", 0), 0u)
        << a.summary();
    // The steady drift class on an unsteady grid reads "steady"; a meter
    // without a group shows "?".
    a.tempo.drift = "STEADY";
    a.tempo.twin.reset();
    a.tempo.meter.label = "?";
    EXPECT_EQ(a.summary().rfind("87.50 BPM ? \u00b7 steady \u00b7 F# \u00b7", 0), 0u) << a.summary();
}

TEST(MusicAnalysis, PipelineSkipsShortAndPulselessInput) {
    // Exactly one second is not analysed.
    std::vector<float> second(44100, 0.1f);
    auto out = AnalysisPipeline::run({second, second}, 44100, std::nullopt, "a.wav");
    EXPECT_FALSE(out.analysis);
    EXPECT_EQ(out.skipped, AnalysisSkip::tooShort);
    EXPECT_EQ(AnalysisPipeline::run({}, 44100, std::nullopt, "a.wav").skipped, AnalysisSkip::tooShort);
    // Ten seconds of silence have no pulse.
    out = AnalysisPipeline::run({std::vector<float>(441000, 0.0f)}, 44100, std::nullopt, "a.wav");
    EXPECT_FALSE(out.analysis);
    EXPECT_EQ(out.skipped, AnalysisSkip::noSteadyPulse);
}

// Where no pulse is found a tempo given by hand is used, with the bar length
// given: the grid, and the sections on its bars, stand on it.
TEST(MusicAnalysis, AGivenTempoIsUsedWhereNoPulseIsFound) {
    const auto n = test::noise(0.3, 44100 * 40, 21);
    EXPECT_EQ(AnalysisPipeline::run({n, n}, 44100, std::nullopt, "noise.wav", std::nullopt, 3).skipped,
              AnalysisSkip::noSteadyPulse);
    const auto out = AnalysisPipeline::run({n, n}, 44100, std::nullopt, "noise.wav", 90.0, 3);
    ASSERT_TRUE(out.analysis);
    const auto& a = *out.analysis;
    EXPECT_NEAR(a.grid.bpm, 90, 0.6);
    EXPECT_EQ(a.grid.beatsPerBar, 3);
    EXPECT_TRUE(a.tempo.candidates.empty()) << "none was found";
    const auto bars = a.grid.boundaries();
    ASSERT_GE(bars.size(), 19u);  // bars of 2 s
    EXPECT_NEAR((bars[bars.size() - 2] - bars[1]) / double(bars.size() - 3), 2.0, 0.04) << "bars of 3 beats at 90";
    EXPECT_LT(a.structure.pins.loopEnd, int64_t(bars.size()));
    EXPECT_GT(a.structure.pins.loopEnd, a.structure.pins.loopStart);
    EXPECT_FALSE(a.structure.exitCandidates.empty());
}

// Rendered pieces of known form: a 4-bar intro, a body of repeated 8-bar
// phrases, a 4-bar ending and a final hit. The quick run takes one piece;
// set QM_FULL_CORPUS=1 for more tempi and keys with the pins printed.
TEST(MusicAnalysis, RenderedPiecesOfKnownForm) {
    if (!qm::test::soundFont()) GTEST_SKIP() << "no General MIDI sound font";
    const bool full = std::getenv("QM_FULL_CORPUS") != nullptr;
    std::vector<qm::test::SongPlan> plans{{.tonic = 9, .minor = true, .bpm = 120, .bodyBars = 16}};
    if (full) {
        plans.push_back({.tonic = 0, .bpm = 100, .bodyBars = 16, .seed = 2});
        plans.push_back({.tonic = 7, .bpm = 132, .bodyBars = 24, .seed = 3});
        plans.push_back({.tonic = 2, .minor = true, .bpm = 90, .bodyBars = 16, .seed = 4});
        plans.push_back({.tonic = 5, .bpm = 110, .bodyBars = 32, .seed = 5});
        plans.push_back({.tonic = 10, .minor = true, .bpm = 126, .bodyBars = 16, .finalHit = false, .seed = 6});
    }
    qm::test::TempDir dir;
    int pinsExact = 0, loopsFound = 0;
    for (const auto& plan : plans) {
        const auto mid = dir / "song.mid", wav = dir / "song.wav";
        qm::test::writeMidi(mid, qm::test::composeSong(plan));
        ASSERT_TRUE(qm::test::renderMidi(mid, wav, 44100));
        auto audio = Signal::readPlanar(wav);
        // The file ends with the last bar of music, as an edited cue does.
        const auto frames = static_cast<size_t>(qm::test::songBars(plan) * 240.0 / plan.bpm * audio.sampleRate);
        for (auto& c : audio.channels) c.resize(std::min(c.size(), frames));
        auto out = AnalysisPipeline::run(audio.channels, audio.sampleRate, std::nullopt, "song.wav");
        ASSERT_TRUE(out.analysis);
        const auto& a = *out.analysis;
        const auto& p = a.structure.pins;
        const int64_t introEnd = plan.introBars, bodyEnd = plan.introBars + plan.bodyBars;
        const int64_t musicEnd = qm::test::songBars(plan);
        bool loopListed = false;  // the known loop: intro end to body end
        for (const auto& c : a.structure.loopCandidates)
            loopListed = loopListed || (p.loopStart == introEnd && c.boundary == bodyEnd);
        const int64_t hitBar = plan.finalHit ? musicEnd - 1 : musicEnd;
        const bool endingInside = p.endingStart >= bodyEnd && p.endingStart < musicEnd;
        const bool exact = p.introEnd == introEnd && p.musicEnd == musicEnd &&
                           (!plan.finalHit || p.finalHit == hitBar) && endingInside;
        pinsExact += exact;
        loopsFound += loopListed;
        std::printf("  %s: intro %lld/%lld ending %lld/%lld end %lld/%lld hit %lld loop %lld-%lld\n",
                    a.summary().c_str(), (long long)p.introEnd, (long long)introEnd, (long long)p.endingStart,
                    (long long)bodyEnd, (long long)p.musicEnd, (long long)musicEnd, (long long)p.finalHit,
                    (long long)p.loopStart, (long long)p.loopEnd);
        EXPECT_NEAR(a.grid.bpm, plan.bpm, 0.5);
        EXPECT_EQ(a.key.tonic, KeyAnalyzer::notes[plan.tonic]);
        EXPECT_EQ(p.introEnd, introEnd);
        EXPECT_EQ(p.musicEnd, musicEnd);
        if (plan.finalHit) {
            EXPECT_EQ(p.finalHit, hitBar);
        }
        EXPECT_TRUE(endingInside) << p.endingStart;
        EXPECT_TRUE(loopListed);
        EXPECT_FALSE(p.loopFile);
    }
    std::printf("  pieces: %d of %zu with the pins on the known bars, %d with a whole-phrase loop listed\n",
                pinsExact, plans.size(), loopsFound);
}

// Reading for the analysis decodes, folds, converts and measures in one
// pass, and gives exactly what the separate steps give: the channels of
// Signal::readPlanar (when kept), the mono of Signal::mono and
// Signal::resample and the loudness of Loudness::measure, at 44.1 kHz
// (halved), 48 kHz (converted, three channels and two) and 22.05 kHz (kept).
TEST(MusicAnalysis, ReadingInOnePassGivesWhatTheStepsGive) {
    test::TempDir dir;
    for (auto [rate, channels] : {std::pair{44100.0, 3}, {48000.0, 3}, {48000.0, 2}, {22050.0, 3}}) {
        const auto file = dir / "three.wav";
        auto sig = test::staircaseSignal(3, int64_t(rate * 1.5) + 17);
        sig.resize(size_t(channels));
        test::writeAudioFile(file, sig, rate, {.bits = 24});
        const auto planar = Signal::readPlanar(file);
        const auto kept = AnalysisPipeline::read(file, std::nullopt, true);
        EXPECT_EQ(kept.audio.channels, planar.channels) << rate;
        for (const auto& in : {AnalysisPipeline::read(file), kept}) {
            EXPECT_EQ(in.sampleRate, rate);
            EXPECT_EQ(in.channels, channels);
            EXPECT_EQ(in.mono22k, Signal::resample(Signal::mono(planar.channels), rate, 22050)) << rate;
            EXPECT_EQ(in.loudness, Loudness::measure(planar.channels, rate, std::nullopt)) << rate;
            EXPECT_DOUBLE_EQ(in.seconds(), double(sig[0].size()) / rate);
        }
        EXPECT_TRUE(AnalysisPipeline::read(file).audio.channels.empty()) << "not kept unless asked";
    }
    // One second is too short to analyse: no mono is made, and running says so.
    const auto second = dir / "second.wav";
    test::writeAudioFile(second, test::staircaseSignal(2, 44100), 44100, {.bits = 16});
    auto in = AnalysisPipeline::read(second);
    EXPECT_TRUE(in.mono22k.empty());
    EXPECT_EQ(AnalysisPipeline::run(std::move(in), "second.wav").skipped, AnalysisSkip::tooShort);
    // An empty file gives its channels, empty.
    const auto empty = dir / "empty.wav";
    test::writeAudioFile(empty, test::Planar(2), 48000);
    EXPECT_EQ(AnalysisPipeline::read(empty, std::nullopt, true).audio.channels.size(), 2u);
    EXPECT_EQ(AnalysisPipeline::read(empty).channels, 2);
    EXPECT_THROW(AnalysisPipeline::read(dir / "missing.wav"), std::exception);
}

// Music without a drum kit or in a fast three keeps its tempo, its meter
// and its key: drumless ballads at 60 and 140 BPM (at 60 the chords on
// beats 1 and 3 are all the accompaniment), a fast waltz and a slow swung
// piece for keys.
TEST(MusicAnalysis, BalladsWaltzesAndSwungPiecesKeepTempoMeterAndKey) {
    if (!qm::test::soundFont()) GTEST_SKIP() << "no General MIDI sound font";
    using P = qm::test::StylePlan;
    struct Case {
        P plan;
        const char* meter;
        const char* key;
    };
    qm::test::TempDir dir;
    for (const Case& c : {Case{{P::ballad, 60, 2, false}, "4/4", "D"}, Case{{P::ballad, 140, 11, true}, "4/4", "Bm"},
                          Case{{P::waltz, 180, 7, true}, "3/4", "Gm"}, Case{{P::swing, 66, 5, false}, "4/4", "F"}}) {
        const auto mid = dir / "piece.mid", wav = dir / "piece.wav";
        qm::test::writeMidi(mid, qm::test::composeStylePiece(c.plan));
        ASSERT_TRUE(qm::test::renderMidi(mid, wav, 44100));
        const auto out = AnalysisPipeline::run(AnalysisPipeline::read(wav), "piece.wav");
        ASSERT_TRUE(out.analysis) << c.plan.bpm;
        const MusicAnalysis& a = *out.analysis;
        EXPECT_NEAR(a.grid.bpm, c.plan.bpm, 0.04 * c.plan.bpm) << c.key;
        EXPECT_EQ(a.tempo.meter.label, c.meter) << c.key;
        EXPECT_EQ(a.key.tonic + (a.key.mode == "minor" ? "m" : ""), c.key) << c.plan.bpm;
    }
}

// White noise has no pulse: the file is skipped as the records say, not
// given a tempo.
TEST(MusicAnalysis, NoiseIsSkippedForWantOfAPulse) {
    const auto n = test::noise(0.3, 44100 * 8, 21);
    EXPECT_EQ(AnalysisPipeline::run({n, n}, 44100, std::nullopt, "noise.wav").skipped, AnalysisSkip::noSteadyPulse);
}

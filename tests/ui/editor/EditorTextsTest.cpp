#include "ui/editor/EditorTexts.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "app/core/TimeText.h"

using namespace qm;
using namespace qm::editortext;

namespace {

MusicAnalysis gridOf(double bpm, int beatsPerBar, std::vector<double> downbeats) {
    MusicAnalysis a;
    a.grid.bpm = bpm;
    a.grid.beatsPerBar = beatsPerBar;
    a.grid.downbeats = std::move(downbeats);
    return a;
}

}  // namespace

TEST(EditorTexts, TimesReadMinutesAndSecondsAndNothingOdd) {
    EXPECT_EQ(timeText(0), "0:00.000");
    EXPECT_EQ(timeText(75.5), "1:15.500");
    EXPECT_EQ(timeText(12.25), "0:12.250");
    EXPECT_EQ(timeText(3600), "60:00.000") << "no hours field";
    EXPECT_EQ(timeText(-1), "0:00.000");
    EXPECT_EQ(timeText(std::numeric_limits<double>::quiet_NaN()), "0:00.000");
    EXPECT_EQ(timeText(std::numeric_limits<double>::infinity()), "0:00.000");
    EXPECT_EQ(timeText(1e300), "0:00.000") << "minutes that do not fit the format";
}

TEST(EditorTexts, PositionReadsBarAndBeatFromTheGrid) {
    const double sr = 48000;
    // 120 BPM in 4/4, bars every 2 s from 0.5 s.
    auto a = gridOf(120, 4, {0.5, 2.5, 4.5, 6.5});
    EXPECT_EQ(position(0, sr, nullptr), "0:00.000");
    EXPECT_EQ(position(0, sr, &a), "0:00.000") << "before the first downbeat: the time alone";
    EXPECT_EQ(position(static_cast<int64_t>(3.0 * sr), sr, &a), "0:03.000  2.2");
    // 0.3 ms before bar 3 already reads as its first beat.
    EXPECT_EQ(position(static_cast<int64_t>((4.5 - 0.0003) * sr), sr, &a), "0:04.500  3.1");
    EXPECT_EQ(position(static_cast<int64_t>((4.5 - 0.0007) * sr), sr, &a), "0:04.499  2.4");
    // The last bar runs long: the beat never passes the bar's length.
    EXPECT_EQ(position(static_cast<int64_t>(75.5 * sr), sr, &a), "1:15.500  4.4");
    // A tempo that is no positive finite number gives the time alone.
    for (double bpm : {0.0, -120.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        auto bad = gridOf(bpm, 4, {0.5});
        EXPECT_EQ(position(static_cast<int64_t>(3.0 * sr), sr, &bad), "0:03.000");
    }
    auto none = gridOf(120, 4, {});
    EXPECT_EQ(position(static_cast<int64_t>(3.0 * sr), sr, &none), "0:03.000");
    // A huge tempo would overflow a count of beats.
    auto fast = gridOf(1e300, 4, {0.0});
    EXPECT_EQ(position(static_cast<int64_t>(3.0 * sr), sr, &fast), "0:03.000  1.4");
}

TEST(EditorTexts, TempoMenuShowsCandidatesAndRelationsWithTheValuesTheyPass) {
    TempoResult tempo;
    for (int i = 0; i < 10; ++i) tempo.candidates.push_back({100.0 + i, 0.9 - i * 0.05, 0});
    EXPECT_EQ(tempoCandidates(tempo, false).size(), 3u);
    EXPECT_EQ(tempoCandidates(tempo, true).size(), 6u);
    EXPECT_EQ(tempoCandidates(tempo, false)[1].title, "101.00 BPM  (score 0.85)");
    EXPECT_EQ(tempoCandidates(tempo, false)[1].bpm, 101.0);
    tempo.candidates.resize(2);
    EXPECT_EQ(tempoCandidates(tempo, false).size(), 2u);
    EXPECT_EQ(tempoCandidates(tempo, true).size(), 2u);
    EXPECT_TRUE(tempoCandidates(TempoResult{}, true).empty()) << "an analysis without candidates";

    MusicGrid grid;
    grid.bpm = 120;
    const auto relations = tempoRelations(grid);
    ASSERT_EQ(relations.size(), 4u);
    EXPECT_EQ(relations[0].title, "Half time: 60.00");
    EXPECT_EQ(relations[1].title, "Double time: 240.00");
    EXPECT_EQ(relations[2].title, "Dotted (\u00d73/4): 90.00");
    EXPECT_EQ(relations[3].title, "Triplet (\u00d72/3): 80.00");
    EXPECT_EQ(relations[0].bpm, 60);
    EXPECT_EQ(relations[1].bpm, 240);
    EXPECT_EQ(relations[2].bpm, 90);
    EXPECT_EQ(relations[3].bpm, 80);
    grid.bpm = 100;
    EXPECT_EQ(tempoRelations(grid)[3].title, "Triplet (\u00d72/3): 66.67");
    EXPECT_DOUBLE_EQ(tempoRelations(grid)[3].bpm, 200.0 / 3);

    grid.bpm = 87.456;
    EXPECT_EQ(tempoLabel(grid), "87.46 BPM");
    EXPECT_EQ(twinHelp(87.5), "A twin tempo (87.5 BPM) scores nearly as well. Turn on the click and listen.");
}

TEST(EditorTexts, MeterKeyAndLoudness) {
    MusicGrid grid;
    grid.beatsPerBar = 3;
    grid.steady = false;
    EXPECT_EQ(meterLabel(grid), "3/4 ~");
    EXPECT_EQ(meterHelp(grid), "Tempo drifts: the grid follows tracked beats");
    grid.beatsPerBar = 2;
    grid.steady = true;
    EXPECT_EQ(meterLabel(grid), "2/4") << "6/8 reads as two beats over 4";
    EXPECT_EQ(meterHelp(grid), "Steady tempo: the grid is a straight line");
    ASSERT_EQ(meterItems().size(), 3u);
    EXPECT_EQ(meterItems()[2], (std::pair<QString, int>{"6/8 (2 beats)", 2}));

    KeyResult key;
    key.tonic = "A";
    key.mode = "minor";
    key.confidence = 0.875;
    EXPECT_EQ(keyText(key), "A minor");
    EXPECT_EQ(keyHelp(key), "Key estimate (confidence 87%)");
    key.mode = "Minor";
    EXPECT_EQ(keyText(key), "A major") << "the comparison is exact";
    key.confidence = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(keyHelp(key), "Key estimate (confidence 0%)");

    LoudnessResult l;
    l.integrated = -14.2;
    l.shortTermMax = -10.1;
    l.truePeak = -0.8;
    EXPECT_EQ(loudnessText(l, false), "-14.2 LUFS");
    EXPECT_EQ(loudnessText(l, true), "-14.2 LUFS \u00b7 ST max -10.1 \u00b7 TP -0.8 dBTP");
    EXPECT_EQ(loudnessHelp(l), "BS.1770-4 integrated loudness");
    l.note = "Ambisonics: measured on W (omni)";
    EXPECT_EQ(loudnessHelp(l), "Ambisonics: measured on W (omni)");
}

TEST(EditorTexts, NumbersIgnoreTheDesktopLocale) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char* c = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    MusicGrid grid;
    grid.bpm = 120;
    EXPECT_EQ(tempoLabel(grid), "120.00 BPM");
    LoudnessResult l;
    l.integrated = -14.2;
    EXPECT_EQ(loudnessText(l, false), "-14.2 LUFS");
    EXPECT_EQ(timeText(75.5), "1:15.500");
    if (c) std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(before);
}

TEST(EditorTexts, ScopeLabelAndToggling) {
    EXPECT_EQ(scopeLabel(std::nullopt), "All lanes");
    EXPECT_EQ(scopeLabel(std::set<int>{0, 2}), "2 lanes");
    auto s = toggledScope(std::nullopt, 1);
    EXPECT_EQ(s, (std::set<int>{1})) << "from all lanes, one lane narrows to it";
    EXPECT_EQ(toggledScope(s, 1), std::nullopt) << "and again returns to all lanes, never an empty set";
    EXPECT_EQ(toggledScope(std::set<int>{0, 2}, 0), (std::set<int>{2}));
}

TEST(EditorTexts, PlanCardsChipsAndCandidates) {
    EditPlan plan;
    plan.spans = {{0, 441000}, {882000, 1764000}};  // 1,323,000 frames
    plan.quality = 0.834;
    EXPECT_EQ(planLength(plan, 44100.0), "30.0s");
    EXPECT_EQ(planLength(plan, std::nullopt), "27.6s") << "no document: 48 000 frames a second";
    plan.cutAtSec = 29.5;
    EXPECT_EQ(planLength(plan, 44100.0), "29.5s");
    plan.cutAtSec = 40;
    EXPECT_EQ(planLength(plan, 44100.0), "30.0s") << "a cut past the end shortens nothing";
    EXPECT_EQ(planQuality(plan), "83%");

    EXPECT_EQ(toggledTargets({15, 60}, 30, true), (std::vector<double>{15, 30, 60}));
    EXPECT_EQ(toggledTargets({15, 30, 60}, 15, false), (std::vector<double>{30, 60}));
    EXPECT_EQ(toggledTargets({30, 15, 30}, 30, false), (std::vector<double>{15})) << "every equal element goes";

    Pins pins{0, 0, 4, 12, 16, 20, 20, false};
    auto chips = pinChips(pins);
    ASSERT_EQ(chips.size(), 2u) << "no intro chip before bar 1";
    EXPECT_EQ(chips[0].text, "Loop b5\u201312");
    EXPECT_EQ(chips[0].kind, ChipKind::loop);
    EXPECT_EQ(chips[1].text, "Ending b17");
    pins.introEnd = 2;
    EXPECT_EQ(pinChips(pins)[0].text, "Intro b1\u20132");
    pins.loopFile = true;
    chips = pinChips(pins);
    ASSERT_EQ(chips.size(), 1u);
    EXPECT_EQ(chips[0].text, "Seamless loop");

    LoopCandidate c;
    c.boundary = 7;
    c.score = 0.834;
    c.reasons = {"clean splice", "8-bar phrase"};
    EXPECT_EQ(loopCandidateTitle(c), "b8  83%  clean splice, 8-bar phrase");
}

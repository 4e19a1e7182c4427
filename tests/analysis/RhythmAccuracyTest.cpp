// Accuracy of the whole rhythm analysis on synthesized drum music of known
// tempo, meter, swing and tempo ramp.
#include "analysis/MusicGrid.h"
#include "analysis/TempoAnalyzer.h"
#include "support/RhythmSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace qm;
using qm::test::RhythmSpec;

namespace {

std::string name(const RhythmSpec& c) {
    std::string s = std::to_string(int(c.bpm));
    if (c.endBpm > 0) s += "-" + std::to_string(int(c.endBpm));
    s += c.beatsPerBar == 3 ? " 3/4" : " 4/4";
    if (c.swing > 0) s += " swing";
    return s;
}

// Distance from t to the nearest of the given times.
double nearest(const std::vector<double>& times, double t) {
    double best = 1e9;
    for (double x : times) best = std::min(best, std::fabs(x - t));
    return best;
}

}  // namespace

// Ten steady pieces from 70 to 180 BPM in 4/4 and 3/4, two with swing, and
// three tempo ramps. The tempo must be right within 2 % (a piece may land
// on a related tempo instead: counted, and bounded); where it is right the
// bar lines must fall on the true downbeats and the meter must be right;
// every drift class must be right. Steady grids sit on the attacks; tracked
// beats keep the onset envelope's lead of about 45 ms, so they are held to
// 70 ms.
TEST(RhythmAccuracy, TempoDownbeatsAndDriftOnDrumMusic) {
    // Tempo, end tempo of a ramp, beats per bar, swing; 30 s each.
    const RhythmSpec cases[] = {
        {70, 0, 4, 0},     {84, 0, 3, 0},   {96, 0, 4, 1.0 / 3}, {108, 0, 3, 0},  {120, 0, 4, 0},
        {132, 0, 4, 1.0 / 3}, {145, 0, 3, 0}, {160, 0, 4, 0},      {180, 0, 4, 0},  {75, 0, 3, 1.0 / 3},
        {118, 122, 4, 0},  {100, 112, 4, 0}, {90, 96, 3, 0},
    };
    int tempoRight = 0, related = 0, barsRight = 0, driftRight = 0;
    for (const RhythmSpec& c : cases) {
        const auto piece = qm::test::drumPattern(c);
        const auto tempo = TempoAnalyzer::analyze(piece.samples);
        ASSERT_TRUE(tempo) << name(c);
        const bool ramp = c.endBpm > 0;
        const auto within = [&](double bpm) {
            return ramp ? bpm >= c.bpm * 0.98 && bpm <= c.endBpm * 1.02 : std::fabs(bpm - c.bpm) <= 0.02 * c.bpm;
        };
        const bool ok = within(tempo->bpm);
        bool rel = false;
        for (double f : {0.5, 2.0, 1.0 / 3, 3.0, 1.5, 2.0 / 3}) rel = rel || within(tempo->bpm / f);
        EXPECT_TRUE(ok || rel) << name(c) << " found " << tempo->bpm;
        tempoRight += ok;
        related += !ok && rel;

        // Drift: steady pieces STEADY; the gentle ramp BREATHING, the steep ones RUBATO.
        const std::string wantDrift = !ramp ? "STEADY" : (c.endBpm - c.bpm) / c.bpm < 0.05 ? "BREATHING" : "RUBATO";
        EXPECT_EQ(tempo->drift, wantDrift) << name(c);
        driftRight += tempo->drift == wantDrift;

        const auto grid = GridBuilder::build(*tempo, piece.samples, tempo->durationSec);
        int onBar = 0, checked = 0;
        const double tolerance = grid.steady ? 0.035 : 0.07;
        for (double d : piece.downbeats) {
            if (d > tempo->durationSec - 1) continue;
            ++checked;
            onBar += nearest(grid.downbeats, d) < tolerance;
        }
        const bool bars = grid.beatsPerBar == c.beatsPerBar && onBar >= checked * 9 / 10 &&
                          grid.downbeats.size() <= piece.downbeats.size() + 1;
        if (ok) {
            EXPECT_TRUE(bars) << name(c) << ": " << grid.beatsPerBar << " per bar, " << onBar << " of " << checked
                              << " downbeats on bar lines";
            barsRight += bars;
        }
        std::printf("%-16s found %7.2f BPM (%s %.1f %%) meter %-15s grid %d/bar %-7s downbeats on bars %2d/%2d\n",
                    name(c).c_str(), tempo->bpm, tempo->drift.c_str(), tempo->driftSpreadPct,
                    tempo->meter.label.c_str(), grid.beatsPerBar, grid.steady ? "steady" : "tracked", onBar,
                    checked);
    }
    std::printf("tempo right %d of %zu (related tempo %d), bars right %d of %d, drift class right %d\n", tempoRight,
                std::size(cases), related, barsRight, tempoRight, driftRight);
    EXPECT_GE(tempoRight, 9);
}

// Temp edits of rendered music with a known bar structure: the songs of the
// analysis tests (intro, phrase body, ending, final hit, rendered with the
// General MIDI sound font) and the drum patterns of the rhythm tests (4/4
// and 3/4, straight and swung). Each piece runs the whole analysis, then the
// planner and the renderer for every standard length. Checked: every span
// edge lies on a bar line of the grid (or the music start or the file end),
// every rendered file has the planned length to the frame, and no splice is
// audible as one: its largest sample step and its spectral flux are compared
// with the same measures in the unedited music at the two places the splice
// joins (where the left span would have played on, where the new span
// starts), and, for the report, with the largest at any bar line of the
// music; a loop's wrap (its end played into its start) against the music at
// the loop's two ends. The quick run takes two pieces; set QM_FULL_CORPUS=1 for more
// tempi, meters and keys.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "edit/TempEditPlanner.h"
#include "edit/TempEditRenderer.h"
#include "support/Music.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>

namespace qm {
namespace {

using Channels = EditOps::Channels;

struct Piece {
    std::string name;
    Channels channels;
    double sampleRate = 44100;
};

constexpr int kFluxWindow = 1024;
constexpr int64_t kStepMargin = 32;

// Largest absolute step between neighbouring frames of any channel in [a, b).
float maxStep(const Channels& ch, int64_t a, int64_t b) {
    float m = 0;
    for (const auto& c : ch) {
        const int64_t hi = std::min<int64_t>(b, static_cast<int64_t>(c.size()));
        for (int64_t i = std::max<int64_t>(a, 1); i < hi; ++i) m = std::max(m, std::abs(c[i] - c[i - 1]));
    }
    return m;
}

// Spectral flux across `pos`: the rise of the magnitude spectrum from the
// window before it to the window after it (mono, Hann), relative to the
// level of the window before.
class Flux {
public:
    Flux() : fft_(kFluxWindow), window_(Signal::hanning(kFluxWindow)), buf_(kFluxWindow),
             before_(kFluxWindow / 2 + 1), after_(kFluxWindow / 2 + 1) {}

    double at(const Channels& ch, int64_t pos) {
        const int64_t n = static_cast<int64_t>(ch[0].size());
        if (pos < kFluxWindow || pos + kFluxWindow > n) return 0;
        spectrum(ch, pos - kFluxWindow, before_);
        spectrum(ch, pos, after_);
        double rise = 0, level = 1e-9;
        for (size_t k = 0; k < before_.size(); ++k) {
            rise += std::max(0.0f, after_[k] - before_[k]);
            level += before_[k];
        }
        return rise / level;
    }

private:
    void spectrum(const Channels& ch, int64_t from, std::vector<float>& out) {
        for (int i = 0; i < kFluxWindow; ++i) {
            float sum = 0;
            for (const auto& c : ch) sum += c[from + i];
            buf_[i] = sum / static_cast<float>(ch.size()) * window_[i];
        }
        fft_.magnitudes(buf_.data(), out.data());
    }

    RealFFT fft_;
    std::vector<float> window_, buf_, before_, after_;
};

struct Tally {
    int pieces = 0, plans = 0, splices = 0, roughSplices = 0;
    std::array<int, 5> kinds{};
    std::vector<double> loopStep;
    std::vector<double> stepLocal, fluxLocal, stepBars, fluxBars;
};

// A splice may blend two unrelated signals at equal power: up to sqrt(2) of
// either one's level. Steps below -60 dBFS are inaudible whatever the ratio.
constexpr double kRoughRatio = 1.5;
constexpr float kInaudibleStep = 0.001f;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

void checkPiece(const Piece& piece, Tally& tally) {
    SCOPED_TRACE(piece.name);
    const double sr = piece.sampleRate;
    const auto total = static_cast<int64_t>(piece.channels[0].size());
    const auto outcome = AnalysisPipeline::run(piece.channels, sr, std::nullopt, piece.name + ".wav");
    ASSERT_TRUE(outcome.analysis);
    const auto& a = *outcome.analysis;
    const TempEditOptions options;
    const auto plans = TempEditPlanner::plans(a.grid, a.structure, sr, total, options);
    ASSERT_FALSE(plans.empty());

    // The frames a cut may fall on.
    const auto bounds = a.grid.boundaries();
    std::set<int64_t> barLines{0, total};
    for (double b : bounds) barLines.insert(std::clamp<int64_t>(std::llround(sr * b), 0, total));
    const int64_t start = std::min<int64_t>(std::llround(sr * a.structure.pins.startTime), total);

    // The music's own bar lines as the measure of what a join may sound like.
    Flux flux;
    const auto X = static_cast<int64_t>(sr * options.crossfadeMs / 1000);
    float sourceStep = 0;
    double sourceFlux = 0;
    for (int64_t line : barLines) {
        if (line <= kFluxWindow || line + kFluxWindow >= total) continue;
        sourceStep = std::max(sourceStep, maxStep(piece.channels, line - X - kStepMargin, line + kStepMargin));
        sourceFlux = std::max(sourceFlux, flux.at(piece.channels, line));
    }
    ASSERT_GT(sourceStep, 0);

    std::set<int64_t> targets;
    for (const auto& plan : plans) {
        SCOPED_TRACE(plan.name);
        ++tally.plans;
        ++tally.kinds[static_cast<size_t>(plan.kind)];
        if (plan.targetSec) targets.insert(std::llround(*plan.targetSec));
        int64_t sum = 0;
        for (const auto& s : plan.spans) {
            EXPECT_TRUE(barLines.count(s.start) || s.start == start) << s.start;
            EXPECT_TRUE(barLines.count(s.end)) << s.end;
            EXPECT_LT(s.start, s.end);
            sum += s.end - s.start;
        }
        const auto out = TempEditRenderer::render(plan, piece.channels, sr, options);
        ASSERT_EQ(out.size(), piece.channels.size());
        int64_t want = sum;
        if (plan.cutAtSec) want = std::min<int64_t>(sum, static_cast<int64_t>(sr * *plan.cutAtSec));
        for (const auto& c : out) EXPECT_EQ(static_cast<int64_t>(c.size()), want);
        if (plan.cutAtSec && *plan.targetSec * sr <= static_cast<double>(sum)) {
            EXPECT_EQ(want, static_cast<int64_t>(sr * *plan.targetSec));
        }
        if (plan.kind == EditPlan::Kind::loop) {
            // The loop played end to start: its wrap against the music at
            // the loop's two ends.
            const auto& span = plan.spans[0];
            const int64_t n = static_cast<int64_t>(out[0].size()), w = std::min<int64_t>(n / 2, 4 * X);
            Channels wrap(out.size());
            for (size_t c = 0; c < out.size(); ++c) {
                wrap[c].assign(out[c].end() - w, out[c].end());
                wrap[c].insert(wrap[c].end(), out[c].begin(), out[c].begin() + w);
            }
            const float step = maxStep(wrap, w - 2, w + 3);  // the frames across the wrap
            const float local = std::max(maxStep(piece.channels, span.start - w, span.start + w),
                                         maxStep(piece.channels, span.end - w, span.end + w));
            tally.loopStep.push_back(local > 0 ? step / local : 0);
            EXPECT_FALSE(step > kRoughRatio * local && step > kInaudibleStep) << "loop wrap step " << step;
            continue;
        }

        int64_t pos = 0;
        for (size_t i = 0; i < plan.spans.size(); ++i) {
            const bool splice = i > 0 && plan.spans[i].start != plan.spans[i - 1].end;
            if (splice && pos + kFluxWindow < want) {
                const int64_t left = plan.spans[i - 1].end, right = plan.spans[i].start;
                const float step = maxStep(out, pos - X - kStepMargin, pos + kStepMargin);
                const float localStep = std::max(maxStep(piece.channels, left - X - kStepMargin, left + kStepMargin),
                                                 maxStep(piece.channels, right - X - kStepMargin, right + kStepMargin));
                const double f = flux.at(out, pos);
                const double localFlux = std::max(flux.at(piece.channels, left), flux.at(piece.channels, right));
                const double stepRatio = localStep > 0 ? step / localStep : 0;
                const double fluxRatio = localFlux > 0 ? f / localFlux : 0;
                ++tally.splices;
                tally.stepLocal.push_back(stepRatio);
                tally.fluxLocal.push_back(fluxRatio);
                tally.stepBars.push_back(step / sourceStep);
                tally.fluxBars.push_back(sourceFlux > 0 ? f / sourceFlux : 0);
                const bool rough = (stepRatio > kRoughRatio && step > kInaudibleStep) || fluxRatio > kRoughRatio;
                tally.roughSplices += rough;
                EXPECT_FALSE(rough) << "splice at output frame " << pos << ": step " << step << " (music there "
                                    << localStep << "), flux " << f << " (music there " << localFlux << ")";
            }
            pos += plan.spans[i].end - plan.spans[i].start;
        }
    }
    // Every standard length that fits the music was planned.
    const double dur = static_cast<double>(total - start) / sr;
    for (double t : options.targets) {
        if (t <= dur) {
            EXPECT_TRUE(targets.count(std::llround(t))) << t;
        }
    }
    ++tally.pieces;
    std::printf("  %-28s %5.1f s %s: %zu plans\n", piece.name.c_str(), static_cast<double>(total) / sr,
                a.summary().c_str(), plans.size());
}

std::optional<Piece> song(const test::SongPlan& plan, const test::TempDir& dir) {
    const auto mid = dir / "song.mid", wav = dir / "song.wav";
    test::writeMidi(mid, test::composeSong(plan));
    if (!test::renderMidi(mid, wav, 44100)) return std::nullopt;
    auto audio = Signal::readPlanar(wav);
    char name[64];
    std::snprintf(name, sizeof name, "song %g BPM %d body bars", plan.bpm, plan.bodyBars);
    return Piece{name, std::move(audio.channels), audio.sampleRate};
}

Piece drums(const test::RhythmSpec& rhythm) {
    auto p = test::drumPattern(rhythm);
    char name[64];
    std::snprintf(name, sizeof name, "drums %g BPM %d/4%s", rhythm.bpm, rhythm.beatsPerBar, rhythm.swing > 0 ? " swung" : "");
    return Piece{name, Channels{std::move(p.samples)}, rhythm.sampleRate};
}

TEST(TempEditCorpus, EditsOfRenderedMusicCutOnBarLinesWithoutClicks) {
    const bool full = std::getenv("QM_FULL_CORPUS") != nullptr;
    test::TempDir dir;
    std::vector<test::SongPlan> songs{{.tonic = 9, .minor = true, .bpm = 120, .bodyBars = 24}};
    std::vector<test::RhythmSpec> patterns{{.bpm = 96, .seconds = 70, .sampleRate = 44100}};
    if (full) {
        songs.push_back({.tonic = 0, .bpm = 100, .bodyBars = 32, .seed = 2});
        songs.push_back({.tonic = 7, .bpm = 132, .bodyBars = 48, .seed = 3});
        songs.push_back({.tonic = 2, .minor = true, .bpm = 90, .bodyBars = 16, .seed = 4});
        songs.push_back({.tonic = 5, .bpm = 110, .bodyBars = 80, .seed = 5});
        songs.push_back({.tonic = 10, .minor = true, .bpm = 126, .bodyBars = 40, .finalHit = false, .seed = 6});
        patterns.push_back({.bpm = 126, .beatsPerBar = 3, .seconds = 70, .sampleRate = 44100});
        patterns.push_back({.bpm = 84, .swing = 1.0 / 3, .seconds = 90, .sampleRate = 44100});
        patterns.push_back({.bpm = 150, .seconds = 130, .sampleRate = 48000});
    }
    Tally tally;
    bool rendered = false;
    for (const auto& plan : songs) {
        if (auto piece = song(plan, dir)) {
            rendered = true;
            checkPiece(*piece, tally);
        }
    }
    for (const auto& rhythm : patterns) checkPiece(drums(rhythm), tally);
    if (!rendered) std::printf("  (no General MIDI sound font: songs skipped)\n");
    std::printf("  %d pieces, %d plans (%d pieces, %d loops, %d cutdowns, %d extended, %d backtimed), "
                "%d splices (%d audible)\n",
                tally.pieces, tally.plans, tally.kinds[0], tally.kinds[1], tally.kinds[2], tally.kinds[3],
                tally.kinds[4], tally.splices, tally.roughSplices);
    const std::pair<const char*, const std::vector<double>*> figures[] = {
        {"sample step across a loop's wrap / largest in the music at its ends", &tally.loopStep},
        {"largest sample step at a splice / in the music where it joins", &tally.stepLocal},
        {"spectral flux at a splice / in the music where it joins", &tally.fluxLocal},
        {"largest sample step at a splice / largest at the music's bar lines", &tally.stepBars},
        {"spectral flux at a splice / largest at the music's bar lines", &tally.fluxBars}};
    for (auto [what, v] : figures) std::printf("  %s: median %.3f, worst %.3f\n", what, median(*v), worst(*v));
    EXPECT_GT(tally.splices, 0);
}

}  // namespace
}  // namespace qm

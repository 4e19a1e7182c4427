#include "ui/editor/EditorTexts.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "app/core/TimeText.h"

namespace qm::editortext {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QString time(double seconds) { return q(timeText(seconds)); }

QString position(int64_t frame, double sampleRate, const MusicAnalysis* analysis) {
    const double t = sampleRate > 0 ? static_cast<double>(frame) / sampleRate : 0;
    const QString s = time(t);
    if (!analysis) return s;
    const MusicGrid& g = analysis->grid;
    if (!(g.bpm > 0) || !std::isfinite(g.bpm)) return s;
    const auto& d = g.downbeats;
    for (size_t k = d.size(); k-- > 0;) {
        if (d[k] > t + 0.0005) continue;
        const double beatLength = 60.0 / g.bpm;
        const double beats = std::trunc((t - d[k]) / beatLength);
        // Far after the last bar line the count would not fit an integer.
        const auto beat = static_cast<int64_t>(std::min(beats + 1, static_cast<double>(std::max(g.beatsPerBar, 1))));
        return s + q(fmt::format("  {}.{}", k + 1, std::max<int64_t>(beat, 1)));
    }
    return s;
}

QString docSummary(const EditorModel::Doc& doc) {
    const double seconds = doc.sampleRate > 0 ? static_cast<double>(doc.frames()) / doc.sampleRate : 0;
    return q(doc.info.summary()) + QStringLiteral(" \u00b7 ") + time(seconds);
}

QString tempoLabel(const MusicGrid& grid) { return q(fmt::format("{:.2f} BPM", grid.bpm)); }

QString twinHelp(double twin) {
    return q(fmt::format("A twin tempo ({:.1f} BPM) scores nearly as well. Turn on the click and listen.", twin));
}

std::vector<TempoItem> tempoCandidates(const TempoResult& tempo, bool expert) {
    std::vector<TempoItem> out;
    const size_t n = std::min<size_t>(tempo.candidates.size(), expert ? 6 : 3);
    for (size_t i = 0; i < n; ++i) {
        const auto& c = tempo.candidates[i];
        out.push_back({q(fmt::format("{:.2f} BPM  (score {:.2f})", c.bpm, c.score)), c.bpm});
    }
    return out;
}

std::vector<TempoItem> tempoRelations(const MusicGrid& grid) {
    const double b = grid.bpm;
    const std::pair<const char*, double> rows[] = {
        {"Half time: {:.2f}", b * 0.5},
        {"Double time: {:.2f}", b + b},
        {"Dotted (\u00d73/4): {:.2f}", b * 0.75},
        {"Triplet (\u00d72/3): {:.2f}", (b + b) / 3},
    };
    std::vector<TempoItem> out;
    for (const auto& [format, value] : rows) out.push_back({q(fmt::format(fmt::runtime(format), value)), value});
    return out;
}

QString handTempoLabel() { return QStringLiteral("Set tempo"); }
QString enterTempoItem() { return QStringLiteral("Enter Tempo\u2026"); }
QString handMeterLabel(std::optional<int> beatsPerBar) { return q(fmt::format("{}/4", beatsPerBar.value_or(4))); }
QString handMeterHelp() { return QStringLiteral("Beats per bar of the grid a tempo set by hand makes"); }

QString meterLabel(const MusicGrid& grid) {
    return q(fmt::format("{}/4{}", grid.beatsPerBar, grid.steady ? "" : " ~"));
}

QString meterHelp(const MusicGrid& grid) {
    return grid.steady ? QStringLiteral("Steady tempo: the grid is a straight line")
                       : QStringLiteral("Tempo drifts: the grid follows tracked beats");
}

std::vector<std::pair<QString, int>> meterItems() {
    return {{QStringLiteral("4/4"), 4}, {QStringLiteral("3/4"), 3}, {QStringLiteral("6/8 (2 beats)"), 2}};
}

QString keyText(const KeyResult& key) { return q(key.tonic + (key.mode == "minor" ? " minor" : " major")); }

QString keyHelp(const KeyResult& key) {
    const double c = std::isfinite(key.confidence) ? key.confidence : 0;
    const auto percent = static_cast<int64_t>(std::trunc(std::clamp(c, -1e6, 1e6) * 100));
    return q(fmt::format("Key estimate (confidence {}%)", percent));
}

QString loudnessText(const LoudnessResult& l, bool expert) {
    if (expert)
        return q(fmt::format("{:.1f} LUFS \u00b7 ST max {:.1f} \u00b7 TP {:.1f} dBTP", l.integrated, l.shortTermMax,
                             l.truePeak));
    return q(fmt::format("{:.1f} LUFS", l.integrated));
}

QString loudnessHelp(const LoudnessResult& l) {
    return l.note ? q(*l.note) : QStringLiteral("BS.1770-4 integrated loudness");
}

QString scopeLabel(const std::optional<std::set<int>>& scope) {
    return scope ? q(fmt::format("{} lanes", scope->size())) : QStringLiteral("All lanes");
}

std::optional<std::set<int>> toggledScope(const std::optional<std::set<int>>& scope, int lane) {
    std::set<int> s = scope.value_or(std::set<int>{});
    if (!s.erase(lane)) s.insert(lane);
    if (s.empty()) return std::nullopt;
    return s;
}

double planSeconds(const EditPlan& plan, std::optional<double> sampleRate) {
    int64_t frames = 0;
    for (const auto& span : plan.spans) frames += span.end - span.start;
    const double rate = sampleRate && *sampleRate > 0 ? *sampleRate : 48000.0;
    double seconds = static_cast<double>(frames) / rate;
    if (plan.cutAtSec) seconds = std::min(*plan.cutAtSec, seconds);
    return seconds;
}

QString planLength(const EditPlan& plan, std::optional<double> sampleRate) {
    return q(fmt::format("{:.1f}s", planSeconds(plan, sampleRate)));
}

QString planQuality(const EditPlan& plan) { return q(fmt::format("{:.0f}%", plan.quality * 100)); }

std::vector<double> toggledTargets(const std::vector<double>& targets, double length, bool on) {
    std::vector<double> out = targets;
    if (on) {
        out.push_back(length);
        std::sort(out.begin(), out.end());
    } else {
        std::erase(out, length);
    }
    return out;
}

std::vector<Chip> pinChips(const Pins& pins) {
    if (pins.loopFile) return {{QStringLiteral("Seamless loop"), ChipKind::loop}};
    std::vector<Chip> chips;
    if (pins.introEnd >= 1) chips.push_back({q(fmt::format("Intro b1\u2013{}", pins.introEnd)), ChipKind::intro});
    chips.push_back({q(fmt::format("Loop b{}\u2013{}", pins.loopStart + 1, pins.loopEnd)), ChipKind::loop});
    chips.push_back({q(fmt::format("Ending b{}", pins.endingStart + 1)), ChipKind::ending});
    return chips;
}

QString loopCandidateTitle(const LoopCandidate& c) {
    std::string reasons;
    for (size_t i = 0; i < c.reasons.size(); ++i) reasons += (i ? ", " : "") + c.reasons[i];
    return q(fmt::format("b{}  {:.0f}%  {}", c.boundary + 1, c.score * 100, reasons));
}

}  // namespace qm::editortext

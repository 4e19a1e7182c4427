// The texts of the editor's rows, made from model values: the position
// readout, the tempo and meter menus, key, loudness, the scope label, the
// temp-edit cards and pin chips. Pure functions, formatted locale-free (a
// German desktop still reads 120.00 BPM); the rows only place what these
// return, and the tests check them directly.
#pragma once

#include <QString>

#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "analysis/MusicAnalysis.h"
#include "app/editor/EditorModel.h"

namespace qm::editortext {

// minutes:seconds of a time in seconds (app/core/TimeText.h).
QString time(double seconds);

// "POS" readout: the time of the frame, then two blanks and bar.beat when
// the analysis grid has a downbeat at or before it (0.5 ms early counts),
// the beat capped at the bar's length. A grid tempo that is not a positive
// finite number gives the time alone.
QString position(int64_t frame, double sampleRate, const MusicAnalysis* analysis);

// The title line under the file name: the file's format summary and its
// length ("48 kHz · 24-bit · 2 ch · 1:05.250").
QString docSummary(const EditorModel::Doc& doc);

// Tempo menu: its label, the candidate items (3, or 6 in expert mode) and
// the four relations, each with the value it passes.
QString tempoLabel(const MusicGrid& grid);
QString twinHelp(double twinBpm);
struct TempoItem {
    QString title;
    double bpm = 0;
};
std::vector<TempoItem> tempoCandidates(const TempoResult& tempo, bool expert);
std::vector<TempoItem> tempoRelations(const MusicGrid& grid);

// Without an analysis (no pulse found) the tempo menu asks for a tempo
// ("Set tempo", its one item "Enter Tempo…"), and the meter label shows the
// bar length that tempo's grid gets: the one chosen, else 4.
QString handTempoLabel();
QString enterTempoItem();
QString handMeterLabel(std::optional<int> beatsPerBar);
QString handMeterHelp();

// Meter menu: label ("4/4", "3/4 ~"), help, and the items with the bar lengths they set.
QString meterLabel(const MusicGrid& grid);
QString meterHelp(const MusicGrid& grid);
std::vector<std::pair<QString, int>> meterItems();

QString keyText(const KeyResult& key);
// "Key estimate (confidence 87%)"; a confidence that is not finite reads 0 %.
QString keyHelp(const KeyResult& key);
QString loudnessText(const LoudnessResult& loudness, bool expert);
QString loudnessHelp(const LoudnessResult& loudness);

// "All lanes" without a scope, else "N lanes".
QString scopeLabel(const std::optional<std::set<int>>& scope);
// The scope after lane i was chosen: toggled in the set, absent when empty.
std::optional<std::set<int>> toggledScope(const std::optional<std::set<int>>& scope, int lane);

// --- Temp edits ---

// A plan's length in seconds: its spans over the document's rate (48 000
// without a document), no longer than its cut.
double planSeconds(const EditPlan& plan, std::optional<double> sampleRate);
QString planLength(const EditPlan& plan, std::optional<double> sampleRate);  // "30.0s"
QString planQuality(const EditPlan& plan);                                  // "83%"
// The targets with `length` turned on (appended, sorted) or off (every
// equal element removed, the rest in order).
std::vector<double> toggledTargets(const std::vector<double>& targets, double length, bool on);

// The pin chips: "Seamless loop" alone for a loop file, else the intro
// (from one bar on), the loop and the ending, with bar numbers from 1.
enum class ChipKind { intro, loop, ending };
struct Chip {
    QString text;
    ChipKind kind;
};
std::vector<Chip> pinChips(const Pins& pins);
// "b8  83%  clean splice, 8-bar phrase".
QString loopCandidateTitle(const LoopCandidate& candidate);

}  // namespace qm::editortext

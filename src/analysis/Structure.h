// The shape of a piece of music, bar by bar, and the edit points cut by it.
//
// `Structure::analyze` finds where the music starts after a silent head,
// where the intro ends and the loopable body begins, where the ending
// starts, whether the piece closes on a single final hit or a fade-out, and
// whether the whole file is itself a seamless loop. The result carries the
// movable `Pins`, readable notes, the bar similarity matrix and novelty
// curve (the temp-edit planner looks for jumps in them) and the ranked loop
// and exit candidates. All functions work on the 22 050 Hz mono signal and
// the grid's bar boundaries; pure computation, any thread, never an error.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "analysis/KeyAnalyzer.h"
#include "analysis/MusicGrid.h"

namespace qm {

// Bar b lies between boundaries b and b + 1; indices count from 0.
struct Pins {
    double startTime = 0;     // seconds of silent head to skip
    int64_t introEnd = 0;     // boundary where the body begins
    int64_t loopStart = 0;    // boundary where the loop starts (the intro end)
    int64_t loopEnd = 0;      // boundary where the loop jumps back
    int64_t endingStart = 0;  // boundary where the ending section starts
    int64_t musicEnd = 0;     // boundary where the music ends (exclusive)
    int64_t finalHit = 0;     // bar holding the final hit, or the last bar
    bool loopFile = false;    // the whole file is a seamless loop

    bool operator==(const Pins&) const = default;
};

// JSON object keyed by the field names; all eight keys are required and
// must have their type (a missing or mistyped key throws a json exception).
void to_json(nlohmann::json& j, const Pins& p);
void from_json(const nlohmann::json& j, Pins& p);

struct BarProfile {
    std::vector<float> rms;     // one level per bar
    float activeLevel = 0;      // the 90th-percentile bar level
    int64_t musicStartBar = 0;  // first bar of music
    int64_t musicEndBar = 0;    // one past the last bar of music

    bool operator==(const BarProfile&) const = default;
};

struct BarFeatures {
    std::vector<float> chroma;  // 12 pitch classes, unit length
    std::vector<float> bands;   // log band energies, unit length
    float db = 0;               // bar level in dB
};

// A place where a loop from the intro end could end, or where the music
// could be cut off; identified by its boundary.
struct LoopCandidate {
    int64_t boundary = 0;
    double time = 0;  // seconds
    double score = 0;  // 0 ... 1, higher is better
    std::optional<int64_t> phraseBars;
    bool isContentEnd = false;
    std::vector<std::string> reasons;

    bool operator==(const LoopCandidate&) const = default;
};

struct StructureResult {
    BarProfile profile;
    Pins pins;
    std::vector<std::vector<double>> similarity;  // N x N, symmetric
    std::vector<double> novelty;                  // N + 1 values, largest 1
    std::vector<LoopCandidate> loopCandidates;    // best first
    std::vector<LoopCandidate> exitCandidates;    // best first
    std::vector<std::string> notes;

    bool operator==(const StructureResult&) const = default;
};

namespace Structure {

inline constexpr std::array<int64_t, 7> phraseBars{8, 12, 16, 24, 32, 48, 64};

// Times found by `cook` on a 50 ms level envelope.
struct Cooked {
    std::optional<double> bodyEntry;  // the full arrangement enters after a quieter head
    std::optional<double> tailStart;  // the closing quiet tail begins
    bool operator==(const Cooked&) const = default;
};

// How well the audio after an end seam continues the audio after a start
// seam.
struct Seam {
    enum class Kind { edge, quiet, compared };
    Kind kind = Kind::compared;
    double match = 0;  // 0 ... 1
};

StructureResult analyze(const std::vector<float>& mono, double sr, const MusicGrid& grid,
                        const SpectralFrames& frames, const std::string& name);

BarProfile profile(const std::vector<float>& x, double sr, const std::vector<double>& boundaries);
std::vector<BarFeatures> barFeatures(const SpectralFrames& frames, const std::vector<double>& bounds);
std::vector<std::vector<double>> similarity(const std::vector<BarFeatures>& features);
std::vector<double> novelty(const std::vector<std::vector<double>>& s, int half);
Cooked cook(const std::vector<float>& x, double sr, std::optional<double> bpm);
// Zero crossings per sample in x[a ..< b], the range clipped to the signal.
float windowZcr(const std::vector<float>& x, long a, long b);

// The seam between an end at sample a and a start at sample b; L is the
// active level.
Seam seam(const std::vector<float>& x, double sr, long a, long b, double activeLevel);
// True when bar musicEndBar - 1 is one loud hit that dies away within the bar.
bool endsOnFinalHit(const std::vector<float>& x, double sr, const std::vector<double>& bounds,
                    const BarProfile& profile, int beatsPerBar);

std::vector<LoopCandidate> loopCandidates(const std::vector<float>& x, double sr,
                                          const std::vector<double>& bounds,
                                          const BarProfile& profile, int64_t loopStart);
std::vector<LoopCandidate> exitCandidates(const std::vector<float>& x, double sr,
                                          const std::vector<double>& bounds,
                                          const BarProfile& profile, int beatsPerBar);

}  // namespace Structure
}  // namespace qm

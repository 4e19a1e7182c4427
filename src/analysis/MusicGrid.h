// The beat grid of a piece of music: beats, bars and downbeats.
//
// `GridBuilder::build` turns a tempo analysis into a `MusicGrid`: a perfectly
// steady grid when the whole piece holds one tempo (moved onto the audible
// attacks), otherwise the tracked beats; the bar lines on the accented beats;
// and, from `DownbeatDetector::detect`, a confidence for the bar phase and
// the time where a steady groove sets in. The user may impose a tempo and a
// number of beats per bar. Pure computation on the 22 050 Hz mono signal;
// any thread. Total: degenerate input gives the fallback grid (one downbeat
// at 0), never an error.
#pragma once

#include "analysis/TempoAnalyzer.h"

#include <optional>
#include <vector>

namespace qm {

struct MusicGrid {
    double bpm = 0;
    int beatsPerBar = 4;
    bool steady = false;
    std::vector<double> beats;      // seconds
    std::vector<double> downbeats;  // seconds: the bar starts
    double duration = 0;
    double downbeatConfidence = 0;  // 0 ... 1
    double grooveStart = 0;         // seconds
    double attackShift = 0;         // seconds, -0.04 ... 0.1; 0 unless steady

    // The downbeats, then `duration` when it lies more than 1 ms after the
    // last one; empty without downbeats. Bar b spans [b] to [b + 1].
    std::vector<double> boundaries() const;

    bool operator==(const MusicGrid&) const = default;
};

namespace GridBuilder {

MusicGrid build(const TempoResult& tempo, const std::vector<float>& mono22k, double duration,
                std::optional<double> bpm = std::nullopt, std::optional<int> beatsPerBar = std::nullopt);

// A steady tempo and phase that fit the whole onset envelope.
struct SteadyFit {
    bool ok = false;
    double period = 0;  // seconds
    double phase = 0;   // seconds
    double score = -1;
};
SteadyFit steadyFit(const std::vector<float>& env, double bpm);

// Median offset (seconds) from the steady grid's strong beats to the
// steepest nearby loudness rise, less 3 ms, clamped to [-0.04, 0.1].
double attackOffset(const std::vector<float>& mono22k, double period, double phase, const std::vector<float>& env);

// The index (0 ... group - 1) of the beat whose series carries the most accent.
int downbeatOffset(const std::vector<double>& beats, const std::vector<float>& low, const std::vector<float>& full,
                   int group);

}  // namespace GridBuilder

namespace DownbeatDetector {

struct Result {
    double phase = 0;  // seconds: the first downbeat within the first bar
    double confidence = 0;
    double grooveStart = 0;  // seconds
    bool operator==(const Result&) const = default;
};

Result detect(const std::vector<float>& x, double sampleRate, double bpm, int beatsPerBar);

}  // namespace DownbeatDetector

}  // namespace qm

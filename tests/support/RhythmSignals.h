// Synthesized music of known rhythm for the analysis tests: drum patterns
// (kick, snare, hi-hat, a bass note on each bar) at a known tempo, meter,
// swing and tempo ramp, with the true beat and bar times alongside.
#pragma once

#include <cstdint>
#include <vector>

namespace qm::test {

struct RhythmSpec {
    double bpm = 120;       // tempo at the start
    double endBpm = 0;      // tempo at the end for a linear ramp; 0 keeps `bpm`
    int beatsPerBar = 4;    // 4 or 3
    double swing = 0;       // 0 = straight eighths; 1/3 delays the off-beat eighth to a triplet
    // 6/8: each beat (at `bpm`) is a dotted quarter of three eighths, two
    // beats to the bar (beatsPerBar is then ignored): kick on the first,
    // snare on the second, hi-hat on every eighth.
    bool compound = false;
    double seconds = 30;
    double sampleRate = 22050;
    double leadIn = 0.5;    // silence before the first downbeat, seconds
    uint64_t seed = 1;      // for the hi-hat noise
};

struct RhythmPiece {
    std::vector<float> samples;     // mono
    std::vector<double> beats;      // seconds
    std::vector<double> downbeats;  // seconds
};

RhythmPiece drumPattern(const RhythmSpec& rhythm);

}  // namespace qm::test

// Measuring clicks: how far the output steps from one sample to the next
// around a change, against the steps the signal takes by itself, and the
// signals to measure with. Shared by the render tests, the players' and the
// monitor's tests at a stand-in device, and the click benchmarks.
#pragma once

#include <cstdint>

#include "support/AudioFiles.h"

namespace qm::test {

// Uncorrelated tones, one per channel at its own frequency (spaced
// geometrically from `lowHz` to `highHz`, at random phases from `seed`),
// each of peak `amplitude`.
Planar tones(int channels, int64_t frames, double amplitude, double rate, double lowHz, double highHz,
             uint64_t seed = 1);

// Uncorrelated pink noise (-3 dB an octave), each channel of RMS `rms`.
Planar pinkNoise(int channels, int64_t frames, double rms, uint64_t seed = 1);

// The largest step in `out` (channels of the same length) within
// [from, to), divided by the largest step the same channel takes by itself
// in the `reference` frames before `from` and after `to` (a channel that is
// silent there counts a tenth of the busiest channel's steps, so that a
// step into a silent channel shows). 1 is a change heard as nothing but the
// signal; a click from silence to full scale is hundreds.
struct ClickRatio {
    double ratio = 0;
    double step = 0;  // the largest step around the change
    double own = 0;   // the reference it was measured against
    int channel = -1;
    int64_t frame = -1;  // where the largest step lies
};
ClickRatio clickRatio(const Planar& out, int64_t from, int64_t to, int64_t reference);

}  // namespace qm::test

// Loudness of a decoded file after ITU-R BS.1770: K-weighting, channel
// weights by speaker direction, 400 ms momentary blocks, 3 s short-term
// windows, gated integrated loudness, sample peak and 4x oversampled true
// peak.
//
// Measured on the file's own channels at its own rate (not on the analysis
// mono signal), whole or as it is read. Total: any thread may measure, and
// empty or silent input gives the floor values (-70 LUFS, minus infinity dB).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/Biquad.h"
#include "audio/SourceFormat.h"

namespace qm {

struct LoudnessResult {
    double integrated = -70;    // gated integrated loudness, LUFS
    double momentaryMax = -70;  // largest 400 ms block loudness, LUFS
    double shortTermMax = -70;  // largest 3 s window loudness, LUFS
    double samplePeak = 0;      // dBFS, minus infinity for silence
    double truePeak = 0;        // dBTP, minus infinity for silence
    std::optional<std::string> note;

    bool operator==(const LoudnessResult&) const = default;
};

namespace Loudness {

inline constexpr const char* kAmbisonicsNote = "Ambisonics: measured on W (omni)";

// The two K-weighting stages (shelf, then high-pass) for a sample rate.
std::pair<Biquad, Biquad> kWeighting(double sampleRate);

// One weight per channel: 0 for LFE, 1.41 for speakers at the sides and
// rear (elevation below 30 degrees, |azimuth| 60 to 120), 1 otherwise; all 1
// unless the source is a speaker list of exactly `channels` entries.
std::vector<double> weights(const std::optional<SourceFormat>& source, int channels);

// The 4x oversampled true peak of one channel, as a linear magnitude.
float truePeak(const std::vector<float>& channel);

// Channels of unequal length are measured over the shortest.
LoudnessResult measure(const std::vector<std::vector<float>>& channels, double sampleRate,
                       const std::optional<SourceFormat>& source);

// The same measurement made as a file is read, block by block, so that the
// file need not be held: finish() gives what measure() gives for all the
// frames pushed, however the blocks fall. Used by one thread at a time.
class Meter {
public:
    Meter(double sampleRate, int channels, const std::optional<SourceFormat>& source);
    ~Meter();
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    // `frames` more frames of every channel.
    void push(const float* const* channels, size_t frames);
    // The meter is spent.
    LoudnessResult finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Loudness
}  // namespace qm

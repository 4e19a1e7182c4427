// Key and spectral character of a piece of music.
//
// `SpectralFrames` cuts the 22 050 Hz mono signal into 4096-sample frames
// (hop 2048) and keeps per frame a 12-bin chroma vector, seven band sums and
// the frame's RMS; the structure analysis reuses them per bar. Beside them it
// keeps the notes heard in longer frames, without their overtones.
// `KeyAnalyzer::analyze` scores the 24 keys on those notes (profiles of how
// often each scale degree sounds, and the tonic's evidence over the whole
// piece: the bass, the time on the tonic chord and the chord changes that
// resolve to it), and derives the band balance with spectral and mood tags
// for the editor's header. Pure computation; any thread; total (no notes
// gives C major with confidence 0).
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct SpectralFrames {
    static constexpr int fftSize = 4096;
    static constexpr int hop = 2048;
    static constexpr double sampleRate = 22050.0;
    // Seven (low, high) band limits in Hz, both inclusive; a bin on a shared
    // edge belongs to the lower band.
    static constexpr std::array<std::pair<double, double>, 7> bandEdges{
        {{20, 60}, {60, 250}, {250, 500}, {500, 2000}, {2000, 4000}, {4000, 6000}, {6000, 11025}}};

    std::vector<std::vector<float>> chroma;  // per frame, 12 values, 0 = C
    std::vector<std::vector<float>> bands;   // per frame, 7 band sums
    std::vector<float> rms;                  // per frame

    // What the key is judged on: the notes rather than their overtones.
    // From spectral peaks of longer frames (8192 samples, hop 4096, so
    // frame k stands for (4096 k + 4096) / 22 050 s), tuned to the piece's
    // own reference pitch, each peak's share that the overtones of a lower
    // note explain taken away; per frame 12 values scaled to a largest of 1
    // (all 0 in a frame too quiet or too toneless to tell). `treble` holds
    // the notes from 100 Hz up, `bass` those below 220 Hz.
    static constexpr int noteFftSize = 8192;
    static constexpr int noteHop = 4096;
    std::vector<std::vector<float>> treble;
    std::vector<std::vector<float>> bass;
    double tuningCents = 0;  // the reference pitch's offset from A = 440 Hz

    SpectralFrames() = default;
    explicit SpectralFrames(const std::vector<float>& mono22k);

    // Frame k stands for its centre, (2048 k + 2048) / 22 050 s. The mean of
    // the vectors of the frames whose time lies in [from, to); empty without
    // frames, zeros (of the first frame's length) when none lies in range.
    static std::vector<float> average(const std::vector<std::vector<float>>& frames, double from,
                                      double to);

    bool operator==(const SpectralFrames&) const = default;

private:
    void findNotes(const std::vector<float>& mono22k);
};

struct KeyResult {
    std::string tonic = "C";
    std::string mode = "major";
    double confidence = 0;      // 0 ... 1, to the nearest 0.01
    std::vector<double> bands;  // each band's share of the total (or all 0)
    std::vector<std::string> spectralTags;
    std::vector<std::string> moodTags;

    bool operator==(const KeyResult&) const = default;
};

namespace KeyAnalyzer {

inline const std::array<const char*, 12> notes{"C", "C#", "D", "D#", "E", "F",
                                               "F#", "G", "G#", "A", "A#", "B"};
// Krumhansl-Kessler profiles, from the tonic upwards.
inline constexpr std::array<double, 12> major{6.35, 2.23, 3.48, 2.33, 4.38, 4.09,
                                              2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
inline constexpr std::array<double, 12> minor{6.33, 2.68, 3.52, 5.38, 2.60, 3.53,
                                              2.54, 4.75, 3.98, 2.69, 3.34, 3.17};
// Temperley's profiles from the Kostka-Payne excerpts (Music and
// Probability, 2007): the share of segments in which each scale degree
// sounds. Made from harmony-textbook and popular repertoire rather than from
// probe-tone ratings, they weigh the tonic triad and the scale evenly. In
// the minor one the subtonic is weighed above the leading tone (0.5 and 0.2
// for Temperley's 0.133 and 0.330): the textbook excerpts raise the seventh,
// where the minor of songs and film music mostly keeps the natural one
// (i VII VI, i VI VII), which the textbook profile reads as the relative
// major.
inline constexpr std::array<double, 12> noteMajor{0.748, 0.060, 0.488, 0.082, 0.670, 0.460,
                                                  0.096, 0.715, 0.104, 0.366, 0.057, 0.400};
inline constexpr std::array<double, 12> noteMinor{0.712, 0.084, 0.474, 0.618, 0.049, 0.460,
                                                  0.105, 0.747, 0.404, 0.067, 0.5, 0.2};

// bpm and bpmConfidence come from the grid's tempo and the tempo score; the
// tempo mood is added only when the tempo is trusted.
KeyResult analyze(const SpectralFrames& frames, double bpm, double bpmConfidence);

// A stretch of the piece held by one triad, as its notes tell it (a seventh
// chord by its triad).
enum class ChordQuality { major, minor, diminished };
struct ChordSpan {
    int root = 0;  // pitch class
    ChordQuality quality = ChordQuality::major;
    double seconds = 0;
    bool operator==(const ChordSpan&) const = default;
};
// The triads of the note frames in order, neighbours of one chord merged;
// frames without notes belong to no span.
std::vector<ChordSpan> chords(const SpectralFrames& frames);

// What speaks for one key, each measured over the whole piece so that no
// stretch of it (its close least of all: excerpts and loops end anywhere)
// decides alone.
struct KeyEvidence {
    double fit = 0;          // the notes' correlation with the key's profile
    double bass = 0;         // the tonic's weight in the bass, against the bass's heaviest note
    double harmony = 0;      // how well the chords' time fits the key's harmony (-0.3 ... 1)
    double resolutions = 0;  // the share of chord changes that resolve to the tonic triad
};
// Per key, index tonic + 12 for minor; all zero without notes.
std::array<KeyEvidence, 24> evidence(const SpectralFrames& frames);

// Pearson correlation of x[(k + shift) mod 12] with profile[k].
double correlate(const std::vector<double>& x, const std::array<double, 12>& profile, int shift);

}  // namespace KeyAnalyzer
}  // namespace qm

// Generated test signals: sines, noise, planar reading through libsndfile
// (for layers below the analysis), and standard MIDI files rendered
// to audio with fluidsynth and the General MIDI sound font that the test
// machines carry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "support/AudioFiles.h"

namespace qm::test {

double dbToAmp(double db);

// amp * sin(2 pi freq t + phase) for n samples at rate sr.
std::vector<float> sine(double freq, double amp, double sr, size_t n, double phase = 0);
// Appends `seconds` of a sine at `dbfs` peak amplitude, phase continuous.
void appendSine(std::vector<float>& x, double freq, double dbfs, double sr, double seconds);
// The next value of a SplitMix64 stream, uniform in [-1, 1).
double uniformNoise(uint64_t& state);
// Uniform white noise in [-amp, amp], reproducible from the seed.
std::vector<float> noise(double amp, size_t n, uint64_t seed);

struct PlanarFile {
    Planar channels;
    double sampleRate = 0;
};

// Any file libsndfile reads, as planar floats; throws std::runtime_error on
// failure.
PlanarFile readWav(const std::filesystem::path& file);

// A note of a standard MIDI file, timed in beats.
struct MidiNote {
    double beat = 0;
    double length = 1;
    int key = 60;
    int velocity = 100;
    int channel = 0;
};

struct MidiSong {
    double bpm = 120;
    std::vector<std::pair<int, int>> programs;  // (channel, General MIDI program)
    std::vector<MidiNote> notes;
};

// Writes a format-0 file at 480 ticks per beat.
void writeMidi(const std::filesystem::path& file, const MidiSong& song);

// The General MIDI sound font when installed.
std::optional<std::filesystem::path> soundFont();
// Every installed General MIDI font of the test packages (TimGM6mb, then
// FluidR3Mono), so that figures can be compared across two instrument sets.
std::vector<std::filesystem::path> soundFonts();
// Renders a MIDI file to a WAV file with fluidsynth, through `font` or else
// soundFont(); false when fluidsynth or the font is missing or rendering fails.
bool renderMidi(const std::filesystem::path& midi, const std::filesystem::path& wav,
                int sampleRate = 44100, const std::optional<std::filesystem::path>& font = std::nullopt);

}  // namespace qm::test

// Everything the system knows about one piece of music, and the one
// analysis pipeline that the editor and the batch temp edits run to make it:
// mono at 22 050 Hz, tempo, beat grid, spectral frames, key, loudness on the
// source's own channels, structure with pins and candidates.
//
// Pure computation; callers run it in a background task.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/KeyAnalyzer.h"
#include "analysis/Loudness.h"
#include "analysis/MusicGrid.h"
#include "analysis/Signal.h"
#include "analysis/Structure.h"
#include "analysis/TempoAnalyzer.h"
#include "audio/SourceFormat.h"

#include <filesystem>

namespace qm {

struct MusicAnalysis {
    TempoResult tempo;
    MusicGrid grid;
    KeyResult key;
    LoudnessResult loudness;
    StructureResult structure;
    std::vector<float> mono22k;  // the signal tempo, grid, key and structure ran on
    double seconds = 0;          // source frames / source rate

    // One line: "120.00 BPM 4/4 · steady · Am · -14.0 LUFS · -1.3 dBTP".
    std::string summary() const;
};

// Why the pipeline gave no analysis.
enum class AnalysisSkip {
    tooShort,       // no channel, or one second or less
    noSteadyPulse,  // the tempo analysis found no pulse
};

struct AnalysisOutcome {
    std::optional<MusicAnalysis> analysis;
    std::optional<AnalysisSkip> skipped;
};

// A file as the analysis takes it: the mono fold of its channels at
// 22 050 Hz, the loudness of its own channels at its own rate, and, when
// asked for, those channels themselves (for the edits cut from them).
struct AnalysisInput {
    PlanarAudio audio;  // the channels when kept (else none); the file's rate either way
    double sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;
    std::vector<float> mono22k;
    LoudnessResult loudness;

    double seconds() const;
};

namespace AnalysisPipeline {

// Reads a whole file for the analysis in one pass: each block is folded to
// mono, converted to the analysis rate and measured for loudness (with the
// channel weights of `source`) as it comes, so that the memory used follows
// the analysis signal, not the file's rate and channels; `keepChannels`
// keeps the channels too. Nothing is converted or measured for a file too
// short to analyse. Errors are those of Signal::readPlanar.
AnalysisInput read(const std::filesystem::path& url, const std::optional<SourceFormat>& source = std::nullopt,
                   bool keepChannels = false);

// Runs every step in order on a file read by read(); its mono signal moves
// into the analysis.
AnalysisOutcome run(AnalysisInput&& input, const std::string& name, std::optional<double> bpm = std::nullopt,
                    std::optional<int> beatsPerBar = std::nullopt);

// Runs every step in order on planar channels at their own rate. bpm and
// beatsPerBar are the user's overrides of the grid (absent in the batch);
// where the analysis finds no pulse, a given bpm is the tempo the grid,
// the sections and the temp edits are built on, and only without one is
// the piece skipped. name is the file name, which can mark a loop file.
AnalysisOutcome run(const std::vector<std::vector<float>>& channels, double sampleRate,
                    const std::optional<SourceFormat>& source, const std::string& name,
                    std::optional<double> bpm = std::nullopt,
                    std::optional<int> beatsPerBar = std::nullopt);

}  // namespace AnalysisPipeline
}  // namespace qm

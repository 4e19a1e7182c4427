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

// A file as the analysis takes it: its own channels at its own rate (for
// loudness and for the edits cut from it) and their mono fold at 22 050 Hz.
struct AnalysisInput {
    PlanarAudio audio;
    std::vector<float> mono22k;

    double seconds() const;
};

namespace AnalysisPipeline {

// Reads a whole file for the analysis: the planar channels and the mono
// signal at the analysis rate. Errors are those of Signal::readPlanar.
AnalysisInput read(const std::filesystem::path& url);

// Runs every step in order on a file read by read().
AnalysisOutcome run(const AnalysisInput& input, const std::optional<SourceFormat>& source,
                    const std::string& name, std::optional<double> bpm = std::nullopt,
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

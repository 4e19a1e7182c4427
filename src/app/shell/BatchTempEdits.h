// Temp edits for many files at once, without the editor: every source is
// read, analysed, planned and written with the same pieces the editor's own
// export uses (AnalysisPipeline, TempEditPlanner, TempEditExporter), so both
// write the same files and notes, here with the default options.
//
// prepare() runs on the main thread: it keeps the audio files and gives each
// its own edits folder, so a later change of the settings does not move a
// running batch and two sources with one base name never share a folder.
// run() does the work, one file after another, on whatever thread calls it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "edit/EditPlan.h"

namespace qm {

class SettingsStore;

namespace BatchTempEdits {

struct Source {
    std::filesystem::path url;
    std::filesystem::path folder;  // where its edits and notes go

    bool operator==(const Source&) const = default;
};

struct Outcome {
    std::vector<std::filesystem::path> written;  // the folders of finished sources, in order
    int64_t skipped = 0;                         // one second or less, or no steady pulse
    int64_t tooShort = 0;                        // of those, one second or less
    int64_t failed = 0;                          // could not be read or written
    std::string firstFailure;                    // the first failed source's reason

    bool operator==(const Outcome&) const = default;
};

inline constexpr const char* kTooLarge = "File too large to load";

// The fixed options of the batch: the temp-edit defaults.
TempEditOptions options();

// The URLs with an audio extension, in order, each with its own folder.
std::vector<Source> prepare(const std::vector<std::filesystem::path>& urls, const SettingsStore& settings);

// Texts of the player's message.
std::string startText(size_t files);
std::string progressText(size_t index, size_t count, const std::filesystem::path& url);
std::string finalText(const Outcome& outcome);

// Makes the edits of every source in order. `progress` (may be empty) gets
// each file's progress text before its work starts. A source whose planar
// floats (frames x channels x 4 bytes) pass `loadLimitBytes` is not read.
Outcome run(const std::vector<Source>& sources, uint64_t loadLimitBytes,
            const std::function<void(const std::string&)>& progress = {});

}  // namespace BatchTempEdits
}  // namespace qm

// Writes the planned temp edits of one source: one 24-bit WAV file per plan
// and one edit-notes text file, into one folder.
//
// Used by the editor for its open document and by the batch over many
// files, so that both write the same files and the same notes. Every file is
// written through a temporary file that then takes its final name.
//
// Pure apart from the files; runs in a background task.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "edit/EditOps.h"
#include "edit/EditPlan.h"

namespace qm::TempEditExporter {

struct Result {
    std::filesystem::path folder;
    std::vector<std::filesystem::path> files;  // in plan order
    std::filesystem::path notes;

    bool operator==(const Result&) const = default;
};

struct Job {
    std::vector<EditPlan> plans;
    double sampleRate = 0;
    std::string base;                 // the source's file name without extension
    std::vector<std::string> header;  // the notes' first lines
    uint32_t mask = 0;                // WAVE channel mask of the written files
    TempEditOptions options;
    std::filesystem::path folder;
};

// 3 for two channels, 4 for one, 0 otherwise.
uint32_t mask(int channels);

// The two notes lines of one written edit.
std::vector<std::string> noteLines(const std::string& fileName, double seconds, const EditPlan& plan);

// The name of a source's notes file: "<base> - Edit Notes.txt".
std::string notesName(const std::string& base);

// The folder one source's edits go to, starting from `folder` (its usual
// "<name> Edits"): that folder when nothing is there yet or its notes file's
// "Source: " line names `source` (the same source made again), otherwise the
// first of "<name> Edits 2", "<name> Edits 3", ... that qualifies. Folders
// in `taken` (given to other sources of the same batch) are passed over, so
// sources with one base name never write into one folder.
std::filesystem::path ownFolder(const std::filesystem::path& folder, const std::filesystem::path& source,
                                const std::string& base,
                                const std::set<std::filesystem::path>& taken = {});

// Creates the folder, renders and writes every plan in order (each rendered
// buffer released before the next), then the notes file. Throws the first
// AppError: files written before it stay, and no notes file is written when
// a WAV file fails.
Result write(const Job& job, const EditOps::Channels& channels);

}  // namespace qm::TempEditExporter

// A WAV file that appears under its name whole or not at all.
//
// The samples go through a WavFileWriter into a FileAccess::TemporaryFile in
// the destination folder; commit() completes it and gives it its name with a
// rename that never replaces an existing file: when the name is taken, the
// file takes the first free one of "<stem> 2<ext>", "<stem> 3<ext>", ...
// (a stem too long for the name limit is shortened). Destroying an
// uncommitted file removes the temporary one, so a failure, a cancellation
// or an exception anywhere in between leaves nothing behind. Missing folders
// are made.
//
// Errors are the writer's AppErrors, their text naming the file by its
// requested name.
//
// One thread at a time; no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/FileAccess.h"

namespace qm {

class WavFileWriter;

class WholeWavFile {
public:
    WholeWavFile(const std::filesystem::path& dest, double sampleRate, int channels, uint32_t mask,
                 const std::string& description);
    ~WholeWavFile();
    WholeWavFile(const WholeWavFile&) = delete;
    WholeWavFile& operator=(const WholeWavFile&) = delete;

    // Appends `frames` frames, one planar buffer per channel of the file.
    void append(const float* const* channels, int64_t frames);
    // Completes the file and names it; returns the name it took.
    std::filesystem::path commit();

private:
    std::optional<FileAccess::TemporaryFile> temp_;
    std::unique_ptr<WavFileWriter> writer_;
};

}  // namespace qm

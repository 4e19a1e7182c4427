// Writing AAC audio into an MPEG-4 file (".m4a"): the clip the AI
// generation client uploads.
//
// The file is created when the writer is made; planar float frames are
// appended in blocks of any size (the encoder's 1024-frame packets are cut
// inside); finish() flushes the encoder and writes the container's index.
// A writer destroyed before finish() leaves an unfinished file that the
// caller removes. One thread at a time; no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/AppError.h"

namespace qm {

// Codes of AppError thrown by AacFileWriter.
enum AacFileError : int {
    // The encoder refuses the format (a sample rate AAC has no table for,
    // a channel count it cannot code) or is missing from the library.
    kAacFormatUnavailable = 92,
    // The file cannot be created or written (the same code as the WAV writer).
    kAacWriteFailed = kFileWriteFailed,
};

class AacFileWriter {
public:
    // Throws AppError kAacFormatUnavailable or kAacWriteFailed.
    AacFileWriter(const std::filesystem::path& url, int sampleRate, int channels, int64_t bitRate);
    ~AacFileWriter();
    AacFileWriter(const AacFileWriter&) = delete;
    AacFileWriter& operator=(const AacFileWriter&) = delete;

    // Appends `frames` frames, one pointer per channel of the writer.
    void append(const float* const* channels, int64_t frames);
    void finish();

private:
    struct State;
    void encodePending(bool flush);
    void drain();
    std::unique_ptr<State> s_;
};

}  // namespace qm

// Reading audio files: the one door through which the system reads audio
// from disk (file facts, streaming, whole-file reads for the editor and the
// analysis).
//
// An implementation opens one file and answers its own format facts and
// planar 32-bit float frames at any frame position. A reader object is used
// by one thread at a time; open one reader per thread.
//
// Channel layouts are given in the published Core Audio vocabulary
// (AudioChannelLayoutTag and AudioChannelLabel values), which is what the
// format detector speaks: the implementation expands WAVE channel masks,
// Ambisonic B-format and codec layouts into per-channel labels itself.
//
// What a header claims is not trusted: `frames` is what a sequential read
// yields (a truncated file is as long as what it holds), a rate outside
// sampleRate::plausible is refused, a sample that is not a finite number or
// lies beyond any real level (a float file's 1e30) reads as silence, and a
// damaged stretch of a compressed stream (a packet the decoder refuses, a
// decoded frame far beyond any real level) reads as silence of its length;
// both are counted in damagedFrames().
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qm {

// Error codes of AudioFileReader (AppError::code()).
enum AudioFileError : int {
    kAudioFileNotFound = 60,     // missing, or not a regular file
    kAudioFileUnreadable = 61,   // not audio, or a format no implementation understands
    kAudioFileReadFailed = 62,   // the file opened but its frames cannot be read
};

struct AudioStreamFormat {
    std::string codec;         // "PCM", "MP3", "AAC", "ALAC", "FLAC", "Opus" or "Compressed"
    int bitsPerChannel = 0;    // of the file's own format; 0 for compressed formats stating none
    bool isFloat = false;      // the file's own samples are floating point
    double sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;        // length in sample frames
    uint32_t layoutTag = 0;    // 0 when the file carries no layout, or its labels are listed
    std::vector<uint32_t> channelLabels;  // one per channel, or empty when unknown
};

class AudioFileReader {
public:
    virtual ~AudioFileReader() = default;

    virtual const AudioStreamFormat& format() const = 0;

    // Reads up to `frames` frames starting at frame `position` into one
    // buffer per channel (format().channels of them). Returns the number of
    // frames read: fewer than asked only at the end of the file. Throws
    // AppError when the file cannot be read.
    virtual int64_t read(int64_t position, float* const* channels, int64_t frames) = 0;

    // Frames that reads so far gave as silence because the file was damaged
    // there (a frame read twice counts twice).
    int64_t damagedFrames() const { return damaged_; }

    // Opens a file with the first implementation that understands it.
    // Throws AppError (with a readable text) for a file that is missing,
    // empty, unreadable or not audio.
    static std::unique_ptr<AudioFileReader> open(const std::filesystem::path& path);

protected:
    // The frames of a read request that lie inside the file (0 at or past
    // its end); a negative position or count throws AppError.
    int64_t framesInFile(int64_t position, int64_t frames) const;

    // Levels above this (+36 dBFS) come from damage, never from a real
    // recording; float overshoot below it is kept.
    static constexpr float kDamagedLevel = 64.0f;

    // Repairs `frames` frames in place, where at(channel, frame) is a sample.
    // A sample that is not finite becomes 0. One beyond kDamagedLevel
    // becomes 0 as well (a float file stores each sample apart), except with
    // `checkLevel`, for decoders whose damage spreads over their frame: then
    // the whole stretch becomes silence. Frames changed are added to
    // damagedFrames().
    template <class At>
    void repair(int channels, int64_t frames, bool checkLevel, At at) {
        int64_t bad = 0;
        bool loud = false;
        for (int64_t i = 0; i < frames; ++i) {
            bool badFrame = false;
            for (int c = 0; c < channels; ++c) {
                float& v = at(c, i);
                if (std::isfinite(v) && std::fabs(v) <= kDamagedLevel) continue;
                if (checkLevel && std::isfinite(v)) {
                    loud = true;
                } else {
                    v = 0.0f;
                    badFrame = true;
                }
            }
            bad += badFrame;
        }
        if (checkLevel && loud) {
            for (int64_t i = 0; i < frames; ++i)
                for (int c = 0; c < channels; ++c) at(c, i) = 0.0f;
            bad = frames;
        }
        damaged_ += bad;
    }

    int64_t damaged_ = 0;
};

}  // namespace qm

// Writing audio files for tests: every test makes its own files.
//
// writeAudioFile writes planar float samples through libsndfile in any of the
// containers and sample formats the reader must understand (WAV of any bit
// depth or float, WAVE_FORMAT_EXTENSIBLE with a channel mask, Ambisonic
// B-format, RF64, W64, AIFF, CAF, FLAC, Ogg, MP3), optionally with a bext
// Description. encodeWithFfmpeg turns such a file into what libsndfile
// cannot write (M4A/AAC, ALAC). RiffBuilder assembles raw RIFF bytes for
// malformed or unusual files, AiffBuilder and W64Builder the same for AIFF
// and Wave64.
//
// staircase() is the default signal: every value is exactly representable
// in 16-bit PCM and differs from frame to frame, so any offset error in a
// read shows as a mismatch.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {

enum class FileKind {
    wav,    // RIFF WAVE, plain format tag (extensible only when a mask is given)
    wavex,  // RIFF WAVE with WAVE_FORMAT_EXTENSIBLE always
    amb,    // WAVE_FORMAT_EXTENSIBLE with the Ambisonic B-format sub-format
    rf64,   // RF64 with a ds64 chunk
    w64,
    aiff,
    caf,
    flac,
    ogg,    // Vorbis
    opus,   // Ogg Opus (48 kHz)
    mp3,
};

struct AudioFileOptions {
    FileKind kind = FileKind::wav;
    int bits = 24;         // 8, 16, 24, 32 (integer) or 32, 64 with isFloat
    bool isFloat = false;
    // WAVE channel mask, stored exactly as given in a WAVE_FORMAT_EXTENSIBLE
    // header (RIFF and RF64 files); 0 stores a zero mask.
    std::optional<uint32_t> channelMask = std::nullopt;
    std::optional<std::string> bextDescription = std::nullopt;  // up to 256 bytes
};

// Planar samples, one vector per channel, all the same length.
using Planar = std::vector<std::vector<float>>;

// A value exactly representable in 16-bit PCM, different for every frame
// (period 16384 frames) and every channel.
float staircase(int channel, int64_t frame);
Planar staircaseSignal(int channels, int64_t frames, int64_t startFrame = 0);
Planar sineSignal(int channels, int64_t frames, double sampleRate, double hz, float amplitude);

// Throws std::runtime_error on failure.
void writeAudioFile(const std::filesystem::path& path, const Planar& samples, double sampleRate,
                    const AudioFileOptions& options = {});
// Staircase content of the given shape.
void writeTestFile(const std::filesystem::path& path, int channels, int64_t frames,
                   double sampleRate, const AudioFileOptions& options = {});

// Runs the ffmpeg command-line tool: `ffmpeg -i input <args> output`.
// Throws std::runtime_error when it fails.
void encodeWithFfmpeg(const std::filesystem::path& input, const std::filesystem::path& output,
                      const std::string& args);

// Little- and big-endian integers as bytes.
std::string le16(uint16_t v);
std::string le32(uint32_t v);
std::string le64(uint64_t v);
std::string be16(uint16_t v);
std::string be32(uint32_t v);
// An 80-bit extended float, as AIFF stores its sample rate.
std::string extended80(double value);

// Raw RIFF/RF64 assembly. Chunks are padded to an even length; the form size
// is filled in by bytes() unless given.
class RiffBuilder {
public:
    explicit RiffBuilder(std::string form = "RIFF", std::string type = "WAVE");

    RiffBuilder& chunk(const std::string& id, const std::string& payload);
    // A chunk whose header declares `declaredSize` whatever the payload holds.
    RiffBuilder& chunkWithSize(const std::string& id, uint32_t declaredSize,
                               const std::string& payload);
    // A plain PCM (format 1) or float (format 3) fmt chunk.
    RiffBuilder& fmt(int channels, uint32_t sampleRate, int bits, bool isFloat = false);
    // A bext chunk whose Description field holds `description` (zero-padded
    // to 256 bytes) followed by the rest of a version-1 bext body.
    RiffBuilder& bext(const std::string& description);
    // A data chunk with 16-bit staircase frames.
    RiffBuilder& data16(int channels, int64_t frames);
    RiffBuilder& formSize(uint32_t size);

    std::string bytes() const;

private:
    std::string form_, type_, body_;
    std::optional<uint32_t> formSize_;
};

// Raw AIFF/AIFC assembly: big-endian sizes, chunks padded to an even
// length, the form size filled in by bytes().
class AiffBuilder {
public:
    explicit AiffBuilder(std::string type = "AIFF");
    AiffBuilder& chunk(const std::string& id, const std::string& payload);
    AiffBuilder& chunkWithSize(const std::string& id, uint32_t declaredSize, const std::string& payload);
    // A COMM chunk of plain AIFF (18 bytes) or, given a compression code,
    // of AIFC (with an empty name).
    AiffBuilder& comm(int channels, double sampleRate, int bits, const std::string& compression = "");
    // An SSND chunk: offset field, block size 0, `offset` bytes, the audio.
    AiffBuilder& ssnd(const std::string& audio, uint32_t offset = 0);
    std::string bytes() const;

private:
    std::string type_, body_;
};

// A Wave64 GUID: the four characters and the tail of the WAVE family's
// GUIDs, or (riffFamily) of the riff/list ones.
std::string w64Guid(const char* fourcc, bool riffFamily = false);

// Raw Wave64 assembly: 16-byte GUIDs, 64-bit sizes that count the chunk's
// 24-byte header, chunks on 8-byte boundaries.
class W64Builder {
public:
    W64Builder& chunk(const std::string& guid, const std::string& payload);
    W64Builder& chunkWithSize(const std::string& guid, uint64_t declaredSize, const std::string& payload);
    std::string bytes() const;

private:
    std::string body_;  // from offset 40, a multiple of 8
};

}  // namespace qm::test

// The facts of one audio file (rate, channels, length, bit depth, codec,
// channel labels, detected channel format, broadcast-wave description),
// gathered by AudioFileInfo::load before a file is played, analysed or
// exported; and the set of extensions the system treats as audio.
//
// Free of shared state: load may run on any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "audio/SourceFormat.h"

namespace qm {

class ReadOnlyFile;
struct AudioStreamFormat;

struct AudioFileInfo {
    std::filesystem::path url;
    double sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;
    int bitDepth = 0;        // of the file's own format; 0 for compressed formats stating none
    bool isFloat = false;
    std::string codec;       // "MP3", "AAC", "ALAC", "FLAC", "PCM", "Opus" or "Compressed"
    std::vector<uint32_t> labels;  // Core Audio channel label per channel, or empty
    SourceFormat detected = SourceFormat::discrete(0);
    std::optional<std::string> bextDescription;

    // Throws the reader's AppError for a file that cannot be opened; missing
    // layouts, broken RIFF structure or a missing bext chunk never throw.
    static AudioFileInfo load(const std::filesystem::path& url);
    // What load() gives for the open file at `url`, worked out from its
    // header alone (audio/WaveHeader.cpp): a RIFF, RF64/BW64 or Wave64 WAVE
    // file or an AIFF/AIFC file, of integer PCM of 8 to 32 bits or float.
    // Nothing when the header holds anything the audio reader might read
    // otherwise: another format or compression, a chunk it parses and might
    // refuse or read past, sizes that do not add up. Never throws.
    static std::optional<AudioFileInfo> fromHeader(const ReadOnlyFile& file, const std::filesystem::path& url);

    // "48 kHz · 24-bit · 6 ch", "44.1 kHz · AAC · mono".
    std::string summary() const;
    // The same line from single facts (a catalog row keeps no float flag).
    static std::string summaryText(double sampleRate, const std::string& codec, int64_t bits,
                                   bool isFloat, int64_t channels);

    // The 15 lower-case extensions (without dot) treated as audio everywhere.
    static const std::set<std::string>& audioExtensions();
    // True when the lower-cased extension of the path is one of them.
    static bool isAudioFile(const std::filesystem::path& url);
    // The same for a file name alone, without building a path (folder
    // walks ask it of every name).
    static bool isAudioName(std::string_view name);

    bool operator==(const AudioFileInfo&) const = default;

private:
    // The facts of a file whose reader reported `format`.
    static AudioFileInfo fromFormat(const std::filesystem::path& url, const AudioStreamFormat& format);
};

// Reads single facts out of RIFF/RF64 WAVE files without the audio reader.
namespace RIFFReader {
// The trimmed Description of the file's bext chunk, or nil (never throws):
// for a file whose extension is a WAVE one, from the file itself.
std::optional<std::string> bextDescription(const std::filesystem::path& url);
std::optional<std::string> bextDescription(const ReadOnlyFile& file);
// "wav", "wave", "bwf", "amb" or "rf64", any case: the files whose bext
// Description is read.
bool hasWaveExtension(const std::filesystem::path& url);
// The text of a bext Description field as read: the bytes before the first
// zero, broken UTF-8 repaired, White_Space trimmed at both ends.
std::string descriptionText(std::string_view field);
}  // namespace RIFFReader

}  // namespace qm

template <>
struct std::hash<qm::AudioFileInfo> {
    size_t operator()(const qm::AudioFileInfo& info) const noexcept;
};

// The exporter writes pulls: new WAV files cut from a source file, in the
// source's own channels, as a speaker bed of a chosen layout, as an upmix to
// a chosen layout, or as a two-channel binaural rendering for headphones.
//
// Every pull goes into a folder named after the local day under the pulls
// folder ("<pulls>/2026-12-08/Theme_3.000-9.250s_714up-film.wav"), and its
// broadcast-wave description says where it came from.
//
// Rendering is offline, in blocks, on the caller's thread: plain matrix
// mixing for own-channel and bed pulls, the upmix kernel for upmix pulls,
// and the same binaural renderer that playback uses for binaural pulls, fed
// by the same virtual-speaker matrix, so a binaural pull holds the samples
// that headphone playback of the source would give.
//
// Nothing half-written is ever left under a pull's name: the file is written
// under a hidden temporary name in the day folder and takes its final name
// only once complete, and an existing file is never replaced (a second pull
// of the same name gets " 2", " 3", ... before its extension). A failure, a
// cancellation, or a source that disappears or changes while it is read
// throws a qm::AppError and removes the temporary file. The source is only
// ever read.
//
// Threads: exportPull runs synchronously on the calling thread; it shares no
// state, so exports may run on several threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "spatial/Ambisonics.h"
#include "audio/AudioFileInfo.h"
#include "spatial/MixBuilder.h"
#include "audio/SourceFormat.h"
#include "audio/Speakers.h"
#include "audio/UpmixSettings.h"

namespace qm {

// The forms a pull can take, as the player offers them.
struct DragExport {
    enum class Kind { bed, upmix, original, binaural };

    Kind kind = Kind::original;
    LayoutID layout = LayoutID::stereo;  // of bed and upmix; stereo for the others

    static DragExport bed(LayoutID l) { return {Kind::bed, l}; }
    static DragExport upmix(LayoutID l) { return {Kind::upmix, l}; }
    static DragExport original() { return {Kind::original, LayoutID::stereo}; }
    static DragExport binaural() { return {Kind::binaural, LayoutID::stereo}; }

    // "bed-l51", "upmix-stereo", "original", "binaural".
    std::string id() const;
    // "5.1 bed", "Stereo fold-down", "7.1.4 upmix", "Original", "Binaural".
    std::string name() const;

    bool operator==(const DragExport&) const = default;
};

namespace Exporter {

// Error codes of the exporter's own failures (AppError::code()). Opening or
// reading the source and writing the pull throw the reader's and the
// writer's errors (60 to 63, and 20 past the 4 GB limit).
inline constexpr int kBinauralSourceUnfit = 30;
inline constexpr int kUpmixSourceUnfit = 31;
inline constexpr int kEmptyRange = 32;  // a selection that holds no frame of the file
inline constexpr int kCancelled = 33;

// Source frames, end exclusive.
struct Range {
    int64_t start = 0;
    int64_t end = 0;
    int64_t length() const { return end - start; }
    bool operator==(const Range&) const = default;
};

struct Request {
    AudioFileInfo info;                 // the source's facts (url, sample rate, channels, frames)
    SourceFormat source = SourceFormat::discrete(0);  // how the source's channels are read
    std::optional<Range> range;         // absent: the whole file
    DragExport mode;
    Rotation rotation;                  // applied to Ambisonics sources
    ListenMode listen = ListenMode::normal;
    bool monoToCenter = false;
    std::filesystem::path folder;       // the pulls folder
    UpmixParams upmix;                  // for upmix pulls
    std::string upmixName;              // display name of the upmix preset in use
    bool loop = false;                  // the pull is meant to loop (upmix pulls only)
};

// Called after every block written with the frames written so far and the
// frames the pull will have; returning false cancels the export.
using Progress = std::function<bool(int64_t done, int64_t total)>;

// Renders the pull and returns its location. A whole-file pull in the
// source's own channels with listen mode normal writes nothing and returns
// the source's own location.
std::filesystem::path exportPull(const Request& request, const Progress& progress = {});

// The day folder's name for a moment: "yyyy-MM-dd" in the local time zone.
std::string day(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace Exporter

}  // namespace qm

template <>
struct std::hash<qm::DragExport> {
    size_t operator()(const qm::DragExport& e) const noexcept {
        return size_t(e.kind) * 16 + size_t(e.layout);
    }
};

// The mix builder: turns a source on an output profile into one gain matrix
// and a few routing facts, packed as a MixConfig for the real-time render
// path and the monitor.
//
// Every kind of source (a speaker list, an Ambisonics stream, discrete
// channels) reaches every kind of output (a speaker layout routed to device
// channels with per-speaker trims, or headphones through the binaural
// renderer's virtual sources). The five stereo listen modes fold a stereo
// source; an attached upmix request runs ahead of the matrix.
//
// Everything here is pure and without state. It runs on the main thread on
// every change of profile, listen mode, rotation or upmix (a slider move), so
// it stays far below a frame; any thread may call it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/TextTable.h"
#include "spatial/Ambisonics.h"
#include "audio/OutputProfile.h"
#include "audio/SourceFormat.h"
#include "audio/Speakers.h"
#include "audio/UpmixRequest.h"
#include "audio/UpmixSettings.h"
#include "rt/mn_mix.h"

namespace qm {

// How a stereo source is folded onto the left and right outputs.
enum class ListenMode { normal, mono, left, right, midSide };

namespace listenMode {
inline constexpr auto table =
    textTable<ListenMode>({{ListenMode::normal, "normal"}, {ListenMode::mono, "mono"}, {ListenMode::left, "left"},
                           {ListenMode::right, "right"}, {ListenMode::midSide, "midSide"}});
inline const std::array<ListenMode, 5>& allCases() { return table.values(); }
inline std::string_view rawValue(ListenMode m) { return table.text(m); }
inline std::optional<ListenMode> fromRawValue(std::string_view raw) { return table.value(raw); }
// Row 0 feeds the left output, row 1 the right; column 0 is the left input,
// column 1 the right.
const Matrix& matrix(ListenMode m);
}  // namespace listenMode

void to_json(nlohmann::json& j, ListenMode m);
void from_json(const nlohmann::json& j, ListenMode& m);

// A device channel that does not exist: the render path ignores it.
inline constexpr int kNoDeviceChannel = -1;

struct MixConfig {
    int inChannels = 0;           // source channels, or the upmix's outputs when `upmix` is set
    int rows = 0;                 // device channels, or virtual sources when `toBinaural`
    std::vector<float> matrix;    // rows x inChannels, row-major: input c to row r at r * inChannels + c
    bool toBinaural = false;
    int binLeft = 0;              // device channel of the left ear, kNoDeviceChannel when outside the device
    int binRight = 1;             // device channel of the right ear, kNoDeviceChannel when outside the device
    std::vector<Direction> virtualDirections;  // one per row when binaural
    std::optional<UpmixRequest> upmix;
    int upmixOffset = 0;          // first input channel handed to the upmixer

    bool operator==(const MixConfig&) const = default;
};

// The real-time record of a MixConfig with its own copy of the matrix; the
// record's matrix pointer stays valid for the life of this object, moves
// included. Made on the main thread, read by the render path, freed later on
// the main thread.
struct RealtimeMix {
    mn_mix_config record{};
    std::vector<float> matrix;  // at least one element, so the pointer is never null
};
// `upmixContext` is the engine's upmix context when `config.upmix` is set;
// it is ignored otherwise.
std::unique_ptr<RealtimeMix> makeRealtimeMix(const MixConfig& config, void* upmixContext);

namespace MixBuilder {

// The whole configuration for a profile. `channels` is what the stream
// reader delivers, `deviceChannels` the engine's device channel count and
// `deviceSpeakers` where its channels play, when the device says (a speaker
// profile is placed through speakerRouting()).
MixConfig config(const SourceFormat& source, int channels, const OutputProfile& profile,
                 int deviceChannels, ListenMode listen, const Rotation& rotation,
                 bool monoToCenter, const std::optional<UpmixSettings>& upmix,
                 const ChannelSpeakers& deviceSpeakers = {});

// A speaker profile that is not routed by hand (OutputProfile::routedByHand)
// on a device that says where at least one of its channels plays.
bool routesByPosition(const OutputProfile& profile, const ChannelSpeakers& deviceSpeakers);

// Where the speakers of a speaker profile's layout play on a device of
// `deviceChannels` channels: one row per device channel, one column per
// speaker of the layout, the speaker's gain on that channel (trims apart).
// By position (routesByPosition): each speaker on the first channel whose
// position is that speaker; a speaker the device has no position for folded
// onto the channels that have one as layoutMatrix folds a speaker its
// target lacks (the nearest, or both sides of a stereo pair); a channel of
// no speaker of the layout, or of no position, silent. Otherwise by number:
// speaker i on channel `outputs[i]` (its own index where the list is
// short), dropped when that is not on the device.
Matrix speakerRouting(const OutputProfile& profile, int deviceChannels, const ChannelSpeakers& deviceSpeakers);

// The plain rendering of a source onto a speaker list: target.size() rows of
// `channels` gains.
Matrix layoutMatrix(const SourceFormat& source, int channels, const std::vector<SpeakerID>& target,
                    ListenMode listen, const Rotation& rotation, bool monoToCenter);

struct Binaural {
    std::vector<Direction> dirs;  // one per virtual source
    Matrix matrix;                // one row per virtual source, `channels` columns
};
// The virtual sources of a source and its gains to them, headroom included:
// every head response has about unit power, so uncorrelated channels add
// their powers at the ears (a 9.1.6 bed at -12 dBFS a channel would reach
// 0 dB RMS there and peak far above full scale).
Binaural binauralMatrix(const SourceFormat& source, int channels, const Rotation& rotation);
// The gain on a binaural bus that receives `power` (what a unit channel of
// the source puts on the ears, summed over its channels): the powers of
// uncorrelated channels then add up to one half. Never above 1.
double binauralHeadroom(double power);

// Left and right gain of one direction on a stereo pair at ±30°.
std::pair<double, double> stereoGains(const Direction& dir);

// Index of the closest speaker other than LFE; ties go to the lower index.
std::optional<int> nearest(const Direction& dir, const std::vector<SpeakerID>& layout);

}  // namespace MixBuilder

}  // namespace qm

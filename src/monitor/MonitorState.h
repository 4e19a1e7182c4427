// Every control of the live monitor as one value: the layout of the bus that
// arrives on the source and its first channel, the fold-down, volume, dim,
// mute, height trim, the solo and mute sets of output speakers, and the
// monitor's own upmix. The monitor engine publishes it, makes the gain
// matrix from it on every change and keeps it as JSON under "monitor.state".
//
// Decoding is tolerant key by key: a key that is missing, null, of the wrong
// JSON kind or naming an unknown case takes its default, and a solo or mute
// list is taken whole or not at all. Only a value that is not an object
// fails. A stored volume or height trim is clamped into the range the
// window and the control protocol offer, so a damaged file cannot drive the
// speakers with gains of 10^20.
//
// A plain value; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/Speakers.h"
#include "audio/TextTable.h"
#include "audio/UpmixSettings.h"

namespace qm {

// The layout and channel order of the bus arriving on the source device.
enum class MonitorSource { l916, l714, l714film, l51, l51film, stereo };

// The fold-down applied before the output layout.
enum class MonitorMode { full, l714, l51, stereo, mono };

namespace monitorSource {
inline constexpr auto table = textTable<MonitorSource>(
    {{MonitorSource::l916, "l916"}, {MonitorSource::l714, "l714"}, {MonitorSource::l714film, "l714film"},
     {MonitorSource::l51, "l51"}, {MonitorSource::l51film, "l51film"}, {MonitorSource::stereo, "stereo"}});
inline const auto& allCases() { return table.values(); }
inline std::string_view rawValue(MonitorSource s) { return table.text(s); }
inline std::optional<MonitorSource> fromRawValue(std::string_view raw) { return table.value(raw); }
// The speakers of the incoming bus, first input channel first: SMPTE order,
// or the film order (C between L and R, LFE after the surround pairs).
const std::vector<SpeakerID>& speakers(MonitorSource s);
}  // namespace monitorSource

namespace monitorMode {
inline constexpr auto table = textTable<MonitorMode>({{MonitorMode::full, "full"}, {MonitorMode::l714, "l714"},
                                                      {MonitorMode::l51, "l51"}, {MonitorMode::stereo, "stereo"},
                                                      {MonitorMode::mono, "mono"}});
inline const auto& allCases() { return table.values(); }
inline std::string_view rawValue(MonitorMode m) { return table.text(m); }
inline std::optional<MonitorMode> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace monitorMode

struct MonitorState {
    // The ranges of the window's and the control protocol's controls; a
    // stored value outside them is clamped when it is decoded.
    static constexpr double minVolumeDB = -60, maxVolumeDB = 12;
    static constexpr double minHeightTrimDB = -12, maxHeightTrimDB = 6;
    static constexpr double dimDB = -20;

    MonitorSource source = MonitorSource::l916;
    int64_t sourceOffset = 0;  // zero-based source channel that carries the bus's first channel
    MonitorMode mode = MonitorMode::full;
    double volumeDB = 0;
    bool dim = false;
    bool mute = false;
    double heightTrimDB = 0;   // on the fold-down's height speakers
    std::set<SpeakerID> solo;  // output speakers; empty = no solo
    std::set<SpeakerID> muted; // output speakers
    UpmixSettings upmix;

    bool operator==(const MonitorState&) const = default;

    // Compact JSON with all ten keys. Throws nlohmann::json::exception for a
    // value JSON cannot hold (a volume or trim that is not finite).
    std::string encode() const;
    // The state of a stored text; nothing when the text is not JSON or not
    // an object (the caller then uses the default state).
    static std::optional<MonitorState> decodeText(std::string_view text);
};

void to_json(nlohmann::json& j, MonitorSource s);
void from_json(const nlohmann::json& j, MonitorSource& s);
void to_json(nlohmann::json& j, MonitorMode m);
void from_json(const nlohmann::json& j, MonitorMode& m);
// The ten keys, every one always written; solo and muted as arrays of
// speaker names in speaker order.
void to_json(nlohmann::json& j, const MonitorState& s);
// Tolerant, as above; throws nlohmann::json::exception only when `j` is not
// an object.
void from_json(const nlohmann::json& j, MonitorState& s);

}  // namespace qm

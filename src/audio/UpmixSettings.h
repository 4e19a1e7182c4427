// The upmix configuration records: the parameters that steer the upmix
// planner, the six named presets, and the setting that the player, the
// monitor and the stored settings hold (on or off, preset, parameters).
//
// Plain values with memberwise equality (doubles compare as doubles, so a
// NaN never equals itself); callers rely on that equality to skip
// re-planning when nothing changed. Any thread may use them.
//
// Two sets of defaults exist on purpose. A default-constructed UpmixParams
// holds the decoder defaults: what a key missing from a stored parameter
// object reads as. A default-constructed UpmixSettings starts from the music
// preset's row instead.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/TextTable.h"

namespace qm {

struct UpmixParams {
    enum class LFEMode { off, split };

    double strength = 1;          // 0...1, full upmix (1) against a plain pass (0)
    double centerWidth = 0;       // 0...1, centre spread to the front pair
    double stage = 30;            // degrees, phantom azimuth of a hard-left source
    double frontAmbience = 0.45;  // 0...1, ambience power kept on the front speakers
    double ambienceDB = 0;
    double sideDB = 0;
    double rearDB = -3;
    double wideDB = -3;
    double heightDB = -6;
    double heightTilt = 0;        // -1...1, ±3 dB per unit between front and rear heights
    double surroundDelayMs = 0;
    double shelfHz = 0;           // 0 = no shelf
    double shelfDB = 0;
    double heightHPFHz = 150;
    double roomMs = 10;
    double focus = 1;             // > 0; kernel kappa = 1 / max(focus, 0.1)
    LFEMode lfe = LFEMode::off;
    double lfeHz = 120;
    double lfeDB = 0;             // the LFE feed sits at lfeDB - 10 dB
    bool exact = false;

    bool operator==(const UpmixParams&) const = default;
};

enum class UpmixPreset { music, film, game, hall, speech, broadcast };

namespace lfeMode {
inline constexpr auto table =
    textTable<UpmixParams::LFEMode>({{UpmixParams::LFEMode::off, "off"}, {UpmixParams::LFEMode::split, "split"}});
inline const std::array<UpmixParams::LFEMode, 2>& allCases() { return table.values(); }
inline std::string_view rawValue(UpmixParams::LFEMode m) { return table.text(m); }
inline std::optional<UpmixParams::LFEMode> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace lfeMode

namespace upmixPreset {
inline constexpr auto table = textTable<UpmixPreset>({{UpmixPreset::music, "music"},
                                                      {UpmixPreset::film, "film"},
                                                      {UpmixPreset::game, "game"},
                                                      {UpmixPreset::hall, "hall"},
                                                      {UpmixPreset::speech, "speech"},
                                                      {UpmixPreset::broadcast, "broadcast"}});
inline const std::array<UpmixPreset, 6>& allCases() { return table.values(); }
inline std::string_view rawValue(UpmixPreset p) { return table.text(p); }
// Exactly the six raw values; no case folding.
inline std::optional<UpmixPreset> fromRawValue(std::string_view raw) { return table.value(raw); }
// The preset's full parameter row.
const UpmixParams& params(UpmixPreset p);
// The name users see: "Music", "Film", "Game", "Hall", "Speech", "Broadcast"
// (menus, the monitor's upmix row, the names of upmix pulls).
std::string_view displayName(UpmixPreset p);
}  // namespace upmixPreset

struct UpmixSettings {
    bool enabled = false;
    UpmixPreset preset = UpmixPreset::music;
    UpmixParams params = upmixPreset::params(UpmixPreset::music);

    bool operator==(const UpmixSettings&) const = default;
};

namespace upmixParams {
// The parameters with every gain held to the range its control offers, so
// that no stored or sent value can drive the speakers: `ambienceDB` -12 to
// +9 dB, `heightDB` at most +6 dB (-40 dB and below is the control's "off"
// and stays as it is), `heightTilt` -1 to 1, and the levels without a
// control (`sideDB`, `rearDB`, `wideDB`, `shelfDB`, `lfeDB`) at most
// +12 dB, the largest boost any control offers. Cuts below a range only
// quieten and are kept. `changed`, when given, receives the key of every
// field that was moved.
UpmixParams bounded(const UpmixParams& p, std::vector<std::string>* changed = nullptr);
}  // namespace upmixParams

// JSON forms. Encoding writes every key in field order and throws
// nlohmann::json::exception for a value JSON cannot hold (a NaN or an
// infinity). Decoding throws only when the value is not an object; each key
// that is missing, null or of the wrong kind takes its default: for
// UpmixParams the decoder default, for UpmixSettings false / music / the
// decoded preset's row.
void to_json(nlohmann::json& j, const UpmixParams& p);
void to_json(nlohmann::ordered_json& j, const UpmixParams& p);
void from_json(const nlohmann::json& j, UpmixParams& p);
void to_json(nlohmann::json& j, const UpmixSettings& s);
void to_json(nlohmann::ordered_json& j, const UpmixSettings& s);
void from_json(const nlohmann::json& j, UpmixSettings& s);
void to_json(nlohmann::json& j, UpmixPreset p);
void from_json(const nlohmann::json& j, UpmixPreset& p);
void to_json(nlohmann::json& j, UpmixParams::LFEMode m);
void from_json(const nlohmann::json& j, UpmixParams::LFEMode& m);

}  // namespace qm

// The speaker vocabulary: the 20 named speaker positions, their nominal
// directions within a layout, the seven output layouts with their channel
// orders, and the WAVE channel-mask rules that decide how a speaker list is
// stored in a WAV file.
//
// Everything here is pure and immutable; any thread may call it.
// Directions use x to the front, y to the left, z up: azimuth is positive to
// the LEFT, elevation positive up, both in degrees.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/TextTable.h"

namespace qm {

// Declaration order is the index order used wherever a speaker needs an index.
enum class SpeakerID : int {
    L, R, C, LFE, Ls, Rs, Lrs, Rrs, Lw, Rw,
    Ltf, Rtf, Ltm, Rtm, Ltr, Rtr, Lc, Rc, Cs, Tc
};

inline constexpr int kSpeakerCount = 20;

struct Direction {
    double az = 0;  // degrees, positive to the left
    double el = 0;  // degrees, positive up

    bool operator==(const Direction&) const = default;
    // Great-circle angle in degrees; identical directions give exactly 0.
    double angle(const Direction& other) const;
};

enum class LayoutID { stereo, l51, l71, l514, l712, l714, l916 };

// Where each channel of a device plays, in channel order, when its system
// says (PipeWire's channel positions, ALSA's channel map); an entry without
// a value where a position names no speaker of ours. Empty: it says nothing.
using ChannelSpeakers = std::vector<std::optional<SpeakerID>>;

namespace speaker {
inline constexpr auto table = textTable<SpeakerID>({
    {SpeakerID::L, "L"},     {SpeakerID::R, "R"},     {SpeakerID::C, "C"},     {SpeakerID::LFE, "LFE"},
    {SpeakerID::Ls, "Ls"},   {SpeakerID::Rs, "Rs"},   {SpeakerID::Lrs, "Lrs"}, {SpeakerID::Rrs, "Rrs"},
    {SpeakerID::Lw, "Lw"},   {SpeakerID::Rw, "Rw"},   {SpeakerID::Ltf, "Ltf"}, {SpeakerID::Rtf, "Rtf"},
    {SpeakerID::Ltm, "Ltm"}, {SpeakerID::Rtm, "Rtm"}, {SpeakerID::Ltr, "Ltr"}, {SpeakerID::Rtr, "Rtr"},
    {SpeakerID::Lc, "Lc"},   {SpeakerID::Rc, "Rc"},   {SpeakerID::Cs, "Cs"},   {SpeakerID::Tc, "Tc"},
});
static_assert(table.values().size() == kSpeakerCount);
inline const std::array<SpeakerID, kSpeakerCount>& allCases() { return table.values(); }
inline std::string_view rawValue(SpeakerID s) { return table.text(s); }
inline std::optional<SpeakerID> fromRawValue(std::string_view raw) { return table.value(raw); }
inline int index(SpeakerID s) { return static_cast<int>(s); }
// Only Ls and Rs depend on the layout: at the sides (±90°) when the layout
// also holds a rear pair (Lrs or Rrs), at ±110° otherwise.
Direction direction(SpeakerID s, const std::vector<SpeakerID>& layout);
// "Lss"/"Rss" for the side pair of a layout with a rear pair, else the raw value.
std::string label(SpeakerID s, const std::vector<SpeakerID>& layout);
// True when the list holds Lrs or Rrs.
bool hasRearPair(const std::vector<SpeakerID>& layout);
// Where `s` first stands in `list`, if anywhere.
std::optional<int> firstIndex(const std::vector<SpeakerID>& list, SpeakerID s);
}  // namespace speaker

namespace layout {
inline constexpr auto table = textTable<LayoutID>({{LayoutID::stereo, "stereo"},
                                                   {LayoutID::l51, "l51"},
                                                   {LayoutID::l71, "l71"},
                                                   {LayoutID::l514, "l514"},
                                                   {LayoutID::l712, "l712"},
                                                   {LayoutID::l714, "l714"},
                                                   {LayoutID::l916, "l916"}});
inline const std::array<LayoutID, 7>& allCases() { return table.values(); }
inline std::string_view rawValue(LayoutID id) { return table.text(id); }
inline std::optional<LayoutID> fromRawValue(std::string_view raw) { return table.value(raw); }
inline std::string_view id(LayoutID l) { return rawValue(l); }
std::string_view displayName(LayoutID id);
const std::vector<SpeakerID>& speakers(LayoutID id);
// Film channel order, present for 5.1, 7.1 and 7.1.4 only.
std::optional<std::vector<SpeakerID>> filmOrder(LayoutID id);
}  // namespace layout

namespace WaveMask {
struct Result {
    uint32_t mask = 0;
    std::vector<SpeakerID> order;  // the order channels are stored in a WAV file
    bool operator==(const Result&) const = default;
};
std::optional<uint32_t> bit(SpeakerID speaker, const std::vector<SpeakerID>& layout);
// nil when a speaker has no WAVE position or a bit repeats; empty list gives (0, []).
std::optional<Result> mask(const std::vector<SpeakerID>& speakers);
}  // namespace WaveMask

// JSON forms: SpeakerID and LayoutID as their raw strings; Direction as
// {"az":…, "el":…} with both keys required. Decoding errors throw
// nlohmann::json exceptions.
void to_json(nlohmann::json& j, SpeakerID s);
void from_json(const nlohmann::json& j, SpeakerID& s);
void to_json(nlohmann::json& j, LayoutID l);
void from_json(const nlohmann::json& j, LayoutID& l);
void to_json(nlohmann::json& j, const Direction& d);
void from_json(const nlohmann::json& j, Direction& d);

}  // namespace qm

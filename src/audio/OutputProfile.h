// An output set-up that the player, the editor and the monitor play
// through: a device, a speaker layout with the device channel of each
// speaker and its trim, and the two ear channels of a headphone profile.
//
// A plain value; equality and hashing take in all nine fields, while `id`
// is the identity that the active-profile setting refers to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/TextTable.h"
#include "audio/Speakers.h"
#include "platform/Uuid.h"

namespace qm {

struct OutputProfile {
    enum class Kind { speakers, headphones };

    Uuid id;
    std::string name;
    Kind kind = Kind::speakers;
    std::optional<std::string> deviceUID;  // absent: the system's default output device
    LayoutID layout = LayoutID::stereo;
    // Zero-based device channel per speaker of `layout`; a missing entry is
    // the speaker's own index. While every entry is that index (the built-in
    // profiles, a new layout), the profile is not routed by hand, and on a
    // device that says where its channels play each speaker goes to the
    // channel of its position instead (MixBuilder::speakerRouting).
    std::vector<int64_t> outputs;
    std::vector<double> trimsDB;           // per speaker, same order
    int64_t headphoneLeft = 0;             // zero-based device channels of the ears
    int64_t headphoneRight = 1;

    bool operator==(const OutputProfile&) const = default;

    // Some speaker of the layout has a channel other than its own index.
    bool routedByHand() const;

    // The three built-in profiles "Room 9.1.6", "Nearfield" and "Headphones",
    // each with a fresh random id at every call.
    static std::vector<OutputProfile> defaults();

    // The range of the trim control; stored trims are held to it when the
    // settings are decoded, and the mix never applies more.
    static constexpr double kMinTrimDB = -24;
    static constexpr double kMaxTrimDB = 12;
    // Holds every trim to that range (a trim that is no number becomes
    // 0 dB); true when one was moved.
    bool holdTrims();
};

namespace profileKind {
inline constexpr auto table = textTable<OutputProfile::Kind>(
    {{OutputProfile::Kind::speakers, "speakers"}, {OutputProfile::Kind::headphones, "headphones"}});
inline const std::array<OutputProfile::Kind, 2>& allCases() { return table.values(); }
inline std::string_view rawValue(OutputProfile::Kind k) { return table.text(k); }
inline std::optional<OutputProfile::Kind> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace profileKind

// JSON form: an object with the nine field names as keys, the id as its
// upper-case 36-character text; `deviceUID` is left out when absent.
// Decoding is strict: every key but `deviceUID` is required with its own
// type (integers may be written as integral numbers such as 2.0), and an
// unknown kind or layout fails; failures throw nlohmann::json::exception.
void to_json(nlohmann::json& j, const OutputProfile& p);
void to_json(nlohmann::ordered_json& j, const OutputProfile& p);
void from_json(const nlohmann::json& j, OutputProfile& p);

}  // namespace qm

template <>
struct std::hash<qm::OutputProfile> {
    std::size_t operator()(const qm::OutputProfile& p) const noexcept;
};

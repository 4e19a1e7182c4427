// How a source's channels are read: a list of named speakers in file order,
// an Ambisonics stream of some order and normalisation, or plain discrete
// channels. Also the names the user sees for them and the choices a format
// menu offers for a channel count.
//
// Pure values; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/Speakers.h"
#include "audio/TextTable.h"

namespace qm {

// SN3D with ACN order, N3D with ACN order, FuMa.
enum class AmbiNorm { sn3d, n3d, fuma };

namespace ambi_norm {
inline constexpr auto table =
    textTable<AmbiNorm>({{AmbiNorm::sn3d, "sn3d"}, {AmbiNorm::n3d, "n3d"}, {AmbiNorm::fuma, "fuma"}});
inline std::string_view rawValue(AmbiNorm n) { return table.text(n); }
inline std::optional<AmbiNorm> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace ambi_norm

void to_json(nlohmann::json& j, AmbiNorm n);
void from_json(const nlohmann::json& j, AmbiNorm& n);

struct SourceFormat {
    struct Speakers {
        std::vector<SpeakerID> list;
        bool operator==(const Speakers&) const = default;
    };
    // (order + 1)² channels.
    struct Ambisonic {
        int order = 1;
        AmbiNorm norm = AmbiNorm::sn3d;
        bool operator==(const Ambisonic&) const = default;
    };
    struct Discrete {
        int count = 0;
        bool operator==(const Discrete&) const = default;
    };

    std::variant<Speakers, Ambisonic, Discrete> value;

    static SourceFormat speakers(std::vector<SpeakerID> list) { return {Speakers{std::move(list)}}; }
    static SourceFormat ambisonic(int order, AmbiNorm norm) { return {Ambisonic{order, norm}}; }
    static SourceFormat discrete(int count) { return {Discrete{count}}; }

    // The payload of the case, or nullptr for another case.
    const std::vector<SpeakerID>* speakerList() const {
        auto* s = std::get_if<Speakers>(&value);
        return s ? &s->list : nullptr;
    }
    const Ambisonic* asAmbisonic() const { return std::get_if<Ambisonic>(&value); }
    const Discrete* asDiscrete() const { return std::get_if<Discrete>(&value); }
    bool isAmbisonic() const { return asAmbisonic() != nullptr; }

    // "Stereo", "5.1 Film", "3-ch bed", "AmbiX 1st order", "7-ch discrete", ...
    std::string displayName() const;

    // The formats a user may choose for a file of that many channels, in menu
    // order; the first is the detector's fallback. Empty for n <= 0.
    static std::vector<SourceFormat> options(int channels);

    bool operator==(const SourceFormat&) const = default;
};

}  // namespace qm

template <>
struct std::hash<qm::SourceFormat> {
    size_t operator()(const qm::SourceFormat& f) const noexcept;
};

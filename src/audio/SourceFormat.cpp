#include "audio/SourceFormat.h"

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

void to_json(nlohmann::json& j, AmbiNorm n) { j = std::string(ambi_norm::rawValue(n)); }

void from_json(const nlohmann::json& j, AmbiNorm& n) {
    n = jsonfields::textValue(j, ambi_norm::table, "Ambisonics normalisation");
}

namespace {

using S = SpeakerID;

std::string speakersName(const std::vector<SpeakerID>& list) {
    if (list == std::vector<SpeakerID>{S::C}) return "Mono";
    if (list == std::vector<SpeakerID>{S::L, S::R}) return "Stereo";
    if (list == std::vector<SpeakerID>{S::L, S::R, S::Ls, S::Rs}) return "Quad";
    for (LayoutID id : layout::allCases()) {
        if (list == layout::speakers(id)) return std::string(layout::displayName(id));
        if (auto film = layout::filmOrder(id); film && list == *film)
            return std::string(layout::displayName(id)) + " Film";
    }
    return std::to_string(list.size()) + "-ch bed";
}

std::string ambisonicName(int order, AmbiNorm norm) {
    std::string prefix;
    switch (norm) {
        case AmbiNorm::sn3d: prefix = "AmbiX "; break;
        case AmbiNorm::n3d: prefix = "ACN/N3D "; break;
        case AmbiNorm::fuma: prefix = "FuMa "; break;
    }
    std::string word = order <= 0 ? "" : order == 1 ? "1st" : order == 2 ? "2nd" : "3rd";
    return prefix + word + " order";
}

}  // namespace

std::string SourceFormat::displayName() const {
    if (auto* list = speakerList()) return speakersName(*list);
    if (auto* a = asAmbisonic()) return ambisonicName(a->order, a->norm);
    return std::to_string(asDiscrete()->count) + "-ch discrete";
}

std::vector<SourceFormat> SourceFormat::options(int n) {
    auto layoutOf = [](LayoutID id) { return speakers(layout::speakers(id)); };
    auto filmOf = [](LayoutID id) { return speakers(*layout::filmOrder(id)); };
    switch (n) {
        case 1: return {speakers({S::C})};
        case 2: return {speakers({S::L, S::R}), discrete(2)};
        case 4:
            return {speakers({S::L, S::R, S::Ls, S::Rs}), ambisonic(1, AmbiNorm::sn3d),
                    ambisonic(1, AmbiNorm::fuma), discrete(4)};
        case 6: return {layoutOf(LayoutID::l51), filmOf(LayoutID::l51), discrete(6)};
        case 8: return {layoutOf(LayoutID::l71), filmOf(LayoutID::l71), discrete(8)};
        case 9: return {ambisonic(2, AmbiNorm::sn3d), ambisonic(2, AmbiNorm::n3d), discrete(9)};
        case 10: return {layoutOf(LayoutID::l712), layoutOf(LayoutID::l514), discrete(10)};
        case 12: return {layoutOf(LayoutID::l714), filmOf(LayoutID::l714), discrete(12)};
        case 16:
            return {layoutOf(LayoutID::l916), ambisonic(3, AmbiNorm::sn3d),
                    ambisonic(3, AmbiNorm::n3d), discrete(16)};
        default: break;
    }
    if (n >= 2) return {discrete(n)};
    return {};
}

}  // namespace qm

size_t std::hash<qm::SourceFormat>::operator()(const qm::SourceFormat& f) const noexcept {
    size_t h = f.value.index() * 0x9E3779B97F4A7C15ull;
    auto mix = [&h](size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    if (auto* list = f.speakerList()) {
        for (auto s : *list) mix(static_cast<size_t>(s));
    } else if (auto* a = f.asAmbisonic()) {
        mix(static_cast<size_t>(a->order));
        mix(static_cast<size_t>(a->norm));
    } else {
        mix(static_cast<size_t>(f.asDiscrete()->count));
    }
    return h;
}

#include "audio/Speakers.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using S = SpeakerID;

// One row per layout, in LayoutID order (the raw values are layout::table).
struct LayoutRow {
    std::string_view display;
    std::vector<SpeakerID> speakers;
    std::optional<std::vector<SpeakerID>> film;
};

const std::array<LayoutRow, 7>& layoutTable() {
    static const std::array<LayoutRow, 7> rows = {{
        {"Stereo", {S::L, S::R}, std::nullopt},
        {"5.1", {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs},
         std::vector<SpeakerID>{S::L, S::C, S::R, S::Ls, S::Rs, S::LFE}},
        {"7.1", {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Lrs, S::Rrs},
         std::vector<SpeakerID>{S::L, S::C, S::R, S::Ls, S::Rs, S::Lrs, S::Rrs, S::LFE}},
        {"5.1.4", {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Ltf, S::Rtf, S::Ltr, S::Rtr},
         std::nullopt},
        {"7.1.2", {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Lrs, S::Rrs, S::Ltm, S::Rtm},
         std::nullopt},
        {"7.1.4",
         {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Lrs, S::Rrs, S::Ltf, S::Rtf, S::Ltr, S::Rtr},
         std::vector<SpeakerID>{S::L, S::C, S::R, S::Ls, S::Rs, S::Lrs, S::Rrs, S::LFE, S::Ltf,
                                S::Rtf, S::Ltr, S::Rtr}},
        {"9.1.6",
         {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs, S::Lrs, S::Rrs, S::Lw, S::Rw, S::Ltf, S::Rtf,
          S::Ltm, S::Rtm, S::Ltr, S::Rtr},
         std::nullopt},
    }};
    return rows;
}

}  // namespace

double Direction::angle(const Direction& other) const {
    constexpr double rad = std::numbers::pi / 180.0;
    auto vec = [](const Direction& d) {
        double az = d.az * rad, el = d.el * rad;
        return std::array<double, 3>{std::cos(el) * std::cos(az), std::cos(el) * std::sin(az),
                                     std::sin(el)};
    };
    auto a = vec(*this), b = vec(other);
    double dot = std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], -1.0, 1.0);
    return std::acos(dot) / rad;
}

namespace speaker {

std::optional<int> firstIndex(const std::vector<SpeakerID>& list, SpeakerID s) {
    auto it = std::find(list.begin(), list.end(), s);
    if (it == list.end()) return std::nullopt;
    return static_cast<int>(it - list.begin());
}

bool hasRearPair(const std::vector<SpeakerID>& layout) {
    return std::find(layout.begin(), layout.end(), S::Lrs) != layout.end() ||
           std::find(layout.begin(), layout.end(), S::Rrs) != layout.end();
}

Direction direction(SpeakerID s, const std::vector<SpeakerID>& layout) {
    switch (s) {
        case S::L: return {30, 0};
        case S::R: return {-30, 0};
        case S::C: return {0, 0};
        case S::LFE: return {0, 0};
        case S::Ls: return {hasRearPair(layout) ? 90.0 : 110.0, 0};
        case S::Rs: return {hasRearPair(layout) ? -90.0 : -110.0, 0};
        case S::Lrs: return {135, 0};
        case S::Rrs: return {-135, 0};
        case S::Lw: return {60, 0};
        case S::Rw: return {-60, 0};
        case S::Ltf: return {45, 45};
        case S::Rtf: return {-45, 45};
        case S::Ltm: return {90, 60};
        case S::Rtm: return {-90, 60};
        case S::Ltr: return {135, 45};
        case S::Rtr: return {-135, 45};
        case S::Lc: return {15, 0};
        case S::Rc: return {-15, 0};
        case S::Cs: return {180, 0};
        case S::Tc: return {0, 90};
    }
    return {0, 0};
}

std::string label(SpeakerID s, const std::vector<SpeakerID>& layout) {
    if (s == S::Ls && hasRearPair(layout)) return "Lss";
    if (s == S::Rs && hasRearPair(layout)) return "Rss";
    return std::string(rawValue(s));
}

}  // namespace speaker

namespace layout {

std::string_view displayName(LayoutID id) { return layoutTable()[static_cast<size_t>(id)].display; }

const std::vector<SpeakerID>& speakers(LayoutID id) {
    return layoutTable()[static_cast<size_t>(id)].speakers;
}

std::optional<std::vector<SpeakerID>> filmOrder(LayoutID id) {
    return layoutTable()[static_cast<size_t>(id)].film;
}

}  // namespace layout

namespace WaveMask {

std::optional<uint32_t> bit(SpeakerID speaker, const std::vector<SpeakerID>& layout) {
    bool rear = speaker::hasRearPair(layout);
    switch (speaker) {
        case S::L: return 0x1;
        case S::R: return 0x2;
        case S::C: return 0x4;
        case S::LFE: return 0x8;
        case S::Ls: return rear ? 0x200u : 0x10u;
        case S::Rs: return rear ? 0x400u : 0x20u;
        case S::Lrs: return 0x10;
        case S::Rrs: return 0x20;
        case S::Lc: return 0x40;
        case S::Rc: return 0x80;
        case S::Cs: return 0x100;
        case S::Tc: return 0x800;
        case S::Ltf: return 0x1000;
        case S::Rtf: return 0x4000;
        case S::Ltr: return 0x8000;
        case S::Rtr: return 0x20000;
        case S::Lw:
        case S::Rw:
        case S::Ltm:
        case S::Rtm: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Result> mask(const std::vector<SpeakerID>& speakers) {
    std::vector<std::pair<uint32_t, SpeakerID>> pairs;
    pairs.reserve(speakers.size());
    uint32_t all = 0;
    for (SpeakerID s : speakers) {
        auto b = bit(s, speakers);
        if (!b) return std::nullopt;
        if (all & *b) return std::nullopt;  // a bit twice: the list repeats a speaker
        all |= *b;
        pairs.emplace_back(*b, s);
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Result r;
    r.mask = all;
    for (auto& p : pairs) r.order.push_back(p.second);
    return r;
}

}  // namespace WaveMask

void to_json(nlohmann::json& j, SpeakerID s) { j = std::string(speaker::rawValue(s)); }

void from_json(const nlohmann::json& j, SpeakerID& s) { s = jsonfields::textValue(j, speaker::table, "speaker"); }

void to_json(nlohmann::json& j, LayoutID l) { j = std::string(layout::rawValue(l)); }

void from_json(const nlohmann::json& j, LayoutID& l) { l = jsonfields::textValue(j, layout::table, "layout"); }

void to_json(nlohmann::json& j, const Direction& d) {
    j = nlohmann::json::object();
    j["az"] = d.az;
    j["el"] = d.el;
}

void from_json(const nlohmann::json& j, Direction& d) {
    const jsonfields::FieldReader r(j, "direction");
    d = Direction{r.number("az"), r.number("el")};
}

}  // namespace qm

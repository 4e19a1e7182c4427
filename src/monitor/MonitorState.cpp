#include "monitor/MonitorState.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using json = nlohmann::json;

// A speaker list of the JSON form, or nothing when it is not an array of
// known names: one bad name spoils the whole list.
std::optional<std::set<SpeakerID>> speakerSet(const json* v) {
    if (!v || !v->is_array()) return std::nullopt;
    std::set<SpeakerID> out;
    for (const auto& name : *v) {
        auto text = jsonfields::string(&name);
        auto s = text ? speaker::fromRawValue(*text) : std::nullopt;
        if (!s) return std::nullopt;
        out.insert(*s);
    }
    return out;
}

json speakerArray(const std::set<SpeakerID>& set) {
    json a = json::array();
    for (SpeakerID s : set) a.push_back(std::string(speaker::rawValue(s)));
    return a;
}

std::optional<double> clampedNumber(const json* v, double lo, double hi) {
    auto d = jsonfields::number(v);
    if (!d || std::isnan(*d)) return std::nullopt;
    return std::clamp(*d, lo, hi);
}

template <class E, std::size_t N>
std::optional<E> caseOf(const json* v, const TextTable<E, N>& table) {
    auto text = jsonfields::string(v);
    return text ? table.value(*text) : std::nullopt;
}

}  // namespace

namespace monitorSource {
const std::vector<SpeakerID>& speakers(MonitorSource s) {
    static const std::array<std::vector<SpeakerID>, 6> lists = {
        layout::speakers(LayoutID::l916), layout::speakers(LayoutID::l714),
        *layout::filmOrder(LayoutID::l714), layout::speakers(LayoutID::l51),
        *layout::filmOrder(LayoutID::l51),  layout::speakers(LayoutID::stereo)};
    return lists[static_cast<size_t>(s)];
}
}  // namespace monitorSource

void to_json(json& j, MonitorSource s) { j = std::string(monitorSource::rawValue(s)); }
void from_json(const json& j, MonitorSource& s) { s = jsonfields::textValue(j, monitorSource::table, "monitor source"); }
void to_json(json& j, MonitorMode m) { j = std::string(monitorMode::rawValue(m)); }
void from_json(const json& j, MonitorMode& m) { m = jsonfields::textValue(j, monitorMode::table, "monitor mode"); }

void to_json(json& j, const MonitorState& s) {
    if (!std::isfinite(s.volumeDB) || !std::isfinite(s.heightTrimDB))
        throw json::other_error::create(501, "monitor state: a level is not a finite number", nullptr);
    json out = json::object();
    out["source"] = s.source;
    out["sourceOffset"] = s.sourceOffset;
    out["mode"] = s.mode;
    out["volumeDB"] = s.volumeDB;
    out["dim"] = s.dim;
    out["mute"] = s.mute;
    out["heightTrimDB"] = s.heightTrimDB;
    out["solo"] = speakerArray(s.solo);
    out["muted"] = speakerArray(s.muted);
    out["upmix"] = s.upmix;
    j = std::move(out);
}

void from_json(const json& j, MonitorState& s) {
    if (!j.is_object()) throw json::type_error::create(302, "monitor state must be an object", &j);
    using jsonfields::member;
    MonitorState out;
    if (auto v = caseOf(member(j, "source"), monitorSource::table)) out.source = *v;
    // Integral numbers only: 1.5 is no channel index.
    if (auto v = jsonfields::integer(member(j, "sourceOffset"))) out.sourceOffset = *v;
    if (auto v = caseOf(member(j, "mode"), monitorMode::table)) out.mode = *v;
    if (auto v = clampedNumber(member(j, "volumeDB"), MonitorState::minVolumeDB, MonitorState::maxVolumeDB))
        out.volumeDB = *v;
    if (auto v = jsonfields::boolean(member(j, "dim"))) out.dim = *v;
    if (auto v = jsonfields::boolean(member(j, "mute"))) out.mute = *v;
    if (auto v = clampedNumber(member(j, "heightTrimDB"), MonitorState::minHeightTrimDB,
                               MonitorState::maxHeightTrimDB))
        out.heightTrimDB = *v;
    if (auto v = speakerSet(member(j, "solo"))) out.solo = std::move(*v);
    if (auto v = speakerSet(member(j, "muted"))) out.muted = std::move(*v);
    if (const json* u = member(j, "upmix"); u && u->is_object()) {
        try {
            out.upmix = u->get<UpmixSettings>();
        } catch (const json::exception&) {
            out.upmix = UpmixSettings{};
        }
    }
    s = std::move(out);
}

std::string MonitorState::encode() const { return json(*this).dump(); }

std::optional<MonitorState> MonitorState::decodeText(std::string_view text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j.get<MonitorState>();
}

}  // namespace qm

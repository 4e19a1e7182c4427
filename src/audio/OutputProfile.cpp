#include "audio/OutputProfile.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using Kind = OutputProfile::Kind;
using json = nlohmann::json;

OutputProfile builtIn(std::string name, Kind kind, LayoutID layout) {
    OutputProfile p;
    p.id = Uuid::random();
    p.name = std::move(name);
    p.kind = kind;
    p.layout = layout;
    const auto count = layout::speakers(layout).size();
    for (std::size_t i = 0; i < count; ++i) p.outputs.push_back(static_cast<int64_t>(i));
    p.trimsDB.assign(count, 0.0);
    p.headphoneLeft = 0;
    p.headphoneRight = 1;
    return p;
}

template <class Json>
void encodeProfile(Json& j, const OutputProfile& p) {
    Json out = Json::object();
    out["id"] = p.id.uuidString();
    out["name"] = p.name;
    out["kind"] = std::string(profileKind::rawValue(p.kind));
    if (p.deviceUID) out["deviceUID"] = *p.deviceUID;
    out["layout"] = std::string(layout::rawValue(p.layout));
    out["outputs"] = p.outputs;
    for (double t : p.trimsDB)
        if (!std::isfinite(t))
            throw json::other_error::create(501, "profile trim is not a finite number", nullptr);
    out["trimsDB"] = p.trimsDB;
    out["headphoneLeft"] = p.headphoneLeft;
    out["headphoneRight"] = p.headphoneRight;
    j = std::move(out);
}

}  // namespace

std::vector<OutputProfile> OutputProfile::defaults() {
    return {builtIn("Room 9.1.6", Kind::speakers, LayoutID::l916),
            builtIn("Nearfield", Kind::speakers, LayoutID::stereo),
            builtIn("Headphones", Kind::headphones, LayoutID::stereo)};
}

bool OutputProfile::routedByHand() const {
    const size_t n = std::min(outputs.size(), layout::speakers(layout).size());
    for (size_t i = 0; i < n; ++i)
        if (outputs[i] != static_cast<int64_t>(i)) return true;
    return false;
}

bool OutputProfile::holdTrims() {
    bool moved = false;
    for (double& t : trimsDB) {
        const double held = std::isnan(t) ? 0.0 : std::clamp(t, kMinTrimDB, kMaxTrimDB);
        if (held != t || std::isnan(t)) {
            t = held;
            moved = true;
        }
    }
    return moved;
}

void to_json(json& j, const OutputProfile& p) { encodeProfile(j, p); }
void to_json(nlohmann::ordered_json& j, const OutputProfile& p) { encodeProfile(j, p); }

void from_json(const json& j, OutputProfile& p) {
    const jsonfields::FieldReader r(j, "output profile");
    OutputProfile out;
    auto id = Uuid::fromString(r.string("id"));
    if (!id) r.fail("id is not a UUID");
    out.id = *id;
    out.name = r.string("name");
    out.kind = r.text("kind", profileKind::table);
    if (r.optional("deviceUID")) out.deviceUID = r.string("deviceUID");
    out.layout = r.text("layout", layout::table);
    out.outputs = r.array<int64_t>("outputs", jsonfields::integer, "an integer");
    out.trimsDB = r.array<double>("trimsDB", jsonfields::number, "a number");
    out.headphoneLeft = r.integer("headphoneLeft");
    out.headphoneRight = r.integer("headphoneRight");
    p = std::move(out);
}

}  // namespace qm

std::size_t std::hash<qm::OutputProfile>::operator()(const qm::OutputProfile& p) const noexcept {
    std::size_t h = std::hash<qm::Uuid>{}(p.id);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    mix(std::hash<std::string>{}(p.name));
    mix(static_cast<std::size_t>(p.kind));
    mix(p.deviceUID ? std::hash<std::string>{}(*p.deviceUID) : 0x5bd1e995u);
    mix(static_cast<std::size_t>(p.layout));
    for (auto o : p.outputs) mix(std::hash<int64_t>{}(o));
    // +0.0 and -0.0 are equal, so they must hash alike.
    for (double t : p.trimsDB) mix(t == 0.0 ? 0 : std::hash<double>{}(t));
    mix(std::hash<int64_t>{}(p.headphoneLeft));
    mix(std::hash<int64_t>{}(p.headphoneRight));
    return h;
}

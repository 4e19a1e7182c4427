#include "audio/OutputProfile.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using Kind = OutputProfile::Kind;
using json = nlohmann::json;

constexpr std::array<std::string_view, 2> kKindNames = {"speakers", "headphones"};

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

[[noreturn]] void fail(const json& j, const std::string& what) {
    throw json::other_error::create(501, "output profile: " + what, &j);
}

const json& required(const json& j, const char* key) {
    const json* v = jsonfields::member(j, key);
    if (!v) fail(j, std::string("missing ") + key);
    return *v;
}

int64_t requiredInteger(const json& v, const char* key) {
    auto i = jsonfields::integer(&v);
    if (!i) fail(v, std::string(key) + " is not an integer");
    return *i;
}

}  // namespace

std::vector<OutputProfile> OutputProfile::defaults() {
    return {builtIn("Room 9.1.6", Kind::speakers, LayoutID::l916),
            builtIn("Nearfield", Kind::speakers, LayoutID::stereo),
            builtIn("Headphones", Kind::headphones, LayoutID::stereo)};
}

namespace profileKind {
const std::array<Kind, 2>& allCases() {
    static const std::array<Kind, 2> all = {Kind::speakers, Kind::headphones};
    return all;
}
std::string_view rawValue(Kind k) { return kKindNames[static_cast<int>(k)]; }
std::optional<Kind> fromRawValue(std::string_view raw) {
    for (auto k : allCases())
        if (rawValue(k) == raw) return k;
    return std::nullopt;
}
}  // namespace profileKind

void to_json(json& j, const OutputProfile& p) { encodeProfile(j, p); }
void to_json(nlohmann::ordered_json& j, const OutputProfile& p) { encodeProfile(j, p); }

void from_json(const json& j, OutputProfile& p) {
    if (!j.is_object()) fail(j, "not an object");
    OutputProfile out;

    auto idText = jsonfields::string(&required(j, "id"));
    auto id = idText ? Uuid::fromString(*idText) : std::nullopt;
    if (!id) fail(j, "id is not a UUID");
    out.id = *id;

    auto name = jsonfields::string(&required(j, "name"));
    if (!name) fail(j, "name is not a string");
    out.name = std::move(*name);

    auto kindText = jsonfields::string(&required(j, "kind"));
    auto kind = kindText ? profileKind::fromRawValue(*kindText) : std::nullopt;
    if (!kind) fail(j, "unknown kind");
    out.kind = *kind;

    if (const json* dev = jsonfields::member(j, "deviceUID")) {
        auto uid = jsonfields::string(dev);
        if (!uid) fail(j, "deviceUID is not a string");
        out.deviceUID = std::move(*uid);
    }

    auto layoutText = jsonfields::string(&required(j, "layout"));
    auto lay = layoutText ? layout::fromRawValue(*layoutText) : std::nullopt;
    if (!lay) fail(j, "unknown layout");
    out.layout = *lay;

    const json& outputs = required(j, "outputs");
    if (!outputs.is_array()) fail(j, "outputs is not an array");
    for (const auto& v : outputs) out.outputs.push_back(requiredInteger(v, "outputs"));

    const json& trims = required(j, "trimsDB");
    if (!trims.is_array()) fail(j, "trimsDB is not an array");
    for (const auto& v : trims) {
        auto t = jsonfields::number(&v);
        if (!t) fail(j, "trimsDB holds a value that is not a number");
        out.trimsDB.push_back(*t);
    }

    out.headphoneLeft = requiredInteger(required(j, "headphoneLeft"), "headphoneLeft");
    out.headphoneRight = requiredInteger(required(j, "headphoneRight"), "headphoneRight");
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

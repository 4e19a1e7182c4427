#include "audio/UpmixSettings.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using LFE = UpmixParams::LFEMode;

// One preset row, in field order.
UpmixParams row(double strength, double centerWidth, double stage, double frontAmbience,
                double ambienceDB, double sideDB, double rearDB, double wideDB, double heightDB,
                double heightTilt, double surroundDelayMs, double shelfHz, double shelfDB,
                double heightHPFHz, double roomMs, double focus, LFE lfe, double lfeHz,
                double lfeDB, bool exact) {
    return UpmixParams{strength, centerWidth, stage,   frontAmbience,   ambienceDB,
                       sideDB,   rearDB,      wideDB,  heightDB,        heightTilt,
                       surroundDelayMs,       shelfHz, shelfDB,         heightHPFHz,
                       roomMs,   focus,       lfe,     lfeHz,           lfeDB,
                       exact};
}

const std::array<UpmixParams, 6>& presetRows() {
    static const std::array<UpmixParams, 6> rows = {
        // music
        row(1, 3.0 / 7.0, 30, 0.35, 3, 0, -3, -3, -6, 0, 0, 4000, -6, 150, 8, 1, LFE::off, 120, 0,
            false),
        // film
        row(1, 0, 30, 0.25, 2, 0, 0, -6, -6, 0, 10, 0, 0, 150, 12, 1, LFE::split, 120, 0, false),
        // game
        row(1, 0.2, 45, 0.25, 3, 0, 0, -3, -8, 0, 0, 0, 0, 150, 8, 1, LFE::split, 80, 0, false),
        // hall
        row(1, 0.6, 30, 0.2, 4, 0, 0, -3, -2, -0.3, 0, 6000, -3, 120, 20, 0.8, LFE::off, 120, 0,
            false),
        // speech: -80 dB on the heights lies below the planner's cut-off
        row(1, 0, 30, 0.7, 0, -6, -9, -9, -80, 0, 10, 0, 0, 150, 10, 2, LFE::off, 120, 0, false),
        // broadcast
        row(1, 0.3, 30, 0.5, 2, 0, -3, -12, -9, 0, 0, 0, 0, 150, 0, 1, LFE::off, 120, 0, true),
    };
    return rows;
}

// The double-valued fields with their keys, in field order; `lfe` sits
// between `focus` and `lfeHz` and `exact` comes last.
struct NumberField {
    const char* key;
    double UpmixParams::*member;
};
constexpr std::array<NumberField, 16> kLeadingNumbers = {{
    {"strength", &UpmixParams::strength},
    {"centerWidth", &UpmixParams::centerWidth},
    {"stage", &UpmixParams::stage},
    {"frontAmbience", &UpmixParams::frontAmbience},
    {"ambienceDB", &UpmixParams::ambienceDB},
    {"sideDB", &UpmixParams::sideDB},
    {"rearDB", &UpmixParams::rearDB},
    {"wideDB", &UpmixParams::wideDB},
    {"heightDB", &UpmixParams::heightDB},
    {"heightTilt", &UpmixParams::heightTilt},
    {"surroundDelayMs", &UpmixParams::surroundDelayMs},
    {"shelfHz", &UpmixParams::shelfHz},
    {"shelfDB", &UpmixParams::shelfDB},
    {"heightHPFHz", &UpmixParams::heightHPFHz},
    {"roomMs", &UpmixParams::roomMs},
    {"focus", &UpmixParams::focus},
}};
constexpr std::array<NumberField, 2> kTrailingNumbers = {{
    {"lfeHz", &UpmixParams::lfeHz},
    {"lfeDB", &UpmixParams::lfeDB},
}};

template <class Json>
void putNumber(Json& j, const char* key, double v) {
    if (!std::isfinite(v))
        throw nlohmann::json::other_error::create(
            501, std::string("upmix parameter ") + key + " is not a finite number", &j);
    j[key] = v;
}

template <class Json>
void encodeParams(Json& j, const UpmixParams& p) {
    Json out = Json::object();
    for (const auto& f : kLeadingNumbers) putNumber(out, f.key, p.*f.member);
    out["lfe"] = std::string(lfeMode::rawValue(p.lfe));
    for (const auto& f : kTrailingNumbers) putNumber(out, f.key, p.*f.member);
    out["exact"] = p.exact;
    j = std::move(out);
}

template <class Json>
void encodeSettings(Json& j, const UpmixSettings& s) {
    Json out = Json::object();
    out["enabled"] = s.enabled;
    out["preset"] = std::string(upmixPreset::rawValue(s.preset));
    Json params;
    encodeParams(params, s.params);
    out["params"] = std::move(params);
    j = std::move(out);
}

}  // namespace

namespace upmixParams {

UpmixParams bounded(const UpmixParams& p, std::vector<std::string>* changed) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kLargestBoostDB = 12;
    struct Range {
        const char* key;
        double UpmixParams::*member;
        double low, high;
    };
    static constexpr std::array<Range, 8> ranges = {{
        {"ambienceDB", &UpmixParams::ambienceDB, -12, 9},
        {"sideDB", &UpmixParams::sideDB, -kInf, kLargestBoostDB},
        {"rearDB", &UpmixParams::rearDB, -kInf, kLargestBoostDB},
        {"wideDB", &UpmixParams::wideDB, -kInf, kLargestBoostDB},
        {"heightDB", &UpmixParams::heightDB, -kInf, 6},
        {"heightTilt", &UpmixParams::heightTilt, -1, 1},
        {"shelfDB", &UpmixParams::shelfDB, -kInf, kLargestBoostDB},
        {"lfeDB", &UpmixParams::lfeDB, -kInf, kLargestBoostDB},
    }};
    UpmixParams out = p;
    for (const Range& r : ranges) {
        double& v = out.*r.member;
        // A value that is no number at all takes the decoder default.
        const double held = std::isnan(v) ? UpmixParams{}.*r.member : std::clamp(v, r.low, r.high);
        if (held != v || std::isnan(v)) {
            v = held;
            if (changed) changed->emplace_back(r.key);
        }
    }
    return out;
}

}  // namespace upmixParams

namespace upmixPreset {
const UpmixParams& params(UpmixPreset p) { return presetRows()[static_cast<int>(p)]; }

std::string_view displayName(UpmixPreset p) {
    static constexpr std::array<std::string_view, 6> kNames = {"Music", "Film", "Game", "Hall", "Speech", "Broadcast"};
    return kNames[static_cast<size_t>(p)];
}
}  // namespace upmixPreset

void to_json(nlohmann::json& j, const UpmixParams& p) { encodeParams(j, p); }
void to_json(nlohmann::ordered_json& j, const UpmixParams& p) { encodeParams(j, p); }

void from_json(const nlohmann::json& j, UpmixParams& p) {
    if (!j.is_object())
        throw nlohmann::json::type_error::create(302, "upmix parameters must be an object", &j);
    UpmixParams out;  // decoder defaults
    auto readNumber = [&](const NumberField& f) {
        if (auto v = jsonfields::number(jsonfields::member(j, f.key))) out.*f.member = *v;
    };
    for (const auto& f : kLeadingNumbers) readNumber(f);
    for (const auto& f : kTrailingNumbers) readNumber(f);
    if (auto s = jsonfields::string(jsonfields::member(j, "lfe")))
        out.lfe = lfeMode::fromRawValue(*s).value_or(LFE::off);
    if (auto b = jsonfields::boolean(jsonfields::member(j, "exact"))) out.exact = *b;
    p = out;
}

void to_json(nlohmann::json& j, const UpmixSettings& s) { encodeSettings(j, s); }
void to_json(nlohmann::ordered_json& j, const UpmixSettings& s) { encodeSettings(j, s); }

void from_json(const nlohmann::json& j, UpmixSettings& s) {
    if (!j.is_object())
        throw nlohmann::json::type_error::create(302, "upmix settings must be an object", &j);
    UpmixSettings out;
    out.enabled = jsonfields::boolean(jsonfields::member(j, "enabled")).value_or(false);
    out.preset = UpmixPreset::music;
    if (auto name = jsonfields::string(jsonfields::member(j, "preset")))
        out.preset = upmixPreset::fromRawValue(*name).value_or(UpmixPreset::music);
    // Without a parameter object the chosen preset's row is in force, not
    // the decoder defaults.
    const nlohmann::json* params = jsonfields::member(j, "params");
    if (params && params->is_object())
        from_json(*params, out.params);
    else
        out.params = upmixPreset::params(out.preset);
    s = out;
}

void to_json(nlohmann::json& j, UpmixPreset p) { j = std::string(upmixPreset::rawValue(p)); }

void from_json(const nlohmann::json& j, UpmixPreset& p) { p = jsonfields::textValue(j, upmixPreset::table, "upmix preset"); }

void to_json(nlohmann::json& j, UpmixParams::LFEMode m) { j = std::string(lfeMode::rawValue(m)); }

void from_json(const nlohmann::json& j, UpmixParams::LFEMode& m) { m = jsonfields::textValue(j, lfeMode::table, "lfe mode"); }

}  // namespace qm

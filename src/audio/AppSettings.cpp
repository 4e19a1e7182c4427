#include "audio/AppSettings.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using json = nlohmann::json;

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

template <class Json>
void encodeSettings(Json& j, const AppSettings& s) {
    Json out = Json::object();
    Json profiles = Json::array();
    for (const auto& p : s.profiles) {
        Json pj;
        to_json(pj, p);
        profiles.push_back(std::move(pj));
    }
    out["profiles"] = std::move(profiles);
    if (s.activeProfileID) out["activeProfileID"] = s.activeProfileID->uuidString();
    out["autoPlay"] = s.autoPlay;
    out["finderPanel"] = s.finderPanel;
    out["spacePlaysInFinder"] = s.spacePlaysInFinder;
    out["monoToCenter"] = s.monoToCenter;
    out["pullsFolder"] = s.pullsFolder;
    out["libraryRoots"] = s.libraryRoots;
    out["ytDlpPath"] = s.ytDlpPath;
    out["tempEditsBesideSource"] = s.tempEditsBesideSource;
    out["expertMode"] = s.expertMode;
    out["aiServiceAddress"] = s.aiServiceAddress;
    out["aiServiceKey"] = s.aiServiceKey;
    Json upmix;
    to_json(upmix, s.upmix);
    out["upmix"] = std::move(upmix);
    j = std::move(out);
}

}  // namespace

std::string AppSettings::defaultPullsFolder() {
    return (homeFolder() / "Music" / "Quillmarsh Pulls").string();
}

AppSettings AppSettings::decodeText(std::string_view text, std::vector<std::string>* reverted) {
    return decode(json::parse(text), reverted);
}

AppSettings AppSettings::decode(const json& j, std::vector<std::string>* reverted) {
    if (!j.is_object())
        throw json::type_error::create(302, "settings document must be an object", &j);
    AppSettings s;
    auto revert = [&](const char* key) {
        if (reverted) reverted->emplace_back(key);
    };
    // A value held to its control's range is reported by its path.
    auto revertedKey = [&](std::string path) {
        if (reverted) reverted->push_back(std::move(path));
    };
    // Reads one key: absent or null keeps the default silently; a value
    // that `read` rejects keeps the default and is noted.
    auto field = [&](const char* key, auto read) {
        const json* v = jsonfields::member(j, key);
        if (v && !read(*v)) revert(key);
    };
    auto flag = [&](const char* key, bool& target) {
        field(key, [&](const json& v) {
            auto b = jsonfields::boolean(&v);
            if (b) target = *b;
            return b.has_value();
        });
    };
    auto text = [&](const char* key, std::string& target) {
        field(key, [&](const json& v) {
            auto t = jsonfields::string(&v);
            if (t) target = std::move(*t);
            return t.has_value();
        });
    };

    field("profiles", [&](const json& v) {
        if (!v.is_array()) return false;
        std::vector<OutputProfile> list;
        try {
            for (const auto& pj : v) list.push_back(pj.get<OutputProfile>());
        } catch (const json::exception&) {
            return false;  // one bad profile: the built-ins stay
        }
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].holdTrims()) revertedKey("profiles." + std::to_string(i) + ".trimsDB");
        if (!list.empty()) s.profiles = std::move(list);
        return true;
    });
    field("activeProfileID", [&](const json& v) {
        auto t = jsonfields::string(&v);
        auto id = t ? Uuid::fromString(*t) : std::nullopt;
        if (id) s.activeProfileID = id;
        return id.has_value();
    });
    flag("autoPlay", s.autoPlay);
    flag("finderPanel", s.finderPanel);
    flag("spacePlaysInFinder", s.spacePlaysInFinder);
    flag("monoToCenter", s.monoToCenter);
    text("pullsFolder", s.pullsFolder);
    field("libraryRoots", [&](const json& v) {
        if (!v.is_array()) return false;
        std::vector<std::string> roots;
        for (const auto& r : v) {
            auto t = jsonfields::string(&r);
            if (!t) return false;
            roots.push_back(std::move(*t));
        }
        s.libraryRoots = std::move(roots);
        return true;
    });
    text("ytDlpPath", s.ytDlpPath);
    flag("tempEditsBesideSource", s.tempEditsBesideSource);
    flag("expertMode", s.expertMode);
    text("aiServiceAddress", s.aiServiceAddress);
    text("aiServiceKey", s.aiServiceKey);
    field("upmix", [&](const json& v) {
        if (!v.is_object()) return false;
        s.upmix = v.get<UpmixSettings>();
        std::vector<std::string> held;
        s.upmix.params = upmixParams::bounded(s.upmix.params, &held);
        for (const auto& key : held) revertedKey("upmix.params." + key);
        return true;
    });
    return s;
}

std::string AppSettings::encode() const {
    nlohmann::ordered_json j;
    encodeSettings(j, *this);
    return j.dump();
}

void to_json(json& j, const AppSettings& s) { encodeSettings(j, s); }
void to_json(nlohmann::ordered_json& j, const AppSettings& s) { encodeSettings(j, s); }
void from_json(const json& j, AppSettings& s) { s = AppSettings::decode(j); }

}  // namespace qm

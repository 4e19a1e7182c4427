// The persisted preferences of the application, as one value, and their
// JSON document.
//
// Decoding is tolerant key by key: a key that is missing, null or fails to
// decode takes its default and decoding goes on; one undecodable profile
// sends the whole list back to the built-in profiles, and an empty list is
// replaced by them too, so a decoded value never has an empty profile list.
// Only a document that is not a JSON object fails as a whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "audio/OutputProfile.h"
#include "audio/UpmixSettings.h"
#include "platform/Uuid.h"

namespace qm {

struct AppSettings {
    std::vector<OutputProfile> profiles = OutputProfile::defaults();
    std::optional<Uuid> activeProfileID;
    bool autoPlay = true;
    bool finderPanel = true;
    bool spacePlaysInFinder = true;
    bool monoToCenter = true;
    std::string pullsFolder = defaultPullsFolder();
    std::vector<std::string> libraryRoots;
    std::string ytDlpPath;
    bool tempEditsBesideSource = true;
    bool expertMode = false;
    // The AI generation service: its address and the key it asks for. Both
    // empty until the user names a service; nothing is sent anywhere then.
    std::string aiServiceAddress;
    std::string aiServiceKey;
    UpmixSettings upmix;

    bool operator==(const AppSettings&) const = default;

    // "Music/Quillmarsh Pulls" under the current user's home folder.
    static std::string defaultPullsFolder();

    // Decodes a document. `reverted`, when given, receives the keys whose
    // stored value could not be read and took its default (absent keys,
    // nulls and an empty profile list are not listed). Throws
    // nlohmann::json::exception when the text is not JSON or not an object.
    static AppSettings decodeText(std::string_view text, std::vector<std::string>* reverted = nullptr);
    static AppSettings decode(const nlohmann::json& j, std::vector<std::string>* reverted = nullptr);
    // The document as compact UTF-8 JSON, keys in field order;
    // `activeProfileID` is left out when absent. Throws
    // nlohmann::json::exception for a value JSON cannot hold (a NaN).
    std::string encode() const;
};

void to_json(nlohmann::json& j, const AppSettings& s);
void to_json(nlohmann::ordered_json& j, const AppSettings& s);
void from_json(const nlohmann::json& j, AppSettings& s);

}  // namespace qm

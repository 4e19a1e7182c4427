// The command table of the control port: one request (a command word and
// its query parameters) becomes actions on the models and a JSON reply.
//
// Words are compared exactly (letter case and blanks count); a word the
// table lacks is answered {"error": "unknown command <word>"}, which the
// port sends with status 400. Parameters that are missing or name nothing
// known are no errors: an unknown upmix preset toggles, an unknown profile
// name steps to the next profile, an unknown monitor action changes nothing.
// Replies are read after the action ran, so they show its outcome. Failures
// of the actions themselves (a device that cannot be opened, a monitor that
// does not start) end in the models' messages; "daw" answers with the
// workstation control's text. handle() never throws.
//
// The monitor's "start" is the one command whose work outlives the reply:
// it runs on the next turn of the event loop, and the reply says what the
// monitor was before.
//
// Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/shell/ControlServer.h"
#include "app/shell/DAWControl.h"
#include "monitor/MonitorState.h"

namespace qm {

class EditorModel;
class MonitorEngine;
class PlayerModel;
class SettingsStore;
class Workstations;

class CommandRouter {
public:
    // What the composition root does for a command; an absent one does
    // nothing.
    struct Actions {
        std::function<void(const std::optional<std::filesystem::path>&)> openEditor;
        std::function<void(const std::vector<std::filesystem::path>&)> makeTempEdits;
        std::function<void()> openCopiedLink;
    };

    CommandRouter(SettingsStore& settings, PlayerModel& player, EditorModel& editor, MonitorEngine& monitor,
                  Workstations& workstations, Actions actions);

    nlohmann::json handle(const std::string& command, const ControlServer::Parameters& parameters);

    // The fold-down's name in the monitor reply: "Full", "7.1.4", "5.1",
    // "2.0", "Mono".
    static std::string_view modeName(MonitorMode mode);

private:
    nlohmann::json route(const std::string& command, const ControlServer::Parameters& parameters);
    nlohmann::json generic() const;
    nlohmann::json status() const;
    nlohmann::json monitorReply() const;
    bool playing() const;
    void toggleUpmix(const std::optional<std::string>& preset);
    void selectProfile(const std::optional<std::string>& name);
    void monitorAction(const std::string& action, const std::optional<std::string>& preset);

    SettingsStore& settings_;
    PlayerModel& player_;
    EditorModel& editor_;
    MonitorEngine& monitor_;
    DAWControl daw_;
    Actions actions_;
};

}  // namespace qm

#include "app/shell/CommandRouter.h"

#include <QMetaObject>
#include <QString>

#include <algorithm>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"

namespace qm {

namespace {

using Parameters = ControlServer::Parameters;

std::optional<std::string> parameter(const Parameters& parameters, const char* name) {
    const auto found = parameters.find(name);
    if (found == parameters.end()) return std::nullopt;
    return found->second;
}

std::optional<UpmixPreset> presetNamed(const std::optional<std::string>& name) {
    return name ? upmixPreset::fromRawValue(*name) : std::nullopt;
}

UpmixSettings presetOn(UpmixPreset preset) { return {true, preset, upmixPreset::params(preset)}; }

// The case after `value` in `cases`, the last one followed by the first.
template <class T, size_t N>
T following(const std::array<T, N>& cases, T value) {
    const auto at = std::find(cases.begin(), cases.end(), value);
    if (at == cases.end() || at + 1 == cases.end()) return cases.front();
    return *(at + 1);
}

}  // namespace

CommandRouter::CommandRouter(SettingsStore& settings, PlayerModel& player, EditorModel& editor,
                             MonitorEngine& monitor, Workstations& workstations, Actions actions)
    : settings_(settings),
      player_(player),
      editor_(editor),
      monitor_(monitor),
      daw_(workstations),
      actions_(std::move(actions)) {}

std::string_view CommandRouter::modeName(MonitorMode mode) {
    switch (mode) {
    case MonitorMode::full: return "Full";
    case MonitorMode::l714: return "7.1.4";
    case MonitorMode::l51: return "5.1";
    case MonitorMode::stereo: return "2.0";
    case MonitorMode::mono: return "Mono";
    }
    return "Full";
}

nlohmann::json CommandRouter::handle(const std::string& command, const Parameters& parameters) {
    // Whatever an action throws is answered as the error it is, never as
    // success, and never leaves the router.
    try {
        return route(command, parameters);
    } catch (const std::exception& e) {
        return {{"error", std::string(e.what())}};
    } catch (...) {
        return {{"error", "the command failed"}};
    }
}

nlohmann::json CommandRouter::route(const std::string& command, const Parameters& parameters) {
    if (command == "status") return status();
    if (command == "toggle") {
        if (editor_.isPlaying())
            editor_.stop();
        else
            player_.togglePlay();
        return generic();
    }
    if (command == "play") {
        player_.play();
        return generic();
    }
    if (command == "stop") {
        player_.stop();
        editor_.stop();
        return generic();
    }
    if (command == "loop") {
        player_.setLoop(!player_.loop());
        return generic();
    }
    if (command == "upmix") {
        toggleUpmix(parameter(parameters, "preset"));
        return generic();
    }
    if (command == "panel") {
        settings_.update([](AppSettings& s) { s.finderPanel = !s.finderPanel; });
        return generic();
    }
    if (command == "expert") {
        settings_.update([](AppSettings& s) { s.expertMode = !s.expertMode; });
        return generic();
    }
    if (command == "editor") {
        if (actions_.openEditor) actions_.openEditor(player_.file());
        return generic();
    }
    if (command == "tempedits") {
        if (player_.info() && actions_.makeTempEdits) actions_.makeTempEdits({player_.info()->url});
        return generic();
    }
    if (command == "link") {
        if (actions_.openCopiedLink) actions_.openCopiedLink();
        return generic();
    }
    if (command == "profile") {
        selectProfile(parameter(parameters, "name"));
        return generic();
    }
    if (command == "daw") {
        const std::string result = daw_.send(parameter(parameters, "cmd").value_or(""), parameter(parameters, "app"));
        return {{"result", result}};
    }
    if (command == "monitor") {
        monitorAction(parameter(parameters, "action").value_or(""), parameter(parameters, "preset"));
        return monitorReply();
    }
    return {{"error", "unknown command " + command}};
}

bool CommandRouter::playing() const { return player_.isPlaying() || editor_.isPlaying(); }

nlohmann::json CommandRouter::generic() const {
    return {{"ok", true}, {"profile", settings_.activeProfile().name}, {"playing", playing()}};
}

nlohmann::json CommandRouter::status() const {
    const AppSettings& s = settings_.value();
    std::vector<std::string> names;
    names.reserve(s.profiles.size());
    for (const auto& profile : s.profiles) names.push_back(profile.name);
    const auto& info = player_.info();
    return {{"playing", playing()},
            {"file", info ? info->url.filename().string() : std::string()},
            {"profile", settings_.activeProfile().name},
            {"profiles", names},
            {"finderPanel", s.finderPanel},
            {"expert", s.expertMode}};
}

void CommandRouter::toggleUpmix(const std::optional<std::string>& preset) {
    if (const auto named = presetNamed(preset)) {
        player_.setUpmix(presetOn(*named));
        return;
    }
    UpmixSettings upmix = player_.upmix();
    upmix.enabled = !upmix.enabled;
    player_.setUpmix(upmix);
}

void CommandRouter::selectProfile(const std::optional<std::string>& name) {
    const std::vector<OutputProfile> profiles = settings_.value().profiles;
    if (profiles.empty()) return;
    if (name) {
        const QString wanted = QString::fromStdString(*name);
        for (const auto& profile : profiles) {
            if (QString::fromStdString(profile.name).compare(wanted, Qt::CaseInsensitive) == 0) {
                player_.selectProfile(profile.id);
                return;
            }
        }
    }
    const Uuid active = settings_.activeProfile().id;
    const auto at = std::find_if(profiles.begin(), profiles.end(), [&](const auto& p) { return p.id == active; });
    const size_t next = at == profiles.end() ? 0 : (size_t(at - profiles.begin()) + 1) % profiles.size();
    player_.selectProfile(profiles[next].id);
}

void CommandRouter::monitorAction(const std::string& action, const std::optional<std::string>& preset) {
    if (action == "start") {
        // The reply goes out first; a failed start ends in the monitor's message.
        QMetaObject::invokeMethod(&monitor_, [monitor = &monitor_] { monitor->start(); }, Qt::QueuedConnection);
        return;
    }
    if (action == "stop") {
        monitor_.stop();
        return;
    }
    MonitorState state = monitor_.state();
    if (action == "dim") {
        state.dim = !state.dim;
    } else if (action == "mute") {
        state.mute = !state.mute;
    } else if (action == "fold") {
        state.mode = following(monitorMode::allCases(), state.mode);
    } else if (action == "up") {
        state.volumeDB = std::min(state.volumeDB + 1, MonitorState::maxVolumeDB);
    } else if (action == "down") {
        state.volumeDB = std::max(state.volumeDB - 1, MonitorState::minVolumeDB);
    } else if (action == "upmix") {
        if (const auto named = presetNamed(preset)) {
            if (state.upmix.enabled && state.upmix.preset == *named)
                state.upmix.enabled = false;
            else
                state.upmix = presetOn(*named);
        } else {
            state.upmix.enabled = !state.upmix.enabled;
        }
    } else if (action == "upmix-next") {
        state.upmix = presetOn(following(upmixPreset::allCases(), state.upmix.preset));
    } else {
        return;
    }
    monitor_.setState(state);
}

nlohmann::json CommandRouter::monitorReply() const {
    const MonitorState& state = monitor_.state();
    return {{"ok", true},
            {"dim", state.dim},
            {"mute", state.mute},
            {"mode", modeName(state.mode)},
            {"volume", state.volumeDB},
            {"running", monitor_.running()},
            {"upmix", state.upmix.enabled},
            {"upmixPreset", upmixPreset::displayName(state.upmix.preset)},
            {"upmixAvailable", monitor_.upmixAvailable()}};
}

}  // namespace qm

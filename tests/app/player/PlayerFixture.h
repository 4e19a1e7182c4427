// A player over an engine whose main queue moves by hand, with settings in a
// temporary folder that count their writes.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/CountingDefaults.h"
#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

namespace qm::test {

using namespace std::chrono_literals;

// Runs the event loop and `queue`'s due work until `cond` holds.
inline bool waitUntil(const std::function<bool()>& cond, ManualMainQueue& queue,
                      std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout(limit);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        queue.runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return cond();
}

// Runs the event loop for a while.
inline void pump(ManualMainQueue& queue, std::chrono::milliseconds span) {
    waitUntil([] { return false; }, queue, span);
}

// Threads of this process with that name.
inline int threadsNamed(const std::string& name) {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        n += comm == name;
    }
    return n;
}

struct Player {
    TempDir dir;
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    std::shared_ptr<CountingDefaults> defaults = std::make_shared<CountingDefaults>(dir / "settings.ini");
    SettingsStore settings{defaults};
    PlayerModel model{engine, settings};
    // The playhead at each start of playback, in order.
    std::vector<double> starts;

    Player() {
        QObject::connect(&model, &PlayerModel::isPlayingChanged, [this] {
            if (model.isPlaying()) starts.push_back(model.playhead()->frame());
        });
    }
    ~Player() { model.stopPlayback(); }

    bool wait(const std::function<bool()>& cond, std::chrono::milliseconds limit = 20s) {
        return waitUntil(cond, queue, limit);
    }
    // Loads and waits for the facts (or the failure).
    bool load(const std::filesystem::path& file, bool autoPlay = false) {
        model.load(file, autoPlay);
        return wait([&] { return model.info() ? model.info()->url == file : model.message().has_value(); });
    }
    bool waitPlaying() { return wait([&] { return model.isPlaying(); }); }
    // Makes the Nearfield profile (stereo) the active one, on `deviceUID`.
    void useStereoProfile(std::optional<std::string> deviceUID = std::nullopt) {
        settings.update([&](AppSettings& s) {
            auto& nearfield = s.profiles[1];
            nearfield.deviceUID = deviceUID;
            nearfield.outputs = {0, 1};
            nearfield.trimsDB = {0, 0};
            s.activeProfileID = nearfield.id;
        });
    }
};

}  // namespace qm::test

// The control port's command table through the composition root, over real
// models (the silent output, settings and catalog in a temporary folder)
// and a hand-made desktop. Replies are compared as whole JSON objects.
#include "app/shell/CommandRouter.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/core/EventLoopQueue.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/AppModel.h"
#include "platform/AppError.h"
#include "platform/desktop/Workstations.h"
#include "playback/PlaybackEngine.h"
#include "support/AudioFiles.h"
#include "support/FakeDesktop.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr WindowId kReaper = 30;

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return test::untilEventLoop(condition, limit);
}

void pumpFor(std::chrono::milliseconds span) { until([] { return false; }, span); }

class CommandRouterTest : public testing::Test {
protected:
    void SetUp() override {
        test::writeTestFile(dir_ / "a.wav", 2, 48000 * 10, 48000, {test::FileKind::wav, 16});
        app_ = std::make_unique<AppModel>(pieces_.platform(dir_.path()));
        windows_ = pieces_.windows;
    }
    void TearDown() override { app_.reset(); }

    json ask(const std::string& command, const ControlServer::Parameters& parameters = {}) {
        return app_->handle(command, parameters);
    }
    std::string active() { return app_->settings().activeProfile().name; }
    json generic(bool playing = false) { return {{"ok", true}, {"profile", active()}, {"playing", playing}}; }
    void monitorState(const std::function<void(MonitorState&)>& change) {
        MonitorState s = app_->monitor().state();
        change(s);
        app_->monitor().setState(s);
    }
    void load() {
        app_->player().load(dir_ / "a.wav", false);
        ASSERT_TRUE(until([&] { return app_->player().info().has_value(); }));
    }

    test::TempDir dir_;
    test::FakePieces pieces_;
    test::FakeDesktopWindows* windows_ = nullptr;
    std::unique_ptr<AppModel> app_;
};

}  // namespace

TEST_F(CommandRouterTest, WordsAreComparedExactlyAndAnUnknownOneChangesNothing) {
    const AppSettings before = app_->settings().value();
    const MonitorState monitor = app_->monitor().state();
    for (const std::string word : {"Status", "status ", " status", "", "STOP", "monitor/dim", "pläy"}) {
        EXPECT_EQ(ask(word, {{"action", "dim"}, {"name", "Headphones"}}), (json{{"error", "unknown command " + word}}))
            << word;
    }
    EXPECT_EQ(app_->settings().value(), before);
    EXPECT_EQ(app_->monitor().state(), monitor);
}

TEST_F(CommandRouterTest, StatusNamesTheFileProfilesAndSwitchesAsTheyAreAfterEachCommand) {
    const json profiles = {"Room 9.1.6", "Nearfield", "Headphones"};
    EXPECT_EQ(ask("status"), (json{{"playing", false},
                                   {"file", ""},
                                   {"profile", "Room 9.1.6"},
                                   {"profiles", profiles},
                                   {"finderPanel", true},
                                   {"expert", false}}));
    load();
    EXPECT_EQ(ask("panel"), generic());
    EXPECT_EQ(ask("expert"), generic());
    EXPECT_FALSE(app_->settings().value().finderPanel);
    EXPECT_TRUE(app_->settings().value().expertMode);
    // Written through to the stored settings at once.
    SettingsStore reread(std::make_shared<UserDefaults>(QString::fromStdString((dir_ / "settings.ini").string())));
    EXPECT_TRUE(reread.value().expertMode);
    EXPECT_EQ(ask("status"), (json{{"playing", false},
                                   {"file", "a.wav"},
                                   {"profile", "Room 9.1.6"},
                                   {"profiles", profiles},
                                   {"finderPanel", false},
                                   {"expert", true}}));
}

TEST_F(CommandRouterTest, ProfilesAreChosenByNameInAnyCaseElseTheNextOneWrapping) {
    struct Row {
        std::optional<std::string> name;
        std::string selected;
    };
    const std::vector<Row> rows{
        {"nEARfield", "Nearfield"},
        {std::nullopt, "Headphones"},
        {std::nullopt, "Room 9.1.6"},
        {std::nullopt, "Nearfield"},
        {"HEADPHONES", "Headphones"},
        {"Studio B", "Room 9.1.6"},  // no such profile: the next one
        {"", "Nearfield"},
        {"room 9.1.6", "Room 9.1.6"},
    };
    for (const auto& row : rows) {
        ControlServer::Parameters parameters;
        if (row.name) parameters["name"] = *row.name;
        const json reply = ask("profile", parameters);
        EXPECT_EQ(reply, (json{{"ok", true}, {"profile", row.selected}, {"playing", false}}))
            << row.name.value_or("(none)");
        EXPECT_EQ(active(), row.selected);
    }
}

TEST_F(CommandRouterTest, TheSameNameTwiceSelectsTheFirstOfThem) {
    app_->settings().update([](AppSettings& s) {
        OutputProfile twin = s.profiles[2];
        twin.id = Uuid::random();
        twin.name = "nearfield";
        s.profiles.push_back(twin);
    });
    EXPECT_EQ(ask("profile", {{"name", "NEARFIELD"}})["profile"], "Nearfield");
    EXPECT_EQ(app_->settings().value().activeProfileID, app_->settings().value().profiles[1].id);
}

TEST_F(CommandRouterTest, ThePlayersUpmixTakesANamedPresetElseFlips) {
    auto& player = app_->player();
    player.setUpmix({true, UpmixPreset::music, upmixPreset::params(UpmixPreset::music)});
    const UpmixSettings film{true, UpmixPreset::film, upmixPreset::params(UpmixPreset::film)};
    struct Row {
        std::optional<std::string> preset;
        UpmixSettings after;
    };
    const std::vector<Row> rows{
        {"film", film},                                               // on with another preset: film
        {std::nullopt, {false, film.preset, film.params}},            // off, preset kept
        {"Film", {true, film.preset, film.params}},                   // not a preset name: flips
        {"film", film},                                               // already film: stays on
        {"", {false, film.preset, film.params}},
    };
    for (const auto& row : rows) {
        ControlServer::Parameters parameters;
        if (row.preset) parameters["preset"] = *row.preset;
        EXPECT_EQ(ask("upmix", parameters), generic()) << row.preset.value_or("(none)");
        EXPECT_EQ(player.upmix(), row.after) << row.preset.value_or("(none)");
    }
}

TEST_F(CommandRouterTest, MonitorActionsChangeTheStateOnceAndAnswerWithIt) {
    auto& monitor = app_->monitor();
    const auto hall = upmixPreset::params(UpmixPreset::hall);
    const auto music = upmixPreset::params(UpmixPreset::music);
    struct Row {
        const char* what;
        std::function<void(MonitorState&)> before;
        std::vector<ControlServer::Parameters> requests;
        std::function<void(MonitorState&)> expected;  // applied to the state before
    };
    const std::vector<Row> rows{
        {"dim", {}, {{{"action", "dim"}}}, [](MonitorState& s) { s.dim = true; }},
        {"dim twice", {}, {{{"action", "dim"}}, {{"action", "dim"}}}, {}},
        {"mute", {}, {{{"action", "mute"}}}, [](MonitorState& s) { s.mute = true; }},
        {"up at 12", [](MonitorState& s) { s.volumeDB = 12; }, {{{"action", "up"}}}, {}},
        {"down at -60", [](MonitorState& s) { s.volumeDB = -60; }, {{{"action", "down"}}}, {}},
        {"up from 15", [](MonitorState& s) { s.volumeDB = 15; }, {{{"action", "up"}}},
         [](MonitorState& s) { s.volumeDB = 12; }},
        {"down by one", [](MonitorState& s) { s.volumeDB = -6.5; }, {{{"action", "down"}}},
         [](MonitorState& s) { s.volumeDB = -7.5; }},
        {"fold", {}, {{{"action", "fold"}}}, [](MonitorState& s) { s.mode = MonitorMode::l714; }},
        {"fold from mono", [](MonitorState& s) { s.mode = MonitorMode::mono; }, {{{"action", "fold"}}},
         [](MonitorState& s) { s.mode = MonitorMode::full; }},
        {"fold five times", [](MonitorState& s) { s.mode = MonitorMode::l51; },
         std::vector<ControlServer::Parameters>(5, {{"action", "fold"}}), {}},
        {"hall", {}, {{{"action", "upmix"}, {"preset", "hall"}}},
         [&](MonitorState& s) { s.upmix = {true, UpmixPreset::hall, hall}; }},
        {"hall twice", {}, {{{"action", "upmix"}, {"preset", "hall"}}, {{"action", "upmix"}, {"preset", "hall"}}},
         [&](MonitorState& s) { s.upmix = {false, UpmixPreset::hall, hall}; }},
        {"upmix without preset", {}, {{{"action", "upmix"}}}, [](MonitorState& s) { s.upmix.enabled = true; }},
        {"upmix with an unknown preset", {}, {{{"action", "upmix"}, {"preset", "cinema"}}},
         [](MonitorState& s) { s.upmix.enabled = true; }},
        {"upmix-next from broadcast",
         [](MonitorState& s) { s.upmix = {false, UpmixPreset::broadcast, upmixPreset::params(UpmixPreset::broadcast)}; },
         {{{"action", "upmix-next"}}}, [&](MonitorState& s) { s.upmix = {true, UpmixPreset::music, music}; }},
        {"unknown action", {}, {{{"action", "louder"}}}, {}},
        {"no action", {}, {{}}, {}},
    };
    for (const auto& row : rows) {
        MonitorState start;
        if (row.before) row.before(start);
        monitor.setState(start);
        MonitorState expected = start;
        if (row.expected) row.expected(expected);
        json reply;
        for (auto parameters : row.requests) {
            parameters["unused"] = "x";
            reply = ask("monitor", parameters);
        }
        EXPECT_EQ(monitor.state(), expected) << row.what;
        EXPECT_EQ(reply, (json{{"ok", true},
                               {"dim", expected.dim},
                               {"mute", expected.mute},
                               {"mode", CommandRouter::modeName(expected.mode)},
                               {"volume", expected.volumeDB},
                               {"running", false},
                               {"upmix", expected.upmix.enabled},
                               {"upmixPreset", upmixPreset::displayName(expected.upmix.preset)},
                               {"upmixAvailable", false}}))
            << row.what;
    }
}

TEST_F(CommandRouterTest, MonitorReplyNamesEveryModeAndWhetherItsUpmixHasSpeakersToFill) {
    const std::vector<std::pair<MonitorMode, std::string>> modes{{MonitorMode::full, "Full"},
                                                                 {MonitorMode::l714, "7.1.4"},
                                                                 {MonitorMode::l51, "5.1"},
                                                                 {MonitorMode::stereo, "2.0"},
                                                                 {MonitorMode::mono, "Mono"}};
    for (const auto& [mode, name] : modes) {
        monitorState([mode](MonitorState& s) { s.mode = mode; });
        EXPECT_EQ(ask("monitor")["mode"], name);
    }
    const auto& profiles = app_->settings().value().profiles;  // 9.1.6, stereo speakers, headphones
    struct Row {
        MonitorSource source;
        size_t profile;
        bool available;
    };
    const std::vector<Row> rows{
        {MonitorSource::stereo, 0, true},  {MonitorSource::l51, 0, true},     {MonitorSource::l916, 0, false},
        {MonitorSource::stereo, 1, false}, {MonitorSource::stereo, 2, false}, {MonitorSource::l51film, 0, true},
    };
    for (const auto& row : rows) {
        app_->monitor().setProfileID(profiles[row.profile].id);
        monitorState([&](MonitorState& s) { s.source = row.source; });
        EXPECT_EQ(ask("monitor")["upmixAvailable"], row.available)
            << monitorSource::rawValue(row.source) << " on " << profiles[row.profile].name;
    }
}

TEST_F(CommandRouterTest, MonitorStopEndsTheStreamWithoutWritingTheState) {
    monitorState([](MonitorState& s) { s.dim = true; });
    const MonitorState state = app_->monitor().state();
    const json reply = ask("monitor", {{"action", "stop"}});
    EXPECT_EQ(reply["running"], false);
    EXPECT_EQ(reply["dim"], true);
    EXPECT_EQ(app_->monitor().state(), state);
}

TEST_F(CommandRouterTest, DawPassesTheCommandAndTheWorkstationAndAnswersWithItsText) {
    struct Row {
        ControlServer::Parameters parameters;
        bool reaperRunning;
        std::string result;
        size_t keys;  // typed into the fake server
    };
    const std::vector<Row> rows{
        {{}, false, "No supported DAW is running", 0},
        {{}, true, "Unknown command ", 0},
        {{{"app", "reaper"}}, true, "Unknown command ", 0},
        {{{"cmd", "play"}, {"app", "protools"}}, true, "play \u2192 REAPER", 2},
        {{{"cmd", "cmd+s"}}, true, "cmd+s \u2192 REAPER", 4},
        {{{"cmd", "Play"}}, true, "Unknown command Play", 0},
    };
    for (const auto& row : rows) {
        windows_->windows.erase(std::remove_if(windows_->windows.begin(), windows_->windows.end(),
                                               [](const auto& w) { return w.id == kReaper; }),
                                windows_->windows.end());
        if (row.reaperRunning) windows_->add(kReaper, 700, "REAPER", {0, 0, 400, 300});
        windows_->typed.clear();
        EXPECT_EQ(ask("daw", row.parameters), (json{{"result", row.result}})) << row.result;
        EXPECT_EQ(windows_->typed.size(), row.keys) << row.result;
    }
    windows_->keysAvailable = false;
    EXPECT_EQ(ask("daw", {{"cmd", "play"}}), (json{{"result", DAWControl::kAccessibilityText}}));
}

TEST_F(CommandRouterTest, ToggleWhileTheEditorPlaysStopsItAndLeavesThePlayerStill) {
    load();
    auto& editor = app_->editor();
    editor.open(dir_ / "a.wav");
    ASSERT_TRUE(until([&] { return editor.doc() && !editor.busy(); }));
    editor.play();
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    EXPECT_EQ(ask("status")["playing"], true);

    EXPECT_EQ(ask("toggle"), generic(false));
    EXPECT_FALSE(editor.isPlaying());
    pumpFor(200ms);
    EXPECT_FALSE(app_->player().isPlaying());
    EXPECT_FALSE(editor.isPlaying());

    // With nothing playing, toggle plays the player, and stop stops it.
    ask("toggle");
    ASSERT_TRUE(until([&] { return app_->player().isPlaying(); }));
    EXPECT_EQ(ask("status")["playing"], true);
    app_->player().seek(48000);
    EXPECT_EQ(ask("stop"), generic(false));
    EXPECT_FALSE(app_->player().isPlaying());
    EXPECT_EQ(app_->player().playhead()->frame(), 48000);
}

TEST_F(CommandRouterTest, LoopFlipsAndEditorOpensThePlayersFileInItsWindow) {
    std::vector<QString> opened;
    app_->openWindowAction = [&](const QString& id) { opened.push_back(id); };
    EXPECT_EQ(ask("loop"), generic());
    EXPECT_TRUE(app_->player().loop());
    EXPECT_EQ(ask("loop"), generic());
    EXPECT_FALSE(app_->player().loop());

    // Nothing loaded: the window alone; "tempedits" and "link" still answer.
    EXPECT_EQ(ask("editor"), generic());
    EXPECT_EQ(opened, std::vector<QString>{"editor"});
    EXPECT_FALSE(app_->editor().doc());
    EXPECT_EQ(ask("tempedits"), generic());
    EXPECT_EQ(ask("link"), generic());

    load();
    EXPECT_EQ(ask("editor"), generic());
    EXPECT_EQ(opened.size(), 2u);
    ASSERT_TRUE(until([&] { return app_->editor().doc().has_value(); }));
    EXPECT_EQ(app_->editor().doc()->url, dir_ / "a.wav");
}

TEST(CommandRouterActions, TempEditsGoesWithThePlayersFileOnlyAndLinkAlways) {
    test::TempDir dir;
    test::writeTestFile(dir / "a.wav", 2, 48000, 48000, {test::FileKind::wav, 16});
    SettingsStore settings(std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string())));
    EventLoopQueue queue;
    PlaybackEngine engine(queue);
    PlayerModel player(engine, settings);
    EditorModel editor(engine, settings);
    auto defaults = std::make_shared<UserDefaults>(QString::fromStdString((dir / "m.ini").string()));
    MonitorEngine monitor(settings, defaults, queue);
    test::FakeDesktopWindows windows;
    auto workstations = makeDesktopWorkstations(windows);
    std::vector<std::vector<fs::path>> batches;
    int links = 0;
    CommandRouter::Actions actions;
    actions.makeTempEdits = [&](const std::vector<fs::path>& urls) { batches.push_back(urls); };
    actions.openCopiedLink = [&] { ++links; };
    CommandRouter router(settings, player, editor, monitor, *workstations, std::move(actions));

    const json generic{{"ok", true}, {"profile", "Room 9.1.6"}, {"playing", false}};
    EXPECT_EQ(router.handle("tempedits", {}), generic);
    EXPECT_TRUE(batches.empty());
    player.load(dir / "a.wav", false);
    ASSERT_TRUE(until([&] { return player.info().has_value(); }));
    EXPECT_EQ(router.handle("tempedits", {}), generic);
    EXPECT_EQ(batches, (std::vector<std::vector<fs::path>>{{dir / "a.wav"}}));
    EXPECT_EQ(router.handle("link", {}), generic);
    EXPECT_EQ(links, 1);
}

TEST(CommandRouterActions, AnActionThatThrowsIsAnsweredAsAnError) {
    test::TempDir dir;
    SettingsStore settings(std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string())));
    EventLoopQueue queue;
    PlaybackEngine engine(queue);
    PlayerModel player(engine, settings);
    EditorModel editor(engine, settings);
    MonitorEngine monitor(settings, std::make_shared<UserDefaults>(QString::fromStdString((dir / "m.ini").string())),
                          queue);
    test::FakeDesktopWindows windows;
    auto workstations = makeDesktopWorkstations(windows);
    CommandRouter::Actions actions;
    actions.openCopiedLink = [] { throw AppError(1, "The clipboard holds no link"); };
    CommandRouter router(settings, player, editor, monitor, *workstations, std::move(actions));
    EXPECT_EQ(router.handle("link", {}), (json{{"error", "The clipboard holds no link"}}));
}

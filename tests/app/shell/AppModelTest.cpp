// The composition root over real models (a SQLite catalog in a temporary
// data folder, the silent output) with a hand-made desktop: the file
// manager's window list, selection and text focus, and the key tap's events
// are the test's.
#include "app/shell/AppModel.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/editor/EditorModel.h"
#include "app/library/LibraryModel.h"
#include "app/player/PlayerModel.h"
#include "app/shell/FinderTracker.h"
#include "app/shell/KeyTap.h"
#include "library/LibraryScanner.h"
#include "app/shell/AppFakes.h"
#include "support/AudioFiles.h"
#include "support/FakeDesktop.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = FileManagerAccessibility::Outcome;

namespace {

constexpr WindowId kThunar = test::FakePieces::kThunar;

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return test::untilEventLoop(condition, limit);
}

void pumpFor(std::chrono::milliseconds span) { until([] { return false; }, span); }

TapEvent spaceDown(bool repeat = false) { return {TapEvent::Type::keyDown, 65, true, 0, repeat, true}; }
TapEvent spaceUp() { return {TapEvent::Type::keyUp, 65, true, 0, false, true}; }

class AppModelTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.wav", "b.wav", "c.wav"})
            test::writeTestFile(dir_ / name, 2, 48000 * 10, 48000, {test::FileKind::wav, 16});
        test::writeBytes(dir_ / "notes.txt", "x");
    }
    void TearDown() override { app_.reset(); }

    // The root over the fakes; accessibility on or off at start.
    void make(bool trusted = true, bool dataFolder = true) {
        app_ = std::make_unique<AppModel>(pieces_.platform(dir_.path(), trusted, dataFolder));
        windows_ = pieces_.windows;
        files_ = pieces_.files;
        tap_ = pieces_.tap;
        ax_ = pieces_.accessibility;
        workspace_ = pieces_.workspace;
        folders_ = pieces_.folders;
    }
    void start() {
        app_->start();
        panel_ = pieces_.panel;
    }

    void setSettings(const std::function<void(AppSettings&)>& change) { app_->settings().update(change); }

    // The file manager in front with `paths` selected; waits for the tracker.
    void select(std::vector<std::string> paths) {
        files_->answer = {Outcome::ok, std::move(paths)};
        if (windows_->active != kThunar)
            windows_->activate(kThunar);
        else
            app_->finder().requestSelection(0);
        const auto expected = FinderTracker::firstAudio(files_->answer.paths);
        ASSERT_TRUE(until([&] { return app_->finder().currentAudio() == expected && files_->selectionCalls > 0; }));
        pumpFor(50ms);
    }

    bool loaded(const fs::path& file) { return app_->player().info() && app_->player().info()->url == file; }
    bool waitLoaded(const fs::path& file) { return until([&] { return loaded(file); }); }
    bool waitPlaying(bool on) { return until([&] { return app_->player().isPlaying() == on; }); }

    // Space pressed and released in the file manager: whether the press went on.
    bool space(bool repeat = false) {
        const bool on = tap_->send(spaceDown(repeat));
        tap_->send(spaceUp());
        return on;
    }

    test::TempDir dir_;
    test::FakePieces pieces_;
    test::FakeDesktopWindows* windows_ = nullptr;
    test::FakeFileManagerAccessibility* files_ = nullptr;
    test::FakeKeyEventTap* tap_ = nullptr;
    test::FakeAccessibility* ax_ = nullptr;
    test::RecordingWorkspace* workspace_ = nullptr;
    test::FakeFolderChooser* folders_ = nullptr;
    test::FakePanel* panel_ = nullptr;
    std::unique_ptr<AppModel> app_;
};

}  // namespace

TEST_F(AppModelTest, ConstructionMakesEveryModelOnTheSharedEngineAndStartsNothing) {
    make();
    EXPECT_EQ(app_->hud(), nullptr);
    EXPECT_EQ(tap_->starts, 0);
    EXPECT_FALSE(app_->control().isListening());
    EXPECT_TRUE(app_->axTrusted());
    ASSERT_TRUE(app_->library().catalog()) << "the catalog opens in the data folder";
    EXPECT_TRUE(fs::exists(dir_ / "data" / "Quillmarsh" / "Catalog.sqlite"));
    EXPECT_EQ(AppModel::catalogLocation(fs::path("/d")), fs::path("/d/Quillmarsh/Catalog.sqlite"));

    start();
    EXPECT_TRUE(app_->control().isListening());
    ASSERT_NE(panel_, nullptr);
    EXPECT_EQ(app_->hud(), panel_);
    EXPECT_EQ(tap_->starts, 1) << "trusted at start: the tap starts at once";
    EXPECT_FALSE(app_->trustPollRunning());
    // The handler is the command table.
    EXPECT_EQ(app_->control().handler()("status", {}), app_->handle("status", {}));
    EXPECT_EQ(app_->control().handler()("Status ", {}), (nlohmann::json{{"error", "unknown command Status "}}));
}

TEST_F(AppModelTest, WithoutADataFolderNoCatalogIsOpenedAnywhereElse) {
    // No HOME gives no data folder: no catalog may land in the working
    // folder (a relative path) or under the file system's root.
    const fs::path before = fs::current_path();
    fs::create_directories(dir_ / "work");
    fs::current_path(dir_ / "work");
    EXPECT_EQ(AppModel::catalogLocation(std::nullopt), fs::path());
    make(true, false);
    EXPECT_FALSE(app_->library().catalog());
    app_.reset();
    fs::current_path(before);
    EXPECT_TRUE(fs::is_empty(dir_ / "work"));
    EXPECT_FALSE(fs::exists("/Quillmarsh/Catalog.sqlite"));
}

TEST_F(AppModelTest, OnlyProfileChangesReachThePlayerOnceEachAndNeverTheValueOfStart) {
    make();
    start();
    // A playing player restarts at its frame on each profile change: one
    // more start per change.
    app_->player().load(dir_ / "a.wav", true);
    ASSERT_TRUE(waitPlaying(true));
    pumpFor(100ms);
    auto& player = app_->player();
    const uint64_t atStart = player.playGen();
    EXPECT_EQ(player.playGen(), atStart) << "the value present at start is dropped";

    struct Row {
        const char* what;
        std::function<void(AppSettings&)> change;
        uint64_t restarts;
    };
    const std::vector<Row> rows{
        {"autoPlay", [](AppSettings& s) { s.autoPlay = !s.autoPlay; }, 0},
        {"a library root", [&](AppSettings& s) { s.libraryRoots.push_back(dir_.path().string()); }, 0},
        {"spacePlaysInFinder", [](AppSettings& s) { s.spacePlaysInFinder = false; }, 0},
        {"the active profile", [](AppSettings& s) { s.activeProfileID = s.profiles[1].id; }, 1},
        {"a field of a profile", [](AppSettings& s) { s.profiles[0].name += " 2"; }, 1},
        {"a trim of another profile", [](AppSettings& s) { s.profiles[2].trimsDB[0] = -3; }, 1},
        {"monoToCenter", [](AppSettings& s) { s.monoToCenter = !s.monoToCenter; }, 1},
    };
    for (const auto& row : rows) {
        const uint64_t before = player.playGen();
        setSettings(row.change);
        EXPECT_EQ(player.playGen(), before) << row.what << ": not within the assignment";
        pumpFor(150ms);
        EXPECT_EQ(player.playGen() - before, row.restarts) << row.what;
        ASSERT_TRUE(waitPlaying(true)) << row.what;
    }

    // Two changes before the loop turns: two deliveries, each compared with
    // the one before it.
    const uint64_t before = player.playGen();
    setSettings([](AppSettings& s) { s.monoToCenter = !s.monoToCenter; });
    setSettings([](AppSettings& s) { s.monoToCenter = !s.monoToCenter; });
    pumpFor(150ms);
    EXPECT_EQ(player.playGen() - before, 2u);
}

TEST_F(AppModelTest, TheFileManagersSelectionLoadsAsTheSettingsSay) {
    make();
    start();
    select({(dir_ / "b.wav").string()});
    ASSERT_TRUE(waitLoaded(dir_ / "b.wav"));
    EXPECT_TRUE(waitPlaying(true)) << "auto-play on";

    setSettings([](AppSettings& s) { s.autoPlay = false; });
    select({(dir_ / "notes.txt").string()});
    EXPECT_TRUE(loaded(dir_ / "b.wav")) << "no audio selected: the player keeps its file";
    select({(dir_ / "c.wav").string()});
    ASSERT_TRUE(waitLoaded(dir_ / "c.wav"));
    pumpFor(100ms);
    EXPECT_FALSE(app_->player().isPlaying()) << "auto-play off";

    // The panel setting off: the panel hides, selections load nothing, Space passes.
    ASSERT_NE(panel_, nullptr);
    ASSERT_FALSE(panel_->enabledSet.empty());
    EXPECT_TRUE(panel_->enabledSet.back());
    setSettings([](AppSettings& s) { s.finderPanel = false; });
    EXPECT_TRUE(panel_->enabledSet.back()) << "delivered one turn later";
    ASSERT_TRUE(until([&] { return !panel_->enabledSet.back(); }));
    select({(dir_ / "a.wav").string()});
    pumpFor(200ms);
    EXPECT_TRUE(loaded(dir_ / "c.wav"));
    const uint64_t loads = app_->player().loadGen();
    EXPECT_TRUE(space()) << "Space reaches the file manager";
    EXPECT_EQ(app_->player().loadGen(), loads);
    EXPECT_FALSE(app_->player().isPlaying());

    setSettings([](AppSettings& s) { s.finderPanel = true; });
    ASSERT_TRUE(until([&] { return panel_->enabledSet.back(); }));
    // The file manager's state and the player's changes reach the panel.
    ASSERT_FALSE(panel_->updates.empty());
    EXPECT_TRUE(panel_->updates.back().active);
    EXPECT_GT(panel_->playerChanges, 0);
}

// The banner learns which file manager refused, with the flag.
TEST_F(AppModelTest, ARefusalReachesTheRootWithTheFileManagerThatRefused) {
    make();
    start();
    QSignalSpy announced(app_.get(), &AppModel::automationDeniedChanged);
    files_->answer = {Outcome::denied, {}};
    windows_->activate(kThunar);
    ASSERT_TRUE(until([&] { return app_->automationDenied(); }));
    EXPECT_EQ(app_->deniedFileManager(), fileManagers::Kind::thunar);
    files_->answer = {Outcome::ok, {}};
    app_->finder().requestSelection(0);
    ASSERT_TRUE(until([&] { return !app_->automationDenied(); }));
    EXPECT_FALSE(app_->deniedFileManager());
    EXPECT_EQ(announced.count(), 2);
}

TEST_F(AppModelTest, TheSpaceRule) {
    make();
    start();
    setSettings([](AppSettings& s) { s.autoPlay = false; });
    auto& player = app_->player();
    select({(dir_ / "b.wav").string()});
    ASSERT_TRUE(waitLoaded(dir_ / "b.wav"));

    // The same file: Space toggles.
    EXPECT_FALSE(space()) << "taken";
    EXPECT_TRUE(waitPlaying(true));
    EXPECT_FALSE(space());
    EXPECT_TRUE(waitPlaying(false));

    // A repeat (a held Space) is taken without effect.
    const uint64_t loads = player.loadGen(), plays = player.playGen();
    EXPECT_FALSE(tap_->send(spaceDown(true)));
    EXPECT_FALSE(tap_->send(spaceDown(true)));
    tap_->send(spaceUp());
    pumpFor(100ms);
    EXPECT_EQ(player.loadGen(), loads);
    EXPECT_EQ(player.playGen(), plays);
    EXPECT_FALSE(player.isPlaying());

    // Another file in the player (opened from the library): Space loads the
    // selected one and plays it, auto-play off or not.
    player.load(dir_ / "a.wav", false);
    ASSERT_TRUE(waitLoaded(dir_ / "a.wav"));
    EXPECT_FALSE(space());
    ASSERT_TRUE(waitLoaded(dir_ / "b.wav"));
    EXPECT_TRUE(waitPlaying(true));
    player.stop();

    // It passes while a name is being edited, with no audio selected, and
    // with the Space setting off.
    files_->focus = {Outcome::ok, true};
    EXPECT_TRUE(space());
    files_->focus = {Outcome::ok, false};
    select({(dir_ / "notes.txt").string()});
    EXPECT_TRUE(space());
    select({(dir_ / "c.wav").string()});
    setSettings([](AppSettings& s) { s.spacePlaysInFinder = false; });
    EXPECT_TRUE(space());
    pumpFor(100ms);
    EXPECT_FALSE(player.isPlaying());

    // Other keys and clicks ask for the selection again.
    const int queries = files_->selectionCalls;
    tap_->send({TapEvent::Type::keyDown, 38, false, 0, false, false});
    EXPECT_TRUE(until([&] { return files_->selectionCalls > queries; }));
}

TEST_F(AppModelTest, AccessibilityGrantedLaterIsNoticedByThePoll) {
    make(false);
    EXPECT_FALSE(app_->axTrusted());
    start();
    EXPECT_TRUE(app_->trustPollRunning());
    EXPECT_EQ(tap_->starts, 0);
    QSignalSpy trusted(app_.get(), &AppModel::axTrustedChanged);
    select({(dir_ / "b.wav").string()});
    EXPECT_EQ(files_->observeCalls, 0) << "no observer without accessibility";

    app_->requestAccessibility();
    app_->openAutomationSettings();
    EXPECT_EQ(ax_->grants, 2);
    EXPECT_FALSE(app_->axTrusted()) << "the actions change nothing themselves";

    ax_->answer = true;
    ASSERT_TRUE(until([&] { return app_->axTrusted(); }, 5s)) << "within one 2 s tick";
    EXPECT_EQ(trusted.count(), 1);
    EXPECT_EQ(tap_->starts, 1);
    EXPECT_FALSE(app_->trustPollRunning());
    EXPECT_EQ(files_->observeCalls, 1) << "the tracker takes up its observer once";

    // Trust never goes back.
    const int reads = ax_->reads;
    ax_->answer = false;
    pumpFor(std::chrono::milliseconds(AppModel::kTrustPollMs + 300));
    EXPECT_EQ(ax_->reads, reads) << "no poll once trusted";
    EXPECT_TRUE(app_->axTrusted());
}

TEST_F(AppModelTest, AddToLibraryAddsEveryChosenFolderAndOpensTheFirst) {
    make();
    start();
    auto& library = app_->library();
    const auto roots = library.roots();

    folders_->answer = std::nullopt;
    app_->addLibraryFolder();
    ASSERT_EQ(folders_->labels.size(), 1u);
    EXPECT_EQ(folders_->labels[0], QStringLiteral("Add to Library"));
    EXPECT_EQ(library.roots(), roots) << "cancelled: nothing";

    std::vector<fs::path> chosen;
    for (const char* name : {"one", "two", "three"}) {
        fs::create_directories(dir_ / "lib" / name);
        chosen.push_back(dir_ / "lib" / name / "." / "..");  // not canonical as chosen
    }
    chosen[0] = dir_ / "lib" / "one";
    chosen[1] = dir_ / "lib" / "two" / ".";
    fs::create_symlink(dir_ / "lib" / "three", dir_ / "three-link");
    chosen[2] = dir_ / "three-link";
    folders_->answer = chosen;
    app_->addLibraryFolder();
    const std::vector<std::string> expected{LibraryScanner::canonical((dir_ / "lib" / "one").string()),
                                            LibraryScanner::canonical((dir_ / "lib" / "two").string()),
                                            LibraryScanner::canonical((dir_ / "lib" / "three").string())};
    EXPECT_EQ(library.roots(), expected);
    ASSERT_TRUE(library.folder());
    EXPECT_EQ(*library.folder(), chosen[0]);
}

TEST_F(AppModelTest, OpenEditorOpensTheFileWhenGivenThenTheWindowAndTheApplication) {
    make();
    start();
    std::vector<QString> opened;
    app_->openEditor(std::nullopt);  // no opener installed: nothing breaks
    EXPECT_EQ(workspace_->activations, 1);
    app_->openWindowAction = [&](const QString& id) { opened.push_back(id); };

    app_->openEditor(std::nullopt);
    EXPECT_EQ(opened, std::vector<QString>{"editor"});
    EXPECT_FALSE(app_->editor().doc()) << "without a file it only opens the window";

    app_->openEditor(dir_ / "a.wav");
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(workspace_->activations, 3);
    ASSERT_TRUE(until([&] { return app_->editor().doc().has_value(); }));
    EXPECT_EQ(app_->editor().doc()->url, dir_ / "a.wav");

    // A finished temp-edit batch is revealed through the workspace.
    emit app_->editor().revealRequested({dir_ / "a.wav"});
    ASSERT_EQ(workspace_->revealed.size(), 1u);
    EXPECT_EQ(workspace_->revealed[0], std::vector<fs::path>{dir_ / "a.wav"});
}

TEST_F(AppModelTest, CallbacksHandedOutDoNothingOnceTheRootIsGone) {
    make();
    start();
    // Copies of what the root handed out, called after it went.
    const auto handler = app_->control().handler();
    const auto willPlay = app_->editor().onWillPlay;
    const auto playerWillPlay = app_->player().onWillPlay;
    const auto spaceHandler = app_->keyTap().spaceHandler;
    const auto selection = app_->finder().onSelection;
    ASSERT_TRUE(panel_);
    const auto ambisonic = panel_->isAmbisonic;
    app_.reset();
    EXPECT_EQ(handler("status", {}), nlohmann::json::object());
    willPlay();
    playerWillPlay();
    EXPECT_FALSE(spaceHandler(false));
    selection(dir_ / "a.wav");
    EXPECT_FALSE(ambisonic());
}

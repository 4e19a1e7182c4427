// The whole road on a private desktop (Xvfb, openbox, a session bus,
// Thunar driven with xdotool): the real tracker, key tap and accessibility,
// the root's models on the silent output, and a recording floating panel.
#include "app/shell/AppModel.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "app/shell/Accessibility.h"
#include "app/shell/FinderTracker.h"
#include "app/shell/KeyTap.h"
#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/FileManagerAccessibility.h"
#include "platform/desktop/KeyTapX11.h"
#include "app/shell/AppFakes.h"
#include "support/AudioFiles.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

class AppModelDesktop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session().ok()) << session().failure();
        for (const char* name : {"b.wav", "c.wav"})
            test::writeTestFile(folder_ / name, 2, 48000 * 20, 48000, {test::FileKind::wav, 16});
        test::writeBytes(folder_ / "a.txt", "x");
        // Accessibility on for the session, as a user who granted it.
        BusAccessibility ax;
        ax.grant();
        ASSERT_TRUE(test::waitUntil([&] { return ax.trusted(); }, 10, pump));
    }
    void TearDown() override {
        app_.reset();
        session().quitThunar();
    }

    static test::DesktopSession& session() { return test::sharedDesktopSession(); }
    static void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); }
    static bool until(const std::function<bool()>& condition, double seconds = 20) {
        return test::waitUntil(condition, seconds, pump);
    }

    void make() {
        AppPlatform p = pieces_.platform(data_.path());
        p.windows = makeX11DesktopWindows(session().display());
        p.fileManager = makeAtspiFileManagerAccessibility();
        p.tap = makeKeyTapX11(session().display());
        tap_ = p.tap.get();
        DesktopWindows* windows = p.windows.get();
        p.accessibility = std::make_unique<BusAccessibility>(QDBusConnection::sessionBus(),
                                                             [windows] { return windows->available(); });
        app_ = std::make_unique<AppModel>(std::move(p));
        ASSERT_TRUE(app_->axTrusted());
        app_->start();
    }

    // Keys typed while the tap holds its grab: the loop must keep serving it.
    bool keys(const std::vector<std::string>& arguments) {
        std::vector<std::string> all{"key", "--delay", "80"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return session().xdotool(all, pump);
    }
    bool type(const std::string& text) { return session().xdotool({"type", "--delay", "80", text}, pump); }

    bool loaded(const fs::path& file) { return app_->player().info() && app_->player().info()->url == file; }
    bool selected(const fs::path& file) { return app_->finder().currentAudio() == file; }

    test::TempDir folder_;
    test::TempDir data_;
    test::FakePieces pieces_;
    KeyEventTap* tap_ = nullptr;
    std::unique_ptr<AppModel> app_;
};

}  // namespace

TEST_F(AppModelDesktop, SelectingAndSpaceInThunarDriveThePlayer) {
    ASSERT_GT(session().startThunar(folder_.path()), 0) << session().failure();
    make();
    auto& player = app_->player();
    ASSERT_TRUE(until([&] { return app_->finder().finderActive(); }));
    ASSERT_TRUE(until([&] { return tap_->grabWindow() == session().thunarWindow(); })) << "the grab on Thunar";

    // The first row (a.txt), then b.wav: loaded and played (auto-play on).
    auto files = makeAtspiFileManagerAccessibility();
    ASSERT_TRUE(session().selectFirstRow(
        [&] { return files->selection(session().thunarPid(), "", 40).paths; }, (folder_ / "a.txt").string(), pump));
    ASSERT_TRUE(keys({"Down"}));
    ASSERT_TRUE(until([&] { return loaded(folder_ / "b.wav"); }));
    ASSERT_TRUE(until([&] { return player.isPlaying(); }));

    // Space stops it (the same file toggles).
    ASSERT_TRUE(keys({"space"}));
    ASSERT_TRUE(until([&] { return !player.isPlaying(); }));
    EXPECT_TRUE(loaded(folder_ / "b.wav"));

    // Auto-play off: Down to c.wav loads it stopped; Space plays it.
    app_->settings().update([](AppSettings& s) { s.autoPlay = false; });
    ASSERT_TRUE(keys({"Down"}));
    ASSERT_TRUE(until([&] { return loaded(folder_ / "c.wav"); }));
    EXPECT_FALSE(player.isPlaying());
    ASSERT_TRUE(keys({"space"}));
    ASSERT_TRUE(until([&] { return player.isPlaying(); }));
    ASSERT_TRUE(keys({"space"}));
    ASSERT_TRUE(until([&] { return !player.isPlaying(); }));

    // Renaming: the blank in "x y" reaches Thunar's text field.
    ASSERT_TRUE(keys({"F2"}));
    ASSERT_TRUE(until([&] { return app_->finder().isEditingText(); }));
    ASSERT_TRUE(keys({"ctrl+a"}));
    ASSERT_TRUE(type("x y.wav"));
    ASSERT_TRUE(keys({"Return"}));
    EXPECT_TRUE(until([&] { return fs::exists(folder_ / "x y.wav"); })) << "renamed with the Space typed";
    EXPECT_FALSE(fs::exists(folder_ / "c.wav"));
    EXPECT_FALSE(player.isPlaying()) << "the blank was not taken";

    // The renamed file chosen again from the top row: whether the rename
    // dialog leaves it selected, and Thunar's window in front, is up to
    // Thunar and the window manager.
    ASSERT_TRUE(session().selectFirstRow(
        [&] { return files->selection(session().thunarPid(), "", 40).paths; }, (folder_ / "a.txt").string(), pump));
    ASSERT_TRUE(keys({"End"}));
    ASSERT_TRUE(until([&] { return loaded(folder_ / "x y.wav"); }));

    // The panel setting off: a selection loads nothing.
    app_->settings().update([](AppSettings& s) { s.finderPanel = false; });
    ASSERT_TRUE(keys({"Up"}));
    ASSERT_TRUE(until([&] { return selected(folder_ / "b.wav"); }));
    test::waitUntil([] { return false; }, 1.5, pump);
    EXPECT_TRUE(loaded(folder_ / "x y.wav"));
    ASSERT_NE(pieces_.panel, nullptr);
    EXPECT_FALSE(pieces_.panel->enabled());
}

TEST_F(AppModelDesktop, ThunarShowsARevealedFile) {
    ASSERT_GT(session().startThunar(folder_.path()), 0) << session().failure();
    DesktopFileReveal reveal;
    QSignalSpy done(&reveal, &FileReveal::finished);
    reveal.reveal({folder_ / "b.wav"});
    ASSERT_TRUE(until([&] { return done.count() == 1; }));
    EXPECT_EQ(done.at(0).at(0).value<FileReveal::Outcome>(), FileReveal::Outcome::fileManager)
        << "Thunar answered on the session bus";
    // Thunar selects it in the window it shows.
    auto files = makeAtspiFileManagerAccessibility();
    EXPECT_TRUE(until([&] {
        const auto paths = files->selection(session().thunarPid(), "", 40).paths;
        return std::find(paths.begin(), paths.end(), (folder_ / "b.wav").string()) != paths.end();
    }));
}

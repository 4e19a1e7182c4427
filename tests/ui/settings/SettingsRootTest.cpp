// The settings window over the composition root, as the application shows
// it: real models, the views' own floating panel, and a hand-made desktop
// (the file manager's window, selection and key events are the test's).
// Each switch is clicked in the window; what the root does with it is
// asserted on the player, the panel and the key tap.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/LibraryModel.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/FinderTracker.h"
#include "library/LibraryScanner.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"
#include "ui/UiTestSupport.h"
#include "ui/settings/SettingsView.h"
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"
#include "ui/shell/RootViews.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class SettingsRootTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.wav", "b.wav", "c.wav"})
            test::writeTestFile(dir_ / name, 2, 48000 * 10, 48000, {test::FileKind::wav, 16});
        AppPlatform platform = pieces_.platform(dir_.path());
        rootViews::complete(platform);  // the real floating panel
        // The folder chooser stays the test's.
        auto chooser = std::make_unique<test::FakeFolderChooser>();
        pieces_.folders = chooser.get();
        platform.folders = std::move(chooser);
        app_ = std::make_unique<AppModel>(std::move(platform));
        app_->start();
        view_ = std::make_unique<SettingsView>(*app_, [] {
            return std::vector<AudioOutputDevice>{{1, "jack:system", "system", 2}};
        });
    }
    void TearDown() override {
        view_.reset();
        app_.reset();
    }

    template <class W>
    W* find(const QString& name) {
        return view_->findChild<W*>(name);
    }
    void click(const char* toggle) {
        auto* box = find<QCheckBox>(toggle);
        ASSERT_NE(box, nullptr) << toggle;
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    }
    // The settings document as written to the file.
    AppSettings stored() const {
        UserDefaults file(QString::fromStdString((dir_ / "settings.ini").string()));
        const auto doc = file.data(SettingsStore::documentKey);
        EXPECT_TRUE(doc.has_value());
        if (!doc) return {};
        return AppSettings::decodeText(std::string_view(doc->constData(), static_cast<size_t>(doc->size())));
    }

    // The file manager in front with `file` selected; waits for the tracker.
    void select(const fs::path& file) {
        pieces_.files->answer = {FileManagerAccessibility::Outcome::ok, {file.string()}};
        if (pieces_.windows->active != test::FakePieces::kThunar)
            pieces_.windows->activate(test::FakePieces::kThunar);
        else
            app_->finder().requestSelection(0);
        ASSERT_TRUE(test::waitFor([&] { return app_->finder().currentAudio() == file; }));
        pump(50ms);
    }
    static void pump(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        test::waitFor([&] { return std::chrono::steady_clock::now() >= end; });
    }
    bool loaded(const fs::path& file) { return app_->player().info() && app_->player().info()->url == file; }
    // Space pressed and released in the file manager: whether the press went on.
    bool space() {
        const bool on = pieces_.tap->send({TapEvent::Type::keyDown, 65, true, 0, false, true});
        pieces_.tap->send({TapEvent::Type::keyUp, 65, true, 0, false, true});
        return on;
    }

    test::TempDir dir_;
    test::FakePieces pieces_;
    std::unique_ptr<AppModel> app_;
    std::unique_ptr<SettingsView> view_;
};

}  // namespace

TEST_F(SettingsRootTest, TheSwitchesReachTheRootAsSoonAsTheyAreClicked) {
    view_->tabs().setCurrentIndex(1);
    view_->show();
    auto* hud = dynamic_cast<HUDController*>(app_->hud());
    ASSERT_NE(hud, nullptr);

    // Everything on: a selection loads and plays, the panel shows under the
    // file manager's window.
    select(dir_ / "a.wav");
    ASSERT_TRUE(test::waitFor([&] { return loaded(dir_ / "a.wav") && app_->player().isPlaying(); }));
    ASSERT_TRUE(test::waitFor([&] { return hud->panel().isVisible(); }));

    // Auto-play off: the next selection loads without playing.
    click("autoPlay");
    EXPECT_FALSE(stored().autoPlay);
    app_->player().stop();
    select(dir_ / "b.wav");
    ASSERT_TRUE(test::waitFor([&] { return loaded(dir_ / "b.wav"); }));
    pump(100ms);
    EXPECT_FALSE(app_->player().isPlaying());

    // Space plays in the file manager, then passes once switched off.
    EXPECT_FALSE(space()) << "taken";
    ASSERT_TRUE(test::waitFor([&] { return app_->player().isPlaying(); }));
    app_->player().stop();
    click("spacePlaysInFinder");
    EXPECT_FALSE(stored().spacePlaysInFinder);
    const uint64_t loads = app_->player().loadGen();
    EXPECT_TRUE(space()) << "Space reaches the file manager";
    pump(50ms);
    EXPECT_FALSE(app_->player().isPlaying());
    EXPECT_EQ(app_->player().loadGen(), loads);

    // Mono from the centre: a playing player is reconfigured once.
    app_->player().togglePlay();
    ASSERT_TRUE(test::waitFor([&] { return app_->player().isPlaying(); }));
    pump(100ms);
    const uint64_t starts = app_->player().playGen();
    click("monoToCenter");
    EXPECT_FALSE(stored().monoToCenter);
    ASSERT_TRUE(test::waitFor([&] { return app_->player().playGen() == starts + 1; }));
    pump(100ms);
    EXPECT_EQ(app_->player().playGen(), starts + 1);
    app_->player().stop();

    // The panel switch off: the panel hides and selections load nothing.
    click("finderPanel");
    EXPECT_FALSE(stored().finderPanel);
    ASSERT_TRUE(test::waitFor([&] { return !hud->panel().isVisible(); }));
    select(dir_ / "c.wav");
    pump(200ms);
    EXPECT_TRUE(loaded(dir_ / "b.wav")) << "the selection is ignored";
    test::savePng(*view_, "settings-audition-root");

    // On again: the panel is back, and so are selections.
    click("finderPanel");
    ASSERT_TRUE(test::waitFor([&] { return hud->panel().isVisible(); }));
    select(dir_ / "a.wav");
    EXPECT_TRUE(test::waitFor([&] { return loaded(dir_ / "a.wav"); }));
}

TEST_F(SettingsRootTest, ShowAndAddFolderGoThroughTheRoot) {
    view_->show();

    // "Show" asks the root's workspace, after making the folder.
    const fs::path pulls = dir_ / "Pulls/Here";
    app_->settings().update([&](AppSettings& s) { s.pullsFolder = pulls.string(); });
    view_->tabs().setCurrentIndex(1);
    QTest::mouseClick(find<QPushButton>("showPulls"), Qt::LeftButton);
    EXPECT_TRUE(fs::is_directory(pulls));
    EXPECT_EQ(pieces_.workspace->opened, std::vector<fs::path>{pulls});

    // "Add Folder…" asks the root's chooser under "Add to Library"; each
    // chosen folder becomes a row, is scanned and counted.
    view_->tabs().setCurrentIndex(2);
    auto* add = find<QPushButton>("addFolder");
    ASSERT_NE(add, nullptr);
    pieces_.folders->answer = std::nullopt;
    QTest::mouseClick(add, Qt::LeftButton);
    ASSERT_EQ(pieces_.folders->labels, std::vector<QString>{"Add to Library"});
    EXPECT_TRUE(stored().libraryRoots.empty()) << "cancelled: nothing";

    for (const char* name : {"one", "two"}) fs::create_directories(dir_ / "lib" / name);
    test::writeTestFile(dir_ / "lib/one/x.wav", 1, 4800, 48000, {test::FileKind::wav, 16});
    test::writeTestFile(dir_ / "lib/two/y.wav", 1, 4800, 48000, {test::FileKind::wav, 16});
    test::writeTestFile(dir_ / "lib/two/z.wav", 1, 4800, 48000, {test::FileKind::wav, 16});
    pieces_.folders->answer = std::vector<fs::path>{dir_ / "lib/one", dir_ / "lib/two"};
    QTest::mouseClick(add, Qt::LeftButton);
    const std::vector<std::string> roots{LibraryScanner::canonical((dir_ / "lib/one").string()),
                                         LibraryScanner::canonical((dir_ / "lib/two").string())};
    EXPECT_EQ(stored().libraryRoots, roots);
    for (const std::string& root : roots)
        EXPECT_NE(find<QWidget>("root:" + QString::fromStdString(root)), nullptr) << root;
    auto* status = find<QLabel>("libraryStatus");
    ASSERT_TRUE(test::waitFor([&] { return app_->library().indexing().empty(); }));
    EXPECT_TRUE(test::waitFor([&] { return status->text() == "3 files"; })) << status->text().toStdString();
    EXPECT_EQ(app_->library().indexedCount(), 3);
    test::savePng(*view_, "settings-library-root");
}

TEST_F(SettingsRootTest, RemovingTheActiveProfileReconfiguresThePlayingPlayer) {
    // The default profiles, the second one active and playing.
    const auto profiles = app_->settings().value().profiles;
    ASSERT_GE(profiles.size(), 2u);
    app_->player().selectProfile(profiles[1].id);
    app_->player().load(dir_ / "a.wav", true);
    ASSERT_TRUE(test::waitFor([&] { return app_->player().isPlaying(); }));
    pump(150ms);

    view_->show();  // selects the active profile
    ASSERT_EQ(view_->outputs().selectedID(), profiles[1].id);
    const uint64_t starts = app_->player().playGen();
    QTest::mouseClick(find<QToolButton>("removeProfile"), Qt::LeftButton);
    EXPECT_EQ(stored().profiles.size(), profiles.size() - 1);
    EXPECT_EQ(app_->settings().activeProfile().id, profiles[0].id) << "falls back to the first";
    EXPECT_EQ(app_->player().playGen(), starts) << "one turn of the loop later";
    ASSERT_TRUE(test::waitFor([&] { return app_->player().playGen() == starts + 1; }));
    pump(150ms);
    EXPECT_EQ(app_->player().playGen(), starts + 1);
    EXPECT_TRUE(app_->player().isPlaying());

    // A trim edited in the window: reconfigured again.
    QTest::keyClick(find<QDoubleSpinBox>("trim:0"), Qt::Key_Down);
    EXPECT_EQ(stored().profiles[0].trimsDB[0], -0.5);
    EXPECT_TRUE(test::waitFor([&] { return app_->player().playGen() == starts + 2; }));
}

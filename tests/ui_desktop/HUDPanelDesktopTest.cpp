// The floating panel beside Thunar on the private desktop, hosting the
// player: where the window manager puts it, its stacking and desktops, and
// that Thunar keeps the keyboard while the player's play button answers its
// first click.
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QToolButton>

#include <X11/Xlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "app/core/EventLoopQueue.h"
#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "playback/PlaybackEngine.h"
#include "platform/desktop/DesktopWindows.h"
#include "support/AudioFiles.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

// xprop's list names the atom as a whole word.
bool listsAtom(const std::string& list, const std::string& atom) {
    for (size_t at = list.find(atom); at != std::string::npos; at = list.find(atom, at + 1)) {
        const size_t end = at + atom.size();
        if (end == list.size() || list[end] == ',' || list[end] == '\n') return true;
    }
    return false;
}

class HUDPanelDesktop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session().ok()) << session().failure();
        ASSERT_EQ(QApplication::platformName(), "xcb");
        windows_ = makeX11DesktopWindows(session().display());
        if (session().thunarWindow() == 0 || !windows_->info(session().thunarWindow())) {
            ASSERT_GT(session().startThunar(folder_.path()), 0) << session().failure();
        }
        ASSERT_TRUE(session().activateThunar());
        controller_ = std::make_unique<HUDController>(windows_.get());
        PlayerView& view = controller_->hostPlayer(player_, settings_);
        play_ = view.findChild<QToolButton*>("play");
        ASSERT_NE(play_, nullptr);
    }

    // A 3 s file of noise bursts with `channels` channels.
    std::filesystem::path write(const std::string& name, int channels, test::AudioFileOptions options = {}) {
        constexpr double rate = 48000;
        test::Planar planar(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(3 * rate)));
        uint32_t noise = 3;
        for (size_t c = 0; c < planar.size(); ++c)
            for (size_t i = 0; i < planar[c].size(); ++i) {
                noise = noise * 1664525u + 1013904223u;
                const double burst = std::exp(-static_cast<double>((i + c * 2000) % 24000) / 5000.0);
                planar[c][i] = static_cast<float>(0.6 * burst * (static_cast<double>(noise >> 8) / 8388608.0 - 1));
            }
        const auto file = folder_.path() / name;
        test::writeAudioFile(file, planar, rate, options);
        return file;
    }
    // Loads the file into the player and waits for its facts and overview.
    bool load(const std::filesystem::path& file) {
        player_.load(file, false);
        return waitUntil([&] {
            const auto& wave = player_.waveform();
            return player_.info() && player_.info()->url == file && wave && wave->loadedBuckets == wave->bucketCount;
        });
    }

    static test::DesktopSession& session() { return test::sharedDesktopSession(); }

    void pump() {
        windows_->dispatchEvents();
        QApplication::processEvents();
    }
    bool waitUntil(const std::function<bool()>& condition, double seconds = 10) {
        return test::waitUntil(condition, seconds, [this] { pump(); });
    }

    // Thunar's frame in the tracker's bottom-left coordinates.
    DesktopRect thunarFrame() {
        const auto frame = session().frameOf(session().thunarWindow());
        EXPECT_TRUE(frame);
        if (!frame) return {};
        return {double(frame->x), double(session().screenHeight() - frame->y - frame->height), double(frame->width),
                double(frame->height)};
    }

    // The computed rectangle, top-left.
    test::WindowGeometry expected(const DesktopRect& window, bool ambisonic) {
        std::optional<HUDController::Screen> main;
        const auto screens = HUDController::currentScreens(&main);
        const auto frame = HUDController::placement(window, ambisonic, screens, main).value();
        return {int(frame.x), int(session().screenHeight() - frame.y - frame.height), int(frame.width),
                int(frame.height)};
    }

    WindowId panelWindow() { return controller_->panel().winId(); }

    bool panelShown() {
        const auto info = windows_->info(panelWindow());
        return info && info->onScreen;
    }

    // The window holding the input focus is Thunar's or inside it.
    bool thunarHasFocus() {
        Display* display = XOpenDisplay(session().display().c_str());
        if (!display) return false;
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        bool inside = false;
        for (int depth = 0; depth < 64 && focus != None && focus != PointerRoot; ++depth) {
            if (focus == session().thunarWindow()) {
                inside = true;
                break;
            }
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(display, focus, &root, &parent, &children, &count)) break;
            if (children) XFree(children);
            if (parent == root) break;
            focus = parent;
        }
        XCloseDisplay(display);
        return inside;
    }

    std::string property(const char* name) {
        std::string out;
        session().run({"xprop", "-id", std::to_string(panelWindow()), name}, &out);
        return out;
    }

    void savePng(const QString& name) {
        const auto folder = std::filesystem::path(QM_TEST_OUTPUT) / "ui";
        std::filesystem::create_directories(folder);
        controller_->panel().grab().save(QString::fromStdString((folder / name.toStdString()).string()));
    }

    test::TempDir folder_;
    EventLoopQueue queue_;
    PlaybackEngine engine_{queue_};
    SettingsStore settings_{std::make_shared<UserDefaults>(QString::fromStdString((folder_.path() / "settings.ini").string()))};
    PlayerModel player_{engine_, settings_};
    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<HUDController> controller_;
    QToolButton* play_ = nullptr;
};

}  // namespace

TEST_F(HUDPanelDesktop, SitsUnderThunarAboveItOnEveryDesktopWithoutTakingTheKeyboard) {
    ASSERT_TRUE(load(write("stereo.wav", 2)));
    const DesktopRect window = thunarFrame();
    controller_->update(true, window);
    ASSERT_TRUE(waitUntil([&] { return panelShown(); }));
    const auto target = expected(window, false);
    EXPECT_TRUE(waitUntil([&] {
        const auto frame = session().frameOf(panelWindow());
        return frame && frame->x == target.x && frame->y == target.y && frame->width == target.width &&
               frame->height == target.height;
    })) << "xwininfo shows the computed rectangle " << target.x << "," << target.y << " " << target.width << "x"
        << target.height;

    EXPECT_TRUE(waitUntil([&] {
        const auto stack = windows_->clientsFrontToBack();
        const auto panel = std::find(stack.begin(), stack.end(), panelWindow());
        const auto thunar = std::find(stack.begin(), stack.end(), session().thunarWindow());
        return panel != stack.end() && thunar != stack.end() && panel < thunar;
    })) << "above Thunar in the stacking list";
    // Each state the window manager supports (openbox has no sticky state:
    // every desktop stands for it).
    std::string supported;
    session().run({"xprop", "-root", "_NET_SUPPORTED"}, &supported);
    const auto states = property("_NET_WM_STATE");
    for (const auto& state : HUDPanel::windowStates()) {
        if (!listsAtom(supported, state)) continue;
        EXPECT_NE(states.find(state), std::string::npos) << state << ": " << states;
    }
    EXPECT_NE(states.find("_NET_WM_STATE_ABOVE"), std::string::npos) << states;
    EXPECT_NE(property("_NET_WM_DESKTOP").find("4294967295"), std::string::npos) << "on every desktop";

    EXPECT_TRUE(thunarHasFocus());
    EXPECT_EQ(windows_->activeWindow(), session().thunarWindow());
    savePng("hud-stereo.png");

    // A click on play starts playback at once, and Thunar keeps the keyboard.
    ASSERT_FALSE(player_.isPlaying());
    ASSERT_TRUE(play_->isEnabled());
    int starts = 0;
    QObject::connect(&player_, &PlayerModel::isPlayingChanged, [&] { starts += player_.isPlaying(); });
    const QPoint centre = play_->mapTo(&controller_->panel(), play_->rect().center());
    ASSERT_TRUE(session().xdotool({"mousemove", "--window", std::to_string(panelWindow()), std::to_string(centre.x()),
                                   std::to_string(centre.y()), "click", "1"}));
    EXPECT_TRUE(waitUntil([&] { return player_.isPlaying(); })) << "the first click plays";
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(thunarHasFocus());
    EXPECT_EQ(windows_->activeWindow(), session().thunarWindow());
    player_.stopPlayback();
}

TEST_F(HUDPanelDesktop, HidesAtOnceWhenSwitchedOffAndGrowsForAmbisonics) {
    ASSERT_TRUE(load(write("stereo.wav", 2)));
    const DesktopRect window = thunarFrame();
    controller_->update(true, window);
    ASSERT_TRUE(waitUntil([&] { return panelShown(); }));

    controller_->setEnabled(false);
    EXPECT_FALSE(controller_->panel().isVisible()) << "at once";
    EXPECT_TRUE(waitUntil([&] { return !panelShown(); }));
    controller_->setEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return panelShown(); }));
    EXPECT_TRUE(waitUntil([&] {
        return property("_NET_WM_STATE").find("_NET_WM_STATE_SKIP_TASKBAR") != std::string::npos &&
               property("_NET_WM_DESKTOP").find("4294967295") != std::string::npos;
    })) << "the states come back with the panel";

    EXPECT_EQ(session().frameOf(panelWindow())->height, 168);
    // Loading an FOA file places the panel again, taller.
    ASSERT_TRUE(load(write("field.amb", 4, {.kind = test::FileKind::amb})));
    const auto target = expected(window, true);
    EXPECT_TRUE(waitUntil([&] {
        const auto frame = session().frameOf(panelWindow());
        return frame && frame->height == 204 && frame->y == target.y;
    })) << "an FOA file grows it to 204";
    savePng("hud-foa.png");
}

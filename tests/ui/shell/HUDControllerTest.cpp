// Where the floating panel goes for the file manager's window (pure, in
// bottom-left coordinates), and when the controller shows, moves and hides
// it (on the offscreen platform).
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPointer>

using namespace qm;

namespace {

// A 1920 x 1080 screen whose lowest 40 points are taken by a panel bar.
const HUDController::Screen kScreen{{0, 0, 1920, 1080}, {0, 40, 1920, 1040}};

DesktopRect place(const DesktopRect& window, bool ambisonic = false) {
    return HUDController::placement(window, ambisonic, {kScreen}, kScreen).value();
}

}  // namespace

TEST(HUDPlacement, IsAtLeast600WideAndKeptOnTheVisibleScreen) {
    EXPECT_EQ(place({100, 500, 500, 300}), (DesktopRect{100, 330, 600, 168})) << "500 wide: 600 at its left edge";
    EXPECT_EQ(place({1500, 500, 500, 300}), (DesktopRect{1320, 330, 600, 168})) << "shifted left to end at the edge";
    EXPECT_EQ(place({300, 500, 900, 300}), (DesktopRect{300, 330, 900, 168})) << "as wide as a wider window";
    EXPECT_EQ(place({-80, 500, 2400, 300}), (DesktopRect{0, 330, 1920, 168}))
        << "wider than the screen: the screen's width at its left edge";
    EXPECT_EQ(place({-200, 500, 500, 300}).x, 0) << "a window hanging off the left edge";
}

TEST(HUDPlacement, GoesBelowTheWindowOnlyWhenThereIsRoom) {
    EXPECT_EQ(place({100, 40 + 200, 800, 400}), (DesktopRect{100, 40 + 30, 800, 168})) << "2 points below";
    EXPECT_EQ(place({100, 40 + 170, 800, 400}).y, 40) << "170 points are exactly enough";
    EXPECT_EQ(place({100, 40 + 169, 800, 400}).y, 40 + 169 + 6) << "one short: over the window, 6 above its edge";
    EXPECT_EQ(place({100, 40 + 150, 800, 400}), (DesktopRect{100, 40 + 156, 800, 168}));

    EXPECT_EQ(place({100, 40 + 206, 800, 400}, true), (DesktopRect{100, 40, 800, 204})) << "Ambisonics: 206 needed";
    EXPECT_EQ(place({100, 40 + 200, 800, 400}, true), (DesktopRect{100, 40 + 206, 800, 204}));
}

TEST(HUDPlacement, MovesEdgesOutwardToWholePoints) {
    // x 100.4 .. 800.6, bottom 130.6 .. top 298.6
    EXPECT_EQ(place({100.4, 300.6, 700.2, 400}), (DesktopRect{100, 130, 701, 169}));
}

TEST(HUDPlacement, UsesTheFirstScreenTheWindowMeetsElseTheMainOne) {
    const HUDController::Screen right{{1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}};
    const auto onRight = HUDController::placement({3000, 500, 500, 300}, false, {kScreen, right}, kScreen);
    EXPECT_EQ(onRight, (DesktopRect{2600, 330, 600, 168})) << "kept on the second screen";
    const auto between = HUDController::placement({1800, 500, 300, 300}, false, {kScreen, right}, kScreen);
    EXPECT_EQ(between, (DesktopRect{1320, 330, 600, 168})) << "the first screen in the list that it meets";
    const auto nowhere = HUDController::placement({5000, 500, 500, 300}, false, {kScreen, right}, right);
    EXPECT_EQ(nowhere, (DesktopRect{2600, 330, 600, 168})) << "off every screen: the main one";
    EXPECT_FALSE(HUDController::placement({5000, 500, 500, 300}, false, {kScreen}, std::nullopt))
        << "no screen at all";
}

namespace {

// The panel's frame the controller should give, in the toolkit's top-left
// coordinates.
QRect expectedFrame(const DesktopRect& window, bool ambisonic) {
    std::optional<HUDController::Screen> main;
    const auto screens = HUDController::currentScreens(&main);
    const auto frame = HUDController::placement(window, ambisonic, screens, main).value();
    const double height = main->frame.y + main->frame.height;
    return QRect(int(frame.x), int(height - frame.y - frame.height), int(frame.width), int(frame.height));
}

}  // namespace

TEST(HUDController, ShowsFollowsAndHidesWithTheFileManager) {
    HUDController controller;
    HUDPanel& panel = controller.panel();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(panel.size(), QSize(720, 170));

    const DesktopRect window{60, 300, 500, 250};
    controller.update(true, window);
    ASSERT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.geometry(), expectedFrame(window, false));

    controller.update(false, std::nullopt);
    EXPECT_FALSE(panel.isVisible()) << "another application came to the front";
    controller.update(true, std::nullopt);
    EXPECT_FALSE(panel.isVisible()) << "the file manager has no window that counts";

    controller.update(true, window);
    controller.update(false, DesktopRect{0, 0, 10, 10});
    controller.setEnabled(false);
    controller.update(true, std::nullopt);
    controller.update(false, std::nullopt);
    EXPECT_FALSE(panel.isVisible());
}

TEST(HUDController, TheSettingHidesAtOnceAndShowsAgainAtTheLastFrame) {
    HUDController controller;
    const DesktopRect window{60, 300, 700, 250};
    controller.update(true, window);
    controller.update(false, std::nullopt);
    controller.update(true, std::nullopt);
    controller.update(false, DesktopRect{999, 999, 10, 10});  // not stored while inactive
    controller.setEnabled(false);
    EXPECT_FALSE(controller.enabled());
    controller.update(true, window);
    EXPECT_FALSE(controller.panel().isVisible()) << "off stays off";
    controller.setEnabled(true);
    ASSERT_TRUE(controller.panel().isVisible());
    EXPECT_EQ(controller.panel().geometry(), expectedFrame(window, false));
}

TEST(HUDController, GrowsForAnAmbisonicsFileOncePlayerChangesAreMade) {
    HUDController controller;
    bool ambisonic = false;
    controller.setIsAmbisonic([&] { return ambisonic; });
    const DesktopRect window{60, 400, 700, 250};
    controller.update(true, window);
    EXPECT_EQ(controller.panel().height(), 168);

    ambisonic = true;
    controller.playerChanged();
    EXPECT_EQ(controller.panel().height(), 168) << "the change is announced before it is made";
    QCoreApplication::processEvents();
    EXPECT_EQ(controller.panel().geometry(), expectedFrame(window, true));
    EXPECT_EQ(controller.panel().height(), 204);

    controller.setIsAmbisonic({});
    controller.playerChanged();
    QCoreApplication::processEvents();
    EXPECT_EQ(controller.panel().height(), 168) << "no query: not Ambisonics";
}

TEST(HUDPanel, HostsItsContentInsideTheMargins) {
    HUDPanel panel;
    auto* content = new QWidget;
    panel.setContent(content);
    panel.resize(720, 170);
    panel.present();
    QCoreApplication::processEvents();
    EXPECT_EQ(content->geometry(), QRect(12, 9, 720 - 24, 170 - 18));
    EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(panel.testAttribute(Qt::WA_ShowWithoutActivating));

    QPointer<QWidget> old = content;
    panel.setContent(new QWidget);
    EXPECT_TRUE(old.isNull()) << "the replaced content goes";
}

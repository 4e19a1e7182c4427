// The X11 desktop against a real window manager (openbox under Xvfb), with
// Thunar and a plain second window as clients.
#include "platform/desktop/DesktopWindows.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/DesktopSession.h"

using namespace qm;
using test::sharedDesktopSession;

namespace {

class DesktopWindowsDesktop : public testing::Test {
protected:
    void SetUp() override {
        auto& session = sharedDesktopSession();
        ASSERT_TRUE(session.ok()) << session.failure();
        // Before Thunar starts: a file made while it sets up its folder
        // monitor may never be shown.
        test::writeBytes(folder_ / "a.txt", "a");
        ASSERT_GT(session.startThunar(folder_.path()), 0) << session.failure();
        windows_ = makeX11DesktopWindows();
        ASSERT_TRUE(windows_->available());
        handler_ = windows_->addHandler([this](const DesktopEvent& event) { events_.push_back(event); });
    }

    bool sawEvent(DesktopEvent::Kind kind, WindowId window = 0) {
        return std::any_of(events_.begin(), events_.end(), [&](const DesktopEvent& e) {
            return e.kind == kind && (window == 0 || e.window == window);
        });
    }

    bool waitForEvent(DesktopEvent::Kind kind, WindowId window = 0) {
        return test::waitUntil([&] { return sawEvent(kind, window); }, 15, [&] { windows_->dispatchEvents(); });
    }

    test::TempDir folder_;
    std::unique_ptr<DesktopWindows> windows_;
    std::vector<DesktopEvent> events_;
    int handler_ = 0;
};

}  // namespace

TEST_F(DesktopWindowsDesktop, DescribesTheFileManagersWindowAsTheWindowManagerShowsIt) {
    auto& session = sharedDesktopSession();
    const WindowId thunar = session.thunarWindow();
    EXPECT_EQ(windows_->activeWindow(), thunar);
    const auto clients = windows_->clients();
    EXPECT_NE(std::find(clients.begin(), clients.end(), thunar), clients.end());

    const auto info = windows_->info(thunar);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->identity.pid, session.thunarPid());
    EXPECT_EQ(info->identity.instance, "thunar");
    EXPECT_EQ(info->identity.windowClass, "Thunar");
    EXPECT_TRUE(info->identity.normal);
    EXPECT_TRUE(info->onScreen);
    EXPECT_FALSE(info->opacity) << "no opacity set: visible";
    EXPECT_EQ(info->title, folder_.path().string() + " - Thunar");

    ASSERT_TRUE(session.xdotool({"windowmove", "--sync", std::to_string(thunar), "150", "120"}));
    ASSERT_TRUE(waitForEvent(DesktopEvent::Kind::windowChanged, thunar));
    ASSERT_TRUE(session.xdotool({"windowsize", "--sync", std::to_string(thunar), "700", "450"}));
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto frame = session.frameOf(thunar);
            const auto now = windows_->info(thunar);
            return frame && now && now->frame == DesktopRect{double(frame->x), double(frame->y),
                                                             double(frame->width), double(frame->height)};
        },
        15, [&] { windows_->dispatchEvents(); }))
        << "the frame includes the manager's decorations, as xwininfo sees the frame window";
    const auto frame = session.frameOf(thunar);
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->width, 700) << "decorations";
    EXPECT_GT(frame->height, 450);

    EXPECT_EQ(windows_->primaryScreenHeight(), session.screenHeight());
}

TEST_F(DesktopWindowsDesktop, FollowsActivationStackingOpacityAndVanishedWindows) {
    auto& session = sharedDesktopSession();
    const WindowId thunar = session.thunarWindow();
    const WindowId other = session.openOtherWindow(300, 200);
    ASSERT_NE(other, 0u);
    ASSERT_TRUE(waitForEvent(DesktopEvent::Kind::activeWindowChanged));
    EXPECT_EQ(windows_->activeWindow(), other);
    const auto stack = windows_->clientsFrontToBack();
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.front(), other);
    const auto thunarAt = std::find(stack.begin(), stack.end(), thunar);
    EXPECT_NE(thunarAt, stack.end()) << "behind the other window";
    const auto otherIdentity = windows_->identity(other);
    ASSERT_TRUE(otherIdentity);
    EXPECT_EQ(otherIdentity->instance, "qmother");
    EXPECT_NE(otherIdentity->pid, session.thunarPid());

    // An opacity of 10 % as a compositor would read it.
    ASSERT_EQ(session.run({"xprop", "-id", std::to_string(thunar), "-f", "_NET_WM_WINDOW_OPACITY", "32c", "-set",
                           "_NET_WM_WINDOW_OPACITY", std::to_string(0xFFFFFFFFul / 10)}),
              0);
    ASSERT_TRUE(test::waitUntil([&] { return windows_->info(thunar)->opacity.has_value(); }, 10,
                                [&] { windows_->dispatchEvents(); }));
    EXPECT_NEAR(*windows_->info(thunar)->opacity, 0.1, 1e-6);

    session.closeOtherWindow();
    // The server ends a window when it has seen its program go.
    EXPECT_TRUE(test::waitUntil([&] { return !windows_->info(other) && !windows_->identity(other); }, 10,
                                [&] { windows_->dispatchEvents(); }))
        << "a vanished window is not described from the cache";
    ASSERT_TRUE(session.activateThunar());
    EXPECT_TRUE(waitForEvent(DesktopEvent::Kind::clientsChanged));
}

TEST_F(DesktopWindowsDesktop, DialogsAreNotDocumentWindows) {
    auto& session = sharedDesktopSession();
    // One item selected (in a fresh list Down selects the first row), then
    // F2: Thunar's rename dialog. Pressed again while Thunar is still busy
    // reading the folder.
    auto dialog = [&]() -> WindowId {
        for (const WindowId window : windows_->clients()) {
            const auto identity = windows_->identity(window);
            if (window != session.thunarWindow() && identity && identity->pid == session.thunarPid()) return window;
        }
        return 0;
    };
    int attempts = 0;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            if (dialog()) return true;
            if (++attempts % 3 == 0) session.focusFileManagerView();
            session.xdotool({"key", "Down"});
            session.xdotool({"key", "F2"});
            return test::waitUntil([&] { return dialog() != 0; }, 1, [&] { windows_->dispatchEvents(); });
        },
        30));
    const auto identity = windows_->identity(dialog());
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->normal);
    const auto info = windows_->info(dialog());
    ASSERT_TRUE(info);
    EXPECT_NE(info->title.find("Rename"), std::string::npos) << info->title;
    session.xdotool({"key", "Escape"});
}

TEST(WindowListWithoutDisplay, AnswersNothing) {
    auto windows = makeX11DesktopWindows(":9999");
    EXPECT_FALSE(windows->available());
    EXPECT_EQ(windows->activeWindow(), 0u);
    EXPECT_TRUE(windows->clientsFrontToBack().empty());
    EXPECT_FALSE(windows->info(1));
    EXPECT_EQ(windows->eventFd(), -1);
    windows->dispatchEvents();
}

// The running applications and typed keystrokes: over the fake window list
// (what is read and in which order keys go), and against a real window
// manager (openbox under Xvfb) with key-recording clients.
#include "platform/desktop/Workstations.h"

#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/keysym.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "support/DesktopSession.h"
#include "support/FakeDesktop.h"
#include "support/KeyRecorder.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

class WorkstationsOverFakeDesktop : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(proc_ / "41");
        test::writeBytes(proc_ / "41" / "comm", "reaper\n");
        // Mapped in this order: 10, then 20 (in front), then 30 (no pid).
        desktop_.add(10, 41, "REAPER", {});
        desktop_.add(20, 52, "Bystander", {}).identity.instance = "bystander";
        desktop_.add(30, 0, "Logic", {});
        workstations_ = makeDesktopWorkstations(desktop_, proc_.path());
    }

    test::TempDir proc_;
    test::FakeDesktopWindows desktop_;
    std::unique_ptr<Workstations> workstations_;
};

}  // namespace

TEST_F(WorkstationsOverFakeDesktop, ListsClientsInMappingOrderWithTheirOwners) {
    const auto running = workstations_->runningApplications();
    ASSERT_EQ(running.size(), 3u);
    EXPECT_EQ(running[0], (RunningApplication{10, 41, "REAPER", "REAPER", "reaper", "REAPER"}));
    EXPECT_EQ(running[1], (RunningApplication{20, 52, "bystander", "Bystander", "", "Bystander"}))
        << "a pid without a process leaves the name empty";
    EXPECT_EQ(running[2].processName, "") << "no pid, no process to ask";

    EXPECT_FALSE(workstations_->frontmostApplication()) << "no active window";
    desktop_.active = 20;
    EXPECT_EQ(workstations_->frontmostApplication(), running[1]);
    desktop_.active = 99;
    EXPECT_FALSE(workstations_->frontmostApplication()) << "an active window already gone";

    EXPECT_TRUE(workstations_->trusted());
    desktop_.keysAvailable = false;
    EXPECT_FALSE(workstations_->trusted());
}

TEST_F(WorkstationsOverFakeDesktop, TypesModifiersAroundTheKeyOnceTheWindowHasTheKeyboard) {
    const auto reaper = workstations_->runningApplications().front();
    ASSERT_TRUE(workstations_->post(reaper, 11, kKeyFlagCommand | kKeyFlagOption | kKeyFlagControl | kKeyFlagShift));
    EXPECT_EQ(desktop_.activations, std::vector<WindowId>{10});
    EXPECT_EQ(desktop_.active, 10u);
    EXPECT_GE(desktop_.dispatches, 1) << "what the wait read is handed on";
    const std::vector<SyntheticKey> expected{
        {XK_Control_L, true}, {XK_Alt_L, true},    {XK_Super_L, true},   {XK_Shift_L, true},  {XK_b, true},
        {XK_b, false},        {XK_Shift_L, false}, {XK_Super_L, false},  {XK_Alt_L, false},   {XK_Control_L, false},
    };
    EXPECT_EQ(desktop_.typed, expected);

    desktop_.typed.clear();
    ASSERT_TRUE(workstations_->post(reaper, 49, 0));
    EXPECT_EQ(desktop_.typed, (std::vector<SyntheticKey>{{XK_space, true}, {XK_space, false}}));

    desktop_.typed.clear();
    ASSERT_TRUE(workstations_->post(reaper, 10, kKeyFlagShift)) << "a code that types nothing";
    EXPECT_EQ(desktop_.typed, (std::vector<SyntheticKey>{{XK_Shift_L, true}, {XK_Shift_L, false}}));
}

TEST_F(WorkstationsOverFakeDesktop, TypesNothingWhenTheWindowKeepsNoKeyboard) {
    desktop_.active = 20;
    desktop_.refusesFocus.insert(10);
    const auto reaper = workstations_->runningApplications().front();
    EXPECT_FALSE(workstations_->post(reaper, 1, kKeyFlagCommand));
    EXPECT_EQ(desktop_.activations, std::vector<WindowId>{10});
    EXPECT_TRUE(desktop_.typed.empty()) << "cmd+s would have gone to the bystander";
}

TEST(KeyCodes, NameTheKeysOfTheUsLayout) {
    EXPECT_EQ(keysymForKeyCode(0), unsigned(XK_a));
    EXPECT_EQ(keysymForKeyCode(22), unsigned(XK_6));
    EXPECT_EQ(keysymForKeyCode(23), unsigned(XK_5));
    EXPECT_EQ(keysymForKeyCode(36), unsigned(XK_Return));
    EXPECT_EQ(keysymForKeyCode(76), unsigned(XK_KP_Enter));
    EXPECT_EQ(keysymForKeyCode(51), unsigned(XK_BackSpace));
    EXPECT_EQ(keysymForKeyCode(116), unsigned(XK_Prior));
    EXPECT_EQ(keysymForKeyCode(121), unsigned(XK_Next));
    for (const uint16_t none : {10, 52, 127, 128, 65535}) EXPECT_EQ(keysymForKeyCode(none), 0u) << none;
}

TEST(WorkstationsWithoutDisplay, AreNotTrusted) {
    auto windows = makeX11DesktopWindows(":9999");
    auto workstations = makeDesktopWorkstations(*windows);
    EXPECT_FALSE(workstations->trusted());
    EXPECT_TRUE(workstations->runningApplications().empty());
    EXPECT_FALSE(workstations->frontmostApplication());
    EXPECT_FALSE(workstations->post(RunningApplication{1}, 1, 0));
}

namespace {

class WorkstationsDesktop : public testing::Test {
protected:
    void SetUp() override {
        auto& session = test::sharedDesktopSession();
        ASSERT_TRUE(session.ok()) << session.failure();
        windows_ = makeX11DesktopWindows(session.display());
        workstations_ = makeDesktopWorkstations(*windows_);
        ASSERT_TRUE(workstations_->trusted()) << "Xvfb has XTEST";
    }

    const RunningApplication* find(const std::vector<RunningApplication>& list, WindowId window) {
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& a) { return a.window == window; });
        return it == list.end() ? nullptr : &*it;
    }

    // Long enough for a key that was typed to have reached its window.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(int(300 * test::loadScale()))); }

    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<Workstations> workstations_;
};

}  // namespace

TEST_F(WorkstationsDesktop, ListsWindowsWithPidClassAndProcessName) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder first(session, {.instance = "first", .windowClass = "First", .processName = "reaper"});
    test::KeyRecorder second(session, {.instance = "second", .windowClass = "Second", .netWmPid = 0, .x = 400});
    ASSERT_TRUE(first.ok()) << first.failure();
    ASSERT_TRUE(second.ok()) << second.failure();

    const auto running = workstations_->runningApplications();
    const auto* a = find(running, first.window());
    const auto* b = find(running, second.window());
    ASSERT_TRUE(a && b);
    EXPECT_LT(a, b) << "the client list's mapping order";
    EXPECT_EQ(*a, (RunningApplication{first.window(), first.pid(), "first", "First", "reaper", "First"}));
    EXPECT_EQ(b->pid, 0);
    EXPECT_EQ(b->processName, "") << "no _NET_WM_PID: no process to read";

    ASSERT_TRUE(second.activate());
    EXPECT_EQ(workstations_->frontmostApplication(), *b);
}

TEST_F(WorkstationsDesktop, RaisesTheWindowAndTypesIntoItAlone) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder target(session, {.instance = "target"});
    test::KeyRecorder bystander(session, {.instance = "bystander", .x = 500});
    ASSERT_TRUE(target.ok() && bystander.ok()) << target.failure() << bystander.failure();
    ASSERT_TRUE(bystander.activate());

    const auto running = workstations_->runningApplications();
    const auto* application = find(running, target.window());
    ASSERT_TRUE(application);
    ASSERT_TRUE(workstations_->post(*application, 6, kKeyFlagCommand | kKeyFlagShift)) << "cmd+shift+z";
    // The manager announces the active window once the focus has moved.
    EXPECT_TRUE(test::waitUntil([&] { return windows_->activeWindow() == target.window(); }, 10));
    ASSERT_TRUE(target.waitForKeys(6));
    const auto keys = target.keys();
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_TRUE(keys[0].press && keys[0].keysym == "Control_L");
    EXPECT_TRUE(keys[1].press && keys[1].keysym == "Shift_L");
    EXPECT_TRUE(keys[2].press && keys[2].keysym == "z");
    EXPECT_EQ(keys[2].state, unsigned(ShiftMask | ControlMask));
    EXPECT_TRUE(!keys[3].press && keys[3].keysym == "z");
    EXPECT_EQ(keys[3].state, unsigned(ShiftMask | ControlMask));
    EXPECT_TRUE(!keys[4].press && !keys[5].press);
    settle();
    EXPECT_TRUE(bystander.keys().empty());

    // Already in front: typed at once, and the next key finds no modifier
    // left down.
    ASSERT_TRUE(workstations_->post(*application, 49, 0));
    ASSERT_TRUE(target.waitForKeys(8));
    EXPECT_EQ(target.keys()[6].keysym, "space");
    EXPECT_EQ(target.keys()[6].state, 0u);
}

TEST_F(WorkstationsDesktop, AWindowThatTakesNoKeyboardGetsNothingAndNeitherDoesTheFocusedOne) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder refusing(session, {.instance = "refusing", .takesFocus = false});
    test::KeyRecorder bystander(session, {.instance = "bystander", .x = 500});
    ASSERT_TRUE(refusing.ok() && bystander.ok()) << refusing.failure() << bystander.failure();
    ASSERT_TRUE(bystander.activate());

    const auto running = workstations_->runningApplications();
    const auto* application = find(running, refusing.window());
    ASSERT_TRUE(application);
    EXPECT_FALSE(workstations_->post(*application, 7, kKeyFlagCommand)) << "cmd+x";
    settle();
    EXPECT_TRUE(refusing.keys().empty());
    EXPECT_TRUE(bystander.keys().empty());

    // The bystander still has the keyboard: a key typed now lands there, so
    // the silence above was not a deaf recorder.
    ASSERT_TRUE(session.xdotool({"key", "x"}));
    EXPECT_TRUE(bystander.waitForKeys(2));
}

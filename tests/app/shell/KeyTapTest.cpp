// The Space key's decisions, fed by hand: which events go on, which are
// dropped, what each callback hears, and where the tap holds its grab.
#include "app/shell/KeyTap.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/FakeDesktop.h"

using namespace qm;

namespace {

using test::FakeKeyEventTap;

constexpr WindowId kFinder = 10;
constexpr WindowId kOther = 20;

TapEvent space(bool down, unsigned modifiers = 0, bool repeat = false) {
    return {down ? TapEvent::Type::keyDown : TapEvent::Type::keyUp, 65, true, modifiers, repeat, true};
}
TapEvent key(bool down, unsigned code = 38) {
    return {down ? TapEvent::Type::keyDown : TapEvent::Type::keyUp, code, false, 0, false, false};
}
TapEvent leftUp() { return {TapEvent::Type::leftMouseUp, 0, false, 0, false, false}; }

class KeyTapDecisions : public testing::Test {
protected:
    void SetUp() override {
        desktop_.add(kOther, 7, "Xterm", {});
        desktop_.add(kFinder, 5, "Thunar", {});
        keyTap_.spaceHandler = [this](bool repeat) {
            offered_.push_back(repeat);
            return take_;
        };
        keyTap_.finderInput = [this] { ++finderInputs_; };
        ASSERT_TRUE(keyTap_.start());
        desktop_.activate(kFinder);
    }

    test::FakeDesktopWindows desktop_;
    FakeKeyEventTap tap_;
    KeyTap keyTap_{desktop_, tap_};
    bool take_ = true;
    std::vector<bool> offered_;
    int finderInputs_ = 0;
};

}  // namespace

TEST_F(KeyTapDecisions, ATakenSpaceDropsItsPressAndItsReleaseOnly) {
    EXPECT_FALSE(tap_.send(space(true)));
    EXPECT_TRUE(keyTap_.swallowSpaceUp());
    EXPECT_FALSE(tap_.send(space(false)));
    EXPECT_FALSE(keyTap_.swallowSpaceUp());
    EXPECT_TRUE(tap_.send(space(false))) << "one release per dropped press";
    EXPECT_EQ(offered_, std::vector<bool>{false});
    EXPECT_EQ(finderInputs_, 0);
}

TEST_F(KeyTapDecisions, ADeclinedSpaceGoesOnAndCountsAsInput) {
    take_ = false;
    EXPECT_TRUE(tap_.send(space(true)));
    EXPECT_TRUE(tap_.send(space(false)));
    EXPECT_EQ(offered_, std::vector<bool>{false});
    EXPECT_EQ(finderInputs_, 1);

    keyTap_.spaceHandler = nullptr;
    EXPECT_TRUE(tap_.send(space(true))) << "no handler: the file manager has it";
    EXPECT_EQ(finderInputs_, 2);
}

TEST_F(KeyTapDecisions, ModifiedSpaceOtherKeysAndClicksGoOnAndCountAsInput) {
    for (const unsigned modifier : {kTapShift, kTapControl, kTapAlt, kTapSuper}) {
        EXPECT_TRUE(tap_.send(space(true, modifier))) << modifier;
    }
    EXPECT_TRUE(offered_.empty());
    EXPECT_TRUE(tap_.send(key(true)));
    EXPECT_TRUE(tap_.send(key(false))) << "releases are not input";
    EXPECT_TRUE(tap_.send(leftUp()));
    EXPECT_EQ(finderInputs_, 6);
}

TEST_F(KeyTapDecisions, ASpaceTheGrabDidNotHoldIsOnlyInput) {
    TapEvent early = space(true);
    early.grabbed = false;
    EXPECT_TRUE(tap_.send(early));
    EXPECT_TRUE(offered_.empty()) << "it has reached the file manager: playing it too would do both";
    EXPECT_EQ(finderInputs_, 1);
    EXPECT_FALSE(keyTap_.swallowSpaceUp());
}

TEST_F(KeyTapDecisions, RepeatsAreOfferedWithTheirFlag) {
    EXPECT_FALSE(tap_.send(space(true)));
    EXPECT_FALSE(tap_.send(space(true, 0, true)));
    EXPECT_FALSE(tap_.send(space(true, 0, true)));
    EXPECT_FALSE(tap_.send(space(false)));
    EXPECT_EQ(offered_, (std::vector<bool>{false, true, true}));
}

TEST_F(KeyTapDecisions, AnotherApplicationInFrontGetsEverythingAndCallsNothing) {
    desktop_.activate(kOther);
    EXPECT_TRUE(tap_.send(space(true)));
    EXPECT_TRUE(tap_.send(space(false)));
    EXPECT_TRUE(tap_.send(key(true)));
    EXPECT_TRUE(tap_.send(leftUp()));
    EXPECT_TRUE(offered_.empty());
    EXPECT_EQ(finderInputs_, 0);

    desktop_.activate(0);
    EXPECT_TRUE(tap_.send(key(true))) << "no active window at all";
    EXPECT_EQ(finderInputs_, 0);
}

TEST_F(KeyTapDecisions, TheGrabFollowsTheFileManagersActiveWindow) {
    EXPECT_EQ(tap_.grabbed, kFinder);
    desktop_.activate(kOther);
    EXPECT_EQ(tap_.grabbed, 0u);
    desktop_.add(30, 5, "Thunar", {});
    desktop_.activate(30);
    EXPECT_EQ(tap_.grabbed, 30u) << "another window of the file manager";
    EXPECT_EQ(tap_.grabs, (std::vector<WindowId>{kFinder, 0, 30}));
}

TEST_F(KeyTapDecisions, AReleaseAfterTheFileManagerLeftIsNotTakenForALaterOne) {
    EXPECT_FALSE(tap_.send(space(true)));
    desktop_.activate(kOther);
    EXPECT_FALSE(keyTap_.swallowSpaceUp()) << "forgotten when the file manager leaves the front";
    EXPECT_TRUE(tap_.send(space(false)));

    desktop_.activate(kFinder);
    take_ = false;
    EXPECT_TRUE(tap_.send(space(true)));
    EXPECT_TRUE(tap_.send(space(false))) << "the declined press's release reaches the file manager";
}

TEST(KeyTapStart, FailsWithoutATapAndTriesAgainLater) {
    test::FakeDesktopWindows desktop;
    FakeKeyEventTap tap;
    tap.available = false;
    KeyTap keyTap(desktop, tap);
    EXPECT_FALSE(keyTap.start());
    tap.available = true;
    EXPECT_TRUE(keyTap.start());
    EXPECT_TRUE(keyTap.start());
    EXPECT_EQ(tap.starts, 2) << "a running tap is not started twice";
}

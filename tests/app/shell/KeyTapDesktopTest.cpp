// The key tap against a real X server (Xvfb with openbox): a recorder
// window with the file manager's WM_CLASS logs what reaches it, xdotool
// types as a user would. What never arrives is shown by a key typed after
// it that does: the server delivers a window's keys in order.
#include "app/shell/KeyTap.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <X11/X.h>

#include <memory>
#include <string>
#include <vector>

#include "support/DesktopSession.h"
#include "support/KeyRecorder.h"

using namespace qm;

namespace {

std::vector<std::string> named(const std::vector<test::RecordedKey>& keys) {
    std::vector<std::string> names;
    for (const auto& key : keys) names.push_back((key.press ? "+" : "-") + key.keysym);
    return names;
}

class KeyTapDesktop : public testing::Test {
protected:
    void SetUp() override {
        auto& session = test::sharedDesktopSession();
        ASSERT_TRUE(session.ok()) << session.failure();
        windows_ = makeX11DesktopWindows(session.display());
        tap_ = makeKeyTapX11(session.display());
        keyTap_ = std::make_unique<KeyTap>(*windows_, *tap_);
        keyTap_->spaceHandler = [this](bool repeat) {
            offered_.push_back(repeat);
            return take_;
        };
        keyTap_->finderInput = [this] { ++finderInputs_; };
        ASSERT_TRUE(keyTap_->start());
        finder_ = std::make_unique<test::KeyRecorder>(
            session, test::KeyRecorder::Options{.instance = "thunar", .windowClass = "Thunar"});
        ASSERT_TRUE(finder_->ok()) << finder_->failure();
        ASSERT_TRUE(finder_->activate());
        ASSERT_TRUE(test::waitUntil([&] { return tap_->grabWindow() == finder_->window(); }, 10, pump()))
            << "the grab follows the file manager to the front";
    }

    void TearDown() override {
        // Nothing held down leaks into the next test.
        if (test::sharedDesktopSession().ok()) type({"keyup", "space", "shift", "ctrl", "alt"});
    }

    std::function<void()> pump() {
        return [this] {
            windows_->dispatchEvents();
            QCoreApplication::processEvents();
        };
    }

    void type(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(test::sharedDesktopSession().xdotool(arguments, pump()));
    }

    // Types a marker key and waits until it arrived: whatever was typed
    // before it has arrived by then, or never will.
    std::vector<std::string> keysUpToMarker(test::KeyRecorder& recorder) {
        type({"key", "m"});
        test::waitUntil([&] {
            const auto keys = named(recorder.keys());
            return !keys.empty() && keys.back() == "-m";
        }, 10, pump());
        auto keys = named(recorder.keys());
        EXPECT_GE(keys.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(keys.end() - std::min<size_t>(2, keys.size()), keys.end()),
                  (std::vector<std::string>{"+m", "-m"}));
        keys.resize(keys.size() - std::min<size_t>(2, keys.size()));
        return keys;
    }

    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<KeyEventTap> tap_;
    std::unique_ptr<KeyTap> keyTap_;
    std::unique_ptr<test::KeyRecorder> finder_;
    bool take_ = true;
    std::vector<bool> offered_;
    int finderInputs_ = 0;
};

}  // namespace

TEST_F(KeyTapDesktop, ATakenSpaceNeverArrivesADeclinedOneArrivesOnceInOrder) {
    type({"key", "space"});
    EXPECT_TRUE(keysUpToMarker(*finder_).empty());
    EXPECT_EQ(offered_, std::vector<bool>{false});
    EXPECT_EQ(finderInputs_, 1) << "the marker only";

    take_ = false;
    const auto before = finder_->keys().size();
    type({"key", "space"});
    auto keys = keysUpToMarker(*finder_);
    keys.erase(keys.begin(), keys.begin() + static_cast<long>(before));
    EXPECT_EQ(keys, (std::vector<std::string>{"+space", "-space"}));
    EXPECT_EQ(offered_, (std::vector<bool>{false, false}));
    EXPECT_EQ(finderInputs_, 3) << "the declined Space and the two markers";
}

TEST_F(KeyTapDesktop, ModifiedSpaceArrivesAndCapsLockedSpaceIsStillOffered) {
    // openbox keeps Alt+Space for its window menu: Super stands in for Alt,
    // both being modifiers the grab leaves alone.
    type({"key", "shift+space", "ctrl+space", "super+space"});
    const auto keys = keysUpToMarker(*finder_);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "+space"), 3);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "-space"), 3);
    EXPECT_TRUE(offered_.empty());
    EXPECT_GE(finderInputs_, 3 + 1) << "each modified Space (and each modifier) is input";

    type({"key", "Caps_Lock"});
    type({"key", "space"});
    type({"key", "Caps_Lock"});
    EXPECT_EQ(std::count(offered_.begin(), offered_.end(), false), 1);
    const auto after = keysUpToMarker(*finder_);
    EXPECT_EQ(std::count(after.begin(), after.end(), "+space"), 3) << "the locked Space was taken";
}

TEST_F(KeyTapDesktop, AHeldSpaceOffersItsRepeatsFlagged) {
    type({"keydown", "space", "sleep", "1", "keyup", "space"});
    ASSERT_GE(offered_.size(), 2u) << "the server repeats a held key";
    EXPECT_FALSE(offered_.front());
    for (size_t i = 1; i < offered_.size(); ++i) EXPECT_TRUE(offered_[i]) << i;
    EXPECT_TRUE(keysUpToMarker(*finder_).empty());
    EXPECT_FALSE(keyTap_->swallowSpaceUp());
}

TEST_F(KeyTapDesktop, TypingElsewhereCallsNothingAndOnlyReleasesOfTheLeftButtonCount) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder other(session, {.instance = "editor", .windowClass = "Editor", .x = 600});
    ASSERT_TRUE(other.ok()) << other.failure();
    ASSERT_TRUE(other.activate());
    ASSERT_TRUE(test::waitUntil([&] { return tap_->grabWindow() == 0; }, 10, pump()));
    type({"key", "a", "space", "shift+space"});
    auto keys = keysUpToMarker(other);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "+space"), 2);
    EXPECT_TRUE(offered_.empty());
    EXPECT_EQ(finderInputs_, 0);

    ASSERT_TRUE(finder_->activate());
    ASSERT_TRUE(test::waitUntil([&] { return tap_->grabWindow() == finder_->window(); }, 10, pump()));
    const std::string id = std::to_string(finder_->window());
    type({"mousemove", "--window", id, "100", "100"});
    type({"mousedown", "1"});
    test::waitUntil([] { return false; }, 0.2, pump());
    EXPECT_EQ(finderInputs_, 0) << "a press does not count";
    type({"mouseup", "1"});
    EXPECT_TRUE(test::waitUntil([&] { return finderInputs_ == 1; }, 10, pump()));
    type({"click", "3"});
    test::waitUntil([] { return false; }, 0.2, pump());
    EXPECT_EQ(finderInputs_, 1) << "the right button does not count";
}

TEST(KeyTapWithoutDisplay, DoesNotStart) {
    auto tap = makeKeyTapX11(":9999");
    EXPECT_FALSE(tap->start());
    EXPECT_FALSE(tap->started());
    EXPECT_EQ(tap->eventFd(), -1);
}

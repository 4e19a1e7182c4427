// Workstation control: parsing and the choice of workstation over a fake
// list of running applications, and every command typed into key-recording
// stand-ins of the three workstations on a real desktop (openbox, Xvfb).
#include "app/shell/DAWControl.h"

#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/keysym.h>

#include <set>
#include <thread>

#include "platform/desktop/DesktopWindows.h"
#include "support/DesktopSession.h"
#include "support/KeyRecorder.h"

using namespace qm;
using DAW = DAWControl::DAW;
using Keystroke = DAWControl::Keystroke;

namespace {

class FakeWorkstations final : public Workstations {
public:
    struct Post {
        WindowId window = 0;
        uint16_t key = 0;
        uint64_t flags = 0;
        bool operator==(const Post&) const = default;
    };

    bool isTrusted = true;
    std::vector<RunningApplication> running;
    std::optional<RunningApplication> frontmost;
    std::set<WindowId> refusing;
    std::vector<Post> posts;
    int listReads = 0;

    RunningApplication& launch(WindowId window, std::string instance, std::string windowClass,
                               std::string processName = {}) {
        running.push_back({window, int(window), std::move(instance), windowClass, std::move(processName), windowClass});
        return running.back();
    }

    bool trusted() override { return isTrusted; }
    std::vector<RunningApplication> runningApplications() override {
        ++listReads;
        return running;
    }
    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
    bool post(const RunningApplication& application, uint16_t key, uint64_t flags) override {
        if (refusing.contains(application.window)) return false;
        posts.push_back({application.window, key, flags});
        return true;
    }
};

}  // namespace

TEST(DAWControlParse, LastKeyWordDecidesAndModifiersAccumulate) {
    EXPECT_EQ(DAWControl::parse("opt+'"), (Keystroke{39, 0x80000}));
    EXPECT_EQ(DAWControl::parse("CMD+S"), (Keystroke{1, 0x100000}));
    EXPECT_EQ(DAWControl::parse("cmd+shift+z"), (Keystroke{6, 0x120000}));
    EXPECT_EQ(DAWControl::parse("Command+Option+Control+Shift+F12"), (Keystroke{111, 0x1E0000}));
    EXPECT_EQ(DAWControl::parse("s+cmd"), (Keystroke{1, 0x100000})) << "a modifier after the key still counts";
    EXPECT_EQ(DAWControl::parse("x+s"), (Keystroke{1, 0}));
    EXPECT_EQ(DAWControl::parse("++cmd++s+"), (Keystroke{1, 0x100000})) << "empty pieces are dropped";
    EXPECT_EQ(DAWControl::parse("alt+kp*"), (Keystroke{67, 0x80000}));

    EXPECT_FALSE(DAWControl::parse("cmd+shift")) << "modifiers only";
    EXPECT_FALSE(DAWControl::parse("Play")) << "not a key word";
    EXPECT_FALSE(DAWControl::parse(""));
    EXPECT_FALSE(DAWControl::parse("+"));
    EXPECT_FALSE(DAWControl::parse("s+nothing")) << "an unknown last word leaves no key";
    EXPECT_FALSE(DAWControl::parse("cmd+ s")) << "no trimming";
}

TEST(DAWControlTables, EveryCommandHasAKeyForEachWorkstation) {
    EXPECT_EQ(DAWControl::commands().size(), 17u);
    for (const auto& [command, combinations] : DAWControl::commands()) {
        ASSERT_EQ(combinations.size(), 3u) << command;
        for (const auto& [daw, combination] : combinations) {
            EXPECT_TRUE(DAWControl::parse(combination)) << command << " " << DAWControl::rawValue(daw);
        }
    }
    EXPECT_EQ(DAWControl::parse(DAWControl::commands().at("marker").at(DAW::logic)), (Keystroke{39, 0x80000}))
        << "option and the apostrophe";
}

TEST(DAWControlTables, EveryKeyWordTypesTheKeyItNames) {
    // Words of one character type that character (its keysym is its code).
    const std::map<std::string, unsigned long> named{
        {"return", XK_Return}, {"tab", XK_Tab},       {"space", XK_space},       {"delete", XK_BackSpace},
        {"escape", XK_Escape}, {"enter", XK_KP_Enter}, {"kp*", XK_KP_Multiply}, {"kp-", XK_KP_Subtract},
        {"kp0", XK_KP_0},      {"kp1", XK_KP_1},      {"kp2", XK_KP_2},          {"kp3", XK_KP_3},
        {"home", XK_Home},     {"end", XK_End},       {"pageup", XK_Prior},      {"pagedown", XK_Next},
        {"left", XK_Left},     {"right", XK_Right},   {"down", XK_Down},         {"up", XK_Up},
        {"f12", XK_F12},
    };
    EXPECT_EQ(DAWControl::codes().size(), 68u);
    std::set<uint16_t> seen;
    for (const auto& [word, code] : DAWControl::codes()) {
        EXPECT_TRUE(seen.insert(code).second) << "two words for code " << code;
        const unsigned long expected =
            word.size() == 1 ? static_cast<unsigned char>(word[0]) : named.count(word) ? named.at(word) : 0;
        ASSERT_NE(expected, 0u) << word;
        EXPECT_EQ(keysymForKeyCode(code), expected) << word << " (" << code << ")";
    }
}

namespace {

class DAWControlOverFakes : public testing::Test {
protected:
    FakeWorkstations workstations_;
    DAWControl control_{workstations_};
};

}  // namespace

TEST_F(DAWControlOverFakes, RecognisesWorkstationsByClassInstanceOrProcessNameInAnyCase) {
    EXPECT_TRUE(DAWControl::belongs({1, 1, "", "com.avid.ProTools"}, DAW::protools));
    EXPECT_TRUE(DAWControl::belongs({1, 1, "COM.AVID.PROTOOLS", ""}, DAW::protools));
    EXPECT_TRUE(DAWControl::belongs({1, 1, "logic", "Something"}, DAW::logic));
    EXPECT_TRUE(DAWControl::belongs({1, 1, "", "", "REAPER"}, DAW::reaper));
    EXPECT_FALSE(DAWControl::belongs({1, 1, "reaper-helper", "Reaper Helper", "reaper-help"}, DAW::reaper));
    EXPECT_FALSE(DAWControl::belongs({1, 1, "", "", ""}, DAW::reaper)) << "nothing to name it by";
    EXPECT_FALSE(DAWControl::belongs({1, 1, "reaper", "", ""}, DAW::logic));
}

TEST_F(DAWControlOverFakes, AFrontmostWorkstationWinsThenTheSearchOrder) {
    auto protools = workstations_.launch(1, "protools", "Pro Tools");
    auto logic = workstations_.launch(2, "logic", "Logic Pro");
    workstations_.frontmost = logic;
    EXPECT_EQ(control_.runningDAW(DAW::protools), (DAWControl::Found{DAW::logic, logic}));
    EXPECT_EQ(control_.send("marker", "protools"), "marker \u2192 Logic Pro");
    ASSERT_EQ(workstations_.posts.size(), 1u);
    EXPECT_EQ(workstations_.posts[0], (FakeWorkstations::Post{2, 39, 0x80000})) << "logic's own marker key";

    workstations_.running = {};
    auto reaper = workstations_.launch(3, "reaper", "REAPER");
    protools = workstations_.launch(1, "protools", "Pro Tools");
    workstations_.frontmost = RunningApplication{9, 9, "xterm", "XTerm"};
    EXPECT_EQ(control_.runningDAW(std::nullopt), (DAWControl::Found{DAW::protools, protools}))
        << "protools comes first in the order, though reaper is first in the list";
    EXPECT_EQ(control_.runningDAW(DAW::reaper), (DAWControl::Found{DAW::reaper, reaper}));
    workstations_.frontmost.reset();
    EXPECT_EQ(control_.runningDAW(DAW::logic), (DAWControl::Found{DAW::protools, protools}))
        << "the preference first, then the case order";
    EXPECT_EQ(control_.send("play", "cubase"), "play \u2192 Pro Tools") << "an unknown name counts as none";
    EXPECT_EQ(control_.send("play", "Reaper"), "play \u2192 Pro Tools") << "raw values compare exactly";
    EXPECT_EQ(control_.send("play", "reaper"), "play \u2192 REAPER");
}

TEST_F(DAWControlOverFakes, TheFirstWindowOfAWorkstationIsTheOneMeant) {
    workstations_.launch(5, "reaper", "REAPER");
    workstations_.launch(6, "reaper", "REAPER");
    EXPECT_EQ(control_.runningDAW(std::nullopt)->application.window, 5u);
}

TEST_F(DAWControlOverFakes, AnswersWithTheTextsOfEachOutcome) {
    EXPECT_EQ(control_.send("play", std::nullopt), "No supported DAW is running");
    workstations_.launch(3, "reaper", "");
    EXPECT_EQ(control_.send("save", "reaper"), "save \u2192 reaper") << "no localized name: the raw value";
    EXPECT_EQ(workstations_.posts.back(), (FakeWorkstations::Post{3, 1, 0x100000}));
    EXPECT_EQ(control_.send("cmd+shift+k", std::nullopt), "cmd+shift+k \u2192 reaper") << "a raw combination";
    EXPECT_EQ(workstations_.posts.back(), (FakeWorkstations::Post{3, 40, 0x120000}));
    const size_t posted = workstations_.posts.size();
    for (const std::string command : {"cmd+shift", "Play", ""}) {
        EXPECT_EQ(control_.send(command, std::nullopt), "Unknown command " + command);
    }
    EXPECT_EQ(workstations_.posts.size(), posted);

    workstations_.running.front().localizedName = "REAPER";
    workstations_.refusing.insert(3);
    EXPECT_EQ(control_.send("cut", std::nullopt), "Couldn't bring REAPER to the front");
}

TEST_F(DAWControlOverFakes, WithoutTrustNothingElseIsAskedOrTyped) {
    workstations_.isTrusted = false;
    EXPECT_EQ(control_.send("play", std::nullopt), "Quillmarsh needs Accessibility to drive your DAW")
        << "even with no workstation running";
    workstations_.launch(3, "reaper", "REAPER");
    workstations_.frontmost = workstations_.running.front();
    EXPECT_EQ(control_.send("", "nothing"), "Quillmarsh needs Accessibility to drive your DAW");
    EXPECT_EQ(workstations_.listReads, 0);
    EXPECT_TRUE(workstations_.posts.empty());
}

namespace {

// What a combination must arrive as: the key's keysym with the state of
// the modifiers it holds (cmd → Control, opt → Alt, ctrl → Super).
struct Expected {
    std::string keysym;
    unsigned state = 0;
    std::set<std::string> modifiers;
};

Expected expectedFor(const std::string& combination) {
    static const std::map<std::string, std::pair<std::string, unsigned>> modifiers{
        {"cmd", {"Control_L", ControlMask}}, {"opt", {"Alt_L", Mod1Mask}},
        {"ctrl", {"Super_L", Mod4Mask}},     {"shift", {"Shift_L", ShiftMask}}};
    static const std::map<std::string, std::string> keys{
        {"space", "space"},   {"enter", "KP_Enter"},    {"return", "Return"},      {"home", "Home"},
        {"right", "Right"},   {"left", "Left"},         {"]", "bracketright"},     {"[", "bracketleft"},
        {"=", "equal"},       {"-", "minus"},           {"'", "apostrophe"}};
    Expected expected;
    size_t start = 0;
    while (start <= combination.size()) {
        const size_t end = std::min(combination.find('+', start), combination.size());
        const std::string word = combination.substr(start, end - start);
        start = end + 1;
        if (auto m = modifiers.find(word); m != modifiers.end()) {
            expected.modifiers.insert(m->second.first);
            expected.state |= m->second.second;
        } else {
            expected.keysym = keys.count(word) ? keys.at(word) : word;
        }
    }
    return expected;
}

bool isModifier(const std::string& keysym) {
    return keysym == "Control_L" || keysym == "Alt_L" || keysym == "Super_L" || keysym == "Shift_L";
}

// The keys of one keystroke: the modifiers go down before the key and up
// after it, the key goes down then up with the modifiers' state.
void expectKeystroke(const std::vector<test::RecordedKey>& keys, const Expected& expected, const std::string& what) {
    SCOPED_TRACE(what);
    std::vector<test::RecordedKey> main;
    std::set<std::string> pressedBefore, releasedAfter;
    for (const auto& key : keys) {
        if (!isModifier(key.keysym)) {
            main.push_back(key);
        } else if (key.press) {
            EXPECT_TRUE(main.empty()) << key.keysym << " went down after the key";
            pressedBefore.insert(key.keysym);
        } else {
            EXPECT_EQ(main.size(), 2u) << key.keysym << " came up before the key";
            releasedAfter.insert(key.keysym);
        }
    }
    EXPECT_EQ(pressedBefore, expected.modifiers);
    EXPECT_EQ(releasedAfter, expected.modifiers);
    EXPECT_EQ(keys.size(), 2 + 2 * expected.modifiers.size());
    ASSERT_EQ(main.size(), 2u);
    EXPECT_TRUE(main[0].press);
    EXPECT_FALSE(main[1].press);
    for (const auto& key : main) {
        EXPECT_EQ(key.keysym, expected.keysym);
        EXPECT_EQ(key.state, expected.state) << std::hex << key.state;
    }
}

class DAWControlDesktop : public testing::Test {
protected:
    void SetUp() override {
        auto& session = test::sharedDesktopSession();
        ASSERT_TRUE(session.ok()) << session.failure();
        windows_ = makeX11DesktopWindows(session.display());
        workstations_ = makeDesktopWorkstations(*windows_);
        control_ = std::make_unique<DAWControl>(*workstations_);
    }

    // Long enough for a key that was typed to have reached its window.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(int(300 * test::loadScale()))); }

    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<Workstations> workstations_;
    std::unique_ptr<DAWControl> control_;
};

}  // namespace

TEST_F(DAWControlDesktop, EveryCommandReachesEachWorkstationAsItsKeystroke) {
    auto& session = test::sharedDesktopSession();
    // One workstation known by its class, one by its instance, one by its
    // process name; and a program that is none of them.
    test::KeyRecorder protools(session, {.instance = "protools-main", .windowClass = "com.avid.ProTools", .x = 40});
    test::KeyRecorder logic(session, {.instance = "logic", .windowClass = "Logic Pro", .x = 380});
    test::KeyRecorder reaper(session, {.instance = "main", .windowClass = "Main", .processName = "reaper", .x = 720});
    test::KeyRecorder bystander(session, {.instance = "bystander", .windowClass = "Bystander", .x = 1060});
    for (auto* recorder : {&protools, &logic, &reaper, &bystander}) ASSERT_TRUE(recorder->ok()) << recorder->failure();

    const std::pair<DAW, test::KeyRecorder*> targets[] = {
        {DAW::protools, &protools}, {DAW::logic, &logic}, {DAW::reaper, &reaper}};
    const std::map<DAW, std::string> names{
        {DAW::protools, "com.avid.ProTools"}, {DAW::logic, "Logic Pro"}, {DAW::reaper, "Main"}};
    std::map<test::KeyRecorder*, size_t> totals;
    for (const auto& [daw, recorder] : targets) {
        // The first command of each has to bring it to the front.
        ASSERT_TRUE(bystander.activate());
        size_t seen = 0;
        for (const auto& [command, combinations] : DAWControl::commands()) {
            const std::string what = command + " to " + std::string(DAWControl::rawValue(daw));
            const std::string result = control_->send(command, std::string(DAWControl::rawValue(daw)));
            ASSERT_EQ(result, command + " \u2192 " + names.at(daw)) << what;
            const Expected expected = expectedFor(combinations.at(daw));
            const size_t count = 2 + 2 * expected.modifiers.size();
            ASSERT_TRUE(recorder->waitForKeys(seen + count)) << what;
            // Whole keystrokes arrive one after another: wait for the last
            // of this one before the next is typed.
            const auto keys = recorder->keys();
            expectKeystroke({keys.begin() + long(seen), keys.end()}, expected, what);
            seen = keys.size();
        }
        totals[recorder] = seen;
    }
    settle();
    EXPECT_TRUE(bystander.keys().empty());
    for (const auto& [daw, recorder] : targets) {
        EXPECT_EQ(recorder->keys().size(), totals[recorder]) << "nothing went astray between workstations";
    }
}

TEST_F(DAWControlDesktop, AProgramThatIsNoWorkstationGetsNothing) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder bystander(session, {.instance = "bystander", .windowClass = "Bystander"});
    ASSERT_TRUE(bystander.ok()) << bystander.failure();
    ASSERT_TRUE(bystander.activate());
    EXPECT_EQ(control_->send("save", std::nullopt), "No supported DAW is running");
    EXPECT_EQ(control_->send("cmd+s", "reaper"), "No supported DAW is running");
    settle();
    EXPECT_TRUE(bystander.keys().empty());
}

TEST_F(DAWControlDesktop, AWorkstationThatCannotComeToTheFrontGetsNoKeyAndNeitherDoesAnyOther) {
    auto& session = test::sharedDesktopSession();
    test::KeyRecorder reaper(session, {.instance = "reaper", .windowClass = "REAPER", .takesFocus = false});
    test::KeyRecorder bystander(session, {.instance = "bystander", .windowClass = "Bystander", .x = 600});
    ASSERT_TRUE(reaper.ok() && bystander.ok()) << reaper.failure() << bystander.failure();
    ASSERT_TRUE(bystander.activate());

    EXPECT_EQ(control_->send("cut", "reaper"), "Couldn't bring REAPER to the front");
    EXPECT_EQ(control_->send("save", std::nullopt), "Couldn't bring REAPER to the front");
    settle();
    EXPECT_TRUE(reaper.keys().empty());
    EXPECT_TRUE(bystander.keys().empty()) << "cmd+x and cmd+s landed in the program in front";

    // The bystander kept the keyboard, so anything typed would have shown.
    ASSERT_TRUE(session.xdotool({"key", "x"}));
    EXPECT_TRUE(bystander.waitForKeys(2));
}

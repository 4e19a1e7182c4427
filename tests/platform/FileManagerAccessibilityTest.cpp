// Reading the file manager's folder and selection: the pure rules on their
// own, then the AT-SPI layer against a real Thunar on a private desktop.
#include "platform/desktop/FileManagerAccessibility.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "support/DesktopSession.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;
using Outcome = FileManagerAccessibility::Outcome;

TEST(FileManagerFolder, TitlesGiveTheLongestExistingFolderTheyBeginWith) {
    test::TempDir dir;
    fs::create_directories(dir / "x - y");
    fs::create_directories(dir / "x");
    const std::string base = dir.path().string();
    EXPECT_EQ(FileManagerFolder::fromTitle(base + "/x - y - Thunar"), dir / "x - y");
    EXPECT_EQ(FileManagerFolder::fromTitle(base + "/x - Thunar"), dir / "x");
    EXPECT_EQ(FileManagerFolder::fromTitle(base + "/x"), dir / "x");
    EXPECT_FALSE(FileManagerFolder::fromTitle("x - Thunar")) << "a bare folder name says nothing";
    EXPECT_FALSE(FileManagerFolder::fromTitle(base + "/gone - Thunar"));
    EXPECT_FALSE(FileManagerFolder::fromTitle(""));
    test::writeBytes(dir / "file", "f");
    EXPECT_FALSE(FileManagerFolder::fromTitle(base + "/file - Thunar")) << "a file is not a folder";
}

TEST(FileManagerFolder, LocationsArePathsOrLocalFileUris) {
    test::TempDir dir;
    fs::create_directories(dir / "a b%");
    const std::string base = dir.path().string();
    EXPECT_EQ(FileManagerFolder::fromLocation(base + "/a b%/"), dir / "a b%") << "the trailing slash goes";
    EXPECT_EQ(FileManagerFolder::fromLocation("file://" + base + "/a%20b%25"), dir / "a b%");
    EXPECT_EQ(FileManagerFolder::fromLocation("file://localhost" + base + "/a%20b%25/"), dir / "a b%");
    EXPECT_FALSE(FileManagerFolder::fromLocation("file://server" + base + "/a%20b%25"));
    EXPECT_FALSE(FileManagerFolder::fromLocation("file://" + base + "/a%2"));
    EXPECT_FALSE(FileManagerFolder::fromLocation("file://" + base + "/a%00b"));
    EXPECT_FALSE(FileManagerFolder::fromLocation("sftp://host/srv"));
    EXPECT_FALSE(FileManagerFolder::fromLocation("~/Music"));
    EXPECT_FALSE(FileManagerFolder::fromLocation("a b%")) << "relative text while the user types";
}

TEST(FileManagerFolder, PathBarsReadRootFirstOrLeafFirst) {
    test::TempDir dir;
    fs::create_directories(dir / "a" / "b");
    std::vector<std::string> names{""};
    for (const auto& part : dir.path().relative_path()) names.push_back(part.string());
    names.push_back("a");
    names.push_back("b");
    const size_t leaf = names.size() - 1;
    EXPECT_EQ(FileManagerFolder::fromPathBar(names, leaf), dir / "a" / "b");
    EXPECT_EQ(FileManagerFolder::fromPathBar(names, leaf - 1), dir / "a") << "deeper buttons stay after going up";
    EXPECT_EQ(FileManagerFolder::fromPathBar(names, 0), fs::path("/"));
    std::vector<std::string> leafFirst(names.rbegin(), names.rend());
    EXPECT_EQ(FileManagerFolder::fromPathBar(leafFirst, 0), dir / "a" / "b");
    EXPECT_EQ(FileManagerFolder::fromPathBar(leafFirst, 1), dir / "a");
    EXPECT_FALSE(FileManagerFolder::fromPathBar(names, names.size()));
    EXPECT_FALSE(FileManagerFolder::fromPathBar({"a", "b"}, 1)) << "no root button: the path is unknown";
    auto sneaky = names;
    sneaky[leaf] = "../b";
    EXPECT_FALSE(FileManagerFolder::fromPathBar(sneaky, leaf));
    EXPECT_FALSE(FileManagerFolder::fromPathBar({}, 0));
}

TEST(FileManagerFolder, OnlyNamesThatExistBecomePaths) {
    test::TempDir dir;
    test::writeBytes(dir / "x.wav", "x");
    fs::create_directories(dir / "sub");
    const std::string base = dir.path().string();
    EXPECT_EQ(FileManagerFolder::existingPaths(dir.path(), {"x.wav", "4.0 KiB", "sub", "../etc", "", ".", "a/b"}),
              (std::vector<std::string>{base + "/x.wav", base + "/sub/"}));
}

TEST(FileManagerFolder, WindowTitlesNameTheFolderAloneOrBeforeTheProgram) {
    EXPECT_TRUE(FileManagerFolder::titleNames("Music", "Music"));
    EXPECT_TRUE(FileManagerFolder::titleNames("Music \u2014 Dolphin", "Music"));
    EXPECT_TRUE(FileManagerFolder::titleNames("Music - Thunar", "Music"));
    EXPECT_TRUE(FileManagerFolder::titleNames("a - b \u2013 Files", "a - b"));
    EXPECT_FALSE(FileManagerFolder::titleNames("Music2", "Music"));
    EXPECT_FALSE(FileManagerFolder::titleNames("Musi", "Music"));
    EXPECT_FALSE(FileManagerFolder::titleNames("Music", ""));

    // The deepest button the title names is the folder shown.
    const std::vector<std::string> crumbs{"/", "srv", "a", "srv", "b"};
    EXPECT_EQ(FileManagerFolder::currentCrumb(crumbs, "srv \u2014 Dolphin"), 3u);
    EXPECT_EQ(FileManagerFolder::currentCrumb(crumbs, "b"), 4u);
    EXPECT_EQ(FileManagerFolder::currentCrumb(crumbs, "c"), std::nullopt);
}

TEST(FileManagerFolder, PushButtonBarsTryThePlacesTheirFirstButtonMayStandFor) {
    test::TempDir dir;
    const fs::path home = dir / "home";
    fs::create_directories(home / "Music" / "sub");
    fs::create_directories(dir / "media" / "alice");
    const std::string base = dir.path().string();
    std::vector<std::string> fromRoot{"/"};
    for (const auto& part : (home / "Music" / "sub").relative_path()) fromRoot.push_back(part.string());

    // Dolphin: the root first.
    EXPECT_EQ(FileManagerFolder::fromCrumbs(fromRoot, fromRoot.size() - 1, home, "alice"),
              (std::vector<fs::path>{home / "Music" / "sub"}));
    EXPECT_EQ(FileManagerFolder::fromCrumbs(fromRoot, fromRoot.size() - 2, home, "alice"),
              (std::vector<fs::path>{home / "Music"}))
        << "a button deeper than the title's stays after going up";
    // Nautilus: "Home", or the system's name for the root.
    EXPECT_EQ(FileManagerFolder::fromCrumbs({"Home", "Music", "sub"}, 2, home, "alice"),
              (std::vector<fs::path>{home / "Music" / "sub"}));
    auto system = fromRoot;
    system.front() = "Debian GNU/Linux";
    EXPECT_EQ(FileManagerFolder::fromCrumbs(system, system.size() - 1, home, "alice"),
              (std::vector<fs::path>{home / "Music" / "sub"}));
    // A place named like a folder of the home (Dolphin's "Music").
    EXPECT_EQ(FileManagerFolder::fromCrumbs({"Music", "sub"}, 1, home, "alice"),
              (std::vector<fs::path>{home / "Music" / "sub"}));
    // The first button alone: the home and the root both exist.
    EXPECT_EQ(FileManagerFolder::fromCrumbs({"Home"}, 0, home, "alice"), (std::vector<fs::path>{home, "/"}));
    EXPECT_EQ(FileManagerFolder::fromCrumbs({"/"}, 0, home, "alice"), (std::vector<fs::path>{"/"}));
    // Names that are no folder's, or that climb out, give nothing.
    EXPECT_TRUE(FileManagerFolder::fromCrumbs({"Back", "Forward", "Up"}, 2, home, "alice").empty());
    EXPECT_TRUE(FileManagerFolder::fromCrumbs({"Home", "..", "home"}, 2, home, "alice").empty());
    EXPECT_TRUE(FileManagerFolder::fromCrumbs({"Home", "Music"}, 2, home, "alice").empty());
}

TEST(FileManagerFolder, OfSeveralCandidatesTheOneHoldingMostSelectedNamesWins) {
    test::TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    test::writeBytes(dir / "a" / "x.wav", "x");
    test::writeBytes(dir / "b" / "x.wav", "x");
    test::writeBytes(dir / "b" / "y.wav", "x");
    const std::vector<fs::path> both{dir / "a", dir / "b"};
    EXPECT_EQ(FileManagerFolder::holdingMost(both, {"x.wav", "y.wav"}), dir / "b");
    EXPECT_EQ(FileManagerFolder::holdingMost(both, {"x.wav"}), dir / "a") << "the earlier among equals";
    EXPECT_EQ(FileManagerFolder::holdingMost(both, {}), dir / "a");
}

// ---------------------------------------------------------------------------

namespace {

class FileManagerAccessibilityDesktop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session().ok()) << session().failure();
        fs::create_directories(folder_ / "Bar Folder");
        for (const char* name : {"a.txt", "b.wav", "c.WAV", "d e.mp3"}) test::writeBytes(folder_ / name, "x");
        accessibility_ = makeAtspiFileManagerAccessibility();
    }

    void TearDown() override {
        accessibility_.reset();
        session().quitThunar();
    }

    static test::DesktopSession& session() { return test::sharedDesktopSession(); }

    pid_t start(const test::DesktopSession::ThunarOptions& options = {}) {
        const pid_t pid = session().startThunar(folder_.path(), options);
        EXPECT_GT(pid, 0) << session().failure();
        return pid;
    }

    std::string path(const std::string& name) const { return (folder_ / name).string(); }

    // Waits until the selection read is `expected` (outcome ok).
    bool selectionBecomes(pid_t pid, const std::vector<std::string>& expected, size_t limit = 40) {
        FileManagerAccessibility::Selection last;
        const bool held = test::waitUntil(
            [&] {
                last = accessibility_->selection(pid, "", limit);
                return last.outcome == Outcome::ok && last.paths == expected;
            },
            20, [] { g_main_context_iteration(nullptr, FALSE); });
        if (!held) {
            std::string seen;
            for (const auto& p : last.paths) seen += "\n  " + p;
            ADD_FAILURE() << "outcome " << int(last.outcome) << ", paths:" << seen;
        }
        return held;
    }

    bool key(const std::string& keys) { return session().xdotool({"key", keys}); }

    bool selectFirst(pid_t pid, const std::string& first) {
        return session().selectFirstRow([&] { return accessibility_->selection(pid, "", 40).paths; }, first,
                                        [] { g_main_context_iteration(nullptr, FALSE); });
    }

    test::TempDir folder_;
    std::unique_ptr<FileManagerAccessibility> accessibility_;
};

}  // namespace

TEST_F(FileManagerAccessibilityDesktop, ReadsTheSelectionInViewOrderWithTheFolderFromTheTitle) {
    const pid_t pid = start();
    ASSERT_TRUE(selectionBecomes(pid, {}));
    ASSERT_TRUE(selectFirst(pid, path("Bar Folder") + "/"));
    ASSERT_TRUE(key("Down"));
    ASSERT_TRUE(selectionBecomes(pid, {path("a.txt")}));
    ASSERT_TRUE(key("shift+Down"));
    ASSERT_TRUE(selectionBecomes(pid, {path("a.txt"), path("b.wav")}));
    ASSERT_TRUE(key("Home"));
    ASSERT_TRUE(selectionBecomes(pid, {path("Bar Folder") + "/"}));
    ASSERT_TRUE(key("ctrl+a"));
    ASSERT_TRUE(selectionBecomes(pid, {path("Bar Folder") + "/", path("a.txt"), path("b.wav"), path("c.WAV"),
                                       path("d e.mp3")}));
    ASSERT_TRUE(selectionBecomes(pid, {path("Bar Folder") + "/", path("a.txt")}, 2)) << "the first two only";
}

TEST_F(FileManagerAccessibilityDesktop, FindsTheFolderInTheLocationEntryOrThePathBar) {
    test::DesktopSession::ThunarOptions options;
    options.fullPathTitle = false;
    pid_t pid = start(options);
    ASSERT_TRUE(selectFirst(pid, path("Bar Folder") + "/"));
    ASSERT_TRUE(key("Down"));
    ASSERT_TRUE(selectionBecomes(pid, {path("a.txt")}));

    options.locationBar = "ThunarLocationButtons";
    pid = start(options);
    ASSERT_TRUE(selectFirst(pid, path("Bar Folder") + "/"));
    ASSERT_TRUE(key("Down"));
    ASSERT_TRUE(key("Down"));
    ASSERT_TRUE(selectionBecomes(pid, {path("b.wav")}));
}

TEST_F(FileManagerAccessibilityDesktop, GivesTheFirstFortyOfSixtySelectedInOrder) {
    std::vector<std::string> expected;
    for (int i = 1; i <= 60; ++i) {
        const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i) + (i == 45 ? ".wav" : ".txt");
        test::writeBytes(folder_ / name, "x");
        if (i <= 40) expected.push_back(path(name));
    }
    for (const char* name : {"a.txt", "b.wav", "c.WAV", "d e.mp3"}) fs::remove(folder_ / name);
    fs::remove(folder_ / "Bar Folder");
    const pid_t pid = start();
    ASSERT_TRUE(test::waitUntil([&] { return key("ctrl+a") && accessibility_->selection(pid, "", 60).paths.size() == 60; }, 20));
    ASSERT_TRUE(selectionBecomes(pid, expected));
}

TEST_F(FileManagerAccessibilityDesktop, AProcessWithoutTheBridgeIsDeniedAndAHungOneTimesOut) {
    test::DesktopSession::ThunarOptions options;
    options.accessibilityBridge = false;
    pid_t pid = start(options);
    // Refused once it has had the time to join the bus (a few seconds).
    EXPECT_TRUE(test::waitUntil([&] { return accessibility_->selection(pid, "", 40).outcome == Outcome::denied; },
                                20));
    EXPECT_EQ(accessibility_->textFocus(pid).outcome, Outcome::denied);

    pid = start();
    ASSERT_TRUE(selectFirst(pid, path("Bar Folder") + "/"));
    kill(pid, SIGSTOP);
    const auto begin = std::chrono::steady_clock::now();
    const auto hung = accessibility_->selection(pid, "", 40);
    const auto took = std::chrono::steady_clock::now() - begin;
    const auto focus = accessibility_->textFocus(pid);
    kill(pid, SIGCONT);
    EXPECT_EQ(hung.outcome, Outcome::timedOut);
    EXPECT_TRUE(hung.paths.empty());
    EXPECT_EQ(focus.outcome, Outcome::timedOut);
    // One bound, not one per call of the query (a walk makes hundreds).
    EXPECT_LT(took, std::chrono::milliseconds(1000) * test::loadScale())
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    ASSERT_TRUE(key("Down"));
    EXPECT_TRUE(selectionBecomes(pid, {path("a.txt")}));
}

TEST_F(FileManagerAccessibilityDesktop, TellsWhenATextFieldHasTheFocus) {
    const pid_t pid = start();
    std::vector<std::string> events;
    ASSERT_TRUE(accessibility_->observe(pid, [&](const std::string& event) { events.push_back(event); }));
    auto pump = [] { g_main_context_iteration(nullptr, FALSE); };
    auto editingBecomes = [&](bool editing) {
        return test::waitUntil(
            [&] {
                const auto focus = accessibility_->textFocus(pid);
                return focus.outcome == Outcome::ok && focus.editing == editing;
            },
            20, pump);
    };
    ASSERT_TRUE(selectFirst(pid, path("Bar Folder") + "/"));
    EXPECT_TRUE(editingBecomes(false)) << "in the list";
    EXPECT_TRUE(test::waitUntil([&] { return std::count(events.begin(), events.end(), "object:selection-changed") > 0; },
                                20, pump));
    ASSERT_TRUE(key("F2"));
    EXPECT_TRUE(editingBecomes(true)) << "the rename dialog's entry";
    ASSERT_TRUE(key("Escape"));
    EXPECT_TRUE(editingBecomes(false));
    ASSERT_TRUE(key("ctrl+l"));
    EXPECT_TRUE(editingBecomes(true)) << "the location entry";

    // Without events (no observer), the focus is looked for.
    accessibility_->stopObserving();
    auto fresh = makeAtspiFileManagerAccessibility();
    const auto focus = fresh->textFocus(pid);
    EXPECT_EQ(focus.outcome, Outcome::ok);
    EXPECT_TRUE(focus.editing);
}

TEST_F(FileManagerAccessibilityDesktop, IconViewsShowNoReadableSelection) {
    test::DesktopSession::ThunarOptions options;
    options.view = "ThunarIconView";
    const pid_t pid = start(options);
    // Thunar's icon and compact views offer no Selection to the bus: the
    // selection reads as empty there, never as the side pane's.
    ASSERT_TRUE(selectionBecomes(pid, {}));
    ASSERT_TRUE(key("Down"));
    ASSERT_TRUE(key("Down"));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(selectionBecomes(pid, {}));
    }
}

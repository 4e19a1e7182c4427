// The tracker over the real desktop services, following a Thunar driven
// with xdotool on a private desktop (Xvfb, openbox, a session bus).
#include "app/shell/FinderTracker.h"

#include "app/core/EventLoopQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <filesystem>

#include "support/DesktopSession.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

// Times every call the tracker makes into the file manager.
class TimedAccessibility final : public FileManagerAccessibility {
public:
    explicit TimedAccessibility(FileManagerAccessibility& real) : real_(real) {}

    Selection selection(int pid, const std::string& title, size_t limit) override {
        return timed([&] { return real_.selection(pid, title, limit); }, selectionOutcomes);
    }
    TextFocus textFocus(int pid) override {
        return timed([&] { return real_.textFocus(pid); }, focusOutcomes);
    }
    bool observe(int pid, EventHandler handler) override { return real_.observe(pid, std::move(handler)); }
    void stopObserving() override { real_.stopObserving(); }

    std::chrono::nanoseconds longest{0};
    std::vector<Outcome> selectionOutcomes;
    std::vector<Outcome> focusOutcomes;

private:
    template <class F>
    auto timed(F call, std::vector<Outcome>& outcomes) -> decltype(call()) {
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        outcomes.push_back(result.outcome);
        return result;
    }
    FileManagerAccessibility& real_;
};

class FinderTrackerDesktop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session().ok()) << session().failure();
        fs::create_directories(folder_ / "Bar Folder");
        for (const char* name : {"a.txt", "b.wav", "c.WAV", "d e.mp3"}) test::writeBytes(folder_ / name, "x");
        windows_ = makeX11DesktopWindows();
        real_ = makeAtspiFileManagerAccessibility();
        files_ = std::make_unique<TimedAccessibility>(*real_);
    }

    void TearDown() override {
        tracker_.reset();
        session().quitThunar();
        session().closeOtherWindow();
    }

    static test::DesktopSession& session() { return test::sharedDesktopSession(); }

    void startTracker() {
        tracker_ = std::make_unique<FinderTracker>(*windows_, *files_, queue_, [] { return true; });
        tracker_->onSelection = [this](const std::optional<fs::path>& file) { selections_.push_back(file); };
        tracker_->onState = [this](bool active, const std::optional<DesktopRect>& frame) {
            states_.push_back({active, frame});
        };
        tracker_->onAutomationDenied = [this](bool denied) { denials_.push_back(denied); };
        tracker_->start();
    }

    pid_t startThunar(const test::DesktopSession::ThunarOptions& options = {}) {
        const pid_t pid = session().startThunar(folder_.path(), options);
        EXPECT_GT(pid, 0) << session().failure();
        return pid;
    }

    static void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); }

    bool until(const std::function<bool()>& condition, double seconds = 20) {
        return test::waitUntil(condition, seconds, pump);
    }

    // Presses keys, then waits for a new selection report equal to `expected`
    // (pressing again now and then when the keys' effect does not depend on
    // how often they come, as ctrl+a).
    bool keyGives(const std::string& keys, const std::optional<fs::path>& expected, bool again = false) {
        const size_t before = selections_.size();
        if (!session().xdotool({"key", keys})) return false;
        int polls = 0;
        const bool held = until([&] {
            if (again && ++polls % 300 == 0) session().xdotool({"key", keys});
            return selections_.size() > before && selections_.back() == expected;
        });
        if (!held) {
            ADD_FAILURE() << keys << ": " << selections_.size() - before << " reports, last "
                          << (selections_.empty() || !selections_.back() ? "none" : selections_.back()->string());
        }
        return held;
    }

    // xwininfo's frame of the window, in the tracker's bottom-left coordinates.
    std::optional<DesktopRect> expectedFrame() {
        const auto frame = session().frameOf(session().thunarWindow());
        if (!frame) return std::nullopt;
        return DesktopRect{double(frame->x), double(session().screenHeight() - (frame->y + frame->height)),
                           double(frame->width), double(frame->height)};
    }

    // The fresh list's first row (the folder) selected, and reported as no audio file.
    bool selectFirst() {
        const size_t before = selections_.size();
        const pid_t pid = session().thunarPid();
        const std::string first = (folder_ / "Bar Folder").string() + "/";
        FileManagerAccessibility::Selection last;
        if (!session().selectFirstRow(
                [&] {
                    last = real_->selection(pid, "", 40);
                    return last.paths;
                },
                first, pump)) {
            ADD_FAILURE() << "the first row was not selected: outcome " << int(last.outcome) << ", "
                          << last.paths.size() << " paths";
            return false;
        }
        const bool reported = until([&] { return selections_.size() > before && !selections_.back(); });
        if (!reported) ADD_FAILURE() << "no report of the folder: " << selections_.size() - before << " reports";
        return reported;
    }

    struct State {
        bool active;
        std::optional<DesktopRect> frame;
    };

    test::TempDir folder_;
    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<FileManagerAccessibility> real_;
    std::unique_ptr<TimedAccessibility> files_;
    EventLoopQueue queue_;
    std::unique_ptr<FinderTracker> tracker_;
    std::vector<std::optional<fs::path>> selections_;
    std::vector<State> states_;
    std::vector<bool> denials_;
};

}  // namespace

TEST_F(FinderTrackerDesktop, ReportsTheFirstAudioFileOfWhatTheKeysSelect) {
    startThunar();
    startTracker();
    ASSERT_TRUE(until([&] { return !states_.empty() && states_.back().active; }));
    const auto path = [&](const char* name) { return folder_ / name; };
    ASSERT_TRUE(selectFirst()) << "the folder";
    ASSERT_TRUE(keyGives("Down", std::nullopt)) << "a.txt";
    ASSERT_TRUE(keyGives("Down", path("b.wav")));
    ASSERT_TRUE(keyGives("shift+Down", path("b.wav"))) << "b.wav and c.WAV: a new list, the same first audio file";
    ASSERT_TRUE(keyGives("Down", path("d e.mp3")));
    ASSERT_TRUE(keyGives("Home", std::nullopt));
    ASSERT_TRUE(keyGives("ctrl+a", path("b.wav")));
    EXPECT_EQ(tracker_->currentAudio(), path("b.wav"));
    EXPECT_FALSE(tracker_->automationDenied());
}

TEST_F(FinderTrackerDesktop, OfSixtySelectedOnlyTheFirstFortyCount) {
    for (const char* name : {"a.txt", "b.wav", "c.WAV", "d e.mp3"}) fs::remove(folder_ / name);
    fs::remove(folder_ / "Bar Folder");
    for (int i = 1; i <= 60; ++i) {
        test::writeBytes(folder_ / ((i < 10 ? "f0" : "f") + std::to_string(i) + (i == 45 ? ".wav" : ".txt")), "x");
    }
    startThunar();
    startTracker();
    ASSERT_TRUE(until([&] { return !states_.empty() && states_.back().active; }));
    // The list changes (a report comes), but its audio file is the 45th.
    ASSERT_TRUE(keyGives("ctrl+a", std::nullopt, true));
    EXPECT_FALSE(tracker_->currentAudio());
}

TEST_F(FinderTrackerDesktop, FollowsTheWindowAsItMovesAndKeepsItsFrameWhenLeft) {
    startThunar();
    startTracker();
    ASSERT_TRUE(until([&] { return !states_.empty() && states_.back().active && states_.back().frame; }));
    const std::string window = std::to_string(session().thunarWindow());
    auto reportsXwininfosFrame = [&] {
        return until([&] {
            const auto expected = expectedFrame();
            return expected && states_.back().active && states_.back().frame == expected;
        });
    };
    EXPECT_TRUE(reportsXwininfosFrame());
    ASSERT_TRUE(session().xdotool({"windowmove", "--sync", window, "230", "140"}));
    EXPECT_TRUE(reportsXwininfosFrame()) << "moved";
    ASSERT_TRUE(session().xdotool({"windowsize", "--sync", window, "720", "460"}));
    EXPECT_TRUE(reportsXwininfosFrame()) << "resized";
    const auto last = states_.back().frame;
    ASSERT_TRUE(last);
    EXPECT_EQ(last->width, expectedFrame()->width);

    ASSERT_NE(session().openOtherWindow(), 0u);
    ASSERT_TRUE(until([&] { return !states_.back().active; }));
    EXPECT_EQ(states_.back().frame, last) << "the last frame";
    EXPECT_FALSE(tracker_->finderActive());

    ASSERT_TRUE(session().activateThunar());
    ASSERT_TRUE(until([&] { return states_.back().active; }));
    EXPECT_EQ(states_.back().frame, last);
}

TEST_F(FinderTrackerDesktop, AFileManagerOffTheBusIsDeniedUntilOneOnItAnswers) {
    test::DesktopSession::ThunarOptions options;
    options.accessibilityBridge = false;
    startThunar(options);
    startTracker();
    ASSERT_TRUE(until([&] { return denials_ == std::vector<bool>{true}; }));
    EXPECT_TRUE(tracker_->automationDenied());
    startThunar();
    ASSERT_TRUE(until([&] { return denials_ == std::vector<bool>{true, false}; })) << [&] {
        std::string text = "outcomes:";
        for (auto o : files_->selectionOutcomes) text += " " + std::to_string(int(o));
        text += " states:";
        for (auto s : states_) text += s.active ? " on" : " off";
        return text;
    }();
    EXPECT_FALSE(tracker_->automationDenied());
    ASSERT_TRUE(selectFirst());
}

TEST_F(FinderTrackerDesktop, KnowsWhenTheUserTypesInTheFileManager) {
    startThunar();
    startTracker();
    ASSERT_TRUE(selectFirst());
    auto editing = [&](bool expected) { return until([&] { return tracker_->isEditingText() == expected; }); };
    EXPECT_TRUE(editing(false)) << "in the list";
    ASSERT_TRUE(session().xdotool({"key", "F2"}));
    EXPECT_TRUE(editing(true)) << "the rename dialog";
    ASSERT_TRUE(session().xdotool({"key", "Escape"}));
    EXPECT_TRUE(editing(false)) << "back in the list";
    ASSERT_TRUE(session().xdotool({"key", "ctrl+l"}));
    EXPECT_TRUE(editing(true)) << "the location entry";
}

TEST_F(FinderTrackerDesktop, AStoppedFileManagerNeverHoldsTheMainThreadLong) {
    const pid_t pid = startThunar();
    startTracker();
    ASSERT_TRUE(selectFirst());

    // A 10 ms timer on the main thread while Thunar is stopped for 10 s.
    QElapsedTimer clock;
    qint64 previous = 0;
    qint64 latest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        latest = std::max(latest, now - previous - 10);
        previous = now;
    });
    const size_t queriesBefore = files_->selectionOutcomes.size();
    files_->longest = {};
    kill(pid, SIGSTOP);
    clock.start();
    ticker.start(10);
    bool askedFocus = false;
    while (clock.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!askedFocus && clock.elapsed() > 3000) {
            // What the Space key asks while the file manager is stopped.
            askedFocus = true;
            EXPECT_FALSE(tracker_->isEditingText());
        }
    }
    ticker.stop();
    kill(pid, SIGCONT);

    std::vector<FileManagerAccessibility::Outcome> during(files_->selectionOutcomes.begin() + long(queriesBefore),
                                                          files_->selectionOutcomes.end());
    const long timedOut = std::count(during.begin(), during.end(), FileManagerAccessibility::Outcome::timedOut);
    EXPECT_GE(timedOut, 1);
    EXPECT_LE(during.size(), 8u) << "after a time-out the process is left alone for 2 s";
    const auto longest = std::chrono::duration_cast<std::chrono::milliseconds>(files_->longest).count();
    std::cout << "stopped 10 s: " << during.size() << " queries (" << timedOut << " timed out), longest call "
              << longest << " ms, 10 ms timer at most " << latest << " ms late\n";
    EXPECT_LE(longest, 200 * test::loadScale());
    EXPECT_LE(latest, 200 * test::loadScale());

    // Running again: selections come as before.
    ASSERT_TRUE(keyGives("Down", std::nullopt));
    ASSERT_TRUE(keyGives("Down", folder_ / "b.wav"));
}

// The tracker's rules over a hand-made desktop and file manager, with the
// main queue's clock moved by hand.
#include "app/shell/FinderTracker.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "support/FakeDesktop.h"

using namespace qm;
using Outcome = FileManagerAccessibility::Outcome;
using ListedWindow = FinderTracker::ListedWindow;

TEST(FinderTrackerFrame, TakesTheFirstDocumentWindowBigAndOpaqueEnoughAndConvertsIt) {
    const int finder = 42;
    auto window = [&](double w, double h, std::optional<double> alpha = std::nullopt, int pid = 42, int layer = 0) {
        return ListedWindow{pid, layer, DesktopRect{10, 100, w, h}, alpha};
    };
    // 299 wide is never the front window: the next qualifying one is.
    auto frame = FinderTracker::frontWindowFrame({window(299, 400), window(640, 400)}, finder, 1080);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, (DesktopRect{10, 580, 640, 400})) << "y 100, height 400 on 1080 gives 580";
    EXPECT_EQ(FinderTracker::frontWindowFrame({window(300, 149), window(300, 150)}, finder, 1080)->height, 150);
    // Alpha: missing or not a number counts as visible; 0.1 does not.
    EXPECT_TRUE(FinderTracker::frontWindowFrame({window(640, 400)}, finder, 1080));
    EXPECT_TRUE(FinderTracker::frontWindowFrame({window(640, 400, std::nan(""))}, finder, 1080));
    EXPECT_FALSE(FinderTracker::frontWindowFrame({window(640, 400, 0.1)}, finder, 1080));
    EXPECT_TRUE(FinderTracker::frontWindowFrame({window(640, 400, 0.11)}, finder, 1080));
    // Other processes and other layers (dialogs, desktop elements) are skipped.
    EXPECT_FALSE(FinderTracker::frontWindowFrame({window(640, 400, {}, 7)}, finder, 1080));
    EXPECT_FALSE(FinderTracker::frontWindowFrame({window(640, 400, {}, 42, 1)}, finder, 1080));
    EXPECT_FALSE(FinderTracker::frontWindowFrame({}, finder, 1080));
}

TEST(FinderTrackerNames, KnowsTheFileManagersByEitherClassNameInAnyCase) {
    using fileManagers::Kind;
    for (const auto& [name, kind] : std::vector<std::pair<const char*, Kind>>{
             {"thunar", Kind::thunar}, {"Thunar", Kind::thunar}, {"pcmanfm", Kind::pcmanfm},
             {"pcmanfm-qt", Kind::pcmanfmQt}, {"org.gnome.Nautilus", Kind::nautilus}, {"nautilus", Kind::nautilus},
             {"Nemo", Kind::nemo}, {"caja", Kind::caja}, {"dolphin", Kind::dolphin}}) {
        EXPECT_TRUE(FinderTracker::isFinder({1, "x", name, true})) << name;
        EXPECT_TRUE(FinderTracker::isFinder({1, name, "X", true})) << name;
        EXPECT_EQ(fileManagers::of({1, "x", name, true}), kind) << name;
        EXPECT_EQ(fileManagers::of({1, name, "X", true}), kind) << name;
    }
    EXPECT_FALSE(FinderTracker::isFinder({1, "xterm", "XTerm", true}));
    EXPECT_FALSE(FinderTracker::isFinder({1, "thunar-settings", "Thunar-settings", true}));
}

// The banner tells the user to run these: each program, as Debian ships
// it, lists the option in its own help.
TEST(FinderTrackerNames, EachQuitCommandIsAnOptionOfItsProgram) {
    int commands = 0;
    for (const fileManagers::Kind kind : fileManagers::all()) {
        const auto quit = fileManagers::quitCommand(kind);
        if (!quit) continue;
        ++commands;
        const QStringList words = QString::fromStdString(*quit).split(QLatin1Char(' '));
        ASSERT_EQ(words.size(), 2) << *quit;
        const QString program = QStandardPaths::findExecutable(words[0]);
        ASSERT_FALSE(program.isEmpty()) << words[0].toStdString() << " is not installed (scripts/setup.sh installs it)";
        QProcess help;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        help.setProcessEnvironment(environment);
        help.setProcessChannelMode(QProcess::MergedChannels);
        help.start(program, {QStringLiteral("--help")});
        ASSERT_TRUE(help.waitForFinished(30000)) << *quit;
        const QString text = QString::fromUtf8(help.readAll());
        EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("(^|\\s)") + QRegularExpression::escape(words[1]) +
                                                     QStringLiteral(", --quit\\b"))))
            << *quit << ":\n" << text.toStdString();
    }
    EXPECT_EQ(commands, 5);
}

TEST(FinderTrackerNames, TheFirstAudioFileCountsWhateverTheCaseOfItsExtension) {
    EXPECT_EQ(FinderTracker::firstAudio({"/m/Folder/", "/m/a.txt", "/m/b.WAV", "/m/c.wav"}),
              std::filesystem::path("/m/b.WAV"));
    EXPECT_FALSE(FinderTracker::firstAudio({"/m/x.wav/", "/m/a.txt"})) << "a folder named like audio is a folder";
    EXPECT_FALSE(FinderTracker::firstAudio({}));
}

TEST(FinderTrackerLoop, TheTestsEventLoopIsGlibs) {
    // libatspi delivers its events through GLib's default context only.
    EXPECT_TRUE(FinderTracker::eventLoopRunsGlib());
}

namespace {

constexpr WindowId kThunar = 10;
constexpr WindowId kOther = 20;
constexpr int kThunarPid = 500;

class FinderTrackerTest : public testing::Test {
protected:
    FinderTrackerTest() {
        windows_.add(kOther, 600, "XTerm", {0, 0, 800, 600});
        windows_.add(kThunar, kThunarPid, "Thunar", {100, 100, 800, 400});
        windows_.active = kOther;
        tracker_ = std::make_unique<FinderTracker>(windows_, files_, queue_, [this] { return trusted_; });
        tracker_->onSelection = [this](const std::optional<std::filesystem::path>& file) {
            selections_.push_back(file);
        };
        tracker_->onState = [this](bool active, const std::optional<DesktopRect>& frame) {
            states_.push_back({active, frame});
        };
        tracker_->onAutomationDenied = [this](bool denied) { denials_.push_back(denied); };
    }

    // Thunar frontmost, its first query answered with `paths`.
    void activateThunar(std::vector<std::string> paths = {}) {
        files_.answer = {Outcome::ok, std::move(paths)};
        windows_.activate(kThunar);
        queue_.runDue();
    }

    struct State {
        bool active;
        std::optional<DesktopRect> frame;
    };

    test::FakeDesktopWindows windows_;
    test::FakeFileManagerAccessibility files_;
    ManualMainQueue queue_;
    bool trusted_ = true;
    std::unique_ptr<FinderTracker> tracker_;
    std::vector<std::optional<std::filesystem::path>> selections_;
    std::vector<State> states_;
    std::vector<bool> denials_;
};

}  // namespace

TEST_F(FinderTrackerTest, AsksForFortyItemsSoAnAudioFileFurtherDownIsNotFound) {
    tracker_->start();
    std::vector<std::string> fifty;
    for (int i = 1; i <= 50; ++i) fifty.push_back("/m/" + std::to_string(i) + (i == 45 ? ".wav" : ".txt"));
    activateThunar(fifty);
    EXPECT_EQ(files_.lastLimit, 40u);
    ASSERT_EQ(selections_.size(), 1u);
    EXPECT_FALSE(selections_[0]);
    EXPECT_FALSE(tracker_->currentAudio());
}

TEST_F(FinderTrackerTest, ReportsTheFirstAudioFileOnlyWhenTheListChanges) {
    tracker_->start();
    activateThunar({"/m/Folder/", "/m/b.WAV"});
    ASSERT_EQ(selections_.size(), 1u);
    EXPECT_EQ(selections_[0], std::filesystem::path("/m/b.WAV"));
    EXPECT_EQ(tracker_->currentAudio(), std::filesystem::path("/m/b.WAV"));

    // The 0.6 s poll re-reads an unchanged list: no callback.
    const int before = files_.selectionCalls;
    queue_.advance(1.3);
    EXPECT_GE(files_.selectionCalls, before + 2);
    EXPECT_EQ(selections_.size(), 1u);

    // Only folders and other files: none, once, until the list changes again.
    files_.answer.paths = {"/m/Folder/", "/m/notes.txt"};
    queue_.advance(0.6);
    ASSERT_EQ(selections_.size(), 2u);
    EXPECT_FALSE(selections_[1]);
    queue_.advance(3.0);
    EXPECT_EQ(selections_.size(), 2u);
    files_.answer.paths = {};
    queue_.advance(0.6);
    ASSERT_EQ(selections_.size(), 3u) << "an empty selection is reported too";
    EXPECT_FALSE(selections_[2]);
}

TEST_F(FinderTrackerTest, ActivationReportsTheFrameAndDeactivationKeepsTheLastOne) {
    tracker_->start();
    ASSERT_EQ(states_.size(), 1u) << "started with another application in front";
    EXPECT_FALSE(states_[0].active);
    EXPECT_FALSE(states_[0].frame);

    files_.answer = {Outcome::ok, {"/m/a.wav"}};
    windows_.activate(kThunar);
    ASSERT_EQ(states_.size(), 2u);
    EXPECT_TRUE(states_[1].active);
    EXPECT_EQ(states_[1].frame, (DesktopRect{100, 1080 - 500, 800, 400}));
    EXPECT_EQ(files_.selectionCalls, 0) << "the query is scheduled, not run inside the activation";
    queue_.runDue();
    EXPECT_EQ(files_.selectionCalls, 1) << "an immediate query";

    windows_.activate(kOther);
    ASSERT_EQ(states_.size(), 3u);
    EXPECT_FALSE(states_[2].active);
    EXPECT_EQ(states_[2].frame, states_[1].frame) << "the last frame, although unchanged";
    // Stopped polls: neither frames nor selections are read while another
    // application is in front.
    const int reads = windows_.infoReads;
    const int queries = files_.selectionCalls;
    queue_.advance(5.0);
    EXPECT_EQ(windows_.infoReads, reads);
    EXPECT_EQ(files_.selectionCalls, queries);

    // Back, with the same selection: (true, frame), a query, no selection callback.
    windows_.find(kThunar)->frame = {200, 100, 800, 400};
    windows_.activate(kThunar);
    ASSERT_EQ(states_.size(), 4u);
    EXPECT_TRUE(states_[3].active);
    EXPECT_EQ(states_[3].frame, (DesktopRect{200, 580, 800, 400}));
    queue_.runDue();
    EXPECT_EQ(files_.selectionCalls, queries + 1);
    EXPECT_EQ(selections_.size(), 1u);
}

TEST_F(FinderTrackerTest, ReportsMovesOnceAndAlwaysWhenForced) {
    tracker_->start();
    activateThunar();
    const size_t reported = states_.size();
    queue_.advance(0.5);
    EXPECT_EQ(states_.size(), reported) << "an unchanged frame is not reported";
    tracker_->refreshFrame(true);
    ASSERT_EQ(states_.size(), reported + 1);
    EXPECT_EQ(states_.back().frame, states_[reported - 1].frame);

    // Moved: the configure event reports it at once, the poll not again.
    windows_.find(kThunar)->frame = {300, 50, 800, 400};
    windows_.send({DesktopEvent::Kind::windowChanged, kThunar});
    ASSERT_EQ(states_.size(), reported + 2);
    EXPECT_EQ(states_.back().frame, (DesktopRect{300, 630, 800, 400}));
    queue_.advance(0.3);
    EXPECT_EQ(states_.size(), reported + 2);

    // Shrunk below 300 wide: there is no front window any more, reported as none.
    windows_.find(kThunar)->frame.width = 299;
    queue_.advance(0.1);
    ASSERT_EQ(states_.size(), reported + 3);
    EXPECT_TRUE(states_.back().active);
    EXPECT_FALSE(states_.back().frame);
}

TEST_F(FinderTrackerTest, ABurstOfEventsGivesOneQuery) {
    tracker_->start();
    activateThunar({"/m/a.wav"});
    ASSERT_EQ(files_.observedPid, kThunarPid);
    const int before = files_.selectionCalls;
    // 20 events within 30 ms.
    for (int i = 0; i < 20; ++i) {
        if (i > 0) queue_.advance(0.0015);
        files_.fire("object:selection-changed");
    }
    EXPECT_EQ(files_.selectionCalls, before);
    queue_.advance(0.0299);
    EXPECT_EQ(files_.selectionCalls, before) << "0.03 s after the last event, not before";
    queue_.advance(0.0002);
    EXPECT_EQ(files_.selectionCalls, before + 1);
    queue_.advance(0.1);
    EXPECT_EQ(files_.selectionCalls, before + 1);
}

TEST_F(FinderTrackerTest, DeniedIsReportedOnceAndClearedByASuccess) {
    tracker_->start();
    files_.answer = {Outcome::denied, {}};
    windows_.activate(kThunar);
    queue_.runDue();
    EXPECT_EQ(denials_, std::vector<bool>{true});
    EXPECT_TRUE(tracker_->automationDenied());
    EXPECT_EQ(tracker_->deniedFileManager(), fileManagers::Kind::thunar);
    queue_.advance(2.0);
    EXPECT_GE(files_.selectionCalls, 3);
    EXPECT_EQ(denials_, std::vector<bool>{true}) << "repeats are silent";
    EXPECT_TRUE(selections_.empty()) << "the selection is left as it was";

    files_.answer = {Outcome::ok, {"/m/a.wav"}};
    queue_.advance(0.6);
    EXPECT_EQ(denials_, (std::vector<bool>{true, false}));
    EXPECT_FALSE(tracker_->deniedFileManager());
    ASSERT_EQ(selections_.size(), 1u);

    // Another failure (a vanished window) is not a refusal, and leaves the selection.
    files_.answer = {Outcome::denied, {}};
    queue_.advance(0.6);
    files_.answer = {Outcome::failed, {}};
    queue_.advance(0.6);
    EXPECT_EQ(denials_, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(selections_.size(), 1u);
    EXPECT_EQ(tracker_->currentAudio(), std::filesystem::path("/m/a.wav"));
}

// The banner names the file manager that refused: a second one refusing
// after the first is news, though the flag stays up.
TEST_F(FinderTrackerTest, ARefusalNamesTheFileManagerThatRefused) {
    constexpr WindowId kNemo = 30;
    windows_.add(kNemo, 700, "Nemo", {200, 200, 800, 400});
    tracker_->start();
    files_.answer = {Outcome::denied, {}};
    windows_.activate(kThunar);
    queue_.runDue();
    ASSERT_EQ(denials_, std::vector<bool>{true});
    windows_.activate(kNemo);
    queue_.runDue();
    EXPECT_EQ(denials_, (std::vector<bool>{true, true}));
    EXPECT_EQ(tracker_->deniedFileManager(), fileManagers::Kind::nemo);
    queue_.advance(1.2);
    EXPECT_EQ(denials_.size(), 2u) << "repeats are silent";
}

TEST_F(FinderTrackerTest, AHungFileManagerIsLeftAloneForTwoSecondsAfterATimeOut) {
    tracker_->start();
    activateThunar({"/m/a.wav"});
    files_.answer = {Outcome::timedOut, {}};
    files_.focus = {Outcome::timedOut, false};
    queue_.advance(0.6);
    const int queries = files_.selectionCalls;
    // Polls and events keep coming; none reaches the process for 2 s.
    files_.fire("object:selection-changed");
    queue_.advance(1.9);
    EXPECT_EQ(files_.selectionCalls, queries);
    EXPECT_FALSE(tracker_->isEditingText());
    EXPECT_EQ(files_.textFocusCalls, 0);
    EXPECT_TRUE(denials_.empty()) << "a time-out is not a refusal";
    EXPECT_EQ(tracker_->currentAudio(), std::filesystem::path("/m/a.wav"));

    files_.answer = {Outcome::ok, {"/m/b.wav"}};
    queue_.advance(0.7);
    EXPECT_GT(files_.selectionCalls, queries);
    EXPECT_EQ(tracker_->currentAudio(), std::filesystem::path("/m/b.wav"));

    // A time-out of the focus question pauses the queries too.
    EXPECT_FALSE(tracker_->isEditingText());
    EXPECT_EQ(files_.textFocusCalls, 1);
    const int after = files_.selectionCalls;
    queue_.advance(1.9);
    EXPECT_EQ(files_.selectionCalls, after);
}

TEST_F(FinderTrackerTest, TheObserverAndTheFocusQuestionNeedTrust) {
    trusted_ = false;
    tracker_->start();
    activateThunar();
    EXPECT_EQ(files_.observeCalls, 0);
    EXPECT_FALSE(tracker_->isEditingText());
    EXPECT_EQ(files_.textFocusCalls, 0);

    trusted_ = true;
    files_.observeSucceeds = false;
    tracker_->refreshAX();
    EXPECT_EQ(files_.observeCalls, 1);
    // A failed attempt is not repeated for the same process by activations...
    windows_.activate(kOther);
    windows_.activate(kThunar);
    EXPECT_EQ(files_.observeCalls, 1);
    // ...only by refreshAX.
    files_.observeSucceeds = true;
    tracker_->refreshAX();
    EXPECT_EQ(files_.observeCalls, 2);
    EXPECT_EQ(files_.observedPid, kThunarPid);

    files_.focus = {Outcome::ok, true};
    EXPECT_TRUE(tracker_->isEditingText());
    files_.focus = {Outcome::ok, false};
    EXPECT_FALSE(tracker_->isEditingText());
}

TEST_F(FinderTrackerTest, AnotherWindowOfTheFileManagerIsNotANewActivation) {
    tracker_->start();
    activateThunar({"/m/a.wav"});
    windows_.add(11, kThunarPid, "Thunar", {0, 0, 400, 200}).identity.normal = false;  // its rename dialog
    const size_t states = states_.size();
    const int queries = files_.selectionCalls;
    windows_.activate(11);
    EXPECT_EQ(states_.size(), states) << "the frame did not change";
    queue_.advance(0.03);
    EXPECT_EQ(files_.selectionCalls, queries + 1);
    EXPECT_EQ(files_.lastTitle, "Thunar window") << "the document window's title, not the dialog's";
}

TEST_F(FinderTrackerTest, NothingRunsForATrackerThatIsGone) {
    tracker_->start();
    activateThunar();
    files_.fire("object:selection-changed");
    tracker_.reset();
    EXPECT_EQ(files_.observedPid, 0) << "the observer is taken off";
    queue_.advance(5.0);
    windows_.activate(kOther);
    EXPECT_EQ(queue_.pending(), 0u);
}

TEST_F(FinderTrackerTest, AWindowIdGivenToANewProcessIsANewActivation) {
    tracker_->start();
    files_.answer = {Outcome::denied, {}};
    windows_.activate(kThunar);
    queue_.runDue();
    ASSERT_EQ(files_.observedPid, kThunarPid);
    const size_t states = states_.size();
    // The file manager restarted, and the server gave its new window the old id.
    windows_.find(kThunar)->identity.pid = kThunarPid + 1;
    files_.answer = {Outcome::ok, {}};
    windows_.activate(kThunar);
    EXPECT_EQ(states_.size(), states + 1);
    EXPECT_EQ(files_.observedPid, kThunarPid + 1);
    queue_.runDue();
    EXPECT_EQ(denials_, (std::vector<bool>{true, false}));
    // The same window written again changes nothing.
    windows_.activate(kThunar);
    EXPECT_EQ(states_.size(), states + 1);
}

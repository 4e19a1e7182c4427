#include "app/editor/EditorModel.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThreadPool>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "analysis/Signal.h"
#include "app/core/SettingsStore.h"
#include "audio/AudioFileInfo.h"
#include "audio/FrameSource.h"
#include "playback/PlaybackEngine.h"
#include "platform/FileAccess.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/Failures.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

// Runs the event loop (and the engine's main queue) until `cond` holds.
bool waitUntil(const std::function<bool()>& cond, ManualMainQueue* queue = nullptr,
               std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + test::timeout(limit);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (queue) queue->runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return cond();
}

struct Editor {
    test::TempDir dir;
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()))};
    EditorModel model{engine, settings};

    // Opens and waits until loading and the analysis it starts are over.
    void open(const std::filesystem::path& file) {
        model.open(file);
        settle();
    }
    void settle() {
        ASSERT_TRUE(waitUntil([&] { return !model.busy() && !model.analyzing(); }, &queue));
    }
    const EditOps::Channels& samples() const { return *model.doc()->channels; }
    // Makes the stereo profile (Nearfield) the active one, on the first two
    // outputs of `deviceUID`.
    void useStereoProfile(const std::string& deviceUID) {
        settings.update([&](AppSettings& s) {
            auto& nearfield = s.profiles[1];
            nearfield.deviceUID = deviceUID;
            nearfield.outputs = {0, 1};
            s.activeProfileID = nearfield.id;
        });
    }
};

// A stereo piece of drums at 120 BPM in 4/4 with a silent right channel.
test::Planar drumsLeft(double seconds, double rate) {
    auto piece = test::drumPattern({.seconds = seconds, .sampleRate = rate});
    return {piece.samples, std::vector<float>(piece.samples.size(), 0.f)};
}

}  // namespace

TEST(EditorModel, EditsUndoToTheOriginalSamplesAndSaveAsWritesThroughATemporaryFile) {
    Editor e;
    const auto file = e.dir / "Theme.wav";
    test::writeTestFile(file, 2, 20000, 48000);
    e.open(file);
    ASSERT_TRUE(e.model.doc());
    const EditOps::Channels original = e.samples();
    EXPECT_EQ(e.model.viewLength(), 20000);
    EXPECT_FALSE(e.model.doc()->dirty);
    EXPECT_EQ(e.model.peaks().mins[0].size(), 79u);  // ceil(20000 / 256)

    e.model.setSelection(FrameRange{1000, 3000});
    e.model.cut();
    EXPECT_EQ(e.model.doc()->frames(), 18000);
    EXPECT_EQ(e.model.cursor(), 1000);
    EXPECT_FALSE(e.model.selection());
    ASSERT_TRUE(EditOps::clipboard);
    EXPECT_EQ((*EditOps::clipboard)[1][0], original[1][1000]) << "the clipboard holds the frames as they were";

    // Paste without a selection inserts at the cursor and selects the clip;
    // with one it replaces it and the clip starts at the old selection.
    e.model.setCursor(5000);
    e.model.paste();
    EXPECT_EQ(e.model.selection(), (FrameRange{5000, 7000}));
    e.model.setSelection(FrameRange{100, 200});
    e.model.paste();
    EXPECT_EQ(e.model.selection(), (FrameRange{100, 2100}));
    EXPECT_EQ(e.model.doc()->frames(), 21900);

    const int revision = e.model.revision();
    e.model.copy();
    EXPECT_EQ(e.model.revision(), revision);
    EXPECT_EQ(e.model.undoDepth(), 3u);

    e.model.silence();
    e.model.setSelection(FrameRange{500, 10500});
    e.model.trim();
    EXPECT_EQ(e.model.doc()->frames(), 10000);
    EXPECT_EQ(e.model.viewStart(), 0);
    EXPECT_EQ(e.model.viewLength(), 10000);
    EXPECT_EQ(e.model.cursor(), 0);

    for (int i = 0; i < 5; ++i) e.model.undo();
    EXPECT_EQ(e.samples(), original);
    e.model.undo();  // nothing left
    EXPECT_EQ(e.samples(), original);
    e.model.redo();
    EXPECT_EQ(e.model.doc()->frames(), 18000);
    e.model.setSelection(FrameRange{0, 10});
    e.model.deleteSelection();
    EXPECT_EQ(e.model.redoDepth(), 0u) << "a new edit empties the redo stack";
    EXPECT_TRUE(e.model.doc()->dirty);
    e.settle();

    // Save As: the suggested name, the file read back, no temporary left.
    ASSERT_EQ(e.model.saveAsSuggestion(), e.dir / "Theme edit.wav");
    e.model.saveAs(*e.model.saveAsSuggestion());
    EXPECT_EQ(e.model.message(), "Saved Theme edit.wav");
    EXPECT_FALSE(e.model.doc()->dirty);
    EXPECT_EQ(e.model.doc()->url, file);
    const auto back = Signal::readPlanar(e.dir / "Theme edit.wav");
    ASSERT_EQ(back.channels[1].size(), 17990u);
    for (size_t c = 0; c < 2; ++c)
        for (size_t i = 0; i < 17990; ++i) ASSERT_NEAR(back.channels[c][i], e.samples()[c][i], 1e-6);
    EXPECT_EQ(AudioFileInfo::load(e.dir / "Theme edit.wav").bextDescription, "Edited in Quillmarsh from Theme.wav");
    for (auto& f : std::filesystem::directory_iterator(e.dir.path()))
        EXPECT_FALSE(f.path().filename().string().starts_with(".")) << "temporary file left behind";

    // The channel mask follows the detected speakers: [C] 4, [L, R] 3, an
    // Ambisonic file none.
    const auto maskOf = [](const std::filesystem::path& f) {
        const std::string bytes = test::readBytes(f);
        const size_t fmt = bytes.find("fmt ");
        uint32_t mask = 0;
        std::memcpy(&mask, bytes.data() + fmt + 8 + 20, 4);
        return mask;
    };
    EXPECT_EQ(maskOf(e.dir / "Theme edit.wav"), 3u);
    test::writeTestFile(e.dir / "mono.wav", 1, 100, 48000);
    test::writeTestFile(e.dir / "foa.wav", 4, 100, 48000, {test::FileKind::amb});
    for (auto [name, mask] : {std::pair{"mono.wav", 4u}, {"foa.wav", 0u}}) {
        e.open(e.dir / name);
        e.model.saveAs(e.dir / "out.wav");
        EXPECT_EQ(maskOf(e.dir / "out.wav"), mask) << name;
    }
    e.open(file);
    e.model.setSelection(FrameRange{0, 10});
    e.model.silence();

    // A failed Save As leaves the document dirty and says why.
    e.model.saveAs(file / "y.wav");
    EXPECT_TRUE(e.model.doc()->dirty);
    ASSERT_TRUE(e.model.message());
    EXPECT_FALSE(e.model.message()->starts_with("Saved"));
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

// Save As over an existing file keeps its permission bits, a link the user
// names stays a link to the file it leads to, and a failure names the
// user's file rather than a hidden temporary.
TEST(EditorModel, SaveAsKeepsModeAndLinkAndNamesTheFileInErrors) {
    namespace fs = std::filesystem;
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 1, 48000, 48000);
    e.open(e.dir / "a.wav");

    test::writeBytes(e.dir / "shared.wav", "old");
    ASSERT_EQ(::chmod((e.dir / "shared.wav").c_str(), 0640), 0);
    e.model.saveAs(e.dir / "shared.wav");
    EXPECT_EQ(e.model.message(), "Saved shared.wav");
    EXPECT_EQ(fs::status(e.dir / "shared.wav").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(AudioFileInfo::load(e.dir / "shared.wav").frames, 48000);

    fs::create_directories(e.dir / "library");
    test::writeBytes(e.dir / "library/real.wav", "old");
    fs::create_symlink("library/real.wav", e.dir / "link.wav");
    e.model.saveAs(e.dir / "link.wav");
    EXPECT_TRUE(fs::is_symlink(e.dir / "link.wav"));
    EXPECT_EQ(AudioFileInfo::load(e.dir / "library/real.wav").frames, 48000);

    {
        test::FileSizeLimit full(10000);
        e.model.saveAs(e.dir / "full.wav");
    }
    ASSERT_TRUE(e.model.message());
    EXPECT_NE(e.model.message()->find("\"full.wav\""), std::string::npos) << *e.model.message();
    EXPECT_EQ(e.model.message()->find("tmp"), std::string::npos) << *e.model.message();
    EXPECT_FALSE(fs::exists(e.dir / "full.wav"));
    for (auto& f : fs::directory_iterator(e.dir.path()))
        EXPECT_FALSE(f.path().filename().string().starts_with(".")) << "temporary file left behind";
}

TEST(EditorModel, UndoKeepsSixteenStepsWithinItsMemoryBudget) {
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 1, 1000, 48000);
    e.open(e.dir / "a.wav");
    e.model.setSelection(FrameRange{0, 10});
    for (int i = 0; i < 17; ++i) e.model.silence();
    EXPECT_EQ(e.model.undoDepth(), 16u);
    EXPECT_NE(e.model.message().value_or("").find("Undo"), 0u) << "the step limit drops silently";

    // 1000 frames are 4000 bytes: a budget of 10 000 holds two steps.
    e.model.setUndoBudgetBytes(10000);
    e.model.silence();
    EXPECT_EQ(e.model.undoDepth(), 2u);
    EXPECT_EQ(e.model.message(), "Undo memory full: the 14 oldest steps were dropped");
    e.model.setUndoBudgetBytes(100);
    e.model.silence();
    EXPECT_EQ(e.model.undoDepth(), 0u);
    EXPECT_EQ(e.model.message(), "Not enough memory to undo this edit");
}

TEST(EditorModel, RefusedFilesLeaveTheDocumentAsItWas) {
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 2, 4800, 48000);
    e.open(e.dir / "a.wav");
    e.model.setSelection(FrameRange{0, 100});
    e.model.silence();
    // 1800 s at 1 kHz is refused; one frame less opens. Silence: the
    // analysis that follows an open finds no pulse at once.
    const test::Planar silence{std::vector<float>(1'799'999, 0.0f)};
    test::writeTestFile(e.dir / "long.wav", 1, 1'800'000, 1000, {test::FileKind::wav, 8});
    test::writeAudioFile(e.dir / "shorter.wav", silence, 1000, {test::FileKind::wav, 8});
    test::writeBytes(e.dir / "text.wav", "This is not audio at all, just some words.");
    test::writeAudioFile(e.dir / "big.wav", test::staircaseSignal(2, 48000), 48000);

    struct Case {
        std::filesystem::path file;
        uint64_t loadLimit;
        std::string message;
    } cases[] = {
        {e.dir / "long.wav", uint64_t(1) << 40, "Files over 30 minutes don't open in the editor"},
        {e.dir / "big.wav", 48000 * 2 * 4 - 1, "File too large to load"},
        {e.dir / "text.wav", uint64_t(1) << 40, ""},
        {e.dir / "nowhere.wav", uint64_t(1) << 40, ""},
    };
    const auto before = e.model.doc()->channels;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        e.model.setLoadLimitBytes(c.loadLimit);
        e.open(c.file);
        ASSERT_TRUE(e.model.message());
        if (!c.message.empty()) {
            EXPECT_EQ(*e.model.message(), c.message);
        }
        EXPECT_EQ(e.model.message()->find('\n'), std::string::npos);
        EXPECT_EQ(e.model.doc()->url, e.dir / "a.wav");
        EXPECT_EQ(e.model.doc()->channels, before);
        EXPECT_EQ(e.model.undoDepth(), 1u);
        EXPECT_FALSE(e.model.busy());
    }
    e.open(e.dir / "shorter.wav");
    EXPECT_EQ(e.model.doc()->frames(), 1'799'999);
}

TEST(EditorModel, AResultOvertakenByANewerOnePublishesNothing) {
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 2, 48000, 48000);
    test::writeTestFile(e.dir / "b.wav", 1, 24000, 48000);
    e.open(e.dir / "a.wav");

    // Opening B while a slow macro on A runs: A's processed audio must not
    // become B's.
    e.model.setSelection(FrameRange{0, 4800});
    e.model.run(EditorModel::Macro::verbTail);
    EXPECT_EQ(e.model.busy(), "Ringing it out\u2026");
    // Every published document: its file and its undo depth.
    std::vector<std::pair<std::filesystem::path, size_t>> published;
    QObject::connect(&e.model, &EditorModel::docChanged,
                     [&] { published.emplace_back(e.model.doc()->url, e.model.undoDepth()); });
    e.model.open(e.dir / "a.wav");
    e.model.open(e.dir / "b.wav");
    e.settle();
    QThreadPool::globalInstance()->waitForDone();
    e.settle();
    EXPECT_EQ(e.model.doc()->url, e.dir / "b.wav");
    EXPECT_EQ(e.model.undoDepth(), 0u);
    // The macro may still land on A while A is the document; the overtaken
    // load of A never lands.
    for (const auto& [url, depth] : published) EXPECT_FALSE(url == e.dir / "a.wav" && depth == 0);
    EXPECT_EQ(published.back().first, e.dir / "b.wav");
    EXPECT_EQ(e.samples()[0][100], test::staircase(0, 100));
}

TEST(EditorModel, LanesBeyondANewFilesChannelsAreDropped) {
    Editor e;
    test::writeTestFile(e.dir / "quad.wav", 4, 4800, 48000);
    test::writeTestFile(e.dir / "stereo.wav", 2, 4800, 48000);
    e.open(e.dir / "quad.wav");
    e.model.setSolo({3});
    e.model.setMute({1, 2});
    e.model.setScope(std::set<int>{0, 3});
    e.open(e.dir / "stereo.wav");
    EXPECT_EQ(e.model.solo(), std::set<int>{});
    EXPECT_EQ(e.model.mute(), std::set<int>{1});
    EXPECT_EQ(e.model.scope(), std::set<int>{0});

    // The scope picks the lanes an effect works on; none means all lanes.
    struct Case {
        std::optional<std::set<int>> scope;
        bool left, right;
    } cases[] = {{std::nullopt, true, true}, {std::set<int>{1}, false, true}, {std::set<int>{}, false, false}};
    for (const auto& c : cases) {
        e.model.setScope(c.scope);
        const auto before = e.samples();
        e.model.apply("reverse");
        EXPECT_EQ(e.samples()[0] != before[0], c.left);
        EXPECT_EQ(e.samples()[1] != before[1], c.right);
    }
    const int revision = e.model.revision();
    e.model.apply("no-such-effect");
    EXPECT_EQ(e.model.revision(), revision);
}

TEST(EditorModel, ViewWindow) {
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 1, 10000, 48000);
    e.open(e.dir / "a.wav");
    e.model.zoom(1.0, 0, 0);
    e.model.zoom(10000.0 / 3000.0, 5000, 0.5);
    EXPECT_EQ(e.model.viewLength(), 3000);
    e.model.zoom(1.5, 5000, 0.5);
    EXPECT_EQ(e.model.viewLength(), 2000);
    EXPECT_EQ(e.model.viewStart(), 4000);
    for (double bad : {0.0, -1.5, std::nan("")}) e.model.zoom(bad, 5000, 0.5);
    EXPECT_EQ(e.model.viewLength(), 2000) << "a factor that is no magnification changes nothing";
    e.model.scroll(-100000);
    EXPECT_EQ(e.model.viewStart(), 0);
    e.model.scroll(100000);
    EXPECT_EQ(e.model.viewStart(), 8000);
    e.model.zoom(0.01, 9000, 0.5);
    EXPECT_EQ(e.model.viewLength(), 10000) << "zooming out never shows more than the document";
    EXPECT_EQ(e.model.viewStart(), 0);
    e.model.setSelection(FrameRange{2000, 3000});
    e.model.zoomToSelection();
    EXPECT_EQ(e.model.viewStart(), 1950);
    EXPECT_EQ(e.model.viewLength(), 1100);
}

TEST(EditorModel, AnalysisPinsAndTheTempEditBatchBesideTheSourceOrUnderThePullsFolder) {
    Editor e;
    e.settings.update([&](AppSettings& s) { s.pullsFolder = (e.dir / "Pulls").string(); });
    const auto source = e.dir / "src" / "Theme.wav";
    std::filesystem::create_directories(source.parent_path());
    test::writeAudioFile(source, drumsLeft(40, 44100), 44100);
    e.open(source);
    ASSERT_TRUE(e.model.analysis()) << e.model.message().value_or("");
    ASSERT_TRUE(e.model.pins());
    ASSERT_FALSE(e.model.plans().empty());
    EXPECT_NEAR(e.model.analysis()->grid.bpm, 120, 1);

    // Moving pins: the intro end stops one bar before the ending, the loop
    // end stays after the loop start, the ending pushes the music end.
    const auto b = e.model.boundaries();
    const auto at = [&](int64_t bar) { return e.model.frame(bar); };
    const Pins p = *e.model.pins();
    e.model.movePin(PinKind::introEnd, at(p.endingStart));
    EXPECT_EQ(e.model.pins()->introEnd, p.endingStart - 1);
    if (p.loopStart == p.introEnd) {
        EXPECT_EQ(e.model.pins()->loopStart, p.endingStart - 1);
    }
    EXPECT_GT(e.model.pins()->loopEnd, e.model.pins()->loopStart);
    e.model.resetPins();
    e.model.movePin(PinKind::loopEnd, 0);
    EXPECT_EQ(e.model.pins()->loopEnd, p.loopStart + 1);
    e.model.resetPins();
    e.model.movePin(PinKind::endingStart, at(static_cast<int64_t>(b.size()) - 1));
    EXPECT_EQ(e.model.pins()->endingStart, static_cast<int64_t>(b.size()) - 1);
    EXPECT_GE(e.model.pins()->musicEnd, e.model.pins()->endingStart);
    EXPECT_GE(e.model.pins()->finalHit, e.model.pins()->endingStart);
    EXPECT_EQ(e.model.frame(static_cast<int64_t>(b.size())), 0);
    e.model.resetPins();

    // Bars and beats: the last bar selects nothing; snapping reaches 8 points.
    e.model.selectBar(at(1) + 10);
    EXPECT_EQ(e.model.selection(), (FrameRange{at(1), at(2)}));
    e.model.selectBar(at(static_cast<int64_t>(b.size()) - 1));
    EXPECT_EQ(e.model.selection(), (FrameRange{at(1), at(2)}));
    const int64_t beat = std::llround(e.model.analysis()->grid.beats[3] * 44100);
    for (auto [ppf, offset, snaps] : {std::tuple{0.01, 800, true}, {0.01, 801, false}, {1.0, 8, true}, {1.0, 9, false}})
        EXPECT_EQ(e.model.snapFrame(beat + offset, ppf), snaps ? beat : beat + offset) << ppf << " " << offset;

    // Of two analyses started one after the other only the newer publishes.
    QSignalSpy analyses(&e.model, &EditorModel::analysisChanged);
    e.model.setTempo(100);
    e.model.setBeatsPerBar(3);
    e.settle();
    ASSERT_EQ(analyses.count(), 1);
    EXPECT_EQ(e.model.analysis()->grid.beatsPerBar, 3);
    EXPECT_NEAR(e.model.analysis()->grid.bpm, 120, 1) << "the newer one fixed only the meter";
    e.model.analyze(std::nullopt, std::nullopt);
    e.settle();

    QSignalSpy replans(&e.model, &EditorModel::plansChanged);
    e.model.setOptions(e.model.options());
    EXPECT_EQ(replans.count(), 0) << "an equal value does not re-plan";

    // Beside the source while its folder can be written; the folder is shown.
    std::vector<std::filesystem::path> revealed;
    QObject::connect(&e.model, &EditorModel::revealRequested, [&](const auto& items) { revealed = items; });
    e.model.makeTempEdits();
    EXPECT_EQ(e.model.busy(), "Writing edits\u2026");
    e.settle();
    ASSERT_TRUE(e.model.lastExport()) << e.model.message().value_or("");
    const auto beside = source.parent_path() / "Theme Edits";
    EXPECT_EQ(revealed, std::vector{beside});
    EXPECT_EQ(e.model.lastExport()->folder, beside);
    EXPECT_EQ(e.model.lastExport()->files.size(), e.model.plans().size());
    EXPECT_EQ(e.model.message(), std::to_string(e.model.plans().size()) + " edits written");
    for (size_t i = 0; i < e.model.plans().size(); ++i)
        EXPECT_EQ(e.model.lastExport()->files[i], beside / ("Theme - " + e.model.plans()[i].name + ".wav"));
    for (const auto& f : e.model.lastExport()->files) {
        const auto info = AudioFileInfo::load(f);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.detected, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}));
    }
    const std::string notes = test::readBytes(beside / "Theme - Edit Notes.txt");
    EXPECT_TRUE(notes.starts_with("Quillmarsh temp edits: Theme\nSource: " + source.string() + "\nAnalysis: "));
    EXPECT_NE(notes.find("\n\nTheme - " + e.model.plans()[0].name + ".wav    ("), std::string::npos);
    EXPECT_NE(notes.back(), '\n');

    // A folder that cannot be written sends them under the pulls folder.
    FileAccess::setWritableCheck([&](const std::filesystem::path& f) { return f != source.parent_path(); });
    e.model.makeTempEdits();
    e.settle();
    FileAccess::setWritableCheck({});
    EXPECT_EQ(e.model.lastExport()->folder, e.dir / "Pulls" / "Edits" / "Theme Edits");
    EXPECT_TRUE(std::filesystem::exists(e.dir / "Pulls" / "Edits" / "Theme Edits" / "Theme - Edit Notes.txt"));

    // A folder that cannot be made: a message, the last export kept.
    const auto previous = e.model.lastExport();
    e.settings.update([&](AppSettings& s) {
        s.tempEditsBesideSource = false;
        s.pullsFolder = (source).string();  // a file, not a folder
    });
    e.model.makeTempEdits();
    e.settle();
    EXPECT_EQ(e.model.lastExport(), previous);
    EXPECT_TRUE(e.model.message() && e.model.message()->starts_with("Couldn't create the folder"));
    EXPECT_FALSE(e.model.busy());
}

TEST(EditorModel, NotesHeaderAndPinKinds) {
    MusicAnalysis analysis;
    analysis.grid.downbeats = {0, 2, 4, 6, 8};
    analysis.grid.duration = 10;
    analysis.structure.notes = {"Ends on a final hit"};
    Pins pins{0, 2, 2, 5, 6, 8, 8, false};
    auto lines = EditorModel::notesHeader("Theme", "/m/Theme.wav", analysis, pins);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "Source: /m/Theme.wav");
    EXPECT_EQ(lines[3], "Pins: Intro to b2 \u00b7 Loop b3\u2013b5 \u00b7 Ending from b7 \u00b7 music ends at b9");
    EXPECT_EQ(lines[4], "Note: Ends on a final hit");
    pins.loopFile = true;
    EXPECT_EQ(EditorModel::notesHeader("Theme", "/m/Theme.wav", analysis, pins)[3],
              "Pins: seamless loop file (5 bars)");

    EXPECT_EQ(pinKind::fromRawValue("loopEnd"), PinKind::loopEnd);
    EXPECT_FALSE(pinKind::fromRawValue("loopStart"));
}

TEST(EditorModel, PlaysOnTheNullOutputFromWhereTheTransportSays) {
    Editor e;
    test::writeTestFile(e.dir / "a.wav", 2, 192000, 48000);
    e.open(e.dir / "a.wav");
    int willPlay = 0;
    e.model.onWillPlay = [&] { ++willPlay; };

    // The first frame the playhead shows after a start is where it started.
    auto startOf = [&](std::optional<int64_t> from) -> double {
        QSignalSpy frames(e.model.playhead(), &PlayheadModel::frameChanged);
        e.model.play(from);
        EXPECT_TRUE(waitUntil([&] { return e.model.isPlaying(); }, &e.queue));
        const double first = frames.isEmpty() ? -1 : frames.first().first().toDouble();
        e.model.stop();
        return first;
    };
    struct Case {
        const char* what;
        std::optional<FrameRange> selection;
        int64_t cursor;
        bool preRoll;
        std::optional<int64_t> from;
        double start;
    } cases[] = {
        {"cursor", std::nullopt, 1000, false, std::nullopt, 1000},
        {"selection start", FrameRange{5000, 9000}, 1000, false, std::nullopt, 5000},
        {"pre-roll clamped at 0", std::nullopt, 48000, true, std::nullopt, 0},
        {"pre-roll", std::nullopt, 100000, true, std::nullopt, 4000},
        {"given frame without pre-roll", std::nullopt, 0, true, 7000, 7000},
        {"cursor at the end", std::nullopt, 192000, false, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        e.model.setSelection(c.selection);
        e.model.setCursor(c.cursor);
        e.model.setPreRoll(c.preRoll);
        EXPECT_EQ(startOf(c.from), c.start);
    }
    EXPECT_EQ(willPlay, 6);

    // Plays to the end, then stops by itself with the playhead at the cursor.
    e.model.setPreRoll(false);
    e.model.setSelection(FrameRange{0, 4800});
    e.model.setCursor(0);
    e.model.play();
    ASSERT_TRUE(waitUntil([&] { return e.model.isPlaying(); }, &e.queue));
    ASSERT_TRUE(waitUntil([&] { return !e.model.isPlaying(); }, &e.queue, 5s));
    EXPECT_EQ(e.model.playhead()->frame(), 0);

    // Loop playback stays in the selection; without one the whole document loops.
    e.model.setLoopPlayback(true);
    e.model.setSelection(FrameRange{5000, 9000});
    QSignalSpy ticks(e.model.playhead(), &PlayheadModel::frameChanged);
    e.model.play();
    ASSERT_TRUE(waitUntil([&] { return ticks.count() > 15; }, &e.queue, 5s));
    e.model.stop();
    ticks.removeLast();  // the stop's move back to the cursor
    for (const auto& t : ticks) {
        EXPECT_GE(t.first().toDouble(), 5000);
        EXPECT_LT(t.first().toDouble(), 9000);
    }

    // Yielding leaves the playhead where the last tick put it.
    e.model.setSelection(std::nullopt);
    e.model.play();
    ASSERT_TRUE(waitUntil([&] { return e.model.playhead()->frame() > 2000; }, &e.queue, 5s));
    e.model.yield();
    const double held = e.model.playhead()->frame();
    waitUntil([] { return false; }, &e.queue, 100ms);
    EXPECT_FALSE(e.model.isPlaying());
    EXPECT_EQ(e.model.playhead()->frame(), held);
    e.engine.begin({})->stop();  // the player takes the engine and stops

    // Another player's session takes the engine without a yield: the
    // editor lets go at its next tick, and its stop leaves the other's
    // playback alone.
    e.model.play();
    ASSERT_TRUE(waitUntil([&] { return e.model.isPlaying(); }, &e.queue));
    const int64_t len = e.model.doc()->frames();
    auto source = std::make_shared<MemorySource>(e.samples(), 48000);
    auto player = e.engine.begin({.source = [source] { return source; },
                                  .range = {.start = 0, .end = len, .loop = true, .loopStart = 0, .loopEnd = len}});
    player->prepare();
    ASSERT_TRUE(player->start());
    ASSERT_TRUE(waitUntil([&] { return !e.model.isPlaying(); }, &e.queue, 5s));
    e.model.stop();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_TRUE(e.engine.isRunning());
    player->stop();

    // A start overtaken by a stop, or by the player's start (yield), publishes nothing.
    for (auto overtake : {&EditorModel::stop, &EditorModel::yield}) {
        e.model.play();
        (e.model.*overtake)();
        waitUntil([] { return false; }, &e.queue, 200ms);
        EXPECT_FALSE(e.model.isPlaying());
    }
}

TEST(EditorModel, ClickTrackSoundsOnEveryBeatOfTheGridThroughJack) {
    static test::JackServer server;
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestDevice device("qmeditor", 2, 48000 * 20);
    ASSERT_TRUE(device.ok());

    Editor e;
    e.useStereoProfile("jack:qmeditor");
    const double sr = 48000;
    test::writeAudioFile(e.dir / "drums.wav", drumsLeft(12, sr), sr);
    e.open(e.dir / "drums.wav");
    ASSERT_TRUE(e.model.analysis());
    const auto& grid = e.model.analysis()->grid;
    ASSERT_GT(grid.beats.size(), 12u);

    const int64_t start = std::llround(grid.beats[4] * sr) - 2400;
    const int64_t end = start + 3 * 48000;
    std::vector<int64_t> beats;
    std::vector<bool> accents;
    for (double t : grid.beats) {
        const int64_t f = std::llround(t * sr);
        if (f < start || f >= end - 4800) continue;
        beats.push_back(f);
        bool accent = false;
        for (double d : grid.downbeats) accent = accent || std::llabs(std::llround(d * sr) - f) < 480;
        accents.push_back(accent);
    }
    ASSERT_GE(beats.size(), 5u);

    // The drums are on the left lane only. Each way of silencing that lane
    // silences its clicks too, and leaves the click track alone on the right.
    e.model.setClick(true);
    e.model.setSelection(FrameRange{start, end});
    struct Case {
        std::set<int> mute, solo;
    } cases[] = {{{0}, {}}, {{}, {1}}, {{0}, {0, 1}}};
    int judged = 0, disturbed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        e.model.setMute(c.mute);
        e.model.setSolo(c.solo);
        const int64_t from = device.recorded();
        const int64_t missedBefore = e.engine.xruns();
        e.model.play();
        ASSERT_TRUE(waitUntil([&] { return e.model.isPlaying(); }, &e.queue));
        ASSERT_TRUE(waitUntil([&] { return !e.model.isPlaying(); }, &e.queue, 10s));
        std::this_thread::sleep_for(50ms);
        const int64_t to = device.recorded();

        const auto& left = device.channel(0);
        const auto& right = device.channel(1);
        for (int64_t i = from; i < to; ++i) ASSERT_EQ(left[i], 0.f) << "silenced lane at " << i;
        // A cycle the server missed shifts or drops frames at the device
        // (the machine's load, not the model): that run is not judged.
        if (e.engine.xruns() > missedBefore) {
            ++disturbed;
            continue;
        }
        ++judged;
        // Onsets: a sample above the floor after 100 ms of quiet.
        std::vector<int64_t> onsets;
        std::vector<float> peaks;
        int64_t quiet = 4800;
        for (int64_t i = from; i < to; ++i) {
            const float a = std::fabs(right[i]);
            if (a > 1e-3f) {
                if (quiet >= 4800) {
                    onsets.push_back(i);
                    peaks.push_back(0);
                }
                peaks.back() = std::max(peaks.back(), a);
                quiet = 0;
            } else {
                ++quiet;
            }
        }
        ASSERT_GE(onsets.size(), beats.size());
        for (size_t k = 0; k < beats.size(); ++k) {
            EXPECT_NEAR(onsets[k] - onsets[0], beats[k] - beats[0], 2) << "beat " << k;
            EXPECT_EQ(peaks[k] > 0.65f, accents[k]) << "beat " << k << " peak " << peaks[k];
        }
    }
    RecordProperty("runs_with_missed_cycles", std::to_string(disturbed));
    if (judged == 0) GTEST_SKIP() << "the server missed cycles in every run";
}

// The device the editor plays to goes while another of the same server
// stays: playback goes on there from the frame reached, with nothing to say
// (the same system plays); the last one goes too: it goes on, silently, and
// says so. The transport shows what plays at every step.
TEST(EditorModel, GoesOnOnTheNextDeviceOfItsServerFromTheFrameReachedThroughJack) {
    test::JackServer server(48000, 256, 2, 0);  // no playback ports of its own
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    auto lost = std::make_unique<test::JackTestDevice>("qmlost", 2, 48000 * 10);
    auto spare = std::make_unique<test::JackTestDevice>("qmspare", 2, 48000 * 10);
    ASSERT_TRUE(lost->ok() && spare->ok());

    Editor e;
    e.useStereoProfile("jack:qmlost");
    test::writeTestFile(e.dir / "stairs.wav", 2, 48000 * 8, 48000);
    e.open(e.dir / "stairs.wav");
    e.model.setLoopPlayback(true);
    // The playhead at each start, as the transport shows it: the first
    // frame it shows once playing.
    std::vector<double> starts;
    bool started = false;
    QObject::connect(&e.model, &EditorModel::isPlayingChanged, [&] { started = e.model.isPlaying(); });
    QObject::connect(e.model.playhead(), &PlayheadModel::frameChanged, [&](double frame) {
        if (started) starts.push_back(frame);
        started = false;
    });
    e.model.play(1000);
    ASSERT_TRUE(waitUntil([&] { return e.model.isPlaying() && e.model.playhead()->frame() > 20000; }, &e.queue));
    EXPECT_EQ(e.engine.outputDescription(), "JACK: qmlost");
    ASSERT_TRUE(waitUntil([&] { return lost->recorded() > 0; }, &e.queue));
    EXPECT_EQ(spare->firstSoundTime(0), -1) << "nothing on the other device yet";

    // Its device goes: on the other one, from where it was.
    const double reached = e.model.playhead()->frame();
    const size_t before = starts.size();
    lost->close();
    ASSERT_TRUE(waitUntil([&] { return starts.size() > before && e.model.isPlaying(); }, &e.queue, 5s));
    EXPECT_GE(starts.back(), reached);
    EXPECT_LT(starts.back(), reached + 48000) << "not from the cursor or the start";
    EXPECT_EQ(e.engine.outputDescription(), "JACK: qmspare");
    EXPECT_TRUE(waitUntil([&] { return spare->firstSoundTime(0) >= 0; }, &e.queue, 5s)) << "the sound moved there";
    const double later = e.model.playhead()->frame();
    EXPECT_TRUE(waitUntil([&] { return e.model.playhead()->frame() > later + 4800; }, &e.queue, 5s)) << "it plays on";
    EXPECT_FALSE(e.model.message()) << "the same system plays: nothing to say";

    // The last device goes: silently on, and it says so.
    const double reachedAgain = e.model.playhead()->frame();
    spare->close();
    ASSERT_TRUE(waitUntil([&] { return e.model.message().has_value(); }, &e.queue, 5s));
    EXPECT_EQ(*e.model.message(), "Output device changed: Silent output (no sound device)");
    EXPECT_TRUE(e.engine.isSilent());
    ASSERT_TRUE(waitUntil([&] { return e.model.isPlaying(); }, &e.queue, 5s));
    EXPECT_GE(e.model.playhead()->frame(), reachedAgain);
    const double silentAt = e.model.playhead()->frame();
    EXPECT_TRUE(waitUntil([&] { return e.model.playhead()->frame() > silentAt + 4800; }, &e.queue, 5s))
        << "the transport moves on with the silent output";
    e.model.stop();
    EXPECT_FALSE(e.model.isPlaying());
}

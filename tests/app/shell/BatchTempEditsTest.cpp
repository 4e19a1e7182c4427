// Temp edits for many files through the composition root, on generated
// drums (8 s at 120 BPM) in temporary folders: folders per source, masks,
// notes, skips and failures, the messages and the reveal (one file manager
// window a batch).
#include "app/shell/BatchTempEdits.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QUrl>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "app/EventLoopWait.h"
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "app/DBusStandIn.h"
#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/AppModel.h"
#include "audio/AudioFileInfo.h"
#include "edit/TempEditExporter.h"
#include "edit/TempEditPlanner.h"
#include "platform/FileAccess.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 44100;

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 60s) {
    return test::untilEventLoop(condition, limit);
}

// Drums at 120 BPM on every channel.
void writeDrums(const fs::path& file, int channels = 2, double seconds = 8, test::FileKind kind = test::FileKind::wav) {
    const auto piece = test::drumPattern({.seconds = seconds, .sampleRate = kRate});
    test::writeAudioFile(file, test::Planar(channels, piece.samples), kRate, {kind, 24});
}

// The channel mask of a WAVE_FORMAT_EXTENSIBLE file; none for a plain one.
std::optional<uint32_t> channelMask(const fs::path& file) {
    const std::string bytes = test::readBytes(file);
    const auto fmt = bytes.find("fmt ");
    if (fmt == std::string::npos || bytes.size() < fmt + 8 + 24) return std::nullopt;
    const auto size = static_cast<uint8_t>(bytes[fmt + 4]) | static_cast<uint8_t>(bytes[fmt + 5]) << 8;
    if (size < 40) return std::nullopt;
    uint32_t mask = 0;
    for (int i = 3; i >= 0; --i) mask = mask << 8 | static_cast<uint8_t>(bytes[fmt + 8 + 20 + i]);
    return mask;
}

// A file's bytes with the broadcast chunk's origination date and time
// blanked: two writes of one edit a second apart differ only there.
std::string unstamped(const fs::path& file) {
    std::string bytes = test::readBytes(file);
    const auto bext = bytes.find("bext");
    if (bext != std::string::npos && bytes.size() >= bext + 8 + 338) bytes.replace(bext + 8 + 320, 18, 18, '\0');
    return bytes;
}

std::vector<fs::path> wavsIn(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".wav") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

int notesIn(const fs::path& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder)) n += e.path().filename().string().ends_with(" - Edit Notes.txt");
    return n;
}

class BatchTempEditsTest : public testing::Test {
protected:
    void TearDown() override {
        app_.reset();
        FileAccess::setWritableCheck({});
    }

    void make(std::unique_ptr<FileReveal> workspace = nullptr) {
        AppPlatform p = pieces_.platform(dir_.path());
        if (workspace) p.workspace = std::move(workspace);
        app_ = std::make_unique<AppModel>(std::move(p));
        app_->settings().update([&](AppSettings& s) { s.pullsFolder = (dir_ / "Pulls").string(); });
        QObject::connect(&app_->player(), &PlayerModel::messageChanged, [this] {
            messages_.push_back(app_->player().message().value_or(""));
        });
    }

    // Runs a batch and waits for its closing text.
    std::string batch(const std::vector<fs::path>& urls) {
        const size_t before = finals();
        app_->makeTempEdits(urls);
        EXPECT_TRUE(until([&] { return finals() > before; })) << app_->player().message().value_or("");
        return messages_.empty() ? "" : messages_.back();
    }
    size_t finals() const {
        return std::count_if(messages_.begin(), messages_.end(), [](const std::string& m) {
            return m.starts_with("Temp edits written") || (m.starts_with("Temp edits: ") && !m.ends_with("\u2026"));
        });
    }

    test::TempDir dir_;
    test::FakePieces pieces_;
    std::unique_ptr<AppModel> app_;
    std::vector<std::string> messages_;
};

}  // namespace

TEST_F(BatchTempEditsTest, TwoSourcesInOneFolderGetTwoFoldersAndTheFileManagerShowsBoth) {
    test::PrivateBus bus;
    test::FileManagerStandIn manager(bus.connect("manager"));
    make(std::make_unique<DesktopFileReveal>(bus.connect("client")));
    const fs::path music = dir_ / "Music";
    fs::create_directories(music);
    writeDrums(music / "Alpha.wav");
    writeDrums(music / "Beta.wav", 1);
    test::writeBytes(music / "notes.txt", "x");
    fs::create_directories(music / "Sub");

    const std::string last = batch({music / "Sub", music / "Alpha.wav", music / "notes.txt", music / "Beta.wav"});
    EXPECT_EQ(last, "Temp edits written for 2 file(s)");
    EXPECT_EQ(std::vector<std::string>(messages_.begin(), messages_.end() - 1),
              (std::vector<std::string>{"Temp edits: analyzing 2 file(s)\u2026", "Temp edits 1/2: Alpha.wav",
                                        "Temp edits 2/2: Beta.wav"}));
    for (const char* name : {"Alpha", "Beta"}) {
        const fs::path folder = music / (std::string(name) + " Edits");
        ASSERT_TRUE(fs::is_directory(folder)) << name;
        EXPECT_FALSE(wavsIn(folder).empty()) << name;
        EXPECT_EQ(notesIn(folder), 1) << name;
    }
    ASSERT_TRUE(until([&] { return manager.calls.size() == 1; }));
    std::vector<fs::path> shown;
    for (const QString& uri : manager.calls[0]) shown.push_back(QUrl(uri).toLocalFile().toStdString());
    EXPECT_EQ(shown, (std::vector<fs::path>{music / "Alpha Edits", music / "Beta Edits"}));
}

TEST_F(BatchTempEditsTest, OneBatchOpensOneFileManagerWindowWhenTheFileManagerIsSlowToAnswer) {
    test::PrivateBus bus;
    test::OpenerStandIn opener;
    opener.install();
    // The file manager answers after the reveal stops waiting.
    test::SlowFileManager manager(bus, 1500);
    auto reveal = std::make_unique<DesktopFileReveal>(bus.connect("client"), 200ms);
    QSignalSpy done(reveal.get(), &FileReveal::finished);
    make(std::move(reveal));
    writeDrums(dir_ / "Theme.wav");

    ASSERT_EQ(batch({dir_ / "Theme.wav"}), "Temp edits written for 1 file(s)");
    ASSERT_TRUE(until([&] { return !done.isEmpty(); }));
    EXPECT_EQ(done.size(), 1);
    EXPECT_EQ(done.first().first().value<FileReveal::Outcome>(), FileReveal::Outcome::fileManager);
    EXPECT_TRUE(until([&] { return manager.calls() > 0; }));
    EXPECT_EQ(manager.calls(), 1u);
    EXPECT_TRUE(opener.calls().empty()) << "a second window, the folder's";
}

TEST_F(BatchTempEditsTest, TheBatchWritesTheBytesTheExporterWritesForTheSameAnalysis) {
    make();
    const fs::path source = dir_ / "Theme.wav";
    writeDrums(source);
    ASSERT_EQ(batch({source}), "Temp edits written for 1 file(s)");
    const fs::path folder = dir_ / "Theme Edits";

    // The same steps called one by one, into another folder.
    const PlanarAudio audio = Signal::readPlanar(source);
    const auto outcome = AnalysisPipeline::run(audio.channels, audio.sampleRate,
                                               AudioFileInfo::load(source).detected, "Theme.wav");
    ASSERT_TRUE(outcome.analysis);
    TempEditExporter::Job job;
    job.base = "Theme";
    job.options = BatchTempEdits::options();
    job.plans = TempEditPlanner::plans(outcome.analysis->grid, outcome.analysis->structure, kRate,
                                       static_cast<int64_t>(audio.channels[0].size()), job.options);
    job.sampleRate = kRate;
    job.header = EditorModel::notesHeader("Theme", source, *outcome.analysis, outcome.analysis->structure.pins);
    job.mask = 3;
    job.folder = dir_ / "Direct";
    const auto direct = TempEditExporter::write(job, audio.channels);

    const std::string notes = test::readBytes(folder / "Theme - Edit Notes.txt");
    EXPECT_EQ(notes, test::readBytes(direct.notes));
    for (const auto& file : direct.files)
        EXPECT_EQ(unstamped(folder / file.filename()), unstamped(file)) << file.filename();
    EXPECT_EQ(wavsIn(folder).size(), direct.files.size());

    // The notes: header, one empty line, then two lines per edit, joined
    // with line feeds and no final one.
    std::string expected;
    for (const auto& line : job.header) expected += line + "\n";
    for (size_t i = 0; i < job.plans.size(); ++i) {
        const auto& plan = job.plans[i];
        const auto info = AudioFileInfo::load(direct.files[i]);
        const std::string match =
            plan.quality < 0.999 ? fmt::format("  \u00b7 splice match {:.0f}%", plan.quality * 100) : "";
        expected += fmt::format("\nTheme - {}.wav    ({:.2f} s){}\n    {}", plan.name,
                                static_cast<double>(info.frames) / kRate, match, plan.map);
    }
    EXPECT_EQ(notes, expected);
    EXPECT_NE(notes.back(), '\n');
    EXPECT_TRUE(notes.starts_with("Quillmarsh temp edits: Theme\nSource: " + source.string() + "\n"));
    EXPECT_EQ(pieces_.workspace->revealed, (std::vector<std::vector<fs::path>>{{folder}}));
}

TEST_F(BatchTempEditsTest, SourcesWithOneBaseNameNeverShareAFolder) {
    make();
    writeDrums(dir_ / "Cue.wav");
    writeDrums(dir_ / "Cue.aif", 2, 8, test::FileKind::aiff);
    ASSERT_EQ(batch({dir_ / "Cue.wav", dir_ / "Cue.aif"}), "Temp edits written for 2 file(s)");
    const auto sourceLine = [&](const fs::path& folder) {
        const std::string notes = test::readBytes(folder / "Cue - Edit Notes.txt");
        return notes.substr(notes.find("Source: "), notes.find('\n', notes.find("Source: ")) - notes.find("Source: "));
    };
    EXPECT_EQ(sourceLine(dir_ / "Cue Edits"), "Source: " + (dir_ / "Cue.wav").string());
    EXPECT_EQ(sourceLine(dir_ / "Cue Edits 2"), "Source: " + (dir_ / "Cue.aif").string());

    // Again, one at a time: each goes back to its own folder; the other's
    // files stay as they were.
    std::map<fs::path, std::string> first;
    for (const auto& f : fs::directory_iterator(dir_ / "Cue Edits")) first[f.path()] = test::readBytes(f.path());
    ASSERT_EQ(batch({dir_ / "Cue.aif"}), "Temp edits written for 1 file(s)");
    EXPECT_EQ(pieces_.workspace->revealed.back(), std::vector<fs::path>{dir_ / "Cue Edits 2"});
    for (const auto& [path, bytes] : first) EXPECT_EQ(test::readBytes(path), bytes) << path;
    EXPECT_FALSE(fs::exists(dir_ / "Cue Edits 3"));

    // A folder of that name holding something else is passed over too.
    fs::create_directories(dir_ / "Other");
    writeDrums(dir_ / "Other" / "Cue.wav");
    app_->settings().update([](AppSettings& s) { s.tempEditsBesideSource = false; });
    fs::create_directories(dir_ / "Pulls" / "Edits" / "Cue Edits");
    test::writeBytes(dir_ / "Pulls" / "Edits" / "Cue Edits" / "keep.txt", "mine");
    ASSERT_EQ(batch({dir_ / "Other" / "Cue.wav"}), "Temp edits written for 1 file(s)");
    EXPECT_EQ(sourceLine(dir_ / "Pulls" / "Edits" / "Cue Edits 2"), "Source: " + (dir_ / "Other" / "Cue.wav").string());
    EXPECT_EQ(test::readBytes(dir_ / "Pulls" / "Edits" / "Cue Edits" / "keep.txt"), "mine");
}

TEST_F(BatchTempEditsTest, AFolderThatCannotBeWrittenSendsTheEditsUnderThePullsFolder) {
    make();
    const fs::path locked = dir_ / "Locked";
    fs::create_directories(locked);
    writeDrums(locked / "Theme.wav");
    FileAccess::setWritableCheck([&](const fs::path& f) { return f != locked; });
    ASSERT_EQ(batch({locked / "Theme.wav"}), "Temp edits written for 1 file(s)");
    EXPECT_EQ(notesIn(dir_ / "Pulls" / "Edits" / "Theme Edits"), 1);
    EXPECT_FALSE(fs::exists(locked / "Theme Edits"));
}

TEST_F(BatchTempEditsTest, TheMaskFollowsTheSourcesChannels) {
    make();
    const struct {
        const char* name;
        int channels;
        std::optional<uint32_t> mask;
    } cases[] = {{"Mono", 1, 4u}, {"Stereo", 2, 3u}, {"Surround", 6, 0u}};
    std::vector<fs::path> urls;
    for (const auto& c : cases) {
        writeDrums(dir_ / (std::string(c.name) + ".wav"), c.channels);
        urls.push_back(dir_ / (std::string(c.name) + ".wav"));
    }
    ASSERT_EQ(batch(urls), "Temp edits written for 3 file(s)");
    for (const auto& c : cases) {
        const auto files = wavsIn(dir_ / (std::string(c.name) + " Edits"));
        ASSERT_FALSE(files.empty()) << c.name;
        for (const auto& f : files) {
            EXPECT_EQ(AudioFileInfo::load(f).channels, c.channels) << f;
            EXPECT_EQ(channelMask(f), c.mask) << f;
        }
    }
}

TEST_F(BatchTempEditsTest, OneSecondIsTooShortAndOneFrameMoreIsAnalysed) {
    make();
    SettingsStore& settings = app_->settings();
    const test::Planar second(1, std::vector<float>(static_cast<size_t>(kRate), 0.f));
    const test::Planar longer(1, std::vector<float>(static_cast<size_t>(kRate) + 1, 0.f));
    test::writeAudioFile(dir_ / "second.wav", second, kRate);
    test::writeAudioFile(dir_ / "longer.wav", longer, kRate);
    auto o = BatchTempEdits::run(BatchTempEdits::prepare({dir_ / "second.wav"}, settings), 1ull << 32);
    EXPECT_EQ(o.tooShort, 1);
    EXPECT_EQ(o.skipped, 1);
    o = BatchTempEdits::run(BatchTempEdits::prepare({dir_ / "longer.wav"}, settings), 1ull << 32);
    EXPECT_EQ(o.tooShort, 0) << "analysed";
    EXPECT_EQ(o.skipped, 1) << "silence has no pulse";

    // No audio among the items: nothing happens, not even a message.
    app_->makeTempEdits({dir_ / "notes.txt", dir_.path(), dir_ / "second.WAV.txt"});
    until([] { return false; }, 200ms);
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(BatchTempEdits::prepare({dir_ / "LOUD.WAV"}, settings).size(), 1u) << "extensions in any case";
}

TEST_F(BatchTempEditsTest, SkipsAndFailuresAreCountedApartAndNothingIsShownWithoutAFolder) {
    make();
    // Four seconds of silence: no pulse.
    test::writeAudioFile(dir_ / "Tone.wav", test::Planar(2, std::vector<float>(4 * static_cast<size_t>(kRate), 0.f)), kRate);
    EXPECT_EQ(batch({dir_ / "Tone.wav"}), "Temp edits: 0 written, 1 skipped (no steady pulse)");
    EXPECT_TRUE(pieces_.workspace->revealed.empty());
    EXPECT_FALSE(fs::exists(dir_ / "Tone Edits"));

    // A damaged file, a folder blocked by a file, a file over the load
    // limit: each fails with its reason, the first one's given.
    test::writeBytes(dir_ / "Broken.wav", "RIFF....WAVEjunk");
    EXPECT_TRUE(batch({dir_ / "Tone.wav", dir_ / "Broken.wav"})
                    .starts_with("Temp edits: 0 written, 1 skipped (no steady pulse), 1 failed: "))
        << messages_.back();

    writeDrums(dir_ / "Drums.wav");
    app_->settings().update([&](AppSettings& s) {
        s.tempEditsBesideSource = false;
        s.pullsFolder = (dir_ / "Tone.wav").string();
    });
    EXPECT_EQ(batch({dir_ / "Drums.wav"}),
              "Temp edits: 0 written, 1 failed: Couldn't create the folder Drums Edits: Not a directory");
    EXPECT_TRUE(pieces_.workspace->revealed.empty());

    app_->settings().update([&](AppSettings& s) { s.pullsFolder = (dir_ / "Pulls").string(); });
    app_->editor().setLoadLimitBytes(2000000);  // the 4 s file passes, the 8 s one not
    EXPECT_EQ(batch({dir_ / "Drums.wav", dir_ / "Tone.wav"}),
              "Temp edits: 0 written, 1 skipped (no steady pulse), 1 failed: File too large to load");
    EXPECT_FALSE(fs::exists(dir_ / "Pulls" / "Edits" / "Drums Edits"));
}

TEST_F(BatchTempEditsTest, TwoBatchesAtOnceBothFinish) {
    make();
    fs::create_directories(dir_ / "A");
    fs::create_directories(dir_ / "B");
    writeDrums(dir_ / "A" / "One.wav");
    writeDrums(dir_ / "B" / "Two.wav");
    // The first as the file list asks for it.
    AppActions& actions = *app_;
    actions.makeTempEdits({dir_ / "A" / "One.wav"});
    app_->makeTempEdits({dir_ / "B" / "Two.wav"});
    ASSERT_TRUE(until([&] { return pieces_.workspace->revealed.size() == 2; }));
    EXPECT_EQ(notesIn(dir_ / "A" / "One Edits"), 1);
    EXPECT_EQ(notesIn(dir_ / "B" / "Two Edits"), 1);
    EXPECT_EQ(app_->player().message(), "Temp edits written for 1 file(s)");
}

#include "app/player/PlayerModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "app/core/WaveformCache.h"
#include "audio/FrameSource.h"
#include "playback/PlaybackSession.h"
#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"

using namespace qm;
using namespace std::chrono_literals;
using test::Player;
using test::pump;

namespace {

std::filesystem::path stereoFile(Player& p, const std::string& name, int64_t frames = 48000, double rate = 48000) {
    const auto file = p.dir / name;
    test::writeTestFile(file, 2, frames, rate);
    return file;
}

std::filesystem::path notAudio(Player& p, const std::string& name) {
    const auto file = p.dir / name;
    std::ofstream(file) << "this is text, not sound";
    return file;
}

}  // namespace

TEST(PlayerModel, LoadPublishesTheFactsAndTheOverviewAndKeepsTheShownFile) {
    Player p;
    const auto a = stereoFile(p, "a.wav");
    ASSERT_TRUE(p.load(a));
    EXPECT_EQ(p.model.info()->frames, 48000);
    EXPECT_FALSE(p.model.message());
    EXPECT_FALSE(p.model.isPlaying()) << "no auto-play asked for";
    ASSERT_TRUE(p.wait([&] { return p.model.waveform() && p.model.waveform()->loadedBuckets >= p.model.waveform()->bucketCount; }));
    EXPECT_EQ(WaveformCache::shared().get(a), p.model.waveform()) << "a complete overview is cached";

    // The shown file again: not a new load, with or without auto-play.
    p.model.select(FrameRange{1000, 20000});
    p.model.stop();
    const uint64_t loads = p.model.loadGen();
    p.model.load(a, false);
    EXPECT_EQ(p.model.loadGen(), loads);
    EXPECT_EQ(p.model.selection(), (FrameRange{1000, 20000})) << "selection survives";
    p.model.load(a, true);
    ASSERT_TRUE(p.waitPlaying()) << "stopped and auto-play: it plays from the cue";
    EXPECT_EQ(p.starts.back(), 1000);
    const uint64_t plays = p.model.playGen();
    p.model.load(a, true);
    EXPECT_EQ(p.model.playGen(), plays) << "already playing: nothing happens";
    EXPECT_EQ(p.model.loadGen(), loads);

    // An unreadable file: nothing kept, its name in the message, everything reset.
    const auto bad = notAudio(p, "notes.wav");
    p.model.setMessage("old status");
    ASSERT_TRUE(p.load(bad));
    ASSERT_TRUE(p.wait([&] { return !p.model.info(); }));
    EXPECT_FALSE(p.model.waveform());
    EXPECT_EQ(p.model.message(), "Can't read notes.wav");
    EXPECT_FALSE(p.model.selection());
    EXPECT_EQ(p.model.cueFrame(), 0);
    EXPECT_EQ(p.model.playhead()->frame(), 0);
    EXPECT_FALSE(p.model.isPlaying()) << "the load stopped playback";

    // Back to the first file: its overview comes from the cache at once and
    // the message of the failed load goes.
    QSignalSpy waves(&p.model, &PlayerModel::waveformChanged);
    ASSERT_TRUE(p.load(a));
    EXPECT_EQ(p.model.waveform(), WaveformCache::shared().get(a));
    EXPECT_EQ(waves.count(), 1) << "no overview was computed again";
    EXPECT_FALSE(p.model.message());
}

TEST(PlayerModel, QuickLoadsPublishOnlyTheLastFileAskedFor) {
    Player p;
    const auto a = stereoFile(p, "a.wav");
    const auto b = stereoFile(p, "b.wav", 96000);
    const auto c = stereoFile(p, "c.wav", 24000);

    QSignalSpy infos(&p.model, &PlayerModel::infoChanged);
    p.model.load(a, false);
    p.model.load(b, false);
    ASSERT_TRUE(p.wait([&] { return p.model.info().has_value(); }));
    pump(p.queue, 100ms);
    EXPECT_EQ(p.model.info()->url, b);
    EXPECT_EQ(infos.count(), 1) << "the first file's facts never reached the model";

    // b is shown; c is pending when b is asked for again: b must win.
    p.model.load(c, false);
    p.model.load(b, false);
    pump(p.queue, 200ms);
    ASSERT_TRUE(p.model.info());
    EXPECT_EQ(p.model.info()->url, b) << "the file asked for last is the one shown";
}

TEST(PlayerModel, TimeRoundsToWholeMillisecondsBeforeSplittingMinutes) {
    EXPECT_EQ(PlayerModel::time(-0.5), "0:00.000");
    EXPECT_EQ(PlayerModel::time(std::numeric_limits<double>::infinity()), "0:00.000");
    EXPECT_EQ(PlayerModel::time(std::numeric_limits<double>::quiet_NaN()), "0:00.000");
    EXPECT_EQ(PlayerModel::time(0), "0:00.000");
    EXPECT_EQ(PlayerModel::time(125.25), "2:05.250");
    EXPECT_EQ(PlayerModel::time(3600), "60:00.000");
    EXPECT_EQ(PlayerModel::time(59.9996), "1:00.000");
    EXPECT_EQ(PlayerModel::time(119.9999), "2:00.000");
    EXPECT_EQ(PlayerModel::time(59.9994), "0:59.999");
    EXPECT_EQ(PlayerModel::time(9.0005), "0:09.001");
}

TEST(PlayerModel, StartsFollowTheRangeRulesAndStopsReturnToTheCue) {
    Player p;
    const auto file = stereoFile(p, "tone.wav", 44100 * 2, 44100);
    ASSERT_TRUE(p.load(file));

    // A seek always plays; it clamps into the file.
    p.model.seek(-5);
    ASSERT_TRUE(p.waitPlaying());
    EXPECT_EQ(p.model.cueFrame(), 0);
    EXPECT_EQ(p.starts.back(), 0);
    p.model.seek(88200 + 100);
    EXPECT_EQ(p.model.cueFrame(), 88199);
    ASSERT_TRUE(p.wait([&] { return p.starts.size() == 2 || (!p.model.isPlaying() && p.starts.size() == 1); }));

    // A selection of exactly 1/100 s is none; one frame more is one, and plays from its start.
    p.model.stop();
    EXPECT_EQ(p.model.playhead()->frame(), 88199) << "back to the cue point";
    p.model.select(FrameRange{10000, 10441});
    EXPECT_FALSE(p.model.selection());
    EXPECT_FALSE(p.model.isPlaying()) << "a too-short selection does not touch playback";
    p.model.select(FrameRange{10000, 10442});
    EXPECT_EQ(p.model.selection(), (FrameRange{10000, 10442}));
    ASSERT_TRUE(p.waitPlaying());
    EXPECT_EQ(p.starts.back(), 10000);

    // A start at the selection's end begins at its start.
    p.model.stop();
    p.model.select(FrameRange{20000, 60000});
    ASSERT_TRUE(p.wait([&] { return p.starts.back() == 20000; }));
    p.model.stop();
    p.model.play(60000);
    const size_t before = p.starts.size();
    ASSERT_TRUE(p.wait([&] { return p.model.playGen() > 0 && p.starts.size() > before; }));
    EXPECT_EQ(p.starts.back(), 20000);
    // A seek outside the selection clears it.
    p.model.seek(70000);
    EXPECT_FALSE(p.model.selection());
    EXPECT_EQ(p.model.cueFrame(), 70000);
    p.model.togglePlay();
    EXPECT_FALSE(p.model.isPlaying());
    EXPECT_EQ(p.model.playhead()->frame(), 70000);

    // With the cue at the end of the file (no selection) playback starts at 0.
    p.model.seek(88199);
    p.model.stop();
    p.model.play(88200);
    ASSERT_TRUE(p.wait([&] { return p.model.isPlaying() && p.starts.back() == 0; }));
    p.model.stop();

    // The loop switch restarts only while playing.
    const uint64_t g = p.model.playGen();
    p.model.setLoop(true);
    EXPECT_EQ(p.model.playGen(), g) << "stopped: only the flag";
    p.model.play();
    ASSERT_TRUE(p.waitPlaying());
    const uint64_t g2 = p.model.playGen();
    p.model.setLoop(false);
    EXPECT_EQ(p.model.playGen(), g2 + 1) << "playing: a restart";
}

TEST(PlayerModel, LevelIsStoredOnEveryAssignment) {
    Player p;
    p.model.setVolumeDB(-60);
    EXPECT_EQ(p.engine.gain(), 0.0);
    p.model.setVolumeDB(-59.9);
    EXPECT_NEAR(p.engine.gain(), 0.00101, 0.00001);
    p.engine.setGain(0.5);  // someone else changed the engine's level
    QSignalSpy changes(&p.model, &PlayerModel::volumeDBChanged);
    p.model.setVolumeDB(-59.9);
    EXPECT_NEAR(p.engine.gain(), 0.00101, 0.00001) << "an equal value is stored again";
    EXPECT_EQ(changes.count(), 0) << "but not announced";
    p.model.setVolumeDB(0);
    EXPECT_EQ(p.engine.gain(), 1.0);
}

TEST(PlayerModel, OnlyTheNewestStartReachesTheEngine) {
    Player p;
    const auto file = stereoFile(p, "tone.wav");
    ASSERT_TRUE(p.load(file));

    // A stop while the start is on the loader thread prevents it.
    p.model.play(100);
    p.model.stop();
    pump(p.queue, 300ms);
    EXPECT_FALSE(p.model.isPlaying());
    EXPECT_TRUE(p.starts.empty());

    // Two starts in quick succession: only the second plays.
    p.model.play(100);
    p.model.play(5000);
    ASSERT_TRUE(p.waitPlaying());
    pump(p.queue, 200ms);
    ASSERT_EQ(p.starts.size(), 1u);
    EXPECT_EQ(p.starts[0], 5000);
}

TEST(PlayerModel, AnOvertakenStartShowsNoError) {
    Player p;
    const auto gone = stereoFile(p, "gone.wav");
    const auto next = stereoFile(p, "next.wav");
    ASSERT_TRUE(p.load(gone));
    std::filesystem::remove(gone);

    // Its own failure is shown.
    p.model.play();
    ASSERT_TRUE(p.wait([&] { return p.model.message().has_value(); }));
    EXPECT_FALSE(p.model.isPlaying());

    // A failing start overtaken by the load of another file leaves no trace on it.
    p.model.play();
    p.model.load(next, false);
    ASSERT_TRUE(p.wait([&] { return p.model.info() && p.model.info()->url == next; }));
    pump(p.queue, 100ms);
    EXPECT_FALSE(p.model.message()) << *p.model.message();
}

TEST(PlayerModel, ALoadNeverCutsAnotherPlayersSound) {
    Player p;
    const auto file = stereoFile(p, "tone.wav");
    // Another player (the editor) takes the engine and plays.
    auto other = p.engine.begin({
        .mix = [](int channels) {
            MixConfig m;
            m.inChannels = 2;
            m.rows = channels;
            m.matrix.assign(static_cast<size_t>(2 * channels), 0.f);
            return m;
        },
        .source = [] { return std::make_shared<MemorySource>(test::staircaseSignal(2, 48000 * 10), 48000.0); },
        .range = {.start = 0, .end = 48000 * 10},
    });
    other->prepare();
    ASSERT_TRUE(other->start());

    // The file manager selects a file: the player loads it without auto-play.
    ASSERT_TRUE(p.load(file));
    EXPECT_TRUE(other->isPlaying()) << "the player was not playing: the stream is not its to stop";
    const double at = other->position();
    ASSERT_TRUE(p.wait([&] { return other->position() > at + 2000; }, 3s)) << "the other sound goes on";
    other->stop();
}

TEST(PlayerModel, UpmixAndProfileChangesWriteTheSettingsOnlyWhenTheyChange) {
    Player p;
    p.useStereoProfile();
    const int start = p.defaults->changes();
    EXPECT_EQ(p.model.upmix(), p.settings.value().upmix) << "the player starts from the stored preference";

    QSignalSpy upmixes(&p.model, &PlayerModel::upmixChanged);
    p.model.setUpmix(p.settings.value().upmix);
    EXPECT_EQ(p.defaults->changes(), start) << "an equal upmix writes nothing";
    EXPECT_EQ(upmixes.count(), 0);

    UpmixSettings on = p.model.upmix();
    on.enabled = true;
    on.preset = UpmixPreset::film;
    p.model.setUpmix(on);
    EXPECT_EQ(p.defaults->changes(), start + 1);
    EXPECT_EQ(p.settings.value().upmix, on) << "written through";
    UpmixSettings tweaked = on;
    tweaked.params.rearDB = -4.5;
    p.model.setUpmix(tweaked);
    EXPECT_EQ(p.defaults->changes(), start + 2) << "one parameter differs: a write";

    // The active profile again: neither a write nor a configure.
    const Uuid active = p.settings.activeProfile().id;
    p.model.selectProfile(active);
    EXPECT_EQ(p.defaults->changes(), start + 2);
    EXPECT_FALSE(p.engine.isConfigured());
    const Uuid other = p.settings.value().profiles[2].id;
    p.model.selectProfile(other);
    EXPECT_EQ(p.defaults->changes(), start + 3);
    EXPECT_EQ(p.settings.value().activeProfileID, other);
    EXPECT_TRUE(p.engine.isConfigured()) << "another profile configures the output";
}

TEST(PlayerModel, ManyQuickLoadsEndOnTheLastWithNoStreamLeft) {
    Player p;
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 4; ++i) files.push_back(stereoFile(p, "good" + std::to_string(i) + ".wav", 4800 * (i + 1)));
    for (int i = 0; i < 3; ++i) files.push_back(notAudio(p, "bad" + std::to_string(i) + ".wav"));
    for (int i = 0; i < 200; ++i) {
        p.model.load(files[static_cast<size_t>(i * 5) % files.size()], true);
        if (i % 7 == 0) QCoreApplication::processEvents();
    }
    const auto last = files[(199 * 5) % files.size()];
    ASSERT_TRUE(p.wait([&] { return p.model.info() && p.model.info()->url == last && p.model.isPlaying(); }));
    pump(p.queue, 200ms);
    EXPECT_EQ(p.model.info()->url, last);
    EXPECT_FALSE(p.model.message());

    p.model.stop();
    // Replaced streams retire 3 s after they left the output; the output is
    // rebuilt first, so that its render thread is known to have let go.
    p.engine.configure({.force = true});
    p.queue.advance(4.0);
    EXPECT_TRUE(p.wait([] { return test::threadsNamed("QM.StreamReader") == 0; }, 5s))
        << test::threadsNamed("QM.StreamReader") << " fill threads left";
}

// The player on a private PipeWire daemon, what reaches a null sink recorded
// from its monitor ports: exactly the cue and the selection, a switch to
// another sink without a click at either, and playback that goes on when
// its sink goes, comes back with it, survives the daemon's end and returns
// to the daemon from ALSA once it is back. A run in which a node missed a cycle is not judged frame by
// frame (the machine's load shifts frames between nodes, not the player)
// and is made again, a few times at most.
#include "app/player/PlayerModel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "app/player/PlayerFixture.h"
#include "playback/AudioDevices.h"
#include "support/AudioFiles.h"
#include "support/Clicks.h"
#include "support/PipeWireDaemon.h"

using namespace qm;
using namespace std::chrono_literals;
using test::PipeWireDaemon;
using test::PipeWireTestNode;
using test::Player;

namespace {

// Where frame `frame` of the stereo staircase file arrived in the recording
// from index `from` on (past the first callback's fade-in); the lowest
// int64_t when it never did.
int64_t arrival(const PipeWireTestNode& rec, int64_t from, int64_t frame) {
    const int64_t end = rec.frames();
    const auto& left = rec.channel(0);
    for (int64_t o = std::max<int64_t>(from - 4096, 0); o + 4160 < end; ++o) {
        bool match = true;
        for (int64_t t = 4096; t < 4160 && match; ++t)
            match = left[static_cast<size_t>(o + t)] == test::staircase(0, frame + t);
        if (match) return o;
    }
    return std::numeric_limits<int64_t>::min();
}

bool silentBetween(const PipeWireTestNode& rec, int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i)
        for (int c = 0; c < 2; ++c)
            if (rec.channel(c)[static_cast<size_t>(i)] != 0.0f) return false;
    return true;
}

// A recorder of every monitor port of sink `sink` (one of the daemon's).
std::unique_ptr<PipeWireTestNode> recorderOf(const PipeWireDaemon& daemon, const PipeWireDaemon::Sink& sink,
                                             int64_t frames) {
    auto rec = PipeWireTestNode::recorder("qm-heard-" + sink.name, static_cast<int>(sink.positions.size()), frames);
    for (size_t c = 0; rec->ok() && c < sink.positions.size(); ++c)
        if (!rec->linkFrom(daemon, sink.name + ":monitor_" + sink.positions[c], static_cast<int>(c) + 1)) return nullptr;
    return rec->ok() ? std::move(rec) : nullptr;
}

// Whether channel 0 of `rec` sounds in one stretch at most between `from`
// and `to`, without 16 silent frames inside it: a tone that a cycle of the
// stream missed would sound in two.
bool soundsOnce(const PipeWireTestNode& rec, int64_t from, int64_t to) {
    const auto& ch = rec.channel(0);
    int stretches = 0;
    int64_t silent = 16;
    for (int64_t t = from; t < to; ++t) {
        if (ch[static_cast<size_t>(t)] == 0.0f) {
            ++silent;
            continue;
        }
        stretches += silent >= 16;
        silent = 0;
    }
    return stretches <= 1;
}

// Plays a 4 s staircase file, looped from `from`, with the stereo profile on
// sink `device`; whether it plays there (`description`).
bool playLooped(Player& p, const std::string& device, const std::string& description, int64_t from = 0) {
    p.useStereoProfile(device);
    const auto file = p.dir / "stairs.wav";
    test::writeTestFile(file, 2, 48000 * 4, 48000);
    if (!p.load(file)) return false;
    p.model.setLoop(true);
    p.model.play(from);
    return p.waitPlaying() && p.engine.outputDescription() == description;
}

using PlayerModelPipeWire = test::PipeWireTest;

}  // namespace

TEST_F(PlayerModelPipeWire, PlaysExactlyFromTheCueAndExactlyTheSelection) {
    auto rec = PipeWireTestNode::recorder("qm-player-check", 2, 48000 * 30);
    ASSERT_TRUE(rec->ok());
    ASSERT_TRUE(rec->linkFrom(daemon(), "qm-stereo:monitor_FL", 1));
    ASSERT_TRUE(rec->linkFrom(daemon(), "qm-stereo:monitor_FR", 2));
    Player p;
    p.useStereoProfile("pw:qm-stereo");
    const auto file = p.dir / "stairs.wav";
    test::writeTestFile(file, 2, 48000 * 2, 48000, {test::FileKind::wav, 16});
    ASSERT_TRUE(p.load(file));
    int missed = 0;
    int64_t xruns = 0;
    const auto undisturbed = [&] { return rec->missed() == missed && p.engine.xruns() == xruns; };
    const auto mark = [&] {
        missed = rec->missed();
        xruns = p.engine.xruns();
        return rec->frames();
    };
    int runs = 0;

    // A seek plays from exactly the cue: nothing before it reaches the sink.
    bool judged = false;
    for (int run = 0; run < test::kJudgedRuns && !judged; ++run, ++runs) {
        const int64_t from = mark();
        p.model.seek(12345);
        ASSERT_TRUE(p.waitPlaying());
        EXPECT_EQ(p.engine.outputDescription(), "PipeWire: Test Stereo");
        const int64_t started = rec->frames();
        ASSERT_TRUE(p.wait([&] { return rec->frames() > started + 48000 / 2; }));
        p.model.stop();
        EXPECT_EQ(p.model.playhead()->frame(), 12345) << "stop returns to the cue";
        ASSERT_TRUE(p.wait([&] { return rec->frames() > started + 48000; }));
        if (!undisturbed()) continue;
        judged = true;
        const int64_t at = arrival(*rec, from, 12345);
        ASSERT_GE(at, from - 4096) << "the file's frames from the cue never arrived";
        EXPECT_TRUE(silentBetween(*rec, from, std::max(from, at))) << "something before the cue was played";
    }
    EXPECT_TRUE(judged) << "a node missed cycles in every run from the cue";

    // A selection plays its frames and ends; the playhead returns to its start.
    const FrameRange sel{24000, 33600};
    judged = false;
    for (int run = 0; run < test::kJudgedRuns && !judged; ++run, ++runs) {
        const int64_t from = mark();
        p.model.select(sel);
        ASSERT_TRUE(p.waitPlaying());
        const int64_t started = rec->frames();
        ASSERT_TRUE(p.wait([&] { return !p.model.isPlaying(); }, 5s)) << "the selection's end stops playback";
        EXPECT_EQ(p.model.playhead()->frame(), sel.lower);
        ASSERT_TRUE(p.wait([&] { return rec->frames() > started + 48000; }));
        if (!undisturbed()) continue;
        judged = true;
        const int64_t at = arrival(*rec, from, sel.lower);
        ASSERT_GE(at, from - 4096);
        EXPECT_EQ(rec->channel(0)[static_cast<size_t>(at + sel.length() - 1)], test::staircase(0, sel.upper - 1));
        EXPECT_TRUE(silentBetween(*rec, at + sel.length(), at + sel.length() + 4800))
            << "frames past the selection's end were played";
    }
    EXPECT_TRUE(judged) << "a node missed cycles in every run of the selection";
    RecordProperty("runs", runs);
}

// A 1 kHz tone plays while the active profile moves from the stereo sink to
// the 9.1.6 one and back: at each sink, the device left fades out and the
// next fades in, no step larger than the tone's own (support/Clicks.h).
TEST_F(PlayerModelPipeWire, ASwitchToAnotherSinkFadesTheOneLeftOutAndTheNextIn) {
    constexpr int64_t kRate = 48000;
    const auto& sinks = PipeWireDaemon::sinks();
    auto stereo = recorderOf(daemon(), sinks[0], kRate * 20);
    auto room = recorderOf(daemon(), sinks[3], kRate * 20);
    ASSERT_TRUE(stereo && room);
    Player p;
    p.useStereoProfile("pw:qm-stereo");
    Uuid nearfieldID, roomID;
    p.settings.update([&](AppSettings& s) {
        s.profiles[0].deviceUID = "pw:" + sinks[3].name;  // "Room 9.1.6"
        roomID = s.profiles[0].id;
        nearfieldID = s.profiles[1].id;
    });
    const auto file = p.dir / "tone.wav";
    test::writeAudioFile(file, test::tones(2, kRate * 30, 0.25, kRate, 1000, 1000), kRate,
                         {.bits = 32, .isFloat = true});
    ASSERT_TRUE(p.load(file));
    p.model.setLoop(true);
    p.model.play(0);
    ASSERT_TRUE(p.waitPlaying());
    const auto listen = [&](PipeWireTestNode& rec, int64_t until) {
        return p.wait([&] { return rec.frames() > until; }, 10s);
    };
    ASSERT_TRUE(listen(*stereo, stereo->frames() + kRate / 2));

    // The click ratio at `rec` of a change asked for at its frame `at` and
    // heard until frame `to`.
    const int64_t reference = 9600;
    const auto ratioAt = [&](const PipeWireTestNode& rec, int channels, int64_t at, int64_t to) {
        test::Planar heard;
        for (int c = 0; c < channels; ++c) {
            const auto& ch = rec.channel(c);
            heard.emplace_back(ch.begin() + (at - reference), ch.begin() + (to + reference));
        }
        return test::clickRatio(heard, reference, reference + to - at, reference);
    };
    int judged[2] = {0, 0};
    for (int run = 0; run < 3 * test::kJudgedRuns && (judged[0] < 2 || judged[1] < 2); ++run) {
        const bool toRoom = run % 2 == 0;
        PipeWireTestNode& left = toRoom ? *stereo : *room;
        PipeWireTestNode& next = toRoom ? *room : *stereo;
        const int channels[2] = {toRoom ? 2 : 16, toRoom ? 16 : 2};
        const int missed = stereo->missed() + room->missed();
        const int64_t leftAt = left.frames(), nextAt = next.frames();
        p.model.selectProfile(toRoom ? roomID : nearfieldID);
        // Heard until a tenth of a second after the next sink's first sound.
        ASSERT_TRUE(p.wait([&] { return next.firstSound(nextAt) >= 0; }, 5s)) << "nothing reached the next sink";
        const int64_t nextTo = next.firstSound(nextAt) + kRate / 10;
        const int64_t leftTo = left.frames() + kRate / 10;
        ASSERT_TRUE(listen(next, nextTo + reference));
        ASSERT_TRUE(listen(left, leftTo + reference));
        ASSERT_TRUE(p.model.isPlaying());
        EXPECT_EQ(p.engine.outputDescription(), "PipeWire: " + (toRoom ? sinks[3] : sinks[0]).description);
        if (stereo->missed() + room->missed() != missed || p.engine.xruns() != 0 ||
            !soundsOnce(left, leftAt - reference, leftTo + reference) ||
            !soundsOnce(next, nextAt - reference, nextTo + reference))
            continue;
        ++judged[toRoom ? 0 : 1];
        const test::ClickRatio out = ratioAt(left, channels[0], leftAt, leftTo),
                               in = ratioAt(next, channels[1], nextAt, nextTo);
        const std::string what = toRoom ? "stereo to 9.1.6" : "9.1.6 to stereo";
        std::printf("%s: the sink left %.3f, the next %.3f\n", what.c_str(), out.ratio, in.ratio);
        RecordProperty(what + " " + std::to_string(run), std::to_string(out.ratio) + " " + std::to_string(in.ratio));
        EXPECT_LE(out.ratio, 1.2) << what << ": the sink left, at frame " << out.frame - reference;
        EXPECT_LE(in.ratio, 1.2) << what << ": the next sink, at frame " << in.frame - reference;
        EXPECT_GT(out.own, 0.0) << what << ": nothing played before at the sink left";
        EXPECT_GT(in.own, 0.0) << what << ": nothing played after at the next sink";
    }
    EXPECT_GE(judged[0], 1) << "a node missed cycles in every switch to the 9.1.6 sink";
    EXPECT_GE(judged[1], 1) << "a node missed cycles in every switch to the stereo sink";
    p.model.stop();
}

TEST_F(PlayerModelPipeWire, PlaybackFollowsItsSinkAwayAndBackAndSurvivesTheDaemon) {
    Player p;
    ASSERT_TRUE(playLooped(p, "pw:qm-51", "PipeWire: Test 5.1", 1000));
    ASSERT_TRUE(p.wait([&] { return p.model.playhead()->frame() > 20000; }));

    // The sink being played to goes: playback goes on, on the default sink,
    // from where it was; it comes back: playback returns to it.
    const auto& sink = PipeWireDaemon::sinks()[1];
    double reached = p.model.playhead()->frame();
    size_t starts = p.starts.size();
    ASSERT_TRUE(daemon().removeSink(sink.name));
    ASSERT_TRUE(p.wait([&] { return p.starts.size() > starts && p.model.isPlaying(); }, 5s));
    EXPECT_GE(p.starts.back(), reached);
    EXPECT_LT(p.starts.back(), reached + 48000) << "not from the cue or the start";
    EXPECT_EQ(p.engine.outputDescription(), "PipeWire: Test Stereo");
    EXPECT_FALSE(p.model.message());
    starts = p.starts.size();
    ASSERT_TRUE(daemon().addSink(sink));
    ASSERT_TRUE(p.wait([&] { return p.starts.size() > starts && p.model.isPlaying(); }, 5s));
    EXPECT_EQ(p.engine.outputDescription(), "PipeWire: Test 5.1");

    // The daemon goes: no crash, no hang; the silent output takes over, from
    // where playback was, and the message says so.
    for (int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        ASSERT_TRUE(p.wait([&] { return p.model.playhead()->frame() > reached; }));
        reached = p.model.playhead()->frame();
        starts = p.starts.size();
        daemon().stop(signal);
        ASSERT_TRUE(p.wait([&] { return p.engine.isSilent(); }, 10s));
        ASSERT_TRUE(p.model.message());
        EXPECT_EQ(*p.model.message(), "Output device changed: Silent output (no sound device)");
        EXPECT_TRUE(p.engine.isSilent());
        ASSERT_TRUE(p.wait([&] { return p.starts.size() > starts && p.model.isPlaying(); }, 5s));
        const double silentAt = p.model.playhead()->frame();
        EXPECT_TRUE(p.wait([&] { return p.model.playhead()->frame() != silentAt; }, 5s)) << "it goes on, silently";

        // Back again: the next start plays on it.
        ASSERT_TRUE(daemon().start());
        p.model.play(2000);
        ASSERT_TRUE(p.wait([&] { return p.engine.outputDescription() == "PipeWire: Test 5.1" && p.model.isPlaying(); }));
    }
    p.model.stop();
}

// The devices the output settings offer say where each channel plays: every
// position of the 5.1, 7.1.4 and 9.1.6 sinks is a speaker of ours.
TEST_F(PlayerModelPipeWire, TheOfferedDevicesSayWhereEachChannelPlays) {
    const std::vector<AudioOutputDevice> devices = AudioDevices::allOutputs();
    for (const auto& sink : PipeWireDaemon::sinks()) {
        const auto it = std::find_if(devices.begin(), devices.end(),
                                     [&](const AudioOutputDevice& d) { return d.uid == "pw:" + sink.name; });
        ASSERT_NE(it, devices.end()) << sink.name;
        EXPECT_EQ(it->speakers, AudioDevices::speakersAt(sink.positions)) << sink.name;
        ASSERT_EQ(it->speakers.size(), sink.positions.size()) << sink.name;
        for (size_t c = 0; c < it->speakers.size(); ++c) EXPECT_TRUE(it->speakers[c].has_value()) << sink.name << " " << c;
    }
}

// The daemon stops: playback moves to ALSA's default device (here a null
// plug-in). Once the daemon is back, the next play is on it again, and
// reaches its sink.
TEST_F(PlayerModelPipeWire, TheDaemonBackTheNextPlayLeavesALSAForIt) {
    test::TempDir alsa;
    test::writeBytes(alsa / "asound.conf", "pcm.!default { type null }\n");
    setenv("ALSA_CONFIG_PATH", (alsa / "asound.conf").c_str(), 1);  // the fixture restores it
    Player p;
    ASSERT_TRUE(playLooped(p, "pw:qm-stereo", "PipeWire: Test Stereo"));
    daemon().stop(SIGTERM);
    ASSERT_TRUE(p.wait([&] { return p.engine.outputDescription() == "ALSA: default" && p.model.isPlaying(); }, 10s));
    p.model.stop();

    ASSERT_TRUE(daemon().start());
    auto rec = recorderOf(daemon(), PipeWireDaemon::sinks()[0], 48000 * 10);
    ASSERT_TRUE(rec);
    const int64_t from = rec->frames();
    p.model.play(0);
    ASSERT_TRUE(p.waitPlaying());
    EXPECT_EQ(p.engine.outputDescription(), "PipeWire: Test Stereo");
    EXPECT_TRUE(p.wait([&] { return rec->firstSound(from) >= 0; }, 5s)) << "nothing reached the sink";
    p.model.stop();
}

namespace {

// One burst per file channel, in channel order, every 100 ms after 100 ms
// of silence: 50 ms at -12 dBFS of a tone of its own (channel c at
// 400 + 200 c Hz, whole cycles in a burst, so the bursts are orthogonal), so
// that where each arrives is told by its tone, whatever a missed cycle
// shifts in time.
constexpr int64_t kBurstPitch = 4800, kBurstFrames = 2400;
double burstHz(int channel) { return 400.0 + 200.0 * channel; }
test::Planar bursts(int channels) {
    test::Planar p(static_cast<size_t>(channels),
                   std::vector<float>(static_cast<size_t>(kBurstPitch * (channels + 2)), 0.0f));
    for (int c = 0; c < channels; ++c)
        for (int64_t t = 0; t < kBurstFrames; ++t)
            p[static_cast<size_t>(c)][static_cast<size_t>(kBurstPitch * (c + 1) + t)] = static_cast<float>(
                0.25 * std::sin(2 * std::numbers::pi * burstHz(c) * static_cast<double>(t) / 48000.0));
    return p;
}

// The amplitude of the burst at `hz` in channel `channel` of the recording
// from `from` on: 0.25 for a whole burst, about 0 for none.
double burstIn(const PipeWireTestNode& rec, int channel, int64_t from, double hz) {
    const auto& x = rec.channel(channel);
    const std::complex<double> step = std::polar(1.0, -2 * std::numbers::pi * hz / 48000.0);
    std::complex<double> phase = 1, sum = 0;
    for (int64_t t = std::max<int64_t>(from, 0); t < rec.frames() && t < static_cast<int64_t>(x.size()); ++t) {
        sum += static_cast<double>(x[static_cast<size_t>(t)]) * phase;
        phase *= step;
    }
    return 2 * std::abs(sum) / kBurstFrames;
}

// Plays the loaded file whole, again while a node missed a cycle meanwhile
// (kJudgedRuns times at most), and goes on recording `after` frames past
// its end; `from` is where the judged run begins in the recording. False
// when no run was undisturbed.
bool playWhole(Player& p, const PipeWireTestNode& rec, int64_t& from, int& runs, int64_t after = 24000) {
    for (int run = 0; run < test::kJudgedRuns; ++run, ++runs) {
        const int missed = rec.missed();
        const int64_t xruns = p.engine.xruns();
        from = rec.frames();
        p.model.play(0);
        if (!p.waitPlaying() || !p.wait([&] { return !p.model.isPlaying(); }, 10s)) return false;
        const int64_t ended = rec.frames();
        if (!p.wait([&] { return rec.frames() > ended + 24000; })) return false;
        const bool undisturbed = rec.missed() == missed && p.engine.xruns() == xruns;
        if (!p.wait([&] { return rec.frames() > ended + after; })) return false;
        if (undisturbed) return true;
    }
    return false;
}

float peakBetween(const PipeWireTestNode& rec, int channel, int64_t from, int64_t to) {
    float peak = 0;
    const auto& x = rec.channel(channel);
    for (int64_t i = std::max<int64_t>(from, 0); i < to && i < static_cast<int64_t>(x.size()); ++i)
        peak = std::max(peak, std::fabs(x[static_cast<size_t>(i)]));
    return peak;
}

}  // namespace

// The built-in "Room 9.1.6" profile (never routed by hand) on a sink that
// names its channels' positions sends every speaker to the channel of its
// position: each burst of a 7.1.4 file (its WAVE channel mask) and of a
// 16-channel file (read as 9.1.6) is found at that sink channel alone, on
// the 12-channel sink (FL FR FC LFE RL RR SL SR TFL TFR TRL TRR) and on the
// 16-channel one (… FLW FRW TSL TSR). Speakers the 12-channel sink has no
// position for go whole to the nearest it has, as the layout matrix folds
// them: the wides to the fronts, the top middles to the top rears (as near
// as the top fronts; the rounding of the angles decides).
TEST_F(PlayerModelPipeWire, EverySpeakerPlaysFromTheSinkChannelOfItsPosition) {
    struct File {
        std::string name;
        std::optional<uint32_t> mask;
        std::vector<std::string> at714, at916;  // the sink position of each file channel
    };
    const std::vector<std::string> bed714 = {"FL", "FR", "FC",  "LFE", "RL",  "RR",
                                             "SL", "SR", "TFL", "TFR", "TRL", "TRR"};
    const std::vector<File> files = {
        {"7.1.4", 0x2D63Fu, bed714, bed714},
        {"9.1.6", std::nullopt,
         {"FL", "FR", "FC", "LFE", "SL", "SR", "RL", "RR", "FL", "FR", "TFL", "TFR", "TRL", "TRR", "TRL", "TRR"},
         {"FL", "FR", "FC", "LFE", "SL", "SR", "RL", "RR", "FLW", "FRW", "TFL", "TFR", "TSL", "TSR", "TRL", "TRR"}},
    };
    Player p;
    int runs = 0;
    for (const auto& sink : {PipeWireDaemon::sinks()[2], PipeWireDaemon::sinks()[3]}) {
        ASSERT_EQ(sink.positions.size(), sink.name == "qm-714" ? 12u : 16u) << sink.name;
        const int n = static_cast<int>(sink.positions.size());
        auto rec = PipeWireTestNode::recorder("qm-position-check", n, 48000 * 30);
        ASSERT_TRUE(rec->ok());
        for (int c = 0; c < n; ++c)
            ASSERT_TRUE(rec->linkFrom(daemon(), sink.name + ":monitor_" + sink.positions[c], c + 1));
        p.settings.update([&](AppSettings& s) {
            s.profiles[0].deviceUID = "pw:" + sink.name;  // "Room 9.1.6", as built in
            s.activeProfileID = s.profiles[0].id;
        });
        ASSERT_FALSE(p.settings.activeProfile().routedByHand());
        for (const auto& f : files) {
            SCOPED_TRACE(f.name + " file on " + sink.name);
            const int channels = static_cast<int>(f.at714.size());
            const auto path = p.dir / (f.name + ".wav");
            test::writeAudioFile(path, bursts(channels), 48000, {test::FileKind::wav, 24, false, f.mask});
            ASSERT_TRUE(p.load(path));
            const std::vector<std::string>& expected = n == 12 ? f.at714 : f.at916;
            // Where each burst arrives is judged in any run (a missed cycle
            // moves frames in time, never to another channel); that it
            // arrives whole, in an undisturbed one.
            int64_t from = 0;
            const bool undisturbed = playWhole(p, *rec, from, runs);
            for (int k = 0; k < channels; ++k) {
                std::string heard;
                double level = 0;
                for (int c = 0; c < n; ++c) {
                    const double a = burstIn(*rec, c, from, burstHz(k));
                    if (a > 0.05) heard += " " + sink.positions[c];
                    if (sink.positions[c] == expected[k]) level = a;
                }
                EXPECT_EQ(heard, " " + expected[k]) << "file channel " << k << " plays at" << heard;
                if (undisturbed) {
                    EXPECT_GT(level, 0.24) << "file channel " << k << " not whole";
                }
            }
        }
    }
    RecordProperty("runs", runs);
}

// Nothing at or above full scale reaches the sink: a coherent 500 Hz tone
// on every channel of a 7.1.4 file at -12 dBFS, folded to the stereo
// "Nearfield" profile (which adds it up past +2 dBFS), and a float file
// with one sample of 60.0 (+35.6 dBFS) both peak below 0 dBFS. The float
// file arrives bit for bit before that sample and again once the limiter
// is back at rest, and the same file with that sample below full scale
// (0.99) arrives bit for bit throughout.
TEST_F(PlayerModelPipeWire, NothingAboveFullScaleReachesTheSinkAndBelowItEveryBitArrives) {
    auto rec = PipeWireTestNode::recorder("qm-limit-check", 2, 48000 * 30);
    ASSERT_TRUE(rec->ok());
    ASSERT_TRUE(rec->linkFrom(daemon(), "qm-stereo:monitor_FL", 1));
    ASSERT_TRUE(rec->linkFrom(daemon(), "qm-stereo:monitor_FR", 2));
    Player p;
    p.useStereoProfile("pw:qm-stereo");
    int runs = 0;
    // Each file is played whole, the limiter back at rest long before the next.
    const auto playFile = [&](const std::filesystem::path& path, int64_t& from) {
        return p.load(path) && playWhole(p, *rec, from, runs, 72000);
    };
    const auto peak = [&](int64_t from) {
        return std::max(peakBetween(*rec, 0, from, rec->frames()), peakBetween(*rec, 1, from, rec->frames()));
    };
    const auto dBFS = [](float v) { return 20 * std::log10(v); };

    // 0x2D63F: L R C LFE BL BR SL SR TFL TFR TBL TBR.
    const auto tone = p.dir / "tone714.wav";
    test::writeAudioFile(tone, test::sineSignal(12, 48000 * 2, 48000, 500, 0.25f), 48000,
                         {test::FileKind::wav, 24, false, 0x2D63Fu});
    int64_t from = 0;
    ASSERT_TRUE(playFile(tone, from)) << "no undisturbed run";
    const float foldPeak = peak(from);
    EXPECT_LT(foldPeak, 1.0f) << "the fold-down reached the sink at " << dBFS(foldPeak) << " dBFS";
    EXPECT_GT(foldPeak, 0.9f) << "the fold-down is held just below full scale, not lost";
    RecordProperty("foldPeakDBFS", std::to_string(dBFS(foldPeak)));

    const int64_t spikeAt = 48000, length = 48000 * 3, recovered = spikeAt + 57600;
    test::Planar stairs = test::staircaseSignal(2, length);
    for (float spike : {60.0f, 0.99f}) {
        SCOPED_TRACE(spike);
        stairs[0][spikeAt] = spike;
        const auto path = p.dir / ("spike" + std::to_string(spike) + ".wav");
        test::writeAudioFile(path, stairs, 48000, {test::FileKind::wav, 32, true});
        ASSERT_TRUE(playFile(path, from)) << "no undisturbed run";
        const float filePeak = peak(from);
        EXPECT_LT(filePeak, 1.0f) << "reached the sink at " << dBFS(filePeak) << " dBFS";
        const int64_t at = arrival(*rec, from, 0);
        ASSERT_GE(at, from - 4096) << "the file's frames never arrived";
        int64_t differ = 0, first = -1;
        for (int64_t t = 4096; t < length; ++t) {
            if (spike > 1.0f && t >= spikeAt && t < recovered) continue;
            for (int c = 0; c < 2; ++c)
                if (rec->channel(c)[static_cast<size_t>(at + t)] != stairs[c][t]) {
                    if (first < 0) first = t;
                    ++differ;
                }
        }
        EXPECT_EQ(differ, 0) << "frames changed, the first at " << first;
        if (spike > 1.0f) {
            RecordProperty("spikePeakDBFS", std::to_string(dBFS(filePeak)));
        } else {
            EXPECT_EQ(rec->channel(0)[static_cast<size_t>(at + spikeAt)], 0.99f);
        }
    }
    RecordProperty("runs", runs);
}

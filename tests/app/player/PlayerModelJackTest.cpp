// The player on a dummy JACK server, with stand-in devices recording what
// arrives. A run in which the server missed a cycle is not judged frame by
// frame (the machine's load shifts frames at the device, not the player).
#include "app/player/PlayerModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"

using namespace qm;
using namespace std::chrono_literals;
using test::Player;
using test::pump;

namespace {

// Where frame `frame` of the stereo staircase file arrived (or would have,
// had the device's ports been connected by then) in the recording, looking
// from index `from`: the index whose frames 4096 on are the file's frames
// from there, past the one-callback fade-in and the port connections; the
// lowest int64_t when none.
int64_t arrival(const test::JackTestDevice& device, int64_t from, int64_t frame) {
    const int64_t rec = device.recorded();
    const auto& left = device.channel(0);
    for (int64_t o = from - 4096; o + 4160 < rec; ++o) {
        bool match = true;
        for (int64_t t = 4096; t < 4160 && match; ++t)
            match = left[static_cast<size_t>(o + t)] == test::staircase(0, frame + t);
        if (match) return o;
    }
    return std::numeric_limits<int64_t>::min();
}

bool silentBetween(const test::JackTestDevice& device, int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i)
        for (int c = 0; c < 2; ++c)
            if (device.channel(c)[static_cast<size_t>(i)] != 0.0f) return false;
    return true;
}

}  // namespace

TEST(PlayerModelJack, PlaysExactlyFromTheCueAndExactlyTheSelection) {
    test::JackServer server;  // its own, stopped at the end of the test
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestDevice device("qmplayer", 2, 48000 * 30);
    ASSERT_TRUE(device.ok());
    Player p;
    p.useStereoProfile("jack:qmplayer");
    const auto file = p.dir / "stairs.wav";
    test::writeTestFile(file, 2, 48000 * 2, 48000, {test::FileKind::wav, 16});
    ASSERT_TRUE(p.load(file));
    int judged = 0;
    int64_t missed = 0;
    int deviceMissed = 0;
    int64_t starved = 0;
    // Judged frame by frame only when neither the engine's stream nor the
    // recording device missed a cycle and the stream's reader kept up (a busy
    // machine): those are gaps in the recording, not faults of the player.
    const auto undisturbed = [&] {
        return p.engine.xruns() == missed && device.cycles().missed() == deviceMissed &&
               p.engine.starvedFrames() == starved;
    };

    // A seek plays from exactly the cue: nothing before it reaches the device.
    int64_t from = device.recorded();
    missed = p.engine.xruns();
    deviceMissed = device.cycles().missed();
    starved = p.engine.starvedFrames();
    p.model.seek(12345);
    ASSERT_TRUE(p.waitPlaying());
    // Half a second from the start, not from the request: opening the stream
    // may take that long on a busy machine.
    int64_t started = device.recorded();
    ASSERT_TRUE(p.wait([&] { return device.recorded() > started + 48000 / 2; }));
    if (undisturbed()) {
        ++judged;
        const int64_t at = arrival(device, from, 12345);
        ASSERT_GE(at, from - 4096) << "the file's frames from the cue never arrived";
        EXPECT_TRUE(silentBetween(device, from, std::max(from, at))) << "something before the cue was played";
    }
    p.model.stop();
    EXPECT_EQ(p.model.playhead()->frame(), 12345) << "stop returns to the cue";

    // A selection plays its frames and ends; the playhead returns to its start.
    const FrameRange sel{24000, 33600};
    from = device.recorded();
    missed = p.engine.xruns();
    deviceMissed = device.cycles().missed();
    starved = p.engine.starvedFrames();
    p.model.select(sel);
    ASSERT_TRUE(p.waitPlaying());
    started = device.recorded();
    ASSERT_TRUE(p.wait([&] { return !p.model.isPlaying(); }, 5s)) << "the selection's end stops playback";
    EXPECT_EQ(p.model.playhead()->frame(), sel.lower);
    ASSERT_TRUE(p.wait([&] { return device.recorded() > started + 48000; }));
    if (undisturbed()) {
        ++judged;
        const int64_t at = arrival(device, from, sel.lower);
        ASSERT_GE(at, from - 4096);
        const auto& left = device.channel(0);
        EXPECT_EQ(left[static_cast<size_t>(at + sel.length() - 1)], test::staircase(0, sel.upper - 1));
        EXPECT_TRUE(silentBetween(device, at + sel.length(), at + sel.length() + 4800))
            << "frames past the selection's end were played";
    }

    // Looped, it wraps from the selection's end to its start.
    p.model.setLoop(true);
    from = device.recorded();
    missed = p.engine.xruns();
    deviceMissed = device.cycles().missed();
    starved = p.engine.starvedFrames();
    p.model.play();
    ASSERT_TRUE(p.waitPlaying());
    started = device.recorded();
    ASSERT_TRUE(p.wait([&] { return device.recorded() > started + 3 * sel.length(); }));
    EXPECT_TRUE(p.model.isPlaying()) << "a loop never ends";
    if (undisturbed()) {
        ++judged;
        const int64_t at = arrival(device, from, sel.lower);
        ASSERT_GE(at, from - 4096);
        const auto& left = device.channel(0);
        for (int64_t t = 0; t < 2000; ++t)
            ASSERT_EQ(left[static_cast<size_t>(at + sel.length() + t)], test::staircase(0, sel.lower + t)) << t;
    }
    p.model.stop();
    RecordProperty("judged_runs", judged);
    RecordProperty("xruns", std::to_string(p.engine.xruns()));
}

TEST(PlayerModelJack, PlaybackSurvivesTheLossOfItsDeviceAndOfTheServer) {
    test::JackServer server;  // its own, stopped at the end of the test
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestDevice stays("qmstays", 2, 48000);
    auto lost = std::make_unique<test::JackTestDevice>("qmlost", 2, 48000 * 10);
    ASSERT_TRUE(stays.ok() && lost->ok());
    Player p;
    p.useStereoProfile("jack:qmlost");
    const auto file = p.dir / "stairs.wav";
    test::writeTestFile(file, 2, 48000 * 4, 48000);
    ASSERT_TRUE(p.load(file));
    p.model.setLoop(true);
    p.model.play(1000);
    ASSERT_TRUE(p.waitPlaying());
    ASSERT_TRUE(p.wait([&] { return p.model.playhead()->frame() > 20000; }));
    EXPECT_TRUE(p.wait([&] { return lost->recorded() > 0; }));

    // The device being played to goes: playback goes on from where it was.
    const double reached = p.model.playhead()->frame();
    const size_t starts = p.starts.size();
    lost->close();
    ASSERT_TRUE(p.wait([&] { return p.starts.size() > starts && p.model.isPlaying(); }, 5s));
    EXPECT_GE(p.starts.back(), reached);
    EXPECT_LT(p.starts.back(), reached + 48000) << "not from the cue or the start";
    EXPECT_EQ(p.engine.outputDescription(), "JACK: system");
    EXPECT_FALSE(p.model.message());
    const double later = p.model.playhead()->frame();
    EXPECT_TRUE(p.wait([&] { return p.model.playhead()->frame() > later + 4800; }, 5s)) << "it plays on";

    // The server goes: no crash, no hang; the silent output takes over and the message says so.
    stays.close();  // a client of a dead server cannot be closed
    server.terminate();
    ASSERT_TRUE(p.wait([&] { return p.model.message().has_value(); }, 10s));
    EXPECT_EQ(*p.model.message(), "Output device changed: Silent output (no sound device)");
    EXPECT_TRUE(p.engine.isSilent());
    ASSERT_TRUE(p.wait([&] { return p.model.isPlaying(); }, 5s));
    const double silentAt = p.model.playhead()->frame();
    EXPECT_TRUE(p.wait([&] { return p.model.playhead()->frame() != silentAt; }, 5s)) << "playback goes on, silently";
    p.model.stop();
}

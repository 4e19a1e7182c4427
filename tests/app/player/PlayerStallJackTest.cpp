// The main thread while playback starts and while it moves to another
// device: the binaural renderer (loading and equalising the HRTF set takes
// a tenth of a second of CPU and more) is made on a worker, only for a
// headphone output, once per rate, and begun as soon as a headphone profile
// is active (at launch, at its selection), before the output is opened. Each turn of the main thread's loop is
// timed on the thread's own CPU clock, and the longest is judged against
// the CPU time the renderer took on its worker: a renderer made on the
// main thread would make a turn at least that long. Wall-clock figures are
// reported only (the machine may be busy).
#include "app/player/PlayerModel.h"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "app/CountingDefaults.h"
#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Profiles.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

double threadCPU() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Runs the main thread's loop (Qt's events and the main queue) in turns,
// each timed on the thread's CPU clock and on the wall clock.
struct MainWatch {
    ManualMainQueue& queue;
    double longestCPU = 0, longestWall = 0;

    void turn(const std::function<void()>& work) {
        const double cpu = threadCPU();
        const auto wall = std::chrono::steady_clock::now();
        work();
        longestCPU = std::max(longestCPU, threadCPU() - cpu);
        longestWall = std::max(longestWall, std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count());
    }
    bool until(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + test::timeout(20s);
        while (std::chrono::steady_clock::now() < end) {
            turn([&] {
                QCoreApplication::processEvents();
                queue.runDue();
            });
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    void reset() { longestCPU = longestWall = 0; }
};

}  // namespace

TEST(PlayerStallJack, FirstPlaysAndADeviceChangeNeverWaitForTheBinauralRenderer) {
    test::JackServer server(48000, 256, 2, 0);  // no playback ports of its own
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    auto phones = std::make_unique<test::JackTestDevice>("qmphones", 2, 48000 * 20);
    test::JackTestDevice spare("qmspare", 2, 48000 * 20);
    test::Player p;
    MainWatch watch{p.queue};
    const auto bed = p.dir / "bed.wav";
    test::writeTestFile(bed, 6, 48000 * 8, 48000, {.bits = 16, .channelMask = 0x3F});
    const OutputProfile speakers =
        test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::speakers, "jack:qmphones");
    const OutputProfile headphones =
        test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::headphones, "jack:qmphones");
    p.settings.update([&](AppSettings& s) {
        s.profiles.push_back(speakers);
        s.profiles.push_back(headphones);
        s.activeProfileID = speakers.id;
    });
    ASSERT_TRUE(p.load(bed));
    EXPECT_EQ(p.engine.binauralBuilds(), 0);

    // On speakers: no renderer at all.
    watch.turn([&] { p.model.play(0); });
    ASSERT_TRUE(watch.until([&] { return p.model.isPlaying() && phones->firstSoundTime(0) >= 0; }));
    EXPECT_EQ(p.engine.binauralBuilds(), 0);
    const double speakerCPU = watch.longestCPU;
    p.model.stop();

    // On headphones: the renderer is made on its worker while the start
    // goes on; the sound begins once both are ready.
    watch.reset();
    const int64_t from = phones->recorded();
    watch.turn([&] { p.model.selectProfile(headphones.id); });
    EXPECT_EQ(p.engine.binauralBuilds(), 1) << "begun at the profile's selection";
    watch.turn([&] { p.model.play(0); });
    ASSERT_TRUE(watch.until([&] { return p.model.isPlaying() && phones->firstSoundTime(from) >= 0; }));
    ASSERT_EQ(p.engine.binauralBuilds(), 1);
    ASSERT_TRUE(p.engine.hasBinaural());
    const double buildCPU = p.engine.lastBinauralBuildCPU();
    const double firstPlayCPU = watch.longestCPU, firstPlayWall = watch.longestWall;

    // The device goes: playback moves to the other one at the same rate,
    // with the renderer it has.
    watch.reset();
    const int64_t spareFrom = spare.recorded();
    phones->close();
    ASSERT_TRUE(watch.until([&] { return p.model.isPlaying() && spare.firstSoundTime(spareFrom) >= 0; }));
    EXPECT_EQ(p.engine.binauralBuilds(), 1) << "the renderer of that rate is kept";
    const double changeCPU = watch.longestCPU, changeWall = watch.longestWall;
    p.model.stop();

    // A launch on the headphone profile begins the renderer at once, for
    // the device's rate, without opening the output; the first play uses it.
    watch.reset();
    {
        ManualMainQueue queue;
        PlaybackEngine engine{queue};
        SettingsStore settings{std::make_shared<test::CountingDefaults>(p.dir / "launch.ini")};
        const OutputProfile spareHeadphones =
            test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::headphones, "jack:qmspare");
        settings.update([&](AppSettings& s) {
            s.profiles = {speakers, spareHeadphones};
            s.activeProfileID = spareHeadphones.id;
        });
        std::optional<PlayerModel> model;
        watch.turn([&] { model.emplace(engine, settings); });
        EXPECT_EQ(engine.binauralBuilds(), 1) << "begun at launch";
        EXPECT_FALSE(engine.isConfigured());
        model->load(bed, false);
        ASSERT_TRUE(test::waitUntil([&] { return model->info().has_value(); }, queue));
        const int64_t launchFrom = spare.recorded();
        watch.turn([&] { model->play(0); });
        MainWatch launched{queue};
        ASSERT_TRUE(launched.until([&] { return model->isPlaying() && spare.firstSoundTime(launchFrom) >= 0; }));
        EXPECT_EQ(engine.binauralBuilds(), 1) << "the renderer begun at launch is the one played";
        watch.longestCPU = std::max(watch.longestCPU, launched.longestCPU);
        model->stopPlayback();
    }
    const double launchCPU = watch.longestCPU;

    // Launched on speakers: none.
    {
        ManualMainQueue queue;
        PlaybackEngine engine{queue};
        SettingsStore settings{std::make_shared<test::CountingDefaults>(p.dir / "speakers.ini")};
        settings.update([&](AppSettings& s) {
            s.profiles = {speakers};
            s.activeProfileID = speakers.id;
        });
        PlayerModel model{engine, settings};
        EXPECT_EQ(engine.binauralBuilds(), 0);
    }

    std::printf("renderer made in %.1f ms of its worker's CPU; longest main-thread turn: %.1f ms CPU on speakers, "
                "%.1f ms CPU (%.1f ms wall) at the first play on headphones, %.1f ms CPU (%.1f ms wall) during "
                "the device change, %.1f ms CPU at a launch on headphones and its first play\n",
                buildCPU * 1e3, speakerCPU * 1e3, firstPlayCPU * 1e3, firstPlayWall * 1e3, changeCPU * 1e3,
                changeWall * 1e3, launchCPU * 1e3);
    RecordProperty("binaural_build_cpu_ms", std::to_string(buildCPU * 1e3));
    RecordProperty("first_play_main_cpu_ms", std::to_string(firstPlayCPU * 1e3));
    RecordProperty("device_change_main_cpu_ms", std::to_string(changeCPU * 1e3));
    EXPECT_GT(buildCPU, 0.0);
    EXPECT_LT(firstPlayCPU, buildCPU / 4);
    EXPECT_LT(changeCPU, buildCPU / 4);
    EXPECT_LT(launchCPU, buildCPU / 4);
}

// A minute of the heaviest playback path on the dummy server: a stereo file
// streamed from disk, upmixed to 9.1.6 and rendered binaurally through 16
// virtual sources. Every frame must reach the end, and the render thread's
// CPU time must leave wide room in the period: on average a callback may
// use a quarter of it, and 99.9% of the callbacks half of it. Missed cycles,
// wall-clock callback times and the single longest callback's CPU time are
// reported, not asserted: they depend on what else the machine runs. (The
// longest is the machine's more than the code's: when the host stalls a
// virtual machine, every thread running at that moment, this one and any
// other process's alike, is charged tens of milliseconds it never used.)
#include "playback/PlaybackEngine.h"

#include "audio/FrameSource.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/PlaybackConfigs.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace qm;

TEST(PlaybackSoak, SixtySecondsOfUpmixedBinauralPlaybackWithinItsCPUBudget) {
    if (!test::sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    test::TempDir dir;
    const auto file = dir / "minute.wav";
    const int64_t frames = 60 * 48000;
    test::writeAudioFile(file, test::sineSignal(2, frames, 48000, 330.0, 0.4f), 48000);

    ManualMainQueue queue;
    PlaybackEngine engine(queue);
    auto session = engine.begin({
        .mix = [](int) { return test::stereoUpmixedBinaural(LayoutID::l916); },
        .source = [file] { return std::make_shared<FileSource>(file); },
        .range = {.start = 0, .end = frames},
    });
    session->prepare();  // also waits for the binaural renderer
    ASSERT_TRUE(session->start());
    ASSERT_TRUE(engine.hasBinaural());
    ASSERT_TRUE(engine.upmixer());
    const auto limit = std::chrono::steady_clock::now() + test::timeout(std::chrono::seconds(70));
    double busiest = 0;  // highest one-minute load average seen during the run
    for (int i = 0; !session->finished() && std::chrono::steady_clock::now() < limit; ++i) {
        queue.runDue();
        double load = 0;
        if (i % 50 == 0 && getloadavg(&load, 1) == 1) busiest = std::max(busiest, load);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(session->finished());
    EXPECT_EQ(session->position(), double(frames - 1));
    const int64_t xruns = engine.xruns();
    const double longest = engine.longestRender();
    const double cpu = engine.longestRenderCPU();
    const double cpu999 = engine.renderCPUUnder(0.001);
    const double meanCPU = engine.renderCPU() / static_cast<double>(std::max<int64_t>(engine.callbacks(), 1));
    const double period = engine.period();
    session->stop();
    RecordProperty("xruns", std::to_string(xruns));
    RecordProperty("longest_render_ms", std::to_string(longest * 1000));
    RecordProperty("longest_render_cpu_ms", std::to_string(cpu * 1000));
    RecordProperty("render_cpu_999_ms", std::to_string(cpu999 * 1000));
    RecordProperty("mean_render_cpu_ms", std::to_string(meanCPU * 1000));
    std::printf("%lld xruns in 60 s; longest callback %.3f ms (CPU: longest %.3f ms, 99.9%% under %.3f ms, "
                "mean %.3f ms) of a %.3f ms period; load average up to %.1f\n",
                static_cast<long long>(xruns), longest * 1000, cpu * 1000, cpu999 * 1000, meanCPU * 1000,
                period * 1000, busiest);
    ASSERT_GT(period, 0.0);
    EXPECT_GT(meanCPU, 0.0);
    EXPECT_LT(meanCPU, 0.25 * period * test::kTimeFactor);
    EXPECT_LT(cpu999, 0.5 * period * test::kTimeFactor);
}

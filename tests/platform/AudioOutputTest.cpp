#include "platform/AudioOutput.h"

#include "support/JackServer.h"
#include "support/PipeWireDaemon.h"
#include "support/JackTestDevice.h"
#include "support/Timeouts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace qm;
using namespace std::chrono_literals;

namespace {

// Writes a staircase: channel c carries (frame index mod 4096) + 8192 c, so
// any lost, repeated or misrouted frame shows in the recording.
struct Staircase {
    std::atomic<int64_t> frames{0};
    std::atomic<uint32_t> largest{0};
    std::atomic<int> calls{0};

    static void render(void* user, uint32_t n, float* const* ch, uint32_t count) {
        auto* self = static_cast<Staircase*>(user);
        int64_t f0 = self->frames.load(std::memory_order_relaxed);
        for (uint32_t c = 0; c < count; ++c) {
            for (uint32_t t = 0; t < n; ++t) {
                ch[c][t] = static_cast<float>((f0 + t) % 4096 + 8192 * static_cast<int64_t>(c));
            }
        }
        self->frames.store(f0 + n, std::memory_order_relaxed);
        if (n > self->largest.load()) self->largest.store(n);
        self->calls.fetch_add(1);
    }
};

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + test::timeout(limit);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

const OutputEndpoint* find(const std::vector<OutputEndpoint>& list, const std::string& uid) {
    for (const auto& d : list) {
        if (d.uid == uid) return &d;
    }
    return nullptr;
}

class AudioOutputJack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    }
};

}  // namespace

TEST_F(AudioOutputJack, ListsEachClientsPhysicalPlaybackPortsAsOneDeviceInServerOrder) {
    test::JackTestDevice dev("qmlistdev", 4, 16);
    ASSERT_TRUE(dev.ok());
    auto list = AudioOutputs::list();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].uid, "jack:system");  // the server's own driver comes first
    const OutputEndpoint* d = find(list, "jack:qmlistdev");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, "JACK: qmlistdev");
    EXPECT_EQ(d->channels, 4);
    ASSERT_EQ(d->ports.size(), 4u);
    EXPECT_EQ(d->ports[0], "qmlistdev:playback_1");
    EXPECT_EQ(d->ports[3], "qmlistdev:playback_4");
    // Our own output ports are not devices.
    Staircase s;
    auto out = AudioOutputs::open(*d, &Staircase::render, &s, nullptr);
    out->start();
    for (const auto& e : AudioOutputs::list()) EXPECT_EQ(e.uid.find("Quillmarsh"), std::string::npos);
}

TEST_F(AudioOutputJack, DeliversEveryFrameInOrderToTheDevicePortsAndPausesForReal) {
    test::JackTestDevice dev("qmplaydev", 3, 48000);
    ASSERT_TRUE(dev.ok());
    auto list = AudioOutputs::list();
    const OutputEndpoint* d = find(list, "jack:qmplaydev");
    ASSERT_NE(d, nullptr);
    Staircase s;
    auto out = AudioOutputs::open(*d, &Staircase::render, &s, nullptr);
    EXPECT_EQ(out->channels(), 3);
    EXPECT_EQ(out->sampleRate(), 48000.0);
    EXPECT_EQ(out->description(), "JACK: qmplaydev");
    EXPECT_FALSE(out->isRunning());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(s.calls.load(), 0) << "nothing renders before start";

    out->start();
    EXPECT_TRUE(out->isRunning());
    // The ports are connected one after the other once the client runs (late
    // on a busy machine): wait until our signal reaches the last port and
    // 4096 frames more have arrived, then check every frame from there on.
    int64_t start = -1, scanned = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            const int64_t recorded = dev.recorded();
            for (; start < 0 && scanned < recorded; ++scanned)
                if (dev.channel(2)[scanned] != 0.0f) start = scanned;
            return start >= 0 && recorded >= start + 4096;
        },
        5s));
    // A cycle the server misses (a loaded machine, a sanitizer's slowness)
    // repeats or drops a period at the device: that is the server's doing,
    // so breaks in the staircase are allowed only where it reported missed
    // cycles, and reported.
    const int64_t n = dev.recorded();
    int64_t breaks = 0;
    for (int64_t t = start + 1; t < n; ++t) {
        float prev = dev.channel(0)[t - 1], cur = dev.channel(0)[t];
        if (cur != (prev == 4095.0f ? 0.0f : prev + 1.0f)) ++breaks;
        ASSERT_EQ(dev.channel(1)[t], cur + 8192.0f) << "frame " << t;
        ASSERT_EQ(dev.channel(2)[t], cur + 16384.0f) << "frame " << t;
    }
    const int64_t missed = out->xruns();
    RecordProperty("xruns", std::to_string(missed));
    EXPECT_LE(breaks, 2 * missed) << breaks << " breaks in the frame sequence with " << missed << " missed cycles";
    EXPECT_LE(s.largest.load(), kMaxRenderFrames);
    EXPECT_DOUBLE_EQ(out->period(), 256 / 48000.0);
    // What the callback controls is its own CPU time; the wall-clock time
    // also holds whatever preempted it, and is only reported.
    EXPECT_GT(out->longestRenderCPU(), 0.0);
    EXPECT_LT(out->longestRenderCPU(), out->period() * test::kTimeFactor);
    // Every callback is in the CPU-time histogram (10 us buckets up to 20 ms):
    // its top reaches the longest.
    const double top = std::min(out->longestRenderCPU(), 0.02);
    EXPECT_GE(out->renderCPUUnder(0.0), top);
    EXPECT_NEAR(out->renderCPUUnder(0.0), top, 10e-6);
    EXPECT_GT(out->renderCPUUnder(0.5), 0.0);
    RecordProperty("longest_render_ms", std::to_string(out->longestRender() * 1000));
    EXPECT_EQ(out->callbacks(), s.calls.load());

    out->pause();
    EXPECT_FALSE(out->isRunning());
    int calls = s.calls.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.calls.load(), calls) << "a paused output must not call back";

    // Restarting reconnects the ports.
    int64_t before = dev.recorded();
    int64_t framesBefore = s.frames.load();
    out->start();
    ASSERT_TRUE(waitFor([&] { return s.frames.load() > framesBefore + 4096; }, 3s));
    std::this_thread::sleep_for(20ms);
    bool heard = false;
    for (int64_t t = before; t < dev.recorded(); ++t) heard |= dev.channel(2)[t] >= 16384.0f;
    EXPECT_TRUE(heard);
}

TEST_F(AudioOutputJack, ReportsRemovalOfItsDeviceOnceAndIgnoresOtherClientsAndItsOwnPorts) {
    test::JackTestDevice dev("qmgonedev", 2, 16);
    test::JackTestDevice other("qmotherdev", 2, 16);
    ASSERT_TRUE(dev.ok() && other.ok());
    auto list = AudioOutputs::list();
    const OutputEndpoint* d = find(list, "jack:qmgonedev");
    ASSERT_NE(d, nullptr);
    std::atomic<int> changes{0};
    Staircase s;
    auto out = AudioOutputs::open(*d, &Staircase::render, &s, [&] { changes.fetch_add(1); });
    out->start();
    // Another stream of ours and another device coming and going are not our business.
    Staircase s2;
    auto second = AudioOutputs::open(list[0], &Staircase::render, &s2, nullptr);
    second->start();
    other.close();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(changes.load(), 0);

    dev.close();
    ASSERT_TRUE(waitFor([&] { return changes.load() > 0; }, 2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(changes.load(), 1);
}

TEST(AudioOutputNull, StandsInWhenNoServerAnswersAndPullsInRealTime) {
    const char* saved = std::getenv("JACK_DEFAULT_SERVER");
    std::string keep = saved ? saved : "";
    std::vector<OutputEndpoint> list;
    {
        test::OnlySound only(test::OnlySound::System::jack);  // and no JACK server either:
        setenv("JACK_DEFAULT_SERVER", "qm-no-such-server", 1);
        list = AudioOutputs::list();
    }
    if (saved) setenv("JACK_DEFAULT_SERVER", keep.c_str(), 1);
    else unsetenv("JACK_DEFAULT_SERVER");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].uid, AudioOutputs::nullUID);
    EXPECT_EQ(list[0].channels, 2);

    Staircase s;
    auto out = AudioOutputs::open(list[0], &Staircase::render, &s, nullptr);
    EXPECT_EQ(out->sampleRate(), 48000.0);
    EXPECT_EQ(out->channels(), 2);
    EXPECT_EQ(out->description(), "Silent output (no sound device)");
    auto t0 = std::chrono::steady_clock::now();
    out->start();
    std::this_thread::sleep_for(300ms);
    out->pause();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int64_t frames = s.frames.load();
    EXPECT_EQ(s.largest.load(), 256u);
    EXPECT_DOUBLE_EQ(out->period(), 256 / 48000.0);
    EXPECT_GT(out->longestRender(), 0.0);
    EXPECT_GT(out->callbacks(), 0);
    // Pulled against an absolute clock, it never runs ahead of real time
    // (behind it, it may fall on a busy machine: reported only).
    EXPECT_GT(frames, 0);
    EXPECT_LE(static_cast<double>(frames) / 48000.0, secs + 256 / 48000.0);
    RecordProperty("null_output_lag_ms", std::to_string((secs - static_cast<double>(frames) / 48000.0) * 1000));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(s.frames.load(), frames) << "a paused output must not call back";
}

// The output on a private PipeWire daemon with null sinks of 2, 6, 12 and
// 16 channels: the device list and its positions, what reaches the sink
// (recorded from its monitor ports), callbacks that really stop, the chunks
// of a long quantum, and the reports of a sink removed or added and of the
// daemon's end. Named *PipeWire* so that they run one at a time.
#include "platform/AudioOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <thread>

#include "platform/AppError.h"
#include "platform/PipeWireClient.h"
#include "support/DesktopSession.h"
#include "support/PipeWireDaemon.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;
using test::PipeWireDaemon;
using test::PipeWireTestNode;

namespace {

// The graph's cycles a node was not run in are missed ones, and so is one
// without a buffer; those of a pause are not, also when the daemon ran the
// node once more after it.
TEST(PipeWireMissedCycles, CountsTheGapsOfARunningNodeButNotThoseOfAPause) {
    pipewire::MissedCycles missed;
    missed.note(0, 1024);
    missed.note(1024, 1024);
    EXPECT_EQ(missed.count(), 0);
    missed.note(4096, 1024);
    EXPECT_EQ(missed.count(), 1) << "two cycles skipped";
    missed.noteEmpty();
    EXPECT_EQ(missed.count(), 2);
    missed.note(5120, 1024);  // paused; the daemon runs it once more
    missed.restart();
    missed.note(48000, 512);
    missed.note(48512, 512);
    EXPECT_EQ(missed.count(), 2) << "the pause counted as a missed cycle";
    missed.note(60000, 512);
    EXPECT_EQ(missed.count(), 3) << "only the first cycle after a start follows no earlier one";
}

bool waitFor(const std::function<bool()>& done) { return test::waitUntil(done, 10.0); }

// Channel c carries (c + 1) / 32 plus a ramp of the frame: every channel and
// every frame can be told apart in the recording.
struct Ramp {
    std::atomic<int64_t> calls{0};
    std::atomic<int64_t> frames{0};
    std::atomic<uint32_t> largest{0};
    static float value(int c, int64_t f) {
        return static_cast<float>(c + 1) / 32.0f + static_cast<float>(f % 4096) / 131072.0f;
    }
    static void render(void* user, uint32_t n, float* const* channels, uint32_t count) {
        auto* self = static_cast<Ramp*>(user);
        const int64_t at = self->frames.load(std::memory_order_relaxed);
        for (uint32_t c = 0; c < count; ++c)
            for (uint32_t t = 0; t < n; ++t) channels[c][t] = value(static_cast<int>(c), at + t);
        if (n > self->largest.load()) self->largest.store(n);
        self->frames.store(at + n);
        self->calls.fetch_add(1);
    }
};

OutputEndpoint device(const std::string& uid) {
    for (const auto& d : AudioOutputs::list())
        if (d.uid == uid) return d;
    return {};
}

using AudioOutputPipeWire = test::PipeWireTest;

}  // namespace

TEST_F(AudioOutputPipeWire, TheSinksAreTheDevicesTheDefaultFirstWithTheirPositions) {
    const std::vector<OutputEndpoint> all = AudioOutputs::list();
    ASSERT_EQ(all.size(), PipeWireDaemon::sinks().size());
    for (const auto& sink : PipeWireDaemon::sinks()) {
        const auto it = std::find_if(all.begin(), all.end(), [&](const OutputEndpoint& d) { return d.uid == "pw:" + sink.name; });
        ASSERT_NE(it, all.end()) << sink.name;
        EXPECT_EQ(it->name, "PipeWire: " + sink.description);
        EXPECT_EQ(it->channels, static_cast<int>(sink.positions.size()));
        EXPECT_EQ(it->positions, sink.positions) << sink.name;
        EXPECT_EQ(it->rate, 48000.0) << "the graph's rate, which its streams play at";
    }
    EXPECT_EQ(all.front().uid, "pw:qm-stereo") << "the default sink comes first";
}

TEST_F(AudioOutputPipeWire, EveryChannelReachesItsOwnSinkChannelFrameForFrame) {
    const OutputEndpoint sink = device("pw:qm-916");
    ASSERT_EQ(sink.channels, 16);
    // A cycle missed by a node (the machine's load) shifts frames between
    // nodes, not the stream: such a run is not judged frame by frame, and
    // the run is made again, up to kJudgedRuns times. Where each channel arrives is
    // judged in every run: a frame shifted in time stays on its channel.
    int judged = 0, runs = 0;
    for (; runs < test::kJudgedRuns && judged == 0; ++runs) {
        constexpr int64_t kRecorded = 48000 * 12;
        auto recorder = PipeWireTestNode::recorder("qm-check", 16, kRecorded);
        ASSERT_TRUE(recorder->ok());
        for (int c = 0; c < 16; ++c)
            ASSERT_TRUE(recorder->linkFrom(daemon(), "qm-916:monitor_" + sink.positions[static_cast<size_t>(c)], c + 1));
        Ramp ramp;
        auto out = AudioOutputs::open(sink, &Ramp::render, &ramp, [] {});
        EXPECT_EQ(out->channels(), 16);
        EXPECT_EQ(out->description(), "PipeWire: Test 9.1.6");
        out->start();
        // A busy machine may take a while to link the stream to the sink:
        // a second is recorded from its first sound.
        int64_t first = -1, scanned = 0;
        EXPECT_TRUE(waitFor([&] {
            if (first < 0) {
                const int64_t end = recorder->frames();
                first = recorder->firstSound(scanned);
                scanned = end;
            }
            return first >= 0 && recorder->frames() > first + 48000;
        }));
        out->pause();
        ASSERT_GE(first, 0) << "nothing reached the sink";
        ASSERT_LT(recorder->frames(), kRecorded) << "the recording ran past its end";
        // Channel c carries values in [(c + 1) / 32, (c + 2) / 32).
        int elsewhere = 0;
        for (int64_t f = first; f < recorder->frames(); ++f)
            for (int c = 0; c < 16; ++c) {
                const float v = recorder->channel(c)[static_cast<size_t>(f)];
                elsewhere += v != 0.0f && static_cast<int>(v * 32.0f) - 1 != c;
            }
        EXPECT_EQ(elsewhere, 0) << "samples of one channel reached another's position";
        if (recorder->missed() != 0 || out->xruns() != 0) continue;
        ++judged;
        // The stream's first frame is frame 0 of the ramp: it arrives whole,
        // every channel on its own position, frame after frame.
        int wrong = 0;
        for (int64_t f = 0; f < 24000 && first + f < recorder->frames(); ++f)
            for (int c = 0; c < 16; ++c)
                wrong += recorder->channel(c)[static_cast<size_t>(first + f)] != Ramp::value(c, f);
        EXPECT_EQ(wrong, 0);
    }
    RecordProperty("runs", runs);
    EXPECT_EQ(judged, 1) << "a node missed cycles in each of " << runs << " runs: nothing could be judged";
}

TEST_F(AudioOutputPipeWire, PauseStopsTheCallbacksAndLongQuantaComeInChunks) {
    daemon().run("pw-metadata -n settings 0 clock.max-quantum 8192");
    daemon().forceQuantum(8192);
    Ramp ramp;
    auto out = AudioOutputs::open(device("pw:qm-51"), &Ramp::render, &ramp, [] {});
    out->start();
    ASSERT_TRUE(waitFor([&] { return ramp.calls.load() >= 8; }));
    EXPECT_EQ(ramp.largest.load(), kMaxRenderFrames) << "an 8192-frame cycle in two calls of 4096";
    EXPECT_EQ(ramp.frames.load() % 8192, 0);
    out->pause();
    EXPECT_FALSE(out->isRunning());
    const int64_t stopped = ramp.calls.load();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ramp.calls.load(), stopped) << "a callback after pause() returned";
    // Paused and started again while the graph runs on (another stream
    // keeps the sink running): the callbacks come back each time. (That
    // the pauses' cycles are not missed ones is judged above, where no
    // machine's load can miss one.)
    Ramp other;
    auto keeper = AudioOutputs::open(device("pw:qm-51"), &Ramp::render, &other, [] {});
    keeper->start();
    ASSERT_TRUE(waitFor([&] { return other.calls.load() >= 4; }));
    for (int i = 0; i < 4; ++i) {
        if (i > 0) out->pause();
        const int64_t at = ramp.calls.load(), otherAt = other.calls.load();
        ASSERT_TRUE(waitFor([&] { return other.calls.load() >= otherAt + 4; })) << "the graph runs on";
        out->start();
        EXPECT_TRUE(waitFor([&] { return ramp.calls.load() > at + 2; })) << "start() again brings them back";
    }
    out->pause();
    daemon().run("pw-metadata -n settings 0 clock.max-quantum 2048");
}

TEST_F(AudioOutputPipeWire, ASinkRemovedOrAddedIsReportedOncePerStream) {
    Ramp ramp;
    std::atomic<int> lostReports{0}, addedReports{0};
    auto onLost = AudioOutputs::open(device("pw:qm-714"), &Ramp::render, &ramp, [&] { ++lostReports; });
    Ramp other;
    auto onOther = AudioOutputs::open(device("pw:qm-51"), &Ramp::render, &other, [&] { ++addedReports; });
    onLost->start();
    onOther->start();
    ASSERT_TRUE(waitFor([&] { return ramp.calls.load() > 4 && other.calls.load() > 4; }));

    const auto& sink = PipeWireDaemon::sinks()[2];
    ASSERT_TRUE(daemon().removeSink(sink.name));
    EXPECT_TRUE(waitFor([&] { return lostReports.load() == 1; })) << "the stream on the removed sink";
    ASSERT_TRUE(daemon().addSink(sink));
    EXPECT_TRUE(waitFor([&] { return device("pw:" + sink.name).channels == 12; })) << "offered again";
    EXPECT_TRUE(waitFor([&] { return addedReports.load() >= 1; })) << "a sink added is a change";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(lostReports.load(), 1) << "once per stream";
    EXPECT_EQ(addedReports.load(), 1) << "once per stream";
}

TEST_F(AudioOutputPipeWire, ASinkTooWideOrWithoutPositionsIsAClearError) {
    ASSERT_TRUE(daemon().addSink({"qm-unplaced", "Unplaced", {"UNK", "UNK"}}));
    ASSERT_TRUE(waitFor([&] { return device("pw:qm-unplaced").channels == 2; }));
    Ramp ramp;
    try {
        AudioOutputs::open(device("pw:qm-unplaced"), &Ramp::render, &ramp, [] {});
        ADD_FAILURE() << "a sink whose channels play nowhere was opened";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), 10);
        EXPECT_STREQ(e.what(), "The output device doesn't say where its channels play");
    }
    EXPECT_EQ(ramp.calls.load(), 0);
    daemon().removeSink("qm-unplaced");

    // A device of more channels than one stream of the daemon carries (a
    // node of its own: the null sink stops at that count).
    auto wide = PipeWireTestNode::recorder("qm-wide", 65, 4800, "Audio/Sink");
    ASSERT_TRUE(wide->ok());
    ASSERT_TRUE(waitFor([&] { return device("pw:qm-wide").channels == 65; }));
    try {
        AudioOutputs::open(device("pw:qm-wide"), &Ramp::render, &ramp, [] {});
        ADD_FAILURE() << "a sink wider than a stream was opened";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), 10);
        EXPECT_STREQ(e.what(), "The output device has 65 channels; at most 64 can be played");
    }
    EXPECT_EQ(ramp.calls.load(), 0);
    EXPECT_EQ(wide->frames(), 0) << "nothing reached it";
}

TEST_F(AudioOutputPipeWire, TheDaemonsEndIsReportedAndItsSinksComeBackWithIt) {
    for (int signal : {SIGTERM, SIGKILL}) {
        Ramp ramp;
        std::atomic<int> reports{0};
        auto out = AudioOutputs::open(device("pw:qm-stereo"), &Ramp::render, &ramp, [&] { ++reports; });
        out->start();
        ASSERT_TRUE(waitFor([&] { return ramp.calls.load() > 4; }));
        daemon().stop(signal);
        EXPECT_TRUE(waitFor([&] { return reports.load() == 1; })) << signal;
        EXPECT_FALSE(out->isRunning());
        EXPECT_EQ(AudioOutputs::list().front().uid, AudioOutputs::nullUID) << "nothing else answers here";
        out.reset();  // closes against a daemon that is gone
        ASSERT_TRUE(daemon().start());
        EXPECT_EQ(AudioOutputs::list().front().uid, "pw:qm-stereo") << "the next refresh offers its sinks again";
        EXPECT_EQ(reports.load(), 1);
    }
}

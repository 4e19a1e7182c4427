// The monitor's stream on a private PipeWire daemon: the sources offered
// (ours never), an impulse from a source node that reaches the sink in the
// graph cycle it left at every quantum (and exactly the declared latency
// later when the processing delays it, which the ports then report), and
// the reports of a lost source, output and daemon. A run in which a node
// missed a cycle is not judged frame by frame.
#include "platform/AudioDuplex.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/AppError.h"
#include "support/DelayLine.h"
#include "support/DesktopSession.h"
#include "support/PipeWireDaemon.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;
using test::PipeWireDaemon;
using test::PipeWireTestNode;

namespace {

bool waitFor(const std::function<bool()>& done) { return test::waitUntil(done, 10.0); }

constexpr int kImpulseEvery = 4801;  // never a multiple of a quantum

// Impulses of 0.5 on channel 0, of -0.5 on channel 1.
std::vector<std::vector<float>> impulses() {
    std::vector<std::vector<float>> s(2, std::vector<float>(kImpulseEvery, 0.0f));
    s[0][100] = 0.5f;
    s[1][100] = -0.5f;
    return s;
}


SourceEndpoint sourceNamed(const std::string& uid) {
    for (const auto& s : AudioDuplexes::sources())
        if (s.uid == uid) return s;
    return {};
}

OutputEndpoint outputNamed(const std::string& uid) {
    for (const auto& d : AudioOutputs::list())
        if (d.uid == uid) return d;
    return {};
}

// How many frames after it left the source each of the first five impulses
// recorded from `from` on arrived, judging only impulses around which
// neither node missed a cycle (a busy machine shifts frames between nodes);
// none when fewer than five could be judged.
std::optional<std::vector<int64_t>> arrivals(const PipeWireTestNode& source, const PipeWireTestNode& recorder,
                                             int64_t from) {
    std::vector<int64_t> late;
    for (int64_t r = recorder.firstSound(from); r >= 0 && late.size() < 5; r = recorder.firstSound(r + 1)) {
        const int64_t clock = recorder.clockAt(r);
        const int64_t playing = source.frameAt(clock);
        if (playing < 0 || !recorder.steadyAt(clock) || !source.steadyAt(clock)) continue;
        const int64_t sinceImpulse = ((playing - 100) % kImpulseEvery + kImpulseEvery) % kImpulseEvery;
        if (!source.steadyAt(clock - sinceImpulse)) continue;
        if (recorder.channel(0)[static_cast<size_t>(r)] != 0.5f || recorder.channel(1)[static_cast<size_t>(r)] != -0.5f)
            late.push_back(-1);  // something else than the impulse arrived
        else
            late.push_back(sinceImpulse);
    }
    if (late.size() < 5) return std::nullopt;
    return late;
}

using AudioDuplexPipeWire = test::PipeWireTest;

}  // namespace

TEST_F(AudioDuplexPipeWire, SourcesAreCaptureDevicesAndApplicationStreamsNeverOurOwn) {
    // Another instance of the program plays too (its node is in the graph
    // before the others): its stream is no source.
    auto twin = PipeWireTestNode::source("Quillmarsh", std::vector<std::vector<float>>(2, std::vector<float>(64)), true,
                                         "Stream/Output/Audio");
    auto capture = PipeWireTestNode::source("qm-interface", std::vector<std::vector<float>>(4, std::vector<float>(64)), true);
    auto app = PipeWireTestNode::source("qm-daw", std::vector<std::vector<float>>(2, std::vector<float>(64)), true,
                                        "Stream/Output/Audio");
    ASSERT_TRUE(capture->ok() && app->ok() && twin->ok());
    ASSERT_TRUE(waitFor([&] { return sourceNamed("pw:qm-interface").channels == 4; }));
    EXPECT_EQ(sourceNamed("pw:qm-daw").channels, 2);
    EXPECT_EQ(sourceNamed("pw:qm-daw").ports, (std::vector<std::string>{"out_1", "out_2"}));

    test::DelayLine pass;
    auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-daw"), outputNamed("pw:qm-stereo"),
                                       &test::DelayLine::process, &pass, [](DuplexChange) {});
    auto playback = AudioOutputs::open(
        outputNamed("pw:qm-51"), [](void*, uint32_t, float* const*, uint32_t) {}, nullptr, [] {});
    playback->start();
    monitor->start();
    for (const auto& s : AudioDuplexes::sources()) {
        EXPECT_NE(s.uid, "pw:Quillmarsh Monitor") << "the monitor is no source of itself";
        EXPECT_NE(s.uid, "pw:Quillmarsh") << "nor is our own playback, nor another instance's";
    }
    EXPECT_TRUE(AudioDuplexes::supports(outputNamed("pw:qm-stereo")));
    monitor->pause();
    playback->pause();
}

TEST_F(AudioDuplexPipeWire, AnImpulseArrivesAsByWireAtEveryQuantumAndTheDeclaredLatencyLater) {
    for (int quantum : {64, 256, 1024}) {
        SCOPED_TRACE(testing::Message() << "quantum " << quantum);
        daemon().forceQuantum(quantum);
        auto source = PipeWireTestNode::source("qm-workstation", impulses(), true);
        auto recorder = PipeWireTestNode::recorder("qm-speakers", 2, 48000 * 40);
        ASSERT_TRUE(source->ok() && recorder->ok());
        ASSERT_TRUE(recorder->linkFrom(daemon(), "qm-stereo:monitor_FL", 1));
        ASSERT_TRUE(recorder->linkFrom(daemon(), "qm-stereo:monitor_FR", 2));
        auto record = [&] {
            const int64_t from = recorder->frames();
            EXPECT_TRUE(waitFor([&] { return recorder->frames() > from + 8 * kImpulseEvery; }));
            return from;
        };
        // The reference: the source wired straight to the sink, recorded
        // again until a run is undisturbed. A run that heard anything but
        // the impulse (one link made before the other) is no reference.
        ASSERT_TRUE(source->linkTo(daemon(), 1, "qm-stereo:playback_FL"));
        ASSERT_TRUE(source->linkTo(daemon(), 2, "qm-stereo:playback_FR"));
        std::optional<std::vector<int64_t>> wire;
        for (int run = 0; run < test::kJudgedRuns && !wire; ++run) {
            wire = arrivals(*source, *recorder, record());
            if (wire && std::find(wire->begin(), wire->end(), -1) != wire->end()) wire.reset();
        }
        ASSERT_TRUE(wire) << "no run of the wire was undisturbed";
        daemon().run("pw-link -d qm-workstation:out_1 qm-stereo:playback_FL");
        daemon().run("pw-link -d qm-workstation:out_2 qm-stereo:playback_FR");

        for (uint32_t delay : {0u, 64u}) {
            SCOPED_TRACE(testing::Message() << "delay " << delay);
            ASSERT_TRUE(waitFor([&] { return sourceNamed("pw:qm-workstation").channels == 2; }));
            bool judged = false;
            int runs = 0;
            for (; runs < test::kJudgedRuns && !judged; ++runs) {
                test::DelayLine line;
                line.delay = delay;
                auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-workstation"), outputNamed("pw:qm-stereo"),
                                                   &test::DelayLine::process, &line, [](DuplexChange) {});
                EXPECT_EQ(monitor->inputs(), 2);
                EXPECT_EQ(monitor->outputs(), 2);
                monitor->setLatency(delay);
                monitor->start();
                const int64_t from = record();
                monitor->pause();
                // Which channel reaches which, in every run: a frame moved
                // in time by a missed cycle stays on its channel.
                int elsewhere = 0;
                for (int64_t f = from; f < recorder->frames(); ++f) {
                    const float l = recorder->channel(0)[static_cast<size_t>(f)];
                    const float r = recorder->channel(1)[static_cast<size_t>(f)];
                    elsewhere += (l != 0.0f && l != 0.5f) + (r != 0.0f && r != -0.5f);
                }
                EXPECT_EQ(elsewhere, 0) << "the source's channels reached other sink channels";
                const auto through = arrivals(*source, *recorder, from);
                if (!through) {
                    std::printf("quantum %d, delay %u: %d and %d cycles missed, %lld xruns: not judged\n", quantum,
                                delay, recorder->missed(), source->missed(), static_cast<long long>(monitor->xruns()));
                    continue;
                }
                judged = true;
                for (int64_t late : *through)
                    EXPECT_EQ(late, wire->front() + delay) << "the monitor added frames";
            }
            EXPECT_TRUE(judged) << "a node missed cycles in each of " << runs << " runs: nothing could be judged";
        }
    }
}

// What the filter's ports declare, read back from the daemon as any other
// client reads them: on its outputs the source's capture-side latency (the
// graph's output direction, carried downstream), on its inputs the sink's
// playback-side latency (the input direction, carried upstream), each plus
// what the processing delays, at once when that changes.
TEST_F(AudioDuplexPipeWire, DeclaredLatencyIsReportedOnThePorts) {
    using Latency = PipeWireDaemon::Latency;
    // A source and a sink of their own, each declaring a latency beyond its
    // ports (the null sink declares none), so that the far side's share shows.
    auto source = PipeWireTestNode::source("qm-latent", impulses(), true);
    auto sink = PipeWireTestNode::recorder("qm-latent-sink", 2, 4800, "Audio/Sink");
    ASSERT_TRUE(source->ok() && sink->ok());
    source->declareLatency(100);
    sink->declareLatency(300);
    ASSERT_TRUE(waitFor([&] { return sourceNamed("pw:qm-latent").channels == 2; }));
    ASSERT_TRUE(waitFor([&] { return outputNamed("pw:qm-latent-sink").channels == 2; }));
    const Latency upstream{0, 0, 100, 100, 0, 0}, downstream{0, 0, 300, 300, 0, 0};
    ASSERT_TRUE(waitFor([&] { return daemon().portLatency("qm-latent", "out_1", "Output") == upstream; }));
    ASSERT_TRUE(waitFor([&] { return daemon().portLatency("qm-latent-sink", "in_1", "Input") == downstream; }));

    test::DelayLine pass;
    auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-latent"), outputNamed("pw:qm-latent-sink"),
                                       &test::DelayLine::process, &pass, [](DuplexChange) {});
    monitor->start();
    const char* ours = "Quillmarsh Monitor";
    auto plus = [](Latency l, int64_t frames) {
        l.minRate += frames;
        l.maxRate += frames;
        return l;
    };
    for (uint32_t delay : {0u, 1024u, 64u}) {
        SCOPED_TRACE(testing::Message() << "delay " << delay);
        monitor->setLatency(delay);
        std::optional<Latency> got;
        for (const char* port : {"out_1", "out_2"})
            EXPECT_TRUE(waitFor([&] { return (got = daemon().portLatency(ours, port, "Output")) == plus(upstream, delay); }))
                << port << ": not the source's capture latency plus the processing's, but "
                << (got ? std::to_string(got->maxRate) : "none");
        for (const char* port : {"in_1", "in_2"})
            EXPECT_TRUE(waitFor([&] { return (got = daemon().portLatency(ours, port, "Input")) == plus(downstream, delay); }))
                << port << ": not the sink's playback latency plus the processing's, but "
                << (got ? std::to_string(got->maxRate) : "none");
    }
    monitor->pause();
}

TEST_F(AudioDuplexPipeWire, ALostSourceOutputOrDaemonIsReportedOnce) {
    auto source = PipeWireTestNode::source("qm-lost-source", impulses(), true);
    ASSERT_TRUE(waitFor([&] { return sourceNamed("pw:qm-lost-source").channels == 2; }));
    const auto& sink = PipeWireDaemon::sinks()[1];
    std::vector<DuplexChange> reports;
    std::mutex lock;
    auto record = [&](DuplexChange c) {
        std::lock_guard guard(lock);
        reports.push_back(c);
    };
    auto count = [&] {
        std::lock_guard guard(lock);
        return reports.size();
    };
    test::DelayLine pass;
    {
        auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-lost-source"), outputNamed("pw:" + sink.name),
                                           &test::DelayLine::process, &pass, record);
        monitor->start();
        source.reset();
        ASSERT_TRUE(waitFor([&] { return count() == 1; }));
        EXPECT_EQ(reports.back(), DuplexChange::sourceLost);
    }
    source = PipeWireTestNode::source("qm-lost-source", impulses(), true);
    ASSERT_TRUE(waitFor([&] { return sourceNamed("pw:qm-lost-source").channels == 2; }));
    {
        auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-lost-source"), outputNamed("pw:" + sink.name),
                                           &test::DelayLine::process, &pass, record);
        monitor->start();
        ASSERT_TRUE(daemon().removeSink(sink.name));
        ASSERT_TRUE(waitFor([&] { return count() == 2; }));
        EXPECT_EQ(reports.back(), DuplexChange::outputLost);
        ASSERT_TRUE(daemon().addSink(sink));
        ASSERT_TRUE(waitFor([&] { return outputNamed("pw:" + sink.name).channels == 6; }));
    }
    {
        auto monitor = AudioDuplexes::open(sourceNamed("pw:qm-lost-source"), outputNamed("pw:" + sink.name),
                                           &test::DelayLine::process, &pass, record);
        monitor->start();
        daemon().stop(SIGTERM);
        ASSERT_TRUE(waitFor([&] { return count() == 3; }));
        EXPECT_EQ(reports.back(), DuplexChange::serverLost);
        EXPECT_FALSE(monitor->isRunning());
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(count(), 3u) << "once per stream";
    }
    source.reset();
    EXPECT_TRUE(AudioDuplexes::sources().empty()) << "no daemon, no sources";
    ASSERT_TRUE(daemon().start());
}

// The monitor's duplex stream on a dummy server of its own, with stand-in
// devices: the sources it lists, the same cycle in and out, chunks of at
// most 4096 frames, the latency it declares on its ports, and the reports
// of a lost output, source and server.
#include "platform/AudioDuplex.h"

#include "platform/AppError.h"
#include "platform/AudioOutput.h"
#include "support/DesktopSession.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Timeouts.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

using namespace qm;

namespace {

// Waits up to 10 s (stretched for a loaded or sanitized build) for `done`.
bool waitFor(const std::function<bool()>& done) { return test::waitUntil(done, 10.0 * test::kTimeFactor); }

const SourceEndpoint* findSource(const std::vector<SourceEndpoint>& all, const std::string& uid) {
    for (const auto& s : all)
        if (s.uid == uid) return &s;
    return nullptr;
}

const OutputEndpoint* findOutput(const std::vector<OutputEndpoint>& all, const std::string& uid) {
    for (const auto& o : all)
        if (o.uid == uid) return &o;
    return nullptr;
}

// Copies input i to output i (silence where there is no input) and keeps
// the largest block it was handed.
struct Copy {
    std::atomic<uint32_t> largest{0};
    std::atomic<long> calls{0};
    static void process(void* user, uint32_t frames, const float* const* in, uint32_t inCount, float* const* out,
                        uint32_t outCount) {
        auto* self = static_cast<Copy*>(user);
        for (uint32_t o = 0; o < outCount; ++o)
            for (uint32_t t = 0; t < frames; ++t) out[o][t] = o < inCount ? in[o][t] : 0.0f;
        if (frames > self->largest.load()) self->largest = frames;
        self->calls.fetch_add(1);
    }
};

std::vector<std::vector<float>> ramps(int channels, int frames) {
    std::vector<std::vector<float>> s(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    for (int c = 0; c < channels; ++c)
        for (int t = 0; t < frames; ++t) s[size_t(c)][size_t(t)] = static_cast<float>(c + 1) + static_cast<float>(t) * 1e-4f;
    return s;
}

// Touches no buffer: the servers' clients hand their buffers over through
// synchronisation ThreadSanitizer cannot see, so the test that runs under
// it moves no samples.
struct Count {
    std::atomic<long> calls{0};
    static void process(void* user, uint32_t, const float* const*, uint32_t, float* const*, uint32_t) {
        static_cast<Count*>(user)->calls.fetch_add(1);
    }
};

}  // namespace

TEST(AudioDuplexJack, SourcesAreClientsWithOutputPortsInOrder) {
    test::JackServer server(48000, 256, 12, 4);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", ramps(3, 4800));
    test::JackTestDevice speakers("Speakers", 4, 4800);
    // A second instance's player, as the server names it beside ours.
    test::JackTestSource twin("Quillmarsh-01", ramps(2, 4800));
    ASSERT_TRUE(daw.ok() && speakers.ok() && twin.ok());
    // Our own clients are never sources, even with output ports, nor are
    // another instance's.
    Copy copy;
    auto outputs = AudioOutputs::list();
    ASSERT_TRUE(findOutput(outputs, "jack:Speakers"));
    auto sources = AudioDuplexes::sources();
    const SourceEndpoint* system = findSource(sources, "jack:system");
    ASSERT_TRUE(system);
    EXPECT_EQ(system->name, "system");
    ASSERT_EQ(system->channels, 12);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(system->ports[size_t(i)], "system:capture_" + std::to_string(i + 1));
    const SourceEndpoint* workstation = findSource(sources, "jack:Workstation");
    ASSERT_TRUE(workstation);
    EXPECT_EQ(workstation->channels, 3);
    EXPECT_EQ(workstation->ports.front(), "Workstation:capture_1");
    EXPECT_FALSE(findSource(sources, "jack:Speakers")) << "an output-only device is no source";

    auto stream = AudioDuplexes::open(*workstation, *findOutput(outputs, "jack:Speakers"), &Copy::process, &copy, {});
    EXPECT_EQ(stream->inputs(), 3);
    EXPECT_EQ(stream->outputs(), 4);
    EXPECT_EQ(stream->sampleRate(), 48000);
    for (const auto& s : AudioDuplexes::sources()) EXPECT_NE(s.name.rfind("Quillmarsh", 0), 0u) << s.name;

    // The silent built-in output is refused.
    OutputEndpoint silent{AudioOutputs::nullUID, "Silent", {}, 2};
    EXPECT_THROW(AudioDuplexes::open(*workstation, silent, &Copy::process, &copy, {}), AppError);
}

TEST(AudioDuplexJack, TheSameCycleInAndOutInChunksOfAtMost4096) {
    for (int period : {64, 8192}) {
        test::JackServer server(48000, period);
        if (!server.running()) GTEST_SKIP() << "jackd could not be started";
        const int frames = 48000;
        test::JackTestSource daw("Workstation", ramps(2, frames), true);
        test::JackTestDevice speakers("Speakers", 3, 3 * frames);
        ASSERT_TRUE(daw.ok() && speakers.ok());
        Copy copy;
        const auto outputs = AudioOutputs::list();
        const auto sources = AudioDuplexes::sources();
        auto stream = AudioDuplexes::open(*findSource(sources, "jack:Workstation"),
                                          *findOutput(outputs, "jack:Speakers"), &Copy::process, &copy, {});
        stream->start();
        EXPECT_TRUE(stream->isRunning());
        ASSERT_TRUE(waitFor([&] { return speakers.recorded() > 2 * frames; }));
        stream->pause();
        EXPECT_FALSE(stream->isRunning());
        EXPECT_EQ(copy.largest.load(), static_cast<uint32_t>(std::min(period, 4096))) << period;
        EXPECT_NEAR(stream->period(), period / 48000.0, 1e-9);
        // Every frame the source played is recorded at the same absolute frame.
        int checked = 0, wrong = 0;
        for (int64_t r = 0; r < speakers.recorded(); r += 97) {
            const int64_t when = speakers.cycles().frameTimeOf(r);
            const int64_t p = daw.cycles().positionAt(when);
            // Silence: the stream was not connected yet.
            if (p < 0 || speakers.channel(0)[size_t(r)] == 0.0f) continue;
            const bool same = speakers.channel(0)[size_t(r)] == daw.sample(0, p) &&
                              speakers.channel(1)[size_t(r)] == daw.sample(1, p) &&
                              speakers.channel(2)[size_t(r)] == 0.0f;
            wrong += same ? 0 : 1;
            ++checked;
        }
        EXPECT_GT(checked, 100) << period;
        // A cycle the server skipped on a busy machine shifts what it
        // carried; without one, every frame is in place.
        const int64_t xruns = stream->xruns();
        const int missed = daw.cycles().missed() + speakers.cycles().missed();
        std::printf("period %d: %d of %d frames out of place, %lld xruns, %d cycles missed by the stand-ins\n",
                    period, wrong, checked, static_cast<long long>(xruns), missed);
        if (xruns == 0 && missed == 0) {
            EXPECT_EQ(wrong, 0) << period;
        } else {
            EXPECT_LT(wrong, checked / 10) << period;
        }
    }
}

TEST(AudioDuplexJack, DeclaredLatencyIsReportedOnThePorts) {
    test::JackServer server(48000, 256);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", ramps(2, 4800));
    test::JackTestDevice speakers("Speakers", 2, 4800);
    Copy copy;
    const auto outputs = AudioOutputs::list();
    const auto sources = AudioDuplexes::sources();
    auto stream = AudioDuplexes::open(*findSource(sources, "jack:Workstation"), *findOutput(outputs, "jack:Speakers"),
                                      &Copy::process, &copy, {});
    stream->start();
    jack_client_t* probe = jack_client_open("Probe", JackNoStartServer, nullptr);
    ASSERT_TRUE(probe);
    auto range = [&](const char* port, jack_latency_callback_mode_t mode) {
        jack_latency_range_t r{};
        jack_port_get_latency_range(jack_port_by_name(probe, port), mode, &r);
        return r;
    };
    const auto plain = range("Quillmarsh Monitor:out_1", JackCaptureLatency);
    const auto source = range("Workstation:capture_1", JackCaptureLatency);
    EXPECT_EQ(plain.max, source.max);
    stream->setLatency(1024);
    ASSERT_TRUE(waitFor([&] { return range("Quillmarsh Monitor:out_1", JackCaptureLatency).max == source.max + 1024; }));
    EXPECT_EQ(range("Quillmarsh Monitor:out_2", JackCaptureLatency).min, source.min + 1024);
    const auto device = range("Speakers:playback_1", JackPlaybackLatency);
    EXPECT_EQ(range("Quillmarsh Monitor:in_1", JackPlaybackLatency).max, device.max + 1024);
    jack_client_close(probe);
}

TEST(AudioDuplexJack, LostOutputSourceAndServerAreReportedOnce) {
    enum Lose { output, source, server };
    for (Lose lose : {output, source, server}) {
        auto jack = std::make_unique<test::JackServer>(48000, 256);
        if (!jack->running()) GTEST_SKIP() << "jackd could not be started";
        // Devices that record nothing: no client here reads another's buffers.
        test::JackTestSource daw("Workstation", ramps(2, 4800), true);
        test::JackTestDevice speakers("Speakers", 2, 0);
        test::JackTestDevice bystander("Bystander", 2, 0);
        Count count;
        const auto outputs = AudioOutputs::list();
        const auto sources = AudioDuplexes::sources();
        std::atomic<int> reports{0};
        std::atomic<int> last{-1};
        auto stream = AudioDuplexes::open(*findSource(sources, "jack:Workstation"),
                                          *findOutput(outputs, "jack:Speakers"), &Count::process, &count,
                                          [&](DuplexChange c) {
                                              last = static_cast<int>(c);
                                              reports.fetch_add(1);
                                          });
        stream->start();
        ASSERT_TRUE(waitFor([&] { return count.calls.load() > 10; }));
        // Another client coming and going is no change of ours.
        bystander.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(reports.load(), 0);
        switch (lose) {
            case output: speakers.close(); break;
            case source: daw.close(); break;
            case server: jack.reset(); break;
        }
        ASSERT_TRUE(waitFor([&] { return reports.load() > 0; })) << lose;
        const DuplexChange want = lose == output   ? DuplexChange::outputLost
                                  : lose == source ? DuplexChange::sourceLost
                                                   : DuplexChange::serverLost;
        EXPECT_EQ(last.load(), static_cast<int>(want)) << lose;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(reports.load(), 1);
        stream->pause();
        stream.reset();
    }
}

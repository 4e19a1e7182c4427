// The monitor engine on a dummy server of each test's own, with stand-in
// sources and output devices: starting and rebuilding, what arrives at the
// output (and at which absolute frame), the crossfade of a change, and the
// loss of a device or of the server. Run serially (the names hold "Jack").
#include "app/monitor/MonitorEngine.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numbers>
#include <thread>

#include "app/CountingDefaults.h"
#include "monitor/MonitorMatrix.h"
#include "spatial/Upmixer.h"
#include "support/DesktopSession.h"
#include "support/JackServer.h"
#include "support/Profiles.h"
#include "support/JackTestDevice.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using S = SpeakerID;

namespace {

using Signal = std::vector<std::vector<float>>;

struct Rig {
    std::unique_ptr<test::JackServer> server;
    test::TempDir dir;
    std::shared_ptr<test::CountingDefaults> defaults = std::make_shared<test::CountingDefaults>(dir / "d.ini");
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    std::unique_ptr<MonitorEngine> engine;

    explicit Rig(int period = 256, int capture = 2, int playback = 2, int ports = 256, int rate = 48000)
        : server(std::make_unique<test::JackServer>(rate, period, capture, playback, ports)) {
        engine = std::make_unique<MonitorEngine>(settings, defaults, queue);
    }
    ~Rig() {
        engine.reset();
        queue.advance(100);  // records and upmixers go while the server still runs
    }

    // Waits up to 10 s (stretched for a loaded or sanitized build) for
    // `done`, running the main queue and Qt's events.
    bool waitFor(const std::function<bool()>& done) {
        return test::waitUntil(done, 10.0 * test::kTimeFactor, [this] {
            queue.runDue();
            QCoreApplication::processEvents();
        });
    }

    // A speaker profile of `layout` on `device`, channels in layout order,
    // made the monitor's profile.
    OutputProfile useProfile(const std::string& device, LayoutID layout,
                             OutputProfile::Kind kind = OutputProfile::Kind::speakers) {
        const OutputProfile p = test::profileInLayoutOrder(layout, kind, device);
        settings.update([&](AppSettings& s) { s.profiles.push_back(p); });
        engine->setProfileID(p.id);
        return p;
    }

    void useState(const std::function<void(MonitorState&)>& change) {
        MonitorState s = engine->state();
        change(s);
        engine->setState(s);
    }
};

Signal staircase(int channels, int frames) {
    Signal s(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    for (int c = 0; c < channels; ++c)
        for (int t = 0; t < frames; ++t)
            s[size_t(c)][size_t(t)] = static_cast<float>(c + 1) / 32.0f + static_cast<float>(t % 4096) / 65536.0f;
    return s;
}

Signal sines(int channels, int frames, double hz, int silentFrames = 0) {
    Signal s(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames), 0.0f));
    for (int c = 0; c < channels; ++c)
        for (int t = silentFrames; t < frames; ++t)
            s[size_t(c)][size_t(t)] = static_cast<float>((0.3 + 0.1 * c) * std::sin(2 * std::numbers::pi * hz * t / 48000.0));
    return s;
}

// Compares what `out` recorded with `expected(channel, sourceFrame)`, frame
// by frame at the same absolute frame of the server, from recorded frame
// `from` on. Frames before the stream played (all silent) are passed over,
// and so is the rest of the cycle in which sound began: the node fades its
// first block in from silence, and whether that block reaches the recording
// depends on when the server finished connecting the ports.
// Returns frames compared and counts those off by more than `tolerance`.
struct Comparison {
    int compared = 0, wrong = 0;
};
template <class F>
Comparison compare(const test::JackTestDevice& out, const test::JackTestSource& in, int channels, F expected,
                   double tolerance, int64_t step = 1, int64_t from = 0) {
    Comparison c;
    bool started = false;
    int64_t fadeEnd = 0;
    const std::vector<int64_t> cycleStarts = out.cycles().cycleStarts();
    for (int64_t r = from; r < out.recorded(); r += step) {
        const int64_t p = in.cycles().positionAt(out.cycles().frameTimeOf(r));
        if (p < 0) continue;
        bool silent = true;
        for (int ch = 0; ch < channels; ++ch) silent = silent && out.channel(ch)[size_t(r)] == 0.0f;
        if (!started && silent) continue;
        if (!started) {
            started = true;
            const auto next = std::upper_bound(cycleStarts.begin(), cycleStarts.end(), r);
            fadeEnd = next == cycleStarts.end() ? r : *next;
        }
        if (r < fadeEnd) continue;
        bool ok = true;
        for (int ch = 0; ch < channels; ++ch)
            ok = ok && std::abs(double(out.channel(ch)[size_t(r)]) - expected(ch, p)) <= tolerance;
        c.wrong += ok ? 0 : 1;
        ++c.compared;
    }
    return c;
}

// Every frame in place when no cycle was missed; when the server reported
// an xrun or a stand-in was not run in some cycle (a busy machine), only the
// frames around those cycles may be off (less than one in `offShare`).
void expectInPlace(const Comparison& c, const MonitorEngine& e, const test::JackStandIn& in,
                   const test::JackStandIn& out, const char* what, int offShare = 10) {
    const int64_t xruns = e.stream() ? e.stream()->xruns() : 0;
    const int missed = in.cycles().missed() + out.cycles().missed();
    std::printf("%s: %d of %d frames off, %lld xruns, %d cycles missed by the stand-ins\n", what, c.wrong, c.compared,
                static_cast<long long>(xruns), missed);
    EXPECT_GT(c.compared, 1000) << what;
    if (xruns == 0 && missed == 0) {
        EXPECT_EQ(c.wrong, 0) << what;
    } else {
        EXPECT_LT(c.wrong, c.compared / offShare) << what;
    }
}

}  // namespace

TEST(MonitorEngineJack, OneDeviceLeavesTheOffsetAloneAndAStartWhileRunningDoesNothing) {
    Rig rig(256, 16, 16);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    rig.useProfile("jack:system", LayoutID::l916);
    rig.useState([](MonitorState& s) { s.sourceOffset = 3; });
    rig.engine->setSourceUID(QString("jack:system"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
    EXPECT_FALSE(rig.engine->message());
    EXPECT_EQ(rig.engine->state().sourceOffset, 3);
    EXPECT_EQ(rig.engine->inputChannels(), 16);
    EXPECT_EQ(rig.engine->deviceChannels(), 16);
    const AudioDuplex* stream = rig.engine->stream();
    const int writes = rig.defaults->changes();
    rig.engine->start();
    EXPECT_EQ(rig.engine->stream(), stream);
    EXPECT_EQ(rig.defaults->changes(), writes);
    rig.engine->stop();
    EXPECT_FALSE(rig.engine->running());
    EXPECT_FALSE(rig.engine->stream());
}

TEST(MonitorEngineJack, ANewSourceRebuildsTheSameOneChangesNothing) {
    Rig rig(256, 4, 2);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", staircase(2, 4800), true);
    test::JackTestDevice speakers("Speakers", 2, 4800);
    ASSERT_TRUE(daw.ok() && speakers.ok());
    // The window's list: every source with its channels, never an output-only device.
    const auto inputs = MonitorEngine::inputDevices();
    auto has = [&](const char* uid) {
        return std::any_of(inputs.begin(), inputs.end(), [&](const AudioOutputDevice& d) { return d.uid == uid; });
    };
    EXPECT_TRUE(has("jack:Workstation"));
    EXPECT_TRUE(has("jack:system"));
    EXPECT_FALSE(has("jack:Speakers"));
    for (const auto& d : inputs)
        if (d.uid == "jack:Workstation") {
            EXPECT_EQ(d.outputChannels, 2);
        }

    rig.useProfile("jack:Speakers", LayoutID::stereo);
    rig.engine->setSourceUID(QString("jack:system"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    EXPECT_EQ(rig.engine->inputChannels(), 4);
    const AudioDuplex* first = rig.engine->stream();
    rig.engine->setSourceUID(QString("jack:system"));
    EXPECT_EQ(rig.engine->stream(), first);
    EXPECT_TRUE(rig.engine->running());

    rig.engine->setSourceUID(QString("jack:Workstation"));
    EXPECT_FALSE(rig.engine->running());  // torn down at once, started again from the main queue
    ASSERT_TRUE(rig.waitFor([&] { return rig.engine->running(); }));
    EXPECT_EQ(rig.engine->inputChannels(), 2);
    // A new profile rebuilds too.
    rig.useProfile("jack:system", LayoutID::stereo);
    EXPECT_FALSE(rig.engine->running());
    ASSERT_TRUE(rig.waitFor([&] { return rig.engine->running(); }));
    // With two devices the offset is the source's own channel index: nothing raises it.
    EXPECT_EQ(rig.engine->state().sourceOffset, 0);
}

TEST(MonitorEngineJack, AStaircaseThroughFullModeArrivesUnchanged) {
    Rig rig(256, 2, 2);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", staircase(16, 48000), true);
    test::JackTestDevice speakers("Speakers", 16, 3 * 48000);
    ASSERT_TRUE(daw.ok() && speakers.ok());
    rig.useProfile("jack:Speakers", LayoutID::l916);
    rig.engine->setSourceUID(QString("jack:Workstation"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= 3 * 48000; }));
    const auto c = compare(speakers, daw, 16, [&](int ch, int64_t p) { return daw.sample(ch, p); }, 1e-7);
    expectInPlace(c, *rig.engine, daw, speakers, "9.1.6 staircase");
}

TEST(MonitorEngineJack, StereoInMonoAndUpmixedArrivesAsTheMatrixSays) {
    // Mono on a stereo profile with trims.
    {
        Rig rig(256);
        if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
        test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
        test::JackTestDevice speakers("Speakers", 2, 2 * 48000);
        OutputProfile p = rig.useProfile("jack:Speakers", LayoutID::stereo);
        rig.useState([](MonitorState& s) {
            s.source = MonitorSource::stereo;
            s.mode = MonitorMode::mono;
            s.volumeDB = -4;
        });
        rig.engine->setSourceUID(QString("jack:Workstation"));
        rig.engine->start();
        ASSERT_TRUE(rig.engine->running());
        ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= 2 * 48000; }));
        const MixConfig m = MonitorMatrix::build(rig.engine->state(), 2, p, 2);
        const auto c = compare(
            speakers, daw, 2,
            [&](int d, int64_t t) { return m.matrix[size_t(d * 2)] * daw.sample(0, t) + m.matrix[size_t(d * 2 + 1)] * daw.sample(1, t); },
            1e-6);
        expectInPlace(c, *rig.engine, daw, speakers, "stereo in mono");
        EXPECT_NEAR(m.matrix[0], std::pow(10.0, -4 / 20.0) / std::sqrt(2.0) * 0.7071, 1e-4);
    }
    // Upmixed to 7.1.4. At a 256-frame period the upmixer's hops fall on the
    // source's cycle starts, and it starts in the source's leading silence,
    // so a fresh upmixer fed the source from its first frame is the reference.
    {
        Rig rig(256);
        if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
        const int silent = 2 * 48000, frames = 4 * 48000;
        test::JackTestSource daw("Workstation", sines(2, frames, 330, silent));
        test::JackTestDevice speakers("Speakers", 12, frames);
        OutputProfile p = rig.useProfile("jack:Speakers", LayoutID::l714);
        rig.useState([](MonitorState& s) {
            s.source = MonitorSource::stereo;
            s.upmix.enabled = true;
            s.volumeDB = -2;
        });
        rig.engine->setSourceUID(QString("jack:Workstation"));
        rig.engine->start();
        ASSERT_TRUE(rig.engine->running());
        ASSERT_LT(daw.played(), silent) << "the monitor started too late for this test";
        ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= frames; }));
        rig.engine->stop();
        const MixConfig m = MonitorMatrix::build(rig.engine->state(), 2, p, 12);
        ASSERT_TRUE(m.upmix);
        ManualMainQueue plans;
        auto reference = Upmixer::create(2, 12, 48000, plans);
        reference->apply(*m.upmix);
        // Past the signal's end the upmixer still plays out its last frames.
        const int64_t span = frames + 4096;
        Signal up(12, std::vector<float>(size_t(span)));
        for (int64_t at = 0; at < span; at += 256) {
            const float* in[2] = {nullptr, nullptr};
            std::vector<float> l(256), r(256);
            for (int t = 0; t < 256; ++t) {
                l[size_t(t)] = daw.sample(0, at + t);
                r[size_t(t)] = daw.sample(1, at + t);
            }
            in[0] = l.data();
            in[1] = r.data();
            float* out[12];
            for (int o = 0; o < 12; ++o) out[o] = up[size_t(o)].data() + at;
            mn_upmix_process(reference->raw(), in, 256, out);
        }
        const auto c = compare(
            speakers, daw, 12,
            [&](int d, int64_t t) {
                double v = 0;
                if (t >= span) return v;
                for (int k = 0; k < 12; ++k) v += m.matrix[size_t(d * 12 + k)] * up[size_t(k)][size_t(t)];
                return v;
            },
            1e-5);
        expectInPlace(c, *rig.engine, daw, speakers, "stereo upmixed to 7.1.4");
    }
}

// An impulse the source plays reaches the output at the same absolute
// frame; through the upmix exactly the upmixer's latency later, which the
// monitor's ports report.
TEST(MonitorEngineJack, NoLatencyAddedAndTheUpmixsOwnReported) {
    for (int period : {64, 256, 1024}) {
        for (bool upmix : {false, true}) {
            Rig rig(period);
            if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
            const int64_t at = 96000 + 77;
            Signal pulse(2, std::vector<float>(size_t(at + 48000), 0.0f));
            pulse[0][size_t(at)] = pulse[1][size_t(at)] = 0.5f;
            test::JackTestSource daw("Workstation", pulse);
            test::JackTestDevice speakers("Speakers", upmix ? 12 : 2, at + 96000);
            rig.useProfile("jack:Speakers", upmix ? LayoutID::l714 : LayoutID::stereo);
            rig.useState([&](MonitorState& s) {
                s.source = MonitorSource::stereo;
                s.upmix.enabled = upmix;
            });
            rig.engine->setSourceUID(QString("jack:Workstation"));
            rig.engine->start();
            ASSERT_TRUE(rig.engine->running());
            ASSERT_LT(daw.played(), at);
            ASSERT_TRUE(rig.waitFor([&] { return daw.played() > at + 48000 / 2; }));
            const int64_t latency = upmix ? Upmixer::create(2, 12, 48000, rig.queue)->fftSize() : 0;
            ASSERT_EQ(latency, upmix ? 1024 : 0);
            // Where the loudest sample landed, in the source's frames.
            int64_t loudest = -1;
            float peak = 0;
            for (int64_t r = 0; r < speakers.recorded(); ++r) {
                for (int ch = 0; ch < (upmix ? 12 : 2); ++ch) {
                    const float v = std::abs(speakers.channel(ch)[size_t(r)]);
                    if (v > peak) {
                        peak = v;
                        loudest = daw.cycles().positionAt(speakers.cycles().frameTimeOf(r));
                    }
                }
            }
            const int64_t xruns = rig.engine->stream()->xruns();
            std::printf("period %d%s: the impulse of frame %lld peaked at frame %lld (%.3f), %lld xruns\n", period,
                        upmix ? " with the upmix" : "", static_cast<long long>(at), static_cast<long long>(loudest),
                        peak, static_cast<long long>(xruns));
            const int missed = daw.cycles().missed() + speakers.cycles().missed();
            if ((xruns == 0 && missed == 0) || loudest == at + latency) {
                EXPECT_EQ(loudest, at + latency) << period;
                if (!upmix) {
                    EXPECT_EQ(peak, 0.5f);
                }
            }
            // The ports say the same.
            jack_client_t* probe = jack_client_open("Probe", JackNoStartServer, nullptr);
            ASSERT_TRUE(probe);
            jack_latency_range_t in{}, out{};
            jack_port_get_latency_range(jack_port_by_name(probe, "Workstation:capture_1"), JackCaptureLatency, &in);
            jack_port_get_latency_range(jack_port_by_name(probe, "Quillmarsh Monitor:out_1"), JackCaptureLatency, &out);
            EXPECT_EQ(static_cast<int64_t>(out.max) - in.max, latency) << period;
            jack_client_close(probe);
        }
    }
}

TEST(MonitorEngineJack, ASoloChangeCrossfadesOverExactlyOnePeriod) {
    const int period = 256;
    Rig rig(period);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 1000), true);
    test::JackTestDevice speakers("Speakers", 2, 4 * 48000);
    rig.useProfile("jack:Speakers", LayoutID::stereo);
    rig.useState([](MonitorState& s) { s.source = MonitorSource::stereo; });
    rig.engine->setSourceUID(QString("jack:Workstation"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() > 48000; }));
    rig.useState([](MonitorState& s) { s.solo = {S::L}; });
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() > 2 * 48000; }));

    // The last frame R sounded on lies in the crossfade cycle.
    const auto& right = speakers.channel(1);
    int64_t last = -1;
    for (int64_t r = 0; r < speakers.recorded(); ++r)
        if (right[size_t(r)] != 0.0f) last = r;
    ASSERT_GT(last, 48000);
    const auto starts = speakers.cycles().cycleStarts();
    const int64_t begin = *(std::upper_bound(starts.begin(), starts.end(), last) - 1);
    const int64_t p0 = daw.cycles().positionAt(speakers.cycles().frameTimeOf(begin));
    ASSERT_GE(p0, 0);
    // Before it, R plays whole; in it, R fades over exactly the period; after it, nothing.
    int off = 0;
    for (int64_t t = -2 * period; t < 0; ++t) off += right[size_t(begin + t)] == daw.sample(1, p0 + t) ? 0 : 1;
    for (int64_t t = 0; t < period; ++t) {
        const float up = static_cast<float>(t + 1) * (1.0f / period);
        off += std::abs(right[size_t(begin + t)] - daw.sample(1, p0 + t) * (1.0f - up)) <= 1e-6 ? 0 : 1;
        off += std::abs(speakers.channel(0)[size_t(begin + t)] - daw.sample(0, p0 + t)) <= 1e-6 ? 0 : 1;
    }
    for (int64_t t = period; t < 4 * period; ++t) off += right[size_t(begin + t)] == 0.0f ? 0 : 1;
    const int64_t xruns = rig.engine->stream()->xruns();
    const int missed = daw.cycles().missed() + speakers.cycles().missed();
    if (off > 0 && xruns + missed > 0)
        GTEST_SKIP() << off << " frames off around the change, with " << xruns << " xruns and " << missed
                     << " cycles missed by the stand-ins";
    EXPECT_EQ(off, 0);
}

TEST(MonitorEngineJack, LostDevicesAndServerStopTheMonitorWithAMessage) {
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    auto daw = std::make_unique<test::JackTestSource>("Workstation", sines(2, 4800, 480), true);
    auto speakers = std::make_unique<test::JackTestDevice>("Speakers", 2, 48000);
    const OutputProfile profile = rig.useProfile("jack:Speakers", LayoutID::stereo);
    rig.useState([](MonitorState& s) {
        s.source = MonitorSource::stereo;
        s.volumeDB = -3;
    });
    rig.engine->setSourceUID(QString("jack:Workstation"));
    const MonitorState state = rig.engine->state();
    auto expectKept = [&] {
        EXPECT_EQ(rig.engine->state(), state);
        EXPECT_EQ(rig.engine->sourceUID(), QString("jack:Workstation"));
        EXPECT_EQ(rig.engine->profileID(), profile.id);
        EXPECT_TRUE(rig.engine->inserts().empty());
        EXPECT_FALSE(rig.engine->stream());
    };

    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    speakers->close();
    ASSERT_TRUE(rig.waitFor([&] { return !rig.engine->running(); }));
    EXPECT_EQ(rig.engine->message(), QString("The output device isn't available"));
    expectKept();
    rig.engine->start();
    EXPECT_FALSE(rig.engine->running());
    EXPECT_EQ(rig.engine->message(), QString("The output device isn't available"));
    // Back again: Start works.
    speakers = std::make_unique<test::JackTestDevice>("Speakers", 2, 48000);
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    EXPECT_FALSE(rig.engine->message());

    daw->close();
    ASSERT_TRUE(rig.waitFor([&] { return !rig.engine->running(); }));
    EXPECT_EQ(rig.engine->message(), QString("The source device isn't available"));
    expectKept();
    rig.engine->start();
    EXPECT_EQ(rig.engine->message(), QString("Couldn't combine the source and output devices"));
    daw = std::make_unique<test::JackTestSource>("Workstation", sines(2, 4800, 480), true);
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());

    rig.server.reset();
    ASSERT_TRUE(rig.waitFor([&] { return !rig.engine->running(); }));
    EXPECT_EQ(rig.engine->message(), QString("The sound server stopped"));
    expectKept();
    daw.reset();
    speakers.reset();
    rig.engine->start();  // no server: no output
    EXPECT_FALSE(rig.engine->running());
    EXPECT_EQ(rig.engine->message(), QString("The output device isn't available"));
}

// The node takes at most 64 source channels; the matrix is built for those
// 64, so a bus on the last of them still plays.
TEST(MonitorEngineJack, ASourceOfMoreThanSixtyFourChannelsPlaysItsFirstSixtyFour) {
    Rig rig(256, 2, 2, 512);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    Signal wide = sines(66, 4800, 480);
    // Below full scale on every channel, where the output's limiter acts.
    for (auto& channel : wide)
        for (float& v : channel) v /= 8;
    test::JackTestSource daw("Wide", wide, true);
    test::JackTestDevice speakers("Speakers", 2, 48000);
    rig.useProfile("jack:Speakers", LayoutID::stereo);
    rig.useState([](MonitorState& s) {
        s.source = MonitorSource::stereo;
        s.sourceOffset = 62;
    });
    rig.engine->setSourceUID(QString("jack:Wide"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    EXPECT_EQ(rig.engine->inputChannels(), 64);
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= 48000; }));
    const auto c = compare(speakers, daw, 2, [&](int d, int64_t t) { return daw.sample(62 + d, t); }, 1e-7);
    expectInPlace(c, *rig.engine, daw, speakers, "channels 62 and 63 of 66");
}

// ---- Effect inserts ----
// A wrong gain, order or delay puts every frame off; on a busy machine up to
// half may be, around the missed cycles.

namespace {

const Lv2Plugin& testPlugin(const char* name) {
    const Lv2Plugin* p = Lv2Host::find(std::string("urn:quillmarsh:test:") + name);
    if (!p) throw std::runtime_error(name);
    return *p;
}

// Starts the rig's monitor from the stereo stand-in to a stereo output.
void startStereo(Rig& rig) {
    rig.useProfile("jack:Speakers", LayoutID::stereo);
    rig.useState([](MonitorState& s) { s.source = MonitorSource::stereo; });
    rig.engine->setSourceUID(QString("jack:Workstation"));
    rig.engine->start();
}

}  // namespace

// matrix -> gain 0.5 -> delay -> gain 3 -> delay -> output: the gains
// multiply and the delays add up, on the wire and in the ports' latency.
TEST(MonitorEngineJack, InsertsRunAfterTheMatrixInListOrder) {
    test::useTestPlugins();
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 8 * 48000);
    rig.engine->addInsert(testPlugin("gain"));  // waits in the list
    rig.engine->inserts()[0].unit->setControl(0, 0.5f);
    EXPECT_FALSE(rig.engine->running());
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
    ASSERT_EQ(rig.engine->chain()->inserts().size(), 1u);

    QSignalSpy running(rig.engine.get(), &MonitorEngine::runningChanged);
    const AudioDuplex* stream = rig.engine->stream();
    rig.engine->addInsert(testPlugin("delay"));
    EXPECT_EQ(running.count(), 0);  // the same stream, with the new list
    EXPECT_EQ(rig.engine->stream(), stream);
    ASSERT_EQ(rig.engine->chain()->inserts().size(), 2u);
    rig.engine->stop();
    rig.engine->addInsert(testPlugin("gain"));
    rig.engine->inserts()[2].unit->setControl(0, 3.0f);
    rig.engine->addInsert(testPlugin("delay"));
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running());
    EXPECT_FALSE(rig.engine->message());
    const auto& chain = rig.engine->chain()->inserts();
    ASSERT_EQ(chain.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(chain[i], rig.engine->inserts()[i].unit->latest()) << i;
    EXPECT_EQ(rig.engine->inserts()[0].unit->control(0), 0.5f);  // settings survive restarts

    const int64_t from = speakers.recorded() + 8192;
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 48000; }));
    const auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return 1.5 * daw.sample(ch, p - 200); },
                           1e-6, 1, from);
    expectInPlace(c, *rig.engine, daw, speakers, "two gains and two delays", 2);

    jack_client_t* probe = jack_client_open("Probe", JackNoStartServer, nullptr);
    ASSERT_TRUE(probe);
    jack_latency_range_t in{}, out{};
    jack_port_get_latency_range(jack_port_by_name(probe, "Workstation:capture_1"), JackCaptureLatency, &in);
    jack_port_get_latency_range(jack_port_by_name(probe, "Quillmarsh Monitor:out_1"), JackCaptureLatency, &out);
    EXPECT_EQ(static_cast<int64_t>(out.max) - in.max, 200);
    jack_client_close(probe);
}

// Inserts added and removed while the monitor plays: the stream stays, and
// every frame at the device is the source's (gains of 1 change nothing but
// the list), so no block went silent or lost its place.
TEST(MonitorEngineJack, AddingAndRemovingInsertsLeavesNoGap) {
    test::useTestPlugins();
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 6 * 48000);
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
    const AudioDuplex* stream = rig.engine->stream();
    QSignalSpy running(rig.engine.get(), &MonitorEngine::runningChanged);
    auto playOn = [&] {
        const int64_t until = speakers.recorded() + 12000;
        ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= until; }));
    };
    playOn();
    rig.engine->addInsert(testPlugin("gain"));
    playOn();
    rig.engine->addInsert(testPlugin("gain"));
    playOn();
    rig.engine->removeInsert(rig.engine->inserts()[0].id);
    playOn();
    rig.engine->removeInsert(rig.engine->inserts()[0].id);
    playOn();
    EXPECT_EQ(running.count(), 0);
    EXPECT_EQ(rig.engine->stream(), stream);
    EXPECT_TRUE(rig.engine->chain()->inserts().empty());
    const auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return daw.sample(ch, p); }, 1e-6);
    expectInPlace(c, *rig.engine, daw, speakers, "two inserts added and removed while playing", 2);
}

TEST(MonitorEngineJack, BypassAndRemovingAnUnknownInsertKeepTheStream) {
    test::useTestPlugins();
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 8 * 48000);
    rig.engine->addInsert(testPlugin("gain"));
    const auto insert = rig.engine->inserts()[0];
    insert.unit->setControl(0, 0.25f);
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running());
    const AudioDuplex* stream = rig.engine->stream();
    QSignalSpy list(rig.engine.get(), &MonitorEngine::insertsChanged);
    QSignalSpy running(rig.engine.get(), &MonitorEngine::runningChanged);

    int64_t from = speakers.recorded() + 8192;
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 24000; }));
    auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return 0.25 * daw.sample(ch, p); }, 1e-6, 1, from);
    expectInPlace(c, *rig.engine, daw, speakers, "a quarter", 2);

    rig.engine->toggleBypass(insert.id);
    rig.engine->removeInsert(Uuid::random());
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(rig.engine->stream(), stream);
    from = speakers.recorded() + 8192;
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 24000; }));
    EXPECT_EQ(running.count(), 0);
    c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return daw.sample(ch, p); }, 0.0, 1, from);
    expectInPlace(c, *rig.engine, daw, speakers, "bypassed", 2);
}

TEST(MonitorEngineJack, APluginThatTurnsNonFiniteIsBypassedAndNamed) {
    test::useTestPlugins();
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    // The plug-in list is read before the device starts recording: it takes
    // a while, longer in a sanitizer's build.
    rig.engine->addInsert(testPlugin("nan"));
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 2 * 48000);
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running());
    QSignalSpy list(rig.engine.get(), &MonitorEngine::insertsChanged);
    ASSERT_TRUE(rig.waitFor([&] { return rig.engine->message().has_value(); }));
    EXPECT_EQ(*rig.engine->message(), "Quillmarsh Tests: Faulty failed and is bypassed");
    EXPECT_TRUE(rig.engine->inserts()[0].unit->bypassed());
    EXPECT_GE(list.count(), 1);
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= 2 * 48000; }));
    EXPECT_TRUE(rig.engine->running());
    for (int ch = 0; ch < 2; ++ch)
        for (float v : speakers.channel(ch)) ASSERT_TRUE(std::isfinite(v));
    const auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return daw.sample(ch, p); }, 0.0);
    expectInPlace(c, *rig.engine, daw, speakers, "the faulty plug-in's output replaced by its input", 2);
}

// The plug-in's bundle is gone and the server runs at another rate: the
// plug-in must be loaded again, cannot be, and the monitor runs without it.
// (The process's plug-in list is read once: ctest runs each test alone.)
TEST(MonitorEngineJack, AnInsertThatCannotBeMadeAgainIsSkippedAndNamed) {
    test::TempDir plugins;
    std::filesystem::copy(test::testPluginFolder() / "quillmarsh-test.lv2", plugins / "quillmarsh-test.lv2",
                          std::filesystem::copy_options::recursive);
    setenv("LV2_PATH", plugins.path().c_str(), 1);
    Rig rig(256, 2, 2, 256, 44100);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 2 * 44100);
    rig.engine->addInsert(testPlugin("gain"));
    rig.engine->inserts()[0].unit->setControl(0, 0.5f);
    ASSERT_EQ(rig.engine->inserts().size(), 1u);
    std::filesystem::remove(plugins / "quillmarsh-test.lv2" / "quillmarsh-test.so");
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running());
    EXPECT_EQ(rig.engine->message().value_or(""), "Quillmarsh Tests: Gain couldn't be loaded and is skipped");
    EXPECT_EQ(rig.engine->inserts().size(), 1u);
    EXPECT_TRUE(rig.engine->chain()->inserts().empty());
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= 2 * 44100; }));
    const auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return daw.sample(ch, p); }, 0.0);
    expectInPlace(c, *rig.engine, daw, speakers, "without the skipped insert", 2);
}

TEST(MonitorEngineJack, AMonoPluginRunsOncePerChannelOfATwelveChannelOutput) {
    test::useTestPlugins();
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    const Lv2Plugin& gain = testPlugin("gain");  // the plug-in list first, as above
    test::JackTestSource daw("Workstation", staircase(12, 48000), true);
    test::JackTestDevice speakers("Speakers", 12, 3 * 48000);
    const OutputProfile p = rig.useProfile("jack:Speakers", LayoutID::l714);
    rig.useState([](MonitorState& s) { s.source = MonitorSource::l714; });
    rig.engine->setSourceUID(QString("jack:Workstation"));
    rig.engine->addInsert(gain);
    rig.engine->inserts()[0].unit->setControl(0, 0.5f);
    rig.engine->start();
    ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
    EXPECT_EQ(rig.engine->deviceChannels(), 12);
    EXPECT_EQ(rig.engine->inserts()[0].unit->latest()->count(), 12);
    const int64_t from = speakers.recorded() + 8192;
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 48000; }));
    const MixConfig m = MonitorMatrix::build(rig.engine->state(), 12, p, 12);
    const auto c = compare(
        speakers, daw, 12,
        [&](int d, int64_t t) {
            double v = 0;
            for (int k = 0; k < 12; ++k) v += m.matrix[size_t(d * 12 + k)] * daw.sample(k, t);
            return 0.5 * v;
        },
        1e-6, 1, from);
    expectInPlace(c, *rig.engine, daw, speakers, "twelve instances", 2);
}

// An installed plug-in: swh-lv2's mono amplifier on each of two channels.
TEST(MonitorEngineJack, TheSwhAmplifierGivesItsGain) {
    test::useTestPlugins();
    const Lv2Plugin* amp = Lv2Host::find("http://plugin.org.uk/swh-plugins/amp");
    if (!amp) GTEST_SKIP() << "swh-lv2 is not installed";
    Rig rig(256);
    if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
    test::JackTestDevice speakers("Speakers", 2, 4 * 48000);
    rig.engine->addInsert(*amp);
    ASSERT_EQ(rig.engine->inserts().size(), 1u);
    const auto unit = rig.engine->inserts()[0].unit;
    ASSERT_EQ(unit->controls().size(), 1u);
    unit->setControl(0, -6.0f);
    startStereo(rig);
    ASSERT_TRUE(rig.engine->running());
    EXPECT_EQ(unit->latest()->count(), 2);
    const double k = std::pow(10.0, -6.0 / 20.0);
    const int64_t from = speakers.recorded() + 8192;
    ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 48000; }));
    const auto c = compare(speakers, daw, 2, [&](int ch, int64_t p) { return k * daw.sample(ch, p); }, 1e-5, 1, from);
    expectInPlace(c, *rig.engine, daw, speakers, "swh amplifier at -6 dB", 2);
}

// Room correction: x42's convolvers as inserts, each given a two-tap
// impulse response file before the monitor starts and another while it
// plays. What reaches the device is the source through those taps, after
// the plug-in's reported latency and at its own level (convoLV2 halves a
// file by default), once the plug-in says it has the file.
TEST(MonitorEngineJack, AConvolverInsertPlaysItsImpulseResponseAtTheDevice) {
    test::useTestPlugins();
    struct Convolver {
        const char* uri;
        double level;
    };
    for (const Convolver& convolver : {Convolver{"http://gareus.org/oss/lv2/convoLV2#Mono", 0.5},
                                       Convolver{"http://gareus.org/oss/lv2/zeroconvolv#CfgMono", 1.0}}) {
        SCOPED_TRACE(convolver.uri);
        const Lv2Plugin* plugin = Lv2Host::find(convolver.uri);
        if (!plugin) GTEST_SKIP() << "x42-plugins is not installed";
        Rig rig(256);
        if (!rig.server->running()) GTEST_SKIP() << "jackd could not be started";
        struct Taps {
            int lag;
            float first, second;
        };
        auto irFile = [&](const char* name, Taps taps) {
            std::vector<float> ir(256, 0.0f);
            ir[0] = taps.first;
            ir[size_t(taps.lag)] = taps.second;
            const auto path = rig.dir / name;
            test::writeAudioFile(path, {ir}, 48000, {test::FileKind::wav, 32, true});
            return path.string();
        };
        test::JackTestSource daw("Workstation", sines(2, 48000, 440), true);
        test::JackTestDevice speakers("Speakers", 2, 8 * 48000);
        rig.engine->addInsert(*plugin);
        const auto unit = rig.engine->inserts()[0].unit;
        ASSERT_EQ(unit->fileParameters().size(), 1u);

        auto expectTaps = [&](const std::string& file, Taps taps, const char* what) {
            ASSERT_TRUE(rig.waitFor([&] { return unit->loadedFile(0) == file; })) << what;
            const int64_t latency = unit->latency();
            EXPECT_LE(latency, 256) << what;
            // Past the blocks that still held the previous response.
            const int64_t from = speakers.recorded() + 8192;
            ASSERT_TRUE(rig.waitFor([&] { return speakers.recorded() >= from + 24000; }));
            const auto c = compare(
                speakers, daw, 2,
                [&](int ch, int64_t p) {
                    return convolver.level * (taps.first * daw.sample(ch, p - latency) +
                                              taps.second * daw.sample(ch, p - latency - taps.lag));
                },
                1e-4, 1, from);
            expectInPlace(c, *rig.engine, daw, speakers, what, 2);
        };
        const Taps before{37, 0.5f, -0.25f}, during{100, 0.25f, 0.5f};
        const std::string first = irFile("first.wav", before), second = irFile("second.wav", during);
        unit->setFile(0, first);
        startStereo(rig);
        ASSERT_TRUE(rig.engine->running()) << rig.engine->message().value_or("").toStdString();
        expectTaps(first, before, "the file chosen before the start");
        unit->setFile(0, second);
        expectTaps(second, during, "the file chosen while playing");
        EXPECT_FALSE(unit->failed());
    }
}

// The LV2 host over the test bundle: what is offered and under which class,
// the shapes a plug-in runs in, controls, bypass, latency, the guard against
// non-finite output, the state carried to new instances and the default
// state a plug-in asks for; and the convolvers of Debian's x42-plugins,
// which need the worker, the block-length options and a file parameter.
#include "platform/Lv2Host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

#include <chrono>
#include <thread>

using namespace qm;

namespace {

const Lv2Plugin& plugin(const char* uri) {
    test::useTestPlugins();
    const Lv2Plugin* p = Lv2Host::find(uri);
    if (!p) throw std::runtime_error(std::string("not offered: ") + uri);
    return *p;
}

// `channels` buffers of `frames` frames; channel c holds (c + 1) * 0.1 plus a ramp.
struct Buffers {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptr;
    Buffers(int channels, uint32_t frames, bool ramp) {
        for (int c = 0; c < channels; ++c) {
            data.emplace_back(frames, 0.0f);
            if (ramp)
                for (uint32_t t = 0; t < frames; ++t) data.back()[t] = (c + 1) * 0.1f + float(t % 512) / 2048.0f;
        }
        for (auto& d : data) ptr.push_back(d.data());
    }
    const float* const* in() const { return ptr.data(); }
    float* const* out() { return ptr.data(); }
};

}  // namespace

TEST(Lv2Host, OffersPluginsWhoseFeaturesAreServedWithTheirMakers) {
    test::useTestPlugins();
    const auto all = Lv2Host::plugins();
    auto find = [&](const std::string& uri) -> const Lv2Plugin* {
        for (const auto& p : all)
            if (p.uri == uri) return &p;
        return nullptr;
    };
    const Lv2Plugin* gain = find("urn:quillmarsh:test:gain");
    ASSERT_TRUE(gain);
    EXPECT_EQ(gain->name, "Gain");
    EXPECT_EQ(gain->manufacturer, "Quillmarsh Tests");
    EXPECT_EQ(gain->audioInputs, 1);
    EXPECT_EQ(gain->audioOutputs, 1);
    ASSERT_TRUE(find("urn:quillmarsh:test:delay"));
    EXPECT_EQ(find("urn:quillmarsh:test:delay")->audioInputs, 2);
    EXPECT_TRUE(find("urn:quillmarsh:test:broken"));
    EXPECT_TRUE(find("urn:quillmarsh:test:nan"));
    // A plug-in that requires a feature nobody provides is not offered.
    EXPECT_FALSE(find("urn:quillmarsh:test:unserved"));
    // One that asks for its default state to be loaded is.
    ASSERT_TRUE(find("urn:quillmarsh:test:preset"));
    // Classes: a parametric EQ is an EQ (not a filter); an amplifier is
    // dynamics; a plug-in of no class is other.
    EXPECT_EQ(find("urn:quillmarsh:test:preset")->category, Lv2Category::eq);
    EXPECT_EQ(find("urn:quillmarsh:test:xerror")->category, Lv2Category::dynamics);
    EXPECT_EQ(gain->category, Lv2Category::other);
    // Instruments and analysers (no audio input or output) are no inserts.
    for (const auto& p : all) {
        EXPECT_GE(p.audioInputs, 1) << p.uri;
        EXPECT_GE(p.audioOutputs, 1) << p.uri;
    }
}

TEST(Lv2Host, AMonoPluginRunsOncePerChannelWithItsControl) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:gain"), 3, 48000);
    Lv2Instances& run = *unit.latest();
    EXPECT_EQ(run.count(), 3);
    ASSERT_EQ(unit.controls().size(), 1u);
    EXPECT_EQ(unit.controls()[0].symbol, "gain");
    EXPECT_EQ(unit.controls()[0].defaultValue, 1.0f);
    EXPECT_EQ(unit.controls()[0].maximum, 4.0f);
    EXPECT_EQ(unit.control(0), 1.0f);
    EXPECT_EQ(unit.latency(), 0u);

    Buffers in(3, 4096, true), out(3, 4096, false);
    // At the default gain every channel comes out as it went in: the plug-in
    // also saw a well-formed, empty event sequence (it outputs silence else).
    run.process(in.in(), out.out(), 4096);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(out.data[c], in.data[c]) << c;

    unit.setControl(0, 2.5f);
    run.process(in.in(), out.out(), 300);
    for (int c = 0; c < 3; ++c)
        for (uint32_t t = 0; t < 300; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t] * 2.5f);
    unit.setControl(0, 99.0f);  // beyond the port's range
    EXPECT_EQ(unit.control(0), 4.0f);

    unit.setBypassed(true);
    run.process(in.in(), out.out(), 1000);
    for (int c = 0; c < 3; ++c)
        for (uint32_t t = 0; t < 1000; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t]);
    EXPECT_FALSE(unit.failed());
}

TEST(Lv2Host, AStereoPluginFitsOnlyTwoChannelsAndReportsItsLatency) {
    const Lv2Plugin& delay = plugin("urn:quillmarsh:test:delay");
    EXPECT_TRUE(Lv2Host::fits(delay, 2));
    EXPECT_FALSE(Lv2Host::fits(delay, 1));
    EXPECT_TRUE(Lv2Host::fits(plugin("urn:quillmarsh:test:gain"), 16));
    EXPECT_FALSE(Lv2Host::fits(plugin("urn:quillmarsh:test:gain"), 0));
    Lv2Unit unit(delay, 2, 48000);
    EXPECT_EQ(unit.latest()->count(), 1);
    EXPECT_TRUE(unit.controls().empty());  // its latency port is an output
    EXPECT_EQ(unit.latency(), 100u);       // known before any block of the stream
    Buffers in(2, 1024, true), out(2, 1024, false);
    unit.latest()->process(in.in(), out.out(), 1024);
    for (int c = 0; c < 2; ++c) {
        for (uint32_t t = 0; t < 100; ++t) ASSERT_EQ(out.data[c][t], 0.0f);
        for (uint32_t t = 100; t < 1024; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t - 100]);
    }
    for (int channels : {1, 3, 12}) {
        try {
            Lv2Unit other(delay, channels, 48000);
            ADD_FAILURE() << channels;
        } catch (const AppError& e) {
            EXPECT_EQ(std::string(e.what()), "Delay can't play on an output of " + std::to_string(channels) + " channels");
        }
    }
    // A shape that does not fit leaves the latest instances as they were.
    const auto latest = unit.latest();
    EXPECT_THROW(unit.instantiate(6, 48000, 256), AppError);
    EXPECT_EQ(unit.latest(), latest);
    const auto other = unit.instantiate(2, 44100, 256);
    EXPECT_EQ(unit.latest(), other);
    EXPECT_EQ(other->sampleRate(), 44100);
    EXPECT_EQ(other->channels(), 2);
}

TEST(Lv2Host, AFailedInstantiationIsAnError) {
    try {
        Lv2Unit unit(plugin("urn:quillmarsh:test:broken"), 2, 48000);
        FAIL();
    } catch (const AppError& e) {
        EXPECT_EQ(std::string(e.what()), "Broken couldn't be started at 48000 Hz");
    }
}

TEST(Lv2Host, ANonFiniteBlockIsReplacedByItsInputAndBypassesTheUnit) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:nan"), 2, 48000);
    Buffers in(2, 256, true), out(2, 256, false);
    int failedAt = -1;
    for (int block = 0; block < 20; ++block) {
        unit.latest()->process(in.in(), out.out(), 256);
        for (int c = 0; c < 2; ++c)
            for (uint32_t t = 0; t < 256; ++t) ASSERT_TRUE(std::isfinite(out.data[c][t])) << block;
        EXPECT_EQ(out.data, in.data) << block;
        if (unit.failed() && failedAt < 0) failedAt = block;
    }
    EXPECT_GE(failedAt, 0);
    EXPECT_TRUE(unit.bypassed());
    // New instances are a fresh chance: they clear the failure, not the bypass.
    unit.instantiate(2, 48000, 256);
    EXPECT_FALSE(unit.failed());
    EXPECT_TRUE(unit.bypassed());
}

TEST(Lv2Host, ANewInstanceKeepsTheControlsAndThePluginsOwnState) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:gain"), 1, 48000);
    unit.setControl(0, 0.5f);
    Buffers in(1, 64, true), out(1, 64, false);
    const auto first = unit.latest();
    for (int i = 0; i < 5; ++i) first->process(in.in(), out.out(), 64);
    auto runs = [](const Lv2State& s) -> int64_t {
        for (const auto& p : s.properties)
            if (p.key == "urn:quillmarsh:test:runs" && p.value.size() == sizeof(int64_t)) {
                int64_t v;
                std::memcpy(&v, p.value.data(), sizeof v);
                return v;
            }
        return -1;
    };
    const Lv2State before = unit.state();
    EXPECT_EQ(before.controls, std::vector<float>{0.5f});
    EXPECT_EQ(runs(before), 6);  // five blocks and the one made to read the latency
    ASSERT_EQ(before.properties.size(), 1u);
    EXPECT_EQ(before.properties[0].type, "http://lv2plug.in/ns/ext/atom#Long");

    // New instances while the first ones still run (a chain being rebuilt):
    // they take the state the first ones have now.
    const auto second = unit.instantiate(4, 44100, 256);
    first->process(in.in(), out.out(), 64);
    EXPECT_EQ(second->count(), 4);
    EXPECT_EQ(unit.control(0), 0.5f);
    EXPECT_EQ(runs(unit.state()), 7);  // restored, then the latency block
    Buffers in4(4, 64, true), out4(4, 64, false);
    second->process(in4.in(), out4.out(), 64);
    for (uint32_t t = 0; t < 64; ++t) EXPECT_EQ(out4.data[3][t], in4.data[3][t] * 0.5f);
}

TEST(Lv2Host, ADefaultStateIsLoadedWhereThePluginAsksForIt) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:preset"), 2, 48000);
    Buffers in(2, 256, true), out(2, 256, false);
    unit.latest()->process(in.in(), out.out(), 256);
    for (int c = 0; c < 2; ++c)
        for (uint32_t t = 0; t < 256; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t] * 0.25f) << c << " " << t;
    // Later instances take the state of the running ones, not the default again.
    unit.instantiate(1, 48000, 256)->process(in.in(), out.out(), 256);
    for (uint32_t t = 0; t < 256; ++t) ASSERT_EQ(out.data[0][t], in.data[0][t] * 0.25f) << t;
}

namespace {

// An impulse response of `frames` frames: three taps, at 0, 100 and 1000.
std::vector<float> taps(int64_t frames, float first) {
    std::vector<float> ir(size_t(frames), 0.0f);
    ir[0] = first;
    ir[100] = 0.25f;
    ir[1000] = -0.125f;
    return ir;
}

// Blocks of `block` frames: an impulse on each channel at frame 0, then
// silence; the output of `frames` frames.
std::vector<std::vector<float>> impulseThrough(Lv2Instances& run, int channels, uint32_t block, uint32_t frames) {
    std::vector<std::vector<float>> result(static_cast<size_t>(channels), std::vector<float>{});
    Buffers in(channels, block, false), out(channels, block, false);
    for (uint32_t done = 0; done < frames; done += block) {
        for (int c = 0; c < channels; ++c) in.data[c][0] = done == 0 ? 1.0f : 0.0f;
        run.process(in.in(), out.out(), block);
        for (int c = 0; c < channels; ++c) result[c].insert(result[c].end(), out.data[c].begin(), out.data[c].end());
    }
    return result;
}

// Whether `out` holds the impulse response `ir` after the plug-in's
// latency, at the plug-in's own level (convoLV2 halves a file by default),
// which must be positive.
::testing::AssertionResult convolved(const std::vector<float>& out, const std::vector<float>& ir, uint32_t latency) {
    if (out.size() <= latency) return ::testing::AssertionFailure() << "too short";
    const float level = out[latency] / ir[0];
    if (!(level > 0.1f)) return ::testing::AssertionFailure() << "level " << level;
    for (size_t t = 0; t + latency < out.size() && t < 1200; ++t) {
        const float want = level * (t < ir.size() ? ir[t] : 0.0f);
        if (std::abs(out[t + latency] - want) > 2e-3f)
            return ::testing::AssertionFailure() << "frame " << t << ": " << out[t + latency] << " for " << want;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// Debian's x42-plugins: convoLV2 and zeroconvolv's "IR Convolver" variants
// given an impulse response file through their file parameter (convoLV2
// takes it as a patch:Set or through its state, zeroconvolv through its
// state only). A file chosen before the instances are made is loaded before
// their first block; one chosen while they run is loaded by their worker
// thread and answered into a later block. Each says which file it has when
// asked (patch:Get), and the unit reports it once every instance has it.
// zeroconvolv's preset variants (which need the worker and the nominal
// block length) are offered and run.
TEST(Lv2Host, TheX42ConvolversRunAnImpulseResponseFile) {
    test::useTestPlugins();
    for (const char* uri : {"http://gareus.org/oss/lv2/zeroconvolv#Mono", "http://gareus.org/oss/lv2/zeroconvolv#Stereo"}) {
        const Lv2Plugin* p = Lv2Host::find(uri);
        if (!p) GTEST_SKIP() << "x42-plugins is not installed";
        EXPECT_EQ(p->category, Lv2Category::reverb);
        Lv2Unit unit(*p, 2, 48000, 256);
        Buffers in(2, 256, true), out(2, 256, false);
        unit.latest()->process(in.in(), out.out(), 256);
        EXPECT_FALSE(unit.failed()) << uri;
    }
    test::TempDir dir;
    const std::string first = (dir / "first.wav").string(), second = (dir / "second.wav").string();
    test::writeAudioFile(first, {taps(2048, 0.5f)}, 48000, {test::FileKind::wav, 32, true});
    test::writeAudioFile(second, {taps(2048, -0.75f)}, 48000, {test::FileKind::wav, 32, true});
    const char* uris[] = {"http://gareus.org/oss/lv2/convoLV2#Mono", "http://gareus.org/oss/lv2/zeroconvolv#CfgMono",
                          "http://gareus.org/oss/lv2/zeroconvolv#CfgStereo"};
    for (const char* uri : uris) {
        SCOPED_TRACE(uri);
        const Lv2Plugin* p = Lv2Host::find(uri);
        if (!p) GTEST_SKIP() << "x42-plugins is not installed";
        Lv2Unit unit(*p, 2, 48000, 256);
        ASSERT_EQ(unit.fileParameters().size(), 1u);
        unit.setFile(0, first);
        EXPECT_EQ(unit.file(0), first);

        const auto running = unit.instantiate(2, 48000, 256);
        running->live();
        const uint32_t latency = running->latency();
        EXPECT_LE(latency, 256u);
        auto out = impulseThrough(*running, 2, 256, 2048);
        for (int c = 0; c < 2; ++c) EXPECT_TRUE(convolved(out[c], taps(2048, 0.5f), latency)) << c;
        EXPECT_EQ(running->latency(), latency) << "the latency is known before the first block";
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(10.0 * test::kTimeFactor);
        auto reports = [&](const std::string& file) {
            while (unit.loadedFile(0) != file && std::chrono::steady_clock::now() < until) {
                impulseThrough(*running, 2, 256, 256);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return unit.loadedFile(0) == file;
        };
        EXPECT_TRUE(reports(first));

        // A plug-in run once per channel loads the file in each channel's
        // instance on that instance's worker: the channels take it in
        // blocks of their own.
        unit.setFile(0, second);
        bool loaded = false;
        while (!loaded && std::chrono::steady_clock::now() < until) {
            out = impulseThrough(*running, 2, 256, 2048);
            loaded = convolved(out[0], taps(2048, -0.75f), latency) && convolved(out[1], taps(2048, -0.75f), latency);
            if (!loaded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (int c = 0; c < 2; ++c) EXPECT_TRUE(convolved(out[c], taps(2048, -0.75f), latency)) << c;
        EXPECT_TRUE(reports(second));
        EXPECT_FALSE(unit.failed());
    }
}

// The LV2 host over the test bundle: what is offered, the shapes a plug-in
// runs in, controls, bypass, latency, the guard against non-finite output,
// and the state carried to a new instance.
#include "platform/Lv2Host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/AppError.h"
#include "support/Lv2Plugins.h"

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
    // Instruments and analysers (no audio input or output) are no inserts.
    for (const auto& p : all) {
        EXPECT_GE(p.audioInputs, 1) << p.uri;
        EXPECT_GE(p.audioOutputs, 1) << p.uri;
    }
}

TEST(Lv2Host, AMonoPluginRunsOncePerChannelWithItsControl) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:gain"), 3, 48000);
    EXPECT_EQ(unit.instances(), 3);
    ASSERT_EQ(unit.controls().size(), 1u);
    EXPECT_EQ(unit.controls()[0].symbol, "gain");
    EXPECT_EQ(unit.controls()[0].defaultValue, 1.0f);
    EXPECT_EQ(unit.controls()[0].maximum, 4.0f);
    EXPECT_EQ(unit.control(0), 1.0f);
    EXPECT_EQ(unit.latency(), 0u);

    Buffers in(3, 4096, true), out(3, 4096, false);
    // At the default gain every channel comes out as it went in: the plug-in
    // also saw a well-formed, empty event sequence (it outputs silence else).
    unit.process(in.in(), out.out(), 4096);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(out.data[c], in.data[c]) << c;

    unit.setControl(0, 2.5f);
    unit.process(in.in(), out.out(), 300);
    for (int c = 0; c < 3; ++c)
        for (uint32_t t = 0; t < 300; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t] * 2.5f);
    unit.setControl(0, 99.0f);  // beyond the port's range
    EXPECT_EQ(unit.control(0), 4.0f);

    unit.setBypassed(true);
    unit.process(in.in(), out.out(), 1000);
    for (int c = 0; c < 3; ++c)
        for (uint32_t t = 0; t < 1000; ++t) ASSERT_EQ(out.data[c][t], in.data[c][t]);
    EXPECT_FALSE(unit.failed());
}

TEST(Lv2Host, AStereoPluginFitsOnlyTwoChannelsAndReportsItsLatency) {
    const Lv2Plugin& delay = plugin("urn:quillmarsh:test:delay");
    Lv2Unit unit(delay, 2, 48000);
    EXPECT_EQ(unit.instances(), 1);
    EXPECT_TRUE(unit.controls().empty());  // its latency port is an output
    EXPECT_EQ(unit.latency(), 100u);       // known before any block of the stream
    Buffers in(2, 1024, true), out(2, 1024, false);
    unit.process(in.in(), out.out(), 1024);
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
    // A shape that no longer fits leaves the unit copying through.
    EXPECT_THROW(unit.prepare(6, 48000), AppError);
    EXPECT_FALSE(unit.ready());
    Buffers six(6, 64, true), sixOut(6, 64, false);
    unit.process(six.in(), sixOut.out(), 64);
    EXPECT_EQ(sixOut.data, six.data);
    unit.prepare(2, 44100);
    EXPECT_TRUE(unit.ready());
    EXPECT_EQ(unit.sampleRate(), 44100);
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
        unit.process(in.in(), out.out(), 256);
        for (int c = 0; c < 2; ++c)
            for (uint32_t t = 0; t < 256; ++t) ASSERT_TRUE(std::isfinite(out.data[c][t])) << block;
        EXPECT_EQ(out.data, in.data) << block;
        if (unit.failed() && failedAt < 0) failedAt = block;
    }
    EXPECT_GE(failedAt, 0);
    EXPECT_TRUE(unit.bypassed());
    // A new instance is a fresh chance: prepare() clears the failure, not the bypass.
    unit.prepare(2, 48000);
    EXPECT_FALSE(unit.failed());
    EXPECT_TRUE(unit.bypassed());
}

TEST(Lv2Host, ANewInstanceKeepsTheControlsAndThePluginsOwnState) {
    Lv2Unit unit(plugin("urn:quillmarsh:test:gain"), 1, 48000);
    unit.setControl(0, 0.5f);
    Buffers in(1, 64, true), out(1, 64, false);
    for (int i = 0; i < 5; ++i) unit.process(in.in(), out.out(), 64);
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

    unit.prepare(4, 44100);
    EXPECT_EQ(unit.instances(), 4);
    EXPECT_EQ(unit.control(0), 0.5f);
    EXPECT_EQ(runs(unit.state()), 7);  // restored, then the latency block
    Buffers in4(4, 64, true), out4(4, 64, false);
    unit.process(in4.in(), out4.out(), 64);
    for (uint32_t t = 0; t < 64; ++t) EXPECT_EQ(out4.data[3][t], in4.data[3][t] * 0.5f);
}

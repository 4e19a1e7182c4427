#include "playback/RenderContext.h"

#include "spatial/UpmixFFT.h"
#include "platform/BinauralRenderer.h"
#include "rt/mn_upmix.h"
#include "support/PlaybackConfigs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

using namespace qm;

namespace {

// Channel c of frame t carries (1 + c + t / 1000) / 64 (scaled by `scale`):
// below full scale, where the output's limiter leaves every sample as it is;
// frame t is stamped 100 + t, so positions and offsets show exactly.
constexpr float kLevel = 1.0f / 64;
struct Ring {
    mn_ring* raw;
    Ring(int channels, int frames, float scale = 1.0f, bool eof = false)
        : raw(mn_ring_create(channels, 1 << 16)) {
        std::vector<std::vector<float>> data(static_cast<size_t>(channels),
                                             std::vector<float>(static_cast<size_t>(frames)));
        std::vector<const float*> ptr;
        std::vector<double> stamps(static_cast<size_t>(frames));
        for (int c = 0; c < channels; ++c) {
            for (int t = 0; t < frames; ++t) data[c][t] = value(c, t, scale);
            ptr.push_back(data[c].data());
        }
        for (int t = 0; t < frames; ++t) stamps[t] = 100.0 + t;
        mn_ring_write(raw, ptr.data(), stamps.data(), frames);
        if (eof) mn_ring_set_eof(raw);
    }
    ~Ring() { mn_ring_destroy(raw); }
    static float value(int c, int t, float scale = 1.0f) { return scale * (1.0f + c + t / 1000.0f) * kLevel; }
};

struct Config {
    std::vector<float> matrix;
    mn_mix_config cfg{};
    Config(int in, int rows, std::vector<float> m) : matrix(std::move(m)) {
        cfg.in_channels = in;
        cfg.rows = rows;
        cfg.matrix = matrix.data();
        cfg.bin_left = -1;
        cfg.bin_right = -1;
    }
};

struct Device {
    std::vector<std::vector<float>> ch;
    std::vector<float*> ptr;
    Device(int channels, uint32_t frames) : ch(static_cast<size_t>(channels), std::vector<float>(frames, 7.0f)) {
        for (auto& c : ch) ptr.push_back(c.data());
    }
    int32_t render(RenderContext& ctx) {
        return ctx.render(static_cast<uint32_t>(ch[0].size()), ptr.data(), static_cast<uint32_t>(ptr.size()));
    }
};

void publish(RenderContext& ctx, Ring* ring, Config* cfg) {
    mn_slot_store(ctx.ringSlot, ring ? ring->raw : nullptr);
    mn_slot_store(ctx.cfgSlot, cfg ? &cfg->cfg : nullptr);
}

float up(uint32_t t, uint32_t n) { return static_cast<float>(t + 1) * (1.0f / static_cast<float>(n)); }

}  // namespace

TEST(RenderContext, FadesInFromSilenceThenMixesThroughTheMatrixAndTracksPosition) {
    RenderContext ctx;
    Ring ring(2, 2000);
    // Three device channels: L, R and their sum at half level.
    Config cfg(2, 3, {1, 0, 0, 1, 0.5f, 0.5f});
    publish(ctx, &ring, &cfg);
    Device dev(3, 256);
    EXPECT_EQ(dev.render(ctx), 0);
    for (uint32_t t = 0; t < 256; ++t) {
        ASSERT_FLOAT_EQ(dev.ch[0][t], Ring::value(0, t) * up(t, 256));
        ASSERT_FLOAT_EQ(dev.ch[2][t], 0.5f * (Ring::value(0, t) + Ring::value(1, t)) * up(t, 256));
    }
    EXPECT_EQ(mn_f64_load(ctx.position), 100.0 + 255);
    dev.render(ctx);
    for (uint32_t t = 0; t < 256; ++t) {
        ASSERT_FLOAT_EQ(dev.ch[1][t], Ring::value(1, 256 + t));
        ASSERT_FLOAT_EQ(dev.ch[2][t], 0.5f * (Ring::value(0, 256 + t) + Ring::value(1, 256 + t)));
    }
    EXPECT_EQ(mn_f64_load(ctx.position), 100.0 + 511);
    EXPECT_EQ(mn_i64_load(ctx.finished), 0);
}

TEST(RenderContext, ANewRecordCrossfadesOverOneCallback) {
    RenderContext ctx;
    Ring ring(2, 4000);
    Config straight(2, 2, {1, 0, 0, 1});
    Config swapped(2, 2, {0, 1, 1, 0});
    publish(ctx, &ring, &straight);
    Device dev(2, 400);
    dev.render(ctx);
    mn_slot_store(ctx.cfgSlot, &swapped.cfg);
    dev.render(ctx);
    for (uint32_t t = 0; t < 400; ++t) {
        float l = Ring::value(0, 400 + t), r = Ring::value(1, 400 + t);
        ASSERT_NEAR(dev.ch[0][t], l * (1 - up(t, 400)) + r * up(t, 400), 1e-5 * kLevel);
    }
    EXPECT_FLOAT_EQ(dev.ch[0][399], Ring::value(1, 799));
    dev.render(ctx);
    for (uint32_t t = 0; t < 400; ++t) ASSERT_FLOAT_EQ(dev.ch[0][t], Ring::value(1, 800 + t));
}

TEST(RenderContext, ANewRingCrossfadesOverOneCallbackAndPositionFollowsIt) {
    RenderContext ctx;
    Ring first(1, 4000), second(1, 4000, -2.0f);
    Config mono(1, 1, {1});
    publish(ctx, &first, &mono);
    Device dev(1, 300);
    dev.render(ctx);
    dev.render(ctx);
    mn_slot_store(ctx.ringSlot, second.raw);
    dev.render(ctx);
    for (uint32_t t = 0; t < 300; ++t) {
        float expect = Ring::value(0, 600 + t) * (1 - up(t, 300)) + Ring::value(0, t, -2.0f) * up(t, 300);
        ASSERT_NEAR(dev.ch[0][t], expect, 1e-5 * kLevel);
    }
    EXPECT_EQ(mn_f64_load(ctx.position), 100.0 + 299);
    EXPECT_EQ(mn_ring_available(first.raw), 4000 - 900);
    dev.render(ctx);
    EXPECT_FLOAT_EQ(dev.ch[0][0], Ring::value(0, 300, -2.0f));
    EXPECT_EQ(mn_ring_available(first.raw), 4000 - 900) << "the old ring is left alone";
}

TEST(RenderContext, GainMovesLinearlyOverOneCallbackThenHolds) {
    RenderContext ctx;
    Ring ring(1, 4000);
    Config mono(1, 1, {1});
    publish(ctx, &ring, &mono);
    Device dev(1, 512);
    dev.render(ctx);
    mn_f64_store(ctx.gain, 0.5);
    dev.render(ctx);
    for (uint32_t t = 0; t < 512; ++t) {
        ASSERT_NEAR(dev.ch[0][t], Ring::value(0, 512 + t) * (1.0f - 0.5f * up(t, 512)), 1e-5 * kLevel);
    }
    dev.render(ctx);
    for (uint32_t t = 0; t < 512; ++t) ASSERT_FLOAT_EQ(dev.ch[0][t], Ring::value(0, 1024 + t) * 0.5f);
}

TEST(RenderContext, ARingWithoutARecordStaysSilentAndIsReadOnceOnly) {
    RenderContext ctx;
    Ring ring(2, 4000);
    publish(ctx, &ring, nullptr);
    Device dev(2, 256);
    dev.render(ctx);
    dev.render(ctx);
    dev.render(ctx);
    for (auto& c : dev.ch) {
        for (float v : c) ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(mn_ring_available(ring.raw), 4000 - 256);
    Config cfg(2, 2, {1, 0, 0, 1});
    mn_slot_store(ctx.cfgSlot, &cfg.cfg);
    dev.render(ctx);
    EXPECT_NEAR(dev.ch[0][255], Ring::value(0, 511), 1e-5 * kLevel);
}

TEST(RenderContext, UnderrunPadsWithSilenceAndADrainedRingAtEndIsFinished) {
    RenderContext ctx;
    Ring ring(1, 300, 1.0f, true);
    Config mono(1, 1, {1});
    publish(ctx, &ring, &mono);
    Device dev(1, 256);
    dev.render(ctx);
    EXPECT_EQ(mn_i64_load(ctx.finished), 0);
    dev.render(ctx);
    EXPECT_FLOAT_EQ(dev.ch[0][43], Ring::value(0, 299));
    for (uint32_t t = 44; t < 256; ++t) ASSERT_EQ(dev.ch[0][t], 0.0f);
    EXPECT_EQ(mn_f64_load(ctx.position), 100.0 + 299);
    EXPECT_EQ(mn_i64_load(ctx.finished), 1);
    dev.render(ctx);
    EXPECT_EQ(mn_f64_load(ctx.position), 100.0 + 299) << "nothing read, position kept";
}

namespace {
// Runs once, on the render thread, in the middle of a callback: the upmix
// kernel's forward transform is the hook.
std::function<void()> midCallback;
void forwardWithHook(void* setup, const float* x, float* re, float* im) {
    if (auto f = std::exchange(midCallback, nullptr)) f();
    UpmixFFT::ops()->forward(setup, x, re, im);
}
}  // namespace

TEST(RenderContext, APlayLandingDuringACallbackIsNotMarkedFinishedByTheDrainedOldStream) {
    mn_fft_ops ops = *UpmixFFT::ops();
    ops.forward = forwardWithHook;
    mn_upmix* u = mn_upmix_create(1, 1, 256, 48000, &ops);
    int32_t route = 0;
    float unity = 1;
    mn_upmix_plan plan{};
    plan.routes = 1;
    plan.route_in = plan.route_out = &route;
    plan.route_gain = &unity;
    plan.lfe_out = -1;
    mn_upmix_set_plan(u, &plan);
    RenderContext ctx;
    Ring old(1, 64, 1.0f, true), next(1, 4096);
    Config cfg(1, 1, {1});
    cfg.cfg.upmix = u;
    publish(ctx, &old, &cfg);
    Device dev(1, 64);  // one kernel hop per callback
    dev.render(ctx);
    ASSERT_EQ(mn_i64_load(ctx.finished), 1);
    midCallback = [&] {  // what play() does on the main thread
        mn_i64_store(ctx.finished, 0);
        mn_slot_store(ctx.ringSlot, next.raw);
    };
    dev.render(ctx);
    ASSERT_EQ(midCallback, nullptr);
    EXPECT_EQ(mn_i64_load(ctx.finished), 0);
    dev.render(ctx);
    EXPECT_EQ(mn_i64_load(ctx.finished), 0);
    mn_upmix_destroy(u);
}

TEST(RenderContext, ACallbackOf5000FramesRendersOnly4096) {
    RenderContext ctx;
    Ring ring(1, 10000);
    Config mono(1, 1, {1});
    publish(ctx, &ring, &mono);
    Device dev(1, 5000);
    dev.render(ctx);
    dev.render(ctx);
    EXPECT_FLOAT_EQ(dev.ch[0][4095], Ring::value(0, 4096 + 4095));
    for (uint32_t t = 4096; t < 5000; ++t) ASSERT_EQ(dev.ch[0][t], 0.0f);
    EXPECT_EQ(mn_ring_available(ring.raw), 10000 - 2 * 4096);
}

TEST(RenderContext, MismatchedOrOversizedInputsAndMissingBuffersStaySilent) {
    RenderContext ctx;
    Ring wide(65, 1000), stereo(2, 1000);
    Config two(2, 2, {1, 0, 0, 1}), one(1, 2, {1, 1});
    Device dev(2, 128);
    publish(ctx, &wide, &two);
    dev.render(ctx);
    dev.render(ctx);
    for (float v : dev.ch[0]) ASSERT_EQ(v, 0.0f);
    publish(ctx, &stereo, &one);
    dev.render(ctx);
    dev.render(ctx);
    for (float v : dev.ch[1]) ASSERT_EQ(v, 0.0f);
    // A device channel without memory is skipped, the others are written.
    publish(ctx, &stereo, &two);
    dev.render(ctx);
    dev.ptr[0] = nullptr;
    dev.render(ctx);
    EXPECT_NEAR(dev.ch[1][0], Ring::value(1, 384), 1e-5 * kLevel);
}

TEST(RenderContext, ARecordKeepingItsUpmixRunsTheKernelOnceAndCrossfadesTheMatrices) {
    test::PassthroughUpmix u, ref;
    ASSERT_TRUE(u.raw && ref.raw);
    RenderContext ctx;
    Ring ring(3, 8000);
    // The kernel reads ring channels 1 and 2.
    Config a(2, 2, {1, 0, 0, 1}), b(2, 2, {0, 2, 2, 0});
    a.cfg.upmix = b.cfg.upmix = u.raw;
    a.cfg.upmix_offset = b.cfg.upmix_offset = 1;
    publish(ctx, &ring, &a);
    Device dev(2, 512);
    std::vector<float> in1(512), in2(512), o1(512), o2(512);
    const float* rin[2] = {in1.data(), in2.data()};
    float* rout[2] = {o1.data(), o2.data()};
    for (int cb = 0; cb < 6; ++cb) {
        if (cb == 4) mn_slot_store(ctx.cfgSlot, &b.cfg);
        dev.render(ctx);
        // Starting from silence, the kernel hears its input fade in.
        for (int t = 0; t < 512; ++t) {
            const float fade = cb == 0 ? up(static_cast<uint32_t>(t), 512) : 1.0f;
            in1[t] = Ring::value(1, cb * 512 + t) * fade;
            in2[t] = Ring::value(2, cb * 512 + t) * fade;
        }
        mn_upmix_process(ref.raw, rin, 512, rout);
        for (uint32_t t = 0; t < 512; ++t) {
            float expect0;
            if (cb < 4) expect0 = o1[t];
            else if (cb == 4) expect0 = o1[t] * (1 - up(t, 512)) + 2 * o2[t] * up(t, 512);
            else expect0 = 2 * o2[t];
            ASSERT_NEAR(dev.ch[0][t], expect0, 1e-4 * kLevel) << "callback " << cb << " frame " << t;
        }
    }
    float loud = 0;
    for (float v : dev.ch[0]) loud = std::max(loud, std::abs(v));
    EXPECT_GT(loud, kLevel) << "the kernel's output reached the device";
}

TEST(RenderContext, BinauralRecordsFeedTheEarsOfTheirOwnChannelsOnly) {
    RenderContext ctx;
    BinauralRenderer bin(48000.0);
    bin.setDirection(0, 90.0, 0.0);
    ctx.setBinauralRenderer(&bin);
    // Noise: the level difference of a source at the side lies in its highs.
    mn_ring* noise = mn_ring_create(1, 1 << 16);
    {
        std::vector<float> x(40000);
        std::vector<double> stamps(x.size(), 0.0);
        uint32_t seed = 7;
        for (float& v : x) v = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f;
        const float* src[1] = {x.data()};
        mn_ring_write(noise, src, stamps.data(), static_cast<int32_t>(x.size()));
    }
    Config toBus(1, 1, {1});
    toBus.cfg.to_binaural = 1;
    toBus.cfg.bin_left = 2;
    toBus.cfg.bin_right = 3;
    mn_slot_store(ctx.ringSlot, noise);
    mn_slot_store(ctx.cfgSlot, &toBus.cfg);
    Device dev(4, 1024);
    double e[4] = {};
    for (int cb = 0; cb < 8; ++cb) {
        dev.render(ctx);
        for (int c = 0; c < 4; ++c) {
            for (float v : dev.ch[c]) e[c] += double(v) * v;
        }
    }
    EXPECT_EQ(e[0] + e[1], 0.0) << "nothing mixed directly to the speakers";
    EXPECT_GT(e[2], e[3] * 4) << "a source at the left is louder in the left ear";
    EXPECT_NE(ctx.busChannel(0)[0], 0.0f);

    // Ears outside the device are ignored.
    toBus.cfg.bin_left = 4;
    toBus.cfg.bin_right = -1;
    dev.render(ctx);
    for (auto& c : dev.ch) {
        for (float v : c) ASSERT_EQ(v, 0.0f);
    }
    mn_slot_store(ctx.ringSlot, nullptr);
    mn_ring_destroy(noise);
}

TEST(RenderContext, ComingBackToBinauralPlaysNothingLeftOverFromTheLastTime) {
    RenderContext ctx;
    BinauralRenderer bin(48000.0);
    ctx.setBinauralRenderer(&bin);
    Ring loud(1, 40000), silent(1, 40000, 0.0f);
    Config toBus(1, 1, {1});
    toBus.cfg.to_binaural = 1;
    toBus.cfg.bin_left = 0;
    toBus.cfg.bin_right = 1;
    Config quietSpeakers(1, 2, {0, 0});
    Device dev(2, 256);
    publish(ctx, &loud, &toBus);
    for (int cb = 0; cb < 4; ++cb) dev.render(ctx);
    publish(ctx, &loud, &quietSpeakers);
    for (int cb = 0; cb < 3; ++cb) dev.render(ctx);
    publish(ctx, &silent, &toBus);
    for (int cb = 0; cb < 4; ++cb) {
        dev.render(ctx);
        for (auto& c : dev.ch) {
            for (float v : c) ASSERT_EQ(v, 0.0f) << "callback " << cb;
        }
    }
}

TEST(RenderContext, AnUpmixRecordAskingForMoreInputsThanTheKernelCanGiveMixesNothing) {
    // The kernel writes at most 24 outputs; a matrix of 30 columns would read
    // past them.
    test::PassthroughUpmix u;
    RenderContext ctx;
    Ring ring(2, 8000);
    Config wide(30, 1, std::vector<float>(30, 1.0f));
    wide.cfg.upmix = u.raw;
    publish(ctx, &ring, &wide);
    Device dev(1, 512);
    for (int cb = 0; cb < 4; ++cb) {
        dev.render(ctx);
        for (float v : dev.ch[0]) ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(mn_ring_available(ring.raw), 8000 - 4 * 512) << "the ring still plays on";
}

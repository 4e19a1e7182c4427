// Click-free, measured: a 1 kHz sine on every channel of a 9.1.6 bus runs
// through the node for 10 s while the monitor state changes every 256-frame
// block (volume, dim, mute, fold-down, height trim, solo and mute sets). The
// largest sample-to-sample step of any output must stay within what the
// sine itself steps at the largest gain in play; the same run with the
// matrix switched hard at block edges is measured beside it.
#include "monitor/MatrixUnit.h"

#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "support/Clicks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <vector>

using namespace qm;

namespace {

MonitorState randomState(std::mt19937& rng) {
    MonitorState s;
    s.mode = monitorMode::allCases()[rng() % monitorMode::allCases().size()];
    s.volumeDB = -40.0 + static_cast<double>(rng() % 5200) / 100.0;  // -40 ... +12 dB
    s.dim = rng() % 4 == 0;
    s.mute = rng() % 10 == 0;
    s.heightTrimDB = -12.0 + static_cast<double>(rng() % 1800) / 100.0;
    const auto& speakers = layout::speakers(LayoutID::l916);
    for (SpeakerID sp : speakers) {
        if (rng() % 6 == 0) s.solo.insert(sp);
        if (rng() % 6 == 0) s.muted.insert(sp);
    }
    return s;
}

}  // namespace

TEST(MatrixUnitClicks, MatrixChangesEveryBlockStayWithinTheSinesOwnSteps) {
    constexpr double rate = 48000, amplitude = 0.5;
    constexpr uint32_t block = 256;
    constexpr int blocks = static_cast<int>(10 * rate / block);
    OutputProfile profile;
    profile.layout = LayoutID::l916;
    for (int i = 0; i < 16; ++i) {
        profile.outputs.push_back(i);
        profile.trimsDB.push_back(-3.0 + 0.4 * i);
    }

    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(16, rate);
    std::mt19937 rng(7);

    std::vector<std::vector<float>> in(16, std::vector<float>(block)), out(16, std::vector<float>(block));
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
    for (auto& c : in) inPtr.push_back(c.data());
    for (auto& c : out) outPtr.push_back(c.data());

    std::vector<float> last(16, 0.0f), lastHard(16, 0.0f);
    double sineStep = 0, largestGain = 0, step = 0, hardStep = 0;
    float lastSine = 0;
    MixConfig config = MonitorMatrix::build(randomState(rng), 16, profile, 16);
    unit.setConfig(config);
    for (int b = 0; b < blocks; ++b) {
        for (uint32_t t = 0; t < block; ++t) {
            const int64_t frame = static_cast<int64_t>(b) * block + t;
            const float x = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000.0 * frame / rate));
            for (auto& c : in) c[t] = x;
            if (frame > 0) sineStep = std::max(sineStep, std::abs(double(x) - lastSine));
            lastSine = x;
        }
        unit.render(block, inPtr.data(), 16, outPtr.data(), 16);
        // All inputs carry the same sine: a row's gain is the sum of its coefficients.
        for (int o = 0; o < 16; ++o) {
            double g = 0;
            for (int c = 0; c < 16; ++c) g += std::abs(config.matrix[size_t(o * 16 + c)]);
            largestGain = std::max(largestGain, g);
            for (uint32_t t = 0; t < block; ++t) {
                const float y = out[size_t(o)][t];
                const bool first = b == 0 && t == 0;
                if (!first) step = std::max(step, std::abs(double(y) - last[size_t(o)]));
                last[size_t(o)] = y;
                double hard = 0;
                for (int c = 0; c < 16; ++c) hard += double(config.matrix[size_t(o * 16 + c)]) * in[size_t(c)][t];
                if (!first) hardStep = std::max(hardStep, std::abs(hard - lastHard[size_t(o)]));
                lastHard[size_t(o)] = static_cast<float>(hard);
            }
        }
        config = MonitorMatrix::build(randomState(rng), 16, profile, 16);
        unit.setConfig(config);
        queue.advance(block / rate);
    }
    // Float rounding: a few units in the last place of the largest output.
    const double bound = sineStep * largestGain + 1e-6 * largestGain;
    std::printf("largest step %.6f with crossfades, %.6f switched hard (%.1f times as large); "
                "sine step %.6f x largest gain %.3f = %.6f\n",
                step, hardStep, hardStep / step, sineStep, largestGain, sineStep * largestGain);
    RecordProperty("crossfade_step", std::to_string(step));
    RecordProperty("hard_switch_step", std::to_string(hardStep));
    EXPECT_LE(step, bound);
    EXPECT_GT(hardStep, 2 * bound) << "the hard run should click, or the test shows nothing";
}

// Turning the upmix on and off, changing its preset and its target (another
// profile on the same device) through the node: each change heard as
// nothing but the signal (support/Clicks.h), at a 256-frame block. A new
// upmix kernel settles on the live input first, while the previous matrix
// plays on, and only then crossfades in.
TEST(MatrixUnitClicks, UpmixChangesCrossfadeWithoutAStep) {
    constexpr double rate = 48000;
    constexpr uint32_t block = 256;
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(2, rate);
    const test::Planar in = test::tones(2, 6 * 48000, 0.25, rate, 500, 2000);
    test::Planar out(16);
    std::vector<std::vector<float>> blockOut(16, std::vector<float>(block));
    std::vector<float*> outPtr;
    for (auto& c : blockOut) outPtr.push_back(c.data());
    int64_t at = 0;
    auto run = [&](int64_t frames) {
        for (int64_t end = at + frames; at < end; at += block) {
            const float* inPtr[2] = {in[0].data() + at, in[1].data() + at};
            unit.render(block, inPtr, 2, outPtr.data(), 16);
            for (size_t c = 0; c < 16; ++c) out[c].insert(out[c].end(), blockOut[c].begin(), blockOut[c].end());
        }
    };
    auto state = [](bool upmix, UpmixPreset preset) {
        MonitorState s;
        s.source = MonitorSource::stereo;
        s.upmix.enabled = upmix;
        s.upmix.preset = preset;
        s.upmix.params = upmixPreset::params(preset);
        return s;
    };
    OutputProfile l916, l714;
    l916.layout = LayoutID::l916;
    l714.layout = LayoutID::l714;
    struct Change {
        const char* name;
        MonitorState state;
        const OutputProfile* profile;
    };
    const std::vector<Change> changes = {{"upmix on", state(true, UpmixPreset::music), &l916},
                                         {"preset music to film", state(true, UpmixPreset::film), &l916},
                                         {"9.1.6 to 7.1.4 on the same device", state(true, UpmixPreset::film), &l714},
                                         {"upmix off", state(false, UpmixPreset::film), &l714}};
    unit.setConfig(MonitorMatrix::build(state(false, UpmixPreset::music), 2, l916, 16));
    run(48000);
    for (const Change& c : changes) {
        const int64_t from = at;
        unit.setConfig(MonitorMatrix::build(c.state, 2, *c.profile, 16));
        run(48000);
        queue.advance(1.0);
        const test::ClickRatio r = test::clickRatio(out, from, from + 12000, 9600);
        std::printf("%-36s click ratio %.3f (step %.4f on channel %d, own %.4f)\n", c.name, r.ratio, r.step, r.channel,
                    r.own);
        RecordProperty(c.name, std::to_string(r.ratio));
        EXPECT_LE(r.ratio, 1.2) << c.name;
    }
}

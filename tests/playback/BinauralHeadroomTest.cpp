// Headroom of the binaural rendering, through the playback engine's render
// path (the same bus, renderer and limiter as a binaural pull): sources of
// every kind at -12 dBFS a channel (uncorrelated tones from 100 Hz to
// 8 kHz, or pink noise of that RMS) reach the ears below full scale with
// the limiter idle; at 0 dBFS the ears would go over only as far as a
// stereo speaker bed of the same source does, and the limiter holds them
// below full scale.
#include "RenderRig.h"

#include "platform/BinauralRenderer.h"
#include "spatial/MixBuilder.h"
#include "support/Clicks.h"
#include "support/Profiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

using namespace qm;
using S = SpeakerID;

namespace {

constexpr double kRate = 48000;
constexpr int64_t kSegment = 24000;
constexpr int64_t kSettled = 4000;  // frames of a segment still ringing from the one before
constexpr int64_t kRest = 60000;    // silence before each case

// What a headphone profile plays of a source rendered binaurally (as a pull
// renders it too).
MixConfig binauralOf(const SourceFormat& source, int channels) {
    const MixBuilder::Binaural b = MixBuilder::binauralMatrix(source, channels, Rotation{});
    MixConfig c;
    c.inChannels = channels;
    c.rows = static_cast<int>(b.dirs.size());
    for (const auto& row : b.matrix)
        for (double g : row) c.matrix.push_back(static_cast<float>(g));
    c.toBinaural = true;
    c.virtualDirections = b.dirs;
    return c;
}

double peak(const test::Planar& x, int64_t from, int64_t to) {
    double p = 0;
    for (const auto& ch : x)
        for (int64_t t = from; t < to; ++t) p = std::max(p, double(std::abs(ch[size_t(t)])));
    return p;
}

double db(double v) { return 20 * std::log10(v); }

struct Case {
    std::string name;
    SourceFormat source;
    int channels;
    MixConfig mix;
};

}  // namespace

TEST(BinauralHeadroom, MinusTwelveStaysBelowFullScaleAndFullScaleGoesNoFurtherThanABed) {
    auto headphones = test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::headphones, "dev");
    headphones.headphoneLeft = 0;
    headphones.headphoneRight = 1;
    UpmixSettings upmix;
    upmix.enabled = true;
    const auto stereo = SourceFormat::speakers({S::L, S::R});
    std::vector<Case> cases;
    cases.push_back({"2.0", stereo, 2, binauralOf(stereo, 2)});
    cases.push_back({"2.0 upmixed", stereo, 2,
                     MixBuilder::config(stereo, 2, headphones, 2, ListenMode::normal, {}, false, upmix)});
    for (LayoutID id : {LayoutID::l51, LayoutID::l714, LayoutID::l916}) {
        const auto bed = SourceFormat::speakers(layout::speakers(id));
        const int n = static_cast<int>(layout::speakers(id).size());
        cases.push_back({std::string(layout::displayName(id)), bed, n,
                         MixBuilder::config(bed, n, headphones, 2, ListenMode::normal, {}, false, std::nullopt)});
    }
    const auto foa = SourceFormat::ambisonic(1, AmbiNorm::sn3d);
    cases.push_back({"FOA", foa, 4, MixBuilder::config(foa, 4, headphones, 2, ListenMode::normal, {}, false, std::nullopt)});

    // One engine: its binaural renderer is made once.
    test::RenderRig rig({{0.0f}}, 2);
    const int64_t lag = BinauralRenderer(kRate).latencyFrames();
    for (const Case& c : cases) {
        ASSERT_TRUE(c.mix.toBinaural) << c.name;
        for (const bool noise : {false, true}) {
            const std::string what = c.name + (noise ? " pink noise" : " tones");
            // -12 dBFS a channel: tones of peak 0.25, noise of RMS 0.25.
            const test::Planar base = noise ? test::pinkNoise(c.channels, kSegment, 0.25, 3)
                                            : test::tones(c.channels, kSegment, 0.25, kRate, 100, 8000, 3);
            // After a second and a quarter of silence (the limiter back at
            // rest after the case before), three segments of the same
            // signal: 24 dB lower (the limiter surely idle: the linear
            // reference), at -12 dBFS, and 12 dB up.
            test::Planar signal(base.size(), std::vector<float>(size_t(kRest), 0.0f));
            for (size_t ch = 0; ch < base.size(); ++ch)
                for (const float gain : {1.0f / 16, 1.0f, 4.0f})
                    for (float v : base[ch]) signal[ch].push_back(v * gain);
            rig.set(c.mix);
            rig.replay(signal);
            rig.run(kRest + 3 * kSegment, 256);
            // Frame t of the source reaches the ears at frame t + lag.
            const test::Planar& ears = rig.out;
            auto segment = [&](int k, int64_t t) { return kRest + k * kSegment + kSettled + lag + t; };
            const int64_t span = kSegment - kSettled - lag;

            // At -12 dBFS: below the limiter's threshold, and so below full
            // scale; without an upmix (whose gains follow the signal) exactly
            // 16 times the quiet segment, which shows the limiter idle.
            double off = 0;
            for (int e = 0; e < 2; ++e)
                for (int64_t t = 0; t < span; ++t)
                    off = std::max(off, std::abs(double(ears[e][size_t(segment(1, t))]) -
                                                 16.0 * ears[e][size_t(segment(0, t))]));
            const double atMinus12 = peak(ears, segment(1, 0), segment(1, span));
            if (!c.mix.upmix) {
                EXPECT_LT(off, 1e-4) << what << ": the limiter acted at -12 dBFS";
            }
            EXPECT_LT(atMinus12, BinauralRenderer::limiterThreshold) << what;

            // At 0 dBFS: what the ears would get without the limiter, against
            // a stereo speaker bed of the same frames; the limiter holds it.
            const double unlimited = 64.0 * peak(ears, segment(0, 0), segment(0, span));
            const Matrix bedGains = MixBuilder::layoutMatrix(c.source, c.channels, {S::L, S::R}, ListenMode::normal,
                                                             Rotation{}, false);
            double bed = 0;
            for (int64_t t = kSettled; t < kSegment; ++t)
                for (const auto& row : bedGains) {
                    double v = 0;
                    for (int ch = 0; ch < c.channels; ++ch) v += row[size_t(ch)] * 4.0 * base[size_t(ch)][size_t(t)];
                    bed = std::max(bed, std::abs(v));
                }
            const double atZero = peak(ears, segment(2, 0), segment(2, span));
            std::printf("%-20s -12 dBFS: ears peak %+6.2f dBFS | 0 dBFS: unlimited %+6.2f, bed %+6.2f, limited %+6.2f\n",
                        what.c_str(), db(atMinus12), db(unlimited), db(bed), db(atZero));
            EXPECT_LE(unlimited, bed * 1.0001) << what;
            EXPECT_LE(atZero, BinauralRenderer::limiterThreshold) << what;
        }
    }
}

// Loudness and true peak against libebur128 on generated and rendered files,
// with the time each takes.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include <ebur128.h>
#include <gtest/gtest.h>

#include "analysis/Loudness.h"
#include "analysis/Signal.h"
#include "audio/Speakers.h"
#include "support/Music.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::Planar;

namespace {

struct Case {
    std::string name;
    Planar channels;
    double sampleRate;
    std::optional<SourceFormat> format;
};

struct Oracle {
    double integrated = 0;
    double truePeak = 0;
};

Oracle oracle(const Case& c) {
    const auto chans = static_cast<unsigned>(c.channels.size());
    ebur128_state* st = ebur128_init(chans, static_cast<unsigned long>(c.sampleRate),
                                     EBUR128_MODE_I | EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK |
                                         EBUR128_MODE_SAMPLE_PEAK);
    if (c.format && c.format->speakerList()) {
        const auto& list = *c.format->speakerList();
        for (unsigned i = 0; i < chans; ++i) {
            int ch = EBUR128_CENTER;
            switch (list[i]) {
            case SpeakerID::L: ch = EBUR128_LEFT; break;
            case SpeakerID::R: ch = EBUR128_RIGHT; break;
            case SpeakerID::LFE: ch = EBUR128_UNUSED; break;
            case SpeakerID::Ls: ch = EBUR128_LEFT_SURROUND; break;
            case SpeakerID::Rs: ch = EBUR128_RIGHT_SURROUND; break;
            default: break;
            }
            ebur128_set_channel(st, i, ch);
        }
    }
    const size_t n = c.channels[0].size();
    constexpr size_t kChunk = 4096;
    std::vector<float> inter(kChunk * chans);
    for (size_t s = 0; s < n; s += kChunk) {
        const size_t len = std::min(kChunk, n - s);
        for (size_t i = 0; i < len; ++i)
            for (unsigned ch = 0; ch < chans; ++ch) inter[i * chans + ch] = c.channels[ch][s + i];
        ebur128_add_frames_float(st, inter.data(), len);
    }
    Oracle o;
    ebur128_loudness_global(st, &o.integrated);
    double tp = 0;
    for (unsigned ch = 0; ch < chans; ++ch) {
        double v = 0;
        ebur128_true_peak(st, ch, &v);
        tp = std::max(tp, v);
    }
    o.truePeak = 20 * std::log10(tp);
    ebur128_destroy(&st);
    return o;
}

// Noise with the treble rolled off, as in music: meters' interpolation
// filters differ near the Nyquist frequency, where music has little energy.
std::vector<float> softNoise(double amp, size_t n, uint64_t seed) {
    auto x = qm::test::noise(amp, n, seed);
    float y = 0;
    for (auto& v : x) v = y = 0.7f * y + 0.3f * v;
    return x;
}

// A sum of partials under a slow swell, like a sustained chord.
std::vector<float> chordSwell(double sr, double seconds, double base, uint64_t seed) {
    const size_t n = static_cast<size_t>(sr * seconds);
    auto hiss = qm::test::noise(0.02, n, seed);
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = i / sr;
        double v = 0;
        for (int h = 1; h <= 6; ++h) v += std::sin(2 * M_PI * base * h * 1.5 * t + h) / h;
        const double env = 0.15 + 0.12 * std::sin(2 * M_PI * 0.13 * t);
        x[i] = static_cast<float>(env * v) + hiss[i];
    }
    return x;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

TEST(LoudnessOracle, AgreesWithLibebur128OnGeneratedAndRenderedFiles) {
    std::vector<Case> cases;
    cases.push_back({"soft noise 44.1k stereo", {softNoise(0.3, 44100 * 20, 1), softNoise(0.1, 44100 * 20, 2)}, 44100, std::nullopt});
    cases.push_back({"chord swell 48k mono", {chordSwell(48000, 25, 110, 3)}, 48000, std::nullopt});
    cases.push_back({"chord swell 96k stereo", {chordSwell(96000, 12, 220, 4), chordSwell(96000, 12, 165, 5)}, 96000, std::nullopt});
    Planar surround;
    for (int c = 0; c < 6; ++c) surround.push_back(chordSwell(48000, 15, 70 + 20 * c, 10 + c));
    for (auto& v : surround[3]) v *= 3;  // a loud LFE that must not count
    cases.push_back({"chord swell 48k 5.1", surround, 48000, SourceFormat::speakers(layout::speakers(LayoutID::l51))});
    // Loud and quiet passages that the relative gate separates.
    std::vector<float> steps;
    for (auto [hz, db] : {std::pair{440.0, -12.0}, {440.0, -45.0}, {3000.0, -18.0}})
        qm::test::appendSine(steps, hz, db, 44100, 8);
    cases.push_back({"gated steps 44.1k", {steps, steps}, 44100, std::nullopt});
    qm::test::TempDir dir;
    qm::test::writeMidi(dir / "song.mid", qm::test::composeSong({.tonic = 2, .minor = true, .bpm = 112}));
    if (qm::test::renderMidi(dir / "song.mid", dir / "song.wav", 44100)) {
        auto f = Signal::readPlanar(dir / "song.wav");
        cases.push_back({"rendered song 44.1k stereo", f.channels, f.sampleRate, std::nullopt});
    }

    double ours = 0, theirs = 0, audio = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto t0 = std::chrono::steady_clock::now();
        auto r = Loudness::measure(c.channels, c.sampleRate, c.format);
        auto t1 = std::chrono::steady_clock::now();
        auto o = oracle(c);
        auto t2 = std::chrono::steady_clock::now();
        ours += seconds(t1 - t0);
        theirs += seconds(t2 - t1);
        audio += c.channels[0].size() / c.sampleRate;
        EXPECT_NEAR(r.integrated, o.integrated, 0.1);
        EXPECT_NEAR(r.truePeak, o.truePeak, 0.2);
        std::printf("  %-28s integrated %.3f vs %.3f LUFS, true peak %.3f vs %.3f dBTP\n",
                    c.name.c_str(), r.integrated, o.integrated, r.truePeak, o.truePeak);
    }
    std::printf("  %.1f s of audio: ours %.3f s, libebur128 %.3f s, ratio %.2f\n", audio, ours,
                theirs, theirs / ours);
}

#include "analysis/KeyAnalyzer.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "analysis/Signal.h"
#include "support/Music.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

SpectralFrames framesWith(std::vector<float> chroma, std::vector<float> bands, int count = 4) {
    SpectralFrames f;
    for (int i = 0; i < count; ++i) {
        f.chroma.push_back(chroma);
        f.bands.push_back(bands);
        f.rms.push_back(0.1f);
    }
    return f;
}

// Chroma that follows a profile rotated to a tonic.
std::vector<float> profileChroma(const std::array<double, 12>& p, int tonic) {
    std::vector<float> c(12);
    for (int k = 0; k < 12; ++k) c[(k + tonic) % 12] = static_cast<float>(p[k]);
    return c;
}

}  // namespace

TEST(SpectralFrames, BinsMapToPitchClassesAndBands) {
    // 4096 samples or fewer give no frames; one more gives one.
    EXPECT_TRUE(SpectralFrames(std::vector<float>(4096, 0.1f)).chroma.empty());
    EXPECT_EQ(SpectralFrames(std::vector<float>(4097, 0.1f)).chroma.size(), 1u);
    EXPECT_EQ(SpectralFrames(std::vector<float>(2048 * 5 + 1, 0.1f)).chroma.size(), 4u);

    // A 440 Hz tone: its chroma peaks at A and its energy sits in 250-500 Hz.
    auto tone = qm::test::sine(440, 0.5, 22050, 22050 * 3);
    SpectralFrames f(tone);
    ASSERT_FALSE(f.chroma.empty());
    const auto& c = f.chroma[3];
    EXPECT_EQ(std::max_element(c.begin(), c.end()) - c.begin(), 9);
    const auto& b = f.bands[3];
    EXPECT_EQ(std::max_element(b.begin(), b.end()) - b.begin(), 2);
    EXPECT_NEAR(f.rms[3], 0.5 / std::sqrt(2.0), 1e-3);
    auto key = KeyAnalyzer::analyze(f, 0, 0);
    EXPECT_EQ(key.tonic, "A");
    EXPECT_EQ(key.spectralTags, (std::vector<std::string>{"bass-heavy", "dark"}));

    // Bin 46 lies at 247.6 Hz and bin 47 at 253.0 Hz: a tone there lands in
    // band 1 and band 2 respectively; the chroma range reaches 65 and 4000 Hz.
    auto edgeBand = [](double hz) {
        SpectralFrames g(qm::test::sine(hz, 0.5, 22050, 22050));
        const auto& v = g.bands[2];
        return std::max_element(v.begin(), v.end()) - v.begin();
    };
    EXPECT_EQ(edgeBand(46 * 22050.0 / 4096), 1);
    EXPECT_EQ(edgeBand(47 * 22050.0 / 4096), 2);
    SpectralFrames low(qm::test::sine(65.5, 0.5, 22050, 22050));
    EXPECT_GT(low.chroma[2][0] + low.chroma[2][1], 0.0f);  // C2 is 65.4 Hz
}

TEST(SpectralFrames, AverageOverFrameCentres) {
    std::vector<std::vector<float>> v{{1, 2}, {3, 4}, {5, 6}};
    const double t0 = 2048 / 22050.0, t1 = 4096 / 22050.0;
    EXPECT_EQ(SpectralFrames::average(v, 0, 10), (std::vector<float>{3, 4}));
    EXPECT_EQ(SpectralFrames::average(v, t0, t1), (std::vector<float>{1, 2}));  // [from, to)
    EXPECT_EQ(SpectralFrames::average(v, 20, 30), (std::vector<float>{0, 0}));
    EXPECT_TRUE(SpectralFrames::average({}, 0, 10).empty());
}

TEST(KeyAnalyzer, FindsProfileKeysAndBreaksTiesTowardsTheFirst) {
    const std::vector<float> flatBands(7, 1.0f);
    for (int t = 0; t < 12; ++t) {
        auto maj = KeyAnalyzer::analyze(framesWith(profileChroma(KeyAnalyzer::major, t), flatBands), 0, 0);
        EXPECT_EQ(maj.tonic, KeyAnalyzer::notes[t]);
        EXPECT_EQ(maj.mode, "major");
        auto min = KeyAnalyzer::analyze(framesWith(profileChroma(KeyAnalyzer::minor, t), flatBands), 0, 0);
        EXPECT_EQ(min.tonic, KeyAnalyzer::notes[t]);
        EXPECT_EQ(min.mode, "minor");
        EXPECT_GT(min.confidence, 0.0);
        EXPECT_LE(min.confidence, 1.0);
        EXPECT_EQ(min.confidence, std::round(min.confidence * 100) / 100);
    }
    // A chroma with period 6 correlates equally at rotations r and r + 6
    // (best at E and A# minor): the lower rotation wins.
    std::vector<float> twice{5, 1, 1, 3, 1, 1, 5, 1, 1, 3, 1, 1};
    auto tie = KeyAnalyzer::analyze(framesWith(twice, flatBands), 0, 0);
    EXPECT_EQ(tie.tonic, "E");
    EXPECT_EQ(tie.mode, "minor");
    EXPECT_EQ(tie.confidence, 0.0);
    // A perfectly flat chroma has no correlation: C major, confidence 0, no NaN.
    auto flat = KeyAnalyzer::analyze(framesWith(std::vector<float>(12, 1.0f), flatBands), 0, 0);
    EXPECT_EQ(flat.tonic, "C");
    EXPECT_EQ(flat.mode, "major");
    EXPECT_EQ(flat.confidence, 0.0);
}

TEST(KeyAnalyzer, NoFramesGivesTheNeutralResult) {
    auto r = KeyAnalyzer::analyze(SpectralFrames{}, 140, 0.5);
    EXPECT_EQ(r.tonic, "C");
    EXPECT_EQ(r.mode, "major");
    EXPECT_EQ(r.confidence, 0);
    EXPECT_EQ(r.bands, std::vector<double>(7, 0.0));
    EXPECT_EQ(r.spectralTags, (std::vector<std::string>{"dark"}));
    EXPECT_EQ(r.moodTags, (std::vector<std::string>{"energetic"}));
    EXPECT_EQ(KeyAnalyzer::analyze(SpectralFrames{}, 140, 0.2).moodTags, std::vector<std::string>{});
}

TEST(KeyAnalyzer, SpectralAndMoodTags) {
    const auto aMinor = profileChroma(KeyAnalyzer::minor, 9);
    const auto cMajor = profileChroma(KeyAnalyzer::major, 0);
    // bass 0.6, sub 0.2, high 0.05.
    const std::vector<float> heavy{20, 40, 10, 15, 10, 3, 2};
    auto r = KeyAnalyzer::analyze(framesWith(aMinor, heavy), 130, 0.3);
    EXPECT_EQ(r.spectralTags, (std::vector<std::string>{"bass-heavy", "sub-rich", "dark"}));
    EXPECT_EQ(r.moodTags, (std::vector<std::string>{"driving", "brooding", "foreboding"}));
    EXPECT_EQ(KeyAnalyzer::analyze(framesWith(aMinor, heavy), 130, 0.2).moodTags,
              (std::vector<std::string>{"brooding", "foreboding"}));
    // high 0.35: "bright" among both lists for a confident major key.
    const std::vector<float> airy{0, 10, 10, 25, 20, 20, 15};
    r = KeyAnalyzer::analyze(framesWith(cMajor, airy), 99.9, 0.9);
    ASSERT_GT(r.confidence, 0.2);
    EXPECT_EQ(r.spectralTags, (std::vector<std::string>{"bright"}));
    EXPECT_EQ(r.moodTags, (std::vector<std::string>{"warm", "bright"}));
    // thin: low below 0.2 with mid above 0.3; tempo rows at their edges.
    const std::vector<float> thin{0, 5, 10, 40, 20, 15, 10};
    r = KeyAnalyzer::analyze(framesWith(cMajor, thin), 100, 0.9);
    EXPECT_EQ(r.spectralTags, (std::vector<std::string>{"mid-forward", "thin"}));
    EXPECT_EQ(r.moodTags.front(), "uplifting");
    EXPECT_EQ(KeyAnalyzer::analyze(framesWith(cMajor, thin), 75, 0.9).moodTags.front(), "warm");
    EXPECT_EQ(KeyAnalyzer::analyze(framesWith(aMinor, thin), 74.9, 0.9).moodTags.front(), "somber");
    double sum = 0;
    for (double b : r.bands) sum += b;
    EXPECT_NEAR(sum, 1.0, 1e-12);
}

// Rendered music in every key. The quick run takes four cadential pieces;
// set QM_FULL_CORPUS=1 for all 24 keys in both progression styles with the
// figures printed.
TEST(KeyAnalyzer, RenderedMusicInAllKeys) {
    if (!qm::test::soundFont()) GTEST_SKIP() << "no General MIDI sound font";
    const bool full = std::getenv("QM_FULL_CORPUS") != nullptr;
    qm::test::TempDir dir;
    int total = 0, exact = 0, related = 0;
    for (int pop = 0; pop < (full ? 2 : 1); ++pop)
    for (int minor = 0; minor < 2; ++minor)
        for (int tonic = 0; tonic < 12; ++tonic) {
            if (!full && tonic % 6 != (minor ? 3 : 0)) continue;
            qm::test::SongPlan plan{.tonic = tonic, .minor = minor == 1, .bpm = 96.0 + 3 * tonic,
                                    .introBars = 2, .bodyBars = 8, .endingBars = 2, .pop = pop == 1,
                                    .seed = static_cast<unsigned>(tonic + 1)};
            const auto mid = dir / "k.mid", wav = dir / "k.wav";
            qm::test::writeMidi(mid, qm::test::composeSong(plan));
            ASSERT_TRUE(qm::test::renderMidi(mid, wav, 22050));
            // Rendered at the analysis rate, so no conversion is needed.
            auto mono = Signal::mono(Signal::readPlanar(wav).channels);
            auto key = KeyAnalyzer::analyze(SpectralFrames(mono), 0, 0);
            const int found = static_cast<int>(std::find(KeyAnalyzer::notes.begin(), KeyAnalyzer::notes.end(),
                                                          key.tonic) - KeyAnalyzer::notes.begin());
            const bool foundMinor = key.mode == "minor";
            const bool isExact = found == tonic && foundMinor == (minor == 1);
            // Relative: the minor key three semitones below a major tonic, and
            // back. Dominant: the same mode a fifth above.
            const int relative = minor ? (tonic + 3) % 12 : (tonic + 9) % 12;
            const bool isRelated = (found == relative && foundMinor != (minor == 1)) ||
                                   (found == (tonic + 7) % 12 && foundMinor == (minor == 1));
            ++total;
            exact += isExact;
            related += isRelated;
            if (full)
                std::printf("  %s %s%s -> %s%s (%.2f)\n", pop ? "pop" : "cadential", KeyAnalyzer::notes[tonic],
                            minor ? "m" : "", key.tonic.c_str(), foundMinor ? "m" : "", key.confidence);
            if (!pop) {
                EXPECT_TRUE(isExact || isRelated) << KeyAnalyzer::notes[tonic] << (minor ? "m" : "");
            }
        }
    std::printf("  keys: %d of %d exact, %d relative or dominant\n", exact, total, related);
    EXPECT_EQ(exact, total);
}

namespace {

// A synthesized piece in a key: one chord a bar, each chord's three notes
// in the middle register over its root two octaves down, every note with
// six harmonics (the h-th at 0.6^(h-1), 0.8^(h-1) for the bass, whose
// overtones are what a spectrum shows most of a bass), then the tonic chord
// held for two bars. Degrees are semitones above the tonic with the chord's
// quality.
struct Degree {
    int root;
    bool minor;
};

std::vector<float> chordPiece(int tonic, bool minor, const std::vector<Degree>& loop, int passes) {
    constexpr double sr = 22050, bar = 2.0;
    std::vector<Degree> bars;
    for (int p = 0; p < passes; ++p) bars.insert(bars.end(), loop.begin(), loop.end());
    bars.push_back({0, minor});
    bars.push_back({0, minor});
    std::vector<float> x(size_t(bars.size() * bar * sr), 0.0f);
    const auto note = [&](int midi, double start, double gain, double rolloff) {
        const double f0 = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
        const long s0 = long(start * sr), n = long(bar * sr);
        for (int h = 1; h <= 6; ++h) {
            const double f = f0 * h;
            if (f > 10000) break;
            // A decaying phasor, turned a step each sample.
            const std::complex<double> step = std::polar(std::exp(-1.5 / sr), 2 * M_PI * f / sr);
            std::complex<double> z = gain * std::pow(rolloff, h - 1);
            for (long i = 0; i < n; ++i, z *= step) x[size_t(s0 + i)] += float(z.imag());
        }
    };
    for (size_t b = 0; b < bars.size(); ++b) {
        const int root = tonic + bars[b].root;
        const double t = double(b) * bar;
        for (int iv : {0, bars[b].minor ? 3 : 4, 7}) note(57 + (root + iv - 57 + 120) % 12, t, 0.08, 0.6);
        note(36 + (root % 12), t, 0.15, 0.8);
    }
    return x;
}

std::string keyName(const KeyResult& k) { return k.tonic + (k.mode == "minor" ? "m" : ""); }

}  // namespace

// Minor pieces on the natural scale lean towards keys that share six of
// their seven notes: with i VI III VII the relative major's notes and
// chords sound throughout, with i iv v i every note's third harmonic fills
// the key a fifth up. The closing tonic chord and the bass's home note
// settle it, in every key; and a major loop of I V vi IV stays major.
TEST(KeyAnalyzer, MinorKeysAreNotReadAsTheirRelativeOrTheFifthAbove) {
    const std::vector<Degree> relativeLeaning{{0, true}, {8, false}, {3, false}, {10, false}};
    const std::vector<Degree> fifthLeaning{{0, true}, {5, true}, {7, true}, {0, true}};
    const std::vector<Degree> pop{{0, false}, {7, false}, {9, true}, {5, false}};
    for (int tonic = 0; tonic < 12; tonic += 1) {
        const std::string m = std::string(KeyAnalyzer::notes[size_t(tonic)]) + "m";
        const auto rel = KeyAnalyzer::analyze(SpectralFrames(chordPiece(tonic, true, relativeLeaning, 1)), 0, 0);
        EXPECT_EQ(keyName(rel), m) << "i VI III VII";
        const auto fifth = KeyAnalyzer::analyze(SpectralFrames(chordPiece(tonic, true, fifthLeaning, 1)), 0, 0);
        EXPECT_EQ(keyName(fifth), m) << "i iv v i";
        EXPECT_GT(fifth.confidence, 0.0);
        if (tonic % 3 == 0) {
            const auto major = KeyAnalyzer::analyze(SpectralFrames(chordPiece(tonic, false, pop, 1)), 0, 0);
            EXPECT_EQ(keyName(major), KeyAnalyzer::notes[size_t(tonic)]) << "I V vi IV";
        }
    }
}

// Near-silence (hum and hiss at -78 dBFS) and white noise hold no notes:
// the neutral key with confidence 0, however its spectrum leans.
TEST(KeyAnalyzer, SilenceAndNoiseNameNoKey) {
    std::vector<float> hum(22050 * 10);
    uint64_t seed = 3;
    for (size_t i = 0; i < hum.size(); ++i)
        hum[i] = float(1.2e-4 * std::sin(2 * M_PI * 50 * double(i) / 22050) + 2e-6 * qm::test::uniformNoise(seed));
    for (const auto& signal : {hum, qm::test::noise(0.3, 22050 * 10, 9)}) {
        const auto k = KeyAnalyzer::analyze(SpectralFrames(signal), 120, 0.9);
        EXPECT_EQ(keyName(k), "C");
        EXPECT_EQ(k.confidence, 0.0);
    }
    // A clear key played quietly, at -50 dBFS, is still heard.
    auto quiet = chordPiece(9, true, {{0, true}, {5, true}, {7, true}, {0, true}}, 1);
    for (float& v : quiet) v *= 0.01f;
    EXPECT_EQ(keyName(KeyAnalyzer::analyze(SpectralFrames(quiet), 0, 0)), "Am");
}

// Key finding on pieces the analysis was not developed on: one per key from
// composeKeyPiece, rendered at 44.1 kHz through every installed General MIDI
// font and brought to the analysis rate as the pipeline does. Beside the
// analyzer runs the plain key finder it is judged against: the same summed
// chroma correlated with the bare Krumhansl-Kessler profiles.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "analysis/KeyAnalyzer.h"
#include "analysis/Signal.h"
#include "support/Music.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

struct Key {
    int tonic = 0;
    bool minor = false;
    bool operator==(const Key&) const = default;
};

std::string name(Key k) { return std::string(KeyAnalyzer::notes[k.tonic]) + (k.minor ? "m" : ""); }

std::optional<SpectralFrames> renderPiece(Key k, const std::filesystem::path& font, const std::filesystem::path& mid) {
    const auto wav = mid.parent_path() / "piece.wav";
    qm::test::writeMidi(mid, qm::test::composeKeyPiece(k.tonic, k.minor));
    if (!qm::test::renderMidi(mid, wav, 44100, font)) return std::nullopt;
    const auto audio = Signal::readPlanar(wav);
    return SpectralFrames(Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050));
}

Key analyzerKey(const SpectralFrames& frames) {
    const auto r = KeyAnalyzer::analyze(frames, 0, 0);
    const int tonic = static_cast<int>(std::find(KeyAnalyzer::notes.begin(), KeyAnalyzer::notes.end(), r.tonic) -
                                       KeyAnalyzer::notes.begin());
    return {tonic, r.mode == "minor"};
}

// The textbook finder: the best of the 24 correlations with the bare profiles.
Key plainKey(const std::vector<double>& chroma) {
    Key best;
    double bestC = -2;
    for (int r = 0; r < 12; ++r)
        for (bool minor : {false, true}) {
            const double c = KeyAnalyzer::correlate(chroma, minor ? KeyAnalyzer::minor : KeyAnalyzer::major, r);
            if (c > bestC) bestC = c, best = {r, minor};
        }
    return best;
}

Key plainKey(const SpectralFrames& frames) {
    std::vector<double> chroma(12, 0.0);
    for (const auto& c : frames.chroma)
        for (int i = 0; i < 12; ++i) chroma[i] += c[i];
    return plainKey(chroma);
}

// The same finder on the score: each pitch class weighted by how long it sounds.
Key scoreKey(const qm::test::MidiSong& song) {
    std::vector<double> chroma(12, 0.0);
    for (const auto& n : song.notes)
        if (n.channel != 9) chroma[n.key % 12] += n.length;
    return plainKey(chroma);
}

const char* verdict(Key truth, Key found) {
    if (found == truth) return "exact";
    if (found.minor == truth.minor && found.tonic == (truth.tonic + 7) % 12) return "fifth above";
    if (found.minor == truth.minor && found.tonic == (truth.tonic + 5) % 12) return "fifth below";
    if (found.minor != truth.minor && found.tonic == (truth.tonic + (truth.minor ? 3 : 9)) % 12) return "relative";
    if (found.minor != truth.minor && found.tonic == truth.tonic) return "parallel";
    return "other";
}

}  // namespace

// Pieces that the bare profiles read a fifth up (D minor as A minor, F minor
// as C minor, G# minor as D# minor, A# major as D minor, the relative of its
// dominant), in the font the other rendered tests use.
TEST(KeyCorpus, OvertonesDoNotPullTheKeyAFifthUp) {
    const auto fonts = qm::test::soundFonts();
    if (fonts.empty()) GTEST_SKIP() << "no General MIDI sound font";
    qm::test::TempDir dir;
    for (Key k : {Key{2, true}, Key{5, true}, Key{8, true}, Key{10, false}}) {
        const auto frames = renderPiece(k, fonts.front(), dir / "piece.mid");
        ASSERT_TRUE(frames);
        EXPECT_EQ(name(analyzerKey(*frames)), name(k));
    }
}

// A piece and the same piece cut to end on its V, IV and vi (in minor its
// v, VII and VI) name one key: the key is heard over the whole piece, not
// in its last chord. Before, the cuts ending on V were read a fifth up.
TEST(KeyCorpus, CutsEndingOffTheTonicKeepTheKey) {
    const auto font = qm::test::soundFont();
    if (!font) GTEST_SKIP() << "no General MIDI sound font";
    qm::test::TempDir dir;
    for (Key k : {Key{2, false}, Key{5, false}, Key{10, false}, Key{6, true}}) {
        const auto mid = dir / "piece.mid", wav = dir / "piece.wav";
        qm::test::writeMidi(mid, qm::test::composeKeyPiece(k.tonic, k.minor));
        ASSERT_TRUE(qm::test::renderMidi(mid, wav, 44100, *font));
        const auto audio = Signal::readPlanar(wav);
        const auto mono = Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050);
        EXPECT_EQ(name(analyzerKey(SpectralFrames(mono))), name(k)) << "whole piece";
        // The last pass's bars 18, 19 and 20 hold vi, IV and V (VI, VII, v).
        for (int bar : {20, 19, 18}) {
            const auto end = static_cast<std::ptrdiff_t>(qm::test::keyPieceBarEnd(k.tonic, k.minor, bar) * 22050);
            const std::vector<float> cut(mono.begin(), mono.begin() + std::min<std::ptrdiff_t>(end, std::ssize(mono)));
            EXPECT_EQ(name(analyzerKey(SpectralFrames(cut))), name(k)) << "cut after bar " << bar;
        }
    }
}

// Set QM_FULL_CORPUS=1 for the figures of docs/music-analysis-accuracy.md:
// all 24 keys in every installed font, the analyzer beside the plain finder,
// the same finder on the scores' note durations, and the SHA-256 of the 24
// MIDI files (in key order) naming the corpus.
TEST(KeyCorpus, Figures) {
    if (!std::getenv("QM_FULL_CORPUS")) GTEST_SKIP() << "set QM_FULL_CORPUS=1";
    const auto fonts = qm::test::soundFonts();
    if (fonts.empty()) GTEST_SKIP() << "no General MIDI sound font";
    qm::test::TempDir dir;
    {
        std::ofstream all(dir / "corpus.bin", std::ios::binary);
        for (int minor = 0; minor < 2; ++minor)
            for (int tonic = 0; tonic < 12; ++tonic) {
                qm::test::writeMidi(dir / "one.mid", qm::test::composeKeyPiece(tonic, minor == 1));
                std::ifstream one(dir / "one.mid", std::ios::binary);
                all << one.rdbuf();
            }
    }
    int scoreExact = 0;
    for (int minor = 0; minor < 2; ++minor)
        for (int tonic = 0; tonic < 12; ++tonic)
            scoreExact += scoreKey(qm::test::composeKeyPiece(tonic, minor == 1)) == Key{tonic, minor == 1};
    std::printf("plain correlation of the scores' note durations: %d of 24 exact\n", scoreExact);
    const std::string hashCmd = "sha256sum '" + (dir / "corpus.bin").string() + "'";
    if (FILE* p = popen(hashCmd.c_str(), "r")) {
        char buf[65] = {};
        if (std::fread(buf, 1, 64, p) == 64) std::printf("corpus sha256 %s\n", buf);
        pclose(p);
    }
    for (const auto& font : fonts) {
        std::map<std::string, int> ours, plain;
        for (int minor = 0; minor < 2; ++minor)
            for (int tonic = 0; tonic < 12; ++tonic) {
                const Key k{tonic, minor == 1};
                const auto frames = renderPiece(k, font, dir / "piece.mid");
                ASSERT_TRUE(frames);
                const Key a = analyzerKey(*frames), b = plainKey(*frames);
                ++ours[verdict(k, a)];
                ++plain[verdict(k, b)];
                std::printf("  %s %-3s analyzer %-3s plain %-3s\n", font.filename().c_str(), name(k).c_str(),
                            name(a).c_str(), name(b).c_str());
            }
        for (const auto& [who, tally] : {std::pair{"analyzer", ours}, std::pair{"plain", plain}}) {
            std::printf("%s %s:", font.filename().c_str(), who);
            for (const auto& [v, n] : tally) std::printf(" %s %d;", v.c_str(), n);
            std::printf("\n");
        }
    }
}

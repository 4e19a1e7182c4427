#include "support/Music.h"

#include <algorithm>
#include <array>

namespace qm::test {

namespace {

constexpr int kDrums = 9;

struct Chord {
    int root;    // semitones above the tonic
    bool minor;  // chord quality
};

// Diatonic scales from the tonic; the minor one raises the seventh, as a
// melody leading home does.
constexpr std::array<int, 7> kMajorScale{0, 2, 4, 5, 7, 9, 11};
constexpr std::array<int, 7> kMinorScale{0, 2, 3, 5, 7, 8, 11};

constexpr std::array<int, 7> kNaturalMinorScale{0, 2, 3, 5, 7, 8, 10};

std::array<Chord, 8> phrase(bool minor, bool pop) {
    if (pop && minor)
        return {{{0, true}, {8, false}, {3, false}, {10, false}, {0, true}, {8, false}, {3, false}, {10, false}}};
    if (pop) return {{{0, false}, {7, false}, {9, true}, {5, false}, {0, false}, {7, false}, {9, true}, {5, false}}};
    if (minor) return {{{0, true}, {5, true}, {7, false}, {0, true}, {8, false}, {5, true}, {7, false}, {0, true}}};
    return {{{0, false}, {5, false}, {7, false}, {0, false}, {9, true}, {5, false}, {7, false}, {0, false}}};
}

void addChord(MidiSong& s, int base, Chord c, double beat, double len, int vel, int ch) {
    for (int iv : {0, c.minor ? 3 : 4, 7}) s.notes.push_back({beat, len, base + c.root + iv, vel, ch});
}

}  // namespace

int songBars(const SongPlan& p) { return p.introBars + p.bodyBars + p.endingBars + (p.finalHit ? 1 : 0); }

MidiSong composeSong(const SongPlan& p) {
    MidiSong s;
    s.bpm = p.bpm;
    s.programs = {{0, 48}, {1, 0}, {2, 33}, {3, 73}, {4, 61}};  // strings, piano, bass, flute, brass
    const int pad = 48 + p.tonic, bass = 36 + p.tonic, lead = 72 + p.tonic;
    const auto chords = phrase(p.minor, p.pop);
    const auto& scale = p.minor ? (p.pop ? kNaturalMinorScale : kMinorScale) : kMajorScale;
    unsigned rng = p.seed * 2654435761u + 12345u;
    auto next = [&] { return (rng = rng * 1103515245u + 12345u) >> 16; };

    int bar = 0;
    // Intro: held chords with a broken-chord piano, no bass or drums.
    for (int b = 0; b < p.introBars; ++b, ++bar) {
        const Chord c = chords[b % 8];
        addChord(s, pad, c, bar * 4.0, 4.0, 80, 0);
        for (int e = 0; e < 8; ++e) {
            const int iv = std::array<int, 4>{0, c.minor ? 3 : 4, 7, 12}[e % 4];
            s.notes.push_back({bar * 4.0 + e * 0.5, 0.5, pad + 12 + c.root + iv, 70, 1});
        }
    }

    // Body: the same 8-bar phrase over and over, so any 8 bars loop.
    std::array<int, 32> melody{};
    int degree = 0;
    for (auto& m : melody) {
        degree = std::max(-2, std::min(9, degree + static_cast<int>(next() % 5) - 2));
        m = degree;
    }
    for (int b = 0; b < p.bodyBars; ++b, ++bar) {
        const Chord c = chords[b % 8];
        const double t = bar * 4.0;
        addChord(s, pad, c, t, 4.0, 70, 0);
        for (int beat = 0; beat < 4; ++beat) addChord(s, pad + 12, c, t + beat, 0.5, 60, 1);
        s.notes.push_back({t, 1.5, bass + c.root, 100, 2});
        s.notes.push_back({t + 2, 1.5, bass + c.root + 7, 90, 2});
        for (int q = 0; q < 4; ++q) {
            const int d = melody[(b % 8) * 4 + q];
            const int oct = d < 0 ? -12 : (d >= 7 ? 12 : 0);
            const int deg = ((d % 7) + 7) % 7;
            // Land on a chord tone on the strong beats.
            const int key = q % 2 == 0 ? lead + c.root + (c.minor ? 3 : 4) * (q / 2) : lead + scale[deg] + oct;
            s.notes.push_back({t + q, 0.9, key, 80, 3});
        }
        for (int e = 0; e < 8; ++e) s.notes.push_back({t + e * 0.5, 0.25, 42, 60, kDrums});
        s.notes.push_back({t, 0.25, 36, 110, kDrums});
        s.notes.push_back({t + 2, 0.25, 36, 110, kDrums});
        s.notes.push_back({t + 1, 0.25, 38, 100, kDrums});
        s.notes.push_back({t + 3, 0.25, 38, 100, kDrums});
    }

    // Ending: a soft cadence without drums, on the subdominant and dominant,
    // then the tonic.
    for (int b = 0; b < p.endingBars; ++b, ++bar) {
        const bool last = b == p.endingBars - 1;
        const Chord c = last ? chords[0] : (b % 2 == 0 ? chords[5] : chords[6]);
        addChord(s, pad - 12, c, bar * 4.0, 4.0, 45, 4);
        addChord(s, pad, c, bar * 4.0, 4.0, 35, 0);
        s.notes.push_back({bar * 4.0, 4.0, bass + c.root, 40, 2});
    }
    if (p.finalHit) {
        const double t = bar * 4.0;
        addChord(s, pad, chords[0], t, 0.6, 120, 0);
        addChord(s, pad + 12, chords[0], t, 0.6, 120, 1);
        s.notes.push_back({t, 0.6, bass + chords[0].root, 127, 2});
        s.notes.push_back({t, 0.6, 49, 127, kDrums});
        s.notes.push_back({t, 0.5, 36, 127, kDrums});
        s.notes.push_back({t + 3.99, 0.01, 42, 1, kDrums});  // holds the bar open to its end
        ++bar;
    }
    return s;
}

}  // namespace qm::test

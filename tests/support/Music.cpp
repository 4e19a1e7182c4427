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

namespace {

// The pitch of pitch class `pc` in the octave that starts at `low`.
int placeAbove(int low, int pc) { return low + (((pc - low) % 12) + 12) % 12; }

}  // namespace

MidiSong composeKeyPiece(int tonic, bool minor) {
    MidiSong s;
    const int id = tonic + (minor ? 12 : 0);
    s.bpm = 84 + (id * 7 % 12) * 4;
    constexpr int piano = 0, strings = 1, bass = 2;
    s.programs = {{piano, 0}, {strings, 49}, {bass, 34}};  // grand piano, slow strings, picked bass
    struct Degree {
        int root;
        bool minor;
    };
    const std::array<Degree, 4> loop = minor ? std::array<Degree, 4>{{{0, true}, {8, false}, {10, false}, {7, true}}}
                                             : std::array<Degree, 4>{{{0, false}, {9, true}, {5, false}, {7, false}}};
    const auto& scale = minor ? kNaturalMinorScale : kMajorScale;
    unsigned rng = 2166136261u ^ static_cast<unsigned>(id * 16777619u);
    auto next = [&] { return (rng = rng * 1664525u + 1013904223u) >> 8; };
    // Registers move with the key so that no pitch class always sits lowest.
    const int padLow = 53 + (id * 5) % 7, bassLow = 28 + (id * 3) % 6, tuneLow = 67 + (id * 2) % 5;
    const int figure = id % 3;  // 0: block chords, 1: broken chords, 2: offbeat stabs

    auto chordTones = [&](Degree d) {
        return std::array<int, 3>{(tonic + d.root) % 12, (tonic + d.root + (d.minor ? 3 : 4)) % 12,
                                  (tonic + d.root + 7) % 12};
    };
    const int repeats = 5, bars = 1 + repeats * 4 + 1;
    // Count-in: hi-hat only.
    for (int q = 0; q < 4; ++q) s.notes.push_back({q * 1.0, 0.2, 42, 70, kDrums});
    for (int bar = 1; bar < bars - 1; ++bar) {
        const int pass = (bar - 1) / 4;
        const Degree d = loop[(bar - 1) % 4];
        const auto tones = chordTones(d);
        const double t = bar * 4.0;
        for (int pc : tones) s.notes.push_back({t, 4.0, placeAbove(padLow - 12, pc), 62, strings});
        if (pass > 0) {
            const int root = placeAbove(bassLow, tones[0]);
            s.notes.push_back({t, 1.5, root, 96, bass});
            s.notes.push_back({t + 1.5, 0.5, root, 80, bass});
            s.notes.push_back({t + 2, 1.5, bar % 2 ? root + 7 : root, 90, bass});
            s.notes.push_back({t + 3.5, 0.5, root + 12, 72, bass});
            for (int e = 0; e < 8; ++e) s.notes.push_back({t + e * 0.5, 0.2, 42, e % 2 ? 50 : 72, kDrums});
            s.notes.push_back({t, 0.2, 36, 108, kDrums});
            s.notes.push_back({t + (figure == 1 ? 2.5 : 2.0), 0.2, 36, 100, kDrums});
            s.notes.push_back({t + 1, 0.2, 38, 96, kDrums});
            s.notes.push_back({t + 3, 0.2, 38, 96, kDrums});
            if ((bar - 1) % 4 == 0) s.notes.push_back({t, 1.0, 49, 90, kDrums});
        }
        // Piano left hand: the figure of this piece.
        for (int e = 0; e < 8; ++e) {
            const double at = t + e * 0.5;
            if (figure == 0 && e % 2 == 0)
                for (int pc : tones) s.notes.push_back({at, 0.45, placeAbove(padLow, pc), 70, piano});
            if (figure == 1)
                s.notes.push_back({at, 0.5, placeAbove(padLow, tones[std::array<int, 8>{0, 1, 2, 1, 0, 2, 1, 2}[e]]),
                                   66, piano});
            if (figure == 2 && e % 2 == 1)
                for (int pc : tones) s.notes.push_back({at, 0.3, placeAbove(padLow, pc), 74, piano});
        }
        // Piano right hand from the second pass on: chord tones on the
        // strong beats, steps of the scale between.
        if (pass > 0)
            for (int q = 0; q < 4; ++q) {
                const int pc = q % 2 == 0 ? tones[next() % 3] : (tonic + scale[next() % 7]) % 12;
                s.notes.push_back({t + q, 0.9, placeAbove(tuneLow, pc), 76, piano});
            }
    }
    // The close: the tonic chord held over a last bass note and cymbal.
    const double end = (bars - 1) * 4.0;
    const auto home = chordTones(loop[0]);
    for (int pc : home) {
        s.notes.push_back({end, 3.5, placeAbove(padLow - 12, pc), 70, strings});
        s.notes.push_back({end, 3.0, placeAbove(padLow, pc), 80, piano});
    }
    s.notes.push_back({end, 3.5, placeAbove(bassLow, home[0]), 100, bass});
    s.notes.push_back({end, 2.0, 49, 100, kDrums});
    s.notes.push_back({end, 0.2, 36, 110, kDrums});
    return s;
}

double keyPieceBarEnd(int tonic, bool minor, int bar) {
    const MidiSong s = composeKeyPiece(tonic, minor);
    return (bar + 1) * 4.0 * 60.0 / s.bpm;
}

MidiSong composeStylePiece(const StylePlan& p) {
    MidiSong s;
    s.bpm = p.bpm;
    constexpr int keys = 0, bass = 1, lead = 2;
    s.programs = {{keys, 0}, {bass, 32}, {lead, p.kind == StylePlan::swing ? 65 : 73}};
    const std::array<Chord, 4> loop = p.minor ? std::array<Chord, 4>{{{0, true}, {5, true}, {7, false}, {0, true}}}
                                              : std::array<Chord, 4>{{{0, false}, {9, true}, {5, false}, {7, false}}};
    const auto& scale = p.minor ? kMinorScale : kMajorScale;
    const int beats = p.kind == StylePlan::waltz ? 3 : 4;
    const int bars = static_cast<int>(24 * p.bpm / 60 / beats);
    unsigned rng = 40503u * static_cast<unsigned>(p.tonic + 1) + static_cast<unsigned>(p.bpm);
    auto next = [&] { return (rng = rng * 1103515245u + 12345u) >> 16; };
    const int padLow = 52 + p.tonic % 5, bassLow = 33 + p.tonic % 4, tuneLow = 67 + p.tonic % 3;
    for (int bar = 0; bar < bars; ++bar) {
        const Chord c = loop[static_cast<size_t>(bar % 4)];
        const double t = bar * double(beats);
        const std::array<int, 3> tones{(p.tonic + c.root) % 12, (p.tonic + c.root + (c.minor ? 3 : 4)) % 12,
                                       (p.tonic + c.root + 7) % 12};
        const int root = placeAbove(bassLow, tones[0]);
        switch (p.kind) {
        case StylePlan::ballad:
            for (int h : {0, 2}) {
                for (int pc : tones) s.notes.push_back({t + h, 1.9, placeAbove(padLow, pc), 70, keys});
                s.notes.push_back({t + h, 1.9, h ? root + 7 : root, h ? 88 : 96, bass});
            }
            break;
        case StylePlan::waltz:
            for (int b : {1, 2})
                for (int pc : tones) s.notes.push_back({t + b, 0.5, placeAbove(padLow, pc), 62, keys});
            s.notes.push_back({t, 0.9, root, 100, bass});
            break;
        case StylePlan::swing:
            for (int b = 0; b < 4; ++b)
                for (int pc : tones) s.notes.push_back({t + b, 0.4, placeAbove(padLow, pc), b ? 58 : 68, keys});
            s.notes.push_back({t, 1.8, root, 96, bass});
            s.notes.push_back({t + 2, 1.8, root + 7, 88, bass});
            break;
        }
        // The melody: a chord tone on every beat, a step of the scale on
        // some offbeats (swung to the last third of the beat).
        for (int b = 0; b < beats; ++b) {
            s.notes.push_back({t + b, 0.45, placeAbove(tuneLow, tones[next() % 3]), 80, lead});
            if (next() % 2)
                s.notes.push_back({t + b + (p.kind == StylePlan::swing ? 2.0 / 3 : 0.5), 0.3,
                                   placeAbove(tuneLow, (p.tonic + scale[next() % 7]) % 12), 64, lead});
        }
    }
    // The close: the tonic chord held for a bar.
    const double end = bars * double(beats);
    for (int pc : {p.tonic, (p.tonic + (p.minor ? 3 : 4)) % 12, (p.tonic + 7) % 12})
        s.notes.push_back({end, double(beats), placeAbove(padLow, pc), 72, keys});
    s.notes.push_back({end, double(beats), placeAbove(bassLow, p.tonic), 96, bass});
    return s;
}

}  // namespace qm::test

// Generated pieces of music with a known key, tempo and form, written as
// MIDI for rendering: an intro without bass or drums, a loopable body of
// repeated 8-bar phrases with drums, and a soft ending that closes on the
// tonic, optionally with a single loud final hit.
#pragma once

#include "support/Signals.h"

namespace qm::test {

struct SongPlan {
    int tonic = 0;  // pitch class, 0 = C
    bool minor = false;
    double bpm = 120;
    int introBars = 4;
    int bodyBars = 16;  // a multiple of 8
    int endingBars = 3;
    // Progressions: cadential (I IV V I vi IV V I; minor i iv V i VI iv V i
    // with the raised seventh) or, when true, pop loops on the natural scale
    // (I V vi IV; minor i VI III VII), which lean towards the relative key.
    bool pop = false;
    bool finalHit = true;  // the last bar is one loud chord that dies away
    unsigned seed = 1;     // varies the melody
};

MidiSong composeSong(const SongPlan& plan);

// Total bars of the plan (intro, body, ending and the final-hit bar).
int songBars(const SongPlan& plan);

// A second, independent set of pieces for judging key finding, one per key:
// a loop of four chords, one a bar (I vi IV V in major, i VI VII v in minor,
// both on the natural scale, so the minor pieces have no leading tone) for
// piano, bass, strings and drums, played five times after a bar of count-in
// and closing on the tonic. Tempo, register, the piano's figure and its
// melody differ from key to key; nothing is shared with composeSong.
MidiSong composeKeyPiece(int tonic, bool minor);

// The seconds at which bar `bar` of composeKeyPiece(tonic, minor) ends
// (bar 0 is the count-in; bars 1 ... 20 play the loop, the chord of bar b
// being loop[(b - 1) % 4]).
double keyPieceBarEnd(int tonic, bool minor, int bar);

// Short pieces of the kinds that carry no drum kit or move in threes, each
// about 24 s: a ballad for piano, bass and a melody (chords and bass held
// from beats 1 and 3), a fast waltz (bass on 1, chords on 2 and 3), or
// a slow swung piece for keys (chords on the beats, swung eighths in the
// melody, the bass on 1 and 3); I vi IV V in major, i iv V i in minor.
struct StylePlan {
    enum Kind { ballad, waltz, swing } kind = ballad;
    double bpm = 60;  // quarter notes
    int tonic = 0;
    bool minor = false;
};
MidiSong composeStylePiece(const StylePlan& plan);

}  // namespace qm::test

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

}  // namespace qm::test

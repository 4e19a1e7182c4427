// Tempo, beats and meter of a piece of music.
//
// Everything works on the mono signal at 22 050 Hz. Onset envelopes hold one
// value per 256 samples (86.1328125 per second): envelope index j stands for
// j / 86.1328125 s, and a tempo of B beats per minute is a beat period of
// 5167.96875 / B envelope values.
//
// `analyze` finds the tempo by a harmonic autocorrelation of the full-band
// onset envelope, lists related tempi, measures drift with a local tempo map,
// tracks the beats and guesses the meter. It is total: short, silent or
// degenerate input gives no result (or empty parts), never an error.
// Pure computation; any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct TempoResult {
    struct Candidate {
        double bpm = 0;
        double score = 0;   // harmonic autocorrelation score
        double ranked = 0;  // score weighted by closeness to the centre tempo
        bool operator==(const Candidate&) const = default;
    };
    struct Alternative {
        double bpm = 0;  // to the nearest 0.01
        std::string relation;
        double score = 0;  // support of the nearest candidate, or 0
        bool operator==(const Alternative&) const = default;
    };
    struct MapPoint {
        double t = 0;  // seconds, centre of the window
        double bpm = 0;
        bool operator==(const MapPoint&) const = default;
    };
    struct Meter {
        std::string label = "?";  // "2/4 or cut time", "3/4", "4/4", "6/8" or "?"
        int group = 4;
        double contrast = 0;  // to the nearest 0.01
        std::string confidence = "weak — ambiguous";
        int downbeatOffset = 0;  // index in the beat list of the first accented beat
        bool operator==(const Meter&) const = default;
    };

    double durationSec = 0;
    double bpm = 0;
    double score = 0;
    std::optional<double> twin;
    std::vector<Candidate> candidates;
    std::vector<Alternative> alternatives;
    std::vector<MapPoint> tempoMap;
    std::string drift = "STEADY";
    double driftSpreadPct = 0;
    std::vector<double> beats;  // seconds
    double snappedPct = 0;
    Meter meter;
    double firstDownbeat = 0;
    std::vector<float> envFull;
    std::vector<float> envLow;

    bool operator==(const TempoResult&) const = default;
};

namespace TempoAnalyzer {

inline constexpr double analysisRate = 22050.0;
inline constexpr double envelopeRate = 86.1328125;      // values per second
inline constexpr double envelopePerMinute = 5167.96875;  // values per minute

// One point of a local tempo map, with the score of its window.
struct LocalTempo {
    double t = 0;
    double bpm = 0;
    double score = 0;
};

// A tempo the beat walks and the grid can step by without dividing by zero
// or stalling: finite and within 1 ... 5000 BPM.
bool usableTempo(double bpm);

// Below these there is no pulse to find: a signal whose loudest second stays
// under -60 dBFS (RMS), or an envelope whose best periodicity scores under
// minPulseScore (noise, a wash); slower than 40 BPM the recurrence must score
// at least minSlowPulseScore, since slow chord changes of a pad recur by
// chance.
inline constexpr float quietRms = 1e-3f;
inline constexpr double minPulseScore = 0.28;
inline constexpr double minSlowPulseScore = 0.4;
// A pulse is struck: on its beats the accent must reach this multiple of
// its mean over the whole beat. A smooth swell recurs at short lags as
// well as any drum, but has no beats that stand out.
inline constexpr double minBeatPeak = 1.5;

// Onsets at the thirds of the beat exceeding those at its half by this share
// of the beat's own accent make the beat compound (6/8); each third must
// stand minStruckThirdOfBeat above the twelfths of the beat beside it.
inline constexpr double minTernaryShare = 0.04;
inline constexpr double minStruckThirdOfBeat = 1.1;

// Beats divided in three are the bars of a fast 3/4 (the tempo three times
// theirs, up to maxWaltz) when each pair is alike below 250 Hz, the second
// at least minAlikeBars of the first, and the chords change on both, the
// weaker change at least minEveryBarHarmony of the stronger.
inline constexpr double maxWaltz = 220;
inline constexpr double minAlikeBars = 0.92;
inline constexpr double minEveryBarHarmony = 0.6;

// Half a tempo of 100 to 200 BPM is the pulse when every other beat has
// below 250 Hz less than maxOffbeatLow of the beat's accent there and the
// half tempo's beats are a backbeat: the second of each pair under
// maxBackbeatLow of the first below 250 Hz, over minBackbeatFull of it in
// the full band (or, with sound between the half tempo's beats, as below).
// Or when the half tempo's beats group in threes with this contrast, half
// as much again as twos or fours.
inline constexpr double maxOffbeatLow = 0.2;
inline constexpr double maxBackbeatLow = 0.55;
inline constexpr double minBackbeatFull = 0.75;
inline constexpr double minThreeContrast = 1.0;
// With sound between the half tempo's beats below 250 Hz, the backbeat alone
// tells when the faster tempo's third beat (the snare) is struck, at least
// minStruckThird of its first in the full band, and its second and fourth
// both stay under maxBetweenBackbeats of the third.
inline constexpr double minStruckThird = 0.5;
inline constexpr double maxBetweenBackbeats = 0.6;

// Beats in threes from this tempo on whose bars pair up as a backbeat does
// (the second under maxBackbeatLow of the first below 250 Hz, over
// minBackbeatFull in the full band) are the eighths of 6/8.
inline constexpr double minCompoundEighths = 150;

// Swung eighths at a third and five sixths of a beat below 100 BPM, each
// this share of the beat's accent and together half as strong again as
// straight ones would be, make the halves of the beat the beats.
inline constexpr double minSwungShare = 0.25;

// The octave of bars of two or four, told by where the bass and the harmony
// fall: the bass on the first and third beats of the bar, the chords
// changing on its first. Below 100 BPM, the pulse is twice the tempo when
// the bass sounds on every beat (the second of each pair at least
// minEveryBeatBass of the first below 130 Hz) and the chords change on the
// first and third beats alike (the weaker at least minHalfBarHarmony of
// the stronger), unless the beat's onsets two thirds in reach
// maxThirdsOverMidpoint of those at its midpoint. From minSlowHarmonyHalf
// to 200 BPM, the pulse is half the tempo when the bass sounds once in four
// beats (the third under maxOncePerFourBass of the first below 250 Hz) and
// the chords change once in eight (on the fifth beat under
// minHalfBarHarmony of the first): a ballad at 48-50 BPM, one chord a bar,
// read at 96-100 holds each chord for eight of its beats. The chords may change twice in the slower bar when
// the bass is all but absent on the third beat (under maxLoneBass of the
// first) and every other beat is plainly lighter than the one before it in
// the full band (under maxLightSecond): a ballad at 64 BPM with its root
// on one and three and two chords a bar, read at 128. Either needs the
// largest change of harmony to reach minHarmonyChange: drums alone leave
// the treble's pitch classes all but still.
//
// Dotted beats make bars of four (12/8) rather than two (6/8) when the bass
// is all but absent on every second one (under maxLoneBass of the first
// below 130 Hz) and the chords change once in four, not on the half bar
// (the third beat under minHalfBarHarmony of the first): a 6/8 sounds its
// bass on both beats of the bar or changes chord on every bar line.
inline constexpr double minEveryBeatBass = 0.6;
inline constexpr double maxThirdsOverMidpoint = 1.05;
inline constexpr double maxOncePerFourBass = 0.45;
inline constexpr double maxLoneBass = 0.25;
inline constexpr double maxLightSecond = 0.75;
inline constexpr double minHalfBarHarmony = 0.45;
inline constexpr double minHarmonyChange = 0.015;
inline constexpr double minSlowHarmonyHalf = 95;

// Sparse music is measured again on its attacks above the level around
// them (each envelope less its mean over the half second about it): a
// pulse when the best candidate there passes the tests above, or scores at
// least minSparsePulseScore (from 40 BPM) with beats standing
// minSparseBeatPeak times above the beat's mean accent. Sustained pads
// reach 1.41-1.52 there, legato strings changing on the beat with a slow
// attack 2.2-2.3 and more.
inline constexpr double minSparsePulseScore = 0.1;
inline constexpr double minSparseBeatPeak = 2.0;
// Legato notes whose swells recur plainly in the envelope itself (its best
// candidate scoring at least minSwellPulseScore, where a pad's reach 0.32
// at most) are a pulse when the attacks' best candidate falls within 3 % of
// that tempo, its half or its double, with beats standing minSwellBeatPeak
// times above the mean accent.
inline constexpr double minSwellPulseScore = 0.6;
inline constexpr double minSwellBeatPeak = 1.8;

struct Envelopes;
bool audible(const std::vector<float>& mono22k);
bool periodic(const TempoResult::Candidate& best);
// Whether the attacks' candidates `cands` are a sparse pulse, by the two
// tests above; `plain` are the envelope's own.
bool sparsePulse(const std::vector<TempoResult::Candidate>& plain, const std::vector<TempoResult::Candidate>& cands,
                 const Envelopes& attacks);
// The envelope less its mean over the half second around each value, where
// positive, normalised to a largest of 1.
std::vector<float> aboveLocalLevel(const std::vector<float>& env);

std::optional<TempoResult> analyze(const std::vector<float>& mono22k, std::optional<double> hint = std::nullopt,
                                   std::optional<std::pair<double, double>> range = std::nullopt);

struct Envelopes {
    std::vector<float> full;
    std::vector<float> low;
    std::vector<float> bass;  // below 130 Hz: the bass apart from the chords' low notes
};
Envelopes envelopes(const std::vector<float>& x);

std::vector<TempoResult::Candidate> candidates(const std::vector<float>& env, double lo, double hi,
                                               std::optional<double> center);

std::vector<LocalTempo> tempoMap(const std::vector<float>& env, double bpm, double winSec, double hopSec);

// The tempo at time t (seconds) read from a map: `bpm` with fewer than two
// points, the end points' tempi outside it, linear in between.
double localTempo(const std::vector<LocalTempo>& map, double bpm, double t);

struct TrackedBeats {
    std::vector<double> beats;  // seconds
    double snapped = 0;         // share of beats that snapped to an onset, 0 ... 1
};
TrackedBeats trackBeats(const std::vector<float>& env, const std::vector<LocalTempo>& map, double bpm);

// The meter of tracked beats: the group whose accents stand out most
// (chooseMeter), where bars of two become bars of four when four takes the
// same accents nearly as well.
TempoResult::Meter meter(const std::vector<double>& beats, const std::vector<float>& low,
                         const std::vector<float>& full);

// The accent contrast and best phase of one beat grouping (2, 3 or 4).
struct GroupScore {
    int group = 0;
    double contrast = 0;
    int offset = 0;
};
// The accent contrast and best phase of each group of 2, 3 and 4 beats that
// has at least three full rounds of beats, in that order.
std::vector<GroupScore> groupScores(const std::vector<double>& beats, const std::vector<float>& low,
                                    const std::vector<float>& full);
// The meter of beats that are dotted quarters, `perBar` (2 or 4) to the
// bar: 6/8, or 12/8 labelled as its four counted beats ("4/4"); the bar
// phase from the group of that size.
TempoResult::Meter compoundMeter(const std::vector<double>& beats, const std::vector<float>& low,
                                 const std::vector<float>& full, int perBar = 2);
// How much more onset the thirds of a beat carry than its half, as a share
// of the beat's own accent (full band only, where the divisions sound); 0
// when one third carries less than three fifths of the other's, as swing
// makes it.
double ternaryShare(const std::vector<float>& low, const std::vector<float>& full, double bpm);

// The meter chosen from the scored groups (listed in the order 2, 3, 4):
// a later group wins only when strictly stronger, four beats favoured by 8 %.
TempoResult::Meter chooseMeter(const std::vector<GroupScore>& groups);

// How the accent falls within the beats of a tempo: the envelope pair folded
// onto one beat period, read at `steps` even fractions of it (at[0] is the
// beat itself), from the phase whose beats carry the most accent in each
// stretch of at least eight beats and six seconds.
struct PulseProfile {
    std::vector<double> at;
    double phase = 0;  // envelope values: the first stretch's
    long beats = 0;    // beats averaged
};
PulseProfile pulseProfile(const std::vector<float>& low, const std::vector<float>& full, double bpm, int steps,
                          double lowWeight = 0.65);
// Whether the beat's accent stands `peak` times above the mean over the beat.
bool struck(const PulseProfile& p, double peak = minBeatPeak);

// How much the harmony changes at each beat, folded over groups of `group`
// beats: the change at beat k is the cosine distance between the treble's
// pitch classes (190 Hz to 2 kHz, where chords and melody sound) summed over
// the half group of beats before beat k and over the half group from it.
// Listed from the place of the largest change on; empty with fewer than two
// changes measured at every place.
std::vector<double> harmonyChanges(const std::vector<float>& mono22k, const std::vector<double>& beats, int group);

// The relation table of alternatives: factor and text, in listing order.
struct Relation {
    double factor;
    const char* relation;
};
const std::vector<Relation>& relations();

std::vector<TempoResult::Alternative> alternatives(double bpm, const std::vector<TempoResult::Candidate>& cands);

// The second candidate's tempo when its ranked value is at least 92 % of
// the first's.
std::optional<double> twin(const std::vector<TempoResult::Candidate>& cands);

struct Drift {
    std::string drift;
    double spreadPct = 0;
};
Drift drift(const std::vector<double>& localTempi, double bpm);

}  // namespace TempoAnalyzer

}  // namespace qm

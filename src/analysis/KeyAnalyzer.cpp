#include "analysis/KeyAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <span>

#include "analysis/Signal.h"

namespace qm {

namespace {

constexpr int kBins = SpectralFrames::fftSize / 2 + 1;
constexpr double kBinHz = SpectralFrames::sampleRate / SpectralFrames::fftSize;

double roundHundredths(double x) { return std::round(x * 100.0) / 100.0; }

}  // namespace

SpectralFrames::SpectralFrames(const std::vector<float>& mono22k) {
    // Pitch class and band of every bin, once.
    std::array<int, kBins> pitchClass, band;
    for (int k = 0; k < kBins; ++k) {
        const double f = k * kBinHz;
        pitchClass[k] = -1;
        if (f >= 65 && f <= 4000) {
            const long midi = std::lround(12.0 * std::log2(f / 440.0) + 69.0);
            pitchClass[k] = static_cast<int>(((midi % 12) + 12) % 12);
        }
        band[k] = -1;
        for (int b = 0; b < 7; ++b)
            if (bandEdges[b].first <= f && f <= bandEdges[b].second) {
                band[k] = b;
                break;
            }
    }
    const std::vector<float> window = Signal::hanning(fftSize);
    RealFFT fft(fftSize);
    std::vector<float> buf(fftSize), mag(kBins);
    const size_t count = mono22k.size();
    for (size_t s = 0; s + fftSize < count; s += hop) {
        for (int i = 0; i < fftSize; ++i) buf[i] = mono22k[s + i] * window[i];
        fft.magnitudes(buf.data(), mag.data());
        std::vector<float> c(12, 0.0f), b(7, 0.0f);
        for (int k = 1; k < kBins - 1; ++k) {
            if (pitchClass[k] >= 0) c[pitchClass[k]] += mag[k];
            if (band[k] >= 0) b[band[k]] += mag[k];
        }
        chroma.push_back(std::move(c));
        bands.push_back(std::move(b));
        rms.push_back(Signal::rms(mono22k, static_cast<long>(s), static_cast<long>(s + fftSize)));
    }
    findNotes(mono22k);
}

namespace {

struct Peak {
    float hz;
    float amp;
};

constexpr double kNoteBinHz = SpectralFrames::sampleRate / SpectralFrames::noteFftSize;
constexpr double kLowestNoteHz = 40, kHighestNoteHz = 5000;
constexpr double kTrebleFromHz = 100, kBassBelowHz = 220;
// A frame quieter than -60 dBFS (RMS) holds no notes worth judging: hum and
// hiss under a near-silent recording must not name a key.
constexpr float kQuietRms = 1e-3f;
// Spectral flatness above this (noise, a cymbal wash) leaves no peaks that
// stand for notes.
constexpr double kNoisyFlatness = 0.35;

// The local maxima of a magnitude spectrum between 40 Hz and 5 kHz that
// rise above -50 dB of the frame's largest, with their frequency and level
// refined on a parabola through the log magnitudes.
std::vector<Peak> spectralPeaks(const std::vector<float>& mag) {
    const int lo = static_cast<int>(kLowestNoteHz / kNoteBinHz);
    const int hi = std::min(static_cast<int>(kHighestNoteHz / kNoteBinHz), static_cast<int>(mag.size()) - 2);
    float top = 0;
    for (int k = lo; k <= hi; ++k) top = std::max(top, mag[k]);
    std::vector<Peak> peaks;
    if (!(top > 0)) return peaks;
    const float floor = top * 0.00316f;
    for (int k = std::max(lo, 1); k <= hi; ++k) {
        const float b = mag[k];
        if (b <= floor || b < mag[k - 1] || b <= mag[k + 1]) continue;
        const double la = std::log(mag[k - 1] + 1e-12), lb = std::log(b + 1e-12), lc = std::log(mag[k + 1] + 1e-12);
        const double den = la - 2 * lb + lc;
        const double p = den < 0 ? std::clamp(0.5 * (la - lc) / den, -0.5, 0.5) : 0.0;
        peaks.push_back({static_cast<float>((k + p) * kNoteBinHz), static_cast<float>(std::exp(lb - 0.25 * (la - lc) * p))});
    }
    // The strongest 60 carry the notes; the rest are their side lobes and
    // the noise between them.
    constexpr size_t kMostPeaks = 60;
    if (peaks.size() > kMostPeaks) {
        std::nth_element(peaks.begin(), peaks.begin() + kMostPeaks - 1, peaks.end(),
                         [](const Peak& a, const Peak& b) { return a.amp > b.amp; });
        peaks.resize(kMostPeaks);
        std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.hz < b.hz; });
    }
    return peaks;
}

// Takes from each peak the share that the overtones of a lower peak explain:
// a note's h-th harmonic is expected at about 0.6^(h-1) of its level.
// Without this the 3rd and 6th harmonics of every note, the bass's most of
// all, read as the fifth above and pull the key a fifth up.
void removeOvertones(std::vector<Peak>& peaks) {
    // 0.6^(h-1) for h = 0 ... 8, and the bounds of 30 cents either side;
    // a bass note's overtones fall off more slowly, 0.8^(h-1): its fifth
    // harmonic, a major third above, would turn every minor chord over it
    // major.
    static constexpr float weight[9] = {0, 1, 0.6f, 0.36f, 0.216f, 0.1296f, 0.07776f, 0.046656f, 0.0279936f};
    static constexpr float bassWeight[9] = {0, 1, 0.8f, 0.64f, 0.512f, 0.4096f, 0.32768f, 0.262144f, 0.2097152f};
    static const float below = std::exp2(-30.0f / 1200), above = std::exp2(30.0f / 1200);
    // Peaks rise in frequency: the lower peaks that can explain peak j
    // (1.5 to 8.5 times lower) form a window that only moves up.
    size_t from = 0;
    for (size_t j = 0; j < peaks.size(); ++j) {
        float explained = 0;
        while (from < j && peaks[j].hz >= 8.5f * peaks[from].hz) ++from;
        for (size_t i = from; i < j; ++i) {
            if (!(peaks[i].amp > 0)) continue;
            const float ratio = peaks[j].hz / peaks[i].hz;
            if (ratio < 1.5f) break;
            const int h = static_cast<int>(ratio + 0.5f);
            const float off = ratio / static_cast<float>(h);
            if (off < below || off > above) continue;
            explained = std::max(explained, peaks[i].amp * (peaks[i].hz < kBassBelowHz ? bassWeight : weight)[h]);
        }
        peaks[j].amp = std::max(0.0f, peaks[j].amp - explained);
    }
}

double flatness(const std::vector<float>& mag) {
    const int lo = static_cast<int>(kTrebleFromHz / kNoteBinHz);
    const int hi = std::min(static_cast<int>(kHighestNoteHz / kNoteBinHz), static_cast<int>(mag.size()) - 1);
    // The geometric mean of the power as the mean of the log magnitudes.
    float logSum = 0;
    double sum = 0;
    for (int k = lo; k <= hi; ++k) {
        logSum += std::log(mag[k] + 1e-10f);
        sum += double(mag[k]) * mag[k];
    }
    const double n = hi - lo + 1;
    return sum > 0 ? std::exp(2.0 * logSum / n) / (sum / n) : 1.0;
}

}  // namespace

void SpectralFrames::findNotes(const std::vector<float>& mono22k) {
    const size_t count = mono22k.size();
    const std::vector<float> window = Signal::hanning(noteFftSize);
    RealFFT fft(noteFftSize);
    std::vector<float> buf(noteFftSize), mag(noteFftSize / 2 + 1);
    std::vector<std::vector<Peak>> framePeaks;
    // The reference pitch: the peaks' offsets from the equal-tempered grid
    // around A = 440 Hz, averaged on the circle of one semitone.
    double tuneRe = 0, tuneIm = 0;
    for (size_t s = 0; s + noteFftSize < count; s += noteHop) {
        for (int i = 0; i < noteFftSize; ++i) buf[i] = mono22k[s + i] * window[i];
        fft.magnitudes(buf.data(), mag.data());
        std::vector<Peak> peaks;
        // The level of the two 4096-sample frames this one spans.
        const size_t k = s / hop;
        const float level = k + 2 < rms.size() ? std::sqrt(0.5f * (rms[k] * rms[k] + rms[k + 2] * rms[k + 2]))
                                               : Signal::rms(mono22k, static_cast<long>(s), static_cast<long>(s + noteFftSize));
        if (level >= kQuietRms && flatness(mag) <= kNoisyFlatness) {
            peaks = spectralPeaks(mag);
            removeOvertones(peaks);
            for (const Peak& p : peaks) {
                const double semis = 12.0 * std::log2(p.hz / 440.0);
                const double angle = 2 * std::numbers::pi * (semis - std::round(semis));
                tuneRe += p.amp * std::cos(angle);
                tuneIm += p.amp * std::sin(angle);
            }
        }
        framePeaks.push_back(std::move(peaks));
    }
    tuningCents = (tuneRe != 0 || tuneIm != 0) ? 100.0 * std::atan2(tuneIm, tuneRe) / (2 * std::numbers::pi) : 0.0;
    const double reference = 440.0 * std::pow(2.0, tuningCents / 1200.0);
    for (const auto& peaks : framePeaks) {
        std::vector<float> t(12, 0.0f), b(12, 0.0f);
        for (const Peak& p : peaks) {
            if (!(p.amp > 0)) continue;
            const double semis = 12.0 * std::log2(p.hz / reference) + 69.0;
            const double nearest = std::round(semis);
            // A peak between two semitones counts for less: cos^2 of its
            // distance from the nearest, zero half a semitone away.
            const double c = std::cos(std::numbers::pi * (semis - nearest));
            const float w = static_cast<float>(c * c) * p.amp;
            const int pc = static_cast<int>(((static_cast<long>(nearest) % 12) + 12) % 12);
            if (p.hz >= kTrebleFromHz) t[pc] += w;
            if (p.hz < kBassBelowHz) b[pc] += w;
        }
        for (auto* v : {&t, &b}) {
            const float top = *std::max_element(v->begin(), v->end());
            if (top > 0)
                for (float& x : *v) x /= top;
        }
        treble.push_back(std::move(t));
        bass.push_back(std::move(b));
    }
}

std::vector<float> SpectralFrames::average(const std::vector<std::vector<float>>& frames,
                                           double from, double to) {
    if (frames.empty()) return {};
    std::vector<float> sum(frames[0].size(), 0.0f);
    size_t used = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        const double t = (static_cast<double>(hop) * k + hop) / sampleRate;
        if (t < from || t >= to) continue;
        const auto& v = frames[k];
        for (size_t i = 0; i < sum.size() && i < v.size(); ++i) sum[i] += v[i];
        ++used;
    }
    if (used > 0)
        for (auto& v : sum) v /= static_cast<float>(used);
    return sum;
}


namespace {

struct Decision {
    int tonic = 0;
    bool minor = false;
    double confidence = 0;
};

std::vector<double> sum12(const std::vector<std::vector<float>>& frames, size_t from, size_t to) {
    std::vector<double> v(12, 0.0);
    for (size_t k = from; k < to && k < frames.size(); ++k)
        for (int i = 0; i < 12 && i < static_cast<int>(frames[k].size()); ++i) v[i] += frames[k][i];
    return v;
}

bool hasNotes(const std::vector<float>& v) {
    return std::any_of(v.begin(), v.end(), [](float x) { return x > 0; });
}

void scaleToSum(std::vector<double>& v) {
    double t = 0;
    for (double x : v) t += x;
    if (t > 0)
        for (double& x : v) x /= t;
}

// The note frames a key is judged on: those of the longer frames when the
// signal had room for them, else the chroma (a signal under 8192 samples).
struct NoteFrames {
    const std::vector<std::vector<float>>& treble;
    const std::vector<std::vector<float>>& bass;
    double seconds;  // per frame
};

NoteFrames noteFrames(const SpectralFrames& frames) {
    static const std::vector<std::vector<float>> none;
    if (!frames.treble.empty())
        return {frames.treble, frames.bass, SpectralFrames::noteHop / SpectralFrames::sampleRate};
    return {frames.chroma, none, SpectralFrames::hop / SpectralFrames::sampleRate};
}

// Weights found on the tuning parts of the generated corpus
// (scripts/music-corpus.py); the held-out parts never set them.
constexpr double kBassWeight = 0.25;  // of the bass notes beside the treble's, in the profile fit
constexpr double kRestWeight = 0.1;   // of the tonic's weight in the bass
constexpr double kHarmonyWeight = 1.0;
constexpr double kResolutionWeight = 1.0;

using KeyAnalyzer::ChordQuality;

// How much a chord belongs to a key's harmony, by its root's place above
// the tonic and its quality: the tonic triad most, then the subdominant and
// dominant, the other diatonic triads less, the usual borrowed chords and
// secondary dominants a little; any other chord speaks against the key.
// The relative key's tonic triad weighs alike from either side (vi in
// major, III in minor): weighed above it in minor, a loop of the major's
// own chords (I V vi IV) scored higher in its relative minor.
double harmonicWeight(int interval, ChordQuality q, bool minorKey) {
    struct Entry {
        int interval;
        ChordQuality quality;
        double weight;
    };
    using enum ChordQuality;
    static constexpr Entry majorTable[] = {{0, major, 1.0},  {5, major, 0.6},  {7, major, 0.7},
                                         {9, minor, 0.45}, {2, minor, 0.4},  {4, minor, 0.3},
                                         {11, diminished, 0.3}, {10, major, 0.2}, {5, minor, 0.2},
                                         {2, major, 0.2},  {9, major, 0.1},  {4, major, 0.1}};
    static constexpr Entry minorTable[] = {{0, minor, 1.0},  {5, minor, 0.6},  {7, major, 0.6},
                                         {7, minor, 0.4},  {8, major, 0.6},  {10, major, 0.6},
                                         {3, major, 0.45}, {2, diminished, 0.3}, {11, diminished, 0.3},
                                         {5, major, 0.1}};
    for (const Entry& e : minorKey ? std::span<const Entry>(minorTable) : std::span<const Entry>(majorTable))
        if (e.interval == interval && e.quality == q) return e.weight;
    return -0.3;
}

// How much a change from a chord whose root lies `interval` semitones above
// the tonic resolves to the tonic triad: from the dominant or the leading
// tone's diminished triad fully, from a minor dominant, the subdominant or
// the subtonic half.
double resolving(int interval, ChordQuality q) {
    if ((interval == 7 && q == ChordQuality::major) || (interval == 11 && q == ChordQuality::diminished))
        return 1.0;
    return interval == 7 || interval == 5 || interval == 10 ? 0.5 : 0.0;
}

Decision decide(const SpectralFrames& frames) {
    Decision d;
    const auto ev = KeyAnalyzer::evidence(frames);
    const double inf = std::numeric_limits<double>::infinity();
    double best = -inf, runnerUp = -inf, bestFit = 0;
    bool any = false;
    for (int rot = 0; rot < 12; ++rot)
        for (int m = 0; m < 2; ++m) {
            const KeyAnalyzer::KeyEvidence& e = ev[size_t(rot + 12 * m)];
            any = any || e.fit != 0;
            const double c = e.fit + kRestWeight * e.bass + kHarmonyWeight * e.harmony +
                             kResolutionWeight * e.resolutions;
            if (c > best) {
                runnerUp = best;
                best = c;
                bestFit = e.fit;
                d.tonic = rot;
                d.minor = m == 1;
            } else {
                runnerUp = std::max(runnerUp, c);
            }
        }
    if (!any) return {};
    // Notes that fit no key well (noise that slipped through, a cluster)
    // give a key of low confidence however far ahead it is; keys that score
    // alike, as a piece that never settles on either makes them, give a
    // low one too.
    const double tonal = std::clamp((bestFit - 0.3) / 0.3, 0.0, 1.0);
    d.confidence = tonal * std::clamp((best - runnerUp) / std::max(std::abs(best), 1e-9) * 4.0, 0.0, 1.0);
    return d;
}

}  // namespace

namespace KeyAnalyzer {

double correlate(const std::vector<double>& x, const std::array<double, 12>& profile, int shift) {
    double mx = 0, mp = 0;
    for (int k = 0; k < 12; ++k) {
        mx += x[(k + shift) % 12];
        mp += profile[k];
    }
    mx /= 12;
    mp /= 12;
    double sxy = 0, sxx = 0, syy = 0;
    for (int k = 0; k < 12; ++k) {
        const double a = x[(k + shift) % 12] - mx, b = profile[k] - mp;
        sxy += a * b;
        sxx += a * a;
        syy += b * b;
    }
    const double d = std::sqrt(sxx * syy);
    // A flat chroma has no correlation with anything.
    return d > 0 ? sxy / d : 0.0;
}

std::vector<ChordSpan> chords(const SpectralFrames& frames) {
    // A signal too short for note frames holds no chords worth naming.
    if (frames.treble.empty()) return {};
    const NoteFrames nf = noteFrames(frames);
    const size_t n = nf.treble.size();
    // Each frame's fit to the 36 triads (index root + 12 x quality): the
    // mean of the triad's notes above the mean of the other nine, plus the
    // root's weight in the bass; the root in the treble breaks ties (a lone
    // note is the root of its chord).
    constexpr int kChords = 36;
    static constexpr int third[3] = {4, 3, 3}, fifth[3] = {7, 7, 6};
    std::vector<std::array<double, kChords>> fit;
    for (size_t k = 0; k < n; ++k) {
        const auto& t = nf.treble[k];
        const bool bassHeard = k < nf.bass.size() && hasNotes(nf.bass[k]);
        if (!hasNotes(t) && !bassHeard) continue;
        double total = 0;
        for (int q = 0; q < 12; ++q) total += t[size_t(q)];
        std::array<double, kChords> f{};
        for (int c = 0; c < kChords; ++c) {
            const int r = c % 12, q = c / 12;
            const double in = t[size_t(r)] + t[size_t((r + third[q]) % 12)] + t[size_t((r + fifth[q]) % 12)];
            f[size_t(c)] = in / 3 - (total - in) / 9 + 0.02 * t[size_t(r)] +
                           (bassHeard ? 0.5 * nf.bass[k][size_t(r)] : 0.0);
        }
        fit.push_back(f);
    }
    if (fit.empty()) return {};
    // The likeliest chord sequence when a change costs as much as a frame
    // whose notes fit another chord by this much more: passing notes and
    // a melody's steps do not make chords of their own.
    constexpr double kChange = 0.6;
    const size_t m = fit.size();
    std::vector<std::array<int, kChords>> from(m);
    std::array<double, kChords> score = fit[0];
    for (size_t i = 1; i < m; ++i) {
        const auto top = size_t(std::max_element(score.begin(), score.end()) - score.begin());
        std::array<double, kChords> next{};
        for (size_t c = 0; c < kChords; ++c) {
            const bool stay = score[c] >= score[top] - kChange;
            from[i][c] = stay ? int(c) : int(top);
            next[c] = (stay ? score[c] : score[top] - kChange) + fit[i][c];
        }
        score = next;
    }
    std::vector<int> path(m);
    path[m - 1] = int(std::max_element(score.begin(), score.end()) - score.begin());
    for (size_t i = m - 1; i > 0; --i) path[i - 1] = from[i][size_t(path[i])];
    std::vector<ChordSpan> out;
    for (size_t i = 0; i < m; ++i) {
        const ChordSpan span{path[i] % 12, ChordQuality(path[i] / 12), nf.seconds};
        if (!out.empty() && out.back().root == span.root && out.back().quality == span.quality)
            out.back().seconds += nf.seconds;
        else
            out.push_back(span);
    }
    return out;
}

std::array<KeyEvidence, 24> evidence(const SpectralFrames& frames) {
    std::array<KeyEvidence, 24> out{};
    const NoteFrames nf = noteFrames(frames);
    const size_t n = nf.treble.size();
    std::vector<double> treble = sum12(nf.treble, 0, n), bass = sum12(nf.bass, 0, n);
    scaleToSum(treble);
    scaleToSum(bass);
    if (std::all_of(treble.begin(), treble.end(), [](double x) { return x == 0; }) &&
        std::all_of(bass.begin(), bass.end(), [](double x) { return x == 0; }))
        return out;
    std::vector<double> notesHeard(12);
    for (int i = 0; i < 12; ++i) notesHeard[size_t(i)] = treble[size_t(i)] + kBassWeight * bass[size_t(i)];
    const double bassTop = *std::max_element(bass.begin(), bass.end());

    const std::vector<ChordSpan> spans = chords(frames);
    double held = 0;
    for (const ChordSpan& c : spans) held += c.seconds;
    const double changes = double(std::max<size_t>(spans.size(), 2) - 1);
    for (int rot = 0; rot < 12; ++rot)
        for (int m = 0; m < 2; ++m) {
            KeyEvidence& e = out[size_t(rot + 12 * m)];
            e.fit = correlate(notesHeard, m == 0 ? noteMajor : noteMinor, rot);
            e.bass = bassTop > 0 ? bass[size_t(rot)] / bassTop : 0;
            const ChordQuality tonic = m == 0 ? ChordQuality::major : ChordQuality::minor;
            double fits = 0, resolved = 0;
            for (size_t i = 0; i < spans.size(); ++i) {
                const int interval = (spans[i].root - rot + 12) % 12;
                fits += spans[i].seconds * harmonicWeight(interval, spans[i].quality, m == 1);
                if (i > 0 && interval == 0 && spans[i].quality == tonic)
                    resolved += resolving((spans[i - 1].root - rot + 12) % 12, spans[i - 1].quality);
            }
            e.harmony = held > 0 ? fits / held : 0;
            e.resolutions = resolved / changes;
        }
    return out;
}

KeyResult analyze(const SpectralFrames& frames, double bpm, double bpmConfidence) {
    KeyResult r;
    const Decision d = decide(frames);
    r.tonic = notes[d.tonic];
    r.mode = d.minor ? "minor" : "major";
    r.confidence = roundHundredths(d.confidence);

    std::array<double, 7> b{};
    for (const auto& v : frames.bands)
        for (int i = 0; i < 7 && i < static_cast<int>(v.size()); ++i) b[i] += v[i];
    double bandTotal = 0;
    for (double v : b) bandTotal += v;
    r.bands.assign(7, 0.0);
    if (bandTotal > 0)
        for (int i = 0; i < 7; ++i) r.bands[i] = b[i] / bandTotal;
    const auto& s = r.bands;
    const double low = s[0] + s[1] + s[2], mid = s[3] + s[4], high = s[5] + s[6];
    const double bass = s[0] + s[1], sub = s[0];

    if (low > 0.55) r.spectralTags.push_back("bass-heavy");
    if (mid > 0.45) r.spectralTags.push_back("mid-forward");
    if (high > 0.3) r.spectralTags.push_back("bright");
    if (sub > 0.1) r.spectralTags.push_back("sub-rich");
    if (high < 0.1) r.spectralTags.push_back("dark");
    if (low < 0.2 && mid > 0.3) r.spectralTags.push_back("thin");

    const bool minorKey = r.mode == "minor";
    std::vector<std::string> mood;
    if (bpm > 0 && bpmConfidence > 0.2) {
        if (bpm >= 130) mood.push_back(minorKey ? "driving" : "energetic");
        else if (bpm >= 100) mood.push_back(minorKey ? "tense" : "uplifting");
        else if (bpm >= 75) mood.push_back(minorKey ? "contemplative" : "warm");
        else mood.push_back(minorKey ? "somber" : "serene");
    }
    if (r.confidence > 0.2) {
        if (minorKey && bass > 0.45) mood.push_back("brooding");
        if (!minorKey && high > 0.25) mood.push_back("bright");
    }
    if (high < 0.08 && bass > 0.5) mood.push_back("foreboding");
    for (auto& m : mood)
        if (std::find(r.moodTags.begin(), r.moodTags.end(), m) == r.moodTags.end())
            r.moodTags.push_back(std::move(m));
    return r;
}

}  // namespace KeyAnalyzer
}  // namespace qm

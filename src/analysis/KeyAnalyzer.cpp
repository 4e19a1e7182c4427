#include "analysis/KeyAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

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
    // 0.6^(h-1) for h = 0 ... 8, and the bounds of 30 cents either side.
    static constexpr float weight[9] = {0, 1, 0.6f, 0.36f, 0.216f, 0.1296f, 0.07776f, 0.046656f, 0.0279936f};
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
            explained = std::max(explained, peaks[i].amp * weight[h]);
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

// The key of the notes: each of the 24 keys scored by how well the piece's
// notes fit its profile, then by what speaks for its tonic above all: the
// chord the piece closes on and the bass notes it rests on. Keys a fifth
// apart or relative to each other share six of seven notes and fit a
// profile almost alike; the tonic's evidence tells them apart.
Decision decide(const SpectralFrames& frames) {
    // Weights found on the tuning part of the generated corpus
    // (scripts/music-corpus.py); the held-out part never set them.
    constexpr double bassWeight = 0.25;  // of the bass notes beside the treble's
    constexpr double closeSeconds = 2;   // how much of the end counts as the close
    constexpr double wClose = 0.6;       // of the closing chord's fit to the tonic triad
    constexpr double wRest = 0.2;        // of the tonic's share of the bass

    Decision d;
    // Frames made without note frames (a signal under 8192 samples) are
    // judged on their chroma alone.
    const bool notesFound = !frames.treble.empty();
    const auto& trebleFrames = notesFound ? frames.treble : frames.chroma;
    const std::vector<std::vector<float>> none;
    const auto& bassFrames = notesFound ? frames.bass : none;
    const size_t n = trebleFrames.size();
    std::vector<double> treble = sum12(trebleFrames, 0, n), bass = sum12(bassFrames, 0, n);
    const auto heard = [&](size_t k) {
        return hasNotes(trebleFrames[k]) || (k < bassFrames.size() && hasNotes(bassFrames[k]));
    };
    size_t withNotes = 0, last = 0;
    for (size_t k = 0; k < n; ++k)
        if (heard(k)) ++withNotes, last = k + 1;
    if (withNotes == 0) return d;
    scaleToSum(treble);
    scaleToSum(bass);
    std::vector<double> notesHeard(12);
    for (int i = 0; i < 12; ++i) notesHeard[i] = treble[i] + bassWeight * bass[i];

    const double hop = notesFound ? SpectralFrames::noteHop : SpectralFrames::hop;
    const auto closeFrames = static_cast<size_t>(std::ceil(closeSeconds * SpectralFrames::sampleRate / hop));
    size_t first = last;
    for (size_t seen = 0; first > 0 && seen < closeFrames; --first)
        if (heard(first - 1)) ++seen;
    std::vector<double> close = sum12(trebleFrames, first, last), closeBass = sum12(bassFrames, first, last);
    scaleToSum(close);
    scaleToSum(closeBass);
    for (int i = 0; i < 12; ++i) close[i] += closeBass[i];
    const double bassTop = *std::max_element(bass.begin(), bass.end());

    const auto& maj = KeyAnalyzer::noteMajor;
    const auto& min = KeyAnalyzer::noteMinor;
    const double inf = std::numeric_limits<double>::infinity();
    double best = -inf, runnerUp = -inf, bestFit = 0;
    for (int rot = 0; rot < 12; ++rot)
        for (int m = 0; m < 2; ++m) {
            const double fit = KeyAnalyzer::correlate(notesHeard, m == 0 ? maj : min, rot);
            // The closing chord's root weighs most: it is the tonic itself.
            std::array<double, 12> triad{};
            triad[0] = 1;
            triad[7] = 0.75;
            triad[m == 0 ? 4 : 3] = 0.5;
            const double closing = KeyAnalyzer::correlate(close, triad, rot);
            const double rests = bassTop > 0 ? bass[rot] / bassTop : 0;
            const double c = fit + wClose * closing + wRest * rests;
            if (c > best) {
                runnerUp = best;
                best = c;
                bestFit = fit;
                d.tonic = rot;
                d.minor = m == 1;
            } else {
                runnerUp = std::max(runnerUp, c);
            }
        }
    // Notes that fit no key well (noise that slipped through, a cluster)
    // give a key of low confidence however far ahead it is.
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

#include "analysis/KeyAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/Signal.h"

namespace qm {

namespace {

constexpr int kBins = SpectralFrames::fftSize / 2 + 1;
constexpr double kBinHz = SpectralFrames::sampleRate / SpectralFrames::fftSize;

double roundHundredths(double x) { return std::round(x * 100.0) / 100.0; }

// The profiles weigh the notes of a key, but the chroma sums a spectrum, in
// which every note also shows its overtones: the 3rd and 6th harmonics land
// a fifth above it, the 5th a major third above. Matched against the bare
// profiles, such a chroma reads as the key a fifth up about as often as the
// right one. So each profile is compared as it sounds: every tone spread
// over its first six harmonics, harmonic h weighted 0.6^(h-1).
std::array<double, 12> asHeard(const std::array<double, 12>& profile) {
    constexpr int harmonics = 6;
    constexpr double slope = 0.6;
    std::array<double, 12> spread{};
    double weight = 1;
    for (int h = 1; h <= harmonics; ++h, weight *= slope) {
        const int up = static_cast<int>(std::lround(12.0 * std::log2(static_cast<double>(h)))) % 12;
        for (int k = 0; k < 12; ++k) spread[(k + up) % 12] += profile[k] * weight;
    }
    return spread;
}

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
    std::vector<double> chroma(12, 0.0);
    for (const auto& c : frames.chroma)
        for (int i = 0; i < 12 && i < static_cast<int>(c.size()); ++i) chroma[i] += c[i];
    double total = 0;
    for (double v : chroma) total += v;

    if (!frames.chroma.empty() && total > 0) {
        for (auto& v : chroma) v /= total;
        static const std::array<double, 12> heardMajor = asHeard(major), heardMinor = asHeard(minor);
        const double inf = std::numeric_limits<double>::infinity();
        double best = -inf, runnerUp = -inf;
        int tonic = 0;
        bool isMinor = false;
        for (int rot = 0; rot < 12; ++rot)
            for (int m = 0; m < 2; ++m) {
                const double c = correlate(chroma, m == 0 ? heardMajor : heardMinor, rot);
                if (c > best) {
                    runnerUp = best;
                    best = c;
                    tonic = rot;
                    isMinor = m == 1;
                } else {
                    runnerUp = std::max(runnerUp, c);
                }
            }
        r.tonic = notes[tonic];
        r.mode = isMinor ? "minor" : "major";
        r.confidence = roundHundredths(
            std::clamp((best - runnerUp) / std::max(std::abs(best), 1e-9) * 4.0, 0.0, 1.0));
    }

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

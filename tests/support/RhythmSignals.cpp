#include "support/RhythmSignals.h"

#include "support/Signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qm::test {

namespace {

constexpr double twoPi = 2 * std::numbers::pi;

void addKick(std::vector<float>& out, double sr, double at, float gain) {
    const long start = std::lround(at * sr);
    double phase = 0;
    for (long i = 0; i < long(0.25 * sr); ++i) {
        const long j = start + i;
        if (j < 0 || j >= long(out.size())) continue;
        const double t = i / sr;
        const double f = 50 + 90 * std::exp(-t * 30);
        phase += twoPi * f / sr;
        out[j] += gain * float(std::sin(phase) * std::exp(-t * 12));
    }
}

void addNoiseHit(std::vector<float>& out, double sr, double at, float gain, double decay, uint64_t& noise,
                 double toneHz) {
    const long start = std::lround(at * sr);
    float lp = 0;
    for (long i = 0; i < long(0.2 * sr); ++i) {
        const long j = start + i;
        if (j < 0 || j >= long(out.size())) continue;
        const double t = i / sr;
        const float n = float(uniformNoise(noise));
        // A hi-hat (no tone) is high-passed noise; a snare mixes a tone in.
        const float hp = n - lp;
        lp = 0.7f * lp + 0.3f * n;
        const double tone = toneHz > 0 ? 0.5 * std::sin(twoPi * toneHz * t) : 0.0;
        out[j] += gain * float((hp + tone) * std::exp(-t * decay));
    }
}

void addBass(std::vector<float>& out, double sr, double at, double length, double hz, float gain) {
    const long start = std::lround(at * sr);
    for (long i = 0; i < long(length * sr); ++i) {
        const long j = start + i;
        if (j < 0 || j >= long(out.size())) continue;
        const double t = i / sr;
        const double env = std::min(1.0, t / 0.005) * std::exp(-t * 3);
        out[j] += gain * float(env * (std::sin(twoPi * hz * t) + 0.3 * std::sin(twoPi * 2 * hz * t)));
    }
}

void normalise(std::vector<float>& x) {
    float peak = 0;
    for (float v : x) peak = std::max(peak, std::fabs(v));
    if (peak > 0.99f)
        for (float& v : x) v *= 0.99f / peak;
}

}  // namespace

RhythmPiece drumPattern(const RhythmSpec& rhythm) {
    const double sr = rhythm.sampleRate;
    RhythmPiece piece;
    piece.samples.assign(size_t(rhythm.seconds * sr), 0.0f);
    const double endBpm = rhythm.endBpm > 0 ? rhythm.endBpm : rhythm.bpm;
    const double span = rhythm.seconds - rhythm.leadIn;
    // Beat times under a tempo that moves linearly in time: the beat count
    // grows as the integral of bpm / 60.
    const auto tempoAt = [&](double t) { return rhythm.bpm + (endBpm - rhythm.bpm) * std::clamp(t / span, 0.0, 1.0); };
    std::vector<double> eighths;  // times of every eighth note, on-beat and off-beat
    {
        double t = 0, beats = 0;
        const double dt = 1.0 / sr;
        long next = 0;  // index of the next eighth (half beats)
        while (t < span) {
            const double half = beats * 2;
            if (half >= double(next)) {
                eighths.push_back(rhythm.leadIn + t);
                ++next;
            }
            beats += tempoAt(t) / 60 * dt;
            t += dt;
        }
    }
    const double bassNotes[] = {55.0, 55.0, 65.41, 49.0};
    uint64_t noise = rhythm.seed;
    if (rhythm.compound) {
        // Beat times under the (possibly ramping) tempo, each split in three.
        double t = rhythm.leadIn;
        for (size_t beat = 0; t < rhythm.seconds; ++beat) {
            const double len = 60 / tempoAt(t - rhythm.leadIn);
            piece.beats.push_back(t);
            if (beat % 2 == 0) {
                piece.downbeats.push_back(t);
                addKick(piece.samples, sr, t, 0.9f);
                addBass(piece.samples, sr, t, len * 2 * 0.9, bassNotes[(beat / 2) % 4], 0.35f);
            } else {
                addNoiseHit(piece.samples, sr, t, 0.45f, 18, noise, 190);
            }
            for (int e = 0; e < 3; ++e) addNoiseHit(piece.samples, sr, t + e * len / 3, e ? 0.1f : 0.15f, 60, noise, 0);
            t += len;
        }
        normalise(piece.samples);
        return piece;
    }
    const int g = rhythm.beatsPerBar;
    for (size_t e = 0; e < eighths.size(); ++e) {
        const bool onBeat = e % 2 == 0;
        const size_t beat = e / 2;
        double t = eighths[e];
        if (!onBeat && e + 1 < eighths.size()) t += rhythm.swing * (eighths[e + 1] - eighths[e - 1]) / 2;
        if (onBeat) {
            piece.beats.push_back(t);
            const size_t inBar = beat % size_t(g);
            if (inBar == 0) {
                piece.downbeats.push_back(t);
                addKick(piece.samples, sr, t, 0.9f);
                addBass(piece.samples, sr, t, 60 / tempoAt(t - rhythm.leadIn) * g * 0.9,
                        bassNotes[(beat / size_t(g)) % 4], 0.35f);
            } else if (g == 4 && inBar == 2) {
                addKick(piece.samples, sr, t, 0.45f);
            }
            if ((g == 4 && inBar % 2 == 1) || (g == 3 && inBar != 0))
                addNoiseHit(piece.samples, sr, t, g == 4 ? 0.5f : 0.3f, 18, noise, 190);
            addNoiseHit(piece.samples, sr, t, 0.15f, 60, noise, 0);
        } else {
            addNoiseHit(piece.samples, sr, t, 0.09f, 70, noise, 0);
        }
    }
    normalise(piece.samples);
    return piece;
}

}  // namespace qm::test

#include "analysis/MusicGrid.h"

#include "analysis/Signal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace qm {

using TempoAnalyzer::envelopeRate;

namespace {
constexpr double kEndOfSignal = 0.05;  // seconds
}  // namespace

std::vector<double> MusicGrid::boundaries() const {
    if (downbeats.empty()) return {};
    std::vector<double> b = downbeats;
    if (duration > b.back() + 0.001) b.push_back(duration);
    return b;
}

namespace GridBuilder {

namespace {

constexpr long noLowerBound = std::numeric_limits<long>::min();

// Mean over the walk t = phase + k * period of the strongest envelope value
// at the nearest index and its two neighbours (at least 0), counting only
// indices in [from, to).
double walkScore(const std::vector<float>& env, double phase, double period, long from, long to) {
    const long n = long(env.size());
    const auto at = [&](long i) { return env[std::clamp(i, 0L, n - 1)]; };
    long k = 0;
    if (from > 0) k = std::max(0L, long(std::floor((double(from) / envelopeRate - phase) / period)) - 1);
    double sum = 0;
    long count = 0;
    for (;; ++k) {
        const long i = std::lround((phase + double(k) * period) * envelopeRate);
        if (i >= to) break;
        if (i < from) continue;
        sum += std::max({0.0f, at(i - 1), at(i), at(i + 1)});
        ++count;
    }
    return count ? sum / double(count) : 0.0;
}

double circularDistance(double a, double b, double period) {
    double d = std::fmod(std::fabs(a - b), period);
    return std::min(d, period - d);
}

}  // namespace

SteadyFit steadyFit(const std::vector<float>& env, double bpm) {
    const long n = long(env.size());
    SteadyFit fit;
    if (!TempoAnalyzer::usableTempo(bpm)) return fit;
    fit.period = 60.0 / bpm;
    if (n < 690) return fit;

    double bestScore = -1, bestPeriod = fit.period, bestPhase = 0;
    for (int k = -30; k <= 30; ++k) {
        const double p = (60.0 / bpm) * (1 + 0.0002 * k);
        for (int u = 0; u < 96; ++u) {
            const double ph = p * u / 96;
            const double s = walkScore(env, ph, p, noLowerBound, n);
            if (s > bestScore) {
                bestScore = s;
                bestPeriod = p;
                bestPhase = ph;
            }
        }
    }
    const double step = bestPeriod / 96;
    const auto tryPhase = [&](double ph) {
        const double s = walkScore(env, ph, bestPeriod, noLowerBound, n);
        if (s > bestScore) {
            bestScore = s;
            bestPhase = ph;
        }
    };
    tryPhase(bestPhase - step);
    for (int j = -9; j <= 10; ++j) tryPhase(bestPhase + step * j / 10);

    double wrapped = std::fmod(bestPhase, bestPeriod);
    if (wrapped < 0) wrapped += bestPeriod;
    const long q = n / 4;
    bool agree = true;
    for (int quarter = 0; quarter < 4 && agree; ++quarter) {
        double qBest = -1, qPhase = 0;
        for (int u = 0; u < 96; ++u) {
            const double ph = bestPeriod * u / 96;
            const double s = walkScore(env, ph, bestPeriod, quarter * q, (quarter + 1) * q);
            if (s > qBest) {
                qBest = s;
                qPhase = ph;
            }
        }
        agree = circularDistance(qPhase, wrapped, bestPeriod) <= 0.07 * bestPeriod || qBest < 0.05;
    }
    const double mean = std::accumulate(env.begin(), env.end(), 0.0) / double(n);
    fit.ok = agree && 1.5 * mean < bestScore;
    fit.period = bestPeriod;
    fit.phase = bestPhase;
    fit.score = bestScore;
    return fit;
}

double attackOffset(const std::vector<float>& mono22k, double period, double phase, const std::vector<float>& env) {
    const long count = long(mono22k.size());
    if (count < 286 || !(period > 0) || !std::isfinite(period) || !std::isfinite(phase)) return 0;
    // Loudness frames of 44 samples every 22 samples: 22 / 22 050 s apart
    // (0.9977 ms, not 1 ms, or the search drifts off the attacks after
    // half a minute).
    constexpr double frameDt = 22.0 / TempoAnalyzer::analysisRate;
    const long M = (count - 44) / 22;
    std::vector<float> rise(M, 0.0f);
    float prev = 0;
    for (long m = 0; m < M; ++m) {
        const float r = Signal::rms(mono22k, 22 * m, 22 * m + 44);
        if (m > 0) rise[m] = std::max(0.0f, r - prev);
        prev = r;
    }
    const long n = long(env.size());
    std::vector<double> records;
    for (double t = std::fmod(phase, period); t < double(M) * frameDt; t += period) {
        const long e = std::lround(t * envelopeRate);
        if (e < 0 || e >= n || !(env[e] > 0.25f)) continue;
        const long c = long(t / frameDt);
        const long lo = std::max(c - 40, 1L), hi = std::min(c + 100, M - 1);
        long best = -1;
        for (long m = lo; m <= hi; ++m)
            if (rise[m] > 0 && (best < 0 || rise[m] > rise[best])) best = m;
        if (best >= 0) records.push_back(double(best) * frameDt - t);
    }
    if (records.size() < 8) return 0;
    std::sort(records.begin(), records.end());
    return std::clamp(records[records.size() / 2] - 0.003, -0.04, 0.1);
}

int downbeatOffset(const std::vector<double>& beats, const std::vector<float>& low, const std::vector<float>& full,
                   int group) {
    const size_t len = std::min(low.size(), full.size());
    if (len == 0 || group <= 0 || beats.size() < size_t(2 * group)) return 0;
    std::vector<double> accent(beats.size());
    for (size_t j = 0; j < beats.size(); ++j) {
        const double pos = beats[j] * envelopeRate;
        const long i = std::isfinite(pos) ? long(std::clamp(pos, 0.0, double(len - 1))) : 0;
        accent[j] = 0.65 * low[i] + 0.35 * full[i];
    }
    double best = -1;
    int bestPhase = 0;
    for (int ph = 0; ph < group; ++ph) {
        double sum = 0;
        long count = 0;
        for (size_t j = size_t(ph); j < beats.size(); j += size_t(group)) {
            sum += accent[j];
            ++count;
        }
        const double mean = count ? sum / double(count) : 0;
        if (mean > best) {
            best = mean;
            bestPhase = ph;
        }
    }
    return bestPhase;
}

MusicGrid build(const TempoResult& tempo, const std::vector<float>& mono22k, double duration,
                std::optional<double> bpm, std::optional<int> beatsPerBar) {
    MusicGrid grid;
    grid.duration = duration;
    // A 6/8 bar holds two dotted beats.
    int g = tempo.meter.label == "6/8" ? 2 : tempo.meter.group == 3 && tempo.meter.contrast > 0.45 ? 3 : 4;
    if (beatsPerBar && *beatsPerBar >= 1) g = *beatsPerBar;
    grid.beatsPerBar = g;
    const double used = bpm.value_or(tempo.bpm);

    const auto fallback = [&] {
        grid.bpm = TempoAnalyzer::usableTempo(used) ? used : 0.0;
        grid.steady = false;
        grid.beats.clear();
        grid.downbeats = {0.0};
        grid.downbeatConfidence = 0;
        grid.grooveStart = 0;
        grid.attackShift = 0;
        return grid;
    };
    // A tempo of zero, below zero, not finite or absurdly large gives no
    // beats to step by: nothing to build on.
    if (!TempoAnalyzer::usableTempo(used) || !std::isfinite(duration)) return fallback();

    const SteadyFit fit = steadyFit(tempo.envFull, used);
    if (fit.ok) {
        const double attack = attackOffset(mono22k, fit.period, fit.phase, tempo.envFull);
        double start = std::fmod(fit.phase + attack, fit.period);
        if (start < 0) start += fit.period;
        for (long k = 0;; ++k) {
            const double t = start + double(k) * fit.period;
            if (!(t < duration)) break;
            grid.beats.push_back(t);
        }
        if (grid.beats.empty()) return fallback();
        grid.bpm = 60.0 / fit.period;
        // The accents are read from the onset envelopes, whose peaks lie
        // where the grid stood before the attack shift moved it onto the
        // audible attacks: look them up there. A first beat whose envelope
        // position falls before the envelope's start has no accent to read
        // (clamping it to the first value would count it as unaccented), so
        // it is left out of the vote.
        std::vector<double> unshifted;
        size_t skipped = 0;
        for (double b : grid.beats) {
            if (b - attack < 0 && unshifted.empty()) {
                ++skipped;
                continue;
            }
            unshifted.push_back(b - attack);
        }
        const int off = int((size_t(downbeatOffset(unshifted, tempo.envLow, tempo.envFull, g)) + skipped) % size_t(g));
        double first = grid.beats[std::min<size_t>(size_t(off), grid.beats.size() - 1)];
        const double bar = (60.0 / grid.bpm) * g;
        while (first - bar >= -0.06) first -= bar;
        // A bar line in the file's last 50 ms (the very end of the signal,
        // as a loop's seam counts it) starts no bar: it is the end of the
        // last one, placed a few milliseconds early by the grid's own
        // precision, and would leave a bar too short to hold anything.
        for (long k = 0;; ++k) {
            const double t = first + double(k) * bar;
            if (!(t < duration - kEndOfSignal)) break;
            grid.downbeats.push_back(k == 0 ? std::max(t, 0.0) : t);
        }
        grid.steady = true;
        grid.attackShift = attack;
    } else {
        std::vector<double> beats =
            bpm ? TempoAnalyzer::trackBeats(tempo.envFull, {}, *bpm).beats : tempo.beats;
        if (beats.empty()) return fallback();
        grid.beats = std::move(beats);
        const int off = downbeatOffset(grid.beats, tempo.envLow, tempo.envFull, g);
        for (size_t j = size_t(off); j < grid.beats.size(); j += size_t(g)) grid.downbeats.push_back(grid.beats[j]);
        grid.steady = false;
        grid.attackShift = 0;
        grid.bpm = used;
    }
    const auto det = DownbeatDetector::detect(mono22k, TempoAnalyzer::analysisRate, grid.bpm, g);
    grid.downbeatConfidence = det.confidence;
    grid.grooveStart = det.grooveStart;
    return grid;
}

}  // namespace GridBuilder

namespace DownbeatDetector {

Result detect(const std::vector<float>& x, double sampleRate, double bpm, int beatsPerBar) {
    if (!(bpm > 0) || x.empty() || !TempoAnalyzer::usableTempo(bpm) || beatsPerBar < 1 || !(sampleRate > 0) ||
        !std::isfinite(sampleRate))
        return {};
    const long count = long(x.size());
    const long h = std::max(long(sampleRate * 0.005), 1L);
    const double dt = double(h) / sampleRate;
    const long F = (count - 2 * h) / h;
    if (F <= 7) return {};

    std::vector<double> o(F);
    double prev = 0, maxO = 0;
    for (long i = 0; i < F; ++i) {
        const double r = Signal::rms(x, i * h, std::min(i * h + 2 * h, count));
        o[i] = std::max(0.0, r - prev);
        prev = r;
        maxO = std::max(maxO, o[i]);
    }
    if (maxO <= 1e-9) return {};

    const double b = 60.0 / bpm;
    const double bar = b * beatsPerBar;
    const auto frames = [&](double sec) { return long(std::min(sec / dt, double(F) + 1)); };
    const long L1 = std::max(frames(b), 1L);
    const long Lbar = frames(bar);
    const long W = std::max(L1, Lbar);

    // Running sums of the lagged products, so each frame's windowed
    // correlation costs constant time. Onsets past the end count 0.
    const auto oAt = [&](long i) { return i < F ? o[i] : 0.0; };
    std::vector<double> sx(F + 1, 0), s1(F + 1, 0), s2(F + 1, 0);
    for (long i = 0; i < F; ++i) {
        sx[i + 1] = sx[i] + o[i] * oAt(i + L1);
        s1[i + 1] = s1[i] + o[i] * o[i];
        s2[i + 1] = s2[i] + oAt(i + L1) * oAt(i + L1);
    }
    std::vector<double> c(F, 0), w(F, 0);
    for (long i = 0; i < F; ++i) {
        const long lo = std::max(i - W, 0L), hi = std::min(i + W, F - L1);
        if (lo <= hi) {
            const double cross = sx[hi + 1] - sx[lo];
            const double e1 = s1[hi + 1] - s1[lo], e2 = s2[hi + 1] - s2[lo];
            if (e1 > 1e-12 && e2 > 1e-12) c[i] = std::max(0.0, cross / std::sqrt(e1 * e2));
        }
        w[i] = o[i] * c[i];
    }

    const double end = double(F) * dt;
    const auto seriesScore = [&](double phase, double step) {
        double s = 0;
        for (long k = 0;; ++k) {
            const double t = phase + double(k) * step;
            if (!(t < end)) break;
            const long r = std::lround(t / dt);
            const auto at = [&](long i) { return w[std::clamp(i, 0L, F - 1)]; };
            s += std::max({0.0, at(r - 1), at(r), at(r + 1)});
        }
        return s;
    };

    Result res;
    double best = -1, phase = 0, total = 0;
    for (int u = 0; u < 64; ++u) {
        const double ph = b * u / 64;
        const double s = seriesScore(ph, b);
        total += s;
        if (s > best) {
            best = s;
            phase = ph;
        }
    }
    res.confidence = best <= 1e-9 ? 0.0 : std::clamp(best / std::max(total / 64, 1e-9) - 1, 0.0, 1.0);
    for (int j = -8; j <= 8; ++j) {
        const double ph = phase + (b / 64) * j / 8;
        if (ph < 0 || ph >= b) continue;
        const double s = seriesScore(ph, b);
        if (s > best) {
            best = s;
            phase = ph;
        }
    }

    double barBest = -1;
    int bestK = 0;
    for (int k = 0; k < beatsPerBar; ++k) {
        const double s = seriesScore(std::fmod(phase + k * b, bar), bar);
        if (s > barBest) {
            barBest = s;
            bestK = k;
        }
    }
    res.phase = std::fmod(phase + bestK * b, bar);

    // Groove start: the first frame of a run of at least one bar of beat
    // periodicity that begins near a real onset.
    const long need = std::max(Lbar, 1L);
    std::vector<long> run(F + 1, 0);
    for (long i = F - 1; i >= 0; --i) run[i] = c[i] >= 0.5 ? run[i + 1] + 1 : 0;
    for (long i = 0; i < F; ++i) {
        if (run[i] < need) continue;
        double peak = 0;
        for (long j = std::max(i - L1, 0L), e = std::min(i + L1, F - 1); j <= e; ++j) peak = std::max(peak, o[j]);
        if (peak >= 0.15 * maxO) {
            res.grooveStart = double(i) * dt;
            break;
        }
    }
    return res;
}

}  // namespace DownbeatDetector

}  // namespace qm

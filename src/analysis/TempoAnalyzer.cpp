#include "analysis/TempoAnalyzer.h"

#include "analysis/Signal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

namespace qm::TempoAnalyzer {

namespace {

constexpr int frameSize = 1024;
constexpr int hop = 256;
constexpr int bins = frameSize / 2 + 1;
constexpr int anyBandBins = 512;  // bins below 11 025 Hz
constexpr int lowBins = 12;       // bins below 250 Hz
constexpr int bassBins = 6;       // bins below 130 Hz

double roundTo(double v, double steps) { return std::round(v * steps) / steps; }

// Smooths with [0.25, 0.5, 0.25], values outside the array counting 0.
std::vector<float> smooth(const std::vector<float>& x) {
    const size_t n = x.size();
    std::vector<float> y(n);
    for (size_t i = 0; i < n; ++i) {
        const float a = i > 0 ? x[i - 1] : 0.0f;
        const float c = i + 1 < n ? x[i + 1] : 0.0f;
        y[i] = 0.25f * a + 0.5f * x[i] + 0.25f * c;
    }
    return y;
}

void normalize(std::vector<float>& x) {
    if (x.empty()) return;
    const float m = *std::max_element(x.begin(), x.end());
    const float d = m + 1e-9f;
    for (float& v : x) v /= d;
}

// Weighted mean of acn at 1, 2, 3 and 4 times the lag.
double harmonicScore(const std::vector<float>& acn, long lag, long limit) {
    static constexpr double weights[4] = {1.0, 0.6, 0.3, 0.4};
    double sum = 0, wsum = 0;
    for (int m = 1; m <= 4; ++m) {
        const long idx = lag * m;
        if (idx < limit && idx < long(acn.size())) {
            sum += acn[idx] * weights[m - 1];
            wsum += weights[m - 1];
        }
    }
    return wsum > 0 ? sum / wsum : 0;
}

// Parabolic interpolation of a peak of acn at lag L.
double refine(const std::vector<float>& acn, long L) {
    if (L <= 0 || L >= long(acn.size()) - 1) return double(L);
    const double a = acn[L - 1], b = acn[L], c = acn[L + 1];
    const double den = a - 2 * b + c;
    if (den == 0) return double(L);
    return double(L) + std::clamp((a - c) / (2 * den), -0.5, 0.5);
}

// Truncates a non-negative lag given in envelope values, capped so that
// absurd tempi cannot overflow the conversion.
long lagOf(double values, long cap) {
    if (!(values > 0)) return 0;
    return long(std::min(values, double(cap)));
}

// The accent of the envelope pair around a (fractional) position: the
// largest of the three nearest values, the low band weighing most, as the
// meter hears it.
double accentNear(const std::vector<float>& low, const std::vector<float>& full, double pos, double lowWeight = 0.65) {
    const long n = long(std::min(low.size(), full.size()));
    const long c = std::lround(pos);
    double best = 0;
    for (long i = c - 1; i <= c + 1; ++i)
        if (i >= 0 && i < n) best = std::max(best, lowWeight * low[i] + (1 - lowWeight) * full[i]);
    return best;
}

}  // namespace

PulseProfile pulseProfile(const std::vector<float>& low, const std::vector<float>& full, double bpm, int steps,
                          double lowWeight) {
    PulseProfile out;
    const long n = long(std::min(low.size(), full.size()));
    if (!usableTempo(bpm) || n < 8 || steps < 1) return out;
    const double P = envelopePerMinute / bpm;
    // Window by window (at least eight beats and six seconds), each with
    // the phase whose beats carry the most accent there: a tempo a little
    // off, a drifting performance or an edit would smear one phase for the
    // whole piece.
    const double window = std::max(8 * P, 6 * envelopeRate);
    out.at.assign(size_t(steps), 0.0);
    for (double start = 0; start < double(n); start += window) {
        const double end = std::min(start + window, double(n));
        double bestSum = -1, phase = start;
        for (int u = 0; u < 48; ++u) {
            const double ph = start + P * u / 48;
            double sum = 0;
            for (double pos = ph; pos < end; pos += P) sum += accentNear(low, full, pos, lowWeight);
            if (sum > bestSum) bestSum = sum, phase = ph;
        }
        if (out.beats == 0) out.phase = phase;
        for (double pos = phase; pos + P < end; pos += P, ++out.beats)
            for (int f = 0; f < steps; ++f) out.at[size_t(f)] += accentNear(low, full, pos + P * f / steps, lowWeight);
    }
    if (out.beats > 0)
        for (double& v : out.at) v /= double(out.beats);
    return out;
}

bool usableTempo(double bpm) { return std::isfinite(bpm) && bpm >= 1.0 && bpm <= 5000.0; }

Envelopes envelopes(const std::vector<float>& x) {
    const long count = long(x.size());
    if (count < frameSize + 3 * hop) return {};
    const long F = (count - frameSize) / hop;
    const std::vector<float> window = Signal::hanning(frameSize);
    RealFFT fft(frameSize);
    std::vector<float> frame(frameSize), mags(bins), cur(bins), prev(bins);
    Envelopes env;
    env.full.resize(F - 1);
    env.low.resize(F - 1);
    env.bass.resize(F - 1);
    for (long i = 0; i < F; ++i) {
        const float* src = x.data() + i * hop;
        for (int j = 0; j < frameSize; ++j) frame[j] = src[j] * window[j];
        fft.magnitudes(frame.data(), mags.data());
        for (int k = 0; k < bins; ++k) cur[k] = std::log(1.0f + 50.0f * mags[k]);
        if (i > 0) {
            // The bands nest; above the low band the rises are summed four
            // bins at a time, in four running sums.
            const auto rise = [&](int k) { return double(std::max(0.0f, cur[k] - prev[k])); };
            double full = 0, low = 0, bass = 0;
            int k = 0;
            for (; k < bassBins; ++k) {
                const double d = rise(k);
                full += d;
                low += d;
                bass += d;
            }
            for (; k < lowBins; ++k) {
                const double d = rise(k);
                full += d;
                low += d;
            }
            using Floats = float __attribute__((vector_size(16)));
            using Doubles = double __attribute__((vector_size(32)));
            Doubles above{};
            for (; k + 4 <= anyBandBins; k += 4) {
                Floats c, p;
                std::memcpy(&c, cur.data() + k, sizeof c);
                std::memcpy(&p, prev.data() + k, sizeof p);
                const Floats d = c - p;
                above += __builtin_convertvector(d > 0 ? d : Floats{}, Doubles);
            }
            full += (above[0] + above[1]) + (above[2] + above[3]);
            for (; k < anyBandBins; ++k) full += rise(k);
            env.full[i - 1] = float(full);
            env.low[i - 1] = float(low);
            env.bass[i - 1] = float(bass);
        }
        std::swap(cur, prev);
    }
    env.full = smooth(env.full);
    env.low = smooth(env.low);
    env.bass = smooth(env.bass);
    normalize(env.full);
    normalize(env.low);
    normalize(env.bass);
    return env;
}

std::vector<TempoResult::Candidate> candidates(const std::vector<float>& env, double lo, double hi,
                                               std::optional<double> center) {
    const long n = long(env.size());
    if (n < 9) return {};
    if (!(lo > 0) || !(hi > 0) || !std::isfinite(lo) || !std::isfinite(hi)) return {};
    const double c0 = center && *center > 0 && std::isfinite(*center) ? *center : 120.0;

    const double mean = std::accumulate(env.begin(), env.end(), 0.0) / double(n);
    std::vector<float> e(n);
    for (long i = 0; i < n; ++i) e[i] = float(env[i] - mean);

    const long minLag = lagOf(envelopePerMinute / hi, n);
    const long maxLag = lagOf(envelopePerMinute / lo, n);
    std::vector<float> acn = Signal::autocorrelation(e, std::min(4 * maxLag + 4, n));
    // A flat envelope (silence, or a constant) has no periodicity at all;
    // without this every lag would count as a plateau peak and silence
    // would get a tempo.
    if (!(acn[0] > 0)) return {};
    const double ac0 = double(acn[0]) + 1e-9;
    for (float& v : acn) v = float(v / ac0);

    const long lagLo = std::max(minLag, 2L);
    const long lagHi = std::min(n - 5, maxLag);
    if (lagLo + 2 >= lagHi) return {};
    std::vector<double> hs(lagHi - lagLo);
    for (long L = lagLo; L < lagHi; ++L) hs[L - lagLo] = harmonicScore(acn, L, n);

    std::vector<TempoResult::Candidate> kept;
    for (long L = lagLo + 1; L < lagHi - 1; ++L) {
        const double s = hs[L - lagLo];
        if (s < hs[L - lagLo - 1] || s < hs[L - lagLo + 1]) continue;
        const double bpm = envelopePerMinute / refine(acn, L);
        const bool near = std::any_of(kept.begin(), kept.end(), [&](const TempoResult::Candidate& c) {
            return std::fabs(bpm - c.bpm) / bpm <= 0.03;
        });
        if (near) continue;
        const double z = std::log2(bpm / c0) / 1.2;
        kept.push_back({bpm, s, s * std::exp(-0.5 * z * z)});
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const auto& a, const auto& b) { return a.ranked > b.ranked; });
    if (kept.size() > 12) kept.resize(12);
    return kept;
}

std::vector<LocalTempo> tempoMap(const std::vector<float>& env, double bpm, double winSec, double hopSec) {
    const long n = long(env.size());
    const long W = lagOf(winSec * envelopeRate, n + 1);
    const long H = lagOf(hopSec * envelopeRate, n + 1);
    if (W < 1 || H < 1 || !usableTempo(bpm)) return {};
    std::vector<LocalTempo> map;
    for (long s = 0; s < std::max(n - W, 1L); s += H) {
        const long end = std::min(s + W, n);
        std::vector<float> win(env.begin() + s, env.begin() + end);
        const double m = std::accumulate(win.begin(), win.end(), 0.0) / double(win.size());
        double var = 0;
        for (float v : win) var += (v - m) * (v - m);
        if (std::sqrt(var / double(win.size())) < 0.0001) continue;
        const auto c = candidates(win, bpm / 1.3, bpm * 1.3, bpm);
        if (!c.empty()) map.push_back({winSec / 2 + double(s) / envelopeRate, c[0].bpm, c[0].score});
    }
    return map;
}

double localTempo(const std::vector<LocalTempo>& map, double bpm, double t) {
    if (map.size() < 2) return bpm;
    if (t <= map.front().t) return map.front().bpm;
    if (t >= map.back().t) return map.back().bpm;
    for (size_t i = 1; i < map.size(); ++i) {
        if (map[i].t >= t) {
            const auto& a = map[i - 1];
            const auto& b = map[i];
            const double span = b.t - a.t;
            if (span <= 0) return b.bpm;
            return a.bpm + (b.bpm - a.bpm) * (t - a.t) / span;
        }
    }
    return map.back().bpm;
}

TrackedBeats trackBeats(const std::vector<float>& env, const std::vector<LocalTempo>& map, double bpm) {
    const long n = long(env.size());
    if (n < 3) return {};
    const double t0 = localTempo(map, bpm, 0);
    if (!usableTempo(t0)) return {};
    const double P0 = envelopePerMinute / t0;
    // Phases past the envelope's end average 0 and can never win.
    const long phases = std::max(std::min(long(P0), n), 1L);

    double best = -1;
    long bestPhase = 0;
    for (long ph = 0; ph < phases; ++ph) {
        double sum = 0;
        int taken = 0;
        for (int k = 0; k < 16; ++k) {
            const long pos = long(double(ph) + k * P0);
            if (pos < n) {
                sum += env[pos];
                ++taken;
            }
        }
        const double avg = taken ? sum / taken : 0;
        if (avg > best) {
            best = avg;
            bestPhase = ph;
        }
    }

    double p = double(bestPhase);
    if (p >= double(n - 1)) return {};
    TrackedBeats out;
    long snaps = 0;
    while (p < double(n - 1)) {
        const double tempo = localTempo(map, bpm, p / envelopeRate);
        if (!usableTempo(tempo)) break;
        const double P = envelopePerMinute / tempo;
        const double r = double(lagOf(P * 0.12, n));
        const long lo = long(std::max(p - r, 0.0));
        const long hi = long(std::min(p + r, double(n - 1)));
        long bestPos = long(p);
        if (lo < hi) {
            bestPos = lo;
            for (long i = lo + 1; i <= hi; ++i)
                if (env[i] > env[bestPos]) bestPos = i;
        }
        if (env[bestPos] > 0.08f) {
            ++snaps;
            p = double(bestPos);
        }
        out.beats.push_back(p / envelopeRate);
        p += P;
    }
    out.snapped = double(snaps) / double(std::max<size_t>(out.beats.size(), 1));
    return out;
}

TempoResult::Meter chooseMeter(const std::vector<GroupScore>& groups) {
    TempoResult::Meter m;
    if (groups.empty()) return m;
    const auto weighted = [](const GroupScore& g) { return g.group == 4 ? g.contrast * 1.08 : g.contrast; };
    GroupScore chosen = groups[0];
    for (size_t i = 1; i < groups.size(); ++i)
        if (weighted(groups[i]) > weighted(chosen)) chosen = groups[i];
    const double c = chosen.contrast;
    m.group = chosen.group;
    m.label = chosen.group == 2 ? "2/4 or cut time" : chosen.group == 3 ? "3/4" : "4/4";
    m.confidence = c > 0.9 ? "strong" : c > 0.45 ? "fair" : "weak — ambiguous";
    m.contrast = roundTo(c, 100);
    m.downbeatOffset = chosen.offset;
    return m;
}

std::vector<GroupScore> groupScores(const std::vector<double>& beats, const std::vector<float>& low,
                                    const std::vector<float>& full) {
    const size_t len = std::min(low.size(), full.size());
    const size_t nb = beats.size();
    if (len == 0 || nb == 0) return {};
    std::vector<double> accent(nb);
    for (size_t j = 0; j < nb; ++j) {
        const double pos = beats[j] * envelopeRate;
        const long i = std::isfinite(pos) ? long(std::clamp(pos, 0.0, double(len - 1))) : 0;
        accent[j] = 0.65 * low[i] + 0.35 * full[i];
    }
    const double mean = std::accumulate(accent.begin(), accent.end(), 0.0) / double(nb);
    double var = 0;
    for (double a : accent) var += (a - mean) * (a - mean);
    const double s = std::sqrt(var / double(nb));

    std::vector<GroupScore> groups;
    for (int g : {2, 3, 4}) {
        if (nb < size_t(3 * g)) continue;
        GroupScore best{g, -1, 0};
        for (int ph = 0; ph < g; ++ph) {
            double on = 0, off = 0;
            size_t nOn = 0, nOff = 0;
            for (size_t j = 0; j < nb; ++j) {
                if (long(j) >= ph && (long(j) - ph) % g == 0) {
                    on += accent[j];
                    ++nOn;
                } else {
                    off += accent[j];
                    ++nOff;
                }
            }
            const double score =
                (on / double(std::max<size_t>(nOn, 1)) - off / double(std::max<size_t>(nOff, 1))) / (s + 1e-9);
            if (score > best.contrast) best = {g, score, ph};
        }
        groups.push_back(best);
    }
    return groups;
}

TempoResult::Meter meter(const std::vector<double>& beats, const std::vector<float>& low,
                         const std::vector<float>& full) {
    const auto groups = groupScores(beats, low, full);
    TempoResult::Meter m = chooseMeter(groups);
    // Accents on every other beat fit bars of two better than bars of four
    // whenever the third beat is about as strong as the first, as a kick on
    // one and three makes it; a bar of four that takes the same accents
    // (0.6 of the contrast is what equal first and third beats leave it)
    // is the usual reading, and two is said only when four is not there.
    if (m.group == 2) {
        for (const GroupScore& g : groups)
            if (g.group == 4 && g.contrast >= 0.6 * m.contrast && g.offset % 2 == m.downbeatOffset)
                m = chooseMeter({g});
    }
    return m;
}

TempoResult::Meter compoundMeter(const std::vector<double>& beats, const std::vector<float>& low,
                                 const std::vector<float>& full, int perBar) {
    const std::string label = perBar == 4 ? "4/4" : "6/8";
    for (const GroupScore& g : groupScores(beats, low, full))
        if (g.group == perBar) {
            TempoResult::Meter m = chooseMeter({g});
            m.label = label;
            return m;
        }
    TempoResult::Meter m;
    m.label = label;
    m.group = perBar;
    return m;
}

double ternaryShare(const std::vector<float>& low, const std::vector<float>& full, double bpm) {
    const PulseProfile p = pulseProfile(low, full, bpm, 12, 0.0);
    if (p.at.size() != 12 || !(p.at[0] > 0)) return 0;
    // Swung eighths land on the second third only: both thirds must sound
    // alike, the weaker at least three fifths of the stronger (with the
    // beat's phase caught on a swung offbeat, the beat itself shows at the
    // first third, and the swung eighths at the second about half as strong).
    const double weaker = std::min(p.at[4], p.at[8]), stronger = std::max(p.at[4], p.at[8]);
    if (weaker < 0.6 * stronger) return 0;
    // And each third is struck, standing above the twelfths beside it: the
    // long decay of a slow beat's notes, or swung eighths smeared by it,
    // leaves a slope there rather than onsets.
    for (size_t k : {size_t(4), size_t(8)})
        if (p.at[k] < minStruckThirdOfBeat * std::max(p.at[k - 1], p.at[k + 1])) return 0;
    return (weaker - p.at[6]) / p.at[0];
}

std::vector<double> harmonyChanges(const std::vector<float>& mono22k, const std::vector<double>& beats, int group) {
    constexpr int size = 2048, step = 2048;
    constexpr double loHz = 190, hiHz = 2000;
    if (group < 1 || beats.size() < size_t(2 * group + 2)) return {};
    const long n = long(mono22k.size());
    const long frames = n >= size ? (n - size) / step + 1 : 0;
    if (frames < 2) return {};
    // Pitch class of every bin in range, once.
    const int loBin = int(std::ceil(loHz * size / analysisRate)), hiBin = int(hiHz * size / analysisRate);
    std::vector<int> pitchClass(size_t(hiBin + 1), 0);
    for (int k = loBin; k <= hiBin; ++k) {
        const long midi = std::lround(12.0 * std::log2(k * analysisRate / size / 440.0) + 69.0);
        pitchClass[size_t(k)] = int(((midi % 12) + 12) % 12);
    }
    // Each beat's pitch classes: the frames whose centre falls in it, the
    // magnitudes compressed so that one loud note does not stand for all.
    const std::vector<float> window = Signal::hanning(size);
    RealFFT fft(size);
    std::vector<float> frame(size), mags(size / 2 + 1);
    std::vector<std::array<double, 12>> perBeat(beats.size() - 1, std::array<double, 12>{});
    size_t b = 0;
    for (long f = 0; f < frames; ++f) {
        const double centre = double(f * step + size / 2) / analysisRate;
        while (b < perBeat.size() && beats[b + 1] <= centre) ++b;
        if (b >= perBeat.size()) break;
        if (centre < beats[b]) continue;
        const float* src = mono22k.data() + f * step;
        for (int i = 0; i < size; ++i) frame[size_t(i)] = src[i] * window[size_t(i)];
        fft.magnitudes(frame.data(), mags.data());
        for (int k = loBin; k <= hiBin; ++k) perBeat[b][size_t(pitchClass[size_t(k)])] += std::sqrt(mags[size_t(k)]);
    }
    // Each side spans half a group, so that a texture that alternates from
    // beat to beat (chords struck on every other beat) is the same on both
    // sides within a bar and only the harmony tells them apart.
    const size_t span = size_t(std::max(group / 2, 1));
    std::vector<double> sum(size_t(group), 0.0);
    std::vector<int> count(size_t(group), 0);
    for (size_t k = span; k + span <= perBeat.size(); ++k) {
        std::array<double, 12> before{}, after{};
        for (size_t j = 0; j < span; ++j)
            for (size_t q = 0; q < 12; ++q) {
                before[q] += perBeat[k - span + j][q];
                after[q] += perBeat[k + j][q];
            }
        double ab = 0, aa = 0, bb = 0;
        for (size_t q = 0; q < 12; ++q) {
            ab += before[q] * after[q];
            aa += before[q] * before[q];
            bb += after[q] * after[q];
        }
        if (!(aa > 0 && bb > 0)) continue;
        sum[k % size_t(group)] += 1 - ab / std::sqrt(aa * bb);
        ++count[k % size_t(group)];
    }
    for (int g = 0; g < group; ++g) {
        if (count[size_t(g)] < 2) return {};
        sum[size_t(g)] /= count[size_t(g)];
    }
    const auto first = size_t(std::max_element(sum.begin(), sum.end()) - sum.begin());
    std::vector<double> out(sum.size());
    for (size_t g = 0; g < sum.size(); ++g) out[g] = sum[(first + g) % sum.size()];
    return out;
}

const std::vector<Relation>& relations() {
    static const std::vector<Relation> table = {
        {0.5, "÷2 half-time"},         {2.0, "×2 double-time"},      {1.5, "×3/2 triplet pulse"},
        {2.0 / 3.0, "×2/3 triplet pulse"}, {4.0 / 3.0, "×4/3 dotted groove"}, {0.75, "×3/4 dotted groove"},
    };
    return table;
}

std::vector<TempoResult::Alternative> alternatives(double bpm, const std::vector<TempoResult::Candidate>& cands) {
    std::vector<TempoResult::Alternative> out;
    for (const auto& row : relations()) {
        const double a = bpm * row.factor;
        if (!(a >= 30 && a <= 240)) continue;
        const TempoResult::Candidate* nearest = nullptr;
        for (const auto& c : cands)
            if (!nearest || std::fabs(c.bpm - a) < std::fabs(nearest->bpm - a)) nearest = &c;
        const double support = nearest && std::fabs(nearest->bpm - a) / a < 0.03 ? nearest->score : 0.0;
        out.push_back({roundTo(a, 100), row.relation, support});
    }
    return out;
}

std::optional<double> twin(const std::vector<TempoResult::Candidate>& cands) {
    if (cands.size() >= 2 && cands[1].ranked >= 0.92 * cands[0].ranked) return cands[1].bpm;
    return std::nullopt;
}

Drift drift(const std::vector<double>& localTempi, double bpm) {
    std::vector<double> v = localTempi.empty() ? std::vector<double>{bpm} : localTempi;
    std::sort(v.begin(), v.end());
    const double median = v[v.size() / 2];
    const double spread = median != 0 ? (v.back() - v.front()) / median : 0.0;
    Drift d;
    d.drift = spread < 0.015 ? "STEADY" : spread < 0.04 ? "BREATHING" : "RUBATO";
    d.spreadPct = spread * 100;
    return d;
}

bool audible(const std::vector<float>& mono22k) {
    // The loudest second, in steps of a quarter second: the energy of each
    // quarter once, then four of them at a time.
    const long n = long(mono22k.size()), quarter = long(analysisRate) / 4;
    std::vector<double> energy;
    for (long s = 0; s < n; s += quarter) {
        const long end = std::min(s + quarter, n);
        const double r = Signal::rms(mono22k, s, end);
        energy.push_back(r * r * double(end - s));
    }
    double loudest = 0;
    for (size_t k = 0; k < energy.size(); ++k) {
        double e = 0;
        for (size_t q = k; q < std::min(k + 4, energy.size()); ++q) e += energy[q];
        const long span = std::min(4 * quarter, n - long(k) * quarter);
        loudest = std::max(loudest, e / double(std::max(span, 1L)));
        if (k + 4 >= energy.size()) break;
    }
    return std::sqrt(loudest) >= quietRms;
}

bool struck(const PulseProfile& p, double peak) {
    if (p.at.empty()) return false;
    const double mean = std::accumulate(p.at.begin(), p.at.end(), 0.0) / double(p.at.size());
    return p.at[0] >= peak * mean && p.at[0] > 0;
}

// Onsets against the level they rise from, so that swells and sustained
// notes add nothing.
std::vector<float> aboveLocalLevel(const std::vector<float>& env) {
    const long n = long(env.size()), half = long(envelopeRate / 4);
    std::vector<double> prefix(size_t(n) + 1, 0.0);
    for (long i = 0; i < n; ++i) prefix[size_t(i + 1)] = prefix[size_t(i)] + env[size_t(i)];
    std::vector<float> out(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        const long a = std::max(i - half, 0L), b = std::min(i + half + 1, n);
        const double mean = (prefix[size_t(b)] - prefix[size_t(a)]) / double(b - a);
        out[size_t(i)] = float(std::max(0.0, double(env[size_t(i)]) - mean));
    }
    normalize(out);
    return out;
}

bool sparsePulse(const std::vector<TempoResult::Candidate>& plain, const std::vector<TempoResult::Candidate>& cands,
                 const Envelopes& attacks) {
    if (cands.empty()) return false;
    const PulseProfile beat = pulseProfile(attacks.low, attacks.full, cands[0].bpm, 6);
    if (cands[0].score >= minSparsePulseScore && cands[0].bpm >= 40 && struck(beat, minSparseBeatPeak)) return true;
    if (plain.empty() || plain[0].score < minSwellPulseScore) return false;
    static constexpr double octaves[] = {0.5, 1.0, 2.0};
    const double ratio = cands[0].bpm / plain[0].bpm;
    return std::any_of(std::begin(octaves), std::end(octaves),
                       [&](double k) { return std::fabs(ratio - k) <= 0.03 * k; }) &&
           struck(beat, minSwellBeatPeak);
}

bool periodic(const TempoResult::Candidate& best) {
    return best.score >= minPulseScore && (best.bpm >= 40 || best.score >= minSlowPulseScore);
}

namespace {

// The candidate within 3 % of a tempo, if any.
std::optional<size_t> candidateNear(const std::vector<TempoResult::Candidate>& cands, double bpm) {
    std::optional<size_t> found;
    for (size_t i = 0; i < cands.size(); ++i)
        if (std::fabs(cands[i].bpm - bpm) / bpm <= 0.03 &&
            (!found || std::fabs(cands[i].bpm - bpm) < std::fabs(cands[*found].bpm - bpm)))
            found = i;
    return found;
}

// Whether fast beats in threes are the eighths of 6/8: the bars of three
// pair up as the two dotted beats of 6/8 do, the second struck in the full
// band but far lighter below 250 Hz (a snare after a kick), where the bars
// of a fast 3/4 are alike.
bool eighthsOfCompound(const Envelopes& env, double bpm) {
    if (bpm < minCompoundEighths) return false;
    const PulseProfile low = pulseProfile(env.low, env.full, bpm / 6, 6, 1.0);
    const PulseProfile full = pulseProfile(env.low, env.full, bpm / 6, 6, 0.0);
    return low.at.size() == 6 && full.at.size() == 6 && low.at[3] < maxBackbeatLow * low.at[0] &&
           full.at[3] > minBackbeatFull * full.at[0];
}

// Whether each half of the beat carries swung eighths: onsets a third and
// five sixths into the beat (the second eighth of each half, delayed to a
// triplet's place) where straight eighths of the halves would not sound.
// Swing belongs to the eighths of the counted beat, so the halves are the
// beats.
bool swungHalves(const Envelopes& env, double bpm) {
    const PulseProfile p = pulseProfile(env.low, env.full, bpm, 12, 0.0);
    if (p.at.size() != 12 || !(p.at[0] > 0)) return false;
    const double swung = p.at[4] + p.at[10], straight = p.at[3] + p.at[9];
    return std::min(p.at[4], p.at[10]) >= minSwungShare * p.at[0] && swung >= 1.5 * straight;
}

// Whether the pulse a musician counts is half a tempo of 100 to 200 BPM
// whose beats are not divided in three: at half the tempo, either the
// beats are a backbeat (a kick and a snare taking turns, alike in the full
// band but the second far lighter below 250 Hz) while every other beat of
// the faster tempo has next to nothing below 250 Hz (only the hi-hat's
// eighths), or the beats fall plainly in threes, which the faster tempo's
// bars of two or four cannot hold.
bool halfIsTheBeat(const Envelopes& env, double bpm) {
    // Beats divided in three are dotted beats already.
    if (bpm < 100 || bpm > 200 || ternaryShare(env.low, env.full, bpm) > minTernaryShare) return false;
    const double half = bpm / 2;
    const PulseProfile low = pulseProfile(env.low, env.full, half, 6, 1.0);
    const PulseProfile lowPair = pulseProfile(env.low, env.full, half / 2, 12, 1.0);
    const PulseProfile fullPair = pulseProfile(env.low, env.full, half / 2, 12, 0.0);
    if (low.at.size() != 6 || lowPair.at.size() != 12 || fullPair.at.size() != 12) return false;
    const bool lightOffbeats = low.at[3] < maxOffbeatLow * low.at[0];
    const bool lightSecond = lowPair.at[6] < maxBackbeatLow * lowPair.at[0];
    const bool backbeat = lightSecond && fullPair.at[6] > minBackbeatFull * fullPair.at[0];
    if (lightOffbeats && backbeat) return true;
    // Chords or bass between the beats of the half tempo hide the light
    // offbeats; the backbeat still tells, when the faster tempo's second
    // and fourth beats are plainly weaker than its third, where the snare
    // sounds: a fast backbeat puts the snare on the second and fourth.
    const double betweenBeats = std::max(fullPair.at[3], fullPair.at[9]);
    if (lightSecond && fullPair.at[6] >= minStruckThird * fullPair.at[0] &&
        betweenBeats < maxBetweenBackbeats * fullPair.at[6])
        return true;
    double two = 0, three = 0, four = 0;
    for (const GroupScore& g : groupScores(trackBeats(env.full, {}, half).beats, env.low, env.full))
        (g.group == 2 ? two : g.group == 3 ? three : four) = g.contrast;
    return three >= minThreeContrast && three >= 1.5 * std::max(two, four);
}

// Whether beats divided in three are the bars of a fast 3/4 rather than the
// dotted beats of 6/8: two dotted beats make a bar, the second lighter in
// the bass than the first (a kick and a snare, the root and a softer
// fifth) and sharing its chord, where the bars of a waltz are alike in the
// bass and each brings its chord.
bool barsOfThree(const std::vector<float>& mono22k, const Envelopes& env, const std::vector<double>& beats,
                 double bpm) {
    if (!(3 * bpm <= maxWaltz)) return false;
    const PulseProfile pair = pulseProfile(env.low, env.full, bpm / 2, 12, 1.0);
    if (pair.at.size() != 12 || !(pair.at[6] >= minAlikeBars * pair.at[0])) return false;
    const std::vector<double> h = harmonyChanges(mono22k, beats, 2);
    return h.size() == 2 && h[0] >= minHarmonyChange && h[1] >= minEveryBarHarmony * h[0];
}

// Whether a tempo of bars of two or four is half the pulse: below 100 BPM,
// the bass sounds on every beat and the chords change on the first and
// third beats of four alike, as they do on every bar line of the faster
// tempo. The bass is read below 130 Hz, under the chords' low notes that
// would sound on every beat. A beat whose onsets two thirds in match those
// at its midpoint (swung eighths, a shuffle's or a 6/8's last eighth) is
// not two beats: a beat of the faster tempo would outweigh them there.
bool doubleIsTheBeat(const std::vector<float>& mono22k, const Envelopes& env, const std::vector<double>& beats,
                     double bpm) {
    if (bpm >= 100 || 2 * bpm > 200) return false;
    const PulseProfile beat = pulseProfile(env.low, env.full, bpm, 6);
    if (beat.at.size() == 6 && beat.at[4] > maxThirdsOverMidpoint * beat.at[3]) return false;
    const PulseProfile pair = pulseProfile(env.bass, env.full, bpm / 2, 12, 1.0);
    if (pair.at.size() != 12 || !(pair.at[6] >= minEveryBeatBass * pair.at[0])) return false;
    const std::vector<double> h = harmonyChanges(mono22k, beats, 4);
    return h.size() == 4 && h[0] >= minHarmonyChange && h[2] >= minHalfBarHarmony * h[0];
}

// Whether dotted beats group in fours: see maxLoneBass and minHalfBarHarmony.
bool barsOfFourDotted(const std::vector<float>& mono22k, const Envelopes& env, const std::vector<double>& beats,
                      double bpm) {
    const PulseProfile pair = pulseProfile(env.bass, env.full, bpm / 2, 12, 1.0);
    if (pair.at.size() != 12 || !(pair.at[6] < maxLoneBass * pair.at[0])) return false;
    const std::vector<double> h = harmonyChanges(mono22k, beats, 4);
    return h.size() == 4 && h[0] >= minHarmonyChange && h[2] < minHalfBarHarmony * h[0];
}

// Whether a tempo of minSlowHarmonyHalf to 200 BPM in bars of two or four
// is twice the pulse: the bass sounds once in four beats and the chords
// change once in eight, on the bar lines of the slower tempo only; or the
// bass is all but gone from the third of four beats and every second beat
// is light, and the chords may change on the slower tempo's half bars too.
bool halfOfBassAndHarmony(const std::vector<float>& mono22k, const Envelopes& env,
                          const std::vector<double>& beats, double bpm) {
    if (bpm < minSlowHarmonyHalf || bpm > 200) return false;
    const PulseProfile four = pulseProfile(env.low, env.full, bpm / 4, 12, 1.0);
    if (four.at.size() != 12 || !(four.at[6] < maxOncePerFourBass * four.at[0])) return false;
    const std::vector<double> h = harmonyChanges(mono22k, beats, 8);
    if (h.size() != 8 || !(h[0] >= minHarmonyChange)) return false;
    if (h[4] < minHalfBarHarmony * h[0]) return true;
    const PulseProfile pair = pulseProfile(env.low, env.full, bpm / 2, 12, 0.0);
    return four.at[6] < maxLoneBass * four.at[0] && pair.at.size() == 12 &&
           pair.at[6] < maxLightSecond * pair.at[0];
}

}  // namespace

std::optional<TempoResult> analyze(const std::vector<float>& mono22k, std::optional<double> hint,
                                   std::optional<std::pair<double, double>> range) {
    Envelopes env = envelopes(mono22k);
    if (env.full.empty() || !audible(mono22k)) return std::nullopt;
    const auto bounds = range.value_or(std::pair{30.0, 240.0});
    double lo = bounds.first, hi = bounds.second;
    if (hint && !(*hint > 0 && std::isfinite(*hint))) hint.reset();
    if (hint) {
        lo = std::max(*hint / 1.35, lo);
        hi = std::min(*hint * 1.35, hi);
    }
    auto cands = candidates(env.full, lo, hi, hint);
    const auto pulse = [&](const std::vector<TempoResult::Candidate>& c, const Envelopes& e) {
        return !c.empty() && periodic(c[0]) && struck(pulseProfile(e.low, e.full, c[0].bpm, 6));
    };
    if (!pulse(cands, env)) {
        // Sparse music (chords every half bar, legato strings changing on
        // the beat, a bass alone) has its attacks on swells that recur at
        // every short lag: measured against the level around them, they
        // are a pulse.
        Envelopes attacks{aboveLocalLevel(env.full), aboveLocalLevel(env.low), aboveLocalLevel(env.bass)};
        // Sustained notes leave only a weak recurrence there, but beats far
        // above the mean accent, which the chance peaks of a pad's swells
        // never are.
        auto found = candidates(attacks.full, lo, hi, hint);
        if (!pulse(found, attacks) && !sparsePulse(cands, found, attacks)) return std::nullopt;
        env = std::move(attacks);
        cands = std::move(found);
    }

    // The chosen candidate goes first; the rest keep their ranking, so the
    // one it displaced is the twin when its rank is close.
    const auto choose = [&](double bpm) {
        const auto i = candidateNear(cands, bpm);
        if (!i || bpm < lo || bpm > hi) return false;
        std::rotate(cands.begin(), cands.begin() + std::ptrdiff_t(*i), cands.begin() + std::ptrdiff_t(*i) + 1);
        return true;
    };
    // A double told by the bass and the harmony must be a periodicity of
    // its own, a candidate within 1.5 % of it: a 6/8 read in dotted beats
    // shows one a few percent off the double, which its eighths do not keep.
    const auto chooseExact = [&](double bpm) {
        const auto i = candidateNear(cands, bpm);
        return i && std::fabs(cands[*i].bpm - bpm) <= 0.015 * bpm && choose(bpm);
    };
    // Bars folded over three beats with an accent halfway through (between
    // the second and third beats) stronger than the beats beside it, but
    // weaker than the first, are two dotted beats of 6/8 read as three
    // quarter notes.
    const auto dottedPair = [&](double bpm) {
        const PulseProfile bar = pulseProfile(env.low, env.full, bpm / 3, 6);
        return bar.at.size() == 6 && bar.at[3] < 0.85 * bar.at[0] &&
               bar.at[3] > 1.2 * std::max(bar.at[2], bar.at[4]);
    };
    const bool dotted = dottedPair(cands[0].bpm);
    // A beat whose midpoints carry as much accent as the beat itself is
    // half the pulse (the autocorrelation favours the slower lag when the
    // bars repeat); up to 200 BPM the faster one is the beat a musician
    // counts. Below 100 BPM half the beat's accent is enough: a snare
    // between the kicks (heard in the low band too, unlike a hi-hat's
    // eighths) marks beats two and four of the faster tempo.
    if (!dotted) {
        const double bpm = cands[0].bpm;
        const PulseProfile p = pulseProfile(env.low, env.full, bpm, 6);
        const double needed = bpm < 100 ? 0.5 : 0.85;
        if (p.at.size() == 6 && (p.at[3] >= needed * p.at[0] || (bpm < 100 && swungHalves(env, bpm))) &&
            2 * bpm <= 200)
            choose(2 * bpm);
    }

    TempoResult r;
    std::vector<LocalTempo> map;
    const auto follow = [&] {
        r.bpm = cands[0].bpm;
        r.score = cands[0].score;
        map = tempoMap(env.full, r.bpm, 8, 2);
        TrackedBeats tb = trackBeats(env.full, map, r.bpm);
        r.beats = std::move(tb.beats);
        r.snappedPct = tb.snapped * 100;
        r.meter = meter(r.beats, env.low, env.full);
    };
    follow();
    bool compound = false;
    if (dotted) {
        if (choose(r.bpm * 2 / 3)) {
            follow();
            compound = true;
        }
    } else if (ternaryShare(env.low, env.full, r.bpm) > minTernaryShare &&
               barsOfThree(mono22k, env, r.beats, r.bpm) && choose(3 * r.bpm)) {
        // Beats in three that are each a whole bar (alike in the bass, the
        // chords changing on every one) are the bars of a fast 3/4.
        follow();
    } else if (r.meter.group == 3) {
        // Three beats whose bar halves are alike are two bars of a faster three.
        const PulseProfile bar = pulseProfile(env.low, env.full, r.bpm / 3, 6);
        if (bar.at.size() == 6 && bar.at[3] >= 0.85 * bar.at[0] && choose(2 * r.bpm)) {
            follow();
        } else if (eighthsOfCompound(env, r.bpm) && choose(r.bpm / 3)) {
            follow();
            compound = true;
        }
    } else if (halfIsTheBeat(env, r.bpm) && choose(r.bpm / 2)) {
        follow();
    } else if (ternaryShare(env.low, env.full, r.bpm) <= minTernaryShare) {
        // Without a drum kit to tell the octave, or with chords and bass
        // between the beats, the bass and the harmony tell where the bar
        // lines are.
        if (doubleIsTheBeat(mono22k, env, r.beats, r.bpm) && chooseExact(2 * r.bpm))
            follow();
        else if (halfOfBassAndHarmony(mono22k, env, r.beats, r.bpm) && choose(r.bpm / 2))
            follow();
    }
    // Beats divided in three (onsets at their thirds rather than at their
    // halves) are dotted beats, two to the bar (6/8) or four (12/8).
    compound = compound || ternaryShare(env.low, env.full, r.bpm) > minTernaryShare;
    if (compound)
        r.meter = compoundMeter(r.beats, env.low, env.full, barsOfFourDotted(mono22k, env, r.beats, r.bpm) ? 4 : 2);

    r.durationSec = double(mono22k.size()) / analysisRate;
    r.alternatives = alternatives(r.bpm, cands);
    r.twin = twin(cands);
    r.candidates = cands;
    std::vector<double> tempi;
    for (const auto& p : map) {
        tempi.push_back(p.bpm);
        r.tempoMap.push_back({p.t, p.bpm});
    }
    const Drift d = drift(tempi, r.bpm);
    r.drift = d.drift;
    r.driftSpreadPct = d.spreadPct;
    if (!r.beats.empty())
        r.firstDownbeat = r.beats[std::min<size_t>(size_t(r.meter.downbeatOffset), r.beats.size() - 1)];
    r.envFull = std::move(env.full);
    r.envLow = std::move(env.low);
    return r;
}

}  // namespace qm::TempoAnalyzer

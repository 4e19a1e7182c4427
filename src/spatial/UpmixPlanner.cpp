#include "spatial/UpmixPlanner.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "spatial/MixBuilder.h"

namespace qm {

uint64_t hashValueStable(std::string_view text) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char byte : text) {
        h ^= byte;
        h *= 0x100000001b3ULL;
    }
    return h;
}

uint64_t SplitMix64::next() {
    state += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

namespace UpmixPlanner {

namespace {

using S = SpeakerID;
constexpr double kPi = std::numbers::pi;
constexpr int kSteps = 65;
constexpr double kCutDB = -40.0;

double rad(double deg) { return deg * kPi / 180.0; }

// The ambience level of a speaker in dB; none for the speakers that are never
// cut off (L, R, C, LFE).
std::optional<double> ringLevel(SpeakerID s, const UpmixParams& p) {
    switch (s) {
    case S::Ls: case S::Rs: return p.sideDB;
    case S::Lrs: case S::Rrs: case S::Cs: return p.rearDB;
    case S::Lw: case S::Rw: case S::Lc: case S::Rc: return p.wideDB;
    case S::Ltf: case S::Rtf: return p.heightDB + 3.0 * p.heightTilt;
    case S::Ltm: case S::Rtm: case S::Tc: return p.heightDB;
    case S::Ltr: case S::Rtr: return p.heightDB - 3.0 * p.heightTilt;
    case S::L: case S::R: case S::C: case S::LFE: return std::nullopt;
    }
    return std::nullopt;
}

double roomFraction(SpeakerID s) {
    switch (s) {
    case S::Ls: return 0.45;
    case S::Rs: return 0.55;
    case S::Lrs: return 0.78;
    case S::Rrs: return 0.9;
    case S::Lw: return 0.25;
    case S::Rw: return 0.32;
    case S::Ltf: return 0.38;
    case S::Rtf: return 0.5;
    case S::Ltm: return 0.62;
    case S::Rtm: return 0.7;
    case S::Ltr: return 0.85;
    case S::Rtr: return 1.0;
    case S::Lc: return 0.2;
    case S::Rc: return 0.27;
    case S::Cs: return 0.66;
    case S::Tc: return 0.58;
    case S::L: case S::R: case S::C: case S::LFE: return 0.0;
    }
    return 0.0;
}

// Linear ambience level of a speaker that may take ambience, or none when its
// level is at or below the cut-off.
std::optional<double> candidateLevel(SpeakerID s, const UpmixParams& p) {
    const auto level = ringLevel(s, p);
    if (!level) return 1.0;
    if (!(*level > kCutDB)) return std::nullopt;
    return std::pow(10.0, *level / 20.0);
}

std::vector<Direction> directions(const std::vector<SpeakerID>& list) {
    std::vector<Direction> dirs;
    dirs.reserve(list.size());
    for (SpeakerID s : list) dirs.push_back(speaker::direction(s, list));
    return dirs;
}

// Plain fold-down of the speaker list `from` onto `onto`: one row per speaker
// of `onto`, one column per speaker of `from`.
Matrix foldDown(const std::vector<SpeakerID>& from, const std::vector<SpeakerID>& onto) {
    return MixBuilder::layoutMatrix(SourceFormat::speakers(from), static_cast<int>(from.size()), onto,
                                    ListenMode::normal, Rotation{}, true);
}

struct Candidate {
    int index;
    double lin;
};

// One side's ambience gains over the n outputs. `own` is the front speaker
// of the side, `fold` the side's fold-down row (exact mode only).
std::vector<float> sideAmbience(int n, int own, const std::vector<Candidate>& cands, const UpmixParams& p,
                                double s, const std::vector<double>& fold) {
    const double fa = std::clamp(p.frontAmbience, 0.0, 1.0);
    const double a = std::pow(10.0, p.ambienceDB / 20.0);
    std::vector<float> out(n, 0.0f);
    if (p.exact) {
        double dot = 0;
        for (const auto& c : cands) dot += c.lin * fold[c.index];
        const double w = std::min(a * (1.0 - fa), 1.0);
        if (dot > 0)
            for (const auto& c : cands) out[c.index] = static_cast<float>(s * w * c.lin / dot);
        return out;
    }
    double s2 = 0;
    for (const auto& c : cands) s2 += c.lin * c.lin;
    const double fs = (s2 != 0 && !cands.empty()) ? fa : 1.0;
    std::vector<double> v(n, 0.0);
    v[own] = std::sqrt(fs);
    if (s2 > 0)
        for (const auto& c : cands) v[c.index] = a * std::sqrt((1.0 - fs) / s2) * c.lin;
    for (int o = 0; o < n; ++o)
        out[o] = static_cast<float>(std::sqrt((1.0 - s) * (o == own ? 1.0 : 0.0) + s * v[o] * v[o]));
    return out;
}

void append(std::vector<float>& to, const std::vector<float>& from) { to.insert(to.end(), from.begin(), from.end()); }

std::vector<float> toFloats(const std::vector<double>& row) { return {row.begin(), row.end()}; }

// Spectral curves, decorrelation and delays, shared by both planners.
void finish(UpmixPlan& plan, const std::vector<SpeakerID>& T, const std::vector<Direction>& dirs,
            const std::vector<int>& own, const std::vector<bool>& ambienceOnly, const UpmixParams& p, int K,
            int N, double sr) {
    const int n = static_cast<int>(T.size());
    std::vector<bool> A(n), sur(n), high(n);
    for (int o = 0; o < n; ++o) {
        const bool isOwn = std::find(own.begin(), own.end(), o) != own.end();
        A[o] = !isOwn && T[o] != S::C && T[o] != S::LFE;
        sur[o] = std::fabs(dirs[o].az) > 75.0 || dirs[o].el > 20.0;
        high[o] = dirs[o].el > 20.0;
    }

    std::vector<float> curve(static_cast<size_t>(n) * K, 1.0f);
    bool shaped = false;
    for (int o = 0; o < n; ++o) {
        if (!A[o]) continue;
        for (int k = 0; k < K; ++k) {
            const double f = sr * k / N;
            double value = 1.0;
            if (sur[o] && p.shelfHz > 0 && p.shelfDB != 0) {
                const double r = f / p.shelfHz;
                value = std::pow(10.0, (r * r / (r * r + 1.0)) * p.shelfDB / 20.0);
            }
            if (high[o] && p.heightHPFHz > 0) {
                const double r = f / p.heightHPFHz;
                value *= r * r / std::sqrt(r * r * r * r + 1.0);
            }
            const float v = static_cast<float>(value);
            curve[static_cast<size_t>(o) * K + k] = v;
            shaped = shaped || v != 1.0f;
        }
    }
    if (shaped) plan.curve = std::move(curve);

    plan.delay.assign(n, 0.0f);
    if (p.exact) return;

    if (std::find(A.begin(), A.end(), true) != A.end()) {
        std::vector<float> re(static_cast<size_t>(n) * K, 1.0f), im(static_cast<size_t>(n) * K, 0.0f);
        const int M = K / 8 + 1;
        const double w = 2.0 * kPi / N;
        std::vector<double> d(M + 1);
        for (int o = 0; o < n; ++o) {
            if (!A[o]) continue;
            SplitMix64 rng(hashValueStable(speaker::rawValue(T[o])) + static_cast<uint64_t>(o));
            for (auto& dj : d) dj = 0.0015 * sr * rng.uniform();
            // An all-pass whose group delay wanders smoothly between 0 and
            // 1.5 ms, with control points every eighth bin.
            double phi = -w * d[0];
            for (int k = 1; k < K - 1; ++k) {
                const double t = k / 8.0;
                const int j = static_cast<int>(t);
                const double u = t - j;
                phi -= w * ((1.0 - u) * d[j] + u * d[j + 1]);
                re[static_cast<size_t>(o) * K + k] = static_cast<float>(std::cos(phi));
                im[static_cast<size_t>(o) * K + k] = static_cast<float>(std::sin(phi));
            }
        }
        plan.decorRe = std::move(re);
        plan.decorIm = std::move(im);
    }

    for (int o = 0; o < n; ++o) {
        double ms = 0;
        if (A[o] && sur[o]) ms += p.surroundDelayMs;
        if (A[o] && ambienceOnly[o]) ms += roomFraction(T[o]) * p.roomMs;
        plan.delay[o] = static_cast<float>(sr * ms / 1000.0);
    }
}

}  // namespace

const std::vector<std::pair<SpeakerID, SpeakerID>>& pairIDs() {
    static const std::vector<std::pair<SpeakerID, SpeakerID>> ids = {
        {S::L, S::R},     {S::Ls, S::Rs},   {S::Lrs, S::Rrs}, {S::Lw, S::Rw},
        {S::Ltf, S::Rtf}, {S::Ltm, S::Rtm}, {S::Ltr, S::Rtr}, {S::Lc, S::Rc}};
    return ids;
}

std::vector<double> vbap(double az, std::vector<RingSpeaker> ring, int count) {
    std::vector<double> g(std::max(count, 0), 0.0);
    if (ring.empty()) return g;
    std::stable_sort(ring.begin(), ring.end(), [](const RingSpeaker& x, const RingSpeaker& y) { return x.az < y.az; });
    auto add = [&](int index, double v) {
        if (index >= 0 && index < count) g[index] += v;
    };
    if (ring.size() == 1) {
        add(ring[0].index, 1.0);
        return g;
    }
    for (size_t i = 0; i < ring.size(); ++i) {
        const bool wrap = i + 1 == ring.size();
        const RingSpeaker& sa = ring[i];
        const RingSpeaker& sb = wrap ? ring[0] : ring[i + 1];
        const double a = sa.az, b = wrap ? sb.az + 360.0 : sb.az;
        const double t = az < a ? az + 360.0 : az;
        const double span = std::sin(rad(b - a));
        if (!(a - 1e-9 <= t && t <= b + 1e-9 && b - a < 180.0 && std::fabs(span) > 1e-9)) continue;
        double ga = std::max(0.0, std::sin(rad(b - t)) / span);
        double gb = std::max(0.0, std::sin(rad(t - a)) / span);
        const double power = ga * ga + gb * gb;
        if (!(power > 0)) continue;
        const double norm = std::sqrt(power);
        add(sa.index, ga / norm);
        add(sb.index, gb / norm);
        return g;
    }
    size_t best = 0;
    double bestDist = std::fabs(std::remainder(ring[0].az - az, 360.0));
    for (size_t i = 1; i < ring.size(); ++i) {
        const double dist = std::fabs(std::remainder(ring[i].az - az, 360.0));
        if (dist < bestDist) {
            best = i;
            bestDist = dist;
        }
    }
    add(ring[best].index, 1.0);
    return g;
}

void normalize(std::vector<double>& g) {
    double sum = 0;
    for (double x : g) sum += x * x;
    if (sum > 0) {
        const double r = std::sqrt(sum);
        for (double& x : g) x /= r;
    }
}

UpmixPlan stereoPlan(const UpmixRequest& request, int bins, int fftSize, double sampleRate) {
    const auto& T = request.target;
    // Gains outside their controls' ranges never reach the kernel.
    const UpmixParams p = upmixParams::bounded(request.params);
    const int n = static_cast<int>(T.size());
    const double s = std::clamp(p.strength, 0.0, 1.0);
    const auto iLo = speaker::firstIndex(T, S::L), iRo = speaker::firstIndex(T, S::R);
    if (!iLo || !iRo) return UpmixPlan{};
    const int iL = *iLo, iR = *iRo;
    const auto iC = speaker::firstIndex(T, S::C);

    UpmixPlan plan;
    plan.outs = n;
    plan.bins = bins;
    const auto dirs = directions(T);
    std::vector<RingSpeaker> ring;
    for (int o = 0; o < n; ++o)
        if (T[o] != S::LFE && dirs[o].el <= 20.0) ring.push_back({o, dirs[o].az});

    plan.pairIn = {0, 1};
    plan.kappa = {static_cast<float>(1.0 / std::max(p.focus, 0.1))};
    plan.ownL = {iL};
    plan.ownR = {iR};
    plan.exact = p.exact;
    const Matrix F = foldDown(T, {S::L, S::R});
    plan.foldL = toFloats(F[0]);
    plan.foldR = toFloats(F[1]);

    const double cw = std::clamp(p.centerWidth, 0.0, 1.0);
    plan.direct.assign(static_cast<size_t>(n) * kSteps, 0.0f);
    for (int k = 0; k < kSteps; ++k) {
        const double theta = (k / 64.0) * (kPi / 2.0);
        const double c = std::cos(theta), si = std::sin(theta);
        std::vector<double> d(n, 0.0);
        if (!p.exact) {
            const double phi = std::atan(std::tan(rad(30.0)) * (c - si) / std::max(c + si, 1e-9)) * 180.0 / kPi;
            std::vector<double> g = vbap(phi * p.stage / 30.0, ring, n);
            if (cw > 0 && iC) {
                const double gC = g[*iC];
                g[*iC] = std::sqrt(1.0 - cw) * gC;
                g[iL] += std::sqrt(cw / 2.0) * gC;
                g[iR] += std::sqrt(cw / 2.0) * gC;
                normalize(g);
            }
            std::vector<double> q(n, 0.0);
            q[iL] = c;
            q[iR] = si;
            for (int o = 0; o < n; ++o) d[o] = s * g[o] + (1.0 - s) * q[o];
            normalize(d);
        } else if (iC) {
            d[*iC] = std::sqrt(2.0) * s * (1.0 - cw) * std::min(c, si);
        }
        for (int o = 0; o < n; ++o) plan.direct[static_cast<size_t>(o) * kSteps + k] = static_cast<float>(d[o]);
    }

    for (int side = 0; side < 2; ++side) {
        const int own = side == 0 ? iL : iR;
        const double sign = side == 0 ? 1.0 : -1.0;
        std::vector<Candidate> cands;
        for (int o = 0; o < n; ++o) {
            if (o == own || T[o] == S::LFE || !(sign * dirs[o].az > 0.5)) continue;
            if (const auto lin = candidateLevel(T[o], p)) cands.push_back({o, *lin});
        }
        append(side == 0 ? plan.ambL : plan.ambR, sideAmbience(n, own, cands, p, s, side == 0 ? F[0] : F[1]));
    }

    std::vector<bool> ambienceOnly(n);
    for (int o = 0; o < n; ++o) {
        bool silent = o != iL && o != iR;
        for (int k = 0; k < kSteps && silent; ++k)
            silent = std::fabs(plan.direct[static_cast<size_t>(o) * kSteps + k]) < 1e-4f;
        ambienceOnly[o] = silent;
    }
    finish(plan, T, dirs, {iL, iR}, ambienceOnly, p, bins, fftSize, sampleRate);

    const auto iLFE = speaker::firstIndex(T, S::LFE);
    if (!p.exact && p.lfe == UpmixParams::LFEMode::split && iLFE && s > 0) {
        plan.lfeOut = *iLFE;
        plan.lfeGain = static_cast<float>(s * std::pow(10.0, (p.lfeDB - 10.0) / 20.0));
        std::vector<float> lp(bins), hp(bins);
        for (int k = 0; k < bins; ++k) {
            const double r = (k * sampleRate / fftSize) / std::max(p.lfeHz, 20.0);
            const double low = 1.0 / (r * r * r * r + 1.0);
            lp[k] = static_cast<float>(low);
            hp[k] = static_cast<float>(1.0 - s * low);
        }
        plan.lfeLP = std::move(lp);
        plan.mainHP = std::move(hp);
    }
    return plan;
}

UpmixPlan layoutPlan(const UpmixRequest& request, int bins, int fftSize, double sampleRate) {
    const auto& Src = request.source;
    const auto& T = request.target;
    // Gains outside their controls' ranges never reach the kernel.
    const UpmixParams p = upmixParams::bounded(request.params);
    const int m = static_cast<int>(Src.size()), n = static_cast<int>(T.size());
    const double s = std::clamp(p.strength, 0.0, 1.0);
    const float kappa = static_cast<float>(1.0 / std::max(p.focus, 0.1));
    const auto dirs = directions(T);
    const auto srcDirs = directions(Src);

    UpmixPlan plan;
    plan.outs = n;
    plan.bins = bins;
    plan.exact = p.exact;

    struct Pair {
        int sl, sr, tl, tr;
    };
    std::vector<Pair> pairs;
    for (const auto& [a, b] : pairIDs()) {
        const auto sl = speaker::firstIndex(Src, a), sr = speaker::firstIndex(Src, b);
        const auto tl = speaker::firstIndex(T, a), tr = speaker::firstIndex(T, b);
        if (sl && sr && tl && tr) pairs.push_back({*sl, *sr, *tl, *tr});
    }

    for (int i = 0; i < m; ++i) {
        const bool paired = std::any_of(pairs.begin(), pairs.end(), [&](const Pair& q) { return q.sl == i || q.sr == i; });
        if (paired) continue;
        std::optional<int> j = speaker::firstIndex(T, Src[i]);
        if (!j && Src[i] != S::LFE) j = MixBuilder::nearest(srcDirs[i], T);
        if (!j) continue;
        plan.routeIn.push_back(i);
        plan.routeOut.push_back(*j);
        plan.routeGain.push_back(1.0f);
    }

    const Matrix F = foldDown(T, Src);

    // Each fill belongs to the pair side whose source speaker lies closest.
    struct Owner {
        int pair = -1, side = -1;
    };
    const std::vector<int> fillList = fills(Src, T);
    std::vector<Owner> owner(n);
    for (int f : fillList) {
        double best = 0;
        Owner win;
        for (int q = 0; q < static_cast<int>(pairs.size()); ++q) {
            for (int side = 0; side < 2; ++side) {
                const int si = side == 0 ? pairs[q].sl : pairs[q].sr;
                const double angle = dirs[f].angle(srcDirs[si]);
                if (win.pair < 0 || angle < best) {
                    best = angle;
                    win = {q, side};
                }
            }
        }
        owner[f] = win;
    }

    plan.direct.assign(pairs.size() * n * kSteps, 0.0f);
    for (int q = 0; q < static_cast<int>(pairs.size()); ++q) {
        const Pair& pr = pairs[q];
        plan.pairIn.insert(plan.pairIn.end(), {pr.sl, pr.sr});
        plan.ownL.push_back(pr.tl);
        plan.ownR.push_back(pr.tr);
        plan.kappa.push_back(kappa);
        append(plan.foldL, toFloats(F[pr.sl]));
        append(plan.foldR, toFloats(F[pr.sr]));
        for (int k = 0; k < kSteps; ++k) {
            const double theta = (k / 64.0) * (kPi / 2.0);
            plan.direct[(static_cast<size_t>(q) * n + pr.tl) * kSteps + k] = static_cast<float>(std::cos(theta));
            plan.direct[(static_cast<size_t>(q) * n + pr.tr) * kSteps + k] = static_cast<float>(std::sin(theta));
        }
        for (int side = 0; side < 2; ++side) {
            std::vector<Candidate> cands;
            for (int f : fillList) {
                if (owner[f].pair != q || owner[f].side != side) continue;
                if (const auto lin = candidateLevel(T[f], p)) cands.push_back({f, *lin});
            }
            const int own = side == 0 ? pr.tl : pr.tr;
            const auto& fold = side == 0 ? F[pr.sl] : F[pr.sr];
            append(side == 0 ? plan.ambL : plan.ambR, sideAmbience(n, own, cands, p, s, fold));
        }
    }

    std::vector<int> own;
    for (const Pair& pr : pairs) own.insert(own.end(), {pr.tl, pr.tr});
    own.insert(own.end(), plan.routeOut.begin(), plan.routeOut.end());
    std::vector<bool> ambienceOnly(n);
    for (int o = 0; o < n; ++o) ambienceOnly[o] = std::find(own.begin(), own.end(), o) == own.end();
    finish(plan, T, dirs, own, ambienceOnly, p, bins, fftSize, sampleRate);
    return plan;
}

}  // namespace UpmixPlanner

}  // namespace qm

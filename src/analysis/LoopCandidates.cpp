// Loop and exit candidates of a structure analysis, and the seam comparison
// that scores a jump from one bar boundary back to another.
#include <algorithm>
#include <cmath>
#include <map>

#include "analysis/Signal.h"
#include "analysis/Structure.h"

namespace qm::Structure {

namespace {

std::string phraseReason(int64_t bars) { return std::to_string(bars) + "-bar phrase"; }

bool isPhrase(int64_t bars) {
    return std::find(phraseBars.begin(), phraseBars.end(), bars) != phraseBars.end();
}

void sortBestFirst(std::vector<LoopCandidate>& c) {
    std::stable_sort(c.begin(), c.end(),
                     [](const LoopCandidate& a, const LoopCandidate& b) { return a.score > b.score; });
}

}  // namespace

Seam seam(const std::vector<float>& x, double sr, long a, long b, double L) {
    const long n = static_cast<long>(x.size());
    if (a >= n - static_cast<long>(0.05 * sr)) return {Seam::Kind::edge, 0.7};
    const long W = static_cast<long>(sr);
    const double rA = Signal::rms(x, a, a + W), rB = Signal::rms(x, b, b + W);
    if (rA < 0.15 * L && rB < 0.15 * L) return {Seam::Kind::quiet, 0.95};
    const double lvl =
        std::max(0.0, 1.0 - std::abs(20.0 * std::log10(std::max(rA, 1e-5) / std::max(rB, 1e-5))) / 20.0);
    const double zA = windowZcr(x, a, a + W), zB = windowZcr(x, b, b + W);
    const double zmax = std::max(zA, zB);
    double timbre = 1.0;
    if (zmax > 1e-6) {
        const double d = 1.0 - std::abs(zA - zB) / zmax;
        // A quiet side says little about timbre: it costs at most 0.4.
        timbre = (rA >= 0.15 * L && rB >= 0.15 * L) ? d : (d > 0.6 ? d : 0.6);
    }
    return {Seam::Kind::compared, 0.5 * lvl + 0.5 * timbre};
}

std::vector<LoopCandidate> loopCandidates(const std::vector<float>& x, double sr,
                                          const std::vector<double>& B, const BarProfile& profile,
                                          int64_t s) {
    const int64_t E = profile.musicEndBar, count = static_cast<int64_t>(B.size());
    // End boundary -> (phrase length, content end), in gathering order.
    std::vector<int64_t> order;
    std::map<int64_t, std::pair<std::optional<int64_t>, bool>> ends;
    ends[E] = {isPhrase(E - s) ? std::optional<int64_t>(E - s) : std::nullopt, true};
    order.push_back(E);
    for (int64_t p : phraseBars) {
        const int64_t e = s + p;
        if (e > E || e >= count) continue;
        auto it = ends.find(e);
        if (it == ends.end()) {
            ends[e] = {p, false};
            order.push_back(e);
        } else if (!it->second.first) {
            it->second.first = p;
        }
    }

    std::vector<LoopCandidate> out;
    if (s < 0 || s >= count) return out;
    for (int64_t e : order) {
        if (!(s < e && e < count)) continue;
        const auto [phrase, contentEnd] = ends[e];
        LoopCandidate c;
        c.boundary = e;
        c.time = std::min(B[e], B.back());
        const Seam sm = seam(x, sr, static_cast<long>(c.time * sr), static_cast<long>(B[s] * sr),
                             profile.activeLevel);
        double base = 0.5 * sm.match;
        if (phrase) {
            c.reasons.push_back(phraseReason(*phrase));
            base += *phrase % 8 == 0 ? 0.2 : 0.14;
        }
        if (contentEnd) c.reasons.push_back("musical end");
        c.score = contentEnd ? base + 0.3 : base - 0.05;
        if (sm.kind == Seam::Kind::edge) c.reasons.push_back("edge-to-edge file");
        else if (sm.kind == Seam::Kind::quiet) c.reasons.push_back("quiet at the seam");
        else if (sm.match >= 0.75) c.reasons.push_back("clean splice");
        else if (sm.match < 0.4) c.reasons.push_back("audible seam risk");
        c.score = std::clamp(c.score, 0.0, 1.0);
        c.phraseBars = phrase;
        c.isContentEnd = contentEnd;
        out.push_back(std::move(c));
    }
    sortBestFirst(out);
    return out;
}

std::vector<LoopCandidate> exitCandidates(const std::vector<float>& x, double sr,
                                          const std::vector<double>& B, const BarProfile& profile,
                                          int beatsPerBar) {
    const int64_t start = profile.musicStartBar, E = profile.musicEndBar;
    const int64_t count = static_cast<int64_t>(B.size());
    const double L = profile.activeLevel;
    auto barLevel = [&](int64_t i) {
        return i >= 0 && i < static_cast<int64_t>(profile.rms.size()) ? profile.rms[i] : 0.0f;
    };
    const int64_t exitBar = endsOnFinalHit(x, sr, B, profile, beatsPerBar) ? E - 1 : E;

    std::vector<LoopCandidate> out;
    if (exitBar >= 0 && exitBar < count) {
        LoopCandidate c;
        c.boundary = exitBar;
        c.time = B[exitBar];
        c.isContentEnd = true;
        c.reasons = {"musical end", "tail rings under next cue"};
        const int64_t q = exitBar - start;
        if (isPhrase(q)) {
            c.reasons.push_back(phraseReason(q));
            c.phraseBars = q;
            c.score = q % 8 == 0 ? 1.0 : 0.96;
        } else {
            c.score = 0.9;
        }
        if (barLevel(std::max<int64_t>(exitBar, 1) - 1) < 0.3 * L) c.score -= 0.2;
        c.score = std::clamp(c.score, 0.0, 1.0);
        out.push_back(std::move(c));
    }
    for (int64_t p : {2, 4, 8, 12, 16, 24, 32, 48, 64}) {
        const int64_t e = start + p;
        if (e >= std::min(exitBar, count)) continue;
        if (std::any_of(out.begin(), out.end(), [&](const LoopCandidate& c) { return c.boundary == e; }))
            continue;
        LoopCandidate c;
        c.boundary = e;
        c.time = B[e];
        c.phraseBars = p;
        c.reasons = {phraseReason(p)};
        c.score = p % 8 == 0 ? 0.5 : 0.46;
        if (barLevel(std::max<int64_t>(e - 1, 0)) < 0.3 * L) c.score -= 0.2;
        c.score = std::clamp(c.score, 0.0, 1.0);
        out.push_back(std::move(c));
    }
    sortBestFirst(out);
    return out;
}

}  // namespace qm::Structure

#include "edit/TempEditPlanner.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qm {

namespace TempEditPlanner {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kJumpPenalty = 0.3;

// Everything a cutdown needs to know about the piece, measured once.
struct Piece {
    std::vector<double> b;  // bar boundaries, seconds
    int64_t N = 0;
    double sr = 0;
    int64_t totalFrames = 0;
    int64_t start = 0;  // music start frame
    Pins pins;
    double barLength = 0;  // body bar length, seconds
    double nominalBar = 0;
    bool exactLength = true;

    // Boundary frame F(k), clamped to the file.
    int64_t F(int64_t k) const {
        const int64_t idx = std::clamp<int64_t>(k, 0, N - 1);
        const double f = std::round(sr * b[idx]);
        return static_cast<int64_t>(std::clamp(f, 0.0, static_cast<double>(totalFrames)));
    }
};

int64_t framesOf(const std::vector<EditPlan::Span>& spans) {
    int64_t sum = 0;
    for (const auto& s : spans) sum += s.end - s.start;
    return sum;
}

// Appends [a, b), merged into the previous span when that one ends at a.
void appendSpan(std::vector<EditPlan::Span>& spans, int64_t a, int64_t b) {
    if (!spans.empty() && spans.back().end == a)
        spans.back().end = b;
    else
        spans.push_back({a, b});
}

// The boundary whose frame is nearest to `frame`; the earlier one on a tie.
int64_t nearestBoundary(const Piece& p, int64_t frame) {
    int64_t best = 0;
    int64_t bestDist = std::numeric_limits<int64_t>::max();
    for (int64_t k = 0; k < p.N; ++k) {
        const int64_t d = std::abs(p.F(k) - frame);
        if (d < bestDist) {
            best = k;
            bestDist = d;
        }
    }
    return best;
}

std::string spanMap(const Piece& p, const std::vector<EditPlan::Span>& spans) {
    std::string out;
    for (const auto& span : spans) {
        const int64_t s = nearestBoundary(p, span.start);
        const int64_t e = nearestBoundary(p, span.end);
        if (!out.empty()) out += " ↷ ";
        out += s + 1 < e ? fmt::format("b{}–{}", s + 1, e) : fmt::format("b{}", s + 1);
        if (span.end >= p.totalFrames) out += " + ring";
    }
    return out;
}

void setCut(const Piece& p, EditPlan& plan, double target) {
    if (p.exactLength && target < static_cast<double>(framesOf(plan.spans)) / p.sr) plan.cutAtSec = target;
}

std::optional<EditPlan> backtimed(const Piece& p, double target, EditPlan::Kind kind, int64_t endBar,
                                  int64_t endIdx, double ringOut) {
    const int64_t last = std::min(p.N, endBar) - 1;
    for (int64_t k = 0; k <= last; ++k) {
        if (p.b[endIdx] - p.b[k] <= target - ringOut + 0.001) {
            EditPlan plan;
            plan.name = label(target) + (kind == EditPlan::Kind::extended ? " extended" : "");
            plan.kind = EditPlan::Kind::backtimed;
            plan.spans = {{p.F(k), p.totalFrames}};
            plan.targetSec = target;
            plan.map = fmt::format("Backtimed: b{}–b{} + ring-out (starts on a downbeat)", k + 1, endBar);
            plan.fadeInFrames = static_cast<int64_t>(p.sr * 0.01);
            plan.quality = 1;
            setCut(p, plan, target);
            return plan;
        }
    }
    return std::nullopt;
}

std::optional<EditPlan> cutdown(double target, EditPlan::Kind kind, const Piece& p, const JumpTable& jumps) {
    const int64_t I = p.pins.introEnd, E = p.pins.endingStart;
    const int64_t endBar = std::max(E, p.pins.musicEnd);
    const int64_t endIdx = std::min(p.N - 1, endBar);
    const bool loopFile = p.pins.loopFile;

    const double intro = p.b[I] - p.pins.startTime;
    const double ending = p.b[endIdx] - p.b[E];
    const double ringOut = std::clamp(static_cast<double>(p.totalFrames) / p.sr - p.b[endIdx], 0.0, 1.0);
    const double L = p.barLength;
    const double budget = target - intro - ending - ringOut;

    if (budget < 0) {
        if (loopFile || endBar == 0) return std::nullopt;
        return backtimed(p, target, kind, endBar, endIdx, ringOut);
    }

    // A degenerate bar length leaves no room for body bars. The search table
    // holds K x positions cells; an absurd target is held to 8 million.
    const double fit = L > 0 ? std::floor(budget / L) : 0;
    const double maxBars = 8e6 / static_cast<double>(E - I + 1);
    const auto M = static_cast<int64_t>(std::isfinite(fit) ? std::min(fit, maxBars) : 0);
    std::optional<detail::SearchResult> best;
    double bestScore = kInf;
    for (int64_t K = M; K >= std::max<int64_t>(M - 3, 0); --K) {
        auto found = detail::search(K, I, E, jumps, loopFile);
        if (!found) continue;
        const double score = found->cost + 0.05 * static_cast<double>(M - K) - (K % 4 == 0 ? 0.04 : 0.0);
        if (score < bestScore) {
            bestScore = score;
            best = std::move(found);
        }
    }
    if (!best) {
        if (loopFile) return std::nullopt;
        return backtimed(p, target, kind, endBar, endIdx, ringOut);
    }
    const double limit = (L < intro && I != 0) ? 0.45 : 0.2;
    if (bestScore > limit && kind != EditPlan::Kind::extended && !loopFile)
        return backtimed(p, target, kind, endBar, endIdx, ringOut);

    EditPlan plan;
    plan.name = label(target) + (kind == EditPlan::Kind::extended ? " extended" : "");
    plan.kind = kind;
    plan.targetSec = target;
    std::vector<EditPlan::Span> spans{{p.start, p.F(I)}};
    for (int64_t k : best->path) appendSpan(spans, p.F(k), p.F(k + 1));
    appendSpan(spans, p.F(E), p.totalFrames);
    std::erase_if(spans, [&](const EditPlan::Span& s) {
        return s.end - s.start < 1 || (loopFile && s.start >= p.F(E));
    });
    plan.spans = std::move(spans);

    std::vector<double> costs;
    int64_t prev = I - 1;
    for (int64_t k : best->path) {
        if (k != prev + 1)
            if (auto c = jumps.cost(prev + 1, k)) costs.push_back(*c);
        prev = k;
    }
    if (!loopFile) {
        const int64_t after = best->path.empty() ? I : best->path.back() + 1;
        if (after != E)
            if (auto c = jumps.cost(after, E)) costs.push_back(*c);
    }
    plan.quality = costs.empty() ? 1.0 : std::max(0.0, 1.0 - *std::max_element(costs.begin(), costs.end()));

    plan.map = spanMap(p, plan.spans);
    if (loopFile) {
        plan.fadeOutFrames = static_cast<int64_t>(p.sr * L);
        plan.map += " · 1-bar fade out";
    } else {
        setCut(p, plan, target);
    }
    return plan;
}

}  // namespace

JumpTable::JumpTable(std::vector<std::vector<double>> similarity, const Pins& p)
    : sim(std::move(similarity)), pins(p) {
    const int64_t n = static_cast<int64_t>(sim.size());
    const int64_t lo = std::max<int64_t>(pins.introEnd, 0);
    const int64_t hi = std::min(n, pins.endingStart);
    std::vector<double> values;
    if (hi - lo >= 3) {
        for (int64_t i = lo; i < hi; ++i)
            for (int64_t j = lo; j < hi; ++j)
                if (std::abs(i - j) >= 2 && j < static_cast<int64_t>(sim[i].size())) values.push_back(sim[i][j]);
    }
    std::sort(values.begin(), values.end());
    const double at = values.empty()
                          ? 0.8
                          : values[static_cast<size_t>(static_cast<double>(values.size() - 1) * 0.85)];
    threshold = std::max(at, 0.8);
}

std::optional<double> JumpTable::cost(int64_t i, int64_t j) const {
    const int64_t n = static_cast<int64_t>(sim.size());
    auto at = [&](int64_t r, int64_t c) -> std::optional<double> {
        if (r < 0 || c < 0 || r >= n || c >= static_cast<int64_t>(sim[r].size())) return std::nullopt;
        return sim[r][c];
    };
    if (i == pins.loopEnd && j == pins.loopStart && pins.loopStart < i) {
        const double s = i >= n ? 0.9 : at(i, j).value_or(0.9);
        return std::min(1.0 - s, 0.1);
    }
    double sum = 0;
    int count = 0;
    for (auto v : {at(i, j), at(i - 1, j - 1)}) {
        if (v) {
            sum += *v;
            ++count;
        }
    }
    if (count == 0) return std::nullopt;
    const double mean = sum / count;
    if (mean < threshold) return std::nullopt;
    return 1.0 - mean;
}

std::string label(double seconds) {
    const auto s = static_cast<int64_t>(std::llround(seconds));
    if (s <= 59) return fmt::format("{}s", s);
    const int64_t m = s / 60, r = s % 60;
    return r == 0 ? fmt::format("{}m00s", m) : fmt::format("{}m{:02d}s", m, r);
}

namespace detail {

std::optional<SearchResult> search(int64_t K, int64_t M0, int64_t M1, const JumpTable& jumps, bool anyEnd) {
    const int64_t P = M1 - M0 + 1;
    if (P < 1 || K < 0) return std::nullopt;
    if (K == 0) {
        if (M0 == M1) return SearchResult{0, {}};
        if (auto c = jumps.cost(M0, M1)) return SearchResult{*c + kJumpPenalty, {}};
        return std::nullopt;
    }

    // Jump edges, each list in ascending target order. A backward jump goes
    // back at least two bars; forward jumps of any size.
    struct Edge {
        int64_t to;
        double weight;
    };
    std::vector<std::vector<Edge>> edges(static_cast<size_t>(P));
    if (M0 != M1) {
        for (int64_t i = M0; i <= M1; ++i)
            for (int64_t j = M0; j < M1; ++j) {
                if (j == i || j == i - 1) continue;
                if (auto c = jumps.cost(i, j)) {
                    const bool onPhrase = (i - M0) % 4 == 0 && (j - M0) % 4 == 0;
                    edges[i - M0].push_back({j, *c + kJumpPenalty - (onPhrase ? 0.05 : 0.0)});
                }
            }
    }

    // D[k][p]: least cost of having played k bars and standing at M0 + p;
    // `from` remembers the position left and the bar played to get there.
    struct Step {
        int64_t from = -1;
        int64_t bar = -1;
    };
    const auto rows = static_cast<size_t>(K + 1), cols = static_cast<size_t>(P);
    std::vector<double> D(rows * cols, kInf);
    std::vector<Step> pred(rows * cols);
    auto cell = [cols](int64_t k, int64_t p) { return static_cast<size_t>(k) * cols + static_cast<size_t>(p); };
    D[cell(0, 0)] = 0;
    for (int64_t k = 0; k < K; ++k) {
        for (int64_t p = 0; p < P; ++p) {
            const double here = D[cell(k, p)];
            if (here == kInf) continue;
            auto offer = [&](int64_t to, double value, int64_t bar) {
                const size_t c = cell(k + 1, to);
                if (value < D[c]) {
                    D[c] = value;
                    pred[c] = {p, bar};
                }
            };
            if (M0 + p < M1) offer(p + 1, here, M0 + p);
            for (const auto& e : edges[p]) offer(e.to + 1 - M0, here + e.weight, e.to);
        }
    }

    double bestCost = D[cell(K, P - 1)];
    int64_t bestPos = P - 1;
    if (M0 != M1) {
        for (int64_t p = 0; p < P - 1; ++p) {
            const double here = D[cell(K, p)];
            if (here == kInf) continue;
            double candidate = kInf;
            if (anyEnd) {
                candidate = here;
            } else if (auto c = jumps.cost(M0 + p, M1)) {
                candidate = here + *c + kJumpPenalty;
            }
            if (candidate < bestCost) {
                bestCost = candidate;
                bestPos = p;
            }
        }
    }
    if (bestCost == kInf) return std::nullopt;

    SearchResult result{bestCost, std::vector<int64_t>(static_cast<size_t>(K))};
    int64_t pos = bestPos;
    for (int64_t k = K; k >= 1; --k) {
        const Step& s = pred[cell(k, pos)];
        if (s.from < 0) return std::nullopt;
        result.path[static_cast<size_t>(k - 1)] = s.bar;
        pos = s.from;
    }
    return result;
}

}  // namespace detail

std::vector<EditPlan> plans(const MusicGrid& grid, const StructureResult& structure, double sampleRate,
                            int64_t totalFrames, const TempEditOptions& options) {
    std::vector<EditPlan> out;
    Piece p;
    p.b = grid.boundaries();
    p.N = static_cast<int64_t>(p.b.size());
    p.sr = sampleRate;
    p.totalFrames = std::max<int64_t>(totalFrames, 0);
    p.pins = structure.pins;
    p.exactLength = options.exactLength;
    const Pins& pins = p.pins;
    const int64_t I = pins.introEnd, E = pins.endingStart;
    if (p.N < 3 || I > E) return out;
    // Pins outside the grid or a rate that is no rate cannot be cut by.
    if (I < 0 || E >= p.N || !(sampleRate > 0) || !std::isfinite(sampleRate)) return out;

    p.start = std::min<int64_t>(static_cast<int64_t>(std::llround(sampleRate * std::max(pins.startTime, 0.0))),
                                p.totalFrames);
    p.nominalBar = grid.bpm > 0 ? 60.0 / grid.bpm * grid.beatsPerBar : 0;
    p.barLength = E - I >= 1 ? (p.b[E] - p.b[I]) / static_cast<double>(E - I) : p.nominalBar;

    const int64_t N = p.N;
    if (pins.loopFile) {
        EditPlan loop;
        loop.name = "Loop";
        loop.kind = EditPlan::Kind::loop;
        loop.spans = {{0, p.totalFrames}};
        loop.map = fmt::format("The whole file ({} bars), wrap guarded", N - 1);
        out.push_back(std::move(loop));
    } else {
        if (p.F(I) - p.start > static_cast<int64_t>(sampleRate * 0.25)) {
            const double firstDownbeat = grid.downbeats.empty() ? 0.0 : grid.downbeats.front();
            EditPlan intro;
            intro.name = "Intro";
            intro.spans = {{p.start, p.F(I)}};
            intro.map = fmt::format("Intro {}b1–b{} · cut on the downbeat of b{}",
                                    firstDownbeat > pins.startTime + 0.05 ? "pickup + " : "", I, I + 1);
            out.push_back(std::move(intro));
        }
        if (pins.loopStart < pins.loopEnd) {
            EditPlan loop;
            loop.name = "Loop";
            loop.kind = EditPlan::Kind::loop;
            loop.spans = {{p.F(pins.loopStart), p.F(pins.loopEnd)}};
            loop.map = fmt::format("Loop b{}–b{} ({} bars), wraps seamlessly", pins.loopStart + 1, pins.loopEnd,
                                   pins.loopEnd - pins.loopStart);
            loop.carryLoopTail = pins.loopEnd >= pins.musicEnd;
            out.push_back(std::move(loop));
        }
        EditPlan ending;
        ending.name = "Ending";
        ending.spans = {{p.F(E), p.totalFrames}};
        ending.map = fmt::format("Ending b{}–b{} + ring-out", E + 1, std::max(E, pins.musicEnd - 1) + 1);
        out.push_back(std::move(ending));
        if (E < pins.finalHit && pins.finalHit < N - 1) {
            EditPlan sting;
            sting.name = "Sting";
            sting.spans = {{p.F(pins.finalHit), p.totalFrames}};
            sting.map = fmt::format("Sting: final hit at b{} + ring-out", pins.finalHit + 1);
            out.push_back(std::move(sting));
        }
    }

    const double dur = static_cast<double>(p.totalFrames - p.start) / sampleRate;
    std::vector<std::pair<double, EditPlan::Kind>> requests;
    for (double t : options.targets)
        if (t <= dur + p.nominalBar / 2) requests.emplace_back(t, EditPlan::Kind::cutdown);
    if (options.extended && dur >= 30 && dur < *options.extended - p.nominalBar)
        requests.emplace_back(*options.extended, EditPlan::Kind::extended);
    if (requests.empty()) return out;

    const JumpTable jumps(structure.similarity, pins);
    for (const auto& [target, kind] : requests)
        if (auto plan = cutdown(target, kind, p, jumps)) out.push_back(std::move(*plan));
    return out;
}

}  // namespace TempEditPlanner

}  // namespace qm

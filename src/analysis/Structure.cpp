#include "analysis/Structure.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/Signal.h"
#include "audio/JsonFields.h"

namespace qm::Structure {

namespace {

long sampleAt(double t, double sr) { return static_cast<long>(t * sr); }

// Level of samples [a, b), clipped to the signal; 0 when empty.
float level(const std::vector<float>& x, long a, long b) { return Signal::rms(x, a, b); }

float median(std::vector<float> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double metreBonus(int64_t d) {
    if (d % 8 == 0) return 0.2;
    if (d % 4 == 0) return 0.15;
    if (d % 2 == 0) return 0.05;
    return 0.0;
}

void normalise(std::vector<float>& v) {
    double len = 0;
    for (float a : v) len += static_cast<double>(a) * a;
    len = std::sqrt(len);
    if (len > 1e-9)
        for (float& a : v) a = static_cast<float>(a / len);
}

double dot(const std::vector<float>& a, const std::vector<float>& b) {
    double s = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) s += static_cast<double>(a[i]) * b[i];
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

float windowZcr(const std::vector<float>& x, long a, long b) {
    a = std::max(a, 0L);
    b = std::min(b, static_cast<long>(x.size()));
    if (b - a < 2) return 0.0f;
    long crossings = 0;
    for (long i = a + 1; i < b; ++i)
        if ((x[i - 1] < 0) != (x[i] < 0)) ++crossings;
    return static_cast<float>(crossings) / static_cast<float>(b - a);
}

BarProfile profile(const std::vector<float>& x, double sr, const std::vector<double>& B) {
    BarProfile p;
    if (B.size() < 2) return p;
    const int64_t N = static_cast<int64_t>(B.size()) - 1;
    for (int64_t i = 0; i < N; ++i) p.rms.push_back(level(x, sampleAt(B[i], sr), sampleAt(B[i + 1], sr)));
    auto sorted = p.rms;
    std::sort(sorted.begin(), sorted.end());
    const float L = sorted[std::min<int64_t>(N - 1, static_cast<int64_t>(0.9 * N))];
    p.activeLevel = L;
    const auto& r = p.rms;

    // Music start: a clear rise over the opening bars, else the first bar
    // that reaches 18 % of the active level.
    std::optional<int64_t> start;
    for (int64_t m = 1; m < std::min<int64_t>(N, 9); ++m) {
        if (r[m - 1] >= 0.65f * L) break;
        if (r[m] >= std::max(0.8f * (0.18f * L), 1.5f * r[m - 1])) {
            start = m;
            break;
        }
    }
    if (!start) {
        start = 0;
        for (int64_t i = 0; i < N; ++i)
            if (r[i] >= 0.18f * L) {
                start = i;
                break;
            }
    }
    p.musicStartBar = *start;

    // Music end: walk back over the dying bars.
    p.musicEndBar = *start + 1;
    for (int64_t i = N - 1; i > *start; --i) {
        const float cur = r[i], prev = r[i - 1];
        const bool music = (cur > 0.55f * prev && cur >= 0.08f * L) ||
                           (cur > 0.5f * prev && cur <= 0.55f * prev && cur >= 0.3f * L) ||
                           (cur <= 0.5f * prev && cur >= 0.6f * L);
        if (music) {
            p.musicEndBar = i + 1;
            break;
        }
    }
    return p;
}

std::vector<BarFeatures> barFeatures(const SpectralFrames& frames, const std::vector<double>& B) {
    std::vector<BarFeatures> out;
    if (B.size() < 2) return out;
    std::vector<std::vector<float>> rmsFrames;
    rmsFrames.reserve(frames.rms.size());
    for (float v : frames.rms) rmsFrames.push_back({v});
    for (size_t i = 0; i + 1 < B.size(); ++i) {
        BarFeatures f;
        f.chroma = SpectralFrames::average(frames.chroma, B[i], B[i + 1]);
        normalise(f.chroma);
        f.bands = SpectralFrames::average(frames.bands, B[i], B[i + 1]);
        for (float& v : f.bands) v = std::log1p(v);
        normalise(f.bands);
        const auto m = SpectralFrames::average(rmsFrames, B[i], B[i + 1]);
        f.db = m.empty() ? 0.0f : 20.0f * std::log10(std::max(1e-6f, m[0]));
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<std::vector<double>> similarity(const std::vector<BarFeatures>& f) {
    const size_t n = f.size();
    std::vector<std::vector<double>> s(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            s[i][j] = 0.6 * dot(f[i].chroma, f[j].chroma) + 0.25 * dot(f[i].bands, f[j].bands) +
                      0.15 * std::max(0.0, 1.0 - std::abs(static_cast<double>(f[i].db) - f[j].db) / 12.0);
    return s;
}

std::vector<double> novelty(const std::vector<std::vector<double>>& s, int h) {
    const long N = static_cast<long>(s.size());
    std::vector<double> nov(static_cast<size_t>(N + 1), 0.0);
    if (N < 3 || h < 1) return nov;
    const double sigma = 0.6 * h;
    auto g = [&](int x) { return std::exp(-0.5 * std::pow((x + 0.5) / sigma, 2)); };
    for (long b = 1; b <= N - 1; ++b) {
        double sum = 0, wsum = 0;
        for (int u = -h; u < h; ++u) {
            const long row = b + u;
            if (row < 0 || row >= N) continue;
            for (int v = -h; v < h; ++v) {
                const long col = b + v;
                if (col < 0 || col >= N) continue;
                const double w = g(u) * g(v);
                const double sign = (u < 0) == (v < 0) ? 1.0 : -1.0;
                sum += sign * w * s[row][col];
                wsum += w;
            }
        }
        nov[b] = wsum > 0 ? std::max(0.0, sum / wsum) : 0.0;
    }
    const double top = *std::max_element(nov.begin() + 1, nov.end());
    if (top > 0)
        for (auto& v : nov) v /= top;
    return nov;
}

Cooked cook(const std::vector<float>& x, double sr, std::optional<double>) {
    Cooked c;
    long hop = static_cast<long>(0.05 * sr);
    if (hop < 2) hop = 1;
    const long F = static_cast<long>(x.size()) / hop;
    if (F < 11) return c;
    std::vector<float> env(F), sm(F);
    for (long k = 0; k < F; ++k) env[k] = level(x, k * hop, (k + 1) * hop);
    for (long k = 0; k < F; ++k) {
        const long a = std::max(0L, k - 2), b = std::min(k + 2, F - 1);
        double sum = 0;
        for (long i = a; i <= b; ++i) sum += env[i];
        sm[k] = static_cast<float>(sum / static_cast<double>(b - a + 1));
    }
    const float M = median(sm);
    if (M <= 0) return c;
    const float H = median(std::vector<float>(sm.begin(), sm.begin() + std::min(F, 40L)));

    if (H <= 0.75f * M) {
        const float thr = std::max(0.8f * M, 2.0f * H);
        for (long k = 40; k < std::min(F - 30, 1200L); ++k) {
            if (sm[k] < thr) continue;
            int above = 0;
            for (long j = k; j < std::min(k + 30, F); ++j) above += sm[j] >= thr;
            if (above / 30.0 >= 0.7) {
                c.bodyEntry = k * 0.05;
                break;
            }
        }
    }

    const double length = F * 0.05;
    const long kMin = static_cast<long>(std::max(0.0, length - std::min(length, 20.0)) / 0.05);
    for (long s = F - 21; s >= kMin && s >= 0; --s) {
        int quiet = 0;
        for (long j = s; j < s + 20; ++j) quiet += sm[j] < 0.35f * M;
        if (quiet >= 16) {
            while (s > kMin && sm[s - 1] < 0.525f * M) --s;
            c.tailStart = s * 0.05;
            break;
        }
    }
    return c;
}

bool endsOnFinalHit(const std::vector<float>& x, double sr, const std::vector<double>& B,
                    const BarProfile& p, int bpb) {
    const int64_t start = p.musicStartBar, E = p.musicEndBar;
    if (!(start < E - 1 && E < static_cast<int64_t>(B.size())) || bpb < 1) return false;
    const int64_t h = E - 1;
    const double t = B[h], beat = (B[h + 1] - t) / bpb;
    const float L = p.activeLevel;
    const float first = level(x, sampleAt(t, sr), sampleAt(t + beat, sr));
    const float last = level(x, sampleAt(t + (bpb - 1) * beat, sr), sampleAt(t + bpb * beat, sr));
    const float before = h - 1 < static_cast<int64_t>(p.rms.size()) ? p.rms[h - 1] : 0.0f;
    return first >= 0.25f * L && 2.2f * last < first && first >= 1.15f * before;
}

StructureResult analyze(const std::vector<float>& mono, double sr, const MusicGrid& grid,
                        const SpectralFrames& frames, const std::string& name) {
    StructureResult res;
    const std::vector<double> B = grid.boundaries();
    const int64_t N = std::max<int64_t>(0, static_cast<int64_t>(B.size()) - 1);
    const int bpb = std::max(1, grid.beatsPerBar);
    const double bar = grid.bpm > 0 ? 60.0 / grid.bpm * bpb : 0.0;

    res.profile = profile(mono, sr, B);
    const auto& P = res.profile;
    res.similarity = similarity(barFeatures(frames, B));
    const auto& S = res.similarity;
    res.novelty = novelty(S, N < 16 ? 2 : 4);
    const auto& nov = res.novelty;
    const Cooked cooked = cook(mono, sr, grid.bpm);
    const int64_t start = P.musicStartBar;
    const float L = P.activeLevel;
    const int64_t endBar = std::min(std::max(P.musicEndBar, start + 1), N);
    auto rmsAt = [&](int64_t i) { return i >= 0 && i < static_cast<int64_t>(P.rms.size()) ? P.rms[i] : 0.0f; };
    auto novAt = [&](int64_t i) { return i >= 0 && i < static_cast<int64_t>(nov.size()) ? nov[i] : 0.0; };
    auto near = [&](const std::optional<double>& t, int64_t b) {
        return t && b < static_cast<int64_t>(B.size()) && std::abs(*t - B[b]) <= bar / 2;
    };
    Pins& pins = res.pins;
    std::vector<std::string> notes;

    // Silent head.
    bool silentHead = start > 0;
    for (int64_t i = 0; i < start && silentHead; ++i) silentHead = rmsAt(i) < 0.05f * L;
    if (silentHead) {
        pins.startTime = B[start];
        notes.push_back(fmt::format("Skipped {:.1f} s of silent head", pins.startTime));
    }

    // Intro end: a lift in level and a change of material on a metric boundary.
    std::optional<int64_t> intro;
    double bestIntro = 0;
    for (int64_t b = start; b < std::min(start + 16, endBar - 4); ++b) {
        const double lift = std::clamp(rmsAt(b + 1) / std::max(rmsAt(b), 1e-6f) - 1.0f, 0.0f, 1.0f);
        double score = 0.2 * lift + 0.55 * novAt(b + 1) + metreBonus(b + 1 - start);
        if (near(cooked.bodyEntry, b + 1)) score += 0.15;
        if (!intro || score > bestIntro) {
            intro = b + 1;
            bestIntro = score;
        }
    }
    int64_t I = start;
    if (!intro || bestIntro < 0.45)
        notes.push_back("No distinct intro: edits start straight into the body");
    else
        I = *intro;

    // Final hit.
    const int64_t h = P.musicEndBar - 1;
    const bool hit = endsOnFinalHit(mono, sr, B, P, bpb);

    // Ending start.
    std::optional<int64_t> ending;
    double bestEnding = 0;
    for (int64_t e = std::max(endBar - 8, I + 4); e <= endBar - 1; ++e) {
        const double change = std::min(
            1.0, std::abs(std::log(static_cast<double>(std::max(rmsAt(e), 1e-6f)) / std::max(rmsAt(e - 1), 1e-6f))));
        double score = 0.15 * change + 0.55 * novAt(e) + metreBonus(endBar - e);
        if (near(cooked.tailStart, e)) score += 0.1;
        if (!ending || score > bestEnding) {
            ending = e;
            bestEnding = score;
        }
    }
    int64_t endingAt;
    if (ending && bestEnding >= 0.45) {
        endingAt = *ending;
    } else if (hit) {
        endingAt = h;
        notes.push_back("Ending is a single final hit");
    } else {
        endingAt = std::max(endBar - 2, I + 1);
        notes.push_back("No distinct ending section: using the last 2 bars");
    }
    const int64_t E = std::max(std::min(endingAt, endBar), I + 1);

    // Fade-out over the last five bars of music.
    if (endBar - start > 7) {
        const int64_t from = std::max(endBar - 5, start);
        bool rising = false;
        for (int64_t i = from + 1; i < endBar; ++i) rising = rising || rmsAt(i) > 1.02f * rmsAt(i - 1);
        const float firstLevel = rmsAt(from), lastLevel = rmsAt(endBar - 1);
        if (!rising && lastLevel > 0 && 20.0 * std::log10(firstLevel / lastLevel) > 9)
            notes.push_back("Source ends on a fade-out");
    }

    // Loop end: similar material and a clean seam back to the intro end.
    int64_t loopEnd = E;
    if (E - I > 3) {
        const long n = static_cast<long>(S.size());
        auto sim = [&](int64_t i, int64_t j) -> std::optional<double> {
            if (i < 0 || j < 0 || i >= n || j >= n) return std::nullopt;
            return S[i][j];
        };
        double best = 0;
        bool have = false;
        for (int64_t e = I + 4; e <= E; ++e) {
            double total = 0;
            int count = 0;
            for (auto v : {I > 0 ? sim(I - 1, e - 1) : std::nullopt, sim(I, e), sim(I + 1, e + 1)})
                if (v) {
                    total += *v;
                    ++count;
                }
            double score = count ? 0.45 * total / count : 0.0;
            score += 0.25 * seam(mono, sr, sampleAt(B[e], sr), sampleAt(B[I], sr), L).match;
            const int64_t len = e - I;
            score += len % 8 == 0 ? 0.15 : (len % 4 == 0 ? 0.1 : 0.0);
            if (e == E) score += 0.1;
            score += 0.05 * static_cast<double>(len) / static_cast<double>(E - I);
            if (!have || score > best) {
                have = true;
                best = score;
                loopEnd = e;
            }
        }
    }

    pins.introEnd = I;
    pins.loopStart = I;
    pins.loopEnd = loopEnd;
    pins.endingStart = E;
    pins.musicEnd = endBar;
    pins.finalHit = hit ? h : std::max(endBar - 1, E);

    // A file that is itself a loop: by name, or loud edge to edge without a
    // final hit.
    const std::string lname = lower(name);
    const bool loopName = lname.find("loop") != std::string::npos &&
                          lname.find("intro") == std::string::npos &&
                          lname.find("end") == std::string::npos;
    const long quarter = sampleAt(0.25, sr), n = static_cast<long>(mono.size());
    const float head = level(mono, 0, quarter), tail = level(mono, n - quarter, n);
    const bool edgeToEdge =
        head > 0.25f * L && tail > 0.25f * L &&
        std::abs(20.0 * std::log10(std::max(head, 1e-6f) / std::max(tail, 1e-6f))) < 6;
    if (N > 0 && std::max(P.musicEndBar, start + 1) >= N - 1 && (loopName || (edgeToEdge && !hit))) {
        pins = Pins{0, 0, 0, N, N, N, N, true};
        notes = {"Seamless loop file: no composed ending, so cutdowns end with a 1-bar fade"};
    }
    res.notes = std::move(notes);

    res.loopCandidates = loopCandidates(mono, sr, B, P, I);
    res.exitCandidates = exitCandidates(mono, sr, B, P, bpb);
    return res;
}

}  // namespace qm::Structure

namespace qm {

void to_json(nlohmann::json& j, const Pins& p) {
    j = nlohmann::json{{"startTime", p.startTime},     {"introEnd", p.introEnd},
                       {"loopStart", p.loopStart},     {"loopEnd", p.loopEnd},
                       {"endingStart", p.endingStart}, {"musicEnd", p.musicEnd},
                       {"finalHit", p.finalHit},       {"loopFile", p.loopFile}};
}

void from_json(const nlohmann::json& j, Pins& p) {
    const jsonfields::FieldReader r(j, "pins");
    p = Pins{r.number("startTime"),   r.integer("introEnd"), r.integer("loopStart"), r.integer("loopEnd"),
             r.integer("endingStart"), r.integer("musicEnd"), r.integer("finalHit"),  r.boolean("loopFile")};
}

}  // namespace qm

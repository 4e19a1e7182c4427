#include "edit/EditOps.h"

#include "analysis/Biquad.h"
#include "analysis/Signal.h"
#include "platform/FFT.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <tuple>

namespace qm::EditOps {

namespace {

constexpr double kPi = std::numbers::pi;

// The frames every channel has.
int64_t frames(const Channels& ch) {
    if (ch.empty()) return 0;
    size_t n = ch[0].size();
    for (const auto& c : ch) n = std::min(n, c.size());
    return static_cast<int64_t>(n);
}

// A range that reaches outside the audio is cut to the part inside, so a
// wrong selection edits less instead of reading or writing out of bounds.
std::pair<int64_t, int64_t> clampRange(const Channels& ch, int64_t a, int64_t b) {
    const int64_t n = frames(ch);
    const int64_t lo = std::clamp<int64_t>(a, 0, n);
    return {lo, std::clamp<int64_t>(b, lo, n)};
}

// The system's random source for the reverb and texture tools: one engine
// per thread, seeded from the operating system, so runs differ.
std::mt19937_64& randomEngine() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine;
}

// The lanes an effect works on: the chosen ones that exist, else all.
std::vector<size_t> chosenLanes(const Channels& ch, const Lanes& lanes) {
    std::vector<size_t> out;
    if (!lanes) {
        for (size_t c = 0; c < ch.size(); ++c) out.push_back(c);
        return out;
    }
    for (int c : *lanes)
        if (c >= 0 && static_cast<size_t>(c) < ch.size() &&
            std::find(out.begin(), out.end(), static_cast<size_t>(c)) == out.end())
            out.push_back(static_cast<size_t>(c));
    return out;
}

// Calls body(lane samples) on [start, end) of each chosen lane.
template <typename Body>
Channels perLane(Channels ch, int64_t start, int64_t end, const Lanes& lanes, Body body) {
    std::tie(start, end) = clampRange(ch, start, end);
    if (end <= start) return ch;
    for (size_t c : chosenLanes(ch, lanes)) body(ch[c].data() + start, end - start);
    return ch;
}

// The clip channel that goes into channel c of a document.
std::vector<float> clipChannel(const Channels& clip, size_t c) {
    if (c < clip.size()) return clip[c];
    if (clip.empty()) return {};
    return std::vector<float>(clip[0].size(), 0.0f);
}

void onePoleLowPass(float* x, int64_t n, double hz, double sr) {
    if (n <= 0) return;
    const double a = std::exp(-2.0 * kPi * hz / sr);
    double y = x[0];
    for (int64_t i = 0; i < n; ++i) {
        y = a * y + (1.0 - a) * x[i];
        x[i] = static_cast<float>(y);
    }
}

// Parallel feedback delay lines mixed under the dry signal, in place.
void feedbackDelay(std::vector<float>& buf, double sr, const std::vector<float>& delaysMs, float feedback,
                   float mix) {
    if (delaysMs.empty()) return;
    std::vector<std::vector<float>> lines;
    for (float ms : delaysMs) {
        const auto len = std::max<int64_t>(static_cast<int64_t>(std::ceil(sr * ms / 1000.0)), 1);
        lines.emplace_back(static_cast<size_t>(len), 0.0f);
    }
    std::vector<size_t> pos(lines.size(), 0);
    for (float& x : buf) {
        float sum = 0;
        for (size_t l = 0; l < lines.size(); ++l) {
            const float v = lines[l][pos[l]];
            lines[l][pos[l]] = x + feedback * v;
            pos[l] = (pos[l] + 1) % lines[l].size();
            sum += v;
        }
        x = (1.0f - mix) * x + mix * (sum / static_cast<float>(lines.size()));
    }
}

float peakOf(const Channels& ch) {
    float peak = 0;
    for (const auto& c : ch)
        for (float v : c) peak = std::max(peak, std::abs(v));
    return peak;
}

void scale(Channels& ch, float gain) {
    for (auto& c : ch)
        for (float& v : c) v *= gain;
}

// --- The effects table ---

Channels normalize(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    std::tie(start, end) = clampRange(ch, start, end);
    if (end <= start) return ch;
    float peak = 0;
    for (size_t c : chosenLanes(ch, lanes))
        for (int64_t i = start; i < end; ++i) peak = std::max(peak, std::abs(ch[c][i]));
    if (!(peak > 0)) return ch;
    const float gain = 0.96605086f / peak;  // peak at -0.3 dBFS
    return perLane(std::move(ch), start, end, lanes, [gain](float* x, int64_t n) {
        for (int64_t i = 0; i < n; ++i) x[i] *= gain;
    });
}

Channels fadeIn(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [](float* x, int64_t n) {
        for (int64_t i = 0; i < n; ++i) x[i] *= static_cast<float>(std::sin(double(i) / double(n) * kPi / 2));
    });
}

Channels fadeOut(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [](float* x, int64_t n) {
        for (int64_t i = 0; i < n; ++i) x[i] *= static_cast<float>(std::cos(double(i) / double(n) * kPi / 2));
    });
}

Channels reverse(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [](float* x, int64_t n) { std::reverse(x, x + n); });
}

Channels dcFix(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [](float* x, int64_t n) {
        double sum = 0;
        for (int64_t i = 0; i < n; ++i) sum += x[i];
        const auto mean = static_cast<float>(sum / double(n));
        for (int64_t i = 0; i < n; ++i) x[i] -= mean;
    });
}

Channels telephone(Channels ch, double sr, int64_t start, int64_t end, Lanes lanes) {
    const double a1 = std::exp(-2.0 * kPi * 300.0 / sr);
    const double a2 = std::exp(-2.0 * kPi * 3400.0 / sr);
    return perLane(std::move(ch), start, end, lanes, [a1, a2](float* x, int64_t n) {
        // High-pass; the difference reads the input before it was overwritten.
        double y = x[0];
        float prevIn = x[0];
        for (int64_t i = 1; i < n; ++i) {
            const float in = x[i];
            y = a1 * (y + in - prevIn);
            prevIn = in;
            x[i] = static_cast<float>(y);
        }
        y = x[0];
        for (int64_t i = 0; i < n; ++i) {
            y = (1.0 - a2) * x[i] + a2 * y;
            x[i] = static_cast<float>(y);
        }
        for (int64_t i = 0; i < n; ++i) x[i] = std::tanh(1.9952623f * x[i]);  // +6 dB drive
    });
}

Channels bitcrush(Channels ch, double, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [](float* x, int64_t n) {
        for (int64_t i = 0; i < n; i += 4) {
            const float q = static_cast<float>(std::round(double(x[i]) * 256.0) / 256.0);
            for (int64_t k = i; k < std::min(i + 4, n); ++k) x[k] = q;
        }
    });
}

Channels tapeSaturation(Channels ch, double sr, int64_t start, int64_t end, Lanes lanes) {
    return perLane(std::move(ch), start, end, lanes, [sr](float* x, int64_t n) {
        for (int64_t i = 0; i < n; ++i) x[i] = std::tanh(1.5848932f * x[i]);  // +4 dB drive
        onePoleLowPass(x, n, 10400.0, sr);
    });
}

Channels stereoWiden(Channels ch, double, int64_t start, int64_t end, Lanes) {
    if (ch.size() < 2) return ch;
    std::tie(start, end) = clampRange(ch, start, end);
    for (int64_t i = start; i < end; ++i) {
        const float l = ch[0][i], r = ch[1][i];
        const float m = (l + r) / 2, s = (l - r) / 2 * 1.5f;
        ch[0][i] = m + s;
        ch[1][i] = m - s;
    }
    return ch;
}

Channels stutter(Channels ch, double sr, int64_t start, int64_t end, Lanes lanes) {
    const auto chunk = static_cast<int64_t>(0.125 * sr);
    if (chunk < 2) return ch;
    return perLane(std::move(ch), start, end, lanes, [chunk](float* x, int64_t n) {
        for (int64_t c0 = 0; c0 < n; c0 += chunk) {
            const int64_t len = std::min(chunk, n - c0);
            if (len < 2) continue;
            const int64_t half = len / 2;
            std::copy(x + c0, x + c0 + half, x + c0 + half);
        }
    });
}

Channels ghostEcho(Channels ch, double sr, int64_t start, int64_t end, Lanes lanes) {
    const auto d = static_cast<int64_t>(0.5 * sr);
    return perLane(std::move(ch), start, end, lanes, [sr, d](float* x, int64_t n) {
        std::vector<float> wet(static_cast<size_t>(n), 0.0f);
        for (int64_t k = d; k < n; ++k) wet[k] = x[k - d] * 0.25118864f;  // -12 dB
        onePoleLowPass(wet.data(), n, 3350.0, sr);
        feedbackDelay(wet, sr, {67.0f, 89.0f}, 0.4f, 0.3f);
        for (int64_t k = 0; k < n; ++k) x[k] += wet[k];
    });
}

}  // namespace

const std::vector<Effect>& effects() {
    static const std::vector<Effect> table{
        {"normalize", "Normalize", "Raise the whole thing so the loudest peak hits full level.", normalize},
        {"fade-in", "Fade In", "Smooth rise from silence across the selection.", fadeIn},
        {"fade-out", "Fade Out", "Smooth fall to silence across the selection.", fadeOut},
        {"reverse", "Reverse", "Play the selection backwards.", reverse},
        {"dc-fix", "DC Fix", "Re-center audio that drifted off the zero line.", dcFix},
        {"telephone", "Telephone", "1987. A payphone outside a laundromat. You're on hold.", telephone},
        {"bitcrush", "Bitcrush", "8-bit crunch. The retro consoles agree.", bitcrush},
        {"tape-saturation", "Tape Saturation", "Warm. Like a tube amp left on since 1974.", tapeSaturation},
        {"stereo-widen", "Stereo Widen", "Same furniture, more breathing room. Stereo files only.", stereoWiden},
        {"stutter", "Stutter", "A very musical nervous tic. Lean into it.", stutter},
        {"ghost-echo", "Ghost Echo", "One distant repeat. Something in the canyon answered.", ghostEcho},
    };
    return table;
}

Channels slice(const Channels& ch, int64_t a, int64_t b) {
    std::tie(a, b) = clampRange(ch, a, b);
    Channels out;
    out.reserve(ch.size());
    for (const auto& c : ch) out.emplace_back(c.begin() + a, c.begin() + std::max(a, b));
    return out;
}

Channels splice(Channels ch, int64_t a, int64_t b) {
    std::tie(a, b) = clampRange(ch, a, b);
    if (b <= a) return ch;
    for (auto& c : ch) c.erase(c.begin() + a, c.begin() + b);
    return ch;
}

Channels insert(Channels ch, int64_t at, const Channels& clip) {
    at = std::clamp<int64_t>(at, 0, frames(ch));
    for (size_t c = 0; c < ch.size(); ++c) {
        const auto piece = clipChannel(clip, c);
        ch[c].insert(ch[c].begin() + at, piece.begin(), piece.end());
    }
    return ch;
}

Channels silence(Channels ch, int64_t a, int64_t b) {
    std::tie(a, b) = clampRange(ch, a, b);
    if (b <= a) return ch;
    for (auto& c : ch) std::fill(c.begin() + a, c.begin() + b, 0.0f);
    return ch;
}

Channels replaceRegion(Channels ch, int64_t a, int64_t b, const Channels& clip) {
    std::tie(a, b) = clampRange(ch, a, b);
    return insert(splice(std::move(ch), a, b), a, clip);
}

Channels topAndTails(Channels ch, double sr) {
    for (auto& c : ch) {
        const auto len = static_cast<int64_t>(c.size());
        const int64_t in = std::min(static_cast<int64_t>(0.05 * sr), len);
        for (int64_t i = 0; i < in; ++i) c[i] *= static_cast<float>(std::sin(double(i) / double(in) * kPi / 2));
        const int64_t out = std::min(static_cast<int64_t>(sr), len);
        for (int64_t i = 0; i < out; ++i)
            c[len - out + i] *= static_cast<float>(std::cos(double(i) / double(out) * kPi / 2));
    }
    return ch;
}

std::optional<SeamlessLoop> seamlessLoop(const Channels& ch, double sr, int64_t start, int64_t end,
                                         bool carryTail) {
    std::tie(start, end) = clampRange(ch, start, end);
    const int64_t L = end - start;
    const int64_t X = std::min(L / 2, static_cast<int64_t>(0.008 * sr));
    if (X < 10 || ch.empty()) return std::nullopt;
    const int64_t total = frames(ch);
    const int64_t T =
        carryTail ? std::max<int64_t>(0, std::min({L, total - end, static_cast<int64_t>(3 * sr)})) : 0;

    // The seam is crossfaded on both sides. Before it, the body's last h
    // frames fade out under the source audio that leads into the loop start
    // (the frames before `start`); after it, the audio that follows the loop
    // end (the frames after `end`) fades out under the body's first frames.
    // Both blends are continuous with their neighbours, so the body played
    // end to start has no step. Material that does not exist (a loop at the
    // file's start or end) is silence; a carried tail already sits in the
    // body's first frames, so the frames after `end` are not added twice.
    const int64_t h = X / 2;
    const int64_t xw = X & ~int64_t{1};
    SeamlessLoop result;
    result.crossfade = X;
    result.carried = T;
    result.channels.reserve(ch.size());
    for (const auto& src : ch) {
        std::vector<float> body(src.begin() + start, src.begin() + end);
        for (int64_t k = 0; k < T; ++k) body[k] += src[end + k];
        std::vector<float> out = body;
        for (int64_t i = 0; i < xw; ++i) {
            const double angle = double(i) / double(xw) * kPi / 2;
            const double wOut = std::cos(angle), wIn = std::sin(angle);
            if (i < h) {
                const int64_t pre = start - h + i;
                const double in = pre >= 0 ? src[pre] : 0.0;
                out[L - h + i] = static_cast<float>(body[L - h + i] * wOut + in * wIn);
            } else {
                const int64_t k = i - h;
                const double after = (T == 0 && end + k < total) ? src[end + k] : 0.0;
                out[k] = static_cast<float>(after * wOut + body[k] * wIn);
            }
        }
        result.channels.push_back(std::move(out));
    }
    const float peak = peakOf(result.channels);
    if (peak > 0.999f) scale(result.channels, 0.999f / peak);
    return result;
}

std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h) {
    if (x.empty() || h.empty()) return {};
    const size_t outLen = x.size() + h.size() - 1;
    size_t n = 2;
    while (n < outLen) n *= 2;
    RealFFTPlan plan(static_cast<int>(n));
    std::vector<float> bufX(n, 0.0f), bufH(n, 0.0f);
    std::copy(x.begin(), x.end(), bufX.begin());
    std::copy(h.begin(), h.end(), bufH.begin());
    std::vector<std::complex<float>> fx(n / 2 + 1), fh(n / 2 + 1);
    plan.forward(bufX.data(), fx.data());
    plan.forward(bufH.data(), fh.data());
    for (size_t k = 0; k < fx.size(); ++k) fx[k] *= fh[k];
    plan.inverse(fx.data(), bufX.data());
    const float norm = 1.0f / static_cast<float>(n);
    std::vector<float> y(outLen);
    for (size_t i = 0; i < outLen; ++i) y[i] = bufX[i] * norm;
    return y;
}

std::vector<float> hallIR(double sr, double seconds) {
    const auto n = std::max<int64_t>(static_cast<int64_t>(sr * seconds), 0);
    std::vector<float> ir(static_cast<size_t>(n));
    if (n == 0) return ir;
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    auto& rng = randomEngine();
    const double tau = 0.35 * seconds;
    for (int64_t i = 0; i < n; ++i) {
        const double t = double(i) / sr;
        double v = uniform(rng) * std::exp(-t / tau);
        if (t < 0.08) v += 0.3 * uniform(rng) * std::exp(-t / 0.02);  // early reflections
        ir[i] = static_cast<float>(v);
    }
    return ir;
}

Channels verbTail(const Channels& ch, double sr, int64_t start, int64_t end) {
    std::tie(start, end) = clampRange(ch, start, end);
    const int64_t L = end - start;
    if (L <= 0) return Channels(ch.size());
    const auto T = static_cast<int64_t>(4 * sr);
    Channels out;
    out.reserve(ch.size());
    for (const auto& c : ch) {
        const std::vector<float> range(c.begin() + start, c.begin() + end);
        const auto wet = convolve(range, hallIR(sr, 8));
        std::vector<float> o(static_cast<size_t>(L + T), 0.0f);
        for (int64_t k = 0; k < L + T; ++k) {
            const float dry = k < L ? range[k] : 0.0f;
            const float w = k < static_cast<int64_t>(wet.size()) ? wet[k] : 0.0f;
            o[k] = 0.7f * dry + 0.3f * w;
        }
        out.push_back(std::move(o));
    }
    return out;
}

Channels hiPass200(Channels ch, double sr) {
    const Biquad filter = Biquad::highPass(200.0, 0.7071, sr);
    for (auto& c : ch) c = filter.run(c);
    return ch;
}

Channels texture(const Channels& ch, double sr, int64_t start, int64_t end) {
    std::tie(start, end) = clampRange(ch, start, end);
    const int64_t L = end - start;
    if (L <= 0) return Channels(ch.size());
    const int64_t outLen = std::min(8 * L, static_cast<int64_t>(90 * sr));
    const auto G = static_cast<int64_t>(0.08 * sr);
    const int64_t hop = G < 8 ? 1 : G / 8;

    // One grain layer per channel; every grain takes the same source start
    // in all channels, so the stereo image of the selection survives.
    Channels layer(ch.size(), std::vector<float>(static_cast<size_t>(outLen), 0.0f));
    if (outLen > G && G > 0) {
        const auto window = Signal::hanning(static_cast<int>(G));
        std::uniform_int_distribution<int64_t> pick(0, std::max<int64_t>(L - G, 1) - 1);
        auto& rng = randomEngine();
        for (int64_t pos = 0; pos < outLen; pos += hop) {
            const int64_t r = pick(rng);
            const int64_t count = std::min({G, L - r, outLen - pos});
            for (size_t c = 0; c < ch.size(); ++c)
                for (int64_t g = 0; g < count; ++g) layer[c][pos + g] += ch[c][start + r + g] * window[g];
        }
    }

    const Biquad lowPass = Biquad::lowPass(6000.0, 0.7071, sr);
    const int64_t fadeIn = std::min(outLen, static_cast<int64_t>(2 * sr));
    const int64_t fadeOut = std::min(outLen, static_cast<int64_t>(4 * sr));
    Channels out;
    out.reserve(ch.size());
    for (auto& dry : layer) {
        const auto wet = convolve(dry, hallIR(sr, 12));
        std::vector<float> mixed(static_cast<size_t>(outLen));
        for (int64_t i = 0; i < outLen; ++i)
            mixed[i] = 0.2f * dry[i] + 0.8f * (i < static_cast<int64_t>(wet.size()) ? wet[i] : 0.0f);
        auto o = lowPass.run(mixed);
        for (int64_t i = 0; i < fadeIn; ++i) o[i] *= static_cast<float>(double(i) / double(fadeIn));
        for (int64_t k = 0; k < fadeOut; ++k) o[outLen - 1 - k] *= static_cast<float>(double(k) / double(fadeOut));
        out.push_back(std::move(o));
    }
    const float peak = peakOf(out);
    if (peak > 0) scale(out, 0.5011872f / peak);  // -6 dBFS
    return out;
}

Channels monoFold(Channels ch, int64_t a, int64_t b) {
    if (ch.empty()) return ch;
    std::tie(a, b) = clampRange(ch, a, b);
    for (int64_t i = a; i < b; ++i) {
        double sum = 0;
        for (const auto& c : ch) sum += c[i];
        const auto mean = static_cast<float>(sum / double(ch.size()));
        for (auto& c : ch) c[i] = mean;
    }
    return ch;
}

Channels swapLR(Channels ch, int64_t a, int64_t b) {
    if (ch.size() < 2) return ch;
    std::tie(a, b) = clampRange(ch, a, b);
    for (int64_t i = a; i < b; ++i) std::swap(ch[0][i], ch[1][i]);
    return ch;
}

}  // namespace qm::EditOps

#include "rt/mn_upmix.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

constexpr int kMaxIn = MN_UPMIX_MAX_INPUTS;
constexpr int kMaxOut = MN_UPMIX_MAX_OUTPUTS;
constexpr int kMaxPairs = MN_UPMIX_MAX_PAIRS;
constexpr int kLine = MN_UPMIX_DELAY_LINE;
constexpr unsigned kLineMask = kLine - 1;
constexpr size_t kAlignFloats = 16;  // 64-byte boundaries for every array

size_t padded(size_t floats) { return (floats + kAlignFloats - 1) / kAlignFloats * kAlignFloats; }

// Nearest integer (halfway cases to even), held to 0 ... 8192; NaN gives 0.
int32_t delaySamples(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= static_cast<float>(MN_UPMIX_MAX_DELAY)) return MN_UPMIX_MAX_DELAY;
    return static_cast<int32_t>(std::nearbyint(v));
}

}  // namespace

struct mn_upmix {
    int32_t inCh = 0, outCh = 0, n = 0, hop = 0, bins = 0;
    size_t stride = 0;  // bins padded to the array alignment
    float alpha = 0, scale = 0;
    mn_fft_ops fft{};
    void* setup = nullptr;
    float* arena = nullptr;

    float* window = nullptr;
    float* hist[kMaxIn] = {};
    float* inRe[kMaxIn] = {};
    float* inIm[kMaxIn] = {};
    bool inDone[kMaxIn] = {};

    float* pll[kMaxPairs] = {};
    float* prr[kMaxPairs] = {};
    float* plr[kMaxPairs] = {};
    float* smLL = nullptr;
    float* smRR = nullptr;
    float* smLR = nullptr;
    double* prefix = nullptr;
    int32_t* half = nullptr;
    float* coherenceFloor = nullptr;

    float* accRe[kMaxOut] = {};
    float* accIm[kMaxOut] = {};
    bool touched[kMaxOut] = {};
    float* ola[kMaxOut] = {};
    float* finished[kMaxOut] = {};
    float* line[kMaxOut] = {};
    int32_t delayNow[kMaxOut] = {};
    int32_t writePos = 0, fill = 0;

    float* time = nullptr;
    float *yRe = nullptr, *yIm = nullptr, *aLRe = nullptr, *aLIm = nullptr, *aRRe = nullptr,
          *aRIm = nullptr, *frac = nullptr;
    int32_t* step = nullptr;
    float *flRe = nullptr, *flIm = nullptr, *frRe = nullptr, *frIm = nullptr;

    std::atomic<const mn_upmix_plan*> plan{nullptr};
};

namespace {

// Lays every working array out in one block, each on a 64-byte boundary.
// Called twice: once without a base to count, once to hand out pointers.
size_t layout(mn_upmix* c, float* base) {
    size_t used = 0;
    auto take = [&](size_t floats) -> float* {
        float* p = base ? base + used : nullptr;
        used += padded(floats);
        return p;
    };
    const size_t n = static_cast<size_t>(c->n), hop = static_cast<size_t>(c->hop);
    const size_t st = c->stride;
    c->window = take(n);
    for (int i = 0; i < c->inCh; ++i) {
        c->hist[i] = take(n);
        c->inRe[i] = take(st);
        c->inIm[i] = take(st);
    }
    for (int p = 0; p < kMaxPairs; ++p) {
        c->pll[p] = take(st);
        c->prr[p] = take(st);
        c->plr[p] = take(st);
    }
    c->smLL = take(st);
    c->smRR = take(st);
    c->smLR = take(st);
    c->prefix = reinterpret_cast<double*>(take(2 * (st + 1)));
    c->half = reinterpret_cast<int32_t*>(take(st));
    c->coherenceFloor = take(st);
    for (int o = 0; o < c->outCh; ++o) {
        c->accRe[o] = take(st);
        c->accIm[o] = take(st);
        c->ola[o] = take(n);
        c->finished[o] = take(hop);
        c->line[o] = take(kLine);
    }
    c->time = take(n);
    c->yRe = take(st);
    c->yIm = take(st);
    c->aLRe = take(st);
    c->aLIm = take(st);
    c->aRRe = take(st);
    c->aRIm = take(st);
    c->frac = take(st);
    c->step = reinterpret_cast<int32_t*>(take(st));
    c->flRe = take(st);
    c->flIm = take(st);
    c->frRe = take(st);
    c->frIm = take(st);
    return used;
}

void destroyContext(mn_upmix* c) {
    if (c->setup) c->fft.destroy(c->setup);
    if (c->arena) ::operator delete[](c->arena, std::align_val_t{64});
    delete c;
}

// The input's spectrum of the current frame, computed at most once per frame.
void spectrum(mn_upmix* c, int ch) {
    if (c->inDone[ch]) return;
    const float* h = c->hist[ch];
    for (int j = 0; j < c->n; ++j) c->time[j] = h[j] * c->window[j];
    c->fft.forward(c->setup, c->time, c->inRe[ch], c->inIm[ch]);
    c->inIm[ch][0] = 0.0f;
    c->inIm[ch][c->bins - 1] = 0.0f;
    c->inDone[ch] = true;
}

// Mean over bins k - w_k ... k + w_k (clipped), from running sums in double.
void smooth(mn_upmix* c, const float* src, float* dst) {
    const int K = c->bins;
    double* pre = c->prefix;
    pre[0] = 0.0;
    for (int k = 0; k < K; ++k) pre[k + 1] = pre[k] + static_cast<double>(src[k]);
    for (int k = 0; k < K; ++k) {
        const int w = c->half[k];
        const int lo = std::max(0, k - w), hi = std::min(K - 1, k + w);
        dst[k] = static_cast<float>((pre[hi + 1] - pre[lo]) / static_cast<double>(hi - lo + 1));
    }
}

bool validOut(const mn_upmix* c, int32_t o) { return o >= 0 && o < c->outCh; }
bool validIn(const mn_upmix* c, int32_t i) { return i >= 0 && i < c->inCh; }

void processPair(mn_upmix* c, const mn_upmix_plan* plan, int p, bool exact) {
    const int K = c->bins, outs = c->outCh, S = plan->pan_steps;
    const int l = plan->pair_in[2 * p], r = plan->pair_in[2 * p + 1];
    spectrum(c, l);
    spectrum(c, r);
    const float *lRe = c->inRe[l], *lIm = c->inIm[l], *rRe = c->inRe[r], *rIm = c->inIm[r];

    const float a = c->alpha, b = 1.0f - c->alpha;
    float *pll = c->pll[p], *prr = c->prr[p], *plr = c->plr[p];
    // A NaN or infinity in the input would stay in the recursive averages
    // for good and spoil the pair until a reset: such a bin starts afresh
    // instead, so the damage lasts only while the bad samples are in view.
    auto settle = [](float v) { return std::isfinite(v) ? v : 0.0f; };
    for (int k = 0; k < K; ++k) {
        pll[k] = settle(a * pll[k] + b * (lRe[k] * lRe[k] + lIm[k] * lIm[k]));
        prr[k] = settle(a * prr[k] + b * (rRe[k] * rRe[k] + rIm[k] * rIm[k]));
        plr[k] = settle(a * plr[k] + b * (lRe[k] * rRe[k] + lIm[k] * rIm[k]));
    }
    smooth(c, pll, c->smLL);
    smooth(c, prr, c->smRR);
    smooth(c, plr, c->smLR);

    const float kappa = plan->kappa ? plan->kappa[p] : 1.0f;
    const float steps = static_cast<float>(S - 1);
    for (int k = 0; k < K; ++k) {
        const float cr = std::max(c->smLR[k], 0.0f);
        const float d = c->smLL[k] - c->smRR[k];
        const float s = c->smLL[k] + c->smRR[k];
        float q = 0.0f;
        if (s > 0.0f) {
            // Written as ratios so that loud input cannot overflow s^2.
            const float dn = d / s, cn = cr / s;
            const float q0 = dn * dn + 4.0f * cn * cn;
            const float F = c->coherenceFloor[k] * c->coherenceFloor[k];
            q = q0 > F ? (q0 - F) / (1.0f - F) : 0.0f;
        }
        q = std::min(q, 1.0f);
        const float D = s * std::sqrt(q);
        const float theta = 0.5f * std::atan2(2.0f * cr, d);
        const float g = D > 0.0f ? D / (D + kappa * std::max(0.0f, (s - D) * 0.5f) + 1e-30f) : 0.0f;
        const float ct = std::cos(theta), st = std::sin(theta);
        const float yr = g * (ct * lRe[k] + st * rRe[k]);
        const float yi = g * (ct * lIm[k] + st * rIm[k]);
        c->yRe[k] = yr;
        c->yIm[k] = yi;
        c->aLRe[k] = lRe[k] - ct * yr;
        c->aLIm[k] = lIm[k] - ct * yi;
        c->aRRe[k] = rRe[k] - st * yr;
        c->aRIm[k] = rIm[k] - st * yi;
        float x = theta / 1.5707964f * steps;
        // Written so that a NaN lands on step 0: the step indexes the table.
        x = x > 0.0f ? std::min(x, steps) : 0.0f;
        const int i = std::min(static_cast<int>(x), S - 2);
        c->step[k] = i;
        c->frac[k] = x - static_cast<float>(i);
    }

    const int ownL = exact ? plan->own_l[p] : -1;
    const int ownR = exact ? plan->own_r[p] : -1;
    if (exact) {
        std::memset(c->flRe, 0, sizeof(float) * K);
        std::memset(c->flIm, 0, sizeof(float) * K);
        std::memset(c->frRe, 0, sizeof(float) * K);
        std::memset(c->frIm, 0, sizeof(float) * K);
    }
    for (int o = 0; o < outs; ++o) {
        if (exact && (o == ownL || o == ownR)) continue;
        const float* dir = plan->direct + (static_cast<size_t>(p) * outs + o) * S;
        const float al = plan->amb_l[p * outs + o], ar = plan->amb_r[p * outs + o];
        bool anyDirect = false;
        for (int i = 0; i < S && !anyDirect; ++i) anyDirect = dir[i] != 0.0f;
        const bool ambient = al != 0.0f || ar != 0.0f;
        if (!anyDirect && !ambient) continue;
        const float* curve = ambient && plan->curve ? plan->curve + static_cast<size_t>(o) * K : nullptr;
        const bool decor = ambient && plan->decor_re && plan->decor_im;
        const float* dRe = decor ? plan->decor_re + static_cast<size_t>(o) * K : nullptr;
        const float* dIm = decor ? plan->decor_im + static_cast<size_t>(o) * K : nullptr;
        const float fl = exact ? plan->fold_l[p * outs + o] : 0.0f;
        const float fr = exact ? plan->fold_r[p * outs + o] : 0.0f;
        float *accRe = c->accRe[o], *accIm = c->accIm[o];
        c->touched[o] = true;
        for (int k = 0; k < K; ++k) {
            const int i = c->step[k];
            const float gd = dir[i] + c->frac[k] * (dir[i + 1] - dir[i]);
            float zr = gd * c->yRe[k], zi = gd * c->yIm[k];
            if (ambient) {
                float mr = al * c->aLRe[k] + ar * c->aRRe[k];
                float mi = al * c->aLIm[k] + ar * c->aRIm[k];
                if (curve) {
                    mr *= curve[k];
                    mi *= curve[k];
                }
                if (decor) {
                    const float tr = mr * dRe[k] - mi * dIm[k];
                    mi = mr * dIm[k] + mi * dRe[k];
                    mr = tr;
                }
                zr += mr;
                zi += mi;
            }
            accRe[k] += zr;
            accIm[k] += zi;
            if (exact) {
                c->flRe[k] += fl * zr;
                c->flIm[k] += fl * zi;
                c->frRe[k] += fr * zr;
                c->frIm[k] += fr * zi;
            }
        }
    }
    if (exact) {
        // The own outputs carry the input minus what folds back from the
        // others, so a fold-down returns the input.
        if (validOut(c, ownL)) {
            c->touched[ownL] = true;
            for (int k = 0; k < K; ++k) {
                c->accRe[ownL][k] += lRe[k] - c->flRe[k];
                c->accIm[ownL][k] += lIm[k] - c->flIm[k];
            }
        }
        if (validOut(c, ownR)) {
            c->touched[ownR] = true;
            for (int k = 0; k < K; ++k) {
                c->accRe[ownR][k] += rRe[k] - c->frRe[k];
                c->accIm[ownR][k] += rIm[k] - c->frIm[k];
            }
        }
    }
}

void processFrame(mn_upmix* c) {
    const mn_upmix_plan* plan = c->plan.load(std::memory_order_acquire);
    const int K = c->bins, outs = c->outCh, hop = c->hop, n = c->n;
    std::fill(c->inDone, c->inDone + c->inCh, false);
    for (int o = 0; o < outs; ++o) {
        std::memset(c->accRe[o], 0, sizeof(float) * K);
        std::memset(c->accIm[o], 0, sizeof(float) * K);
        c->touched[o] = false;
    }

    if (plan) {
        const bool pairArrays = plan->pair_in && plan->direct && plan->amb_l && plan->amb_r;
        const bool exact = plan->exact != 0 && plan->own_l && plan->own_r && plan->fold_l && plan->fold_r;
        const int pairs = pairArrays ? std::min(plan->pairs, static_cast<int32_t>(kMaxPairs)) : 0;
        for (int p = 0; p < pairs; ++p) {
            if (!validIn(c, plan->pair_in[2 * p]) || !validIn(c, plan->pair_in[2 * p + 1]) ||
                plan->pan_steps < 2)
                continue;
            processPair(c, plan, p, exact);
        }

        if (plan->route_in && plan->route_out && plan->route_gain) {
            for (int r = 0; r < plan->routes; ++r) {
                const int i = plan->route_in[r], o = plan->route_out[r];
                if (!validIn(c, i) || !validOut(c, o)) continue;
                spectrum(c, i);
                const float g = plan->route_gain[r];
                for (int k = 0; k < K; ++k) {
                    c->accRe[o][k] += g * c->inRe[i][k];
                    c->accIm[o][k] += g * c->inIm[i][k];
                }
                c->touched[o] = true;
            }
        }

        if (plan->main_hp) {
            for (int o = 0; o < outs; ++o) {
                if (o == plan->lfe_out || !c->touched[o]) continue;
                for (int k = 0; k < K; ++k) {
                    c->accRe[o][k] *= plan->main_hp[k];
                    c->accIm[o][k] *= plan->main_hp[k];
                }
            }
        }

        if (plan->lfe_lp && validOut(c, plan->lfe_out) && plan->pairs >= 1 && plan->pair_in &&
            validIn(c, plan->pair_in[0]) && validIn(c, plan->pair_in[1])) {
            const int l = plan->pair_in[0], r = plan->pair_in[1], o = plan->lfe_out;
            spectrum(c, l);
            spectrum(c, r);
            for (int k = 0; k < K; ++k) {
                const float g = plan->lfe_gain * plan->lfe_lp[k];
                c->accRe[o][k] += g * (c->inRe[l][k] + c->inRe[r][k]);
                c->accIm[o][k] += g * (c->inIm[l][k] + c->inIm[r][k]);
            }
            c->touched[o] = true;
        }

        // An output nothing was added to transforms back to zeros: skip it.
        for (int o = 0; o < outs; ++o) {
            if (!c->touched[o]) continue;
            c->accIm[o][0] = 0.0f;
            c->accIm[o][K - 1] = 0.0f;
            c->fft.inverse(c->setup, c->accRe[o], c->accIm[o], c->time);
            float* ola = c->ola[o];
            const float sc = c->scale;
            for (int j = 0; j < n; ++j) ola[j] += c->time[j] * c->window[j] * sc;
        }
    }

    const unsigned wp = static_cast<unsigned>(c->writePos);
    for (int o = 0; o < outs; ++o) {
        float* line = c->line[o];
        float* ola = c->ola[o];
        float* fin = c->finished[o];
        for (int j = 0; j < hop; ++j) line[(wp + j) & kLineMask] = ola[j];
        const int32_t target = plan && plan->delay ? delaySamples(plan->delay[o]) : 0;
        const int32_t old = c->delayNow[o];
        if (target == old) {
            const unsigned base = wp - static_cast<unsigned>(old);
            for (int j = 0; j < hop; ++j) fin[j] = line[(base + j) & kLineMask];
        } else {
            // One hop of linear crossfade from the old delay to the new one.
            const unsigned bOld = wp - static_cast<unsigned>(old);
            const unsigned bNew = wp - static_cast<unsigned>(target);
            for (int j = 0; j < hop; ++j) {
                const float u = static_cast<float>(j + 1) / static_cast<float>(hop);
                fin[j] = (1.0f - u) * line[(bOld + j) & kLineMask] + u * line[(bNew + j) & kLineMask];
            }
            c->delayNow[o] = target;
        }
        std::memmove(ola, ola + hop, sizeof(float) * static_cast<size_t>(n - hop));
        std::memset(ola + (n - hop), 0, sizeof(float) * static_cast<size_t>(hop));
    }
    c->writePos = static_cast<int32_t>((wp + static_cast<unsigned>(hop)) & kLineMask);
}

}  // namespace

extern "C" {

mn_upmix* mn_upmix_create(int32_t in_channels, int32_t out_channels, int32_t fft_size,
                          double sample_rate, const mn_fft_ops* fft) {
    if (in_channels < 1 || in_channels > kMaxIn) return nullptr;
    if (out_channels < 1 || out_channels > kMaxOut) return nullptr;
    if (fft_size < 256 || fft_size > 8192 || (fft_size & (fft_size - 1)) != 0) return nullptr;
    if (!fft || !fft->create || !fft->destroy || !fft->forward || !fft->inverse) return nullptr;

    auto* c = new (std::nothrow) mn_upmix;
    if (!c) return nullptr;
    c->inCh = in_channels;
    c->outCh = out_channels;
    c->n = fft_size;
    c->hop = fft_size / 4;
    c->bins = fft_size / 2 + 1;
    c->stride = padded(static_cast<size_t>(c->bins));
    c->fft = *fft;

    const size_t floats = layout(c, nullptr);
    c->arena = static_cast<float*>(::operator new[](sizeof(float) * floats, std::align_val_t{64}, std::nothrow));
    if (!c->arena) {
        destroyContext(c);
        return nullptr;
    }
    std::memset(c->arena, 0, sizeof(float) * floats);
    layout(c, c->arena);

    c->setup = fft->create(fft_size);
    if (!c->setup) {
        destroyContext(c);
        return nullptr;
    }

    const int n = c->n;
    for (int j = 0; j < n; ++j)
        c->window[j] = static_cast<float>(std::sqrt(0.5 - 0.5 * std::cos(2.0 * M_PI * j / n)));
    const double tau = sample_rate > 0 ? 0.02 * sample_rate : 960.0;
    c->alpha = static_cast<float>(std::exp(-static_cast<double>(c->hop) / tau));
    for (int k = 0; k < c->bins; ++k) {
        c->half[k] = k / 20 + 2;
        c->coherenceFloor[k] = static_cast<float>(1.1 / std::sqrt(2.0 * c->half[k] + 1.0));
    }

    // Round-trip gain of the transforms, measured through the same path that
    // processing uses; 2 is the sum of the squared window over four frames.
    c->time[3] = 1.0f;
    c->fft.forward(c->setup, c->time, c->yRe, c->yIm);
    c->yIm[0] = 0.0f;
    c->yIm[c->bins - 1] = 0.0f;
    c->fft.inverse(c->setup, c->yRe, c->yIm, c->ola[0]);
    const float g = c->ola[0][3];
    c->scale = g != 0.0f ? 1.0f / (2.0f * g) : 1.0f / (4.0f * static_cast<float>(n));
    std::memset(c->ola[0], 0, sizeof(float) * static_cast<size_t>(n));
    std::memset(c->time, 0, sizeof(float) * static_cast<size_t>(n));
    return c;
}

void mn_upmix_destroy(mn_upmix* ctx) {
    if (ctx) destroyContext(ctx);
}

int32_t mn_upmix_bins(const mn_upmix* ctx) { return ctx->bins; }
int32_t mn_upmix_latency(const mn_upmix* ctx) { return ctx->n; }
int32_t mn_upmix_in_channels(const mn_upmix* ctx) { return ctx->inCh; }

int32_t mn_upmix_settle(const mn_upmix* ctx) {
    const mn_upmix_plan* plan = ctx->plan.load(std::memory_order_acquire);
    int32_t delay = 0;
    if (plan && plan->delay) {
        for (int o = 0; o < ctx->outCh; ++o) delay = std::max(delay, delaySamples(plan->delay[o]));
    }
    return 2 * ctx->n + delay;
}

const mn_upmix_plan* mn_upmix_set_plan(mn_upmix* ctx, const mn_upmix_plan* plan) {
    return ctx->plan.exchange(plan, std::memory_order_acq_rel);
}

void mn_upmix_reset(mn_upmix* c) {
    const size_t n = static_cast<size_t>(c->n);
    for (int i = 0; i < c->inCh; ++i) std::memset(c->hist[i], 0, sizeof(float) * n);
    for (int p = 0; p < kMaxPairs; ++p) {
        std::memset(c->pll[p], 0, sizeof(float) * c->stride);
        std::memset(c->prr[p], 0, sizeof(float) * c->stride);
        std::memset(c->plr[p], 0, sizeof(float) * c->stride);
    }
    const mn_upmix_plan* plan = c->plan.load(std::memory_order_acquire);
    for (int o = 0; o < c->outCh; ++o) {
        std::memset(c->ola[o], 0, sizeof(float) * n);
        std::memset(c->finished[o], 0, sizeof(float) * static_cast<size_t>(c->hop));
        std::memset(c->line[o], 0, sizeof(float) * kLine);
        c->delayNow[o] = plan && plan->delay ? delaySamples(plan->delay[o]) : 0;
    }
    c->fill = 0;
    c->writePos = 0;
}

void mn_upmix_process(mn_upmix* c, const float* const* in, int32_t frames, float* const* out) {
    if (!c || frames <= 0) return;
    const int hop = c->hop, n = c->n;
    int32_t done = 0;
    while (done < frames) {
        const int chunk = std::min(frames - done, hop - c->fill);
        const size_t bytes = sizeof(float) * static_cast<size_t>(chunk);
        for (int i = 0; i < c->inCh; ++i) {
            float* dst = c->hist[i] + (n - hop + c->fill);
            const float* src = in ? in[i] : nullptr;
            if (src)
                std::memcpy(dst, src + done, bytes);
            else
                std::memset(dst, 0, bytes);
        }
        for (int o = 0; o < c->outCh; ++o) {
            float* dst = out ? out[o] : nullptr;
            if (dst) std::memcpy(dst + done, c->finished[o] + c->fill, bytes);
        }
        c->fill += chunk;
        done += chunk;
        if (c->fill == hop) {
            processFrame(c);
            for (int i = 0; i < c->inCh; ++i)
                std::memmove(c->hist[i], c->hist[i] + hop, sizeof(float) * static_cast<size_t>(n - hop));
            c->fill = 0;
        }
    }
}

}  // extern "C"

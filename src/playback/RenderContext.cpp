#include "playback/RenderContext.h"

#include "platform/BinauralRenderer.h"
#include "rt/mn_upmix.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qm {

RenderContext::RenderContext()
    : ringSlot(mn_slot_create()),
      cfgSlot(mn_slot_create()),
      position(mn_f64_create(0.0)),
      finished(mn_i64_create(0)),
      gain(mn_f64_create(1.0)),
      starved(mn_i64_create(0)),
      binauralSlot(mn_slot_create()) {
    if (!ringSlot || !cfgSlot || !position || !finished || !gain || !starved || !binauralSlot) {
        destroyCells();
        throw std::bad_alloc();
    }
    ringFrames_.make(maxSourceChannels);
    newRingFrames_.make(maxSourceChannels);
    fadedFrames_.make(maxSourceChannels);
    busMemory_.make(maxVirtualSpeakers);
    bus_ = busMemory_.data();
    upmixOut_.make(maxUpmixOutputs);
    newUpmixOut_.make(maxUpmixOutputs);
    earL_.assign(kMaxRenderFrames, 0.0f);
    earR_.assign(kMaxRenderFrames, 0.0f);
    limiter_.prepare(48000.0);
}

RenderContext::~RenderContext() { destroyCells(); }

void RenderContext::destroyCells() {
    mn_slot_destroy(ringSlot);
    mn_slot_destroy(cfgSlot);
    mn_f64_destroy(position);
    mn_i64_destroy(finished);
    mn_f64_destroy(gain);
    mn_i64_destroy(starved);
    mn_slot_destroy(binauralSlot);
}

void RenderContext::restartFromSilence() {
    prevRing_ = nullptr;
    prevCfg_ = nullptr;
    warmup_.reset();
    limiter_.reset();
}

void RenderContext::renderCallback(void* user, uint32_t frames, float* const* channels,
                                   uint32_t channelCount) {
    static_cast<RenderContext*>(user)->render(frames, channels, channelCount);
}

// Reads n frames of `ring` into `dst`, padding a short read with silence.
// Returns the ring's channel count; a ring of more channels than the scratch
// sets hold is not read and counts as none.
int RenderContext::readRing(mn_ring* ring, float* const* dst, uint32_t n, Stamps stamps) {
    if (!ring) return 0;
    const int c = mn_ring_channels(ring);
    if (c > maxSourceChannels || c < 0) return 0;
    double stamp = 0.0;
    const int32_t got = mn_ring_read(ring, dst, static_cast<int32_t>(n), &stamp);
    if (got < static_cast<int32_t>(n)) {
        const int32_t from = std::max<int32_t>(got, 0);
        for (int ch = 0; ch < c; ++ch) {
            std::memset(dst[ch] + from, 0, sizeof(float) * (n - static_cast<uint32_t>(from)));
        }
        // The reader fell behind (a busy disk or machine): count what it missed.
        if (stamps == Stamps::publish && !mn_ring_eof(ring))
            mn_i64_store(starved, mn_i64_load(starved) + (static_cast<int32_t>(n) - from));
    }
    if (stamps == Stamps::publish && got > 0) mn_f64_store(position, stamp);
    return c;
}

void RenderContext::outputSet(const mn_mix_config* cfg, float* const** out, int32_t* count) {
    if (cfg->to_binaural) {
        *out = bus_;
        *count = maxVirtualSpeakers;
    } else {
        *out = dev_;
        *count = devCount_;
    }
}

// The upmix kernel's inputs: `in` from the record's offset on; channels the
// source lacks are silent.
void RenderContext::fillUpmixInputs(const mn_mix_config* cfg, float* const* in, int channels) {
    auto* u = static_cast<mn_upmix*>(cfg->upmix);
    const int k = std::min<int>(mn_upmix_in_channels(u), maxSourceChannels);
    for (int i = 0; i < k; ++i) {
        const int64_t idx = static_cast<int64_t>(cfg->upmix_offset) + i;
        upmixIn_[i] = idx >= 0 && idx < channels ? in[idx] : nullptr;
    }
}

// Renders one record's side: straight through its matrix when the input has
// the record's channel count, or through its upmix kernel into `upOut` and
// then the matrix. A record asking for more matrix inputs than the kernel's
// outputs can hold mixes nothing rather than read past them.
void RenderContext::mixSide(const mn_mix_config* cfg, float* const* in, int channels,
                            uint32_t n, float* const* upOut, const float* ramp) {
    float* const* out = nullptr;
    int32_t outCount = 0;
    outputSet(cfg, &out, &outCount);
    if (!cfg->upmix) {
        if (channels == cfg->in_channels) {
            mn_mix_accumulate(cfg, in, static_cast<int32_t>(n), out, outCount, ramp);
        }
        return;
    }
    fillUpmixInputs(cfg, in, channels);
    mn_upmix_process(static_cast<mn_upmix*>(cfg->upmix), upmixIn_, static_cast<int32_t>(n), upOut);
    if (cfg->in_channels <= maxUpmixOutputs) {
        mn_mix_accumulate(cfg, upOut, static_cast<int32_t>(n), out, outCount, ramp);
    }
}

// The block's input as the output heard it: while the ring changes, the
// old ring's frames fading out (none when no record played) and the new
// one's fading in; `count` channels of it into `fadedFrames_`.
float* const* RenderContext::fadeInputs(float* const* oldIn, int oldCount, float* const* newIn, int newCount,
                                        int count, uint32_t n) {
    float* const* faded = fadedFrames_.data();
    for (int ch = 0; ch < count; ++ch) {
        float* dst = faded[ch];
        const float* a = ch < oldCount ? oldIn[ch] : nullptr;
        const float* b = ch < newCount ? newIn[ch] : nullptr;
        for (uint32_t t = 0; t < n; ++t)
            dst[t] = (a ? a[t] * ramps_.down[t] : 0.0f) + (b ? b[t] * ramps_.up[t] : 0.0f);
    }
    return faded;
}

int32_t RenderContext::render(uint32_t frameCount, float* const* buffers, uint32_t bufferCount) {
    const uint32_t n = std::min(frameCount, kMaxRenderFrames);
    devCount_ = static_cast<int>(std::min<uint32_t>(bufferCount, maxDeviceChannels));
    for (uint32_t i = 0; i < bufferCount; ++i) {
        if (buffers[i]) std::memset(buffers[i], 0, sizeof(float) * frameCount);
    }
    for (int i = 0; i < devCount_; ++i) dev_[i] = buffers[i];

    auto* ring = static_cast<mn_ring*>(mn_slot_load(ringSlot));
    // A record whose upmix kernel is new waits while the kernel settles.
    const auto* cfg = warmup_.choose(prevCfg_, static_cast<const mn_mix_config*>(mn_slot_load(cfgSlot)), n);
    auto* binaural = static_cast<BinauralRenderer*>(mn_slot_load(binauralSlot));
    if (binaural != binaural_) {
        // Another renderer (another rate): it starts from silence.
        binaural_ = binaural;
        binauralWasDue_ = false;
    }

    const bool binauralDue = (cfg && cfg->to_binaural) || (prevCfg_ && prevCfg_->to_binaural);
    // Leaving the binaural path, the ears themselves fade out over the
    // callback, in step with the new path fading in: faded on the bus
    // instead, they would go on sounding for the renderer's latency and
    // response after the new path had come up.
    const bool earsFadeOut = prevCfg_ && prevCfg_->to_binaural && cfg != prevCfg_ && !(cfg && cfg->to_binaural);
    if (binauralDue) {
        for (int i = 0; i < maxVirtualSpeakers; ++i) std::memset(bus_[i], 0, sizeof(float) * n);
    }

    float* const* ringIn = ringFrames_.data();
    // The old and the new side's input: the same ring read once, unless the
    // ring changes.
    float* const* oldIn = ringIn;
    float* const* newIn = ringIn;
    int oldCount = 0, newCount = 0;
    const bool ringChanges = ring != prevRing_;
    if (!ringChanges && cfg == prevCfg_) {
        if (cfg) {
            oldCount = newCount = readRing(ring, ringIn, n, Stamps::publish);
            mixSide(cfg, ringIn, newCount, n, upmixOut_.data(), nullptr);
        }
    } else {
        ramps_.fill(n);
        if (!ringChanges) {
            oldCount = newCount = readRing(ring, ringIn, n, Stamps::publish);
        } else {
            oldCount = readRing(prevRing_, ringIn, n, Stamps::ignore);
            newIn = newRingFrames_.data();
            newCount = readRing(ring, newIn, n, Stamps::publish);
        }

        const float* oldRamp = earsFadeOut ? nullptr : ramps_.down.data();
        if (cfg && cfg->upmix && (!prevCfg_ || cfg->upmix == prevCfg_->upmix)) {
            // One kernel serves both records (or the new one starts from
            // silence): it runs once, on the input as heard, and only the
            // matrices crossfade. A kernel that starts hears its input fade
            // in, so its output begins without a step after its latency.
            auto* u = static_cast<mn_upmix*>(cfg->upmix);
            float* const* kernelIn = ringIn;
            int kernelCount = oldCount;
            if (ringChanges || !prevCfg_) {
                const int64_t want = static_cast<int64_t>(std::max(cfg->upmix_offset, 0)) +
                                     mn_upmix_in_channels(u);
                kernelCount = static_cast<int>(std::min<int64_t>(want, maxSourceChannels));
                kernelIn = fadeInputs(prevCfg_ ? oldIn : nullptr, prevCfg_ ? oldCount : 0, newIn, newCount,
                                      kernelCount, n);
            }
            fillUpmixInputs(cfg, kernelIn, kernelCount);
            float* const* upmixed = upmixOut_.data();
            mn_upmix_process(u, upmixIn_, static_cast<int32_t>(n), upmixed);
            float* const* out = nullptr;
            int32_t outCount = 0;
            if (cfg == prevCfg_ || !prevCfg_) {
                outputSet(cfg, &out, &outCount);
                if (cfg->in_channels <= maxUpmixOutputs)
                    mn_mix_accumulate(cfg, upmixed, static_cast<int32_t>(n), out, outCount, nullptr);
            } else {
                outputSet(prevCfg_, &out, &outCount);
                if (prevCfg_->in_channels <= maxUpmixOutputs)
                    mn_mix_accumulate(prevCfg_, upmixed, static_cast<int32_t>(n), out, outCount, oldRamp);
                outputSet(cfg, &out, &outCount);
                if (cfg->in_channels <= maxUpmixOutputs)
                    mn_mix_accumulate(cfg, upmixed, static_cast<int32_t>(n), out, outCount,
                                      ramps_.up.data());
            }
        } else {
            if (prevCfg_) mixSide(prevCfg_, oldIn, oldCount, n, upmixOut_.data(), oldRamp);
            if (cfg) mixSide(cfg, newIn, newCount, n, newUpmixOut_.data(), ramps_.up.data());
        }
    }
    // The settling kernel hears what the output played (the old ring fading
    // out and the new one in, while the ring changes); its own output is not
    // heard yet.
    if (const mn_mix_config* next = warmup_.feeding()) {
        const int heardCount = std::max(oldCount, newCount);
        float* const* heardIn =
            ringChanges ? fadeInputs(oldIn, oldCount, newIn, newCount, heardCount, n) : ringIn;
        fillUpmixInputs(next, heardIn, heardCount);
        mn_upmix_process(static_cast<mn_upmix*>(next->upmix), upmixIn_, static_cast<int32_t>(n),
                         newUpmixOut_.data());
    }

    const mn_mix_config* earRecord = cfg && cfg->to_binaural ? cfg : prevCfg_;
    if (earRecord && earRecord->to_binaural) {
        earLeft_ = earRecord->bin_left;
        earRight_ = earRecord->bin_right;
    }
    prevRing_ = ring;
    prevCfg_ = cfg;

    // The ears are added after the direct mix, so a change between speakers
    // and headphones overlaps both for one callback.
    if (binauralDue && binaural_) {
        // A renderer left unpulled still holds the tail of what it played
        // the last time; coming back, it starts from silence instead.
        if (!binauralWasDue_) binaural_->reset();
        const bool ok = binaural_->render(bus_, maxVirtualSpeakers, n, earL_.data(), earR_.data());
        if (ok) {
            const int32_t ears[2] = {earLeft_, earRight_};
            const float* sig[2] = {earL_.data(), earR_.data()};
            for (int e = 0; e < 2; ++e) {
                if (ears[e] < 0 || ears[e] >= devCount_ || !dev_[ears[e]]) continue;
                float* d = dev_[ears[e]];
                if (earsFadeOut) {
                    for (uint32_t t = 0; t < n; ++t) d[t] += sig[e][t] * ramps_.down[t];
                } else {
                    for (uint32_t t = 0; t < n; ++t) d[t] += sig[e][t];
                }
            }
        }
    }
    // Once faded out, what the renderer still holds is never heard: coming
    // back, it starts from silence.
    binauralWasDue_ = binauralDue && binaural_ && !earsFadeOut;

    const float g = static_cast<float>(mn_f64_load(gain));
    if (g == prevGain_) {
        if (g != 1.0f) {
            for (int i = 0; i < devCount_; ++i) {
                if (!dev_[i]) continue;
                for (uint32_t t = 0; t < n; ++t) dev_[i][t] *= g;
            }
        }
    } else {
        const float step = n > 0 ? (g - prevGain_) / static_cast<float>(n) : 0.0f;
        for (int i = 0; i < devCount_ && n > 0; ++i) {
            if (!dev_[i]) continue;
            float v = prevGain_;
            for (uint32_t t = 0; t < n; ++t) {
                v += step;
                dev_[i][t] *= v;
            }
        }
        prevGain_ = g;
    }
    // What the device gets: nothing at or above full scale.
    limiter_.process(dev_, devCount_, n);

    // The slot is looked at again: a new stream published while this callback
    // ran (play() resets `finished` first) must not be marked finished by the
    // end of the one it replaced.
    if (ring && mn_ring_available(ring) == 0 && mn_ring_eof(ring) &&
        mn_slot_load(ringSlot) == ring) {
        mn_i64_store(finished, 1);
    }
    return 0;
}

}  // namespace qm

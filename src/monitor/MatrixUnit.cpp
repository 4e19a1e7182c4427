#include "monitor/MatrixUnit.h"

#include "rt/mn_upmix.h"
#include "spatial/Upmixer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qm {

// A published record with what it points to: its matrix (in `mix`) and the
// upmixer whose context it names, which lives at least as long as the record.
struct MatrixUnit::Record {
    std::unique_ptr<RealtimeMix> mix;
    std::shared_ptr<Upmixer> upmixer;
    std::shared_ptr<std::atomic<long>> live;

    Record(std::unique_ptr<RealtimeMix> m, std::shared_ptr<Upmixer> u, std::shared_ptr<std::atomic<long>> count)
        : mix(std::move(m)), upmixer(std::move(u)), live(std::move(count)) {
        live->fetch_add(1);
    }
    ~Record() { live->fetch_sub(1); }
    const mn_mix_config* pointer() const { return &mix->record; }
};

MatrixUnit::State::State() : slot_(mn_slot_create()), heard_(mn_slot_create()) {
    if (!slot_ || !heard_) {
        mn_slot_destroy(slot_);
        mn_slot_destroy(heard_);
        throw std::bad_alloc();
    }
    own_.make(maxInputs);
    faded_.make(maxInputs);
    ownOut_.make(maxOutputs);
    upA_.make(maxUpmixOutputs);
    upB_.make(maxUpmixOutputs);
}

MatrixUnit::State::~State() {
    mn_slot_destroy(slot_);
    mn_slot_destroy(heard_);
}

const mn_mix_config* MatrixUnit::State::heard() const {
    return static_cast<const mn_mix_config*>(mn_slot_load(heard_));
}

// A record fits a block of `c` input channels when every channel it reads
// exists: without an upmix context its matrix reads exactly `c` inputs; with
// one, the context's inputs start at a channel inside the input and end
// within it, and the matrix reads no more upmix outputs than are held.
bool MatrixUnit::State::usable(const mn_mix_config* r, int c) const {
    if (!r->upmix) return r->in_channels == c;
    const int64_t k = mn_upmix_in_channels(static_cast<const mn_upmix*>(r->upmix));
    return r->upmix_offset >= 0 && static_cast<int64_t>(r->upmix_offset) + k <= c && r->in_channels >= 0 &&
           r->in_channels <= maxUpmixOutputs;
}

float* const* MatrixUnit::State::upmix(const mn_mix_config* r, int c, uint32_t n, const ScratchChannels& dest,
                                       const float* fadeIn) {
    auto* u = static_cast<mn_upmix*>(r->upmix);
    const int k = std::min<int>(mn_upmix_in_channels(u), maxInputs);
    for (int i = 0; i < k; ++i) {
        const int64_t idx = static_cast<int64_t>(r->upmix_offset) + i;
        upIn_[i] = idx >= 0 && idx < c ? ins_[idx] : nullptr;
        if (fadeIn && upIn_[i]) {
            float* f = faded_.ptr[static_cast<size_t>(i)];
            for (uint32_t t = 0; t < n; ++t) f[t] = upIn_[i][t] * fadeIn[t];
            upIn_[i] = f;
        }
    }
    mn_upmix_process(u, upIn_, static_cast<int32_t>(n), dest.ptr.data());
    return dest.ptr.data();
}

void MatrixUnit::State::mix(const mn_mix_config* r, const float* const* in, uint32_t n, int m, const float* ramp) {
    mn_mix_accumulate(r, in, static_cast<int32_t>(n), outs_, m, ramp);
}

int32_t MatrixUnit::State::render(uint32_t frames, const float* const* inputs, int inputCount,
                                  float* const* outputs, int outputCount) {
    const uint32_t n = std::min(frames, maxFrames);
    const int c = std::clamp(inChannels_, 0, maxInputs);
    for (int i = 0; i < c; ++i) {
        ins_[i] = inputs && i < inputCount && inputs[i] ? inputs[i] : own_.ptr[i];
    }
    const int m = std::clamp(outputCount, 0, maxOutputs);
    for (int o = 0; o < outputCount; ++o) {
        if (outputs[o]) std::memset(outputs[o], 0, sizeof(float) * frames);
    }
    for (int o = 0; o < m; ++o) {
        outs_[o] = outputs[o] ? outputs[o] : ownOut_.ptr[o];
        if (!outputs[o]) std::memset(outs_[o], 0, sizeof(float) * n);
    }

    // An empty block changes nothing: a change is crossfaded in the next
    // block that carries frames.
    if (n == 0) return 0;
    const auto* asked = static_cast<const mn_mix_config*>(mn_slot_load(slot_));
    if (!asked || !usable(asked, c)) {
        // Silence: nothing is remembered, so no later block fades from a
        // record that may be freed meanwhile.
        prev_ = nullptr;
        fadeIn_ = true;
        warmup_.reset();
        mn_slot_store(heard_, nullptr);
        return 0;
    }

    // A record whose upmix kernel is new waits while the kernel settles.
    const bool prevUsable = prev_ && usable(prev_, c);
    const mn_mix_config* cur = prevUsable ? warmup_.choose(prev_, asked, n) : asked;
    if (!prevUsable) warmup_.reset();
    const bool fromPrev = prevUsable && prev_ != cur;
    const bool afterSilence = !prev_ && fadeIn_;
    if (!fromPrev && !afterSilence) {
        mix(cur, cur->upmix ? upmix(cur, c, n, upA_) : ins_, n, m, nullptr);
    } else {
        ramps_.fill(n);
        if (!fromPrev) {
            // An upmix kernel hears its input fade in, so its output begins
            // without a step after its latency.
            if (cur->upmix) {
                mix(cur, upmix(cur, c, n, upA_, ramps_.up.data()), n, m, nullptr);
            } else {
                mix(cur, ins_, n, m, ramps_.up.data());
            }
        } else if (cur->upmix && cur->upmix == prev_->upmix) {
            // One context serves both records: it runs once, and only the
            // matrices are crossfaded.
            float* const* up = upmix(cur, c, n, upA_);
            mix(prev_, up, n, m, ramps_.down.data());
            mix(cur, up, n, m, ramps_.up.data());
        } else {
            mix(prev_, prev_->upmix ? upmix(prev_, c, n, upA_) : ins_, n, m, ramps_.down.data());
            mix(cur, cur->upmix ? upmix(cur, c, n, upB_) : ins_, n, m, ramps_.up.data());
        }
    }
    // The settling kernel hears the input; its output is not heard yet.
    if (const mn_mix_config* next = warmup_.feeding()) upmix(next, c, n, upB_);
    prev_ = cur;
    fadeIn_ = false;
    mn_slot_store(heard_, const_cast<mn_mix_config*>(cur));
    return 0;
}

void MatrixUnit::State::renderCallback(void* user, uint32_t frames, const float* const* inputs,
                                       uint32_t inputCount, float* const* outputs, uint32_t outputCount) {
    static_cast<State*>(user)->render(frames, inputs, static_cast<int>(inputCount), outputs,
                                      static_cast<int>(outputCount));
}

// ---------------------------------------------------------------------------

MatrixUnit::MatrixUnit(MainQueue& main)
    : main_(main), state_(std::make_shared<State>()), live_(std::make_shared<std::atomic<long>>(0)) {}

MatrixUnit::~MatrixUnit() {
    // The render side may outlive the unit (it holds the State): it sees no
    // record from now on, and the last one is retired like any other.
    mn_slot_store(state_->slot_, nullptr);
    retire(std::move(current_));
    retireLater(main_, std::move(upmixer_));
}

void MatrixUnit::prepare(int inputChannels, double sampleRate) {
    state_->inChannels_ = std::max(inputChannels, 0);
    state_->prev_ = nullptr;
    state_->fadeIn_ = false;
    state_->warmup_.reset();
    mn_slot_store(state_->heard_, nullptr);
    if (sampleRate > 0) sampleRate_ = sampleRate;
}

uint32_t MatrixUnit::latency() const {
    if (!current_ || !current_->upmixer) return 0;
    return static_cast<uint32_t>(mn_upmix_latency(current_->upmixer->raw()));
}

void MatrixUnit::setConfig(const MixConfig& config) {
    Upmixer::follow(upmixer_, config.upmix, sampleRate_, main_);
    std::shared_ptr<Upmixer> named = config.upmix ? upmixer_ : nullptr;
    auto mix = makeRealtimeMix(config, named ? named->raw() : nullptr);
    auto record = std::make_shared<const Record>(std::move(mix), std::move(named), live_);
    mn_slot_store(state_->slot_, const_cast<mn_mix_config*>(record->pointer()));
    retire(std::move(current_));
    current_ = std::move(record);
}

namespace {

// Frees `record` kRetireSeconds from now, or checks again that much later
// while the render side may still reach it. Once the State is gone nothing
// renders any more.
template <class State, class Record>
void retireWhileHeld(MainQueue& queue, std::weak_ptr<State> weak, std::shared_ptr<const Record> record,
                     const mn_slot* slot) {
    queue.after(kRetireSeconds, [&queue, weak = std::move(weak), record = std::move(record), slot]() mutable {
        auto state = weak.lock();
        if (!state) return;
        const mn_mix_config* p = record->pointer();
        if (state->heard() == p || mn_slot_load(slot) == p)
            retireWhileHeld(queue, std::move(weak), std::move(record), slot);
    });
}

}  // namespace

void MatrixUnit::retire(std::shared_ptr<const Record> record) {
    if (!record) return;
    retireWhileHeld(main_, std::weak_ptr<State>(state_), std::move(record), state_->slot_);
}

}  // namespace qm

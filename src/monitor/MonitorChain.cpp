#include "monitor/MonitorChain.h"

#include "rt/mn_cells.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qm {

// One published list: its instances, and the plain pointers the render
// side walks.
struct MonitorChain::List {
    Inserts inserts;
    std::vector<Lv2Instances*> raw;
    std::shared_ptr<std::atomic<long>> live;

    List(Inserts list, std::shared_ptr<std::atomic<long>> count) : inserts(std::move(list)), live(std::move(count)) {
        for (const auto& i : inserts) raw.push_back(i.get());
        live->fetch_add(1);
    }
    ~List() { live->fetch_sub(1); }
};

// The slot the main thread publishes through and the cell the render side
// keeps its last list in; the retiring work holds them weakly.
struct MonitorChain::Cells {
    mn_slot* slot = mn_slot_create();
    mn_slot* heard = mn_slot_create();
    Cells() {
        if (!slot || !heard) {
            mn_slot_destroy(slot);
            mn_slot_destroy(heard);
            throw std::bad_alloc();
        }
    }
    ~Cells() {
        mn_slot_destroy(slot);
        mn_slot_destroy(heard);
    }
};

MonitorChain::MonitorChain(std::shared_ptr<MatrixUnit::State> matrix, MainQueue& main)
    : matrix_(std::move(matrix)),
      main_(main),
      cells_(std::make_shared<Cells>()),
      live_(std::make_shared<std::atomic<long>>(0)) {
    setInserts({});
}

MonitorChain::~MonitorChain() {
    // No block runs any more: the current list can go now, the retired ones
    // go when their work finds the cells gone.
    mn_slot_store(cells_->slot, nullptr);
    mn_slot_store(cells_->heard, nullptr);
}

void MonitorChain::prepare(int outputs, double sampleRate) {
    outputs_ = std::max(outputs, 0);
    limiter_.prepare(sampleRate);
    for (ScratchChannels* s : {&matrixOut_, &a_, &b_, &c_, &fade_}) s->make(outputs_);
    in_.assign(size_t(MatrixUnit::maxInputs), nullptr);
    out_.assign(size_t(outputs_), nullptr);
    prev_ = nullptr;
    mn_slot_store(cells_->heard, nullptr);
}

void MonitorChain::setInserts(Inserts inserts) {
    auto list = std::make_shared<const List>(std::move(inserts), live_);
    mn_slot_store(cells_->slot, const_cast<List*>(list.get()));
    retire(std::move(current_));
    current_ = std::move(list);
}

const MonitorChain::Inserts& MonitorChain::inserts() const { return current_->inserts; }

uint32_t MonitorChain::latency() const {
    uint32_t sum = 0;
    for (const auto& i : current_->inserts) sum += i->latency();
    return sum;
}

namespace {

void retireWhileHeld(MainQueue& queue, std::weak_ptr<void> owner, const mn_slot* slot, const mn_slot* heard,
                     std::shared_ptr<const void> list) {
    queue.after(kRetireSeconds, [&queue, owner = std::move(owner), slot, heard, list = std::move(list)]() mutable {
        if (!owner.lock()) return;
        if (mn_slot_load(heard) == list.get() || mn_slot_load(slot) == list.get())
            retireWhileHeld(queue, std::move(owner), slot, heard, std::move(list));
    });
}

}  // namespace

void MonitorChain::retire(std::shared_ptr<const List> list) {
    if (!list) return;
    retireWhileHeld(main_, std::weak_ptr<void>(cells_), cells_->slot, cells_->heard, std::move(list));
}

float* const* MonitorChain::run(const List& list, size_t from, size_t to, float* const* src, float* const* dst,
                                float* const* spareA, float* const* spareB, uint32_t n) noexcept {
    float* const* at = src;
    for (size_t i = from; i < to; ++i) {
        float* const* into = i + 1 == to && dst ? dst : (at == spareA ? spareB : spareA);
        list.raw[i]->process(at, into, n);
        at = into;
    }
    if (dst && at != dst) {
        for (int c = 0; c < outputs_; ++c) std::memcpy(dst[c], at[c], n * sizeof(float));
        at = dst;
    }
    return at;
}

void MonitorChain::process(uint32_t frames, const float* const* inputs, uint32_t inputCount, float* const* outputs,
                           uint32_t outputCount) noexcept {
    const auto* cur = static_cast<const List*>(mn_slot_load(cells_->slot));
    // An empty block changes nothing: a change is crossfaded in the next
    // block that carries frames.
    if (!cur || int(outputCount) != outputs_ || frames == 0) {
        matrix_->render(frames, inputs, int(inputCount), outputs, int(outputCount));
        limiter_.process(outputs, int(outputCount), frames);
        return;
    }
    bool fading = prev_ && prev_ != cur;
    if (!fading && cur->raw.empty()) {
        matrix_->render(frames, inputs, int(inputCount), outputs, int(outputCount));
    } else {
        const uint32_t ins = std::min<uint32_t>(inputCount, uint32_t(MatrixUnit::maxInputs));
        for (uint32_t done = 0; done < frames;) {
            const uint32_t n = std::min(frames - done, maxFrames);
            for (uint32_t c = 0; c < ins; ++c) in_[c] = inputs[c] ? inputs[c] + done : nullptr;
            for (int c = 0; c < outputs_; ++c) out_[size_t(c)] = outputs[c] + done;
            matrix_->render(n, in_.data(), int(ins), matrixOut_.data(), outputs_);
            if (!fading) {
                run(*cur, 0, cur->raw.size(), matrixOut_.data(), out_.data(), a_.data(), b_.data(), n);
            } else {
                // The start both lists share runs once; each list's own end
                // runs from there, the old one's into the fade set.
                const List& old = *prev_;
                size_t shared = 0;
                while (shared < old.raw.size() && shared < cur->raw.size() && old.raw[shared] == cur->raw[shared])
                    ++shared;
                float* const* from = run(*cur, 0, shared, matrixOut_.data(), nullptr, a_.data(), b_.data(), n);
                float* const* spareA = from == a_.data() ? c_.data() : a_.data();
                float* const* spareB = from == b_.data() ? c_.data() : b_.data();
                run(old, shared, old.raw.size(), from, fade_.data(), spareA, spareB, n);
                run(*cur, shared, cur->raw.size(), from, out_.data(), spareA, spareB, n);
                ramps_.fill(n);
                for (int c = 0; c < outputs_; ++c) {
                    float* o = out_[size_t(c)];
                    const float* f = fade_.ptr[size_t(c)];
                    for (uint32_t t = 0; t < n; ++t) o[t] = o[t] * ramps_.up[t] + f[t] * ramps_.down[t];
                }
                fading = false;
            }
            done += n;
        }
    }
    // What the device gets: nothing at or above full scale.
    limiter_.process(outputs, int(outputCount), frames);
    prev_ = cur;
    mn_slot_store(cells_->heard, const_cast<List*>(cur));
}

void MonitorChain::processCallback(void* user, uint32_t frames, const float* const* inputs, uint32_t inputCount,
                                   float* const* outputs, uint32_t outputCount) {
    static_cast<MonitorChain*>(user)->process(frames, inputs, inputCount, outputs, outputCount);
}

}  // namespace qm

#include "monitor/MonitorChain.h"

#include <algorithm>
#include <cstring>

namespace qm {

MonitorChain::MonitorChain(std::shared_ptr<MatrixUnit::State> matrix) : matrix_(std::move(matrix)) {}

void MonitorChain::prepare(int outputs, std::vector<std::shared_ptr<Lv2Unit>> inserts) {
    outputs_ = std::max(outputs, 0);
    inserts_ = std::move(inserts);
    for (Scratch* s : {&a_, &b_}) {
        s->memory.assign(inserts_.empty() ? 0 : size_t(outputs_) * maxFrames, 0.0f);
        s->ptr.resize(size_t(outputs_));
        for (int c = 0; c < outputs_; ++c) s->ptr[size_t(c)] = s->memory.data() + size_t(c) * maxFrames;
    }
    in_.resize(size_t(MatrixUnit::maxInputs));
    out_.resize(size_t(outputs_));
}

uint32_t MonitorChain::latency() const {
    uint32_t sum = 0;
    for (const auto& u : inserts_) sum += u->latency();
    return sum;
}

void MonitorChain::process(uint32_t frames, const float* const* inputs, uint32_t inputCount, float* const* outputs,
                           uint32_t outputCount) noexcept {
    if (inserts_.empty() || int(outputCount) != outputs_) {
        matrix_->render(frames, inputs, int(inputCount), outputs, int(outputCount));
        return;
    }
    const uint32_t ins = std::min<uint32_t>(inputCount, uint32_t(MatrixUnit::maxInputs));
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, maxFrames);
        for (uint32_t c = 0; c < ins; ++c) in_[c] = inputs[c] ? inputs[c] + done : nullptr;
        matrix_->render(n, in_.data(), int(ins), a_.ptr.data(), outputs_);
        Scratch* from = &a_;
        Scratch* to = &b_;
        for (size_t i = 0; i < inserts_.size(); ++i) {
            float* const* dest = to->ptr.data();
            if (i + 1 == inserts_.size()) {
                for (int c = 0; c < outputs_; ++c) out_[size_t(c)] = outputs[c] + done;
                dest = out_.data();
            }
            inserts_[i]->process(from->ptr.data(), dest, n);
            std::swap(from, to);
        }
        done += n;
    }
}

void MonitorChain::processCallback(void* user, uint32_t frames, const float* const* inputs, uint32_t inputCount,
                                   float* const* outputs, uint32_t outputCount) {
    static_cast<MonitorChain*>(user)->process(frames, inputs, inputCount, outputs, outputCount);
}

}  // namespace qm

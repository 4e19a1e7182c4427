#include "platform/Resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace qm {

namespace {

bool validRate(double r) { return std::isfinite(r) && r > 0; }

void checkSetup(double fromRate, double toRate, int channels) {
    if (!validRate(fromRate) || !validRate(toRate))
        throw std::runtime_error("Resampler: sample rates must be positive");
    if (channels < 1) throw std::runtime_error("Resampler: no channels");
}

soxr_t makeSoxr(double fromRate, double toRate, int channels) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    // One thread: the caller's, with no worker threads behind its back.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(fromRate, toRate, unsigned(channels), &error, &io, &quality, &runtime);
    if (!soxr || error) {
        soxr_delete(soxr);
        throw std::runtime_error(std::string("Resampler: ") + (error ? error : "cannot be created"));
    }
    return soxr;
}

// Frames handed to the converter per call: handed a whole long signal at
// once, libsoxr grows its buffers a page at a time, which costs time in
// proportion to the square of the length (minutes for a long file). Its
// output is taken a smaller block at a time, which stays in the cache.
constexpr size_t kConvertBlock = size_t(1) << 16;
constexpr size_t kOutputBlock = size_t(1) << 13;

}  // namespace

Resampler::Resampler(double fromRate, double toRate, int channels, int blockFrames)
    : channels_(channels), blockFrames_(blockFrames) {
    checkSetup(fromRate, toRate, channels);
    if (blockFrames < 1) throw std::runtime_error("Resampler: empty block");
    soxr_ = makeSoxr(fromRate, toRate, channels);
    inData_.assign(size_t(channels) * size_t(blockFrames), 0.0f);
    for (int c = 0; c < channels; ++c) inPtrs_.push_back(inData_.data() + size_t(c) * blockFrames);
    pendingPtrs_.assign(size_t(channels), nullptr);
    outPtrs_.assign(size_t(channels), nullptr);
    primeWithSilence(fromRate, toRate);
}

void Resampler::primeWithSilence(double fromRate, double toRate) {
    // Enough blocks for libsoxr to reach its steady buffer sizes.
    const int64_t wanted = 8 * int64_t(blockFrames_);
    int64_t silence = wanted;
    double target = std::ceil(double(silence) * toRate / fromRate);
    const auto fromInt = std::llround(fromRate), toInt = std::llround(toRate);
    if (double(fromInt) == fromRate && double(toInt) == toRate) {
        const int64_t period = fromInt / std::gcd(fromInt, toInt);
        if (period <= 4 * wanted) {
            silence = (wanted + period - 1) / period * period;
            target = double(silence / period * (toInt / std::gcd(fromInt, toInt)));
        }
    }
    startOffset_ = target * fromRate / toRate - double(silence);
    if (startOffset_ < 1e-9) startOffset_ = 0;

    std::fill(inData_.begin(), inData_.end(), 0.0f);
    std::vector<float> scratch(inData_.size());
    for (int c = 0; c < channels_; ++c) outPtrs_[c] = scratch.data() + size_t(c) * blockFrames_;
    int64_t given = 0, produced = 0;
    while (given < silence) {
        for (int c = 0; c < channels_; ++c) pendingPtrs_[c] = inPtrs_[c];
        size_t used = 0, done = 0;
        const soxr_error_t error =
            soxr_process(soxr_, pendingPtrs_.data(), size_t(std::min<int64_t>(blockFrames_, silence - given)),
                         &used, outPtrs_.data(), size_t(blockFrames_), &done);
        if (error) throw std::runtime_error(std::string("Resampler: ") + error);
        given += int64_t(used);
        produced += int64_t(done);
    }
    skip_ = int64_t(target) - produced;
    if (skip_ < 0) throw std::runtime_error("Resampler: unexpected filter delay");
}

Resampler::~Resampler() { soxr_delete(soxr_); }

int Resampler::output(float* const* out, int frames, PullFn pull, void* context) {
    if (frames > blockFrames_) frames = blockFrames_;
    int produced = 0;
    while (produced < frames && !ended_) {
        if (pending_ == 0 && !inputEnded_) {
            const int got = pull(context, inPtrs_.data(), blockFrames_);
            if (got < 1) {
                inputEnded_ = true;
            } else {
                pending_ = got < blockFrames_ ? got : blockFrames_;
                for (int c = 0; c < channels_; ++c) pendingPtrs_[c] = inPtrs_[c];
            }
        }
        // Output that stands for the priming silence is written and dropped.
        const bool skipping = skip_ > 0;
        const int room = skipping ? int(std::min<int64_t>(skip_, frames)) : frames - produced;
        for (int c = 0; c < channels_; ++c) outPtrs_[c] = out[c] + (skipping ? 0 : produced);
        size_t used = 0, done = 0;
        // A null input tells libsoxr that the input has ended: it then
        // plays out the filter's tail, and gives nothing more once drained.
        const soxr_error_t error =
            inputEnded_ ? soxr_process(soxr_, nullptr, 0, nullptr, outPtrs_.data(),
                                       size_t(room), &done)
                        : soxr_process(soxr_, pendingPtrs_.data(), size_t(pending_), &used,
                                       outPtrs_.data(), size_t(room), &done);
        if (error) {
            failed_ = true;
            ended_ = true;
            break;
        }
        if (used > 0) {
            pending_ -= int(used);
            for (int c = 0; c < channels_; ++c) pendingPtrs_[c] += used;
        }
        if (skipping)
            skip_ -= int64_t(done);
        else
            produced += int(done);
        if (inputEnded_ && done == 0) ended_ = true;
    }
    return produced;
}

std::vector<std::vector<float>> Resampler::resample(const std::vector<std::vector<float>>& channels,
                                                    double fromRate, double toRate) {
    if (channels.empty()) return {};
    checkSetup(fromRate, toRate, int(channels.size()));
    const size_t n = channels[0].size();
    if (fromRate == toRate) {
        std::vector<std::vector<float>> copy;
        for (const auto& ch : channels) copy.emplace_back(ch.begin(), ch.begin() + std::ptrdiff_t(std::min(n, ch.size())));
        for (auto& ch : copy) ch.resize(n, 0.0f);
        return copy;
    }
    std::vector<std::vector<float>> result(channels.size());
    const auto outFrames = size_t(std::llround(double(n) * toRate / fromRate));
    if (n == 0 || outFrames == 0) {
        for (auto& ch : result) ch.assign(outFrames, 0.0f);
        return result;
    }
    // Shorter channels are read as if padded with silence.
    std::vector<std::vector<float>> padded;
    std::vector<const float*> in;
    for (const auto& ch : channels) {
        if (ch.size() >= n) {
            in.push_back(ch.data());
        } else {
            padded.emplace_back(ch);
            padded.back().resize(n, 0.0f);
            in.push_back(padded.back().data());
        }
    }
    for (auto& ch : result) ch.reserve(outFrames);
    BlockResampler converter(fromRate, toRate, int(channels.size()));
    converter.push(in.data(), n, result.data());
    converter.finish(result.data());
    return result;
}

BlockResampler::BlockResampler(double fromRate, double toRate, int channels)
    : fromRate_(fromRate), toRate_(toRate), channels_(channels) {
    checkSetup(fromRate, toRate, channels);
    soxr_ = makeSoxr(fromRate, toRate, channels);
    inAt_.resize(size_t(channels));
    outAt_.resize(size_t(channels));
    scratch_.resize(size_t(channels) * kOutputBlock);
}

BlockResampler::~BlockResampler() { soxr_delete(soxr_); }

void BlockResampler::run(const float* const* in, size_t frames, std::vector<float>* out) {
    // Converted into the block of scratch and appended from there, so that
    // each output grows by exactly what is made (and an output reserved
    // for the whole never moves). A null input tells libsoxr that the input
    // has ended: it then plays out the filter's tail, and gives nothing
    // more once drained.
    size_t read = 0;
    for (;;) {
        const size_t block = std::min(kConvertBlock, frames - read);
        for (int c = 0; c < channels_; ++c) {
            outAt_[size_t(c)] = scratch_.data() + size_t(c) * kOutputBlock;
            if (in) inAt_[size_t(c)] = in[c] + read;
        }
        size_t used = 0, done = 0;
        error_ = soxr_process(soxr_, in ? inAt_.data() : nullptr, block, &used, outAt_.data(), kOutputBlock, &done);
        for (int c = 0; c < channels_; ++c) out[c].insert(out[c].end(), outAt_[size_t(c)], outAt_[size_t(c)] + done);
        read += used;
        if (error_ || (done == 0 && read == frames)) return;
    }
}

void BlockResampler::push(const float* const* in, size_t frames, std::vector<float>* out) {
    if (error_ || frames == 0) return;
    pushed_ += frames;
    run(in, frames, out);
}

void BlockResampler::finish(std::vector<float>* out) {
    if (!error_) run(nullptr, 0, out);
    if (error_) throw std::runtime_error(std::string("Resampler: ") + error_);
    const auto frames = size_t(std::llround(double(pushed_) * toRate_ / fromRate_));
    for (int c = 0; c < channels_; ++c) out[c].resize(frames, 0.0f);  // any frames libsoxr did not produce stay silent
}

}  // namespace qm

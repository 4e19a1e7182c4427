#include "audio/StreamReader.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <string>

#include "platform/AppError.h"
#include "platform/Resampler.h"
#include "rt/mn_mix.h"

namespace qm {

namespace {

// Linux allows 15 characters in a thread name.
constexpr const char* kThreadName = "QM.StreamReader";

// The fill thread feeds the render thread, so it asks for a better nice
// value (which may be refused). It stays out of the real-time classes: a
// fill thread that outranked the audio callback's own thread could delay the
// very callback it feeds, and the audio thread's priority is the sound
// server's to choose.
void raisePriority() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
}

}  // namespace

StreamReader::StreamReader(std::shared_ptr<FrameSource> source, double outputRate, const StreamRange& range)
    : source_(std::move(source)) {
    const FrameFormat format = source_->processingFormat();
    channels_ = format.channels;
    if (channels_ < 1 || channels_ > kMaxChannels)
        throw AppError(1, "Unsupported channel count (" + std::to_string(channels_) + ")");

    const int64_t length = std::max<int64_t>(0, source_->length());
    endFrame_ = std::max<int64_t>(std::min(length, range.end), 0);
    // The loop region is clamped to the file before deciding whether to loop,
    // so a region outside the file plays once instead of looping backwards.
    loopStart_ = std::max<int64_t>(range.loopStart, 0);
    loopEnd_ = std::min(length, range.loopEnd);
    loop_ = range.loop && loopStart_ < loopEnd_;
    filePos_ = range.start < 0 ? 0 : std::min(endFrame_, range.start);

    const bool rateUsable = std::isfinite(outputRate) && outputRate > 0 &&
                            std::isfinite(format.sampleRate) && format.sampleRate > 0;
    ratio_ = rateUsable ? format.sampleRate / outputRate : 1.0;
    positions_.assign(kBlockFrames, 0.0);

    const double capacity = std::floor(std::max(rateUsable ? outputRate : 0.0, 44100.0) * 1.5);
    ring_ = capacity < double(1 << 30) ? mn_ring_create(channels_, int32_t(capacity)) : nullptr;
    if (!ring_) throw AppError(2, "");

    try {
        inData_.assign(size_t(channels_) * kBlockFrames, 0.0f);
        for (int c = 0; c < channels_; ++c) inBuf_.push_back(inData_.data() + size_t(c) * kBlockFrames);
    } catch (const std::bad_alloc&) {
        mn_ring_destroy(ring_);
        throw AppError(3, "");
    }

    double startOffset = 0;
    if (!rateUsable || std::fabs(format.sampleRate - outputRate) > 0.5) {
        try {
            if (!rateUsable) throw std::runtime_error("rate");
            converter_ = std::make_unique<Resampler>(format.sampleRate, outputRate, channels_, kBlockFrames);
            startOffset = converter_->startOffset();
            outData_.assign(size_t(channels_) * kBlockFrames, 0.0f);
            for (int c = 0; c < channels_; ++c) outBuf_.push_back(outData_.data() + size_t(c) * kBlockFrames);
        } catch (const std::exception&) {
            converter_.reset();
            mn_ring_destroy(ring_);
            throw AppError(4, "Can't resample this file");
        }
    }
    // So that the first converted frame is stamped with the start frame.
    virtualPos_ = double(filePos_) + startOffset - ratio_;
}

StreamReader::~StreamReader() {
    cancel();
    if (thread_.joinable()) thread_.join();
    mn_ring_destroy(ring_);
}

std::pair<int64_t, int64_t> StreamReader::readSource(float* const* buffer, int64_t limit) {
    const int64_t bound = loop_ ? loopEnd_ : endFrame_;
    if (filePos_ >= bound) {
        if (!loop_) return {filePos_, 0};
        filePos_ = loopStart_;
    }
    const int64_t n = std::min(bound - filePos_, limit);
    if (n <= 0) return {filePos_, 0};
    int64_t got = std::min(source_->read(buffer, filePos_, n), n);
    if (got < 1) {
        if (!loop_) return {filePos_, 0};
        filePos_ = loopStart_;
        const int64_t again = std::min(loopEnd_ - loopStart_, limit);
        got = std::min(source_->read(buffer, filePos_, again), again);
        if (got < 1) {
            filePos_ = loopEnd_;
            return {loopEnd_, 0};
        }
    }
    const int64_t first = filePos_;
    filePos_ += got;
    return {first, got};
}

bool StreamReader::fillOnce() { return converter_ ? fillConverted() : fillPlain(); }

void StreamReader::preFill() {
    while (mn_ring_available(ring_) < kPreFillFrames && mn_ring_write_space(ring_) >= kBlockFrames &&
           !cancelled()) {
        if (!fillOnce()) return;
    }
}

bool StreamReader::fillPlain() {
    const auto [p, n] = readSource(inBuf_.data(), kBlockFrames);
    if (n <= 0) {
        mn_ring_set_eof(ring_);
        return false;
    }
    for (int64_t k = 0; k < n; ++k) positions_[size_t(k)] = double(p + k);
    mn_ring_write(ring_, inBuf_.data(), positions_.data(), int32_t(n));
    return true;
}

bool StreamReader::fillConverted() {
    auto pull = [this](float* const* channels, int limit) -> int {
        if (sourceDone_) return 0;
        const auto [p, n] = readSource(channels, std::min(limit, kBlockFrames));
        if (n <= 0) sourceDone_ = true;
        return int(std::max<int64_t>(n, 0));
    };
    const int produced = converter_->output(outBuf_.data(), kBlockFrames, pull);
    const double loopLength = double(loopEnd_ - loopStart_);
    for (int k = 0; k < produced; ++k) {
        virtualPos_ += ratio_;
        if (loop_ && virtualPos_ >= double(loopEnd_))
            positions_[size_t(k)] = double(loopStart_) + std::fmod(virtualPos_ - double(loopStart_), loopLength);
        else
            positions_[size_t(k)] = std::min(virtualPos_, double(endFrame_));
    }
    if (produced > 0) {
        mn_ring_write(ring_, outBuf_.data(), positions_.data(), produced);
        if (!converter_->ended()) return true;
    } else if (!converter_->ended() && !sourceDone_) {
        return true;
    }
    mn_ring_set_eof(ring_);
    return false;
}

void StreamReader::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

void StreamReader::cancel() {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
}

bool StreamReader::cancelled() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cancelled_;
}

void StreamReader::run() {
    pthread_setname_np(pthread_self(), kThreadName);
    raisePriority();
    mn_fpu_flush_denormals();
    for (;;) {
        if (cancelled()) return;
        if (mn_ring_eof(ring_)) return;
        if (mn_ring_write_space(ring_) >= kBlockFrames) {
            if (!fillOnce()) return;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(4000));
        }
    }
}

}  // namespace qm

#include "audio/FrameSource.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <fmt/format.h>

#include "platform/AudioFileReader.h"

namespace qm {

FileSource::FileSource(const std::filesystem::path& url)
    : file_(AudioFileReader::open(url)), name_(url.filename().string()) {
    const AudioStreamFormat& f = file_->format();
    format_ = {f.sampleRate, f.channels, f.layoutTag};
    length_ = f.frames;
}

FileSource::~FileSource() = default;

int64_t FileSource::read(float* const* buffer, int64_t position, int64_t frames) {
    if (position < 0 || frames < 1) return 0;
    const int64_t inFile = std::clamp<int64_t>(length_ - position, 0, frames);
    int64_t got = 0;
    try {
        got = std::clamp<int64_t>(file_->read(position, buffer, frames), 0, frames);
    } catch (const std::exception&) {
        got = 0;  // a read error ends (or restarts) the stream
    }
    // The file ends early (cut after it was opened, or unreadable here): the
    // stream ends at its real end, and the player can say so.
    if (got < inFile) endedAt_.store(position + got);
    damaged_.store(file_->damagedFrames());
    return got;
}

std::optional<std::string> FileSource::problem() const {
    const double rate = format_.sampleRate > 0 ? format_.sampleRate : 1;
    const int64_t endedAt = endedAt_.load();
    if (endedAt >= 0)
        return fmt::format("\"{}\" ended early, at {:.3f} s of {:.3f} s", name_, double(endedAt) / rate,
                           double(length_) / rate);
    const int64_t damaged = damaged_.load();
    if (damaged > 0)
        return fmt::format("\"{}\" is damaged: {:.3f} s of it played as silence", name_, double(damaged) / rate);
    return std::nullopt;
}

MemorySource::MemorySource(std::vector<std::vector<float>> channels, double sampleRate,
                           std::vector<Click> clicks)
    : channels_(std::move(channels)), clicks_(std::move(clicks)) {
    const int count = std::max<int>(1, int(channels_.size()));
    format_ = {sampleRate, count, count >= 3 ? (147u << 16) | uint32_t(count) : 0u};
    std::stable_sort(clicks_.begin(), clicks_.end(),
                     [](const Click& a, const Click& b) { return a.frame < b.frame; });
    const auto n = size_t(std::max(0.0, std::floor(0.045 * sampleRate)));
    tick_.resize(n);
    tock_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / sampleRate;
        tick_[i] = float(0.5 * std::sin(2 * M_PI * 1000 * t) * std::exp(-90 * t));
        tock_[i] = float(0.8 * std::sin(2 * M_PI * 1600 * t) * std::exp(-70 * t));
    }
}

int64_t MemorySource::length() const {
    return channels_.empty() ? 0 : int64_t(channels_[0].size());
}

int64_t MemorySource::read(float* const* buffer, int64_t position, int64_t frames) {
    if (position < 0) return 0;
    const int64_t n = std::max<int64_t>(0, std::min(length() - position, frames));
    if (n < 1) return 0;
    for (int c = 0; c < format_.channels; ++c) {
        float* dst = buffer[c];
        std::fill(dst, dst + n, 0.0f);
        if (size_t(c) >= channels_.size()) continue;
        // A channel shorter than the first reads as silence past its end.
        const auto& src = channels_[size_t(c)];
        const int64_t have = std::clamp<int64_t>(int64_t(src.size()) - position, 0, n);
        if (have > 0) std::copy_n(src.data() + position, have, dst);
    }
    const auto clickLength = int64_t(tick_.size());
    auto it = std::partition_point(clicks_.begin(), clicks_.end(), [&](const Click& c) {
        return c.frame + clickLength < position;
    });
    for (; it != clicks_.end() && it->frame < position + n; ++it) {
        const std::vector<float>& sound = it->accent ? tock_ : tick_;
        const int64_t from = std::max(it->frame, position);
        const int64_t to = std::min(it->frame + clickLength, position + n);
        for (int c = 0; c < std::min(format_.channels, 2); ++c)
            for (int64_t j = from; j < to; ++j) buffer[c][j - position] += sound[size_t(j - it->frame)];
    }
    return n;
}

}  // namespace qm

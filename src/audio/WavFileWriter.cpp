#include "audio/WavFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm {

namespace {

constexpr int64_t kAppendAllBlock = 65536;

void put16(std::string& s, size_t at, uint16_t v) {
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8);
}

void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}

// UTF-8 bytes cut to the field's width, the rest zeros.
void putText(std::string& s, size_t at, size_t width, const std::string& text) {
    std::memcpy(s.data() + at, text.data(), std::min(width, text.size()));
}

}  // namespace

int32_t WavFileWriter::sampleValue(float x) {
    if (!(x < 1.0f)) return 8388607;  // also NaN
    const double clamped = std::max(double(x), -1.0);
    return int32_t(std::round(clamped * 8388607.0));  // halves away from zero
}

WavFileWriter::WavFileWriter(const std::filesystem::path& url, double sampleRate, int channels,
                             uint32_t mask, const std::string& description)
    : channels_(channels), name_(url.filename().string()) {
    std::error_code ec;
    if (url.has_parent_path()) {
        std::filesystem::create_directories(url.parent_path(), ec);
        if (ec) throw AppError(kWriteFailed, fmt::format("Couldn't create the folder for \"{}\": {}", name_,
                                                         ec.message()));
    }
    fd_ = ::open(url.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("create");
    try {
        writeHeader(sampleRate, mask, description);
    } catch (...) {
        // No destructor runs for a constructor that throws: the descriptor
        // (and with it the disk space of a file its caller removes) would
        // stay held until the process ends.
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

WavFileWriter::WavFileWriter(int fd, const std::string& name, double sampleRate, int channels, uint32_t mask,
                             const std::string& description)
    : channels_(channels), fd_(fd), ownsFd_(false), name_(name) {
    writeHeader(sampleRate, mask, description);
}

void WavFileWriter::writeHeader(double sampleRate, uint32_t mask, const std::string& description) {
    const int channels = channels_;
    const auto rate = uint32_t(std::llround(sampleRate));
    std::string h(kHeaderBytes, '\0');
    std::memcpy(h.data(), "RIFF", 4);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(h, 16, 40);
    put16(h, 20, 0xFFFE);
    put16(h, 22, uint16_t(channels));
    put32(h, 24, rate);
    put32(h, 28, uint32_t(uint64_t(channels) * rate * 3));
    put16(h, 32, uint16_t(channels * 3));
    put16(h, 34, 24);
    put16(h, 36, 22);
    put16(h, 38, 24);
    put32(h, 40, mask);
    static const unsigned char pcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    std::memcpy(h.data() + 44, pcmGuid, 16);
    std::memcpy(h.data() + 60, "bext", 4);
    put32(h, 64, 602);
    putText(h, 68, 256, description);
    putText(h, 324, 32, "Quillmarsh");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    putText(h, 388, 10, fmt::format("{:04}-{:02}-{:02}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday));
    putText(h, 398, 8, fmt::format("{:02}:{:02}:{:02}", local.tm_hour, local.tm_min, local.tm_sec));
    put16(h, 414, 1);  // version; time reference, UMID, loudness and reserved stay zero
    std::memcpy(h.data() + 670, "data", 4);
    writeAll(h.data(), h.size());
}

WavFileWriter::~WavFileWriter() {
    if (fd_ >= 0 && ownsFd_) ::close(fd_);
}

void WavFileWriter::fail(const std::string& what) const {
    throw AppError(kWriteFailed, fmt::format("Couldn't {} \"{}\": {}", what, name_,
                                             std::strerror(errno)));
}

void WavFileWriter::writeAll(const void* data, size_t size) {
    if (!FileAccess::writeAll(fd_, data, size)) fail("write");
}

void WavFileWriter::writeAt(uint64_t offset, const void* data, size_t size) {
    if (::pwrite(fd_, data, size, off_t(offset)) != ssize_t(size)) fail("write");
}

size_t WavFileWriter::convert(const float* const* inputs, const int64_t* lengths, size_t inputCount,
                              int64_t offset, int64_t frames) {
    const size_t bytes = size_t(frames) * size_t(channels_) * 3;
    if (scratch_.size() < bytes) scratch_.resize(bytes);
    uint8_t* out = scratch_.data();
    for (int64_t k = 0; k < frames; ++k) {
        const int64_t frame = offset + k;
        for (int c = 0; c < channels_; ++c) {
            float x = 0.0f;
            if (size_t(c) < inputCount && inputs[c] && frame < lengths[c]) x = inputs[c][frame];
            const auto v = uint32_t(sampleValue(x));
            *out++ = uint8_t(v & 0xFF);
            *out++ = uint8_t((v >> 8) & 0xFF);
            *out++ = uint8_t((v >> 16) & 0xFF);
        }
    }
    return bytes;
}

void WavFileWriter::writeBlock(size_t bytes, const char* limitText) {
    if (dataBytes_ + bytes > kMaxDataBytes) throw AppError(20, limitText);
    dataBytes_ += bytes;
    writeAll(scratch_.data(), bytes);
}

void WavFileWriter::append(std::span<const float* const> channels, int64_t frames) {
    if (frames < 1 || channels_ < 1) return;
    const uint64_t bytes = uint64_t(frames) * uint64_t(channels_) * 3;
    if (dataBytes_ + bytes > kMaxDataBytes)
        throw AppError(20, "Selection too long for a WAV file (4 GB limit)");
    std::vector<int64_t> lengths(channels.size(), frames);
    convert(channels.data(), lengths.data(), channels.size(), 0, frames);
    writeBlock(size_t(bytes), "Selection too long for a WAV file (4 GB limit)");
}

void WavFileWriter::append(std::span<float* const> channels, int64_t frames) {
    std::vector<const float*> inputs(channels.begin(), channels.end());
    append(std::span<const float* const>(inputs), frames);
}

void WavFileWriter::appendAll(const std::vector<std::vector<float>>& channels) {
    if (channels.empty() || channels[0].empty() || channels_ < 1) return;
    const auto total = int64_t(channels[0].size());
    std::vector<const float*> inputs;
    std::vector<int64_t> lengths;
    for (const auto& ch : channels) {
        inputs.push_back(ch.data());
        lengths.push_back(int64_t(ch.size()));
    }
    static const char* const limitText = "Too long for a WAV file (4 GB limit)";
    for (int64_t offset = 0; offset < total; offset += kAppendAllBlock) {
        const int64_t frames = std::min(kAppendAllBlock, total - offset);
        const uint64_t bytes = uint64_t(frames) * uint64_t(channels_) * 3;
        if (dataBytes_ + bytes > kMaxDataBytes) throw AppError(20, limitText);
        convert(inputs.data(), lengths.data(), inputs.size(), offset, frames);
        writeBlock(size_t(bytes), limitText);
    }
}

void WavFileWriter::finish() {
    if (fd_ < 0) return;
    uint64_t length = kHeaderBytes + dataBytes_;
    if (dataBytes_ % 2 == 1) {
        const char zero = 0;
        writeAll(&zero, 1);
        ++length;
    }
    unsigned char size[4];
    const auto riff = uint32_t(length - 8);
    for (int i = 0; i < 4; ++i) size[i] = uint8_t((riff >> (8 * i)) & 0xFF);
    writeAt(4, size, 4);
    const auto data = uint32_t(dataBytes_);
    for (int i = 0; i < 4; ++i) size[i] = uint8_t((data >> (8 * i)) & 0xFF);
    writeAt(dataSizeOffset_, size, 4);
    const int fd = fd_;
    fd_ = -1;
    if (ownsFd_ && ::close(fd) != 0) fail("close");
}

}  // namespace qm

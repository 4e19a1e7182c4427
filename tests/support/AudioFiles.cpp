#include "AudioFiles.h"

#include "support/Signals.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace qm::test {

namespace {

int pcmSubtype(const AudioFileOptions& o, bool unsigned8) {
    if (o.isFloat) return o.bits == 64 ? SF_FORMAT_DOUBLE : SF_FORMAT_FLOAT;
    switch (o.bits) {
        case 8: return unsigned8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
        case 16: return SF_FORMAT_PCM_16;
        case 32: return SF_FORMAT_PCM_32;
        default: return SF_FORMAT_PCM_24;
    }
}

int sndfileFormat(const AudioFileOptions& o) {
    bool mask = o.channelMask.has_value();
    switch (o.kind) {
        case FileKind::wav:
            return (mask ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | pcmSubtype(o, true);
        case FileKind::wavex:
        case FileKind::amb: return SF_FORMAT_WAVEX | pcmSubtype(o, true);
        case FileKind::rf64: return SF_FORMAT_RF64 | pcmSubtype(o, true);
        case FileKind::w64: return SF_FORMAT_W64 | pcmSubtype(o, true);
        case FileKind::aiff: return SF_FORMAT_AIFF | pcmSubtype(o, false);
        case FileKind::caf: return SF_FORMAT_CAF | pcmSubtype(o, false);
        case FileKind::flac:
            return SF_FORMAT_FLAC | (o.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
        case FileKind::ogg: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        case FileKind::opus: return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case FileKind::mp3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    }
    return 0;
}

uint32_t readLe32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// Sets the channel mask of an extensible RIFF/RF64 file's fmt chunk, so that
// tests control the mask exactly (libsndfile writes its own).
void patchChannelMask(const std::filesystem::path& path, uint32_t mask) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string head(4096, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(f.gcount()));
    f.clear();
    size_t at = 12;
    while (at + 8 <= head.size()) {
        uint32_t size = readLe32(head, at + 4);
        if (head.compare(at, 4, "fmt ") == 0) {
            if (size < 40 || (readLe32(head, at + 8) & 0xFFFF) != 0xFFFE)
                throw std::runtime_error("not an extensible fmt chunk");
            f.seekp(static_cast<std::streamoff>(at + 8 + 20));
            std::string v = le32(mask);
            f.write(v.data(), 4);
            if (!f) throw std::runtime_error("cannot patch channel mask");
            return;
        }
        at += 8 + size + (size & 1);
    }
    throw std::runtime_error("no fmt chunk to patch");
}

}  // namespace

float staircase(int channel, int64_t frame) {
    int64_t k = (frame * 3 + static_cast<int64_t>(channel) * 1009) % 16384 - 8192;
    return static_cast<float>(k) / 32768.0f;
}

Planar staircaseSignal(int channels, int64_t frames, int64_t startFrame) {
    Planar p(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    for (int c = 0; c < channels; ++c)
        for (int64_t i = 0; i < frames; ++i) p[c][i] = staircase(c, startFrame + i);
    return p;
}

Planar sineSignal(int channels, int64_t frames, double sampleRate, double hz, float amplitude) {
    return Planar(static_cast<size_t>(channels), sine(hz, amplitude, sampleRate, static_cast<size_t>(frames)));
}

void writeAudioFile(const std::filesystem::path& path, const Planar& samples, double sampleRate,
                    const AudioFileOptions& options) {
    if (samples.empty()) throw std::runtime_error("no channels to write");
    const int channels = static_cast<int>(samples.size());
    const size_t frames = samples[0].size();
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = channels;
    info.format = sndfileFormat(options);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));

    if (options.kind == FileKind::amb) {
        if (sf_command(f, SFC_WAVEX_SET_AMBISONIC, nullptr, SF_AMBISONIC_B_FORMAT) !=
            SF_AMBISONIC_B_FORMAT) {
            sf_close(f);
            throw std::runtime_error("libsndfile refused the Ambisonic sub-format");
        }
    }
    if (options.bextDescription) {
        SF_BROADCAST_INFO bi{};
        std::memcpy(bi.description, options.bextDescription->data(),
                    std::min(options.bextDescription->size(), sizeof bi.description));
        std::memcpy(bi.origination_date, "2024-01-02", 10);
        std::memcpy(bi.origination_time, "03:04:05", 8);
        if (sf_command(f, SFC_SET_BROADCAST_INFO, &bi, sizeof bi) != SF_TRUE) {
            sf_close(f);
            throw std::runtime_error("libsndfile refused the bext chunk");
        }
    }

    std::vector<float> interleaved(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) interleaved[i * channels + c] = samples[c][i];
    sf_count_t written = sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(frames));
    sf_close(f);
    if (written != static_cast<sf_count_t>(frames))
        throw std::runtime_error("short write to " + path.string());
    if (options.channelMask) patchChannelMask(path, *options.channelMask);
}

void writeTestFile(const std::filesystem::path& path, int channels, int64_t frames,
                   double sampleRate, const AudioFileOptions& options) {
    writeAudioFile(path, staircaseSignal(channels, frames), sampleRate, options);
}

void encodeWithFfmpeg(const std::filesystem::path& input, const std::filesystem::path& output,
                      const std::string& args) {
    std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + input.string() +
                      "' " + args + " '" + output.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + cmd);
}

std::string le16(uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(static_cast<uint16_t>(v >> 16)); }

std::string le64(uint64_t v) {
    return le32(static_cast<uint32_t>(v)) + le32(static_cast<uint32_t>(v >> 32));
}

RiffBuilder::RiffBuilder(std::string form, std::string type)
    : form_(std::move(form)), type_(std::move(type)) {}

RiffBuilder& RiffBuilder::chunk(const std::string& id, const std::string& payload) {
    return chunkWithSize(id, static_cast<uint32_t>(payload.size()), payload);
}

RiffBuilder& RiffBuilder::chunkWithSize(const std::string& id, uint32_t declaredSize,
                                        const std::string& payload) {
    body_ += id.substr(0, 4);
    body_ += le32(declaredSize);
    body_ += payload;
    if (payload.size() % 2) body_ += '\0';
    return *this;
}

RiffBuilder& RiffBuilder::fmt(int channels, uint32_t sampleRate, int bits, bool isFloat) {
    uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
    std::string p = le16(isFloat ? 3 : 1) + le16(static_cast<uint16_t>(channels)) +
                    le32(sampleRate) + le32(sampleRate * blockAlign) + le16(blockAlign) +
                    le16(static_cast<uint16_t>(bits));
    return chunk("fmt ", p);
}

RiffBuilder& RiffBuilder::bext(const std::string& description) {
    std::string p = description.substr(0, 256);
    p.resize(256, '\0');
    p += std::string(32 + 32 + 10 + 8, '\0');  // originator, reference, date, time
    p += le64(0) + le16(1) + std::string(64, '\0') + std::string(10 + 180, '\0');
    return chunk("bext", p);
}

RiffBuilder& RiffBuilder::data16(int channels, int64_t frames) {
    std::string p;
    p.reserve(static_cast<size_t>(frames * channels * 2));
    for (int64_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            p += le16(static_cast<uint16_t>(
                static_cast<int16_t>(std::lround(staircase(c, i) * 32768.0f))));
    return chunk("data", p);
}

RiffBuilder& RiffBuilder::formSize(uint32_t size) {
    formSize_ = size;
    return *this;
}

std::string RiffBuilder::bytes() const {
    uint32_t size = formSize_ ? *formSize_ : static_cast<uint32_t>(4 + body_.size());
    return form_.substr(0, 4) + le32(size) + type_.substr(0, 4) + body_;
}

std::string be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

std::string be32(uint32_t v) { return be16(static_cast<uint16_t>(v >> 16)) + be16(static_cast<uint16_t>(v)); }

std::string extended80(double value) {
    int e = 0;
    while (value >= std::ldexp(1.0, e + 1)) ++e;
    const auto mantissa = static_cast<uint64_t>(std::ldexp(value, 63 - e));
    std::string out = be16(static_cast<uint16_t>(16383 + e));
    for (int k = 7; k >= 0; --k) out += static_cast<char>(mantissa >> (8 * k));
    return out;
}

AiffBuilder::AiffBuilder(std::string type) : type_(std::move(type)) {}

AiffBuilder& AiffBuilder::chunk(const std::string& id, const std::string& payload) {
    return chunkWithSize(id, static_cast<uint32_t>(payload.size()), payload);
}

AiffBuilder& AiffBuilder::chunkWithSize(const std::string& id, uint32_t declaredSize, const std::string& payload) {
    body_ += id.substr(0, 4) + be32(declaredSize) + payload;
    if (payload.size() % 2) body_ += '\0';
    return *this;
}

AiffBuilder& AiffBuilder::comm(int channels, double sampleRate, int bits, const std::string& compression) {
    std::string p = be16(static_cast<uint16_t>(channels)) + be32(0) + be16(static_cast<uint16_t>(bits)) +
                    extended80(sampleRate);
    if (!compression.empty()) p += compression + std::string(2, '\0');
    return chunk("COMM", p);
}

AiffBuilder& AiffBuilder::ssnd(const std::string& audio, uint32_t offset) {
    return chunk("SSND", be32(offset) + be32(0) + std::string(offset, 'o') + audio);
}

std::string AiffBuilder::bytes() const { return "FORM" + be32(static_cast<uint32_t>(body_.size() + 4)) + type_ + body_; }

std::string w64Guid(const char* fourcc, bool riffFamily) {
    static const std::string kTail("\xF3\xAC\xD3\x11\x8C\xD1\x00\xC0\x4F\x8E\xDB\x8A", 12);
    static const std::string kRiffTail("\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\x00\x00", 12);
    return std::string(fourcc, 4) + (riffFamily ? kRiffTail : kTail);
}

W64Builder& W64Builder::chunk(const std::string& guid, const std::string& payload) {
    return chunkWithSize(guid, 24 + payload.size(), payload);
}

W64Builder& W64Builder::chunkWithSize(const std::string& guid, uint64_t declaredSize, const std::string& payload) {
    body_ += guid + le64(declaredSize) + payload;
    body_.append((8 - body_.size() % 8) % 8, '\0');
    return *this;
}

std::string W64Builder::bytes() const { return w64Guid("riff", true) + le64(40 + body_.size()) + w64Guid("wave") + body_; }

}  // namespace qm::test

#include "audio/AudioFileInfo.h"

#include <array>
#include <cstring>

#include <fmt/format.h>

#include "audio/ByteOrder.h"
#include "audio/FormatDetector.h"
#include "audio/Text.h"
#include "platform/AudioFileReader.h"
#include "platform/ReadOnlyFile.h"

namespace qm {

namespace {

std::string lowerExtension(const std::filesystem::path& url) {
    std::string ext = url.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    return qm::text::asciiLower(ext);
}

using byteorder::le32;

}  // namespace

namespace RIFFReader {

std::string descriptionText(std::string_view field) {
    return text::trimWhiteSpace(field.substr(0, field.find('\0')));
}

bool hasWaveExtension(const std::filesystem::path& url) {
    static const std::set<std::string> kWaveExtensions = {"wav", "wave", "bwf", "amb", "rf64"};
    return kWaveExtensions.contains(lowerExtension(url));
}

std::optional<std::string> bextDescription(const std::filesystem::path& url) {
    if (!hasWaveExtension(url)) return std::nullopt;
    ReadOnlyFile file(url);
    return bextDescription(file);
}

std::optional<std::string> bextDescription(const ReadOnlyFile& file) {
    if (!file) return std::nullopt;

    uint8_t header[12];
    if (file.readAt(header, 12, 0) != 12) return std::nullopt;
    const std::string_view form(reinterpret_cast<const char*>(header), 4);
    if ((form != "RIFF" && form != "RF64" && form != "BW64") ||
        std::memcmp(header + 8, "WAVE", 4) != 0)
        return std::nullopt;

    uint64_t offset = 12;
    for (int chunk = 0; chunk < 64; ++chunk) {
        uint8_t h[8];
        if (file.readAt(h, 8, offset) != 8) return std::nullopt;
        const uint32_t size = le32(h + 4);
        if (std::memcmp(h, "bext", 4) == 0) {
            // The Description is the first 256 bytes of the body; a shorter
            // chunk holds only what it declares, never the bytes after it.
            std::array<char, 256> body{};
            const size_t want = std::min<size_t>(size, body.size());
            ssize_t got = file.readAt(body.data(), want, offset + 8);
            if (got < 0) return std::nullopt;
            std::string out = descriptionText({body.data(), static_cast<size_t>(got)});
            if (out.empty()) return std::nullopt;
            return out;
        }
        // A 64-bit file keeps its real sizes in the ds64 chunk: stop here.
        if (size == 0xFFFFFFFFu) return std::nullopt;
        offset += 8 + static_cast<uint64_t>(size) + (size & 1u);
    }
    return std::nullopt;
}

}  // namespace RIFFReader

AudioFileInfo AudioFileInfo::load(const std::filesystem::path& url) {
    auto reader = AudioFileReader::open(url);
    AudioFileInfo info = fromFormat(url, reader->format());
    info.bextDescription = RIFFReader::bextDescription(url);
    return info;
}

AudioFileInfo AudioFileInfo::fromFormat(const std::filesystem::path& url, const AudioStreamFormat& f) {
    AudioFileInfo info;
    info.url = url;
    info.codec = f.codec;
    info.bitDepth = f.bitsPerChannel;
    info.isFloat = f.isFloat;
    info.channels = f.channels;

    std::optional<ChannelLayout> layout;
    if (f.layoutTag != 0 || !f.channelLabels.empty())
        layout = ChannelLayout{f.layoutTag, f.channelLabels};
    info.labels = ChannelLabels::labels(layout);
    const uint32_t tag = layout ? layout->tag : 0;
    info.detected = FormatDetector::detect(url, info.channels, info.labels, tag);

    info.sampleRate = f.sampleRate;
    info.frames = f.frames;
    return info;
}

std::string AudioFileInfo::summary() const {
    return summaryText(sampleRate, codec, bitDepth, isFloat, channels);
}

std::string AudioFileInfo::summaryText(double sampleRate, const std::string& codec, int64_t bits,
                                       bool isFloat, int64_t channels) {
    std::string rate;
    const double khz = sampleRate / 1000.0;
    if (khz == static_cast<double>(static_cast<int64_t>(khz)))
        rate = fmt::format("{} kHz", static_cast<int64_t>(khz));
    else
        rate = fmt::format("{:.1f} kHz", khz);
    std::string depth;
    if (codec == "PCM")
        depth = fmt::format("{}-bit{}", bits, isFloat ? " float" : "");
    else
        depth = codec;
    std::string chans = channels == 1 ? "mono" : fmt::format("{} ch", channels);
    return rate + " \u00B7 " + depth + " \u00B7 " + chans;
}

const std::set<std::string>& AudioFileInfo::audioExtensions() {
    static const std::set<std::string> extensions = {
        "wav", "wave", "bwf", "aif", "aiff", "aifc", "caf",  "mp3",
        "m4a", "aac",  "flac", "amb", "w64", "rf64", "mp4"};
    return extensions;
}

bool AudioFileInfo::isAudioFile(const std::filesystem::path& url) { return isAudioName(url.filename().native()); }

bool AudioFileInfo::isAudioName(std::string_view name) {
    // The extension as std::filesystem takes it: after the last dot, none
    // for a name that only begins with one. No extension is longer than 4.
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 > 4) return false;
    char ext[4];
    const size_t n = name.size() - dot - 1;
    for (size_t i = 0; i < n; ++i) {
        const char c = name[dot + 1 + i];
        ext[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return audioExtensions().contains(std::string(ext, n));
}

}  // namespace qm

size_t std::hash<qm::AudioFileInfo>::operator()(const qm::AudioFileInfo& info) const noexcept {
    size_t h = std::hash<std::string>()(info.url.string());
    auto mix = [&h](size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    mix(std::hash<double>()(info.sampleRate));
    mix(static_cast<size_t>(info.channels));
    mix(static_cast<size_t>(info.frames));
    mix(static_cast<size_t>(info.bitDepth));
    mix(info.isFloat);
    mix(std::hash<std::string>()(info.codec));
    for (uint32_t l : info.labels) mix(l);
    mix(std::hash<qm::SourceFormat>()(info.detected));
    if (info.bextDescription) mix(std::hash<std::string>()(*info.bextDescription));
    return h;
}

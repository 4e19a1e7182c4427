#include "library/MetaIO.h"

#include <array>
#include <string_view>

#include "audio/AudioFileInfo.h"
#include "audio/Text.h"
#include "library/RIFFMeta.h"
#include "platform/AppError.h"
#include "platform/AssetMetadata.h"

namespace qm::MetaIO {

namespace {

template <size_t N>
bool hasExtension(const std::filesystem::path& url, const std::array<std::string_view, N>& extensions) {
    std::string ext = text::asciiLower(url.extension().string());
    if (ext.empty()) return false;
    ext.erase(0, 1);
    for (std::string_view e : extensions)
        if (ext == e) return true;
    return false;
}

constexpr std::array<std::string_view, 3> kWritable = {"wav", "wave", "bwf"};

SoundMeta fromAsset(const std::filesystem::path& url) {
    SoundMeta meta;
    for (const AssetMetadataItem& item : AssetMetadata::commonMetadata(url)) {
        const std::string& key = item.key;
        if (key == AssetMetadata::kDescription) {
            meta.description = item.value;
        } else if (key == AssetMetadata::kTitle) {
            meta.trackTitle = item.value;
        } else if (key == AssetMetadata::kCreator || key == AssetMetadata::kArtist) {
            // Creator and artist share the field: the first non-empty one.
            if (meta.designer.empty()) meta.designer = item.value;
        } else if (key == AssetMetadata::kSubject) {
            meta.keywords = item.value;
        } else if (key == AssetMetadata::kPublisher) {
            meta.library = item.value;
        }
    }
    return meta;
}

}  // namespace

SoundMeta read(const std::filesystem::path& url) {
    return completed(readsChunks(url) ? RIFFMeta::read(url) : fromAsset(url), url);
}

bool readsChunks(const std::filesystem::path& url) { return RIFFReader::hasWaveExtension(url); }

SoundMeta completed(SoundMeta meta, const std::filesystem::path& url) {
    meta.fill(SoundMeta::fromFileName(url));
    if (meta.fxName.empty()) meta.fxName = text::repairUtf8(url.stem().string());
    return meta;
}

bool isEmbeddable(const std::filesystem::path& url) { return hasExtension(url, kWritable); }

void write(const SoundMeta& meta, const std::filesystem::path& url) {
    if (!isEmbeddable(url)) throw AppError(kNotEmbeddable, "Embedding is supported for WAV/BWF files");
    RIFFMeta::write(meta, url);
}

}  // namespace qm::MetaIO

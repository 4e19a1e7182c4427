#include "library/MetaIO.h"

#include <array>
#include <string_view>

#include "audio/Text.h"
#include "library/RIFFMeta.h"
#include "platform/AssetMetadata.h"

namespace qm::MetaIO {

namespace {

bool readAsRIFF(const std::filesystem::path& url) {
    static constexpr std::array<std::string_view, 5> extensions = {"wav", "wave", "bwf", "rf64", "amb"};
    std::string ext = text::asciiLower(url.extension().string());
    if (ext.empty()) return false;
    ext.erase(0, 1);
    for (std::string_view e : extensions)
        if (ext == e) return true;
    return false;
}

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
    SoundMeta meta = readAsRIFF(url) ? RIFFMeta::read(url) : fromAsset(url);
    meta.fill(SoundMeta::fromFileName(url));
    if (meta.fxName.empty()) meta.fxName = text::repairUtf8(url.stem().string());
    return meta;
}

}  // namespace qm::MetaIO

#include "library/ScanRead.h"

#include "library/MetaIO.h"
#include "library/RIFFMeta.h"
#include "platform/AssetMetadata.h"
#include "platform/ReadOnlyFile.h"

#include <optional>

namespace qm::ScanRead {

namespace {

// Where a library file's format, bext and iXML chunks stand.
constexpr size_t kHead = 65536;

}  // namespace

Result read(const std::filesystem::path& url) {
    Result out;
    std::optional<SoundMeta> meta;
    {
        const ReadOnlyFile file(url, kHead);
        out.info = AudioFileInfo::fromHeader(file, url);
        // The record as MetaIO::read takes it for the file's name: from the
        // chunks of a WAVE name's file (also one whose header the reader has
        // to judge); for another name from the asset metadata, which an AIFF
        // file without a tag chunk or a Wave64 file does not have (the
        // name's record then), and which is asked, once the file is closed,
        // where in doubt.
        if (MetaIO::readsChunks(url))
            meta = MetaIO::completed(RIFFMeta::read(file), url);
        else if (out.info && AssetMetadata::surelyEmpty(file, url))
            meta = MetaIO::completed({}, url);
    }
    if (!out.info) {
        try {
            out.info = AudioFileInfo::load(url);
        } catch (...) {
            // Not readable as audio: catalogued without facts.
        }
    }
    out.meta = meta ? std::move(*meta) : MetaIO::read(url);
    return out;
}

}  // namespace qm::ScanRead

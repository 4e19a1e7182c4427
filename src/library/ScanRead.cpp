#include "library/ScanRead.h"

#include "library/MetaIO.h"
#include "library/RIFFMeta.h"
#include "platform/AssetMetadata.h"
#include "platform/ReadOnlyFile.h"

namespace qm::ScanRead {

namespace {

// Where a library file's format, bext and iXML chunks stand.
constexpr size_t kHead = 65536;

}  // namespace

Result read(const std::filesystem::path& url) {
    Result out;
    {
        const ReadOnlyFile file(url, kHead);
        if ((out.info = AudioFileInfo::fromHeader(file, url))) {
            // The record as MetaIO::read takes it for the file's name: from
            // the chunks of a WAVE name's file; for another name from the
            // asset metadata, which an AIFF file without a tag chunk or a
            // Wave64 file does not have (the name's record then), and
            // which is asked, once the file is closed, where in doubt.
            if (MetaIO::readsChunks(url)) {
                out.meta = MetaIO::completed(RIFFMeta::read(file), url);
                return out;
            }
            if (AssetMetadata::surelyEmpty(file, url)) {
                out.meta = MetaIO::completed({}, url);
                return out;
            }
        }
    }
    if (!out.info) {
        try {
            out.info = AudioFileInfo::load(url);
        } catch (...) {
            // Not readable as audio: catalogued without facts.
        }
    }
    out.meta = MetaIO::read(url);
    return out;
}

}  // namespace qm::ScanRead

// The WAV metadata walker, reader and rewriter on any bytes as a ".wav"
// file. The reader never fails; the rewrite either refuses the file (with
// one of its codes, the file as it was) or keeps every chunk it does not
// own and reads back what it wrote.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "library/RIFFMeta.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"
#include "platform/ReadOnlyFile.h"

namespace {

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The chunks as the rewrite must keep them (a data chunk running to the end
// of the file: its size field and everything after it), less the first of
// each id in `owned`.
std::vector<std::string> kept(const std::filesystem::path& file, std::vector<std::string> owned) {
    const qm::ReadOnlyFile f(file);
    const auto list = qm::RIFFMeta::chunks(f, true);
    const std::string all = readAll(file);
    std::vector<std::string> out;
    for (const auto& c : list.value_or(std::vector<qm::RIFFMeta::Chunk>{})) {
        if (const auto it = std::find(owned.begin(), owned.end(), c.id); it != owned.end()) {
            owned.erase(it);
            continue;
        }
        const bool toEnd = c.id == "data" && (c.declared > c.size || (c.declared == 0 && c.offset < all.size()));
        out.push_back(std::string(c.raw.data(), 4) + (toEnd ? all.substr(c.offset - 4) : all.substr(c.offset, c.size)));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = qm::fuzz::writeScratch("input.wav", data, size);
    const qm::SoundMeta found = qm::RIFFMeta::read(file);
    qm::RIFFMeta::parseUSER(qm::fuzz::text(data, size));

    // The record written is the one found with a field of our own, so that
    // the old block's text is carried through the escaping too.
    qm::SoundMeta meta = found;
    meta.fxName = "Fuzzed & <written>";
    meta.rating = size % 6;
    const std::vector<std::string> before = kept(file, {"bext", "iXML"});
    const std::vector<std::string> beforeOwnChunk = kept(file, {"bext"});
    try {
        qm::RIFFMeta::write(meta, file);
    } catch (const qm::AppError& e) {
        if (e.code() != qm::RIFFMeta::kNotWritableWav && e.code() != qm::RIFFMeta::kTooLargeForRIFF &&
            e.code() != qm::RIFFMeta::kMetadataTooLong && e.code() != qm::FileAccess::kWriteFailed)
            qm::fuzz::fail("a rewrite failed with an unknown code");
        if (readAll(file) != qm::fuzz::text(data, size)) qm::fuzz::fail("a refused rewrite changed the file");
        return 0;
    }
    const std::vector<std::string> after = kept(file, {"bext", "iXML"});
    if (after != before && after != beforeOwnChunk) qm::fuzz::fail("the rewrite changed a chunk it does not own");
    // Every field is read back as written: the values found were already
    // decoded and trimmed by the reader, and the rating is above 0 or none.
    if (!(qm::RIFFMeta::read(file) == meta)) qm::fuzz::fail("the record does not read back");
    return 0;
}

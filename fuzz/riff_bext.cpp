// The RIFF/RF64 chunk walk that finds a broadcast-wave Description.
#include "FuzzSupport.h"
#include "audio/AudioFileInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = qm::fuzz::writeScratch("input.wav", data, size);
    const auto description = qm::RIFFReader::bextDescription(file);
    // A Description is trimmed and never empty; at most 256 bytes, each of
    // which may have become a 3-byte replacement character.
    if (description && (description->empty() || description->size() > 3 * 256))
        qm::fuzz::fail("implausible Description");
    return 0;
}

// AudioFileInfo::load on any bytes under every audio extension: the first
// byte picks the extension, the rest is the file. Where the facts can be
// had from a header alone (RIFF, RF64, Wave64, AIFF), they are load's own.
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "audio/AudioFileInfo.h"
#include "platform/AppError.h"
#include "platform/ReadOnlyFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> extensions(qm::AudioFileInfo::audioExtensions().begin(),
                                                     qm::AudioFileInfo::audioExtensions().end());
    if (size == 0) return 0;
    const std::string& ext = extensions[data[0] % extensions.size()];
    const auto file = qm::fuzz::writeScratch("input." + ext, data + 1, size - 1);
    std::optional<qm::AudioFileInfo> loaded;
    try {
        loaded = qm::AudioFileInfo::load(file);
        (void)loaded->summary();
        if (loaded->channels < 0 || loaded->frames < 0) qm::fuzz::fail("negative channel or frame count");
    } catch (const qm::AppError&) {
        // The one documented failure: not readable audio.
    }
    const qm::ReadOnlyFile open(file, 65536);
    if (const auto header = qm::AudioFileInfo::fromHeader(open, file); header && header != loaded)
        qm::fuzz::fail("the facts from the header differ from the reader's");
    return 0;
}

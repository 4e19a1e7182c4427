// AudioFileInfo::load on any bytes under every audio extension: the first
// byte picks the extension, the rest is the file.
#include <vector>

#include "FuzzSupport.h"
#include "audio/AudioFileInfo.h"
#include "platform/AppError.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> extensions(qm::AudioFileInfo::audioExtensions().begin(),
                                                     qm::AudioFileInfo::audioExtensions().end());
    if (size == 0) return 0;
    const std::string& ext = extensions[data[0] % extensions.size()];
    const auto file = qm::fuzz::writeScratch("input." + ext, data + 1, size - 1);
    try {
        const auto info = qm::AudioFileInfo::load(file);
        (void)info.summary();
        if (info.channels < 0 || info.frames < 0) qm::fuzz::fail("negative channel or frame count");
    } catch (const qm::AppError&) {
        // The one documented failure: not readable audio.
    }
    return 0;
}

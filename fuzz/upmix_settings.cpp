// The upmix settings and parameter decoders, tolerant key by key.
#include "FuzzSupport.h"
#include "audio/UpmixSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::fuzz::checkDecoder<qm::UpmixSettings>(data, size);
    qm::fuzz::checkDecoder<qm::UpmixParams>(data, size);
    return 0;
}

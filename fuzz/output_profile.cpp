// The strict output profile decoder.
#include "FuzzSupport.h"
#include "audio/OutputProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::fuzz::checkDecoder<qm::OutputProfile>(data, size);
    return 0;
}

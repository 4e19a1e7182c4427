// The pins decoder (every key required, with its type).
#include "FuzzSupport.h"
#include "analysis/Structure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::fuzz::checkDecoder<qm::Pins>(data, size);
    return 0;
}

// The strict output profile decoder.
#include "FuzzSupport.h"
#include "audio/OutputProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto j = qm::fuzz::parseOrNull(data, size);
    qm::OutputProfile p;
    try {
        from_json(j, p);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    qm::fuzz::checkRoundTrip(p);
    return 0;
}

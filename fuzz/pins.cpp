// The pins decoder (every key required, with its type).
#include "FuzzSupport.h"
#include "analysis/Structure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto j = qm::fuzz::parseOrNull(data, size);
    qm::Pins p;
    try {
        from_json(j, p);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    qm::fuzz::checkRoundTrip(p);
    return 0;
}

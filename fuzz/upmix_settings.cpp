// The upmix settings and parameter decoders, tolerant key by key.
#include "FuzzSupport.h"
#include "audio/UpmixSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto j = qm::fuzz::parseOrNull(data, size);
    try {
        qm::UpmixSettings s;
        from_json(j, s);
        qm::fuzz::checkRoundTrip(s);
    } catch (const nlohmann::json::exception&) {
    }
    try {
        qm::UpmixParams p;
        from_json(j, p);
        qm::fuzz::checkRoundTrip(p);
    } catch (const nlohmann::json::exception&) {
    }
    return 0;
}

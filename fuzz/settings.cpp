// The settings document decoder, tolerant key by key.
#include "FuzzSupport.h"
#include "audio/AppSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::AppSettings s;
    try {
        std::vector<std::string> reverted;
        s = qm::AppSettings::decodeText(qm::fuzz::text(data, size), &reverted);
    } catch (const nlohmann::json::exception&) {
        return 0;  // not JSON, or not an object
    }
    if (s.profiles.empty()) qm::fuzz::fail("decoded settings without profiles");
    if (!(qm::AppSettings::decodeText(s.encode()) == s)) qm::fuzz::fail("settings do not survive their encoding");
    return 0;
}

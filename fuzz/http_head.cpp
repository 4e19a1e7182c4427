// The control port's head parser on any bytes: whatever it gives has a
// method and a target, lower-case names without blanks, and no value that
// could break a line of a reply it is echoed into.
#include "FuzzSupport.h"
#include "platform/HttpHead.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto head = qm::HttpHead::parse(qm::fuzz::text(data, size));
    if (!head) return 0;
    if (head->method.empty() || head->target.empty()) qm::fuzz::fail("a head without method or target");
    for (const auto& [name, value] : head->headers) {
        if (name.empty() || name.find_first_of(" \t\r\n") != std::string::npos) qm::fuzz::fail("a broken name");
        for (char c : name)
            if (c >= 'A' && c <= 'Z') qm::fuzz::fail("a name not in lower case");
        if (value.find_first_of("\r\n") != std::string::npos) qm::fuzz::fail("a value holding a line end");
    }
    for (const auto& name : head->repeated)
        if (!head->headers.count(name)) qm::fuzz::fail("a repeated name that is not there");
    // A bare CR is malformed wherever it stands.
    const std::string_view text = qm::fuzz::text(data, size);
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) qm::fuzz::fail("a bare CR was taken");
    return 0;
}

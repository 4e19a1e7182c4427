// The change-log line decoder: every key required, the time in one form,
// the rating absent, null or integral. A line it accepts must come back as
// itself from its own encoding, on one line.
#include "FuzzSupport.h"
#include "library/ChangeLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::optional<qm::ChangeLog::Entry> entry = qm::ChangeLog::Entry::decode(qm::fuzz::text(data, size));
    if (!entry) return 0;
    const std::optional<std::string> line = entry->encoded();
    if (!line) qm::fuzz::fail("a decoded entry cannot be written");
    if (line->find('\n') != std::string::npos) qm::fuzz::fail("an entry's line holds a line feed");
    const std::optional<qm::ChangeLog::Entry> again = qm::ChangeLog::Entry::decode(*line);
    if (!again || !(*again == *entry)) qm::fuzz::fail("an entry does not survive its own encoding");
    if (qm::ChangeLog::parseTime(qm::ChangeLog::timeText(entry->time)) != entry->time)
        qm::fuzz::fail("an entry's time does not survive its text");
    return 0;
}

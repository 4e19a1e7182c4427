#include "audio/UpmixRequest.h"

#include <algorithm>

namespace qm::UpmixPlanner {

namespace {
bool holds(const std::vector<SpeakerID>& list, SpeakerID s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}
}  // namespace

bool applies(const std::vector<SpeakerID>& source, const std::vector<SpeakerID>& target) {
    using S = SpeakerID;
    if (!holds(source, S::L) || !holds(source, S::R) || !holds(target, S::L) ||
        !holds(target, S::R))
        return false;
    if (source == std::vector<SpeakerID>{S::L, S::R})
        return std::count_if(target.begin(), target.end(), [](S s) { return s != S::LFE; }) > 2;
    return !fills(source, target).empty();
}

std::vector<int> fills(const std::vector<SpeakerID>& source, const std::vector<SpeakerID>& target) {
    std::vector<int> out;
    for (std::size_t i = 0; i < target.size(); ++i) {
        SpeakerID s = target[i];
        if (s == SpeakerID::C || s == SpeakerID::LFE || holds(source, s)) continue;
        out.push_back(static_cast<int>(i));
    }
    return out;
}

}  // namespace qm::UpmixPlanner

// One upmix named as a value: the speakers of the upmixer's input channels,
// the speakers it fills, and the parameters. Equal requests are planned
// once, so equality is exact: both lists element by element and in order,
// and the parameters with their own equality.
//
// UpmixPlanner::applies and ::fills gate every upmix offer (the mix builder,
// the exporter, the player's and the monitor's menus, the control command).
// They are pure; any thread may call them.
#pragma once

#include <vector>

#include "audio/Speakers.h"
#include "audio/UpmixSettings.h"

namespace qm {

struct UpmixRequest {
    std::vector<SpeakerID> source;  // the upmixer's input channels, in channel order
    std::vector<SpeakerID> target;  // the output speakers, in output order
    UpmixParams params;

    bool operator==(const UpmixRequest&) const = default;
};

namespace UpmixPlanner {
// Whether an upmix makes sense: both lists hold L and R, and either the
// source is exactly [L, R] and the target has more than two speakers other
// than LFE, or the source lacks some target speaker it could be filled into.
bool applies(const std::vector<SpeakerID>& source, const std::vector<SpeakerID>& target);
// Indices, in target order, of the target speakers other than C and LFE that
// the source lacks.
std::vector<int> fills(const std::vector<SpeakerID>& source, const std::vector<SpeakerID>& target);
}  // namespace UpmixPlanner

}  // namespace qm

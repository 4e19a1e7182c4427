// Output profiles for tests: a fresh profile of one layout on one device,
// its channels in layout order and no trims; and upmix settings.
#pragma once

#include "audio/OutputProfile.h"
#include "audio/Speakers.h"
#include "audio/UpmixSettings.h"
#include "platform/Uuid.h"

#include <string>

namespace qm::test {

inline OutputProfile profileInLayoutOrder(LayoutID layout, OutputProfile::Kind kind, const std::string& device,
                                          const std::string& name = "Test") {
    OutputProfile p = OutputProfile::defaults().front();
    p.id = Uuid::random();
    p.name = name;
    p.kind = kind;
    p.deviceUID = device;
    p.layout = layout;
    p.outputs.clear();
    p.trimsDB.clear();
    for (size_t i = 0; i < layout::speakers(layout).size(); ++i) {
        p.outputs.push_back(static_cast<int64_t>(i));
        p.trimsDB.push_back(0.0);
    }
    return p;
}

// The upmix on or off with a preset's parameters.
inline UpmixSettings upmixSettings(bool on, UpmixPreset preset = UpmixPreset::music) {
    UpmixSettings u;
    u.enabled = on;
    u.preset = preset;
    u.params = upmixPreset::params(preset);
    return u;
}

}  // namespace qm::test

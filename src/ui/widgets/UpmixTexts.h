// What the upmix presets say to the user wherever a view offers them (the
// player's upmix menu, the monitor's upmix row): one sentence each. The
// display names themselves are the engine's (upmixPreset::displayName).
#pragma once

#include <QString>

#include "audio/UpmixSettings.h"

namespace qm::widgets {

QString upmixDescription(UpmixPreset preset);

}  // namespace qm::widgets

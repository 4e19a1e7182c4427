// What the composition root sees of the floating panel under the file
// manager's front window: the views layer builds it (ui/shell/HUDController)
// and main() hands it over through this interface, so the models never
// depend on views.
//
// Frames are the file-manager tracker's: bottom-left screen coordinates.
//
// Threads: the main thread.
#pragma once

#include "platform/desktop/DesktopWindows.h"

#include <functional>
#include <optional>

namespace qm {

class FloatingPanel {
public:
    virtual ~FloatingPanel() = default;

    // The floating-panel setting; each assignment places, shows or hides it.
    virtual void setEnabled(bool enabled) = 0;
    virtual bool enabled() const = 0;
    // The tracker's state: whether the file manager is in front and its
    // front window's frame (kept from before while it is not in front).
    virtual void update(bool active, const std::optional<DesktopRect>& window) = 0;
    // Whether the player's current file is read as Ambisonics (the taller
    // panel); answers false until set.
    virtual void setIsAmbisonic(std::function<bool()> query) = 0;
    // The player announced a change: placement runs again once the change
    // is made (queued on the event loop).
    virtual void playerChanged() = 0;
};

}  // namespace qm

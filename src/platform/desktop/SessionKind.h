// What kind of graphical session the program runs in. Following the file
// manager needs X11: on a Wayland session its windows are not in the X11
// window list, and keys typed to it never reach an X11 grab. The program
// itself runs under XWayland there, so that its own windows are raised and
// stacked as on X11.
//
// Threads: any; reads the environment only through current().
#pragma once

#include <optional>
#include <string>

namespace qm::sessionKind {

// The environment's say, as read.
struct Environment {
    std::optional<std::string> sessionType;     // XDG_SESSION_TYPE
    std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<std::string> display;         // DISPLAY
    std::optional<std::string> qtPlatform;      // QT_QPA_PLATFORM

    static Environment current();
};

// A Wayland session: XDG_SESSION_TYPE says "wayland", or, where it says
// nothing, a Wayland display is named.
bool isWayland(const Environment& environment);

// The Qt platform to ask for before the application object exists: "xcb"
// (XWayland) on a Wayland session that has an X server, unless the user
// chose a platform; none otherwise (Qt's own choice).
std::optional<std::string> qtPlatform(const Environment& environment);

}  // namespace qm::sessionKind

// The running applications a workstation may be among, and keystrokes typed
// into one of them. It stands in for the platform's list of running
// applications, its frontmost application and keyboard events posted to a
// process; the workstation control decides which application is meant.
//
// On X11 an "application" is a client window (_NET_CLIENT_LIST order) with
// its owner: _NET_WM_PID, the WM_CLASS instance and class, and the process
// name of that pid (/proc/PID/comm). The frontmost one is the window of
// _NET_ACTIVE_WINDOW; the WM_CLASS class serves as the localized name.
//
// A keystroke names its key by the platform's virtual key code of the US
// (ANSI) layout and its modifiers by the platform's event flag masks (the
// constants below); keysymForKeyCode() says which X keysym a code types.
// Synthetic keys on X11 go to whichever window holds the input focus, so
// post() first brings the application's window to the front and waits (at
// most kRaiseWait) until it holds the focus; when it does not, nothing at
// all is typed, or the combination would land in the user's current
// program.
//
// Trust stands for the platform's permission to post keyboard events: a
// display with the XTEST extension (a Wayland-only session has neither).
//
// Threads: the thread of the DesktopWindows given (the main thread). post()
// blocks it for kRaiseWait at most, and dispatches that object's events
// before it returns (the wait reads them off the connection), so its
// handlers may run inside post().
#pragma once

#include "platform/desktop/DesktopWindows.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// Modifier flags of a keystroke (the platform's keyboard event masks) and
// the keys they hold down here: command → Control_L, option → Alt_L,
// control → Super_L, shift → Shift_L, the usual way a desktop maps them.
inline constexpr uint64_t kKeyFlagShift = 0x20000;
inline constexpr uint64_t kKeyFlagControl = 0x40000;
inline constexpr uint64_t kKeyFlagOption = 0x80000;
inline constexpr uint64_t kKeyFlagCommand = 0x100000;

// The X keysym that the US-layout virtual key `code` types (unshifted);
// 0 for a code without one.
unsigned long keysymForKeyCode(uint16_t code);

struct RunningApplication {
    WindowId window = 0;
    int pid = 0;                  // 0 when the window names none
    std::string instance = {};       // WM_CLASS, first part
    std::string windowClass = {};    // WM_CLASS, second part
    std::string processName = {};    // /proc/PID/comm, "" when unknown
    std::string localizedName = {};  // "" when the application has none
    bool operator==(const RunningApplication&) const = default;
};

class Workstations {
public:
    static constexpr std::chrono::milliseconds kRaiseWait{150};

    virtual ~Workstations() = default;

    // Keyboard events can be posted at all.
    virtual bool trusted() = 0;
    // Every running application, in the platform's order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The application in front, if any.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Brings `application` to the front and, once it holds the keyboard,
    // types the modifiers of `flags` down, the key down, the key up and the
    // modifiers up. False, with nothing typed, when it could not be brought
    // to the front in time.
    virtual bool post(const RunningApplication& application, uint16_t key, uint64_t flags) = 0;
};

// The desktop of `windows` (which stays the caller's); process names are
// read under `proc`.
std::unique_ptr<Workstations> makeDesktopWorkstations(DesktopWindows& windows,
                                                      std::filesystem::path proc = "/proc");

}  // namespace qm

// Every key press and left-button release on the desktop, seen before the
// file manager gets them, with the power to keep a plain Space from it.
//
// On X11 no client sees another's input by default, and none may drop it.
// The tap therefore works in two ways at once:
// - XInput 2 raw events on the root (master devices) report every key press
//   and release and every button release, whoever holds the focus and
//   whatever grab is active. They can only be watched, never dropped.
// - A passive grab of Space on one window (the active file manager's,
//   grabSpace()) makes the server hand that press to the tap first, with
//   the keyboard frozen (a synchronous grab), for modifiers none, Lock,
//   Mod2 and Lock|Mod2, so Caps Lock and Num Lock do not matter. Shift,
//   Control, Alt and Super are not grabbed: those combinations reach the
//   window untouched and are only watched.
//   A grabbed press the handler keeps thaws the keyboard with the grab still
//   active, so its release comes to the tap too and goes no further. A
//   press the handler passes is replayed (XAllowEvents with ReplayKeyboard):
//   the server delivers it again as if there were no grab, so the window
//   gets the press and then its release exactly once, without a synthetic
//   event. Until the handler returns the keyboard waits: it must be quick.
// Each physical event reaches the handler once: a raw Space press or
// release that the grab will bring is not reported from the raw stream.
// With XKB's detectable auto-repeat, a press while Space is held is a repeat
// (flagged); a held key sends no releases in between.
//
// Threads: one object belongs to the thread that made it; the handler is
// called from dispatchEvents() on that thread.
#pragma once

#include "platform/desktop/DesktopWindows.h"

#include <functional>
#include <memory>
#include <string>

namespace qm {

// Modifier flags of a tap event.
inline constexpr unsigned kTapShift = 1u << 0;
inline constexpr unsigned kTapControl = 1u << 1;
inline constexpr unsigned kTapAlt = 1u << 2;
inline constexpr unsigned kTapSuper = 1u << 3;

struct TapEvent {
    enum class Type { leftMouseUp, keyDown, keyUp };
    Type type = Type::keyDown;
    unsigned keycode = 0;    // X keycode; 0 for a button
    bool space = false;      // the key is the keyboard's Space
    unsigned modifiers = 0;  // kTap* held when the event happened
    bool autoRepeat = false; // a key press while the key is held
    bool grabbed = false;    // held by the grab: the only events the handler can drop
    bool operator==(const TapEvent&) const = default;
};

class KeyEventTap {
public:
    // Returns whether the event goes on; false drops a grabbed event (and
    // is ignored for the others, which have already gone on).
    using Handler = std::function<bool(const TapEvent&)>;

    virtual ~KeyEventTap() = default;

    // Connects and starts watching; true at once when already started.
    // False without an X display, XInput 2.2, XTEST or XKB: nothing is then
    // watched and start() may be called again later.
    virtual bool start() = 0;
    virtual bool started() const = 0;
    // Holds the Space grab on `window` (the active file manager's), moving
    // it from the window held before; 0 lets go. A grab made active by a
    // press stays until that key's release.
    virtual void grabSpace(WindowId window) = 0;
    virtual WindowId grabWindow() const = 0;

    // The connection to watch for readability; -1 before start().
    virtual int eventFd() const = 0;
    // Reads what arrived and calls the handler, one call per event.
    virtual void dispatchEvents() = 0;

    void setHandler(Handler handler) { handler_ = std::move(handler); }

protected:
    bool deliver(const TapEvent& event) { return handler_ ? handler_(event) : true; }

private:
    Handler handler_;
};

// The X11 tap on `display` (empty: $DISPLAY).
std::unique_ptr<KeyEventTap> makeKeyTapX11(const std::string& display = {});

}  // namespace qm

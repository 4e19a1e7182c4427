// The desktop's top-level windows as the window manager publishes them:
// which window is active, the managed clients front to back, each window's
// owner (process id, WM_CLASS), title, type, visibility, opacity and frame,
// and the primary screen's height. It stands in for the platform's window
// list and workspace notifications; the file-manager tracker, the floating
// panel and the workstation control read the desktop through it. It also
// brings a window to the front with the keyboard and types synthetic keys
// (XTEST), which is how keystrokes reach another program on X11: they go
// to whichever window holds the input focus, so a caller that means one
// window must see it hold the focus first (activate()).
//
// The X11 implementation keeps a connection of its own (Xlib, EWMH, XRandR)
// and reports changes through handlers: the owner watches eventFd() (a
// QSocketNotifier in the app layer) and calls dispatchEvents() when it is
// readable, and after its own queries, since Xlib may have queued events
// while it waited for a reply.
//
// Coordinates are the root window's: origin at the top left, y downwards.
//
// Threads: one object belongs to the thread that made it (the main thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// An X window id; 0 is no window.
using WindowId = unsigned long;

struct DesktopRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const DesktopRect&) const = default;
};

// What a window says of its owner; it does not change while the window lives.
struct DesktopWindowIdentity {
    int pid = 0;               // _NET_WM_PID; 0 when the window gives none
    std::string instance;      // WM_CLASS, first part (res_name)
    std::string windowClass;   // WM_CLASS, second part (res_class)
    // A document window: _NET_WM_WINDOW_TYPE_NORMAL, or no type and no
    // WM_TRANSIENT_FOR (the window manager's own rule for untyped windows).
    bool normal = false;
    bool operator==(const DesktopWindowIdentity&) const = default;
};

struct DesktopWindowInfo {
    WindowId id = 0;
    DesktopWindowIdentity identity;
    std::string title;                 // _NET_WM_NAME, else WM_NAME
    bool onScreen = false;             // viewable, not hidden (minimised, other desktop)
    std::optional<double> opacity;     // _NET_WM_WINDOW_OPACITY / 0xFFFFFFFF; absent when unset
    DesktopRect frame;                 // the window with the manager's decorations (_NET_FRAME_EXTENTS)
};

struct DesktopEvent {
    enum class Kind {
        activeWindowChanged,  // _NET_ACTIVE_WINDOW changed
        clientsChanged,       // the client list or its stacking order changed
        windowChanged,        // a client moved, was resized, mapped, unmapped or changed state
        screensChanged,       // the screen configuration changed
    };
    Kind kind = Kind::activeWindowChanged;
    WindowId window = 0;      // for windowChanged
    bool operator==(const DesktopEvent&) const = default;
};

// One synthetic key event: an X keysym going down or up.
struct SyntheticKey {
    unsigned long keysym = 0;
    bool press = false;
    bool operator==(const SyntheticKey&) const = default;
};

class DesktopWindows {
public:
    using Handler = std::function<void(const DesktopEvent&)>;

    virtual ~DesktopWindows() = default;

    // False without a display: every query then answers nothing.
    virtual bool available() const = 0;
    // The active window (_NET_ACTIVE_WINDOW), 0 when none.
    virtual WindowId activeWindow() = 0;
    // The managed clients in the order they were mapped (_NET_CLIENT_LIST).
    virtual std::vector<WindowId> clients() = 0;
    // The managed clients, frontmost first (_NET_CLIENT_LIST_STACKING reversed).
    virtual std::vector<WindowId> clientsFrontToBack() = 0;
    // Owner and type of a window; cheap after the first call for a window.
    virtual std::optional<DesktopWindowIdentity> identity(WindowId window) = 0;
    // Everything about a window; nothing once it is gone.
    virtual std::optional<DesktopWindowInfo> info(WindowId window) = 0;
    // Height of the primary screen (XRandR primary output, else the root):
    // the H that turns root coordinates into bottom-left ones and back.
    virtual double primaryScreenHeight() = 0;

    // Synthetic keys can be typed: a display with the XTEST extension.
    virtual bool canPostKeys() const = 0;
    // Asks the window manager to bring `window` to the front with the
    // keyboard (_NET_ACTIVE_WINDOW, source 2: a request the user made, which
    // managers do not refuse as focus stealing) and waits at most `maxWait`
    // until it holds the input focus (itself or a window inside it). True
    // when it does; at once, without asking, when it already did. Blocks
    // the calling thread for that long at most.
    virtual bool activate(WindowId window, std::chrono::milliseconds maxWait) = 0;
    // Types the keys in order (XTEST) into whichever window holds the focus
    // and flushes. A keysym the keyboard map lacks is skipped; the number
    // posted.
    virtual size_t postKeys(const std::vector<SyntheticKey>& keys) = 0;

    // Adds states ("_NET_WM_STATE_STICKY", ...) to a window of this process:
    // to its _NET_WM_STATE property while it is unmapped (the window manager
    // reads it when the window is mapped; waits until the server has it),
    // else by asking the window manager (the client message). A manager
    // that knows a state applies it; the others ignore it.
    virtual void addWindowStates(WindowId window, const std::vector<std::string>& states) = 0;
    // Puts a window of this process on every desktop (_NET_WM_DESKTOP
    // 0xFFFFFFFF), the same way: the property while unmapped, else a request.
    // Managers without the sticky state (openbox) know this one.
    virtual void showOnAllDesktops(WindowId window) = 0;

    // The connection to watch for readability; -1 when there is none.
    virtual int eventFd() const = 0;
    // Reads what arrived and calls the handlers, one event per change.
    virtual void dispatchEvents() = 0;

    // Handlers are called from dispatchEvents(); the id removes one.
    int addHandler(Handler handler);
    void removeHandler(int id);

protected:
    void emitEvent(const DesktopEvent& event);

private:
    std::map<int, Handler> handlers_;
    int nextHandler_ = 1;
};

// The X11 desktop on `display` (empty: $DISPLAY). Without a display the
// object answers nothing and available() is false.
std::unique_ptr<DesktopWindows> makeX11DesktopWindows(const std::string& display = {});

}  // namespace qm

#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/X11Connections.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace qm {

int DesktopWindows::addHandler(Handler handler) {
    const int id = nextHandler_++;
    handlers_.emplace(id, std::move(handler));
    return id;
}

void DesktopWindows::removeHandler(int id) { handlers_.erase(id); }

void DesktopWindows::emitEvent(const DesktopEvent& event) {
    // A handler may add or remove handlers while it runs.
    const auto handlers = handlers_;
    for (const auto& [id, handler] : handlers) {
        if (handlers_.contains(id)) handler(event);
    }
}

namespace x11 {

namespace {

std::mutex gDisplaysLock;
std::set<Display*> gDisplays;
XErrorHandler gPreviousHandler = nullptr;

int ignoreOurErrors(Display* display, XErrorEvent* error) {
    XErrorHandler previous = nullptr;
    {
        std::lock_guard lock(gDisplaysLock);
        if (gDisplays.contains(display)) return 0;
        previous = gPreviousHandler;
    }
    return previous ? previous(display, error) : 0;
}

}  // namespace

void registerConnection(Display* display) {
    std::lock_guard lock(gDisplaysLock);
    if (gDisplays.empty()) {
        XErrorHandler previous = XSetErrorHandler(ignoreOurErrors);
        if (previous != ignoreOurErrors) gPreviousHandler = previous;
    }
    gDisplays.insert(display);
}

void unregisterConnection(Display* display) {
    std::lock_guard lock(gDisplaysLock);
    gDisplays.erase(display);
}

}  // namespace x11

namespace {

class X11DesktopWindows final : public DesktopWindows {
public:
    explicit X11DesktopWindows(const std::string& name) {
        display_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        if (!display_) return;
        x11::registerConnection(display_);
        root_ = DefaultRootWindow(display_);
        const char* names[] = {"_NET_ACTIVE_WINDOW", "_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING",
                               "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_WINDOW_TYPE",
                               "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN",
                               "_NET_WM_WINDOW_OPACITY", "_NET_FRAME_EXTENTS"};
        Atom atoms[std::size(names)];
        XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms);
        activeAtom_ = atoms[0];
        clientListAtom_ = atoms[1];
        stackingAtom_ = atoms[2];
        pidAtom_ = atoms[3];
        nameAtom_ = atoms[4];
        utf8Atom_ = atoms[5];
        typeAtom_ = atoms[6];
        typeNormalAtom_ = atoms[7];
        stateAtom_ = atoms[8];
        stateHiddenAtom_ = atoms[9];
        opacityAtom_ = atoms[10];
        extentsAtom_ = atoms[11];
        XSelectInput(display_, root_, PropertyChangeMask | StructureNotifyMask);
        int errorBase = 0;
        hasRandr_ = XRRQueryExtension(display_, &randrEventBase_, &errorBase);
        if (hasRandr_) {
            XRRSelectInput(display_, root_,
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        }
        int xtestEvent = 0, xtestError = 0, xtestMajor = 0, xtestMinor = 0;
        hasXTest_ = XTestQueryExtension(display_, &xtestEvent, &xtestError, &xtestMajor, &xtestMinor);
        XFlush(display_);
    }

    ~X11DesktopWindows() override {
        if (!display_) return;
        XCloseDisplay(display_);
        x11::unregisterConnection(display_);
    }

    bool available() const override { return display_ != nullptr; }

    WindowId activeWindow() override {
        if (!display_) return 0;
        const auto values = longProperty(root_, activeAtom_, XA_WINDOW);
        return values.empty() ? 0 : values.front();
    }

    std::vector<WindowId> clients() override {
        if (!display_) return {};
        auto list = longProperty(root_, clientListAtom_, XA_WINDOW);
        watch(list);
        return {list.begin(), list.end()};
    }

    std::vector<WindowId> clientsFrontToBack() override {
        if (!display_) return {};
        auto list = longProperty(root_, stackingAtom_, XA_WINDOW);
        watch(list);
        return {list.rbegin(), list.rend()};
    }

    std::optional<DesktopWindowIdentity> identity(WindowId window) override {
        if (!display_ || window == 0) return std::nullopt;
        if (auto it = identities_.find(window); it != identities_.end()) return it->second;
        // A window that is gone answers nothing to its attributes; ask that
        // first so that a vanished window is not cached as one without owner.
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display_, window, &attributes)) return std::nullopt;
        DesktopWindowIdentity identity;
        const auto pid = longProperty(window, pidAtom_, XA_CARDINAL);
        if (!pid.empty()) identity.pid = static_cast<int>(pid.front());
        XClassHint hint{nullptr, nullptr};
        if (XGetClassHint(display_, window, &hint)) {
            if (hint.res_name) identity.instance = hint.res_name;
            if (hint.res_class) identity.windowClass = hint.res_class;
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
        }
        const auto types = longProperty(window, typeAtom_, XA_ATOM);
        if (types.empty()) {
            Window owner = 0;
            identity.normal = !XGetTransientForHint(display_, window, &owner);
        } else {
            // The first type the manager knows wins; NORMAL is known to all.
            identity.normal = types.front() == typeNormalAtom_;
        }
        // Its destruction must reach us, or a later window given the same id
        // would be described from this entry.
        watch({window});
        identities_[window] = identity;
        return identity;
    }

    std::optional<DesktopWindowInfo> info(WindowId window) override {
        if (!display_ || window == 0) return std::nullopt;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display_, window, &attributes)) {
            identities_.erase(window);  // gone; its id may be given again
            return std::nullopt;
        }
        auto id = identity(window);
        if (!id) return std::nullopt;
        DesktopWindowInfo info;
        info.id = window;
        info.identity = *id;
        info.title = title(window);
        const auto states = longProperty(window, stateAtom_, XA_ATOM);
        const bool hidden = std::find(states.begin(), states.end(), stateHiddenAtom_) != states.end();
        info.onScreen = attributes.map_state == IsViewable && !hidden;
        const auto opacity = longProperty(window, opacityAtom_, XA_CARDINAL);
        if (!opacity.empty()) info.opacity = static_cast<double>(opacity.front() & 0xFFFFFFFFul) / 4294967295.0;
        int x = 0, y = 0;
        Window child = 0;
        if (!XTranslateCoordinates(display_, window, root_, 0, 0, &x, &y, &child)) return std::nullopt;
        double left = 0, right = 0, top = 0, bottom = 0;
        const auto extents = longProperty(window, extentsAtom_, XA_CARDINAL);
        if (extents.size() >= 4) {
            left = static_cast<double>(extents[0]);
            right = static_cast<double>(extents[1]);
            top = static_cast<double>(extents[2]);
            bottom = static_cast<double>(extents[3]);
        }
        info.frame = DesktopRect{x - left, y - top, attributes.width + left + right,
                                 attributes.height + top + bottom};
        return info;
    }

    double primaryScreenHeight() override {
        if (!display_) return 0;
        if (!screenHeight_) screenHeight_ = readPrimaryHeight();
        return *screenHeight_;
    }

    bool canPostKeys() const override { return display_ && hasXTest_; }

    bool activate(WindowId window, std::chrono::milliseconds maxWait) override {
        if (!display_ || window == 0) return false;
        if (holdsFocus(window)) return true;
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + maxWait;
        XEvent message{};
        message.xclient.type = ClientMessage;
        message.xclient.window = window;
        message.xclient.message_type = activeAtom_;
        message.xclient.format = 32;
        message.xclient.data.l[0] = 2;  // source: a pager, i.e. the user's own request
        message.xclient.data.l[1] = CurrentTime;
        message.xclient.data.l[2] = static_cast<long>(activeWindow());
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
        XFlush(display_);
        while (true) {
            if (holdsFocus(window)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            // The manager announces the new active window on the root, where
            // this connection listens: that wakes the wait. The short cap
            // covers a manager that moves the focus without announcing it.
            // Events read meanwhile stay queued for dispatchEvents().
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 2)));
        }
    }

    size_t postKeys(const std::vector<SyntheticKey>& keys) override {
        if (!canPostKeys()) return 0;
        size_t posted = 0;
        for (const auto& key : keys) {
            const KeyCode code = XKeysymToKeycode(display_, key.keysym);
            if (code == 0) continue;
            if (XTestFakeKeyEvent(display_, code, key.press ? True : False, CurrentTime)) ++posted;
        }
        XFlush(display_);
        return posted;
    }

    void addWindowStates(WindowId window, const std::vector<std::string>& states) override {
        if (!display_ || window == 0) return;
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display_, window, &attributes)) return;
        if (attributes.map_state == IsUnmapped) {
            auto atoms = longProperty(window, stateAtom_, XA_ATOM);
            for (const auto& state : states) {
                const Atom atom = XInternAtom(display_, state.c_str(), False);
                if (std::find(atoms.begin(), atoms.end(), atom) == atoms.end()) atoms.push_back(atom);
            }
            XChangeProperty(display_, window, stateAtom_, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
            XSync(display_, False);
            return;
        }
        for (const auto& state : states) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = stateAtom_;
            event.xclient.format = 32;
            event.xclient.data.l[0] = 1;  // add
            event.xclient.data.l[1] = static_cast<long>(XInternAtom(display_, state.c_str(), False));
            event.xclient.data.l[3] = 1;  // asked for by an application
            XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        }
        XFlush(display_);
    }

    void showOnAllDesktops(WindowId window) override {
        if (!display_ || window == 0) return;
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display_, window, &attributes)) return;
        const Atom desktop = XInternAtom(display_, "_NET_WM_DESKTOP", False);
        const unsigned long all = 0xFFFFFFFFul;
        if (attributes.map_state == IsUnmapped) {
            XChangeProperty(display_, window, desktop, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&all), 1);
            XSync(display_, False);
            return;
        }
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = desktop;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(all);
        event.xclient.data.l[1] = 1;  // asked for by an application
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(display_);
    }

    int eventFd() const override { return display_ ? ConnectionNumber(display_) : -1; }

    void dispatchEvents() override {
        if (!display_) return;
        // Collected first and told once each, so that a drag's burst of
        // configure events becomes one report per window per dispatch.
        std::vector<DesktopEvent> events;
        auto add = [&events](DesktopEvent event) {
            if (std::find(events.begin(), events.end(), event) == events.end()) events.push_back(event);
        };
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (hasRandr_ && event.type >= randrEventBase_ && event.type <= randrEventBase_ + RRNotify) {
                XRRUpdateConfiguration(&event);
                screenHeight_.reset();
                add({DesktopEvent::Kind::screensChanged, 0});
                continue;
            }
            switch (event.type) {
            case PropertyNotify: {
                const auto& property = event.xproperty;
                if (property.window == root_) {
                    if (property.atom == activeAtom_) add({DesktopEvent::Kind::activeWindowChanged, 0});
                    if (property.atom == clientListAtom_ || property.atom == stackingAtom_) {
                        add({DesktopEvent::Kind::clientsChanged, 0});
                    }
                    break;
                }
                if (property.atom == pidAtom_ || property.atom == XA_WM_CLASS || property.atom == typeAtom_ ||
                    property.atom == XA_WM_TRANSIENT_FOR) {
                    identities_.erase(property.window);
                }
                if (property.atom == stateAtom_ || property.atom == extentsAtom_ ||
                    property.atom == opacityAtom_ || property.atom == typeAtom_) {
                    add({DesktopEvent::Kind::windowChanged, property.window});
                }
                break;
            }
            case ConfigureNotify:
                if (event.xconfigure.window == root_) {
                    screenHeight_.reset();
                    add({DesktopEvent::Kind::screensChanged, 0});
                } else {
                    add({DesktopEvent::Kind::windowChanged, event.xconfigure.window});
                }
                break;
            case MapNotify:
                add({DesktopEvent::Kind::windowChanged, event.xmap.window});
                break;
            case UnmapNotify:
                add({DesktopEvent::Kind::windowChanged, event.xunmap.window});
                break;
            case MappingNotify:
                // Keycodes looked up for postKeys() follow the new map.
                XRefreshKeyboardMapping(&event.xmapping);
                break;
            case DestroyNotify:
                identities_.erase(event.xdestroywindow.window);
                watched_.erase(event.xdestroywindow.window);
                break;
            default:
                break;
            }
        }
        for (const auto& event : events) emitEvent(event);
    }

private:
    // The 32-bit items of a property (Xlib hands them over as longs).
    std::vector<unsigned long> longProperty(Window window, Atom property, Atom type) {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(display_, window, property, 0, 4096, False, type, &actualType, &format, &count,
                               &after, &data) != Success) {
            return values;
        }
        if (data && format == 32 && actualType == type) {
            const auto* items = reinterpret_cast<unsigned long*>(data);
            values.assign(items, items + count);
        }
        if (data) XFree(data);
        return values;
    }

    std::optional<std::string> textProperty(Window window, Atom property, Atom type) {
        Atom actualType = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, property, 0, 65536, False, type, &actualType, &format, &count,
                               &after, &data) != Success) {
            return std::nullopt;
        }
        std::optional<std::string> text;
        if (data && format == 8 && actualType != None) text = std::string(reinterpret_cast<char*>(data), count);
        if (data) XFree(data);
        return text;
    }

    // The focus is on the window or on a window inside it.
    bool holdsFocus(Window window) {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        for (int depth = 0; depth < 64 && focus != None && focus != PointerRoot; ++depth) {
            if (focus == window) return true;
            if (focus == root_) return false;
            Window rootReturn = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display_, focus, &rootReturn, &parent, &children, &count)) return false;
            if (children) XFree(children);
            focus = parent;
        }
        return false;
    }

    std::string title(Window window) {
        if (auto name = textProperty(window, nameAtom_, utf8Atom_)) return *name;
        return textProperty(window, XA_WM_NAME, AnyPropertyType).value_or("");
    }

    // Asks for the structure and property changes of each window once, so
    // that moves, resizes, type changes and its end arrive as events (the
    // end drops what is kept of it).
    void watch(const std::vector<unsigned long>& list) {
        bool added = false;
        for (const auto window : list) {
            if (watched_.insert(window).second) {
                XSelectInput(display_, window, StructureNotifyMask | PropertyChangeMask);
                added = true;
            }
        }
        if (added) XFlush(display_);
    }

    double readPrimaryHeight() {
        const double rootHeight = DisplayHeight(display_, DefaultScreen(display_));
        if (!hasRandr_) return rootHeight;
        double height = rootHeight;
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
        if (!resources) return rootHeight;
        const RROutput primary = XRRGetOutputPrimary(display_, root_);
        if (primary != None) {
            if (XRROutputInfo* output = XRRGetOutputInfo(display_, resources, primary)) {
                if (output->crtc != None) {
                    if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, output->crtc)) {
                        if (crtc->height > 0) height = crtc->height;
                        XRRFreeCrtcInfo(crtc);
                    }
                }
                XRRFreeOutputInfo(output);
            }
        }
        XRRFreeScreenResources(resources);
        return height;
    }

    Display* display_ = nullptr;
    Window root_ = 0;
    Atom activeAtom_ = 0, clientListAtom_ = 0, stackingAtom_ = 0, pidAtom_ = 0, nameAtom_ = 0, utf8Atom_ = 0,
         typeAtom_ = 0, typeNormalAtom_ = 0, stateAtom_ = 0, stateHiddenAtom_ = 0, opacityAtom_ = 0,
         extentsAtom_ = 0;
    bool hasRandr_ = false;
    bool hasXTest_ = false;
    int randrEventBase_ = 0;
    std::optional<double> screenHeight_;
    std::unordered_map<WindowId, DesktopWindowIdentity> identities_;
    std::unordered_set<unsigned long> watched_;
};

}  // namespace

std::unique_ptr<DesktopWindows> makeX11DesktopWindows(const std::string& display) {
    return std::make_unique<X11DesktopWindows>(display);
}

}  // namespace qm

#include "platform/desktop/KeyTapX11.h"

#include "platform/desktop/X11Connections.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>

namespace qm {

namespace {

// The grab's modifier combinations: none, Caps Lock, Num Lock, both.
constexpr std::array<unsigned, 4> kLockVariants{0, LockMask, Mod2Mask, LockMask | Mod2Mask};

class KeyTapX11 final : public KeyEventTap {
public:
    explicit KeyTapX11(std::string name) : name_(std::move(name)) {}

    ~KeyTapX11() override { close(); }

    bool start() override {
        if (display_) return true;
        display_ = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
        if (!display_) return false;
        x11::registerConnection(display_);
        if (!connect()) {
            close();
            return false;
        }
        return true;
    }

    bool started() const override { return display_ != nullptr; }

    void grabSpace(WindowId window) override {
        if (!display_ || window == grabWindow_) return;
        if (grabWindow_ != 0) {
            for (const auto mods : kLockVariants) XUngrabKey(display_, spaceCode_, mods, grabWindow_);
        }
        grabWindow_ = window;
        if (grabWindow_ != 0) {
            for (const auto mods : kLockVariants) {
                XGrabKey(display_, spaceCode_, mods, grabWindow_, False, GrabModeAsync, GrabModeSync);
            }
        }
        XFlush(display_);
    }

    WindowId grabWindow() const override { return grabWindow_; }

    int eventFd() const override { return display_ ? ConnectionNumber(display_) : -1; }

    void dispatchEvents() override {
        if (!display_) return;
        while (display_ && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
                if (XGetEventData(display_, &event.xcookie)) {
                    raw(event.xcookie.evtype, *static_cast<XIRawEvent*>(event.xcookie.data));
                    XFreeEventData(display_, &event.xcookie);
                }
                continue;
            }
            if (event.type == xkbEventBase_) {
                const auto& xkb = reinterpret_cast<const XkbEvent&>(event);
                if (xkb.any.xkb_type == XkbStateNotify) mods_ = xkb.state.mods;
                continue;
            }
            switch (event.type) {
            case KeyPress:
                grabbedPress(event.xkey);
                break;
            case KeyRelease:
                grabbedRelease(event.xkey);
                break;
            case MappingNotify:
                XRefreshKeyboardMapping(&event.xmapping);
                remap();
                break;
            default:
                break;
            }
        }
    }

private:
    bool connect() {
        int event = 0, error = 0;
        if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &event, &error)) return false;
        int major = 2, minor = 2;
        if (XIQueryVersion(display_, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2)) {
            return false;
        }
        int xtestMajor = 0, xtestMinor = 0;
        if (!XTestQueryExtension(display_, &event, &error, &xtestMajor, &xtestMinor)) return false;
        int xkbOpcode = 0, xkbError = 0, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
        if (!XkbQueryExtension(display_, &xkbOpcode, &xkbEventBase_, &xkbError, &xkbMajor, &xkbMinor)) return false;
        Bool supported = False;
        XkbSetDetectableAutoRepeat(display_, True, &supported);
        XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbStateNotify, XkbModifierStateMask, XkbModifierStateMask);
        XkbStateRec state{};
        if (XkbGetState(display_, XkbUseCoreKbd, &state) == Success) mods_ = state.mods;
        remap();

        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XISetMask(bits, XI_RawButtonRelease);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XFlush(display_);
        return true;
    }

    void close() {
        if (!display_) return;
        grabSpace(0);
        XCloseDisplay(display_);
        x11::unregisterConnection(display_);
        display_ = nullptr;
    }

    // The keycode of Space and the modifier bits of Alt and Super follow
    // the keyboard map.
    void remap() {
        const auto held = grabWindow_;
        grabSpace(0);
        spaceCode_ = XKeysymToKeycode(display_, XK_space);
        altMask_ = XkbKeysymToModifiers(display_, XK_Alt_L);
        if (altMask_ == 0) altMask_ = Mod1Mask;
        superMask_ = XkbKeysymToModifiers(display_, XK_Super_L);
        if (superMask_ == 0) superMask_ = Mod4Mask;
        grabSpace(held);
    }

    unsigned flags(unsigned state) const {
        unsigned result = 0;
        if (state & ShiftMask) result |= kTapShift;
        if (state & ControlMask) result |= kTapControl;
        if (state & altMask_) result |= kTapAlt;
        if (state & superMask_) result |= kTapSuper;
        return result;
    }

    // The grab takes a Space press when no modifier but the locks is down
    // (what the server checks when it activates a passive grab).
    bool grabTakes() const { return grabWindow_ != 0 && (mods_ & ~(LockMask | Mod2Mask)) == 0; }

    void raw(int type, const XIRawEvent& event) {
        const auto code = static_cast<unsigned>(event.detail);
        switch (type) {
        case XI_RawKeyPress: {
            const bool space = code == spaceCode_;
            if (space && (grabTakes() || activeGrab_)) return;  // the grabbed press follows
            deliver({TapEvent::Type::keyDown, code, space, flags(mods_), false, false});
            break;
        }
        case XI_RawKeyRelease: {
            const bool space = code == spaceCode_;
            if (space) {
                spaceOffered_ = false;  // a replayed press's release goes straight to its window
                if (grabWindow_ != 0 || activeGrab_) return;
            }
            deliver({TapEvent::Type::keyUp, code, space, flags(mods_), false, false});
            break;
        }
        case XI_RawButtonRelease:
            if (event.detail == Button1) deliver({TapEvent::Type::leftMouseUp, 0, false, flags(mods_), false, false});
            break;
        default:
            break;
        }
    }

    void grabbedPress(const XKeyEvent& key) {
        if (key.keycode != spaceCode_) return;  // keys typed while a kept Space is held: watched as raw
        const bool repeat = spaceOffered_;
        spaceOffered_ = true;
        const bool pass = deliver({TapEvent::Type::keyDown, key.keycode, true, flags(key.state), repeat, true});
        if (!display_) return;
        if (pass && !activeGrab_) {
            // Delivered again as if the grab were not there; its release
            // follows it to the window.
            XAllowEvents(display_, ReplayKeyboard, key.time);
        } else {
            // Kept: the grab stays active until the release, which comes here.
            activeGrab_ = true;
            XAllowEvents(display_, AsyncKeyboard, key.time);
        }
        XFlush(display_);
    }

    void grabbedRelease(const XKeyEvent& key) {
        if (key.keycode != spaceCode_) return;
        spaceOffered_ = false;
        activeGrab_ = false;
        deliver({TapEvent::Type::keyUp, key.keycode, true, flags(key.state), false, true});
    }

    std::string name_;
    Display* display_ = nullptr;
    int xiOpcode_ = 0;
    int xkbEventBase_ = -1;
    unsigned spaceCode_ = 0;
    unsigned altMask_ = Mod1Mask;
    unsigned superMask_ = Mod4Mask;
    unsigned mods_ = 0;            // XKB's effective modifiers
    WindowId grabWindow_ = 0;
    bool spaceOffered_ = false;    // a press of the Space now held was offered
    bool activeGrab_ = false;      // a kept press holds the keyboard until its release
};

}  // namespace

std::unique_ptr<KeyEventTap> makeKeyTapX11(const std::string& display) {
    return std::make_unique<KeyTapX11>(display);
}

}  // namespace qm

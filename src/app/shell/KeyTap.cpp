#include "app/shell/KeyTap.h"

#include "app/shell/FinderTracker.h"

#include <QSocketNotifier>

namespace qm {

KeyTap::KeyTap(DesktopWindows& windows, KeyEventTap& tap, QObject* parent)
    : QObject(parent), windows_(windows), tap_(tap) {}

KeyTap::~KeyTap() {
    if (handler_ != 0) windows_.removeHandler(handler_);
    tap_.setHandler({});
    tap_.grabSpace(0);
}

bool KeyTap::start() {
    if (started_) return true;
    if (!tap_.start()) return false;
    started_ = true;
    tap_.setHandler([this](const TapEvent& event) { return handle(event); });
    handler_ = windows_.addHandler([this](const DesktopEvent& event) {
        if (event.kind == DesktopEvent::Kind::activeWindowChanged) frontChanged();
    });
    if (tap_.eventFd() >= 0) {
        notifier_ = new QSocketNotifier(tap_.eventFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { tap_.dispatchEvents(); });
    }
    frontChanged();
    // Events read while starting are already queued in Xlib.
    tap_.dispatchEvents();
    return true;
}

WindowId KeyTap::finderWindow() {
    const WindowId active = windows_.activeWindow();
    if (active == 0) return 0;
    const auto identity = windows_.identity(active);
    return identity && FinderTracker::isFinder(*identity) ? active : 0;
}

void KeyTap::frontChanged() {
    const WindowId finder = finderWindow();
    // The release of a press dropped in the file manager may come after it
    // left the front: it must not be taken for a later press's release.
    if (finder == 0) swallowSpaceUp_ = false;
    tap_.grabSpace(finder);
}

bool KeyTap::handle(const TapEvent& event) {
    if (finderWindow() == 0) {
        swallowSpaceUp_ = false;
        return true;
    }
    switch (event.type) {
    case TapEvent::Type::leftMouseUp:
        if (finderInput) finderInput();
        return true;
    case TapEvent::Type::keyUp:
        if (event.space && swallowSpaceUp_) {
            swallowSpaceUp_ = false;
            return false;
        }
        return true;
    case TapEvent::Type::keyDown:
        // Only a press the grab holds can be kept from the file manager: a
        // Space that reached it already (before the grab was in place) is
        // input like any other key, never played as well.
        if (event.space && event.grabbed && event.modifiers == 0 && spaceHandler &&
            spaceHandler(event.autoRepeat)) {
            swallowSpaceUp_ = true;
            return false;
        }
        if (finderInput) finderInput();
        return true;
    }
    return true;
}

}  // namespace qm

// Lets Space audition the file selected in the file manager instead of
// reaching the file manager, and tells the owner whenever the user types or
// clicks there, so that the selection is read again at once.
//
// The decisions are made here from the tap's events (KeyEventTap, over X11
// in the application); the tap only reports and drops. While the file
// manager is the frontmost application (its window is the active one):
// - a left-button release calls finderInput;
// - a Space press held by the tap's grab with none of Shift, Control, Alt,
//   Super goes to spaceHandler with its repeat flag; when the handler takes
//   it, the press and the Space release after it are dropped;
// - any other press calls finderInput and goes on.
// For every other application everything goes on and nothing is called.
//
// The tap holds its Space grab on the file manager's active window only:
// the active window is re-read on each of the desktop's activation changes
// (the owner of `windows` dispatches its events: the file-manager tracker
// does). Leaving the file manager forgets a pending release to drop.
//
// Threads: the main thread; both callbacks are called there and the
// keyboard waits while spaceHandler runs, so it must return quickly.
#pragma once

#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/KeyTapX11.h"

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace qm {

class KeyTap : public QObject {
    Q_OBJECT
public:
    KeyTap(DesktopWindows& windows, KeyEventTap& tap, QObject* parent = nullptr);
    ~KeyTap() override;

    // (is an auto-repeat) -> the press was taken over.
    std::function<bool(bool)> spaceHandler;
    std::function<void()> finderInput;

    // Starts the tap; true at once when it runs. False when the tap cannot
    // run (no display, or one without XInput 2.2 or XTEST); may be called
    // again later.
    bool start();
    bool swallowSpaceUp() const { return swallowSpaceUp_; }

    // One event of the tap: whether it goes on.
    bool handle(const TapEvent& event);

private:
    // The active window, when it belongs to the file manager.
    WindowId finderWindow();
    void frontChanged();

    DesktopWindows& windows_;
    KeyEventTap& tap_;
    bool started_ = false;
    bool swallowSpaceUp_ = false;
    int handler_ = 0;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qm

// Stand-ins for the desktop services in unit tests: a window list the test
// arranges by hand, and a file manager whose answers the test sets.
#pragma once

#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/FileManagerAccessibility.h"
#include "platform/desktop/KeyTapX11.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace qm::test {

class FakeDesktopWindows final : public DesktopWindows {
public:
    // Front to back.
    std::vector<DesktopWindowInfo> windows;
    WindowId active = 0;
    double screenHeight = 1080;
    int infoReads = 0;
    // Keys: whether they can be typed, windows that never get the focus,
    // the activations asked for and the keys typed, in order.
    bool keysAvailable = true;
    std::set<WindowId> refusesFocus;
    std::vector<WindowId> activations;
    std::vector<SyntheticKey> typed;
    int dispatches = 0;
    // States asked for, per window, in order.
    std::map<WindowId, std::vector<std::string>> states;
    std::set<WindowId> onAllDesktops;

    // Puts a window in front of the others.
    DesktopWindowInfo& add(WindowId id, int pid, const std::string& windowClass, DesktopRect frame);
    DesktopWindowInfo* find(WindowId id);
    // Makes `id` the active window and tells the handlers.
    void activate(WindowId id);
    void send(const DesktopEvent& event) { emitEvent(event); }

    bool available() const override { return true; }
    WindowId activeWindow() override { return active; }
    std::vector<WindowId> clients() override;
    std::vector<WindowId> clientsFrontToBack() override;
    std::optional<DesktopWindowIdentity> identity(WindowId window) override;
    std::optional<DesktopWindowInfo> info(WindowId window) override;
    double primaryScreenHeight() override { return screenHeight; }
    bool canPostKeys() const override { return keysAvailable; }
    bool activate(WindowId window, std::chrono::milliseconds maxWait) override;
    size_t postKeys(const std::vector<SyntheticKey>& keys) override;
    void addWindowStates(WindowId window, const std::vector<std::string>& added) override {
        auto& list = states[window];
        list.insert(list.end(), added.begin(), added.end());
    }
    void showOnAllDesktops(WindowId window) override { onAllDesktops.insert(window); }
    int eventFd() const override { return -1; }
    void dispatchEvents() override { ++dispatches; }
};

class FakeFileManagerAccessibility final : public FileManagerAccessibility {
public:
    // What selection() answers; its paths are cut to the limit asked for.
    Selection answer{Outcome::ok, {}};
    TextFocus focus{Outcome::ok, false};
    int selectionCalls = 0;
    int textFocusCalls = 0;
    size_t lastLimit = 0;
    std::string lastTitle;
    bool observeSucceeds = true;
    int observeCalls = 0;
    int observedPid = 0;

    // An event of the observed process, as libatspi would deliver it.
    void fire(const std::string& event);

    Selection selection(int pid, const std::string& windowTitle, size_t limit) override;
    TextFocus textFocus(int pid) override;
    bool observe(int pid, EventHandler handler) override;
    void stopObserving() override;

private:
    EventHandler handler_;
};

// A key tap whose events the test sends by hand.
class FakeKeyEventTap final : public KeyEventTap {
public:
    bool available = true;
    int starts = 0;
    WindowId grabbed = 0;
    std::vector<WindowId> grabs;

    bool start() override {
        ++starts;
        started_ = available;
        return available;
    }
    bool started() const override { return started_; }
    void grabSpace(WindowId window) override {
        if (window == grabbed) return;
        grabbed = window;
        grabs.push_back(window);
    }
    WindowId grabWindow() const override { return grabbed; }
    int eventFd() const override { return -1; }
    void dispatchEvents() override {}
    bool send(const TapEvent& event) { return deliver(event); }

private:
    bool started_ = false;
};

}  // namespace qm::test

#include "FakeDesktop.h"

#include <algorithm>

namespace qm::test {

DesktopWindowInfo& FakeDesktopWindows::add(WindowId id, int pid, const std::string& windowClass, DesktopRect frame) {
    DesktopWindowInfo info;
    info.id = id;
    info.identity = DesktopWindowIdentity{pid, windowClass, windowClass, true};
    info.title = windowClass + " window";
    info.onScreen = true;
    info.frame = frame;
    windows.insert(windows.begin(), info);
    return windows.front();
}

DesktopWindowInfo* FakeDesktopWindows::find(WindowId id) {
    auto it = std::find_if(windows.begin(), windows.end(), [&](const auto& w) { return w.id == id; });
    return it == windows.end() ? nullptr : &*it;
}

void FakeDesktopWindows::activate(WindowId id) {
    active = id;
    emitEvent({DesktopEvent::Kind::activeWindowChanged, 0});
}

std::vector<WindowId> FakeDesktopWindows::clients() {
    std::vector<WindowId> ids;
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) ids.push_back(it->id);
    return ids;
}

std::vector<WindowId> FakeDesktopWindows::clientsFrontToBack() {
    std::vector<WindowId> ids;
    for (const auto& w : windows) ids.push_back(w.id);
    return ids;
}

std::optional<DesktopWindowIdentity> FakeDesktopWindows::identity(WindowId window) {
    if (auto* w = find(window)) return w->identity;
    return std::nullopt;
}

std::optional<DesktopWindowInfo> FakeDesktopWindows::info(WindowId window) {
    ++infoReads;
    if (auto* w = find(window)) return *w;
    return std::nullopt;
}

bool FakeDesktopWindows::activate(WindowId window, std::chrono::milliseconds) {
    activations.push_back(window);
    if (refusesFocus.contains(window) || !find(window)) return false;
    active = window;
    return true;
}

size_t FakeDesktopWindows::postKeys(const std::vector<SyntheticKey>& keys) {
    typed.insert(typed.end(), keys.begin(), keys.end());
    return keys.size();
}

void FakeFileManagerAccessibility::fire(const std::string& event) {
    if (handler_) handler_(event);
}

FileManagerAccessibility::Selection FakeFileManagerAccessibility::selection(int, const std::string& windowTitle,
                                                                            size_t limit) {
    ++selectionCalls;
    lastLimit = limit;
    lastTitle = windowTitle;
    Selection out = answer;
    if (out.paths.size() > limit) out.paths.resize(limit);
    return out;
}

FileManagerAccessibility::TextFocus FakeFileManagerAccessibility::textFocus(int) {
    ++textFocusCalls;
    return focus;
}

bool FakeFileManagerAccessibility::observe(int pid, EventHandler handler) {
    ++observeCalls;
    if (!observeSucceeds) return false;
    observedPid = pid;
    handler_ = std::move(handler);
    return true;
}

void FakeFileManagerAccessibility::stopObserving() {
    observedPid = 0;
    handler_ = nullptr;
}

}  // namespace qm::test

#include "app/shell/FinderTracker.h"

#include "audio/AudioFileInfo.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QThread>

#include <cmath>

namespace qm {

namespace {
using Outcome = FileManagerAccessibility::Outcome;
}

FinderTracker::FinderTracker(DesktopWindows& windows, FileManagerAccessibility& accessibility, MainQueue& queue,
                             std::function<bool()> trusted, QObject* parent)
    : QObject(parent), windows_(windows), accessibility_(accessibility), queue_(queue), trusted_(std::move(trusted)) {}

FinderTracker::~FinderTracker() {
    cancel(frameTimer_);
    cancel(selectionTimer_);
    cancel(pending_);
    cancel(pauseEnd_);
    if (observing_) accessibility_.stopObserving();
    if (desktopHandler_) windows_.removeHandler(desktopHandler_);
}

void FinderTracker::cancel(std::optional<MainQueue::Token>& token) {
    if (token) queue_.cancel(*token);
    token.reset();
}

bool FinderTracker::isFinder(const DesktopWindowIdentity& identity) { return fileManagers::of(identity).has_value(); }

bool FinderTracker::eventLoopRunsGlib() {
    const auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

void FinderTracker::start() {
    if (started_) return;
    started_ = true;
    glib_ = eventLoopRunsGlib();
    // Without GLib's loop the observer's events would never arrive: the
    // polls still follow the file manager.
    Q_ASSERT_X(glib_, "FinderTracker::start", "the event loop must be GLib's for libatspi's events");
    desktopHandler_ = windows_.addHandler([this](const DesktopEvent& event) { desktopEvent(event); });
    if (windows_.eventFd() >= 0) {
        notifier_ = new QSocketNotifier(windows_.eventFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { windows_.dispatchEvents(); });
    }
    activeWindowChanged();
}

void FinderTracker::desktopEvent(const DesktopEvent& event) {
    switch (event.kind) {
    case DesktopEvent::Kind::activeWindowChanged:
        activeWindowChanged();
        break;
    case DesktopEvent::Kind::clientsChanged:
    case DesktopEvent::Kind::windowChanged:
    case DesktopEvent::Kind::screensChanged:
        refreshFrame(false);
        break;
    }
}

void FinderTracker::activeWindowChanged() {
    const WindowId active = windows_.activeWindow();
    std::optional<App> app;
    if (active != 0) {
        if (const auto identity = windows_.identity(active)) app = App{identity->pid, fileManagers::of(*identity)};
    }
    // The manager may write the same window again. A window id alone does
    // not say that: the server gives a closed program's ids to the next one.
    const ActiveWindow now{active, app ? app->pid : 0};
    if (lastActive_ && *lastActive_ == now) return;
    lastActive_ = now;
    activated(app);
}

void FinderTracker::activated(const std::optional<App>& app) {
    if (app && app->kind) {
        if (finderActive_ && app->pid == activePid_) {
            // Another window of the same file manager came forward.
            refreshFrame(false);
            requestSelection(kDebounceSeconds);
            return;
        }
        finderActive_ = true;
        activePid_ = app->pid;
        activeKind_ = app->kind;
        attachAX(app->pid);
        startTimers();
        lastFrame_ = frontWindowFrame();
        if (onState) onState(true, lastFrame_);
        requestSelection(0.0);
        return;
    }
    finderActive_ = false;
    stopTimers();
    if (onState) onState(false, lastFrame_);
}

void FinderTracker::refreshAX() {
    axPID_ = 0;
    if (finderActive_) attachAX(activePid_);
}

void FinderTracker::attachAX(int pid) {
    if (!trusted_ || !trusted_() || pid == axPID_) return;
    if (observing_) {
        accessibility_.stopObserving();
        observing_ = false;
    }
    // Stored before the attempt: a failed one is not retried for the same
    // process until refreshAX().
    axPID_ = pid;
    if (!glib_ || pid <= 0) return;
    QPointer<FinderTracker> self(this);
    observing_ = accessibility_.observe(pid, [self](const std::string& name) {
        // The observer may call in while a query waits for its answer:
        // handled on the next turn of the loop, never inside the query.
        if (!self) return;
        self->queue_.after(0.0, [self, name] {
            if (self) self->axEvent(name);
        });
    });
}

void FinderTracker::axEvent(const std::string& name) {
    if (name == "window:activate") refreshFrame(false);
    requestSelection(kDebounceSeconds);
}

void FinderTracker::requestSelection(double delay) {
    cancel(pending_);
    QPointer<FinderTracker> self(this);
    pending_ = queue_.after(delay, [self] {
        if (!self) return;
        self->pending_.reset();
        self->querySelection();
    });
}

void FinderTracker::startTimers() {
    if (timersRunning_) return;
    timersRunning_ = true;
    scheduleFramePoll();
    scheduleSelectionPoll();
}

void FinderTracker::stopTimers() {
    timersRunning_ = false;
    cancel(frameTimer_);
    cancel(selectionTimer_);
}

void FinderTracker::scheduleFramePoll() {
    QPointer<FinderTracker> self(this);
    frameTimer_ = queue_.after(kFramePollSeconds, [self] {
        if (!self) return;
        self->frameTimer_.reset();
        self->refreshFrame(false);
        // Events Xlib queued while it waited for our replies leave nothing
        // on the socket for the notifier to see.
        if (self) self->windows_.dispatchEvents();
        if (self && self->timersRunning_ && !self->frameTimer_) self->scheduleFramePoll();
    });
}

void FinderTracker::scheduleSelectionPoll() {
    QPointer<FinderTracker> self(this);
    selectionTimer_ = queue_.after(kSelectionPollSeconds, [self] {
        if (!self) return;
        self->selectionTimer_.reset();
        self->querySelection();
        if (self && self->timersRunning_ && !self->selectionTimer_) self->scheduleSelectionPoll();
    });
}

void FinderTracker::refreshFrame(bool force) {
    if (!finderActive_) return;
    const auto frame = frontWindowFrame();
    if (!force && frame == lastFrame_) return;
    lastFrame_ = frame;
    if (onState) onState(true, frame);
}

int FinderTracker::finderPid() {
    if (finderActive_) return activePid_;
    for (const WindowId window : windows_.clients()) {
        const auto identity = windows_.identity(window);
        if (identity && isFinder(*identity) && identity->pid > 0) return identity->pid;
    }
    return 0;
}

std::optional<DesktopRect> FinderTracker::frontWindowFrame() {
    const int pid = finderPid();
    if (pid <= 0) return std::nullopt;
    std::vector<ListedWindow> listed;
    std::vector<std::string> titles;
    for (const WindowId window : windows_.clientsFrontToBack()) {
        // Only the file manager's windows are read in full.
        const auto identity = windows_.identity(window);
        if (!identity || identity->pid != pid) continue;
        const auto info = windows_.info(window);
        if (!info || !info->onScreen) continue;  // the list holds on-screen windows only
        listed.push_back({info->identity.pid, info->identity.normal ? 0 : 1, info->frame, info->opacity});
        titles.push_back(info->title);
    }
    const auto index = frontWindowIndex(listed, pid);
    if (!index) return std::nullopt;
    frontTitle_ = titles[*index];
    return frontWindowFrame({listed[*index]}, pid, windows_.primaryScreenHeight());
}

std::optional<size_t> FinderTracker::frontWindowIndex(const std::vector<ListedWindow>& frontToBack, int finderPid) {
    for (size_t i = 0; i < frontToBack.size(); ++i) {
        const auto& window = frontToBack[i];
        if (window.pid != finderPid || window.layer != 0) continue;
        if (!(window.bounds.width >= 300 && window.bounds.height >= 150)) continue;
        if (window.alpha && !std::isnan(*window.alpha) && !(*window.alpha > 0.1)) continue;
        return i;
    }
    return std::nullopt;
}

std::optional<DesktopRect> FinderTracker::frontWindowFrame(const std::vector<ListedWindow>& frontToBack,
                                                           int finderPid, double screenHeight) {
    const auto index = frontWindowIndex(frontToBack, finderPid);
    if (!index) return std::nullopt;
    const DesktopRect& b = frontToBack[*index].bounds;
    return DesktopRect{b.x, screenHeight - (b.y + b.height), b.width, b.height};
}

std::optional<std::filesystem::path> FinderTracker::firstAudio(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        if (AudioFileInfo::isAudioFile(path)) return std::filesystem::path(path);
    }
    return std::nullopt;
}

void FinderTracker::pauseQueries(int pid) {
    pausedPid_ = pid;
    cancel(pauseEnd_);
    QPointer<FinderTracker> self(this);
    pauseEnd_ = queue_.after(kHangPauseSeconds, [self] {
        if (!self) return;
        self->pauseEnd_.reset();
        self->pausedPid_ = 0;
    });
}

void FinderTracker::querySelection() {
    if (!finderActive_) return;
    const int pid = activePid_;
    if (paused(pid)) return;
    const auto result = accessibility_.selection(pid, frontTitle_, kSelectionLimit);
    if (result.outcome != Outcome::ok) {
        if (result.outcome == Outcome::timedOut) pauseQueries(pid);
        // Only a process missing from the bus is refused; any other failure
        // clears the flag and leaves the selection as it was.
        const auto refuser = result.outcome == Outcome::denied ? activeKind_ : std::nullopt;
        if (refuser != deniedFileManager_) {
            deniedFileManager_ = refuser;
            if (onAutomationDenied) onAutomationDenied(refuser.has_value());
        }
        return;
    }
    if (deniedFileManager_) {
        deniedFileManager_.reset();
        if (onAutomationDenied) onAutomationDenied(false);
    }
    if (result.paths == lastPaths_) return;
    lastPaths_ = result.paths;
    currentAudio_ = firstAudio(lastPaths_);
    if (onSelection) onSelection(currentAudio_);
}

bool FinderTracker::isEditingText() {
    if (!trusted_ || !trusted_()) return false;
    const int pid = finderPid();
    if (pid <= 0 || paused(pid)) return false;
    const auto focus = accessibility_.textFocus(pid);
    if (focus.outcome == Outcome::timedOut) pauseQueries(pid);
    return focus.outcome == Outcome::ok && focus.editing;
}

}  // namespace qm

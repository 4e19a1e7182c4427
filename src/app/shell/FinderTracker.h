// Follows the file manager while it is the frontmost application: the frame
// of its front document window (the floating panel sits under it) and the
// first audio file of its selection (the player auditions it).
//
// "The file manager" is any client whose WM_CLASS names one of
// fileManagers::all(). Activation comes from the desktop's active-window
// changes; frames from a 0.1 s poll and the window manager's configure
// events; the selection from the accessibility observer's events (debounced
// by 0.03 s) and a 0.6 s poll. The observer is attached only while the
// process is trusted (the function given at construction).
//
// A hung file manager never freezes the caller: each call to it is bounded
// (FileManagerAccessibility::kCallBoundMs), a query ends at its first
// time-out, and queries to that process pause for 2 s after one.
//
// Frames are in bottom-left screen coordinates: y = H - (top + height), H
// the primary screen's height (DesktopWindows::primaryScreenHeight()).
//
// Threads: the main thread; callbacks are called there. Everything later is
// scheduled on the MainQueue given (EventLoopQueue in the application), and
// holds the tracker weakly.
#pragma once

#include "app/shell/FileManagers.h"
#include "platform/MainQueue.h"
#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/FileManagerAccessibility.h"

#include <QObject>
#include <QPointer>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace qm {

class FinderTracker : public QObject {
    Q_OBJECT
public:
    static constexpr double kFramePollSeconds = 0.1;
    static constexpr double kSelectionPollSeconds = 0.6;
    static constexpr double kDebounceSeconds = 0.03;
    static constexpr double kHangPauseSeconds = 2.0;
    static constexpr size_t kSelectionLimit = 40;

    // One entry of the window list as the frame choice reads it: top-left
    // bounds; layer 0 for document windows.
    struct ListedWindow {
        int pid = 0;
        int layer = 0;
        DesktopRect bounds;
        std::optional<double> alpha;
    };

    FinderTracker(DesktopWindows& windows, FileManagerAccessibility& accessibility, MainQueue& queue,
                  std::function<bool()> trusted, QObject* parent = nullptr);
    ~FinderTracker() override;

    // The first audio file of a changed selection, or none.
    std::function<void(const std::optional<std::filesystem::path>&)> onSelection;
    // (the file manager is frontmost, its front window's frame).
    std::function<void(bool active, const std::optional<DesktopRect>& frame)> onState;
    // The selection could not be read because the process is not on the
    // accessibility bus (changes of the flag, or of the file manager that
    // refused, only).
    std::function<void(bool denied)> onAutomationDenied;

    bool finderActive() const { return finderActive_; }
    const std::optional<std::filesystem::path>& currentAudio() const { return currentAudio_; }
    bool automationDenied() const { return deniedFileManager_.has_value(); }
    // The file manager whose selection was refused; none while nothing is.
    const std::optional<fileManagers::Kind>& deniedFileManager() const { return deniedFileManager_; }

    // Starts following the desktop; once.
    void start();
    // Attaches the observer again (trust was granted after start()).
    void refreshAX();
    // One selection query `delay` seconds from now, replacing a pending one.
    void requestSelection(double delay);
    // Reports the front window's frame when it changed (or always, forced).
    void refreshFrame(bool force);
    // The file manager's front document window, bottom-left coordinates.
    std::optional<DesktopRect> frontWindowFrame();
    // A text field of the file manager has the keyboard focus.
    bool isEditingText();

    static bool isFinder(const DesktopWindowIdentity& identity);
    // The first window, front to back, of `finderPid` on layer 0 at least
    // 300 x 150 with an alpha absent, not a number or above 0.1; converted.
    static std::optional<DesktopRect> frontWindowFrame(const std::vector<ListedWindow>& frontToBack, int finderPid,
                                                       double screenHeight);
    // The first path, in order, with an audio extension (any letter case).
    static std::optional<std::filesystem::path> firstAudio(const std::vector<std::string>& paths);
    // libatspi's events arrive only through GLib's main context.
    static bool eventLoopRunsGlib();

private:
    struct App {
        int pid = 0;
        std::optional<fileManagers::Kind> kind;  // none: not a file manager
    };
    struct ActiveWindow {
        WindowId window = 0;
        int pid = 0;
        bool operator==(const ActiveWindow&) const = default;
    };

    static std::optional<size_t> frontWindowIndex(const std::vector<ListedWindow>& frontToBack, int finderPid);
    void desktopEvent(const DesktopEvent& event);
    void activeWindowChanged();
    void activated(const std::optional<App>& app);
    void attachAX(int pid);
    void startTimers();
    void stopTimers();
    void scheduleFramePoll();
    void scheduleSelectionPoll();
    void querySelection();
    void axEvent(const std::string& name);
    int finderPid();
    void pauseQueries(int pid);
    bool paused(int pid) const { return pid != 0 && pid == pausedPid_; }
    void cancel(std::optional<MainQueue::Token>& token);

    DesktopWindows& windows_;
    FileManagerAccessibility& accessibility_;
    MainQueue& queue_;
    std::function<bool()> trusted_;

    bool finderActive_ = false;
    std::optional<std::filesystem::path> currentAudio_;
    std::optional<fileManagers::Kind> deniedFileManager_;
    bool timersRunning_ = false;
    std::optional<MainQueue::Token> frameTimer_;
    std::optional<MainQueue::Token> selectionTimer_;
    std::vector<std::string> lastPaths_;
    std::optional<DesktopRect> lastFrame_;
    std::optional<MainQueue::Token> pending_;
    bool observing_ = false;
    int axPID_ = 0;
    int activePid_ = 0;                 // the frontmost file manager's process
    std::optional<fileManagers::Kind> activeKind_;  // and which one it is
    std::optional<ActiveWindow> lastActive_;  // the active window last handled
    std::string frontTitle_;            // title of the window lastFrame_ came from
    int pausedPid_ = 0;
    std::optional<MainQueue::Token> pauseEnd_;
    int desktopHandler_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    bool started_ = false;
    bool glib_ = false;
};

}  // namespace qm

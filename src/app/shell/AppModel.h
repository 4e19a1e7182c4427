// The composition root: the one object that makes and owns every model and
// engine for the life of the process and wires them into one system.
//
// - The audition player and the editor share one playback engine; at most
//   one of them plays (each one's start hook stops the other).
// - The file manager's selection loads into the player; Space, while the
//   file manager is in front, plays or stops it (the Space rule below).
// - Changes of the output profiles reach the player; the floating-panel
//   setting reaches the panel.
// - The control port is started with the command router as its handler.
// - Accessibility is watched: the key tap starts once it is on.
//
// The platform pieces come in one bundle (`AppPlatform`): the desktop's own
// in the application (`AppPlatform::desktop()`), fakes or real ones in
// tests. What only the views can make (the floating panel, the folder
// dialog, raising a window) is added to the bundle by the views layer, so
// the models never include a view.
//
// Every callback handed to another object holds the root weakly (a
// QPointer) and does nothing once it is gone; the control handler then
// answers {}.
//
// Main thread only: construction, start() and every callback.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/shell/AppActions.h"
#include "app/shell/ControlServer.h"
#include "app/shell/LinkLoader.h"

namespace qm {

class Accessibility;
class AppModel;
class CommandRouter;
class DesktopWindows;
class EditorModel;
class EventLoopQueue;
class FileManagerAccessibility;
class FileReveal;
class FinderTracker;
class FloatingPanel;
class FolderChooser;
class KeyEventTap;
class KeyTap;
class LibraryModel;
class MonitorEngine;
class PlaybackEngine;
class PlayerModel;
class SettingsStore;
class UserDefaults;
class Workstations;

// The platform pieces the root is built on; it owns them from then on.
struct AppPlatform {
    // Makes the floating panel for the root (called once, in start()).
    using PanelFactory = std::function<std::unique_ptr<FloatingPanel>(AppModel&)>;

    std::shared_ptr<UserDefaults> defaults;
    // The user's data folder, absolute; none when the system has none.
    std::optional<std::filesystem::path> dataFolder;
    std::unique_ptr<DesktopWindows> windows;
    std::unique_ptr<FileManagerAccessibility> fileManager;
    std::unique_ptr<KeyEventTap> tap;
    // The workstations the "daw" command types into; absent: those of
    // `windows`.
    std::unique_ptr<Workstations> workstations;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<FileReveal> workspace;
    // Absent: "Add to Library" does nothing.
    std::unique_ptr<FolderChooser> folders;
    // Absent: no floating panel.
    PanelFactory panel;
    // The clipboard's text; the views add it. Absent: nothing is copied.
    std::function<QString()> clipboard;
    // Gives the monitor its insert windows (the plug-in's own, or a panel of
    // its controls); the views add it. Absent: an insert's "Open" shows
    // nothing.
    std::function<void(MonitorEngine&)> insertWindows;
    quint16 controlPort = ControlServer::port;
    // The session runs on Wayland: the file manager cannot be followed.
    bool waylandSession = false;

    AppPlatform();
    AppPlatform(AppPlatform&&) noexcept;
    AppPlatform& operator=(AppPlatform&&) noexcept;
    ~AppPlatform();

    // The desktop's pieces: the standard user defaults, the XDG data folder,
    // the X display, the accessibility bus, the session bus. No panel and
    // no folder chooser: the views add them.
    static AppPlatform desktop();
    // The XDG data folder (QStandardPaths' GenericDataLocation); none when
    // it is empty or not absolute (no HOME).
    static std::optional<std::filesystem::path> standardDataFolder();
};

class AppModel : public QObject, public AppActions {
    Q_OBJECT
    Q_PROPERTY(bool axTrusted READ axTrusted NOTIFY axTrustedChanged)
    Q_PROPERTY(bool automationDenied READ automationDenied NOTIFY automationDeniedChanged)

public:
    static constexpr int kTrustPollMs = 2000;
    static constexpr double kFinderInputDelay = 0.05;
    static constexpr const char* kAddToLibrary = "Add to Library";

    // Builds every model in order (see the .cpp); nothing starts yet.
    explicit AppModel(AppPlatform platform, QObject* parent = nullptr);
    ~AppModel() override;

    // The application's one root, made on the first call over the desktop's
    // pieces; `complete` (taken on that first call only) adds what the
    // views make. Needs the application object to exist.
    static AppModel& shared(const std::function<void(AppPlatform&)>& complete = {});

    // Where the catalog lives under a data folder; empty without one (the
    // library model then has no catalog and says why it could not open one).
    static std::filesystem::path catalogLocation(const std::optional<std::filesystem::path>& dataFolder);

    SettingsStore& settings() { return *settings_; }
    PlaybackEngine& engine() { return *engine_; }
    PlayerModel& player() { return *player_; }
    EditorModel& editor() { return *editor_; }
    LibraryModel& library() { return *library_; }
    MonitorEngine& monitor() { return *monitor_; }
    FinderTracker& finder() { return *finder_; }
    KeyTap& keyTap() { return *keyTap_; }
    ControlServer& control() { return *control_; }
    FileReveal& workspace() { return *platform_.workspace; }
    // The window server, for the panel the views make (its window states).
    DesktopWindows& windows() { return *platform_.windows; }
    // None until start() made it (or without a panel factory).
    FloatingPanel* hud() { return hud_.get(); }
    bool trustPollRunning() const { return trustTimer_ && trustTimer_->isActive(); }

    // Following the file manager cannot work in this session (Wayland).
    bool waylandSession() const override { return platform_.waylandSession; }

    bool axTrusted() const { return axTrusted_; }
    bool automationDenied() const override { return deniedFileManager_.has_value(); }
    std::optional<fileManagers::Kind> deniedFileManager() const override { return deniedFileManager_; }

    // Opens a window by its id ("main", "editor", "monitor"); installed by
    // the window that can. While it is empty a call does nothing.
    std::function<void(const QString&)> openWindowAction;
    void openWindow(const QString& id);

    // The start-up wiring; once, after the application has started.
    void start();

    // The Space rule: whether a plain Space pressed while the file manager
    // is in front is taken (`repeat`: an auto-repeat of a held key).
    bool space(bool repeat);

    // The editor with `url` (when given) in its window, brought forward.
    void openEditor(const std::optional<std::filesystem::path>& url);
    void openEditor(const std::filesystem::path& url) override { openEditor(std::optional(url)); }
    // Asks for folders and adds each as a library root; the browser then
    // shows the first one.
    void addLibraryFolder();
    // The two actions of the permission banner: both switch the session's
    // accessibility on (the selection is read over that bus).
    void requestAccessibility();
    void openAutomationSettings();

    // Temp edits for each audio file among `urls`, in the background: each
    // file's edits and notes into its own folder, the progress and the
    // outcome in the player's message, the folders shown at the end.
    void makeTempEdits(const std::vector<std::filesystem::path>& urls) override;
    // Fetches the audio of the link on the clipboard as WAV into the pulls
    // folder's "Links", then plays it and shows that folder in the library;
    // one download at a time.
    void openCopiedLink();
    // When a download counts as hung (tests shorten it).
    void setDownloadOptions(const LinkLoader::DownloadOptions& options) { downloadOptions_ = options; }

    // One command of the control port: its reply (the table is
    // CommandRouter's).
    nlohmann::json handle(const std::string& command, const ControlServer::Parameters& parameters);

signals:
    void axTrustedChanged();
    void automationDeniedChanged();

private:
    void watchAccessibility();
    void trustTick();
    void setAxTrusted(bool on);
    void setAutomationDenied(std::optional<fileManagers::Kind> refuser);

    // Declared first: everything below uses them, and they go last.
    AppPlatform platform_;
    std::unique_ptr<EventLoopQueue> queue_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<PlaybackEngine> engine_;
    std::unique_ptr<FinderTracker> finder_;
    std::unique_ptr<KeyTap> keyTap_;
    bool axTrusted_ = false;
    std::optional<fileManagers::Kind> deniedFileManager_;
    std::unique_ptr<QTimer> trustTimer_;
    bool trustCheckPending_ = false;
    std::unique_ptr<ControlServer> control_;
    std::unique_ptr<PlayerModel> player_;
    std::unique_ptr<EditorModel> editor_;
    std::unique_ptr<LibraryModel> library_;
    std::unique_ptr<MonitorEngine> monitor_;
    std::unique_ptr<CommandRouter> router_;
    // Made in start(); goes first, since it shows the models.
    std::unique_ptr<FloatingPanel> hud_;
    bool started_ = false;
    // The settings subscriptions' last delivered values.
    struct ProfileKey;
    std::unique_ptr<ProfileKey> lastProfiles_;
    std::optional<bool> lastPanelFlag_;
    LinkLoader::DownloadOptions downloadOptions_;
    bool downloading_ = false;
};

}  // namespace qm

// The application's windows and menus over the composition root: the
// library window "main" ("Quillmarsh", at least 860 x 520), "editor"
// ("Editor"), "monitor" ("Monitor", first 760 x 700) and "settings",
// each built when first opened and carrying a menu bar of the shared
// commands, the first three where they were in the last run
// (WindowPlacement), or at first at two thirds of the screen (the monitor at
// its own size); the tray icon with the status menu (a left click opens it too);
// and the root's window opener, installed by every showing of a window.
//
// With the tray icon in a tray, closing the last window leaves the
// application running, the icon's menu being the way back; without a system
// tray (GNOME without an extension, for one) closing the last window quits,
// through the hooks' quit, as Linux applications do. The tray is Qt's: a
// StatusNotifierItem where a watcher with a host answers on the session bus
// when the shell is made, else an icon in the XEmbed tray of an X11 tray
// manager, which Qt embeds whenever one runs (also one started later).
// Main thread only; the root outlives the shell.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace qm {

class AppModel;
class QuillmarshCommands;
class StatusMenu;
class WindowRegistry;
struct MenuHooks;

class AppShell : public QObject {
    Q_OBJECT

public:
    static constexpr int kMonitorWidth = 760;
    static constexpr int kMonitorHeight = 700;

    // `hooks`: what the menus need beyond the models (temp edits, the copied
    // link, quitting); the window opening is the shell's own.
    AppShell(AppModel& app, MenuHooks hooks, QObject* parent = nullptr);
    ~AppShell() override;

    WindowRegistry& windows() { return *registry_; }
    QuillmarshCommands& commands() { return *commands_; }
    StatusMenu& statusMenu() { return *status_; }
    // Null where no tray can take it (no tray now, and not on X11).
    QSystemTrayIcon* tray() { return tray_.get(); }

    // Opens (or brings forward) a window by id.
    void open(const QString& id);
    // Whether the application stays when its last window closes: its tray
    // icon is shown and a tray takes it now.
    bool staysWithoutWindows() const;

private:
    AppModel& app_;
    std::unique_ptr<WindowRegistry> registry_;
    std::unique_ptr<QuillmarshCommands> commands_;
    std::unique_ptr<StatusMenu> status_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::function<void()> quit_;
};

}  // namespace qm

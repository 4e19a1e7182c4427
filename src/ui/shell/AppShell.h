// The application's windows and menus over the composition root: the
// library window "main" ("Quillmarsh", at least 860 x 520), "editor"
// ("Editor", 1180 x 760), "monitor" ("Monitor", 760 x 700) and "settings",
// each built when first opened and carrying a menu bar of the shared
// commands; the tray icon with the status menu (a left click opens it too);
// and the root's window opener, installed by every showing of a window.
//
// Without a system tray the application runs on without the icon.
// Main thread only; the root outlives the shell.
#pragma once

#include <QObject>
#include <QString>

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
    static constexpr int kMainMinWidth = 860;
    static constexpr int kMainMinHeight = 520;
    static constexpr int kEditorWidth = 1180;
    static constexpr int kEditorHeight = 760;
    static constexpr int kMonitorWidth = 760;
    static constexpr int kMonitorHeight = 700;

    // `hooks`: what the menus need beyond the models (temp edits, the copied
    // link, quitting); the window opening is the shell's own.
    AppShell(AppModel& app, MenuHooks hooks, QObject* parent = nullptr);
    ~AppShell() override;

    WindowRegistry& windows() { return *registry_; }
    QuillmarshCommands& commands() { return *commands_; }
    StatusMenu& statusMenu() { return *status_; }
    // Null when the desktop has no system tray.
    QSystemTrayIcon* tray() { return tray_.get(); }

    // Opens (or brings forward) a window by id.
    void open(const QString& id);

private:
    AppModel& app_;
    std::unique_ptr<WindowRegistry> registry_;
    std::unique_ptr<QuillmarshCommands> commands_;
    std::unique_ptr<StatusMenu> status_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace qm

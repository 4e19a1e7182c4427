// The warnings about what the desktop withholds, at the top of the library
// window's detail column: the accessibility banner while the desktop's
// accessibility is off (with the button that turns it on, and a toggle that
// shows how to do it by hand on each desktop), the file-manager banner while
// the file manager is not on the accessibility bus (it names the file
// manager and how to mend that: quitting it and opening it again, which the
// program does not do behind the user's back, since it closes the user's
// windows), one above the other. On a Wayland session neither shows:
// following the file manager cannot work there (the Audition settings say
// why). It follows the composition root's flags and keeps no state of its
// own.
//
// Main thread only.
#pragma once

#include <QWidget>

#include <functional>
#include <optional>

#include "app/shell/FileManagers.h"

class QAbstractButton;
class QLabel;

namespace qm {

class AppActions;

class PermissionBanner : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kAccessibilityMessage =
        "Turn on accessibility so Space plays audio in the file manager and the panel follows its windows "
        "instantly. The button turns it on now and at every login; a file manager that was already open must "
        "then be restarted.";
    static constexpr const char* kAccessibilityButton = "Turn On Accessibility";
    static constexpr const char* kStepsToggle = "How to turn it on by hand";
    // Rich text: the one switch the accessibility bus reads, and where each
    // desktop family runs it.
    static constexpr const char* kAccessibilitySteps =
        "In a terminal, on any desktop (the accessibility bus reads this at every login):<br>"
        "<tt>gsettings set org.gnome.desktop.interface toolkit-accessibility true</tt><br>"
        "<b>GNOME, Cinnamon:</b> run it in Terminal. Settings \u203a Accessibility \u203a Screen Reader turns "
        "accessibility on as well, but reads the screen aloud.<br>"
        "<b>KDE Plasma:</b> run it in Konsole. The Screen Reader page of Plasma's Accessibility settings turns "
        "it on as well, but starts a screen reader.<br>"
        "<b>Xfce, MATE, LXDE, LXQt and others:</b> run it in the desktop's terminal.";
    // The file-manager banner when the program cannot tell which one refused.
    static constexpr const char* kAutomationMessage =
        "Quillmarsh can't read the file manager's selection: the file manager isn't on the accessibility bus, "
        "since it was started before accessibility was on. Quit the file manager (all its windows, and its "
        "background instance) and open it again.";

    explicit PermissionBanner(AppActions& actions, QWidget* parent = nullptr);

    // The file-manager banner's text for the file manager that refused:
    // its name, and its own way to quit.
    static QString automationMessage(const std::optional<fileManagers::Kind>& refuser);

    // One banner: the raised hand in orange, the message, the button that
    // runs `action` (none without a title), on a pale orange strip; with
    // `details`, a toggle under the message shows them.
    static QWidget* banner(const QString& message, const QString& button, std::function<void()> action,
                           QWidget* parent = nullptr, const QString& details = {});

    QWidget* accessibilityBanner() const { return accessibility_; }
    QWidget* automationBanner() const { return automation_; }
    // The banners shown now, top to bottom (their messages).
    QStringList shown() const;

private slots:
    void refresh();

private:
    AppActions& actions_;
    QWidget* accessibility_ = nullptr;
    QWidget* automation_ = nullptr;
    QLabel* automationText_ = nullptr;
};

}  // namespace qm

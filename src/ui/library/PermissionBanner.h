// The warnings about missing desktop permissions at the top of the library
// window's detail column: the accessibility banner while the process may
// not read other windows, the automation banner while the file manager
// refused its selection, one above the other, each with the button that
// opens the matching settings. It follows the composition root's two flags
// and keeps no state of its own.
//
// Main thread only.
#pragma once

#include <QWidget>

#include <functional>

class QAbstractButton;

namespace qm {

class AppActions;

class PermissionBanner : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kAccessibilityMessage =
        "Allow Accessibility so Space plays audio in Finder and the panel follows windows instantly.";
    static constexpr const char* kAccessibilityButton = "Open Accessibility Settings";
    static constexpr const char* kAutomationMessage =
        "Quillmarsh can't read Finder's selection. Turn on Quillmarsh \u203A Finder under Automation.";
    static constexpr const char* kAutomationButton = "Open Automation Settings";

    explicit PermissionBanner(AppActions& actions, QWidget* parent = nullptr);

    // One banner: the raised hand in orange, the message, the button that
    // runs `action`, on a pale orange strip.
    static QWidget* banner(const QString& message, const QString& button, std::function<void()> action,
                           QWidget* parent = nullptr);

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
};

}  // namespace qm

// The application's windows by identifier ("main", "editor", "monitor",
// "settings"), each built on first use. Opening a window builds it when it
// does not exist yet, shows it and brings it forward with the keyboard; an
// open window is only brought forward, so there is never a second one.
// Closing a window hides it: it keeps its state for the next opening.
//
// Every showing of a window calls `onShown` (the composition root's window
// opener is installed from there, so the window shown last provides it);
// every opening calls `onOpened` with the window brought forward. Once a
// window was closed and none is left open (minimised ones count as open),
// `onLastClosed` is called, one turn of the event loop later.
//
// Main thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>

namespace qm {

class WindowRegistry : public QObject {
    Q_OBJECT

public:
    using Factory = std::function<std::unique_ptr<QWidget>()>;

    explicit WindowRegistry(QObject* parent = nullptr);
    ~WindowRegistry() override;

    // Registers how a window is built (replacing an earlier factory).
    void add(const QString& id, Factory factory);
    bool knows(const QString& id) const { return factories_.count(id) != 0; }

    // Builds (once), shows, raises and activates; false for an unknown id.
    bool open(const QString& id);
    // The window when it has been built, else null.
    QWidget* window(const QString& id) const;
    // How many times a window was built (tests check there is one).
    int builds(const QString& id) const;

    std::function<void(const QString& id)> onShown;
    std::function<void(QWidget* window)> onOpened;
    std::function<void()> onLastClosed;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool anyOpen() const;

    std::map<QString, Factory> factories_;
    std::map<QString, std::unique_ptr<QWidget>> windows_;
    std::map<QString, int> builds_;
    bool closeCheckPending_ = false;
};

}  // namespace qm

// Whether the desktop's accessibility is on for this session, and switching
// it on: the file manager's selection and text focus are read over the
// accessibility bus, and the key tap needs the X display.
//
// `Accessibility` is what the composition root asks; `BusAccessibility` is
// the one real implementation: trusted = the accessibility bus launcher's
// org.a11y.Status.IsEnabled (object /org/a11y/bus of org.a11y.Bus on the
// session bus) and an X display present. Granting sets IsEnabled true on
// the same object; there is no system prompt on this desktop. Without a
// session bus (or launcher) nothing changes and the answer stays false.
//
// Main thread only: replies of asynchronous reads arrive through the event
// loop.
#pragma once

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <functional>

namespace qm {

class Accessibility : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks now and waits for the answer (at most the implementation's time
    // limit); false when it does not come.
    virtual bool trusted() = 0;
    // Asks without waiting: `done` gets the answer on this object's thread
    // (false when the bus does not answer), and is dropped with the object.
    virtual void checkTrusted(std::function<void(bool)> done) = 0;
    // Switches accessibility on for the session; the answer is not waited for.
    virtual void grant() = 0;
};

class BusAccessibility : public Accessibility {
    Q_OBJECT

public:
    // `bus`: the session bus (tests give a private one); `displayPresent`:
    // whether an X display can be reached; `timeout`: the limit of each call.
    explicit BusAccessibility(QDBusConnection bus = QDBusConnection::sessionBus(),
                              std::function<bool()> displayPresent = {},
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(1000),
                              QObject* parent = nullptr);

    bool trusted() override;
    void checkTrusted(std::function<void(bool)> done) override;
    void grant() override;

private:
    bool display() const;

    QDBusConnection bus_;
    std::function<bool()> displayPresent_;
    std::chrono::milliseconds timeout_;
};

}  // namespace qm

// A private D-Bus session bus for tests (a dbus-daemon of its own, on a
// socket in a temporary folder, stopped with the object) and a stand-in
// file manager on it that records the items it is asked to show. Also a
// stand-in `xdg-open` that records its arguments, for tests that put its
// folder first on PATH. Main thread.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace qm::test {

class PrivateBus {
public:
    // With `services`, the bus starts the system's session services on
    // demand (the accessibility bus launcher among them), in an environment
    // of the bus's own: home and XDG folders in its temporary folder, the
    // settings backend in memory.
    explicit PrivateBus(bool services = false);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return address_; }
    // A new connection to the bus under a name of its own.
    QDBusConnection connect(const QString& name) const;

private:
    TempDir dir_;
    QProcess daemon_;
    QString address_;
    mutable std::vector<QString> connections_;
};

// Answers org.freedesktop.FileManager1 ShowItems on `bus`, optionally after
// a delay (to outlast a caller's time limit).
class FileManagerStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    explicit FileManagerStandIn(QDBusConnection bus);
    ~FileManagerStandIn() override;

    std::vector<QStringList> calls;   // the URIs of each ShowItems
    int delayMs = 0;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId);

private:
    QDBusConnection bus_;
};

// A stand-in file manager on a thread of its own that answers `delayMs`
// after each call, as one the bus is still starting does; its slow answer
// does not hold up the caller's event loop.
class SlowFileManager {
public:
    SlowFileManager(const PrivateBus& bus, int delayMs);
    ~SlowFileManager();
    SlowFileManager(const SlowFileManager&) = delete;
    SlowFileManager& operator=(const SlowFileManager&) = delete;

    // The ShowItems calls it has answered so far.
    size_t calls();

private:
    QThread thread_;
    QObject there_;
    std::unique_ptr<FileManagerStandIn> manager_;
};

// A shell script named xdg-open in a folder of its own that appends each
// call's arguments as one line to a log file.
class OpenerStandIn {
public:
    OpenerStandIn();
    // Puts the folder first on PATH for the object's life.
    void install();
    ~OpenerStandIn();
    std::vector<std::string> calls() const;

private:
    TempDir dir_;
    std::string oldPath_;
    bool installed_ = false;
};

}  // namespace qm::test

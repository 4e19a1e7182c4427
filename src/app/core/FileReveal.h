// The desktop's workspace as the system uses it: shows files selected in
// the file manager ("Reveal"), opens a folder in it ("Show"), and brings
// the application's own window forward.
//
// `FileReveal` is what views and models ask; `DesktopFileReveal` is the one
// real implementation: the file manager's D-Bus interface
// (org.freedesktop.FileManager1 ShowItems with file URIs and an empty
// start-up id) on the session bus, asynchronously; when no file manager
// takes the call (none on the bus, none the bus can start, one that refuses
// it, or no session bus), `xdg-open` opens the folder that holds the first
// item instead. One or the other, never both: a call not answered within
// the time limit is still the file manager's (the bus may be starting it),
// so no folder is opened beside it. Both run detached: `reveal` returns at
// once and `finished` tells how it ended.
//
// Main thread only (the D-Bus reply arrives through the event loop).
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

namespace qm {

class FileReveal : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    enum class Outcome { fileManager, folderOpened, failed };
    Q_ENUM(Outcome)

    // Shows `items` selected in the file manager; nothing for an empty list.
    virtual void reveal(const std::vector<std::filesystem::path>& items) = 0;
    // Opens `folder` itself in the file manager. Unless a kind of reveal
    // knows better, the folder is shown selected in its parent.
    virtual void open(const std::filesystem::path& folder) { reveal({folder}); }
    // Brings the application forward: the window the user used last is
    // raised and activated. The views install how (`setActivator`); until
    // then nothing happens.
    virtual void activate() {
        if (activator_) activator_();
    }
    void setActivator(std::function<void()> activator) { activator_ = std::move(activator); }

signals:
    void finished(qm::FileReveal::Outcome outcome);

private:
    std::function<void()> activator_;
};

class DesktopFileReveal : public FileReveal {
    Q_OBJECT

public:
    // `bus`: the session bus (tests give a private one); `timeout`: how long
    // the file manager (or the bus starting it) may take to answer before
    // `finished` is told; `opener`: the program that opens a folder when no
    // file manager takes the call.
    explicit DesktopFileReveal(QDBusConnection bus = QDBusConnection::sessionBus(),
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(25000),
                               QString opener = QStringLiteral("xdg-open"), QObject* parent = nullptr);

    void reveal(const std::vector<std::filesystem::path>& items) override;
    // Through the opener program (the desktop's default for folders).
    void open(const std::filesystem::path& folder) override;

    // The URIs the file manager is given: absolute, percent-encoded file URLs.
    static QStringList uris(const std::vector<std::filesystem::path>& items);

private:
    void openFolder(const std::filesystem::path& item);
    void start(const std::filesystem::path& folder);

    QDBusConnection bus_;
    std::chrono::milliseconds timeout_;
    QString opener_;
};

}  // namespace qm

#include "app/core/FileReveal.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QProcess>
#include <QUrl>

namespace qm {

DesktopFileReveal::DesktopFileReveal(QDBusConnection bus, std::chrono::milliseconds timeout, QString opener,
                                     QObject* parent)
    : FileReveal(parent), bus_(std::move(bus)), timeout_(timeout), opener_(std::move(opener)) {}

QStringList DesktopFileReveal::uris(const std::vector<std::filesystem::path>& items) {
    QStringList out;
    for (const auto& item : items) {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(item, ec);
        out << QUrl::fromLocalFile(QString::fromStdString((ec ? item : absolute).lexically_normal().string()))
                   .toString(QUrl::FullyEncoded);
    }
    return out;
}

void DesktopFileReveal::reveal(const std::vector<std::filesystem::path>& items) {
    if (items.empty()) return;
    if (!bus_.isConnected()) {
        openFolder(items.front());
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                       QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris(items) << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, static_cast<int>(timeout_.count())), this);
    const auto first = items.front();
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, first] {
        watcher->deleteLater();
        // No answer in time is no refusal: the call is with the file manager
        // (one the bus is still starting, often), which shows the items when
        // it gets there; a folder opened now would be a second window.
        if (!watcher->isError() || watcher->error().type() == QDBusError::NoReply)
            emit finished(Outcome::fileManager);
        else
            openFolder(first);
    });
}

void DesktopFileReveal::openFolder(const std::filesystem::path& item) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(item, ec);
    if (ec) absolute = item;
    start(absolute.lexically_normal().parent_path());
}

void DesktopFileReveal::open(const std::filesystem::path& folder) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(folder, ec);
    if (ec) absolute = folder;
    // "a/b/" would otherwise lose its last component in lexically_normal's hands.
    absolute = absolute.lexically_normal();
    if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path())
        absolute = absolute.parent_path();
    start(absolute);
}

void DesktopFileReveal::start(const std::filesystem::path& folder) {
    const bool started = QProcess::startDetached(opener_, {QString::fromStdString(folder.string())});
    emit finished(started ? Outcome::folderOpened : Outcome::failed);
}

}  // namespace qm

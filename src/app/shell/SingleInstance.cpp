#include "app/shell/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

namespace fs = std::filesystem;

namespace qm {

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), path_(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("quillmarsh.socket"));
}

QByteArray SingleInstance::encode(const std::vector<fs::path>& files) {
    QByteArray message;
    for (const auto& file : files) {
        std::error_code ec;
        fs::path absolute = fs::absolute(file, ec);
        if (ec) continue;
        QByteArray line = QByteArray::fromStdString(absolute.lexically_normal().string());
        if (line.contains('\n')) continue;  // cannot be told apart from two paths
        line.append('\n');
        if (message.size() + line.size() > kMaxMessage) break;
        message.append(line);
    }
    return message;
}

std::vector<fs::path> SingleInstance::decode(const QByteArray& message) {
    std::vector<fs::path> files;
    for (const QByteArray& line : message.split('\n'))
        if (!line.isEmpty() && line.startsWith('/')) files.emplace_back(line.toStdString());
    return files;
}

bool SingleInstance::handOverOrServe(const std::vector<fs::path>& files) {
    {
        QLocalSocket socket;
        socket.connectToServer(path_);
        if (socket.waitForConnected(kConnectLimitMs)) {
            const QByteArray message = encode(files);
            socket.write(message);
            bool sent = true;
            while (socket.bytesToWrite() > 0 && sent) sent = socket.waitForBytesWritten(kReadLimitMs);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kReadLimitMs);
            if (sent) return true;
        }
    }
    // Nobody answers: whatever is at the path is left from an instance that
    // is gone.
    QLocalServer::removeServer(path_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
    if (!server_->listen(path_)) {
        qWarning("Quillmarsh: cannot listen on %s: %s", qPrintable(path_), qPrintable(server_->errorString()));
        server_.reset();
    }
    return false;
}

bool SingleInstance::listening() const { return server_ && server_->isListening(); }

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        auto buffer = std::make_shared<QByteArray>();
        auto done = std::make_shared<bool>(false);
        QPointer<QLocalSocket> guard(socket);
        auto finish = [this, guard, buffer, done](bool deliver) {
            if (*done) return;
            *done = true;
            if (deliver) emit filesReceived(decode(*buffer));
            if (guard) guard->deleteLater();
        };
        connect(socket, &QLocalSocket::readyRead, this, [socket, buffer, finish] {
            buffer->append(socket->readAll());
            if (buffer->size() > kMaxMessage) {
                socket->abort();
                finish(false);
            }
        });
        connect(socket, &QLocalSocket::disconnected, this, [socket, buffer, finish] {
            buffer->append(socket->readAll());
            finish(buffer->size() <= kMaxMessage);
        });
        QTimer::singleShot(kReadLimitMs, socket, [socket, finish] {
            socket->abort();
            finish(false);
        });
    }
}

}  // namespace qm

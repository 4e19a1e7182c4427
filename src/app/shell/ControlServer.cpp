#include "ControlServer.h"

#include "platform/AppError.h"
#include "platform/HttpHead.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <fmt/format.h>

#include <cmath>
#include <string_view>

namespace qm {

namespace {

// Accepted connections taken per turn of the event loop: between two
// batches the loop reads the sockets already open, so under a flood of new
// connections a client that sent its head is answered before 64 newer ones
// could push it out.
constexpr int kAcceptBatch = 8;
// The kernel's queue of connections not yet accepted: a burst waits there
// instead of having its handshakes dropped and retried a second later.
constexpr int kListenBacklog = 1024;

const char* statusLine(int status) {
    switch (status) {
        case 200: return "200 OK";
        case 204: return "204 No Content";
        case 400: return "400 Bad Request";
        default: return "403 Forbidden";
    }
}

QByteArray replyBytes(int status, const std::string& allowOrigin, const std::string* body) {
    QByteArray out = "HTTP/1.1 ";
    out += statusLine(status);
    out += "\r\n";
    if (!allowOrigin.empty()) {
        out += "Access-Control-Allow-Origin: ";
        out += QByteArray::fromStdString(allowOrigin);
        out += "\r\nAccess-Control-Allow-Headers: X-Quillmarsh\r\nAccess-Control-Allow-Methods: GET\r\n";
    }
    if (!body) {
        out += "Content-Length: 0\r\nConnection: close\r\n\r\n";
        return out;
    }
    out += "Content-Type: application/json\r\n";
    out += QByteArray::fromStdString(fmt::format("Content-Length: {}\r\n", body->size()));
    out += "Connection: close\r\n\r\n";
    out += QByteArray::fromStdString(*body);
    return out;
}

bool allFinite(const nlohmann::json& value) {
    if (value.is_number_float())
        return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& item : value)
            if (!allFinite(item))
                return false;
    }
    return true;
}

// Compact JSON in valid UTF-8: file names on Linux are bytes, so text that
// is not UTF-8 gets replacement characters instead of failing the reply.
// JSON has no NaN or infinity; a reply holding one (or anything but an
// object) is sent as "{}".
std::string serialise(const nlohmann::json& reply) {
    if (!reply.is_object() || !allFinite(reply))
        return "{}";
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A page opened from a file: the scheme "file", exactly. Anything else
// that merely begins with those letters ("filesystem:http://...", a host
// "file.example") is a web page's, and so is a list of origins.
bool isFileOrigin(const std::string& origin) {
    return origin.starts_with("file://") && origin.find_first_of(" \t,") == std::string::npos;
}

// Where the head ends in `buffer`, whose bytes before `from` were searched
// already: the length of the head (the bytes before the line end that comes
// before the blank line), or -1. A line ends with CR LF or a bare LF.
qsizetype headLength(const QByteArray& buffer, qsizetype from) {
    for (qsizetype lf = buffer.indexOf('\n', std::max<qsizetype>(0, from - 2)); lf >= 0;
         lf = buffer.indexOf('\n', lf + 1)) {
        qsizetype next = lf + 1;
        if (next < buffer.size() && buffer[next] == '\r')
            ++next;
        if (next < buffer.size() && buffer[next] == '\n')
            return lf > 0 && buffer[lf - 1] == '\r' ? lf - 1 : lf;
    }
    return -1;
}

bool isLoopbackHost(const std::string& host, quint16 serverPort) {
    std::string lower = host;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    const std::string withPort = fmt::format(":{}", serverPort);
    for (std::string_view name : {"127.0.0.1", "localhost"})
        if (lower == name || lower == std::string(name) + withPort)
            return true;
    return false;
}

void decodeTarget(const std::string& target, std::string& command, ControlServer::Parameters& parameters) {
    const QUrl url(QStringLiteral("http://localhost") + QString::fromStdString(target));
    if (!url.isValid())
        return;
    QString path = url.path(QUrl::FullyDecoded);
    qsizetype from = 0, to = path.size();
    while (from < to && path[from] == u'/')
        ++from;
    while (to > from && path[to - 1] == u'/')
        --to;
    command = path.mid(from, to - from).toStdString();
    // QUrlQuery leaves "+" as it is: only %2B and "+" stay apart in meaning.
    for (const auto& [name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
        parameters[name.toStdString()] = value.toStdString();
}

}  // namespace

ControlServer::ControlServer(quint16 listenPort, QObject* parent)
    : QObject(parent), listenPort_(listenPort) {}

ControlServer::~ControlServer() {
    for (Connection& c : connections_)
        c.socket->disconnect(this);
    connections_.clear();
    delete listener_;  // takes the sockets with it
}

void ControlServer::start() {
    if (listener_)
        return;
    auto* listener = new QTcpServer(this);
    listener->setMaxPendingConnections(kAcceptBatch);
    listener->setListenBacklogSize(kListenBacklog);
    if (!listener->listen(QHostAddress(QHostAddress::LocalHost), listenPort_)) {
        delete listener;
        return;
    }
    connect(listener, &QTcpServer::newConnection, this, [this] {
        if (acceptScheduled_)
            return;
        acceptScheduled_ = true;
        QMetaObject::invokeMethod(this, &ControlServer::acceptPending, Qt::QueuedConnection);
    });
    // QTcpServer pauses itself on an accept error other than "try again"
    // (EMFILE, ENFILE, ENOBUFS) and would stay deaf; resuming at once would
    // spin on the connection still queued in the kernel.
    connect(listener, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(kAcceptPause, this, [this] {
            if (listener_)
                listener_->resumeAccepting();
        });
    });
    listener_ = listener;
}

bool ControlServer::isListening() const { return listener_ && listener_->isListening(); }

quint16 ControlServer::serverPort() const { return listener_ ? listener_->serverPort() : 0; }

void ControlServer::setTimeouts(std::chrono::milliseconds head, std::chrono::milliseconds drain) {
    headTimeout_ = head;
    drainTimeout_ = drain;
}

void ControlServer::acceptPending() {
    acceptScheduled_ = false;
    if (!listener_)
        return;
    while (QTcpSocket* socket = listener_->nextPendingConnection())
        open(socket);
}

void ControlServer::open(QTcpSocket* socket) {
    if (int(connections_.size()) >= kMaxConnections) {
        auto oldest = std::find_if(connections_.begin(), connections_.end(),
                                   [](const Connection& c) { return !c.answered; });
        if (oldest == connections_.end())
            oldest = connections_.begin();
        close(oldest->socket, true);
    }
    // Qt's own buffer holds at most one read: with ours, 16 KiB each way.
    socket->setReadBufferSize(kHeadLimit);
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    connections_.push_back({socket, timer, {}, false});
    connect(timer, &QTimer::timeout, this, [this, socket] { close(socket, true); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { receive(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { close(socket, false); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { close(socket, true); });
    timer->start(headTimeout_);
}

ControlServer::Connection* ControlServer::find(QTcpSocket* socket) {
    for (Connection& c : connections_)
        if (c.socket == socket)
            return &c;
    return nullptr;
}

void ControlServer::receive(QTcpSocket* socket) {
    Connection* c = find(socket);
    if (!c || c->answered)
        return;  // nothing after the blank line is read
    while (socket->bytesAvailable() > 0) {
        const qsizetype before = c->buffer.size();
        c->buffer += socket->read(kHeadLimit);
        const qsizetype end = headLength(c->buffer, before);
        if (end >= 0) {
            answer(socket, c->buffer.left(end));
            return;
        }
        // Checked after each read: a head whose blank line comes in a later
        // read still counts when what came before it kept to the limit.
        if (c->buffer.size() > kHeadLimit) {
            close(socket, true);
            return;
        }
    }
}

void ControlServer::answer(QTcpSocket* socket, const QByteArray& head) {
    Connection* c = find(socket);
    c->answered = true;
    c->timer->stop();
    c->buffer = QByteArray();
    QPointer<QTcpSocket> alive(socket);
    const QByteArray reply = respond(QString::fromUtf8(head).toUtf8(), handler_, serverPort());
    // The handler may have run long enough for the connection to go.
    if (!alive || !find(socket))
        return;
    c->timer->start(drainTimeout_);
    // Handed to the kernel now rather than on the next turn of the loop: Qt
    // drops unsent bytes when it reads the end of the stream, and a client
    // may well shut down its side right after the head.
    socket->write(reply);
    socket->flush();
    emit answered(head, reply.mid(9, 3).toInt());
    if (alive && find(socket))
        socket->disconnectFromHost();  // closes once the reply is sent
}

void ControlServer::close(QTcpSocket* socket, bool abort) {
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [socket](const Connection& c) { return c.socket == socket; });
    if (it == connections_.end())
        return;
    connections_.erase(it);
    socket->disconnect(this);
    if (abort)
        socket->abort();
    socket->deleteLater();
}

QByteArray ControlServer::respond(const QByteArray& head, const Handler& handler, quint16 serverPort) {
    static const std::string forbidden = R"({"error":"forbidden"})";
    const std::optional<HttpHead> request = HttpHead::parse(std::string_view(head.constData(), size_t(head.size())));
    if (!request)
        return replyBytes(403, {}, &forbidden);

    // Of two Origin or Host lines, readers differ on which counts.
    const bool repeated = request->repeated.count("origin") || request->repeated.count("host");
    const std::string* origin = request->header("origin");
    const bool originAdmitted = !repeated && (!origin || isFileOrigin(*origin));
    const std::string* host = request->header("host");
    const bool hostAdmitted = !repeated && (!host || isLoopbackHost(*host, serverPort));
    const std::string allowOrigin = origin && originAdmitted ? *origin : std::string();

    if (request->method == "OPTIONS")
        return replyBytes(originAdmitted && hostAdmitted ? 204 : 403, allowOrigin, nullptr);

    const std::string* key = request->header("x-quillmarsh");
    if (!key || *key != "1" || !originAdmitted || !hostAdmitted)
        return replyBytes(403, allowOrigin, &forbidden);

    std::string command;
    Parameters parameters;
    decodeTarget(request->target, command, parameters);
    nlohmann::json reply;
    if (!handler) {
        reply = {{"error", "not ready"}};
    } else {
        try {
            reply = handler(command, parameters);
        } catch (const std::exception& e) {
            // A command that throws is answered like one that reports its error.
            reply = {{"error", e.what()}};
        }
    }
    const int status = reply.is_object() && reply.contains("error") ? 400 : 200;
    const std::string body = serialise(reply);
    return replyBytes(status, allowOrigin, &body);
}

}  // namespace qm

#include "HttpStandIn.h"

#include <QTcpSocket>

#include <stdexcept>

namespace qm::test {

HttpStandIn::HttpStandIn(Handler handler) : handler_(std::move(handler)) {
    if (!server_.listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("the stand-in server cannot listen on 127.0.0.1");
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QUrl HttpStandIn::base() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort()));
}

void HttpStandIn::serve(QTcpSocket* socket) {
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    HttpRequest request;
    request.method = first.value(0);
    const QUrl target(QString::fromUtf8(first.value(1)));
    request.path = target.path();
    request.query = QUrlQuery(target);
    qsizetype length = 0;
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length")
            length = value.toLongLong();
        else if (name == "content-type")
            request.contentType = value;
        else if (name == "origin")
            request.origin = value;
        else if (name == "authorization")
            request.authorization = value;
    }
    if (buffer.size() < headEnd + 4 + length)
        return;  // the body is still coming
    request.body = buffer.mid(headEnd + 4, length);
    socket->setProperty("buffer", QByteArray());
    requests_.push_back(request);

    const HttpAnswer answer = handler_(request);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(answer.status) + " Stand-in\r\n";
    out += "Content-Type: " + answer.contentType + "\r\n";
    if (!answer.location.isEmpty())
        out += "Location: " + answer.location + "\r\n";
    out += "Content-Length: " +
           QByteArray::number(answer.declaredLength.value_or(answer.body.size())) + "\r\n";
    out += "Connection: close\r\n\r\n" + answer.body;
    socket->write(out);
    socket->disconnectFromHost();
}

}  // namespace qm::test

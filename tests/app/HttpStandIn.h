// A small HTTP/1.1 server on 127.0.0.1 for the model tests: it plays the
// remote side of a protocol through a handler that answers each request.
// One request per connection (every answer closes it). An answer may
// declare a longer body than it sends, to break off a download, or redirect.
// Main thread; lives as long as the test.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <optional>
#include <vector>

namespace qm::test {

struct HttpRequest {
    QByteArray method;
    QString path;  // without the query
    QUrlQuery query;
    QByteArray contentType;
    QByteArray body;
    QByteArray origin;  // the Origin header, if any
    QByteArray authorization;  // the Authorization header, if any
};

struct HttpAnswer {
    HttpAnswer(int status = 200, QByteArray body = {}, QByteArray contentType = "application/json",
               std::optional<qint64> declaredLength = std::nullopt)
        : status(status), body(std::move(body)), contentType(std::move(contentType)),
          declaredLength(declaredLength) {}

    // A redirection to `location`, which keeps the method (307) unless told.
    static HttpAnswer redirect(QByteArray location, int status = 307) {
        HttpAnswer a(status, {}, "text/plain");
        a.location = std::move(location);
        return a;
    }

    int status;
    QByteArray body;
    QByteArray contentType;
    std::optional<qint64> declaredLength;  // more than body.size(): the answer breaks off
    QByteArray location;                    // a redirection's target
};

class HttpStandIn : public QObject {
public:
    using Handler = std::function<HttpAnswer(const HttpRequest&)>;

    explicit HttpStandIn(Handler handler);

    // "http://127.0.0.1:PORT/".
    QUrl base() const;
    // Every complete request received, in order.
    const std::vector<HttpRequest>& requests() const { return requests_; }

private:
    void serve(class QTcpSocket* socket);

    Handler handler_;
    QTcpServer server_;
    std::vector<HttpRequest> requests_;
};

}  // namespace qm::test

// The local control port: other programs on this machine drive the running
// system with short HTTP requests to 127.0.0.1:47806. The command is the
// request path, its arguments the query, and every answer a JSON object
// with "Connection: close": one request per connection, request heads only.
//
// Web pages can make a browser send requests here too, so only requests
// that no page can make are admitted: the header "X-Quillmarsh: 1" (a page
// needs a preflight for it), no web origin (no Origin line, or one of the
// scheme "file"; the opaque origin "null", which sandboxed frames, data:
// frames and cross-origin redirects produce, and an empty one are refused
// like any page's), a Host that is this machine's loopback name (after DNS
// rebinding a page's requests carry neither an Origin nor our Host), and
// neither line given twice. Heads are read as HTTP reads them: lines end
// with CR LF or a bare LF, and a bare CR makes a head malformed (refused).
//
// A flood of local connections costs neither memory nor the main thread:
// heads are read 16384 bytes at a time and dropped past that limit, a head
// still incomplete 5 s after the accept or a reply still unsent 5 s after it
// was written is dropped, and at most 64 connections stay open: a new one
// closes the oldest still unanswered (else the oldest). Accepting pauses
// 100 ms after an accept error (out of descriptors), so it cannot spin.
//
// Main thread only: the sockets, the timers and the handler all run in the
// event loop of the thread that owns the server.
#pragma once

#include <QByteArray>
#include <QObject>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <string>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace qm {

class ControlServer : public QObject {
    Q_OBJECT

public:
    using Parameters = std::map<std::string, std::string>;
    // Takes the command word and the query's parameters, gives the reply
    // object; a reply with an "error" key is sent with status 400.
    using Handler = std::function<nlohmann::json(const std::string& command, const Parameters& parameters)>;

    static constexpr quint16 port = 47806;
    static constexpr qsizetype kHeadLimit = 16384;
    static constexpr int kMaxConnections = 64;
    static constexpr std::chrono::milliseconds kHeadTimeout{5000};
    static constexpr std::chrono::milliseconds kDrainTimeout{5000};
    static constexpr std::chrono::milliseconds kAcceptPause{100};

    // `listenPort` 0 takes a free port (tests); the application uses `port`.
    explicit ControlServer(quint16 listenPort = port, QObject* parent = nullptr);
    ~ControlServer() override;

    // May be installed or replaced at any time; until then every admitted
    // request is answered {"error":"not ready"}.
    void setHandler(Handler handler) { handler_ = std::move(handler); }
    const Handler& handler() const { return handler_; }

    // Listens on 127.0.0.1 only. Does nothing while listening; when the port
    // cannot be had there is no server for now (isListening() says so).
    void start();
    bool isListening() const;
    // The port listened on (the free port chosen for 0), or 0.
    quint16 serverPort() const;
    // Connections open now (at most kMaxConnections).
    int openConnections() const { return int(connections_.size()); }

    // How long a head may take from the accept, and a reply to leave once
    // written (kHeadTimeout, kDrainTimeout unless set).
    void setTimeouts(std::chrono::milliseconds head, std::chrono::milliseconds drain);

    // The whole reply to one request head (the bytes before its blank line,
    // UTF-8 with invalid sequences already replaced), for a server on
    // `serverPort`: parsing, the checks, the handler call, the reply bytes.
    static QByteArray respond(const QByteArray& head, const Handler& handler, quint16 serverPort);

signals:
    // A reply was handed to its connection: the head it answers (as
    // received) and its status code.
    void answered(const QByteArray& head, int status);

private:
    struct Connection {
        QTcpSocket* socket;
        QTimer* timer;  // the head's time limit, then the reply's
        QByteArray buffer;
        bool answered = false;
    };

    void acceptPending();
    void open(QTcpSocket* socket);
    void receive(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& head);
    void close(QTcpSocket* socket, bool abort);
    Connection* find(QTcpSocket* socket);

    quint16 listenPort_;
    Handler handler_;
    QTcpServer* listener_ = nullptr;  // a child, absent until listening
    std::list<Connection> connections_;  // in the order accepted
    bool acceptScheduled_ = false;
    std::chrono::milliseconds headTimeout_ = kHeadTimeout;
    std::chrono::milliseconds drainTimeout_ = kDrainTimeout;
};

}  // namespace qm

#include "app/shell/ControlServer.h"

#include <QSignalSpy>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "app/shell/LoopbackClient.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Call {
    std::string command;
    ControlServer::Parameters parameters;
};

// A server on a free port whose handler records each call and answers
// {"ok":true}, or what the test puts in `reply`.
struct Served {
    ControlServer server{0};
    std::vector<Call> calls;
    std::function<json(const std::string&)> reply;

    Served() {
        server.setHandler([this](const std::string& command, const ControlServer::Parameters& parameters) {
            calls.push_back({command, parameters});
            return reply ? reply(command) : json{{"ok", true}};
        });
        server.start();
    }
    quint16 port() const { return server.serverPort(); }
    QByteArray get(const QByteArray& target, const QByteArray& headers = "X-Quillmarsh: 1\r\n") {
        return exchange(port(), "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n");
    }
};

const QByteArray kOk =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
    "Connection: close\r\n\r\n{\"ok\":true}";
const QByteArray kForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
    "Connection: close\r\n\r\n{\"error\":\"forbidden\"}";

QByteArray full(const QByteArray& status, const QByteArray& body, const QByteArray& origin = {}) {
    QByteArray out = "HTTP/1.1 " + status + "\r\n";
    if (!origin.isEmpty())
        out += "Access-Control-Allow-Origin: " + origin +
               "\r\nAccess-Control-Allow-Headers: X-Quillmarsh\r\nAccess-Control-Allow-Methods: GET\r\n";
    return out + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray preflight(const QByteArray& status, const QByteArray& origin = {}) {
    QByteArray out = "HTTP/1.1 " + status + "\r\n";
    if (!origin.isEmpty())
        out += "Access-Control-Allow-Origin: " + origin +
               "\r\nAccess-Control-Allow-Headers: X-Quillmarsh\r\nAccess-Control-Allow-Methods: GET\r\n";
    return out + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace

TEST(ControlServer, AnswersAStatusRequestWithExactlyTheReplyLines) {
    Served s;
    EXPECT_EQ(s.get("/status"), kOk);
    ASSERT_EQ(s.calls.size(), 1u);
    EXPECT_EQ(s.calls[0].command, "status");
    EXPECT_TRUE(s.calls[0].parameters.empty());

    // Content-Length counts bytes, not characters.
    s.reply = [](const std::string&) { return json{{"name", "Café ☕"}}; };
    const QByteArray body = R"({"name":"Café ☕"})";
    EXPECT_EQ(s.get("/status"), full("200 OK", body));
}

TEST(ControlServer, ChecksTheCustomHeader) {
    Served s;
    EXPECT_EQ(s.get("/status", "x-QUILLMARSH: 1\r\n"), kOk);
    EXPECT_EQ(s.get("/status", "X-Quillmarsh:    1  \t\r\n"), kOk);  // values are trimmed
    EXPECT_EQ(s.get("/status", "X-Quillmarsh: true\r\n"), kForbidden);
    EXPECT_EQ(s.get("/status", "X-Quillmarsh: 11\r\n"), kForbidden);
    EXPECT_EQ(s.get("/status", ""), kForbidden);
    // A later line with the same name wins.
    EXPECT_EQ(s.get("/status", "X-Quillmarsh: 0\r\nx-quillmarsh: 1\r\n"), kOk);
    EXPECT_EQ(s.get("/status", "X-Quillmarsh: 1\r\nX-Quillmarsh: 0\r\n"), kForbidden);
    EXPECT_EQ(s.calls.size(), 3u);
}

TEST(ControlServer, AdmitsNoWebOrigin) {
    Served s;
    // Programs send none; pages opened from files may say "file://".
    EXPECT_EQ(s.get("/status", "Origin: file://\r\nX-Quillmarsh: 1\r\n"),
              full("200 OK", R"({"ok":true})", "file://"));
    // "null" comes from sandboxed frames, data: frames and redirects of any
    // web page: refused, and not echoed.
    EXPECT_EQ(s.get("/status", "Origin: null\r\nX-Quillmarsh: 1\r\n"), kForbidden);
    EXPECT_EQ(s.get("/status", "Origin: http://127.0.0.1:8000\r\nX-Quillmarsh: 1\r\n"), kForbidden);
    EXPECT_EQ(s.get("/status", "Origin: http://localhost\r\nX-Quillmarsh: 1\r\n"), kForbidden);
    EXPECT_EQ(s.get("/status", "Origin: File://\r\nX-Quillmarsh: 1\r\n"), kForbidden);  // case counts
    EXPECT_EQ(s.calls.size(), 1u);
}

// The cases where reading a head loosely once let a page's request through
// or left a program's request unanswered.
TEST(ControlServer, ReadsHeadsAsHttpDoesAndTakesOriginsExactly) {
    Served s;
    const QByteArray key = "X-Quillmarsh: 1\r\n";
    // A bare CR is no line end: an Origin behind it is neither skipped nor
    // read as a line of its own; the head is refused.
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\r\n" + key + "X-A: 1\rOrigin: http://evil.example\r\n\r\n"),
              kForbidden);
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\r\nX-Quillmarsh: 1\rHost: evil.example\r\n\r\n"), kForbidden);
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\r\n" + key + "\rOrigin: http://evil.example\r\n\r\n"), kForbidden);
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\r\n" + key + "\rHost: evil.example\r\n\r\n"), kForbidden);
    // Lines ended by LF alone are answered at once, like any head.
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\nX-Quillmarsh: 1\n\n"), kOk);
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\r\nX-Quillmarsh: 1\n\r\n"), kOk);
    EXPECT_EQ(exchange(s.port(), "GET /status HTTP/1.1\nOrigin: http://evil.example\nX-Quillmarsh: 1\n\n"), kForbidden);
    // "file" as the scheme, not as the first letters of one or of a host.
    for (const QByteArray origin : {"filesystem:http://evil.example", "file.evil.test", "file", "file:",
                                    "file://a http://evil.example", "file://,http://evil.example"})
        EXPECT_EQ(s.get("/status", "Origin: " + origin + "\r\n" + key), kForbidden) << origin.constData();
    EXPECT_EQ(s.get("/status", "Origin: file:///home/u/page.html\r\n" + key),
              full("200 OK", R"({"ok":true})", "file:///home/u/page.html"));
    // The same line twice, in either order: refused, whichever would win.
    EXPECT_EQ(s.get("/status", "Origin: http://evil.example\r\nOrigin: file://\r\n" + key), kForbidden);
    EXPECT_EQ(s.get("/status", "Origin: file://\r\norigin: file://\r\n" + key), kForbidden);
    EXPECT_EQ(s.get("/status", "Host: rebound.example\r\nHost: 127.0.0.1\r\n" + key), kForbidden);
    EXPECT_EQ(exchange(s.port(), "OPTIONS /status HTTP/1.1\r\nOrigin: null\r\nOrigin: file://\r\n\r\n"),
              preflight("403 Forbidden"));
    // An empty Origin is a page's, not a program's.
    EXPECT_EQ(s.get("/status", "Origin: \r\n" + key), kForbidden);
    EXPECT_EQ(s.get("/status", "Origin:\r\n" + key), kForbidden);
    ASSERT_EQ(s.calls.size(), 3u);
}

TEST(ControlServer, AnswersPreflightsInTheirOwnForm) {
    Served s;
    auto options = [&](const QByteArray& headers) {
        return exchange(s.port(), "OPTIONS /status HTTP/1.1\r\n" + headers +
                                      "Access-Control-Request-Headers: x-quillmarsh\r\n\r\n");
    };
    EXPECT_EQ(options("Origin: file:///tmp/page.html\r\n"), preflight("204 No Content", "file:///tmp/page.html"));
    EXPECT_EQ(options(""), preflight("204 No Content"));
    EXPECT_EQ(options("Origin: null\r\n"), preflight("403 Forbidden"));
    EXPECT_EQ(options("Origin: https://example.com\r\n"), preflight("403 Forbidden"));
    EXPECT_EQ(options("Host: rebound.example:" + QByteArray::number(s.port()) + "\r\n"),
              preflight("403 Forbidden"));
    EXPECT_TRUE(s.calls.empty());  // a preflight runs nothing
}

TEST(ControlServer, RefusesHostsOtherThanThisMachinesLoopbackNames) {
    Served s;
    const QByteArray port = QByteArray::number(s.port());
    for (const QByteArray& host : QList<QByteArray>{"127.0.0.1", "127.0.0.1:" + port, "localhost", "localhost:" + port, "LocalHost"})
        EXPECT_EQ(s.get("/status", "Host: " + host + "\r\nX-Quillmarsh: 1\r\n"), kOk) << host.constData();
    // After DNS rebinding a page's requests are same-origin, carry no
    // Origin, and name the page's host.
    for (const QByteArray& host : QList<QByteArray>{"rebound.example:" + port, "rebound.example", "127.0.0.1:1", "127.0.0.2",
                                  "localhost.example", "[::1]:" + port, ""})
        EXPECT_EQ(s.get("/status", "Host: " + host + "\r\nX-Quillmarsh: 1\r\n"), kForbidden) << host.constData();
    EXPECT_EQ(s.calls.size(), 5u);
}

TEST(ControlServer, TakesTheCommandFromThePathAndTheParametersFromTheQuery) {
    Served s;
    auto call = [&](const QByteArray& target) {
        s.calls.clear();
        EXPECT_EQ(s.get(target), kOk) << target.constData();
        return s.calls.empty() ? Call{} : s.calls.back();
    };
    EXPECT_EQ(call("/").command, "");
    Call c = call("/monitor/?action=dim");
    EXPECT_EQ(c.command, "monitor");
    EXPECT_EQ(c.parameters, (ControlServer::Parameters{{"action", "dim"}}));
    c = call("/download?url");
    EXPECT_EQ(c.command, "download");
    EXPECT_EQ(c.parameters, (ControlServer::Parameters{{"url", ""}}));
    EXPECT_EQ(call("/x?a=1&a=2").parameters, (ControlServer::Parameters{{"a", "2"}}));
    c = call("//profile//?name=Near%20field&q=a+b%2Bc&amp=%26");
    EXPECT_EQ(c.command, "profile");
    EXPECT_EQ(c.parameters, (ControlServer::Parameters{{"name", "Near field"}, {"q", "a+b+c"}, {"amp", "&"}}));
    EXPECT_EQ(call("/caf%C3%A9/x").command, "café/x");
    EXPECT_EQ(call("/play?path=%2Fmusic%2Fa%20b.wav").parameters.at("path"), "/music/a b.wav");
}

TEST(ControlServer, RefusesHeadsTheParserRejects) {
    Served s;
    for (const QByteArray head : {"GET", "GET ", "FOO /status HTTP/1.1\r\nX-Quillmarsh: 1",
                                  "get /status HTTP/1.1\r\nX-Quillmarsh: 1",
                                  "GET /status HTTP/1.1\r\n: 1\r\nX-Quillmarsh: 1",
                                  "GET /status HTTP/1.1\r\nno colon\r\nX-Quillmarsh: 1",
                                  "GET /a b HTTP/1.1\r\nX-Quillmarsh: 1", "OPTIONS", ""})
        EXPECT_EQ(exchange(s.port(), head + "\r\n\r\n"), kForbidden) << head.constData();
    EXPECT_TRUE(s.calls.empty());
}

TEST(ControlServer, AssemblesAHeadSentInSmallPieces) {
    Served s;
    RawConnection c("127.0.0.1", s.port());
    const QByteArray request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Quillmarsh: 1\r\n\r\n";
    for (char byte : request) {
        EXPECT_TRUE(s.calls.empty());
        c.send(QByteArray(1, byte));
        runFor(2ms);
    }
    EXPECT_EQ(c.receive(), kOk);
    EXPECT_EQ(s.calls.size(), 1u);
}

TEST(ControlServer, KeepsTheHeadLimitToTheByte) {
    Served s;
    // A head of `size` bytes without its blank line, padded in a header.
    auto head = [](qsizetype size) {
        QByteArray h = "GET /status HTTP/1.1\r\nX-Quillmarsh: 1\r\nX-Pad: ";
        return h + QByteArray(size - h.size(), 'p');
    };
    {
        // 16384 bytes, then the blank line in a later read: answered.
        RawConnection c("127.0.0.1", s.port());
        c.send(head(16384));
        runFor(200ms);
        c.send("\r\n\r\n");
        EXPECT_EQ(c.receive(), kOk);
    }
    {
        // 16385 bytes without it: dropped without a reply.
        RawConnection c("127.0.0.1", s.port());
        c.send(head(16385));
        EXPECT_EQ(c.receive(), "");
        EXPECT_TRUE(c.closed());
    }
    {
        // The blank line arriving with the bytes that pass the limit still counts.
        RawConnection c("127.0.0.1", s.port());
        c.send(head(16000));
        runFor(200ms);
        c.send(QByteArray("\r\nX-More: ") + QByteArray(1000, 'm') + "\r\n\r\n");
        EXPECT_EQ(c.receive(), kOk);
    }
    EXPECT_EQ(s.calls.size(), 2u);
}

TEST(ControlServer, ReadsNothingAfterTheHead) {
    Served s;
    // A body announced but never sent: the reply comes from the head alone.
    {
        RawConnection c("127.0.0.1", s.port());
        c.send("POST /status HTTP/1.1\r\nX-Quillmarsh: 1\r\nContent-Length: 1000\r\n\r\n");
        EXPECT_EQ(c.receive(), kOk);
    }
    // A body and a second request in the same bytes: one reply, then the close.
    {
        RawConnection c("127.0.0.1", s.port());
        c.send("POST /first HTTP/1.1\r\nX-Quillmarsh: 1\r\nContent-Length: 4\r\n\r\nbody"
               "GET /second HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n");
        EXPECT_EQ(c.receive(), kOk);
    }
    // The client shuts its side down right after the head: still answered.
    {
        RawConnection c("127.0.0.1", s.port());
        c.send("GET /third HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n");
        c.shutdownWrite();
        EXPECT_EQ(c.receive(), kOk);
    }
    ASSERT_EQ(s.calls.size(), 3u);
    EXPECT_EQ(s.calls[0].command, "status");
    EXPECT_EQ(s.calls[1].command, "first");
    EXPECT_EQ(s.calls[2].command, "third");
}

TEST(ControlServer, TurnsTheHandlersReplyIntoStatusAndBody) {
    ControlServer server(0);
    server.start();
    const quint16 port = server.serverPort();
    const QByteArray request = "GET /status HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n";
    EXPECT_EQ(exchange(port, request), full("400 Bad Request", R"({"error":"not ready"})"));

    auto answerWith = [&](json reply) {
        server.setHandler([reply](const std::string&, const ControlServer::Parameters&) { return reply; });
        return exchange(port, request);
    };
    EXPECT_EQ(answerWith({{"error", "no such profile"}}), full("400 Bad Request", R"({"error":"no such profile"})"));
    EXPECT_EQ(answerWith({{"ok", true}, {"error", nullptr}}), full("400 Bad Request", R"({"error":null,"ok":true})"));
    // JSON has no NaN: the status stays, the body is "{}".
    EXPECT_EQ(answerWith({{"level", std::nan("")}}), full("200 OK", "{}"));
    EXPECT_EQ(answerWith({{"error", "x"}, {"v", {1.0, std::numeric_limits<double>::infinity()}}}),
              full("400 Bad Request", "{}"));
    // A file name that is not UTF-8 is sent with a replacement character.
    EXPECT_EQ(answerWith({{"file", "/music/a\xff.wav"}}), full("200 OK", "{\"file\":\"/music/a\xef\xbf\xbd.wav\"}"));
    // Nothing (a default json) is the empty object.
    EXPECT_EQ(answerWith(json()), full("200 OK", "{}"));

    server.setHandler([](const std::string&, const ControlServer::Parameters&) -> json {
        throw std::runtime_error("the engine is gone");
    });
    EXPECT_EQ(exchange(port, request), full("400 Bad Request", R"({"error":"the engine is gone"})"));
}

TEST(ControlServer, ClosesHeadsThatTakeTooLongEvenWhenTheyTrickle) {
    Served s;
    s.server.setTimeouts(400ms, 400ms);
    RawConnection idle("127.0.0.1", s.port());
    RawConnection trickle("127.0.0.1", s.port());
    ASSERT_TRUE(runUntil([&] { return s.server.openConnections() == 2; }));
    // A byte every 100 ms: the limit counts from the accept, not the last byte.
    const QByteArray part = "GET /status HTTP/1.1\r\nX-Pad: ";
    for (int i = 0; i < 40 && !trickle.closed(); ++i) {
        trickle.send(part.mid(i % part.size(), 1));
        trickle.receive(100ms);
    }
    EXPECT_TRUE(trickle.closed());
    EXPECT_EQ(idle.receive(2s), "");
    EXPECT_TRUE(idle.closed());
    EXPECT_EQ(s.server.openConnections(), 0);
    EXPECT_EQ(openServerSockets(s.port()), 0);
    EXPECT_TRUE(s.calls.empty());
}

TEST(ControlServer, ClosesAReplyThatIsNeverRead) {
    Served s;
    s.server.setTimeouts(5s, 300ms);
    // Far more than the kernel's socket buffers hold.
    s.reply = [](const std::string&) { return json{{"blob", std::string(32 << 20, 'x')}}; };
    RawConnection c("127.0.0.1", s.port());
    c.send("GET /big HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n");
    ASSERT_TRUE(runUntil([&] { return s.calls.size() == 1; }));
    EXPECT_EQ(s.server.openConnections(), 1);
    EXPECT_TRUE(runUntil([&] { return s.server.openConnections() == 0; }, 3s));
    EXPECT_EQ(openServerSockets(s.port()), 0);
}

TEST(ControlServer, KeepsAtMost64ConnectionsAndClosesTheOldestUnansweredFirst) {
    Served s;
    // A reply that fills the kernel's buffers stays open (answered) until drained.
    s.reply = [](const std::string& command) {
        return command == "big" ? json{{"blob", std::string(32 << 20, 'x')}} : json{{"ok", true}};
    };
    RawConnection answered("127.0.0.1", s.port());
    answered.send("GET /big HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n");
    ASSERT_TRUE(runUntil([&] { return s.calls.size() == 1; }));
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 63; ++i)
        idle.push_back(std::make_unique<RawConnection>("127.0.0.1", s.port()));
    ASSERT_TRUE(runUntil([&] { return s.server.openConnections() == 64; }));

    QSignalSpy replies(&s.server, &ControlServer::answered);
    // Three newcomers at once push out the three oldest idle connections.
    std::vector<std::unique_ptr<RawConnection>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawConnection>("127.0.0.1", s.port()));
        clients.back()->send("GET /status HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n");
    }
    for (auto& client : clients)
        EXPECT_EQ(client->receive(), kOk);
    EXPECT_LE(s.server.openConnections(), 64);
    for (int i = 0; i < 3; ++i) {
        idle[i]->receive(2s);
        EXPECT_TRUE(idle[i]->closed()) << i;
    }
    runFor(50ms);
    for (int i = 3; i < 63; ++i) {
        idle[i]->receive(0ms);
        EXPECT_FALSE(idle[i]->closed()) << i;
    }
    EXPECT_FALSE(answered.closed());
    EXPECT_EQ(replies.count(), 3);
}

TEST(ControlServer, PausesAcceptingAfterAnAcceptErrorInsteadOfSpinning) {
    Served s;
    QSignalSpy acceptErrors(s.server.findChild<QTcpServer*>(), &QTcpServer::acceptError);
    // The client's socket exists before the limit leaves no descriptor for
    // the server's accept: the lowest free number is the new limit.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(s.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const char request[] = "GET /status HTTP/1.1\r\nX-Quillmarsh: 1\r\n\r\n";
    ASSERT_EQ(::send(fd, request, sizeof request - 1, MSG_NOSIGNAL), ssize_t(sizeof request - 1));
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    runFor(1000ms);
    getrusage(RUSAGE_SELF, &after);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    // About one attempt per 100 ms, not a loop burning the main thread.
    EXPECT_GE(acceptErrors.count(), 3);
    EXPECT_LE(acceptErrors.count(), 12);
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       1e-6 * ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec));
    EXPECT_LT(cpu, 0.5);
    // Accepting resumed by itself once descriptors were free again.
    QByteArray reply;
    runUntil([&] {
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0)
            reply.append(chunk, n);
        return n == 0;
    }, 3s);
    ::close(fd);
    EXPECT_EQ(reply, kOk);
}

TEST(ControlServer, StartsOnceAndStaysQuietWhenThePortIsTaken) {
    Served s;
    const quint16 port = s.port();
    s.server.start();
    EXPECT_EQ(s.server.serverPort(), port);
    EXPECT_EQ(s.get("/status"), kOk);

    ControlServer second(port);
    second.start();
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(second.serverPort(), 0);
}

TEST(ControlServer, ListensOnIPv4LoopbackAlone) {
    Served s;
    const quint16 port = s.port();
    const char hex[] = "0123456789ABCDEF";
    const std::string local = std::string("0100007F:") + hex[port >> 12] + hex[(port >> 8) & 15] +
                              hex[(port >> 4) & 15] + hex[port & 15];
    EXPECT_EQ(listeningEntries(port, false), std::vector<std::string>{local});
    EXPECT_TRUE(listeningEntries(port, true).empty());
    RawConnection other("127.0.0.2", port);
    EXPECT_FALSE(other.connected());
    EXPECT_EQ(other.connectError(), ECONNREFUSED);
    RawConnection six("::1", port);
    EXPECT_FALSE(six.connected());  // refused, or no IPv6 loopback at all
    EXPECT_TRUE(s.calls.empty());
}

// A bounded fuzz loop over the answer to a head: random and mutated heads
// never crash it, and every reply is one of the four statuses in the fixed
// form (the socket side adds only silence: dropped connections).
#include "app/shell/ControlServer.h"

#include "platform/HttpHead.h"

#include <QString>

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace qm;
using nlohmann::json;

namespace {

// Checks one reply's form; returns its status, or 0 with a failure.
int checkReply(const QByteArray& reply, const QByteArray& head) {
    const qsizetype end = reply.indexOf("\r\n\r\n");
    EXPECT_GE(end, 0) << head.toStdString();
    if (end < 0)
        return 0;
    QList<QByteArray> lines = (reply.left(end) + "\r\n").split('\n');
    lines.removeLast();
    static const std::set<QByteArray> statuses = {"HTTP/1.1 200 OK\r", "HTTP/1.1 204 No Content\r",
                                                  "HTTP/1.1 400 Bad Request\r", "HTTP/1.1 403 Forbidden\r"};
    EXPECT_TRUE(statuses.count(lines[0])) << lines[0].toStdString();
    const int status = lines[0].mid(9, 3).toInt();
    static const std::set<QByteArray> names = {"Access-Control-Allow-Origin", "Access-Control-Allow-Headers",
                                               "Access-Control-Allow-Methods", "Content-Type", "Content-Length",
                                               "Connection"};
    qsizetype length = -1;
    bool typed = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        EXPECT_TRUE(line.endsWith('\r')) << head.toStdString();
        const QByteArray name = line.left(line.indexOf(':'));
        EXPECT_TRUE(names.count(name)) << "a header line of its own: " << line.toStdString();
        EXPECT_EQ(line.chopped(1).indexOf('\r'), -1) << head.toStdString();
        typed = typed || name == "Content-Type";
        if (name == "Content-Length")
            length = line.mid(16).trimmed().toLongLong();
    }
    const QByteArray body = reply.mid(end + 4);
    EXPECT_EQ(length, body.size()) << head.toStdString();
    // The preflight form (204, or 403 to a preflight) has no body and no type.
    EXPECT_TRUE(typed || status == 204 || status == 403);
    if (!typed) {
        EXPECT_TRUE(body.isEmpty());
    } else {
        const json parsed = json::parse(body.toStdString(), nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << body.toHex().toStdString() << " for " << head.toHex().toStdString();
    }
    return status;
}

}  // namespace

TEST(ControlServerFuzz, AnswersEveryHeadInTheFixedForm) {
    std::mt19937 random(107);
    int calls = 0;
    // Echoes what it got, so that the decoding's output is serialised too.
    const ControlServer::Handler handler = [&](const std::string& command, const ControlServer::Parameters& p) {
        ++calls;
        json reply = {{"command", command}, {"parameters", p}};
        if (command.size() % 5 == 1)
            reply["error"] = "odd";
        if (command.size() % 7 == 2)
            reply["level"] = std::nan("");
        return reply;
    };
    const QByteArray seeds[] = {
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1:47806\r\nX-Quillmarsh: 1",
        "GET /monitor/?action=dim&db=-20 HTTP/1.1\r\nX-Quillmarsh: 1\r\nOrigin: file://",
        "OPTIONS /play HTTP/1.1\r\nOrigin: file:///home/a.html\r\nAccess-Control-Request-Headers: x-quillmarsh",
        "GET /play?path=%2Fmusic%2F%FF%C3%A9.wav&x HTTP/1.1\r\nx-quillmarsh: 1",
        "POST /profile?name=A+B HTTP/1.0\r\nX-Quillmarsh: 1\r\nContent-Length: 3",
    };
    const QByteArray alphabet = "GETPOSTOPTIONS /?&=%+#:;,.-_~\r\n\t 01aAfF\x7f\x80\xc3\xa9\xff";
    std::map<int, int> statuses;
    for (int i = 0; i < 60000; ++i) {
        QByteArray head = seeds[random() % std::size(seeds)];
        if (i % 5 == 0) {
            head.clear();
            for (int n = int(random() % 120); n > 0; --n)
                head += char(i % 10 == 0 ? char(random() % 256) : alphabet[random() % alphabet.size()]);
        } else {
            for (int e = int(1 + random() % 5); e > 0 && !head.isEmpty(); --e) {
                const qsizetype at = qsizetype(random() % head.size());
                switch (random() % 4) {
                    case 0: head[at] = char(random() % 256); break;
                    case 1: head.remove(at, 1 + qsizetype(random() % 6)); break;
                    case 2: head.insert(at, alphabet[random() % alphabet.size()]); break;
                    default: head.insert(at, seeds[random() % std::size(seeds)].mid(at, 12)); break;
                }
            }
        }
        // As the server hands it over: UTF-8 with invalid sequences replaced.
        const QByteArray valid = QString::fromUtf8(head).toUtf8();
        const int before = calls;
        const QByteArray reply = ControlServer::respond(valid, (i % 11 == 0) ? nullptr : handler, 47806);
        const int status = checkReply(reply, head);
        ++statuses[status];
        // The handler runs only for what the checks admit.
        if (calls > before) {
            const auto parsed = HttpHead::parse(valid.toStdString());
            ASSERT_TRUE(parsed);
            ASSERT_TRUE(parsed->header("x-quillmarsh"));
            EXPECT_EQ(*parsed->header("x-quillmarsh"), "1");
            EXPECT_NE(parsed->method, "OPTIONS");
            const std::string* origin = parsed->header("origin");
            EXPECT_TRUE(!origin || origin->empty() || origin->starts_with("file")) << head.toStdString();
        }
        if (::testing::Test::HasFailure())
            break;
    }
    // The loop reaches every answer, not only refusals.
    for (int status : {200, 204, 400, 403})
        EXPECT_GT(statuses[status], 100) << status;
}

// Round trips of /status to the control port, beside a floor in the same
// program: a bare QTcpServer that answers the same reply bytes without
// parsing anything. Each round trip is a new connection (one request per
// connection, as the port works), from a blocking client on the main
// thread to a server with its own event loop on another thread.
//
// Counters: round trips per second and the 99th percentile in microseconds;
// the closing line gives the ratios to the floor. Rough figures on a
// shared machine: compare the ratio, not the absolutes.
#include "app/shell/ControlServer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kRequest[] = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Quillmarsh: 1\r\n\r\n";
const QByteArray kReply =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
    "Connection: close\r\n\r\n{\"ok\":true}";

// A thread with an event loop, on which `make` builds the server (kept in
// `objects`, which go on the same thread); gives the port.
class ServerThread {
public:
    using Objects = std::vector<std::unique_ptr<QObject>>;

    explicit ServerThread(const std::function<quint16(Objects&)>& make) {
        thread_.start();
        context_->moveToThread(&thread_);
        onThread([&] { port_ = make(objects_); });
    }
    ~ServerThread() {
        onThread([&] { objects_.clear(); });
        context_->deleteLater();
        thread_.quit();
        thread_.wait();
    }
    quint16 port() const { return port_; }

private:
    void onThread(const std::function<void()>& work) {
        QMetaObject::invokeMethod(context_, work, Qt::BlockingQueuedConnection);
    }

    QThread thread_;
    QObject* context_ = new QObject;
    Objects objects_;
    quint16 port_ = 0;
};

template <typename T>
T* keep(ServerThread::Objects& objects, std::unique_ptr<T> object) {
    T* raw = object.get();
    objects.push_back(std::move(object));
    return raw;
}

quint16 startControlServer(ServerThread::Objects& objects) {
    auto* server = keep(objects, std::make_unique<qm::ControlServer>(0));
    server->setHandler([](const std::string&, const qm::ControlServer::Parameters&) {
        return nlohmann::json{{"ok", true}};
    });
    server->start();
    return server->serverPort();
}

quint16 startFloor(ServerThread::Objects& objects) {
    auto* server = keep(objects, std::make_unique<QTcpServer>());
    server->listen(QHostAddress(QHostAddress::LocalHost), 0);
    QObject::connect(server, &QTcpServer::newConnection, server, [server] {
        while (QTcpSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (!socket->readAll().contains("\r\n\r\n"))
                    return;  // a head in pieces; not in this benchmark
                socket->write(kReply);
                socket->flush();
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return server->serverPort();
}

bool roundTrip(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1)) {
        char chunk[1024];
        ssize_t n;
        while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
            reply.append(chunk, size_t(n));
    }
    ::close(fd);
    return reply.size() == size_t(kReply.size());
}

// Every round trip of both rounds of a server, for the closing ratios.
struct Figures {
    std::vector<double> latencies;  // microseconds
    double seconds = 0;
};
std::map<std::string, Figures> results;

double p99(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

void run(benchmark::State& state, quint16 port, const std::string& name) {
    std::vector<double> latencies;
    latencies.reserve(size_t(state.max_iterations));
    int failed = 0;
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        failed += roundTrip(port) ? 0 : 1;
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["round_trips_per_s"] = double(latencies.size()) / seconds;
    state.counters["p99_us"] = p99(latencies);
    state.counters["failed"] = failed;
    Figures& f = results[name];
    f.latencies.insert(f.latencies.end(), latencies.begin(), latencies.end());
    f.seconds += seconds;
}

void BM_StatusRoundTrip(benchmark::State& state) {
    ServerThread server(startControlServer);
    run(state, server.port(), "control");
}

void BM_FixedReplyFloor(benchmark::State& state) {
    ServerThread server(startFloor);
    run(state, server.port(), "floor");
}

}  // namespace

// Alternated, so that a change in the machine's load falls on both; a fixed
// count, so that each registration runs once and all its trips count.
constexpr int kTrips = 5000;
BENCHMARK(BM_FixedReplyFloor)->Iterations(kTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusRoundTrip)->Iterations(kTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FixedReplyFloor)->Iterations(kTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusRoundTrip)->Iterations(kTrips)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (results.count("control") && results.count("floor")) {
        const Figures& c = results["control"];
        const Figures& f = results["floor"];
        const double cRate = double(c.latencies.size()) / c.seconds;
        const double fRate = double(f.latencies.size()) / f.seconds;
        std::printf("control port / floor: %.0f / %.0f round trips per second (floor %.2fx the port), "
                    "p99 %.0f / %.0f us (port %.2fx the floor)\n",
                    cRate, fRate, fRate / cRate, p99(c.latencies), p99(f.latencies), p99(c.latencies) / p99(f.latencies));
    }
    return 0;
}

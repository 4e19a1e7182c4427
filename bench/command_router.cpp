// The control port's "daw" request on a private desktop (Xvfb, openbox): a
// client sends `GET /daw?cmd=play&app=reaper` with the control header to the
// port, which the command table serves over real models; timed from the
// request's send to the KeyRelease that a key-recording stand-in of the
// workstation stamps (CLOCK_MONOTONIC), p50 and p99 over 200 requests with
// the workstation in front, beside the floor in the same run, keystroke by
// keystroke: `xdotool key space` typed into the same window (the same XTEST
// path, plus a process start).
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Latencies.h"
#include "app/core/EventLoopQueue.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/editor/EditorModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/CommandRouter.h"
#include "app/shell/ControlServer.h"
#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/Workstations.h"
#include "playback/PlaybackEngine.h"
#include "support/DesktopSession.h"
#include "support/KeyRecorder.h"
#include "support/TempDir.h"

namespace {

using qm::bench::nowNs;
using namespace std::chrono_literals;

// One request on a blocking socket of its own; the reply is read to the
// server's close. Stores when the request was sent.
bool request(quint16 port, const std::string& target, int64_t& sentNs) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const std::string head = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nX-Quillmarsh: 1\r\n\r\n";
    sentNs = nowNs();
    ok = ok && send(fd, head.data(), head.size(), MSG_NOSIGNAL) == ssize_t(head.size());
    std::string reply;
    char buffer[4096];
    ssize_t n = 0;
    while (ok && (n = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, size_t(n));
    close(fd);
    return ok && reply.starts_with("HTTP/1.1 200 OK");
}

struct Rig {
    qm::test::DesktopSession& session = qm::test::sharedDesktopSession();
    qm::test::TempDir dir;
    std::unique_ptr<qm::DesktopWindows> windows = qm::makeX11DesktopWindows(session.display());
    std::unique_ptr<qm::Workstations> workstations = qm::makeDesktopWorkstations(*windows);
    std::shared_ptr<qm::UserDefaults> defaults =
        std::make_shared<qm::UserDefaults>(QString::fromStdString((dir / "settings.ini").string()));
    qm::SettingsStore settings{defaults};
    qm::EventLoopQueue queue;
    qm::PlaybackEngine engine{queue};
    qm::PlayerModel player{engine, settings};
    qm::EditorModel editor{engine, settings};
    qm::MonitorEngine monitor{settings, defaults, queue};
    qm::CommandRouter router{settings, player, editor, monitor, *workstations, {}};
    qm::ControlServer server{0};
    qm::test::KeyRecorder reaper{session, {.instance = "reaper", .windowClass = "REAPER"}};

    Rig() {
        server.setHandler([this](const std::string& command, const qm::ControlServer::Parameters& parameters) {
            return router.handle(command, parameters);
        });
        server.start();
    }
};

// Made after the application object and gone before it.
std::unique_ptr<Rig> theRig;
Rig& rig() { return *theRig; }

// Milliseconds from `start` to the release of the keystroke that makes the
// recorder's log `count` keys long; negative when it never came.
double toRelease(const qm::test::KeyRecorder& recorder, size_t count, int64_t start) {
    if (!recorder.waitForKeys(count, 5)) return -1;
    const auto keys = recorder.keys();
    const auto& last = keys[count - 1];
    return last.press ? -1 : double(last.monotonicNs - start) / 1e6;
}

void Request(benchmark::State& state) {
    auto& r = rig();
    const quint16 port = r.server.serverPort();
    std::vector<double> daw, floor;
    int missed = 0;
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            r.reaper.activate();
            size_t count = r.reaper.keys().size() + 2;
            std::atomic<bool> done = false;
            bool answered = false;
            int64_t start = 0;
            std::thread client([&] {
                answered = request(port, "/daw?cmd=play&app=reaper", start);
                done = true;
            });
            while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            client.join();
            const double viaPort = toRelease(r.reaper, count, start);

            count = r.reaper.keys().size() + 2;
            start = nowNs();
            r.session.xdotool({"key", "space"});
            const double viaXdotool = toRelease(r.reaper, count, start);
            if (!answered || viaPort < 0 || viaXdotool < 0) {
                ++missed;
                continue;
            }
            daw.push_back(viaPort);
            floor.push_back(viaXdotool);
        }
    }
    qm::bench::reportBesideFloor(state, "request", daw, "xdotool", floor);
    state.counters["keystrokes"] = double(daw.size());
    state.counters["missed"] = missed;
}

}  // namespace

BENCHMARK(Request)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    theRig = std::make_unique<Rig>();
    auto& r = rig();
    if (!r.session.ok() || !r.reaper.ok() || !r.server.isListening()) {
        fprintf(stderr, "no desktop or port: %s %s\n", r.session.failure().c_str(), r.reaper.failure().c_str());
        theRig.reset();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theRig.reset();
    return 0;
}

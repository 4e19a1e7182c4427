// Launching the program on the private desktop: from the start of the
// process to the control port's first answer and to "Quillmarsh" mapped,
// beside a minimal Qt Widgets program mapping one window (the floor), both
// polled the same way; then the program's CPU use while idle and its
// resident memory after 30 s. Median of 5 launches each.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/DesktopSession.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

qm::test::DesktopSession& desktop() { return qm::test::sharedDesktopSession(); }

bool statusAnswers() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(47806);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const char request[] = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Quillmarsh: 1\r\n\r\n";
        if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
            char buffer[16] = {};
            ok = ::recv(fd, buffer, sizeof buffer - 1, 0) > 0 && std::string(buffer).rfind("HTTP/1.1", 0) == 0;
        }
    }
    ::close(fd);
    return ok;
}

bool mapped(const std::string& title) {
    return desktop().xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
}

std::vector<std::string> environment(const qm::test::TempDir& home) {
    return {"HOME=" + home.path().string(), "JACK_NO_START_SERVER=1", "QT_QPA_PLATFORM=xcb"};
}

// Seconds from the launch until `ready` holds (-1 after 30 s).
double timeUntil(pid_t pid, const std::function<bool()>& ready, Clock::time_point start) {
    while (Clock::now() - start < std::chrono::seconds(30)) {
        if (ready()) return std::chrono::duration<double>(Clock::now() - start).count();
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

void launch(benchmark::State& state, const std::vector<std::string>& argv, const std::function<bool()>& ready) {
    if (!desktop().ok()) {
        state.SkipWithError(("no desktop: " + desktop().failure()).c_str());
        return;
    }
    for (auto _ : state) {
        qm::test::TempDir home;
        const auto start = Clock::now();
        const pid_t pid = desktop().spawn(argv, environment(home));
        const double seconds = timeUntil(pid, ready, start);
        desktop().stop(pid);
        if (seconds < 0) {
            state.SkipWithError("not ready within 30 s");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

void BM_Launch_StatusAnswers(benchmark::State& state) { launch(state, {QM_PROGRAM}, statusAnswers); }
void BM_Launch_MainWindowMapped(benchmark::State& state) {
    launch(state, {QM_PROGRAM}, [] { return mapped("Quillmarsh"); });
}
void BM_Launch_Floor_WindowMapped(benchmark::State& state) {
    launch(state, {QM_FLOOR, "Floor"}, [] { return mapped("Floor"); });
}

long ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// CPU per second of idling (from 20 s to 30 s after the launch) and the
// resident memory at 30 s.
void BM_Idle_CpuAndMemory(benchmark::State& state) {
    if (!desktop().ok()) {
        state.SkipWithError("no desktop");
        return;
    }
    for (auto _ : state) {
        qm::test::TempDir home;
        const auto start = Clock::now();
        const pid_t pid = desktop().spawn({QM_PROGRAM}, environment(home));
        if (timeUntil(pid, [] { return mapped("Quillmarsh"); }, start) < 0) {
            desktop().stop(pid);
            state.SkipWithError("not mapped");
            return;
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(20));
        const long before = ticks(pid);
        std::this_thread::sleep_until(start + std::chrono::seconds(30));
        const long after = ticks(pid);
        state.counters["idle_cpu_percent"] = 100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / 10.0;
        state.counters["rss_MiB"] = double(rssKiB(pid)) / 1024.0;
        desktop().stop(pid);
        state.SetIterationTime(10);
    }
}

}  // namespace

BENCHMARK(BM_Launch_StatusAnswers)->UseManualTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Launch_MainWindowMapped)->UseManualTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Launch_Floor_WindowMapped)->UseManualTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Idle_CpuAndMemory)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();

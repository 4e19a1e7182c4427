// The file-manager tracker against a real Thunar on a private desktop:
//  - KeyToSelection: a key press (XTest) to onSelection, p50/p99 over 100
//    changes, beside the floor: the same "object:selection-changed" reaching
//    a bare libatspi listener in the same run;
//  - QueryTime: the main thread's time for one selection query in a folder
//    of 5,000 files (one file selected, and all of them: the first 40 read);
//  - PollCpu: the process's CPU with Thunar frontmost for 60 s, tracker on
//    and off, and Thunar's own CPU over the same time.
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include "app/core/EventLoopQueue.h"
#include "app/shell/FinderTracker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "Latencies.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }

// Runs the event loop, sleeping while it has nothing to do.
void idle(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        pump();
    }
    return true;
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double processCpuMs() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

double otherProcessCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
    }
    return (utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// The desktop, Thunar and the real services, made once for all benchmarks.
struct Desktop {
    qm::test::DesktopSession& session = qm::test::sharedDesktopSession();
    std::unique_ptr<qm::DesktopWindows> windows = qm::makeX11DesktopWindows();
    std::unique_ptr<qm::FileManagerAccessibility> files = qm::makeAtspiFileManagerAccessibility();
    qm::EventLoopQueue queue;
    Display* keyboard = XOpenDisplay(nullptr);

    ~Desktop() {
        if (keyboard) XCloseDisplay(keyboard);
    }

    pid_t startThunar(const fs::path& folder) {
        const pid_t pid = session.startThunar(folder);
        // Let it finish reading the folder before anything is timed.
        spinUntil([&] { return files->selection(pid, "", 40).outcome == qm::FileManagerAccessibility::Outcome::ok; },
                  60);
        return pid;
    }

    void key(KeySym symbol, bool shift = false) {
        const KeyCode code = XKeysymToKeycode(keyboard, symbol);
        const KeyCode shiftCode = XKeysymToKeycode(keyboard, XK_Shift_L);
        if (shift) XTestFakeKeyEvent(keyboard, shiftCode, True, CurrentTime);
        XTestFakeKeyEvent(keyboard, code, True, CurrentTime);
        XTestFakeKeyEvent(keyboard, code, False, CurrentTime);
        if (shift) XTestFakeKeyEvent(keyboard, shiftCode, False, CurrentTime);
        XFlush(keyboard);
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

Clock::time_point gFloorSeen;
void bareListener(AtspiEvent* event, void*) {
    if (gFloorSeen == Clock::time_point{}) gFloorSeen = Clock::now();
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void KeyToSelection(benchmark::State& state) {
    auto& d = desktop();
    qm::test::TempDir folder;
    for (int i = 0; i < 120; ++i) qm::test::writeBytes(folder / ("take " + std::to_string(1000 + i) + ".wav"), "x");
    d.startThunar(folder.path());
    qm::FinderTracker tracker(*d.windows, *d.files, d.queue, [] { return true; });
    Clock::time_point trackerSeen;
    tracker.onSelection = [&](const std::optional<fs::path>&) {
        if (trackerSeen == Clock::time_point{}) trackerSeen = Clock::now();
    };
    tracker.start();
    AtspiEventListener* listener = atspi_event_listener_new(bareListener, nullptr, nullptr);
    atspi_event_listener_register(listener, "object:selection-changed", nullptr);
    idle(1.0);

    std::vector<double> toTracker, toListener;
    int missed = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            trackerSeen = gFloorSeen = Clock::time_point{};
            const auto sent = Clock::now();
            d.key(i < 50 ? XK_Down : XK_Up);
            const bool seen = spinUntil(
                [&] { return trackerSeen != Clock::time_point{} && gFloorSeen != Clock::time_point{}; }, 5.0);
            if (!seen) {
                ++missed;
                continue;
            }
            toTracker.push_back(ms(trackerSeen - sent));
            toListener.push_back(ms(gFloorSeen - sent));
            // Quiet before the next key, so that no debounce spans two keys.
            idle(0.08);
        }
    }
    atspi_event_listener_deregister(listener, "object:selection-changed", nullptr);
    g_object_unref(listener);
    qm::bench::reportBesideFloor(state, "tracker", toTracker, "floor", toListener);
    state.counters["changes"] = double(toTracker.size());
    state.counters["missed"] = missed;
    d.session.quitThunar();
}

void QueryTime(benchmark::State& state) {
    auto& d = desktop();
    qm::test::TempDir folder;
    for (int i = 0; i < 5000; ++i) qm::test::writeBytes(folder / ("file " + std::to_string(10000 + i) + ".wav"), "");
    const pid_t pid = d.startThunar(folder.path());
    const bool all = state.range(0) != 0;
    const size_t expected = all ? 40 : 1;
    spinUntil(
        [&] {
            if (d.files->selection(pid, "", 40).paths.size() == expected) return true;
            d.session.xdotool({"key", all ? "ctrl+a" : "Down"});
            idle(0.5);
            return false;
        },
        120);
    // The first query of a window walks it; later ones reuse what it found.
    const auto coldStart = Clock::now();
    auto fresh = qm::makeAtspiFileManagerAccessibility();
    fresh->selection(pid, "", 40);
    const double cold = ms(Clock::now() - coldStart);

    std::vector<double> wall, cpu;
    size_t read = 0;
    for (auto _ : state) {
        const double cpu0 = threadCpuMs();
        const auto start = Clock::now();
        read = d.files->selection(pid, "", 40).paths.size();
        wall.push_back(ms(Clock::now() - start));
        cpu.push_back(threadCpuMs() - cpu0);
    }
    state.counters["wall_p50_ms"] = qm::bench::percentile(wall, 0.5);
    state.counters["wall_p99_ms"] = qm::bench::percentile(wall, 0.99);
    state.counters["cpu_p50_ms"] = qm::bench::percentile(cpu, 0.5);
    state.counters["first_query_ms"] = cold;
    state.counters["paths"] = double(read);
    d.session.quitThunar();
}

void PollCpu(benchmark::State& state) {
    auto& d = desktop();
    qm::test::TempDir folder;
    for (int i = 0; i < 200; ++i) qm::test::writeBytes(folder / ("take " + std::to_string(1000 + i) + ".wav"), "x");
    const pid_t pid = d.startThunar(folder.path());
    d.session.xdotool({"key", "Down"});
    const double seconds = double(state.range(0));
    auto measure = [&](bool tracking) {
        std::unique_ptr<qm::FinderTracker> tracker;
        if (tracking) {
            tracker = std::make_unique<qm::FinderTracker>(*d.windows, *d.files, d.queue, [] { return true; });
            tracker->start();
        }
        const double self0 = processCpuMs(), thunar0 = otherProcessCpuMs(pid);
        idle(seconds);
        return std::pair{(processCpuMs() - self0) / (seconds * 10.0), (otherProcessCpuMs(pid) - thunar0) / (seconds * 10.0)};
    };
    for (auto _ : state) {
        const auto [selfOn, thunarOn] = measure(true);
        const auto [selfOff, thunarOff] = measure(false);
        state.counters["self_pct_core_tracking"] = selfOn;
        state.counters["self_pct_core_idle"] = selfOff;
        state.counters["thunar_pct_core_tracking"] = thunarOn;
        state.counters["thunar_pct_core_idle"] = thunarOff;
    }
    d.session.quitThunar();
}

}  // namespace

BENCHMARK(KeyToSelection)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(QueryTime)->Arg(0)->Arg(1)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PollCpu)->Arg(60)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!qm::test::sharedDesktopSession().ok()) {
        fprintf(stderr, "no desktop: %s\n", qm::test::sharedDesktopSession().failure().c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The first opening of the monitor window in a run: from asking for the
// window to its first painted frame, in a fresh process each time (what
// the process loads once, the plug-in list and the device list, counts as
// it does for a user), with the system's LV2 plug-ins. The floor is a
// window of the same size with one label, opened the same way in the same
// kind of process. Each iteration runs one child; the manual time is the
// child's own measure, and the counters give the median of each and the
// ratio of the monitor's to the floor's. The goal: under 200 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/core/EventLoopQueue.h"
#include "app/core/SettingsStore.h"
#include "app/monitor/MonitorEngine.h"
#include "support/TempDir.h"
#include "ui/monitor/MonitorView.h"

using namespace qm;

namespace {

// Shows `make()`'s window and waits for its first paint; milliseconds.
double openAndPaint(const std::function<std::unique_ptr<QWidget>()>& make) {
    struct Painted : QObject {
        bool seen = false;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) seen = true;
            return false;
        }
    } painted;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QWidget> window = make();
    window->installEventFilter(&painted);
    window->show();
    while (!painted.seen && clock.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

int child(int argc, char** argv, const char* what) {
    QApplication app(argc, argv);
    test::TempDir dir;
    auto defaults = std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string()));
    SettingsStore settings(defaults);
    EventLoopQueue queue;
    MonitorEngine engine(settings, defaults, queue);
    double ms = 0;
    if (std::strcmp(what, "monitor") == 0) {
        ms = openAndPaint([&] {
            auto window = std::make_unique<QMainWindow>();
            window->setCentralWidget(new MonitorView(engine, settings));
            window->resize(760, 700);
            return std::unique_ptr<QWidget>(std::move(window));
        });
    } else {
        ms = openAndPaint([&] {
            auto window = std::make_unique<QMainWindow>();
            window->setCentralWidget(new QLabel(QStringLiteral("Monitor")));
            window->resize(760, 700);
            return std::unique_ptr<QWidget>(std::move(window));
        });
    }
    std::printf("opened in %.3f ms\n", ms);
    return 0;
}

double runChild(const char* what) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationFilePath(), {"--child", what});
    p.waitForFinished(120000);
    const QByteArray out = p.readAllStandardOutput();
    const qsizetype at = out.indexOf("opened in ");
    if (at < 0) return -1;
    return out.mid(at + 10).split(' ').front().toDouble();
}

std::vector<double> monitorTimes, floorTimes;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_FirstOpening(benchmark::State& state, const char* what, std::vector<double>* times) {
    for (auto _ : state) {
        const double ms = runChild(what);
        if (ms < 0) {
            state.SkipWithError("the child did not open its window");
            return;
        }
        times->push_back(ms);
        state.SetIterationTime(ms / 1000);
    }
    state.counters["median_ms"] = median(*times);
    if (times == &monitorTimes && !floorTimes.empty())
        state.counters["ratio_to_floor"] = median(monitorTimes) / median(floorTimes);
}

}  // namespace

// The floor first, so the monitor's ratio can be given.
BENCHMARK_CAPTURE(BM_FirstOpening, floor_window, "floor", &floorTimes)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstOpening, monitor_window, "monitor", &monitorTimes)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return child(argc, argv, argv[2]);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The floating panel following a dragged file-manager window on a private
// desktop (Xvfb, openbox, Thunar): the window is moved step by step from a
// connection of the benchmark's own, and a watching connection stamps, for
// each step, the window frame's ConfigureNotify (the floor: what the drag
// itself takes to be seen) and the panel frame's ConfigureNotify once the
// tracker has reported the new frame and the controller moved the panel,
// p50 and p99 over 200 steps, in one run.
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include "app/core/EventLoopQueue.h"
#include "app/shell/FinderTracker.h"
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"

#include <QApplication>
#include <QEventLoop>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>

#include "Latencies.h"
#include "support/DesktopSession.h"
#include "support/FakeDesktop.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The window manager's frame around a client: its child of the root.
Window frameOf(Display* display, Window window) {
    for (int depth = 0; depth < 64; ++depth) {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
        if (children) XFree(children);
        if (parent == root) return window;
        window = parent;
    }
    return 0;
}

struct Desktop {
    qm::test::DesktopSession& session = qm::test::sharedDesktopSession();
    qm::test::TempDir folder;
    std::unique_ptr<qm::DesktopWindows> windows;
    qm::test::FakeFileManagerAccessibility accessibility;
    std::unique_ptr<qm::EventLoopQueue> queue;
    std::unique_ptr<qm::FinderTracker> tracker;
    std::unique_ptr<qm::HUDController> controller;
    Display* mover = nullptr;
    Display* watcher = nullptr;

    ~Desktop() {
        if (mover) XCloseDisplay(mover);
        if (watcher) XCloseDisplay(watcher);
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

void DragFollow(benchmark::State& state) {
    auto& d = desktop();
    const Window thunar = d.session.thunarWindow();
    const Window thunarFrame = frameOf(d.watcher, thunar);
    const Window panelFrame = frameOf(d.watcher, d.controller->panel().winId());
    std::vector<double> window, panel;
    int missed = 0;
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            const int x = 100 + (i % 2) * 150;
            const auto start = Clock::now();
            XMoveWindow(d.mover, thunar, x, 120);
            XFlush(d.mover);
            std::optional<double> seen, followed;
            const auto deadline = start + std::chrono::seconds(3);
            while ((!seen || !followed) && Clock::now() < deadline) {
                QApplication::processEvents(QEventLoop::AllEvents, 1);
                while (XPending(d.watcher) > 0) {
                    XEvent event;
                    XNextEvent(d.watcher, &event);
                    if (event.type != ConfigureNotify) continue;
                    const auto& c = event.xconfigure;
                    if (c.window == thunarFrame && c.x == x && !seen) seen = ms(Clock::now() - start);
                    if (c.window == panelFrame && c.x == x && !followed) followed = ms(Clock::now() - start);
                }
            }
            if (!seen || !followed) {
                ++missed;
                continue;
            }
            window.push_back(*seen);
            panel.push_back(*followed);
        }
    }
    qm::bench::reportBesideFloor(state, "panel", panel, "window", window);
    state.counters["steps"] = double(panel.size());
    state.counters["missed"] = missed;
}

}  // namespace

BENCHMARK(DragFollow)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    auto& d = desktop();
    if (!d.session.ok()) {
        fprintf(stderr, "no desktop: %s\n", d.session.failure().c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (d.session.startThunar(d.folder.path()) <= 0) {
        fprintf(stderr, "no Thunar: %s\n", d.session.failure().c_str());
        return 1;
    }
    d.windows = qm::makeX11DesktopWindows(d.session.display());
    d.queue = std::make_unique<qm::EventLoopQueue>();
    d.tracker = std::make_unique<qm::FinderTracker>(*d.windows, d.accessibility, *d.queue, [] { return false; });
    d.controller = std::make_unique<qm::HUDController>(d.windows.get());
    d.tracker->onState = [&d](bool active, const std::optional<qm::DesktopRect>& frame) {
        d.controller->update(active, frame);
    };
    d.mover = XOpenDisplay(d.session.display().c_str());
    d.watcher = XOpenDisplay(d.session.display().c_str());
    if (!d.mover || !d.watcher) return 1;
    XSelectInput(d.watcher, DefaultRootWindow(d.watcher), SubstructureNotifyMask);
    d.tracker->start();
    d.session.activateThunar();
    if (!qm::test::waitUntil([&] { return d.controller->panel().isVisible(); }, 10,
                             [] { QApplication::processEvents(); })) {
        fprintf(stderr, "the panel did not appear\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    d.controller.reset();
    d.tracker.reset();
    return 0;
}

// The delay the key tap adds to a Space the handler declines, on a private
// desktop (Xvfb, openbox): from an XTEST press on a connection of the
// benchmark's own to the KeyPress in a recorder window with the file
// manager's WM_CLASS (the recorder's CLOCK_MONOTONIC stamp), p50 and p99
// over 200 presses with the tap's grab held and the handler declining, beside
// the same presses without the tap (the floor), in one run, press by press.
// The tap is served the way the application serves it: its connection is
// polled and read as soon as it is readable.
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include "app/shell/KeyTap.h"

#include <QCoreApplication>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <poll.h>

#include <chrono>
#include <cstdio>

#include "Latencies.h"
#include "support/DesktopSession.h"
#include "support/KeyRecorder.h"

namespace {

using Clock = std::chrono::steady_clock;

using qm::bench::nowNs;

struct Desktop {
    qm::test::DesktopSession& session = qm::test::sharedDesktopSession();
    std::unique_ptr<qm::DesktopWindows> windows = qm::makeX11DesktopWindows(session.display());
    std::unique_ptr<qm::KeyEventTap> tap = qm::makeKeyTapX11(session.display());
    qm::KeyTap keyTap{*windows, *tap};
    qm::test::KeyRecorder finder{session, {.instance = "thunar", .windowClass = "Thunar"}};
    Display* keyboard = XOpenDisplay(session.display().c_str());
    int offered = 0;
    int inputs = 0;

    ~Desktop() {
        if (keyboard) XCloseDisplay(keyboard);
    }

    void press(bool down) {
        XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, XK_space), down ? True : False, CurrentTime);
        XFlush(keyboard);
    }

    // Serves the tap until it has decided on a press (nothing else in
    // the loop, as in the application's idle event loop), then waits until
    // the recorder holds `count` keys; the stamp of the last, or -1.
    int64_t waitForKey(size_t count, bool press = true) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        const int decided = offered + inputs;
        while (press && offered + inputs == decided && Clock::now() < deadline) {
            pollfd p{tap->eventFd(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) tap->dispatchEvents();
        }
        while (Clock::now() < deadline) {
            const auto keys = finder.keys();
            if (keys.size() >= count) return keys[count - 1].monotonicNs;
            pollfd p{tap->eventFd(), POLLIN, 0};
            if (poll(&p, 1, 1) > 0) tap->dispatchEvents();
        }
        return -1;
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

void DeclinedSpace(benchmark::State& state) {
    auto& d = desktop();
    std::vector<double> tapped, floor;
    int missed = 0;
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            double withTap = -1, without = -1;
            for (const bool grab : {true, false}) {
                d.tap->grabSpace(grab ? d.finder.window() : 0);
                size_t count = d.finder.keys().size() + 1;
                const int64_t start = nowNs();
                d.press(true);
                const int64_t arrived = d.waitForKey(count);
                d.press(false);
                d.waitForKey(count + 1, false);
                (grab ? withTap : without) = arrived < 0 ? -1 : double(arrived - start) / 1e6;
            }
            if (withTap < 0 || without < 0) {
                ++missed;
                continue;
            }
            tapped.push_back(withTap);
            floor.push_back(without);
        }
    }
    qm::bench::reportBesideFloor(state, "tap", tapped, "untapped", floor);
    state.counters["presses"] = double(tapped.size());
    state.counters["offered"] = d.offered;
    state.counters["missed"] = missed;
}

}  // namespace

BENCHMARK(DeclinedSpace)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    auto& d = desktop();
    if (!d.session.ok() || !d.finder.ok() || !d.keyboard || !d.finder.activate()) {
        fprintf(stderr, "no desktop: %s %s\n", d.session.failure().c_str(), d.finder.failure().c_str());
        return 1;
    }
    d.keyTap.spaceHandler = [&d](bool) {
        ++d.offered;
        return false;
    };
    d.keyTap.finderInput = [&d] { ++d.inputs; };
    if (!d.keyTap.start()) {
        fprintf(stderr, "the key tap did not start\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Workstation control against a key-recording stand-in on a private desktop
// (Xvfb, openbox): from the call of DAWControl::send("play", "reaper") to the
// stand-in's KeyRelease of the key (its own CLOCK_MONOTONIC stamp), p50 and
// p99 over 200 keystrokes,
//  - Frontmost: the workstation already has the keyboard;
//  - Raise: another window has it, so the call brings the workstation to
//    the front first;
// each beside two floors in the same run, keystroke by keystroke:
// `xdotool key space` typed into the same window (the same XTEST path, plus
// a process start), and the bare path alone: XTestFakeKeyEvent down and up
// on a connection of the benchmark's own, flushed.
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include "app/shell/DAWControl.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Latencies.h"
#include "support/DesktopSession.h"
#include "support/KeyRecorder.h"

namespace {

using qm::bench::nowNs;

struct Desktop {
    qm::test::DesktopSession& session = qm::test::sharedDesktopSession();
    std::unique_ptr<qm::DesktopWindows> windows = qm::makeX11DesktopWindows(session.display());
    std::unique_ptr<qm::Workstations> workstations = qm::makeDesktopWorkstations(*windows);
    qm::DAWControl control{*workstations};
    qm::test::KeyRecorder reaper{session, {.instance = "reaper", .windowClass = "REAPER"}};
    qm::test::KeyRecorder bystander{session, {.instance = "bystander", .windowClass = "Bystander", .x = 600}};
    Display* keyboard = XOpenDisplay(session.display().c_str());

    ~Desktop() {
        if (keyboard) XCloseDisplay(keyboard);
    }

    void bareSpace() {
        const KeyCode code = XKeysymToKeycode(keyboard, XK_space);
        XTestFakeKeyEvent(keyboard, code, True, CurrentTime);
        XTestFakeKeyEvent(keyboard, code, False, CurrentTime);
        XFlush(keyboard);
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

// Milliseconds from `start` to the release of the keystroke that makes the
// recorder's log `count` keys long; negative when it never came.
double toRelease(const qm::test::KeyRecorder& recorder, size_t count, int64_t start) {
    if (!recorder.waitForKeys(count, 5)) return -1;
    const auto keys = recorder.keys();
    const auto& last = keys[count - 1];
    return last.press ? -1 : double(last.monotonicNs - start) / 1e6;
}

void run(benchmark::State& state, bool raise) {
    auto& d = desktop();
    std::vector<double> daw, floor, bare;
    int missed = 0;
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            if (raise) d.bystander.activate();
            else d.reaper.activate();
            size_t count = d.reaper.keys().size() + 2;
            int64_t start = nowNs();
            const std::string result = d.control.send("play", "reaper");
            const double viaControl = toRelease(d.reaper, count, start);

            d.reaper.activate();
            count = d.reaper.keys().size() + 2;
            start = nowNs();
            d.session.xdotool({"key", "space"});
            const double viaXdotool = toRelease(d.reaper, count, start);

            count = d.reaper.keys().size() + 2;
            start = nowNs();
            d.bareSpace();
            const double viaXTest = toRelease(d.reaper, count, start);
            if (viaControl < 0 || viaXdotool < 0 || viaXTest < 0 || result != "play \u2192 REAPER") {
                ++missed;
                continue;
            }
            daw.push_back(viaControl);
            floor.push_back(viaXdotool);
            bare.push_back(viaXTest);
        }
    }
    qm::bench::reportBesideFloor(state, "daw", daw, "xdotool", floor);
    qm::bench::reportBesideFloor(state, "daw", daw, "xtest", bare, "ratio_xtest");
    state.counters["keystrokes"] = double(daw.size());
    state.counters["missed"] = missed;
}

void Frontmost(benchmark::State& state) { run(state, false); }
void Raise(benchmark::State& state) { run(state, true); }

}  // namespace

BENCHMARK(Frontmost)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Raise)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    auto& d = desktop();
    if (!d.session.ok() || !d.reaper.ok() || !d.bystander.ok() || !d.keyboard) {
        fprintf(stderr, "no desktop: %s %s\n", d.session.failure().c_str(), d.reaper.failure().c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

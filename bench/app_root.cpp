// The composition root on a private desktop (Xvfb, openbox, Thunar) and a
// dummy JACK server with a stand-in playback device:
// - SpaceToSound: Space pressed in Thunar (XTEST, on a connection of the
//   benchmark's own) with an audio file selected that the player holds,
//   stopped, to the first sound of the new stream at the device, on the
//   server's clock; p50 and p99 over 30 presses, beside the floor, the same
//   start asked of the player directly (`PlayerModel::load` of the same
//   file with auto-play), press by press in one run.
// - StartUp: constructing the root over the desktop's pieces and start(),
//   in ms.
// Figures on a shared machine are rough.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "Latencies.h"
#include "MainLoop.h"
#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/player/PlayerModel.h"
#include "app/shell/Accessibility.h"
#include "app/shell/AppModel.h"
#include "app/shell/FinderTracker.h"
#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/FileManagerAccessibility.h"
#include "platform/desktop/KeyTapX11.h"
#include "support/AudioFiles.h"
#include "support/DesktopSession.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/TempDir.h"

// Last: Xlib's macros (Bool, None) clash with Qt's names.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace qm;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;
constexpr int kPeriod = 256;
constexpr const char* kDevice = "qmrootbench";

void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 1); }

bool pumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pump();
        if (cond()) return true;
        std::this_thread::sleep_for(100us);
    }
    return false;
}

AppPlatform desktopPieces(const std::filesystem::path& dir, const std::string& display) {
    AppPlatform p;
    p.defaults = std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()));
    p.dataFolder = dir / "data";
    p.windows = makeX11DesktopWindows(display);
    p.fileManager = makeAtspiFileManagerAccessibility();
    p.tap = makeKeyTapX11(display);
    DesktopWindows* windows = p.windows.get();
    p.accessibility = std::make_unique<BusAccessibility>(QDBusConnection::sessionBus(),
                                                         [windows] { return windows->available(); });
    p.workspace = std::make_unique<DesktopFileReveal>();
    p.controlPort = 0;
    return p;
}

struct Rig {
    test::DesktopSession& session = test::sharedDesktopSession();
    std::unique_ptr<test::JackServer> server = std::make_unique<test::JackServer>(kRate, kPeriod);
    std::unique_ptr<test::JackTestDevice> device;
    test::TempDir dir;
    test::TempDir folder;
    std::filesystem::path file = folder / "b.wav";
    Display* keyboard = nullptr;
    std::string failure;

    Rig() {
        if (!session.ok()) {
            failure = session.failure();
            return;
        }
        if (!server->running()) {
            failure = "jackd could not be started";
            return;
        }
        device = std::make_unique<test::JackTestDevice>(kDevice, 2, int64_t(kRate) * 600);
        test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
        BusAccessibility ax;
        ax.grant();
        pumpUntil([&] { return ax.trusted(); });
        keyboard = XOpenDisplay(session.display().c_str());
        if (session.startThunar(folder.path()) <= 0) failure = session.failure();
    }
    ~Rig() {
        if (keyboard) XCloseDisplay(keyboard);
        session.quitThunar();
    }

    void space() {
        const KeyCode code = XKeysymToKeycode(keyboard, XK_space);
        XTestFakeKeyEvent(keyboard, code, True, CurrentTime);
        XTestFakeKeyEvent(keyboard, code, False, CurrentTime);
        XFlush(keyboard);
    }
    // Server frames from `t0` to the first sound recorded after index `from`, or -1.
    int64_t sound(int64_t from, int64_t t0) const {
        int64_t t = -1;
        pumpUntil([&] { return (t = device->firstSoundTime(from)) >= 0; });
        return t < 0 ? -1 : t - t0;
    }
};

double framesToMs(int64_t frames) { return double(frames) * 1000.0 / kRate; }

void SpaceToSound(benchmark::State& state) {
    Rig rig;
    if (!rig.failure.empty()) {
        state.SkipWithError(rig.failure.c_str());
        return;
    }
    AppModel app(desktopPieces(rig.dir.path(), rig.session.display()));
    app.settings().update([](AppSettings& s) {
        auto& nearfield = s.profiles[1];
        nearfield.deviceUID = std::string("jack:") + kDevice;
        nearfield.outputs = {0, 1};
        s.activeProfileID = nearfield.id;
        s.autoPlay = false;
    });
    app.start();
    auto& player = app.player();
    auto files = makeAtspiFileManagerAccessibility();
    if (!rig.session.selectFirstRow([&] { return files->selection(rig.session.thunarPid(), "", 40).paths; },
                                    rig.file.string(), pump) ||
        !pumpUntil([&] { return player.info() && player.info()->url == rig.file; })) {
        state.SkipWithError("b.wav was not selected and loaded");
        return;
    }
    std::vector<double> path, floor;
    for (auto _ : state) {
        for (int i = 0; i < 30; ++i) {
            int64_t from = rig.device->recorded();
            int64_t t0 = rig.device->frameTime();
            rig.space();
            const int64_t a = rig.sound(from, t0);
            player.stop();
            pumpUntil([] { return false; }, 50ms);

            from = rig.device->recorded();
            t0 = rig.device->frameTime();
            player.load(rig.file, true);
            const int64_t b = rig.sound(from, t0);
            player.stop();
            pumpUntil([] { return false; }, 50ms);
            if (a < 0 || b < 0) {
                state.SkipWithError(a < 0 ? "Space made no sound" : "the direct start made no sound");
                return;
            }
            path.push_back(framesToMs(a));
            floor.push_back(framesToMs(b));
        }
    }
    bench::reportBesideFloor(state, "space", path, "direct", floor);
}
BENCHMARK(SpaceToSound)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void StartUp(benchmark::State& state) {
    auto& session = test::sharedDesktopSession();
    if (!session.ok()) {
        state.SkipWithError(session.failure().c_str());
        return;
    }
    test::TempDir dir;
    std::vector<double> ms;
    for (auto _ : state) {
        AppPlatform pieces = desktopPieces(dir.path(), session.display());
        const auto start = std::chrono::steady_clock::now();
        auto app = std::make_unique<AppModel>(std::move(pieces));
        app->start();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        state.PauseTiming();
        app.reset();
        pumpUntil([] { return false; }, 20ms);
        state.ResumeTiming();
    }
    state.counters["startup_p50_ms"] = bench::percentile(ms, 0.5);
    state.counters["startup_p99_ms"] = bench::percentile(ms, 0.99);
}
BENCHMARK(StartUp)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }

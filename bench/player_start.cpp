// Start latency of the audition player on a dummy JACK server, on the
// server's own clock: from the call of play(from:) to the first frame that
// is not silent at a stand-in playback device, in three states of the
// engine (the stream running, after the idle pause, at first use), at
// periods of 64 and 256 frames at 48 kHz. Beside it, on the same file and
// server, a plain JACK file player (sndfile-jackplay) from its launch to its
// first sound at the same device. Every figure is reported in periods (the
// floor is one period): latency frames / period. Each on a speaker profile
// and on a headphone profile (binaural rendering: at first use the program
// is launched on that profile, and its first play comes once the launch
// has settled, the binaural renderer begun at launch made). A run without
// sound is counted as a failed run, with its reason (<path>_failed_runs,
// the reasons in the label), never as a figure. And the time from the loss
// of the device being played to sound at the next one.
//
// The machine is shared: figures are rough.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/TempDir.h"

#include "Latencies.h"
#include "MainLoop.h"

extern char** environ;

using namespace qm;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;
constexpr const char* kDevice = "qmbench";

using bench::pumpUntil;

struct Rig {
    std::unique_ptr<test::JackServer> server;
    std::unique_ptr<test::JackTestDevice> device;
    test::TempDir dir;
    std::filesystem::path file;

    const int period;

    explicit Rig(int frames) : period(frames) {
        server = std::make_unique<test::JackServer>(kRate, period);
        if (!server->running()) return;
        device = std::make_unique<test::JackTestDevice>(kDevice, 2, int64_t(kRate) * 600);
        file = dir / "stairs.wav";
        test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
    }
    bool ok() const { return server->running() && device && device->ok(); }

    // Server frames from `t0` to the first sound recorded after index `from`.
    int64_t waitForSound(int64_t from, int64_t t0, const std::function<void()>& pump) const {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            pump();
            const int64_t t = device->firstSoundTime(from);
            if (t >= 0) return t - t0;
            std::this_thread::sleep_for(200us);
        }
        return -1;
    }
};

// The program as launched on the stand-in device: its settings stored
// before the player is made.
struct App {
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    const bool stored;
    PlayerModel model{engine, settings};

    explicit App(bool headphones) : stored(store(settings, headphones)) {
        // The launch settles: a renderer begun at launch is made.
        if (headphones)
            pumpUntil(queue, [&] { return engine.lastBinauralBuildCPU() > 0; }, 5s);
    }
    static bool store(SettingsStore& settings, bool headphones) {
        settings.update([&](AppSettings& s) {
            auto& nearfield = s.profiles[1];
            nearfield.deviceUID = std::string("jack:") + kDevice;
            nearfield.outputs = {0, 1};
            if (headphones) nearfield.kind = OutputProfile::Kind::headphones;
            s.activeProfileID = nearfield.id;
        });
        return true;
    }
    void pump() {
        QCoreApplication::processEvents();
        queue.runDue();
    }
};

enum class State { running, idle, firstUse };

// Why the player gave no figure: the message it shows, if any.
std::string failure(const std::string& what, PlayerModel& model) {
    const std::optional<std::string> message = model.message();
    return message ? what + " (\"" + *message + "\")" : what;
}

// One start of the player in `state`, in server frames, or why none.
bench::Run playerStart(Rig& rig, State state, bool headphones, std::unique_ptr<App>& app) {
    if (state == State::firstUse || !app) app = std::make_unique<App>(headphones);
    App& a = *app;
    if (!a.model.info()) {
        a.model.load(rig.file, false);
        if (!pumpUntil(a.queue, [&] { return a.model.info().has_value(); }))
            return bench::Run::failed(failure("the file did not load", a.model));
    }
    if (state != State::firstUse) {
        // Play a moment and stop: the output keeps running, silent.
        a.model.play(0);
        if (!pumpUntil(a.queue, [&] { return a.model.isPlaying(); }))
            return bench::Run::failed(failure("the play before the measured one did not start", a.model));
        a.model.stop();
        pumpUntil(a.queue, [] { return false; }, 50ms);
        if (state == State::idle) {
            a.queue.advance(PlaybackEngine::idleSeconds + 1);
            if (a.engine.isRunning()) return bench::Run::failed("the output ran on after the idle pause");
        }
    }
    const int64_t from = rig.device->recorded();
    const int64_t t0 = rig.device->frameTime();
    const int64_t xruns = a.engine.xruns();
    a.model.play(0);
    bool started = false;
    const int64_t latency = rig.waitForSound(from, t0, [&] {
        a.pump();
        started = started || a.model.isPlaying();
    });
    std::string why;
    if (latency < 0 && !started) why = failure("the player did not start", a.model);
    // The device's own recording says whether the server ran its cycles.
    if (latency < 0 && started)
        why = "the player played, but no sound reached the device within 10 s (the server ran " +
              std::to_string((rig.device->recorded() - from) / rig.period) + " cycles, " +
              std::to_string(a.engine.xruns() - xruns) + " missed)";
    a.model.stop();
    pumpUntil(a.queue, [] { return false; }, 30ms);
    return why.empty() ? bench::Run::of(double(latency)) : bench::Run::failed(why);
}

// One launch of the peer, in server frames, or why none.
bench::Run peerStart(Rig& rig) {
    const int64_t from = rig.device->recorded();
    // Both of its outputs to the stand-in's first port.
    const std::string port = std::string("-a") + kDevice + ":playback_1";
    const std::string path = rig.file.string();
    std::vector<char*> argv{const_cast<char*>("sndfile-jackplay"), const_cast<char*>(port.c_str()),
                            const_cast<char*>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int64_t t0 = rig.device->frameTime();
    const int rc = posix_spawnp(&pid, "sndfile-jackplay", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return bench::Run::failed("sndfile-jackplay could not be launched");
    const int64_t latency = rig.waitForSound(from, t0, [] {});
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::this_thread::sleep_for(50ms);
    if (latency < 0) return bench::Run::failed("no sound of sndfile-jackplay reached the device within 10 s");
    return bench::Run::of(double(latency));
}

void StartLatency(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    const auto which = static_cast<State>(state.range(1));
    const bool headphones = state.range(2) != 0;
    Rig rig(period);
    if (!rig.ok()) {
        state.SkipWithError("jackd could not be started");
        return;
    }
    std::unique_ptr<App> app;
    bench::Runs player, peer;
    for (auto _ : state) {
        player.add(playerStart(rig, which, headphones, app), 1.0 / period);
        peer.add(peerStart(rig), 1.0 / period);
    }
    app.reset();
    bench::reportFailures(state, {{"player", &player}, {"peer", &peer}});
    // Figures in periods; the "_ms" of the shared report reads "periods" here.
    for (const double p : {0.5, 0.99}) {
        const std::string suffix = p == 0.5 ? "p50" : "p99";
        state.counters["player_" + suffix + "_periods"] = bench::percentile(player.values, p);
        state.counters["peer_" + suffix + "_periods"] = bench::percentile(peer.values, p);
        state.counters["player_" + suffix + "_ms"] = bench::percentile(player.values, p) * period * 1000.0 / kRate;
    }
}

// From the loss of the device being played to (stand-in "qmlost", closed as
// when it is unplugged) to the first sound at the device playback moves to
// (the only one left: the server has no playback ports of its own), in
// server frames. The player plays a stereo file on a speaker profile.
void DeviceChangeToSound(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    test::JackServer server(kRate, period, 2, 0);
    if (!server.running()) {
        state.SkipWithError("jackd could not be started");
        return;
    }
    test::JackTestDevice next("qmnext", 2, int64_t(kRate) * 600);
    test::TempDir dir;
    const auto file = dir / "stairs.wav";
    test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
    std::vector<double> resumed;
    for (auto _ : state) {
        auto lost = std::make_unique<test::JackTestDevice>("qmlost", 2, int64_t(kRate) * 60);
        App a(false);
        a.settings.update([](AppSettings& s) { s.profiles[1].deviceUID = std::string("jack:qmlost"); });
        a.model.load(file, false);
        if (!pumpUntil(a.queue, [&] { return a.model.info().has_value(); })) break;
        a.model.setLoop(true);
        a.model.play(0);
        if (!pumpUntil(a.queue, [&] { return lost->firstSoundTime(0) >= 0; })) {
            state.SkipWithError("no sound at the first device");
            return;
        }
        const int64_t from = next.recorded();
        const int64_t t0 = next.frameTime();
        lost->close();
        const auto end = std::chrono::steady_clock::now() + 10s;
        int64_t at = -1;
        while (at < 0 && std::chrono::steady_clock::now() < end) {
            a.pump();
            at = next.firstSoundTime(from);
            std::this_thread::sleep_for(200us);
        }
        a.model.stop();
        pumpUntil(a.queue, [] { return false; }, 30ms);
        if (at < 0) {
            state.SkipWithError("playback never moved to the other device");
            return;
        }
        resumed.push_back(double(at - t0) / period);
    }
    for (const double p : {0.5, 0.99}) {
        const std::string suffix = p == 0.5 ? "p50" : "p99";
        state.counters["resume_" + suffix + "_periods"] = bench::percentile(resumed, p);
        state.counters["resume_" + suffix + "_ms"] = bench::percentile(resumed, p) * period * 1000.0 / kRate;
    }
}

}  // namespace

BENCHMARK(DeviceChangeToSound)->Arg(64)->Arg(256)->ArgName("period")->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Periods 64 and 256; states running (0), after the idle pause (1), first
// use (2); a speaker profile (0) or a headphone one (1).
BENCHMARK(StartLatency)
    ->ArgsProduct({{64, 256}, {0, 1, 2}, {0, 1}})
    ->ArgNames({"period", "state", "headphones"})
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }

// The sound on PipeWire beside its peers, on a private daemon with null
// sinks (what reaches a sink is recorded from its monitor ports, one quantum
// after it was played, for every path alike):
// - Start: the audition player's start, from the play request to the first
//   sound at the sink, at quanta 64, 256 and 1024, while the stream runs
//   (state 0) and at first use (state 2: the output opened, as at the first
//   play of a session), beside pw-play launched on the same file to the same
//   sink (process launch to sound), both timed alike: each begins once the
//   sink has been silent for a tenth of a second (so no tail of the run
//   before counts as its sound) and ends at the cycle that recorded its
//   first sound; a run without sound is a failed run, with its reason. And
//   beside our own JACK path's running start on a dummy server of period
//   256 at a stand-in device; in milliseconds and in quanta.
// - MonitorImpulse: the frames the monitor's stream adds to an impulse's way
//   from a source node to the sink, beside the source wired straight to it,
//   without inserts (0 added) and with a 256-frame delay whose latency the
//   stream reports (the added frames beside what its ports report).
// - RenderCPU: the render thread's CPU time per callback playing a 16-channel
//   file to a 9.1.6 device (quantum or period 256) on PipeWire and on JACK.
// - Failover: from the daemon's (or the server's) SIGKILL to the player
//   playing on, on the silent output, in milliseconds.
//
// The machine is shared: figures are rough.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "platform/AudioDuplex.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/DelayLine.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/PipeWireDaemon.h"
#include "support/Profiles.h"
#include "support/TempDir.h"

#include "Latencies.h"
#include "MainLoop.h"

extern char** environ;

using namespace qm;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;

using bench::pumpUntil;

struct App {
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    PlayerModel model{engine, settings};

    explicit App(const std::string& device, const std::optional<OutputProfile>& profile = std::nullopt) {
        settings.update([&](AppSettings& s) {
            if (profile) {
                s.profiles.push_back(*profile);
                s.activeProfileID = profile->id;
                return;
            }
            auto& nearfield = s.profiles[1];
            nearfield.deviceUID = device;
            nearfield.outputs = {0, 1};
            s.activeProfileID = nearfield.id;
        });
    }
    void pump() {
        QCoreApplication::processEvents();
        queue.runDue();
    }
    bool load(const std::filesystem::path& file) {
        model.load(file, false);
        return pumpUntil(queue, [&] { return model.info().has_value(); });
    }
};

// The private daemon, a recorder on the stereo sink's monitor, a file.
struct PipeWireRig {
    test::PipeWireDaemon& daemon = test::sharedPipeWire();
    test::OnlySound only{test::OnlySound::System::pipewire};
    std::unique_ptr<test::PipeWireTestNode> recorder;
    test::TempDir dir;
    std::filesystem::path file = dir / "stairs.wav";

    PipeWireRig() {
        if (!daemon.running() && !daemon.start()) return;
        recorder = test::PipeWireTestNode::recorder("qm-bench-ears", 2, int64_t(kRate) * 900);
        if (!recorder->ok() || !recorder->linkFrom(daemon, "qm-stereo:monitor_FL", 1) ||
            !recorder->linkFrom(daemon, "qm-stereo:monitor_FR", 2))
            recorder.reset();
        test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
    }
    bool ok() const { return recorder != nullptr; }

    // Waits until the sink has been silent for a tenth of a second (what an
    // earlier run played, a fade's tail included, has passed); whether it was
    // within 5 s.
    bool quiet(const std::function<void()>& pump) const {
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < end) {
            pump();
            const int64_t now = recorder->frames();
            if (now >= kRate / 10 && recorder->firstSound(now - kRate / 10) < 0) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    // Nanoseconds from `t0` (monotonic) to the start of the cycle that
    // recorded the first sound after index `from`; -1 when none came.
    int64_t soundAfter(int64_t from, int64_t t0, const std::function<void()>& pump) const {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            pump();
            const int64_t f = recorder->firstSound(from);
            if (f >= 0) return recorder->nanosAt(f) - t0;
            std::this_thread::sleep_for(200us);
        }
        return -1;
    }
};

// Why the player gave no figure: the message it shows, if any.
std::string failure(const std::string& what, PlayerModel& model) {
    const std::optional<std::string> message = model.message();
    return message ? what + " (\"" + *message + "\")" : what;
}

// One start of the player on `rig`, in nanoseconds, or why none: from the
// play request, once the sink has been silent a while, to the first sound
// recorded there.
bench::Run playerStart(PipeWireRig& rig, bool running, std::unique_ptr<App>& app) {
    if (!running || !app) {
        app = std::make_unique<App>("pw:qm-stereo");
        if (!app->load(rig.file)) return bench::Run::failed(failure("the file did not load", app->model));
    }
    App& a = *app;
    if (running) {
        a.model.play(0);
        if (!pumpUntil(a.queue, [&] { return a.model.isPlaying(); }))
            return bench::Run::failed(failure("the play before the measured one did not start", a.model));
        a.model.stop();
    }
    if (!rig.quiet([&] { a.pump(); })) return bench::Run::failed("the sink was not silent before the play");
    const int64_t from = rig.recorder->frames();
    const int64_t t0 = bench::nowNs();
    a.model.play(0);
    bool started = false;
    const int64_t latency = rig.soundAfter(from, t0, [&] {
        a.pump();
        started = started || a.model.isPlaying();
    });
    std::string why;
    if (latency < 0) why = started ? "the player played, but no sound reached the sink within 10 s"
                                   : failure("the player did not start", a.model);
    a.model.stop();
    return why.empty() ? bench::Run::of(double(latency)) : bench::Run::failed(why);
}

// One launch of pw-play to the same sink, in nanoseconds, or why none: from
// the launch, once the sink has been silent a while, to the first sound
// recorded there.
bench::Run peerStart(PipeWireRig& rig) {
    if (!rig.quiet([] {})) return bench::Run::failed("the sink was not silent before the launch");
    const int64_t from = rig.recorder->frames();
    const std::string path = rig.file.string();
    std::vector<char*> argv{const_cast<char*>("pw-play"), const_cast<char*>("--target"),
                            const_cast<char*>("qm-stereo"), const_cast<char*>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int64_t t0 = bench::nowNs();
    const int rc = posix_spawnp(&pid, "pw-play", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return bench::Run::failed("pw-play could not be launched");
    const int64_t latency = rig.soundAfter(from, t0, [] {});
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (latency < 0) return bench::Run::failed("no sound of pw-play reached the sink within 10 s");
    return bench::Run::of(double(latency));
}

// Our JACK path's running start at a stand-in device; nanoseconds on the
// server's clock, -1 on failure.
int64_t jackStart(test::JackTestDevice& device, const std::filesystem::path& file, std::unique_ptr<App>& app) {
    if (!app) {
        app = std::make_unique<App>("jack:qmbench");
        if (!app->load(file)) return -1;
    }
    App& a = *app;
    a.model.play(0);
    if (!pumpUntil(a.queue, [&] { return a.model.isPlaying(); })) return -1;
    a.model.stop();
    pumpUntil(a.queue, [] { return false; }, 50ms);
    const int64_t from = device.recorded();
    const int64_t t0 = device.frameTime();
    a.model.play(0);
    int64_t latency = -1;
    pumpUntil(a.queue, [&] {
        const int64_t t = device.firstSoundTime(from);
        if (t >= 0) latency = (t - t0) * 1000000000 / kRate;
        return t >= 0;
    });
    a.model.stop();
    pumpUntil(a.queue, [] { return false; }, 30ms);
    return latency;
}

void Start(benchmark::State& state) {
    const int quantum = static_cast<int>(state.range(0));
    const bool running = state.range(1) == 0;
    bench::Runs player, peer;
    std::vector<double> jack;
    {
        PipeWireRig rig;
        if (!rig.ok()) {
            state.SkipWithError("the PipeWire daemon could not be started");
            return;
        }
        rig.daemon.forceQuantum(quantum);
        std::unique_ptr<App> app;
        for (auto _ : state) {
            player.add(playerStart(rig, running, app), 1e-6);
            peer.add(peerStart(rig), 1e-6);
        }
        app.reset();
        rig.daemon.forceQuantum(0);
    }
    // Our JACK path, the same player and file, while its stream runs.
    if (running) {
        test::OnlySound only(test::OnlySound::System::jack);
        test::JackServer server(kRate, 256);
        test::JackTestDevice device("qmbench", 2, int64_t(kRate) * 600);
        test::TempDir dir;
        const auto file = dir / "stairs.wav";
        test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
        std::unique_ptr<App> app;
        for (size_t i = 0; server.running() && device.ok() && i < player.values.size(); ++i) {
            const int64_t c = jackStart(device, file, app);
            if (c >= 0) jack.push_back(double(c) * 1e-6);
        }
    }
    bench::reportFailures(state, {{"player", &player}, {"pw_play", &peer}});
    const double quantumMs = quantum * 1000.0 / kRate;
    bench::reportBesideFloor(state, "player", player.values, "pw_play", peer.values, "player_over_pw_play");
    for (const double p : {0.5, 0.99}) {
        const std::string suffix = p == 0.5 ? "p50" : "p99";
        state.counters["player_" + suffix + "_quanta"] = bench::percentile(player.values, p) / quantumMs;
        // Within 2 quanta + 5 ms of the request, the recording's quantum aside.
        state.counters["player_" + suffix + "_aim_ms"] = 3 * quantumMs + 5;
        if (!jack.empty()) {
            state.counters["jack256_" + suffix + "_ms"] = bench::percentile(jack, p);
            state.counters["player_over_jack256_" + suffix] =
                bench::percentile(player.values, p) / bench::percentile(jack, p);
        }
    }
}

// Impulses of 0.5 every 4801 frames from frame 100 on.
std::vector<std::vector<float>> impulses() {
    std::vector<std::vector<float>> s(2, std::vector<float>(4801, 0.0f));
    s[0][100] = s[1][100] = 0.5f;
    return s;
}


// Median frames between an impulse leaving the source and arriving, over
// impulses around which no node missed a cycle; -1 when none.
double medianArrival(const test::PipeWireTestNode& source, const test::PipeWireTestNode& rec, int64_t from) {
    std::vector<double> late;
    for (int64_t r = rec.firstSound(from); r >= 0 && late.size() < 20; r = rec.firstSound(r + 1)) {
        const int64_t clock = rec.clockAt(r);
        const int64_t playing = source.frameAt(clock);
        if (playing < 0 || !rec.steadyAt(clock) || !source.steadyAt(clock)) continue;
        late.push_back(double(((playing - 100) % 4801 + 4801) % 4801));
    }
    return late.empty() ? -1 : bench::percentile(late, 0.5);
}

void MonitorImpulse(benchmark::State& state) {
    const int quantum = static_cast<int>(state.range(0));
    const auto delay = static_cast<uint32_t>(state.range(1));
    test::OnlySound only(test::OnlySound::System::pipewire);
    test::PipeWireDaemon& daemon = test::sharedPipeWire();
    if (!daemon.running() && !daemon.start()) {
        state.SkipWithError("the PipeWire daemon could not be started");
        return;
    }
    daemon.forceQuantum(quantum);
    std::vector<double> wire, monitor, reported;
    for (auto _ : state) {
        auto source = test::PipeWireTestNode::source("qm-bench-bus", impulses(), true);
        auto rec = test::PipeWireTestNode::recorder("qm-bench-ears", 2, int64_t(kRate) * 20);
        rec->linkFrom(daemon, "qm-stereo:monitor_FL", 1);
        rec->linkFrom(daemon, "qm-stereo:monitor_FR", 2);
        source->linkTo(daemon, 1, "qm-stereo:playback_FL");
        source->linkTo(daemon, 2, "qm-stereo:playback_FR");
        int64_t from = rec->frames();
        std::this_thread::sleep_for(1s);
        wire.push_back(medianArrival(*source, *rec, from));
        daemon.run("pw-link -d qm-bench-bus:out_1 qm-stereo:playback_FL");
        daemon.run("pw-link -d qm-bench-bus:out_2 qm-stereo:playback_FR");
        SourceEndpoint bus;
        for (const auto& s : AudioDuplexes::sources())
            if (s.uid == "pw:qm-bench-bus") bus = s;
        OutputEndpoint sink;
        for (const auto& d : AudioOutputs::list())
            if (d.uid == "pw:qm-stereo") sink = d;
        test::DelayLine line;
        line.delay = delay;
        auto stream = AudioDuplexes::open(bus, sink, &test::DelayLine::process, &line, [](DuplexChange) {});
        // What an insert of `delay` frames makes the monitor report.
        stream->setLatency(delay);
        stream->start();
        from = rec->frames();
        std::this_thread::sleep_for(1s);
        monitor.push_back(medianArrival(*source, *rec, from));
        // The latency the ports report beyond the source's own, as the graph reads it.
        const auto ours = daemon.portLatency("Quillmarsh Monitor", "out_1", "Output");
        const auto theirs = daemon.portLatency("qm-bench-bus", "out_1", "Output");
        reported.push_back(ours && theirs ? double(ours->maxRate - theirs->maxRate) : -1);
        stream->pause();
    }
    daemon.forceQuantum(0);
    state.counters["wire_frames"] = bench::percentile(wire, 0.5);
    state.counters["monitor_frames"] = bench::percentile(monitor, 0.5);
    state.counters["added_frames"] = bench::percentile(monitor, 0.5) - bench::percentile(wire, 0.5);
    state.counters["reported_frames"] = bench::percentile(reported, 0.5);
    state.counters["added_minus_reported"] = state.counters["added_frames"] - state.counters["reported_frames"];
}

// The render thread's CPU time per callback, in microseconds, while the
// player plays a 16-channel file to the 9.1.6 device of `app` for 3 s.
double renderCPU(App& app, const std::filesystem::path& file) {
    if (!app.load(file)) return -1;
    app.model.play(0);
    if (!pumpUntil(app.queue, [&] { return app.model.isPlaying(); })) return -1;
    pumpUntil(app.queue, [] { return false; }, 500ms);
    const double cpu0 = app.engine.renderCPU();
    const int64_t n0 = app.engine.callbacks();
    pumpUntil(app.queue, [] { return false; }, 3s);
    const double cpu = app.engine.renderCPU() - cpu0;
    const int64_t n = app.engine.callbacks() - n0;
    app.model.stop();
    return n > 0 ? cpu / double(n) * 1e6 : -1;
}

void RenderCPU(benchmark::State& state) {
    test::TempDir dir;
    const auto file = dir / "bed.wav";
    test::writeTestFile(file, 16, kRate * 6, kRate, {test::FileKind::wav, 24});
    std::vector<double> pipewire, jack;
    for (auto _ : state) {
        {
            test::OnlySound only(test::OnlySound::System::pipewire);
            test::PipeWireDaemon& daemon = test::sharedPipeWire();
            if (!daemon.running() && !daemon.start()) break;
            daemon.forceQuantum(256);
            App app("", test::profileInLayoutOrder(LayoutID::l916, OutputProfile::Kind::speakers, "pw:qm-916"));
            pipewire.push_back(renderCPU(app, file));
            daemon.forceQuantum(0);
        }
        {
            test::OnlySound only(test::OnlySound::System::jack);
            test::JackServer server(kRate, 256, 2, 16, 256);
            App app("", test::profileInLayoutOrder(LayoutID::l916, OutputProfile::Kind::speakers, "jack:system"));
            jack.push_back(renderCPU(app, file));
        }
    }
    state.counters["pipewire_us_per_callback"] = bench::percentile(pipewire, 0.5);
    state.counters["jack_us_per_callback"] = bench::percentile(jack, 0.5);
    state.counters["pipewire_over_jack"] = bench::percentile(pipewire, 0.5) / bench::percentile(jack, 0.5);
}

// From the sound system's end (SIGKILL) to the player playing on again on
// the silent output, in milliseconds: PipeWire's daemon beside a JACK server.
void Failover(benchmark::State& state) {
    test::TempDir dir;
    const auto file = dir / "stairs.wav";
    test::writeTestFile(file, 2, kRate * 4, kRate, {test::FileKind::wav, 16});
    auto failover = [&](const std::string& device, const std::function<void()>& kill) -> double {
        App app(device);
        if (!app.load(file)) return -1;
        app.model.setLoop(true);
        app.model.play(0);
        if (!pumpUntil(app.queue, [&] { return app.model.isPlaying() && !app.engine.isSilent(); })) return -1;
        pumpUntil(app.queue, [] { return false; }, 200ms);
        const int64_t t0 = bench::nowNs();
        kill();
        if (!pumpUntil(app.queue, [&] { return app.engine.isSilent() && app.model.isPlaying(); })) return -1;
        const double ms = double(bench::nowNs() - t0) * 1e-6;
        app.model.stop();
        return ms;
    };
    std::vector<double> pipewire, jack;
    for (auto _ : state) {
        {
            test::OnlySound only(test::OnlySound::System::pipewire);
            test::PipeWireDaemon& daemon = test::sharedPipeWire();
            if (!daemon.running() && !daemon.start()) break;
            pipewire.push_back(failover("pw:qm-stereo", [&] { daemon.stop(SIGKILL); }));
            daemon.start();
        }
        {
            test::OnlySound only(test::OnlySound::System::jack);
            test::JackServer server(kRate, 256);
            jack.push_back(failover("jack:system", [&] { server.kill(); }));
        }
    }
    bench::reportBesideFloor(state, "pipewire", pipewire, "jack", jack, "pipewire_over_jack");
}

}  // namespace

// Quanta 64, 256 and 1024; states running (0) and first use (2).
BENCHMARK(Start)
    ->ArgsProduct({{64, 256, 1024}, {0, 2}})
    ->ArgNames({"quantum", "state"})
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Quanta 64, 256 and 1024; without inserts (delay 0) and with 256 frames of them.
BENCHMARK(MonitorImpulse)
    ->ArgsProduct({{64, 256, 1024}, {0, 256}})
    ->ArgNames({"quantum", "delay"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(RenderCPU)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Failover)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }

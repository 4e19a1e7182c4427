// The monitor's effect inserts:
// - the process function with two LV2 inserts (swh-lv2's amplifier twice,
//   mono on each of 12 channels; the tests' gain when swh-lv2 is not
//   installed) against the matrix alone, per 256-frame block of a 12-channel
//   source to a 7.1.4 output: compare the two cases' times as a ratio;
// - the dummy server's DSP load (64-frame period, stereo) with the amplifier
//   in our chain against the same plug-in run by jalv (one per channel)
//   between our monitor and the output: `load_ratio` is ours over jalv's.
//   Each runs for a few seconds of real time.
#include "monitor/MonitorChain.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "platform/AudioDuplex.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Lv2Plugins.h"
#include "JackLoad.h"

#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

extern char** environ;

using namespace qm;

namespace {

void runOn(benchmark::State& st, bool inserts, ManualMainQueue& queue);

void run(benchmark::State& st, bool inserts) {
    test::useTestPlugins();
    ManualMainQueue queue;
    runOn(st, inserts, queue);
    queue.advance(100);  // the node's records, after the node went
}

void runOn(benchmark::State& st, bool inserts, ManualMainQueue& queue) {
    MatrixUnit matrix(queue);
    matrix.prepare(12, 48000);
    OutputProfile p;
    p.layout = LayoutID::l714;
    for (int i = 0; i < 12; ++i) p.outputs.push_back(i);
    matrix.setConfig(MonitorMatrix::build(MonitorState{}, 12, p, 12));
    MonitorChain chain(matrix.state());
    std::vector<std::shared_ptr<Lv2Unit>> units;
    if (inserts) {
        const Lv2Plugin* amp = Lv2Host::find("http://plugin.org.uk/swh-plugins/amp");
        if (!amp) amp = Lv2Host::find("urn:quillmarsh:test:gain");
        for (int i = 0; i < 2; ++i) units.push_back(std::make_shared<Lv2Unit>(*amp, 12, 48000));
    }
    chain.prepare(12, units);
    std::vector<std::vector<float>> in(12, std::vector<float>(256)), out(12, std::vector<float>(256));
    for (size_t c = 0; c < 12; ++c)
        for (size_t t = 0; t < 256; ++t) in[c][t] = 0.3f * std::sin(0.01f * float(t * (c + 1)));
    std::vector<const float*> ip;
    std::vector<float*> op;
    for (auto& c : in) ip.push_back(c.data());
    for (auto& c : out) op.push_back(c.data());
    for (auto _ : st) {
        MonitorChain::processCallback(&chain, 256, ip.data(), 12, op.data(), 12);
        benchmark::DoNotOptimize(out[0][0]);
    }
}

constexpr const char* ampURI = "http://plugin.org.uk/swh-plugins/amp";

// jalv running the amplifier as client `name`; its standard input is a pipe
// held open (jalv reads commands from it) until stop().
struct Jalv {
    pid_t pid = -1;
    int input = -1;
    explicit Jalv(const std::string& name) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<std::string> args{"jalv", "-x", "-n", name, "-c", "gain=-6", ampURI};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, "jalv", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        input = fds[1];
    }
    ~Jalv() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (input >= 0) close(input);
    }
};

bool waitForPort(jack_client_t* client, const std::string& port) {
    for (int i = 0; i < 200; ++i) {
        if (jack_port_by_name(client, port.c_str())) return true;
        usleep(25000);
    }
    return false;
}

void load(benchmark::State& st, bool jalv) {
    constexpr double seconds = 4.0;
    test::useTestPlugins();
    ManualMainQueue queue;
    for (auto _ : st) {
        const Lv2Plugin* amp = Lv2Host::find(ampURI);
        if (!amp) {
            st.SkipWithError("swh-lv2 is not installed");
            return;
        }
        test::JackServer server(48000, 64, 2, 2, 256);
        if (!server.running()) {
            st.SkipWithError("jackd could not be started");
            return;
        }
        std::vector<std::vector<float>> sines(2, std::vector<float>(48000));
        for (size_t c = 0; c < 2; ++c)
            for (size_t t = 0; t < 48000; ++t) sines[c][t] = 0.3f * std::sin(0.03f * float(t * (c + 1)));
        test::JackTestSource daw("Workstation", sines, true);
        test::JackTestDevice speakers("Speakers", 2, 0);
        SourceEndpoint source;
        for (const auto& s : AudioDuplexes::sources())
            if (s.uid == "jack:Workstation") source = s;
        OutputEndpoint device;
        for (const auto& o : AudioOutputs::list())
            if (o.uid == "jack:Speakers") device = o;

        MatrixUnit matrix(queue);
        MonitorChain chain(matrix.state());
        auto stream = AudioDuplexes::open(source, device, &MonitorChain::processCallback, &chain, {});
        matrix.prepare(stream->inputs(), stream->sampleRate());
        MonitorState s;
        s.source = MonitorSource::stereo;
        OutputProfile p;
        p.layout = LayoutID::stereo;
        p.outputs = {0, 1};
        matrix.setConfig(MonitorMatrix::build(s, stream->inputs(), p, stream->outputs()));
        std::vector<std::shared_ptr<Lv2Unit>> units;
        if (!jalv) {
            units.push_back(std::make_shared<Lv2Unit>(*amp, 2, stream->sampleRate()));
            units.back()->setControl(0, -6.0f);
        }
        chain.prepare(stream->outputs(), units);
        stream->start();

        std::vector<std::unique_ptr<Jalv>> hosts;
        jack_client_t* wire = jack_client_open("Wire", JackNoStartServer, nullptr);
        if (jalv) {
            // Our monitor's outputs go through one jalv per channel instead.
            for (int c = 0; c < 2; ++c) {
                const std::string name = "Amp" + std::to_string(c + 1);
                hosts.push_back(std::make_unique<Jalv>(name));
                const std::string ours = "Quillmarsh Monitor:out_" + std::to_string(c + 1);
                if (!waitForPort(wire, name + ":input")) {
                    st.SkipWithError("jalv did not start");
                    return;
                }
                jack_disconnect(wire, ours.c_str(), device.ports[size_t(c)].c_str());
                jack_connect(wire, ours.c_str(), (name + ":input").c_str());
                jack_connect(wire, (name + ":output").c_str(), device.ports[size_t(c)].c_str());
            }
        }
        const double value = bench::dspLoad(seconds);
        st.SetIterationTime(seconds);
        st.counters["dsp_load_pct"] = value;
        st.counters["xruns"] = static_cast<double>(stream->xruns());
        stream->pause();
        hosts.clear();
        jack_client_close(wire);
    }
    queue.advance(100);  // the node's records, after the node went
}

void BM_MatrixAlone(benchmark::State& st) { run(st, false); }
void BM_MatrixAndTwoInserts(benchmark::State& st) { run(st, true); }

}  // namespace

BENCHMARK(BM_MatrixAlone);
BENCHMARK(BM_MatrixAndTwoInserts);
void BM_LoadWithTheAmplifierInOurChain(benchmark::State& st) { load(st, false); }
void BM_LoadWithTheAmplifierInJalv(benchmark::State& st) { load(st, true); }
BENCHMARK(BM_LoadWithTheAmplifierInOurChain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_LoadWithTheAmplifierInJalv)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();

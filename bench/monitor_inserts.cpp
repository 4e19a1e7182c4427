// The monitor's effect inserts:
// - the process function with two LV2 inserts (swh-lv2's amplifier twice,
//   mono on each of 12 channels; the tests' gain when swh-lv2 is not
//   installed) against the matrix alone, per 256-frame block of a 12-channel
//   source to a 7.1.4 output: compare the two cases' times as a ratio;
// - the dummy server's DSP load (64-frame period, stereo) with the amplifier
//   in our chain against the same plug-in run by jalv (one per channel)
//   between our monitor and the output: `load_ratio` is ours over jalv's.
//   Each runs for a few seconds of real time;
// - room correction at 9.1.6: the process function with x42 convoLV2 and
//   with zeroconvolv's "IR Convolver" (mono, once on each of 16 channels)
//   convolving a 1 s impulse response, period 256, beside the matrix alone
//   at that shape: `cpu_pct_of_period` is the whole process's CPU time (the
//   convolver's own threads included) per block over the period's 5.33 ms,
//   for one core. Before it is timed, the convolver must say it has the
//   file and an impulse through it must come out as the response on every
//   channel (else the case fails: a convolver without its file costs
//   little).
#include "monitor/MonitorChain.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "platform/AudioDuplex.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"
#include "support/TempDir.h"
#include "JackLoad.h"

#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
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
    MonitorChain chain(matrix.state(), queue);
    std::vector<std::shared_ptr<Lv2Unit>> units;
    MonitorChain::Inserts list;
    if (inserts) {
        const Lv2Plugin* amp = Lv2Host::find("http://plugin.org.uk/swh-plugins/amp");
        if (!amp) amp = Lv2Host::find("urn:quillmarsh:test:gain");
        for (int i = 0; i < 2; ++i) {
            units.push_back(std::make_shared<Lv2Unit>(*amp, 12, 48000, 256));
            units.back()->latest()->live();
            list.push_back(units.back()->latest());
        }
    }
    chain.prepare(12);
    chain.setInserts(list);
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
        MonitorChain chain(matrix.state(), queue);
        auto stream = AudioDuplexes::open(source, device, &MonitorChain::processCallback, &chain, {});
        matrix.prepare(stream->inputs(), stream->sampleRate());
        MonitorState s;
        s.source = MonitorSource::stereo;
        OutputProfile p;
        p.layout = LayoutID::stereo;
        p.outputs = {0, 1};
        matrix.setConfig(MonitorMatrix::build(s, stream->inputs(), p, stream->outputs()));
        std::vector<std::shared_ptr<Lv2Unit>> units;
        MonitorChain::Inserts list;
        if (!jalv) {
            units.push_back(std::make_shared<Lv2Unit>(*amp, 2, stream->sampleRate(), 64));
            units.back()->setControl(0, -6.0f);
            units.back()->latest()->live();
            list.push_back(units.back()->latest());
        }
        chain.prepare(stream->outputs(), stream->sampleRate());
        chain.setInserts(list);
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

// The process's CPU time (every thread), in seconds.
double processCPU() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Whether `made` turns an impulse on every channel into `ir` (at one level
// for all, after its latency); says what is wrong in `why`.
bool convolves(Lv2Instances& made, const std::vector<float>& ir, uint32_t period, std::string& why) {
    const int channels = made.channels();
    const size_t length = ir.size() + made.latency() + period;
    const std::vector<float> silence(period, 0.0f);
    std::vector<std::vector<float>> in(static_cast<size_t>(channels), silence),
        out(static_cast<size_t>(channels), silence), heard(static_cast<size_t>(channels));
    std::vector<const float*> ip;
    std::vector<float*> op;
    for (auto& c : in) ip.push_back(c.data());
    for (auto& c : out) op.push_back(c.data());
    for (size_t done = 0; done < length; done += period) {
        for (auto& c : in) c[0] = done == 0 ? 1.0f : 0.0f;
        made.process(ip.data(), op.data(), period);
        for (int c = 0; c < channels; ++c) heard[size_t(c)].insert(heard[size_t(c)].end(), out[size_t(c)].begin(), out[size_t(c)].end());
    }
    const size_t latency = made.latency();
    double level = 0;
    for (int c = 0; c < channels; ++c) {
        double dot = 0, norm = 0, error = 0;
        for (size_t t = 0; t < ir.size(); ++t) {
            dot += double(heard[size_t(c)][t + latency]) * ir[t];
            norm += double(ir[t]) * ir[t];
        }
        const double k = dot / norm;
        if (c == 0) level = k;
        for (size_t t = 0; t < ir.size(); ++t) error += std::pow(heard[size_t(c)][t + latency] - level * ir[t], 2);
        if (!(level > 0.1) || std::sqrt(error / norm) / level > 1e-3) {
            why = "channel " + std::to_string(c + 1) + " is not the impulse response (level " + std::to_string(k) + ")";
            return false;
        }
    }
    return true;
}

// 9.1.6 in, 9.1.6 out, period 256; with a convolver (`uri`), that plug-in
// on every channel with a 1 s impulse response (a decaying noise).
void roomCorrection(benchmark::State& st, const char* uri) {
    const bool convolver = uri != nullptr;
    test::useTestPlugins();
    constexpr int channels = 16;
    constexpr uint32_t period = 256;
    ManualMainQueue queue;
    {
        MatrixUnit matrix(queue);
        matrix.prepare(channels, 48000);
        OutputProfile p;
        p.layout = LayoutID::l916;
        for (int i = 0; i < channels; ++i) p.outputs.push_back(i);
        matrix.setConfig(MonitorMatrix::build(MonitorState{}, channels, p, channels));
        MonitorChain chain(matrix.state(), queue);
        chain.prepare(channels);
        test::TempDir dir;
        std::shared_ptr<Lv2Unit> unit;
        if (convolver) {
            const Lv2Plugin* convo = Lv2Host::find(uri);
            if (!convo) {
                st.SkipWithError("x42-plugins is not installed");
                return;
            }
            std::vector<float> ir(48000);
            uint32_t seed = 1;
            for (size_t t = 0; t < ir.size(); ++t) {
                seed = seed * 1664525u + 1013904223u;
                ir[t] = (float(seed >> 8) / float(1 << 24) - 0.5f) * std::exp(-6.9f * float(t) / 48000.0f);
            }
            test::writeAudioFile(dir / "room.wav", {ir}, 48000, {test::FileKind::wav, 32, true});
            unit = std::make_shared<Lv2Unit>(*convo, channels, 48000, period);
            const std::string file = (dir / "room.wav").string();
            unit->setFile(0, file);
            auto made = unit->instantiate(channels, 48000, period);
            made->live();
            std::string why;
            if (unit->loadedFile(0) != file) {
                // It may answer in a later block.
                std::vector<std::vector<float>> silence(channels, std::vector<float>(period)), sink = silence;
                std::vector<const float*> sp;
                std::vector<float*> so;
                for (auto& c : silence) sp.push_back(c.data());
                for (auto& c : sink) so.push_back(c.data());
                for (int i = 0; i < 2000 && unit->loadedFile(0) != file; ++i) {
                    made->process(sp.data(), so.data(), period);
                    usleep(1000);
                }
            }
            if (unit->loadedFile(0) != file) {
                st.SkipWithError("the convolver does not say it has the impulse response");
                return;
            }
            if (!convolves(*made, ir, period, why)) {
                st.SkipWithError(("the convolver does not convolve: " + why).c_str());
                return;
            }
            st.counters["latency_frames"] = made->latency();
            chain.setInserts({made});
        }
        std::vector<std::vector<float>> in(channels, std::vector<float>(period)), out(channels, std::vector<float>(period));
        std::vector<const float*> ip;
        std::vector<float*> op;
        for (auto& c : in) ip.push_back(c.data());
        for (auto& c : out) op.push_back(c.data());
        int64_t frame = 0;
        auto block = [&] {
            for (size_t c = 0; c < in.size(); ++c)
                for (uint32_t t = 0; t < period; ++t)
                    in[c][t] = 0.2f * std::sin(0.001f * float((frame + t) * (c + 1)));
            frame += period;
            MonitorChain::processCallback(&chain, period, ip.data(), channels, op.data(), channels);
        };
        for (int warm = 0; warm < 200; ++warm) block();
        const double cpu0 = processCPU();
        int64_t blocks = 0;
        for (auto _ : st) {
            block();
            ++blocks;
            benchmark::DoNotOptimize(out[0][0]);
        }
        const double perBlock = (processCPU() - cpu0) / double(std::max<int64_t>(blocks, 1));
        st.counters["cpu_pct_of_period"] = 100.0 * perBlock / (double(period) / 48000.0);
    }
    queue.advance(100);
}

void BM_MatrixAlone(benchmark::State& st) { run(st, false); }
void BM_MatrixAndTwoInserts(benchmark::State& st) { run(st, true); }

}  // namespace

void BM_RoomCorrectionMatrixAlone916(benchmark::State& st) { roomCorrection(st, nullptr); }
void BM_RoomCorrectionConvolver916(benchmark::State& st) {
    roomCorrection(st, "http://gareus.org/oss/lv2/convoLV2#Mono");
}
void BM_RoomCorrectionZeroconvolv916(benchmark::State& st) {
    roomCorrection(st, "http://gareus.org/oss/lv2/zeroconvolv#CfgMono");
}

BENCHMARK(BM_MatrixAlone);
BENCHMARK(BM_RoomCorrectionMatrixAlone916)->MinTime(2.0);
BENCHMARK(BM_RoomCorrectionConvolver916)->MinTime(2.0);
BENCHMARK(BM_RoomCorrectionZeroconvolv916)->MinTime(2.0);
BENCHMARK(BM_MatrixAndTwoInserts);
void BM_LoadWithTheAmplifierInOurChain(benchmark::State& st) { load(st, false); }
void BM_LoadWithTheAmplifierInJalv(benchmark::State& st) { load(st, true); }
BENCHMARK(BM_LoadWithTheAmplifierInOurChain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_LoadWithTheAmplifierInJalv)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();

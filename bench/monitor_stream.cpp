// The live monitor on a dummy JACK server at a 64-frame period, from a
// stand-in source to a stand-in output device: the mean and longest time
// of the monitor's process function (16 -> 16 in mode full, and stereo
// upmixed to 7.1.4), and the server's DSP load with the monitor in the path
// beside the source wired straight to the output (the floor). Each case
// runs for a few seconds of real time; the figures are the server's and the
// callback's, not Google Benchmark's iterations.
#include "monitor/MatrixUnit.h"
#include "monitor/MonitorMatrix.h"
#include "platform/AudioDuplex.h"
#include "platform/MainQueue.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "JackLoad.h"

#include <benchmark/benchmark.h>
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

using namespace qm;

namespace {

constexpr int period = 64;
constexpr double seconds = 5.0;

// The node's render, timed.
struct Timed {
    MatrixUnit::State* state = nullptr;
    std::atomic<int64_t> calls{0}, totalNanos{0}, longestNanos{0};
    static void process(void* user, uint32_t frames, const float* const* in, uint32_t inCount, float* const* out,
                        uint32_t outCount) {
        auto* self = static_cast<Timed*>(user);
        const auto t0 = std::chrono::steady_clock::now();
        MatrixUnit::State::renderCallback(self->state, frames, in, inCount, out, outCount);
        const int64_t took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
        self->calls.fetch_add(1, std::memory_order_relaxed);
        self->totalNanos.fetch_add(took, std::memory_order_relaxed);
        if (took > self->longestNanos.load(std::memory_order_relaxed)) self->longestNanos.store(took);
    }
};

std::vector<std::vector<float>> sines(int channels) {
    std::vector<std::vector<float>> s(static_cast<size_t>(channels), std::vector<float>(48000));
    for (int c = 0; c < channels; ++c)
        for (int t = 0; t < 48000; ++t)
            s[size_t(c)][size_t(t)] = 0.3f * static_cast<float>(std::sin(2 * 3.14159265358979 * (220.0 + 20 * c) * t / 48000.0));
    return s;
}

const SourceEndpoint* source(const std::vector<SourceEndpoint>& all, const char* uid) {
    for (const auto& s : all)
        if (s.uid == uid) return &s;
    return nullptr;
}

void run(benchmark::State& state, MonitorSource bus, LayoutID target, bool upmix) {
    const int inputs = static_cast<int>(monitorSource::speakers(bus).size());
    const int outputs = static_cast<int>(layout::speakers(target).size());
    for (auto _ : state) {
        test::JackServer server(48000, period, 2, 2, 256);
        if (!server.running()) {
            state.SkipWithError("jackd could not be started");
            return;
        }
        test::JackTestSource daw("Workstation", sines(inputs), true);
        test::JackTestDevice speakers("Speakers", outputs, 48000);
        const auto sources = AudioDuplexes::sources();
        OutputEndpoint device;
        for (const auto& o : AudioOutputs::list())
            if (o.uid == "jack:Speakers") device = o;

        // The floor: the source wired straight to the output.
        jack_client_t* wire = jack_client_open("Wire", JackNoStartServer, nullptr);
        for (int c = 0; c < std::min(inputs, outputs); ++c)
            jack_connect(wire, source(sources, "jack:Workstation")->ports[size_t(c)].c_str(), device.ports[size_t(c)].c_str());
        const double floor = bench::dspLoad(seconds);
        for (int c = 0; c < std::min(inputs, outputs); ++c)
            jack_disconnect(wire, source(sources, "jack:Workstation")->ports[size_t(c)].c_str(), device.ports[size_t(c)].c_str());
        jack_client_close(wire);

        // The monitor in the path.
        ManualMainQueue queue;
        MatrixUnit unit(queue);
        Timed timed;
        timed.state = unit.state().get();
        auto stream = AudioDuplexes::open(*source(sources, "jack:Workstation"), device, &Timed::process, &timed, {});
        unit.prepare(stream->inputs(), stream->sampleRate());
        MonitorState s;
        s.source = bus;
        s.upmix.enabled = upmix;
        OutputProfile p;
        p.layout = target;
        for (int i = 0; i < outputs; ++i) p.outputs.push_back(i);
        unit.setConfig(MonitorMatrix::build(s, stream->inputs(), p, stream->outputs()));
        stream->setLatency(unit.latency());
        stream->start();
        const double load = bench::dspLoad(seconds);
        const int64_t xruns = stream->xruns();
        stream->pause();

        state.SetIterationTime(seconds);
        const double calls = static_cast<double>(std::max<int64_t>(timed.calls.load(), 1));
        state.counters["mean_callback_us"] = static_cast<double>(timed.totalNanos.load()) / calls * 1e-3;
        state.counters["longest_callback_us"] = static_cast<double>(timed.longestNanos.load()) * 1e-3;
        state.counters["period_us"] = period / 48000.0 * 1e6;
        state.counters["dsp_load_pct"] = load;
        state.counters["floor_dsp_load_pct"] = floor;
        state.counters["load_ratio"] = floor > 0 ? load / floor : 0;
        state.counters["xruns"] = static_cast<double>(xruns);
    }
}

void BM_Monitor16To16Full(benchmark::State& state) { run(state, MonitorSource::l916, LayoutID::l916, false); }
void BM_MonitorStereoUpmixed714(benchmark::State& state) {
    run(state, MonitorSource::stereo, LayoutID::l714, true);
}

}  // namespace

BENCHMARK(BM_Monitor16To16Full)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MonitorStereoUpmixed714)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();

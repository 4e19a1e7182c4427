// The monitor's process function with two LV2 inserts (swh-lv2's amplifier
// twice, mono on each of 12 channels; the tests' gain when swh-lv2 is not
// installed) against the matrix alone, per 256-frame block of a 12-channel
// source to a 7.1.4 output. Compare the two cases' times as a ratio.
#include "monitor/MonitorChain.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "support/Lv2Plugins.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

using namespace qm;

namespace {

void run(benchmark::State& st, bool inserts) {
    test::useTestPlugins();
    ManualMainQueue queue;
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
    queue.advance(100);
}

void BM_MatrixAlone(benchmark::State& st) { run(st, false); }
void BM_MatrixAndTwoInserts(benchmark::State& st) { run(st, true); }

}  // namespace

BENCHMARK(BM_MatrixAlone);
BENCHMARK(BM_MatrixAndTwoInserts);
BENCHMARK_MAIN();

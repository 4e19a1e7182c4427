// Configurations published at 1 kHz while another thread renders without a
// pause; run once more under ThreadSanitizer by scripts/test.sh. The main
// queue's clock moves 1 ms per configuration, so records and upmixers are
// freed while blocks render, never sooner than 3 s after they were replaced.
// The records' own protection (the render side's `heard` cell) is what the
// freeing work synchronises with.
#include "monitor/MatrixUnit.h"

#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "spatial/Upmixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

using namespace qm;

TEST(MatrixUnitConcurrency, ConfigsAtOneKilohertzWhileBlocksRender) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(4, 48000);
    OutputProfile profile;
    profile.layout = LayoutID::l714;
    for (int i = 0; i < 12; ++i) profile.outputs.push_back(i);

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::thread render([&] {
        std::vector<std::vector<float>> in(4, std::vector<float>(256)), out(12, std::vector<float>(256));
        std::vector<const float*> inPtr;
        std::vector<float*> outPtr;
        for (auto& c : in) inPtr.push_back(c.data());
        for (auto& c : out) outPtr.push_back(c.data());
        int64_t frame = 0;
        while (!stop.load()) {
            for (size_t c = 0; c < in.size(); ++c)
                for (size_t t = 0; t < 256; ++t)
                    in[c][t] = 0.5f * std::sin(0.05f * static_cast<float>(frame + static_cast<int64_t>(t)));
            unit.render(256, inPtr.data(), 4, outPtr.data(), 12);
            frame += 256;
            blocks.fetch_add(1);
        }
    });

    std::mt19937 rng(1);
    const int configs = 4000;
    long fewestLive = 1 << 30;
    for (int i = 0; i < configs; ++i) {
        // Upmixers are made now and then (a new source layout, the upmix
        // switched); plans, matrices, offsets and solo change every time.
        MonitorState s;
        const int phase = (i / 250) % 3;
        s.source = phase == 2 ? MonitorSource::l51 : MonitorSource::stereo;
        s.upmix.enabled = phase != 1;
        s.volumeDB = -static_cast<double>(rng() % 40);
        s.upmix.preset = upmixPreset::allCases()[rng() % 6];
        s.upmix.params = upmixPreset::params(s.upmix.preset);
        s.sourceOffset = rng() % 3;
        if (rng() % 4 == 0) s.solo = {SpeakerID::L};
        unit.setConfig(MonitorMatrix::build(s, 4, profile, 12));
        // The upmixer's replaced plans have only their grace period, which
        // ThreadSanitizer cannot see: before the clock moves, the render
        // thread finishes the block that may still read the old plan and
        // one begun after the new record was published. Counted from the
        // publication, not from before the building, which may outlast
        // several blocks: otherwise the render side may stop (below) still
        // holding the record before the last.
        const long published = blocks.load();
        while (blocks.load() < published + 2) std::this_thread::yield();
        queue.advance(0.001);
        // Every record of the last 3 s of the clock is still alive.
        const long expected = std::min(i + 1, 3000);
        fewestLive = std::min(fewestLive, unit.liveRecords() - expected);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    render.join();
    EXPECT_GE(fewestLive, 0);
    EXPECT_GT(blocks.load(), configs / 2) << "the render thread barely ran";
    // With the render side stopped, everything but the current record goes.
    queue.advance(6.0);
    EXPECT_EQ(unit.liveRecords(), 1);
}

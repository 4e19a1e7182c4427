// The playback engine's render path driven by hand, for tests that listen to
// what it plays: the engine is bound to no output; the rig keeps a ring of
// its own filled from a signal (looped), publishes mixes through the engine
// (as the players do, binaural renderer and upmixer included) and pulls the
// render context block by block, keeping every device channel.
#pragma once

#include "playback/PlaybackEngine.h"
#include "playback/RenderContext.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/Timeouts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace qm::test {

class RenderRig {
public:
    RenderRig(Planar signal, int deviceChannels)
        : out(static_cast<size_t>(deviceChannels)),
          block_(static_cast<size_t>(deviceChannels), std::vector<float>(kMaxRenderFrames)) {
        for (auto& b : block_) ptrs_.push_back(b.data());
        replay(std::move(signal));
    }
    ~RenderRig() {
        mn_slot_store(engine.ctx().ringSlot, nullptr);
        for (mn_ring* r : rings_) mn_ring_destroy(r);
    }

    // Plays `signal` from its start in a ring of its own (the one before
    // fades out over the next callback) and forgets what was rendered; the
    // engine, its mix and its binaural renderer stay.
    void replay(Planar signal) {
        signal_ = std::move(signal);
        written_ = 0;
        ring_ = rings_.emplace_back(mn_ring_create(static_cast<int32_t>(signal_.size()), 1 << 15));
        mn_slot_store(engine.ctx().ringSlot, ring_);
        for (auto& c : out) c.clear();
    }
    RenderRig(const RenderRig&) = delete;
    RenderRig& operator=(const RenderRig&) = delete;

    // Publishes `config` as a player does, and waits until a binaural
    // renderer it needs is made and the mix is in the slot.
    void set(const MixConfig& config) {
        engine.setConfig(config);
        const auto end = std::chrono::steady_clock::now() + timeout(std::chrono::seconds(20));
        while (engine.binauralPending() && std::chrono::steady_clock::now() < end) {
            queue.runDue();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_FALSE(engine.binauralPending()) << "the binaural renderer was never made";
    }

    // Renders `frames` frames in callbacks of `callback` frames.
    void run(int64_t frames, uint32_t callback) {
        for (int64_t done = 0; done < frames;) {
            const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(callback, frames - done));
            feed(n);
            engine.ctx().render(n, ptrs_.data(), static_cast<uint32_t>(ptrs_.size()));
            for (size_t c = 0; c < out.size(); ++c) out[c].insert(out[c].end(), block_[c].begin(), block_[c].begin() + n);
            done += n;
        }
    }
    int64_t rendered() const { return out.empty() ? 0 : static_cast<int64_t>(out[0].size()); }

    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    Planar out;  // every device channel, from the first callback on

private:
    void feed(uint32_t n) {
        const int64_t length = static_cast<int64_t>(signal_[0].size());
        std::vector<const float*> src(signal_.size());
        while (mn_ring_available(ring_) < static_cast<int32_t>(n)) {
            const int64_t at = written_ % length;
            const int32_t k = static_cast<int32_t>(std::min<int64_t>(length - at, 1024));
            for (size_t c = 0; c < signal_.size(); ++c) src[c] = signal_[c].data() + at;
            std::vector<double> stamps(static_cast<size_t>(k));
            for (int32_t i = 0; i < k; ++i) stamps[size_t(i)] = static_cast<double>(written_ + i);
            written_ += mn_ring_write(ring_, src.data(), stamps.data(), k);
        }
    }

    Planar signal_;
    mn_ring* ring_ = nullptr;
    std::vector<mn_ring*> rings_;  // every ring played, kept until the end
    int64_t written_ = 0;
    std::vector<std::vector<float>> block_;
    std::vector<float*> ptrs_;
};

}  // namespace qm::test

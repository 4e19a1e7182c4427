// Binaural rendering of up to 32 mono virtual sources for headphones.
//
// Each source sits at a direction on the unit sphere around a listener at the
// origin and is filtered with the head-related impulse responses of a
// measured set (a SOFA file read with libmysofa, each response resampled
// from the set's rate to the renderer's). There is no reverb and no distance attenuation.
//
// The filtering is uniformly partitioned convolution in the frequency domain:
// blocks of 128 frames, each impulse response cut into 128-tap partitions,
// one forward transform per active source and block and one inverse
// transform per ear and block (the sources are summed as spectra). The
// output lags the input by latencyFrames().
//
// Moving a source: setDirection() prepares the new responses on the calling
// thread and hands them over lock-free; the render thread takes them at its
// next block boundary and crossfades linearly from the old responses' output
// to the new one over that block, so a move never clicks.
//
// The responses are diffuse-field equalised: one filter, common to every
// direction and both ears, takes out what all directions of the set share
// (its ear-canal resonance), so a tone gains no more than its direction's
// own cues give it, and the interaural level and time differences stay the
// set's.
//
// The ears pass a safety limiter, linked so that both ears always get the
// same gain (the level difference between them is kept): below its
// threshold (-1 dBFS) it passes the signal untouched; above, a look-ahead of
// limiterLookahead() frames brings the gain down before the peak arrives, so
// no ear sample exceeds the threshold, and it recovers over about 80 ms
// (the limiter of rt/mn_limit.h, which the speaker outputs use too).
//
// Silent sources cost nearly nothing: once a source's whole filter history is
// zero its transforms and products are skipped.
//
// Threads: construction, setDirection() and impulseResponse() belong to one
// control thread (the main thread). render() belongs to the real-time
// thread; it never allocates, locks or calls the system.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/AudioOutput.h"
#include "rt/mn_limit.h"

namespace qm {

class RealFFTPlan;

class BinauralRenderer {
public:
    static constexpr int maxSources = 32;
    static constexpr int blockSize = 128;

    // The HRTF set Debian installs with libmysofa.
    static std::filesystem::path defaultHRTFPath();

    // Loads the HRTF set at `sampleRate`. Every source starts straight ahead.
    // Throws AppError(libmysofa's error code, "Couldn't load the HRTF set"),
    // and AppError(-1) for a rate outside sampleRate::plausible.
    explicit BinauralRenderer(double sampleRate,
                              const std::filesystem::path& hrtf = defaultHRTFPath());
    ~BinauralRenderer();
    BinauralRenderer(const BinauralRenderer&) = delete;
    BinauralRenderer& operator=(const BinauralRenderer&) = delete;

    // Ear samples beyond this are limited.
    static constexpr float limiterThreshold = 0.891251f;  // -1 dBFS

    double sampleRate() const { return rate_; }
    // The block, and the limiter's look-ahead.
    int latencyFrames() const { return blockSize + limiterLookahead(); }
    int limiterLookahead() const;
    // Taps of the impulse responses at this rate (delay included).
    int filterLength() const { return filterLength_; }

    // Places `source` at azimuth and elevation in degrees (azimuth positive
    // to the left, elevation up). Ignored for a source outside 0 ..< 32 and
    // when the direction is the one already set.
    void setDirection(int source, double azimuthDeg, double elevationDeg);

    // Renders `frames` frames of the first `count` sources (null entries and
    // sources beyond `count` are silent) into `left` and `right`, which are
    // overwritten. Returns false, writing nothing, for more than kMaxRenderFrames
    // frames or more than maxSources sources.
    bool render(const float* const* sources, int count, uint32_t frames, float* left,
                float* right);

    // Clears the filter history and the output queue (sources keep their
    // directions). Only while render() is not running: from the control
    // thread while the output is stopped, or from the render thread between
    // two renders (it neither allocates nor locks).
    void reset();

    // The responses the renderer uses for a direction, at its rate.
    void impulseResponse(double azimuthDeg, double elevationDeg, std::vector<float>& left,
                         std::vector<float>& right) const;

private:
    struct Source;
    struct LimitDeleter {
        void operator()(mn_limit* limit) const;
    };
    void prepareFilter(double az, double el, float* dst) const;
    std::vector<float> equalized(const std::vector<float>& ir) const;
    void processBlock();

    double rate_;
    double setRate_ = 0;    // the rate the set was measured at
    int filterLength_ = 0;  // taps used (the set's length plus delay room)
    int setLength_ = 0;     // taps of the set's responses at this rate
    int delayRoom_ = 0;
    int parts_ = 0;         // partitions per response
    int bins_ = 0;          // spectrum bins of a 2-block transform
    size_t filterFloats_ = 0;  // floats of one prepared filter (both ears, re and im)

    void* sofa_ = nullptr;  // MYSOFA_EASY*
    std::vector<float> equalizer_;  // the diffuse-field equaliser, at the set's rate
    std::unique_ptr<RealFFTPlan> controlPlan_;
    std::unique_ptr<RealFFTPlan> renderPlan_;
    std::unique_ptr<Source[]> sources_;

    // Render-thread state.
    int pos_ = 0;      // frames of the current block filled so far
    int fdlHead_ = 0;  // frequency-delay-line slot of the newest block
    std::vector<float> accL_, accR_, fadeL_, fadeR_;  // re then im, bins_ each
    std::vector<float> time_;                         // 2 blocks
    std::vector<float> outL_, outR_;                  // the current output block
    std::vector<float> fadeOut_;                      // 1 - (t + 1) / block
    std::unique_ptr<mn_limit, LimitDeleter> limiter_;  // rt/mn_limit.h

    // Control-thread scratch for preparing filters.
    mutable std::vector<float> irL_, irR_, padded_;
};

}  // namespace qm

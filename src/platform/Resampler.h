// Sample-rate conversion over libsoxr at high quality.
//
// Two uses:
// - streaming (the stream reader): a Resampler is fed block by block from a
//   pull source and asked for output blocks; it reports the end of the
//   stream once the source has ended and the filter's tail has been played
//   out. All buffers are made by the constructor, so converting never
//   allocates. The output is time-aligned with the input: output frame j
//   stands for input position j × fromRate / toRate (the filter's delay is
//   flushed and trimmed, not added), so callers can stamp frames by simple
//   arithmetic.
// - whole buffers (the analysis): resample() converts planar channels at
//   once and returns exactly round(n × toRate / fromRate) frames each.
//
// A Resampler is used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

struct soxr;

namespace qm {

class Resampler {
public:
    // Fills `channels` (planar, one buffer per channel, `limit` frames each)
    // with up to `limit` frames and returns how many; 0 ends the input.
    using PullFn = int (*)(void* context, float* const* channels, int limit);

    // Throws std::runtime_error when the conversion cannot be set up (rates
    // not positive and finite, no channels, or libsoxr refuses).
    Resampler(double fromRate, double toRate, int channels, int blockFrames = 4096);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Writes up to `frames` (at most blockFrames) converted frames into
    // `out`, pulling input blocks from `pull` as needed. Returns the frames
    // written; fewer than asked only at the end of the stream or on a
    // conversion error, after which ended() is true.
    int output(float* const* out, int frames, PullFn pull, void* context);

    // Convenience for callables: pull(float* const* channels, int limit) -> int.
    template <typename F>
    int output(float* const* out, int frames, F& pull) {
        return output(out, frames,
                      [](void* c, float* const* ch, int limit) { return (*static_cast<F*>(c))(ch, limit); },
                      &pull);
    }

    // Input position, in input frames from the start of the stream, of the
    // first output frame: 0 for all usual rate pairs, else less than the
    // input frames per output frame (fromRate / toRate).
    double startOffset() const { return startOffset_; }

    bool ended() const { return ended_; }
    bool failed() const { return failed_; }
    int channels() const { return channels_; }

    // Converts whole planar channels (all of the length of the first).
    // Equal rates give a copy. Throws std::runtime_error as the constructor.
    static std::vector<std::vector<float>> resample(const std::vector<std::vector<float>>& channels,
                                                    double fromRate, double toRate);

private:
    void primeWithSilence(double fromRate, double toRate);

    soxr* soxr_ = nullptr;
    int channels_ = 0;
    int blockFrames_ = 0;
    std::vector<float> inData_;                // channels × blockFrames, planar
    std::vector<float*> inPtrs_;               // start of each input channel
    std::vector<const float*> pendingPtrs_;    // unconsumed input of each channel
    std::vector<float*> outPtrs_;
    int pending_ = 0;                          // input frames not yet consumed
    int64_t skip_ = 0;                         // output frames still to drop
    double startOffset_ = 0;
    bool inputEnded_ = false;
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace qm

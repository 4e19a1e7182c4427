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
//   once and returns exactly round(n × toRate / fromRate) frames each; a
//   BlockResampler gives the same frames for a signal handed over block by
//   block as it is read, so that the whole never has to be held.
//
// A Resampler is used by one thread at a time.
#pragma once

#include <cstddef>
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

// Converts planar channels handed over block by block, appending to one
// output array per channel what is ready after each block: the frames of
// Resampler::resample() of the whole, however the blocks fall. Used by one
// thread at a time.
class BlockResampler {
public:
    // Throws std::runtime_error as the Resampler constructor.
    BlockResampler(double fromRate, double toRate, int channels);
    ~BlockResampler();
    BlockResampler(const BlockResampler&) = delete;
    BlockResampler& operator=(const BlockResampler&) = delete;

    // `frames` more frames of each channel; out: one array per channel.
    void push(const float* const* in, size_t frames, std::vector<float>* out);
    // Plays out the filter's tail and leaves each output with exactly
    // round(n × toRate / fromRate) frames for the n pushed (silence for any
    // the converter did not produce). Throws std::runtime_error when the
    // conversion failed on the way; the converter is spent.
    void finish(std::vector<float>* out);

private:
    void run(const float* const* in, size_t frames, std::vector<float>* out);

    soxr* soxr_ = nullptr;
    double fromRate_, toRate_;
    int channels_;
    uint64_t pushed_ = 0;
    const char* error_ = nullptr;
    std::vector<const float*> inAt_;
    std::vector<float*> outAt_;
    std::vector<float> scratch_;  // one block per channel
};

}  // namespace qm

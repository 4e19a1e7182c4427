// Signal utilities shared by every analysis step and the editor: whole-file
// reads into planar channels, folding to mono, rate conversion, RMS, the
// symmetric Hann window, the raw autocorrelation, and `RealFFT`, a prepared
// real FFT of one power-of-two size whose output is the unnormalised DFT.
//
// All functions are stateless and may run on any thread. A `RealFFT` object
// belongs to the one caller that made it.
#pragma once

#include "platform/FFT.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace qm {

class BlockResampler;

// Planar audio in memory: one array per channel, all of equal length.
struct PlanarAudio {
    std::vector<std::vector<float>> channels;
    double sampleRate = 0;
    // Frames read as silence because the file is damaged there.
    int64_t damagedFrames = 0;
};

namespace Signal {

// The whole file, decoded to 32-bit float at its own rate. Errors of the
// reader are thrown unchanged; a file too long for one buffer (more than
// 4 294 967 295 frames, or memory refused) throws AppError 40
// "File too large to load". An empty file gives one empty array per
// channel (at least one).
PlanarAudio readPlanar(const std::filesystem::path& url);

// One decoded stretch of a file being read whole.
struct Block {
    const float* const* channels;  // `count` pointers to `frames` samples each
    int count;
    int64_t position;    // of the first frame, in the file
    int64_t frames;
    int64_t fileFrames;  // the file's length as its reader states it
    double sampleRate;
};
// As readPlanar, decoding block by block and handing each block to `block`
// while it is still in the cache, so a caller can work on the file in the
// same pass that reads it.
PlanarAudio readPlanar(const std::filesystem::path& url, const std::function<void(const Block&)>& block);

// What reading a file block by block without keeping it found: its rate,
// its channels (at least one, as readPlanar gives) and the frames read.
struct StreamedAudio {
    double sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;
    int64_t damagedFrames = 0;
};
// The blocks of readPlanar, handed to `block` one by one and not kept: the
// memory used is that of one block, however long the file. Errors are those
// of readPlanar.
StreamedAudio readBlocks(const std::filesystem::path& url, const std::function<void(const Block&)>& block);

// The average of all channels; a single channel is returned as is. Channels
// of unequal length are averaged over the shortest one.
std::vector<float> mono(const std::vector<std::vector<float>>& channels);
// The same average of `frames` samples of `count` (>= 2) channels into out.
void mono(const float* const* channels, int count, size_t frames, float* out);

// A mono signal at another rate. Rates within 0.5 Hz of each other return
// the input unchanged. When the conversion cannot be made (a rate that is
// not positive and finite, or a converter failure) the result is empty: a
// signal at the wrong rate would silently spoil every analysis that assumes
// the new one. The same samples as a RateConverter fed the signal in blocks.
std::vector<float> resample(const std::vector<float>& x, double from, double to);

// Converts a mono signal to another rate as it arrives, block by block, so
// that a file can be read, folded and converted in one pass; however the
// blocks fall, the result is the very one of a single conversion.
//
// Rates that halve once or more (44 100, 88 200 or 176 400 Hz to 22 050 Hz)
// go through half-band filters of 79 taps: flat within 0.001 dB to 0.85 of
// the new rate's Nyquist frequency (0.01 dB to 0.86), and 99.6 dB down from
// 1.2 of it, so that all that folds back lands in the top seventh of the
// band. Other ratios are converted by the platform's high-quality resampler
// as the blocks come. Either way the result has round(n x to / from)
// samples, output sample j standing for input sample j x from / to, and
// memory for no more than the result and a block or two.
class RateConverter {
public:
    // `expected`: input samples to come, when known (to size the result once).
    RateConverter(double from, double to, size_t expected = 0);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    void push(const float* x, size_t n);
    // The average of `count` channels of `frames` samples each, as mono()
    // folds them, converted.
    void push(const float* const* channels, int count, size_t frames);
    // The whole converted signal, or empty when the conversion cannot be
    // made (as resample()); the converter is spent.
    std::vector<float> finish();

    // The half-band filter: taps[0] is the centre (0.5), taps[j] the tap at
    // offsets -(2j - 1) and 2j - 1; even offsets other than 0 are zero.
    static const std::vector<float>& halfBand();

private:
    struct Stage;
    // Pushes `x` through the stages from `first` on; the last one writes out_.
    void feed(size_t first, std::vector<float> x);
    double from_, to_;
    bool valid_ = false;
    bool same_ = false;
    std::vector<std::unique_ptr<Stage>> chain_;  // one per halving
    std::unique_ptr<BlockResampler> platform_;   // without halvings: the platform converts
    std::vector<float> fold_;                    // a block of channels folded for one stream
    std::vector<float> out_;
    uint64_t in_ = 0;
};

// RMS of x[start ..< end], the range clamped to the array; 0 when empty.
float rms(const std::vector<float>& x, long start, long end);

// Symmetric Hann window of n points (both ends 0); [1] for n < 2.
std::vector<float> hanning(int n);

// r[k] = sum_j x[j + k] x[j] for k = 0 ... L - 1 with
// L = max(min(count, maxLag), 1): no mean removal, no normalisation.
std::vector<float> autocorrelation(const std::vector<float>& x, long maxLag);

}  // namespace Signal

// A prepared forward real FFT of size n (a power of two, at least 2).
// forward() leaves the unnormalised DFT X[0 ... n/2] in split form in
// re/im; magnitudes() gives its n/2 + 1 moduli, so a constant 1 of size 4
// gives [4, 0, 0]. Preparing a transform costs more than a whole file's
// transforms of that size, so prepared ones are kept for the next RealFFT
// of their size once this one is gone.
class RealFFT {
public:
    // Throws std::invalid_argument when n is not a power of two >= 2.
    explicit RealFFT(int n);
    ~RealFFT();
    RealFFT(const RealFFT&) = delete;
    RealFFT& operator=(const RealFFT&) = delete;

    const int n;
    const unsigned log2n;
    std::vector<float> re;  // n/2 + 1 values
    std::vector<float> im;  // n/2 + 1 values

    // x: n samples.
    void forward(const float* x);
    // x: n samples; out: n/2 + 1 moduli.
    void magnitudes(const float* x, float* out);

private:
    std::unique_ptr<RealFFTPlan> plan_;
};

}  // namespace qm

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
#include <vector>

namespace qm {

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
};
// As readPlanar, decoding block by block and handing each block to `block`
// while it is still in the cache, so a caller can work on the file in the
// same pass that reads it.
PlanarAudio readPlanar(const std::filesystem::path& url, const std::function<void(const Block&)>& block);

// The average of all channels; a single channel is returned as is. Channels
// of unequal length are averaged over the shortest one.
std::vector<float> mono(const std::vector<std::vector<float>>& channels);

// A mono signal at another rate (high-quality conversion). Rates within
// 0.5 Hz of each other return the input unchanged. When the conversion
// cannot be made (a rate that is not positive and finite, or a converter
// failure) the result is empty: a signal at the wrong rate would silently
// spoil every analysis that assumes the new one.
std::vector<float> resample(const std::vector<float>& x, double from, double to);

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
// gives [4, 0, 0].
class RealFFT {
public:
    // Throws std::invalid_argument when n is not a power of two >= 2.
    explicit RealFFT(int n);

    const int n;
    const unsigned log2n;
    std::vector<float> re;  // n/2 + 1 values
    std::vector<float> im;  // n/2 + 1 values

    // x: n samples.
    void forward(const float* x);
    // x: n samples; out: n/2 + 1 moduli.
    void magnitudes(const float* x, float* out);

private:
    RealFFTPlan plan_;
};

}  // namespace qm

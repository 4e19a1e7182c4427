// Real FFTs over FFTW3 (single precision).
//
// A `RealFFTPlan` prepares the forward and inverse real transforms of one
// size n (any n >= 2; powers of two are fastest) and owns aligned work
// buffers, so that executing it never allocates, locks or calls the system:
// the render thread may execute plans that were made elsewhere.
//
// Threads: creating and destroying a plan takes the process-wide planner
// lock (FFTW's planner is not thread-safe), so do both off the real-time
// path. Executing is lock-free; one plan object is executed by one thread at
// a time (it uses its own work buffers); different plans run in parallel.
//
// Scale: both directions are unnormalised, as in the textbook DFT:
//   forward  X[k] = sum_{j=0}^{n-1} x[j] e^{-2 pi i jk/n},  k = 0 ... n/2
//   inverse  y[j] = X[0] + X[n/2](-1)^j + 2 Re sum_{k=1}^{n/2-1} X[k] e^{+2 pi i jk/n}
// so inverse(forward(x)) = n * x. A constant signal of value 1 gives
// X[0] = n; a unit cosine at bin k (0 < k < n/2) gives |X[k]| = n/2.
// The inverse reads only the real part of X[0] and (for even n) of X[n/2].
#pragma once

#include <complex>
#include <memory>

namespace qm {

class RealFFTPlan {
public:
    // Prepares both directions for size n, or the forward one alone, for
    // users that never call inverse() and need not wait for its planning.
    // Throws std::invalid_argument for n < 2 and std::runtime_error when
    // the planner fails.
    enum class Directions { both, forwardOnly };
    explicit RealFFTPlan(int n, Directions directions = Directions::both);
    ~RealFFTPlan();
    RealFFTPlan(const RealFFTPlan&) = delete;
    RealFFTPlan& operator=(const RealFFTPlan&) = delete;

    int size() const { return n_; }
    // Number of complex bins of the forward transform: n/2 + 1.
    int bins() const { return n_ / 2 + 1; }

    // x: n samples (left unchanged); X: n/2 + 1 bins.
    void forward(const float* x, std::complex<float>* X);
    // Split-complex output: re and im each hold n/2 + 1 values.
    void forward(const float* x, float* re, float* im);
    // X: n/2 + 1 bins (left unchanged); y: n samples.
    void inverse(const std::complex<float>* X, float* y);
    void inverse(const float* re, const float* im, float* y);

private:
    struct Impl;
    int n_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm

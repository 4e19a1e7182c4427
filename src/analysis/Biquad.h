// A second-order filter section, normalised by a0:
//   y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2],
// run in double precision from rest. The loudness meter's K-weighting and
// the editor's filters are made of it.
//
// Pure values; any thread.
#pragma once

#include <vector>

namespace qm {

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

    // RBJ cookbook high-pass and low-pass at `hz` with quality `q`; a corner
    // at or above 0.45 x sr is moved down to it, where the filter is stable.
    static Biquad highPass(double hz, double q, double sr);
    static Biquad lowPass(double hz, double q, double sr);

    // The filter over a whole channel.
    std::vector<float> run(const std::vector<float>& x) const;

    // The filter one sample at a time.
    class Runner;

    bool operator==(const Biquad&) const = default;
};

class Biquad::Runner {
public:
    explicit Runner(const Biquad& f) : f_(f) {}
    double operator()(double in) {
        const double out = f_.b0 * in + f_.b1 * x1_ + f_.b2 * x2_ - f_.a1 * y1_ - f_.a2 * y2_;
        x2_ = x1_;
        x1_ = in;
        y2_ = y1_;
        y1_ = out;
        return out;
    }

private:
    Biquad f_;
    double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

}  // namespace qm

#include "analysis/Biquad.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qm {

namespace {

// A corner at or above the Nyquist frequency makes the cookbook filter
// unstable (a low sample rate with the 6 kHz texture low-pass blew up to
// NaN): keep it just under.
double corner(double hz, double sr) { return std::min(hz, 0.45 * sr); }

}  // namespace

Biquad Biquad::highPass(double hz, double q, double sr) {
    hz = corner(hz, sr);
    const double w0 = 2 * std::numbers::pi * hz / sr, cw = std::cos(w0), alpha = std::sin(w0) / (2 * q),
                 a0 = 1 + alpha;
    return {(1 + cw) / 2 / a0, -(1 + cw) / a0, (1 + cw) / 2 / a0, -2 * cw / a0, (1 - alpha) / a0};
}

Biquad Biquad::lowPass(double hz, double q, double sr) {
    hz = corner(hz, sr);
    const double w0 = 2 * std::numbers::pi * hz / sr, cw = std::cos(w0), alpha = std::sin(w0) / (2 * q),
                 a0 = 1 + alpha;
    return {(1 - cw) / 2 / a0, (1 - cw) / a0, (1 - cw) / 2 / a0, -2 * cw / a0, (1 - alpha) / a0};
}

std::vector<float> Biquad::run(const std::vector<float>& x) const {
    std::vector<float> y(x.size());
    Runner filter(*this);
    for (size_t n = 0; n < x.size(); ++n) y[n] = static_cast<float>(filter(x[n]));
    return y;
}

}  // namespace qm

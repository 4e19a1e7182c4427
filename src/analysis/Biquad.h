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

    // The filter's memory of one channel: its last two inputs and outputs.
    // T is double, or a vector of doubles for channels side by side, each
    // lane worked as on its own.
    template <class T>
    struct History {
        T x1{}, x2{}, y1{}, y2{};
    };

    // One output for one input, the history moved on.
    template <class T>
    T step(History<T>& h, T in) const {
        const T out = b0 * in + b1 * h.x1 + b2 * h.x2 - a1 * h.y1 - a2 * h.y2;
        h.x2 = h.x1;
        h.x1 = in;
        h.y2 = h.y1;
        h.y1 = out;
        return out;
    }

    // The filter one sample at a time.
    class Runner;

    bool operator==(const Biquad&) const = default;
};

class Biquad::Runner {
public:
    explicit Runner(const Biquad& f) : f_(f) {}
    double operator()(double in) { return f_.step(history_, in); }

private:
    Biquad f_;
    History<double> history_;
};

}  // namespace qm

// Spatial mathematics under the mix builder: sound-field rotation, real
// spherical harmonics up to third order (ACN channel order, SN3D
// normalisation), conversion of N3D and FuMa sources into that convention,
// max-rE order weights, two direction grids (Fibonacci sphere, 26-point
// Lebedev quadrature), the sampling and AllRAD decoders with their shared
// energy normalisation, and three-dimensional VBAP over a speaker hull.
//
// Everything is pure computation on small double arrays, run on the caller's
// thread whenever a mix matrix is made (on the main thread, on every slider
// move). Only the Lebedev grid is cached, made once on first use; any thread
// may call anything here.
//
// Vectors: x to the front, y to the left, z up. A direction's unit vector is
// (cos el cos az, cos el sin az, sin el); a vector's direction is
// az = atan2(y, x), el = asin(z / |v|), and the zero vector gives (0, 0).
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "audio/SourceFormat.h"
#include "audio/Speakers.h"

namespace qm {

using Vec3 = std::array<double, 3>;
// Rows of doubles: a 3x3 rotation, a decoder (one row per output, one column
// per ACN channel) or a format conversion.
using Matrix = std::vector<std::vector<double>>;

Vec3 unitVector(const Direction& d);
Direction directionOf(const Vec3& v);

// A sound-field rotation in degrees. Positive yaw turns the scene to the
// left, positive pitch raises a frontal source, positive roll raises the
// left side.
struct Rotation {
    double yaw = 0;
    double pitch = 0;
    double roll = 0;

    bool operator==(const Rotation&) const = default;
    // R = Rz(yaw) * Ry(-pitch) * Rx(roll), applied to source directions.
    Matrix matrix() const;
};

namespace Mat3 {
Matrix mul(const Matrix& a, const Matrix& b);
// R^T * v: turns a decoding direction back into the unrotated source frame.
Vec3 transposeApply(const Matrix& r, const Vec3& v);
}  // namespace Mat3

namespace Ambisonics {

// (order+1)^2 channels; a negative order has none.
int channelCount(int order);
// Order n of ACN channel k.
int channelOrder(int k);

// The (order+1)^2 real spherical harmonics of v's direction, ACN/SN3D.
// Entries above the third order stay 0.
std::vector<double> sh(int order, const Vec3& v);
// One weight per order 0 ... order; orders from 3 up take the third-order value.
std::vector<double> maxRE(int order);
// n nearly uniform directions, the first near the zenith, the last near the nadir.
std::vector<Direction> fibonacci(int n);

struct Grid {
    std::vector<Direction> dirs;
    std::vector<double> weights;  // one per direction, summing to 1
};
// The 26-point Lebedev quadrature, made once on first use.
const Grid& lebedev26();

// Turns a source in the given normalisation into ACN/SN3D: (order+1)^2 square
// for sn3d and n3d, always the 4x4 first-order matrix for FuMa.
Matrix toSN3D(int order, AmbiNorm norm);

// One row per direction. With weights (one per direction) each row is scaled
// by its weight over the mean weight.
Matrix samplingDecoder(int order, const std::vector<Direction>& dirs,
                       const std::optional<std::vector<double>>& weights,
                       const Rotation& rotation, bool normalize);
// One row per speaker: a dense virtual grid sampled and panned onto the
// speakers with VBAP.
Matrix allradDecoder(int order, const std::vector<Direction>& speakers, const Rotation& rotation);
// The decoder scaled to unit mean energy over a uniform grid.
Matrix energyNormalized(const Matrix& d, int order);

}  // namespace Ambisonics

// Vector-base amplitude panning over the convex hull of a speaker set, with a
// virtual nadir always and a virtual zenith when no speaker is higher than 30°.
struct VBAP {
    struct Triangle {
        int i = 0, j = 0, k = 0;  // point indices, i < j < k
        Vec3 ci{}, cj{}, ck{};    // columns of the inverse of the matrix of the three points
    };

    int count = 0;              // real speakers
    std::optional<int> top;     // virtual zenith, when added
    int bottom = 0;             // virtual nadir
    std::vector<Vec3> points;   // real speakers in order, then nadir, then zenith
    std::vector<Triangle> tris;

    explicit VBAP(const std::vector<Direction>& speakers);
    // The first triangle, in hull order, that covers p; none when p lies
    // outside every triangle.
    std::optional<size_t> triangleFor(const Vec3& p) const;
    // One gain per real speaker; an empty speaker set gives an empty list.
    std::vector<double> gains(const Vec3& p) const;
};

}  // namespace qm

#include "spatial/Ambisonics.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qm {

namespace {

constexpr double kRad = std::numbers::pi / 180.0;
constexpr double kDeg = 180.0 / std::numbers::pi;

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

Vec3 scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

// g[n] * (2n + 1) / divisor for every ACN channel: the per-channel factor of
// both decoders.
std::vector<double> channelFactors(int order, double divisor) {
    int n = Ambisonics::channelCount(order);
    std::vector<double> g = Ambisonics::maxRE(order);
    std::vector<double> f(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        int o = Ambisonics::channelOrder(k);
        f[static_cast<size_t>(k)] = g[static_cast<size_t>(o)] * (2 * o + 1) / divisor;
    }
    return f;
}

}  // namespace

Vec3 unitVector(const Direction& d) {
    double az = d.az * kRad, el = d.el * kRad;
    return {std::cos(el) * std::cos(az), std::cos(el) * std::sin(az), std::sin(el)};
}

Direction directionOf(const Vec3& v) {
    double len = std::sqrt(dot(v, v));
    if (len == 0) return {0, 0};
    return {std::atan2(v[1], v[0]) * kDeg, std::asin(std::clamp(v[2] / len, -1.0, 1.0)) * kDeg};
}

Matrix Rotation::matrix() const {
    // An angle that is not a number (a bad value from a control command or a
    // stored state) counts as 0 rather than turning every gain into NaN.
    auto rad = [](double deg) { return std::isfinite(deg) ? deg * kRad : 0.0; };
    double y = rad(yaw), t = -rad(pitch), r = rad(roll);
    Matrix rz = {{std::cos(y), -std::sin(y), 0}, {std::sin(y), std::cos(y), 0}, {0, 0, 1}};
    Matrix ry = {{std::cos(t), 0, std::sin(t)}, {0, 1, 0}, {-std::sin(t), 0, std::cos(t)}};
    Matrix rx = {{1, 0, 0}, {0, std::cos(r), -std::sin(r)}, {0, std::sin(r), std::cos(r)}};
    return Mat3::mul(Mat3::mul(rz, ry), rx);
}

namespace Mat3 {

Matrix mul(const Matrix& a, const Matrix& b) {
    Matrix out(3, std::vector<double>(3, 0.0));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0;
            for (int m = 0; m < 3; ++m) s += a[i][m] * b[m][j];
            out[i][j] = s;
        }
    return out;
}

Vec3 transposeApply(const Matrix& r, const Vec3& v) {
    Vec3 out{};
    for (int j = 0; j < 3; ++j) out[j] = r[0][j] * v[0] + r[1][j] * v[1] + r[2][j] * v[2];
    return out;
}

}  // namespace Mat3

namespace Ambisonics {

int channelCount(int order) { return order < 0 ? 0 : (order + 1) * (order + 1); }

int channelOrder(int k) { return static_cast<int>(std::floor(std::sqrt(static_cast<double>(k)) + 1e-9)); }

// Harmonics above order 3 are left zero, so larger orders only pad with zero
// columns.
std::vector<double> sh(int order, const Vec3& v) {
    std::vector<double> y(static_cast<size_t>(channelCount(order)), 0.0);
    if (y.empty()) return y;
    double len = std::max(std::sqrt(dot(v, v)), 1e-12);
    double phi = std::atan2(v[1], v[0]);
    double theta = std::asin(std::clamp(v[2] / len, -1.0, 1.0));
    double sp = std::sin(phi), cp = std::cos(phi);
    double st = std::sin(theta), ct = std::cos(theta);
    y[0] = 1;
    if (order >= 1) {
        y[1] = sp * ct;
        y[2] = st;
        y[3] = cp * ct;
    }
    if (order >= 2) {
        constexpr double c2 = 0.8660254037844386;  // sqrt(3)/2
        y[4] = c2 * ct * ct * std::sin(2 * phi);
        y[5] = c2 * sp * std::sin(2 * theta);
        y[6] = (3 * st * st - 1) / 2;
        y[7] = c2 * cp * std::sin(2 * theta);
        y[8] = c2 * ct * ct * std::cos(2 * phi);
    }
    if (order >= 3) {
        constexpr double a = 0.7905694150420949;  // sqrt(5/8)
        constexpr double b = 1.9364916731037085;  // sqrt(15)/2
        constexpr double c = 0.6123724356957945;  // sqrt(3/8)
        y[9] = a * ct * ct * ct * std::sin(3 * phi);
        y[10] = b * st * ct * ct * std::sin(2 * phi);
        y[11] = c * sp * ct * (5 * st * st - 1);
        y[12] = st * (5 * st * st - 3) / 2;
        y[13] = c * cp * ct * (5 * st * st - 1);
        y[14] = b * st * ct * ct * std::cos(2 * phi);
        y[15] = a * ct * ct * ct * std::cos(3 * phi);
    }
    return y;
}

std::vector<double> maxRE(int order) {
    std::vector<double> w(static_cast<size_t>(std::max(order + 1, 0)));
    double r = std::cos(2.4068090385001804 / (order + 1.51));
    for (size_t n = 0; n < w.size(); ++n) {
        if (n == 0) w[n] = 1;
        else if (n == 1) w[n] = r;
        else if (n == 2) w[n] = (3 * r * r - 1) / 2;
        else w[n] = (5 * r * r * r - 3 * r) / 2;
    }
    return w;
}

std::vector<Direction> fibonacci(int n) {
    std::vector<Direction> dirs;
    dirs.reserve(static_cast<size_t>(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        double z = 1 - 2 * (i + 0.5) / n;
        double rho = std::sqrt(std::max(0.0, 1 - z * z));
        double a = i * 2.399963229728653;
        dirs.push_back(directionOf({rho * std::cos(a), rho * std::sin(a), z}));
    }
    return dirs;
}

const Grid& lebedev26() {
    static const Grid grid = [] {
        Grid g;
        auto add = [&g](double x, double y, double z, double w) {
            g.dirs.push_back(directionOf({x, y, z}));
            g.weights.push_back(w);
        };
        add(1, 0, 0, 1.0 / 21);
        add(-1, 0, 0, 1.0 / 21);
        add(0, 1, 0, 1.0 / 21);
        add(0, -1, 0, 1.0 / 21);
        add(0, 0, 1, 1.0 / 21);
        add(0, 0, -1, 1.0 / 21);
        for (double a : {-1.0, 1.0})
            for (double b : {-1.0, 1.0}) {
                add(a, b, 0, 4.0 / 105);
                add(a, 0, b, 4.0 / 105);
                add(0, a, b, 4.0 / 105);
            }
        for (double a : {-1.0, 1.0})
            for (double b : {-1.0, 1.0}) {
                add(a, b, -1, 9.0 / 280);
                add(a, b, 1, 9.0 / 280);
            }
        return g;
    }();
    return grid;
}

Matrix toSN3D(int order, AmbiNorm norm) {
    if (norm == AmbiNorm::fuma) {
        // FuMa channel order is W, X, Y, Z; only the first order is converted.
        Matrix t(4, std::vector<double>(4, 0.0));
        t[0][0] = std::numbers::sqrt2;
        t[1][2] = 1;
        t[2][3] = 1;
        t[3][1] = 1;
        return t;
    }
    int n = channelCount(order);
    Matrix t(static_cast<size_t>(n), std::vector<double>(static_cast<size_t>(n), 0.0));
    for (int k = 0; k < n; ++k)
        t[k][k] = norm == AmbiNorm::n3d ? 1 / std::sqrt(2.0 * channelOrder(k) + 1) : 1.0;
    return t;
}

Matrix samplingDecoder(int order, const std::vector<Direction>& dirs,
                       const std::optional<std::vector<double>>& weights,
                       const Rotation& rotation, bool normalize) {
    const size_t m = dirs.size();
    double meanWeight = 1;
    if (weights && m > 0) {
        double sum = 0;
        for (double w : *weights) sum += w;
        meanWeight = sum / static_cast<double>(m);
    }
    std::vector<double> f = channelFactors(order, static_cast<double>(m));
    Matrix r = rotation.matrix();
    Matrix d;
    d.reserve(m);
    for (size_t i = 0; i < m; ++i) {
        std::vector<double> y = sh(order, Mat3::transposeApply(r, unitVector(dirs[i])));
        // A missing weight (a list shorter than the directions) counts as 1.
        double w = weights && i < weights->size() ? (*weights)[i] : 1.0;
        for (size_t k = 0; k < y.size(); ++k) y[k] *= w / meanWeight * f[k];
        d.push_back(std::move(y));
    }
    return normalize ? energyNormalized(d, order) : d;
}

Matrix allradDecoder(int order, const std::vector<Direction>& speakers, const Rotation& rotation) {
    constexpr int kGrid = 240;
    const int n = channelCount(order);
    std::vector<double> f = channelFactors(order, kGrid);
    Matrix r = rotation.matrix();
    VBAP vbap(speakers);
    Matrix d(speakers.size(), std::vector<double>(static_cast<size_t>(n), 0.0));
    for (const Direction& dir : fibonacci(kGrid)) {
        Vec3 v = unitVector(dir);
        std::vector<double> g = sh(order, Mat3::transposeApply(r, v));
        for (int k = 0; k < n; ++k) g[k] *= f[k];
        std::vector<double> a = vbap.gains(v);
        for (size_t s = 0; s < a.size(); ++s) {
            if (a[s] == 0) continue;
            for (int k = 0; k < n; ++k) d[s][k] += a[s] * g[k];
        }
    }
    return energyNormalized(d, order);
}

Matrix energyNormalized(const Matrix& d, int order) {
    constexpr int kGrid = 400;
    double e = 0;
    for (const Direction& dir : fibonacci(kGrid)) {
        std::vector<double> y = sh(order, unitVector(dir));
        for (const auto& row : d) {
            double s = 0;
            for (size_t k = 0; k < row.size() && k < y.size(); ++k) s += row[k] * y[k];
            e += s * s;
        }
    }
    e /= kGrid;
    if (!(e > 0)) return d;
    double g = 1 / std::sqrt(e);
    Matrix out = d;
    for (auto& row : out)
        for (double& x : row) x *= g;
    return out;
}

}  // namespace Ambisonics

VBAP::VBAP(const std::vector<Direction>& speakers) {
    count = static_cast<int>(speakers.size());
    bool high = false;
    for (const Direction& d : speakers) {
        points.push_back(unitVector(d));
        if (d.el > 30) high = true;
    }
    points.push_back({0, 0, -1});
    bottom = count;
    if (!high) {
        points.push_back({0, 0, 1});
        top = count + 1;
    }

    // Brute-force hull: every triple whose plane misses the centre and has no
    // points on both sides. Coplanar points give every triangle among them.
    const int np = static_cast<int>(points.size());
    if (np < 2) return;
    for (int i = 0; i < np; ++i)
        for (int j = i + 1; j < np; ++j)
            for (int k = j + 1; k < np; ++k) {
                const Vec3 &pi = points[i], &pj = points[j], &pk = points[k];
                Vec3 n = cross(sub(pj, pi), sub(pk, pi));
                if (dot(n, n) < 1e-12) continue;
                double d0 = dot(n, pi);
                if (std::abs(d0) < 1e-9) continue;
                bool above = false, below = false;
                for (int m = 0; m < np && !(above && below); ++m) {
                    if (m == i || m == j || m == k) continue;
                    double d = dot(n, points[m]) - d0;
                    if (d > 1e-9) above = true;
                    else if (d < -1e-9) below = true;
                }
                if (above && below) continue;
                double det = dot(pi, cross(pj, pk));
                if (std::abs(det) < 1e-9) continue;
                tris.push_back({i, j, k, scale(cross(pj, pk), 1 / det),
                                scale(cross(pk, pi), 1 / det), scale(cross(pi, pj), 1 / det)});
            }
}

std::optional<size_t> VBAP::triangleFor(const Vec3& p) const {
    for (size_t t = 0; t < tris.size(); ++t) {
        const Triangle& tri = tris[t];
        double g0 = dot(p, tri.ci), g1 = dot(p, tri.cj), g2 = dot(p, tri.ck);
        if (g0 < -1e-6 || g1 < -1e-6 || g2 < -1e-6) continue;
        if (g0 * g0 + g1 * g1 + g2 * g2 > 0) return t;
    }
    return std::nullopt;
}

std::vector<double> VBAP::gains(const Vec3& p) const {
    std::vector<double> out(static_cast<size_t>(count), 0.0);
    if (auto t = triangleFor(p)) {
        const Triangle& tri = tris[*t];
        double g[3] = {dot(p, tri.ci), dot(p, tri.cj), dot(p, tri.ck)};
        double norm = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
        const int idx[3] = {tri.i, tri.j, tri.k};
        for (int v = 0; v < 3; ++v) {
            double gain = std::max(g[v] / norm, 0.0);
            if (idx[v] < count) out[static_cast<size_t>(idx[v])] += gain;
            else if (top && idx[v] == *top)
                for (double& o : out) o += gain / std::sqrt(static_cast<double>(count));
            // The nadir's share is dropped.
        }
        return out;
    }
    // Not covered by the hull: the nearest real speaker takes it all.
    int best = -1;
    double bestDot = -2;
    for (int s = 0; s < count; ++s) {
        double d = dot(p, points[static_cast<size_t>(s)]);
        if (d > bestDot) {
            bestDot = d;
            best = s;
        }
    }
    if (best >= 0) out[static_cast<size_t>(best)] = 1.0;
    return out;
}

}  // namespace qm

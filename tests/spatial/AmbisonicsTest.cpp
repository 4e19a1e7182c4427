#include "spatial/Ambisonics.h"

#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

using namespace qm;
using S = SpeakerID;

namespace {

std::vector<Direction> nonLfeDirections(LayoutID id) {
    std::vector<SpeakerID> list;
    for (SpeakerID s : layout::speakers(id))
        if (s != S::LFE) list.push_back(s);
    // Directions are taken within the whole layout (the side pair depends on it).
    std::vector<Direction> dirs;
    for (SpeakerID s : list) dirs.push_back(speaker::direction(s, layout::speakers(id)));
    return dirs;
}

Vec3 turn(const Matrix& r, const Vec3& v) {
    Vec3 out{};
    for (int i = 0; i < 3; ++i) out[i] = r[i][0] * v[0] + r[i][1] * v[1] + r[i][2] * v[2];
    return out;
}

void expectVecNear(const Vec3& a, const Vec3& b, double tol) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

}  // namespace

// The zero vector reads as the front; orders above 3 leave their harmonics
// at zero. A source on the left has positive Y (ACN 1), above positive Z
// (ACN 2), in front positive X (ACN 3).
TEST(Ambisonics, HarmonicsOfTheZeroVectorAndTheLeftPositiveConvention) {
    EXPECT_EQ(directionOf({0, 0, 0}), (Direction{0, 0}));
    EXPECT_EQ(Ambisonics::sh(1, {0, 0, 0}), (std::vector<double>{1, 0, 0, 1}));
    auto y5 = Ambisonics::sh(5, {0, 1, 0});
    ASSERT_EQ(y5.size(), 36u);
    for (size_t k = 16; k < 36; ++k) EXPECT_EQ(y5[k], 0.0) << k;
    auto left = Ambisonics::sh(1, unitVector({90, 0}));
    EXPECT_NEAR(left[1], 1, 1e-12);
    EXPECT_NEAR(left[3], 0, 1e-12);
    EXPECT_NEAR(Ambisonics::sh(1, unitVector({0, 90}))[2], 1, 1e-12);
}

// The Lebedev grid integrates polynomials up to degree 7 exactly, so the
// products of two harmonics up to third order integrate exactly: SN3D
// harmonics are orthogonal with mean square 1/(2n+1). This checks every
// constant and sign of the harmonics and the grid's directions and weights at
// once; the spot check pins the order of the grid's rows.
TEST(Ambisonics, HarmonicsAreOrthogonalOverTheLebedevGrid) {
    const auto& grid = Ambisonics::lebedev26();
    ASSERT_EQ(grid.dirs.size(), 26u);
    EXPECT_NEAR(grid.dirs[18].az, -135, 1e-9);
    EXPECT_NEAR(grid.dirs[18].el, -35.26439, 1e-5);
    double total = 0;
    for (double w : grid.weights) total += w;
    EXPECT_NEAR(total, 1.0, 1e-12);
    std::vector<std::vector<double>> ys;
    for (const auto& d : grid.dirs) ys.push_back(Ambisonics::sh(3, unitVector(d)));
    for (int k = 0; k < 16; ++k)
        for (int l = 0; l < 16; ++l) {
            double s = 0;
            for (size_t i = 0; i < ys.size(); ++i) s += grid.weights[i] * ys[i][k] * ys[i][l];
            double expected = k == l ? 1.0 / (2 * Ambisonics::channelOrder(k) + 1) : 0.0;
            EXPECT_NEAR(s, expected, 1e-12) << k << "," << l;
        }
}

TEST(Ambisonics, MaxReWeightsAndFibonacciGrid) {
    EXPECT_EQ(Ambisonics::maxRE(0), (std::vector<double>{1}));
    auto w5 = Ambisonics::maxRE(5);
    ASSERT_EQ(w5.size(), 6u);
    double r = std::cos(2.4068090385001804 / 6.51);
    EXPECT_DOUBLE_EQ(w5[3], (5 * r * r * r - 3 * r) / 2);
    EXPECT_EQ(w5[5], w5[3]);  // orders above 3 keep the third order's weight
    EXPECT_TRUE(Ambisonics::fibonacci(0).empty());
    EXPECT_EQ(Ambisonics::fibonacci(1), (std::vector<Direction>{{0, 0}}));
    auto g = Ambisonics::fibonacci(240);
    EXPECT_GT(g.front().el, 80);
    EXPECT_LT(g.back().el, -80);
}

TEST(Ambisonics, WeightedSamplingDecoderScalesRowsByTheirWeight) {
    const auto& g = Ambisonics::lebedev26();
    for (int order = 1; order <= 3; ++order) {
        auto plain = Ambisonics::samplingDecoder(order, g.dirs, std::nullopt, {}, false);
        auto weighted = Ambisonics::samplingDecoder(order, g.dirs, g.weights, {}, false);
        ASSERT_EQ(weighted.size(), 26u);
        for (size_t i = 0; i < 26; ++i) {
            ASSERT_EQ(weighted[i].size(), static_cast<size_t>((order + 1) * (order + 1)));
            for (size_t k = 0; k < weighted[i].size(); ++k)
                EXPECT_NEAR(weighted[i][k], plain[i][k] * 26 * g.weights[i], 1e-12);
        }
    }
    EXPECT_TRUE(Ambisonics::samplingDecoder(2, {}, std::nullopt, {}, true).empty());
}

TEST(Rotation, MatricesAreOrthonormalAndInvertedByTheirInverse) {
    for (double yaw = -180; yaw <= 180; yaw += 7.5) {
        Matrix there = Rotation{yaw, 0, 0}.matrix();
        Matrix back = Rotation{-yaw, 0, 0}.matrix();
        Matrix id = Mat3::mul(back, there);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(id[i][j], i == j ? 1 : 0, 1e-5);
    }
    for (Rotation r : {Rotation{30, 20, 10}, Rotation{-100, 45, -70}, Rotation{179, -89, 33}}) {
        Matrix m = r.matrix();
        // R^T (R v) = v for any v.
        for (const auto& d : Ambisonics::fibonacci(20)) {
            Vec3 v = unitVector(d);
            expectVecNear(Mat3::transposeApply(m, turn(m, v)), v, 1e-12);
        }
    }
    Matrix zero = Rotation{}.matrix();
    EXPECT_EQ(zero, (Matrix{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
    // Angles that are not numbers are ignored instead of spreading NaN.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ((Rotation{nan, inf, -inf}.matrix()), zero);
    EXPECT_EQ((Rotation{90, nan, 0}.matrix()), (Rotation{90, 0, 0}.matrix()));
}

TEST(Rotation, SignsOfYawPitchAndRoll) {
    // Positive yaw turns the front to the left.
    expectVecNear(turn(Rotation{90, 0, 0}.matrix(), {1, 0, 0}), {0, 1, 0}, 1e-12);
    // Positive pitch raises a frontal source.
    expectVecNear(turn(Rotation{0, 90, 0}.matrix(), {1, 0, 0}), {0, 0, 1}, 1e-12);
    // Positive roll raises the left side.
    expectVecNear(turn(Rotation{0, 0, 90}.matrix(), {0, 1, 0}), {0, 0, 1}, 1e-12);
    // The product is taken as (Rz Ry) Rx.
    Rotation r{40, 25, -15};
    Matrix expected = Mat3::mul(Mat3::mul(Rotation{40, 0, 0}.matrix(), Rotation{0, 25, 0}.matrix()),
                                Rotation{0, 0, -15}.matrix());
    Matrix got = r.matrix();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(got[i][j], expected[i][j], 1e-15);
}

// A decoder with a rotation plays a source at v as the unrotated decoder plays
// the same source at R v: the decoded field is the source field turned by R.
TEST(Rotation, DecodersTurnTheSoundField) {
    Rotation rot{70, 20, -30};
    Matrix r = rot.matrix();
    const auto& g = Ambisonics::lebedev26();
    for (int order = 1; order <= 3; ++order) {
        // Unnormalised: the energy grid is not rotation invariant to the last digit.
        auto rotatedS = Ambisonics::samplingDecoder(order, g.dirs, g.weights, rot, false);
        auto plainS = Ambisonics::samplingDecoder(order, g.dirs, g.weights, {}, false);
        for (const auto& d : Ambisonics::fibonacci(12)) {
            Vec3 v = unitVector(d);
            auto y = Ambisonics::sh(order, v);
            auto yTurned = Ambisonics::sh(order, turn(r, v));
            for (size_t row = 0; row < rotatedS.size(); ++row) {
                double a = 0, b = 0;
                for (size_t k = 0; k < y.size(); ++k) {
                    a += rotatedS[row][k] * y[k];
                    b += plainS[row][k] * yTurned[k];
                }
                EXPECT_NEAR(a, b, 1e-9);
            }
        }
    }
}

TEST(VBAP, VirtualZenithSpreadsOverEverySpeakerAndTheNadirIsDropped) {
    auto speakers = nonLfeDirections(LayoutID::l51);
    VBAP v(speakers);
    EXPECT_EQ(v.count, 5);
    EXPECT_EQ(v.bottom, 5);
    ASSERT_TRUE(v.top);
    EXPECT_EQ(*v.top, 6);
    ASSERT_EQ(v.points.size(), 7u);
    auto up = v.gains({0, 0, 1});
    ASSERT_EQ(up.size(), 5u);
    for (double g : up) EXPECT_NEAR(g, 1 / std::sqrt(5.0), 1e-9);
    for (double g : v.gains({0, 0, -1})) EXPECT_NEAR(g, 0, 1e-12);
}

TEST(VBAP, HighSpeakerRemovesTheZenithAndUncoveredDirectionsGoToTheNearest) {
    // Ltm sits at 60°: no zenith. The hull of L, R, Ltm and the nadir does not
    // enclose the centre, so directions behind fall back to the nearest speaker.
    std::vector<Direction> speakers = {{30, 0}, {-30, 0}, {90, 60}};
    VBAP v(speakers);
    EXPECT_FALSE(v.top);
    EXPECT_EQ(v.points.size(), 4u);
    Vec3 back = unitVector({-120, 0});
    EXPECT_FALSE(v.triangleFor(back));
    EXPECT_EQ(v.gains(back), (std::vector<double>{0, 1, 0}));
    // Equal dot products: the first speaker wins. A stereo pair with both
    // virtual points still leaves the back uncovered.
    VBAP pair({{30, 0}, {-30, 0}});
    EXPECT_TRUE(pair.top);
    EXPECT_FALSE(pair.triangleFor({-1, 0, 0}));
    EXPECT_EQ(pair.gains({-1, 0, 0}), (std::vector<double>{1, 0}));
}

TEST(VBAP, DirectionOnASharedEdgeTakesTheFirstTriangle) {
    // Points on the nadir-centre-front plane: the front speaker C sits on
    // the edges of several triangles and the first covering one decides.
    VBAP v(nonLfeDirections(LayoutID::l714));
    auto t = v.triangleFor(unitVector({0, 0}));
    ASSERT_TRUE(t);
    for (size_t k = 0; k < *t; ++k) {
        VBAP one = v;
        one.tris = {v.tris[k]};
        EXPECT_FALSE(one.triangleFor(unitVector({0, 0}))) << k;
    }
    EXPECT_NEAR(v.gains(unitVector({0, 0}))[2], 1, 1e-9);
}

TEST(VBAP, EmptySpeakerListGivesNoGains) {
    VBAP v({});
    EXPECT_EQ(v.count, 0);
    EXPECT_TRUE(v.tris.empty());
    EXPECT_TRUE(v.gains({1, 0, 0}).empty());
    auto d = Ambisonics::allradDecoder(1, {}, {});
    EXPECT_TRUE(d.empty());
}

// Over every layout and a 1° grid: gains are finite and non-negative; where a
// triangle of real speakers covers the direction, at most three speakers
// sound and the power is exactly 1. Directions on a virtual-point triangle
// lose the nadir's share or spread the zenith's share over all speakers, so
// their power stays at most 1 plus that spread.
TEST(VBAP, GainsOverEveryLayoutOnAOneDegreeGrid) {
    for (LayoutID id : layout::allCases()) {
        VBAP v(nonLfeDirections(id));
        int real = 0, virt = 0, fallback = 0;
        for (int el = -90; el <= 90; ++el)
            for (int az = -180; az < 180; ++az) {
                Vec3 p = unitVector({double(az), double(el)});
                auto g = v.gains(p);
                ASSERT_EQ(g.size(), static_cast<size_t>(v.count));
                int nonZero = 0;
                double power = 0;
                for (double x : g) {
                    ASSERT_TRUE(std::isfinite(x));
                    ASSERT_GE(x, 0);
                    nonZero += x != 0;
                    power += x * x;
                }
                auto t = v.triangleFor(p);
                if (!t) {
                    ++fallback;
                    EXPECT_EQ(nonZero, 1);
                    EXPECT_EQ(power, 1);
                    continue;
                }
                const auto& tri = v.tris[*t];
                if (tri.i < v.count && tri.j < v.count && tri.k < v.count) {
                    ++real;
                    EXPECT_LE(nonZero, 3) << layout::rawValue(id) << " " << az << " " << el;
                    EXPECT_NEAR(power, 1, 1e-9) << layout::rawValue(id) << " " << az << " " << el;
                } else {
                    ++virt;
                    EXPECT_LE(power, 2 + 1e-9);
                }
            }
        // Every layout holds ear-level speakers around the listener except stereo.
        if (id != LayoutID::stereo) {
            EXPECT_EQ(fallback, 0) << layout::rawValue(id);
        }
        // Ear-level layouts pan every direction through a virtual point.
        bool heights = id != LayoutID::stereo && id != LayoutID::l51 && id != LayoutID::l71;
        EXPECT_EQ(real > 0, heights) << layout::rawValue(id);
        EXPECT_GT(virt, 0) << layout::rawValue(id);
    }
}

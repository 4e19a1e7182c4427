#include "platform/FFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

using namespace qm;

TEST(RealFFTPlan, ForwardIsTheUnnormalisedDFT) {
    for (int n : {4, 1024, 12, 9}) {
        RealFFTPlan plan(n);
        ASSERT_EQ(plan.bins(), n / 2 + 1);
        std::vector<float> ones(n, 1.0f);
        std::vector<std::complex<float>> X(plan.bins());
        plan.forward(ones.data(), X.data());
        EXPECT_NEAR(X[0].real(), n, 1e-4 * n) << n;
        for (int k = 1; k < plan.bins(); ++k) EXPECT_NEAR(std::abs(X[k]), 0, 1e-4 * n) << n;

        // A unit cosine at bin 3 has modulus n/2 there, a sine the phase -pi/2.
        std::vector<float> c(n), s(n);
        for (int j = 0; j < n; ++j) {
            c[j] = float(std::cos(2 * std::numbers::pi * 3 * j / n));
            s[j] = float(std::sin(2 * std::numbers::pi * 3 * j / n));
        }
        if (n / 2 > 3) {
            plan.forward(c.data(), X.data());
            EXPECT_NEAR(X[3].real(), n / 2.0, 1e-3 * n);
            EXPECT_NEAR(X[3].imag(), 0, 1e-3 * n);
            std::vector<float> re(plan.bins()), im(plan.bins());
            plan.forward(s.data(), re.data(), im.data());
            EXPECT_NEAR(re[3], 0, 1e-3 * n);
            EXPECT_NEAR(im[3], -n / 2.0, 1e-3 * n);
        }
        // An alternating signal is all in the Nyquist bin; the input is left intact.
        if (n % 2 == 0) {
            std::vector<float> alt(n);
            for (int j = 0; j < n; ++j) alt[j] = j % 2 ? -1.0f : 1.0f;
            const auto copy = alt;
            plan.forward(alt.data(), X.data());
            EXPECT_NEAR(X[n / 2].real(), n, 1e-4 * n);
            EXPECT_NEAR(std::abs(X[0]), 0, 1e-4 * n);
            EXPECT_EQ(alt, copy);
        }
    }
}

TEST(RealFFTPlan, InverseOfForwardScalesByN) {
    for (int n : {16, 1024, 30}) {
        RealFFTPlan plan(n);
        std::vector<float> x(n);
        for (int j = 0; j < n; ++j) x[j] = float(std::sin(0.37 * j) + 0.25 * (j % 5));
        std::vector<std::complex<float>> X(plan.bins());
        plan.forward(x.data(), X.data());
        const auto Xcopy = X;
        std::vector<float> y(n);
        plan.inverse(X.data(), y.data());
        EXPECT_EQ(X, Xcopy);  // the inverse leaves its input alone
        for (int j = 0; j < n; ++j) EXPECT_NEAR(y[j], n * x[j], 1e-4 * n) << n << " " << j;

        std::vector<float> re(plan.bins()), im(plan.bins()), z(n);
        plan.forward(x.data(), re.data(), im.data());
        plan.inverse(re.data(), im.data(), z.data());
        for (int j = 0; j < n; ++j) EXPECT_NEAR(z[j], n * x[j], 1e-4 * n);
    }
}

TEST(RealFFTPlan, MisalignedArraysGiveTheSameResult) {
    const int n = 64;
    RealFFTPlan plan(n);
    std::vector<float> store(n + 3), out(n + 3);
    for (int j = 0; j < n; ++j) store[j + 1] = float(std::cos(0.2 * j * j));
    std::vector<float> aligned(store.begin() + 1, store.begin() + 1 + n);
    std::vector<std::complex<float>> A(plan.bins()), B(plan.bins() + 1);
    plan.forward(aligned.data(), A.data());
    // float* at offset 1 and a complex array at an odd float offset
    auto* Bmis = reinterpret_cast<std::complex<float>*>(reinterpret_cast<float*>(B.data()) + 1);
    plan.forward(store.data() + 1, Bmis);
    for (int k = 0; k < plan.bins(); ++k) EXPECT_EQ(A[k], Bmis[k]);
    plan.inverse(A.data(), out.data() + 1);
    for (int j = 0; j < n; ++j) EXPECT_NEAR(out[j + 1], n * aligned[j], 1e-3);
}

TEST(RealFFTPlan, RejectsSizesBelowTwo) {
    EXPECT_THROW(RealFFTPlan(1), std::invalid_argument);
    EXPECT_THROW(RealFFTPlan(0), std::invalid_argument);
}

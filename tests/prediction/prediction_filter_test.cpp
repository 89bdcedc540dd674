#include "prediction/prediction_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "prediction_test_support.h"

namespace elq {
namespace {

// Independent reference: written straight from the algorithm text with a shifting history and plain
// square matrices, no shared kernels. Predictions and coefficients must match bit for bit.
struct NaiveFilter {
    int p = 0;
    uint32_t K = 0;
    double lambda = 0.0;
    uint32_t count = 0;
    uint32_t lastSolve = 0;
    double h[130] = {};
    double r[130] = {};
    double w[128] = {};
    double d[128] = {};
    double S[128][128] = {};
    double A[128][128] = {};

    NaiveFilter(int order, uint32_t k, double lam) : p(order), K(k), lambda(lam) { w[0] = 1.0; }

    static int32_t toInt(double sum) {
        double t = std::nearbyint(sum);
        if (!(t >= -2147483648.0 && t <= 2147483647.0)) return INT32_MIN;
        return static_cast<int32_t>(t);
    }
    int32_t predict() const {
        double a = 0.0, b = 0.0;
        for (int g = 0; g < p / 4; ++g) {
            double q0 = h[4 * g] * w[4 * g], q1 = h[4 * g + 1] * w[4 * g + 1];
            double q2 = h[4 * g + 2] * w[4 * g + 2], q3 = h[4 * g + 3] * w[4 * g + 3];
            a = a + (q0 + q1);
            b = b + (q2 + q3);
        }
        return toInt(b + a);
    }
    void update(int32_t sample) {
        double x = sample;
        for (int i = p; i > 0; --i)
            h[i] = h[i - 1];
        h[0] = x;
        ++count;
        if (count < static_cast<uint32_t>(p)) return;
        if (count == static_cast<uint32_t>(p)) {
            for (int i = 0; i < p; ++i)
                for (int j = 0; j <= i; ++j)
                    S[i][j] = h[i + 1] * h[j + 1];
            lastSolve = p;
        }
        for (int k = 0; k <= p; ++k)
            r[k] = (lambda * r[k]) + (x * h[k]);
        if (count - lastSolve >= K) {
            solve();
            lastSolve = count;
        }
    }
    void solve() {
        if (r[0] >= 0.5) {
            double inv = 1.0 / lambda;
            if (count < 48000) {
                double g = 1.0, base = lambda;
                for (uint32_t e = count - lastSolve; e != 0; e >>= 1) {
                    if (e & 1) g = g * base;
                    base = base * base;
                }
                for (int i = 0; i < p; ++i) {
                    double old = S[i][0];
                    S[i][0] = g * old;
                    A[i][0] = ((r[i] - h[i] * h[0]) * inv) + (g * old);
                    for (int j = 1; j <= i; ++j) {
                        old = S[i][j];
                        S[i][j] = g * old;
                        A[i][j] = ((A[i - 1][j - 1] - h[j] * h[i]) * inv) + (g * old);
                    }
                    w[i] = r[i + 1];
                }
            } else {
                for (int i = 0; i < p; ++i) {
                    A[i][0] = (r[i] - h[i] * h[0]) * inv;
                    for (int j = 1; j <= i; ++j)
                        A[i][j] = (A[i - 1][j - 1] - h[j] * h[i]) * inv;
                    w[i] = r[i + 1];
                }
            }
            if (ldl(p, w)) return;
            for (int k = 0; k < p; ++k)
                w[k] = 0.0;
            for (int k = 1; k <= p; ++k) {
                if (r[0] == r[k]) {
                    w[k - 1] = 1.0;
                    return;
                }
            }
            w[0] = 1.0;
        } else {
            if (r[0] != 0.0 && r[0] < 1e-9)
                for (int k = 0; k <= p; ++k)
                    r[k] = 0.0;
            w[0] = 1.0;
            for (int k = 1; k < p; ++k)
                w[k] = 0.0;
        }
    }
    bool ldl(int n, double* b) {
        d[0] = A[0][0];
        A[0][0] = 1.0;
        for (int i = 1; i < n; ++i) {
            for (int k = 0; k < i; ++k) {
                double v = A[i][k];
                for (int m = 0; m < k; ++m)
                    v = v - ((d[m] * A[i][m]) * A[k][m]);
                A[i][k] = v / d[k];
            }
            double v = A[i][i];
            A[i][i] = 1.0;
            for (int m = 0; m < i; ++m)
                v = v - ((A[i][m] * A[i][m]) * d[m]);
            if (std::fabs(v) < 1e-5 || std::isnan(v)) return false;
            d[i] = v;
        }
        for (int i = 1; i < n; ++i) {
            double v = b[i];
            for (int m = 0; m < i; ++m)
                v = v - (A[i][m] * b[m]);
            b[i] = v;
        }
        b[n - 1] = b[n - 1] / d[n - 1];
        for (int i = n - 2; i >= 0; --i) {
            double v = b[i] / d[i];
            for (int m = i + 1; m < n; ++m)
                v = v - (b[m] * A[m][i]);
            b[i] = v;
        }
        return true;
    }
};

double lambdaOf(uint32_t n) {
    return (n - 1.0) / n;
}

// Runs both filters over `signal`; returns how many predictions were INT32_MIN.
int expectSameAsReference(const std::vector<int32_t>& signal, int order, uint32_t interval, uint32_t memory) {
    SCOPED_TRACE(testing::Message() << "order " << order << " interval " << interval << " memory " << memory);
    auto reference = std::make_unique<NaiveFilter>(order, interval, lambdaOf(memory));
    PredictionFilter filter;
    filter.init(order, interval, lambdaOf(memory));
    int outOfRange = 0;
    for (size_t i = 0; i < signal.size(); ++i) {
        int32_t expected = reference->predict();
        int32_t got = filter.predict();
        if (got != expected || memcmp(filter.coefficients(), reference->w, order * sizeof(double)) != 0) {
            ADD_FAILURE() << "diverges at sample " << i << ": " << got << " vs " << expected;
            return outOfRange;
        }
        outOfRange += got == INT32_MIN;
        reference->update(signal[i]);
        filter.update(signal[i]);
    }
    return outOfRange;
}

TEST(PredictionFilter, MatchesStraightReferenceBitForBit) {
    auto music = test::musicLike(6000, 20000.0, 1, 16000.0);
    expectSameAsReference(music, 32, 128, 256);
    expectSameAsReference(music, 12, 1, 2);
    expectSameAsReference(music, 24, 5, 4097);
    expectSameAsReference(test::musicLike(4000, 8.0e6, 2), 128, 300, 65537);
    expectSameAsReference(test::whiteNoise(3000, -100, 100, 3), 16, 33, 64);
    expectSameAsReference(test::whiteNoise(3000, INT32_MIN, INT32_MAX, 4), 4, 7, 16);
}

TEST(PredictionFilter, MatchesReferenceAcrossTheStartupSwitch) {
    // Long enough to pass count 48000, where the start-up correction is dropped.
    expectSameAsReference(test::musicLike(52000, 3000.0, 5), 8, 64, 1024);
}

TEST(PredictionFilter, OverflowingPredictionGivesMostNegativeValue) {
    // A steep ramp that stops at the top of the 32-bit range: the fitted extrapolation overshoots.
    std::vector<int32_t> ramp(3000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, -2000000000LL + 3000000LL * int64_t(i)));
    EXPECT_GT(expectSameAsReference(ramp, 8, 16, 32), 0);
}

TEST(PredictionFilter, AllZeroInputPredictsZero) {
    PredictionFilter filter;
    filter.init(32, 32, lambdaOf(256));
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(filter.predict(), 0);
        filter.update(0);
    }
    EXPECT_EQ(filter.coefficients()[0], 1.0);
    for (int k = 1; k < 32; ++k)
        EXPECT_EQ(filter.coefficients()[k], 0.0);
}

TEST(PredictionFilter, FirstOrderPlusIntervalSamplesRepeatThePreviousSample) {
    const uint32_t p = 24, K = 64;
    auto signal = test::musicLike(p + K + 50, 10000.0, 6);
    PredictionFilter filter;
    filter.init(p, K, lambdaOf(128));
    int32_t previous = 0;
    bool changed = false;
    for (uint32_t i = 0; i < signal.size(); ++i) {
        if (i < p + K) {
            ASSERT_EQ(filter.predict(), previous) << i;
        } else {
            changed |= filter.predict() != previous;
        }
        filter.update(signal[i]);
        previous = signal[i];
    }
    EXPECT_TRUE(changed);  // the first solve, at count p + K, did replace the start predictor
}

TEST(PredictionFilter, PeriodicSignalFallsBackToTheSampleOnePeriodBack) {
    const int32_t pattern[5] = {70, -20, 35, -90, 5};
    PredictionFilter filter;
    filter.init(16, 32, lambdaOf(256));
    int exact = 0;
    for (int i = 0; i < 4000; ++i) {
        int32_t x = pattern[i % 5];
        exact += i >= 2000 && filter.predict() == x;
        filter.update(x);
    }
    EXPECT_EQ(exact, 2000);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(filter.coefficients()[k], k == 4 ? 1.0 : 0.0) << k;
}

TEST(PredictionFilter, RoundsTiesToEvenThenTestsTheRange) {
    EXPECT_EQ(roundPrediction(2.5), 2);
    EXPECT_EQ(roundPrediction(3.5), 4);
    EXPECT_EQ(roundPrediction(-2.5), -2);
    EXPECT_EQ(roundPrediction(-0.5), 0);
    EXPECT_EQ(roundPrediction(2147483647.4), INT32_MAX);
    EXPECT_EQ(roundPrediction(2147483646.5), 2147483646);
    EXPECT_EQ(roundPrediction(2147483647.5), INT32_MIN);   // rounds to 2^31, out of range
    EXPECT_EQ(roundPrediction(-2147483648.5), INT32_MIN);  // rounds to -2^31 itself
    EXPECT_EQ(roundPrediction(-2147483647.5), INT32_MIN);  // rounds to -2^31 too (even)
    EXPECT_EQ(roundPrediction(-2147483646.5), -2147483646);
    EXPECT_EQ(roundPrediction(-2147483649.0), INT32_MIN);
    EXPECT_EQ(roundPrediction(1e300), INT32_MIN);
    EXPECT_EQ(roundPrediction(std::numeric_limits<double>::infinity()), INT32_MIN);
    EXPECT_EQ(roundPrediction(std::numeric_limits<double>::quiet_NaN()), INT32_MIN);
}

TEST(PredictionFilter, ZeroFirstPivotFailsAtTheSecondRow) {
    // Packed 2 x 2 lower triangle with A[0][0] = 0: the division gives a non-number at row 1.
    double a[3] = {0.0, 1.0, 2.0};
    double d[2];
    double scratch[2];
    double b[2] = {3.0, 4.0};
    EXPECT_FALSE(decomposeAndSolve(a, d, b, scratch, 2));
    EXPECT_EQ(b[0], 3.0);
    EXPECT_EQ(b[1], 4.0);
    // A well-posed system is solved: [[4, 2], [2, 3]] x = (2, 5) gives x = (-0.5, 2).
    double m[3] = {4.0, 2.0, 3.0};
    double rhs[2] = {2.0, 5.0};
    ASSERT_TRUE(decomposeAndSolve(m, d, rhs, scratch, 2));
    EXPECT_DOUBLE_EQ(rhs[0], -0.5);
    EXPECT_DOUBLE_EQ(rhs[1], 2.0);
}

TEST(PredictionFilter, PowerBySquaring) {
    EXPECT_EQ(powerBySquaring(0.5, 0), 1.0);
    EXPECT_EQ(powerBySquaring(0.5, 10), 1.0 / 1024.0);
    EXPECT_EQ(powerBySquaring(3.0, 5), 243.0);
}

}  // namespace
}  // namespace elq

#include "prediction/prediction_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "prediction/mono_predictor.h"
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
    test::forEachKernelSet([&] {
        expectSameAsReference(music, 32, 128, 256);
        expectSameAsReference(music, 12, 1, 2);
        expectSameAsReference(music, 24, 5, 4097);
        expectSameAsReference(test::musicLike(4000, 8.0e6, 2), 128, 300, 65537);
        expectSameAsReference(test::whiteNoise(3000, -100, 100, 3), 16, 33, 64);
        expectSameAsReference(test::whiteNoise(3000, INT32_MIN, INT32_MAX, 4), 4, 7, 16);
    });
}

TEST(PredictionFilter, MatchesReferenceAcrossTheStartupSwitch) {
    // Long enough to pass count 48000, where the start-up correction is dropped.
    test::forEachKernelSet([] { expectSameAsReference(test::musicLike(52000, 3000.0, 5), 8, 64, 1024); });
}

// The block loops (compiled once per kernel set) against the reference with the predictor's clamp and
// wrap: odd and even group counts, short and long solve intervals; the decoder restores the samples.
TEST(PredictionFilter, BlockLoopMatchesReferenceWithEveryKernelSet) {
    auto music = test::musicLike(5000, 20000.0, 7, 18000.0);
    const int32_t lo = -18000, hi = 18000;
    const uint32_t width = 17;
    const uint32_t settings[8][2] = {{4, 3},   {8, 32}, {12, 1},  {20, 7},
                                     {24, 32}, {24, 3}, {48, 64}, {128, 128}};
    for (auto& setting : settings) {
        const uint32_t order = setting[0], interval = setting[1];
        SCOPED_TRACE(testing::Message() << "order " << order << " interval " << interval);
        auto reference = std::make_unique<NaiveFilter>(order, interval, lambdaOf(181));
        std::vector<int32_t> expected(music.size());
        for (size_t i = 0; i < music.size(); ++i) {
            expected[i] = test::referenceResidue(music[i], reference->predict(), lo, hi, width);
            reference->update(music[i]);
        }
        test::forEachKernelSet([&] {
            MonoPredictorEncoder encoder;
            encoder.setParameters(181, order, interval, lo, hi, width, {});
            std::vector<int32_t> got(music.size());
            encoder.predictBlock(music.data(), static_cast<uint32_t>(music.size()), got.data());
            ASSERT_EQ(got, expected);
            test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
            MonoPredictorDecoder decoder;
            decoder.setParameters(lo, hi, width, {});
            decoder.readParameters(coded.decoder());
            decoder.reconstructBlock(got.data(), static_cast<uint32_t>(got.size()), got.data());
            EXPECT_EQ(got, music);
        });
    }
}

// The per-sample and matrix-build kernels of each lane type against plain scalar arithmetic on random
// doubles, where any change of order or rounding shows in the bits.
struct KernelOutputs {
    std::vector<double> values;  // everything each kernel produced, in a fixed order
};

template <class V>
ELQ_ALWAYS_INLINE KernelOutputs runKernels(const std::vector<double>& h, const std::vector<double>& w,
                                           uint32_t n) {
    KernelOutputs out;
    PredictionSums sums = {};
    accumulatePrediction<V>(h.data(), w.data(), n, sums);
    accumulatePrediction<V>(h.data() + 1, w.data(), n - 4, sums);  // continues the same accumulators
    out.values.push_back(finalSum(sums));
    std::vector<double> r(w.begin(), w.begin() + n + 1), ry = r, rx = r;
    accumulateCorrelation<V>(r.data(), h.data(), h[0], 0.99, n + 1);
    accumulateCorrelationPairs<V>(ry.data(), rx.data(), h.data() + 1, n, h[5], h[0], 0.75);
    std::vector<double> column(n), scaled(w.begin(), w.begin() + n), current = scaled, plain(n), s2 = scaled;
    buildColumn<V, Correction::scale>(column.data(), r.data(), h[3], h.data() + 2, 1.25, scaled.data(), 0.5,
                                      n);
    buildColumn<V, Correction::current>(current.data(), ry.data(), h[1], h.data(), 1.5, s2.data(), 0.0, n);
    buildColumn<V, Correction::none>(plain.data(), rx.data(), h[2], h.data() + 3, 2.0, nullptr, 0.0, n);
    for (auto* v : {&r, &ry, &rx, &column, &scaled, &current, &plain})
        out.values.insert(out.values.end(), v->begin(), v->end());
    return out;
}

KernelOutputs runPortableKernels(const std::vector<double>& h, const std::vector<double>& w, uint32_t n) {
    return runKernels<PortableLanes>(h, w, n);
}
#ifdef ELQ_AVX2_KERNELS
ELQ_TARGET_AVX2 KernelOutputs runWideKernels(const std::vector<double>& h, const std::vector<double>& w,
                                             uint32_t n) {
    return runKernels<WideLanes>(h, w, n);
}
#endif

KernelOutputs scalarKernels(const std::vector<double>& h, const std::vector<double>& w, uint32_t n) {
    KernelOutputs out;
    double A = 0.0, B = 0.0;
    for (uint32_t k = 0; k < n; k += 4) {
        A = A + (h[k] * w[k] + h[k + 1] * w[k + 1]);
        B = B + (h[k + 2] * w[k + 2] + h[k + 3] * w[k + 3]);
    }
    for (uint32_t k = 0; k < n - 4; k += 4) {
        A = A + (h[k + 1] * w[k] + h[k + 2] * w[k + 1]);
        B = B + (h[k + 3] * w[k + 2] + h[k + 4] * w[k + 3]);
    }
    out.values.push_back(B + A);
    std::vector<double> r(w.begin(), w.begin() + n + 1), ry = r, rx = r;
    for (uint32_t k = 0; k <= n; ++k)
        r[k] = (0.99 * r[k]) + (h[0] * h[k]);
    for (uint32_t k = 0; k < n; ++k) {
        ry[k] = (0.75 * ry[k]) + (h[k + 1] * h[5]);
        rx[k] = (0.75 * rx[k]) + (h[k + 1] * h[0]);
    }
    std::vector<double> column(n), scaled(w.begin(), w.begin() + n), current = scaled, plain(n);
    for (uint32_t t = 0; t < n; ++t) {
        const double old = scaled[t];
        scaled[t] = 0.5 * old;
        column[t] = ((r[t] - h[3] * h[t + 2]) * 1.25) + (0.5 * old);
        current[t] = ((ry[t] - h[1] * h[t]) * 1.5) + current[t];
        plain[t] = (rx[t] - h[2] * h[t + 3]) * 2.0;
    }
    for (auto* v : {&r, &ry, &rx, &column, &scaled, &current, &plain})
        out.values.insert(out.values.end(), v->begin(), v->end());
    return out;
}

TEST(PredictionFilter, KernelsOfEveryLaneTypeMatchScalarArithmetic) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> pick(-3.0e4, 3.0e4);
    for (uint32_t n = 8; n <= 132; n += 4) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        std::vector<double> h(n + 8), w(n + 8);
        for (auto& v : h)
            v = std::round(pick(rng));
        for (auto& v : w)
            v = pick(rng) / 7.0e4;
        const std::vector<double> expected = scalarKernels(h, w, n).values;
        EXPECT_EQ(memcmp(runPortableKernels(h, w, n).values.data(), expected.data(), expected.size() * 8), 0);
#ifdef ELQ_AVX2_KERNELS
        if (kernelSetSupported(KernelSet::avx2)) {
            EXPECT_EQ(memcmp(runWideKernels(h, w, n).values.data(), expected.data(), expected.size() * 8), 0);
        }
#endif
    }
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
    double scratch[8];
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

// Row-by-row decomposition and solve on a plain square matrix, straight from the text.
bool naiveDecomposeAndSolve(std::vector<std::vector<double>> A, std::vector<double>& b,
                            std::vector<double>& d) {
    const int n = static_cast<int>(b.size());
    d.assign(n, 0.0);
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
        for (int m = 0; m < i; ++m)
            v = v - ((A[i][m] * A[i][m]) * d[m]);
        if (!(std::fabs(v) >= 1e-5)) return false;
        d[i] = v;
    }
    for (int i = 1; i < n; ++i)
        for (int m = 0; m < i; ++m)
            b[i] = b[i] - (A[i][m] * b[m]);
    b[n - 1] = b[n - 1] / d[n - 1];
    for (int i = n - 2; i >= 0; --i) {
        double v = b[i] / d[i];
        for (int m = i + 1; m < n; ++m)
            v = v - (b[m] * A[m][i]);
        b[i] = v;
    }
    return true;
}

TEST(PredictionFilter, DecompositionMatchesRowByRowEvaluation) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> pick(-1000.0, 1000.0);
    int failures = 0;
    // Every panel remainder and lane remainder, and a few larger systems.
    for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 13u, 18u, 27u}) {
        for (int trial = 0; trial < 40; ++trial) {
            SCOPED_TRACE(testing::Message() << "n " << n << " trial " << trial);
            // Gram matrices of random vectors (trial % 4 == 0: of fewer vectors than n, so singular),
            // and plain random symmetric ones.
            std::vector<std::vector<double>> A(n, std::vector<double>(n, 0.0));
            uint32_t vectors = trial % 4 == 0 ? (n + 1) / 2 : n + 3;
            std::vector<std::vector<double>> x(vectors, std::vector<double>(n));
            for (auto& row : x)
                for (auto& v : row)
                    v = std::round(pick(rng));
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t j = 0; j <= i; ++j) {
                    if (trial % 4 == 3) {
                        A[i][j] = pick(rng);
                    } else {
                        for (auto& row : x)
                            A[i][j] = A[i][j] + row[i] * row[j];
                    }
                }
            std::vector<double> packed(packedSize(n)), b(n), d(n), scratch(decompositionScratch(n)),
                expectedD;
            for (uint32_t j = 0; j < n; ++j)
                for (uint32_t i = j; i < n; ++i)
                    packed[columnStart(j, n) + (i - j)] = A[i][j];
            for (auto& v : b)
                v = pick(rng);
            const std::vector<double> given = b;
            std::vector<double> expected = b;
            bool ok = naiveDecomposeAndSolve(A, expected, expectedD);
            failures += !ok;
            for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
                if (!kernelSetSupported(set)) continue;
                SCOPED_TRACE(set == KernelSet::avx2 ? "AVX2 kernels" : "portable kernels");
                std::vector<double> work = packed;
                b = given;
                ASSERT_EQ(decomposeAndSolve(work.data(), d.data(), b.data(), scratch.data(), n, set), ok);
                if (ok) {
                    EXPECT_EQ(memcmp(b.data(), expected.data(), n * sizeof(double)), 0);
                    EXPECT_EQ(memcmp(d.data(), expectedD.data(), n * sizeof(double)), 0);
                } else {
                    EXPECT_EQ(b, given);  // a failed decomposition leaves the right-hand side alone
                }
            }
        }
    }
    EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace elq

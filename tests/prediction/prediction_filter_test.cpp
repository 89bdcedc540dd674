#include "prediction/prediction_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "prediction_test_support.h"

namespace elq {
namespace {

using test::Square;

// Everything the per-sample and matrix-build kernels of lane type V produce, in a fixed order;
// accumulatePrediction over the multiple of 4 below n, the others over n elements.
template <class V>
ELQ_ALWAYS_INLINE std::vector<double> kernelOutputs(const std::vector<double>& h,
                                                    const std::vector<double>& w, uint32_t n) {
    const uint32_t n4 = n & ~3u;
    PredictionSums sums = {};
    accumulatePrediction<V>(h.data(), w.data(), n4, sums);
    accumulatePrediction<V>(h.data() + 1, w.data(), n4 - 4, sums);  // continues the same chains
    std::vector<double> r(w.begin(), w.begin() + n + 1), ry = r, rx = r, s1 = r, s2 = r, c1(n), c2(n), c3(n);
    accumulateCorrelation<V>(r.data(), h.data(), h[0], 0.99, n + 1);
    accumulateCorrelationPairs<V>(ry.data(), rx.data(), h.data() + 1, n, h[5], h[0], 0.75);
    buildColumn<V, Correction::scale>(c1.data(), r.data(), h[3], h.data() + 2, 1.25, s1.data(), 0.5, n);
    buildColumn<V, Correction::current>(c2.data(), ry.data(), h[1], h.data(), 1.5, s2.data(), 0.0, n);
    buildColumn<V, Correction::none>(c3.data(), rx.data(), h[2], h.data() + 3, 2.0, nullptr, 0.0, n);
    std::vector<double> out{finalSum(sums)};
    for (auto* v : {&r, &ry, &rx, &s1, &c1, &c2, &c3})
        out.insert(out.end(), v->begin(), v->end());
    return out;
}

#ifdef ELQ_AVX2_KERNELS
ELQ_TARGET_AVX2 std::vector<double> wideOutputs(const std::vector<double>& h, const std::vector<double>& w,
                                                uint32_t n) {
    return kernelOutputs<WideLanes>(h, w, n);
}
#endif

// The element-wise kernels one double at a time; the prediction sum straight from the text.
std::vector<double> scalarOutputs(const std::vector<double>& h, const std::vector<double>& w, uint32_t n) {
    std::vector<double> out = kernelOutputs<double>(h, w, n);
    double a = 0.0, b = 0.0;
    test::naiveSum(h.data(), w.data(), n & ~3u, a, b);
    test::naiveSum(h.data() + 1, w.data(), (n & ~3u) - 4, a, b);
    out[0] = b + a;
    return out;
}

// Random doubles, where any change of order or rounding shows in the bits; every lane remainder.
TEST(PredictionFilter, KernelsOfEveryLaneTypeMatchScalarArithmetic) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> pick(-3.0e4, 3.0e4);
    for (uint32_t n = 8; n <= 135; ++n) {
        std::vector<double> h(n + 8), w(n + 8);
        for (uint32_t k = 0; k < n + 8; ++k) {
            h[k] = std::round(pick(rng));
            w[k] = pick(rng) / 7.0e4;
        }
        const std::vector<double> expected = scalarOutputs(h, w, n);
        EXPECT_TRUE(
            test::sameBits(kernelOutputs<PortableLanes>(h, w, n).data(), expected.data(), expected.size()))
            << n;
#ifdef ELQ_AVX2_KERNELS
        if (kernelSetSupported(KernelSet::avx2)) {
            EXPECT_TRUE(test::sameBits(wideOutputs(h, w, n).data(), expected.data(), expected.size())) << n;
        }
#endif
    }
}

// The packed, panelled decomposition of each kernel set against the row-by-row one: every panel and
// lane remainder, Gram matrices (some of fewer vectors than n, so singular), some with a zero first
// column, and plain random symmetric ones.
TEST(PredictionFilter, DecompositionMatchesRowByRowEvaluation) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> pick(-1000.0, 1000.0);
    auto A = std::make_unique<Square>();
    int failures = 0;
    for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 13u, 18u, 27u, 128u}) {
        for (int trial = 0; trial < (n == 128 ? 4 : 40); ++trial) {
            SCOPED_TRACE(testing::Message() << "n " << n << " trial " << trial);
            std::vector<std::vector<double>> x(trial % 4 == 0 ? (n + 1) / 2 : n + 3, std::vector<double>(n));
            for (auto& row : x)
                for (uint32_t i = 0; i < n; ++i)
                    row[i] = trial % 4 == 1 && i == 0 ? 0.0 : std::round(pick(rng));
            std::vector<double> packed(packedSize(n)), b(n), d(n), expectedD(n),
                scratch(decompositionScratch(n));
            for (uint32_t j = 0; j < n; ++j) {
                for (uint32_t i = j; i < n; ++i) {
                    double v = trial % 4 == 3 ? pick(rng) : 0.0;
                    for (size_t k = 0; trial % 4 != 3 && k < x.size(); ++k)
                        v = v + x[k][i] * x[k][j];
                    packed[columnStart(j, n) + (i - j)] = (*A)[i][j] = v;
                }
            }
            for (auto& v : b)
                v = pick(rng);
            std::vector<double> expected = b;
            const bool ok = test::naiveSolve(*A, expectedD.data(), expected.data(), int(n));
            failures += !ok;
            for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
                if (!kernelSetSupported(set)) continue;
                std::vector<double> work = packed, solution = b;
                ASSERT_EQ(decomposeAndSolve(work.data(), d.data(), solution.data(), scratch.data(), n, set),
                          ok);
                // A failure leaves the right-hand side alone.
                EXPECT_TRUE(test::sameBits(solution.data(), (ok ? expected : b).data(), n));
                EXPECT_TRUE(!ok || test::sameBits(d.data(), expectedD.data(), n));
            }
        }
    }
    EXPECT_GT(failures, 100);
}

TEST(PredictionFilter, RoundsTiesToEvenThenTestsTheRange) {
    const double inf = std::numeric_limits<double>::infinity(),
                 nan = std::numeric_limits<double>::quiet_NaN();
    const double sums[] = {
        2.5,           3.5,           -2.5,          -0.5,  2147483647.4, 2147483646.5, 2147483647.5,
        -2147483648.5, -2147483646.5, -2147483649.0, 1e300, inf,          nan};
    const int32_t expected[] = {2,          4,         -2,        0,           INT32_MAX,
                                2147483646, INT32_MIN, INT32_MIN, -2147483646, INT32_MIN,
                                INT32_MIN,  INT32_MIN, INT32_MIN};
    for (size_t i = 0; i < std::size(sums); ++i)
        EXPECT_EQ(roundPrediction(sums[i]), expected[i]) << sums[i];
}

}  // namespace
}  // namespace elq

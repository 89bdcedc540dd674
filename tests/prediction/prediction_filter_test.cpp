// The prediction filters, mono and stereo, value by value against a plain scalar model of the filter
// written independently of src/ (shifting histories, square matrices, a row-by-row decomposition), with
// every kernel set the processor has; around them the encoders' block loops, the parameter fields and the
// decoders, reconstructing in slices.
#include "prediction/prediction_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "prediction/mono_predictor.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

// Sine mixture with noise, scaled to `amplitude`, optionally clipped to `clip` (0: no clipping).
std::vector<int32_t> musicLike(uint32_t count, double amplitude, uint32_t seed, double clip = 0.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int32_t> out(count);
    const double f1 = 0.01 + 0.01 * (seed % 7), f2 = 0.043 + 0.002 * (seed % 5);
    for (uint32_t i = 0; i < count; ++i) {
        double v = 0.6 * std::sin(f1 * i) + 0.25 * std::sin(f2 * i + 1.0) * std::sin(0.0003 * i) +
                   0.1 * std::sin(0.17 * i) + 0.02 * noise(rng);
        v *= amplitude;
        out[i] = static_cast<int32_t>(std::lround(clip > 0.0 ? std::fmax(-clip, std::fmin(clip, v)) : v));
    }
    return out;
}

std::vector<int32_t> whiteNoise(uint32_t count, int32_t lo, int32_t hi, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = pick(rng);
    return out;
}

std::vector<int32_t> interleave(const std::vector<int32_t>& left, const std::vector<int32_t>& right) {
    std::vector<int32_t> out;
    for (size_t i = 0; i < left.size(); ++i)
        out.insert(out.end(), {left[i], right[i]});
    return out;
}

// Adds h[k]·w[k], k < n, in groups of four into the two accumulators: a += (q0 + q1), b += (q2 + q3).
void naiveSum(const double* h, const double* w, int n, double& a, double& b) {
    for (int k = 0; k < n; k += 4) {
        a = a + (h[k] * w[k] + h[k + 1] * w[k + 1]);
        b = b + (h[k + 2] * w[k + 2] + h[k + 3] * w[k + 3]);
    }
}

// The prediction sums of every kernel set against the reference before rounding: a term taken
// into the wrong accumulator or pair changes a rounded prediction only when the sum lies near a
// half, too rarely for the comparisons of whole filters to see.
TEST(PredictionFilter, SumsMatchTheReferenceBeforeRounding) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> pick(-1.0, 1.0);
    std::vector<double> h(128), w(128);
    for (int trial = 0; trial < 50; ++trial) {
        for (size_t k = 0; k < 128; ++k) {
            h[k] = std::round(pick(rng) * 30000.0);
            w[k] = pick(rng);
        }
        for (uint32_t n = 4; n <= 128; n += 4) {
            double a = 0.0, b = 0.0;
            naiveSum(h.data(), w.data(), int(n), a, b);
            for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
                if (!kernelSetSupported(set)) continue;
                const PredictionSums sums = runWithKernels(set, [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
                    PredictionSums s = {};
                    accumulatePrediction<V>(h.data(), w.data(), n, s);
                    return s;
                });
                EXPECT_TRUE(sums[0] == a && sums[1] == b) << "order " << n << " set " << int(set);
            }
        }
    }
}

using Square = std::array<std::array<double, 128>, 128>;

// Row-by-row LDL^T decomposition of the lower triangle of A (n x n, L overwriting it) and solution
// of A·x = b in b. Fails, before b changes, at the first pivot after the first whose magnitude is
// below 1e-5 or which is not a number.
bool naiveSolve(Square& A, double* d, double* b, int n) {
    d[0] = A[0][0];
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
    for (int i = n - 1; i >= 0; --i) {
        double v = b[i] / d[i];
        for (int m = i + 1; m < n; ++m)
            v = v - (b[m] * A[m][i]);
        b[i] = v;
    }
    return true;
}

// The prediction filters with shifting histories and square matrices: the stereo pair for a cross
// order c > 0, the mono filter (channel 0 alone) for c = 0, which has no cross regressors and no
// own-channel fallback. Counts the branches taken.
struct NaiveFilter {
    int P, c, a;  // total, cross and own order
    uint32_t K;
    double lambda;
    struct Channel {
        uint32_t count = 0, lastSolve = 0;
        double h[130] = {}, r[257] = {}, w[128] = {1.0};
        Square S = {};
    } ch[2];
    Square A = {};
    double d[128] = {};
    int outOfRange = 0, quietResets = 0, lagFallbacks = 0, ownFallbacks = 0, ownFailures = 0;

    NaiveFilter(uint32_t order, uint32_t cross, uint32_t interval, uint32_t memory)
        : P(int(order)), c(int(cross)), a(P - c), K(interval), lambda((memory - 1.0) / memory) {}

    int32_t predict(int k) {
        double s0 = 0.0, s1 = 0.0;
        naiveSum(ch[k].h, ch[k].w, a, s0, s1);
        naiveSum(ch[k ^ 1].h, ch[k].w + a, c, s0, s1);
        // Nearest integer, ties to even; INT32_MIN when outside the 32-bit range or not a number.
        const double t = std::nearbyint(s1 + s0);
        const int32_t q = t >= -2147483648.0 && t <= 2147483647.0 ? static_cast<int32_t>(t) : INT32_MIN;
        outOfRange += q == INT32_MIN;
        return q;
    }
    // Regressor m of channel k after its update: its own samples before x, then the other's newest.
    double z(int k, int m) const { return m < a ? ch[k].h[m + 1] : ch[k ^ 1].h[m - a]; }
    void update(int k, int32_t sample) {
        Channel& C = ch[k];
        const double x = sample, y = ch[k ^ 1].h[0];
        std::copy_backward(C.h, C.h + 129, C.h + 130);
        C.h[0] = x;
        if (++C.count < uint32_t(a)) return;
        if (C.count == uint32_t(a)) {
            for (int i = 0; i < P; ++i)
                for (int j = 0; j <= i; ++j)
                    C.S[i][j] = i == a || j == a ? 0.0 : z(k, i) * z(k, j);
            C.lastSolve = a;
        }
        C.r[0] = (lambda * C.r[0]) + (x * x);
        for (int m = 0; m < P; ++m) {
            C.r[1 + 2 * m] = (lambda * C.r[1 + 2 * m]) + (z(k, m) * y);
            C.r[2 + 2 * m] = (lambda * C.r[2 + 2 * m]) + (z(k, m) * x);
        }
        if (C.count - C.lastSolve >= K) {
            solve(k);
            C.lastSolve = C.count;
        }
    }
    // The first n rows of the system; row and column a hold r[2m + 1] as they stand. mode 0 scales S
    // by g and adds it, 1 adds it as it stands, 2 leaves it out.
    void build(Channel& C, const double* other, int n, double g, int mode) {
        auto v = [&](int i) { return i < a ? C.h[i] : other[i - a - 1]; };
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j <= i; ++j) {
                if (i == a || j == a) {
                    A[i][j] = C.r[2 * (i == a ? j : i) + 1];
                    continue;
                }
                A[i][j] = ((j == 0 ? C.r[2 * i] : A[i - 1][j - 1]) - v(j) * v(i)) * (1.0 / lambda);
                if (mode == 0) C.S[i][j] = g * C.S[i][j];
                if (mode != 2) A[i][j] = A[i][j] + C.S[i][j];
            }
            C.w[i] = C.r[2 * i + 2];
        }
    }
    void solve(int k) {
        Channel& C = ch[k];
        std::fill(C.w, C.w + P, 0.0);
        if (!(C.r[0] >= 0.5)) {
            if (C.r[0] != 0.0 && C.r[0] < 1e-9) {
                std::fill(C.r, C.r + 2 * P + 1, 0.0);
                ++quietResets;
            }
            C.w[0] = 1.0;
            return;
        }
        const bool correction = C.count < 48000;
        double g = 1.0, base = lambda;  // lambda^(count - lastSolve), lowest bit first
        for (uint32_t e = C.count - C.lastSolve; e != 0; e >>= 1, base = base * base)
            if (e & 1) g = g * base;
        build(C, ch[k ^ 1].h, P, g, correction ? 0 : 2);
        if (naiveSolve(A, d, C.w, P)) return;
        std::fill(C.w, C.w + P, 0.0);
        for (int m = 1; m <= P; ++m) {
            if (C.r[0] == C.r[2 * m]) {
                C.w[m - 1] = 1.0;
                ++lagFallbacks;
                return;
            }
        }
        if (c > 0) {
            ++ownFallbacks;
            build(C, ch[k ^ 1].h, a, 0.0, correction ? 1 : 2);
            if (naiveSolve(A, d, C.w, a)) return;
            ++ownFailures;  // w[1..a-1] keep the right-hand side
        }
        C.w[0] = 1.0;
    }
};

struct Setting {
    uint32_t memory, order, cross, interval, bits, slice;  // cross 0: mono
};

// With every kernel set: the normalizer's mapping, then the filter value by value against the reference
// (predictions and coefficients bit for bit) and the encoder's block loop (residues clamped to each
// channel's range, wrapped to the width); the parameters through the range coder, and the decoder,
// reconstructing in slices, restores the mapped block. Returns the reference of the last run.
std::unique_ptr<NaiveFilter> expectRoundTrip(const std::vector<int32_t>& original, Setting s) {
    SCOPED_TRACE(testing::Message() << "N " << s.memory << " P " << s.order << " c " << s.cross << " K "
                                    << s.interval << " bits " << s.bits << " slice " << s.slice);
    const bool stereo = s.cross != 0;
    const uint32_t count = static_cast<uint32_t>(original.size()), channels = stereo ? 2 : 1;
    std::vector<int32_t> mapped = original;
    int32_t lo[2] = {}, hi[2] = {};
    uint32_t width = 0;
    SampleNormalizerEncoder monoNormalizer;
    StereoSampleNormalizerEncoder stereoNormalizer;
    monoNormalizer.setSampleBits(s.bits);
    stereoNormalizer.setSampleBits(s.bits);
    if (stereo) {
        stereoNormalizer.analyze(mapped.data(), count);
        stereoNormalizer.query(lo[0], hi[0], lo[1], hi[1], width);
    } else {
        monoNormalizer.analyze(mapped.data(), count);
        monoNormalizer.query(lo[0], hi[0], width);
    }
    std::unique_ptr<NaiveFilter> reference;
    const KernelSet saved = activeKernelSet();
    for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
        if (!selectKernelSet(set)) continue;
        SCOPED_TRACE(set == KernelSet::avx2 ? "AVX2 kernels" : "portable kernels");
        [&] {  // a lambda, so that a failed assertion ends this kernel set only
            reference = std::make_unique<NaiveFilter>(s.order, s.cross, s.interval, s.memory);
            PredictionFilter monoFilter;
            StereoFilter stereoFilter;
            const double lambda = (s.memory - 1.0) / s.memory;
            stereo ? stereoFilter.init(s.order, s.cross, s.interval, lambda)
                   : monoFilter.init(s.order, s.interval, lambda);
            std::vector<int32_t> expected(count), residues(count);
            for (uint32_t i = 0; i < count; ++i) {
                const int k = int(i % channels);
                const int32_t q = reference->predict(k), clamped = std::clamp(q, lo[k], hi[k]);
                ASSERT_EQ(stereo ? stereoFilter.predict(k) : monoFilter.predict(), q) << "value " << i;
                const double* w = stereo ? stereoFilter.coefficients(k) : monoFilter.coefficients();
                ASSERT_EQ(memcmp(w, reference->ch[k].w, s.order * sizeof(double)), 0) << "value " << i;
                const uint32_t shift = 32 - width;
                expected[i] =
                    static_cast<int32_t>((uint32_t(mapped[i]) - uint32_t(clamped)) << shift) >> shift;
                reference->update(k, mapped[i]);
                stereo ? stereoFilter.update(k, mapped[i]) : monoFilter.update(mapped[i]);
            }
            MonoPredictorEncoder monoEncoder;
            StereoPredictorEncoder stereoEncoder;
            MonoPredictorDecoder monoDecoder;
            StereoPredictorDecoder stereoDecoder;
            test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
                if (stereo) {
                    stereoEncoder.setParameters(s.memory, s.order, s.cross, s.interval, lo[0], hi[0], lo[1],
                                                hi[1], width, {});
                    stereoEncoder.writeParameters(e);
                    stereoEncoder.predictBlock(mapped.data(), count, residues.data());
                } else {
                    monoEncoder.setParameters(s.memory, s.order, s.interval, lo[0], hi[0], width, {});
                    monoEncoder.writeParameters(e);
                    monoEncoder.predictBlock(mapped.data(), count, residues.data());
                }
            }));
            ASSERT_EQ(residues, expected);
            stereo ? stereoDecoder.setParameters(lo[0], hi[0], lo[1], hi[1], width, {})
                   : monoDecoder.setParameters(lo[0], hi[0], width, {});
            stereo ? stereoDecoder.readParameters(coded.start()) : monoDecoder.readParameters(coded.start());
            coded.expectFullyRead();
            for (uint32_t start = 0; start < count; start += s.slice) {
                const uint32_t n = std::min(s.slice, count - start);
                int32_t* slice = residues.data() + start;
                stereo ? stereoDecoder.reconstructBlock(slice, n, slice)
                       : monoDecoder.reconstructBlock(slice, n, slice);
            }
            EXPECT_TRUE(residues == mapped);
        }();
    }
    selectKernelSet(saved);
    return reference;
}

// Orders (odd and even group counts, 4 to 128), solve intervals (1 and odd ones), memory lengths (2
// to 65537), sample widths, grids, silence, slices down to one value, and past sample 48000, where the
// start-up correction is left out.
TEST(PredictionRoundTrip, MonoBlocksMatchTheReference) {
    const auto music = musicLike(20000, 20000.0, 1, 32767.0);
    auto scaled = musicLike(8000, 4000.0, 2, 3000.0);  // a grid with clipped peaks off it
    for (auto& v : scaled)
        v = v * 8 + 3;
    const std::pair<std::vector<int32_t>, Setting> cases[] = {
        {music, {256, 32, 0, 128, 16, 20000}},
        {music, {256, 128, 0, 128, 16, 777}},
        {musicLike(9000, 100.0, 3), {2, 12, 0, 1, 8, 1000}},
        {musicLike(9000, 7e6, 4), {4097, 20, 0, 5, 24, 777}},
        {musicLike(4000, 2e9, 5, 2147483647.0), {65537, 128, 0, 301, 32, 1}},
        {whiteNoise(6000, INT32_MIN, INT32_MAX, 6), {16, 4, 0, 7, 32, 6000}},
        {scaled, {1024, 36, 0, 256, 16, 8000}},
        {std::vector<int32_t>(5000, 0), {256, 32, 0, 64, 16, 5000}},
        {{}, {256, 32, 0, 64, 16, 1}},
        {musicLike(52000, 3000.0, 7), {1024, 24, 0, 64, 16, 12345}},
    };
    for (const auto& [values, setting] : cases)
        expectRoundTrip(values, setting);
    // A steep ramp stopping at the top of the 32-bit range: the extrapolation overshoots it.
    std::vector<int32_t> ramp(3000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = int32_t(std::min<int64_t>(INT32_MAX, -2000000000LL + 3000001LL * int64_t(i) + i % 3));
    EXPECT_GT(expectRoundTrip(ramp, {32, 8, 0, 16, 32, 3000})->outOfRange, 0);
    // A periodic signal, whose singular systems fall back to the sample one period back.
    const int32_t period[5] = {70, -20, 35, -90, 5};
    std::vector<int32_t> periodic(4000);
    for (size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = period[i % 5];
    EXPECT_GT(expectRoundTrip(periodic, {256, 16, 0, 32, 16, 4000})->lagFallbacks, 0);
    // A burst, then a silence long enough for the statistics to decay to the reset.
    auto burst = musicLike(500, 3000.0, 8);
    burst.resize(3000, 0);
    EXPECT_GT(expectRoundTrip(burst, {16, 8, 0, 7, 16, 3000})->quietResets, 0);
}

TEST(PredictionRoundTrip, StereoBlocksMatchTheReference) {
    auto left = musicLike(12000, 20000.0, 11, 32767.0), right = musicLike(12000, 15000.0, 12);
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = (right[i] + left[i]) / 2;
    const auto music = interleave(left, right);
    const std::pair<std::vector<int32_t>, Setting> cases[] = {
        {music, {256, 24, 8, 128, 16, 24000}},
        {music, {2, 12, 4, 1, 16, 998}},
        {music, {4097, 64, 20, 5, 16, 2}},
        {interleave(whiteNoise(2500, -9, 9, 13), musicLike(2500, 6e6, 14)), {65537, 128, 40, 301, 24, 5000}},
        {whiteNoise(4000, INT32_MIN, INT32_MAX, 15), {16, 16, 8, 7, 32, 4000}},
        {interleave(musicLike(4000, 100.0, 16), std::vector<int32_t>(4000, -7)), {64, 24, 8, 32, 8, 4000}},
        {{}, {256, 24, 8, 128, 16, 2}},
        {interleave(musicLike(49000, 3000.0, 17), musicLike(49000, 2000.0, 18)),
         {1024, 20, 8, 64, 16, 98000}},
    };
    for (const auto& [values, setting] : cases)
        expectRoundTrip(values, setting);
    // A right channel that falls silent long enough for its statistics to decay to the reset.
    auto burst = musicLike(300, 3000.0, 19);
    burst.resize(3000, 0);
    EXPECT_GT(
        expectRoundTrip(interleave(musicLike(3000, 900.0, 20), burst), {16, 8, 4, 7, 16, 6000})->quietResets,
        0);
    // Right = left + 3·(previous left): the full system is singular and no lag repeats r[0], so the own
    // channel's is solved, before and after frame 48000. Once left follows x[t] = x[t-1] - x[t-2], so do
    // both, and the own systems are singular as well.
    std::vector<int32_t> coupled = whiteNoise(49000, -40, 40, 21), other(49000);
    const int32_t pattern[6] = {3, 1, -2, -3, -1, 2};
    for (size_t i = 0; i < coupled.size(); ++i) {
        coupled[i] = i < 45000 ? coupled[i] : pattern[i % 6];
        other[i] = coupled[i] + 3 * (i > 0 ? coupled[i - 1] : 0);
    }
    auto reference = expectRoundTrip(interleave(coupled, other), {64, 12, 4, 16, 16, 98000});
    EXPECT_GT(reference->ownFallbacks, 0);
    EXPECT_GT(reference->ownFailures, 0);
}

}  // namespace
}  // namespace elq

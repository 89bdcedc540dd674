// Shared pieces of the prediction tests: synthetic signals, the kernel-set loop, and the parts of
// the reference filters written straight from the algorithm text (no code shared with src/).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "prediction/prediction_filter.h"
#include "support/coded_bytes.h"

namespace elq::test {

// Sine mixture with noise, scaled to `amplitude`, optionally clipped to `clip` (0: no clipping).
inline std::vector<int32_t> musicLike(uint32_t count, double amplitude, uint32_t seed, double clip = 0.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int32_t> out(count);
    const double f1 = 0.01 + 0.01 * (seed % 7), f2 = 0.043 + 0.002 * (seed % 5);
    for (uint32_t i = 0; i < count; ++i) {
        double v = 0.6 * std::sin(f1 * i) + 0.25 * std::sin(f2 * i + 1.0) * std::sin(0.0003 * i) +
                   0.1 * std::sin(0.17 * i) + 0.02 * noise(rng);
        v *= amplitude;
        if (clip > 0.0) v = std::fmax(-clip, std::fmin(clip, v));
        out[i] = static_cast<int32_t>(std::lround(v));
    }
    return out;
}

inline std::vector<int32_t> whiteNoise(uint32_t count, int32_t lo, int32_t hi, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = pick(rng);
    return out;
}

// left, right, left, right, ...
inline std::vector<int32_t> interleave(const std::vector<int32_t>& left, const std::vector<int32_t>& right) {
    std::vector<int32_t> out;
    for (size_t i = 0; i < left.size(); ++i)
        out.insert(out.end(), {left[i], right[i]});
    return out;
}

// Runs `body` once with every kernel set the processor supports selected, then restores the set.
template <class Body>
void forEachKernelSet(Body body) {
    const KernelSet original = activeKernelSet();
    for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
        if (!selectKernelSet(set)) continue;
        SCOPED_TRACE(set == KernelSet::avx2 ? "AVX2 kernels" : "portable kernels");
        body();
    }
    selectKernelSet(original);
}

inline bool sameBits(const double* a, const double* b, size_t n) {
    return memcmp(a, b, n * sizeof(double)) == 0;
}

inline double lambdaOf(uint32_t memoryLength) {
    return (memoryLength - 1.0) / memoryLength;
}

// The residue of x for the prediction q: q clamped to [lo, hi], the difference wrapped to `width` bits.
inline int32_t naiveResidue(int32_t x, int32_t q, int32_t lo, int32_t hi, uint32_t width) {
    q = q <= lo ? lo : q >= hi ? hi : q;
    const uint32_t shift = 32 - width;
    return static_cast<int32_t>((static_cast<uint32_t>(x) - static_cast<uint32_t>(q)) << shift) >> shift;
}

// Nearest integer, ties to even; INT32_MIN when that is outside the 32-bit range or not a number.
inline int32_t naiveRound(double sum) {
    const double t = std::nearbyint(sum);
    return t >= -2147483648.0 && t <= 2147483647.0 ? static_cast<int32_t>(t) : INT32_MIN;
}

// Adds h[k]·w[k], k < n, in groups of four into the two accumulators: a += (q0 + q1), b += (q2 + q3).
inline void naiveSum(const double* h, const double* w, uint32_t n, double& a, double& b) {
    for (uint32_t k = 0; k < n; k += 4) {
        a = a + (h[k] * w[k] + h[k + 1] * w[k + 1]);
        b = b + (h[k + 2] * w[k + 2] + h[k + 3] * w[k + 3]);
    }
}

// base^e by square-and-multiply, lowest bit first.
inline double naivePower(double base, uint32_t e) {
    double g = 1.0;
    for (; e != 0; e >>= 1, base = base * base)
        if (e & 1) g = g * base;
    return g;
}

using Square = std::array<std::array<double, 128>, 128>;

// Row-by-row LDL^T decomposition of the lower triangle of A (n x n, L overwriting it) and solution
// of A·x = b in b. Fails, before b changes, at the first pivot after the first whose magnitude is
// below 1e-5 or which is not a number.
inline bool naiveSolve(Square& A, double* d, double* b, int n) {
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

}  // namespace elq::test

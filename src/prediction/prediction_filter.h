// Adaptive least-squares prediction filter: estimates the next integer sample of a channel from its
// preceding samples with coefficients re-solved from exponentially weighted normal equations.
// Encoder and decoder replay the same arithmetic, so every floating-point operation here keeps a
// fixed order and rounding; the kernels below are shared with the stereo predictor.
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/allocator.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#else
#include <cmath>
#endif

namespace elq {

constexpr uint32_t kMaxPredictionOrder = 128;
// From this sample count on the start-up correction is left out of the matrix build.
constexpr uint32_t kStartupCorrectionEnd = 48000;

// Rounds to nearest with ties to even, then tests the rounded value against the signed 32-bit
// range; out of range or not a number gives INT32_MIN (what the hardware conversion does).
inline int32_t roundPrediction(double sum) {
#if defined(__SSE2__) || defined(_M_X64)
    // cvtsd2si rounds by the process mode (nearest-even) and yields 0x80000000 when out of range.
    return _mm_cvtsd_si32(_mm_set_sd(sum));
#else
    double rounded = std::nearbyint(sum);
    if (rounded >= -2147483648.0 && rounded <= 2147483647.0) return static_cast<int32_t>(rounded);
    return INT32_MIN;
#endif
}

// Adds the products h[k]·w[k], k < n (a multiple of 4), into two accumulators in groups of four:
// a += (q0 + q1), b += (q2 + q3). The two chains must stay in this order.
inline void accumulatePrediction(const double* h, const double* w, uint32_t n, double& a, double& b) {
    double sa = a;
    double sb = b;
    for (uint32_t k = 0; k < n; k += 4) {
        double q0 = h[k] * w[k];
        double q1 = h[k + 1] * w[k + 1];
        double q2 = h[k + 2] * w[k + 2];
        double q3 = h[k + 3] * w[k + 3];
        sa = sa + (q0 + q1);
        sb = sb + (q2 + q3);
    }
    a = sa;
    b = sb;
}

#if defined(__GNUC__) || defined(__clang__)
#define ELQ_DOUBLE_LANES 1
// Two doubles in one register. Lane-wise operations round each lane exactly as the scalar operation
// does, so they serve wherever the lanes are independent; never for a running sum.
typedef double DoubleLanes __attribute__((vector_size(16)));
inline DoubleLanes loadLanes(const double* p) {
    DoubleLanes v;
    memcpy(&v, p, sizeof v);
    return v;
}
inline void storeLanes(double* p, DoubleLanes v) {
    memcpy(p, &v, sizeof v);
}
#endif

// r[k] = (lambda·r[k]) + (x·h[k]) for k < n; independent across k.
inline void accumulateCorrelation(double* __restrict r, const double* __restrict h, double x, double lambda,
                                  uint32_t n) {
    uint32_t k = 0;
#ifdef ELQ_DOUBLE_LANES
    const DoubleLanes lv = {lambda, lambda};
    const DoubleLanes xv = {x, x};
    for (; k + 2 <= n; k += 2)
        storeLanes(r + k, (lv * loadLanes(r + k)) + (xv * loadLanes(h + k)));
#endif
    for (; k < n; ++k)
        r[k] = (lambda * r[k]) + (x * h[k]);
}

// base^exponent by square-and-multiply, lowest exponent bit first.
inline double powerBySquaring(double base, uint32_t exponent) {
    double result = 1.0;
    while (exponent != 0) {
        if (exponent & 1) result = result * base;
        exponent >>= 1;
        base = base * base;
    }
    return result;
}

// Symmetric n x n matrices keep their lower triangle packed by columns: column j holds the rows
// j..n-1 from offset columnStart(j, n), so A[i][j] is at columnStart(j, n) + (i - j). Every loop over
// a column then runs over contiguous memory, and A[i-1][j-1] sits at the same offset in column j-1.
inline uint32_t columnStart(uint32_t j, uint32_t n) {
    return j * n - j * (j - 1) / 2;
}
inline uint32_t packedSize(uint32_t n) {
    return n * (n + 1) / 2;
}

// How a matrix build treats the start-up correction S: scale it by g and add the scaled value,
// add it as it stands, or leave it out (no addition at all, so the sign of a zero is kept).
enum class Correction { scale, current, none };

template <Correction mode>
inline double withCorrection(double value, double* s, uint32_t t, double g) {
    if constexpr (mode == Correction::scale) {
        double scaled = g * s[t];
        s[t] = scaled;
        return value + scaled;
    } else if constexpr (mode == Correction::current) {
        return value + s[t];
    } else {
        return value;
    }
}

// LDL^T decomposition of the column-packed lower triangle `a` (n x n, in place: unit-diagonal L below
// the diagonal, D into d), then solution of A·x = b in place in b. Fails, leaving b untouched, as soon
// as a pivot after the first has magnitude below 1e-5 or is not a number. `scratch` holds n doubles.
bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n);

// Newest-first history of one channel's samples in a linear buffer filled downwards, so the window
// h[0..keep] is always contiguous; when the bottom is reached the `keep` newest values move to the top.
class SampleHistory {
public:
    // Allocates (or reuses) the buffer and makes the whole history zero.
    void init(uint32_t keep);
    const double* newest() const { return buffer.data() + position; }
    void push(double x) {
        if (position == 0) wrapAround();
        buffer[--position] = x;
    }

private:
    void wrapAround();

    Buffer<double> buffer;
    uint32_t capacity = 0;
    uint32_t keep = 0;
    uint32_t position = 0;
};

class PredictionFilter {
public:
    // order: a multiple of 4 from 4 to 128; solveInterval >= 1; lambda = (N - 1) / N.
    // Restarts the filter: zero statistics and history, coefficients (1, 0, ...).
    void init(uint32_t order, uint32_t solveInterval, double lambda);

    // Prediction for the next sample; does not change state.
    int32_t predict() const {
        double a = 0.0;
        double b = 0.0;
        accumulatePrediction(history.newest(), w.data(), order, a, b);
        return roundPrediction(b + a);
    }

    // Pushes the true sample value and advances the statistics; re-solves every solveInterval samples.
    void update(int32_t x) {
        double v = static_cast<double>(x);
        history.push(v);
        ++count;
        if (count < order) return;
        if (count == order) startStatistics();
        accumulateCorrelation(r.data(), history.newest(), v, lambda, order + 1);
        if (count - lastSolve >= solveInterval) {
            solve();
            lastSolve = count;
        }
    }

    // The current coefficients (order values), for tests and diagnostics.
    const double* coefficients() const { return w.data(); }

private:
    void startStatistics();
    void solve();
    template <Correction mode>
    void buildMatrix(double g);

    uint32_t count = 0;
    uint32_t lastSolve = 0;
    uint32_t order = 0;
    uint32_t solveInterval = 0;
    double lambda = 0.0;
    SampleHistory history;
    Buffer<double> r;        // order + 1 weighted autocorrelations
    Buffer<double> w;        // order coefficients; w[k] multiplies h[k]
    Buffer<double> d;        // pivots of the decomposition
    Buffer<double> scratch;  // decomposition column products
    Buffer<double> s;        // start-up correction matrix, column-packed lower triangle
    Buffer<double> a;        // system matrix, column-packed lower triangle, decomposed in place
};

// Makes `buffer` hold at least `count` doubles, reallocating only when it is too small.
void reserveDoubles(Buffer<double>& buffer, size_t count, const char* variable);

}  // namespace elq

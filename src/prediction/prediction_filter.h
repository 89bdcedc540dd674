// Adaptive least-squares prediction filter: estimates the next integer sample of a channel from its
// preceding samples with coefficients re-solved from exponentially weighted normal equations.
// Encoder and decoder replay the same arithmetic, so every floating-point operation here keeps a
// fixed order and rounding; the kernels below are shared with the stereo predictor.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "foundation/allocator.h"
#include "foundation/compiler.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
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

// Kernel sets. Every kernel is written once over a lane type: two doubles per register where the
// compiler has vector types (the portable set), four on x86 processors with AVX2, chosen at run time.
// A lane-wise operation rounds each lane exactly as the scalar operation does and nothing here uses
// fused multiply-add, so the sets give identical bits; lanes only ever hold independent values,
// never the terms of one running sum.
enum class KernelSet { portable, avx2 };

// The set in use; the widest the processor supports unless selectKernelSet chose another.
KernelSet activeKernelSet();
bool kernelSetSupported(KernelSet set);
// For tests and benchmarks. Returns false, changing nothing, when the processor lacks the set.
bool selectKernelSet(KernelSet set);

#if defined(__GNUC__) && !defined(__clang__)
// The wide lane type crosses only always-inlined functions, never a call, so the warning that its
// calling convention depends on AVX does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#if defined(__GNUC__) || defined(__clang__)
#define ELQ_DOUBLE_LANES 1
typedef double DoubleLanes __attribute__((vector_size(16)));
typedef DoubleLanes PortableLanes;
#if defined(__x86_64__) || defined(__i386__)
#define ELQ_AVX2_KERNELS 1
// Functions compiled for AVX2 (without FMA); only called when the processor has it.
#define ELQ_TARGET_AVX2 __attribute__((target("avx2")))
typedef double WideLanes __attribute__((vector_size(32)));
#endif
#else
typedef double PortableLanes;
#endif

template <class V>
constexpr uint32_t kLanes = sizeof(V) / sizeof(double);

template <class V>
ELQ_ALWAYS_INLINE V loadLanes(const double* p) {
    V v;
    memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
ELQ_ALWAYS_INLINE void storeLanes(double* p, const V& v) {
    memcpy(p, &v, sizeof v);
}

// Runs step.operator()<U>(t) over t = begin .. end - 1, U groups of lanes at a time: the widest type V
// first, then two lanes, then single doubles.
template <class V, class Step>
ELQ_ALWAYS_INLINE void forEachLane(uint32_t begin, uint32_t end, const Step& step) {
    uint32_t t = begin;
    for (; t + kLanes<V> <= end; t += kLanes<V>)
        step.template operator()<V>(t);
#ifdef ELQ_DOUBLE_LANES
    if constexpr (kLanes < V >> 2) {
        if (t + 2 <= end) {
            step.template operator()<DoubleLanes>(t);
            t += 2;
        }
    }
#endif
    if constexpr (kLanes < V >> 1) {
        for (; t < end; ++t)
            step.template operator()<double>(t);
    }
}

// The two accumulators of a prediction, A and B (as lanes 0 and 1 where there are lanes).
#ifdef ELQ_DOUBLE_LANES
typedef DoubleLanes PredictionSums;
ELQ_ALWAYS_INLINE double finalSum(PredictionSums s) {
    return s[1] + s[0];
}
#else
struct PredictionSums {
    double a = 0.0, b = 0.0;
};
inline double finalSum(PredictionSums s) {
    return s.b + s.a;
}
#endif

// Adds the products h[k]·w[k], k < n (a multiple of 4), into the two accumulators in groups of four:
// A += (q0 + q1), B += (q2 + q3). The pair sums are independent, the two chains are not: each
// accumulator takes its terms in this order.
template <class V>
ELQ_ALWAYS_INLINE void accumulatePrediction(const double* h, const double* w, uint32_t n,
                                            PredictionSums& sums) {
    uint32_t k = 0;
#ifdef ELQ_DOUBLE_LANES
    if constexpr (kLanes<V> == 4) {
        // Two groups per step: the pair sums of both, then the two accumulations in group order.
        for (; k + 8 <= n; k += 8) {
            V q0 = loadLanes<V>(h + k) * loadLanes<V>(w + k);          // q0 q1 q2 q3
            V q1 = loadLanes<V>(h + k + 4) * loadLanes<V>(w + k + 4);  // q4 q5 q6 q7
            V pairs =
                __builtin_shufflevector(q0, q1, 0, 4, 2, 6) + __builtin_shufflevector(q0, q1, 1, 5, 3, 7);
            sums = sums + __builtin_shufflevector(pairs, pairs, 0, 2);
            sums = sums + __builtin_shufflevector(pairs, pairs, 1, 3);
        }
    }
    for (; k < n; k += 4) {
        DoubleLanes q01 = loadLanes<DoubleLanes>(h + k) * loadLanes<DoubleLanes>(w + k);
        DoubleLanes q23 = loadLanes<DoubleLanes>(h + k + 2) * loadLanes<DoubleLanes>(w + k + 2);
        sums = sums + (__builtin_shufflevector(q01, q23, 0, 2) + __builtin_shufflevector(q01, q23, 1, 3));
    }
#else
    for (; k < n; k += 4) {
        double q0 = h[k] * w[k];
        double q1 = h[k + 1] * w[k + 1];
        double q2 = h[k + 2] * w[k + 2];
        double q3 = h[k + 3] * w[k + 3];
        sums.a = sums.a + (q0 + q1);
        sums.b = sums.b + (q2 + q3);
    }
#endif
}

// r[k] = (lambda·r[k]) + (x·h[k]) for k < n; independent across k.
template <class V>
ELQ_ALWAYS_INLINE void accumulateCorrelation(double* r, const double* h, double x, double lambda,
                                             uint32_t n) {
    forEachLane<V>(0, n, [=]<class U>(uint32_t k) ELQ_ALWAYS_INLINE_LAMBDA {
        storeLanes(r + k, (lambda * loadLanes<U>(r + k)) + (x * loadLanes<U>(h + k)));
    });
}

// ry[t] = (lambda·ry[t]) + (z[t]·y) and rx[t] = (lambda·rx[t]) + (z[t]·x) for t < n; independent across t.
template <class V>
ELQ_ALWAYS_INLINE void accumulateCorrelationPairs(double* ry, double* rx, const double* z, uint32_t n,
                                                  double y, double x, double lambda) {
    forEachLane<V>(0, n, [=]<class U>(uint32_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        const U zv = loadLanes<U>(z + t);
        storeLanes(ry + t, (lambda * loadLanes<U>(ry + t)) + (zv * y));
        storeLanes(rx + t, (lambda * loadLanes<U>(rx + t)) + (zv * x));
    });
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

// One stretch of a matrix column: c[t] = ((base[t] - (f·h[t]))·inv) + correction, t < n, where the
// correction of element t comes from s[t] as `mode` says. Independent across t.
template <class V, Correction mode>
ELQ_ALWAYS_INLINE void buildColumn(double* c, const double* base, double f, const double* h, double inv,
                                   double* s, double g, uint32_t n) {
    forEachLane<V>(0, n, [=]<class U>(uint32_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        U v = (loadLanes<U>(base + t) - (f * loadLanes<U>(h + t))) * inv;
        if constexpr (mode == Correction::scale) {
            U scaled = g * loadLanes<U>(s + t);
            storeLanes(s + t, scaled);
            v = v + scaled;
        } else if constexpr (mode == Correction::current) {
            v = v + loadLanes<U>(s + t);
        }
        storeLanes(c + t, v);
    });
}

// Doubles of scratch space decomposeAndSolve needs for order n.
inline uint32_t decompositionScratch(uint32_t n) {
    return 4 * n;
}

// LDL^T decomposition of the column-packed lower triangle `a` (n x n, in place: unit-diagonal L below
// the diagonal, D into d), then solution of A·x = b in place in b. Fails, leaving b untouched, as soon
// as a pivot after the first has magnitude below 1e-5 or is not a number. `scratch` holds
// decompositionScratch(n) doubles. Uses the active kernel set, or the one given.
bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n);
bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n, KernelSet set);

// Newest-first history of one channel's samples in a linear buffer filled downwards, so the window
// h[0..keep] is always contiguous; when the bottom is reached the `keep` newest values move to the top.
class SampleHistory {
public:
    // Free room below the kept window; each wrap-around copies `keep` values, so a few thousand
    // samples between copies make the copy cost negligible.
    static constexpr uint32_t kSpan = 4096;

    // Allocates (or reuses) the buffer and makes the whole history zero.
    void init(uint32_t keep);
    const double* newest() const { return buffer.data() + position; }
    void push(double x) {
        if (position == 0) wrapAround();
        buffer[--position] = x;
    }
    // Writes the next n samples (n <= kSpan; sample k at samples[k * stride]) below the window
    // ahead of time; the n following advance() calls then push them. The encoder knows its samples in
    // advance, and a store of a sample right before the wide loads that read it back cannot be
    // forwarded to them: each prediction would wait for the sample before to reach the cache.
    void prepare(const int32_t* samples, uint32_t stride, uint32_t n);
    void advance() { --position; }

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
    int32_t predict() const { return predictWith<PortableLanes>(); }
    // Pushes the true sample value and advances the statistics; re-solves every solveInterval samples.
    void update(int32_t x) { updateWith<PortableLanes>(x); }

    // The same with the per-sample kernels of lane type V, for loops compiled for that type.
    template <class V>
    ELQ_ALWAYS_INLINE int32_t predictWith() const {
        PredictionSums sums = {};
        accumulatePrediction<V>(history.newest(), w.data(), order, sums);
        return roundPrediction(finalSum(sums));
    }
    // Prepared: the sample was written ahead by prepare().
    template <class V, bool Prepared = false>
    ELQ_ALWAYS_INLINE void updateWith(int32_t x) {
        double v = static_cast<double>(x);
        if constexpr (Prepared) {
            history.advance();
        } else {
            history.push(v);
        }
        ++count;
        if (count < order) return;
        if (count == order) startStatistics();
        accumulateCorrelation<V>(r.data(), history.newest(), v, lambda, order + 1);
        if (count - lastSolve >= solveInterval) {
            solve();
            lastSolve = count;
        }
    }

    // Writes the next n samples (n <= SampleHistory::kSpan) ahead; the next n updates must pass
    // exactly these samples with Prepared set.
    void prepare(const int32_t* samples, uint32_t n) { history.prepare(samples, 1, n); }
    // The predictions of the next n samples, written ahead by prepare(): until the next solve
    // (samplesUntilSolve) the coefficients stay as they are, so these predictions do not wait for
    // the updates in between and the processor can overlap them.
    template <class V>
    ELQ_ALWAYS_INLINE void predictAhead(uint32_t n, int32_t* out) const {
        const double* h = history.newest();
        for (uint32_t k = 0; k < n; ++k) {
            PredictionSums sums = {};
            accumulatePrediction<V>(h - k, w.data(), order, sums);
            out[k] = roundPrediction(finalSum(sums));
        }
    }
    // Samples up to and including the next one whose update solves.
    uint32_t samplesUntilSolve() const {
        const uint32_t next = count < order ? order + solveInterval : lastSolve + solveInterval;
        return next - count;
    }

    // The current coefficients (order values), for tests and diagnostics.
    const double* coefficients() const { return w.data(); }

private:
    void startStatistics();
    void solve();
    template <class V>
    void solveWith();
#ifdef ELQ_AVX2_KERNELS
    ELQ_TARGET_AVX2 void solveWide();
#endif

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

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

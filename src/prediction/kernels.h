// The numeric kernels of the prediction filters, and the one place that picks the instruction set
// they run with. Every kernel is written once over a lane type: two doubles per register (the
// portable set: SSE2, NEON or whatever the target offers), or four on x86 processors with AVX2,
// chosen at run time. A lane-wise operation rounds each lane exactly as the scalar operation does and
// nothing here uses fused multiply-add, so the sets give identical bits; lanes only ever hold
// independent values, never the terms of one running sum.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "foundation/compiler.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace elq {

enum class KernelSet { portable, avx2 };

// The set in use: the widest the processor supports, found at first use, unless selectKernelSet
// chose another.
KernelSet activeKernelSet();
bool kernelSetSupported(KernelSet set);
// For tests and benchmarks. Returns false, changing nothing, when the processor lacks the set.
bool selectKernelSet(KernelSet set);

typedef double PortableLanes __attribute__((vector_size(16)));
#if defined(__x86_64__) || defined(__i386__)
#define ELQ_AVX2_KERNELS 1
typedef double Avx2Lanes __attribute__((vector_size(32)));

// Compiled for AVX2 (without FMA): the kernels inlined into it use four lanes per register.
template <class Body>
__attribute__((target("avx2"))) auto runAvx2Kernels(const Body& body) {
    return body.template operator()<Avx2Lanes>();
}
#endif

// The set whose lane type is V.
template <class V>
constexpr KernelSet kKernelSetOf = sizeof(V) == 32 ? KernelSet::avx2 : KernelSet::portable;

// The dispatch of every kernel: runs body.template operator()<V>() with the lane type V of `set`, in
// code compiled for that set. The body and all it calls for V must be always inlined, so that the
// whole of it is compiled for the set.
template <class Body>
ELQ_ALWAYS_INLINE auto runWithKernels([[maybe_unused]] KernelSet set, const Body& body) {
#ifdef ELQ_AVX2_KERNELS
    if (set == KernelSet::avx2) return runAvx2Kernels(body);
#endif
    return body.template operator()<PortableLanes>();
}

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
    if constexpr (kLanes < V >> 2) {
        if (t + 2 <= end) {
            step.template operator()<PortableLanes>(t);
            t += 2;
        }
    }
    for (; t < end; ++t)
        step.template operator()<double>(t);
}

// Rounds to nearest with ties to even, then tests the rounded value against the signed 32-bit
// range; out of range or not a number gives INT32_MIN (what the x86 conversion does).
inline int32_t roundPrediction(double sum) {
#if defined(__SSE2__)
    // cvtsd2si rounds by the process mode (nearest-even) and yields 0x80000000 when out of range.
    return _mm_cvtsd_si32(_mm_set_sd(sum));
#else
    double rounded = std::nearbyint(sum);
    if (rounded >= -2147483648.0 && rounded <= 2147483647.0) return static_cast<int32_t>(rounded);
    return INT32_MIN;
#endif
}

// The two accumulators of a prediction, A and B, as lanes 0 and 1.
typedef PortableLanes PredictionSums;
ELQ_ALWAYS_INLINE double finalSum(PredictionSums s) {
    return s[1] + s[0];
}

// Adds the products h[k]·w[k], k < n (a multiple of 4), into the two accumulators in groups of four:
// A += (q0 + q1), B += (q2 + q3). The pair sums are independent, the two chains are not: each
// accumulator takes its terms in this order.
template <class V>
ELQ_ALWAYS_INLINE void accumulatePrediction(const double* h, const double* w, uint32_t n,
                                            PredictionSums& sums) {
    size_t k = 0;
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
        if (k == n) return;
    }
    for (; k < n; k += 4) {
        PortableLanes q01 = loadLanes<PortableLanes>(h + k) * loadLanes<PortableLanes>(w + k);
        PortableLanes q23 = loadLanes<PortableLanes>(h + k + 2) * loadLanes<PortableLanes>(w + k + 2);
        sums = sums + (__builtin_shufflevector(q01, q23, 0, 2) + __builtin_shufflevector(q01, q23, 1, 3));
    }
}

// r[k] = (lambda·r[k]) + (x·h[k]) for k < n (a multiple of 4); independent across k.
template <class V>
ELQ_ALWAYS_INLINE void accumulateCorrelation(double* r, const double* h, double x, double lambda,
                                             uint32_t n) {
    for (size_t k = 0; k < n; k += kLanes<V>)
        storeLanes(r + k, (lambda * loadLanes<V>(r + k)) + (x * loadLanes<V>(h + k)));
}

// ry[t] = (lambda·ry[t]) + (z[t]·y) and rx[t] = (lambda·rx[t]) + (z[t]·x) for t < n (a multiple of 4);
// independent across t.
template <class V>
ELQ_ALWAYS_INLINE void accumulateCorrelationPairs(double* ry, double* rx, const double* z, uint32_t n,
                                                  double y, double x, double lambda) {
    for (size_t t = 0; t < n; t += kLanes<V>) {
        const V zv = loadLanes<V>(z + t);
        storeLanes(ry + t, (lambda * loadLanes<V>(ry + t)) + (zv * y));
        storeLanes(rx + t, (lambda * loadLanes<V>(rx + t)) + (zv * x));
    }
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

// Rows of room after the last row of every packed column and of the decomposition's scratch columns,
// so that the decomposition's column loops run over whole registers, never a partial one: the lanes
// past row n - 1 hold values of their own (zero where the room started at zero), which no real row
// ever reads.
constexpr uint32_t kColumnSlack = 3;

// Symmetric n x n matrices keep their lower triangle packed by columns: column j holds the rows
// j..n-1 (and kColumnSlack more) from offset columnStart(j, n), so A[i][j] is at columnStart(j, n) +
// (i - j). Every loop over a column then runs over contiguous memory, and A[i-1][j-1] sits at the
// same offset in column j-1.
inline uint32_t columnStart(uint32_t j, uint32_t n) {
    return j * (n + kColumnSlack) - j * (j - 1) / 2;
}
inline uint32_t packedSize(uint32_t n) {
    return columnStart(n, n);
}

// Runs step.operator()<V>(t) for t = begin, begin + kLanes<V>, ... while t < end: whole registers,
// the last one reaching up to kLanes<V> - 1 places past end (into the columns' room).
template <class V, class Step>
ELQ_ALWAYS_INLINE void forEachRegister(uint32_t begin, uint32_t end, const Step& step) {
    for (size_t t = begin; t < end; t += kLanes<V>)
        step(t);
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

// y[t] = (((y[t] - (x[0][t]·s[0])) - (x[1][t]·s[1])) - ...) over Terms terms, t < n and on to the
// end of the last register: consecutive terms of each element's sum in their order. Independent
// across t.
template <class V, uint32_t Terms>
ELQ_ALWAYS_INLINE void subtractProducts(double* y, const double* const* x, const double* s, uint32_t n) {
    forEachRegister<V>(0, n, [&](size_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        V v = loadLanes<V>(y + t);
#pragma GCC unroll 4
        for (uint32_t q = 0; q < Terms; ++q)
            v = v - (loadLanes<V>(x[q] + t) * s[q]);
        storeLanes(y + t, v);
    });
}

// Makes column m of L final once all earlier columns have been subtracted from it: tests its pivot
// (all but the first), stores it in d[m], divides the column by it and forms e[t] = d[m]·L[m+t][m].
template <class V>
ELQ_ALWAYS_INLINE bool finishColumn(double* c, double* e, double* d, uint32_t m, uint32_t n) {
    const double pivot = c[0];
    if (m > 0 && !(std::fabs(pivot) >= 1e-5)) return false;
    d[m] = pivot;
    c[0] = 1.0;
    forEachRegister<V>(1, n - m, [=](size_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        V q = loadLanes<V>(c + t) / pivot;
        storeLanes(c + t, q);
        storeLanes(e + t, pivot * q);
    });
    return true;
}

// The columns m .. m + panel - 1 of one pass of the decomposition, finished or being finished.
struct Panel {
    uint32_t m;
    uint32_t width;
    double* column[4];    // packed columns of L
    double* products[4];  // products[q][t] = d[m+q]·L[m+q+t][m+q]
};

// Subtracts from column k (rows k .. n-1) the terms of the first Terms columns of the panel, in
// their order: the diagonal takes (L[k][j]·L[k][j])·d[j], the element of row i takes
// (d[j]·L[i][j])·L[k][j].
template <class V, uint32_t Terms>
ELQ_ALWAYS_INLINE void subtractPanel(const Panel& panel, const double* d, double* ck, uint32_t k,
                                     uint32_t n) {
    const double* x[Terms];
    double l[Terms];
    double diagonal = ck[0];
#pragma GCC unroll 4
    for (uint32_t q = 0; q < Terms; ++q) {
        const uint32_t j = panel.m + q;
        l[q] = panel.column[q][k - j];
        x[q] = panel.products[q] + (k + 1 - j);
        diagonal = diagonal - ((l[q] * l[q]) * d[j]);
    }
    ck[0] = diagonal;
    subtractProducts<V, Terms>(ck + 1, x, l, n - 1 - k);
}

// Doubles of scratch space decomposeAndSolve needs for order n: four product columns and the
// right-hand side, each with room.
inline uint32_t decompositionScratch(uint32_t n) {
    return 5 * (n + kColumnSlack);
}

// LDL^T decomposition of the column-packed lower triangle `a` (n x n, in place: unit-diagonal L below
// the diagonal, D into d), then solution of A·x = b in place in b. Fails, leaving b untouched, as soon
// as a pivot after the first has magnitude below 1e-5 or is not a number. `scratch` holds
// decompositionScratch(n) doubles.
//
// The decomposition is defined row by row: for each row i and column k < i,
//   L[i][k] = (A[i][k] - sum over m < k of (d[m]·L[i][m])·L[k][m]) / d[k],
//   d[i] = A[i][i] - sum over m < i of (L[i][m]·L[i][m])·d[m],
// each sum subtracted term by term in ascending m. It is evaluated here column by column instead, in
// passes over panels of four columns: the panel's columns are finished one after the other (each
// first takes the terms of the panel columns before it), then every later column takes the panel's
// four terms in one sweep. Each element still receives exactly the same terms in the same ascending
// order, so every rounding is unchanged, but the inner loops run over independent elements in
// contiguous memory instead of one long chain. The pivots are tested in the same order, so a failure
// happens at the same pivot.
template <class V>
ELQ_ALWAYS_INLINE bool decomposeAndSolveWith(double* a, double* d, double* b, double* scratch, uint32_t n) {
    const uint32_t stride = n + kColumnSlack;
    Panel panel;
    for (uint32_t m = 0; m < n; m += 4) {
        panel.m = m;
        panel.width = n - m < 4 ? n - m : 4;
        for (uint32_t q = 0; q < panel.width; ++q) {
            panel.column[q] = a + columnStart(m + q, n);
            panel.products[q] = scratch + q * stride;
            switch (q) {
                case 1:
                    subtractPanel<V, 1>(panel, d, panel.column[q], m + q, n);
                    break;
                case 2:
                    subtractPanel<V, 2>(panel, d, panel.column[q], m + q, n);
                    break;
                case 3:
                    subtractPanel<V, 3>(panel, d, panel.column[q], m + q, n);
                    break;
            }
            if (!finishColumn<V>(panel.column[q], panel.products[q], d, m + q, n)) return false;
        }
        // Only the last panel can be narrower, and no column follows it. For column k the panel's
        // row k and its products from row k + 1 on: both move down one row per column.
        const double* row[4];
        const double* below[4];
        for (uint32_t q = 0; q < 4; ++q) {
            row[q] = panel.column[q] + (4 - q);
            below[q] = panel.products[q] + (5 - q);
        }
        const double dm[4] = {d[m], d[m + 1], d[m + 2], d[m + 3]};
        double* ck = a + columnStart(m + 4, n);
        for (uint32_t k = m + 4; k < n; ++k) {
            double l[4];
            double diagonal = ck[0];
#pragma GCC unroll 4
            for (uint32_t q = 0; q < 4; ++q) {
                l[q] = *row[q]++;
                diagonal = diagonal - ((l[q] * l[q]) * dm[q]);
            }
            ck[0] = diagonal;
            subtractProducts<V, 4>(ck + 1, below, l, n - 1 - k);
            for (uint32_t q = 0; q < 4; ++q)
                ++below[q];
            ck += stride - k;
        }
    }
    // Forward substitution, b[i] = b[i] - L[i][m]·b[m] in ascending m, likewise by panels: inside the
    // panel one element at a time, below it four columns per sweep, on a copy of b with room.
    double* y = scratch + 4 * stride;
    memcpy(y, b, n * sizeof(double));
    for (uint32_t m = 0; m < n; m += 4) {
        const uint32_t width = n - m < 4 ? n - m : 4;
        const double* x[4];
        double s[4];
        for (uint32_t q = 0; q < width; ++q) {
            const double* column = a + columnStart(m + q, n);
            for (uint32_t p = q + 1; p < width; ++p)
                y[m + p] = y[m + p] - (column[p - q] * y[m + q]);
            x[q] = column + (width - q);
            s[q] = y[m + q];
        }
        if (width == 4) subtractProducts<V, 4>(y + m + 4, x, s, n - m - 4);
    }
    // Back substitution: b[i] = b[i] / d[i] - b[m]·L[m][i] in ascending m > i. One chain per row.
    y[n - 1] = y[n - 1] / d[n - 1];
    const double* ci = a + columnStart(n - 1, n);
    for (uint32_t i = n - 1; i-- > 0;) {
        ci -= stride - i;
        double v = y[i] / d[i];
        const uint32_t terms = n - 1 - i;
#pragma GCC unroll 4
        for (uint32_t t = 1; t <= terms; ++t)
            v = v - (y[i + t] * ci[t]);
        y[i] = v;
    }
    memcpy(b, y, n * sizeof(double));
    return true;
}

// decomposeAndSolveWith with the kernels of `set`, for tests and benchmarks.
bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n, KernelSet set);

}  // namespace elq

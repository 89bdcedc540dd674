#include "prediction/prediction_filter.h"

#include <cmath>
#include <cstring>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace elq {

namespace {

KernelSet detectKernelSet() {
#ifdef ELQ_AVX2_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelSet::avx2;
#endif
    return KernelSet::portable;
}

KernelSet& kernelSetInUse() {
    static KernelSet set = detectKernelSet();
    return set;
}

}  // namespace

KernelSet activeKernelSet() {
    return kernelSetInUse();
}

bool kernelSetSupported(KernelSet set) {
    return set == KernelSet::portable || detectKernelSet() == set;
}

bool selectKernelSet(KernelSet set) {
    if (!kernelSetSupported(set)) return false;
    kernelSetInUse() = set;
    return true;
}

void reserveDoubles(Buffer<double>& buffer, size_t count, const char* variable) {
    if (buffer.size() < count) buffer.reset(count, variable, 64);
}

namespace {

// y[t] = (((y[t] - (x[0][t]·s[0])) - (x[1][t]·s[1])) - ...) over Terms terms, t < n: consecutive
// terms of each element's sum in their order. Independent across t.
template <class V, uint32_t Terms>
ELQ_ALWAYS_INLINE void subtractProducts(double* y, const double* const* x, const double* s, uint32_t n) {
    const double* x0 = x[0];
    const double* x1 = Terms > 1 ? x[1] : nullptr;
    const double* x2 = Terms > 2 ? x[2] : nullptr;
    const double* x3 = Terms > 3 ? x[3] : nullptr;
    const double s0 = s[0], s1 = Terms > 1 ? s[1] : 0.0, s2 = Terms > 2 ? s[2] : 0.0,
                 s3 = Terms > 3 ? s[3] : 0.0;
    forEachLane<V>(0, n, [=]<class U>(uint32_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        U v = loadLanes<U>(y + t) - (loadLanes<U>(x0 + t) * s0);
        if constexpr (Terms > 1) v = v - (loadLanes<U>(x1 + t) * s1);
        if constexpr (Terms > 2) v = v - (loadLanes<U>(x2 + t) * s2);
        if constexpr (Terms > 3) v = v - (loadLanes<U>(x3 + t) * s3);
        storeLanes(y + t, v);
    });
}

template <class V>
ELQ_ALWAYS_INLINE void subtractProducts(double* y, const double* const* x, const double* s, uint32_t terms,
                                        uint32_t n) {
    switch (terms) {
        case 1:
            subtractProducts<V, 1>(y, x, s, n);
            break;
        case 2:
            subtractProducts<V, 2>(y, x, s, n);
            break;
        case 3:
            subtractProducts<V, 3>(y, x, s, n);
            break;
        default:
            subtractProducts<V, 4>(y, x, s, n);
            break;
    }
}

// Makes column m of L final once all earlier columns have been subtracted from it: tests its pivot
// (all but the first), stores it in d[m], divides the column by it and forms e[t] = d[m]·L[m+t][m].
template <class V>
ELQ_ALWAYS_INLINE bool finishColumn(double* c, double* e, double* d, uint32_t m, uint32_t n) {
    const double pivot = c[0];
    if (m > 0 && !(std::fabs(pivot) >= 1e-5)) return false;
    d[m] = pivot;
    c[0] = 1.0;
    forEachLane<V>(1, n - m, [=]<class U>(uint32_t t) ELQ_ALWAYS_INLINE_LAMBDA {
        U q = loadLanes<U>(c + t) / pivot;
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

// Subtracts from column k (rows k .. n-1) the terms of the first `terms` columns of the panel, in
// their order: the diagonal takes (L[k][j]·L[k][j])·d[j], the element of row i takes
// (d[j]·L[i][j])·L[k][j].
template <class V>
ELQ_ALWAYS_INLINE void subtractPanel(const Panel& panel, uint32_t terms, const double* d, double* ck,
                                     uint32_t k, uint32_t n) {
    const double* x[4];
    double l[4];
    double diagonal = ck[0];
    for (uint32_t q = 0; q < terms; ++q) {
        const uint32_t j = panel.m + q;
        l[q] = panel.column[q][k - j];
        x[q] = panel.products[q] + (k + 1 - j);
        diagonal = diagonal - ((l[q] * l[q]) * d[j]);
    }
    ck[0] = diagonal;
    subtractProducts<V>(ck + 1, x, l, terms, n - 1 - k);
}

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
    Panel panel;
    for (uint32_t m = 0; m < n; m += 4) {
        panel.m = m;
        panel.width = n - m < 4 ? n - m : 4;
        for (uint32_t q = 0; q < panel.width; ++q) {
            panel.column[q] = a + columnStart(m + q, n);
            panel.products[q] = scratch + q * n;
            if (q > 0) subtractPanel<V>(panel, q, d, panel.column[q], m + q, n);
            if (!finishColumn<V>(panel.column[q], panel.products[q], d, m + q, n)) return false;
        }
        for (uint32_t k = m + panel.width; k < n; ++k)
            subtractPanel<V>(panel, panel.width, d, a + columnStart(k, n), k, n);
    }
    // Forward substitution, b[i] = b[i] - L[i][m]·b[m] in ascending m, likewise by panels: inside the
    // panel one element at a time, below it four columns per sweep.
    for (uint32_t m = 0; m < n; m += 4) {
        const uint32_t width = n - m < 4 ? n - m : 4;
        const double* x[4];
        double s[4];
        for (uint32_t q = 0; q < width; ++q) {
            const double* column = a + columnStart(m + q, n);
            for (uint32_t p = q + 1; p < width; ++p)
                b[m + p] = b[m + p] - (column[p - q] * b[m + q]);
            x[q] = column + (width - q);
            s[q] = b[m + q];
        }
        subtractProducts<V>(b + m + width, x, s, width, n - m - width);
    }
    // Back substitution: b[i] = b[i] / d[i] - b[m]·L[m][i] in ascending m > i. One chain per row.
    b[n - 1] = b[n - 1] / d[n - 1];
    for (uint32_t i = n - 1; i-- > 0;) {
        const double* ci = a + columnStart(i, n);
        double v = b[i] / d[i];
        for (uint32_t t = 1; i + t < n; ++t)
            v = v - (b[i + t] * ci[t]);
        b[i] = v;
    }
    return true;
}

bool decomposeAndSolvePortable(double* a, double* d, double* b, double* scratch, uint32_t n) {
    return decomposeAndSolveWith<PortableLanes>(a, d, b, scratch, n);
}

#ifdef ELQ_AVX2_KERNELS
ELQ_TARGET_AVX2 bool decomposeAndSolveWide(double* a, double* d, double* b, double* scratch, uint32_t n) {
    return decomposeAndSolveWith<WideLanes>(a, d, b, scratch, n);
}
#endif

}  // namespace

bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n, KernelSet set) {
#ifdef ELQ_AVX2_KERNELS
    if (set == KernelSet::avx2) return decomposeAndSolveWide(a, d, b, scratch, n);
#endif
    (void)set;
    return decomposeAndSolvePortable(a, d, b, scratch, n);
}

bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n) {
    return decomposeAndSolve(a, d, b, scratch, n, activeKernelSet());
}

void SampleHistory::init(uint32_t keepCount) {
    keep = keepCount;
    capacity = keepCount + 1 + kSpan;
    reserveDoubles(buffer, capacity, "history");
    memset(buffer.data(), 0, capacity * sizeof(double));
    // The first window h[0..keep-1] reads the zeros at the top.
    position = capacity - keep;
}

void SampleHistory::wrapAround() {
    memmove(buffer.data() + capacity - keep, buffer.data() + position, keep * sizeof(double));
    position = capacity - keep;
}

void SampleHistory::prepare(const int32_t* samples, uint32_t stride, uint32_t n) {
    if (position < n) wrapAround();
    double* below = buffer.data() + position;
    for (uint32_t k = 0; k < n; ++k)
        below[-1 - static_cast<int32_t>(k)] = static_cast<double>(samples[static_cast<size_t>(k) * stride]);
}

void PredictionFilter::init(uint32_t filterOrder, uint32_t interval, double forgetting) {
    order = filterOrder;
    solveInterval = interval;
    lambda = forgetting;
    count = 0;
    lastSolve = 0;
    history.init(order);
    reserveDoubles(r, order + 1, "autocorrelation");
    reserveDoubles(w, order, "coefficients");
    reserveDoubles(d, order, "pivots");
    reserveDoubles(scratch, decompositionScratch(order), "pivots");
    reserveDoubles(s, packedSize(order), "correction");
    reserveDoubles(a, packedSize(order), "matrix");
    memset(r.data(), 0, (order + 1) * sizeof(double));
    memset(w.data(), 0, order * sizeof(double));
    memset(d.data(), 0, order * sizeof(double));
    memset(s.data(), 0, packedSize(order) * sizeof(double));
    memset(a.data(), 0, packedSize(order) * sizeof(double));
    w[0] = 1.0;
}

void PredictionFilter::startStatistics() {
    // S[i][j] = h[i+1]·h[j+1]: products of the order - 1 real samples before x and the zero start value.
    const double* h = history.newest();
    for (uint32_t j = 0; j < order; ++j) {
        double* sj = s.data() + columnStart(j, order);
        for (uint32_t t = 0; j + t < order; ++t)
            sj[t] = h[j + t + 1] * h[j + 1];
    }
    lastSolve = order;
}

// A[i][0] = ((r[i] - h[i]·h[0])·inv) + correction, A[i][j] = ((A[i-1][j-1] - h[j]·h[i])·inv) + correction;
// built column by column, each column from the one before it.
template <class V, Correction mode>
ELQ_ALWAYS_INLINE void buildMonoMatrix(double* a, double* s, const double* r, const double* h, double inv,
                                       double g, uint32_t p) {
    buildColumn<V, mode>(a, r, h[0], h, inv, s, g, p);
    for (uint32_t j = 1; j < p; ++j) {
        const uint32_t start = columnStart(j, p);
        buildColumn<V, mode>(a + start, a + columnStart(j - 1, p), h[j], h + j, inv, s + start, g, p - j);
    }
}

template <class V>
ELQ_ALWAYS_INLINE void PredictionFilter::solveWith() {
    const uint32_t p = order;
    double* rr = r.data();
    double* ww = w.data();
    if (!(rr[0] >= 0.5)) {
        // Near-silent: keep (or return to) the previous-sample predictor.
        if (rr[0] != 0.0 && rr[0] < 1e-9) memset(rr, 0, (p + 1) * sizeof(double));
        ww[0] = 1.0;
        for (uint32_t k = 1; k < p; ++k)
            ww[k] = 0.0;
        return;
    }
    const double inv = 1.0 / lambda;
    if (count < kStartupCorrectionEnd) {
        buildMonoMatrix<V, Correction::scale>(a.data(), s.data(), rr, history.newest(), inv,
                                              powerBySquaring(lambda, count - lastSolve), p);
    } else {
        buildMonoMatrix<V, Correction::none>(a.data(), s.data(), rr, history.newest(), inv, 0.0, p);
    }
    for (uint32_t i = 0; i < p; ++i)
        ww[i] = rr[i + 1];
    if (decomposeAndSolveWith<V>(a.data(), d.data(), ww, scratch.data(), p)) return;
    // Singular system: a signal whose autocorrelation repeats exactly at lag k is predicted by the
    // sample k places back; otherwise by the previous sample.
    for (uint32_t k = 0; k < p; ++k)
        ww[k] = 0.0;
    for (uint32_t k = 1; k <= p; ++k) {
        if (rr[0] == rr[k]) {
            ww[k - 1] = 1.0;
            return;
        }
    }
    ww[0] = 1.0;
}

#ifdef ELQ_AVX2_KERNELS
ELQ_TARGET_AVX2 void PredictionFilter::solveWide() {
    solveWith<WideLanes>();
}
#endif

void PredictionFilter::solve() {
#ifdef ELQ_AVX2_KERNELS
    if (activeKernelSet() == KernelSet::avx2) {
        solveWide();
        return;
    }
#endif
    solveWith<PortableLanes>();
}

}  // namespace elq

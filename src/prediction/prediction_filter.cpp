#include "prediction/prediction_filter.h"

#include <cmath>
#include <cstring>

namespace elq {

void reserveDoubles(Buffer<double>& buffer, size_t count, const char* variable) {
    if (buffer.size() < count) buffer.reset(count, variable, 64);
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

void PredictionFilter::solve(KernelSet set) {
    runWithKernels(set, [this]<class V>() ELQ_ALWAYS_INLINE_LAMBDA { solveWith<V>(); });
}

}  // namespace elq

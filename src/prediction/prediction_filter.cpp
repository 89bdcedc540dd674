#include "prediction/prediction_filter.h"

#include <cmath>
#include <cstring>

namespace elq {

namespace {

// Free room below the kept window; each wrap-around copies `keep` values, so a few thousand
// samples between copies make the copy cost negligible.
constexpr uint32_t kHistorySpan = 4096;

}  // namespace

void reserveDoubles(Buffer<double>& buffer, size_t count, const char* variable) {
    if (buffer.size() < count) buffer.reset(count, variable, 64);
}

namespace {

// y[t] = y[t] - (x[t]·s) for t < n; independent across t.
inline void subtractMultiple(double* __restrict y, const double* __restrict x, double s, uint32_t n) {
    uint32_t t = 0;
#ifdef ELQ_DOUBLE_LANES
    const DoubleLanes sv = {s, s};
    for (; t + 4 <= n; t += 4) {
        DoubleLanes y0 = loadLanes(y + t) - (loadLanes(x + t) * sv);
        DoubleLanes y1 = loadLanes(y + t + 2) - (loadLanes(x + t + 2) * sv);
        storeLanes(y + t, y0);
        storeLanes(y + t + 2, y1);
    }
    if (t + 2 <= n) {
        storeLanes(y + t, loadLanes(y + t) - (loadLanes(x + t) * sv));
        t += 2;
    }
#endif
    for (; t < n; ++t)
        y[t] = y[t] - (x[t] * s);
}

// L[t] = L[t] / pivot and e[t] = pivot·L[t] for t < n; independent across t.
inline void divideColumn(double* __restrict l, double* __restrict e, double pivot, uint32_t n) {
    uint32_t t = 0;
#ifdef ELQ_DOUBLE_LANES
    const DoubleLanes pv = {pivot, pivot};
    for (; t + 2 <= n; t += 2) {
        DoubleLanes q = loadLanes(l + t) / pv;
        storeLanes(l + t, q);
        storeLanes(e + t, pv * q);
    }
#endif
    for (; t < n; ++t) {
        l[t] = l[t] / pivot;
        e[t] = pivot * l[t];
    }
}

}  // namespace

// The decomposition is defined row by row: for each row i and column k < i,
//   L[i][k] = (A[i][k] - sum over m < k of (d[m]·L[i][m])·L[k][m]) / d[k],
//   d[i] = A[i][i] - sum over m < i of (L[i][m]·L[i][m])·d[m],
// each sum subtracted term by term in ascending m. It is evaluated here column by column instead:
// once column m is final, its terms are subtracted from every later element. Each element still
// receives exactly the same terms in the same ascending order, so every rounding is unchanged, but
// the inner loops run over independent elements in contiguous memory instead of one long chain.
// The pivots are tested in the same order, so a failure happens at the same pivot.
bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n) {
    double* __restrict e = scratch;  // e[i] = d[m]·L[i][m] for the current column m
    for (uint32_t m = 0; m < n; ++m) {
        double* __restrict cm = a + columnStart(m, n);
        const double pivot = cm[0];
        if (m > 0 && !(std::fabs(pivot) >= 1e-5)) return false;
        d[m] = pivot;
        cm[0] = 1.0;
        const uint32_t below = n - 1 - m;
        divideColumn(cm + 1, e + 1, pivot, below);
        for (uint32_t u = 1; u <= below; ++u) {
            // Column k = m + u: its diagonal, then the elements of rows k + 1 .. n - 1.
            const double lk = cm[u];
            double* __restrict ck = a + columnStart(m + u, n);
            ck[0] = ck[0] - ((lk * lk) * pivot);
            subtractMultiple(ck + 1, e + u + 1, lk, below - u);
        }
    }
    // Forward substitution, b[i] = b[i] - L[i][m]·b[m] in ascending m, likewise column by column.
    for (uint32_t m = 0; m + 1 < n; ++m)
        subtractMultiple(b + m + 1, a + columnStart(m, n) + 1, b[m], n - 1 - m);
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

void SampleHistory::init(uint32_t keepCount) {
    keep = keepCount;
    capacity = keepCount + 1 + kHistorySpan;
    reserveDoubles(buffer, capacity, "history");
    memset(buffer.data(), 0, capacity * sizeof(double));
    // The first window h[0..keep-1] reads the zeros at the top.
    position = capacity - keep;
}

void SampleHistory::wrapAround() {
    memmove(buffer.data() + capacity - keep, buffer.data(), keep * sizeof(double));
    position = capacity - keep;
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
    reserveDoubles(scratch, order, "pivots");
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
template <Correction mode>
void PredictionFilter::buildMatrix(double g) {
    const uint32_t p = order;
    const double inv = 1.0 / lambda;
    const double* h = history.newest();
    const double* rr = r.data();
    double* __restrict c0 = a.data();
    double* __restrict s0 = s.data();
    for (uint32_t i = 0; i < p; ++i)
        c0[i] = withCorrection<mode>((rr[i] - (h[i] * h[0])) * inv, s0, i, g);
    for (uint32_t j = 1; j < p; ++j) {
        double* __restrict cj = a.data() + columnStart(j, p);
        const double* __restrict cp = a.data() + columnStart(j - 1, p);
        double* __restrict sj = s.data() + columnStart(j, p);
        const double hj = h[j];
        for (uint32_t t = 0; j + t < p; ++t)
            cj[t] = withCorrection<mode>((cp[t] - (hj * h[j + t])) * inv, sj, t, g);
    }
}

void PredictionFilter::solve() {
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
    if (count < kStartupCorrectionEnd) {
        buildMatrix<Correction::scale>(powerBySquaring(lambda, count - lastSolve));
    } else {
        buildMatrix<Correction::none>(0.0);
    }
    for (uint32_t i = 0; i < p; ++i)
        ww[i] = rr[i + 1];
    if (decomposeAndSolve(a.data(), d.data(), ww, scratch.data(), p)) return;
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

}  // namespace elq

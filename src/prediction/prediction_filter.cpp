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

// Finishes L[i][k] from its accumulated v and extends the row's running state: the product
// e[k] = d[k]·L[i][k] used by the later columns, and the diagonal chain.
inline double finishColumn(double v, double dk, double* e, uint32_t k, double& diagonal) {
    double l = v / dk;
    e[k] = dk * l;
    diagonal = diagonal - ((l * l) * dk);
    return l;
}

}  // namespace

bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n) {
    d[0] = a[0];
    a[0] = 1.0;
    double* __restrict e = scratch;
    for (uint32_t i = 1; i < n; ++i) {
        double* __restrict ri = a + packedRow(i);
        // L[i][k] = (A[i][k] - sum over m < k of (d[m]·L[i][m])·L[k][m]) / d[k], each sum in ascending m.
        // e[m] = d[m]·L[i][m] is the same rounded product for every k, so it is formed once; four
        // columns run their independent chains side by side over their common prefix, then finish in
        // turn. The diagonal chain runs alongside: it needs only the L[i][m] finished so far.
        double diagonal = ri[i];
        uint32_t k = 0;
        for (; k + 4 <= i; k += 4) {
            const double* __restrict r0 = a + packedRow(k);
            const double* __restrict r1 = r0 + k + 1;
            const double* __restrict r2 = r1 + k + 2;
            const double* __restrict r3 = r2 + k + 3;
            double v0 = ri[k], v1 = ri[k + 1], v2 = ri[k + 2], v3 = ri[k + 3];
            for (uint32_t m = 0; m < k; ++m) {
                const double em = e[m];
                v0 = v0 - (em * r0[m]);
                v1 = v1 - (em * r1[m]);
                v2 = v2 - (em * r2[m]);
                v3 = v3 - (em * r3[m]);
            }
            ri[k] = finishColumn(v0, d[k], e, k, diagonal);
            v1 = v1 - (e[k] * r1[k]);
            v2 = v2 - (e[k] * r2[k]);
            v3 = v3 - (e[k] * r3[k]);
            ri[k + 1] = finishColumn(v1, d[k + 1], e, k + 1, diagonal);
            v2 = v2 - (e[k + 1] * r2[k + 1]);
            v3 = v3 - (e[k + 1] * r3[k + 1]);
            ri[k + 2] = finishColumn(v2, d[k + 2], e, k + 2, diagonal);
            v3 = v3 - (e[k + 2] * r3[k + 2]);
            ri[k + 3] = finishColumn(v3, d[k + 3], e, k + 3, diagonal);
        }
        for (; k < i; ++k) {
            const double* __restrict rk = a + packedRow(k);
            double v = ri[k];
            for (uint32_t m = 0; m < k; ++m) v = v - (e[m] * rk[m]);
            ri[k] = finishColumn(v, d[k], e, k, diagonal);
        }
        ri[i] = 1.0;
        if (!(std::fabs(diagonal) >= 1e-5)) return false;
        d[i] = diagonal;
    }
    for (uint32_t i = 1; i < n; ++i) {
        const double* ri = a + packedRow(i);
        double v = b[i];
        for (uint32_t m = 0; m < i; ++m) v = v - (ri[m] * b[m]);
        b[i] = v;
    }
    b[n - 1] = b[n - 1] / d[n - 1];
    for (uint32_t i = n - 1; i-- > 0;) {
        double v = b[i] / d[i];
        for (uint32_t m = i + 1; m < n; ++m) v = v - (b[m] * a[packedRow(m) + i]);
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
    // Products of the order - 1 real samples before x and the zero start value.
    const double* h = history.newest();
    for (uint32_t i = 0; i < order; ++i) {
        double* si = s.data() + packedRow(i);
        for (uint32_t j = 0; j <= i; ++j) si[j] = h[i + 1] * h[j + 1];
    }
    lastSolve = order;
}

void PredictionFilter::solve() {
    const uint32_t p = order;
    double* rr = r.data();
    double* ww = w.data();
    if (!(rr[0] >= 0.5)) {
        // Near-silent: keep (or return to) the previous-sample predictor.
        if (rr[0] != 0.0 && rr[0] < 1e-9) memset(rr, 0, (p + 1) * sizeof(double));
        ww[0] = 1.0;
        for (uint32_t k = 1; k < p; ++k) ww[k] = 0.0;
        return;
    }
    const double* h = history.newest();
    const double inv = 1.0 / lambda;
    const double h0 = h[0];
    double* am = a.data();
    if (count < kStartupCorrectionEnd) {
        const double g = powerBySquaring(lambda, count - lastSolve);
        for (uint32_t i = 0; i < p; ++i) {
            double* __restrict ri = am + packedRow(i);
            const double* __restrict rp = ri - i;  // row i - 1; not read for i == 0
            double* __restrict si = s.data() + packedRow(i);
            const double hi = h[i];
            double scaled = g * si[0];
            si[0] = scaled;
            ri[0] = ((rr[i] - (hi * h0)) * inv) + scaled;
            for (uint32_t j = 1; j <= i; ++j) {
                double sj = g * si[j];
                si[j] = sj;
                ri[j] = ((rp[j - 1] - (h[j] * hi)) * inv) + sj;
            }
            ww[i] = rr[i + 1];
        }
    } else {
        for (uint32_t i = 0; i < p; ++i) {
            double* __restrict ri = am + packedRow(i);
            const double* __restrict rp = ri - i;
            const double hi = h[i];
            ri[0] = (rr[i] - (hi * h0)) * inv;
            for (uint32_t j = 1; j <= i; ++j) ri[j] = (rp[j - 1] - (h[j] * hi)) * inv;
            ww[i] = rr[i + 1];
        }
    }
    if (decomposeAndSolve(am, d.data(), ww, scratch.data(), p)) return;
    // Singular system: a signal whose autocorrelation repeats exactly at lag k is predicted by the
    // sample k places back; otherwise by the previous sample.
    for (uint32_t k = 0; k < p; ++k) ww[k] = 0.0;
    for (uint32_t k = 1; k <= p; ++k) {
        if (rr[0] == rr[k]) {
            ww[k - 1] = 1.0;
            return;
        }
    }
    ww[0] = 1.0;
}

}  // namespace elq

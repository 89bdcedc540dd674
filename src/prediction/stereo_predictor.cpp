#include "prediction/stereo_predictor.h"

#include <cstring>

namespace elq {

void StereoFilter::init(uint32_t totalOrder, uint32_t cross, uint32_t interval, double forgetting) {
    order = totalOrder;
    crossOrder = cross;
    ownOrder = totalOrder - cross;
    solveInterval = interval;
    lambda = forgetting;
    reserveDoubles(a, packedSize(order), "matrix");
    reserveDoubles(d, order, "pivots");
    reserveDoubles(scratch, decompositionScratch(order), "pivots");
    for (Channel& ch : channels) {
        ch.count = 0;
        ch.lastSolve = 0;
        // ownOrder + 1 valid entries after a wrap-around cover the own regressors and the
        // crossOrder <= ownOrder entries the other channel reads.
        ch.history.init(ownOrder);
        reserveDoubles(ch.xr, order + 1, "autocorrelation");
        reserveDoubles(ch.yr, order, "autocorrelation");
        reserveDoubles(ch.w, order, "coefficients");
        reserveDoubles(ch.s, packedSize(order), "correction");
        memset(ch.xr.data(), 0, (order + 1) * sizeof(double));
        memset(ch.yr.data(), 0, order * sizeof(double));
        memset(ch.w.data(), 0, order * sizeof(double));
        memset(ch.s.data(), 0, packedSize(order) * sizeof(double));
        ch.w[0] = 1.0;
    }
    memset(a.data(), 0, packedSize(order) * sizeof(double));
    memset(d.data(), 0, order * sizeof(double));
}

void StereoFilter::startStatistics(Channel& own, const Channel& other) {
    // Regressors z_m: own[m + 1] for m < a, other[m - a] for m >= a. Row and column a are skipped:
    // they belong to the newest other sample, y itself.
    const double* h = own.history.newest();
    const double* o = other.history.newest();
    const uint32_t na = ownOrder;
    for (uint32_t j = 0; j < na; ++j) {
        double* sj = own.s.data() + columnStart(j, order);
        for (uint32_t i = j; i < na; ++i)
            sj[i - j] = h[i + 1] * h[j + 1];
        for (uint32_t i = na + 1; i < order; ++i)
            sj[i - j] = o[i - na] * h[j + 1];
    }
    for (uint32_t j = na + 1; j < order; ++j) {
        double* sj = own.s.data() + columnStart(j, order);
        for (uint32_t i = j; i < order; ++i)
            sj[i - j] = o[j - na] * o[i - na];
    }
    own.lastSolve = na;
}

// Builds the system of one channel into `a`, laid out for size n: n = P gives the full system,
// n = a the own-channel system alone (its first a rows and columns). With r[2i] = xr[i],
// r[2i+1] = yr[i], o_i = other[i-a-1] and S the correction term chosen by `mode`:
//   own rows i < a:   A[i][0] = ((r[2i] - own[i]·own[0])·inv) + S
//                     A[i][j] = ((A[i-1][j-1] - own[j]·own[i])·inv) + S
//   row a, j < a:     A[a][j] = r[2j+1] as it stands
//   rows i > a, j < a: A[i][0] = ((r[2i] - o_i·own[0])·inv) + S
//                     A[i][j] = ((A[i-1][j-1] - o_i·own[j])·inv) + S
//   column a:         A[i][a] = r[2i+1] as it stands
//   i >= j > a:       A[i][j] = ((A[i-1][j-1] - other[j-a-1]·o_i)·inv) + S
// Built column by column, each from the one before it (A[i-1][j-1] sits at the same offset in
// column j-1); only the dependencies fix the order, each element's arithmetic is as listed.
template <class V, Correction mode>
ELQ_ALWAYS_INLINE void StereoFilter::buildMatrix(Channel& own, const Channel& other, double g, uint32_t n) {
    const double inv = 1.0 / lambda;
    const double* h = own.history.newest();
    const double* o = other.history.newest();
    const double* xr = own.xr.data();
    const double* yr = own.yr.data();
    double* s = own.s.data();
    const uint32_t na = ownOrder;
    const bool full = n == order;
    for (uint32_t j = 0; j < na; ++j) {
        double* cj = a.data() + columnStart(j, n);
        const double* base = j == 0 ? xr : a.data() + columnStart(j - 1, n);
        double* sj = s + columnStart(j, order);
        buildColumn<V, mode>(cj, base, h[j], h + j, inv, sj, g, na - j);
        if (!full) continue;
        cj[na - j] = yr[j];
        const uint32_t t = na + 1 - j;
        buildColumn<V, mode>(cj + t, base + t, h[j], o, inv, sj + t, g, order - na - 1);
    }
    if (full) {
        double* ca = a.data() + columnStart(na, order);
        for (uint32_t i = na; i < order; ++i)
            ca[i - na] = yr[i];
        for (uint32_t j = na + 1; j < order; ++j) {
            double* cj = a.data() + columnStart(j, order);
            const double* oj = o + (j - na - 1);
            buildColumn<V, mode>(cj, a.data() + columnStart(j - 1, order), oj[0], oj, inv,
                                 s + columnStart(j, order), g, order - j);
        }
    }
    double* w = own.w.data();
    for (uint32_t i = 0; i < n; ++i)
        w[i] = xr[i + 1];
}

template <class V>
ELQ_ALWAYS_INLINE void StereoFilter::solveWith(Channel& own, const Channel& other) {
    double* xr = own.xr.data();
    double* w = own.w.data();
    if (!(xr[0] >= 0.5)) {
        if (xr[0] != 0.0 && xr[0] < 1e-9) {
            memset(xr, 0, (order + 1) * sizeof(double));
            memset(own.yr.data(), 0, order * sizeof(double));
        }
        w[0] = 1.0;
        for (uint32_t k = 1; k < order; ++k)
            w[k] = 0.0;
        return;
    }
    const bool correction = own.count < kStartupCorrectionEnd;
    if (correction) {
        buildMatrix<V, Correction::scale>(own, other, powerBySquaring(lambda, own.count - own.lastSolve),
                                          order);
    } else {
        buildMatrix<V, Correction::none>(own, other, 0.0, order);
    }
    if (decomposeAndSolveWith<V>(a.data(), d.data(), w, scratch.data(), order)) return;
    for (uint32_t k = 0; k < order; ++k)
        w[k] = 0.0;
    for (uint32_t k = 1; k <= order; ++k) {
        if (xr[0] == xr[k]) {
            w[k - 1] = 1.0;
            return;
        }
    }
    // Own channel alone. The correction matrix was already scaled above, so it is added as it stands.
    if (correction) {
        buildMatrix<V, Correction::current>(own, other, 0.0, ownOrder);
    } else {
        buildMatrix<V, Correction::none>(own, other, 0.0, ownOrder);
    }
    if (decomposeAndSolveWith<V>(a.data(), d.data(), w, scratch.data(), ownOrder)) return;
    // w[1..a-1] keep the right-hand side loaded for this solve; stored files depend on it.
    w[0] = 1.0;
}

void StereoFilter::solve(KernelSet set, Channel& own, const Channel& other) {
    runWithKernels(set, [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA { solveWith<V>(own, other); });
}

void StereoPredictorEncoder::setParameters(uint32_t memory, uint32_t totalOrder, uint32_t cross,
                                           uint32_t interval, int32_t loLeft, int32_t hiLeft, int32_t loRight,
                                           int32_t hiRight, uint32_t residueWidth, ProgressSink sink) {
    checkFilterSettings(memory, interval);
    if (!runnableOrders({totalOrder, cross}, true))
        throwError(UNKNOWN,
                   "stereo orders must be multiples of 4 with 4 <= cross order <= own order, total <= 128");
    memoryLength = memory;
    order = totalOrder;
    crossOrder = cross;
    solveInterval = interval;
    lo[0] = loLeft;
    hi[0] = hiLeft;
    lo[1] = loRight;
    hi[1] = hiRight;
    shift = shiftForWidth(residueWidth);
    progress = sink;
}

void StereoPredictorEncoder::writeParameters(RangeEncoder& encoder) {
    writeMemoryLength(encoder, memoryLength);
    writeSolveInterval(encoder, solveInterval);
    writeOrders(encoder, {order, crossOrder}, true);
}

void StereoPredictorEncoder::predictBlock(const int32_t* samples, uint32_t count, int32_t* residues) {
    if (count % 2 != 0) throwError(UNKNOWN, "stereo block with an odd number of values");
    filter.init(order, crossOrder, solveInterval, memoryWeights(memoryLength).a);
    const StereoClamp clamp{{lo[0], lo[1]}, {hi[0], hi[1]}, shift};
    predictFrames(filter, clamp, progress, samples, count, residues);
}

void StereoPredictorDecoder::setParameters(int32_t loLeft, int32_t hiLeft, int32_t loRight, int32_t hiRight,
                                           uint32_t residueWidth, ProgressSink sink) {
    lo[0] = loLeft;
    hi[0] = hiLeft;
    lo[1] = loRight;
    hi[1] = hiRight;
    shift = shiftForWidth(residueWidth);
    progress = sink;
}

void StereoPredictorDecoder::readParameters(RangeDecoder& decoder) {
    memoryLength = readMemoryLength(decoder);
    solveInterval = readSolveInterval(decoder);
    const PredictorOrders orders = readOrders(decoder, true);
    order = orders.order;
    crossOrder = orders.crossOrder;
    parametersRead = true;
}

StereoClamp StereoPredictorDecoder::resume(uint32_t count) {
    if (count % 2 != 0) throwError(UNKNOWN, "corrupt block: stereo block with an odd number of values");
    if (parametersRead) {
        filter.init(order, crossOrder, solveInterval, memoryWeights(memoryLength).a);
    }
    beginReconstruction();
    return StereoClamp{{lo[0], lo[1]}, {hi[0], hi[1]}, shift};
}

void StereoPredictorDecoder::reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples) {
    const StereoClamp clamp = resume(count);
    reconstructFrames(filter, clamp, progress, countdown, residues, count, samples);
}

uint32_t StereoPredictorDecoder::decodeBlock(ResidualDecoder& residual, RangeDecoder& decoder,
                                             uint32_t maxCount, int32_t* samples) {
    const StereoClamp clamp = resume(maxCount);
    return decodeFrames(filter, clamp, progress, countdown, residual, decoder, maxCount, samples);
}

}  // namespace elq

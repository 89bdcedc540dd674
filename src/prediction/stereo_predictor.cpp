#include "prediction/stereo_predictor.h"

#include <cstring>

namespace elq {

namespace {

constexpr uint16_t kOrders[9] = {12, 24, 36, 48, 64, 96, 128, 192, 256};
constexpr uint16_t kCrossOrders[9] = {4, 8, 12, 16, 20, 32, 40, 64, 80};
constexpr uint32_t kOrderEscape = 31;

// For each regressor z[m]: r[2m] = (lambda·r[2m]) + (z[m]·y), r[2m+1] = (lambda·r[2m+1]) + (z[m]·x).
inline void accumulatePairs(double* __restrict r, const double* __restrict z, uint32_t n, double y, double x,
                            double lambda) {
    for (uint32_t m = 0; m < n; ++m) {
        r[2 * m] = (lambda * r[2 * m]) + (z[m] * y);
        r[2 * m + 1] = (lambda * r[2 * m + 1]) + (z[m] * x);
    }
}

bool validOrderPair(uint32_t order, uint32_t crossOrder) {
    return order <= kMaxPredictionOrder && order % 4 == 0 && crossOrder >= 4 && crossOrder % 4 == 0 &&
           2 * crossOrder <= order;
}

}  // namespace

void StereoFilter::init(uint32_t totalOrder, uint32_t cross, uint32_t interval, double forgetting) {
    order = totalOrder;
    crossOrder = cross;
    ownOrder = totalOrder - cross;
    solveInterval = interval;
    lambda = forgetting;
    reserveDoubles(a, packedSize(order), "matrix");
    reserveDoubles(d, order, "pivots");
    reserveDoubles(scratch, order, "pivots");
    for (Channel& ch : channels) {
        ch.count = 0;
        ch.lastSolve = 0;
        // ownOrder + 1 valid entries after a wrap-around cover the own regressors and the
        // crossOrder <= ownOrder entries the other channel reads.
        ch.history.init(ownOrder);
        reserveDoubles(ch.r, 2 * order + 1, "autocorrelation");
        reserveDoubles(ch.w, order, "coefficients");
        reserveDoubles(ch.s, packedSize(order), "correction");
        memset(ch.r.data(), 0, (2 * order + 1) * sizeof(double));
        memset(ch.w.data(), 0, order * sizeof(double));
        memset(ch.s.data(), 0, packedSize(order) * sizeof(double));
        ch.w[0] = 1.0;
    }
    memset(a.data(), 0, packedSize(order) * sizeof(double));
    memset(d.data(), 0, order * sizeof(double));
}

void StereoFilter::update(uint32_t channel, int32_t sample) {
    Channel& own = channels[channel];
    const Channel& other = channels[channel ^ 1];
    double x = static_cast<double>(sample);
    own.history.push(x);
    ++own.count;
    if (own.count < ownOrder) return;
    if (own.count == ownOrder) startStatistics(own, other);
    const double* ownHistory = own.history.newest();
    const double* otherHistory = other.history.newest();
    double y = otherHistory[0];
    double* r = own.r.data();
    r[0] = (lambda * r[0]) + (x * x);
    accumulatePairs(r + 1, ownHistory + 1, ownOrder, y, x, lambda);
    accumulatePairs(r + 1 + 2 * ownOrder, otherHistory, crossOrder, y, x, lambda);
    if (own.count - own.lastSolve >= solveInterval) {
        solve(own, other);
        own.lastSolve = own.count;
    }
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
// n = a the own-channel system alone (its first a rows and columns). With o_i = other[i-a-1] and
// S the correction term chosen by `mode`:
//   own rows i < a:   A[i][0] = ((r[2i] - own[i]·own[0])·inv) + S
//                     A[i][j] = ((A[i-1][j-1] - own[j]·own[i])·inv) + S
//   row a, j < a:     A[a][j] = r[2j+1] as it stands
//   rows i > a, j < a: A[i][0] = ((r[2i] - o_i·own[0])·inv) + S
//                     A[i][j] = ((A[i-1][j-1] - o_i·own[j])·inv) + S
//   column a:         A[i][a] = r[2i+1] as it stands
//   i >= j > a:       A[i][j] = ((A[i-1][j-1] - other[j-a-1]·o_i)·inv) + S
// Built column by column, each from the one before it (A[i-1][j-1] sits at the same offset in
// column j-1); only the dependencies fix the order, each element's arithmetic is as listed.
template <Correction mode>
void StereoFilter::buildMatrix(Channel& own, const Channel& other, double g, uint32_t n) {
    const double inv = 1.0 / lambda;
    const double* h = own.history.newest();
    const double* o = other.history.newest();
    const double* r = own.r.data();
    const uint32_t na = ownOrder;
    const bool full = n == order;
    for (uint32_t j = 0; j < na; ++j) {
        double* __restrict cj = a.data() + columnStart(j, n);
        const double* __restrict cp = a.data() + (j > 0 ? columnStart(j - 1, n) : 0);
        double* __restrict sj = own.s.data() + columnStart(j, order);
        const double hj = h[j];
        for (uint32_t i = j; i < na; ++i) {
            double base = j == 0 ? r[2 * i] : cp[i - j];
            cj[i - j] = withCorrection<mode>((base - (hj * h[i])) * inv, sj, i - j, g);
        }
        if (!full) continue;
        cj[na - j] = r[2 * j + 1];
        for (uint32_t i = na + 1; i < order; ++i) {
            double base = j == 0 ? r[2 * i] : cp[i - j];
            cj[i - j] = withCorrection<mode>((base - (o[i - na - 1] * hj)) * inv, sj, i - j, g);
        }
    }
    if (full) {
        double* ca = a.data() + columnStart(na, order);
        for (uint32_t i = na; i < order; ++i)
            ca[i - na] = r[2 * i + 1];
        for (uint32_t j = na + 1; j < order; ++j) {
            double* __restrict cj = a.data() + columnStart(j, order);
            const double* __restrict cp = a.data() + columnStart(j - 1, order);
            double* __restrict sj = own.s.data() + columnStart(j, order);
            const double oj = o[j - na - 1];
            for (uint32_t i = j; i < order; ++i)
                cj[i - j] = withCorrection<mode>((cp[i - j] - (oj * o[i - na - 1])) * inv, sj, i - j, g);
        }
    }
    double* w = own.w.data();
    for (uint32_t i = 0; i < n; ++i)
        w[i] = r[2 * i + 2];
}

void StereoFilter::solve(Channel& own, const Channel& other) {
    double* r = own.r.data();
    double* w = own.w.data();
    if (!(r[0] >= 0.5)) {
        if (r[0] != 0.0 && r[0] < 1e-9) memset(r, 0, (2 * order + 1) * sizeof(double));
        w[0] = 1.0;
        for (uint32_t k = 1; k < order; ++k)
            w[k] = 0.0;
        return;
    }
    const bool correction = own.count < kStartupCorrectionEnd;
    if (correction) {
        buildMatrix<Correction::scale>(own, other, powerBySquaring(lambda, own.count - own.lastSolve), order);
    } else {
        buildMatrix<Correction::none>(own, other, 0.0, order);
    }
    if (decomposeAndSolve(a.data(), d.data(), w, scratch.data(), order)) return;
    for (uint32_t k = 0; k < order; ++k)
        w[k] = 0.0;
    for (uint32_t k = 1; k <= order; ++k) {
        if (r[0] == r[2 * k]) {
            w[k - 1] = 1.0;
            return;
        }
    }
    // Own channel alone. The correction matrix was already scaled above, so it is added as it stands.
    if (correction) {
        buildMatrix<Correction::current>(own, other, 0.0, ownOrder);
    } else {
        buildMatrix<Correction::none>(own, other, 0.0, ownOrder);
    }
    if (decomposeAndSolve(a.data(), d.data(), w, scratch.data(), ownOrder)) return;
    // w[1..a-1] keep the right-hand side loaded for this solve; stored files depend on it.
    w[0] = 1.0;
}

void StereoPredictorEncoder::setParameters(uint32_t memory, uint32_t totalOrder, uint32_t cross,
                                           uint32_t interval, int32_t loLeft, int32_t hiLeft, int32_t loRight,
                                           int32_t hiRight, uint32_t residueWidth, ProgressSink sink) {
    checkFilterSettings(memory, interval);
    if (!validOrderPair(totalOrder, cross))
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
    for (uint32_t i = 0; i < 9; ++i) {
        if (kOrders[i] == order && kCrossOrders[i] == crossOrder) {
            encoder.encodeShift(1, i, 5);
            return;
        }
    }
    encoder.encodeShift(1, kOrderEscape, 5);
    encoder.encodeByte(order - 1);
    encoder.encodeByte(crossOrder);
}

void StereoPredictorEncoder::predictBlock(const int32_t* samples, uint32_t count, int32_t* residues) {
    if (count % 2 != 0) throwError(UNKNOWN, "stereo block with an odd number of values");
    filter.init(order, crossOrder, solveInterval, forgettingFactor(memoryLength));
    ProgressCountdown countdown;
    for (uint32_t i = 0; i < count; i += 2) {
        countdown.tick(progress, i, count);
        for (uint32_t ch = 0; ch < 2; ++ch) {
            int32_t x = samples[i + ch];
            int32_t q = clampPrediction(filter.predict(ch), lo[ch], hi[ch]);
            residues[i + ch] = residueOf(x, q, shift);
            filter.update(ch, x);
        }
    }
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
    uint32_t v = decoder.decodeUniform(5);
    uint32_t decodedOrder;
    uint32_t decodedCross;
    if (v == kOrderEscape) {
        decodedOrder = decoder.decodeByte() + 1;
        decodedCross = decoder.decodeByte();
    } else if (v < 9) {
        decodedOrder = kOrders[v];
        decodedCross = kCrossOrders[v];
    } else {
        throwError(UNKNOWN, "corrupt block: unknown stereo predictor order index");
    }
    if (!validOrderPair(decodedOrder, decodedCross))
        throwError(UNKNOWN, "corrupt block: stereo predictor orders out of range");
    order = decodedOrder;
    crossOrder = decodedCross;
    parametersRead = true;
}

void StereoPredictorDecoder::reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples) {
    if (count % 2 != 0) throwError(UNKNOWN, "corrupt block: stereo block with an odd number of values");
    if (parametersRead) {
        filter.init(order, crossOrder, solveInterval, forgettingFactor(memoryLength));
        countdown.restart();
        parametersRead = false;
        started = true;
    }
    if (!started) throwError(UNKNOWN, "predictor parameters not read before reconstruction");
    for (uint32_t i = 0; i < count; i += 2) {
        countdown.tick(progress, i, count);
        for (uint32_t ch = 0; ch < 2; ++ch) {
            int32_t q = clampPrediction(filter.predict(ch), lo[ch], hi[ch]);
            int32_t x = sampleOf(q, residues[i + ch], shift);
            samples[i + ch] = x;
            filter.update(ch, x);
        }
    }
}

}  // namespace elq

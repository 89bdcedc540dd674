// Adaptive least-squares prediction filter: estimates the next integer sample of a channel from its
// preceding samples with coefficients re-solved from exponentially weighted normal equations.
// Encoder and decoder replay the same arithmetic, so every floating-point operation here keeps a
// fixed order and rounding.
#pragma once

#include <cstdint>

#include "foundation/allocator.h"
#include "foundation/compiler.h"
#include "prediction/kernels.h"

namespace elq {

constexpr uint32_t kMaxPredictionOrder = 128;
// From this sample count on the start-up correction is left out of the matrix build.
constexpr uint32_t kStartupCorrectionEnd = 48000;

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

    // Prediction for the next sample with the active kernel set; does not change state.
    int32_t predict() const {
        return runWithKernels(activeKernelSet(),
                              [this]<class V>() ELQ_ALWAYS_INLINE_LAMBDA { return predictWith<V>(); });
    }
    // Pushes the true sample value and advances the statistics; re-solves every solveInterval samples.
    void update(int32_t x) {
        runWithKernels(activeKernelSet(),
                       [this, x]<class V>() ELQ_ALWAYS_INLINE_LAMBDA { updateWith<V>(x); });
    }

    // The same inside code that runWithKernels compiled for lane type V: the block loops.
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
        const double* h = history.newest();
        double* rr = r.data();
        accumulateCorrelation<V>(rr, h, v, lambda, order);
        rr[order] = (lambda * rr[order]) + (v * h[order]);
        if (count - lastSolve >= solveInterval) {
            solve(kKernelSetOf<V>);
            lastSolve = count;
        }
    }

    // Writes the next n samples (n <= SampleHistory::kSpan) ahead; the next n updates must pass
    // exactly these samples with Prepared set.
    void prepare(const int32_t* samples, uint32_t n) { history.prepare(samples, 1, n); }
    // The predictions of the next n samples, written ahead by prepare(): until the next solve
    // (framesUntilSolve) the coefficients stay as they are, so these predictions do not wait for
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
    uint32_t framesUntilSolve() const {
        const uint32_t next = count < order ? order + solveInterval : lastSolve + solveInterval;
        return next - count;
    }

    // The current coefficients (order values), for tests and diagnostics.
    const double* coefficients() const { return w.data(); }

private:
    void startStatistics();
    // Re-solves the coefficients with the kernels of `set`, the set of the calling loop.
    void solve(KernelSet set);
    template <class V>
    void solveWith();

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

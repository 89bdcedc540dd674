// Stereo predictor: each channel is predicted from its own past samples and from the other
// channel's samples (the left from the right up to the previous frame, the right from the left up
// to the current frame), with least-squares coefficients re-solved as in PredictionFilter.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"
#include "prediction/block_predictor.h"
#include "prediction/mono_predictor.h"
#include "prediction/prediction_filter.h"

namespace elq {

// The two coupled least-squares predictors of a stereo block. Channel 0 is left, 1 is right; a
// frame is predict(0), update(0, left), predict(1), update(1, right).
class StereoFilter {
public:
    // order P = own order a + crossOrder c; a and c multiples of 4, 4 <= c <= a, P <= 128.
    void init(uint32_t order, uint32_t crossOrder, uint32_t solveInterval, double lambda);

    // Prediction and update of a channel with the active kernel set.
    int32_t predict(uint32_t channel) const {
        return runWithKernels(activeKernelSet(), [this, channel]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
            return predictWith<V>(channel);
        });
    }
    void update(uint32_t channel, int32_t x) {
        runWithKernels(activeKernelSet(),
                       [this, channel, x]<class V>() ELQ_ALWAYS_INLINE_LAMBDA { updateWith<V>(channel, x); });
    }

    // The same inside code that runWithKernels compiled for lane type V: the block loops.
    template <class V>
    ELQ_ALWAYS_INLINE int32_t predictWith(uint32_t channel) const {
        const Channel& own = channels[channel];
        PredictionSums sums = {};
        accumulatePrediction<V>(own.history.newest(), own.w.data(), ownOrder, sums);
        accumulatePrediction<V>(channels[channel ^ 1].history.newest(), own.w.data() + ownOrder, crossOrder,
                                sums);
        return roundPrediction(finalSum(sums));
    }
    // Prepared: the sample was written ahead by prepare().
    template <class V, bool Prepared = false>
    ELQ_ALWAYS_INLINE void updateWith(uint32_t channel, int32_t sample) {
        Channel& own = channels[channel];
        const Channel& other = channels[channel ^ 1];
        const double x = static_cast<double>(sample);
        if constexpr (Prepared) {
            own.history.advance();
        } else {
            own.history.push(x);
        }
        ++own.count;
        if (own.count < ownOrder) return;
        if (own.count == ownOrder) startStatistics(own, other);
        const double* ownHistory = own.history.newest();
        const double* otherHistory = other.history.newest();
        const double y = otherHistory[0];
        double* xr = own.xr.data();
        double* yr = own.yr.data();
        xr[0] = (lambda * xr[0]) + (x * x);
        accumulateCorrelationPairs<V>(yr, xr + 1, ownHistory + 1, ownOrder, y, x, lambda);
        accumulateCorrelationPairs<V>(yr + ownOrder, xr + 1 + ownOrder, otherHistory, crossOrder, y, x,
                                      lambda);
        if (own.count - own.lastSolve >= solveInterval) {
            solve(kKernelSetOf<V>, own, other);
            own.lastSolve = own.count;
        }
    }

    // The predictions of the next `frames` frames (interleaved, left first), for samples already
    // written ahead by prepare(): until the next solve (framesUntilSolve) the coefficients stay as
    // they are, so these predictions do not wait for the updates in between, and the processor can
    // overlap them instead of meeting one prediction's dependency chain per sample.
    template <class V>
    ELQ_ALWAYS_INLINE void predictAhead(uint32_t frames, int32_t* out) const {
        const double* left = channels[0].history.newest();
        const double* right = channels[1].history.newest();
        const double* wl = channels[0].w.data();
        const double* wr = channels[1].w.data();
        for (uint32_t k = 0; k < frames; ++k) {
            // Frame k ahead: the left sees both channels up to the frame before, the right sees the
            // left of its own frame too.
            PredictionSums l = {};
            accumulatePrediction<V>(left - k, wl, ownOrder, l);
            accumulatePrediction<V>(right - k, wl + ownOrder, crossOrder, l);
            out[2 * k] = roundPrediction(finalSum(l));
            PredictionSums r = {};
            accumulatePrediction<V>(right - k, wr, ownOrder, r);
            accumulatePrediction<V>(left - k - 1, wr + ownOrder, crossOrder, r);
            out[2 * k + 1] = roundPrediction(finalSum(r));
        }
    }
    // Frames up to and including the next one whose updates solve (both channels solve in the same
    // frame, their counts and solve points being equal).
    uint32_t framesUntilSolve() const {
        const Channel& ch = channels[0];
        const uint32_t next = ch.count < ownOrder ? ownOrder + solveInterval : ch.lastSolve + solveInterval;
        return next - ch.count;
    }

    // Writes the next `frames` frames of interleaved samples (at most SampleHistory::kSpan) ahead;
    // the following updates must pass exactly these samples with Prepared set.
    void prepare(const int32_t* samples, uint32_t frames) {
        channels[0].history.prepare(samples, 2, frames);
        channels[1].history.prepare(samples + 1, 2, frames);
    }

    // The current coefficients of a channel (order values: own part, then cross part).
    const double* coefficients(uint32_t channel) const { return channels[channel].w.data(); }

private:
    // The weighted correlations of a channel with its regressors z_m (own samples before x, then the
    // other channel's newest), y the other channel's newest sample: xr[0] = x·x, xr[1 + m] = z_m·x and
    // yr[m] = z_m·y; each updated as r = (lambda·r) + product.
    struct Channel {
        uint32_t count = 0;
        uint32_t lastSolve = 0;
        SampleHistory history;
        Buffer<double> xr;
        Buffer<double> yr;
        Buffer<double> w;
        Buffer<double> s;  // start-up correction, column-packed P x P; row and column a stay zero
    };

    void startStatistics(Channel& own, const Channel& other);
    // Re-solves the coefficients of `own` with the kernels of `set`, the set of the calling loop.
    void solve(KernelSet set, Channel& own, const Channel& other);
    template <class V>
    void solveWith(Channel& own, const Channel& other);
    template <class V, Correction mode>
    void buildMatrix(Channel& own, const Channel& other, double g, uint32_t n);

    Channel channels[2];
    Buffer<double> a;  // system matrix shared by both channels as scratch
    Buffer<double> d;
    Buffer<double> scratch;
    uint32_t order = 0;
    uint32_t ownOrder = 0;
    uint32_t crossOrder = 0;
    uint32_t solveInterval = 0;
    double lambda = 0.0;
};

class StereoPredictorEncoder {
public:
    void setParameters(uint32_t memoryLength, uint32_t order, uint32_t crossOrder, uint32_t solveInterval,
                       int32_t loLeft, int32_t hiLeft, int32_t loRight, int32_t hiRight,
                       uint32_t residueWidth, ProgressSink progress);
    void writeParameters(RangeEncoder& encoder);
    // count is the number of interleaved values (even); each call starts from fresh filters. The
    // residues must not overlap the samples.
    void predictBlock(const int32_t* samples, uint32_t count, int32_t* residues);

private:
    StereoFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t crossOrder = 0;
    uint32_t solveInterval = 0;
    int32_t lo[2] = {0, 0};
    int32_t hi[2] = {0, 0};
    uint32_t shift = 0;
    ProgressSink progress;
};

class StereoPredictorDecoder : private PredictorDecoderState {
public:
    void setParameters(int32_t loLeft, int32_t hiLeft, int32_t loRight, int32_t hiRight,
                       uint32_t residueWidth, ProgressSink progress);
    // Throws UNKNOWN for an order pair this codec cannot run.
    void readParameters(RangeDecoder& decoder);
    // residues may equal samples (in place); count is even. Continues across calls.
    void reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples);
    // As MonoPredictorDecoder::decodeBlock; maxCount is even.
    uint32_t decodeBlock(ResidualDecoder& residual, RangeDecoder& decoder, uint32_t maxCount,
                         int32_t* samples);

private:
    // Refuses an odd count; starts the filter at the first call after readParameters; the clamp of
    // every call.
    StereoClamp resume(uint32_t count);

    StereoFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t crossOrder = 0;
    uint32_t solveInterval = 0;
    int32_t lo[2] = {0, 0};
    int32_t hi[2] = {0, 0};
    uint32_t shift = 0;
    ProgressSink progress;
};

}  // namespace elq

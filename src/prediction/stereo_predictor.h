// Stereo predictor: each channel is predicted from its own past samples and from the other
// channel's samples (the left from the right up to the previous frame, the right from the left up
// to the current frame), with least-squares coefficients re-solved as in PredictionFilter.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"
#include "prediction/mono_predictor.h"
#include "prediction/prediction_filter.h"

namespace elq {

// The two coupled least-squares predictors of a stereo block. Channel 0 is left, 1 is right; a
// frame is predict(0), update(0, left), predict(1), update(1, right).
class StereoFilter {
public:
    // order P = own order a + crossOrder c; a and c multiples of 4, 4 <= c <= a, P <= 128.
    void init(uint32_t order, uint32_t crossOrder, uint32_t solveInterval, double lambda);

    int32_t predict(uint32_t channel) const {
        const Channel& own = channels[channel];
        double sa = 0.0;
        double sb = 0.0;
        accumulatePrediction(own.history.newest(), own.w.data(), ownOrder, sa, sb);
        accumulatePrediction(channels[channel ^ 1].history.newest(), own.w.data() + ownOrder, crossOrder, sa,
                             sb);
        return roundPrediction(sb + sa);
    }

    void update(uint32_t channel, int32_t x);

    // The current coefficients of a channel (order values: own part, then cross part).
    const double* coefficients(uint32_t channel) const { return channels[channel].w.data(); }

private:
    // r holds r[0] (weighted x·x) and, for each regressor z_m, the pair r[1+2m] (z_m·y), r[2+2m] (z_m·x).
    struct Channel {
        uint32_t count = 0;
        uint32_t lastSolve = 0;
        SampleHistory history;
        Buffer<double> r;
        Buffer<double> w;
        Buffer<double> s;  // start-up correction, column-packed P x P; row and column a stay zero
    };
    void startStatistics(Channel& own, const Channel& other);
    void solve(Channel& own, const Channel& other);
    template <Correction mode>
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
    // count is the number of interleaved values (even); each call starts from fresh filters.
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

class StereoPredictorDecoder {
public:
    void setParameters(int32_t loLeft, int32_t hiLeft, int32_t loRight, int32_t hiRight,
                       uint32_t residueWidth, ProgressSink progress);
    // Throws UNKNOWN for an order pair this codec cannot run.
    void readParameters(RangeDecoder& decoder);
    // residues may equal samples (in place); count is even. Continues across calls.
    void reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples);

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
    ProgressCountdown countdown;
    bool parametersRead = false;
    bool started = false;
};

}  // namespace elq

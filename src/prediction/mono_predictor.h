// Mono predictor: turns the normalized samples of a mono block into prediction residues and back,
// with one PredictionFilter, the clamp to the block's sample range and the wrap to residueWidth.
#pragma once

#include <cstdint>

#include "entropy/memory_length.h"
#include "entropy/range_coder.h"
#include "prediction/block_predictor.h"
#include "prediction/prediction_filter.h"

namespace elq {

class MonoPredictorEncoder {
public:
    // order: a multiple of 4 from 4 to 128; [lo, hi] is the clamp range of a prediction.
    void setParameters(uint32_t memoryLength, uint32_t order, uint32_t solveInterval, int32_t lo, int32_t hi,
                       uint32_t residueWidth, ProgressSink progress);
    void writeParameters(RangeEncoder& encoder);
    // Each call starts from a freshly initialised filter. The residues must not overlap the samples.
    void predictBlock(const int32_t* samples, uint32_t count, int32_t* residues);

private:
    // Starts the filter at the first call after readParameters; the clamp of every call.
    MonoClamp resume();

    PredictionFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t solveInterval = 0;
    int32_t lo = 0;
    int32_t hi = 0;
    uint32_t shift = 0;
    ProgressSink progress;
};

class MonoPredictorDecoder : private PredictorDecoderState {
public:
    void setParameters(int32_t lo, int32_t hi, uint32_t residueWidth, ProgressSink progress);
    // Throws UNKNOWN for an order this codec cannot run (above 128, not a multiple of 4, or a
    // table index without an order).
    void readParameters(RangeDecoder& decoder);
    // residues may equal samples (in place). The filter starts at the first call after
    // readParameters and carries on across calls.
    void reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples);
    // Decodes min(maxCount, values left) residues with `residual` and reconstructs their samples in
    // the same pass, as decodeBlock of the residual decoder followed by reconstructBlock would;
    // returns their number.
    uint32_t decodeBlock(ResidualDecoder& residual, RangeDecoder& decoder, uint32_t maxCount,
                         int32_t* samples);

private:
    // Starts the filter at the first call after readParameters; the clamp of every call.
    MonoClamp resume();

    PredictionFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t solveInterval = 0;
    int32_t lo = 0;
    int32_t hi = 0;
    uint32_t shift = 0;
    ProgressSink progress;
};

}  // namespace elq

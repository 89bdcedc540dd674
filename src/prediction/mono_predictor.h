// Mono predictor: turns the normalized samples of a mono block into prediction residues and back,
// with one PredictionFilter, the clamp to the block's sample range and the wrap to residueWidth.
#pragma once

#include <cstdint>

#include "entropy/memory_length.h"
#include "entropy/range_coder.h"
#include "prediction/prediction_filter.h"

namespace elq {

// Progress callback of a predictor, called every 44100 samples (frames) with the fraction done.
struct ProgressSink {
    void (*report)(void* context, double fraction) = nullptr;
    void* context = nullptr;
};

constexpr int32_t kProgressInterval = 44100;

// q <= lo gives lo, else q >= hi gives hi.
inline int32_t clampPrediction(int32_t q, int32_t lo, int32_t hi) {
    if (q <= lo) return lo;
    if (q >= hi) return hi;
    return q;
}

// The 32-bit two's-complement value v wrapped into the signed (32 - shift)-bit range.
inline int32_t wrapToWidth(uint32_t v, uint32_t shift) {
    return static_cast<int32_t>(v << shift) >> shift;
}

inline int32_t residueOf(int32_t x, int32_t q, uint32_t shift) {
    return wrapToWidth(static_cast<uint32_t>(x) - static_cast<uint32_t>(q), shift);
}
inline int32_t sampleOf(int32_t q, int32_t residue, uint32_t shift) {
    return wrapToWidth(static_cast<uint32_t>(q) + static_cast<uint32_t>(residue), shift);
}

// Counts samples down to the next progress report.
class ProgressCountdown {
public:
    void restart() { remaining = kProgressInterval; }
    void tick(const ProgressSink& sink, uint32_t i, uint32_t count) {
        if (--remaining != 0) return;
        if (sink.report) sink.report(sink.context, static_cast<double>(i) / static_cast<double>(count));
        remaining = kProgressInterval;
    }

private:
    int32_t remaining = kProgressInterval;
};

// Filter parameter fields shared by the mono and stereo predictors.
void writeSolveInterval(RangeEncoder& encoder, uint32_t solveInterval);
uint32_t readSolveInterval(RangeDecoder& decoder);
// Throws UNKNOWN unless memoryLength is 2..65537 and solveInterval 1..65536 (what the fields carry).
void checkFilterSettings(uint32_t memoryLength, uint32_t solveInterval);
// Throws UNKNOWN unless residueWidth is 2..32.
uint32_t shiftForWidth(uint32_t residueWidth);

class MonoPredictorEncoder {
public:
    // order: a multiple of 4 from 4 to 128; [lo, hi] is the clamp range of a prediction.
    void setParameters(uint32_t memoryLength, uint32_t order, uint32_t solveInterval, int32_t lo, int32_t hi,
                       uint32_t residueWidth, ProgressSink progress);
    void writeParameters(RangeEncoder& encoder);
    // Each call starts from a freshly initialised filter. The residues must not overlap the samples.
    void predictBlock(const int32_t* samples, uint32_t count, int32_t* residues);

private:
    PredictionFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t solveInterval = 0;
    int32_t lo = 0;
    int32_t hi = 0;
    uint32_t shift = 0;
    ProgressSink progress;
};

class MonoPredictorDecoder {
public:
    void setParameters(int32_t lo, int32_t hi, uint32_t residueWidth, ProgressSink progress);
    // Throws UNKNOWN for an order this codec cannot run (above 128, not a multiple of 4, or a
    // table index without an order).
    void readParameters(RangeDecoder& decoder);
    // residues may equal samples (in place). The filter starts at the first call after
    // readParameters and carries on across calls.
    void reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples);

private:
    PredictionFilter filter;
    uint32_t memoryLength = 0;
    uint32_t order = 0;
    uint32_t solveInterval = 0;
    int32_t lo = 0;
    int32_t hi = 0;
    uint32_t shift = 0;
    ProgressSink progress;
    ProgressCountdown countdown;
    bool parametersRead = false;
    bool started = false;
};

}  // namespace elq

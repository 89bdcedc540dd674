// Block sample normalizer: removes a common step and offset from each channel of a block. When all
// samples apart from the channel's extremes lie on a grid offset + k·divisor, each sample is replaced
// by its grid index and the extremes by the grid points just outside the others. Also yields the
// clamp range and residueWidth for the predictor.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"

namespace elq {

// The grid of one channel in one block.
struct ChannelGrid {
    int32_t min = 0;
    int32_t max = 0;
    int32_t mappedMin = 0;
    int32_t mappedMax = 0;
    int32_t divisor = 1;
    int32_t offset = 0;

    // Finds the grid of samples[0], samples[stride], ... (count values) and rewrites them in place.
    // A grid whose divisor does not survive the sign-extending sampleBits field, or whose mapped
    // extremes would not restore within 32 bits, is not used (divisor 1).
    void analyze(int32_t* samples, uint32_t count, uint32_t stride, uint32_t sampleBits);
    void write(RangeEncoder& encoder, uint32_t sampleBits) const;
    // Throws UNKNOWN for a divisor below 2 or an offset outside [0, divisor).
    void read(RangeDecoder& decoder, uint32_t sampleBits);
    void restore(int32_t* samples, uint32_t count, uint32_t stride) const;
};

// Bits of a two's-complement value that holds every value of [lo, hi] (at least 2).
uint32_t residueWidthFor(int32_t lo, int32_t hi);

class SampleNormalizerEncoder {
public:
    // 1 to 32: the width of the source samples and of the coded fields.
    void setSampleBits(uint32_t bits);
    void analyze(int32_t* samples, uint32_t count);
    void writeParameters(RangeEncoder& encoder);
    void query(int32_t& lo, int32_t& hi, uint32_t& residueWidth) const;

private:
    ChannelGrid grid;
    uint32_t sampleBits = 16;
};

class SampleNormalizerDecoder {
public:
    void setSampleBits(uint32_t bits);
    void readParameters(RangeDecoder& decoder);
    void query(int32_t& lo, int32_t& hi, uint32_t& residueWidth) const;
    void restore(int32_t* samples, uint32_t count) const;

private:
    ChannelGrid grid;
    uint32_t sampleBits = 16;
};

// Interleaved stereo: left on even positions, right on odd ones; one shared residueWidth.
class StereoSampleNormalizerEncoder {
public:
    void setSampleBits(uint32_t bits);
    void analyze(int32_t* samples, uint32_t count);
    void writeParameters(RangeEncoder& encoder);
    void query(int32_t& loLeft, int32_t& hiLeft, int32_t& loRight, int32_t& hiRight,
               uint32_t& residueWidth) const;

private:
    ChannelGrid grids[2];
    uint32_t sampleBits = 16;
};

class StereoSampleNormalizerDecoder {
public:
    void setSampleBits(uint32_t bits);
    void readParameters(RangeDecoder& decoder);
    void query(int32_t& loLeft, int32_t& hiLeft, int32_t& loRight, int32_t& hiRight,
               uint32_t& residueWidth) const;
    void restore(int32_t* samples, uint32_t count) const;

private:
    ChannelGrid grids[2];
    uint32_t sampleBits = 16;
};

}  // namespace elq

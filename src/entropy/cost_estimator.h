// Counts the bytes a RangeEncoder would produce for a sequence of symbols, without
// producing them: the encoder's normalization on `range` alone.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"

namespace elq {

class CostEstimator {
public:
    // The state of a RangeEncoder right after start.
    void reset() {
        range = kRangeTop;
        bytes = 0;
    }

    // One byte per pass, as the encoder's normalization.
    ELQ_ALWAYS_INLINE void normalize() {
        while (range <= kRangeBottom) {
            range <<= 8;
            ++bytes;
        }
    }

    // The interval of a symbol of frequency `symFreq` out of `totFreq` (at most 2^16). Unlike the
    // encoder, the last symbol of an alphabet does not receive the division's remainder, so the
    // estimate can only exceed the real length, never fall below it.
    ELQ_ALWAYS_INLINE void estimateFreq(uint32_t symFreq, uint32_t totFreq) {
        normalize();
        range = (range / totFreq) * symFreq;
    }

    ELQ_ALWAYS_INLINE void estimateShift(uint32_t symFreq, uint32_t shift) {
        normalize();
        range = (range >> shift) * symFreq;
    }

    // The cost of RangeEncoder::encodeBits with `nbits` (0 to 32): 12-bit chunks, then the rest.
    ELQ_ALWAYS_INLINE void estimateBits(uint32_t nbits) {
        if (nbits > 12) {
            for (uint32_t i = (nbits - 1) / 12; i > 0; --i) {
                normalize();
                range >>= 12;
                nbits -= 12;
            }
        }
        if (nbits > 0) {
            normalize();
            range >>= nbits;
        }
    }

    // Adds the closing bytes and returns the estimated block length, the first byte included.
    uint32_t finish() {
        normalize();
        bytes += 5;
        return bytes;
    }

    uint32_t range = kRangeTop;
    uint32_t bytes = 0;
};

}  // namespace elq

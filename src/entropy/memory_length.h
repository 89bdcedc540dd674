// The memory length N of an exponentially weighted statistic, new = value * b + a * old: the
// running statistics of the residual coders (their adaptation length) and the forgetting of the
// prediction filter. Both weigh with the same two doubles and write N with the same field.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"

namespace elq {

// The lengths the field carries.
constexpr uint32_t kMinMemoryLength = 2;
constexpr uint32_t kMaxMemoryLength = 65537;

// a, the forgetting factor, weighs the old value; b the new one.
struct MemoryWeights {
    double a = 0.0;
    double b = 0.0;
};

// a = (N - 1) / N, and b is 1 - a, not 1 / N: the decoder must obtain the same two doubles.
inline MemoryWeights memoryWeights(uint32_t memoryLength) {
    const double n = static_cast<double>(memoryLength);
    MemoryWeights w;
    w.a = (n - 1.0) / n;
    w.b = 1.0 - w.a;
    return w;
}

// N (2 to 65537) as a 12-bit field holding N - 2, with 4095 escaping to a 16-bit field.
void writeMemoryLength(RangeEncoder& encoder, uint32_t memoryLength);
uint32_t readMemoryLength(RangeDecoder& decoder);

}  // namespace elq

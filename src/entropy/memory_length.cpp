#include "entropy/memory_length.h"

namespace elq {

namespace {

constexpr uint32_t kFieldBits = 12;
constexpr uint32_t kFieldEscape = (1u << kFieldBits) - 1;

}  // namespace

void writeMemoryLength(RangeEncoder& encoder, uint32_t memoryLength) {
    const uint32_t v = memoryLength - 2;
    if (v < kFieldEscape) {
        encoder.encodeShift(1, v, kFieldBits);
    } else {
        encoder.encodeShift(1, kFieldEscape, kFieldBits);
        encoder.encodeShort(v & 0xFFFF);
    }
}

uint32_t readMemoryLength(RangeDecoder& decoder) {
    uint32_t v = decoder.decodeUniform(kFieldBits);
    if (v == kFieldEscape) v = decoder.decodeShort();
    return v + 2;
}

}  // namespace elq

// Sample values and the bytes a WAVE file holds them in: 8-bit samples unsigned, the wider ones
// signed, little-endian. The encoder reads them one way, the decoders write them the other.
#pragma once

#include <cstdint>

namespace elq {

// Bytes of one sample of `sampleType` in a WAVE file; 0 for a type the codec does not code.
uint32_t pcmBytes(uint32_t sampleType);

// Converts `count` samples of `bytes` bytes each into signed values (8-bit: the byte minus 128).
void unpackSamples(const uint8_t* in, uint32_t count, uint32_t bytes, int32_t* out);

// Writes each value's low `bytes` bytes (8-bit: plus 128); returns the end of what was written.
uint8_t* packSamples(const int32_t* values, uint32_t count, uint32_t bytes, uint8_t* out);

}  // namespace elq

// The sample types of WAVE sources and ELQ files: their names and widths. The index of a type is
// what the container header and every block word store.
#pragma once

#include <cstdint>

namespace elq {

// The order is part of the file format and of the "--sampletype" values; do not reorder.
enum SampleType : uint8_t {
    UINT8 = 0,
    SINT8 = 1,
    UINT16 = 2,
    SINT16 = 3,
    UINT24 = 4,
    SINT24 = 5,
    UINT32 = 6,
    SINT32 = 7,
    FLOAT32_0 = 8,
    FOAT32_16 = 9,  // "FOAT32_16" is the word the format and the command line use for this type
    FLOAT32_24 = 10,
};

constexpr uint32_t kSampleTypeCount = 11;

// The names the info listing prints and "--sampletype" accepts.
inline constexpr const char* kSampleTypeNames[kSampleTypeCount] = {
    "UINT8",  "SINT8",  "UINT16",    "SINT16",    "UINT24",     "SINT24",
    "UINT32", "SINT32", "FLOAT32_0", "FOAT32_16", "FLOAT32_24",
};

inline constexpr uint16_t kBitsPerSample[kSampleTypeCount] = {8, 8, 16, 16, 24, 24, 32, 32, 32, 32, 32};

// True for the four types the codec encodes and decodes; any value, in range or not, may be asked.
constexpr bool isCompressedSampleType(uint32_t type) {
    return type == UINT8 || type == SINT16 || type == SINT24 || type == SINT32;
}

}  // namespace elq

#include "wave/pcm_samples.h"

#include <cstring>

#include "wave/sample_type.h"

namespace elq {

uint32_t pcmBytes(uint32_t sampleType) {
    switch (sampleType) {
        case UINT8:
            return 1;
        case SINT16:
            return 2;
        case SINT24:
            return 3;
        case SINT32:
            return 4;
        default:
            return 0;
    }
}

void unpackSamples(const uint8_t* in, uint32_t count, uint32_t bytes, int32_t* out) {
    switch (bytes) {
        case 1:
            for (uint32_t i = 0; i < count; ++i)
                out[i] = static_cast<int32_t>(in[i]) - 128;
            break;
        case 2:
            for (uint32_t i = 0; i < count; ++i, in += 2)
                out[i] = static_cast<int16_t>(in[0] | in[1] << 8);
            break;
        case 3:
            for (uint32_t i = 0; i < count; ++i, in += 3) {
                uint32_t v = in[0] | in[1] << 8 | static_cast<uint32_t>(in[2]) << 16;
                out[i] = static_cast<int32_t>(v << 8) >> 8;
            }
            break;
        default:
            for (uint32_t i = 0; i < count; ++i, in += 4) {
                out[i] = static_cast<int32_t>(in[0] | in[1] << 8 | in[2] << 16 |
                                              static_cast<uint32_t>(in[3]) << 24);
            }
            break;
    }
}

namespace {

// The low Bytes bytes of each value, little-endian.
template <uint32_t Bytes>
uint8_t* packBytes(const int32_t* values, uint32_t count, uint32_t offset, uint8_t* p) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(values[i]) + offset;
        for (uint32_t k = 0; k < Bytes; ++k)
            p[Bytes * i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return p + Bytes * count;
}

// 16-bit values eight at a time: on a little-endian host the low halves of eight 32-bit values are
// the even 16-bit lanes of two registers.
uint8_t* packShorts(const int32_t* values, uint32_t count, uint8_t* p) {
    uint32_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    typedef int16_t Halves __attribute__((vector_size(16)));
    for (; i + 8 <= count; i += 8) {
        Halves a, b;
        memcpy(&a, values + i, sizeof a);
        memcpy(&b, values + i + 4, sizeof b);
        const Halves low = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        memcpy(p + 2 * i, &low, sizeof low);
    }
#endif
    return packBytes<2>(values + i, count - i, 0, p + 2 * i);
}

}  // namespace

uint8_t* packSamples(const int32_t* values, uint32_t count, uint32_t bytes, uint8_t* p) {
    switch (bytes) {
        case 1:
            return packBytes<1>(values, count, 128, p);
        case 2:
            return packShorts(values, count, p);
        case 3:
            return packBytes<3>(values, count, 0, p);
        default:
            return packBytes<4>(values, count, 0, p);
    }
}

}  // namespace elq

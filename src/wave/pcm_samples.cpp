#include "wave/pcm_samples.h"

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

uint8_t* packSamples(const int32_t* values, uint32_t count, uint32_t bytes, uint8_t* p) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v = static_cast<uint32_t>(values[i]);
        if (bytes == 1) v += 128;
        for (uint32_t k = 0; k < bytes; ++k)
            *p++ = static_cast<uint8_t>(v >> (8 * k));
    }
    return p;
}

}  // namespace elq

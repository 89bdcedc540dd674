// Byte-oriented range coder with 32-bit arithmetic: the encoder writes one block into a
// caller's memory area, the decoder pulls the same bytes from an InputStream.
#pragma once

#include <cstdint>

#include "foundation/compiler.h"
#include "foundation/exception.h"
#include "foundation/stream.h"

namespace elq {

constexpr uint32_t kRangeTop = 0x80000000u;
constexpr uint32_t kRangeBottom = 0x800000u;
constexpr uint8_t kBlockFirstByte = 0x40;

class RangeEncoder {
public:
    void start(uint8_t* area, uint32_t capacity, uint8_t firstByte) {
        low = 0;
        range = kRangeTop;
        pending = 0;
        cache = firstByte;
        data = area;
        dataCount = 0;
        dataCapacity = capacity;
    }

    ELQ_ALWAYS_INLINE void normalize() {
        while (range <= kRangeBottom)
            shiftLow();
    }

    ELQ_ALWAYS_INLINE void encodeFreq(uint32_t symFreq, uint32_t cumFreq, uint32_t totFreq) {
        normalize();
        uint32_t r = range / totFreq;
        uint32_t t = r * cumFreq;
        low += t;
        range = cumFreq + symFreq < totFreq ? r * symFreq : range - t;
    }

    ELQ_ALWAYS_INLINE void encodeShift(uint32_t symFreq, uint32_t cumFreq, uint32_t shift) {
        normalize();
        uint32_t r = range >> shift;
        uint32_t t = r * cumFreq;
        low += t;
        range = cumFreq + symFreq < (1u << shift) ? r * symFreq : range - t;
    }

    void encodeByte(uint32_t b) { encodeShift(1, b, 8); }

    // Low byte first.
    void encodeShort(uint32_t v) {
        encodeByte(v & 0xFF);
        encodeByte((v >> 8) & 0xFF);
    }

    // The `nbits` low bits of `value` (0 to 32) in 12-bit chunks, lowest chunk first.
    ELQ_ALWAYS_INLINE void encodeBits(uint32_t value, uint32_t nbits) {
        if (nbits > 12) {
            for (uint32_t i = (nbits - 1) / 12; i > 0; --i) {
                encodeShift(1, value & 0xFFF, 12);
                value >>= 12;
                nbits -= 12;
            }
        }
        if (nbits > 0) encodeShift(1, value, nbits);
    }

    // Writes the closing bytes and detaches the area; dataCount is then the block length.
    void finish();

    uint32_t low = 0;
    uint32_t range = 0;
    uint32_t pending = 0;
    uint8_t cache = 0;
    uint8_t* data = nullptr;
    uint32_t dataCount = 0;
    uint32_t dataCapacity = 0;

private:
    void put(uint8_t b) {
        if (dataCount >= dataCapacity) throwError(UNKNOWN, "data buffer overflow");
        data[dataCount++] = b;
    }
    void putRun(uint8_t b, uint32_t count) {
        for (; count > 0; --count)
            put(b);
    }
    // One normalization pass: one output byte decided now or later.
    void shiftLow() {
        if (low < 0x7F800000u) {
            put(cache);
            putRun(0xFF, pending);
            pending = 0;
            cache = static_cast<uint8_t>(low >> 23);
        } else if (low & 0x80000000u) {
            put(static_cast<uint8_t>(cache + 1));
            putRun(0x00, pending);
            pending = 0;
            cache = static_cast<uint8_t>(low >> 23);
        } else {
            ++pending;
        }
        range <<= 8;
        low = (low & 0x7FFFFFu) << 8;
    }
};

// range / d for every 32-bit range with a multiplication instead of a division, for a divisor
// 2 <= d <= 32768 known ahead (a model's total). The reciprocal m = 2^64/d + e with 0 < e < 2^14 is
// computed in double precision, off the decoder's chain of dependent steps: 2^63/d carries an error
// below 2^9, so twice its integer part plus 2^13 lies above 2^64/d by less than 2^14. Then
// range·m/2^64 = range/d + range·e/2^64 with the excess below 2^46/2^64 = 2^-18, while range/d lies
// at least 1/d >= 2^-15 below the next integer: the integer parts agree.
inline uint64_t rangeReciprocal(uint32_t d) {
    return (static_cast<uint64_t>(0x1p63 / static_cast<double>(d)) << 1) + (1u << 13);
}

ELQ_ALWAYS_INLINE uint32_t divideRange(uint32_t range, uint64_t reciprocal) {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint32_t>((static_cast<unsigned __int128>(range) * reciprocal) >> 64);
#else
    // The low half's product only carries into the high half; the rest lies below the integer part.
    const uint64_t low = (static_cast<uint64_t>(range) * static_cast<uint32_t>(reciprocal)) >> 32;
    return static_cast<uint32_t>((static_cast<uint64_t>(range) * (reciprocal >> 32) + low) >> 32);
#endif
}

class RangeDecoder {
public:
    // Attaches the stream and returns the block's first byte.
    uint8_t start(InputStream& input) {
        stream = &input;
        uint8_t first = stream->getByte();
        cache = stream->getByte();
        low = cache >> 1;
        range = 0x80;
        help = 0;
        return first;
    }

    // Takes in bytes until range exceeds kRangeBottom. Every coding step leaves range at 2^8 or
    // more, so at most two bytes are due: they are taken without a branch on their number, which
    // varies from one symbol to the next as the bits come, and would be mispredicted half the time.
    ELQ_ALWAYS_INLINE void normalize() {
        if (range >= 0x100 && stream->avail >= 2) {
            const uint32_t n = (range <= kRangeBottom) + (range <= (kRangeBottom >> 8));
            const uint8_t* p = stream->cur;
            // The cache and the next two bytes; the first n bytes enter low, each split as below.
            const uint32_t next =
                (static_cast<uint32_t>(cache) << 16) | (static_cast<uint32_t>(p[0]) << 8) | p[1];
            const uint32_t drop = 8 * (2 - n);
            low = (low << (8 * n)) | ((next >> 1) & 0xFFFFu) >> drop;
            cache = static_cast<uint8_t>(next >> drop);
            range <<= 8 * n;
            stream->cur += n;
            stream->avail -= n;
            return;
        }
        while (range <= kRangeBottom) {
            low = (low << 8) | (static_cast<uint32_t>(cache & 1) << 7);
            cache = stream->getByte();
            low |= cache >> 1;
            range <<= 8;
        }
    }

    // Target below totFreq (1 to 65536).
    ELQ_ALWAYS_INLINE uint32_t decodeFreq(uint32_t totFreq) {
        normalize();
        help = range / totFreq;
        uint32_t t = low / help;
        return t >= totFreq ? totFreq - 1 : t;
    }

    // decodeFreq with the range divided by rangeReciprocal(totFreq) (2 <= totFreq <= 32768).
    ELQ_ALWAYS_INLINE uint32_t decodeFreq(uint32_t totFreq, uint64_t reciprocal) {
        normalize();
        help = divideRange(range, reciprocal);
        uint32_t t = low / help;
        return t >= totFreq ? totFreq - 1 : t;
    }

    ELQ_ALWAYS_INLINE uint32_t decodeShift(uint32_t shift) {
        normalize();
        help = range >> shift;
        uint32_t t = low / help;
        uint32_t top = (1u << shift) - 1;
        return t > top ? top : t;
    }

    ELQ_ALWAYS_INLINE void update(uint32_t symFreq, uint32_t cumFreq, uint32_t totFreq) {
        uint32_t t = help * cumFreq;
        low -= t;
        range = cumFreq + symFreq < totFreq ? help * symFreq : range - t;
    }

    // A uniform value of `shift` bits (1 to 16) in one step.
    ELQ_ALWAYS_INLINE uint32_t decodeUniform(uint32_t shift) {
        uint32_t t = decodeShift(shift);
        update(1, t, 1u << shift);
        return t;
    }

    uint32_t decodeByte() { return decodeUniform(8); }

    uint32_t decodeShort() {
        uint32_t lo = decodeByte();
        return lo | decodeByte() << 8;
    }

    ELQ_ALWAYS_INLINE uint32_t decodeBits(uint32_t nbits) {
        uint32_t result = 0;
        uint32_t position = 0;
        if (nbits > 12) {
            for (uint32_t i = (nbits - 1) / 12; i > 0; --i) {
                result |= decodeUniform(12) << position;
                position += 12;
                nbits -= 12;
            }
        }
        if (nbits > 0) result |= decodeUniform(nbits) << position;
        return result;
    }

    // A last normalization, leaving the stream right behind the block; then detaches.
    void finish() {
        normalize();
        stream = nullptr;
    }

    uint32_t low = 0;
    uint32_t range = 0;
    uint32_t help = 0;
    uint8_t cache = 0;
    InputStream* stream = nullptr;
};

}  // namespace elq

#include "prediction/sample_normalizer.h"

#include <bit>

namespace elq {

namespace {

uint32_t checkedSampleBits(uint32_t bits) {
    if (bits < 1 || bits > 32) throwError(UNKNOWN, "sample width must be from 1 to 32 bits");
    return bits;
}

uint32_t greatestCommonDivisor(uint32_t a, uint32_t b) {
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// Quotients rounded down and up for a positive divisor.
int64_t floorDivide(int64_t n, int64_t g) {
    int64_t q = n / g;
    return (n % g != 0 && n < 0) ? q - 1 : q;
}
int64_t ceilDivide(int64_t n, int64_t g) {
    int64_t q = n / g;
    return (n % g != 0 && n > 0) ? q + 1 : q;
}

bool fitsInt32(int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

bool fitsField(int32_t value, uint32_t bits) {
    int64_t half = int64_t{1} << (bits - 1);
    return value >= -half && value < half;
}

void writeField(RangeEncoder& encoder, int32_t value, uint32_t bits) {
    uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    encoder.encodeBits(static_cast<uint32_t>(value) & mask, bits);
}

int32_t readField(RangeDecoder& decoder, uint32_t bits) {
    uint32_t shift = 32 - bits;
    return static_cast<int32_t>(decoder.decodeBits(bits) << shift) >> shift;
}

}  // namespace

void ChannelGrid::analyze(int32_t* samples, uint32_t count, uint32_t stride, uint32_t sampleBits) {
    *this = ChannelGrid{};
    if (count == 0) return;
    int32_t lo = samples[0];
    int32_t hi = samples[0];
    for (uint32_t i = 1; i < count; ++i) {
        int32_t x = samples[i * stride];
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    min = mappedMin = lo;
    max = mappedMax = hi;

    uint32_t first = 0;
    while (first < count && (samples[first * stride] == lo || samples[first * stride] == hi))
        ++first;
    if (first == count) return;
    const int64_t f = samples[first * stride];
    // Differences of 32-bit samples always fit 32 unsigned bits when formed in 64 bits.
    uint32_t g = 0;
    for (uint32_t i = first + 1; i < count && g != 1; ++i) {
        int32_t x = samples[i * stride];
        if (x == lo || x == hi) continue;
        int64_t difference = x - f;
        g = greatestCommonDivisor(static_cast<uint32_t>(difference < 0 ? -difference : difference), g);
    }
    if (g <= 1) return;
    // The reader sign-extends the divisor field, so a divisor needs its top bit clear.
    if (g >= (uint64_t{1} << (sampleBits - 1))) return;
    const int64_t step = g;
    const int64_t rest = ((f % step) + step) % step;
    const int64_t low = floorDivide(lo - rest, step);
    const int64_t high = ceilDivide(hi - rest, step);
    // The decoder restores divisor·mapped + offset in 32-bit arithmetic: an extreme whose grid point
    // lies outside 32 bits would wrap past its clamp.
    if (!fitsInt32(step * low + rest) || !fitsInt32(step * high + rest)) return;

    divisor = static_cast<int32_t>(g);
    offset = static_cast<int32_t>(rest);
    mappedMin = static_cast<int32_t>(low);
    mappedMax = static_cast<int32_t>(high);
    for (uint32_t i = 0; i < count; ++i) {
        int32_t& x = samples[i * stride];
        if (x == lo) {
            x = mappedMin;
        } else if (x == hi) {
            x = mappedMax;
        } else {
            x = static_cast<int32_t>((x - rest) / step);
        }
    }
}

void ChannelGrid::write(RangeEncoder& encoder, uint32_t sampleBits) const {
    // Samples wider than the field would come back sign-extended to other values: refuse, never lose them.
    if (!fitsField(min, sampleBits) || !fitsField(max, sampleBits))
        throwError(UNKNOWN, "sample value outside the range of the sample width");
    writeField(encoder, min, sampleBits);
    writeField(encoder, max, sampleBits);
    uint32_t flag = divisor != 1 ? 1 : 0;
    encoder.encodeShift(1, flag, 1);
    if (flag) {
        writeField(encoder, divisor, sampleBits);
        writeField(encoder, offset, sampleBits);
    }
}

void ChannelGrid::read(RangeDecoder& decoder, uint32_t sampleBits) {
    *this = ChannelGrid{};
    min = mappedMin = readField(decoder, sampleBits);
    max = mappedMax = readField(decoder, sampleBits);
    if (decoder.decodeUniform(1) == 0) return;
    int32_t step = readField(decoder, sampleBits);
    int32_t rest = readField(decoder, sampleBits);
    if (step < 2) throwError(UNKNOWN, "corrupt block: normalizer divisor below 2");
    if (rest < 0 || rest >= step) throwError(UNKNOWN, "corrupt block: normalizer offset outside the divisor");
    divisor = step;
    offset = rest;
    // Both quotients lie within 32 bits since the offset is below the divisor and the divisor >= 2.
    mappedMin = static_cast<int32_t>(floorDivide(int64_t{min} - rest, step));
    mappedMax = static_cast<int32_t>(ceilDivide(int64_t{max} - rest, step));
}

void ChannelGrid::restore(int32_t* samples, uint32_t count, uint32_t stride) const {
    if (divisor == 1) return;
    const uint32_t step = static_cast<uint32_t>(divisor);
    const uint32_t rest = static_cast<uint32_t>(offset);
    for (uint32_t i = 0; i < count; ++i) {
        int32_t& y = samples[i * stride];
        int32_t x = static_cast<int32_t>(step * static_cast<uint32_t>(y) + rest);
        if (x <= min) {
            x = min;
        } else if (x >= max) {
            x = max;
        }
        y = x;
    }
}

uint32_t residueWidthFor(int32_t lo, int32_t hi) {
    // ~v is -v - 1 without overflow.
    uint32_t mlo = static_cast<uint32_t>(lo >= 0 ? lo : ~lo);
    uint32_t mhi = static_cast<uint32_t>(hi >= 0 ? hi : ~hi);
    uint32_t m = mlo > mhi ? mlo : mhi;
    return m < 2 ? 2 : static_cast<uint32_t>(std::bit_width(m)) + 1;
}

void SampleNormalizerEncoder::setSampleBits(uint32_t bits) {
    sampleBits = checkedSampleBits(bits);
}

void SampleNormalizerEncoder::analyze(int32_t* samples, uint32_t count) {
    grid.analyze(samples, count, 1, sampleBits);
}

void SampleNormalizerEncoder::writeParameters(RangeEncoder& encoder) {
    grid.write(encoder, sampleBits);
}

void SampleNormalizerEncoder::query(int32_t& lo, int32_t& hi, uint32_t& residueWidth) const {
    lo = grid.mappedMin;
    hi = grid.mappedMax;
    residueWidth = residueWidthFor(lo, hi);
}

void SampleNormalizerDecoder::setSampleBits(uint32_t bits) {
    sampleBits = checkedSampleBits(bits);
}

void SampleNormalizerDecoder::readParameters(RangeDecoder& decoder) {
    grid.read(decoder, sampleBits);
}

void SampleNormalizerDecoder::query(int32_t& lo, int32_t& hi, uint32_t& residueWidth) const {
    lo = grid.mappedMin;
    hi = grid.mappedMax;
    residueWidth = residueWidthFor(lo, hi);
}

void SampleNormalizerDecoder::restore(int32_t* samples, uint32_t count) const {
    grid.restore(samples, count, 1);
}

namespace {

void queryPair(const ChannelGrid* grids, int32_t& loLeft, int32_t& hiLeft, int32_t& loRight, int32_t& hiRight,
               uint32_t& residueWidth) {
    loLeft = grids[0].mappedMin;
    hiLeft = grids[0].mappedMax;
    loRight = grids[1].mappedMin;
    hiRight = grids[1].mappedMax;
    residueWidth = residueWidthFor(loLeft < loRight ? loLeft : loRight, hiLeft > hiRight ? hiLeft : hiRight);
}

}  // namespace

void StereoSampleNormalizerEncoder::setSampleBits(uint32_t bits) {
    sampleBits = checkedSampleBits(bits);
}

void StereoSampleNormalizerEncoder::analyze(int32_t* samples, uint32_t count) {
    grids[0].analyze(samples, (count + 1) / 2, 2, sampleBits);
    grids[1].analyze(samples + 1, count / 2, 2, sampleBits);
}

void StereoSampleNormalizerEncoder::writeParameters(RangeEncoder& encoder) {
    grids[0].write(encoder, sampleBits);
    grids[1].write(encoder, sampleBits);
}

void StereoSampleNormalizerEncoder::query(int32_t& loLeft, int32_t& hiLeft, int32_t& loRight,
                                          int32_t& hiRight, uint32_t& residueWidth) const {
    queryPair(grids, loLeft, hiLeft, loRight, hiRight, residueWidth);
}

void StereoSampleNormalizerDecoder::setSampleBits(uint32_t bits) {
    sampleBits = checkedSampleBits(bits);
}

void StereoSampleNormalizerDecoder::readParameters(RangeDecoder& decoder) {
    grids[0].read(decoder, sampleBits);
    grids[1].read(decoder, sampleBits);
}

void StereoSampleNormalizerDecoder::query(int32_t& loLeft, int32_t& hiLeft, int32_t& loRight,
                                          int32_t& hiRight, uint32_t& residueWidth) const {
    queryPair(grids, loLeft, hiLeft, loRight, hiRight, residueWidth);
}

void StereoSampleNormalizerDecoder::restore(int32_t* samples, uint32_t count) const {
    grids[0].restore(samples, (count + 1) / 2, 2);
    grids[1].restore(samples + 1, count / 2, 2);
}

}  // namespace elq

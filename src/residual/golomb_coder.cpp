#include "residual/golomb_coder.h"

namespace elq {

uint32_t decodeGolombEscape(uint32_t k, uint32_t residueWidth, RangeDecoder& decoder) {
    if (k >= residueWidth)
        throwError(UNKNOWN, "corrupt residual data: Golomb escape beyond the residue width");
    const uint32_t lengths = residueWidth - k;
    const uint32_t t = decoder.decodeFreq(lengths);
    decoder.update(1, t, lengths);
    // n < W <= 32, so the leading one and the raw bits stay inside 32 bits.
    const uint32_t n = k + t;
    return (1u << n) + decoder.decodeBits(n);
}

void GolombResidualEncoder::setParameters(uint32_t adaptationLength, uint32_t residueWidth) {
    checkEncoderParameters(adaptationLength, residueWidth);
    N = adaptationLength;
    W = residueWidth;
    factors = memoryWeights(N);
}

void GolombResidualEncoder::writeParameters(RangeEncoder& encoder) {
    writeMemoryLength(encoder, N);
}

template <uint32_t Channels>
void GolombResidualEncoder::encodeChannels(const int32_t* residues, uint32_t count, RangeEncoder& encoder) {
    quotientModel.create(kGolombSymbols, kModelLimit);
    CodingSink sink{encoder, &quotientModel};
    double means[2] = {0.0, 0.0};
    const MemoryWeights f = factors;
    const uint32_t width = W;
    forEachValue<Channels, true>(count, 0, means, [&](uint32_t i, double& mean) ELQ_ALWAYS_INLINE_LAMBDA {
        encodeGolombValue(residues[i], mean, f, width, sink);
    });
    quotientModel.release();
}

template <uint32_t Channels>
uint32_t GolombResidualEncoder::estimateChannels(const int32_t* residues, uint32_t count) {
    costModel.create(kGolombSymbols, kModelLimit);
    estimator.reset();
    CostEstimator local = estimator;  // a local lets the compiler keep `range` in a register
    EstimatingSink sink{local, &costModel};
    double means[2] = {0.0, 0.0};
    const MemoryWeights f = factors;
    const uint32_t width = W;
    forEachValue<Channels, false>(count, 0, means, [&](uint32_t i, double& mean) ELQ_ALWAYS_INLINE_LAMBDA {
        encodeGolombValue(residues[i], mean, f, width, sink);
    });
    costModel.release();
    estimator = local;
    return estimator.finish();
}

void MonoGolombResidualEncoder::encodeBlock(const int32_t* residues, uint32_t count, RangeEncoder& encoder) {
    encodeChannels<1>(residues, count, encoder);
}

uint32_t MonoGolombResidualEncoder::estimateSize(const int32_t* residues, uint32_t count) {
    return estimateChannels<1>(residues, count);
}

void StereoGolombResidualEncoder::encodeBlock(const int32_t* residues, uint32_t count,
                                              RangeEncoder& encoder) {
    encodeChannels<2>(residues, count, encoder);
}

uint32_t StereoGolombResidualEncoder::estimateSize(const int32_t* residues, uint32_t count) {
    return estimateChannels<2>(residues, count);
}

void GolombResidualDecoder::setParameters(uint32_t valueCount, uint32_t residueWidth) {
    checkResidueWidth(residueWidth);
    count = valueCount;
    W = residueWidth;
    decoded = 0;
    needsStart = false;
    quotientModel.release();
}

void GolombResidualDecoder::readParameters(RangeDecoder& decoder) {
    factors = memoryWeights(readMemoryLength(decoder));
    decoded = 0;
    needsStart = true;
}

template <uint32_t Channels>
uint32_t GolombResidualDecoder::decodeChannels(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    const uint32_t left = count - decoded;
    const uint32_t n = maxCount < left ? maxCount : left;
    if (n == 0) return 0;
    if (needsStart) {
        quotientModel.create(kGolombSymbols, kModelLimit);
        runningMean[0] = 0.0;
        runningMean[1] = 0.0;
        needsStart = false;
    } else if (!quotientModel.isCreated()) {
        throwError(UNKNOWN, "residual decoder used before its parameters were read");
    }
    const MemoryWeights f = factors;
    const uint32_t width = W;
    forEachValue<Channels, true>(
        n, decoded, runningMean, [&](uint32_t i, double& mean) ELQ_ALWAYS_INLINE_LAMBDA {
            out[i] = unfold(decodeGolombValue(mean, f, width, quotientModel, decoder));
        });
    decoded += n;
    if (decoded == count) quotientModel.release();
    return n;
}

uint32_t MonoGolombResidualDecoder::decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    return decodeChannels<1>(out, maxCount, decoder);
}

uint32_t StereoGolombResidualDecoder::decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    return decodeChannels<2>(out, maxCount, decoder);
}

}  // namespace elq

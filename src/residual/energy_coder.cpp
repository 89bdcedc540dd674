#include "residual/energy_coder.h"

namespace elq {

void EnergyResidualEncoder::setParameters(uint32_t adaptationLength, uint32_t residueWidth) {
    checkEncoderParameters(adaptationLength, residueWidth);
    N = adaptationLength;
    W = residueWidth;
    factors = memoryWeights(N);
}

void EnergyResidualEncoder::writeParameters(RangeEncoder& encoder) {
    writeMemoryLength(encoder, N);
}

template <uint32_t Channels>
void EnergyResidualEncoder::encodeChannels(const int32_t* residues, uint32_t count, RangeEncoder& encoder) {
    models.create(energyContextCount(W), energySymbolCount(W), kModelLimit, kEncoderModelsName);
    CodingSink<CumulativeModel> sink{encoder, models.data()};
    double powers[2] = {1.0, 1.0};
    const MemoryWeights f = factors;
    const uint32_t lastContext = energyContextCount(W) - 1;
    forEachValue<Channels, true>(count, 0, powers, [&](uint32_t i, double& power) ELQ_ALWAYS_INLINE_LAMBDA {
        encodeEnergyValue(residues[i], power, f, lastContext, sink);
    });
    models.release();
}

template <uint32_t Channels>
uint32_t EnergyResidualEncoder::estimateChannels(const int32_t* residues, uint32_t count) {
    costModels.create(energyContextCount(W), energySymbolCount(W), kModelLimit, kEncoderModelsName);
    estimator.reset();
    CostEstimator local = estimator;  // a local lets the compiler keep `range` in a register
    EstimatingSink sink{local, costModels.data()};
    double powers[2] = {1.0, 1.0};
    const MemoryWeights f = factors;
    const uint32_t lastContext = energyContextCount(W) - 1;
    forEachValue<Channels, false>(count, 0, powers, [&](uint32_t i, double& power) ELQ_ALWAYS_INLINE_LAMBDA {
        encodeEnergyValue(residues[i], power, f, lastContext, sink);
    });
    costModels.release();
    estimator = local;
    return estimator.finish();
}

void MonoEnergyResidualEncoder::encodeBlock(const int32_t* residues, uint32_t count, RangeEncoder& encoder) {
    encodeChannels<1>(residues, count, encoder);
}

uint32_t MonoEnergyResidualEncoder::estimateSize(const int32_t* residues, uint32_t count) {
    return estimateChannels<1>(residues, count);
}

void StereoEnergyResidualEncoder::encodeBlock(const int32_t* residues, uint32_t count,
                                              RangeEncoder& encoder) {
    encodeChannels<2>(residues, count, encoder);
}

uint32_t StereoEnergyResidualEncoder::estimateSize(const int32_t* residues, uint32_t count) {
    return estimateChannels<2>(residues, count);
}

void EnergyResidualDecoder::setParameters(uint32_t valueCount, uint32_t residueWidth) {
    checkResidueWidth(residueWidth);
    count = valueCount;
    W = residueWidth;
    decoded = 0;
    needsStart = false;
    models.release();
}

void EnergyResidualDecoder::readParameters(RangeDecoder& decoder) {
    factors = memoryWeights(readMemoryLength(decoder));
    decoded = 0;
    needsStart = true;
}

template <uint32_t Channels>
uint32_t EnergyResidualDecoder::decodeChannels(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    const uint32_t left = count - decoded;
    const uint32_t n = maxCount < left ? maxCount : left;
    if (n == 0) return 0;
    if (needsStart) {
        models.create(energyContextCount(W), energySymbolCount(W), kModelLimit, kDecoderModelsName);
        runningPower[0] = 1.0;
        runningPower[1] = 1.0;
        needsStart = false;
    } else if (!models.isCreated()) {
        throwError(UNKNOWN, "residual decoder used before its parameters were read");
    }
    const MemoryWeights f = factors;
    const uint32_t lastContext = energyContextCount(W) - 1;
    CumulativeModel* table = models.data();
    forEachValue<Channels, true>(
        n, decoded, runningPower, [&](uint32_t i, double& power) ELQ_ALWAYS_INLINE_LAMBDA {
            out[i] = unfold(decodeEnergyValue(power, f, lastContext, table, decoder));
        });
    decoded += n;
    if (decoded == count) models.release();
    return n;
}

uint32_t MonoEnergyResidualDecoder::decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    return decodeChannels<1>(out, maxCount, decoder);
}

uint32_t StereoEnergyResidualDecoder::decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) {
    return decodeChannels<2>(out, maxCount, decoder);
}

}  // namespace elq

#include "residual/residual_coder.h"

#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"

namespace elq {

namespace {

constexpr uint32_t kLengthFieldBits = 12;
constexpr uint32_t kLengthEscape = (1u << kLengthFieldBits) - 1;

}  // namespace

void writeAdaptationLength(RangeEncoder& encoder, uint32_t adaptationLength) {
    const uint32_t v = adaptationLength - 2;
    if (v < kLengthEscape) {
        encoder.encodeShift(1, v, kLengthFieldBits);
    } else {
        encoder.encodeShift(1, kLengthEscape, kLengthFieldBits);
        encoder.encodeShort(v & 0xFFFF);
    }
}

uint32_t readAdaptationLength(RangeDecoder& decoder) {
    uint32_t v = decoder.decodeUniform(kLengthFieldBits);
    if (v == kLengthEscape) v = decoder.decodeShort();
    return v + 2;
}

void checkResidueWidth(uint32_t residueWidth) {
    if (residueWidth < kMinResidueWidth || residueWidth > kMaxResidueWidth) {
        throwError(UNKNOWN, "residue width outside 2 to 32");
    }
}

void checkEncoderParameters(uint32_t adaptationLength, uint32_t residueWidth) {
    checkResidueWidth(residueWidth);
    // A larger N would be written modulo 65536 and decoded as another N.
    if (adaptationLength < kMinAdaptationLength || adaptationLength > kMaxAdaptationLength) {
        throwError(UNKNOWN, "adaptation length outside 2 to 65537");
    }
}

Owned<ResidualEncoder> createResidualEncoder(uint32_t family, bool stereo) {
    if (family == kEnergyFamily) {
        if (stereo) return makeOwned<StereoEnergyResidualEncoder>("iesd");
        return makeOwned<MonoEnergyResidualEncoder>("iemd");
    }
    if (family == kGolombFamily) {
        if (stereo) return makeOwned<StereoGolombResidualEncoder>("iess");
        return makeOwned<MonoGolombResidualEncoder>("iems");
    }
    throwError(UNKNOWN, "unknown residual coder family");
}

Owned<ResidualDecoder> createResidualDecoder(uint32_t family, bool stereo) {
    if (family == kEnergyFamily) {
        if (stereo) return makeOwned<StereoEnergyResidualDecoder>("iesd");
        return makeOwned<MonoEnergyResidualDecoder>("iemd");
    }
    if (family == kGolombFamily) {
        if (stereo) return makeOwned<StereoGolombResidualDecoder>("iess");
        return makeOwned<MonoGolombResidualDecoder>("iems");
    }
    throwError(UNKNOWN, "unknown residual coder family");
}

}  // namespace elq

#include "residual/residual_coder.h"

#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"

namespace elq {

void checkResidueWidth(uint32_t residueWidth) {
    if (residueWidth < kMinResidueWidth || residueWidth > kMaxResidueWidth) {
        throwError(UNKNOWN, "residue width outside 2 to 32");
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

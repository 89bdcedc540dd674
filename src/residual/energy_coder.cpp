#include "residual/energy_coder.h"

namespace elq {

template class FamilyResidualEncoder<EnergyFamily, 1>;
template class FamilyResidualEncoder<EnergyFamily, 2>;
template class FamilyResidualDecoder<EnergyFamily, 1>;
template class FamilyResidualDecoder<EnergyFamily, 2>;

}  // namespace elq

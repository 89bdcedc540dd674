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

template class FamilyResidualEncoder<GolombFamily, 1>;
template class FamilyResidualEncoder<GolombFamily, 2>;
template class FamilyResidualDecoder<GolombFamily, 1>;
template class FamilyResidualDecoder<GolombFamily, 2>;

}  // namespace elq

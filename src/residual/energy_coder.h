// Residual coder family 0: each folded residue becomes a symbol naming its octave and one of
// eight steps within it (values below 16 are their own symbols), plus raw low bits. The symbol
// goes through one of 2W adaptive models, chosen by the binary exponent of a running mean of
// u*u + 1 per channel.
#pragma once

#include <bit>
#include <cstdint>

#include "entropy/memory_length.h"
#include "entropy/models.h"
#include "entropy/range_coder.h"
#include "foundation/compiler.h"
#include "residual/family_coder.h"
#include "residual/residual_coder.h"

namespace elq {

// Alphabet of every model for residue width W: 2^W below 4, else 8W - 16.
inline uint32_t energySymbolCount(uint32_t residueWidth) {
    return residueWidth < 4 ? 1u << residueWidth : 8 * residueWidth - 16;
}

inline uint32_t energyContextCount(uint32_t residueWidth) {
    return 2 * residueWidth;
}

// The unbiased exponent of P (P >= 1), read from its bits: a logarithm could round into the
// next context just below a power of two. Data of width W keeps it below 2W; the bound to
// `lastContext` only matters for values a damaged block could not produce either, and makes
// that impossible to turn into an access outside the model array.
inline uint32_t energyContext(double runningPower, uint32_t lastContext) {
    const uint32_t e = static_cast<uint32_t>(std::bit_cast<uint64_t>(runningPower) >> 52) - 1023u;
    return e < lastContext ? e : lastContext;
}

// P = ((U*U + 1.0)*b) + (a*P), in exactly this order on both sides.
inline void updateRunningPower(double& runningPower, uint32_t u, const MemoryWeights& w) {
    const double U = static_cast<double>(u);
    runningPower = ((U * U + 1.0) * w.b) + (w.a * runningPower);
}

// The symbol of u, and in `rawBits` the number of low bits sent raw: for 2^p <= u < 2^(p+1)
// with p >= 3 that is k = p - 3 and the symbol 8k + (u >> k); below 16 the value itself.
inline uint32_t energySymbol(uint32_t u, uint32_t& rawBits) {
    const uint32_t p = floorLog2(u);
    const uint32_t k = p > 3 ? p - 3 : 0;
    rawBits = k;
    return 8 * k + (u >> k);
}

// The inverse: the value's part above its raw bits, and in `rawBits` their number.
inline uint32_t energyValueBase(uint32_t sym, uint32_t& rawBits) {
    if (sym < 16) {
        rawBits = 0;
        return sym;
    }
    const uint32_t k = (sym - 8) >> 3;
    rawBits = k;
    return (8u | (sym & 7u)) << k;
}

// The traits of family 0 (see family_coder.h).
struct EnergyFamily {
    template <class Model>
    using Models = ModelArray<Model>;
    static uint32_t modelCount(uint32_t residueWidth) { return energyContextCount(residueWidth); }
    static uint32_t symbolCount(uint32_t residueWidth) { return energySymbolCount(residueWidth); }
    // A mean of u*u + 1, so never below 1 and its exponent never negative.
    static constexpr double kStartStatistic = 1.0;

    // The steps' bound: the last context, beyond which a damaged block's power selects no model.
    static uint32_t widthParameter(uint32_t residueWidth) { return energyContextCount(residueWidth) - 1; }

    template <class Sink>
    ELQ_ALWAYS_INLINE static void encodeValue(int32_t x, double& runningPower, const MemoryWeights& w,
                                              uint32_t lastContext, Sink& sink) {
        const uint32_t u = fold(x);
        const uint32_t c = energyContext(runningPower, lastContext);
        updateRunningPower(runningPower, u, w);
        uint32_t k;
        const uint32_t s = energySymbol(u, k);
        sink.symbol(c, s);
        if (k > 0) sink.bits(u & ((1u << k) - 1), k);
    }

    // The model clamps its symbol to its alphabet of at most 8 x 32 - 16 symbols, so k stays at
    // most 28. V: the lane width of the models (CountLanes).
    template <class V>
    ELQ_ALWAYS_INLINE static uint32_t decodeValue(double& runningPower, const MemoryWeights& w,
                                                  uint32_t lastContext, CumulativeModel* models,
                                                  RangeDecoder& decoder) {
        const uint32_t c = energyContext(runningPower, lastContext);
        const uint32_t s = models[c].template decodeSymbol<V>(decoder);
        uint32_t k;
        uint32_t u = energyValueBase(s, k);
        if (k > 0) u += decoder.decodeBits(k);
        updateRunningPower(runningPower, u, w);
        return u;
    }
};

extern template class FamilyResidualEncoder<EnergyFamily, 1>;
extern template class FamilyResidualEncoder<EnergyFamily, 2>;
extern template class FamilyResidualDecoder<EnergyFamily, 1>;
extern template class FamilyResidualDecoder<EnergyFamily, 2>;
using MonoEnergyResidualEncoder = FamilyResidualEncoder<EnergyFamily, 1>;
using StereoEnergyResidualEncoder = FamilyResidualEncoder<EnergyFamily, 2>;
using MonoEnergyResidualDecoder = FamilyResidualDecoder<EnergyFamily, 1>;
using StereoEnergyResidualDecoder = FamilyResidualDecoder<EnergyFamily, 2>;

}  // namespace elq

// Residual coder family 1: an adaptive Golomb code whose divisor follows a running mean of the
// folded residues. The quotient goes through one adaptive model of 32 symbols (31 = escape),
// the remainder uniformly or as raw bits, and an escaped value as its bit length and raw bits.
#pragma once

#include <cstdint>

#include "entropy/memory_length.h"
#include "entropy/models.h"
#include "entropy/range_coder.h"
#include "foundation/compiler.h"
#include "residual/family_coder.h"
#include "residual/residual_coder.h"

namespace elq {

constexpr uint32_t kGolombSymbols = 32;
constexpr uint32_t kGolombEscape = 31;
// Divisors up to this value divide; larger ones are replaced by their highest power of two.
constexpr uint32_t kGolombDivisionLimit = 16384;

// The divisor m from the running mean E: (low 32 bits of E truncated) / 4 + 1.
inline uint32_t golombDivisor(double runningMean) {
    const uint32_t t = static_cast<uint32_t>(static_cast<int64_t>(runningMean));
    return (t >> 2) + 1;
}

// E = u*b + a*E, in exactly this order on both sides.
inline void updateRunningMean(double& runningMean, uint32_t u, const MemoryWeights& w) {
    runningMean = static_cast<double>(u) * w.b + w.a * runningMean;
}

// Codes the folded value u (escape base k, 2^k <= u < 2^W) as its bit length n - k out of
// W - k, then its n bits below the leading one.
template <class Sink>
ELQ_ALWAYS_INLINE void encodeGolombEscape(uint32_t u, uint32_t k, uint32_t residueWidth, Sink& sink) {
    const uint32_t n = floorLog2(u);
    sink.uniform(n - k, residueWidth - k);
    sink.bits(u - (1u << n), n);
}

// Reads an escaped value with base k. A base at or above W never comes from this encoder; it
// means damaged data, and is refused before the bit-length alphabet W - k could be empty.
uint32_t decodeGolombEscape(uint32_t k, uint32_t residueWidth, RangeDecoder& decoder);

// The traits of family 1 (see family_coder.h).
struct GolombFamily {
    template <class Model>
    using Models = SingleModel<Model>;
    static uint32_t modelCount(uint32_t) { return 1; }
    static uint32_t symbolCount(uint32_t) { return kGolombSymbols; }
    static constexpr double kStartStatistic = 0.0;
    // The steps need W itself: it bounds the bit length of an escaped value.
    static uint32_t widthParameter(uint32_t residueWidth) { return residueWidth; }

    // Folds x and codes it with the divisor that `runningMean` gives before this value enters it.
    template <class Sink>
    ELQ_ALWAYS_INLINE static void encodeValue(int32_t x, double& runningMean, const MemoryWeights& w,
                                              uint32_t residueWidth, Sink& sink) {
        const uint32_t u = fold(x);
        const uint32_t m = golombDivisor(runningMean);
        updateRunningMean(runningMean, u, w);
        if (m <= kGolombDivisionLimit) {
            const uint32_t q = u / m;
            if (q < kGolombEscape) {
                sink.symbol(0, q);
                sink.uniform(u - q * m, m);
            } else {
                sink.symbol(0, kGolombEscape);
                encodeGolombEscape(u, floorLog2(kGolombEscape * m), residueWidth, sink);
            }
        } else {
            const uint32_t s = floorLog2(m);
            const uint32_t q = u >> s;
            if (q < kGolombEscape) {
                sink.symbol(0, q);
                sink.bits(u & ((1u << s) - 1), s);
            } else {
                sink.symbol(0, kGolombEscape);
                encodeGolombEscape(u, s + 4, residueWidth, sink);
            }
        }
    }

    // The mirror of encodeValue. V: the lane width of the model (CountLanes).
    template <class V>
    ELQ_ALWAYS_INLINE static uint32_t decodeValue(double& runningMean, const MemoryWeights& w,
                                                  uint32_t residueWidth, CumulativeModel* quotientModel,
                                                  RangeDecoder& decoder) {
        const uint32_t m = golombDivisor(runningMean);
        const uint32_t q = quotientModel->template decodeSymbol<V>(decoder);
        uint32_t u;
        if (m <= kGolombDivisionLimit) {
            if (q < kGolombEscape) {
                // The divisor's reciprocal comes from the running mean, off the range decoder's chain,
                // and turns the division of the range into a multiplication.
                const uint32_t r = m == 1 ? decoder.decodeFreq(1) : decoder.decodeFreq(m, rangeReciprocal(m));
                decoder.update(1, r, m);
                u = q * m + r;
            } else {
                u = decodeGolombEscape(floorLog2(kGolombEscape * m), residueWidth, decoder);
            }
        } else {
            // s is at most 30, as the mean never exceeds the largest folded value.
            const uint32_t s = floorLog2(m);
            if (q < kGolombEscape) {
                u = (q << s) + decoder.decodeBits(s);
            } else {
                u = decodeGolombEscape(s + 4, residueWidth, decoder);
            }
        }
        updateRunningMean(runningMean, u, w);
        return u;
    }
};

extern template class FamilyResidualEncoder<GolombFamily, 1>;
extern template class FamilyResidualEncoder<GolombFamily, 2>;
extern template class FamilyResidualDecoder<GolombFamily, 1>;
extern template class FamilyResidualDecoder<GolombFamily, 2>;
using MonoGolombResidualEncoder = FamilyResidualEncoder<GolombFamily, 1>;
using StereoGolombResidualEncoder = FamilyResidualEncoder<GolombFamily, 2>;
using MonoGolombResidualDecoder = FamilyResidualDecoder<GolombFamily, 1>;
using StereoGolombResidualDecoder = FamilyResidualDecoder<GolombFamily, 2>;

}  // namespace elq

// What both residual coder families share: folding of signed residues, the adaptation length
// and its coding in the stream, the encoder and decoder interfaces, and the sinks through which
// one per-value step serves both real coding and size estimation.
#pragma once

#include <cstdint>

#include "entropy/cost_estimator.h"
#include "entropy/memory_length.h"
#include "entropy/models.h"
#include "entropy/range_coder.h"
#include "foundation/allocator.h"

namespace elq {

// Block-head family numbers.
constexpr uint32_t kEnergyFamily = 0;
constexpr uint32_t kGolombFamily = 1;

constexpr uint32_t kMinResidueWidth = 2;
constexpr uint32_t kMaxResidueWidth = 32;

// 0, -1, 1, -2, ... to 0, 1, 2, 3, ...; -2^31 maps to 2^32 - 1.
inline uint32_t fold(int32_t x) {
    return (static_cast<uint32_t>(x) << 1) ^ static_cast<uint32_t>(x >> 31);
}
inline int32_t unfold(uint32_t u) {
    return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u)));
}

// Receivers of the symbols of the encode-side per-value steps. A step names the model by index
// (the Golomb family always uses model 0); `uniform` is a value equally likely among `total`.
template <class Model>
struct CodingSink {
    RangeEncoder& encoder;
    Model* models;

    ELQ_ALWAYS_INLINE void symbol(uint32_t model, uint32_t sym) { models[model].encodeSymbol(sym, encoder); }
    ELQ_ALWAYS_INLINE void uniform(uint32_t value, uint32_t total) { encoder.encodeFreq(1, value, total); }
    ELQ_ALWAYS_INLINE void bits(uint32_t value, uint32_t nbits) { encoder.encodeBits(value, nbits); }
};
template <class Model>
CodingSink(RangeEncoder&, Model*) -> CodingSink<Model>;

struct EstimatingSink {
    CostEstimator& estimator;
    CostModel* models;

    ELQ_ALWAYS_INLINE void symbol(uint32_t model, uint32_t sym) {
        models[model].estimateSymbol(sym, estimator);
    }
    ELQ_ALWAYS_INLINE void uniform(uint32_t, uint32_t total) { estimator.estimateFreq(1, total); }
    ELQ_ALWAYS_INLINE void bits(uint32_t, uint32_t nbits) { estimator.estimateBits(nbits); }
};

// Visits values [0, count) of a block whose value 0 is value `firstIndex` of the whole block,
// calling step(i, statistic) with the running statistic of the value's channel. Stereo values
// alternate channel 0, channel 1 from the block's start, so a slice may begin or end inside a
// pair. The statistics stay in locals across the loop. With OneSite the step is called (and
// inlined) at one place only, which suits the large steps of real coding; otherwise a stereo pair
// takes two calls, which suits the small steps of the estimates.
template <uint32_t Channels, bool OneSite, class Step>
ELQ_ALWAYS_INLINE void forEachValue(uint32_t count, uint32_t firstIndex, double* statistics, Step&& step) {
    static_assert(Channels == 1 || Channels == 2);
    if constexpr (Channels == 1) {
        double s0 = statistics[0];
        for (uint32_t i = 0; i < count; ++i)
            step(i, s0);
        statistics[0] = s0;
    } else if constexpr (OneSite) {
        double s0 = statistics[0];
        double s1 = statistics[1];
        for (uint32_t i = 0; i < count; ++i) {
            const bool second = ((firstIndex + i) & 1u) != 0;
            double s = second ? s1 : s0;
            step(i, s);
            if (second) {
                s1 = s;
            } else {
                s0 = s;
            }
        }
        statistics[0] = s0;
        statistics[1] = s1;
    } else {
        double s0 = statistics[0];
        double s1 = statistics[1];
        uint32_t i = 0;
        if ((firstIndex & 1u) && count > 0) {
            step(0, s1);
            i = 1;
        }
        for (; i + 1 < count; i += 2) {
            step(i, s0);
            step(i + 1, s1);
        }
        if (i < count) step(i, s0);
        statistics[0] = s0;
        statistics[1] = s1;
    }
}

class ResidualEncoder {
public:
    virtual ~ResidualEncoder() = default;
    // Adaptation length N (2 to 65537) and residue width W (2 to 32); every folded residue
    // passed later must be below 2^W.
    virtual void setParameters(uint32_t adaptationLength, uint32_t residueWidth) = 0;
    virtual void writeParameters(RangeEncoder& encoder) = 0;
    // Codes `count` residues as one self-contained block (stereo: interleaved, channel 0 first).
    virtual void encodeBlock(const int32_t* residues, uint32_t count, RangeEncoder& encoder) = 0;
    // Estimated bytes of a whole range-coded block holding only these residues, for comparing
    // settings; writes nothing and keeps the parameters.
    virtual uint32_t estimateSize(const int32_t* residues, uint32_t count) = 0;
};

class ResidualDecoder {
public:
    virtual ~ResidualDecoder() = default;
    // The block's value count (both channels for stereo) and its residue width W (2 to 32;
    // anything else is damaged data and raises UNKNOWN).
    virtual void setParameters(uint32_t count, uint32_t residueWidth) = 0;
    // Reads N and prepares a new block.
    virtual void readParameters(RangeDecoder& decoder) = 0;
    // Decodes min(maxCount, values left) residues into `out` and returns that count; further
    // calls continue the block. Damaged data yields wrong values or an UNKNOWN Exception, never
    // an access outside the coder's tables.
    virtual uint32_t decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) = 0;
};

// family 0 = energy-context, 1 = Golomb. OOM names "iemd"/"iems" (mono), "iesd"/"iess" (stereo);
// any other family raises UNKNOWN.
Owned<ResidualEncoder> createResidualEncoder(uint32_t family, bool stereo);
Owned<ResidualDecoder> createResidualDecoder(uint32_t family, bool stereo);

// Shared parameter checks; both raise UNKNOWN.
void checkEncoderParameters(uint32_t adaptationLength, uint32_t residueWidth);
void checkResidueWidth(uint32_t residueWidth);

}  // namespace elq

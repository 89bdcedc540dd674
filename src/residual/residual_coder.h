// The residual coders as the rest of the codec sees them: the encoder and decoder interfaces, their
// factory by block-head family number, and what every family shares (folding of signed residues,
// the residue width). A coder's adaptation length is the memory length of entropy/memory_length.h.
#pragma once

#include <cstdint>

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

// Raises UNKNOWN unless 2 <= residueWidth <= 32.
void checkResidueWidth(uint32_t residueWidth);

}  // namespace elq

// Shared pieces of the residual coder tests: a sink that records the symbols of the per-value
// steps, and whole-block encode/decode through the public interfaces.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "residual/residual_coder.h"
#include "support/coded_bytes.h"

namespace elq::test {

struct Call {
    char kind;  // 's' symbol (model, symbol), 'u' uniform (value, total), 'b' bits (value, nbits)
    uint32_t first;
    uint32_t second;
    bool operator==(const Call&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Call& c) {
    return out << c.kind << "(" << c.first << ", " << c.second << ")";
}

inline Call sym(uint32_t model, uint32_t symbol) {
    return {'s', model, symbol};
}
inline Call uni(uint32_t value, uint32_t total) {
    return {'u', value, total};
}
inline Call bits(uint32_t value, uint32_t nbits) {
    return {'b', value, nbits};
}

struct RecordingSink {
    std::vector<Call> calls;
    void symbol(uint32_t model, uint32_t s) { calls.push_back(sym(model, s)); }
    void uniform(uint32_t value, uint32_t total) { calls.push_back(uni(value, total)); }
    void bits(uint32_t value, uint32_t nbits) { calls.push_back(test::bits(value, nbits)); }
};

// writeParameters and encodeBlock of one block, finished; the bytes of the whole block.
inline std::vector<uint8_t> encodeResidues(uint32_t family, bool stereo, uint32_t adaptationLength,
                                           uint32_t residueWidth, const std::vector<int32_t>& residues) {
    Owned<ResidualEncoder> encoder = createResidualEncoder(family, stereo);
    encoder->setParameters(adaptationLength, residueWidth);
    EncodedBlock block(static_cast<uint32_t>(residues.size()) * 5 + 64);
    encoder->writeParameters(block.encoder);
    encoder->encodeBlock(residues.data(), static_cast<uint32_t>(residues.size()), block.encoder);
    return block.finish();
}

// Decodes `count` residues with decodeBlock calls of the given sizes in turn (none: one call),
// and reports where the range decoder left the stream.
struct DecodeResult {
    std::vector<int32_t> residues;
    uint64_t endPosition = 0;
};

inline DecodeResult decodeResidues(uint32_t family, bool stereo, uint32_t residueWidth,
                                   const std::vector<uint8_t>& bytes, uint32_t count,
                                   const std::vector<uint32_t>& slices = {}) {
    Owned<ResidualDecoder> decoder = createResidualDecoder(family, stereo);
    CodedBytes coded(bytes);
    RangeDecoder range;
    range.start(coded.stream);
    decoder->setParameters(count, residueWidth);
    decoder->readParameters(range);
    DecodeResult result;
    result.residues.assign(count, 0x5A5A5A5A);
    uint32_t done = 0;
    for (size_t i = 0; done < count; ++i) {
        uint32_t want = slices.empty() ? count : slices[i % slices.size()];
        uint32_t got = decoder->decodeBlock(result.residues.data() + done, want, range);
        EXPECT_EQ(got, want < count - done ? want : count - done);
        if (got == 0) break;
        done += got;
    }
    // The block is complete: a further call delivers nothing.
    EXPECT_EQ(decoder->decodeBlock(result.residues.data(), 1, range), 0u);
    range.finish();
    result.endPosition = coded.stream.position();
    return result;
}

}  // namespace elq::test

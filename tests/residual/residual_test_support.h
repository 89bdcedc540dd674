// Shared pieces of the residual coder tests: a sink that records the steps of the per-value coders,
// and whole blocks through the public interfaces.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "residual/residual_coder.h"
#include "support/coded_bytes.h"

namespace elq::test {

// The steps as text: "s(model,symbol)", "u(value,total)" for a uniform value, "b(value,nbits)" for
// raw bits, separated by spaces.
struct RecordingSink {
    std::string calls;
    void add(char kind, uint32_t a, uint32_t b) {
        calls += (calls.empty() ? "" : " ") + std::string(1, kind) + "(" + std::to_string(a) + "," +
                 std::to_string(b) + ")";
    }
    void symbol(uint32_t model, uint32_t s) { add('s', model, s); }
    void uniform(uint32_t value, uint32_t total) { add('u', value, total); }
    void bits(uint32_t value, uint32_t nbits) { add('b', value, nbits); }
};

inline Bytes encodeResidues(uint32_t family, bool stereo, uint32_t adaptationLength, uint32_t width,
                            const std::vector<int32_t>& residues) {
    Owned<ResidualEncoder> encoder = createResidualEncoder(family, stereo);
    encoder->setParameters(adaptationLength, width);
    return encoded([&](RangeEncoder& e) {
        encoder->writeParameters(e);
        encoder->encodeBlock(residues.data(), static_cast<uint32_t>(residues.size()), e);
    });
}

// Decodes `count` residues with decodeBlock calls of the given sizes in turn (none: one call); the
// block must end exactly where the range decoder leaves the stream.
inline std::vector<int32_t> decodeResidues(uint32_t family, bool stereo, uint32_t width, const Bytes& bytes,
                                           uint32_t count, const std::vector<uint32_t>& slices = {}) {
    Owned<ResidualDecoder> decoder = createResidualDecoder(family, stereo);
    CodedBytes coded(bytes);
    decoder->setParameters(count, width);
    decoder->readParameters(coded.start());
    std::vector<int32_t> out(count, 0x5A5A5A5A);
    for (uint32_t done = 0, i = 0, got = 1; done < count && got != 0; ++i, done += got) {
        const uint32_t want = slices.empty() ? count : slices[i % slices.size()];
        got = decoder->decodeBlock(out.data() + done, want, coded.decoder);
        EXPECT_EQ(got, std::min(want, count - done));
    }
    EXPECT_EQ(decoder->decodeBlock(out.data(), 1, coded.decoder), 0u);  // the block is complete
    coded.expectFullyRead();
    return out;
}

}  // namespace elq::test

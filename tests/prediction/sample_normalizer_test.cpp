#include "prediction/sample_normalizer.h"

#include <gtest/gtest.h>

#include "support/coded_bytes.h"

namespace elq {
namespace {

// The grid found (divisor, offset), written, read and restored; grids that would not survive the
// fields or the decoder's 32-bit arithmetic are not taken.
TEST(SampleNormalizer, GridsFoundAndRefused) {
    struct Case {
        std::vector<int32_t> samples;
        uint32_t bits;
        int32_t divisor, offset;
    };
    const Case cases[] = {
        {{1, -7, 32767, 401, -3, 32767, 9}, 16, 4, 1},  // multiples of 4 plus 1, a clipped peak off them
        {{5, -3, 5, 5, -3}, 16, 1, 0},                  // only extremes
        {{-10, 4, 4, 4, 10}, 16, 1, 0},                 // one inner value
        // Full-scale extremes of every width lie on the grid 3k + 1 too (2^b - 1 is a multiple of 3).
        {{INT32_MIN, 1, INT32_MAX, -2, 31, 4}, 32, 3, 1},
        // Differences beyond the 32-bit range: gcd(4000000002, 2000000000) = 2.
        {{-2100000001, -2000000001, 2000000001, -1, 2100000001}, 32, 2, 1},
        // The mapped minimum would restore to 14·(-153391690) + 1, below the 32-bit range.
        {{INT32_MIN, 1, 15, INT32_MAX, 29}, 32, 1, 0},
        // A divisor of 2^(W-1) or more would come back negative from the sign-extending field.
        {{-128, -64, 64, 127}, 8, 1, 0},
        {{-128, -60, 67, 127}, 8, 127, 67},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << " first " << c.samples[0]);
        std::vector<int32_t> samples = c.samples;
        const uint32_t count = static_cast<uint32_t>(samples.size());
        ChannelGrid grid, decoded;
        grid.analyze(samples.data(), count, 1, c.bits);
        EXPECT_EQ(grid.divisor, c.divisor);
        EXPECT_EQ(grid.offset, c.offset);
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) { grid.write(e, c.bits); }));
        decoded.read(coded.start(), c.bits);
        coded.expectFullyRead();
        EXPECT_EQ(decoded.mappedMin, grid.mappedMin);
        EXPECT_EQ(decoded.mappedMax, grid.mappedMax);
        decoded.restore(samples.data(), count, 1);
        EXPECT_EQ(samples, c.samples);
    }
    // min -256, max 256 and a grid flag, then divisor and offset as a corrupt file might carry them.
    for (auto [divisor, offset] : {std::pair{0, 0}, {1, 0}, {-4, 1}, {4, 4}, {4, -1}}) {
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            e.encodeBits(0xFF00, 16);
            e.encodeBits(0x0100, 16);
            e.encodeShift(1, 1, 1);
            e.encodeBits(static_cast<uint32_t>(divisor) & 0xFFFF, 16);
            e.encodeBits(static_cast<uint32_t>(offset) & 0xFFFF, 16);
        }));
        SampleNormalizerDecoder decoder;
        decoder.setSampleBits(16);
        test::expectRefused([&] { decoder.readParameters(coded.start()); });
    }
    // Samples wider than the field would come back as other values.
    SampleNormalizerEncoder encoder;
    encoder.setSampleBits(8);
    std::vector<int32_t> wide{-3, 200};
    encoder.analyze(wide.data(), 2);
    test::EncodedBlock block;
    test::expectRefused([&] { encoder.writeParameters(block.encoder); });
}

}  // namespace
}  // namespace elq

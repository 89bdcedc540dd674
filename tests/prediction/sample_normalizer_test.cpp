#include "prediction/sample_normalizer.h"

#include <gtest/gtest.h>

#include "support/coded_bytes.h"

namespace elq {
namespace {

TEST(SampleNormalizer, GridsFoundAndRefused) {
    struct Case {
        std::vector<int32_t> samples;
        uint32_t bits;
        int32_t divisor, offset;
    };
    const Case cases[] = {
        {{1, -7, 32767, 401, -3, 32767, 9}, 16, 4, 1},  // multiples of 4 plus 1, a clipped peak off them
        {{5, -3, 5, 5, -3}, 16, 1, 0},                  // only extremes
        {{9, 9, 9}, 16, 1, 0},
        {{}, 16, 1, 0},
        {{-10, 4, 4, 4, 10}, 16, 1, 0},  // one inner value
        {{-10, 4, 6, 9, 10}, 16, 1, 0},  // gcd 1
        // Full-scale extremes of every width lie on the grid 3k + 1 too (2^b - 1 is a multiple of 3).
        {{-128, 1, 127, -2, 31, 4}, 8, 3, 1},
        {{-8388608, 1, 8388607, -2, 31, 4}, 24, 3, 1},
        {{INT32_MIN, 1, INT32_MAX, -2, 31, 4}, 32, 3, 1},
        // Differences beyond the 32-bit range: gcd(4000000002, 2000000000) = 2.
        {{-2100000001, -2000000001, 2000000001, -1, 2100000001}, 32, 2, 1},
        // The mapped minimum would restore to 14·(-153391690) + 1, below the 32-bit range.
        {{INT32_MIN, 1, 15, INT32_MAX, 29}, 32, 1, 0},
        // A divisor of 2^(W-1) or more would come back negative from the sign-extending field.
        {{-128, -64, 64, 127}, 8, 1, 0},
        {{-128, -60, 67, 127}, 8, 127, 67},
        {{-32768, -20000, 20000, 32767}, 16, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "bits " << c.bits << " first " << (c.samples.empty() ? 0 : c.samples[0]));
        std::vector<int32_t> samples = c.samples;
        const uint32_t count = static_cast<uint32_t>(samples.size());
        ChannelGrid grid, decoded;
        grid.analyze(samples.data(), count, 1, c.bits);
        EXPECT_EQ(grid.divisor, c.divisor);
        EXPECT_EQ(grid.offset, c.offset);
        for (int32_t v : samples)
            EXPECT_TRUE(v >= grid.mappedMin && v <= grid.mappedMax) << v;
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) { grid.write(e, c.bits); }));
        decoded.read(coded.start(), c.bits);
        coded.expectFullyRead();
        EXPECT_EQ(decoded.mappedMin, grid.mappedMin);
        EXPECT_EQ(decoded.mappedMax, grid.mappedMax);
        decoded.restore(samples.data(), count, 1);
        EXPECT_EQ(samples, c.samples);
    }
}

TEST(SampleNormalizer, StereoGridsAndTheResidueWidth) {
    // Left: step 4, broken by a trailing value of an odd count; right: step 10, offset 1, extremes -19
    // and 101 mapped to -2 and 10.
    std::vector<int32_t> values{4, 1, 8, 31, -12, 11, 400, -19, 0, 101, 7};
    StereoSampleNormalizerEncoder encoder;
    encoder.setSampleBits(16);
    encoder.analyze(values.data(), 11);
    int32_t got[4];
    uint32_t width;
    encoder.query(got[0], got[1], got[2], got[3], width);
    EXPECT_EQ(std::vector<int32_t>(got, got + 4), (std::vector<int32_t>{-12, 400, -2, 10}));
    EXPECT_EQ(width, 10u);
    const int32_t widths[][3] = {
        {0, 0, 2}, {-1, 2, 3}, {-32768, 32767, 16}, {-32769, 0, 17}, {INT32_MIN, INT32_MAX, 32}};
    for (auto& c : widths)
        EXPECT_EQ(residueWidthFor(c[0], c[1]), uint32_t(c[2])) << c[0] << " " << c[1];
}

TEST(SampleNormalizer, RefusesImpossibleGridsAndWideSamples) {
    // min -256, max 256 and a grid flag, then divisor and offset as a corrupt file might carry them.
    const int32_t grids[][2] = {{0, 0}, {1, 0}, {-4, 1}, {4, 4}, {4, -1}};
    for (auto& g : grids) {
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            e.encodeBits(0xFF00, 16);
            e.encodeBits(0x0100, 16);
            e.encodeShift(1, 1, 1);
            e.encodeBits(static_cast<uint32_t>(g[0]) & 0xFFFF, 16);
            e.encodeBits(static_cast<uint32_t>(g[1]) & 0xFFFF, 16);
        }));
        SampleNormalizerDecoder decoder;
        decoder.setSampleBits(16);
        test::expectRefused([&] { decoder.readParameters(coded.start()); });
    }
    SampleNormalizerEncoder encoder;
    encoder.setSampleBits(8);
    std::vector<int32_t> samples{-3, 200};
    encoder.analyze(samples.data(), 2);
    test::EncodedBlock block;
    EXPECT_THROW(encoder.writeParameters(block.encoder), Exception);
    EXPECT_THROW(encoder.setSampleBits(0), Exception);
    EXPECT_THROW(encoder.setSampleBits(33), Exception);
}

}  // namespace
}  // namespace elq

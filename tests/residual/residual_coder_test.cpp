#include "residual/residual_coder.h"

#include <gtest/gtest.h>

#include "residual_test_support.h"

namespace elq {
namespace {

// Both loop shapes give every value of a slice its own channel's statistic, whatever the parity of the
// slice's start and length.
TEST(ResidualCoder, ValueLoopsFollowTheChannelOfEachValue) {
    for (uint32_t first : {0u, 1u}) {
        for (uint32_t count : {0u, 1u, 2u, 5u, 6u}) {
            SCOPED_TRACE(testing::Message() << "first " << first << " count " << count);
            std::vector<uint32_t> visits[2], expected;
            double statistics[2][2] = {{100.0, 200.0}, {100.0, 200.0}};
            // Each step records its index and the statistic it saw, and advances the statistic.
            auto step = [&](int variant) {
                return [&, variant](uint32_t i, double& s) {
                    visits[variant].push_back(i * 1000 + uint32_t(s++));
                };
            };
            forEachValue<2, true>(count, first, statistics[0], step(0));
            forEachValue<2, false>(count, first, statistics[1], step(1));
            uint32_t seen[2] = {0, 0};
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t channel = (first + i) & 1u;
                expected.push_back(i * 1000 + 100 * (channel + 1) + seen[channel]++);
            }
            for (int variant : {0, 1}) {
                EXPECT_EQ(visits[variant], expected);
                EXPECT_EQ(statistics[variant][0], 100.0 + seen[0]);
                EXPECT_EQ(statistics[variant][1], 200.0 + seen[1]);
            }
        }
    }
}

TEST(ResidualCoder, FactorsAreOneMinusNotReciprocal) {
    // For N = 3, 1 - (2/3) and 1/3 differ in the last bit; both sides must use the former.
    EXPECT_EQ(adaptationFactors(3).a, 2.0 / 3.0);
    EXPECT_EQ(adaptationFactors(3).b, 1.0 - 2.0 / 3.0);
    EXPECT_NE(adaptationFactors(3).b, 1.0 / 3.0);
}

TEST(ResidualCoder, AdaptationLengthField) {
    // N, the 12-bit field, the 16-bit escape (-1: none)
    const int32_t cases[][3] = {{2, 0, -1}, {4096, 4094, -1}, {4097, 4095, 4095}, {65537, 4095, 65535}};
    for (auto& c : cases) {
        const test::Bytes bytes = test::encoded([&](RangeEncoder& e) { writeAdaptationLength(e, c[0]); });
        EXPECT_EQ(bytes, test::encoded([&](RangeEncoder& e) {
                      e.encodeShift(1, c[1], 12);
                      if (c[2] >= 0) e.encodeShort(c[2]);
                  }))
            << c[0];
        test::CodedBytes coded(bytes);
        EXPECT_EQ(readAdaptationLength(coded.start()), uint32_t(c[0]));
        coded.expectFullyRead();
    }
}

TEST(ResidualCoder, RefusesWhatItCannotCode) {
    test::expectRefused([] { createResidualDecoder(2, false); });
    test::expectRefused([] { createResidualEncoder(31, true); });
    for (uint32_t family : {kEnergyFamily, kGolombFamily}) {
        auto encoder = createResidualEncoder(family, false);
        for (auto [n, width] : {std::pair{1u, 16u}, {65538u, 16u}, {12u, 1u}, {12u, 33u}})
            test::expectRefused([&] { encoder->setParameters(n, width); });
        auto decoder = createResidualDecoder(family, true);
        for (uint32_t width : {0u, 1u, 33u, 0xFFFFFFFFu})
            test::expectRefused([&] { decoder->setParameters(10, width); });
        decoder->setParameters(4, 16);  // but no readParameters
        test::CodedBytes coded(test::Bytes(16, 0));
        int32_t out[4];
        test::expectRefused([&] { decoder->decodeBlock(out, 4, coded.start()); });
    }
}

}  // namespace
}  // namespace elq

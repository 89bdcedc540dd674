#include "residual/residual_coder.h"

#include <gtest/gtest.h>

#include <random>
#include <type_traits>

#include "residual_test_support.h"

namespace elq {
namespace {

TEST(ResidualCoder, FoldInterleavesSigns) {
    const std::pair<int32_t, uint32_t> cases[] = {
        {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {INT32_MAX, 0xFFFFFFFEu}, {INT32_MIN, 0xFFFFFFFFu}};
    for (auto [x, u] : cases)
        EXPECT_EQ(fold(x), u) << x;
    std::mt19937 rng(5);
    for (int i = 0; i < 100000; ++i) {
        const int32_t x = static_cast<int32_t>(rng());
        ASSERT_EQ(fold(x), static_cast<uint32_t>(x >= 0 ? 2 * int64_t{x} : -2 * int64_t{x} - 1)) << x;
        ASSERT_EQ(unfold(fold(x)), x);
    }
}

// Both loop shapes give every value of a slice its own channel's statistic, whatever the parity of the
// slice's start and length.
TEST(ResidualCoder, ValueLoopsFollowTheChannelOfEachValue) {
    for (uint32_t first : {0u, 1u}) {
        for (uint32_t count : {0u, 1u, 2u, 5u, 6u}) {
            SCOPED_TRACE(testing::Message() << "first " << first << " count " << count);
            std::vector<uint32_t> visits[2];
            double statistics[2][2] = {{100.0, 200.0}, {100.0, 200.0}};
            auto run = [&](auto oneSite, uint32_t variant) {
                forEachValue<2, decltype(oneSite)::value>(
                    count, first, statistics[variant], [&](uint32_t i, double& s) {
                        visits[variant].push_back(i * 1000 + static_cast<uint32_t>(s));
                        s += 1.0;
                    });
            };
            run(std::true_type{}, 0);
            run(std::false_type{}, 1);
            std::vector<uint32_t> expected;
            uint32_t seen[2] = {0, 0};
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t channel = (first + i) & 1u;
                expected.push_back(i * 1000 + 100 * (channel + 1) + seen[channel]++);
            }
            for (uint32_t variant : {0u, 1u}) {
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
    const int32_t cases[][3] = {{2, 0, -1},
                                {12, 10, -1},
                                {4096, 4094, -1},
                                {4097, 4095, 4095},
                                {65537, 4095, 65535}};  // N, 12-bit field, 16-bit escape (-1: none)
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
    for (uint32_t family : {2u, 31u}) {
        test::expectRefused([&] { createResidualDecoder(family, false); });
        test::expectRefused([&] { createResidualEncoder(family, true); });
    }
    for (uint32_t family : {kEnergyFamily, kGolombFamily}) {
        auto encoder = createResidualEncoder(family, false);
        for (auto [n, width] : {std::pair{1u, 16u}, {65538u, 16u}, {12u, 1u}, {12u, 33u}})
            EXPECT_THROW(encoder->setParameters(n, width), Exception) << n << " " << width;
        auto decoder = createResidualDecoder(family, true);
        for (uint32_t width : {0u, 1u, 33u, 0xFFFFFFFFu})
            test::expectRefused([&] { decoder->setParameters(10, width); });
        // Decoding before readParameters.
        decoder->setParameters(4, 16);
        test::CodedBytes coded(test::Bytes(16, 0));
        int32_t out[4];
        test::expectRefused([&] { decoder->decodeBlock(out, 4, coded.start()); });
    }
}

}  // namespace
}  // namespace elq

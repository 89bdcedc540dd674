#include "residual/residual_coder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"
#include "residual_test_support.h"

namespace elq {
namespace {

using test::CodedBytes;
using test::EncodedBlock;
using Bytes = std::vector<uint8_t>;

TEST(ResidualCoder, FoldInterleavesSigns) {
    EXPECT_EQ(fold(0), 0u);
    EXPECT_EQ(fold(-1), 1u);
    EXPECT_EQ(fold(1), 2u);
    EXPECT_EQ(fold(-2), 3u);
    EXPECT_EQ(fold(INT32_MAX), 0xFFFFFFFEu);
    EXPECT_EQ(fold(INT32_MIN), 0xFFFFFFFFu);
    std::mt19937 rng(5);
    for (int i = 0; i < 100000; ++i) {
        int32_t x = static_cast<int32_t>(rng());
        int64_t wide = x;
        EXPECT_EQ(fold(x), static_cast<uint32_t>(wide >= 0 ? 2 * wide : -2 * wide - 1));
        EXPECT_EQ(unfold(fold(x)), x);
    }
    EXPECT_EQ(unfold(0xFFFFFFFFu), INT32_MIN);
}

// Both loop shapes give every value of a slice its own channel's statistic, whatever the parity of
// the slice's start and length.
TEST(ResidualCoder, ValueLoopsFollowTheChannelOfEachValue) {
    for (uint32_t first : {0u, 1u}) {
        for (uint32_t count : {0u, 1u, 2u, 5u, 6u}) {
            std::vector<uint32_t> visits[2];
            double statistics[2][2];
            auto run = [&](auto oneSite, uint32_t variant) {
                statistics[variant][0] = 100.0;
                statistics[variant][1] = 200.0;
                // Each step records which statistic it saw and advances it.
                forEachValue<2, decltype(oneSite)::value>(
                    count, first, statistics[variant], [&](uint32_t i, double& s) {
                        visits[variant].push_back(i * 1000 + static_cast<uint32_t>(s));
                        s += 1.0;
                    });
            };
            run(std::true_type{}, 0);
            run(std::false_type{}, 1);
            SCOPED_TRACE(testing::Message() << "first " << first << " count " << count);
            EXPECT_EQ(visits[0], visits[1]);
            ASSERT_EQ(visits[0].size(), count);
            uint32_t seen[2] = {0, 0};
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t channel = (first + i) & 1u;
                EXPECT_EQ(visits[0][i], i * 1000 + 100 * (channel + 1) + seen[channel]++);
            }
            EXPECT_EQ(statistics[0][0], 100.0 + seen[0]);
            EXPECT_EQ(statistics[0][1], 200.0 + seen[1]);
            EXPECT_EQ(statistics[1][0], statistics[0][0]);
            EXPECT_EQ(statistics[1][1], statistics[0][1]);
        }
    }
}

TEST(ResidualCoder, FactorsAreOneMinusNotReciprocal) {
    AdaptationFactors eight = adaptationFactors(8);
    EXPECT_EQ(eight.a, 0.875);
    EXPECT_EQ(eight.b, 0.125);
    // For N = 3, 1 - (2/3) and 1/3 differ in the last bit; both sides must use the former.
    AdaptationFactors three = adaptationFactors(3);
    EXPECT_EQ(three.a, 2.0 / 3.0);
    EXPECT_EQ(three.b, 1.0 - 2.0 / 3.0);
    EXPECT_NE(three.b, 1.0 / 3.0);
}

TEST(ResidualCoder, AdaptationLengthField) {
    struct Case {
        uint32_t n, field;
        int32_t escaped;  // -1: no 16-bit field
    };
    const Case cases[] = {
        {2, 0, -1}, {12, 10, -1}, {4096, 4094, -1}, {4097, 4095, 4095}, {65537, 4095, 65535}};
    for (const Case& c : cases) {
        EncodedBlock written;
        writeAdaptationLength(written.encoder, c.n);
        EncodedBlock expected;
        expected.encoder.encodeShift(1, c.field, 12);
        if (c.escaped >= 0) expected.encoder.encodeShort(static_cast<uint32_t>(c.escaped));
        Bytes bytes = written.finish();
        EXPECT_EQ(bytes, expected.finish()) << "N " << c.n;

        CodedBytes coded(bytes);
        RangeDecoder decoder;
        decoder.start(coded.stream);
        EXPECT_EQ(readAdaptationLength(decoder), c.n);
        decoder.finish();
        EXPECT_EQ(coded.stream.position(), bytes.size());
    }
}

TEST(ResidualCoder, FactoriesBuildTheFamilyAndLayout) {
    EXPECT_TRUE(dynamic_cast<MonoEnergyResidualEncoder*>(createResidualEncoder(0, false).get()));
    EXPECT_TRUE(dynamic_cast<StereoEnergyResidualEncoder*>(createResidualEncoder(0, true).get()));
    EXPECT_TRUE(dynamic_cast<MonoGolombResidualEncoder*>(createResidualEncoder(1, false).get()));
    EXPECT_TRUE(dynamic_cast<StereoGolombResidualEncoder*>(createResidualEncoder(1, true).get()));
    EXPECT_TRUE(dynamic_cast<MonoEnergyResidualDecoder*>(createResidualDecoder(0, false).get()));
    EXPECT_TRUE(dynamic_cast<StereoEnergyResidualDecoder*>(createResidualDecoder(0, true).get()));
    EXPECT_TRUE(dynamic_cast<MonoGolombResidualDecoder*>(createResidualDecoder(1, false).get()));
    EXPECT_TRUE(dynamic_cast<StereoGolombResidualDecoder*>(createResidualDecoder(1, true).get()));
    for (uint32_t family : {2u, 31u}) {
        try {
            createResidualDecoder(family, false);
            FAIL() << "family " << family << " accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.code, UNKNOWN);
            EXPECT_STREQ(e.name, "unknown residual coder family");
        }
        EXPECT_THROW(createResidualEncoder(family, true), Exception);
    }
}

TEST(ResidualCoder, ParametersOutsideTheirRangesAreRefused) {
    for (uint32_t family : {kEnergyFamily, kGolombFamily}) {
        auto encoder = createResidualEncoder(family, false);
        EXPECT_THROW(encoder->setParameters(1, 16), Exception);
        EXPECT_THROW(encoder->setParameters(65538, 16), Exception);
        EXPECT_THROW(encoder->setParameters(12, 1), Exception);
        EXPECT_THROW(encoder->setParameters(12, 33), Exception);
        EXPECT_NO_THROW(encoder->setParameters(2, 2));
        EXPECT_NO_THROW(encoder->setParameters(65537, 32));

        auto decoder = createResidualDecoder(family, true);
        EXPECT_THROW(decoder->setParameters(10, 0), Exception);
        EXPECT_THROW(decoder->setParameters(10, 1), Exception);
        EXPECT_THROW(decoder->setParameters(10, 33), Exception);
        EXPECT_THROW(decoder->setParameters(10, 0xFFFFFFFFu), Exception);
    }
}

TEST(ResidualCoder, DecodingBeforeReadParametersIsRefused) {
    for (uint32_t family : {kEnergyFamily, kGolombFamily}) {
        auto decoder = createResidualDecoder(family, false);
        decoder->setParameters(4, 16);
        CodedBytes coded(Bytes(16, 0));
        RangeDecoder range;
        range.start(coded.stream);
        int32_t out[4];
        EXPECT_THROW(decoder->decodeBlock(out, 4, range), Exception);
    }
}

}  // namespace
}  // namespace elq
